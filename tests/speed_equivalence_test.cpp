// The fast paths of the run (stream buffers, unlocked stdio, the reused
// frame, branch-free address selection) change no byte of the output:
// generated captures of every link type, large enough to cross the stream
// buffers many times, convert to output files whose digests were taken from
// the straightforward build, and every record agrees with the reference
// decoder.
#include "reference_decoder.h"
#include "test_support.h"


#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

void generate(const fs::path& path, const std::vector<std::string>& options)
{
    std::vector<std::string> argv{KESTRINE_GEN_BINARY};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(path.string());
    const auto result = test::run_program(argv);
    ASSERT_EQ(result.status, 0) << result.err;
}

struct golden_case {
    std::string name;
    std::vector<std::string> generator; // kestrine_gen options
    std::uint32_t link_type;
    std::uintmax_t cut = 0; // bytes cut off the end of the generated input
    std::string summary;
    std::uint64_t output_digest;
};

void PrintTo(const golden_case& c, std::ostream* os) { *os << c.name; }

class golden_output : public testing::TestWithParam<golden_case> {};

TEST_P(golden_output, matches_digest_and_reference_decoder)
{
    const golden_case& c = GetParam();
    test::scratch_dir dir;
    const fs::path in = dir / "in.pcap";
    const fs::path out = dir / "out.pcap";
    generate(in, c.generator);
    if (c.cut != 0)
        fs::resize_file(in, fs::file_size(in) - c.cut);

    const auto result = test::run_kestrine({in.string(), out.string()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, c.summary);
    EXPECT_EQ(result.err.empty(), c.cut == 0) << result.err;
    EXPECT_EQ(test::digest(test::read_file(out)), c.output_digest) << std::hex << test::digest(test::read_file(out));

    // Record by record against the reference decoder, so that a digest
    // taken from a faulty build could not hide a fault.
    const auto input = test::read_capture(in);
    const auto output = test::read_capture(out);
    ASSERT_TRUE(input && output);
    ASSERT_EQ(input->link_type, static_cast<int>(c.link_type));
    std::size_t next = 0;
    for (const auto& r : input->records) {
        const auto caplen = static_cast<std::uint32_t>(r.data.size());
        const std::uint32_t len = r.len != 0 ? r.len : caplen;
        const auto offset = reference::header_offset(c.link_type, r.data.data(), caplen);
        const auto frame = offset ? reference::convert(r.data.data(), caplen, len, *offset) : std::nullopt;
        if (!frame)
            continue;
        ASSERT_LT(next, output->records.size()) << "output ends early";
        const auto& o = output->records[next++];
        ASSERT_EQ(o.seconds, r.seconds) << "record " << next;
        ASSERT_EQ(o.fraction, r.fraction) << "record " << next;
        ASSERT_EQ(o.len, frame->len) << "record " << next;
        ASSERT_EQ(o.data, frame->frame) << "record " << next;
    }
    EXPECT_GT(next, 0u);
    EXPECT_EQ(next, output->records.size());
    EXPECT_FALSE(output->read_error);
}

// 12000 records: 1.5 to 6 MB of input, so the stream buffers fill and
// drain many times and records straddle every buffer boundary.
const std::string records = "12000";
INSTANTIATE_TEST_SUITE_P(
    generated, golden_output,
    testing::Values(
        golden_case{"radiotap_imix", {"--link", "radiotap", "--records", records, "--seed", "5"}, 127, 0,
                    "Converted 10088 packets.\n", 0x9d812c0ebd334e4aULL},
        golden_case{"radiotap_small", {"--link", "radiotap", "--records", records, "--seed", "5", "--small"}, 127, 0,
                    "Converted 10135 packets.\n", 0xfaabfad6346d91b2ULL},
        golden_case{"bare_imix", {"--link", "bare", "--records", records, "--seed", "5"}, 105, 0,
                    "Converted 10115 packets.\n", 0x51bda41a8d837634ULL},
        golden_case{"bare_small", {"--link", "bare", "--records", records, "--seed", "5", "--small"}, 105, 0,
                    "Converted 10099 packets.\n", 0x6f35d742633b4048ULL},
        golden_case{"prism_imix", {"--link", "prism", "--records", records, "--seed", "5"}, 119, 0,
                    "Converted 10125 packets.\n", 0xfbfbbae143f84dfdULL},
        golden_case{"prism_small", {"--link", "prism", "--records", records, "--seed", "5", "--small"}, 119, 0,
                    "Converted 10157 packets.\n", 0x8b5dbafa150275a7ULL},
        golden_case{"ppi_imix", {"--link", "ppi", "--records", records, "--seed", "5"}, 192, 0,
                    "Converted 10181 packets.\n", 0x8056672d0a20be6eULL},
        golden_case{"ppi_small", {"--link", "ppi", "--records", records, "--seed", "5", "--small"}, 192, 0,
                    "Converted 10142 packets.\n", 0xe5770d1194bf7743ULL},
        // The last record cut short: everything before it, then the warning.
        golden_case{"radiotap_cut_short", {"--records", records, "--seed", "5"}, 127, 7,
                    "Converted 10087 packets.\n", 0x3797e4a11d89f442ULL}),
    [](const testing::TestParamInfo<golden_case>& param_info) { return param_info.param.name; });

} // namespace
