// Frame conversion: where a record's 802.11 header begins, and how an
// 802.11 Data or QoS Data frame becomes an Ethernet II frame.
//
// Record bytes are untrusted. They are read only through record_le16 and
// record_copy below, which check every offset and length against the
// captured length (the span's size) before touching a byte.
#pragma once

#include <pcap/pcap.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

// The little-endian 16-bit value at `at`, or -1 when the two bytes are not
// both captured. The size test is written so that it cannot wrap.
inline int record_le16(std::span<const std::uint8_t> record, std::size_t at)
{
    if (at > record.size() || record.size() - at < 2)
        return -1;
    return record[at] | (record[at + 1] << 8);
}

// Copies `count` bytes starting at `at` into `to`. Returns false, copying
// nothing, when they are not all captured.
inline bool record_copy(std::uint8_t* to, std::span<const std::uint8_t> record, std::size_t at,
                        std::size_t count)
{
    if (at > record.size() || record.size() - at < count)
        return false;
    if (count != 0)
        std::memcpy(to, record.data() + at, count);
    return true;
}

// The Header offset of one record: the position of its 802.11 header in the
// record bytes, chosen by the capture's link type. Returns 0..65535, or -1
// after writing "Error calculating header offset for packet.  Skipping this
// packet." to standard output when the radiotap or PPI length field does not
// fit the captured bytes.
int capture_header_offset(int link_type, std::span<const std::uint8_t> record);

// Radiotap (link type 127): the header's length field, valid only when at
// least 10 captured bytes follow the header. Returns -1 otherwise. Silent.
int radiotap_header_offset(std::span<const std::uint8_t> record);

// PPI (link type 192): the header's length field, valid when it does not
// pass the end of the captured bytes (it may end exactly there). Returns -1
// otherwise. Silent.
int ppi_header_offset(std::span<const std::uint8_t> record);

struct free_deleter {
    void operator()(void* block) const { std::free(block); }
};

// The one frame of a run: grown when a larger frame arrives, reused for
// every record, released when it goes out of scope.
struct frame_buffer {
    std::unique_ptr<std::uint8_t[], free_deleter> bytes;
    std::size_t capacity = 0;
};

// Translates the 802.11 frame at `offset` of `record` into an Ethernet II
// frame (destination, source, EtherType, payload) in `frame`, and fills
// `out` with the input timestamp, the frame's captured length (`caplen`, the
// bytes now in `frame`) and its length on the wire (`len`).
//
// Returns 0 when the record converted, -1 when it is skipped: not a Data or
// QoS Data frame, protected, four-address, a payload of fewer than 21 bytes
// behind the LLC/SNAP header, or captured bytes that stop before the
// EtherType. A record captured short beyond that converts from the bytes
// that were captured, with `len` still telling the length on the wire.
//
// When the frame cannot be allocated, prints "malloc" in the perror form and
// ends the process with status 255.
int translate_data_frame(const pcap_pkthdr& in, std::span<const std::uint8_t> record, int offset,
                         pcap_pkthdr& out, frame_buffer& frame);
