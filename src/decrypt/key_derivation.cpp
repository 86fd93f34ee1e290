// Key derivation and the primitives under it, all through libcrypto.
#include "decrypt/decrypt.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>
#include <openssl/provider.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

// Fits a size into the int that libcrypto takes.
bool fits_int(std::size_t size)
{
    return size <= static_cast<std::size_t>(INT_MAX);
}

// One HMAC over the concatenation of `parts`, through EVP_MAC.
struct mac_deleter {
    void operator()(EVP_MAC_CTX* context) const { EVP_MAC_CTX_free(context); }
    void operator()(EVP_MAC* mac) const { EVP_MAC_free(mac); }
};

bool mac_of(const char* algorithm, const char* param_name, const char* param_value, byte_span key,
            std::initializer_list<byte_span> parts, std::uint8_t* out, std::size_t out_size)
{
    std::unique_ptr<EVP_MAC, mac_deleter> mac(EVP_MAC_fetch(nullptr, algorithm, nullptr));
    if (!mac)
        return false;
    std::unique_ptr<EVP_MAC_CTX, mac_deleter> context(EVP_MAC_CTX_new(mac.get()));
    if (!context)
        return false;
    // The parameter value is only read, but OSSL_PARAM holds a non-const pointer.
    std::string value(param_value);
    const OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(param_name, value.data(), 0),
                                 OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(context.get(), key.data(), key.size(), params) != 1)
        return false;
    for (const byte_span part : parts)
        if (!part.empty() && EVP_MAC_update(context.get(), part.data(), part.size()) != 1)
            return false;
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> full{};
    std::size_t length = 0;
    if (EVP_MAC_final(context.get(), full.data(), &length, full.size()) != 1 || length < out_size)
        return false;
    std::memcpy(out, full.data(), out_size);
    OPENSSL_cleanse(full.data(), full.size());
    return true;
}

bool hmac(const char* digest, byte_span key, std::initializer_list<byte_span> parts, std::uint8_t* out,
          std::size_t out_size)
{
    return mac_of("HMAC", OSSL_MAC_PARAM_DIGEST, digest, key, parts, out, out_size);
}

