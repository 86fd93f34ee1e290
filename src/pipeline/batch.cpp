// A batch's cipher work.
#include "pipeline/batch.h"

namespace {

// Lays the batch's jobs out session by session.
void bind_jobs(record_batch& batch)
{
    const std::size_t count = batch.held.size();
    batch.session_starts.assign(batch.sessions.size() + 1, 0);
    for (const held_job& job : batch.held)
        ++batch.session_starts[job.session + 1];
    for (std::size_t i = 1; i < batch.session_starts.size(); ++i)
        batch.session_starts[i] += batch.session_starts[i - 1];
    batch.jobs.resize(count);
    batch.job_at.resize(count);
    batch.fcs_announced.resize(count);
    std::uint8_t* const bytes = batch.bytes.get();
    for (std::size_t i = 0; i < count; ++i) {
        const held_job& job = batch.held[i];
        const std::size_t at = batch.session_starts[job.session]++;
        batch.job_at[i] = at;
        batch.jobs[at] = aead_job{batch.sessions[job.session].get(), byte_span(bytes + job.frame_at, job.frame_size),
                                  job.header_length, bytes + job.plain_at() + job.header_length, -1};
        batch.fcs_announced[at] = job.fcs_announced ? 1 : 0;
    }
}

} // namespace

void decrypt_batch(record_batch& batch, aead_batch_decryptor& ciphers)
{
    bind_jobs(batch);
    ciphers.decrypt(batch.jobs);
    batch.retries.clear();
    batch.retried.clear();
    for (std::size_t i = 0; i < batch.jobs.size(); ++i) {
        aead_job& job = batch.jobs[i];
        const byte_span again = frame_to_retry(job.frame, batch.fcs_announced[i] != 0, job.result);
        if (again.empty())
            continue;
        aead_job retry = job;
        retry.frame = again;
        batch.retries.push_back(retry);
        batch.retried.push_back(i);
    }
    if (batch.retries.empty())
        return;
    ciphers.decrypt(batch.retries);
    for (std::size_t r = 0; r < batch.retries.size(); ++r) {
        batch.jobs[batch.retried[r]].result = batch.retries[r].result;
        if (batch.retries[r].result >= 0)
            batch.fcs_announced[batch.retried[r]] = 2;
    }
}
