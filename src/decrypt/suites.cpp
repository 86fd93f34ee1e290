// What an AKM and a cipher suite fix for the key hierarchy and the frames.
// The figures are those of the AKM suite selector table and the EAPOL-Key
// MIC/KCK/KEK lengths of the RSN key management clauses.
#include "decrypt/suites.h"

namespace {

using enum hash_function;
using enum key_kdf;
using enum mic_algorithm;

// PRF-SHA1 and HMAC-SHA1-128 (the descriptor version may still ask for MD5).
constexpr akm_suite sha1_suite(int akm)
{
    return {akm, sha1, prf_sha1, hmac_sha1_128, 16, 16, 16, 32, false};
}

// KDF-SHA256 with AES-128-CMAC, the SHA-256 AKMs and SAE.
constexpr akm_suite cmac_suite(int akm, bool fast_transition)
{
    return {akm, sha256, kdf_sha256, aes128_cmac, 16, 16, 16, 32, fast_transition};
}

// The suites whose MIC is an HMAC of the KDF's own hash, sized by it:
// SHA-256 128-bit MIC, KCK and KEK; SHA-384 192-bit MIC and KCK, 256-bit
// KEK; SHA-512 256 bits each. The PMK is as long as the hash.
constexpr akm_suite hmac_suite(int akm, hash_function hash, bool fast_transition)
{
    switch (hash) {
    case sha384:
        return {akm, sha384, kdf_sha384, hmac_sha384_192, 24, 24, 32, 48, fast_transition};
    case sha512:
        return {akm, sha512, kdf_sha512, hmac_sha512_256, 32, 32, 32, 64, fast_transition};
    default:
        return {akm, sha256, kdf_sha256, hmac_sha256_128, 16, 16, 16, 32, fast_transition};
    }
}

// One entry per group hash: groups 19, 20 and 21 (and their FFC peers)
// use SHA-256, SHA-384 and SHA-512.
struct group_hash_suites {
    akm_suite by_hash[3];
};

constexpr group_hash_suites group_dependent(int akm, bool fast_transition)
{
    return {{hmac_suite(akm, sha256, fast_transition), hmac_suite(akm, sha384, fast_transition),
             hmac_suite(akm, sha512, fast_transition)}};
}

constexpr akm_suite ieee8021x = sha1_suite(1);
constexpr akm_suite psk = sha1_suite(2);
constexpr akm_suite ft_ieee8021x = cmac_suite(3, true);
constexpr akm_suite ft_psk = cmac_suite(4, true);
constexpr akm_suite ieee8021x_sha256 = cmac_suite(5, false);
constexpr akm_suite psk_sha256 = cmac_suite(6, false);
constexpr akm_suite sae = cmac_suite(8, false);
constexpr akm_suite ft_sae = cmac_suite(9, true);
constexpr akm_suite suite_b = hmac_suite(11, sha256, false);
constexpr akm_suite suite_b_192 = hmac_suite(12, sha384, false);
constexpr akm_suite ft_ieee8021x_sha384 = hmac_suite(13, sha384, true);
constexpr group_hash_suites owe = group_dependent(18, false);
constexpr group_hash_suites sae_ext_key = group_dependent(24, false);
constexpr group_hash_suites ft_sae_ext_key = group_dependent(25, true);

// Key descriptor versions 1 to 3, where no AKM is known.
constexpr akm_suite descriptor_versions[] = {
    {0, sha1, prf_sha1, hmac_md5, 16, 16, 16, 32, false},
    {0, sha1, prf_sha1, hmac_sha1_128, 16, 16, 16, 32, false},
    {0, sha256, kdf_sha256, aes128_cmac, 16, 16, 16, 32, false},
};

} // namespace

std::size_t temporal_key_length(cipher_suite suite)
{
    switch (suite) {
    case cipher_suite::tkip:
    case cipher_suite::ccmp256:
    case cipher_suite::gcmp256:
        return 32;
    case cipher_suite::ccmp128:
    case cipher_suite::gcmp128:
        return 16;
    default:
        return 0;
    }
}

std::span<const akm_suite> akm_suites(int akm)
{
    switch (akm) {
    case 1:
        return {&ieee8021x, 1};
    case 2:
        return {&psk, 1};
    case 3:
        return {&ft_ieee8021x, 1};
    case 4:
        return {&ft_psk, 1};
    case 5:
        return {&ieee8021x_sha256, 1};
    case 6:
        return {&psk_sha256, 1};
    case 8:
        return {&sae, 1};
    case 9:
        return {&ft_sae, 1};
    case 11:
        return {&suite_b, 1};
    case 12:
        return {&suite_b_192, 1};
    case 13:
        return {&ft_ieee8021x_sha384, 1};
    case 18:
        return owe.by_hash;
    case 24:
        return sae_ext_key.by_hash;
    case 25:
        return ft_sae_ext_key.by_hash;
    default:
        return {};
    }
}

const akm_suite* descriptor_version_suite(int version)
{
    if (version < 1 || version > 3)
        return nullptr;
    return &descriptor_versions[version - 1];
}
