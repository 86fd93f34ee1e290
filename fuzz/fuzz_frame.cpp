// fuzz_frame: one record through capture_header_offset and
// translate_data_frame, checked against the reference decoder; or, in full
// decoding, through locate_data_frame, fragment reassembly (whose state
// lives across inputs, as across the records of a run) and
// decode_data_frame.
//
// Input layout:
//   byte 0      link type: 0 bare 802.11 (105), 1 Prism (119),
//               2 radiotap (127), 3 PPI (192), anything else Ethernet (1),
//               which is read as bare 802.11
//   byte 1      how `len` is made (low two bits): 0 len = caplen;
//               1 len = caplen + value16 (captured short);
//               2 len = caplen - value16, wrapping; 3 len = value32;
//               bit 2 set: full decoding instead of the fixed offsets
//   bytes 2-5   value32, little-endian; value16 is its low half
//   bytes 6-    the record bytes; caplen is their count
//
// The record is copied into a heap block of exactly caplen bytes, so
// AddressSanitizer stops any read at or past caplen.
#include "convert/convert.h"
#include "fuzz_check.h"
#include "reassemble/reassemble.h"
#include "reference_decoder.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

namespace {

constexpr std::size_t prefix_size = 6;

int link_type_of(std::uint8_t selector)
{
    switch (selector) {
    case 0: return 105;
    case 1: return 119;
    case 2: return 127;
    case 3: return 192;
    default: return 1;
    }
}

std::uint32_t len_of(std::uint8_t mode, std::uint32_t value, std::uint32_t caplen)
{
    switch (mode & 3u) {
    case 0: return caplen;
    case 1: return caplen + (value & 0xFFFFu);
    case 2: return caplen - (value & 0xFFFFu);
    default: return value;
    }
}

// Bytes written to standard output so far; standard output is a scratch
// file (see LLVMFuzzerInitialize), so that a line the library should not
// print is seen.
long stdout_position()
{
    std::fflush(stdout);
    return lseek(STDOUT_FILENO, 0, SEEK_CUR);
}

struct written_frames {
    const pcap_pkthdr* in = nullptr;
    const frame_buffer* frame = nullptr;
    std::vector<reference::capture_record> frames;
};

bool check_written_frame(void* context, const pcap_pkthdr& header, const std::uint8_t* bytes)
{
    auto& written = *static_cast<written_frames*>(context);
    FUZZ_CHECK(bytes == written.frame->bytes.get());
    FUZZ_CHECK(header.caplen >= 14);
    FUZZ_CHECK(header.caplen <= header.len);
    FUZZ_CHECK(header.caplen <= written.frame->capacity);
    FUZZ_CHECK(header.ts.tv_sec == written.in->ts.tv_sec && header.ts.tv_usec == written.in->ts.tv_usec);
    written.frames.push_back({0, 0, header.caplen, header.len, {bytes, bytes + header.caplen}});
    return true;
}

// One record decoded in full: every frame written is a sound Ethernet
// record built inside the frame buffer, and, unless the record is a
// fragment (whose fate hangs on the inputs before it), the frames the
// reference decoder makes of it.
void full_decode(int link_type, const pcap_pkthdr& in, std::span<const std::uint8_t> record, frame_buffer& frame)
{
    static reassembly fragments;
    written_frames written{&in, &frame, {}};
    const frame_sink sink{&written, check_written_frame};
    decode_counts counts;
    capture_flags flags;
    const long before = stdout_position();
    const int offset = full_decode_header_offset(link_type, record, flags);
    FUZZ_CHECK(stdout_position() == before);
    data_frame_view view;
    if (offset >= 0 && !flags.bad_fcs &&
        locate_data_frame(record, static_cast<std::size_t>(offset), in.len, flags, view) == record_fate::converted &&
        (view.fc & 0x4000) == 0) {
        FUZZ_CHECK(view.frame.size() <= view.wire_length && view.body_start <= view.wire_length);
        FUZZ_CHECK(view.header_length <= view.frame.size());
        if (is_fragment(view)) {
            data_frame_view whole;
            if (add_fragment(fragments, view, whole).completed)
                decode_data_frame(whole, in.ts, frame, sink, counts);
            return;
        }
        const record_fate fate = decode_data_frame(view, in.ts, frame, sink, counts);
        FUZZ_CHECK((fate == record_fate::converted) == !written.frames.empty() || fate == record_fate::malformed);
        FUZZ_CHECK(counts.subframes_written <= static_cast<std::int64_t>(written.frames.size()));
    }
    if (in.len > 0xFFFFFFFFu - 14) // lengths the reference does not model
        return;
    const auto expected =
        reference::full_decode(link_type, {{0, 0, in.caplen, in.len, {record.begin(), record.end()}}});
    FUZZ_CHECK(written.frames == expected);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::FILE* scratch = std::tmpfile();
    if (scratch == nullptr || dup2(fileno(scratch), STDOUT_FILENO) < 0) {
        std::perror("fuzz_frame: standard output");
        std::abort();
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < prefix_size || size - prefix_size > 0xFFFFFFFFu)
        return 0;
    const int link_type = link_type_of(data[0]);
    const std::uint32_t value = std::uint32_t{data[2]} | (std::uint32_t{data[3]} << 8) |
                               (std::uint32_t{data[4]} << 16) | (std::uint32_t{data[5]} << 24);
    const auto caplen = static_cast<std::uint32_t>(size - prefix_size);
    const std::uint32_t len = len_of(data[1], value, caplen);

    // Exactly caplen bytes on the heap; a zero-length record still gets a
    // block of its own so that any read of it is caught.
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[caplen == 0 ? 1 : caplen]);
    std::memcpy(copy.get(), data + prefix_size, caplen);
    const std::span<const std::uint8_t> record(copy.get(), caplen);

