// The batch back end over Intel's multi-buffer crypto library: the frames
// of a batch go through its job queue, which runs several at once in the
// lanes of the widest vector unit the CPU has.
//
// What the library leaves to its caller: it never checks a tag, it writes
// the one it computed and we compare; it writes the plaintext whatever the
// tag, so a frame that fails is wiped, or, decrypted in place, decrypted
// again, which gives its ciphertext back; and jobs come back in no set
// order, some only when the queue is flushed, so everything a job points
// to (its nonce, AAD and tag) lives in this batch's state until it
// returns.
#include "decrypt/batches.h"
#include "decrypt/tracker.h"

#include <intel-ipsec-mb.h>
#include <openssl/crypto.h>

#include <climits>
#include <string>
#include <vector>

namespace {

// A session's key schedule in the library's forms: AES round keys for CCM,
// round keys and GHASH powers for GCM.
struct key_schedule {
    std::uint64_t session_id = 0;
    std::uint64_t last_used = 0;
    cipher_suite suite = cipher_suite::none;
    alignas(64) gcm_key_data gcm{};
    alignas(16) std::array<std::uint8_t, 240> round_keys{};

    void wipe()
    {
        OPENSSL_cleanse(&gcm, sizeof gcm);
        OPENSSL_cleanse(round_keys.data(), round_keys.size());
        session_id = 0;
        suite = cipher_suite::none;
    }
};

// One frame on its way through the queue.
struct in_flight {
    aead_job* job = nullptr;
    aead_frame parts;
    alignas(16) std::array<std::uint8_t, 16> tag{};
};

const char* arch_name(IMB_ARCH arch)
{
    switch (arch) {
    case IMB_ARCH_SSE:
        return "SSE";
    case IMB_ARCH_AVX:
        return "AVX";
    case IMB_ARCH_AVX2:
        return "AVX2";
    case IMB_ARCH_AVX512:
        return "AVX-512";
    default:
        return nullptr;
    }
}

bool is_gcm(cipher_suite suite)
{
    return suite == cipher_suite::gcmp128 || suite == cipher_suite::gcmp256;
}

std::uint64_t key_size(cipher_suite suite)
{
    return suite == cipher_suite::ccmp128 || suite == cipher_suite::gcmp128 ? 16 : 32;
}

constexpr std::size_t prefetch_distance = 4;

// Bodies up to this size are submitted without the library's checks of
// every length: it takes them all (CCM refuses only bodies near 64 KiB),
// and an 802.11 MPDU is at most 11,454 bytes. Larger ones are checked.
constexpr std::size_t most_unchecked_body = 16384;

bool tags_equal(const std::uint8_t* computed, byte_span mic)
{
    // Constant time: every byte is looked at whatever differs.
    std::uint8_t difference = 0;
    for (std::size_t i = 0; i < mic.size(); ++i)
        difference = static_cast<std::uint8_t>(difference | (computed[i] ^ mic[i]));
    return difference == 0;
}

class multi_buffer_decryptor final : public aead_batch_decryptor {
public:
    multi_buffer_decryptor(IMB_MGR* manager, std::string name)
        : manager_(manager), name_(std::move(name)), fallback_(make_libcrypto_batch_decryptor())
    {
    }
    multi_buffer_decryptor(const multi_buffer_decryptor&) = delete;
    multi_buffer_decryptor& operator=(const multi_buffer_decryptor&) = delete;
    ~multi_buffer_decryptor() override
    {
        for (auto& schedule : schedules_)
            schedule.wipe();
        free_mb_mgr(manager_);
    }

    void decrypt(std::span<aead_job> jobs) override
    {
        flights_.resize(jobs.size());
        for (std::size_t i = 0; i < jobs.size(); ++i) {
            // The frames were written on another core, moments ago: their
            // headers are asked for a few jobs ahead.
            if (i + prefetch_distance < jobs.size())
                __builtin_prefetch(jobs[i + prefetch_distance].frame.data());
            aead_job& job = jobs[i];
            in_flight& flight = flights_[i];
            job.result = -1;
            flight.job = &job;
            if (job.keys == nullptr || job.plain == nullptr || job.frame.size() > INT_MAX ||
                !aead_frame_parts(job.keys->cipher, job.frame, job.header_length, flight.parts, mlds_of(*job.keys)))
                continue;
            const key_schedule* schedule = schedule_for(*job.keys);
            if (schedule != nullptr)
                submit(flight, *schedule);
        }
        drain();
        restore_failed();
    }

    const char* name() const override { return name_.c_str(); }

private:
    // The session's schedule, made on a miss. A miss may replace a
    // schedule that queued jobs still point to, so the queue is drained
    // first; with at most a few sessions per batch misses are rare.
    const key_schedule* schedule_for(const session& keys)
    {
        if (last_ != nullptr && last_->session_id == keys.id && keys.id != 0)
            return last_;
        bool hit = false;
        key_schedule& schedule = cache_slot(schedules_, uses_, keys.id, hit);
        if (hit)
            return last_ = &schedule;
        drain();
        schedule.wipe();
        last_ = nullptr;
        if (keys.temporal_key_length != key_size(keys.cipher))
            return nullptr;
        const std::uint8_t* key = keys.temporal_key.data();
        alignas(16) std::array<std::uint8_t, 240> decrypt_round_keys{};
        switch (keys.cipher) {
        case cipher_suite::ccmp128:
            IMB_AES_KEYEXP_128(manager_, key, schedule.round_keys.data(), decrypt_round_keys.data());
            break;
        case cipher_suite::ccmp256:
            IMB_AES_KEYEXP_256(manager_, key, schedule.round_keys.data(), decrypt_round_keys.data());
            break;
        case cipher_suite::gcmp128:
            IMB_AES128_GCM_PRE(manager_, key, &schedule.gcm);
            break;
        case cipher_suite::gcmp256:
            IMB_AES256_GCM_PRE(manager_, key, &schedule.gcm);
            break;
        default:
            return nullptr;
        }
        OPENSSL_cleanse(decrypt_round_keys.data(), decrypt_round_keys.size());
        schedule.suite = keys.cipher;
        schedule.session_id = keys.id;
        return last_ = &schedule;
    }

