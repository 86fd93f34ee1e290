// Where the 802.11 header of a record begins, for every link type, at and
// around every length boundary. Records lie against inaccessible memory, so
// any read past the captured bytes crashes the test.
#include "convert/convert.h"
#include "guarded_memory.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// A record of `caplen` bytes whose bytes 2 and 3 (when captured) hold the
// little-endian `length`, as radiotap and PPI headers do; the rest is filler.
test::bytes with_length_field(std::uint16_t length, std::size_t caplen)
{
    test::bytes record(caplen, 0xEE);
    if (caplen > 0)
        record[0] = 0;
    if (caplen > 2)
        record[2] = static_cast<std::uint8_t>(length);
    if (caplen > 3)
        record[3] = static_cast<std::uint8_t>(length >> 8);
    return record;
}

struct offset_case {
    const char* name;
    int link_type;
    std::uint16_t length_field;
    std::size_t caplen;
    int expected;
};

// The cases a reader of the capture formats would pick by hand.
const offset_case named_cases[] = {
    {"radiotap_length_leaves_10_bytes", 127, 10, 20, 10},
    {"radiotap_length_leaves_9_bytes", 127, 11, 20, -1},
    {"radiotap_length_0_in_10_bytes", 127, 0, 10, 0},
    {"radiotap_9_bytes", 127, 0, 9, -1},
    {"radiotap_empty", 127, 0, 0, -1},
    {"radiotap_1_byte", 127, 0, 1, -1},
    {"radiotap_3_bytes", 127, 0, 3, -1},
    {"radiotap_typical", 127, 18, 120, 18},
    {"radiotap_length_below_fixed_part", 127, 4, 60, 4},
    {"radiotap_longest_header_fits", 127, 65535, 65545, 65535},
    {"radiotap_longest_header_one_short", 127, 65535, 65544, -1},
    {"ppi_7_bytes", 192, 0, 7, -1},
    {"ppi_8_bytes_length_8", 192, 8, 8, 8},
    {"ppi_8_bytes_length_9", 192, 9, 8, -1},
    {"ppi_length_equals_caplen", 192, 100, 100, 100},
    {"ppi_length_one_past_caplen", 192, 101, 100, -1},
    {"ppi_length_0", 192, 0, 8, 0},
    {"ppi_typical", 192, 32, 200, 32},
    {"ppi_longest_header", 192, 65535, 65535, 65535},
    {"prism_empty", 119, 0, 0, 144},
    {"prism_shorter_than_its_header", 119, 0, 100, 144},
    {"prism_whole", 119, 0, 400, 144},
    {"bare_empty", 105, 0, 0, 0},
    {"bare_frame", 105, 0, 100, 0},
    {"ethernet_read_as_bare", 1, 0, 100, 0},
    {"link_type_0", 0, 0, 10, 0},
    {"link_type_negative", -1, 0, 10, 0},
    {"link_type_next_to_bare", 106, 0, 10, 0},
    {"link_type_next_to_radiotap", 128, 0, 0, 0},
    {"link_type_next_to_ppi", 191, 0, 5, 0},
    // A length field that would be valid for radiotap means nothing here.
    {"other_link_type_ignores_length_field", 163, 12, 30, 0},
};

class named_offsets : public testing::TestWithParam<offset_case> {};

// The offset alone: the run, not the library, writes the line of a -1.
TEST_P(named_offsets, offset_and_no_message)
{
    const offset_case& c = GetParam();
    const auto record = test::guarded_memory::instance().at_edge(with_length_field(c.length_field, c.caplen));
    testing::internal::CaptureStdout();
    const int offset = capture_header_offset(c.link_type, record);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(offset, c.expected);
    EXPECT_EQ(out, "");
}

INSTANTIATE_TEST_SUITE_P(header_offset, named_offsets, testing::ValuesIn(named_cases),
                         [](const testing::TestParamInfo<offset_case>& param) { return param.param.name; });

