// Decryption of protected 802.11 Data frames, between reading a record and
// translating it: the keys a user gives, the handshake tracker that turns
// passphrases into per-station keys, and the ciphers (WEP, TKIP, CCMP).
//
// Frame bytes are untrusted: every function here checks its lengths before
// it reads, and a frame that is too short or fails its integrity check is
// refused, never half-decrypted.
#pragma once

#include "convert/convert.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

using byte_span = std::span<const std::uint8_t>;

// ---------------------------------------------------------------------------
// Suites (suites.cpp): what the AKM and the cipher negotiated in the RSNE fix
// for the key hierarchy and the frames. The tracker reads the AKM and the
// ciphers from the handshake's RSNE and looks everything else up here;
// nothing is guessed from a key's length.

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

// ---------------------------------------------------------------------------
// Key derivation and the primitives behind it (key_derivation.cpp). Each
// returns false when a size is wrong or libcrypto fails.

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

// AES key wrap (RFC 3394, the default IV) under a 16- or 32-byte KEK. Unwrap
// fails on an integrity mismatch. out.size() is wrapped.size() - 8 and
// plain.size() + 8 respectively; sizes are multiples of 8, at least 16.
bool aes_key_unwrap(byte_span kek, byte_span wrapped, std::span<std::uint8_t> out);
bool aes_key_wrap(byte_span kek, byte_span plain, std::span<std::uint8_t> out);

// out[i] = in[i] ^ RC4(key) keystream byte discard + i. `out` may be `in`.
bool rc4_xor(byte_span key, std::size_t discard, byte_span in, std::uint8_t* out);

// ---------------------------------------------------------------------------
// TKIP's own parts, which libcrypto does not have (tkip.cpp).

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

// ---------------------------------------------------------------------------
// Frame ciphers (ciphers.cpp).
//
// A protected frame is given as `frame`, the 802.11 MPDU from Frame Control
// to the end of the cipher's trailer (an FCS behind it already removed),
// and `header_length`, the size of its MAC header, where the cipher header
// begins. Decryption writes the plaintext body (behind the cipher header,
// before the trailer) to `plain`, which has room for frame.size() bytes, and
// returns its length; -1 when the frame is too short or fails its integrity
// check. Encryption (for the generator) appends the whole protected frame,
// header (Protected bit set) included, to `frame`.

// WEP: IV (3) + key id, RC4 over IV || key (5 or 13 bytes), CRC-32 ICV.
int wep_decrypt(byte_span key, byte_span frame, std::size_t header_length, std::uint8_t* plain);
bool wep_encrypt(byte_span key, std::span<const std::uint8_t, 3> iv, int key_index, byte_span header,
                 byte_span plain, std::vector<std::uint8_t>& frame);

// TKIP: `temporal_key` is 32 bytes, TK || Michael key of the authenticator's
// transmissions || Michael key of the supplicant's. `from_authenticator`
// picks the Michael key (frames from the AP, and every group frame). Checks
// the ICV and the Michael MIC over DA, SA, priority and the MSDU.
int tkip_decrypt(byte_span temporal_key, bool from_authenticator, byte_span frame,
                 std::size_t header_length, std::uint8_t* plain);
bool tkip_encrypt(byte_span temporal_key, bool from_authenticator, std::uint64_t tsc, int key_index,
                  byte_span header, byte_span plain, std::vector<std::uint8_t>& frame);

struct cipher_context_deleter {
    void operator()(struct evp_cipher_ctx_st* context) const;
};

// A CCMP-128 key with libcrypto's context, so that the AES key schedule is
// made once per key rather than once per frame.
struct ccmp_key {
    std::array<std::uint8_t, 16> key{};
    std::unique_ptr<struct evp_cipher_ctx_st, cipher_context_deleter> context;
};
bool ccmp_key_set(ccmp_key& key, byte_span temporal_key);

// CCMP-128: nonce and AAD built from the header (12.5.3.3), 8-byte MIC.
int ccmp_decrypt(ccmp_key& key, byte_span frame, std::size_t header_length, std::uint8_t* plain);
bool ccmp_encrypt(ccmp_key& key, std::uint64_t packet_number, int key_index, byte_span header,
                  byte_span plain, std::vector<std::uint8_t>& frame);

