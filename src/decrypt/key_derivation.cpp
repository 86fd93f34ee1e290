// Key derivation and the primitives under it, all through libcrypto.
#include "decrypt/key_derivation.h"

#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/params.h>
#include <openssl/provider.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <iterator>

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

// Each hash function as libcrypto names it, and its size, by hash_function.
struct hash_parameters {
    const char* name;
    std::size_t size;
};
constexpr hash_parameters hashes[] = {{"SHA1", 20}, {"SHA256", 32}, {"SHA384", 48}, {"SHA512", 64}};
static_assert(static_cast<std::size_t>(hash_function::sha512) + 1 == std::size(hashes));

const char* digest_name(hash_function hash) { return hashes[static_cast<std::size_t>(hash)].name; }
std::size_t digest_size(hash_function hash) { return hashes[static_cast<std::size_t>(hash)].size; }

// Each EAPOL-Key MIC algorithm as libcrypto computes it, by mic_algorithm:
// the MAC, the parameter that names its digest or cipher, that name, the
// bytes of its output that go into the MIC field, and the size its key
// must have (0: any).
struct mic_parameters {
    const char* mac;
    const char* parameter;
    const char* algorithm;
    std::size_t size;
    std::size_t key_size;
};
constexpr mic_parameters mics[] = {
    {"HMAC", OSSL_MAC_PARAM_DIGEST, "MD5", 16, 0},
    {"HMAC", OSSL_MAC_PARAM_DIGEST, "SHA1", 16, 0},
    {"CMAC", OSSL_MAC_PARAM_CIPHER, "AES-128-CBC", 16, 16},
    {"HMAC", OSSL_MAC_PARAM_DIGEST, "SHA256", 16, 0},
    {"HMAC", OSSL_MAC_PARAM_DIGEST, "SHA384", 24, 0},
    {"HMAC", OSSL_MAC_PARAM_DIGEST, "SHA512", 32, 0},
};
static_assert(static_cast<std::size_t>(mic_algorithm::hmac_sha512_256) + 1 == std::size(mics));

// A plain digest over the concatenation of `parts` (FT's key names, TDLS).
bool digest_of(hash_function hash, std::initializer_list<byte_span> parts, std::uint8_t* out,
               std::size_t out_size)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)> md(EVP_MD_fetch(nullptr, digest_name(hash), nullptr),
                                                       &EVP_MD_free);
    if (!context || !md || EVP_DigestInit_ex2(context.get(), md.get(), nullptr) != 1)
        return false;
    for (const byte_span part : parts)
        if (!part.empty() && EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1)
            return false;
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> full{};
    unsigned length = 0;
    if (EVP_DigestFinal_ex(context.get(), full.data(), &length) != 1 || length < out_size)
        return false;
    std::memcpy(out, full.data(), out_size);
    OPENSSL_cleanse(full.data(), full.size());
    return true;
}

// min(a,b) || max(a,b) of two equal-sized strings, appended to `out`.
void append_ordered(std::vector<std::uint8_t>& out, byte_span a, byte_span b)
{
    const bool a_first = less_than(a, b);
    const byte_span low = a_first ? a : b;
    const byte_span high = a_first ? b : a;
    out.insert(out.end(), low.begin(), low.end());
    out.insert(out.end(), high.begin(), high.end());
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
        if (!hmac("SHA1", key, {as_bytes(label), {&zero, 1}, data, {&counter, 1}}, digest.data(), block)) {
            OPENSSL_cleanse(digest.data(), digest.size());
            OPENSSL_cleanse(out.data(), out.size());
            return false;
        }
        const std::size_t take = std::min(block, out.size() - done);
        std::memcpy(out.data() + done, digest.data(), take);
        done += take;
    }
    OPENSSL_cleanse(digest.data(), digest.size());
    return true;
}

bool kdf_hash(hash_function hash, byte_span key, std::string_view label, byte_span data,
              std::span<std::uint8_t> out)
{
    // Length is a 16-bit count of bits.
    if (hash == hash_function::sha1 || key.empty() || out.empty() || out.size() > 0xFFFF / 8)
        return false;
    const std::size_t block = digest_size(hash);
    const auto bits = static_cast<std::uint16_t>(out.size() * 8);
    const std::array<std::uint8_t, 2> length{static_cast<std::uint8_t>(bits & 0xFF),
                                             static_cast<std::uint8_t>(bits >> 8)};
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    std::size_t done = 0;
    for (unsigned i = 1; done < out.size(); ++i) {
        const std::array<std::uint8_t, 2> counter{static_cast<std::uint8_t>(i & 0xFF),
                                                  static_cast<std::uint8_t>(i >> 8)};
        if (!hmac(digest_name(hash), key, {counter, as_bytes(label), data, length}, digest.data(), block)) {
            OPENSSL_cleanse(digest.data(), digest.size());
            OPENSSL_cleanse(out.data(), out.size());
            return false;
        }
        const std::size_t take = std::min(block, out.size() - done);
        std::memcpy(out.data() + done, digest.data(), take);
        done += take;
    }
    OPENSSL_cleanse(digest.data(), digest.size());
    return true;
}

