// The generator's own key hierarchy and frame ciphers, straight over
// libcrypto: the PMK of a passphrase, the PRF and KDFs of the pairwise key
// hierarchy, the EAPOL-Key MICs, AES key wrap under a 16- or 32-byte KEK,
// RC4 (from libcrypto's legacy provider) for WEP, TKIP and WPA1's key data,
// CRC-32 (libdeflate), and the frame ciphers: WEP, TKIP (with tkip.cpp's
// key mixing and Michael), CCMP-128, CCMP-256, GCMP-128 and GCMP-256. They
// are kept apart from src/decrypt on purpose: captures written with them
// check the decrypting side rather than repeat it.
#include "gen.h"

#include <libdeflate.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/provider.h>

#include <algorithm>
#include <cstring>

namespace gen {
namespace {

struct cipher_context_free {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};
using cipher_context = std::unique_ptr<EVP_CIPHER_CTX, cipher_context_free>;

bool fits_int(std::size_t size) { return size <= 0x7FFFFFFF; }

// RC4 lives in libcrypto's legacy provider, loaded here into a library
// context of its own so that the default one stays as it is.
class legacy_rc4 {
public:
    legacy_rc4()
    {
        context_ = OSSL_LIB_CTX_new();
        provider_ = context_ != nullptr ? OSSL_PROVIDER_load(context_, "legacy") : nullptr;
        cipher_ = provider_ != nullptr ? EVP_CIPHER_fetch(context_, "RC4", nullptr) : nullptr;
    }
    ~legacy_rc4()
    {
        EVP_CIPHER_free(cipher_);
        if (provider_ != nullptr)
            OSSL_PROVIDER_unload(provider_);
        OSSL_LIB_CTX_free(context_);
    }
    legacy_rc4(const legacy_rc4&) = delete;
    legacy_rc4& operator=(const legacy_rc4&) = delete;
    const EVP_CIPHER* cipher() const { return cipher_; }

private:
    OSSL_LIB_CTX* context_ = nullptr;
    OSSL_PROVIDER* provider_ = nullptr;
    EVP_CIPHER* cipher_ = nullptr;
};

void put_le32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int shift = 0; shift < 32; shift += 8)
        put_u8(out, value >> shift & 0xFF);
}

// Header (Protected set) behind which a cipher header follows.
void put_protected_header(std::vector<std::uint8_t>& frame, byte_span header)
{
    frame.insert(frame.end(), header.begin(), header.end());
    frame[frame.size() - header.size() + 1] |= static_cast<std::uint8_t>(fc_protected >> 8);
}

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

bool own_pmk_from_passphrase(std::string_view passphrase, byte_span ssid, std::span<std::uint8_t, 32> pmk)
{
    if (passphrase.size() < 8 || passphrase.size() > 63 || ssid.empty() || ssid.size() > 32)
        return false;
    return PKCS5_PBKDF2_HMAC(passphrase.data(), static_cast<int>(passphrase.size()), ssid.data(),
                             static_cast<int>(ssid.size()), 4096, EVP_sha1(), static_cast<int>(pmk.size()),
                             pmk.data()) == 1;
}

