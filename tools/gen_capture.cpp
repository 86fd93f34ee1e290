// kestrine_gen: writes a deterministic 802.11 capture through libpcap.
//
//   kestrine_gen [--link radiotap|bare|prism|ppi] [--records N] [--bytes N]
//                [--small] [--seed N] [--fcs] out.pcap
//
// The mix is meant to look like a busy access point: mostly QoS Data and
// Data frames in both directions carrying IPv4/UDP packets of IMIX sizes
// (7:4:1 of 40, 576 and 1500 bytes; 40-120 bytes with --small), some
// protected and four-address frames, Null frames, beacons, probe responses
// and short control frames. Radiotap headers vary in length; with --fcs
// every frame ends in its FCS, as most monitor-mode drivers capture it.
// The same arguments always write the same bytes.
//
//   kestrine_gen --encrypt ccmp|tkip --passphrase P --ssid S [--stations N] ...
//   kestrine_gen --encrypt wep --wep-key HEX ...
//
// writes a protected network instead: for WPA, each station sends two
// frames that no key opens before its 4-way handshake (EAPOL-Key messages
// 1-4, the group key in message 3), then traffic in both directions, QoS
// Data and Data, with group-addressed frames from the access point under
// the group key; for WEP, traffic in both directions under the key. With
// --unencrypted-twin the same records carry their traffic unprotected,
// the plain conversion's side of a decryption benchmark.
//
//   kestrine_gen --full-decode-mix ...
//
// writes, in a fixed cycle, every kind of record that --full-decode treats
// apart: A-MSDUs (one subframe behind 802.1H, some with an empty subframe,
// malformed ones), FCS, bad-FCS and data-pad flags (radiotap, with TSFT
// before Flags; PPI's 802.11-Common flags), wrong FCSs not flagged bad,
// LLC without SNAP, SNAP with another OUI, +HTC, WDS and mesh frames (some
// with a Mesh Control no QoS bit announces), fragment series whole, lost, out
// of order or cut short, records captured short, and plain Data, QoS Data,
// Null, beacons, protected frames and broken capture headers around them.
// Bare and Prism links have no flags and skip the flagged kinds. With
// --encrypt, the handshakes come first and the frames between the access
// point and its stations are protected.
#include "decrypt/decrypt.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

struct options {
    int link_type = 127;
    std::uint64_t records = 0; // 0: no record limit
    std::uint64_t bytes = 0;   // 0: no size limit
    bool small_packets = false;
    std::uint64_t seed = 1;
    const char* output = nullptr;
    std::string encrypt; // "", "ccmp", "tkip" or "wep"
    std::string passphrase;
    std::string ssid;
    std::string wep_key;
    unsigned stations = 2;
    bool unencrypted_twin = false; // the same records, their traffic unprotected
    bool full_decode_mix = false;  // every case --full-decode treats apart
    bool fcs = false;              // radiotap records end in the frame's FCS
};

// splitmix64: small, fast and the same on every platform.
std::uint64_t next_random(std::uint64_t& state)
{
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

std::uint32_t below(std::uint64_t& state, std::uint32_t bound)
{
    return static_cast<std::uint32_t>(next_random(state) % bound);
}

using mac = std::array<std::uint8_t, 6>;

void put(std::vector<std::uint8_t>& out, const mac& address) { out.insert(out.end(), address.begin(), address.end()); }
void put_u8(std::vector<std::uint8_t>& out, unsigned value) { out.push_back(static_cast<std::uint8_t>(value)); }
void put_le16(std::vector<std::uint8_t>& out, unsigned value)
{
    put_u8(out, value & 0xFF);
    put_u8(out, (value >> 8) & 0xFF);
}
void put_be16(std::vector<std::uint8_t>& out, unsigned value)
{
    put_u8(out, (value >> 8) & 0xFF);
    put_u8(out, value & 0xFF);
}

// A beacon's or probe response's body behind its timestamp: interval,
// capabilities, the SSID and the supported rates.
void put_beacon_fields(std::vector<std::uint8_t>& out)
{
    put_le16(out, 100);
    put_le16(out, 0x0431);
    static constexpr char ssid[] = "kestrine-lab";
    put_u8(out, 0);
    put_u8(out, sizeof ssid - 1);
    out.insert(out.end(), ssid, ssid + sizeof ssid - 1);
    for (unsigned rate : {0x01u, 0x08u, 0x82u, 0x84u, 0x8Bu, 0x96u, 0x0Cu, 0x12u, 0x18u, 0x24u})
        put_u8(out, rate);
}

void put_capture_header(std::vector<std::uint8_t>& out, int link_type, std::uint64_t& state)
{
    if (link_type == 127) {
        // Radiotap: version, pad, length, present word, then field bytes.
        static constexpr std::array<unsigned, 5> lengths = {18, 24, 26, 36, 48};
        const unsigned length = lengths[below(state, lengths.size())];
        put_u8(out, 0);
        put_u8(out, 0);
        put_le16(out, length);
        put_le16(out, 0x482E); // flags, rate, channel, signal, antenna, RX flags
        put_le16(out, 0x0000);
        put_u8(out, 0x00);                       // flags: no FCS at the end
        put_u8(out, 12 + 12 * below(state, 9));  // rate, in 500 kb/s
        put_le16(out, 2412 + 5 * below(state, 11));
        put_le16(out, 0x00C0);                   // 2 GHz, OFDM
        put_u8(out, 256 - 30 - below(state, 60)); // signal, dBm
        put_u8(out, 1 + below(state, 2));
        put_le16(out, 0);
        for (unsigned i = 18; i < length; ++i) // vendor data and padding
            put_u8(out, 0);
    } else if (link_type == 119) {
        // Prism monitor header: msgcode 0x41, msglen 144, then the items.
        put_le16(out, 0x41);
        put_le16(out, 0);
        put_le16(out, 144);
        put_le16(out, 0);
        for (unsigned i = 8; i < 144; ++i)
            put_u8(out, i < 24 ? 'w' : below(state, 256));
    } else if (link_type == 192) {
        // PPI: version 0, flags 0, length 32, enclosed link type 105, one
        // 24-byte 802.11-common field.
        put_u8(out, 0);
        put_u8(out, 0);
        put_le16(out, 32);
        put_le16(out, 105);
        put_le16(out, 0);
        put_le16(out, 2);
        put_le16(out, 20);
        for (unsigned i = 12; i < 32; ++i)
            put_u8(out, below(state, 256));
    }
}

std::size_t imix_ip_length(std::uint64_t& state, bool small_packets)
{
    if (small_packets)
        return 40 + below(state, 81);
    const std::uint32_t pick = below(state, 12);
    return pick < 7 ? 40 : pick < 11 ? 576 : 1500;
}

// An IPv4/UDP packet of `length` bytes with a valid header checksum.
void put_ip_packet(std::vector<std::uint8_t>& out, std::size_t length, std::uint64_t& state)
{
    const std::size_t start = out.size();
    put_u8(out, 0x45);
    put_u8(out, 0);
    put_be16(out, static_cast<unsigned>(length));
    put_be16(out, below(state, 65536));
    put_be16(out, 0x4000);
    put_u8(out, 64);
    put_u8(out, 17);
    put_be16(out, 0);
    const std::array<unsigned, 8> hosts = {10, 0, 0, 2 + below(state, 20), 192, 168, 1, 1 + below(state, 9)};
    for (unsigned part : hosts)
        put_u8(out, part);
    std::uint32_t sum = 0;
    for (std::size_t i = start; i < start + 20; i += 2)
        sum += static_cast<std::uint32_t>(out[i] << 8 | out[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    out[start + 10] = static_cast<std::uint8_t>(~sum >> 8);
    out[start + 11] = static_cast<std::uint8_t>(~sum);
    put_be16(out, 1024 + below(state, 60000));
    put_be16(out, 443 + below(state, 3) * 4000);
    put_be16(out, static_cast<unsigned>(length - 20));
    put_be16(out, 0);
    for (std::size_t i = 28; i < length; ++i)
        put_u8(out, static_cast<unsigned>(i));
}

// One 802.11 frame. `kind` picks the frame: a mix weighted per 1000.
void put_frame(std::vector<std::uint8_t>& out, std::uint64_t& state, bool small_packets)
{
    static constexpr mac access_point = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0x01};
    static constexpr mac gateway = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0xFE};
    const mac station = {0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + below(state, 24))};
    const std::uint32_t kind = below(state, 1000);

    if (kind < 30) { // ACK, CTS (10 bytes) or RTS (16 bytes)
        const bool rts = kind < 10;
        put_le16(out, rts ? 0x00B4 : (kind < 20 ? 0x00D4 : 0x00C4));
        put_le16(out, 44);
        put(out, station);
        if (rts)
            put(out, access_point);
        return;
    }
    if (kind < 70) { // beacon or probe response with an SSID and rates
        put_le16(out, kind < 55 ? 0x0080 : 0x0050);
        put_le16(out, 0);
        put(out, kind < 55 ? mac{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF} : station);
        put(out, access_point);
        put(out, access_point);
        put_le16(out, below(state, 4096) << 4);
        for (int i = 0; i < 8; ++i)
            put_u8(out, below(state, 256));
        put_beacon_fields(out);
        return;
    }

    // Data frames: 80 % QoS Data, the rest Data; ToDS, FromDS, neither or
    // both; a few protected; a few Null frames without a body.
    const bool qos = below(state, 5) != 0;
    const bool null_frame = kind < 90;
    const bool protect = kind >= 90 && kind < 140;
    const std::uint32_t ds = below(state, 100);
    const unsigned ds_bits = ds < 46 ? 0x01 : ds < 92 ? 0x02 : ds < 98 ? 0x00 : 0x03;
    const unsigned subtype = null_frame ? (qos ? 0xC : 0x4) : (qos ? 0x8 : 0x0);
    put_u8(out, 0x08 | subtype << 4);
    put_u8(out, ds_bits | (protect ? 0x40 : 0x00));
    put_le16(out, 48);
    if (ds_bits == 0x01) { // to the AP: BSSID, source station, final destination
        put(out, access_point);
        put(out, station);
        put(out, gateway);
    } else if (ds_bits == 0x02) { // from the AP: station, BSSID, original source
        put(out, station);
        put(out, access_point);
        put(out, gateway);
    } else {
        put(out, station);
        put(out, gateway);
        put(out, access_point);
    }
    put_le16(out, below(state, 4096) << 4);
    if (ds_bits == 0x03)
        put(out, gateway);
    if (qos)
        put_le16(out, below(state, 8));
    if (null_frame)
        return;
    if (protect) { // CCMP header, ciphertext and MIC stand in as random bytes
        const std::size_t length = 8 + imix_ip_length(state, small_packets) + 8 + 8;
        for (std::size_t i = 0; i < length; ++i)
            put_u8(out, below(state, 256));
        return;
    }
    for (unsigned byte : {0xAAu, 0xAAu, 0x03u, 0x00u, 0x00u, 0x00u, 0x08u, 0x00u})
        put_u8(out, byte);
    put_ip_packet(out, imix_ip_length(state, small_packets), state);
}

