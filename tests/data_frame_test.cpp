// Translation of one 802.11 record into an Ethernet II frame: every
// ToDS/FromDS case, Data and QoS Data, every reason to skip, records
// captured short. Expected frames are put together here from the known
// addresses and payload, not from the record. Records lie against
// inaccessible memory, so a read past the captured bytes crashes the test.
#include "convert/convert.h"
#include "guarded_memory.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {

using test::address;
using test::ethernet_frame;

// `header_size` filler bytes standing for a capture header, then `frame`.
test::bytes behind_header(std::size_t header_size, const test::bytes& frame)
{
    test::bytes record(header_size, 0x77);
    record.insert(record.end(), frame.begin(), frame.end());
    return record;
}

const timeval input_time{1234567890, 654321};

struct translation {
    int status = 0;
    pcap_pkthdr out{};
    test::bytes frame;
};

translation translate(std::span<const std::uint8_t> record, std::uint32_t len, int offset, frame_buffer& buffer)
{
    pcap_pkthdr in{};
    in.ts = input_time;
    in.caplen = static_cast<bpf_u_int32>(record.size());
    in.len = len;
    translation result;
    result.status = translate_data_frame(in, record, offset, result.out, buffer);
    if (result.status == 0)
        result.frame.assign(buffer.bytes.get(), buffer.bytes.get() + result.out.caplen);
    return result;
}

// The record laid against the guard, captured whole unless `len` says more.
translation translate(const test::bytes& record, int offset = 0, std::uint32_t len = 0)
{
    frame_buffer buffer;
    const auto bytes = test::guarded_memory::instance().at_edge(record);
    return translate(bytes, len != 0 ? len : static_cast<std::uint32_t>(record.size()), offset, buffer);
}

void expect_frame(const translation& t, const test::bytes& expected, std::uint32_t expected_len)
{
    ASSERT_EQ(t.status, 0);
    EXPECT_EQ(t.frame, expected);
    EXPECT_EQ(t.out.caplen, expected.size());
    EXPECT_EQ(t.out.len, expected_len);
    EXPECT_EQ(t.out.ts.tv_sec, input_time.tv_sec);
    EXPECT_EQ(t.out.ts.tv_usec, input_time.tv_usec);
}

struct address_case {
    const char* name;
    std::uint8_t fc0;
    std::uint8_t fc1;
    int destination; // address number
    int source;
};

const address_case address_cases[] = {
    {"data_no_ds", 0x08, 0x00, 1, 2},
    {"data_to_ds", 0x08, 0x01, 3, 2},
    {"data_from_ds", 0x08, 0x02, 1, 3},
    {"qos_no_ds", 0x88, 0x00, 1, 2},
    {"qos_to_ds", 0x88, 0x01, 3, 2},
    {"qos_from_ds", 0x88, 0x02, 1, 3},
    // Bits that are not examined change nothing.
    {"protocol_version_1", 0x09, 0x00, 1, 2},
    {"qos_protocol_version_3_from_ds", 0x8B, 0x02, 1, 3},
    {"more_fragments", 0x08, 0x04, 1, 2},
    {"retry", 0x08, 0x08, 1, 2},
    {"power_management", 0x08, 0x10, 1, 2},
    {"more_data", 0x08, 0x20, 1, 2},
    {"order", 0x08, 0x80, 1, 2},
    {"all_unexamined_flags_to_ds", 0x08, 0xBD, 3, 2},
    {"qos_all_unexamined_flags_from_ds", 0x88, 0xBE, 1, 3},
};

class addresses : public testing::TestWithParam<address_case> {};

TEST_P(addresses, frame_is_built_byte_for_byte)
{
    const address_case& c = GetParam();
    const test::bytes record = test::data_frame(c.fc0, c.fc1, 40, 0x86DD, 0x50);
    expect_frame(translate(record), ethernet_frame(c.destination, c.source, 0x86DD, 40, 0x50), 54);
}