// The AEAD frame ciphers: CCMP-128, CCMP-256 (16-byte MIC), GCMP-128 and
// GCMP-256 (12-byte nonce A2 || PN, 16-byte MIC). A key holds libcrypto's
// context so that the key schedule is made once per key; a context serves
// one direction and one thread, so it belongs to whoever decrypts, never
// to a shared session. The key is wiped when it goes.
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
int aead_decrypt(aead_key& key, byte_span frame, std::size_t header_length, std::uint8_t* plain);
bool aead_encrypt(aead_key& key, std::uint64_t packet_number, int key_index, byte_span header,
                  byte_span plain, std::vector<std::uint8_t>& frame);

// The CCMP and GCMP header: PN0, PN1, reserved, key ID octet, PN2 .. PN5.
constexpr std::size_t aead_header_size = 8;

// Writes a frame's nonce at `out`: priority (CCM only) || A2 || PN5 .. PN0,
// the PN read from the cipher header at `cipher_header`, whose bounds the
// caller has checked. Returns where the nonce ends.
inline std::uint8_t* put_aead_nonce(bool gcm, std::uint8_t priority, const std::uint8_t* address2,
                                    const std::uint8_t* cipher_header, std::uint8_t* out)
{
    if (!gcm)
        *out++ = priority;
    out = std::copy_n(address2, 6, out);
    constexpr std::array<std::size_t, 6> pn_offsets{7, 6, 5, 4, 1, 0}; // PN5 .. PN0
    for (const std::size_t offset : pn_offsets)
        *out++ = cipher_header[offset];
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
bool aead_frame_parts(cipher_suite suite, byte_span frame, std::size_t header_length, aead_frame& out);

// ---------------------------------------------------------------------------
// The elements a handshake carries in its Key Data (rsn_elements.cpp): the
// RSNE (or WPA1's vendor element) that names the AKM and the ciphers, and
// the KDEs of message 3 and of the group key handshake. Every length is
// checked against the bytes there are; an element that claims more is
// malformed, never read past.

// A suite selector as one number: the RSN suite type for the 00-0F-AC OUI
// (or WPA1's 00-50-F2, whose types 1-5 name the same ciphers and AKMs 1
// and 2); `unknown_suite` for any other OUI.
constexpr int unknown_suite = 256;

// One element of an ID-length-body list at `at`: its ID and body, with
// `at` moved past it. False, reading nothing beyond `bytes`, when its
// header or body runs past their end. Elements, KDEs and FT subelements
// share the form.
bool next_element(byte_span bytes, std::size_t& at, int& id, byte_span& body);

struct rsn_element {
    int group_cipher = -1;        // -1: the element ends before it
    std::array<int, 4> pairwise_ciphers{};
    std::size_t pairwise_count = 0; // the first four kept
    std::array<int, 4> akms{};
    std::size_t akm_count = 0;
    bool wpa1 = false;
};

// Parses the body of an RSNE (`wpa1` false: from its Version field) or of
// WPA1's vendor element (`wpa1` true: behind the OUI and type). The element
// may end after any whole field; false when a count runs past its end or
// the version is not 1.
bool parse_rsn_element(byte_span body, bool wpa1, rsn_element& out);

struct key_data_elements {
    bool has_rsn = false;
    rsn_element rsn;    // the first RSNE or WPA1 element
    int gtk_key_id = -1; // GTK KDE: its key ID, -1 when absent
    byte_span gtk;
    int key_id = -1;     // Key ID KDE (Extended Key ID): -1 when absent
    bool has_igtk = false;
};

// Walks the elements of a Key Data field (decrypted when it was). Stops at
// the padding (0xDD then zeros). False when an element runs past the end
// or an RSNE or KDE is malformed.
bool parse_key_data(byte_span data, key_data_elements& out);

// ---------------------------------------------------------------------------
// The user's keys (keys.cpp).

struct user_key {
    enum class kind { wep, wpa } type = kind::wep;
    std::vector<std::uint8_t> wep_key;  // 5 or 13 bytes
    std::array<std::uint8_t, 64> pmk{}; // WPA: the PMK, from the passphrase and SSID or given
    std::size_t pmk_length = 32;        // 32; 48 or 64 for a PMK of the SHA-384 or SHA-512 AKMs
    user_key() = default;
    user_key(const user_key&) = default;
    user_key& operator=(const user_key&) = default;
    ~user_key();
};

// Parses one KEY: "wep:HEX" (10 or 26 hex digits, ':' allowed between
// bytes), "wpa-pwd:PASSPHRASE:SSID" (the passphrase runs to the first ':';
// "%XX" escapes any byte in either) or "wpa-psk:HEX" (64, 96 or 128 hex
// digits: a PMK of 32, 48 or 64 bytes). On a malformed KEY returns false with `error`
// saying what is wrong; the error never quotes the key.
bool parse_key(std::string_view text, user_key& key, std::string& error);

// ---------------------------------------------------------------------------
// Keys, handshakes and sessions (tracker.cpp, sessions.cpp).
//
// Three kinds of state, kept apart:
// - key_store: the user's keys, fixed before the first record. Keys are
//   known by their position among the keys given ("key 2"), never by value.
// - handshake_tracker: what the capture's handshakes have said so far,
//   every map bounded; it turns a handshake that a key matches into an
//   installed session.
// - session: the keys of one pair of stations or one group key, immutable
//   once installed and shared by pointer; replaced whole, wiped when the
//   last holder lets it go. Cipher contexts are not part of a session: the
//   decryptor that uses a session keeps its own, keyed by the session's id.

using mac_address = std::array<std::uint8_t, 6>;

struct key_store {
    struct pmk_entry {
        std::array<std::uint8_t, 64> pmk{};
        std::size_t length = 32;
        int position = 0; // 1 for the first key given
    };
    std::vector<std::vector<std::uint8_t>> wep_keys;
    std::vector<pmk_entry> pmks;
    int keys_given = 0;
    key_store() = default;
    key_store(const key_store&) = delete;
    key_store& operator=(const key_store&) = delete;
    ~key_store();
};

// The keys one handshake (or an FT or TDLS exchange) gives. Immutable once
// made; its bytes are wiped when it goes.
struct session {
    std::uint64_t id = 0;                  // unique within the run: a decryptor's cache key
    cipher_suite cipher = cipher_suite::none;
    mac_address authenticator{};           // TKIP picks its Michael key by direction
    std::array<std::uint8_t, 32> temporal_key{};
    std::size_t temporal_key_length = 0;
    session() = default;
    session(const session&) = delete;
    session& operator=(const session&) = delete;
    ~session();
};
using session_ptr = std::shared_ptr<const session>;

// A pair's protection of its EAPOL-Key frames: what a handshake checked by
// its MIC gives, beside the pairwise session. Wiped when it goes.
struct pairwise_protection {
    akm_suite suite;
    int descriptor_version = 0;
    cipher_suite group_cipher = cipher_suite::none; // none: not read from an RSNE
    std::array<std::uint8_t, 32> kck{};
    std::array<std::uint8_t, 32> kek{};
    pairwise_protection() = default;
    pairwise_protection(const pairwise_protection&) = default;
    pairwise_protection& operator=(const pairwise_protection&) = default;
    ~pairwise_protection();
};

// A pair's pairwise keys: one per key ID (Extended Key ID uses 0 and 1;
// without it only 0), and the key each slot held before its last rekey,
// kept until the new key decrypts a frame.
struct pair_keys {
    std::array<session_ptr, 2> current;
    std::array<session_ptr, 2> previous;
    session_ptr fresh;  // matched at message 2, key ID not yet known from message 3
    session_ptr newest; // the key of the pair's last matched handshake
    std::shared_ptr<const pairwise_protection> protection;
    bool extended_key_id = false;
};

// A map that holds at most `limit` entries: a new entry beyond it evicts
// the oldest, counted in `evicted`.
template <class key_type, class value_type>
struct bounded_map {
    explicit bounded_map(std::size_t most) : limit(most) {}
    std::size_t limit;
    std::map<key_type, std::pair<value_type, std::uint64_t>> entries;
    std::vector<std::pair<key_type, std::uint64_t>> order; // oldest first, from `order_start`
    std::size_t order_start = 0;
    std::uint64_t next_stamp = 0;
    std::int64_t evicted = 0;

    // Counts every call that may change the map or an entry, so that a
    // lookup remembered elsewhere knows when to look again.
    std::uint64_t version = 1;

    const value_type* find(const key_type& key) const
    {
        const auto found = entries.find(key);
        return found == entries.end() ? nullptr : &found->second.first;
    }
    // The entry of `key`, to be changed; null when missing.
    value_type* find_to_change(const key_type& key)
    {
        ++version;
        const auto found = entries.find(key);
        return found == entries.end() ? nullptr : &found->second.first;
    }
    // The entry of `key`, made (value-initialised) when missing.
    value_type& get(const key_type& key)
    {
        if (value_type* found = find_to_change(key))
            return *found;
        while (entries.size() >= limit && order_start < order.size()) {
            const auto& [oldest, stamp] = order[order_start++];
            const auto found = entries.find(oldest);
            if (found != entries.end() && found->second.second == stamp) {
                entries.erase(found);
                ++evicted;
            }
        }
        if (order_start > limit) { // the vector stays within twice the limit
            order.erase(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(order_start));
            order_start = 0;
        }
        order.emplace_back(key, next_stamp);
        return entries.emplace(key, std::pair<value_type, std::uint64_t>{value_type{}, next_stamp++}).first->second.first;
    }
    void erase(const key_type& key)
    {
        ++version;
        entries.erase(key);
    }
};

using pair_id = std::array<std::uint8_t, 12>;  // the two addresses in ascending order
using group_id = std::array<std::uint8_t, 7>;  // the transmitter's address and the key index

// A pair of stations' addresses as a map key, the same whichever comes first.
pair_id make_pair_id(const mac_address& a, const mac_address& b);
group_id make_group_id(const mac_address& transmitter, int key_index);

// What a handshake in progress has told so far.
struct pending_handshake {
    mac_address authenticator{};
    mac_address supplicant{};
    std::array<std::uint8_t, 32> anonce{};
    std::array<std::uint8_t, 32> snonce{};
    bool have_anonce = false;
    bool have_snonce = false;
    bool completed = false; // these nonces already gave the pair its keys
    // The suites message 2 allows (its RSNE, or its descriptor version).
    std::array<akm_suite, 3> candidates{};
    std::size_t candidate_count = 0;
    cipher_suite pairwise_cipher = cipher_suite::none;
    cipher_suite group_cipher = cipher_suite::none;
    // The nonces of the handshake last counted in the statistics, and how:
    // a handshake counts once, however many of its messages were checked.
    std::array<std::uint8_t, 64> counted_nonces{};
    enum class tally { none, matched, unmatched, other } counted = tally::none;
};

// What --stats says of one network (an authenticator's BSSID).
struct network_record {
    std::array<std::uint8_t, 32> ssid{};
    std::size_t ssid_length = 0;
    bool ssid_seen = false;
    std::map<int, std::int64_t> matched_by_key; // key position -> handshakes
    std::int64_t unmatched = 0;
};

// Handshake drops that --stats counts on rows of their own.
struct handshake_drops {
    std::int64_t unsupported_akm = 0;     // an AKM or pairwise cipher kestrine has no suite for
    std::int64_t malformed = 0;           // MIC length or Key Data length inconsistent, an RSNE or KDE that lies
    std::int64_t no_key_of_length = 0;    // no key of the PMK length the AKM needs was given
    // FT and TDLS frames refused: an element that lies about its length,
    // a MIC no key gives, a reassociation without its FT authentication.
    std::int64_t key_exchange_refused = 0;
};

// What a station's association, FT Authentication and 4-way handshake
// frames with one access point have said: the names PMK-R0 and PMK-R1 are
// derived with (12.7.1.7), and the nonces of an FT exchange over the air.
struct ft_context {
    std::array<std::uint8_t, 32> ssid{};
    std::size_t ssid_length = 0;
    bool have_ssid = false;
    std::array<std::uint8_t, 2> mobility_domain{};
    bool have_mobility_domain = false;
    std::array<std::uint8_t, 48> r0kh_id{};
    std::size_t r0kh_id_length = 0;
    mac_address r1kh_id{};
    bool have_r1kh_id = false;
    std::array<std::uint8_t, 32> anonce{};
    std::array<std::uint8_t, 32> snonce{};
    bool have_snonce = false;           // the station's FT Authentication request
    bool have_anonce = false;           // the access point's answer
    std::array<std::uint8_t, 64> installed_nonces{}; // the exchange whose keys are installed
    bool installed = false;
};

// A TDLS direct link whose TPK is installed, by the nonces that gave it.
struct tdls_link {
    std::array<std::uint8_t, 64> nonces{}; // SNonce || ANonce
    std::array<std::uint8_t, 16> kck{};    // TPK-KCK: checks the Setup Confirm
    tdls_link() = default;
    tdls_link(const tdls_link&) = default;
    tdls_link& operator=(const tdls_link&) = default;
    ~tdls_link();
};

// The tracker's limits: a handshake in progress costs memory for any
// frame that looks like one, so those are fewest; sessions need a key's
// MIC, so a capture cannot make them up without the key.
constexpr std::size_t pending_limit = 4096;
constexpr std::size_t session_limit = 65536;
constexpr std::size_t network_limit = 4096;

struct handshake_tracker {
    bounded_map<pair_id, pending_handshake> pending{pending_limit};
    bounded_map<pair_id, pair_keys> pairs{session_limit};
    bounded_map<group_id, session_ptr> groups{session_limit};
    bounded_map<mac_address, network_record> networks{network_limit};
    // Pairs, and the access points of pairs, whose handshake no key matched
    // or whose suite kestrine cannot decrypt.
    bounded_map<pair_id, bool> unmatched_pairs{pending_limit};
    bounded_map<mac_address, bool> unmatched_authenticators{network_limit};
    bounded_map<pair_id, bool> unsupported_pairs{pending_limit};
    bounded_map<mac_address, bool> unsupported_authenticators{network_limit};
    // Any frame may start an FT context; a TDLS link needs a setup seen
    // under a pair's key, and its MIC.
    bounded_map<pair_id, ft_context> fast_transitions{pending_limit}; // by station and access point
    bounded_map<pair_id, tdls_link> tdls_links{pending_limit};        // by the two stations
    std::int64_t handshakes_completed = 0; // a key's MIC matched
    std::int64_t handshakes_unmatched = 0; // no key given matches the MIC
    handshake_drops drops;
    std::uint64_t next_session_id = 1;
    std::vector<std::uint8_t> scratch; // an EAPOL frame with its MIC zeroed

    // Entries evicted from every map to keep memory bounded.
    std::int64_t evicted() const;
};

// Installs a pair's pairwise session under `key_id` (0 or 1), keeping the
// slot's previous key until the new one decrypts a frame; with
// `protection`, the KCK and KEK that later EAPOL-Key frames of the pair
// are checked and decrypted with. For handshakes followed elsewhere (FT,
// TDLS) as for the 4-way handshake.
void install_pairwise_session(handshake_tracker& tracker, const mac_address& authenticator,
                              const mac_address& supplicant, int key_id, session_ptr keys,
                              std::shared_ptr<const pairwise_protection> protection);
void install_group_session(handshake_tracker& tracker, const mac_address& transmitter, int key_index,
                           session_ptr keys);
// A new session with a run-unique id; false when the cipher is not one
// kestrine decrypts or the key's length is not the cipher's.
bool make_session(handshake_tracker& tracker, cipher_suite cipher, const mac_address& authenticator,
                  byte_span temporal_key, session_ptr& out);

// The elements of a management frame, a Key Data field or a TDLS action
// that FT and TDLS read, each whole (ID and length included) and checked
// to lie within `elements`; the first of each kind is kept. False when an
// element runs past the end.
struct frame_elements {
    byte_span ssid, rsne, mobility_domain, fast_transition, timeout_interval, link_identifier, rsn_extension;
};
bool find_elements(byte_span elements, frame_elements& out);

// The fields of a Fast BSS Transition element (9.4.2.46) with a MIC of
// `mic_length` bytes (16, or 24 for the SHA-384 AKMs): spans into the
// element. False when it is shorter than its fixed fields or a
// subelement runs past its end.
struct fte_fields {
    byte_span mic, anonce, snonce;
    byte_span r0kh_id, r1kh_id; // empty when absent
    byte_span gtk;              // the GTK subelement's body, empty when absent
};
bool parse_fte(byte_span element, std::size_t mic_length, fte_fields& out);

// Elements of a 4-way handshake's message 2 under an FT AKM (its MDE and
// FTE) kept for the pair's initial mobility-domain association.
void note_ft_elements(handshake_tracker& tracker, const mac_address& access_point, const mac_address& station,
                      byte_span key_data);

// True when the pair's frames named everything PMK-R0 needs: the SSID,
// the MDID and the R0KH-ID.
bool ft_names_known(handshake_tracker& tracker, const mac_address& access_point, const mac_address& station);

// The PTK of an initial mobility-domain association (12.7.1.7): PMK-R0
// from `xxkey` and the SSID, MDID and R0KH-ID the pair's frames gave,
// PMK-R1 for the R1KH-ID, then FT-PTK. False when the frames did not say
// enough or a size is wrong.
bool derive_ft_initial_ptk(handshake_tracker& tracker, const akm_suite& suite, byte_span xxkey,
                           const mac_address& access_point, const mac_address& station, byte_span anonce,
                           byte_span snonce, std::span<std::uint8_t> ptk);

// Decrypts frames with sessions. Owns the cipher contexts of the sessions
// it has used (a small cache keyed by session id), so that two decryptors
// may one day work on two threads over the same sessions.
struct decryptor {
    struct cached_key {
        std::uint64_t session_id = 0;
        std::uint64_t last_used = 0;
        aead_key key;
    };
    std::array<cached_key, 32> cache; // a network of many stations takes turns
    std::uint64_t uses = 0;
    std::vector<std::uint8_t> unpadded; // a frame without its data pad
};

// The slot of a small cache for session `id`: the one that holds it (`hit`
// set), else the least recently used one of the four where `id` may be,
// which the caller keys anew. Slots have `session_id` (0: empty) and
// `last_used`. Looking at four, not all, keeps a lookup per frame cheap.
template <class Slot, std::size_t size>
Slot& cache_slot(std::array<Slot, size>& cache, std::uint64_t& uses, std::uint64_t id, bool& hit)
{
    constexpr std::size_t ways = size < 4 ? size : 4;
    static_assert(size % ways == 0);
    ++uses;
    Slot* const set = cache.data() + (id % (size / ways)) * ways;
    Slot* oldest = set;
    for (Slot* slot = set; slot != set + ways; ++slot) {
        if (slot->session_id == id && id != 0) {
            slot->last_used = uses;
            hit = true;
            return *slot;
        }
        if (slot->last_used < oldest->last_used)
            oldest = slot;
    }
    oldest->last_used = uses;
    hit = false;
    return *oldest;
}

// The decryptor's context for an AEAD session: the cached one, or the
// least recently used one keyed anew. Null when the key is refused.
aead_key* decryptor_key(decryptor& frames, const session& keys);

// ---------------------------------------------------------------------------
// Batches of AEAD frames (frame_batches.cpp): the cipher work of many frames
// at once, so that a multi-buffer back end can interleave them and another
// thread can do it. A back end is chosen once per run and used by one
// thread; it keeps its own key schedules, cached by session id.

// One frame of a batch. The session, the frame and the plaintext buffer
// outlive the call.
struct aead_job {
    const session* keys = nullptr;  // the cipher (CCMP-128/256, GCMP-128/256) and temporal key
    byte_span frame;                // the MPDU from Frame Control, data pad and FCS removed
    std::size_t header_length = 0;  // where the cipher header begins
    // Room for frame.size() bytes: the plaintext body. It may be the body
    // itself (frame after the MAC and cipher headers): the
    // frame is then decrypted in place, and one that fails keeps its
    // ciphertext.
    std::uint8_t* plain = nullptr;
    int result = -1;                // set by decrypt: the body's length, or -1 (too short, or a wrong MIC)
};

// Whether the job's plaintext goes into its own frame: decrypted in place.
inline bool decrypts_in_place(const aead_job& job)
{
    const std::less<const std::uint8_t*> before;
    return !before(job.plain, job.frame.data()) && before(job.plain, job.frame.data() + job.frame.size());
}

class aead_batch_decryptor {
public:
    virtual ~aead_batch_decryptor() = default;
    // Decrypts every job, setting its result. A job whose MIC is wrong
    // leaves no plaintext behind.
    virtual void decrypt(std::span<aead_job> jobs) = 0;
    // The back end, as --version and --stats name it.
    virtual const char* name() const = 0;
};

// The fastest back end this machine and build have (the multi-buffer
// library on x86-64 with AES-NI, else libcrypto), and libcrypto's alone,
// which is also the reference that tests compare the other with.
std::unique_ptr<aead_batch_decryptor> make_aead_batch_decryptor();
std::unique_ptr<aead_batch_decryptor> make_libcrypto_batch_decryptor();
// The multi-buffer library's back end alone: null when the build has no
// library or the CPU no AES-NI.
std::unique_ptr<aead_batch_decryptor> make_multi_buffer_batch_decryptor();

// Everything decryption knows during a run: the user's keys, the
// handshakes followed, and the decryptor. Memory is bounded, whatever the
// capture holds.
// One answer of settled_aead_session, good while neither map it read has
// changed: the session is the map's own entry.
struct settled_lookup {
    mac_address receiver{};
    mac_address transmitter{};
    int key_index = 0;
    std::uint64_t pairs_version = 0;
    std::uint64_t groups_version = 0;
    const session_ptr* found = nullptr;
};

struct decryption {
    key_store keys;
    handshake_tracker tracker;
    decryptor frames;
    std::vector<std::uint8_t> key_data; // decrypted Key Data, wiped after use
    std::array<settled_lookup, 61> settled{};
};

void add_user_key(decryption& state, const user_key& key);

// True when the state has a WPA key, so EAPOL-Key and management frames
// are worth following.
inline bool follows_handshakes(const decryption& state) { return !state.keys.pmks.empty(); }

// Decrypts one protected Data frame: `frame` runs from Frame Control to
// the end of the captured bytes, FCS included when `fcs_at_end`; when
// `data_pad`, the body starts at the next 4-byte boundary behind the MAC
// header. When the FCS is not announced, a frame whose last four bytes are
// its own CRC-32 loses them too, should the integrity check need it.
//
// On success returns record_fate::decrypted and leaves in `plain` the
// unprotected frame: the MAC header with the Protected bit cleared, then
// the plaintext body. Otherwise returns why the frame stays protected.
// A decrypted EAPOL-Key frame (a group key handshake) is followed too.
record_fate decrypt_data_frame(decryption& state, byte_span frame, bool fcs_at_end, bool data_pad,
                               std::vector<std::uint8_t>& plain);

// decrypt_data_frame in steps, so that the cipher work of AEAD frames can
// run elsewhere, batched, while the frames' order still decides the keys.
//
// A protected Data frame made ready for its cipher: `frame` from Frame
// Control to the cipher's trailer, its data pad removed (into `unpadded`)
// and an announced FCS removed.
struct protected_frame {
    byte_span frame;
    std::size_t header_length = 0;
    bool fcs_announced = false; // else a frame may still end in its FCS
    bool extended_iv = false;   // CCMP, GCMP, TKIP; WEP without
    int key_index = 0;
    mac_address receiver{};
    mac_address transmitter{};
};
// record_fate::decrypted when `out` is ready, else why the frame is too short.
record_fate prepare_protected_frame(byte_span frame, bool fcs_at_end, bool data_pad,
                                    std::vector<std::uint8_t>& unpadded, protected_frame& out);

// `frame` without its last four bytes when they are its CRC-32; empty
// otherwise. A frame whose FCS is not announced and that fails its
// integrity check is tried again so.
byte_span without_trailing_fcs(byte_span frame);

// The one AEAD session that decides the frame's fate, when deciding it
// changes nothing the tracker holds: a group key, or a pair slot's key
// with no key before a rekey nor a fresh key waiting. Null otherwise: the
// frame is then decrypted by decrypt_data_frame, in its turn. The session
// is the tracker's entry: it stays valid until the tracker next changes.
const session_ptr* settled_aead_session(decryption& state, const protected_frame& frame);

// The decrypted frame's last step: `plain` holds the MAC header, then the
// body; clears the Protected bit and follows a decrypted EAPOL-Key or TDLS
// setup frame.
void finish_decrypted_frame(decryption& state, std::span<std::uint8_t> plain, std::size_t header_length);

// What a frame body's LLC header says it carries, of the frames that
// change keys.
enum class key_exchange { none, eapol, tdls };
// Inline: the reader asks it of every frame it hands on. The EtherType
// is looked at first: every Data frame's body begins with the same SNAP
// header, and the EtherType tells most of them apart at once.
inline key_exchange starts_key_exchange(byte_span body)
{
    constexpr std::array<std::uint8_t, 6> snap = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
    const byte_span llc = record_bytes(body, 0, snap.size() + 2);
    if (llc.empty())
        return key_exchange::none;
    const key_exchange carried = llc[6] == 0x89 && llc[7] == 0x0D   ? key_exchange::tdls
                                 : llc[6] == 0x88 && llc[7] == 0x8E ? key_exchange::eapol
                                                                    : key_exchange::none;
    if (carried == key_exchange::none || !std::equal(snap.begin(), snap.end(), llc.begin()))
        return key_exchange::none;
    return carried;
}

// The first bytes of AEAD frames' plaintexts, their MICs not checked: one
// block of keystream each (CCM's counter block 1, GCM's inc32(J0)), so
// that a reader can tell a frame that changes keys before it hands the
// frame's cipher work to another thread. The blocks of a run of frames
// are computed together, session by session, which pipelines the cipher.
// Keeps one block cipher per session used, a small cache.
struct keystream_peek {
    std::array<std::uint8_t, 16> block{}; // the counter block, then its keystream
    std::array<std::uint8_t, 8> body{};   // the first bytes of the body, then of its plaintext
    std::uint32_t group = 0;              // which of the run's sessions keys the frame
    bool ready = false;                   // the frame holds 8 bytes of body, and a counter block
};
struct keystream_peeker {
    struct cached_key {
        std::uint64_t session_id = 0;
        std::uint64_t last_used = 0;
        std::unique_ptr<struct evp_cipher_ctx_st, cipher_context_deleter> context;
    };
    std::array<cached_key, 32> cache; // a network of many stations takes turns
    std::uint64_t uses = 0;
    std::vector<std::array<std::uint8_t, 16>> blocks; // a session's, side by side
    std::vector<std::uint32_t> order;                 // the peeks, session by session
    std::vector<std::uint32_t> group_starts;
};
// Readies `peek` for `frame` under `keys`.
void prepare_keystream_peek(const session& keys, const protected_frame& frame, keystream_peek& peek);
// Turns each ready peek's body into plaintext, under the keys its group
// names; one whose keys have no block cipher is no longer ready.
void peek_plaintexts(keystream_peeker& peeker, std::span<keystream_peek> peeks, std::span<const session_ptr> groups);

// Follows an unprotected Data frame if it is an EAPOL-Key frame of a
// 4-way or group key handshake. `body` is the frame body, from its LLC
// header on.
void follow_eapol_frame(decryption& state, byte_span frame, byte_span body);

// Follows a management frame (`frame` from Frame Control, FCS excluded):
// the SSID of a Beacon or Probe Response names its network in --stats;
// (re)association and FT Authentication frames give FT its key names and
// nonces, and a Reassociation Response whose MIC a key checks installs
// the keys of an FT reassociation.
void follow_management_frame(decryption& state, byte_span frame);

// Follows a management frame of `subtype` that may belong to FT: a
// (re)association request or response, an FT Authentication frame.
void follow_fast_transition_frame(decryption& state, byte_span frame, int subtype);

// Follows a decrypted TDLS Setup Request, Response or Confirm (`body`
// from the LLC header on, EtherType 0x890D): a Response or Confirm whose
// MIC the TPK checks installs the direct link's pairwise session.
// decrypt_data_frame calls it; a setup sent in the clear is not followed.
void follow_tdls_frame(decryption& state, byte_span body);

// The per-network rows of --stats, one line each, in `lines`.
void describe_networks(const decryption& state, std::vector<std::string>& lines);
