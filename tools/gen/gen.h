// kestrine_gen's parts: the byte writers and capture headers every mix
// shares, the busy access point, the protected networks with the key
// hierarchy and ciphers of their own, and the --full-decode mix. main.cpp
// holds the command line. Nothing here comes from the program the captures
// test: every cipher and key derivation is the generator's own, over
// libcrypto, so that a fault on the decrypting side is not written into
// the captures that should catch it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace gen {

using byte_span = std::span<const std::uint8_t>;

struct options {
    int link_type = 127;
    std::uint64_t records = 0; // 0: no record limit
    std::uint64_t bytes = 0;   // 0: no size limit
    bool small_packets = false;
    std::uint64_t seed = 1;
    const char* output = nullptr;
    std::string encrypt; // "", "ccmp", "tkip", "wep", "ccmp256", "gcmp" or "gcmp256"
    unsigned akm = 2;    // the AKM suite of a WPA network
    unsigned owe_group = 19;
    std::string pmk;     // hex, given instead of a passphrase
    bool group_handshake = false; // 4-way handshakes seen as messages 1 and 2, a group key handshake after
    bool extended_key_id = false; // pairwise keys on key IDs 0 and 1, rekeyed
    std::string passphrase;
    std::string ssid;
    std::string wep_key;
    unsigned stations = 2;
    bool unencrypted_twin = false; // the same records, their traffic unprotected
    bool full_decode_mix = false;  // every case --full-decode treats apart
    bool fcs = false;              // radiotap records end in the frame's FCS
    bool fast_transition = false;  // FT-PSK or FT-802.1X: stations roam to a second access point
    bool tdls = false;             // two stations set up a TDLS direct link
    bool wpa1 = false;             // a WPA network (the WPA element), TKIP group key, group rekeys
    bool protected_management = false; // SA Queries under the pair's key; deauthentications and reconnections
    unsigned mlo_links = 0;        // 2 or 3: a multi-link network (IEEE 802.11be) of that many links
    bool mlo_rekey_link_kdes = false; // its group key handshakes carry MLO Link KDEs beside the MLO GTK KDEs
    bool mlo_rekey_elsewhere = false; // and go on a link other than the station's setup link
    unsigned mlo_rekey_every = 150;   // frames of traffic between group rekeys; 0: none
};

// ---- capture.cpp: random numbers, byte writers, capture headers ----

std::uint64_t next_random(std::uint64_t& state);
std::uint32_t below(std::uint64_t& state, std::uint32_t bound);

using mac = std::array<std::uint8_t, 6>;
inline constexpr mac access_point = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0x01};
inline constexpr mac gateway = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0xFE};
inline constexpr mac broadcast_address = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

void put(std::vector<std::uint8_t>& out, const mac& address);
void put_u8(std::vector<std::uint8_t>& out, unsigned value);
void put_le16(std::vector<std::uint8_t>& out, unsigned value);
void put_be16(std::vector<std::uint8_t>& out, unsigned value);
void put_random(std::vector<std::uint8_t>& out, std::size_t count, std::uint64_t& state);
// Random bytes drawn as put_random draws them, into `out`.
void fill_random(std::span<std::uint8_t> out, std::uint64_t& state);

void put_beacon_fields(std::vector<std::uint8_t>& out);
void put_capture_header(std::vector<std::uint8_t>& out, int link_type, std::uint64_t& state);
std::size_t imix_ip_length(std::uint64_t& state, bool small_packets);
void put_ip_packet(std::vector<std::uint8_t>& out, std::size_t length, std::uint64_t& state);
// Fills in the checksum of the IPv4 header at `at` in `packet`.
void set_ip_checksum(std::vector<std::uint8_t>& packet, std::size_t at);

// Frame control: the type and subtype word as it sits in the frame.
constexpr unsigned fc_data = 0x0008, fc_null = 0x0048, fc_qos_data = 0x0088, fc_qos_null = 0x00C8;
constexpr unsigned fc_to_ds = 0x0100, fc_from_ds = 0x0200, fc_more_fragments = 0x0400, fc_retry = 0x0800,
                   fc_protected = 0x4000, fc_order = 0x8000;
constexpr bool has_qos(unsigned fc) { return (fc & 0x0C) == 0x08 && (fc & 0x80) != 0; }
constexpr bool four_address(unsigned fc) { return (fc & (fc_to_ds | fc_from_ds)) == (fc_to_ds | fc_from_ds); }
std::size_t mac_header_length(unsigned fc);

// Ends the program with one line on standard error.
[[noreturn]] void fail(const char* what);

void put_management_header(std::vector<std::uint8_t>& out, unsigned subtype, const mac& destination,
                           const mac& source, const mac& bssid, std::uint64_t& state);
// A Data (or, with `tid`, QoS Data) header, FromDS from the access point
// or ToDS to it, with its sequence number.
void put_data_header(std::vector<std::uint8_t>& out, bool from_ap, const mac& address1, const mac& address2,
                     const mac& address3, unsigned sequence, const unsigned* tid = nullptr);
