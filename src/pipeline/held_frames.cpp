// What the reader holds in the current batch: records, AEAD frames as
// jobs, and the peeks that tell a key exchange among the jobs.
#include "pipeline/pipeline.h"

#include <algorithm>

namespace {

// Holds the bytes of `kept` (the prepared frame, or the whole record the
// frame lies in at `frame_at`) as a job of the frame's settled session.
bool hold_job(record_pipeline& pipe, decryption& keys, const pcap_pkthdr& header, const protected_frame& prepared,
              byte_span kept, std::size_t frame_at, bool whole_record, int offset, const capture_flags& flags)
{
    if (pipe.current().used + kept.size() > batch_capacity)
        return false;
    const session_ptr* session = settled_aead_session(keys, prepared);
    if (session == nullptr)
        return false;
    record_batch& batch = pipe.current();
    // Job and record are made in place: a copy from the stack would wait
    // behind the stores of the frame's bytes, to lines the writer's core
    // holds.
    const std::size_t session_index = batch.keep_session(*session);
    held_job& job = batch.held.emplace_back();
    job.session = session_index;
    job.frame_size = prepared.frame.size();
    job.header_length = prepared.header_length;
    job.fcs_announced = prepared.fcs_announced;
    job.frame_at = batch.used + frame_at;
    held_record& record = batch.records.emplace_back();
    record.header = header;
    record.bytes_at = whole_record ? batch.used : job.plain_at();
    record.size = whole_record ? kept.size() : 0;
    record.offset = offset;
    record.flags = flags;
    record.written = record_fate::decrypted;
    record.job = batch.held.size() - 1;
    std::copy_n(kept.data(), kept.size(), batch.take(kept.size()));
    keystream_peek& peek = pipe.pending_peeks.emplace_back();
    peek.group = static_cast<std::uint32_t>(session_index);
    prepare_keystream_peek(**session, prepared, peek);
    if (batch.full())
        pipe.hand_on();
    return true;
}

} // namespace

bool hold_aead_frame(record_pipeline& pipe, decryption& keys, const pcap_pkthdr& header, byte_span frame,
                     const capture_flags& flags)
{
    // Handing a batch on may move the tracker: before the frame is
    // prepared (in `unpadded`) and its keys are looked up.
    if (pipe.current().used + frame.size() > batch_capacity)
        pipe.hand_on();
    protected_frame prepared;
    if (prepare_protected_frame(frame, flags.fcs_at_end, flags.data_pad, pipe.unpadded, prepared) !=
        record_fate::decrypted)
        return false;
    return hold_job(pipe, keys, header, prepared, prepared.frame, 0, false, 0, capture_flags{});
}

bool hold_aead_record(record_pipeline& pipe, decryption& keys, const pcap_pkthdr& header, byte_span record, int offset,
                      const capture_flags& flags)
{
    if (pipe.current().used + record.size() > batch_capacity)
        pipe.hand_on();
    const auto at = static_cast<std::size_t>(offset);
    const byte_span frame = record.subspan(at);
    protected_frame prepared;
    // A frame behind a data pad goes to its cipher unpadded, in a copy of
    // its own: it is decrypted by the reader instead.
    if (prepare_protected_frame(frame, flags.fcs_at_end, flags.data_pad, pipe.unpadded, prepared) !=
            record_fate::decrypted ||
        prepared.frame.data() != frame.data())
        return false;
    return hold_job(pipe, keys, header, prepared, record, at, true, offset, flags);
}

bool hold_record(record_pipeline& pipe, const pcap_pkthdr& header, byte_span bytes, int offset,
                 const capture_flags& flags, record_fate written)
{
    pipe.settle(); // the held frames before this record
    if (bytes.size() > batch_capacity)
        return false;
    if (pipe.current().used + bytes.size() > batch_capacity)
        pipe.hand_on();
    record_batch& batch = pipe.current();
    held_record& record = batch.records.emplace_back();
    record.header = header;
    record.bytes_at = batch.used;
    record.size = bytes.size();
    std::copy_n(bytes.data(), bytes.size(), batch.take(bytes.size()));
    record.offset = offset;
    // A frame decrypted here is located as a frame of its own.
    record.flags = written == record_fate::decrypted ? capture_flags{} : flags;
    record.written = written;
    if (batch.full())
        pipe.hand_on();
    return true;
}

bool take_back_key_exchanges(record_pipeline& pipe, std::vector<taken_back_frame>& frames)
{
    std::vector<keystream_peek>& peeks = pipe.pending_peeks;
    record_batch& batch = pipe.current();
    peek_plaintexts(pipe.peeker, peeks, batch.sessions);
    // A frame not ready is too short to hold an LLC header, which rules
    // out a key exchange.
    std::size_t first = 0;
    while (first < peeks.size() &&
           (!peeks[first].ready || starts_key_exchange(peeks[first].body) == key_exchange::none))
        ++first;
    if (first == peeks.size()) {
        peeks.clear();
        return false;
    }
    const std::size_t from = batch.records.size() - peeks.size() + first;
    for (std::size_t r = from; r < batch.records.size(); ++r) {
        const held_record& record = batch.records[r];
        const held_job& job = batch.held[record.job];
        if (record.size != 0) { // the whole record
            const std::uint8_t* bytes = batch.bytes.get() + record.bytes_at;
            frames.push_back({record.header, std::vector<std::uint8_t>(bytes, bytes + record.size), job.fcs_announced,
                              record.offset, record.flags});
            continue;
        }
        const std::uint8_t* bytes = batch.bytes.get() + job.frame_at;
        std::vector<std::uint8_t> frame(bytes, bytes + job.frame_size);
        if (job.fcs_announced)
            frame.resize(frame.size() + 4);
        frames.push_back({record.header, std::move(frame), job.fcs_announced});
    }
    const std::size_t first_job = batch.records[from].job;
    batch.used = batch.records[from].size != 0 ? batch.records[from].bytes_at : batch.held[first_job].frame_at;
    batch.held.resize(first_job);
    batch.records.resize(from);
    peeks.clear();
    return true;
}
