// The threaded run against the one-thread run, called directly, with
// batches of a few records: batches then follow one another all the time,
// so that the reader keeps waiting for free ones, decrypting waiting ones
// itself, and draining the pipeline, on every suite and mix that changes
// keys mid-capture.
#include "run.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct pcap_closer {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};

struct run_outcome {
    conversion_totals totals;
    test::bytes output;
};

run_outcome convert(const fs::path& input, const fs::path& output, const std::string& key, int threads,
                    std::size_t batch_records, bool full_decode)
{
    user_key parsed;
    std::string error;
    EXPECT_TRUE(parse_key(key, parsed, error)) << error;
    decryption keys;
    add_user_key(keys, parsed);
    conversion_settings settings;
    settings.keys = &keys;
    settings.count_fates = true;
    settings.full_decode = full_decode;
    settings.threads = threads;
    settings.batch_records = batch_records;

    char errbuf[PCAP_ERRBUF_SIZE] = "";
    const std::unique_ptr<pcap_t, pcap_closer> in(pcap_open_offline(input.c_str(), errbuf));
    const std::unique_ptr<pcap_t, pcap_closer> dead(pcap_open_dead(DLT_EN10MB, 65535));
    EXPECT_TRUE(in && dead) << errbuf;
    pcap_dumper_t* out = pcap_dump_open(dead.get(), output.c_str());
    EXPECT_NE(out, nullptr);
    run_outcome outcome;
    outcome.totals = convert_records(in.get(), out, settings);
    pcap_dump_close(out);
    outcome.output = test::read_file(output);
    return outcome;
}

struct pipeline_case {
    const char* name;
    std::vector<std::string> generator;
    const char* key;
    bool unannounce_fcs = false;
};

// Clears the radiotap Flags field's FCS bit of every record.
void unannounce_fcs(const fs::path& path)
{
    test::bytes capture = test::read_file(path);
    for (std::size_t at = 24; at + 16 + 9 <= capture.size();) {
        const std::size_t captured =
            std::size_t{capture[at + 8]} | std::size_t{capture[at + 9]} << 8 | std::size_t{capture[at + 10]} << 16;
        capture[at + 16 + 8] &= static_cast<std::uint8_t>(~0x10);
        at += 16 + captured;
    }
    test::write_file(path, capture);
}

const std::vector<pipeline_case> cases = {
    {"group_rekeys", {"--encrypt", "ccmp", "--group-handshake", "--stations", "3", "--records", "1500"},
     "wpa-pwd:correct horse:kestrine-lab"},
    {"tdls", {"--encrypt", "ccmp", "--tdls", "--stations", "3", "--small", "--records", "1500"},
     "wpa-pwd:correct horse:kestrine-lab"},
    {"gcmp_with_fcs", {"--encrypt", "gcmp", "--fcs", "--records", "1500"}, "wpa-pwd:correct horse:kestrine-lab"},
    // The radiotap flag is cleared below: each frame fails as it stands,
    // gets its ciphertext back, and passes without its last four bytes.
    {"ccmp_with_unannounced_fcs", {"--encrypt", "ccmp", "--fcs", "--records", "1500"},
     "wpa-pwd:correct horse:kestrine-lab", true},
    {"full_decode_mix", {"--encrypt", "ccmp", "--full-decode-mix", "--records", "1500"},
     "wpa-pwd:correct horse:kestrine-lab"},
};

TEST(pipeline, small_batches_write_what_one_thread_writes)
{
    test::scratch_dir dir;
    for (const pipeline_case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path input = dir / (std::string(c.name) + ".pcap");
        std::vector<std::string> argv = {KESTRINE_GEN_BINARY, "--seed", "5", "--passphrase", "correct horse",
                                         "--ssid", "kestrine-lab"};
        argv.insert(argv.end(), c.generator.begin(), c.generator.end());
        argv.push_back(input.string());
        const auto made = test::run_program(argv);
        ASSERT_EQ(made.status, 0) << made.err;
        if (c.unannounce_fcs)
            unannounce_fcs(input);
        for (const bool full_decode : {false, true}) {
            const run_outcome one = convert(input, dir / "one.pcap", c.key, 1, 1024, full_decode);
            EXPECT_GT(one.totals.fates[static_cast<std::size_t>(record_fate::decrypted)], 100);
            for (const std::size_t batch_records : {std::size_t{1}, std::size_t{3}, std::size_t{64}}) {
                SCOPED_TRACE(testing::Message() << "batches of " << batch_records << (full_decode ? ", full decode" : ""));
                const run_outcome two = convert(input, dir / "two.pcap", c.key, 2, batch_records, full_decode);
                EXPECT_TRUE(two.output == one.output) << "the outputs differ";
                EXPECT_EQ(two.totals.fates, one.totals.fates);
                EXPECT_EQ(two.totals.converted, one.totals.converted);
                EXPECT_EQ(two.totals.write_error, 0);
            }
        }
    }
}

} // namespace