bool kdf_sha256(byte_span key, std::string_view label, byte_span data, std::span<std::uint8_t> out)
{
    return kdf_hash(hash_function::sha256, key, label, data, out);
}

bool derive_ptk(const akm_suite& suite, byte_span pmk, byte_span authenticator_address,
                byte_span supplicant_address, byte_span authenticator_nonce, byte_span supplicant_nonce,
                std::span<std::uint8_t> ptk)
{
    if (pmk.size() != suite.pmk_length || authenticator_address.size() != 6 || supplicant_address.size() != 6 ||
        authenticator_nonce.size() != 32 || supplicant_nonce.size() != 32)
        return false;
    // KCK || KEK || TK, the TK being 16 or 32 bytes.
    const std::size_t keys = suite.kck_length + suite.kek_length;
    if (ptk.size() != keys + 16 && ptk.size() != keys + 32)
        return false;
    std::vector<std::uint8_t> data;
    data.reserve(6 + 6 + 32 + 32);
    append_ordered(data, authenticator_address, supplicant_address);
    append_ordered(data, authenticator_nonce, supplicant_nonce);
    const std::string_view label = "Pairwise key expansion";
    switch (suite.kdf) {
    case key_kdf::prf_sha1:
        return prf_sha1(pmk, label, data, ptk);
    case key_kdf::kdf_sha256:
        return kdf_hash(hash_function::sha256, pmk, label, data, ptk);
    case key_kdf::kdf_sha384:
        return kdf_hash(hash_function::sha384, pmk, label, data, ptk);
    case key_kdf::kdf_sha512:
        return kdf_hash(hash_function::sha512, pmk, label, data, ptk);
    }
    return false;
}

bool derive_ptk(int descriptor_version, byte_span pmk, byte_span authenticator_address,
                byte_span supplicant_address, byte_span authenticator_nonce, byte_span supplicant_nonce,
                std::span<std::uint8_t> ptk)
{
    const akm_suite* suite = descriptor_version_suite(descriptor_version);
    if (suite == nullptr || (ptk.size() != 48 && ptk.size() != 64))
        return false;
    return derive_ptk(*suite, pmk, authenticator_address, supplicant_address, authenticator_nonce,
                      supplicant_nonce, ptk);
}

bool eapol_key_mic(mic_algorithm algorithm, byte_span kck, byte_span eapol, std::span<std::uint8_t> mic)
{
    const mic_parameters& computed = mics[static_cast<std::size_t>(algorithm)];
    if (kck.empty() || mic.size() != computed.size || (computed.key_size != 0 && kck.size() != computed.key_size))
        return false;
    return mac_of(computed.mac, computed.parameter, computed.algorithm, kck, {eapol}, mic.data(), mic.size());
}

// Version 0 ("AKM-defined") stands for AKM 6 here, the one AKM-defined
// suite a handshake without a known RSNE is taken to use.
bool eapol_key_mic(int descriptor_version, byte_span kck, byte_span eapol, std::span<std::uint8_t, 16> mic)
{
    const akm_suite* suite = descriptor_version_suite(descriptor_version == 0 ? 3 : descriptor_version);
    return suite != nullptr && eapol_key_mic(suite->mic, kck, eapol, mic);
}

// ---- Fast BSS transition and TDLS

bool derive_pmk_r0(hash_function hash, byte_span xxkey, byte_span ssid, byte_span mobility_domain_id,
                   byte_span r0kh_id, byte_span s0kh_id, ft_key& pmk_r0)
{
    // Q, the PMK-R0's size, is the hash's: SHA-256 gives 256 bits, SHA-384 384.
    const std::size_t key_size = digest_size(hash);
    if (hash == hash_function::sha1 || key_size > pmk_r0.key.size() || xxkey.empty() || ssid.size() > 32 ||
        mobility_domain_id.size() != 2 || r0kh_id.empty() || r0kh_id.size() > 48 || s0kh_id.size() != 6)
        return false;
    const std::uint8_t ssid_length = static_cast<std::uint8_t>(ssid.size());
    const std::uint8_t r0kh_length = static_cast<std::uint8_t>(r0kh_id.size());
    std::vector<std::uint8_t> data{ssid_length};
    data.insert(data.end(), ssid.begin(), ssid.end());
    data.insert(data.end(), mobility_domain_id.begin(), mobility_domain_id.end());
    data.push_back(r0kh_length);
    data.insert(data.end(), r0kh_id.begin(), r0kh_id.end());
    data.insert(data.end(), s0kh_id.begin(), s0kh_id.end());
    // R0-Key-Data: PMK-R0 || PMK-R0Name-Salt (128 bits).
    std::array<std::uint8_t, 64 + 16> key_data{};
    const std::span<std::uint8_t> out(key_data.data(), key_size + 16);
    bool ok = kdf_hash(hash, xxkey, "FT-R0", data, out);
    if (ok) {
        std::memcpy(pmk_r0.key.data(), key_data.data(), key_size);
        pmk_r0.length = key_size;
        ok = digest_of(hash, {as_bytes("FT-R0N"), out.subspan(key_size)}, pmk_r0.name.data(),
                       pmk_r0.name.size());
    }
    OPENSSL_cleanse(key_data.data(), key_data.size());
    if (!ok) {
        OPENSSL_cleanse(pmk_r0.key.data(), pmk_r0.key.size());
        pmk_r0.length = 0;
    }
    return ok;
}

