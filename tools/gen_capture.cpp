// kestrine_gen: writes a deterministic 802.11 capture through libpcap.
//
//   kestrine_gen [--link radiotap|bare|prism|ppi] [--records N] [--bytes N]
//                [--small] [--seed N] out.pcap
//
// The mix is meant to look like a busy access point: mostly QoS Data and
// Data frames in both directions carrying IPv4/UDP packets of IMIX sizes
// (7:4:1 of 40, 576 and 1500 bytes; 40-120 bytes with --small), some
// protected and four-address frames, Null frames, beacons, probe responses
// and short control frames. Radiotap headers vary in length. The same
// arguments always write the same bytes.
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
#include "decrypt/decrypt.h"

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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
        put_le16(out, 100);
        put_le16(out, 0x0431);
        static constexpr char ssid[] = "kestrine-lab";
        put_u8(out, 0);
        put_u8(out, sizeof ssid - 1);
        out.insert(out.end(), ssid, ssid + sizeof ssid - 1);
        for (unsigned rate : {0x01u, 0x08u, 0x82u, 0x84u, 0x8Bu, 0x96u, 0x0Cu, 0x12u, 0x18u, 0x24u})
            put_u8(out, rate);
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
        } else if (arg == "--small") {
            opts.small_packets = true;
        } else if (opts.output == nullptr && (arg == "-" || arg[0] != '-')) {
            opts.output = argv[i];
        } else {
            return -1;
        }
    }
    if (opts.output == nullptr || (opts.records == 0 && opts.bytes == 0))
        return -1;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    options opts;
    if (parse(argc, argv, opts) != 0) {
        std::fputs("usage: kestrine_gen [--link radiotap|bare|prism|ppi] [--records N] [--bytes N] "
                   "[--small] [--seed N]\n"
                   "                    [--encrypt ccmp|tkip|wep] [--passphrase P] [--ssid S] [--wep-key HEX]\n"
                   "                    [--stations N] [--unencrypted-twin] out.pcap\n",
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
    std::vector<std::uint8_t> record;
    std::uint64_t written = 24; // the savefile header
    pcap_pkthdr header{};
    header.ts.tv_sec = 1767225600; // 2026-01-01
    for (std::uint64_t count = 0; opts.records == 0 || count < opts.records; ++count) {
        record.clear();
        put_capture_header(record, opts.link_type, state);
        if (opts.encrypt.empty())
            put_frame(record, state, opts.small_packets);
        else
            put_protected_frame(record, network, state, opts.small_packets);
        if (opts.bytes != 0 && written + 16 + record.size() > opts.bytes)
            break;
        header.ts.tv_usec += static_cast<suseconds_t>(50 + below(state, 400));
        if (header.ts.tv_usec >= 1000000) {
            header.ts.tv_usec -= 1000000;
            ++header.ts.tv_sec;
        }
        header.caplen = header.len = static_cast<bpf_u_int32>(record.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, record.data());
        written += 16 + record.size();
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
