// Key derivation and the primitives behind it, all through libcrypto.
// Each returns false when a size is wrong or libcrypto fails.
#pragma once

#include "decrypt/decrypt.h"
#include "decrypt/suites.h"

#include <array>
#include <string_view>

// PMK = PBKDF2-HMAC-SHA1(passphrase, SSID, 4096 iterations, 32 bytes).
bool derive_pmk_from_passphrase(std::string_view passphrase, byte_span ssid,
                                std::span<std::uint8_t, 32> pmk);

// PRF-n of the pairwise key hierarchy (HMAC-SHA1): fills `out` entirely.
bool prf_sha1(byte_span key, std::string_view label, byte_span data, std::span<std::uint8_t> out);

// KDF-Hash-Length with HMAC-SHA256 (AKM 6 and others): fills `out`
// entirely; Length is out.size() * 8 bits.
bool kdf_sha256(byte_span key, std::string_view label, byte_span data, std::span<std::uint8_t> out);

// The PTK of a pair: "Pairwise key expansion" over min(AA,SPA) ||
// max(AA,SPA) || min(ANonce,SNonce) || max(ANonce,SNonce), by PRF-SHA1 for
// key descriptor versions 1 and 2 and by KDF-SHA256 for version 3. `ptk`
// holds KCK (16) || KEK (16) || TK (16 for CCMP, 32 for TKIP).
bool derive_ptk(int descriptor_version, byte_span pmk, byte_span authenticator_address,
                byte_span supplicant_address, byte_span authenticator_nonce,
                byte_span supplicant_nonce, std::span<std::uint8_t> ptk);

// KDF-Hash-Length (the key hierarchy's KDF) with HMAC-SHA256, -SHA384 or
// -SHA512: fills `out` entirely; Length is out.size() * 8 bits.
bool kdf_hash(hash_function hash, byte_span key, std::string_view label, byte_span data,
              std::span<std::uint8_t> out);

// The PTK of a pair under `suite`: "Pairwise key expansion" over
// min(AA,SPA) || max(AA,SPA) || min(ANonce,SNonce) || max(ANonce,SNonce)
// with the suite's KDF. `ptk` is KCK || KEK || TK with the suite's KCK and
// KEK lengths and the cipher's TK length; ptk.size() is their sum.
bool derive_ptk(const akm_suite& suite, byte_span pmk, byte_span authenticator_address,
                byte_span supplicant_address, byte_span authenticator_nonce,
                byte_span supplicant_nonce, std::span<std::uint8_t> ptk);

// The EAPOL-Key MIC by algorithm; mic.size() is the suite's MIC length.
bool eapol_key_mic(mic_algorithm algorithm, byte_span kck, byte_span eapol, std::span<std::uint8_t> mic);

// Fast BSS transition's key hierarchy. XXKey is the PMK for FT-PSK and
// FT-SAE, the second 256 bits of the MSK for FT-802.1X (the first 384 bits
// for SHA-384). Sizes follow the hash: PMK-R0 and PMK-R1 are 32 bytes for
// SHA-256, 48 for SHA-384, 64 for SHA-512 (FT-SAE with group 21); the names
// are 16 bytes.
struct ft_key {
    std::array<std::uint8_t, 64> key{};
    std::size_t length = 0;
    std::array<std::uint8_t, 16> name{};
};
bool derive_pmk_r0(hash_function hash, byte_span xxkey, byte_span ssid, byte_span mobility_domain_id,
                   byte_span r0kh_id, byte_span s0kh_id, ft_key& pmk_r0);
bool derive_pmk_r1(hash_function hash, const ft_key& pmk_r0, byte_span r1kh_id, byte_span s1kh_id,
                   ft_key& pmk_r1);
// "FT-PTK" over SNonce || ANonce || BSSID || STA-ADDR: KCK || KEK || TK as
// for derive_ptk.
bool derive_ft_ptk(hash_function hash, const ft_key& pmk_r1, byte_span authenticator_nonce,
                   byte_span supplicant_nonce, byte_span bssid, byte_span station_address,
                   std::span<std::uint8_t> ptk);

// TDLS: TPK-KCK || TPK-TK from the two nonces, the initiator's and the
// responder's addresses and the BSSID ("TDLS PMK"); tpk.size() is 16 plus
// the cipher's TK length.
bool derive_tpk(hash_function hash, byte_span initiator_nonce, byte_span responder_nonce,
                byte_span initiator_address, byte_span responder_address, byte_span bssid,
                std::span<std::uint8_t> tpk);

// The EAPOL-Key MIC over `eapol` (the whole EAPOL frame with its MIC field
// zeroed): HMAC-MD5 (version 1), HMAC-SHA1 cut to 16 bytes (version 2) or
// AES-128-CMAC (version 3, and version 0 with AKM 6).
bool eapol_key_mic(int descriptor_version, byte_span kck, byte_span eapol,
                   std::span<std::uint8_t, 16> mic);

// AES key unwrap (RFC 3394, the default IV) under a 16- or 32-byte KEK;
// false on an integrity mismatch, `out` left as it was. out.size() is
// wrapped.size() - 8, a multiple of 8 of at least 16.
bool aes_key_unwrap(byte_span kek, byte_span wrapped, std::span<std::uint8_t> out);

// out[i] = in[i] ^ RC4(key) keystream byte discard + i. `out` may be `in`.
bool rc4_xor(byte_span key, std::size_t discard, byte_span in, std::uint8_t* out);