bool derive_pmk_r1(hash_function hash, const ft_key& pmk_r0, byte_span r1kh_id, byte_span s1kh_id,
                   ft_key& pmk_r1)
{
    const std::size_t key_size = digest_size(hash);
    if (hash == hash_function::sha1 || pmk_r0.length != key_size || r1kh_id.size() != 6 ||
        s1kh_id.size() != 6)
        return false;
    std::array<std::uint8_t, 12> data{};
    std::copy(r1kh_id.begin(), r1kh_id.end(), data.begin());
    std::copy(s1kh_id.begin(), s1kh_id.end(), data.begin() + 6);
    ft_key result;
    const bool ok = kdf_hash(hash, {pmk_r0.key.data(), key_size}, "FT-R1", data, {result.key.data(), key_size}) &&
                    digest_of(hash, {as_bytes("FT-R1N"), pmk_r0.name, r1kh_id, s1kh_id}, result.name.data(),
                              result.name.size());
    if (ok) {
        result.length = key_size;
        pmk_r1 = result;
    }
    OPENSSL_cleanse(result.key.data(), result.key.size());
    return ok;
}

bool derive_ft_ptk(hash_function hash, const ft_key& pmk_r1, byte_span authenticator_nonce,
                   byte_span supplicant_nonce, byte_span bssid, byte_span station_address,
                   std::span<std::uint8_t> ptk)
{
    if (hash == hash_function::sha1 || pmk_r1.length != digest_size(hash) || authenticator_nonce.size() != 32 ||
        supplicant_nonce.size() != 32 || bssid.size() != 6 || station_address.size() != 6 || ptk.size() < 48)
        return false;
    std::vector<std::uint8_t> data;
    data.reserve(32 + 32 + 6 + 6);
    data.insert(data.end(), supplicant_nonce.begin(), supplicant_nonce.end());
    data.insert(data.end(), authenticator_nonce.begin(), authenticator_nonce.end());
    data.insert(data.end(), bssid.begin(), bssid.end());
    data.insert(data.end(), station_address.begin(), station_address.end());
    return kdf_hash(hash, {pmk_r1.key.data(), pmk_r1.length}, "FT-PTK", data, ptk);
}

bool derive_tpk(hash_function hash, byte_span initiator_nonce, byte_span responder_nonce,
                byte_span initiator_address, byte_span responder_address, byte_span bssid,
                std::span<std::uint8_t> tpk)
{
    if (hash == hash_function::sha1 || initiator_nonce.size() != 32 || responder_nonce.size() != 32 ||
        initiator_address.size() != 6 || responder_address.size() != 6 || bssid.size() != 6 ||
        (tpk.size() != 32 && tpk.size() != 48))
        return false;
    std::vector<std::uint8_t> nonces;
    append_ordered(nonces, initiator_nonce, responder_nonce);
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> key_input{};
    const std::size_t key_size = digest_size(hash);
    std::vector<std::uint8_t> data;
    append_ordered(data, initiator_address, responder_address);
    data.insert(data.end(), bssid.begin(), bssid.end());
    const bool ok = digest_of(hash, {nonces}, key_input.data(), key_size) &&
                    kdf_hash(hash, {key_input.data(), key_size}, "TDLS PMK", data, tpk);
    OPENSSL_cleanse(key_input.data(), key_input.size());
    return ok;
}

bool aes_key_unwrap(byte_span kek, byte_span wrapped, std::span<std::uint8_t> out)
{
    if ((kek.size() != 16 && kek.size() != 32) || wrapped.size() % 8 != 0 || !fits_int(wrapped.size()) ||
        wrapped.size() < 24 || out.size() != wrapped.size() - 8)
        return false;
    cipher_ctx_ptr context(EVP_CIPHER_CTX_new());
    if (!context)
        return false;
    EVP_CIPHER_CTX_set_flags(context.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    const EVP_CIPHER* cipher = kek.size() == 16 ? EVP_aes_128_wrap() : EVP_aes_256_wrap();
    if (EVP_DecryptInit_ex(context.get(), cipher, nullptr, kek.data(), nullptr) != 1)
        return false;
    // Unwrap writes before it checks: the output stays clean on a mismatch.
    std::vector<std::uint8_t> result(wrapped.size() + 8);
    int length = 0;
    int final_length = 0;
    const bool ok =
        EVP_DecryptUpdate(context.get(), result.data(), &length, wrapped.data(), static_cast<int>(wrapped.size())) == 1 &&
        EVP_DecryptFinal_ex(context.get(), result.data() + length, &final_length) == 1 &&
        static_cast<std::size_t>(length + final_length) == out.size();
    if (ok)
        std::memcpy(out.data(), result.data(), out.size());
    OPENSSL_cleanse(result.data(), result.size());
    return ok;
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

