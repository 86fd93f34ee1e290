// The two-thread pipeline of a run that decrypts. The reader (the thread
// of the record path) follows every record in input order, decides each
// protected frame's keys and holds every record it has dealt with in a
// batch, in input order. A second thread, the writer, takes the batches
// in turn: it decrypts their AEAD frames, then converts and writes their
// records. Every tracker change stays on the reader, in input order: a
// frame handed on changes no key (its session is settled, and its first
// plaintext bytes are no EAPOL-Key or TDLS frame), so the output is the
// one-thread run's.
//
// The pipeline knows nothing of how a record is converted: the record
// path gives it, once per run, the function that writes a batch and the
// one that settles the held frames' peeks.
#pragma once

#include "pipeline/batch.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// One batch being filled and three handed on: when all are taken, the
// reader decrypts the newest waiting one itself rather than wait.
constexpr std::size_t pipeline_depth = 4;

// The writer's part, fixed for the run: writes a decrypted batch record
// by record, in input order, and clears it. Returns false once the writer
// can write no more (a failed write, no memory): the pipeline stops.
struct batch_writer {
    void* writer = nullptr;
    bool (*write)(void* writer, record_batch& batch) = nullptr;
};

// The reader's part, fixed for the run: looks at the first plaintext
// bytes of the frames held since the last look, and takes a key exchange
// among them back out (take_back_key_exchanges).
struct peek_settler {
    void* reader = nullptr;
    void (*settle)(void* reader) = nullptr;
};

// The writer's side of a threaded run: a second thread that takes the
// reader's batches in order, decrypts them and writes them. A reader that
// would wait for a free batch decrypts a waiting one instead, so the
// cipher work goes to whichever thread has time for it.
class record_pipeline {
public:
    // Starts the writer; throws std::system_error when no thread is to be
    // had.
    record_pipeline(batch_writer write, peek_settler settle, std::size_t batch_records);
    record_pipeline(const record_pipeline&) = delete;
    record_pipeline& operator=(const record_pipeline&) = delete;
    // Ends the thread once it has written what it was handed.
    ~record_pipeline();

    record_batch& current() { return batches_[handed_ % pipeline_depth]; }
    // Hands the current batch to the writer; returns once the next one is
    // free.
    void hand_on();
    // Hands on the current batch and returns once every record handed on
    // is written. The writer's state and the output are then the caller's
    // until the next batch goes.
    void drain();
    // Records wait to be written, or the writer may be writing.
    bool holding();
    // The writer can write no more, or the run has stopped it: the reader
    // stops at its next record.
    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
    // The run has failed: nothing handed on from now is written.
    void stop() { stopped_.store(true, std::memory_order_relaxed); }
    // The writer thread could not allocate what its cipher work needed;
    // known once drained.
    bool out_of_memory() const { return out_of_memory_.load(std::memory_order_relaxed); }

    // Looks at the held frames' first plaintext bytes, as the tracker
    // must before it moves or anything else is held. Frames taken back
    // out and held anew are looked at in turn.
    void settle()
    {
        while (!pending_peeks.empty())
            settle_.settle(settle_.reader);
    }

    keystream_peeker peeker;
    // AEAD frames held whose first plaintext bytes are not looked at yet:
    // the current batch's last records. They are looked at together
    // before the tracker follows a management or unprotected Data frame,
    // before a frame is decrypted here, and before any other record is
    // held or the batch handed on.
    std::vector<keystream_peek> pending_peeks;
    std::vector<std::uint8_t> unpadded;

private:
    template <class condition>
    void help_until(std::unique_lock<std::mutex>& lock, condition ready);
    void work();

    std::atomic<bool> stopped_{false};
    std::atomic<bool> out_of_memory_{false};
    batch_writer write_;
    peek_settler settle_;
    std::unique_ptr<aead_batch_decryptor> ciphers_; // the writer's own
    std::unique_ptr<aead_batch_decryptor> reader_ciphers_; // for the reader's help, made when first needed
    std::array<record_batch, pipeline_depth> batches_;
    std::size_t handed_ = 0;  // batches the reader has handed on
    std::size_t written_ = 0; // batches the writer is done with
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_; // last: starts once the rest is made
};

// In a threaded run, holds a protected AEAD frame (`frame`, from its
// Frame Control on) as a job for whoever decrypts its batch, when its
// keys are settled; its first plaintext bytes are looked at with those of
// the frames held after it. Returns false when it is to be decrypted here
// and now instead.
bool hold_aead_frame(record_pipeline& pipe, decryption& keys, const pcap_pkthdr& header, byte_span frame,
                     const capture_flags& flags);
// The same for --decrypt-only, which writes the frame in its record: the
// whole record (its 802.11 header at `offset`) is held, and the frame
// decrypted where it lies in it.
bool hold_aead_record(record_pipeline& pipe, decryption& keys, const pcap_pkthdr& header, byte_span record, int offset,
                      const capture_flags& flags);

// Holds a record (its 802.11 header at `offset` of `bytes`) behind those
// held before it, once the frames held before it are settled. Returns
// false when it is too large for a batch: the caller writes it itself,
// once every record before it is written (drain).
bool hold_record(record_pipeline& pipe, const pcap_pkthdr& header, byte_span bytes, int offset,
                 const capture_flags& flags, record_fate written);

// A protected frame taken back out of the batch: as it was prepared,
// then four bytes in place of an announced FCS; or, held whole, its
// record, the 802.11 header at `offset`.
struct taken_back_frame {
    pcap_pkthdr header;
    std::vector<std::uint8_t> frame;
    bool fcs_announced;
    int offset = 0;
    capture_flags flags{};
};

// Looks at the first plaintext bytes of the frames held since the last
// look. When one of them is an EAPOL-Key or TDLS frame, it changes keys:
// it and the frames held after it are taken back out of the batch into
// `frames`, for the reader to decrypt it and follow it, and to hold the
// others anew under the keys it leaves, as a one-thread run would see
// them. Returns false when none is.
bool take_back_key_exchanges(record_pipeline& pipe, std::vector<taken_back_frame>& frames);