    // The frame lives across inputs, as it lives across the records of a run.
    static frame_buffer frame;

    if (stdout_position() > (1L << 20)) {
        FUZZ_CHECK(ftruncate(STDOUT_FILENO, 0) == 0);
        FUZZ_CHECK(lseek(STDOUT_FILENO, 0, SEEK_SET) == 0);
    }
    if ((data[1] & 0x04) != 0) {
        pcap_pkthdr in{};
        in.ts.tv_sec = static_cast<time_t>(value);
        in.caplen = caplen;
        in.len = len;
        full_decode(link_type, in, record, frame);
        return 0;
    }

    const long before = stdout_position();
    const int offset = capture_header_offset(link_type, record);
    const long printed = stdout_position() - before;

    const std::optional<std::uint32_t> expected_offset = reference::header_offset(link_type, copy.get(), caplen);
    if (!expected_offset) {
        FUZZ_CHECK(offset == -1);
        FUZZ_CHECK(printed == 0);
        return 0;
    }
    FUZZ_CHECK(offset >= 0 && static_cast<std::uint32_t>(offset) == *expected_offset);
    FUZZ_CHECK(printed == 0);

    pcap_pkthdr in{};
    in.ts.tv_sec = static_cast<time_t>(value);
    in.ts.tv_usec = static_cast<suseconds_t>(value % 1000000u);
    in.caplen = caplen;
    in.len = len;
    pcap_pkthdr out{};
    const int result = translate_data_frame(in, record, offset, out, frame);

    const std::optional<reference::ethernet_record> expected =
        reference::convert(copy.get(), caplen, len, *expected_offset);
    if (!expected) {
        FUZZ_CHECK(result == -1);
        return 0;
    }
    FUZZ_CHECK(result == 0);

    // What holds for every converted frame, whatever the rules.
    FUZZ_CHECK(out.len >= 35);
    FUZZ_CHECK(out.caplen >= 14);
    FUZZ_CHECK(out.caplen <= out.len);
    FUZZ_CHECK(out.caplen <= frame.capacity);
    if (caplen >= len) // captured whole: the frame is whole too
        FUZZ_CHECK(out.caplen == out.len && out.caplen >= 35);
    FUZZ_CHECK(out.ts.tv_sec == in.ts.tv_sec && out.ts.tv_usec == in.ts.tv_usec);

    // And the frame the rules name, byte for byte: addresses, EtherType and
    // payload are the record bytes they were copied from.
    FUZZ_CHECK(out.caplen == expected->caplen);
    FUZZ_CHECK(out.len == expected->len);
    FUZZ_CHECK(std::memcmp(frame.bytes.get(), expected->frame.data(), expected->frame.size()) == 0);
    return 0;
}
