// Suites: what the AKM and the cipher negotiated in the RSNE fix for the
// key hierarchy and the frames. The tracker reads the AKM and the ciphers
// from the handshake's RSNE and looks everything else up here; nothing is
// guessed from a key's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Cipher suites by their RSN suite type (00-0F-AC:type).
enum class cipher_suite : std::uint8_t {
    none = 0,
    wep40 = 1,
    tkip = 2,
    ccmp128 = 4,
    wep104 = 5,
    bip_cmac128 = 6,
    gcmp128 = 8,
    gcmp256 = 9,
    ccmp256 = 10,
    bip_gmac128 = 11,
    bip_gmac256 = 12,
    bip_cmac256 = 13,
};

// Bytes of the temporal key of a data cipher kestrine decrypts (TKIP: 32,
// TK and both Michael keys); 0 for any other suite.
std::size_t temporal_key_length(cipher_suite suite);

enum class hash_function { sha1, sha256, sha384, sha512 };

// The KDF that expands a PMK (or PMK-R1) into the PTK.
enum class key_kdf { prf_sha1, kdf_sha256, kdf_sha384, kdf_sha512 };

// The EAPOL-Key MIC algorithms.
enum class mic_algorithm { hmac_md5, hmac_sha1_128, aes128_cmac, hmac_sha256_128, hmac_sha384_192, hmac_sha512_256 };

// What one AKM fixes for the key hierarchy. OWE (18) and SAE with the
// group-dependent hash (24, 25) have one entry per hash of their group.
struct akm_suite {
    int akm = 0;              // RSN AKM suite type; 0 for a suite known by its descriptor version only
    hash_function hash = hash_function::sha1; // the hash of the KDF and of FT's key names
    key_kdf kdf = key_kdf::prf_sha1;
    mic_algorithm mic = mic_algorithm::hmac_sha1_128;
    std::size_t mic_length = 16;  // bytes of the EAPOL-Key MIC field
    std::size_t kck_length = 16;
    std::size_t kek_length = 16;  // AES key wrap's KEK: 16 or 32 bytes
    std::size_t pmk_length = 32;  // 32, 48 or 64
    bool fast_transition = false; // FT: the PTK comes from PMK-R1
};

// The suites an AKM may use: one for most AKMs, one per group hash for
// OWE (18) and AKMs 24 and 25; empty for an AKM kestrine does not support.
std::span<const akm_suite> akm_suites(int akm);

// The suite that a key descriptor version implies where no RSNE names the
// AKM (WPA1, or a handshake whose RSNE was not captured): 1 HMAC-MD5 and
// PRF-SHA1, 2 HMAC-SHA1 and PRF-SHA1, 3 AES-128-CMAC and KDF-SHA256.
// Null for any other version (0 means "AKM-defined").
const akm_suite* descriptor_version_suite(int version);
