// A second, deliberately separate reading of the conversion rules, used to
// check the converter from outside: the fuzz target compares every frame
// with it, and the real-capture test compares every output record of the
// built program with it. It shares no code with src/convert and is written
// in another shape (whole-header views, 64-bit arithmetic), so that a
// mistake in one is unlikely to be repeated in the other.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
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

// ---- Full decoding (--full-decode) ----
//
// A whole capture in, the Ethernet records out. Written as a walk over
// "views" (a byte range with a wire length and a captured length), with
// every length in 64 bits, and fragments kept in a queue in the order they
// started.

struct capture_record {
    std::int64_t seconds = 0;
    std::int64_t fraction = 0;
    std::uint32_t caplen = 0;
    std::uint32_t len = 0;
    std::vector<std::uint8_t> bytes; // caplen bytes
    bool operator==(const capture_record&) const = default;
};

namespace full {

using bytes = std::vector<std::uint8_t>;
using address = std::array<std::uint8_t, 6>;

inline unsigned le16(const std::uint8_t* p) { return p[0] | unsigned{p[1]} << 8; }
inline std::uint32_t le32(const std::uint8_t* p) { return le16(p) | std::uint32_t{le16(p + 2)} << 16; }
inline address address_at(const std::uint8_t* p)
{
    address a;
    std::copy(p, p + 6, a.begin());
    return a;
}

// What the capture header says of the frame behind it.
struct header_flags {
    bool malformed = false;
    bool fcs_at_end = false;
    bool data_pad = false;
    bool bad_fcs = false;
};

inline header_flags radiotap_flags(const std::uint8_t* data, std::int64_t header_length)
{
    header_flags f;
    std::int64_t at = 4;
    std::uint32_t first_word = 0;
    for (bool first = true;; first = false) {
        if (at + 4 > header_length) {
            f.malformed = true;
            return f;
        }
        const std::uint32_t word = le32(data + at);
        at += 4;
        if (first)
            first_word = word;
        if ((word & 0x80000000u) == 0)
            break;
    }
    if ((first_word & 2u) == 0)
        return f;
    if ((first_word & 1u) != 0) // TSFT, 8-aligned from the header start
        at = (at + 7) / 8 * 8 + 8;
    if (at >= header_length) {
        f.malformed = true;
        return f;
    }
    const unsigned flags = data[at];
    f.fcs_at_end = (flags & 0x10u) != 0;
    f.data_pad = (flags & 0x20u) != 0;
    f.bad_fcs = (flags & 0x40u) != 0;
    return f;
}

// The first 802.11-Common field decides; every field up to it must fit the
// header.
inline header_flags ppi_flags(const std::uint8_t* data, std::int64_t header_length)
{
    header_flags f;
    for (std::int64_t at = 8; at + 4 <= header_length;) {
        const unsigned type = le16(data + at);
        const std::int64_t length = le16(data + at + 2);
        if (at + 4 + length > header_length) {
            f.malformed = true;
            return f;
        }
        // The walk goes as far as the 802.11-Common field, as radiotap's
        // goes as far as Flags: what follows is not read.
        if (type == 2 && length >= 10) {
            const unsigned flags = le16(data + at + 4 + 8);
            f.fcs_at_end = (flags & 1u) != 0;
            f.bad_fcs = (flags & 4u) != 0;
            return f;
        }
        at += 4 + length;
    }
    return f;
}

// A run of bytes of which `captured` are there out of `wire` sent.
struct view {
    const std::uint8_t* data = nullptr;
    std::int64_t wire = 0;
    std::int64_t captured = 0;
    view from(std::int64_t n) const
    {
        return {data + std::min(n, captured), wire - n, std::max<std::int64_t>(0, captured - n)};
    }
};

struct writer {
    const capture_record* when = nullptr;
    std::vector<capture_record>* out = nullptr;

