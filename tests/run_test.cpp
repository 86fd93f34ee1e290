// The built program, end to end: captures written here, the program run on
// them, its output file compared byte for byte with the capture it must
// write, and its standard output, standard error and exit status compared
// in full.
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string offset_error = "Error calculating header offset for packet.  Skipping this packet.\n";

std::string summary(std::size_t count) { return "Converted " + std::to_string(count) + " packets.\n"; }

using test::address;
using test::ethernet_frame;

// The capture header that link type `link_type` puts in front of the frame.
test::bytes capture_header(std::uint32_t link_type)
{
    switch (link_type) {
    case 119:
        return test::bytes(144, 0x44);
    case 127: // radiotap: version, pad, length 18, present flags, fields
        return {0, 0, 18, 0, 0x2E, 0x48, 0, 0, 0x00, 0x0C, 0x6C, 0x09, 0xC0, 0x00, 0xD8, 0x01, 0x00, 0x00};
    case 192: // PPI: version, flags, length 20, enclosed link type 105, one field
        return {0, 0, 20, 0, 105, 0, 0, 0, 2, 0, 8, 0, 1, 2, 3, 4, 5, 6, 7, 8};
    default:
        return {};
    }
}

test::bytes join(test::bytes head, const test::bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

test::record input_record(std::int64_t seconds, std::int64_t fraction, test::bytes data, std::uint32_t len = 0)
{
    test::record r;
    r.seconds = seconds;
    r.fraction = fraction;
    r.data = std::move(data);
    r.len = len;
    return r;
}

test::record output_record(std::int64_t seconds, std::int64_t fraction, test::bytes frame, std::uint32_t len = 0)
{
    return input_record(seconds, fraction, std::move(frame), len);
}

// What the output file must hold, byte for byte: the savefile header of an
// Ethernet capture (microseconds, snapshot length 65535) and the records.
test::bytes ethernet_capture(const std::vector<test::record>& records)
{
    test::capture_options options;
    options.link_type = 1;
    options.snaplen = 65535;
    return test::capture_file_bytes(records, options);
}

struct mixed_capture {
    std::vector<test::record> input;
    std::vector<test::record> output;
    std::string out; // standard output of a run that writes to a file
};

// A capture of every kind of record, of the given link type, and what it
// must turn into.
mixed_capture mixed(std::uint32_t link_type)
{
    const test::bytes head = capture_header(link_type);
    const bool has_length_field = link_type == 127 || link_type == 192;
    mixed_capture c;
    c.input.push_back(input_record(1700000000, 1, join(head, test::data_frame(0x08, 0x01, 40, 0x0800, 0x00))));
    c.output.push_back(output_record(1700000000, 1, ethernet_frame(3, 2, 0x0800, 40, 0x00)));
    c.input.push_back(input_record(1700000000, 2, join(head, test::data_frame(0x80, 0x00, 100))));
    if (has_length_field) {
        // A length field that reaches past the captured bytes.
        test::bytes bad = join(head, test::data_frame(0x08, 0x00, 40));
        bad[2] = 0xF0;
        bad[3] = 0x00;
        c.input.push_back(input_record(1700000000, 3, bad));
        c.out += offset_error;
    }
    c.input.push_back(input_record(1700000001, 999999, join(head, test::data_frame(0x88, 0x02, 21, 0x86DD, 0x30))));
    c.output.push_back(output_record(1700000001, 999999, ethernet_frame(1, 3, 0x86DD, 21, 0x30)));
    c.input.push_back(input_record(1700000002, 0, join(head, test::data_frame(0x08, 0x41, 100))));
    c.input.push_back(input_record(1700000002, 1, join(head, test::data_frame(0x88, 0x03, 100))));
    c.input.push_back(input_record(1700000002, 2, join(head, test::data_frame(0x08, 0x00, 20))));
    // Captured short: 18 of 60 payload bytes.
    test::bytes whole = join(head, test::data_frame(0x08, 0x00, 60, 0x0806, 0x80));
    const auto wire = static_cast<std::uint32_t>(whole.size());
    whole.resize(whole.size() - 42);
    c.input.push_back(input_record(1700000003, 500, whole, wire));
    c.output.push_back(output_record(1700000003, 500, ethernet_frame(1, 2, 0x0806, 18, 0x80), 74));
    c.input.push_back(input_record(1700000004, 42, join(head, test::data_frame(0x88, 0x00, 1500, 0x0800, 0x11))));
    c.output.push_back(output_record(1700000004, 42, ethernet_frame(1, 2, 0x0800, 1500, 0x11)));
    c.out += summary(c.output.size());
    return c;
}

test::capture_options link(std::uint32_t link_type)
{
    test::capture_options options;
    options.link_type = link_type;
    return options;
}

class link_types : public testing::TestWithParam<std::uint32_t> {};

TEST_P(link_types, every_record_field_and_byte)
{
    test::scratch_dir dir;
    const mixed_capture c = mixed(GetParam());
    test::write_capture(dir / "in.pcap", c.input, link(GetParam()));
    const auto result = test::run_kestrine({(dir / "in.pcap").string(), (dir / "out.pcap").string()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::read_file(dir / "out.pcap"), ethernet_capture(c.output));
    // And libpcap reads it back as the same records.
    const auto back = test::read_capture(dir / "out.pcap");
    ASSERT_TRUE(back);
    EXPECT_EQ(back->link_type, 1);
    EXPECT_EQ(back->snaplen, 65535);
    EXPECT_FALSE(back->read_error);
    ASSERT_EQ(back->records.size(), c.output.size());
    for (std::size_t i = 0; i < c.output.size(); ++i) {
        EXPECT_EQ(back->records[i].data, c.output[i].data);
        EXPECT_EQ(back->records[i].seconds, c.output[i].seconds);
        EXPECT_EQ(back->records[i].fraction, c.output[i].fraction);
    }
}

// The four 802.11 link types, Ethernet and an unrelated one (read as bare).
INSTANTIATE_TEST_SUITE_P(conversion, link_types, testing::Values(105u, 119u, 127u, 192u, 1u, 147u),
                         [](const testing::TestParamInfo<std::uint32_t>& param) {
                             return "link_type_" + std::to_string(param.param);
                         });

struct small_case {
    const char* name;
    std::vector<test::record> input;
    std::uint32_t link_type;
    std::vector<test::record> output;
    std::string out;
    std::uint32_t snaplen = 65535; // of the input
};

std::vector<small_case> small_cases()
{
    test::bytes bad_radiotap = join(capture_header(127), test::data_frame(0x08, 0x00, 30));
    bad_radiotap[2] = 0xFF;
    bad_radiotap[3] = 0xFF;
    return {
        {"no_records", {}, 127, {}, summary(0)},
        {"nothing_converts",
         {input_record(1, 0, bad_radiotap), input_record(2, 0, join(capture_header(127), test::data_frame(0x80, 0, 60))),
          input_record(3, 0, bad_radiotap)},
         127,
         {},
         offset_error + offset_error + summary(0)},
        {"one_record", {input_record(5, 6, test::data_frame(0x08, 0x00, 21))}, 105,
         {output_record(5, 6, ethernet_frame(1, 2, 0x0800, 21))}, "Converted 1 packets.\n"},
        // Longer than the output's snapshot length, and still written whole.
        {"frame_beyond_snapshot_length",
         {input_record(7, 8, test::data_frame(0x08, 0x00, 70000, 0x0800, 3))},
         105,
         {output_record(7, 8, ethernet_frame(1, 2, 0x0800, 70000, 3))},
         summary(1),
         262144},
        // libpcap cuts a record to the input's own snapshot length: it is
        // then a record captured short, and converts as one.
        {"record_beyond_input_snapshot_length",
         {input_record(7, 8, test::data_frame(0x08, 0x00, 70000, 0x0800, 3))},
         105,
         {output_record(7, 8, ethernet_frame(1, 2, 0x0800, 65535 - 32, 3), 70014)},
         summary(1)},
    };
}

TEST(conversion, small_captures)
{
    for (const small_case& c : small_cases()) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        test::capture_options options = link(c.link_type);
        options.snaplen = c.snaplen;
        test::write_capture(dir / "in.pcap", c.input, options);
        const auto result = test::run_kestrine({(dir / "in.pcap").string(), (dir / "out.pcap").string()});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, c.out);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(test::read_file(dir / "out.pcap"), ethernet_capture(c.output));
    }
}

