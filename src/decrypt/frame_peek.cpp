// The first plaintext bytes of AEAD frames, without their MICs: the reader
// of a threaded run uses them to find, before it hands frames on, the
// decrypted EAPOL-Key and TDLS frames that change later frames' keys.
#include "decrypt/batches.h"
#include "decrypt/ciphers.h"
#include "decrypt/tracker.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstring>

namespace {

bool is_gcm(cipher_suite cipher) { return cipher == cipher_suite::gcmp128 || cipher == cipher_suite::gcmp256; }

const EVP_CIPHER* block_cipher_of(cipher_suite cipher)
{
    switch (cipher) {
    case cipher_suite::ccmp128:
    case cipher_suite::gcmp128:
        return EVP_aes_128_ecb();
    case cipher_suite::ccmp256:
    case cipher_suite::gcmp256:
        return EVP_aes_256_ecb();
    default:
        return nullptr;
    }
}

EVP_CIPHER_CTX* block_cipher_for(keystream_peeker& peeker, const session& keys)
{
    bool hit = false;
    keystream_peeker::cached_key& entry = cache_slot(peeker.cache, peeker.uses, keys.id, hit);
    if (hit && entry.context)
        return entry.context.get();
    const EVP_CIPHER* cipher = block_cipher_of(keys.cipher);
    entry.session_id = 0;
    if (!entry.context)
        entry.context.reset(EVP_CIPHER_CTX_new());
    if (cipher == nullptr || !entry.context ||
        static_cast<std::size_t>(EVP_CIPHER_key_length(cipher)) != keys.temporal_key_length ||
        EVP_EncryptInit_ex(entry.context.get(), cipher, nullptr, keys.temporal_key.data(), nullptr) != 1 ||
        EVP_CIPHER_CTX_set_padding(entry.context.get(), 0) != 1)
        return nullptr;
    entry.session_id = keys.id;
    return entry.context.get();
}

} // namespace

void prepare_keystream_peek(const session& keys, const protected_frame& frame, keystream_peek& peek)
{
    peek.ready = false;
    const byte_span bytes = frame.frame;
    const int fc = record_le16(bytes, 0);
    // The cipher header (its PN), then the body's first bytes.
    const byte_span after_header = record_bytes(bytes, frame.header_length, aead_header_size + peek.body.size());
    if (fc < 0 || after_header.empty())
        return;
    // The counter block: CCM's A1 is flags (L - 1 = 1) || priority || A2 ||
    // PN5..PN0 || 0x0001; GCM's inc32(J0) is A2 || PN5..PN0 || 0x00000002.
    const bool gcm = is_gcm(keys.cipher);
    int tid = 0;
    if (!gcm && is_qos(fc)) { // a QoS Data subtype: its TID is the priority
        tid = record_u8(bytes, is_four_address(fc) ? 30 : 24);
        if (tid < 0)
            return;
    }
    std::array<std::uint8_t, 16>& counter = peek.block;
    std::uint8_t* at = counter.data();
    if (!gcm)
        *at++ = 0x01;
    // Between two MLDs the nonce's A2 is the sending MLD's address.
    byte_span transmitter = frame.transmitter;
    if (const mld_pair* mlds = mlds_of(keys); mlds != nullptr && is_to_ds(fc) != is_from_ds(fc))
        transmitter = is_from_ds(fc) ? byte_span(mlds->ap) : byte_span(mlds->station);
    at = put_aead_nonce(gcm, static_cast<std::uint8_t>(tid & 0x0F), transmitter, after_header, at);
    std::fill(at, counter.data() + counter.size(), std::uint8_t{0});
    counter.back() = gcm ? 2 : 1;
    record_copy(peek.body.data(), after_header, aead_header_size, peek.body.size());
    peek.ready = true;
}

void peek_plaintexts(keystream_peeker& peeker, std::span<keystream_peek> peeks, std::span<const session_ptr> groups)
{
    // Session by session: a network's stations take turns frame by frame.
    // Counted over the groups the peeks name, not all: a run of one peek
    // costs one whatever the number of sessions.
    std::uint32_t lowest = ~std::uint32_t{0};
    std::uint32_t highest = 0;
    for (keystream_peek& peek : peeks) {
        peek.ready = peek.ready && peek.group < groups.size();
        if (peek.ready) {
            lowest = std::min(lowest, peek.group);
            highest = std::max(highest, peek.group);
        }
    }
    if (lowest > highest)
        return;
    std::vector<std::uint32_t>& starts = peeker.group_starts;
    starts.assign(highest - lowest + 2, 0);
    for (const keystream_peek& peek : peeks)
        if (peek.ready)
            ++starts[peek.group - lowest + 1];
    for (std::size_t g = 1; g < starts.size(); ++g)
        starts[g] += starts[g - 1];
    std::vector<std::uint32_t>& order = peeker.order;
    order.resize(starts.back());
    peeker.blocks.resize(starts.back());
    for (std::uint32_t i = 0; i < peeks.size(); ++i) {
        if (!peeks[i].ready)
            continue;
        const std::uint32_t at = starts[peeks[i].group - lowest]++;
        order[at] = i;
        peeker.blocks[at] = peeks[i].block;
    }
    std::uint32_t first = 0;
    for (std::size_t g = 0; g + 1 < starts.size(); ++g) {
        const std::uint32_t end = starts[g];
        if (end == first)
            continue;
        const session* keys = groups[g + lowest].get();
        EVP_CIPHER_CTX* context = keys != nullptr ? block_cipher_for(peeker, *keys) : nullptr;
        std::uint8_t* const blocks = peeker.blocks[first].data();
        const auto length = static_cast<int>((end - first) * 16);
        int written = 0;
        const bool encrypted =
            context != nullptr && EVP_EncryptUpdate(context, blocks, &written, blocks, length) == 1 && written == length;
        for (std::uint32_t k = first; k < end; ++k) {
            keystream_peek& peek = peeks[order[k]];
            peek.ready = encrypted;
            std::uint64_t body = 0;
            std::uint64_t keystream = 0;
            std::memcpy(&body, peek.body.data(), sizeof body);
            std::memcpy(&keystream, peeker.blocks[k].data(), sizeof keystream);
            body ^= keystream;
            std::memcpy(peek.body.data(), &body, sizeof body);
        }
        first = end;
    }
}