    void ethernet(const address& da, const address& sa, const std::uint8_t type_or_length[2], view rest,
                  std::int64_t wire_total)
    {
        capture_record r;
        r.seconds = when->seconds;
        r.fraction = when->fraction;
        r.bytes.insert(r.bytes.end(), da.begin(), da.end());
        r.bytes.insert(r.bytes.end(), sa.begin(), sa.end());
        r.bytes.insert(r.bytes.end(), type_or_length, type_or_length + 2);
        r.bytes.insert(r.bytes.end(), rest.data, rest.data + rest.captured);
        r.caplen = static_cast<std::uint32_t>(r.bytes.size());
        r.len = static_cast<std::uint32_t>(wire_total);
        out->push_back(std::move(r));
    }
};

// One MSDU to Ethernet II (RFC 1042 or 802.1H SNAP) or to IEEE 802.3.
inline void write_msdu(writer& w, const address& da, const address& sa, view msdu)
{
    const std::int64_t n = msdu.wire, k = std::min(msdu.captured, msdu.wire);
    if (n >= 8 && k < 8)
        return;
    if (n >= 8) {
        const std::uint8_t* p = msdu.data;
        const bool snap = p[0] == 0xAA && p[1] == 0xAA && p[2] == 0x03 && p[3] == 0 && p[4] == 0;
        if (snap && (p[5] == 0x00 || p[5] == 0xF8)) {
            w.ethernet(da, sa, p + 6, {p + 8, n - 8, k - 8}, n + 6);
            return;
        }
    }
    if (n == 0 || n > 1500)
        return;
    const std::uint8_t length[2] = {static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
    w.ethernet(da, sa, length, {msdu.data, n, k}, n + 14);
}

// A Mesh Control at the front of a mesh frame's MSDU: skipped, its address
// extension read. False when it is malformed (reserved mode, or longer than
// the MSDU).
inline bool skip_mesh_control(view& msdu, address& da, address& sa)
{
    if (msdu.captured < 1 || (msdu.data[0] & 0xFCu) != 0)
        return true;
    const unsigned mode = msdu.data[0] & 3u;
    if (mode == 3)
        return false;
    const std::int64_t length = 6 + 6 * std::int64_t{mode};
    if (msdu.wire < length || msdu.captured < length)
        return false;
    if (mode == 1)
        sa = address_at(msdu.data + 6);
    if (mode == 2) {
        da = address_at(msdu.data + 6);
        sa = address_at(msdu.data + 12);
    }
    msdu = msdu.from(length);
    return true;
}

// A Mesh Control that no QoS bit announces, told by its shape: flags 0, 1
// or 2 (the address extension mode, nothing else set), and SNAP's DSAP and
// SSAP (AA AA) captured right behind the field.
inline bool looks_like_mesh_control(view msdu)
{
    if (msdu.captured < 1 || msdu.data[0] > 2)
        return false;
    const std::int64_t llc = 6 + 6 * std::int64_t{msdu.data[0]};
    return msdu.captured >= llc + 2 && msdu.data[llc] == 0xAA && msdu.data[llc + 1] == 0xAA;
}

// CRC-32 of IEEE 802.3 (reflected, polynomial EDB88320), bit by bit, over
// the pieces in turn.
inline std::uint32_t crc32(std::initializer_list<view> pieces)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const view& piece : pieces)
        for (std::int64_t i = 0; i < piece.captured; ++i) {
            crc ^= piece.data[i];
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    return ~crc;
}

// An MSDU or A-MSDU behind the MAC header `mac` (at least its full length).
inline void decode_body(writer& w, const std::uint8_t* mac, view body)
{
    const unsigned fc = le16(mac);
    const bool to_ds = (fc & 0x0100u) != 0, from_ds = (fc & 0x0200u) != 0;
    const bool qos = (fc & 0x0080u) != 0;
    const address a1 = address_at(mac + 4), a2 = address_at(mac + 10), a3 = address_at(mac + 16);
    address da = a1, sa = a2;
    if (to_ds && from_ds) {
        da = a3;
        sa = address_at(mac + 24);
    } else if (to_ds) {
        da = a3;
    } else if (from_ds) {
        sa = a3;
    }
    const unsigned qos_control = qos ? le16(mac + (to_ds && from_ds ? 30 : 24)) : 0u;
    const bool mesh = (qos_control & 0x0100u) != 0 && ((to_ds && from_ds) || (from_ds && !to_ds && (a1[0] & 1u) != 0));

    if ((qos_control & 0x0080u) == 0) {
        const bool shaped = !mesh && from_ds && looks_like_mesh_control(body);
        if ((mesh || shaped) && !skip_mesh_control(body, da, sa))
            return;
        write_msdu(w, da, sa, body);
        return;
    }
    const std::size_t before = w.out->size();
    for (std::int64_t at = 0; at < body.wire;) {
        if (body.wire - at < 14 || body.captured - at < 14)
            return;
        address sub_da = address_at(body.data + at), sub_sa = address_at(body.data + at + 6);
        const std::int64_t length = std::int64_t{body.data[at + 12]} << 8 | body.data[at + 13];
        if (at == 0 && sub_da == address{0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00}) {
            w.out->resize(before);
            return;
        }
        if (at + 14 + length > body.wire)
            return;
        if (length > 0) {
            view msdu = body.from(at + 14);
            msdu.wire = length;
            const bool whole = msdu.captured >= length;
            if (mesh && !skip_mesh_control(msdu, sub_da, sub_sa))
                return;
            write_msdu(w, sub_da, sub_sa, msdu);
            if (!whole)
                return;
        }
        at += 14 + length;
        if (at < body.wire)
            at = (at + 3) / 4 * 4;
    }
}

struct msdu_in_flight {
    address transmitter{};
    unsigned sequence = 0;
    unsigned last_fragment = 0;
    bytes header; // the first fragment's MAC header
    bytes body;
};

} // namespace full