INSTANTIATE_TEST_SUITE_P(data_frame, addresses, testing::ValuesIn(address_cases),
                         [](const testing::TestParamInfo<address_case>& param) { return param.param.name; });

struct skip_case {
    const char* name;
    std::uint8_t fc0;
    std::uint8_t fc1;
};

const skip_case skip_cases[] = {
    {"data_four_address", 0x08, 0x03},
    {"qos_four_address", 0x88, 0x03},
    {"four_address_with_flags", 0x08, 0xBF},
    {"protected", 0x08, 0x40},
    {"protected_to_ds", 0x08, 0x41},
    {"protected_from_ds", 0x08, 0x42},
    {"protected_four_address", 0x08, 0x43},
    {"qos_protected_to_ds", 0x88, 0x41},
    {"beacon", 0x80, 0x00},
    {"probe_response", 0x50, 0x00},
    {"acknowledgement", 0xD4, 0x00},
    {"block_ack_request", 0x84, 0x00},
    {"type_3", 0x0C, 0x00},
    {"type_3_subtype_8", 0x8C, 0x00},
    {"data_cf_ack", 0x18, 0x00},
    {"data_cf_poll", 0x28, 0x01},
    {"null", 0x48, 0x01},
    {"qos_cf_ack", 0x98, 0x01},
    {"qos_null", 0xC8, 0x01},
    {"subtype_15", 0xF8, 0x00},
};

class skipped : public testing::TestWithParam<skip_case> {};

