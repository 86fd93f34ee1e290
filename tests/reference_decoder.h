// A second, deliberately separate reading of the conversion rules, used to
// check the converter from outside: the fuzz target compares every frame
// with it, and the real-capture test compares every output record of the
// built program with it. It shares no code with src/convert and is written
// in another shape (whole-header views, 64-bit arithmetic), so that a
// mistake in one is unlikely to be repeated in the other.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

namespace reference {

// The 802.11 header as the converter looks at it.
struct wlan_header {
    unsigned type = 0;    // FC bits 2-3
    unsigned subtype = 0; // FC bits 4-7
    bool to_ds = false;
    bool from_ds = false;
    bool protected_frame = false;
};

inline wlan_header read_wlan_header(std::uint8_t fc_low, std::uint8_t fc_high)
{
    wlan_header h;
    h.type = (fc_low >> 2) & 3u;
    h.subtype = (fc_low >> 4) & 15u;
    h.to_ds = (fc_high & 1u) != 0;
    h.from_ds = (fc_high & 2u) != 0;
    h.protected_frame = (fc_high & 0x40u) != 0;
    return h;
}

// Where the 802.11 header starts, or nothing when the capture header's
// length field does not fit the captured bytes.
inline std::optional<std::uint32_t> header_offset(std::int64_t link_type, const std::uint8_t* data,
                                                  std::uint32_t caplen)
{
    const std::int64_t captured = caplen;
    const std::int64_t signed_limit = 0x7FFFFFFF;
    if (link_type == 119)
        return 144u;
    if (link_type == 127) {
        // At least 10 captured bytes behind the radiotap header; lengths
        // past 2^31 + 9 count as negative.
        if (captured < 10 || captured - 10 > signed_limit)
            return std::nullopt;
        const std::uint32_t length = data[2] + 256u * data[3];
        if (length > captured - 10)
            return std::nullopt;
        return length;
    }
    if (link_type == 192) {
        // The PPI header may end exactly at the end of the captured bytes.
        if (captured < 8 || captured > signed_limit)
            return std::nullopt;
        const std::uint32_t length = data[2] + 256u * data[3];
        if (length > captured)
            return std::nullopt;
        return length;
    }
    return 0u; // bare 802.11, and any other link type read as such
}

struct ethernet_record {
    std::uint32_t caplen = 0;
    std::uint32_t len = 0;
    std::vector<std::uint8_t> frame; // caplen bytes
};

// The Ethernet II record that one 802.11 record becomes, or nothing when it
// is dropped.
inline std::optional<ethernet_record> convert(const std::uint8_t* data, std::uint32_t caplen, std::uint32_t len,
                                              std::uint32_t offset)
{
    const std::int64_t o = offset;
    // The payload length on the wire behind a Data header and LLC/SNAP. The
    // converter works in wrapping 32-bit arithmetic read as signed, so a
    // difference of 2^31 or more is as good as negative.
    std::int64_t payload = std::int64_t{len} - (o + 32);
    if (payload < 21 || payload > 0x7FFFFFFF)
        return std::nullopt;
    if (std::int64_t{caplen} < o + 2)
        return std::nullopt;
    const wlan_header h = read_wlan_header(data[o], data[o + 1]);
    if (h.type != 2 || (h.subtype != 0 && h.subtype != 8))
        return std::nullopt;
    std::int64_t body = o + 32; // first payload byte
    if (h.subtype == 8) {
        if (payload < 23)
            return std::nullopt;
        body += 2;
        payload -= 2;
    }
    if ((h.to_ds && h.from_ds) || h.protected_frame)
        return std::nullopt;
    if (std::int64_t{caplen} < body) // the EtherType is not all captured
        return std::nullopt;

    const std::int64_t a1 = o + 4, a2 = o + 10, a3 = o + 16;
    const std::int64_t destination = h.to_ds ? a3 : a1;
    const std::int64_t source = h.from_ds ? a3 : a2;
    const std::int64_t kept = std::min<std::int64_t>(payload, std::int64_t{caplen} - body);

    ethernet_record out;
    out.frame.insert(out.frame.end(), data + destination, data + destination + 6);
    out.frame.insert(out.frame.end(), data + source, data + source + 6);
    out.frame.insert(out.frame.end(), data + body - 2, data + body + kept);
    out.caplen = static_cast<std::uint32_t>(out.frame.size());
    out.len = static_cast<std::uint32_t>(payload + 14);
    return out;
}

} // namespace reference