// ---- Protected networks ----

constexpr mac access_point = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0x01};

struct station_keys {
    mac address{};
    std::array<std::uint8_t, 64> ptk{}; // KCK, KEK, TK (32 bytes for TKIP)
    ccmp_key ccmp;
    std::uint64_t packet_number = 1;
};

struct protected_network {
    std::string cipher;
    bool unencrypted_twin = false;
    std::vector<std::uint8_t> wep_key;
    std::array<std::uint8_t, 32> pmk{};
    std::array<std::uint8_t, 32> group_key{};
    ccmp_key group_ccmp;
    std::uint64_t group_packet_number = 1;
    std::vector<station_keys> stations;
    std::vector<std::vector<std::uint8_t>> prelude; // frames before the traffic
    std::size_t next_prelude = 0;
};

void fail(const char* what)
{
    std::fprintf(stderr, "kestrine_gen: %s\n", what);
    std::exit(1);
}

void put_random(std::vector<std::uint8_t>& out, std::size_t count, std::uint64_t& state)
{
    for (std::size_t i = 0; i < count; ++i)
        put_u8(out, below(state, 256));
}

// A Data or QoS Data header from the access point (FromDS) or to it (ToDS).
std::vector<std::uint8_t> data_header(bool qos, bool from_ap, const mac& station, const mac& destination,
                                      std::uint64_t& state)
{
    static constexpr mac gateway = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0xFE};
    std::vector<std::uint8_t> header;
    put_u8(header, qos ? 0x88 : 0x08);
    put_u8(header, from_ap ? 0x02 : 0x01);
    put_le16(header, 48);
    put(header, from_ap ? destination : access_point);
    put(header, from_ap ? access_point : station);
    put(header, from_ap ? gateway : destination);
    put_le16(header, below(state, 4096) << 4);
    if (qos)
        put_le16(header, below(state, 8));
    return header;
}

constexpr int info_pairwise = 0x0008, info_install = 0x0040, info_ack = 0x0080, info_mic = 0x0100,
              info_secure = 0x0200, info_encrypted = 0x1000;

// One EAPOL-Key message between the access point and `station`, its MIC
// made under the KCK when `kck` is given.
std::vector<std::uint8_t> eapol_key_frame(const station_keys& station, bool from_ap, int information,
                                          int key_length, std::uint64_t replay, const std::uint8_t* nonce,
                                          const std::vector<std::uint8_t>& key_iv,
                                          const std::vector<std::uint8_t>& key_data, bool with_mic)
{
    std::vector<std::uint8_t> frame;
    put_u8(frame, 0x08);
    put_u8(frame, from_ap ? 0x02 : 0x01);
    put_le16(frame, 48);
    put(frame, from_ap ? station.address : access_point);
    put(frame, from_ap ? access_point : station.address);
    put(frame, access_point);
    put_le16(frame, 0);
    for (unsigned byte : {0xAAu, 0xAAu, 0x03u, 0x00u, 0x00u, 0x00u, 0x88u, 0x8Eu})
        put_u8(frame, byte);
    const std::size_t eapol = frame.size();
    put_u8(frame, 2);
    put_u8(frame, 3);
    put_be16(frame, static_cast<unsigned>(95 + key_data.size()));
    put_u8(frame, 2); // RSN descriptor
    put_be16(frame, static_cast<unsigned>(information));
    put_be16(frame, static_cast<unsigned>(key_length));
    for (int shift = 56; shift >= 0; shift -= 8)
        put_u8(frame, static_cast<unsigned>(replay >> shift) & 0xFF);
    for (int i = 0; i < 32; ++i)
        put_u8(frame, nonce != nullptr ? nonce[i] : 0);
    for (std::size_t i = 0; i < 16; ++i)
        put_u8(frame, i < key_iv.size() ? key_iv[i] : 0);
    for (int i = 0; i < 16 + 16; ++i) // RSC, reserved, MIC
        put_u8(frame, 0);
    put_be16(frame, static_cast<unsigned>(key_data.size()));
    frame.insert(frame.end(), key_data.begin(), key_data.end());
    if (with_mic) {
        std::array<std::uint8_t, 16> mic{};
        const byte_span whole(frame.data() + eapol, frame.size() - eapol);
        if (!eapol_key_mic(information & 0x7, std::span(station.ptk).first(16), whole, mic))
            fail("cannot compute a key MIC");
        std::copy(mic.begin(), mic.end(), frame.begin() + static_cast<std::ptrdiff_t>(eapol + 81));
    }
    return frame;
}