// Every caplen from empty to a little past the boundary, for length fields
// around the fixed parts of the two headers. Every operation stays
// silent.
TEST(header_offset, radiotap_every_caplen_around_the_boundary)
{
    for (const std::uint16_t length : std::vector<std::uint16_t>{0, 1, 7, 8, 9, 10, 11, 24, 255, 256, 1000}) {
        for (std::size_t caplen = 0; caplen <= length + 12u; ++caplen) {
            SCOPED_TRACE("length field " + std::to_string(length) + ", caplen " + std::to_string(caplen));
            const int expected = caplen >= 10 && length <= caplen - 10 ? length : -1;
            const auto record = test::guarded_memory::instance().at_edge(with_length_field(length, caplen));
            testing::internal::CaptureStdout();
            EXPECT_EQ(radiotap_header_offset(record), expected);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
            testing::internal::CaptureStdout();
            EXPECT_EQ(capture_header_offset(127, record), expected);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        }
    }
}

TEST(header_offset, ppi_every_caplen_around_the_boundary)
{
    for (const std::uint16_t length : std::vector<std::uint16_t>{0, 1, 4, 7, 8, 9, 24, 32, 255, 256, 1000}) {
        for (std::size_t caplen = 0; caplen <= length + 3u; ++caplen) {
            SCOPED_TRACE("length field " + std::to_string(length) + ", caplen " + std::to_string(caplen));
            const int expected = caplen >= 8 && length <= caplen ? length : -1;
            const auto record = test::guarded_memory::instance().at_edge(with_length_field(length, caplen));
            testing::internal::CaptureStdout();
            EXPECT_EQ(ppi_header_offset(record), expected);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
            testing::internal::CaptureStdout();
            EXPECT_EQ(capture_header_offset(192, record), expected);
            EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        }
    }
}

// A PPI record of fewer than 8 bytes, and every record of a link type with
// a fixed offset, is decided without reading a single byte.
TEST(header_offset, decided_without_reading_the_record)
{
    auto& memory = test::guarded_memory::instance();
    for (std::size_t caplen = 0; caplen < 8; ++caplen) {
        SCOPED_TRACE("PPI caplen " + std::to_string(caplen));
        EXPECT_EQ(ppi_header_offset(memory.unreadable(caplen)), -1);
    }
    for (const std::size_t caplen : {0u, 1u, 100u, 144u, 4096u, 70000u}) {
        SCOPED_TRACE("caplen " + std::to_string(caplen));
        testing::internal::CaptureStdout();
        EXPECT_EQ(capture_header_offset(105, memory.unreadable(caplen)), 0);
        EXPECT_EQ(capture_header_offset(119, memory.unreadable(caplen)), 144);
        EXPECT_EQ(capture_header_offset(1, memory.unreadable(caplen)), 0);
        EXPECT_EQ(capture_header_offset(12345, memory.unreadable(caplen)), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    }
}

// caplen values past 2^31 are compared as signed 32-bit numbers, and so
// refused, though the length field alone would fit. Only the first 16 bytes
// are readable; a read of anything but the length field faults.
TEST(header_offset, caplen_past_2_to_the_31_is_refused)
{
    auto& memory = test::guarded_memory::instance();
    const test::bytes head = with_length_field(0, 16);
    const std::uint64_t two_31 = std::uint64_t{1} << 31;
    struct huge_case {
        std::uint64_t caplen;
        int radiotap;
        int ppi;
    };
    const huge_case cases[] = {
        {two_31 - 1, 0, 0},
        {two_31, 0, -1},
        {two_31 + 9, 0, -1},
        {two_31 + 10, -1, -1},
        {two_31 + 11, -1, -1},
        {(std::uint64_t{1} << 32) - 1, -1, -1},
    };
    for (const huge_case& c : cases) {
        SCOPED_TRACE("caplen " + std::to_string(c.caplen));
        const auto record = memory.claimed(head, static_cast<std::size_t>(c.caplen));
        EXPECT_EQ(radiotap_header_offset(record), c.radiotap);
        EXPECT_EQ(ppi_header_offset(record), c.ppi);
    }
}

// Records are independent: the neighbours of an invalid offset keep their
// own offsets.
TEST(header_offset, invalid_record_between_valid_ones)
{
    auto& memory = test::guarded_memory::instance();
    testing::internal::CaptureStdout();
    EXPECT_EQ(capture_header_offset(127, memory.at_edge(with_length_field(18, 80))), 18);
    EXPECT_EQ(capture_header_offset(127, memory.at_edge(with_length_field(75, 80))), -1);
    EXPECT_EQ(capture_header_offset(127, memory.at_edge(with_length_field(36, 80))), 36);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace
