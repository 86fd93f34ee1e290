// Real captures, end to end: every capture of the shared corpus is converted
// by the built program, and every output record is compared with what the
// reference decoder (tests/reference_decoder.h, which shares nothing with
// src/convert) makes of the input record: destination, source, EtherType,
// payload, lengths and timestamp, in order, and no record more or less.
// The corpus's MANIFEST.tsv, written with another tool, is the outside check
// on the reading of the input: record counts, short captures, and the Data
// frames that tool saw.
//
// Skipped when the corpus is not there.
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct manifest_row {
    long records = -1;
    long convertible = -1; // an upper bound: the payload length is not checked
    long short_captures = -1;
    long protected_data = -1;
    long four_address_data = -1;
    std::string read_warning;
};

std::map<std::string, manifest_row> read_manifest(const fs::path& path)
{
    std::map<std::string, manifest_row> rows;
    std::ifstream in(path);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        if (names.empty()) {
            names = fields;
            continue;
        }
        std::map<std::string, std::string> by_name;
        for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i)
            by_name[names[i]] = fields[i];
        manifest_row row;
        row.records = std::stol(by_name.at("records"));
        row.convertible = std::stol(by_name.at("convertible_data_frames"));
        row.short_captures = std::stol(by_name.at("caplen_lt_len_records"));
        row.protected_data = std::stol(by_name.at("protected_data_frames"));
        row.four_address_data = std::stol(by_name.at("four_address_data_frames"));
        row.read_warning = by_name.at("tshark_read_warning");
        rows[by_name.at("file")] = row;
    }
    return rows;
}

// One input capture as libpcap delivers it, and what the reference decoder
// makes of it.
struct decoded_input {
    int link_type = -1;
    long records = 0;
    long short_captures = 0;
    long offset_errors = 0;
    long protected_data = 0;   // Data-type frames (any subtype) with Protected set
    long four_address_data = 0; // Data-type frames with ToDS and FromDS set
    bool ends_damaged = false;
    std::vector<test::record> output; // the Ethernet records, in order
};

std::optional<decoded_input> decode_input(const fs::path& path)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* capture = pcap_open_offline(path.c_str(), errbuf);
    if (capture == nullptr)
        return std::nullopt;
    decoded_input in;
    in.link_type = pcap_datalink(capture);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status = 0;
    while ((status = pcap_next_ex(capture, &header, &data)) == 1) {
        ++in.records;
        if (header->caplen < header->len)
            ++in.short_captures;
        const auto offset = reference::header_offset(in.link_type, data, header->caplen);
        if (!offset) {
            ++in.offset_errors;
            continue;
        }
        if (std::uint64_t{*offset} + 2 <= header->caplen) {
            const reference::wlan_header h = reference::read_wlan_header(data[*offset], data[*offset + 1]);
            if (h.type == 2 && h.protected_frame)
                ++in.protected_data;
            if (h.type == 2 && h.to_ds && h.from_ds)
                ++in.four_address_data;
        }
        const auto frame = reference::convert(data, header->caplen, header->len, *offset);
        if (!frame)
            continue;
        test::record r;
        r.seconds = header->ts.tv_sec;
        r.fraction = header->ts.tv_usec;
        r.caplen = frame->caplen;
        r.len = frame->len;
        r.data = frame->frame;
        in.output.push_back(std::move(r));
    }
    in.ends_damaged = status == -1;
    pcap_close(capture);
    return in;
}

std::vector<fs::path> corpus_files(const fs::path& dir)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string ext = entry.path().extension().string();
        if (entry.is_regular_file() && (ext == ".pcap" || ext == ".cap" || ext == ".pcapng"))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::string mac(const std::vector<std::uint8_t>& frame, std::size_t at)
{
    std::string text;
    char part[4];
    for (std::size_t i = at; i < at + 6 && i < frame.size(); ++i) {
        std::snprintf(part, sizeof part, i == at ? "%02x" : ":%02x", frame[i]);
        text += part;
    }
    return text;
}

