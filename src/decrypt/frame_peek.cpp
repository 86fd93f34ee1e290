// The first plaintext bytes of an AEAD frame, without its MIC: the reader
// of a threaded run uses them to find, before it hands a frame on, the
// decrypted EAPOL-Key and TDLS frames that change later frames' keys.
#include "decrypt/decrypt.h"

#include <openssl/evp.h>

#include <algorithm>

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

bool peek_aead_plaintext(keystream_peeker& peeker, const session& keys, const protected_frame& frame,
                         std::array<std::uint8_t, 8>& plain)
{
    const byte_span bytes = frame.frame;
    const int fc = record_le16(bytes, 0);
    const byte_span pn = record_bytes(bytes, frame.header_length, aead_header_size);
    const byte_span body = record_bytes(bytes, frame.header_length + aead_header_size, plain.size());
    if (fc < 0 || pn.size() != aead_header_size || body.size() != plain.size())
        return false;
    // The counter block: CCM's A1 is flags (L - 1 = 1) || priority || A2 ||
    // PN5..PN0 || 0x0001; GCM's inc32(J0) is A2 || PN5..PN0 || 0x00000002.
    std::array<std::uint8_t, 16> counter{};
    std::uint8_t* at = counter.data();
    if (!is_gcm(keys.cipher)) {
        *at++ = 0x01;
        int tid = 0;
        if ((fc & 0x0080) != 0) { // a QoS Data subtype: its TID is the priority
            const std::size_t qos_at = (fc & 0x0300) == 0x0300 ? 30 : 24;
            tid = record_u8(bytes, qos_at);
            if (tid < 0)
                return false;
        }
        *at++ = static_cast<std::uint8_t>(tid & 0x0F);
    }
    if (!record_copy(at, bytes, 10, 6))
        return false;
    at += 6;
    for (const std::size_t offset : {std::size_t{7}, std::size_t{6}, std::size_t{5}, std::size_t{4}, std::size_t{1}, std::size_t{0}})
        *at++ = pn[offset];
    counter[15] = is_gcm(keys.cipher) ? 2 : 1;
    EVP_CIPHER_CTX* context = block_cipher_for(peeker, keys);
    std::array<std::uint8_t, 16> keystream{};
    int length = 0;
    if (context == nullptr ||
        EVP_EncryptUpdate(context, keystream.data(), &length, counter.data(), static_cast<int>(counter.size())) != 1 ||
        length != static_cast<int>(keystream.size()))
        return false;
    for (std::size_t i = 0; i < plain.size(); ++i)
        plain[i] = static_cast<std::uint8_t>(body[i] ^ keystream[i]);
    return true;
}
