// Random numbers, byte writers and the capture headers of the four link
// types, shared by every mix.
#include "gen.h"

#include <cstdio>
#include <cstdlib>

namespace gen {

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

void set_ip_checksum(std::vector<std::uint8_t>& packet, std::size_t at)
{
    packet[at + 10] = packet[at + 11] = 0;
    std::uint32_t sum = 0;
    for (std::size_t i = at; i < at + 20; i += 2)
        sum += static_cast<std::uint32_t>(packet[i] << 8 | packet[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    packet[at + 10] = static_cast<std::uint8_t>(~sum >> 8);
    packet[at + 11] = static_cast<std::uint8_t>(~sum);
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
    set_ip_checksum(out, start);
    put_be16(out, 1024 + below(state, 60000));
    put_be16(out, 443 + below(state, 3) * 4000);
    put_be16(out, static_cast<unsigned>(length - 20));
    put_be16(out, 0);
    for (std::size_t i = 28; i < length; ++i)
        put_u8(out, static_cast<unsigned>(i));
}
[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "kestrine_gen: %s\n", what);
    std::exit(1);
}

void put_random(std::vector<std::uint8_t>& out, std::size_t count, std::uint64_t& state)
{
    for (std::size_t i = 0; i < count; ++i)
        put_u8(out, below(state, 256));
}

void fill_random(std::span<std::uint8_t> out, std::uint64_t& state)
{
    for (auto& byte : out)
        byte = static_cast<std::uint8_t>(below(state, 256));
}

std::size_t mac_header_length(unsigned fc)
{
    std::size_t length = 24;
    if (four_address(fc))
        length += 6;
    if (has_qos(fc))
        length += (fc & fc_order) != 0 ? 6 : 2;
    return length;
}

// A management frame's header: Frame Control, Duration, the three
// addresses and a random sequence number.
void put_management_header(std::vector<std::uint8_t>& out, unsigned subtype, const mac& destination,
                           const mac& source, const mac& bssid, std::uint64_t& state)
{
    put_le16(out, subtype << 4);
    put_le16(out, subtype == 8 ? 0 : 44);
    put(out, destination);
    put(out, source);
    put(out, bssid);
    put_le16(out, below(state, 4096) << 4);
}

void put_data_header(std::vector<std::uint8_t>& out, bool from_ap, const mac& address1, const mac& address2,
                     const mac& address3, unsigned sequence, const unsigned* tid)
{
    put_u8(out, tid != nullptr ? 0x88 : 0x08);
    put_u8(out, from_ap ? 0x02 : 0x01);
    put_le16(out, 48);
    put(out, address1);
    put(out, address2);
    put(out, address3);
    put_le16(out, sequence << 4);
    if (tid != nullptr)
        put_le16(out, *tid);
}

void put_ssid(std::vector<std::uint8_t>& out, const std::string& ssid)
{
    put_u8(out, 0);
    put_u8(out, static_cast<unsigned>(ssid.size()));
    out.insert(out.end(), ssid.begin(), ssid.end());
}

void put_rates(std::vector<std::uint8_t>& out)
{
    for (unsigned byte : {0x01u, 0x08u, 0x8Cu, 0x12u, 0x98u, 0x24u, 0xB0u, 0x48u, 0x60u, 0x6Cu})
        put_u8(out, byte);
}

void put_association_request(std::vector<std::uint8_t>& out, const mac& station, const mac& bssid,
                             const mac* current_access_point, const std::string& ssid, std::uint64_t& state)
{
    put_management_header(out, current_access_point != nullptr ? 2 : 0, bssid, station, bssid, state);
    put_le16(out, 0x0431);
    put_le16(out, 10); // listen interval
    if (current_access_point != nullptr)
        put(out, *current_access_point);
    put_ssid(out, ssid);
    put_rates(out);
}

void put_association_response(std::vector<std::uint8_t>& out, bool reassociation, const mac& station,
                              const mac& bssid, unsigned aid, std::uint64_t& state)
{
    put_management_header(out, reassociation ? 3 : 1, station, bssid, bssid, state);
    put_le16(out, 0x0431);
    put_le16(out, 0);            // success
    put_le16(out, 0xC000 | aid); // association ID
    put_rates(out);
}

} // namespace gen
