// The busy access point: mostly QoS Data and Data frames in both
// directions carrying IPv4/UDP packets of IMIX sizes, some protected and
// four-address frames, Null frames, beacons, probe responses and short
// control frames.
#include "gen.h"

namespace gen {

// One 802.11 frame. `kind` picks the frame: a mix weighted per 1000.
void put_busy_frame(std::vector<std::uint8_t>& out, std::uint64_t& state, bool small_packets)
{
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
        put(out, kind < 55 ? broadcast_address : station);
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

} // namespace gen
