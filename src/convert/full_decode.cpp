#include "convert/convert.h"

#include <libdeflate.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

using byte_span = std::span<const std::uint8_t>;

constexpr std::size_t round_up_4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// The largest value an IEEE 802.3 length field holds: from 1536 up the
// same field is read as an EtherType.
constexpr std::size_t largest_802_3_body = 1500;
constexpr std::size_t ethernet_header_size = 14;

// One MSDU ready to be written: its addresses and its bytes.
struct msdu {
    byte_span destination; // 6 bytes
    byte_span source;      // 6 bytes
    byte_span captured;    // the captured part of the MSDU
    std::size_t wire_length;
};

struct decode_context {
    const timeval& ts;
    frame_buffer& frame;
    const frame_sink& sink;
    decode_counts& counts;
    bool write_failed = false;
};

// Bodies that begin with LLC/SNAP of OUI 00-00-00 (RFC 1042) or 00-00-F8
// (802.1H bridge tunnel) carry an EtherType.
bool is_ethernet_snap(byte_span body)
{
    return body.size() >= 8 && body[0] == 0xAA && body[1] == 0xAA && body[2] == 0x03 && body[3] == 0x00 &&
           body[4] == 0x00 && (body[5] == 0x00 || body[5] == 0xF8);
}

// Writes one MSDU as Ethernet II (behind RFC 1042 or 802.1H SNAP) or else
// as IEEE 802.3, whose length field then tells the LLC body's length.
[[gnu::always_inline]] inline record_fate write_msdu(decode_context& context, const msdu& unit)
{
    const std::size_t wire = unit.wire_length;
    const byte_span body = unit.captured;
    if (wire >= 8 && body.size() < 8)
        return record_fate::too_short;
    byte_span rest = body;
    std::size_t rest_wire = wire;
    std::uint8_t length_or_type[2];
    if (wire >= 8 && is_ethernet_snap(body)) {
        length_or_type[0] = body[6];
        length_or_type[1] = body[7];
        rest = body.subspan(8);
        rest_wire = wire - 8;
    } else if (wire == 0) {
        return record_fate::no_payload;
    } else if (wire > largest_802_3_body) {
        return record_fate::too_long_for_802_3;
    } else {
        length_or_type[0] = static_cast<std::uint8_t>(wire >> 8);
        length_or_type[1] = static_cast<std::uint8_t>(wire & 0xFF);
        ++context.counts.ieee_802_3_written;
    }
    if (!reserve_frame(context.frame, ethernet_header_size + rest.size())) {
        context.write_failed = true;
        return record_fate::no_memory;
    }
    std::uint8_t* out = context.frame.bytes.get();
    // Addresses are 6-byte spans by construction: fixed-size copies.
    std::memcpy(out, unit.destination.data(), 6);
    std::memcpy(out + 6, unit.source.data(), 6);
    out[12] = length_or_type[0];
    out[13] = length_or_type[1];
    if (!rest.empty())
        std::memcpy(out + ethernet_header_size, rest.data(), rest.size());

    pcap_pkthdr header{};
    header.ts = context.ts;
    header.caplen = static_cast<bpf_u_int32>(ethernet_header_size + rest.size());
    header.len = static_cast<bpf_u_int32>(ethernet_header_size + rest_wire);
    if (!context.sink.write(context.sink.context, header, out))
        context.write_failed = true;
    return record_fate::converted;
}

// An 802.11s Mesh Control field at the start of `unit`'s bytes, when the
// frame may carry one: skips it, and takes the addresses its extension
// gives. A first byte with any of bits 2-7 set is an LLC header instead.
//
// Inlined, as write_msdu is: a frame passed around on the stack cost a
// tenth of the run on small frames.
[[gnu::always_inline]] inline record_fate decode_msdu(decode_context& context, msdu& unit, bool mesh)
{
    const byte_span body = unit.captured;
    if (mesh && !body.empty() && (body[0] & 0xFC) == 0) {
        static constexpr std::size_t extension_size[4] = {0, 6, 12, 0};
        const unsigned mode = body[0] & 0x03u;
        const std::size_t size = 6 + extension_size[mode];
        if (mode == 3 || unit.wire_length < size)
            return record_fate::malformed;
        if (body.size() < size)
            return record_fate::too_short;
        if (mode == 1) {
            unit.source = body.subspan(6, 6);
        } else if (mode == 2) {
            unit.destination = body.subspan(6, 6);
            unit.source = body.subspan(12, 6);
        }
        unit.captured = body.subspan(size);
        unit.wire_length -= size;
    }
    return write_msdu(context, unit);
}