inline std::vector<capture_record> full_decode(std::int64_t link_type, const std::vector<capture_record>& records)
{
    using namespace full;
    std::vector<capture_record> out;
    std::deque<msdu_in_flight> in_flight; // oldest first
    for (const capture_record& record : records) {
        const std::uint8_t* data = record.bytes.data();
        const std::int64_t caplen = record.caplen, len = record.len;
        const auto offset_found = header_offset(link_type, data, record.caplen);
        if (!offset_found)
            continue;
        const std::int64_t offset = *offset_found;
        header_flags flags;
        if (link_type == 127)
            flags = radiotap_flags(data, offset);
        else if (link_type == 192)
            flags = ppi_flags(data, offset);
        if (flags.malformed || flags.bad_fcs)
            continue;
        if (len < offset + 2 || caplen < offset + 2)
            continue;
        std::int64_t wire = len - offset;
        if (flags.fcs_at_end) {
            if (wire < 4)
                continue;
            wire -= 4;
        }
        const view frame{data + offset, wire, std::min(caplen - offset, wire)};
        const unsigned fc = le16(frame.data);
        if ((fc & 0x0Cu) != 0x08u || (fc & 0x40u) != 0)
            continue;
        const bool four_address = (fc & 0x0300u) == 0x0300u, qos = (fc & 0x80u) != 0;
        const std::int64_t header_length = 24 + (four_address ? 6 : 0) + (qos ? 2 : 0) + (qos && (fc & 0x8000u) ? 4 : 0);
        if (frame.captured < header_length)
            continue;
        const std::int64_t body_start = flags.data_pad ? (header_length + 3) / 4 * 4 : header_length;
        if (frame.wire - body_start < 0)
            continue;
        const view body = frame.from(body_start);
        // The FCS covers the frame without the data pad; it is checked when
        // the record holds all of it.
        if (flags.fcs_at_end && caplen >= len &&
            crc32({{frame.data, header_length, header_length}, body}) != le32(frame.data + wire))
            continue;
        if ((fc & 0x4000u) != 0) // protected: no keys here
            continue;

        writer w{&record, &out};
        const unsigned sequence_control = le16(frame.data + 22);
        const unsigned fragment = sequence_control & 0xFu, sequence = sequence_control >> 4;
        const bool more = (fc & 0x0400u) != 0;
        if (!more && fragment == 0) {
            decode_body(w, frame.data, body);
            continue;
        }
        const address transmitter = address_at(frame.data + 10);
        const auto same_key = [&](const msdu_in_flight& m) {
            return m.transmitter == transmitter && m.sequence == sequence;
        };
        const auto existing = std::find_if(in_flight.begin(), in_flight.end(), same_key);
        // A retransmission (Retry bit) of the fragment last taken repeats it.
        if ((fc & 0x0800u) != 0 && fragment != 0 && existing != in_flight.end() && existing->last_fragment == fragment)
            continue;
        if (body.captured != body.wire || fragment == 0 || existing == in_flight.end() ||
            existing->last_fragment + 1 != fragment) {
            if (existing != in_flight.end())
                in_flight.erase(existing);
            if (fragment != 0 || body.captured != body.wire)
                continue;
            if (in_flight.size() == 8)
                in_flight.pop_front();
            in_flight.push_back({transmitter, sequence, 0, bytes(frame.data, frame.data + header_length),
                                 bytes(body.data, body.data + body.wire)});
            continue;
        }
        existing->body.insert(existing->body.end(), body.data, body.data + body.wire);
        existing->last_fragment = fragment;
        if (more)
            continue;
        const msdu_in_flight whole = *existing;
        in_flight.erase(existing);
        if (whole.body.size() > 65535 - 14)
            continue;
        const auto size = static_cast<std::int64_t>(whole.body.size());
        decode_body(w, whole.header.data(), {whole.body.data(), size, size});
    }
    return out;
}

} // namespace reference
