// The writer thread and the hand-over of batches between the two threads.
#include "pipeline/pipeline.h"

#include <new>

record_pipeline::record_pipeline(batch_writer write, peek_settler settle, std::size_t batch_records)
    : write_(write), settle_(settle), thread_([this] { work(); })
{
    for (record_batch& batch : batches_)
        batch.most_records = std::max<std::size_t>(batch_records, 1);
}

record_pipeline::~record_pipeline()
{
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void record_pipeline::hand_on()
{
    settle();
    if (current().empty())
        return;
    std::unique_lock lock(mutex_);
    ++handed_;
    changed_.notify_all();
    help_until(lock, [this] { return written_ + pipeline_depth > handed_; });
}

void record_pipeline::drain()
{
    settle();
    std::unique_lock lock(mutex_);
    if (!current().empty()) {
        ++handed_;
        changed_.notify_all();
    }
    help_until(lock, [this] { return written_ == handed_; });
}

bool record_pipeline::holding()
{
    if (!current().empty())
        return true;
    const std::lock_guard lock(mutex_);
    return written_ != handed_;
}

// Until `ready`, the reader decrypts the newest batch the writer has not
// begun, or waits when there is none.
template <class condition>
void record_pipeline::help_until(std::unique_lock<std::mutex>& lock, condition ready)
{
    while (!ready()) {
        record_batch* waiting = nullptr;
        for (std::size_t k = handed_; k > written_ + 1 && waiting == nullptr; --k) {
            record_batch& batch = batches_[(k - 1) % pipeline_depth];
            if (batch.ciphers == record_batch::cipher_work::waiting && !batch.held.empty())
                waiting = &batch;
        }
        if (waiting == nullptr) {
            changed_.wait(lock);
            continue;
        }
        waiting->ciphers = record_batch::cipher_work::taken;
        lock.unlock();
        // The writer waits for the batch to be done whatever happens here:
        // a failure is handed on to the reader only once it is marked so.
        bool allocated = true;
        try {
            if (!reader_ciphers_)
                reader_ciphers_ = make_aead_batch_decryptor();
            decrypt_batch(*waiting, *reader_ciphers_);
        } catch (const std::bad_alloc&) {
            allocated = false;
            stop();
        }
        lock.lock();
        waiting->ciphers = record_batch::cipher_work::done;
        changed_.notify_all();
        if (!allocated)
            throw std::bad_alloc();
    }
}

void record_pipeline::work()
{
    try {
        ciphers_ = make_aead_batch_decryptor(); // here, while the reader starts reading
    } catch (const std::bad_alloc&) {
        // Made again when a batch needs it.
    }
    for (;;) {
        record_batch* batch = nullptr;
        bool decrypt_here = false;
        {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [this] { return stopping_ || written_ != handed_; });
            if (written_ == handed_)
                return;
            batch = &batches_[written_ % pipeline_depth];
            if (batch->ciphers == record_batch::cipher_work::waiting) {
                batch->ciphers = record_batch::cipher_work::taken;
                decrypt_here = true;
            } else {
                changed_.wait(lock, [batch] { return batch->ciphers == record_batch::cipher_work::done; });
            }
        }
        // A stopped run writes nothing more: the batches are let go.
        if (!stopped()) {
            try {
                if (decrypt_here && !batch->held.empty()) {
                    if (!ciphers_)
                        ciphers_ = make_aead_batch_decryptor();
                    decrypt_batch(*batch, *ciphers_);
                }
                if (!write_.write(write_.writer, *batch)) // and clears it
                    stop();
            } catch (const std::bad_alloc&) {
                out_of_memory_.store(true, std::memory_order_relaxed);
                stop();
            }
        }
        batch->clear();
        {
            const std::lock_guard lock(mutex_);
            ++written_;
        }
        changed_.notify_all();
    }
}