    void submit(in_flight& flight, const key_schedule& schedule)
    {
        const aead_frame& parts = flight.parts;
        IMB_JOB* job = IMB_GET_NEXT_JOB(manager_);
        job->cipher_direction = IMB_DIR_DECRYPT;
        job->key_len_in_bytes = key_size(schedule.suite);
        job->src = parts.body.data();
        job->dst = flight.job->plain;
        job->cipher_start_src_offset_in_bytes = 0;
        job->msg_len_to_cipher_in_bytes = parts.body.size();
        job->hash_start_src_offset_in_bytes = 0;
        job->msg_len_to_hash_in_bytes = parts.body.size();
        job->iv = parts.nonce.data();
        job->iv_len_in_bytes = parts.nonce_size;
        job->auth_tag_output = flight.tag.data();
        job->auth_tag_output_len_in_bytes = parts.mic.size();
        job->user_data = &flight;
        if (is_gcm(schedule.suite)) {
            job->cipher_mode = IMB_CIPHER_GCM;
            job->hash_alg = IMB_AUTH_AES_GMAC;
            job->chain_order = IMB_ORDER_HASH_CIPHER;
            job->enc_keys = &schedule.gcm;
            job->dec_keys = &schedule.gcm;
            job->u.GCM.aad = parts.aad.data();
            job->u.GCM.aad_len_in_bytes = parts.aad_size;
        } else {
            // CCM decrypts, then computes the CBC-MAC over the plaintext:
            // the other order runs as well and yields a wrong tag.
            job->cipher_mode = IMB_CIPHER_CCM;
            job->hash_alg = IMB_AUTH_AES_CCM;
            job->chain_order = IMB_ORDER_CIPHER_HASH;
            job->enc_keys = schedule.round_keys.data();
            job->dec_keys = schedule.round_keys.data();
            job->u.CCM.aad = parts.aad.data();
            job->u.CCM.aad_len_in_bytes = parts.aad_size;
        }
        IMB_JOB* done = parts.body.size() <= most_unchecked_body ? IMB_SUBMIT_JOB_NOCHECK(manager_)
                                                                  : IMB_SUBMIT_JOB(manager_);
        for (; done != nullptr; done = IMB_GET_COMPLETED_JOB(manager_))
            finish(*done);
    }

    // A frame decrypted in place that failed its check is decrypted once
    // more, which restores its ciphertext: a caller may try it again
    // without its last four bytes, and no unchecked plaintext is left.
    void restore_failed()
    {
        if (failed_in_place_.empty())
            return;
        restoring_ = true;
        for (in_flight* flight : failed_in_place_)
            if (const key_schedule* schedule = schedule_for(*flight->job->keys))
                submit(*flight, *schedule);
        drain();
        restoring_ = false;
        failed_in_place_.clear();
    }

    void drain()
    {
        while (IMB_JOB* done = IMB_FLUSH_JOB(manager_))
            finish(*done);
    }

    void finish(const IMB_JOB& done)
    {
        auto& flight = *static_cast<in_flight*>(done.user_data);
        aead_job& job = *flight.job;
        const std::size_t body_size = flight.parts.body.size();
        if (restoring_)
            return; // its result stays -1
        if (done.status != IMB_STATUS_COMPLETED) {
            // A job the library refuses (it checks every length) goes to
            // libcrypto rather than being dropped.
            fallback_->decrypt({&job, 1});
            return;
        }
        if (tags_equal(flight.tag.data(), flight.parts.mic)) {
            job.result = static_cast<int>(body_size);
            return;
        }
        job.result = -1;
        if (decrypts_in_place(job))
            failed_in_place_.push_back(&flight);
        else
            OPENSSL_cleanse(job.plain, body_size);
    }

    IMB_MGR* manager_;
    std::string name_;
    std::unique_ptr<aead_batch_decryptor> fallback_;
    std::array<key_schedule, 32> schedules_{}; // as many as the reader's peek keeps
    std::uint64_t uses_ = 0;
    const key_schedule* last_ = nullptr; // the schedule used last: a batch's jobs come session by session
    std::vector<in_flight> flights_;
    std::vector<in_flight*> failed_in_place_;
    bool restoring_ = false;
};

} // namespace

std::unique_ptr<aead_batch_decryptor> make_multi_buffer_batch_decryptor()
{
    IMB_MGR* manager = alloc_mb_mgr(0);
    if (manager == nullptr)
        return nullptr;
    IMB_ARCH arch = IMB_ARCH_NONE;
    init_mb_mgr_auto(manager, &arch);
    const char* arch_label = arch_name(arch);
    if (arch_label == nullptr || imb_get_errno(manager) != 0 || (manager->features & IMB_FEATURE_AESNI) == 0) {
        free_mb_mgr(manager);
        return nullptr;
    }
    std::string name = std::string("ipsec-mb ") + imb_get_version_str() + " (" + arch_label + ")";
    return std::make_unique<multi_buffer_decryptor>(manager, std::move(name));
}