bool own_rc4_xor(byte_span key, std::size_t discard, byte_span in, std::uint8_t* out)
{
    static const legacy_rc4 rc4;
    cipher_context context(EVP_CIPHER_CTX_new());
    if (rc4.cipher() == nullptr || !context || key.empty() || !fits_int(key.size()) || !fits_int(in.size()) ||
        EVP_EncryptInit_ex2(context.get(), rc4.cipher(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(context.get(), static_cast<int>(key.size())) != 1 ||
        EVP_EncryptInit_ex2(context.get(), nullptr, key.data(), nullptr, nullptr) != 1)
        return false;
    std::array<std::uint8_t, 256> skipped{};
    int length = 0;
    for (std::size_t done = 0; done < discard; done += skipped.size())
        if (EVP_EncryptUpdate(context.get(), skipped.data(), &length, skipped.data(),
                              static_cast<int>(std::min(skipped.size(), discard - done))) != 1)
            return false;
    return in.empty() ||
           EVP_EncryptUpdate(context.get(), out, &length, in.data(), static_cast<int>(in.size())) == 1;
}

std::uint32_t own_crc32(byte_span bytes) { return libdeflate_crc32(0, bytes.data(), bytes.size()); }

// WEP (12.3.2): IV and key ID in the clear, then RC4 under IV || key over
// the body and its CRC-32 (the ICV).
bool own_wep_encrypt(byte_span key, std::span<const std::uint8_t, 3> iv, int key_id, byte_span header,
                     byte_span plain, std::vector<std::uint8_t>& frame)
{
    if (key.size() != 5 && key.size() != 13)
        return false;
    std::vector<std::uint8_t> seed(iv.begin(), iv.end());
    seed.insert(seed.end(), key.begin(), key.end());
    std::vector<std::uint8_t> body(plain.begin(), plain.end());
    put_le32(body, own_crc32(plain));
    put_protected_header(frame, header);
    frame.insert(frame.end(), iv.begin(), iv.end());
    put_u8(frame, static_cast<unsigned>(key_id << 6));
    const std::size_t at = frame.size();
    frame.resize(at + body.size());
    const bool done = own_rc4_xor(seed, 0, body, frame.data() + at);
    OPENSSL_cleanse(seed.data(), seed.size());
    return done;
}

// TKIP (12.5.2): Michael over DA, SA, priority, three zero bytes and the
// MSDU; then WEP's RC4 and ICV over body and MIC, under the per-frame key
// of the two mixing phases, behind IV (TSC1, WEP seed byte, TSC0, key ID
// with ExtIV) and extended IV (TSC2..TSC5).
bool own_tkip_encrypt(byte_span temporal_key, bool from_authenticator, std::uint64_t tsc, int key_id,
                      byte_span header, byte_span plain, std::vector<std::uint8_t>& frame)
{
    if (temporal_key.size() != 32 || header.size() < 24 || plain.size() > 0xFFFF || tsc >> 48 != 0)
        return false;
    const unsigned fc = static_cast<unsigned>(header[0] | header[1] << 8);
    const bool to_ds = (fc & fc_to_ds) != 0, from_ds = (fc & fc_from_ds) != 0;
    const std::size_t qos_at = four_address(fc) ? 30 : 24;
    if (header.size() < qos_at + (has_qos(fc) ? 2 : 0))
        return false;
    const std::size_t da_at = to_ds ? 16 : 4;
    const std::size_t sa_at = !from_ds ? 10 : to_ds ? 24 : 16;
    std::vector<std::uint8_t> mic_input(16 + plain.size(), 0);
    std::copy_n(header.begin() + static_cast<std::ptrdiff_t>(da_at), 6, mic_input.begin());
    std::copy_n(header.begin() + static_cast<std::ptrdiff_t>(sa_at), 6, mic_input.begin() + 6);
    mic_input[12] = has_qos(fc) ? header[qos_at] & 0x0F : 0;
    std::copy(plain.begin(), plain.end(), mic_input.begin() + 16);
    const auto mic = michael(temporal_key.subspan(from_authenticator ? 16 : 24).first<8>(), mic_input);
    std::vector<std::uint8_t> body(plain.size() + mic.size() + 4);
    std::copy(plain.begin(), plain.end(), body.begin());
    std::copy(mic.begin(), mic.end(), body.begin() + static_cast<std::ptrdiff_t>(plain.size()));
    const std::uint32_t icv = own_crc32(std::span(body).first(plain.size() + mic.size()));
    for (std::size_t i = 0; i < 4; ++i)
        body[plain.size() + mic.size() + i] = static_cast<std::uint8_t>(icv >> (8 * i));

    const auto tk = temporal_key.first<16>();
    const auto ttak = tkip_phase1(tk, header.subspan(10).first<6>(), static_cast<std::uint32_t>(tsc >> 16));
    auto rc4_key = tkip_phase2(ttak, tk, static_cast<std::uint16_t>(tsc & 0xFFFF));
    put_protected_header(frame, header);
    for (unsigned byte : {unsigned{rc4_key[0]}, unsigned{rc4_key[1]}, unsigned{rc4_key[2]},
                          static_cast<unsigned>(key_id << 6 | 0x20)})
        put_u8(frame, byte);
    for (int shift = 16; shift < 48; shift += 8)
        put_u8(frame, static_cast<unsigned>(tsc >> shift) & 0xFF);
    const std::size_t at = frame.size();
    frame.resize(at + body.size());
    const bool done = own_rc4_xor(rc4_key, 0, body, frame.data() + at);
    OPENSSL_cleanse(rc4_key.data(), rc4_key.size());
    return done;
}

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

// CCMP (AES-CCM, 13-byte nonce: priority, A2, PN; an 8-byte MIC under a
// 16-byte key, 16 bytes under a 32-byte one) and GCMP (AES-GCM, 12-byte
// nonce: A2, PN; a 16-byte MIC), behind the 8-byte header PN0 PN1 0 (key
// ID, ExtIV) PN2..PN5.
bool own_aead_encrypt(cipher suite, byte_span tk, std::uint64_t packet_number, int key_id, byte_span header,
                      byte_span plain, std::vector<std::uint8_t>& frame)
{
    const bool ccm = suite == cipher::ccmp || suite == cipher::ccmp256;
    const int mic_length = suite == cipher::ccmp ? 8 : 16;
    const EVP_CIPHER* aes = suite == cipher::ccmp     ? EVP_aes_128_ccm()
                            : suite == cipher::ccmp256 ? EVP_aes_256_ccm()
                            : suite == cipher::gcmp   ? EVP_aes_128_gcm()
                            : suite == cipher::gcmp256 ? EVP_aes_256_gcm()
                                                       : nullptr;
    const std::size_t key_length = suite == cipher::ccmp || suite == cipher::gcmp ? 16 : 32;
    if (aes == nullptr || tk.size() < key_length || header.size() < 24 || !fits_int(plain.size()) ||
        packet_number >> 48 != 0)
        return false;
    const unsigned fc = static_cast<unsigned>(header[0] | header[1] << 8);
    std::vector<std::uint8_t> nonce;
    if (ccm) { // Nonce Flags: the priority, or the Management bit (12.5.3.3.4)
        const std::size_t qos_at = four_address(fc) ? 30 : 24;
        put_u8(nonce, (fc & 0x0C) == 0x00 ? 0x10 : has_qos(fc) ? header[qos_at] & 0x0F : 0);
    }
    nonce.insert(nonce.end(), header.begin() + 10, header.begin() + 16);
    for (int shift = 40; shift >= 0; shift -= 8)
        put_u8(nonce, static_cast<unsigned>(packet_number >> shift) & 0xFF);
    const auto aad = aad_of(header);

    cipher_context context(EVP_CIPHER_CTX_new());
    std::vector<std::uint8_t> sealed(plain.size() + static_cast<std::size_t>(mic_length));
    int length = 0, final_length = 0;
    const bool ok =
        context && EVP_EncryptInit_ex(context.get(), aes, nullptr, nullptr, nullptr) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(nonce.size()), nullptr) == 1 &&
        (!ccm || EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_SET_TAG, mic_length, nullptr) == 1) &&
        EVP_EncryptInit_ex(context.get(), nullptr, nullptr, tk.data(), nonce.data()) == 1 &&
        (!ccm || EVP_EncryptUpdate(context.get(), nullptr, &length, nullptr, static_cast<int>(plain.size())) == 1) &&
        EVP_EncryptUpdate(context.get(), nullptr, &length, aad.data(), static_cast<int>(aad.size())) == 1 &&
        EVP_EncryptUpdate(context.get(), sealed.data(), &length, plain.data(), static_cast<int>(plain.size())) == 1 &&
        EVP_EncryptFinal_ex(context.get(), sealed.data() + length, &final_length) == 1 &&
        EVP_CIPHER_CTX_ctrl(context.get(), ccm ? EVP_CTRL_CCM_GET_TAG : EVP_CTRL_GCM_GET_TAG, mic_length,
                            sealed.data() + plain.size()) == 1;
    if (!ok)
        return false;
    put_protected_header(frame, header);
    for (unsigned byte : {static_cast<unsigned>(packet_number & 0xFF), static_cast<unsigned>(packet_number >> 8 & 0xFF),
                          0u, static_cast<unsigned>(key_id << 6 | 0x20)})
        put_u8(frame, byte);
    for (int shift = 16; shift < 48; shift += 8)
        put_u8(frame, static_cast<unsigned>(packet_number >> shift) & 0xFF);
    frame.insert(frame.end(), sealed.begin(), sealed.end());
    return true;
}

} // namespace gen
