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
                   "[--small] [--seed N] out.pcap\n",
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
    std::vector<std::uint8_t> record;
    std::uint64_t written = 24; // the savefile header
    pcap_pkthdr header{};
    header.ts.tv_sec = 1767225600; // 2026-01-01
    for (std::uint64_t count = 0; opts.records == 0 || count < opts.records; ++count) {
        record.clear();
        put_capture_header(record, opts.link_type, state);
        put_frame(record, state, opts.small_packets);
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
