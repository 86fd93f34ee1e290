// The generator's own key hierarchy and frame ciphers, straight over
// libcrypto: the PRF and KDFs of the pairwise key hierarchy, the EAPOL-Key
// MICs, AES key wrap under a 16- or 32-byte KEK, and CCMP-256, GCMP-128 and
// GCMP-256. They are kept apart from src/decrypt on purpose: captures
// written with them check the decrypting side rather than repeat it.
#include "gen.h"

#include <openssl/evp.h>

#include <cstring>

namespace gen {
namespace {

struct cipher_context_free {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using cipher_context = std::unique_ptr<EVP_CIPHER_CTX, cipher_context_free>;

bool fits_int(std::size_t size) { return size <= 0x7FFFFFFF; }

// The AAD of CCMP and GCMP (12.5.3.3.3, 12.5.5.3.3): Frame Control with
// Retry, Power Management, More Data and the Data subtype bits cleared,
// Protected set (and Order cleared in a QoS frame); the addresses; the
// fragment number; A4; the TID.
std::vector<std::uint8_t> aad_of(byte_span header)
{
    const unsigned fc = static_cast<unsigned>(header[0] | header[1] << 8);
    unsigned masked = (fc & ~(0x0800u | 0x1000u | 0x2000u)) | fc_protected;
    if ((fc & 0x0C) == 0x08)
        masked &= ~0x0070u;
    if (has_qos(fc))
        masked &= ~fc_order;
    std::vector<std::uint8_t> aad;
    put_le16(aad, masked);
    aad.insert(aad.end(), header.begin() + 4, header.begin() + 22);
    put_u8(aad, header[22] & 0x0F);
    put_u8(aad, 0);
    std::size_t at = 24;
    if (four_address(fc)) {
        aad.insert(aad.end(), header.begin() + 24, header.begin() + 30);
        at = 30;
    }
    if (has_qos(fc)) {
        put_u8(aad, header[at] & 0x0F);
        put_u8(aad, 0);
    }
    return aad;
}

} // namespace

bool own_mac(const char* mac_name, const char* algorithm, byte_span key, byte_span data, std::span<std::uint8_t> out)
{
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> full{};
    std::size_t length = 0;
    if (EVP_Q_mac(nullptr, mac_name, nullptr, algorithm, nullptr, key.data(), key.size(), data.data(), data.size(),
                  full.data(), full.size(), &length) == nullptr ||
        length < out.size())
        return false;
    std::memcpy(out.data(), full.data(), out.size());
    OPENSSL_cleanse(full.data(), full.size());
    return true;
}

// PRF-Length (12.7.1.2): HMAC-SHA1(K, label || 0 || data || i), i from 0.
bool own_prf_sha1(byte_span key, std::string_view label, byte_span data, std::span<std::uint8_t> out)
{
    std::vector<std::uint8_t> input(label.begin(), label.end());
    input.push_back(0);
    input.insert(input.end(), data.begin(), data.end());
    input.push_back(0);
    std::array<std::uint8_t, 20> block{};
    for (std::size_t done = 0; done < out.size(); done += block.size()) {
        if (!own_mac("HMAC", "SHA1", key, input, block))
            return false;
        std::memcpy(out.data() + done, block.data(), std::min(block.size(), out.size() - done));
        ++input.back();
    }
    OPENSSL_cleanse(block.data(), block.size());
    OPENSSL_cleanse(input.data(), input.size());
    return true;
}

// KDF-Hash-Length (12.7.1.7.2): HMAC-Hash(K, i || label || context ||
// Length), i from 1 and Length in bits, both 16-bit little-endian.
bool own_kdf(const char* digest, byte_span key, std::string_view label, byte_span context,
             std::span<std::uint8_t> out)
{
    const std::size_t hash_length = std::strcmp(digest, "SHA384") == 0 ? 48 : 32;
    std::vector<std::uint8_t> input;
    put_le16(input, 1);
    input.insert(input.end(), label.begin(), label.end());
    input.insert(input.end(), context.begin(), context.end());
    put_le16(input, static_cast<unsigned>(out.size() * 8));
    std::array<std::uint8_t, 48> block{};
    for (std::size_t done = 0; done < out.size(); done += hash_length) {
        if (!own_mac("HMAC", digest, key, input, std::span(block).first(hash_length)))
            return false;
        std::memcpy(out.data() + done, block.data(), std::min(hash_length, out.size() - done));
        ++input[0];
    }
    OPENSSL_cleanse(block.data(), block.size());
    return true;
}

bool own_key_wrap(byte_span kek, byte_span plain, std::vector<std::uint8_t>& wrapped)
{
    const EVP_CIPHER* wrap = kek.size() == 16 ? EVP_aes_128_wrap() : kek.size() == 32 ? EVP_aes_256_wrap() : nullptr;
    cipher_context context(EVP_CIPHER_CTX_new());
    if (wrap == nullptr || !context || plain.size() % 8 != 0 || plain.size() < 16 || !fits_int(plain.size()))
        return false;
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    wrapped.assign(plain.size() + 8, 0);
    int length = 0;
    return EVP_EncryptInit_ex(context.get(), wrap, nullptr, kek.data(), nullptr) == 1 &&
           EVP_EncryptUpdate(context.get(), wrapped.data(), &length, plain.data(), static_cast<int>(plain.size())) ==
               1 &&
           static_cast<std::size_t>(length) == wrapped.size();
}

// CCMP-256 (AES-256-CCM, 13-byte nonce: priority, A2, PN) and GCMP
// (AES-GCM, 12-byte nonce: A2, PN), each with a 16-byte MIC, behind the
// 8-byte header PN0 PN1 0 (key ID, ExtIV) PN2..PN5.
bool own_aead_encrypt(cipher suite, byte_span tk, std::uint64_t packet_number, int key_id, byte_span header,
                      byte_span plain, std::vector<std::uint8_t>& frame)
{
    const bool ccm = suite == cipher::ccmp256;
    const EVP_CIPHER* aes = suite == cipher::ccmp256  ? EVP_aes_256_ccm()
                            : suite == cipher::gcmp   ? EVP_aes_128_gcm()
                            : suite == cipher::gcmp256 ? EVP_aes_256_gcm()
                                                       : nullptr;
    const std::size_t key_length = suite == cipher::gcmp ? 16 : 32;
    if (aes == nullptr || tk.size() < key_length || header.size() < 24 || !fits_int(plain.size()) ||
        packet_number >> 48 != 0)
        return false;
    const unsigned fc = static_cast<unsigned>(header[0] | header[1] << 8);
    std::vector<std::uint8_t> nonce;
    if (ccm) {
        const std::size_t qos_at = four_address(fc) ? 30 : 24;
        put_u8(nonce, has_qos(fc) ? header[qos_at] & 0x0F : 0);
    }
    nonce.insert(nonce.end(), header.begin() + 10, header.begin() + 16);
    for (int shift = 40; shift >= 0; shift -= 8)
        put_u8(nonce, static_cast<unsigned>(packet_number >> shift) & 0xFF);
    const auto aad = aad_of(header);

    cipher_context context(EVP_CIPHER_CTX_new());
    std::vector<std::uint8_t> sealed(plain.size() + 16);
    int length = 0, final_length = 0;
    const bool ok =
        context && EVP_EncryptInit_ex(context.get(), aes, nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) == 1 &&
        (!ccm || EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, 16, nullptr) == 1) &&
        EVP_EncryptInit_ex(context.get(), nullptr, nullptr, tk.data(), nonce.data()) == 1 &&
        (!ccm || EVP_EncryptUpdate(context.get(), nullptr, &length, nullptr, static_cast<int>(plain.size())) == 1) &&
        EVP_EncryptUpdate(context.get(), nullptr, &length, aad.data(), static_cast<int>(aad.size())) == 1 &&
        EVP_EncryptUpdate(context.get(), sealed.data(), &length, plain.data(), static_cast<int>(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(context.get(), sealed.data() + length, &final_length) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), ccm ? EVP_CTRL_CCM_GET_TAG : EVP_CTRL_GCM_GET_TAG, 16,
                            sealed.data() + plain.size()) == 1;
    if (!ok)
        return false;
    frame.insert(frame.end(), header.begin(), header.end());
    frame[frame.size() - header.size() + 1] |= static_cast<std::uint8_t>(fc_protected >> 8);
    for (unsigned byte : {static_cast<unsigned>(packet_number & 0xFF), static_cast<unsigned>(packet_number >> 8 & 0xFF),
                          0u, static_cast<unsigned>(key_id << 6 | 0x20)})
        put_u8(frame, byte);
    for (int shift = 16; shift < 48; shift += 8)
        put_u8(frame, static_cast<unsigned>(packet_number >> shift) & 0xFF);
    frame.insert(frame.end(), sealed.begin(), sealed.end());
    return true;
}

} // namespace gen
