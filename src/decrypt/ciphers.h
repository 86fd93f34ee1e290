// The frame ciphers (rc4_ciphers.cpp: WEP and TKIP; aead_ciphers.cpp: CCMP
// and GCMP) and TKIP's own parts, which libcrypto does not have (tkip.cpp).
#pragma once

#include "decrypt/decrypt.h"
#include "decrypt/suites.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

// Phase 1 key mixing: TTAK from TK (16 bytes), TA and the high 32 bits of
// the TSC.
std::array<std::uint16_t, 5> tkip_mixing_phase1(byte_span temporal_key, byte_span transmitter,
                                                std::uint32_t iv32);
// Phase 2 key mixing: the 16-byte RC4 key from TTAK, TK and the low 16 bits
// of the TSC.
std::array<std::uint8_t, 16> tkip_mixing_phase2(const std::array<std::uint16_t, 5>& ttak,
                                                byte_span temporal_key, std::uint16_t iv16);
// Michael over `data` under an 8-byte key.
std::array<std::uint8_t, 8> michael(byte_span key, byte_span data);

// A protected frame is given as `frame`, the 802.11 MPDU from Frame Control
// to the end of the cipher's trailer (an FCS behind it already removed),
// and `header_length`, the size of its MAC header, where the cipher header
// begins. Decryption writes the plaintext body (behind the cipher header,
// before the trailer) to `plain`, which has room for frame.size() bytes, and
// returns its length; -1 when the frame is too short or fails its integrity
// check.

// WEP: IV (3) + key id, RC4 over IV || key (5 or 13 bytes), CRC-32 ICV.
int wep_decrypt(byte_span key, byte_span frame, std::size_t header_length, std::uint8_t* plain);

// TKIP: `temporal_key` is 32 bytes, TK || Michael key of the authenticator's
// transmissions || Michael key of the supplicant's. `from_authenticator`
// picks the Michael key (frames from the AP, and every group frame). Checks
// the ICV and the Michael MIC over DA, SA, priority and the MSDU.
int tkip_decrypt(byte_span temporal_key, bool from_authenticator, byte_span frame,
                 std::size_t header_length, std::uint8_t* plain);

// The two MLD addresses an individually addressed frame between an AP MLD
// and a non-AP MLD is protected with (IEEE 802.11be-2024, 12.5.2.3.3 and
// 12.5.4.3.3): the frame carries the addresses of the link it is sent on,
// its nonce and AAD the MLDs' in place of A1 and A2, and the AP MLD's in
// place of A3 where A3 is the link's BSSID.
struct mld_pair {
    mac_address ap{};
    mac_address station{};
};
// The 6-byte address at `a` as a number, for compares and hashes.
[[gnu::always_inline]] inline std::uint64_t address_number(const std::uint8_t* a)
{
    std::uint32_t low = 0;
    std::uint16_t high = 0;
    std::memcpy(&low, a, 4);
    std::memcpy(&high, a + 4, 2);
    return low | static_cast<std::uint64_t>(high) << 32;
}

// Whether the 6-byte addresses at `a` and `b` are the same: a few loads
// and a compare, where a memcmp of 6 bytes is a call.
[[gnu::always_inline]] inline bool same_address(const std::uint8_t* a, const std::uint8_t* b)
{
    return address_number(a) == address_number(b);
}

// Rewrites a header's A1, A2 and A3 (`addresses`, 18 bytes from A1, under
// Frame Control `fc`) as the MLD addresses they stand for; a frame that
// is not ToDS or FromDS alone is left as it is. The nonce's A2 is the
// rewritten A2. Inline, with copies and a compare of fixed size that the
// compiler makes a few loads and stores: every frame between two MLDs
// passes here twice, once for its AAD and once for its header.
[[gnu::always_inline]] inline void use_mld_addresses(const mld_pair& mlds, int fc,
                                                     std::span<std::uint8_t, 18> addresses)
{
    if (is_to_ds(fc) == is_from_ds(fc))
        return;
    // The link's BSSID is the AP's address as sent: A2 from the AP, A1 to it.
    const bool from_ap = is_from_ds(fc);
    std::uint8_t* const at = addresses.data();
    const bool third_is_bssid = same_address(at + (from_ap ? 6 : 0), at + 12);
    std::memcpy(at, (from_ap ? mlds.station : mlds.ap).data(), 6);
    std::memcpy(at + 6, (from_ap ? mlds.ap : mlds.station).data(), 6);
    if (third_is_bssid)
        std::memcpy(at + 12, mlds.ap.data(), 6);
}

// The AEAD frame ciphers: CCMP-128 (nonce and AAD built from the header,
// 12.5.3.3; 8-byte MIC), CCMP-256 (16-byte MIC), GCMP-128 and GCMP-256
// (12-byte nonce A2 || PN, 16-byte MIC). A key holds libcrypto's
// decrypting context so that the key schedule is made once per key; a
// context serves one thread, so it belongs to whoever decrypts, never to a
// shared session. The key is wiped when it goes.
struct aead_key {
    cipher_suite suite = cipher_suite::none;
    std::array<std::uint8_t, 32> key{};
    std::unique_ptr<struct evp_cipher_ctx_st, cipher_context_deleter> context;
    aead_key() = default;
    aead_key(aead_key&&) noexcept = default;
    aead_key& operator=(aead_key&&) noexcept = default;
    ~aead_key();
};
// False for a suite that is not one of the four or a key of the wrong length.
bool aead_key_set(aead_key& key, cipher_suite suite, byte_span temporal_key);
// `mlds`, for a frame between two MLDs, names their addresses.
int aead_decrypt(aead_key& key, byte_span frame, std::size_t header_length, std::uint8_t* plain,
                 const mld_pair* mlds = nullptr);

// Writes a frame's nonce at `out`: priority (CCM only) || A2 || PN5 .. PN0,
// the PN read from `cipher_header` (the 8 bytes behind the MAC header).
// Returns where the nonce ends.
inline std::uint8_t* put_aead_nonce(bool gcm, std::uint8_t priority, byte_span address2, byte_span cipher_header,
                                    std::uint8_t* out)
{
    std::array<std::uint8_t, aead_header_size> read{};
    record_copy(read.data(), cipher_header, 0, read.size());
    if (!gcm)
        *out++ = priority;
    record_copy(out, address2, 0, 6);
    out += 6;
    constexpr std::array<std::size_t, 6> pn_offsets{7, 6, 5, 4, 1, 0}; // PN5 .. PN0
    for (const std::size_t offset : pn_offsets)
        *out++ = read[offset];
    return out;
}

// What an AEAD cipher takes from one protected frame (12.5.3.3, 12.5.5.3):
// the nonce, the AAD built from the header with the fields a
// retransmission or a relay may change masked out, and spans into the
// frame for the ciphertext and the MIC. Any back end builds them here.
struct aead_frame {
    std::array<std::uint8_t, 13> nonce{}; // CCMP: 13 bytes; GCMP: the first 12
    std::size_t nonce_size = 0;
    std::array<std::uint8_t, 30> aad{};
    std::size_t aad_size = 0;
    byte_span body;
    byte_span mic;
};
// False for a suite that is not one of the four, or a frame too short for
// its MAC header, cipher header and MIC, or without the Ext IV bit.
bool aead_frame_parts(cipher_suite suite, byte_span frame, std::size_t header_length, aead_frame& out,
                      const mld_pair* mlds = nullptr);
