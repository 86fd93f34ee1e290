// Interim: frame batches decrypted one frame after another with libcrypto,
// until the batch back ends of frame_batches.cpp land; that file replaces
// this one.
#include "decrypt/decrypt.h"

namespace {

class libcrypto_batches final : public aead_batch_decryptor {
public:
    void decrypt(std::span<aead_job> jobs) override
    {
        for (aead_job& job : jobs) {
            aead_key* key = key_for(*job.keys);
            job.result = key == nullptr ? -1 : aead_decrypt(*key, job.frame, job.header_length, job.plain);
        }
    }
    const char* name() const override { return "libcrypto"; }

private:
    aead_key* key_for(const session& keys)
    {
        ++uses_;
        decryptor::cached_key* oldest = &cache_[0];
        for (auto& entry : cache_) {
            if (entry.session_id == keys.id) {
                entry.last_used = uses_;
                return &entry.key;
            }
            if (entry.last_used < oldest->last_used)
                oldest = &entry;
        }
        oldest->session_id = 0;
        if (!aead_key_set(oldest->key, keys.cipher, std::span(keys.temporal_key).first(keys.temporal_key_length)))
            return nullptr;
        oldest->session_id = keys.id;
        oldest->last_used = uses_;
        return &oldest->key;
    }
    std::array<decryptor::cached_key, 8> cache_;
    std::uint64_t uses_ = 0;
};

} // namespace

std::unique_ptr<aead_batch_decryptor> make_libcrypto_batch_decryptor() { return std::make_unique<libcrypto_batches>(); }
std::unique_ptr<aead_batch_decryptor> make_aead_batch_decryptor() { return make_libcrypto_batch_decryptor(); }