// Message 3's Key Data: an RSN element and the GTK KDE, encrypted under the
// KEK (AES key wrap for CCMP, RC4 behind the key IV for TKIP).
std::vector<std::uint8_t> group_key_data(const protected_network& net, const station_keys& station,
                                         const std::vector<std::uint8_t>& key_iv)
{
    const bool tkip = net.cipher == "tkip";
    const unsigned suite = tkip ? 2 : 4;
    std::vector<std::uint8_t> data = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, static_cast<std::uint8_t>(suite), 0x01,
                                      0x00, 0x00, 0x0F, 0xAC, static_cast<std::uint8_t>(suite), 0x01, 0x00, 0x00,
                                      0x0F, 0xAC, 0x02, 0x00, 0x00};
    const std::size_t gtk_length = tkip ? 32 : 16;
    for (unsigned byte : {0xDDu, static_cast<unsigned>(6 + gtk_length), 0x00u, 0x0Fu, 0xACu, 0x01u, 0x01u, 0x00u})
        put_u8(data, byte);
    data.insert(data.end(), net.group_key.begin(), net.group_key.begin() + static_cast<std::ptrdiff_t>(gtk_length));
    const byte_span kek = std::span(station.ptk).subspan(16, 16);
    if (tkip) {
        std::array<std::uint8_t, 32> rc4_key{};
        std::copy(key_iv.begin(), key_iv.end(), rc4_key.begin());
        std::copy(kek.begin(), kek.end(), rc4_key.begin() + 16);
        if (!rc4_xor(rc4_key, 256, data, data.data()))
            fail("cannot load RC4");
        return data;
    }
    put_u8(data, 0xDD);
    while (data.size() % 8 != 0)
        put_u8(data, 0);
    std::vector<std::uint8_t> wrapped(data.size() + 8);
    if (!aes_key_wrap(kek, data, wrapped))
        fail("cannot wrap the group key");
    return wrapped;
}

// Two frames no key opens, then the 4-way handshake.
void add_handshake(protected_network& net, station_keys& station, std::uint64_t& state)
{
    for (int i = 0; i < 2; ++i) {
        auto frame = data_header(false, i == 0, station.address, station.address, state);
        frame[1] = static_cast<std::uint8_t>(frame[1] | 0x40);
        for (unsigned byte : {0x01u, 0x00u, 0x00u, 0x20u, 0x00u, 0x00u, 0x00u, 0x00u})
            put_u8(frame, byte);
        put_random(frame, 60, state);
        net.prelude.push_back(frame);
    }
    const bool tkip = net.cipher == "tkip";
    const int version = tkip ? 1 : 2;
    const int key_length = tkip ? 32 : 16;
    std::array<std::uint8_t, 32> anonce{}, snonce{};
    for (auto& byte : anonce)
        byte = static_cast<std::uint8_t>(below(state, 256));
    for (auto& byte : snonce)
        byte = static_cast<std::uint8_t>(below(state, 256));
    const std::size_t ptk_length = tkip ? 64 : 48;
    if (!derive_ptk(version, net.pmk, access_point, station.address, anonce, snonce, std::span(station.ptk).first(ptk_length)))
        fail("cannot derive a PTK");
    if (!tkip && !ccmp_key_set(station.ccmp, std::span(station.ptk).subspan(32, 16)))
        fail("cannot set a CCMP key");
    std::vector<std::uint8_t> key_iv;
    put_random(key_iv, 16, state);
    const std::vector<std::uint8_t> rsn_element = {0x30, 0x14, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00,
                                                   0x0F, 0xAC, 0x04, 0x01, 0x00, 0x00, 0x0F, 0xAC, 0x02, 0x00, 0x00};
    net.prelude.push_back(eapol_key_frame(station, true, version | info_pairwise | info_ack, key_length, 1,
                                          anonce.data(), {}, {}, false));
    net.prelude.push_back(eapol_key_frame(station, false, version | info_pairwise | info_mic, 0, 1, snonce.data(), {},
                                          rsn_element, true));
    net.prelude.push_back(eapol_key_frame(
        station, true, version | info_pairwise | info_install | info_ack | info_mic | info_secure | info_encrypted,
        key_length, 2, anonce.data(), tkip ? key_iv : std::vector<std::uint8_t>{},
        group_key_data(net, station, key_iv), true));
    net.prelude.push_back(eapol_key_frame(station, false, version | info_pairwise | info_mic | info_secure, 0, 2,
                                          nullptr, {}, {}, true));
}

std::vector<std::uint8_t> parse_hex_key(const std::string& text)
{
    std::vector<std::uint8_t> key;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        key.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return key;
}

void set_up_network(protected_network& net, const options& opts, std::uint64_t& state)
{
    net.cipher = opts.encrypt;
    net.unencrypted_twin = opts.unencrypted_twin;
    if (net.cipher == "wep") {
        net.wep_key = parse_hex_key(opts.wep_key);
        if (net.wep_key.size() != 5 && net.wep_key.size() != 13)
            fail("--wep-key takes 10 or 26 hex digits");
        for (unsigned i = 0; i < opts.stations; ++i)
            net.stations.push_back({{0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + i)}, {}, {}, 1});
        return;
    }
    const byte_span ssid(reinterpret_cast<const std::uint8_t*>(opts.ssid.data()), opts.ssid.size());
    if (!derive_pmk_from_passphrase(opts.passphrase, ssid, net.pmk))
        fail("cannot derive the PMK: a passphrase is 8 to 63 characters, an SSID 1 to 32 bytes");
    for (auto& byte : net.group_key)
        byte = static_cast<std::uint8_t>(below(state, 256));
    if (net.cipher == "ccmp" && !ccmp_key_set(net.group_ccmp, std::span(net.group_key).first(16)))
        fail("cannot set a CCMP key");
    net.stations.resize(opts.stations);
    for (unsigned i = 0; i < opts.stations; ++i) {
        net.stations[i].address = {0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + i)};
        add_handshake(net, net.stations[i], state);
    }
}

// The next frame of the protected network: the prelude first, then traffic.
void put_protected_frame(std::vector<std::uint8_t>& out, protected_network& net, std::uint64_t& state,
                         bool small_packets)
{
    if (net.next_prelude < net.prelude.size()) {
        const auto& frame = net.prelude[net.next_prelude++];
        out.insert(out.end(), frame.begin(), frame.end());
        return;
    }
    station_keys& station = net.stations[below(state, static_cast<std::uint32_t>(net.stations.size()))];
    const bool group = below(state, 20) == 0;
    const bool from_ap = group || below(state, 2) == 0;
    static constexpr mac broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    static constexpr mac gateway = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0xFE};
    const bool qos = !group && below(state, 5) != 0;
    const auto header = data_header(qos, from_ap, station.address, group ? broadcast : from_ap ? station.address : gateway, state);
    std::vector<std::uint8_t> plain = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    put_ip_packet(plain, imix_ip_length(state, small_packets), state);
    bool done = false;
    if (net.unencrypted_twin) {
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), plain.begin(), plain.end());
        done = true;
    } else if (net.cipher == "wep") {
        const std::array<std::uint8_t, 3> iv = {static_cast<std::uint8_t>(below(state, 256)),
                                                static_cast<std::uint8_t>(below(state, 256)),
                                                static_cast<std::uint8_t>(below(state, 256))};
        done = wep_encrypt(net.wep_key, iv, 0, header, plain, out);
    } else if (net.cipher == "tkip") {
        if (group)
            done = tkip_encrypt(net.group_key, true, net.group_packet_number++, 1, header, plain, out);
        else
            done = tkip_encrypt(std::span(station.ptk).subspan(32, 32), from_ap, station.packet_number++, 0, header,
                                plain, out);
    } else {
        if (group)
            done = ccmp_encrypt(net.group_ccmp, net.group_packet_number++, 1, header, plain, out);
        else
            done = ccmp_encrypt(station.ccmp, station.packet_number++, 0, header, plain, out);
    }
    if (!done)
        fail("cannot encrypt a frame");
}

// ---- The --full-decode mix ----
//
// Every kind of record that full decoding treats apart, in a fixed cycle:
// A-MSDUs, FCS and data-pad records, LLC without SNAP, +HTC, WDS and mesh
// frames, fragment series whole, cut short or out of order, and the plain
// frames around them. Variants within a kind follow the cycle count, so a
// few cycles hold them all; sizes, addresses and contents come from the
// seed.

constexpr unsigned fc_data = 0x0008, fc_null = 0x0048, fc_qos_data = 0x0088, fc_qos_null = 0x00C8;
constexpr unsigned fc_to_ds = 0x0100, fc_from_ds = 0x0200, fc_more_fragments = 0x0400, fc_retry = 0x0800,
                   fc_protected = 0x4000, fc_order = 0x8000;
constexpr unsigned qos_amsdu = 0x0080, qos_mesh_control = 0x0100;
constexpr unsigned rt_fcs = 0x10, rt_data_pad = 0x20, rt_bad_fcs = 0x40; // radiotap Flags bits

constexpr mac mix_gateway = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0xFE};
constexpr mac broadcast_address = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr mac mdns_group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB};
constexpr mac bridge_group = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x00};

