// A batch of a threaded run: records held in input order, each copied in
// once, and the AEAD frames among them as jobs for whoever decrypts the
// batch.
#pragma once

#include "convert/convert.h"
#include "decrypt/decrypt.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

// A batch's bytes: each held record's, and for an AEAD frame the frame as
// its cipher takes it, decrypted where it lies.
constexpr std::size_t batch_bytes = std::size_t{256} << 10;
constexpr std::size_t batch_capacity = batch_bytes + (std::size_t{640} << 10); // a last record of any size

struct held_record {
    pcap_pkthdr header;
    std::size_t bytes_at = 0; // in the batch's bytes; for a job, its plaintext frame, or its whole record
    std::size_t size = 0;     // 0 for a job held as its frame alone
    int offset = 0;
    capture_flags flags{};    // those the record is located with under full decoding
    record_fate written = record_fate::converted;
    std::size_t job = no_job;
    static constexpr std::size_t no_job = ~std::size_t{0};
};

struct held_job {
    std::size_t session = 0;     // in the batch's sessions
    std::size_t frame_at = 0;
    std::size_t frame_size = 0;
    std::size_t header_length = 0;
    bool fcs_announced = false;
    // The plaintext frame: the body is decrypted in place, the MAC header
    // moved up to it, over the cipher header.
    std::size_t plain_at() const { return frame_at + aead_header_size; }
};

struct record_batch {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[batch_capacity]};
    std::size_t used = 0;
    std::vector<held_record> records;
    std::vector<held_job> held;
    std::vector<session_ptr> sessions; // the jobs' keys, alive until the batch is written
    // Bound to `bytes` by the writer, grouped by session so that a back
    // end keys each session once per batch, however many stations take
    // turns; job_at[i] is where held[i]'s job went.
    std::vector<aead_job> jobs;
    std::vector<std::size_t> job_at;
    std::vector<std::size_t> session_starts;
    // By job: 1 when the FCS is announced, 2 when the frame proved to end
    // in one that nothing announced.
    std::vector<std::uint8_t> fcs_announced;
    std::vector<aead_job> retries;
    std::vector<std::size_t> retried;
    // Once handed on, under the pipeline's lock: who decrypts it.
    enum class cipher_work { waiting, taken, done } ciphers = cipher_work::waiting;
    std::size_t most_records = 1024; // the run's batch_records

    bool empty() const { return records.empty(); }
    bool full() const { return used >= batch_bytes || records.size() >= most_records; }
    std::uint8_t* take(std::size_t size)
    {
        std::uint8_t* at = bytes.get() + used;
        used += size;
        return at;
    }
    // Where the batch keeps `keys`. A network's stations take turns frame
    // by frame, so the sessions kept last are looked at; one kept twice
    // costs a reference, not a key.
    std::size_t keep_session(const session_ptr& keys)
    {
        const std::size_t looked = std::min<std::size_t>(sessions.size(), 16);
        for (std::size_t i = sessions.size(); i > sessions.size() - looked; --i)
            if (sessions[i - 1] == keys)
                return i - 1;
        sessions.push_back(keys);
        return sessions.size() - 1;
    }
    void clear()
    {
        used = 0;
        records.clear();
        held.clear();
        sessions.clear();
        // jobs, job_at and fcs_announced are sized anew by bind_jobs.
        ciphers = cipher_work::waiting;
    }
};

// The cipher work of a batch, a frame that fails its check tried again as
// frame_to_retry says, the retries together.
void decrypt_batch(record_batch& batch, aead_batch_decryptor& ciphers);
