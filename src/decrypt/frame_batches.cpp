// Batches of AEAD frames: libcrypto's back end, one frame after another,
// and the choice of the back end a run uses.
#include "decrypt/decrypt.h"

#include <openssl/crypto.h>

#include <string>

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
            if (aead_key* key = decryptor_key(frames_, *job.keys))
                job.result = aead_decrypt(*key, job.frame, job.header_length, job.plain);
        }
    }

    const char* name() const override { return name_.c_str(); }

private:
    decryptor frames_;
    std::string name_;
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

// Whether the multi-buffer library serves this machine is asked once; each
// caller (one per thread) then gets its own instance.
std::unique_ptr<aead_batch_decryptor> make_aead_batch_decryptor()
{
    static const bool multi_buffer = make_multi_buffer_batch_decryptor() != nullptr;
    if (multi_buffer)
        if (auto made = make_multi_buffer_batch_decryptor())
            return made;
    return make_libcrypto_batch_decryptor();
}
