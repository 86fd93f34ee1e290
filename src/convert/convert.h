// Frame conversion: where a record's 802.11 header begins, and how an
// 802.11 Data or QoS Data frame becomes an Ethernet II frame.
//
// Record bytes are untrusted. They are read only through record_le16 and
// record_copy below, which check every offset and length against the
// captured length (the span's size) before touching a byte.
#pragma once

#include "convert/frame_control.h"

#include <pcap/pcap.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

// The little-endian 16-bit value at `at`, or -1 when the two bytes are not
// both captured. The size test is written so that it cannot wrap.
inline int record_le16(std::span<const std::uint8_t> record, std::size_t at)
{
    if (at > record.size() || record.size() - at < 2)
        return -1;
    return record[at] | (record[at + 1] << 8);
}

// The little-endian 32-bit value at `at`, or -1 when the four bytes are not
// all captured.
inline std::int64_t record_le32(std::span<const std::uint8_t> record, std::size_t at)
{
    if (at > record.size() || record.size() - at < 4)
        return -1;
    return static_cast<std::int64_t>(record[at] | record[at + 1] << 8 | record[at + 2] << 16) |
           static_cast<std::int64_t>(record[at + 3]) << 24;
}

// The big-endian 16-bit value at `at` (EAPOL and its key frames), or -1
// when the two bytes are not both captured.
inline int record_be16(std::span<const std::uint8_t> record, std::size_t at)
{
    if (at > record.size() || record.size() - at < 2)
        return -1;
    return record[at] << 8 | record[at + 1];
}

// The byte at `at`, or -1 when it is not captured.
inline int record_u8(std::span<const std::uint8_t> record, std::size_t at)
{
    return at < record.size() ? record[at] : -1;
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
// when the radiotap or PPI length field does not fit the captured bytes;
// the run then writes its offset-error line (offset_error_line).
int capture_header_offset(int link_type, std::span<const std::uint8_t> record);


// Radiotap (link type 127): the header's length field, valid only when at
// least 10 captured bytes follow the header. Returns -1 otherwise. Silent.
int radiotap_header_offset(std::span<const std::uint8_t> record);

// PPI (link type 192): the header's length field, valid when it does not
// pass the end of the captured bytes (it may end exactly there). Returns -1
// otherwise. Silent.
int ppi_header_offset(std::span<const std::uint8_t> record);

// What the capture header says of the frame behind it. Radiotap carries it
// in its Flags field, PPI in its 802.11-Common field; bare 802.11 and Prism
// records say nothing (`known` stays false).
struct capture_flags {
    bool known = false;      // the header has the field
    bool fcs_at_end = false; // the frame ends in its 4-byte FCS
    bool bad_fcs = false;    // the radio found the FCS wrong
    bool data_pad = false;   // padding to a 4-byte boundary follows the MAC header
    bool malformed = false;  // the header's fields run past its own length
};

// Reads the flags of the capture header that ends at `offset` (a valid
// Header offset of the same record). Walks the radiotap present bitmaps,
// extended ones included, with each field's alignment, as far as the Flags
// field; reads PPI's 802.11-Common field wherever it stands in the header.
void read_capture_flags(int link_type, std::span<const std::uint8_t> record, int offset, capture_flags& flags);

// Makes a capture header (a record's bytes before its 802.11 header, in
// place) describe the frame behind it once decryption has made it
// `removed` bytes shorter: radiotap's Flags bit 0x04 ("sent or received
// with WEP encryption") cleared, a Prism header's supplied frame length
// item lowered. Other headers, and fields a header does not have, stay.
void describe_decrypted_frame(int link_type, std::span<std::uint8_t> capture_header, std::size_t removed);

// The record a frame decrypted for --decrypt-only makes, in `out`: the
// capture header (the record's first `offset` bytes) as
// describe_decrypted_frame leaves it, the decrypted frame's MAC header
// (the first `header_length` bytes of `plain`), the `pad` bytes of data
// pad that stood behind it in the record, the plaintext body, and with
// `fcs` the FCS computed anew over header and body. False, `out` empty,
// when the record does not hold what the arguments say.
bool build_decrypted_record(int link_type, std::span<const std::uint8_t> record, std::size_t offset,
                            std::span<const std::uint8_t> plain, std::size_t header_length, std::size_t pad, bool fcs,
                            std::vector<std::uint8_t>& out);
inline capture_flags read_capture_flags(int link_type, std::span<const std::uint8_t> record, int offset)
{
    capture_flags flags;
    read_capture_flags(link_type, record, offset, flags);
    return flags;
}

// The LLC/SNAP header of RFC 1042 as it begins a frame body; its last two
// bytes, behind these six, are the EtherType.
constexpr std::array<std::uint8_t, 6> rfc1042_header = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00};
constexpr std::size_t llc_snap_size = 8;