// A Mesh Control field known by its shape alone, in a frame that does not
// announce one (802.11s drafts, and mesh stations that leave the QoS bit
// clear or send plain Data): valid flags (bits 2-7 clear, address
// extension mode 0-2), then the LLC header's DSAP and SSAP of SNAP (AA AA)
// right behind the field's 6, 12 or 18 bytes. Every SNAP body begins with
// AA, which these flags never are, so frames with a plain LLC/SNAP body
// keep their reading.
bool has_mesh_control_shape(byte_span body)
{
    if (body.empty() || (body[0] & 0xFC) != 0 || (body[0] & 0x03) == 3)
        return false;
    const std::size_t size = 6 + 6 * std::size_t{body[0]};
    const byte_span llc = record_bytes(body, size, 2);
    return !llc.empty() && llc[0] == 0xAA && llc[1] == 0xAA;
}

// The FCS (CRC-32, little-endian, behind the frame) against the frame's
// bytes, the data pad left out: the pad is the capture driver's, not the
// transmitter's. `frame` holds the whole frame, pad included, FCS excluded.
// The check covers nearly every byte read, so the CRC's speed is the
// check's (crc32_of).
bool fcs_matches(byte_span frame, std::size_t header_length, std::size_t body_start, std::int64_t fcs)
{
    const bool padded = body_start != header_length;
    const byte_span first = record_bytes(frame, 0, padded ? header_length : frame.size());
    std::uint32_t crc = crc32_of(first);
    if (padded) {
        const byte_span body = record_bytes(frame, body_start, frame.size() - body_start);
        crc = crc32_of(body, crc);
    }
    return static_cast<std::int64_t>(crc) == fcs;
}

// An A-MSDU: subframes of destination, source, big-endian length and MSDU,
// each padded to four bytes except the last.
record_fate decode_amsdu(decode_context& context, byte_span body, std::size_t wire_length, bool mesh)
{
    record_fate fate = record_fate::no_payload;
    std::size_t at = 0;
    for (bool first = true; at < wire_length && !context.write_failed; first = false) {
        if (wire_length - at < 14)
            return record_fate::malformed;
        const byte_span subframe_header = record_bytes(body, at, 14);
        if (subframe_header.empty())
            break; // captured short
        const byte_span destination = subframe_header.first(6);
        if (first && std::equal(destination.begin(), destination.end(), rfc1042_header.begin()))
            return record_fate::malformed;
        const std::size_t length = static_cast<std::size_t>(subframe_header[12]) << 8 | subframe_header[13];
        const std::size_t start = at + 14;
        if (wire_length - start < length)
            return record_fate::malformed;
        const std::size_t captured = std::min(length, body.size() > start ? body.size() - start : 0);
        if (length != 0) {
            msdu unit{destination, subframe_header.subspan(6, 6), body.subspan(start, captured), length};
            const record_fate written = decode_msdu(context, unit, mesh);
            // A reserved Mesh Control: nothing behind it can be trusted.
            if (written == record_fate::malformed || written == record_fate::no_memory)
                return written;
            if (written == record_fate::converted) {
                ++context.counts.subframes_written;
                fate = written;
            } else if (fate != record_fate::converted) {
                fate = written;
            }
            if (captured < length)
                break;
        }
        at = start + length;
        if (at < wire_length)
            at = round_up_4(at);
    }
    return fate;
}

} // namespace

// libdeflate's CRC-32 (carry-less multiplication where the processor has
// it) runs 2-4 times as fast as zlib's on frames of 60-1500 bytes.
std::uint32_t crc32_of(std::span<const std::uint8_t> bytes, std::uint32_t before)
{
    return libdeflate_crc32(before, bytes.data(), bytes.size());
}