void put_ssid(std::vector<std::uint8_t>& out, const std::string& ssid);
void put_rates(std::vector<std::uint8_t>& out);
// An (Re)Association Request up to its Supported Rates element: a
// reassociation when `current_access_point` is given. The response up to
// the same element, success, with its association ID.
void put_association_request(std::vector<std::uint8_t>& out, const mac& station, const mac& bssid,
                             const mac* current_access_point, const std::string& ssid, std::uint64_t& state);
void put_association_response(std::vector<std::uint8_t>& out, bool reassociation, const mac& station,
                              const mac& bssid, unsigned aid, std::uint64_t& state);

// ---- own_crypto.cpp: the key hierarchy and the frame ciphers, over
// libcrypto ----

enum class cipher { wep, tkip, ccmp, ccmp256, gcmp, gcmp256 };

// PMK = PBKDF2-HMAC-SHA1(passphrase, SSID, 4096 iterations); false unless
// the passphrase has 8 to 63 characters and the SSID 1 to 32 bytes.
bool own_pmk_from_passphrase(std::string_view passphrase, byte_span ssid, std::span<std::uint8_t, 32> pmk);
// out[i] = in[i] ^ RC4(key)'s keystream byte discard + i; `out` may be `in`.
bool own_rc4_xor(byte_span key, std::size_t discard, byte_span in, std::uint8_t* out);
std::uint32_t own_crc32(byte_span bytes);

// `out` gets the first out.size() bytes of the MAC ("HMAC" or "CMAC")
// under `algorithm` (a digest or cipher name).
bool own_mac(const char* mac_name, const char* algorithm, byte_span key, byte_span data, std::span<std::uint8_t> out);
bool own_prf_sha1(byte_span key, std::string_view label, byte_span data, std::span<std::uint8_t> out);
bool own_kdf(const char* digest, byte_span key, std::string_view label, byte_span context,
             std::span<std::uint8_t> out);
bool own_key_wrap(byte_span kek, byte_span plain, std::vector<std::uint8_t>& wrapped);
// The frame ciphers append header (Protected set), cipher header,
// ciphertext and trailer. CCMP and GCMP:
bool own_aead_encrypt(cipher suite, byte_span tk, std::uint64_t packet_number, int key_id, byte_span header,
                      byte_span plain, std::vector<std::uint8_t>& frame);
// WEP under a 5- or 13-byte key.
bool own_wep_encrypt(byte_span key, std::span<const std::uint8_t, 3> iv, int key_id, byte_span header,
                     byte_span plain, std::vector<std::uint8_t>& frame);
// TKIP under TK || the authenticator's Michael key || the supplicant's
// (32 bytes); `from_authenticator` picks the Michael key: frames from the
// access point, and all group frames.
bool own_tkip_encrypt(byte_span temporal_key, bool from_authenticator, std::uint64_t tsc, int key_id,
                      byte_span header, byte_span plain, std::vector<std::uint8_t>& frame);

// ---- tkip.cpp: TKIP's key mixing and Michael (12.5.2) ----

// Phase 1: TTAK from TK, the transmitter address and the TSC's upper 32 bits.
std::array<std::uint16_t, 5> tkip_phase1(std::span<const std::uint8_t, 16> tk, std::span<const std::uint8_t, 6> ta,
                                         std::uint32_t iv32);
// Phase 2: the per-frame RC4 key (WEP seed) from TTAK, TK and the TSC's
// lower 16 bits.
std::array<std::uint8_t, 16> tkip_phase2(const std::array<std::uint16_t, 5>& ttak,
                                         std::span<const std::uint8_t, 16> tk, std::uint16_t iv16);
std::array<std::uint8_t, 8> michael(std::span<const std::uint8_t, 8> key, byte_span data);

// ---- busy_mix.cpp ----

// One frame of the busy access point's mix.
void put_busy_frame(std::vector<std::uint8_t>& out, std::uint64_t& state, bool small_packets);

// ---- protected_network.cpp ----

// The key hierarchy of an AKM suite (12.7.1.3): its KDF, its EAPOL-Key
// MIC and the lengths of KCK, KEK, MIC and PMK.
enum class kdf_kind { prf_sha1, sha256, sha384 };
enum class mic_kind { hmac_md5, hmac_sha1, cmac, hmac_sha256, hmac_sha384 };
struct akm_suite {
    unsigned selector = 2;      // the suite type behind 00-0F-AC
    int descriptor_version = 2; // Key Information bits 0-2; 0: AKM-defined
    kdf_kind kdf = kdf_kind::prf_sha1;
    mic_kind mic = mic_kind::hmac_sha1;
    std::size_t kck_length = 16, kek_length = 16, mic_length = 16, pmk_length = 32;
};

// A temporal key, its cipher and the packet numbers sent under it.
struct temporal_key {
    cipher suite = cipher::ccmp;
    std::array<std::uint8_t, 32> tk{};
    std::uint64_t packet_number = 1;
    int key_id = 0;
};