// Hosts behind a bridge or a mesh gate.
mac host(unsigned n) { return {0x02, 0x77, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(n)}; }

struct mac_header_fields {
    unsigned fc = fc_qos_data;
    mac a1{}, a2{}, a3{}, a4{};
    unsigned sequence_control = 0;
    unsigned qos = 0;
    std::uint32_t htc = 0;
};

bool has_qos(unsigned fc) { return (fc & 0x0C) == 0x08 && (fc & 0x80) != 0; }
bool four_address(unsigned fc) { return (fc & (fc_to_ds | fc_from_ds)) == (fc_to_ds | fc_from_ds); }

std::size_t mac_header_length(unsigned fc)
{
    std::size_t length = 24;
    if (four_address(fc))
        length += 6;
    if (has_qos(fc))
        length += (fc & fc_order) != 0 ? 6 : 2;
    return length;
}

std::vector<std::uint8_t> mac_header_bytes(const mac_header_fields& h)
{
    std::vector<std::uint8_t> out;
    put_le16(out, h.fc);
    put_le16(out, 44);
    put(out, h.a1);
    put(out, h.a2);
    put(out, h.a3);
    put_le16(out, h.sequence_control);
    if (four_address(h.fc))
        put(out, h.a4);
    if (has_qos(h.fc)) {
        put_le16(out, h.qos);
        if ((h.fc & fc_order) != 0)
            for (int shift = 0; shift < 32; shift += 8)
                put_u8(out, (h.htc >> shift) & 0xFF);
    }
    return out;
}

void put_snap(std::vector<std::uint8_t>& out, std::uint32_t oui, unsigned ethertype)
{
    for (unsigned byte : {0xAAu, 0xAAu, 0x03u, oui >> 16 & 0xFF, oui >> 8 & 0xFF, oui & 0xFF})
        put_u8(out, byte);
    put_be16(out, ethertype);
}