byte_span as_bytes(std::string_view text)
{
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Orders two equal-sized byte strings as unsigned big numbers.
bool less_than(byte_span a, byte_span b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

// RC4 lives in the legacy provider; loading it makes the default provider
// no longer implicit, so both are loaded, once for the process. They are
// unloaded at exit, before libcrypto's own cleanup, which was registered
// when they were loaded.
class providers {
public:
    providers()
        : legacy_(OSSL_PROVIDER_load(nullptr, "legacy")), standard_(OSSL_PROVIDER_load(nullptr, "default"))
    {
    }
    ~providers()
    {
        if (standard_ != nullptr)
            OSSL_PROVIDER_unload(standard_);
        if (legacy_ != nullptr)
            OSSL_PROVIDER_unload(legacy_);
    }
    providers(const providers&) = delete;
    providers& operator=(const providers&) = delete;
    bool loaded() const { return legacy_ != nullptr && standard_ != nullptr; }

private:
    OSSL_PROVIDER* legacy_;
    OSSL_PROVIDER* standard_;
};

bool legacy_loaded()
{
    static const providers loaded;
    return loaded.loaded();
}

struct cipher_ctx_deleter {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
using cipher_ctx_ptr = std::unique_ptr<EVP_CIPHER_CTX, cipher_ctx_deleter>;

// AES-128 key wrap in either direction; unwrap fails on a wrong check value.
bool key_wrap(bool wrap, byte_span kek, byte_span in, std::span<std::uint8_t> out)
{
    if (kek.size() != 16 || in.size() % 8 != 0 || !fits_int(in.size()))
        return false;
    if (wrap ? (in.size() < 16 || out.size() != in.size() + 8)
             : (in.size() < 24 || out.size() != in.size() - 8))
        return false;
    cipher_ctx_ptr context(EVP_CIPHER_CTX_new());
    if (!context)
        return false;
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_CipherInit_ex(context.get(), EVP_aes_128_wrap(), nullptr, kek.data(), nullptr, wrap ? 1 : 0) != 1)
        return false;
    // Unwrap writes before it checks: keep the output clean on a mismatch.
    std::vector<std::uint8_t> result(in.size() + 8);
    int length = 0;
    int final_length = 0;
    const bool ok = EVP_CipherUpdate(context.get(), result.data(), &length, in.data(), static_cast<int>(in.size())) == 1 &&
                    EVP_CipherFinal_ex(context.get(), result.data() + length, &final_length) == 1 &&
                    static_cast<std::size_t>(length + final_length) == out.size();
    if (ok)
        std::memcpy(out.data(), result.data(), out.size());
    OPENSSL_cleanse(result.data(), result.size());
    return ok;
}

} // namespace

bool derive_pmk_from_passphrase(std::string_view passphrase, byte_span ssid, std::span<std::uint8_t, 32> pmk)
{
    // The passphrase is 8 to 63 printable characters and the SSID at most 32 bytes.
    if (passphrase.size() < 8 || passphrase.size() > 63 || ssid.size() > 32)
        return false;
    return PKCS5_PBKDF2_HMAC_SHA1(passphrase.data(), static_cast<int>(passphrase.size()), ssid.data(),
                                  static_cast<int>(ssid.size()), 4096, static_cast<int>(pmk.size()),
                                  pmk.data()) == 1;
}

bool prf_sha1(byte_span key, std::string_view label, byte_span data, std::span<std::uint8_t> out)
{
    if (key.empty() || out.empty())
        return false;
    constexpr std::size_t block = 20;
    const std::uint8_t zero = 0;
    std::array<std::uint8_t, block> digest{};
    std::size_t done = 0;
    for (unsigned i = 0; done < out.size(); ++i) {
        if (i > 255)
            return false;
        const std::uint8_t counter = static_cast<std::uint8_t>(i);
        if (!hmac("SHA1", key, {as_bytes(label), {&zero, 1}, data, {&counter, 1}}, digest.data(), block))
            return false;
        const std::size_t take = std::min(block, out.size() - done);
        std::memcpy(out.data() + done, digest.data(), take);
        done += take;
    }
    OPENSSL_cleanse(digest.data(), digest.size());
    return true;
}

bool kdf_sha256(byte_span key, std::string_view label, byte_span data, std::span<std::uint8_t> out)
{
    // Length is a 16-bit count of bits.
    if (key.empty() || out.empty() || out.size() > 0xFFFF / 8)
        return false;
    constexpr std::size_t block = 32;
    const auto bits = static_cast<std::uint16_t>(out.size() * 8);
    const std::array<std::uint8_t, 2> length{static_cast<std::uint8_t>(bits & 0xFF),
                                             static_cast<std::uint8_t>(bits >> 8)};
    std::array<std::uint8_t, block> digest{};
    std::size_t done = 0;
    for (unsigned i = 1; done < out.size(); ++i) {
        const std::array<std::uint8_t, 2> counter{static_cast<std::uint8_t>(i & 0xFF),
                                                  static_cast<std::uint8_t>(i >> 8)};
        if (!hmac("SHA256", key, {counter, as_bytes(label), data, length}, digest.data(), block))
            return false;
        const std::size_t take = std::min(block, out.size() - done);
        std::memcpy(out.data() + done, digest.data(), take);
        done += take;
    }
    OPENSSL_cleanse(digest.data(), digest.size());
    return true;
}

bool derive_ptk(int descriptor_version, byte_span pmk, byte_span authenticator_address,
                byte_span supplicant_address, byte_span authenticator_nonce, byte_span supplicant_nonce,
                std::span<std::uint8_t> ptk)
{
    if (pmk.size() != 32 || authenticator_address.size() != 6 || supplicant_address.size() != 6 ||
        authenticator_nonce.size() != 32 || supplicant_nonce.size() != 32)
        return false;
    if (ptk.size() != 48 && ptk.size() != 64)
        return false;
    const bool aa_first = less_than(authenticator_address, supplicant_address);
    const bool an_first = less_than(authenticator_nonce, supplicant_nonce);
    std::array<std::uint8_t, 6 + 6 + 32 + 32> data{};
    auto at = data.begin();
    at = std::copy_n((aa_first ? authenticator_address : supplicant_address).begin(), 6, at);
    at = std::copy_n((aa_first ? supplicant_address : authenticator_address).begin(), 6, at);
    at = std::copy_n((an_first ? authenticator_nonce : supplicant_nonce).begin(), 32, at);
    std::copy_n((an_first ? supplicant_nonce : authenticator_nonce).begin(), 32, at);
    const std::string_view label = "Pairwise key expansion";
    switch (descriptor_version) {
    case 1:
    case 2:
        return prf_sha1(pmk, label, data, ptk);
    case 3:
        return kdf_sha256(pmk, label, data, ptk);
    default:
        return false;
    }
}

bool eapol_key_mic(int descriptor_version, byte_span kck, byte_span eapol, std::span<std::uint8_t, 16> mic)
{
    if (kck.empty())
        return false;
    switch (descriptor_version) {
    case 1:
        return hmac("MD5", kck, {eapol}, mic.data(), mic.size());
    case 2:
        return hmac("SHA1", kck, {eapol}, mic.data(), mic.size());
    case 0:
    case 3:
        if (kck.size() != 16)
            return false;
        return mac_of("CMAC", OSSL_MAC_PARAM_CIPHER, "AES-128-CBC", kck, {eapol}, mic.data(), mic.size());
    default:
        return false;
    }
}

bool aes_key_unwrap(byte_span kek, byte_span wrapped, std::span<std::uint8_t> out)
{
    return key_wrap(false, kek, wrapped, out);
}

bool aes_key_wrap(byte_span kek, byte_span plain, std::span<std::uint8_t> out)
{
    return key_wrap(true, kek, plain, out);
}

bool rc4_xor(byte_span key, std::size_t discard, byte_span in, std::uint8_t* out)
{
    if (key.empty() || !fits_int(key.size()) || !fits_int(in.size()) || (out == nullptr && !in.empty()))
        return false;
    if (!legacy_loaded())
        return false;
    std::unique_ptr<EVP_CIPHER, cipher_ctx_deleter> rc4(EVP_CIPHER_fetch(nullptr, "RC4", nullptr));
    cipher_ctx_ptr context(EVP_CIPHER_CTX_new());
    if (!rc4 || !context)
        return false;
    // The key length is variable: set it before the key itself.
    if (EVP_EncryptInit_ex2(context.get(), rc4.get(), nullptr, nullptr, nullptr) != 1 ||
        EVP_CIPHER_CTX_set_key_length(context.get(), static_cast<int>(key.size())) != 1 ||
        EVP_EncryptInit_ex2(context.get(), nullptr, key.data(), nullptr, nullptr) != 1)
        return false;
    std::array<std::uint8_t, 256> skipped{};
    while (discard > 0) {
        const std::size_t step = std::min(discard, skipped.size());
        int length = 0;
        if (EVP_EncryptUpdate(context.get(), skipped.data(), &length, skipped.data(), static_cast<int>(step)) != 1)
            return false;
        discard -= step;
    }
    OPENSSL_cleanse(skipped.data(), skipped.size());
    if (in.empty())
        return true;
    int length = 0;
    return EVP_EncryptUpdate(context.get(), out, &length, in.data(), static_cast<int>(in.size())) == 1 &&
           static_cast<std::size_t>(length) == in.size();
}

std::uint32_t crc32_of(byte_span bytes)
{
    uLong crc = crc32(0L, Z_NULL, 0);
    const std::uint8_t* data = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const auto step = static_cast<uInt>(std::min<std::size_t>(left, 1u << 30));
        crc = crc32(crc, data, step);
        data += step;
        left -= step;
    }
    return static_cast<std::uint32_t>(crc);
}