// Why a record was not converted, for the statistics; each record that is
// read ends in exactly one of these or is written.
enum class record_fate {
    converted,             // written as it stood
    decrypted,             // decrypted, then written
    header_offset_error,   // the capture header gives no valid offset
    not_data,              // management, control or extension frame
    no_payload,            // a Data subtype without a body: Null, QoS Null, CF-Poll...
    four_address,          // WDS or mesh frame
    protected_no_key,      // protected, and no key was given for its cipher
    protected_no_session,  // protected, and no handshake seen yet for its station or group
    protected_unmatched,   // protected, and its handshake matches no key given
    integrity_failed,      // no key given decrypts it with a good MIC or ICV
    protected_unsupported, // protected with a suite (AKM or cipher) kestrine cannot decrypt
    protected_short,       // protected, captured short: its integrity cannot be checked
    too_short,             // the body is shorter than a convertible frame
    // Only under full decoding:
    bad_fcs,               // the radio found its FCS wrong
    fcs_wrong,             // the FCS does not match the frame
    malformed,             // an A-MSDU or Mesh Control that runs past the frame, or is forged
    fragment_reassembled,  // a fragment held, then written as part of its whole frame
    fragment_dropped,      // a fragment whose whole frame was not captured in order
    too_long_for_802_3,    // a body that is not LLC/SNAP and too long for an IEEE 802.3 length
    // Never counted: the frame could not be allocated, and the run stops.
    no_memory,
    count
};

// The fate of a record that translate_data_frame refused, judged from its
// Frame Control first, so that a short beacon counts as not Data rather
// than as too short.
record_fate skipped_frame_fate(std::span<const std::uint8_t> record, int offset);

// Returns the `count` bytes at `at`, or an empty span when they are not all
// captured.
inline std::span<const std::uint8_t> record_bytes(std::span<const std::uint8_t> record, std::size_t at,
                                                  std::size_t count)
{
    if (at > record.size() || record.size() - at < count)
        return {};
    return record.subspan(at, count);
}

// The IEEE 802.3 CRC-32 (the FCS's, and the WEP and TKIP ICV's), as a
// number; given the CRC of the bytes before, that of them all.
std::uint32_t crc32_of(std::span<const std::uint8_t> bytes, std::uint32_t before = 0);

struct free_deleter {
    void operator()(void* block) const { std::free(block); }
};

// The one frame of a run: grown when a larger frame arrives, reused for
// every record, released when it goes out of scope.
struct frame_buffer {
    std::unique_ptr<std::uint8_t[], free_deleter> bytes;
    std::size_t capacity = 0;
};

// Makes room for `size` bytes, keeping nothing of the previous frame.
// Growth doubles, so a run of ever larger frames costs few allocations.
// False, the frame left empty, when it cannot be allocated.
bool grow_frame(frame_buffer& frame, std::size_t size);
inline bool reserve_frame(frame_buffer& frame, std::size_t size)
{
    return size <= frame.capacity || grow_frame(frame, size);
}

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
// Returns frame_not_allocated when the frame cannot be allocated.
constexpr int frame_not_allocated = -2;
int translate_data_frame(const pcap_pkthdr& in, std::span<const std::uint8_t> record, int offset,
                         pcap_pkthdr& out, frame_buffer& frame);

// ---- Full decoding: each frame read by its own fields ----

// The Header offset of a record under full decoding, with the capture
// header's flags in `flags`. A radiotap or PPI header whose fields run past
// its own length is an offset error like a length field that does not fit:
// -1, and the run writes the same line.
int full_decode_header_offset(int link_type, std::span<const std::uint8_t> record, capture_flags& flags);

// A Data frame with a body, located in a record.
struct data_frame_view {
    std::span<const std::uint8_t> frame; // the captured bytes of the MAC frame, FCS excluded
    std::size_t wire_length = 0;         // the frame's length on the wire, FCS excluded
    std::size_t header_length = 0;       // the MAC header, from the Frame Control
    std::size_t body_start = 0;          // the header and any padding behind it
    int fc = 0;
};

// Locates the Data frame at `offset` of `record`, whose length on the wire
// is `record_length`. Returns record_fate::converted when `view` holds a
// Data frame with a body; otherwise the reason the record is dropped. When
// `flags` say an FCS ends the frame (and not that it is bad), a Data frame
// captured whole whose FCS does not match is record_fate::fcs_wrong.
record_fate locate_data_frame(std::span<const std::uint8_t> record, std::size_t offset, std::size_t record_length,
                              const capture_flags& flags, data_frame_view& view);

// Where the frames of a record go: `write` returns false after a failed
// write, and decoding stops there.
struct frame_sink {
    void* context = nullptr;
    bool (*write)(void* context, const pcap_pkthdr& header, const std::uint8_t* frame) = nullptr;
};

struct decode_counts {
    std::int64_t subframes_written = 0; // A-MSDU subframes
    std::int64_t ieee_802_3_written = 0;
};

// Decodes the body of a located Data frame into Ethernet II or IEEE 802.3
// frames, one per MSDU (an A-MSDU gives one per subframe), each written to
// `sink` with the timestamp `ts`. Returns record_fate::converted when it
// wrote at least one frame, otherwise the reason it wrote none; an A-MSDU
// cut short by a malformed subframe is counted malformed even when the
// subframes before it were written. record_fate::no_memory when a frame
// could not be allocated: decoding stops there.
record_fate decode_data_frame(const data_frame_view& view, const timeval& ts, frame_buffer& frame,
                              const frame_sink& sink, decode_counts& counts);