// Rewrites the identification of the IPv4 header at `at`, and its checksum.
void set_ip_identification(std::vector<std::uint8_t>& packet, std::size_t at, unsigned identification)
{
    packet[at + 4] = static_cast<std::uint8_t>(identification >> 8);
    packet[at + 5] = static_cast<std::uint8_t>(identification);
    packet[at + 10] = packet[at + 11] = 0;
    std::uint32_t sum = 0;
    for (std::size_t i = at; i < at + 20; i += 2)
        sum += static_cast<std::uint32_t>(packet[i] << 8 | packet[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    packet[at + 10] = static_cast<std::uint8_t>(~sum >> 8);
    packet[at + 11] = static_cast<std::uint8_t>(~sum);
}

// A configuration BPDU behind the spanning tree's LLC header (42 42 03).
void put_stp_bpdu(std::vector<std::uint8_t>& out, std::uint64_t& state)
{
    for (unsigned byte : {0x42u, 0x42u, 0x03u, 0x00u, 0x00u, 0x00u, 0x00u, 0x00u})
        put_u8(out, byte);
    for (unsigned byte : {0x80u, 0x00u})
        put_u8(out, byte);
    put(out, mix_gateway);                  // root
    put_be16(out, 0);                       // root path cost, high half
    put_be16(out, 4 * (1 + below(state, 4))); // low half
    for (unsigned byte : {0x80u, 0x00u})
        put_u8(out, byte);
    put(out, access_point);                 // bridge
    put_be16(out, 0x8001);                  // port
    for (unsigned value : {1u, 20u, 2u, 15u}) // message age, max age, hello, forward delay (1/256 s)
        put_be16(out, value << 8);
}

// CDP behind SNAP with Cisco's OUI: version, TTL, checksum, a Device ID.
void put_cdp(std::vector<std::uint8_t>& out, std::uint64_t& state)
{
    put_snap(out, 0x00000C, 0x2000);
    static constexpr char device[] = "kestrine-sw";
    const std::size_t start = out.size();
    for (unsigned byte : {0x02u, 0xB4u, 0x00u, 0x00u})
        put_u8(out, byte);
    put_be16(out, 0x0001);
    put_be16(out, 4 + sizeof device);
    out.insert(out.end(), device, device + sizeof device - 1);
    put_u8(out, '0' + below(state, 10));
    std::uint32_t sum = 0;
    for (std::size_t i = start; i < out.size(); i += 2)
        sum += static_cast<std::uint32_t>(out[i] << 8 | (i + 1 < out.size() ? out[i + 1] : 0));
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    out[start + 2] = static_cast<std::uint8_t>(~sum >> 8);
    out[start + 3] = static_cast<std::uint8_t>(~sum);
}

// A Mesh Control field: flags (address extension mode), TTL, mesh
// sequence, then zero, one or two addresses.
void put_mesh_control(std::vector<std::uint8_t>& out, unsigned mode, std::uint32_t sequence,
                      const std::vector<mac>& extension)
{
    put_u8(out, mode);
    put_u8(out, 31);
    for (int shift = 0; shift < 32; shift += 8)
        put_u8(out, sequence >> shift & 0xFF);
    for (const mac& address : extension)
        put(out, address);
}

struct amsdu_subframe {
    mac da{}, sa{};
    std::vector<std::uint8_t> msdu;
};

// Subframes: DA, SA, length (big-endian), MSDU, each padded to 4 bytes
// but the last.
void put_amsdu(std::vector<std::uint8_t>& out, const std::vector<amsdu_subframe>& subframes)
{
    const std::size_t start = out.size();
    for (std::size_t i = 0; i < subframes.size(); ++i) {
        put(out, subframes[i].da);
        put(out, subframes[i].sa);
        put_be16(out, static_cast<unsigned>(subframes[i].msdu.size()));
        out.insert(out.end(), subframes[i].msdu.begin(), subframes[i].msdu.end());
        if (i + 1 < subframes.size())
            while ((out.size() - start) % 4 != 0)
                put_u8(out, 0);
    }
}

enum class mix_kind {
    plain_data, qos_data, amsdu, fcs, llc, bad_fcs, other_oui, fragments, htc, data_pad, wds, null_frame,
    fragments_lost, mesh, amsdu_malformed, beacon, fragments_disordered, captured_short, protected_frame,
    bad_capture_header, mesh_by_shape, fcs_wrong,
};
constexpr std::array<mix_kind, 22> mix_cycle = {
    mix_kind::plain_data, mix_kind::qos_data,  mix_kind::amsdu,          mix_kind::fcs,
    mix_kind::llc,        mix_kind::bad_fcs,   mix_kind::other_oui,      mix_kind::fragments,
    mix_kind::htc,        mix_kind::data_pad,  mix_kind::wds,            mix_kind::null_frame,
    mix_kind::fragments_lost, mix_kind::mesh,  mix_kind::amsdu_malformed, mix_kind::beacon,
    mix_kind::fragments_disordered, mix_kind::captured_short, mix_kind::protected_frame,
    mix_kind::bad_capture_header, mix_kind::mesh_by_shape, mix_kind::fcs_wrong,
};

struct mix_record {
    std::vector<std::uint8_t> frame; // the 802.11 frame, without data pad or FCS
    unsigned flags = 0;              // radiotap Flags bits; PPI and bare links map or drop them
    bool wrong_fcs = false;          // the FCS appended does not match
    bool tsft_header = false;        // radiotap: TSFT before Flags, behind a second present word
    bool broken_header = false;      // a capture header whose fields overrun it
    std::size_t cut = 0;             // bytes at the end left uncaptured
    bool seal = true;                // protected under --encrypt
};

class full_decode_mix {
public:
    full_decode_mix(const options& opts, std::uint64_t& state, protected_network* net)
        : opts_(opts), state_(state), net_(net)
    {
    }

    // The next record, capture header included; its last `cut` bytes are
    // not captured.
    void next(std::vector<std::uint8_t>& record, std::size_t& cut)
    {
        if (net_ != nullptr && net_->next_prelude < net_->prelude.size()) {
            mix_record handshake;
            handshake.frame = net_->prelude[net_->next_prelude++];
            handshake.seal = false;
            finish(handshake, record, cut);
            return;
        }
        while (queue_.empty())
            fill();
        finish(queue_.front(), record, cut);
        queue_.erase(queue_.begin());
    }

private:
    bool has_flags() const { return opts_.link_type == 127 || opts_.link_type == 192; }

    mac station() { return {0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + below(state_, opts_.stations))}; }
    unsigned next_sequence() { return (sequence_++ & 0xFFF) << 4; }

    std::vector<std::uint8_t> ip_msdu(std::uint32_t oui = 0)
    {
        std::vector<std::uint8_t> msdu;
        put_snap(msdu, oui, 0x0800);
        put_ip_packet(msdu, imix_ip_length(state_, opts_.small_packets), state_);
        return msdu;
    }

    // A header between the access point and a station: to it (ToDS) or
    // from it (FromDS), the far end being `remote`.
    mac_header_fields bss_header(unsigned fc, bool from_ap, const mac& station_address, const mac& remote)
    {
        mac_header_fields h;
        h.fc = fc | (from_ap ? fc_from_ds : fc_to_ds);
        h.a1 = from_ap ? station_address : access_point;
        h.a2 = from_ap ? access_point : station_address;
        h.a3 = remote;
        h.sequence_control = next_sequence();
        h.qos = below(state_, 8);
        h.htc = static_cast<std::uint32_t>(next_random(state_)) & ~3u;
        return h;
    }

    // A four-address header from a station relaying for `sa` to `da`
    // behind the access point.
    mac_header_fields wds_header(unsigned fc, const mac& da, const mac& sa)
    {
        mac_header_fields h = bss_header(fc, false, station(), da);
        h.fc |= fc_from_ds;
        h.a4 = sa;
        return h;
    }

    void add(const mac_header_fields& h, const std::vector<std::uint8_t>& body, mix_record shape = {})
    {
        shape.frame = mac_header_bytes(h);
        shape.frame.insert(shape.frame.end(), body.begin(), body.end());
        queue_.push_back(std::move(shape));
    }

    std::vector<amsdu_subframe> amsdu_subframes(std::size_t count, const mac& da, const mac& sa)
    {
        std::vector<amsdu_subframe> subframes;
        const std::size_t bridged = cycle_ % count; // this one behind 802.1H
        for (std::size_t i = 0; i < count; ++i)
            subframes.push_back({da, i % 2 == 0 ? sa : host(below(state_, 200)), ip_msdu(i == bridged ? 0xF8 : 0)});
        return subframes;
    }

    // An MSDU in 2 or 3 fragments, each with the header's sequence number.
    std::vector<mix_record> fragment_series(mac_header_fields h, const std::vector<std::uint8_t>& msdu,
                                            std::size_t count, mix_record shape = {})
    {
        std::vector<mix_record> out;
        std::size_t from = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t left = msdu.size() - from;
            const std::size_t size = i + 1 == count ? left : 1 + below(state_, static_cast<std::uint32_t>(left / 2));
            mac_header_fields piece = h;
            piece.sequence_control = (h.sequence_control & 0xFFF0) | static_cast<unsigned>(i);
            if (i + 1 < count)
                piece.fc |= fc_more_fragments;
            mix_record r = shape;
            r.frame = mac_header_bytes(piece);
            r.frame.insert(r.frame.end(), msdu.begin() + static_cast<std::ptrdiff_t>(from),
                           msdu.begin() + static_cast<std::ptrdiff_t>(from + size));
            out.push_back(std::move(r));
            from += size;
        }
        return out;
    }

    void add_series(const std::vector<mix_record>& series)
    {
        queue_.insert(queue_.end(), series.begin(), series.end());
    }

    void fill()
    {
        const mix_kind kind = mix_cycle[position_];
        if (++position_ == mix_cycle.size()) {
            position_ = 0;
            ++cycle_;
        }
        const bool flags = has_flags();
        if (!flags && (kind == mix_kind::fcs || kind == mix_kind::bad_fcs || kind == mix_kind::bad_capture_header ||
                       kind == mix_kind::fcs_wrong))
            return;
        if (opts_.link_type != 127 && kind == mix_kind::data_pad)
            return;
        if (net_ != nullptr && kind == mix_kind::protected_frame)
            return;
        const std::uint64_t v = cycle_;
        const mac sta = station();
        const bool from_ap = below(state_, 2) == 0;
        const mac remote = from_ap ? mix_gateway : host(below(state_, 200));

        switch (kind) {
        case mix_kind::plain_data: {
            mac_header_fields h = bss_header(fc_data, from_ap, sta, remote);
            mix_record shape;
            if (v % 3 == 2) { // independent BSS: neither DS bit, A3 the BSSID
                h.fc = fc_data;
                h.a1 = sta;
                h.a2 = {0x02, 0x5C, 0x00, 0x00, 0x01, 0x01};
                h.a3 = access_point;
                shape.seal = false;
            }
            add(h, ip_msdu(), shape);
            break;
        }
        case mix_kind::qos_data: {
            mac_header_fields h = bss_header(fc_qos_data, from_ap || v % 2 == 1, sta, remote);
            if (v % 2 == 1)
                h.a1 = v % 4 == 1 ? mdns_group : broadcast_address;
            add(h, ip_msdu());
            break;
        }
        case mix_kind::amsdu: {
            mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
            h.qos |= qos_amsdu;
            auto subframes = amsdu_subframes(2 + v % 3, from_ap ? sta : remote, from_ap ? remote : sta);
            if (v % 4 == 3) // an empty subframe in between
                subframes.insert(subframes.begin() + 1, amsdu_subframe{sta, remote, {}});
            std::vector<std::uint8_t> body;
            put_amsdu(body, subframes);
            add(h, body);
            break;
        }
        case mix_kind::fcs: {
            mix_record shape;
            shape.flags = rt_fcs;
            if (v % 4 == 0) {
                add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
            } else if (v % 4 == 1) {
                mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                add(h, body, shape);
            } else if (v % 4 == 2) {
                std::vector<std::uint8_t> body;
                put_stp_bpdu(body, state_);
                add(bss_header(fc_data, false, sta, bridge_group), body, shape);
            } else {
                add_series(fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 2, shape));
            }
            break;
        }
        case mix_kind::bad_fcs: {
            mix_record shape;
            shape.flags = v % 2 == 0 ? rt_fcs | rt_bad_fcs : rt_bad_fcs;
            shape.wrong_fcs = true;
            add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
            break;
        }
        case mix_kind::data_pad: {
            mix_record shape;
            shape.flags = rt_data_pad | (v % 8 == 6 ? rt_fcs : 0);
            shape.tsft_header = true;
            switch (v % 8) {
            case 1: { // +HTC: 30 bytes, 2 of pad
                mac_header_fields h = bss_header(fc_qos_data | fc_order, from_ap, sta, remote);
                add(h, ip_msdu(), shape);
                break;
            }
            case 2: {
                mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                add(h, body, shape);
                break;
            }
            case 3: // four addresses and QoS: 32 bytes, no pad
                add(wds_header(fc_qos_data, mix_gateway, host(below(state_, 200))), ip_msdu(), shape);
                break;
            case 4: // 24 bytes, no pad
                add(bss_header(fc_data, from_ap, sta, remote), ip_msdu(), shape);
                break;
            case 5: { // mesh group frame: 26 bytes, 2 of pad, then the Mesh Control
                mac_header_fields h = bss_header(fc_qos_data, true, sta, host(below(state_, 200)));
                h.a1 = broadcast_address;
                h.qos |= qos_mesh_control;
                std::vector<std::uint8_t> body;
                put_mesh_control(body, 0, mesh_sequence_++, {});
                const auto msdu = ip_msdu();
                body.insert(body.end(), msdu.begin(), msdu.end());
                add(h, body, shape);
                break;
            }
            case 7: // fragments, each padded
                add_series(fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 2, shape));
                break;
            default: // QoS: 26 bytes, 2 of pad
                add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
                break;
            }
            break;
        }
        case mix_kind::llc: {
            std::vector<std::uint8_t> body;
            mac destination = bridge_group;
            if (v % 4 == 0) {
                put_stp_bpdu(body, state_);
            } else if (v % 4 == 1) { // an XID command: 6 bytes
                for (unsigned byte : {0x00u, 0x01u, 0xAFu, 0x81u, 0x01u, 0x00u})
                    put_u8(body, byte);
                destination = remote;
            } else { // NetWare over raw LLC: 1500 bytes fit 802.3, 1600 do not
                for (unsigned byte : {0xE0u, 0xE0u, 0x03u})
                    put_u8(body, byte);
                put_random(body, (v % 4 == 2 ? 1500 : 1600) - 3, state_);
                destination = remote;
            }
            add(bss_header(fc_qos_data, false, sta, destination), body);
            break;
        }
        case mix_kind::other_oui: {
            std::vector<std::uint8_t> body;
            put_cdp(body, state_);
            add(bss_header(fc_data, false, sta, {0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCC}), body);
            break;
        }
        case mix_kind::htc: {
            if (v % 4 == 3) { // the Order bit on plain Data: strictly ordered, no HT Control
                add(bss_header(fc_data | fc_order, from_ap, sta, remote), ip_msdu());
                break;
            }
            mac_header_fields h = v % 4 == 1 ? wds_header(fc_qos_data | fc_order, mix_gateway, host(below(state_, 200)))
                                             : bss_header(fc_qos_data | fc_order, from_ap, sta, remote);
            std::vector<std::uint8_t> body = ip_msdu();
            if (v % 4 == 2) {
                h.qos |= qos_amsdu;
                body.clear();
                put_amsdu(body, amsdu_subframes(3, from_ap ? sta : remote, from_ap ? remote : sta));
            }
            add(h, body);
            break;
        }
        case mix_kind::wds: {
            const mac da = mix_gateway, sa = host(below(state_, 200));
            if (v % 4 == 0) {
                add(wds_header(fc_data, da, sa), ip_msdu());
            } else if (v % 4 == 1) {
                add(wds_header(fc_qos_data, da, sa), ip_msdu());
            } else if (v % 4 == 2) { // QoS bit 8 (queue size) set, but the body starts with LLC
                mac_header_fields h = wds_header(fc_qos_data, da, sa);
                h.qos |= qos_mesh_control;
                add(h, ip_msdu());
            } else {
                mac_header_fields h = wds_header(fc_qos_data, da, sa);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, da, sa));
                add(h, body);
            }
            break;
        }
        case mix_kind::mesh: {
            const mac mesh_da = host(below(state_, 200)), mesh_sa = host(below(state_, 200));
            const mac proxied_da = {0x02, 0x88, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(below(state_, 256))};
            const mac proxied_sa = {0x02, 0x88, 0x00, 0x00, 0x03, static_cast<std::uint8_t>(below(state_, 256))};
            mac_header_fields h = wds_header(fc_qos_data, mesh_da, mesh_sa);
            h.qos |= qos_mesh_control;
            std::vector<std::uint8_t> body;
            switch (v % 5) {
            case 0:
                put_mesh_control(body, 0, mesh_sequence_++, {});
                break;
            case 1:
                put_mesh_control(body, 2, mesh_sequence_++, {proxied_da, proxied_sa});
                break;
            case 2: // group-addressed, three addresses, the source proxied
                h = bss_header(fc_qos_data, true, sta, mesh_sa);
                h.a1 = v % 10 == 2 ? broadcast_address : mdns_group;
                h.qos |= qos_mesh_control;
                put_mesh_control(body, 1, mesh_sequence_++, {proxied_sa});
                break;
            case 3: { // an A-MSDU: a Mesh Control in each subframe
                h.qos |= qos_amsdu;
                auto subframes = amsdu_subframes(3, mesh_da, mesh_sa);
                for (std::size_t i = 0; i < subframes.size(); ++i) {
                    std::vector<std::uint8_t> msdu;
                    if (i == 1)
                        put_mesh_control(msdu, 2, mesh_sequence_++, {proxied_da, proxied_sa});
                    else
                        put_mesh_control(msdu, 0, mesh_sequence_++, {});
                    msdu.insert(msdu.end(), subframes[i].msdu.begin(), subframes[i].msdu.end());
                    subframes[i].msdu = std::move(msdu);
                }
                put_amsdu(body, subframes);
                add(h, body);
                return;
            }
            default: // address extension mode 3 is reserved
                put_mesh_control(body, 3, mesh_sequence_++, {proxied_da, proxied_sa});
                break;
            }
            const auto msdu = ip_msdu();
            body.insert(body.end(), msdu.begin(), msdu.end());
            add(h, body);
            break;
        }
        case mix_kind::fragments: {
            if (v % 3 == 2) { // two series interleaved, from two stations
                const mac other = {0x02, 0x5C, 0x00, 0x00, 0x00,
                                   static_cast<std::uint8_t>(sta[5] % opts_.stations + 1)};
                auto a = fragment_series(bss_header(fc_qos_data, false, sta, remote), ip_msdu(), 2);
                auto b = fragment_series(bss_header(fc_qos_data, false, other, remote), ip_msdu(), 2);
                add_series({a[0], b[0], a[1], b[1]});
            } else {
                add_series(fragment_series(bss_header(v % 2 == 0 ? fc_qos_data : fc_data, from_ap, sta, remote),
                                           ip_msdu(), 2 + v % 3));
            }
            break;
        }
        case mix_kind::fragments_lost: { // never finished: no last fragment
            auto series = fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 3);
            series.pop_back();
            if (v % 2 == 1)
                series.pop_back();
            add_series(series);
            break;
        }
        case mix_kind::fragments_disordered: {
            auto series = fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 3);
            if (v % 3 == 0) { // 0, 2, 1
                add_series({series[0], series[2], series[1]});
                break;
            }
            mix_record again = series[v % 3 == 1 ? 0 : 1]; // a retransmission
            again.frame[1] = static_cast<std::uint8_t>(again.frame[1] | fc_retry >> 8);
            if (v % 3 == 1)
                add_series({series[0], again, series[1], series[2]});
            else
                add_series({series[0], series[1], again, series[2]});
            break;
        }
        case mix_kind::amsdu_malformed: {
            mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
            h.qos |= qos_amsdu;
            std::vector<std::uint8_t> body;
            if (v % 3 == 0) {
                // A plain MSDU with the A-MSDU bit set, its IP identification
                // chosen so that, read as a subframe, the length fits the body.
                body = ip_msdu();
                set_ip_identification(body, 8, static_cast<unsigned>(body.size() - 14));
            } else {
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                if (v % 3 == 1) { // the second subframe's length runs past the body
                    const std::size_t first = 14 + (static_cast<std::size_t>(body[12]) << 8 | body[13]);
                    const std::size_t second = (first + 3) / 4 * 4;
                    const unsigned length = static_cast<unsigned>(body[second + 12] << 8 | body[second + 13]) + 40;
                    body[second + 12] = static_cast<std::uint8_t>(length >> 8);
                    body[second + 13] = static_cast<std::uint8_t>(length);
                } else { // pad, then fewer bytes than a subframe header
                    while (body.size() % 4 != 0)
                        put_u8(body, 0);
                    put_random(body, 1 + below(state_, 13), state_);
                }
            }
            add(h, body);
            break;
        }
        case mix_kind::captured_short: {
            mix_record shape;
            shape.seal = false; // cut short, no cipher's check would hold
            const unsigned variant = static_cast<unsigned>(v % 5);
            if (flags && (variant == 0 || variant == 3))
                shape.flags = rt_fcs;
            const std::size_t fcs = shape.flags != 0 ? 4 : 0;
            if (variant <= 1) {
                mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                const std::size_t first = 14 + (static_cast<std::size_t>(body[12]) << 8 | body[13]);
                const std::size_t second = (first + 3) / 4 * 4;
                // Inside the second MSDU, or inside the second subframe header.
                const std::size_t kept = variant == 0 ? second + 14 + 20 : second + 7;
                shape.cut = body.size() - kept + fcs;
                add(h, body, shape);
            } else if (variant <= 3) {
                // The SNAP header cut (nothing to write), or the payload.
                const std::size_t kept = variant == 2 ? 5 : 8 + 30;
                const auto msdu = ip_msdu();
                shape.cut = msdu.size() - kept + fcs;
                add(bss_header(fc_qos_data, from_ap, sta, remote), msdu, shape);
            } else { // a fragment not captured whole
                auto series = fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 2, shape);
                // Within the body: a MAC header cut short hides the fragment.
                series[0].cut = std::min<std::size_t>(3, series[0].frame.size() - mac_header_length(fc_qos_data));
                add_series(series);
            }
            break;
        }
        case mix_kind::null_frame: {
            mac_header_fields h = bss_header(v % 2 == 0 ? fc_null : fc_qos_null, false, sta, access_point);
            add(h, {});
            break;
        }
        case mix_kind::beacon: {
            mac_header_fields h;
            h.fc = 0x0080;
            h.a1 = broadcast_address;
            h.a2 = h.a3 = access_point;
            h.sequence_control = next_sequence();
            std::vector<std::uint8_t> body;
            put_random(body, 8, state_);
            put_beacon_fields(body);
            add(h, body);
            break;
        }
        case mix_kind::protected_frame: { // no key here opens it
            mac_header_fields h = bss_header(fc_qos_data | fc_protected, from_ap, sta, remote);
            std::vector<std::uint8_t> body = {0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00};
            put_random(body, 60 + below(state_, 100), state_);
            add(h, body);
            break;
        }
        case mix_kind::bad_capture_header: {
            mix_record shape;
            shape.broken_header = true;
            add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
            break;
        }
        case mix_kind::mesh_by_shape:
            add_mesh_by_shape(v, sta);
            break;
        case mix_kind::fcs_wrong:
            add_fcs_wrong(v, sta, from_ap, remote);
            break;
        }
    }

    // A Mesh Control that the QoS bit does not announce (plain Data, or the
    // bit clear), in frames from the DS and between mesh stations, and two
    // frames that only look alike: no SNAP behind it, or towards the DS.
    void add_mesh_by_shape(std::uint64_t v, const mac& sta)
    {
        const mac proxied_da = {0x02, 0x88, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(below(state_, 256))};
        const mac proxied_sa = {0x02, 0x88, 0x00, 0x00, 0x03, static_cast<std::uint8_t>(below(state_, 256))};
        const mac mesh_sa = host(below(state_, 200));
        mac_header_fields h = bss_header(v % 6 == 2 ? fc_qos_data : fc_data, true, sta, mesh_sa);
        h.qos &= ~qos_mesh_control;
        std::vector<std::uint8_t> body;
        switch (v % 6) {
        case 0:
            h.a1 = broadcast_address;
            put_mesh_control(body, 0, mesh_sequence_++, {});
            break;
        case 1:
            h.a1 = mdns_group;
            put_mesh_control(body, 1, mesh_sequence_++, {proxied_sa});
            break;
        case 2: // individually addressed QoS Data
            put_mesh_control(body, 2, mesh_sequence_++, {proxied_da, proxied_sa});
            break;
        case 3:
            h = wds_header(fc_data, host(below(state_, 200)), mesh_sa);
            put_mesh_control(body, 0, mesh_sequence_++, {});
            break;
        case 4: // a spanning tree BPDU behind it, not SNAP: the body is LLC
            h.a1 = broadcast_address;
            put_mesh_control(body, 0, mesh_sequence_++, {});
            put_stp_bpdu(body, state_);
            add(h, body);
            return;
        default: // towards the DS: read as LLC
            h = bss_header(fc_data, false, sta, mesh_sa);
            put_mesh_control(body, 0, mesh_sequence_++, {});
            break;
        }
        const auto msdu = ip_msdu();
        body.insert(body.end(), msdu.begin(), msdu.end());
        add(h, body);
    }

    // FCS present, not flagged bad, and wrong: a plain frame, an A-MSDU,
    // the last fragment of a series.
    void add_fcs_wrong(std::uint64_t v, const mac& sta, bool from_ap, const mac& remote)
    {
        mix_record shape;
        shape.flags = rt_fcs;
        shape.wrong_fcs = true;
        const mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
        if (v % 3 == 0) {
            add(h, ip_msdu(), shape);
        } else if (v % 3 == 1) {
            mac_header_fields aggregate = h;
            aggregate.qos |= qos_amsdu;
            std::vector<std::uint8_t> body;
            put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
            add(aggregate, body, shape);
        } else {
            shape.wrong_fcs = false;
            auto series = fragment_series(h, ip_msdu(), 2, shape);
            series.back().wrong_fcs = true;
            add_series(series);
        }
    }

    // Protects the frame as its transmitter would: pairwise between the
    // access point and a station, under the group key for group-addressed
    // frames from the access point. Other frames, and TKIP fragments (whose
    // MIC covers the whole MSDU), stay as they are.
    void seal(std::vector<std::uint8_t>& frame)
    {
        const unsigned fc = static_cast<unsigned>(frame[0] | frame[1] << 8);
        const std::size_t header_length = mac_header_length(fc);
        if ((fc & 0x0C) != 0x08 || (fc & 0x40) != 0 || frame.size() <= header_length)
            return;
        const bool fragment = (fc & fc_more_fragments) != 0 || (frame[22] & 0x0F) != 0;
        if (net_->cipher == "tkip" && fragment)
            return;
        mac a1{}, a2{};
        std::copy(frame.begin() + 4, frame.begin() + 10, a1.begin());
        std::copy(frame.begin() + 10, frame.begin() + 16, a2.begin());
        const bool group = (a1[0] & 1) != 0;
        const bool from_ap = a2 == access_point;
        if (group && !from_ap)
            return;
        station_keys* peer = nullptr;
        for (auto& candidate : net_->stations)
            if ((from_ap && candidate.address == a1) || (!from_ap && a1 == access_point && candidate.address == a2))
                peer = &candidate;
        if (!group && peer == nullptr)
            return;
        const byte_span header(frame.data(), header_length);
        const byte_span plain(frame.data() + header_length, frame.size() - header_length);
        std::vector<std::uint8_t> sealed;
        bool done = false;
        if (net_->cipher == "wep") {
            const std::uint64_t n = wep_iv_++;
            const std::array<std::uint8_t, 3> iv = {static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                                                    static_cast<std::uint8_t>(n)};
            done = wep_encrypt(net_->wep_key, iv, 0, header, plain, sealed);
        } else if (net_->cipher == "tkip") {
            done = group ? tkip_encrypt(net_->group_key, true, net_->group_packet_number++, 1, header, plain, sealed)
                         : tkip_encrypt(std::span(peer->ptk).subspan(32, 32), from_ap, peer->packet_number++, 0,
                                        header, plain, sealed);
        } else {
            done = group ? ccmp_encrypt(net_->group_ccmp, net_->group_packet_number++, 1, header, plain, sealed)
                         : ccmp_encrypt(peer->ccmp, peer->packet_number++, 0, header, plain, sealed);
        }
        if (!done)
            fail("cannot encrypt a frame");
        frame = std::move(sealed);
    }

    // Capture header, frame, data pad and FCS.
    void finish(mix_record& r, std::vector<std::uint8_t>& out, std::size_t& cut)
    {
        if (net_ != nullptr && !net_->unencrypted_twin && r.seal)
            seal(r.frame);
        const std::uint32_t fcs = crc32_of(r.frame) ^ (r.wrong_fcs ? 0x00FF0000u : 0u);
        if ((r.flags & rt_data_pad) != 0) {
            const std::size_t length = mac_header_length(static_cast<unsigned>(r.frame[0] | r.frame[1] << 8));
            const std::size_t padded = (length + 3) / 4 * 4;
            r.frame.insert(r.frame.begin() + static_cast<std::ptrdiff_t>(length), padded - length, 0);
        }
        put_mix_capture_header(out, r);
        out.insert(out.end(), r.frame.begin(), r.frame.end());
        if ((r.flags & rt_fcs) != 0 && has_flags())
            for (int shift = 0; shift < 32; shift += 8)
                put_u8(out, fcs >> shift & 0xFF);
        cut = r.cut;
        ++records_;
    }

    void put_mix_capture_header(std::vector<std::uint8_t>& out, const mix_record& r)
    {
        if (opts_.link_type == 127)
            put_mix_radiotap(out, r);
        else if (opts_.link_type == 192)
            put_mix_ppi(out, r);
        else
            put_capture_header(out, opts_.link_type, state_);
    }

    // Flags, rate, channel and signal; with TSFT, a second (empty) present
    // word puts the fields at 12, so TSFT aligns to 16 and Flags sits at 24.
    void put_mix_radiotap(std::vector<std::uint8_t>& out, const mix_record& r)
    {
        const std::size_t start = out.size();
        put_u8(out, 0);
        put_u8(out, 0);
        if (r.broken_header) { // a present word, or the Flags field, past the header's 8 bytes
            put_le16(out, 8);
            put_le16(out, records_ % 2 == 0 ? 0x0002 : 0x0000);
            put_le16(out, records_ % 2 == 0 ? 0x0000 : 0x8000);
            return;
        }
        const bool tsft = r.tsft_header || records_ % 3 == 0;
        put_le16(out, tsft ? 32 : 16);
        put_le16(out, tsft ? 0x002F : 0x002E);
        put_le16(out, tsft ? 0x8000 : 0x0000);
        if (tsft) {
            for (int i = 0; i < 4; ++i) // the second present word, then padding to 16
                put_le16(out, 0);
            // An unaligned read of Flags (at 20) would find other flags.
            std::array<std::uint8_t, 8> tsf{};
            for (auto& byte : tsf)
                byte = static_cast<std::uint8_t>(below(state_, 256));
            tsf[4] = static_cast<std::uint8_t>(r.flags ^ 0x70);
            out.insert(out.end(), tsf.begin(), tsf.end());
        }
        put_u8(out, r.flags);
        put_u8(out, 12 + 12 * below(state_, 9));
        put_le16(out, 2412 + 5 * below(state_, 11));
        put_le16(out, 0x00C0);
        put_u8(out, 256 - 30 - below(state_, 60));
        put_u8(out, 0);
        if (out.size() - start != (tsft ? 32u : 16u))
            fail("radiotap header size");
    }

    // The 802.11-Common field, behind an 802.11n MAC extension field in
    // every other record. FCS present is flag bit 0, FCS invalid bit 2.
    void put_mix_ppi(std::vector<std::uint8_t>& out, const mix_record& r)
    {
        const bool extension = records_ % 2 == 1 && !r.broken_header;
        const std::size_t start = out.size();
        put_u8(out, 0);
        put_u8(out, 0);
        put_le16(out, r.broken_header ? 28 : extension ? 48 : 32);
        put_le16(out, 105);
        put_le16(out, 0);
        if (extension) {
            put_le16(out, 3);
            put_le16(out, 12);
            for (int i = 0; i < 12; ++i) // no A-MPDU
                put_u8(out, 0);
        }
        put_le16(out, 2);
        put_le16(out, 20);
        put_random(out, 8, state_); // TSF
        put_le16(out, ((r.flags & rt_fcs) != 0 ? 0x0001u : 0u) | ((r.flags & rt_bad_fcs) != 0 ? 0x0004u : 0u));
        put_le16(out, 12 + 12 * below(state_, 9));
        put_le16(out, 2412 + 5 * below(state_, 11));
        put_le16(out, 0x00C0);
        put_le16(out, 0);
        put_u8(out, 256 - 30 - below(state_, 60));
        put_u8(out, 256 - 95);
        if (r.broken_header) // the field's last 4 bytes lie past the header
            out.resize(start + 28);
    }

    const options& opts_;
    std::uint64_t& state_;
    protected_network* net_;
    std::vector<mix_record> queue_;
    std::size_t position_ = 0;
    std::uint64_t cycle_ = 0;
    unsigned sequence_ = 0;
    std::uint32_t mesh_sequence_ = 1;
    std::uint64_t wep_iv_ = 0;
    std::uint64_t records_ = 0;
};