int full_decode_header_offset(int link_type, std::span<const std::uint8_t> record, capture_flags& flags)
{
    const int offset = capture_header_offset(link_type, record);
    read_capture_flags(link_type, record, offset, flags);
    return offset >= 0 && flags.malformed ? -1 : offset;
}

record_fate locate_data_frame(std::span<const std::uint8_t> record, std::size_t offset, std::size_t record_length,
                              const capture_flags& flags, data_frame_view& view)
{
    if (offset > record.size() || record.size() - offset < 2 || record_length < offset + 2)
        return record_fate::too_short;
    // No frame is 4 GiB long; the Ethernet length must stay in 32 bits.
    if (record_length > 0xFFFFFFFFu - 14)
        return record_fate::malformed;
    std::size_t wire = record_length - offset;
    if (flags.fcs_at_end) {
        if (wire < 4)
            return record_fate::too_short;
        wire -= 4;
    }
    const byte_span frame = record.subspan(offset, std::min(record.size() - offset, wire));
    const int fc = record_le16(frame, 0);
    if (fc < 0)
        return record_fate::too_short;
    if (!is_data_type(fc))
        return record_fate::not_data;
    if (!carries_data(fc))
        return record_fate::no_payload;
    const std::size_t header_length = data_header_length(fc);
    const std::size_t body_start = flags.data_pad ? round_up_4(header_length) : header_length;
    if (frame.size() < header_length || wire < body_start)
        return record_fate::too_short;
    // The FCS can be checked only when the frame and the FCS were captured. A
    // frame the radio marked bad is the caller's to drop.
    if (flags.fcs_at_end && !flags.bad_fcs && frame.size() == wire) {
        const std::int64_t fcs = record_le32(record, offset + wire);
        if (fcs >= 0 && !fcs_matches(frame, header_length, body_start, fcs))
            return record_fate::fcs_wrong;
    }
    view.frame = frame;
    view.wire_length = wire;
    view.header_length = header_length;
    view.body_start = body_start;
    view.fc = fc;
    return record_fate::converted;
}

record_fate decode_data_frame(const data_frame_view& view, const timeval& ts, frame_buffer& frame,
                              const frame_sink& sink, decode_counts& counts)
{
    decode_context context{ts, frame, sink, counts};
    const int fc = view.fc;
    const byte_span& bytes = view.frame;
    // Destination and source by the DS bits: Address 1/2 within a BSS or
    // IBSS, 3/2 towards the DS, 1/3 from it, 3/4 between two bridges.
    static constexpr std::size_t destination_at[4] = {4, 16, 4, 16};
    static constexpr std::size_t source_at[4] = {10, 10, 16, 24};
    const unsigned ds = (is_to_ds(fc) ? 1u : 0u) | (is_from_ds(fc) ? 2u : 0u);
    const byte_span destination = record_bytes(bytes, destination_at[ds], 6);
    const byte_span source = record_bytes(bytes, source_at[ds], 6);
    if (destination.empty() || source.empty())
        return record_fate::too_short;

    bool amsdu = false;
    bool mesh = false;
    if (is_qos(fc)) {
        const int qos_control = record_le16(bytes, ds == 3 ? 30 : 24);
        if (qos_control < 0)
            return record_fate::too_short;
        amsdu = (qos_control & 0x0080) != 0;
        // Mesh Control Present: only mesh data, individually addressed
        // between mesh stations or group addressed from one, can carry it.
        const bool group_from_mesh = ds == 2 && (destination[0] & 0x01) != 0;
        mesh = (qos_control & 0x0100) != 0 && (ds == 3 || group_from_mesh);
    }
    const std::size_t body_wire = view.wire_length - view.body_start;
    const byte_span body = bytes.size() > view.body_start ? bytes.subspan(view.body_start) : byte_span{};
    // Frames from the DS or between mesh stations may carry a Mesh Control
    // the QoS bit does not announce; A-MSDU subframes are read by the bit.
    if (!mesh && !amsdu && ds >= 2)
        mesh = has_mesh_control_shape(body);
    if (amsdu)
        return decode_amsdu(context, body, body_wire, mesh);
    msdu unit{destination, source, body, body_wire};
    return decode_msdu(context, unit, mesh);
}