// Names past the second are ignored; anything that reads as an option is
// taken as one (unknown ones are refused; see command_line_test).
TEST(command_line, third_and_later_arguments_are_ignored)
{
    test::scratch_dir dir;
    const mixed_capture c = mixed(127);
    test::write_capture(dir / "in.pcap", c.input, link(127));
    const auto result = test::run_kestrine({(dir / "in.pcap").string(), (dir / "out.pcap").string(),
                                            (dir / "third.pcap").string(), "fourth"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(test::read_file(dir / "out.pcap"), ethernet_capture(c.output));
    EXPECT_FALSE(fs::exists(dir / "third.pcap"));
}

// The version as a regular expression: its dots stand for themselves.
std::string version_pattern()
{
    return std::regex_replace(std::string(KESTRINE_VERSION), std::regex("\\."), "\\.");
}

const std::regex banner_and_usage(
    "kestrine " + version_pattern() + " - Convert 802\\.11 captures into Ethernet format\\.\n"
    "Questions/Comments/Concerns: [^\\s@]+@[^\\s@]+\\.[a-z]+\n"
    "\n"
    "Usage: kestrine infile outfile\n");

TEST(command_line, short_command_line_prints_banner_and_usage)
{
    test::scratch_dir dir;
    test::write_capture(dir / "in.pcap", mixed(105).input);
    for (const auto& args : std::vector<std::vector<std::string>>{{}, {(dir / "in.pcap").string()}}) {
        SCOPED_TRACE(std::to_string(args.size()) + " arguments");
        const auto result = test::run_kestrine(args);
        EXPECT_EQ(result.status, 255);
        EXPECT_TRUE(std::regex_match(result.out, banner_and_usage)) << result.out;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
    }
}

TEST(command_line, usage_names_kestrine_whatever_the_program_is_called)
{
    test::scratch_dir dir;
    fs::create_symlink(KESTRINE_BINARY, dir / "renamed-converter");
    const auto result = test::run_program({(dir / "renamed-converter").string(), "only-one"});
    EXPECT_EQ(result.status, 255);
    EXPECT_TRUE(std::regex_match(result.out, banner_and_usage)) << result.out;
}

// "-" as the output writes the capture to standard output, and the lines
// the run would print there go to standard error instead.
TEST(standard_streams, output_to_standard_output)
{
    test::scratch_dir dir;
    const mixed_capture c = mixed(127);
    test::write_capture(dir / "in.pcap", c.input, link(127));
    const auto result = test::run_kestrine({(dir / "in.pcap").string(), "-"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, c.out);
    EXPECT_EQ(test::bytes(result.out.begin(), result.out.end()), ethernet_capture(c.output));
}

TEST(standard_streams, input_from_standard_input)
{
    test::scratch_dir dir;
    const mixed_capture c = mixed(192);
    test::write_capture(dir / "in.pcap", c.input, link(192));
    const auto result = test::run_kestrine({"-", (dir / "out.pcap").string()}, dir / "in.pcap");
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(test::read_file(dir / "out.pcap"), ethernet_capture(c.output));
}

TEST(standard_streams, both_ways_through_pipes)
{
    test::scratch_dir dir;
    const mixed_capture c = mixed(119);
    test::write_capture(dir / "in.pcap", c.input, link(119));
    const std::string command = "cat '" + (dir / "in.pcap").string() + "' | '" KESTRINE_BINARY "' - - | cat > '" +
                                (dir / "out.pcap").string() + "'";
    const auto result = test::run_program({"/bin/sh", "-c", command});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, c.out);
    EXPECT_EQ(test::read_file(dir / "out.pcap"), ethernet_capture(c.output));
}

TEST(standard_streams, damaged_input_to_standard_output)
{
    test::scratch_dir dir;
    const mixed_capture c = mixed(105);
    test::bytes contents = test::capture_file_bytes(c.input);
    contents.resize(contents.size() - 1); // the last record loses its last byte
    test::write_file(dir / "in.pcap", contents);
    const auto result = test::run_kestrine({(dir / "in.pcap").string(), "-"});
    EXPECT_EQ(result.status, 0);
    std::vector<test::record> written = c.output;
    written.pop_back();
    EXPECT_EQ(test::bytes(result.out.begin(), result.out.end()), ethernet_capture(written));
    // The warning and the summary, both on standard error.
    EXPECT_NE(result.err.find("damaged"), std::string::npos) << result.err;
    EXPECT_EQ(result.err.substr(result.err.find('\n') + 1), summary(written.size()));
}

std::optional<std::string> find_tcpdump()
{
    for (const char* dir : {"/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin", "/bin", "/sbin"}) {
        const fs::path candidate = fs::path(dir) / "tcpdump";
        if (fs::exists(candidate))
            return candidate.string();
    }
    return std::nullopt;
}

// The use "-" is for: another tool reads the stream as it comes.
TEST(standard_streams, tcpdump_reads_the_stream)
{
    const auto tcpdump = find_tcpdump();
    if (!tcpdump)
        GTEST_SKIP() << "tcpdump is not installed";
    test::scratch_dir dir;
    const mixed_capture c = mixed(127);
    test::write_capture(dir / "in.pcap", c.input, link(127));
    const std::string command =
        "'" KESTRINE_BINARY "' '" + (dir / "in.pcap").string() + "' - | '" + *tcpdump + "' -nn -e -r -";
    const auto result = test::run_program({"/bin/sh", "-c", command});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_NE(result.err.find(c.out), std::string::npos) << result.err;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = result.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(result.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), c.output.size()) << result.out;
    // The first record went to the distribution system: from Address 2 to Address 3.
    EXPECT_NE(lines[0].find("20:21:22:23:24:25 > 30:31:32:33:34:35"), std::string::npos) << lines[0];
}

} // namespace
