// Protected networks: each station's 4-way handshake (or none, for WEP),
// then traffic in both directions and group traffic from the access point.
#include "gen.h"

#include <algorithm>
#include <span>
#include <utility>

namespace gen {
namespace {

// A Data or QoS Data header from the access point (FromDS) or to it (ToDS).
std::vector<std::uint8_t> data_header(bool qos, bool from_ap, const mac& station, const mac& destination,
                                      std::uint64_t& state)
{
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

} // namespace

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
    const bool qos = !group && below(state, 5) != 0;
    const auto header = data_header(qos, from_ap, station.address, group ? broadcast_address : from_ap ? station.address : gateway, state);
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

// Protects the frame as its transmitter would: pairwise between the
// access point and a station, under the group key for group-addressed
// frames from the access point. Other frames, and TKIP fragments (whose
// MIC covers the whole MSDU), stay as they are.
void seal_frame(protected_network& net, std::vector<std::uint8_t>& frame)
{
    const unsigned fc = static_cast<unsigned>(frame[0] | frame[1] << 8);
    const std::size_t header_length = mac_header_length(fc);
    if ((fc & 0x0C) != 0x08 || (fc & 0x40) != 0 || frame.size() <= header_length)
        return;
    const bool fragment = (fc & fc_more_fragments) != 0 || (frame[22] & 0x0F) != 0;
    if (net.cipher == "tkip" && fragment)
        return;
    mac a1{}, a2{};
    std::copy(frame.begin() + 4, frame.begin() + 10, a1.begin());
    std::copy(frame.begin() + 10, frame.begin() + 16, a2.begin());
    const bool group = (a1[0] & 1) != 0;
    const bool from_ap = a2 == access_point;
    if (group && !from_ap)
        return;
    station_keys* peer = nullptr;
    for (auto& candidate : net.stations)
        if ((from_ap && candidate.address == a1) || (!from_ap && a1 == access_point && candidate.address == a2))
            peer = &candidate;
    if (!group && peer == nullptr)
        return;
    const byte_span header(frame.data(), header_length);
    const byte_span plain(frame.data() + header_length, frame.size() - header_length);
    std::vector<std::uint8_t> sealed;
    bool done = false;
    if (net.cipher == "wep") {
        const std::uint64_t n = net.wep_iv++;
        const std::array<std::uint8_t, 3> iv = {static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                                                static_cast<std::uint8_t>(n)};
        done = wep_encrypt(net.wep_key, iv, 0, header, plain, sealed);
    } else if (net.cipher == "tkip") {
        done = group ? tkip_encrypt(net.group_key, true, net.group_packet_number++, 1, header, plain, sealed)
                     : tkip_encrypt(std::span(peer->ptk).subspan(32, 32), from_ap, peer->packet_number++, 0,
                                    header, plain, sealed);
    } else {
        done = group ? ccmp_encrypt(net.group_ccmp, net.group_packet_number++, 1, header, plain, sealed)
                     : ccmp_encrypt(peer->ccmp, peer->packet_number++, 0, header, plain, sealed);
    }
    if (!done)
        fail("cannot encrypt a frame");
    frame = std::move(sealed);
}

} // namespace gen