TEST_P(skipped, silently_whatever_the_length)
{
    const skip_case& c = GetParam();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    for (const std::size_t payload : {21u, 23u, 200u, 1500u}) {
        SCOPED_TRACE("payload " + std::to_string(payload));
        EXPECT_EQ(translate(test::data_frame(c.fc0, c.fc1, payload)).status, -1);
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

INSTANTIATE_TEST_SUITE_P(data_frame, skipped, testing::ValuesIn(skip_cases),
                         [](const testing::TestParamInfo<skip_case>& param) { return param.param.name; });

// Every value of the first Frame Control byte: only type 2 with subtype 0
// or 8 converts, whatever the protocol version.
TEST(data_frame, every_first_frame_control_byte)
{
    for (int fc0 = 0; fc0 < 256; ++fc0) {
        SCOPED_TRACE("first FC byte " + std::to_string(fc0));
        const int type = (fc0 >> 2) & 3;
        const int subtype = fc0 >> 4;
        const bool converts = type == 2 && (subtype == 0 || subtype == 8);
        const translation t = translate(test::data_frame(static_cast<std::uint8_t>(fc0), 0x00, 30));
        if (converts)
            expect_frame(t, ethernet_frame(1, 2, 0x0800, 30), 44);
        else
            EXPECT_EQ(t.status, -1);
    }
}

// Every value of the second byte: ToDS and FromDS pick the addresses, both
// together or Protected skip, the other bits are ignored.
TEST(data_frame, every_second_frame_control_byte)
{
    for (int fc1 = 0; fc1 < 256; ++fc1) {
        SCOPED_TRACE("second FC byte " + std::to_string(fc1));
        const translation t = translate(test::data_frame(0x08, static_cast<std::uint8_t>(fc1), 30));
        const int ds = fc1 & 3;
        if (ds == 3 || (fc1 & 0x40) != 0)
            EXPECT_EQ(t.status, -1);
        else
            expect_frame(t, ethernet_frame(ds == 1 ? 3 : 1, ds == 2 ? 3 : 2, 0x0800, 30), 44);
    }
}

struct length_case {
    const char* name;
    std::uint8_t fc0;
    int offset;
    std::size_t payload; // bytes behind the LLC/SNAP header
    bool converts;
};

const length_case length_cases[] = {
    {"data_payload_21", 0x08, 0, 21, true},
    {"data_payload_20", 0x08, 0, 20, false},
    {"data_payload_0", 0x08, 0, 0, false},
    {"qos_payload_21", 0x88, 0, 21, true},
    {"qos_payload_20", 0x88, 0, 20, false},
    {"qos_payload_19", 0x88, 0, 19, false},
    {"prism_data_payload_21", 0x08, 144, 21, true},
    {"prism_data_payload_20", 0x08, 144, 20, false},
    {"prism_qos_payload_21", 0x88, 144, 21, true},
    {"radiotap_data_payload_21", 0x08, 18, 21, true},
    {"radiotap_qos_payload_20", 0x88, 26, 20, false},
    {"data_full_size", 0x08, 0, 1500, true},
    {"qos_full_size_behind_ppi", 0x88, 32, 1500, true},
};

class lengths : public testing::TestWithParam<length_case> {};

TEST_P(lengths, payload_of_21_bytes_is_the_least)
{
    const length_case& c = GetParam();
    const test::bytes record = behind_header(static_cast<std::size_t>(c.offset), test::data_frame(c.fc0, 0x01, c.payload));
    const translation t = translate(record, c.offset);
    if (c.converts)
        expect_frame(t, ethernet_frame(3, 2, 0x0800, c.payload), static_cast<std::uint32_t>(c.payload + 14));
    else
        EXPECT_EQ(t.status, -1);
}

INSTANTIATE_TEST_SUITE_P(data_frame, lengths, testing::ValuesIn(length_cases),
                         [](const testing::TestParamInfo<length_case>& param) { return param.param.name; });

// The length test comes first: a record whose len leaves no room for the
// payload is refused before any of its bytes is read, whatever caplen says.
TEST(data_frame, short_len_is_refused_without_reading)
{
    auto& memory = test::guarded_memory::instance();
    frame_buffer buffer;
    struct unread_case {
        std::uint32_t len;
        int offset;
    };
    const unread_case cases[] = {
        {0, 0}, {10, 0}, {31, 0}, {52, 0}, {196, 144}, {100, 65535},
        // 32-bit wrap: len - (offset + 32) is negative as a signed value.
        {0x80000020u, 0}, {0xFFFFFFFFu, 0}, {0xFFFFFFFFu, 65535},
    };
    for (const unread_case& c : cases) {
        SCOPED_TRACE("len " + std::to_string(c.len) + ", offset " + std::to_string(c.offset));
        EXPECT_EQ(translate(memory.unreadable(std::min<std::uint32_t>(c.len, 4096)), c.len, c.offset, buffer).status,
                  -1);
    }
}

// Records captured short: at every caplen from nothing to the whole record,
// the record is skipped until the EtherType is captured, then converted
// with the payload cut to what was captured, len still the frame's length
// on the wire.
TEST(data_frame, every_caplen_of_a_short_capture)
{
    struct short_case {
        std::uint8_t fc0;
        std::size_t offset;
        std::size_t header; // 802.11 header and LLC/SNAP up to the payload
    };
    for (const short_case c : {short_case{0x08, 0, 32}, short_case{0x88, 0, 34}, short_case{0x08, 144, 32},
                               short_case{0x88, 18, 34}}) {
        const test::bytes whole = behind_header(c.offset, test::data_frame(c.fc0, 0x02, 30, 0x0806, 0x40));
        const test::bytes expected = ethernet_frame(1, 3, 0x0806, 30, 0x40);
        frame_buffer buffer;
        for (std::size_t caplen = 0; caplen <= whole.size(); ++caplen) {
            SCOPED_TRACE("FC " + std::to_string(c.fc0) + ", offset " + std::to_string(c.offset) + ", caplen " +
                         std::to_string(caplen));
            const auto record = test::guarded_memory::instance().at_edge(
                test::bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(caplen)));
            const translation t =
                translate(record, static_cast<std::uint32_t>(whole.size()), static_cast<int>(c.offset), buffer);
            if (caplen < c.offset + c.header) {
                EXPECT_EQ(t.status, -1);
                continue;
            }
            const std::size_t copied = caplen - c.offset - c.header;
            expect_frame(t, test::bytes(expected.begin(), expected.begin() + static_cast<std::ptrdiff_t>(14 + copied)),
                         44);
        }
    }
}

TEST(data_frame, short_captures_named)
{
    const test::bytes frame = test::data_frame(0x08, 0x01, 100);
    // A Prism record shorter than its own 144-byte header.
    EXPECT_EQ(translate(test::bytes(100, 0x08), 144, 300).status, -1);
    // A PPI header that ends exactly at the end of the captured bytes.
    EXPECT_EQ(translate(test::bytes(40, 0x08), 40, 200).status, -1);
    // Captured up to and including the EtherType: Ethernet header only.
    expect_frame(translate(test::bytes(frame.begin(), frame.begin() + 32), 0, 132),
                 ethernet_frame(3, 2, 0x0800, 0), 114);
    // One byte short of the EtherType.
    EXPECT_EQ(translate(test::bytes(frame.begin(), frame.begin() + 31), 0, 132).status, -1);
    // A len of 2^31 + 31: P is the largest positive 32-bit value; the frame
    // holds the 68 captured payload bytes and len tells the rest.
    expect_frame(translate(frame, 0, 0x8000001Fu), ethernet_frame(3, 2, 0x0800, 100), 0x8000000Du);
}

// Bytes captured beyond len are not part of the frame.
TEST(data_frame, caplen_beyond_len_copies_only_len)
{
    expect_frame(translate(test::data_frame(0x08, 0x00, 40), 0, 53), ethernet_frame(1, 2, 0x0800, 21), 35);
}

// The translation has no upper bound of its own: a frame longer than the
// output's snapshot length comes back whole.
TEST(data_frame, frame_beyond_65535_bytes_is_built_whole)
{
    const std::size_t payload = 70000;
    expect_frame(translate(test::data_frame(0x88, 0x02, payload, 0x88B5, 7)), ethernet_frame(1, 3, 0x88B5, payload, 7),
                 static_cast<std::uint32_t>(payload + 14));
}

// The body need not begin with an LLC/SNAP header: its bytes 6-7 become the
// EtherType as they stand, in network byte order.
TEST(data_frame, body_is_not_checked_for_llc_snap)
{
    test::bytes record = test::data_frame(0x08, 0x00, 30, 0x0800);
    for (std::size_t i = 24; i < 30; ++i)
        record[i] = static_cast<std::uint8_t>(i);
    const translation t = translate(record);
    expect_frame(t, ethernet_frame(1, 2, 0x0800, 30), 44);
    ASSERT_GE(t.frame.size(), 14u);
    EXPECT_EQ(t.frame[12], 0x08);
    EXPECT_EQ(t.frame[13], 0x00);
}

// One buffer serves a whole run: a small frame after a large one, and a
// frame after a skipped record, come out exactly as they would alone.
TEST(data_frame, buffer_reused_across_records)
{
    auto& memory = test::guarded_memory::instance();
    frame_buffer buffer;
    const test::bytes large = test::data_frame(0x08, 0x00, 5000, 0x0800, 0x10);
    const test::bytes small = test::data_frame(0x88, 0x01, 21, 0x86DD, 0x90);
    const test::bytes beacon = test::data_frame(0x80, 0x00, 300);
    expect_frame(translate(memory.at_edge(large), static_cast<std::uint32_t>(large.size()), 0, buffer),
                 ethernet_frame(1, 2, 0x0800, 5000, 0x10), 5014);
    expect_frame(translate(memory.at_edge(small), static_cast<std::uint32_t>(small.size()), 0, buffer),
                 ethernet_frame(3, 2, 0x86DD, 21, 0x90), 35);
    EXPECT_EQ(translate(memory.at_edge(beacon), static_cast<std::uint32_t>(beacon.size()), 0, buffer).status, -1);
    expect_frame(translate(memory.at_edge(small), static_cast<std::uint32_t>(small.size()), 0, buffer),
                 ethernet_frame(3, 2, 0x86DD, 21, 0x90), 35);
}

} // namespace