struct station_keys {
    mac address{};
    std::array<std::uint8_t, 88> ptk{}; // KCK, KEK, TK
    temporal_key pairwise;
    temporal_key previous; // Extended Key ID: the key the last rekey replaced
    bool has_previous = false;
    unsigned since_rekey = 0; // frames of the pair since its last rekey
    std::uint64_t replay = 0; // the last EAPOL-Key replay counter
};

struct protected_network {
    cipher suite = cipher::ccmp; // pairwise, and group but in a WPA1 network
    bool wpa1 = false;           // the WPA element, descriptor type 254, a TKIP group key rekeyed now and then
    akm_suite akm;
    bool unencrypted_twin = false;
    bool group_handshake = false;
    bool extended_key_id = false;
    bool announced = false; // a beacon and associations come before the handshakes
    unsigned owe_group = 19;
    std::string ssid;
    std::vector<std::uint8_t> wep_key;
    std::uint64_t wep_iv = 0; // the next IV of a sealed frame
    std::array<std::uint8_t, 48> pmk{};
    temporal_key group;
    std::vector<station_keys> stations;
    std::vector<std::vector<std::uint8_t>> prelude; // frames before the traffic, or before the next traffic
    std::size_t next_prelude = 0;
    std::uint64_t traffic_frames = 0;
    unsigned rekeys = 0;
    unsigned group_rekeys = 0;
    bool protected_management = false; // MFPR: robust unicast management frames under the pair's key
    unsigned reconnections = 0;
};

void set_up_network(protected_network& net, const options& opts, std::uint64_t& state);
// The cipher and AKM named by the options, and the PMK (given, or of the
// passphrase and SSID).
void choose_suites(protected_network& net, const options& opts);
void set_pmk(protected_network& net, const options& opts);
std::size_t tk_length_of(cipher suite);
unsigned selector_of(cipher suite); // behind 00-0F-AC
// The bytes of a string of hex digits; empty when it holds another character.
std::vector<std::uint8_t> parse_hex(const std::string& text);
// The next frame of the protected network: the prelude first, then traffic.
void put_protected_frame(std::vector<std::uint8_t>& out, protected_network& net, std::uint64_t& state,
                         bool small_packets);
// Protects a Data frame as its transmitter would; see the definition.
void seal_frame(protected_network& net, std::vector<std::uint8_t>& frame);

// For the networks built on a protected one (roaming.cpp): an EAPOL-Key
// message with the Key Data given as sent, a frame protected under a key,
// a temporal key set.
std::vector<std::uint8_t> make_eapol_key(const protected_network& net, const station_keys& station, bool from_ap,
                                         int information, std::size_t key_length, std::uint64_t replay,
                                         const std::uint8_t* nonce, const std::vector<std::uint8_t>& key_data,
                                         bool with_mic);
// Appends LLC/SNAP and an EAPOL-Key message to a Data header, its MIC
// (of the AKM's length) made under `kck` when `with_mic`.
void append_eapol_key(std::vector<std::uint8_t>& frame, const protected_network& net, byte_span kck, int information,
                      std::size_t key_length, std::uint64_t replay, const std::uint8_t* nonce,
                      const std::vector<std::uint8_t>& key_iv, const std::vector<std::uint8_t>& key_data,
                      bool with_mic);
void encrypt_with(temporal_key& key, bool from_ap, byte_span header, byte_span plain, std::vector<std::uint8_t>& out);
void set_key(temporal_key& key, cipher suite, byte_span tk, int key_id);

// ---- roaming.cpp: FT and TDLS ----

struct roaming_network;
struct roaming_deleter {
    void operator()(roaming_network* net) const;
};
// An FT-PSK network (--ft) or a WPA2 network whose stations set up a
// TDLS direct link (--tdls).
std::unique_ptr<roaming_network, roaming_deleter> set_up_roaming(const options& opts, std::uint64_t& state);
void put_roaming_frame(std::vector<std::uint8_t>& out, roaming_network& net, std::uint64_t& state,
                       bool small_packets);

// ---- multi_link.cpp: Wi-Fi 7 multi-link networks ----

struct multi_link_network;
struct multi_link_deleter {
    void operator()(multi_link_network* net) const;
};
std::unique_ptr<multi_link_network, multi_link_deleter> set_up_multi_link(const options& opts, std::uint64_t& state);
void put_multi_link_frame(std::vector<std::uint8_t>& out, multi_link_network& net, std::uint64_t& state,
                          bool small_packets);

// ---- full_decode_mix.cpp ----

class full_decode_mix {
public:
    full_decode_mix(const options& opts, std::uint64_t& state, protected_network* net);
    ~full_decode_mix();
    full_decode_mix(const full_decode_mix&) = delete;
    full_decode_mix& operator=(const full_decode_mix&) = delete;

    // The next record, capture header included; its last `cut` bytes are
    // not captured.
    void next(std::vector<std::uint8_t>& record, std::size_t& cut);

private:
    struct writer;
    std::unique_ptr<writer> writer_;
};

} // namespace gen