// Appends the FCS to a radiotap record of put_capture_header, and says so
// in its Flags field (the first field, at byte 8).
void append_fcs(std::vector<std::uint8_t>& record)
{
    const std::size_t header_length = static_cast<std::size_t>(record[2] | record[3] << 8);
    record[8] |= 0x10;
    const std::uint32_t fcs = crc32_of(byte_span(record).subspan(header_length));
    for (int shift = 0; shift < 32; shift += 8)
        put_u8(record, fcs >> shift & 0xFF);
}

int parse(int argc, char** argv, options& opts)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--link" && has_value) {
            const std::string link = argv[++i];
            if (link == "radiotap")
                opts.link_type = 127;
            else if (link == "bare")
                opts.link_type = 105;
            else if (link == "prism")
                opts.link_type = 119;
            else if (link == "ppi")
                opts.link_type = 192;
            else
                return -1;
        } else if (arg == "--records" && has_value) {
            opts.records = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--bytes" && has_value) {
            opts.bytes = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--seed" && has_value) {
            opts.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--encrypt" && has_value) {
            opts.encrypt = argv[++i];
            if (opts.encrypt != "ccmp" && opts.encrypt != "tkip" && opts.encrypt != "wep")
                return -1;
        } else if (arg == "--passphrase" && has_value) {
            opts.passphrase = argv[++i];
        } else if (arg == "--ssid" && has_value) {
            opts.ssid = argv[++i];
        } else if (arg == "--wep-key" && has_value) {
            opts.wep_key = argv[++i];
        } else if (arg == "--stations" && has_value) {
            opts.stations = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (opts.stations == 0 || opts.stations > 200)
                return -1;
        } else if (arg == "--unencrypted-twin") {
            opts.unencrypted_twin = true;
        } else if (arg == "--full-decode-mix") {
            opts.full_decode_mix = true;
        } else if (arg == "--fcs") {
            opts.fcs = true;
        } else if (arg == "--small") {
            opts.small_packets = true;
        } else if (opts.output == nullptr && (arg == "-" || arg[0] != '-')) {
            opts.output = argv[i];
        } else {
            return -1;
        }
    }
    if (opts.output == nullptr || (opts.records == 0 && opts.bytes == 0) ||
        (opts.fcs && (opts.link_type != 127 || opts.full_decode_mix)))
        return -1;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    options opts;
    if (parse(argc, argv, opts) != 0) {
        std::fputs("usage: kestrine_gen [--link radiotap|bare|prism|ppi] [--records N] [--bytes N] "
                   "[--small] [--seed N] [--fcs]\n"
                   "                    [--encrypt ccmp|tkip|wep] [--passphrase P] [--ssid S] [--wep-key HEX]\n"
                   "                    [--stations N] [--unencrypted-twin] [--full-decode-mix] out.pcap\n",
                   stderr);
        return 2;
    }
    pcap_t* dead = pcap_open_dead(opts.link_type, 65535);
    pcap_dumper_t* dumper = dead != nullptr ? pcap_dump_open(dead, opts.output) : nullptr;
    if (dumper == nullptr) {
        std::fprintf(stderr, "kestrine_gen: cannot create %s\n", opts.output);
        return 1;
    }
    std::uint64_t state = opts.seed;
    protected_network network;
    if (!opts.encrypt.empty())
        set_up_network(network, opts, state);
    full_decode_mix mix(opts, state, opts.encrypt.empty() ? nullptr : &network);
    std::vector<std::uint8_t> record;
    std::uint64_t written = 24; // the savefile header
    pcap_pkthdr header{};
    header.ts.tv_sec = 1767225600; // 2026-01-01
    for (std::uint64_t count = 0; opts.records == 0 || count < opts.records; ++count) {
        record.clear();
        std::size_t cut = 0;
        if (opts.full_decode_mix) {
            mix.next(record, cut);
        } else {
            put_capture_header(record, opts.link_type, state);
            if (opts.encrypt.empty())
                put_frame(record, state, opts.small_packets);
            else
                put_protected_frame(record, network, state, opts.small_packets);
            if (opts.fcs)
                append_fcs(record);
        }
        const std::size_t captured = record.size() - cut;
        if (opts.bytes != 0 && written + 16 + captured > opts.bytes)
            break;
        header.ts.tv_usec += static_cast<suseconds_t>(50 + below(state, 400));
        if (header.ts.tv_usec >= 1000000) {
            header.ts.tv_usec -= 1000000;
            ++header.ts.tv_sec;
        }
        header.caplen = static_cast<bpf_u_int32>(captured);
        header.len = static_cast<bpf_u_int32>(record.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, record.data());
        written += 16 + captured;
    }
    const bool flushed = pcap_dump_flush(dumper) == 0 && !std::ferror(pcap_dump_file(dumper));
    pcap_dump_close(dumper);
    pcap_close(dead);
    if (!flushed) {
        std::fprintf(stderr, "kestrine_gen: cannot write %s\n", opts.output);
        return 1;
    }
    return 0;
}
