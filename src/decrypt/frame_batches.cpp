// Batches of AEAD frames: libcrypto's back end, one frame after another,
// and the choice of the back end a run uses.
#include "decrypt/batches.h"
#include "decrypt/tracker.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace {

// libcrypto decrypts one frame at a time; a batch saves it nothing but the
// calls, and it is the reference that the faster back end is tested on.
class libcrypto_batch_decryptor final : public aead_batch_decryptor {
public:
    libcrypto_batch_decryptor() : name_(std::string("libcrypto ") + OpenSSL_version(OPENSSL_VERSION_STRING)) {}

    void decrypt(std::span<aead_job> jobs) override
    {
        for (aead_job& job : jobs) {
            job.result = -1;
            if (job.keys == nullptr)
                continue;
            aead_key* key = decryptor_key(frames_, *job.keys);
            if (key == nullptr)
                continue;
            if (!decrypts_in_place(job)) {
                job.result = aead_decrypt(*key, job.frame, job.header_length, job.plain, mlds_of(*job.keys));
                continue;
            }
            // libcrypto wipes what it wrote when the MIC is wrong: a frame
            // decrypted in place would lose its ciphertext, which a caller
            // may try again. It is decrypted aside and copied once sound.
            scratch_.resize(job.frame.size());
            job.result = aead_decrypt(*key, job.frame, job.header_length, scratch_.data(), mlds_of(*job.keys));
            if (job.result > 0)
                std::copy_n(scratch_.data(), job.result, job.plain);
        }
    }

    const char* name() const override { return name_.c_str(); }

private:
    decryptor frames_;
    std::string name_;
    std::vector<std::uint8_t> scratch_;
};

} // namespace

#ifndef KESTRINE_MULTI_BUFFER
std::unique_ptr<aead_batch_decryptor> make_multi_buffer_batch_decryptor()
{
    return nullptr;
}
#endif

std::unique_ptr<aead_batch_decryptor> make_libcrypto_batch_decryptor()
{
    return std::make_unique<libcrypto_batch_decryptor>();
}

// Whether the multi-buffer library serves this machine is learnt from the
// first instance made; each caller (one per thread) gets its own.
std::unique_ptr<aead_batch_decryptor> make_aead_batch_decryptor()
{
    static std::atomic<bool> no_multi_buffer{false};
    if (!no_multi_buffer.load(std::memory_order_relaxed)) {
        if (auto made = make_multi_buffer_batch_decryptor())
            return made;
        no_multi_buffer.store(true, std::memory_order_relaxed);
    }
    return make_libcrypto_batch_decryptor();
}