TEST(real_captures, every_output_record_matches_an_independent_decoding)
{
    const std::optional<fs::path> dir = test::shared_captures();
    if (!dir)
        GTEST_SKIP() << "the shared capture corpus is not there";
    const std::map<std::string, manifest_row> manifest = read_manifest(*dir / "MANIFEST.tsv");
    const std::vector<fs::path> files = corpus_files(*dir);
    ASSERT_FALSE(files.empty());

    long total_converted = 0;
    for (const fs::path& input : files) {
        const std::string name = input.filename().string();
        SCOPED_TRACE(name);
        const std::optional<decoded_input> in = decode_input(input);
        ASSERT_TRUE(in.has_value()) << "libpcap cannot open it";

        test::scratch_dir scratch;
        const fs::path output = scratch / "out.pcap";
        const test::run_result run = test::run_kestrine({input.string(), output.string()});
        ASSERT_EQ(run.status, 0) << run.err;

        // Standard output: one offset-error line per record without a valid
        // offset, then the summary with the count the rules admit.
        std::string expected_out;
        for (long i = 0; i < in->offset_errors; ++i)
            expected_out += "Error calculating header offset for packet.  Skipping this packet.\n";
        expected_out += "Converted " + std::to_string(in->output.size()) + " packets.\n";
        EXPECT_EQ(run.out, expected_out);
        EXPECT_EQ(run.err.empty(), !in->ends_damaged) << run.err;

        const std::optional<test::capture> out = test::read_capture(output);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->link_type, 1);
        EXPECT_EQ(out->snaplen, 65535);
        EXPECT_FALSE(out->read_error);
        ASSERT_EQ(out->records.size(), in->output.size());
        for (std::size_t i = 0; i < in->output.size(); ++i) {
            const test::record& want = in->output[i];
            const test::record& got = out->records[i];
            SCOPED_TRACE("output record " + std::to_string(i));
            EXPECT_EQ(mac(got.data, 0), mac(want.data, 0)) << "destination";
            EXPECT_EQ(mac(got.data, 6), mac(want.data, 6)) << "source";
            ASSERT_GE(got.data.size(), 14u);
            EXPECT_EQ(got.data[12], want.data[12]) << "EtherType";
            EXPECT_EQ(got.data[13], want.data[13]) << "EtherType";
            EXPECT_EQ(got.data, want.data) << "payload";
            EXPECT_EQ(got.caplen, want.caplen);
            EXPECT_EQ(got.len, want.len);
            EXPECT_EQ(got.seconds, want.seconds);
            EXPECT_EQ(got.fraction, want.fraction);
        }
        total_converted += static_cast<long>(in->output.size());

        // The outside view of the same input.
        const auto row = manifest.find(name);
        ASSERT_NE(row, manifest.end()) << "not in MANIFEST.tsv";
        EXPECT_EQ(in->records, row->second.records) << "records";
        EXPECT_EQ(in->short_captures, row->second.short_captures) << "records captured short";
        EXPECT_EQ(in->protected_data, row->second.protected_data) << "protected Data frames";
        EXPECT_EQ(in->four_address_data, row->second.four_address_data) << "four-address Data frames";
        // The manifest's count does not look at payload lengths, so in general
        // it only bounds the converted count; in this corpus every such frame
        // is long enough, and the two agree.
        EXPECT_EQ(static_cast<long>(in->output.size()), row->second.convertible) << "convertible Data frames";
        EXPECT_EQ(in->ends_damaged, row->second.read_warning.find("cut short") != std::string::npos)
            << "ends in a damaged record";
    }
    // The corpus holds hundreds of convertible frames; a run that converts
    // none of them compares nothing.
    EXPECT_GT(total_converted, 100);
}

// Every output of the default conversion of the corpus, byte for byte as
// the release before full decoding wrote it: one digest over the outputs
// in file-name order.
TEST(real_captures, default_outputs_unchanged)
{
    const std::optional<fs::path> dir = test::shared_captures();
    if (!dir)
        GTEST_SKIP() << "the shared capture corpus is not there";
    test::bytes outputs;
    const std::vector<fs::path> files = corpus_files(*dir);
    for (const fs::path& input : files) {
        test::scratch_dir scratch;
        const test::run_result run = test::run_kestrine({input.string(), (scratch / "out.pcap").string()});
        ASSERT_EQ(run.status, 0) << input;
        const test::bytes output = test::read_file(scratch / "out.pcap");
        outputs.insert(outputs.end(), output.begin(), output.end());
    }
    EXPECT_EQ(files.size(), 46u);
    EXPECT_EQ(test::digest(outputs), 0x1c905914b07d4691u) << std::hex << test::digest(outputs);
}

} // namespace
