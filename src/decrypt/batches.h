// The back ends of AEAD frame batches (frame_batches.cpp, multi_buffer.cpp)
// and the per-session cipher contexts that they and the one-frame path
// keep.
#pragma once

#include "decrypt/ciphers.h"
#include "decrypt/decrypt.h"

#include <array>
#include <memory>
#include <vector>

// libcrypto's back end alone, which is also the reference that tests
// compare the other with.
std::unique_ptr<aead_batch_decryptor> make_libcrypto_batch_decryptor();
// The multi-buffer library's back end alone: null when the build has no
// library or the CPU no AES-NI.
std::unique_ptr<aead_batch_decryptor> make_multi_buffer_batch_decryptor();

// Decrypts frames with sessions. Owns the cipher contexts of the sessions
// it has used (a small cache keyed by session id), so that two decryptors
// may work on two threads over the same sessions.
struct decryptor {
    struct cached_key {
        std::uint64_t session_id = 0;
        std::uint64_t last_used = 0;
        aead_key key;
    };
    std::array<cached_key, 32> cache; // a network of many stations takes turns
    std::uint64_t uses = 0;
    std::vector<std::uint8_t> unpadded; // a frame without its data pad
};

// The slot of a small cache for session `id`: the one that holds it (`hit`
// set), else the least recently used one of the four where `id` may be,
// which the caller keys anew. Slots have `session_id` (0: empty) and
// `last_used`. Looking at four, not all, keeps a lookup per frame cheap.
template <class Slot, std::size_t size>
Slot& cache_slot(std::array<Slot, size>& cache, std::uint64_t& uses, std::uint64_t id, bool& hit)
{
    constexpr std::size_t ways = size < 4 ? size : 4;
    static_assert(size % ways == 0);
    ++uses;
    Slot* const set = cache.data() + (id % (size / ways)) * ways;
    Slot* oldest = set;
    for (Slot* slot = set; slot != set + ways; ++slot) {
        if (slot->session_id == id && id != 0) {
            slot->last_used = uses;
            hit = true;
            return *slot;
        }
        if (slot->last_used < oldest->last_used)
            oldest = slot;
    }
    oldest->last_used = uses;
    hit = false;
    return *oldest;
}

// The decryptor's context for an AEAD session: the cached one, or the
// least recently used one keyed anew. Null when the key is refused.
aead_key* decryptor_key(decryptor& frames, const session& keys);
