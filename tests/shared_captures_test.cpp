// The program over every real capture of the shared corpus: each run ends
// with status 0 and a summary, and every output record is a well-formed
// Ethernet frame that can be traced back to its input record. Skipped when
// the corpus is not there.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct manifest_entry {
    std::size_t convertible = 0;
    bool cut_short = false;
};

// MANIFEST.tsv, when present: the convertible Data frames that the corpus's
// curators counted in each file, and whether the file ends mid-record.
std::map<std::string, manifest_entry> read_manifest(const fs::path& dir)
{
    std::map<std::string, manifest_entry> entries;
    std::ifstream in(dir / "MANIFEST.tsv");
    std::string line;
    std::vector<std::string> columns;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');)
            fields.push_back(field);
        if (columns.empty()) {
            columns = fields;
            continue;
        }
        const auto column = [&](const std::string& name) -> std::string {
            const auto at = std::find(columns.begin(), columns.end(), name);
            const auto index = static_cast<std::size_t>(at - columns.begin());
            return at == columns.end() || index >= fields.size() ? std::string() : fields[index];
        };
        if (fields.empty() || column("convertible_data_frames").empty())
            continue;
        manifest_entry entry;
        entry.convertible = std::stoul(column("convertible_data_frames"));
        entry.cut_short = column("tshark_read_warning").find("cut short") != std::string::npos;
        entries[fields[0]] = entry;
    }
    return entries;
}

bool contains_at(const test::bytes& data, std::size_t at, const test::bytes& part)
{
    return at <= data.size() && data.size() - at >= part.size() &&
           std::equal(part.begin(), part.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
}

// Whether `frame` can have come from `input`: the payload is the tail of the
// input's captured bytes (up to len), the EtherType the two bytes before it,
// and the two addresses stand among the address fields of the 802.11
// header that ends there; the timestamps agree and len counts the payload
// up to the input's len.
bool comes_from(const test::record& frame, const test::record& input)
{
    if (frame.seconds != input.seconds || frame.fraction != input.fraction)
        return false;
    const std::size_t end = std::min<std::size_t>(input.len, input.data.size());
    const std::size_t copied = frame.data.size() - 14;
    if (end < copied + 2)
        return false;
    const std::size_t payload_start = end - copied;
    if (!contains_at(input.data, payload_start - 2, test::bytes(frame.data.begin() + 12, frame.data.end())))
        return false;
    if (frame.len != input.len - payload_start + 14)
        return false;
    const test::bytes destination(frame.data.begin(), frame.data.begin() + 6);
    const test::bytes source(frame.data.begin() + 6, frame.data.begin() + 12);
    for (const std::size_t header_to_payload : {32u, 34u}) {
        if (payload_start < header_to_payload)
            continue;
        const std::size_t header = payload_start - header_to_payload;
        const auto is_address = [&](const test::bytes& mac) {
            return contains_at(input.data, header + 4, mac) || contains_at(input.data, header + 10, mac) ||
                   contains_at(input.data, header + 16, mac);
        };
        if (is_address(destination) && is_address(source))
            return true;
    }
    return false;
}

std::vector<fs::path> corpus_files(const fs::path& dir)
{
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string extension = entry.path().extension().string();
        if (entry.is_regular_file() && (extension == ".pcap" || extension == ".cap" || extension == ".pcapng"))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(shared_captures, every_capture_converts_to_well_formed_ethernet)
{
    const auto dir = test::shared_captures();
    if (!dir)
        GTEST_SKIP() << "no shared capture corpus at " << KESTRINE_SHARED_CAPTURES;
    const auto manifest = read_manifest(*dir);
    const std::vector<fs::path> files = corpus_files(*dir);
    ASSERT_FALSE(files.empty());
    const std::regex stdout_form("(?:Error calculating header offset for packet\\.  Skipping this packet\\.\n)*"
                                 "Converted ([0-9]+) packets\\.\n");
    std::size_t total = 0;
    for (const fs::path& file : files) {
        const std::string name = file.filename().string();
        SCOPED_TRACE(name);
        test::scratch_dir scratch;
        const auto result = test::run_kestrine({file.string(), (scratch / "out.pcap").string()});
        EXPECT_EQ(result.status, 0) << result.err;
        std::smatch match;
        ASSERT_TRUE(std::regex_match(result.out, match, stdout_form)) << result.out;
        const std::size_t converted = std::stoul(match[1].str());
        total += converted;

        const auto input = test::read_capture(file);
        ASSERT_TRUE(input);
        if (input->read_error) {
            EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one warning line: " << result.err;
            EXPECT_NE(result.err.find("damaged"), std::string::npos) << result.err;
        } else {
            EXPECT_EQ(result.err, "");
        }
        if (const auto entry = manifest.find(name); entry != manifest.end()) {
            EXPECT_EQ(converted, entry->second.convertible);
            EXPECT_EQ(input->read_error, entry->second.cut_short);
        }

        const auto output = test::read_capture(scratch / "out.pcap");
        ASSERT_TRUE(output);
        EXPECT_EQ(output->link_type, 1);
        EXPECT_EQ(output->snaplen, 65535);
        EXPECT_FALSE(output->read_error);
        ASSERT_EQ(output->records.size(), converted);
        std::size_t next_input = 0;
        for (std::size_t i = 0; i < output->records.size(); ++i) {
            SCOPED_TRACE("output record " + std::to_string(i));
            const test::record& frame = output->records[i];
            ASSERT_GE(frame.data.size(), 14u);
            EXPECT_GE(frame.len, 35u);
            EXPECT_LE(frame.data.size(), frame.len);
            // Output records keep the order of their input records.
            while (next_input < input->records.size() && !comes_from(frame, input->records[next_input]))
                ++next_input;
            ASSERT_LT(next_input, input->records.size()) << "no input record, in order, that this frame comes from";
            ++next_input;
        }
    }
    RecordProperty("converted", static_cast<int>(total));
    EXPECT_GT(total, 0u);
}

} // namespace
