// The threaded run against the one-thread run, called directly, with
// batches of a few records: batches then follow one another all the time,
// so that the reader keeps waiting for free ones, decrypting waiting ones
// itself, and draining the pipeline, on every suite and mix that changes
// keys mid-capture.
#include "decrypt/state.h"
#include "record/record.h"
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
    test::bytes after_each{}; // an 802.11 frame put after every record
};

// A little-endian field of a capture the generator wrote.
std::size_t read_le(const test::bytes& capture, std::size_t at, std::size_t size)
{
    std::size_t value = 0;
    for (std::size_t i = size; i-- > 0;)
        value = value << 8 | capture[at + i];
    return value;
}

// Clears the radiotap Flags field's FCS bit of every record.
void unannounce_fcs(const fs::path& path)
{
    test::bytes capture = test::read_file(path);
    for (std::size_t at = 24; at + 16 + 9 <= capture.size();) {
        capture[at + 16 + 8] &= static_cast<std::uint8_t>(~0x10);
        at += 16 + read_le(capture, at + 8, 4);
    }
    test::write_file(path, capture);
}

// Puts `frame` after every record, behind a copy of the record's radiotap
// header: whatever the reader holds last when a key exchange comes, the
// next record is one that moves the tracker or is held as it is.
void put_after_each(const fs::path& path, const test::bytes& frame)
{
    const test::bytes capture = test::read_file(path);
    test::bytes out(capture.begin(), capture.begin() + 24);
    for (std::size_t at = 24; at + 16 + 4 <= capture.size();) {
        const std::size_t captured = read_le(capture, at + 8, 4);
        const std::size_t radiotap = read_le(capture, at + 16 + 2, 2);
        const auto record = capture.begin() + static_cast<std::ptrdiff_t>(at);
        out.insert(out.end(), record, record + static_cast<std::ptrdiff_t>(16 + captured));
        const std::size_t length = radiotap + frame.size();
        out.insert(out.end(), record, record + 8);
        for (int copy = 0; copy < 2; ++copy)
            for (std::size_t i = 0; i < 4; ++i)
                out.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
        out.insert(out.end(), record + 16, record + static_cast<std::ptrdiff_t>(16 + radiotap));
        out.insert(out.end(), frame.begin(), frame.end());
        at += 16 + captured;
    }
    test::write_file(path, out);
}

const test::bytes ack = {0xD4, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const test::bytes probe_request = {0x40, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x00, 0x00,
                                   0x00, 0x00, 0x07, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00};
const test::bytes null_data = {0x48, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00,
                               0x00, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};

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
    // A control frame, a management frame and an unprotected Data frame
    // after each record: the protected key exchanges are each followed
    // by a record held as it is, by one the tracker follows first.
    {"group_rekeys_then_acks", {"--encrypt", "ccmp", "--group-handshake", "--stations", "3", "--records", "1500"},
     "wpa-pwd:correct horse:kestrine-lab", false, ack},
    {"group_rekeys_then_probes", {"--encrypt", "ccmp", "--group-handshake", "--stations", "3", "--records", "1500"},
     "wpa-pwd:correct horse:kestrine-lab", false, probe_request},
    {"tdls_then_null_data", {"--encrypt", "ccmp", "--tdls", "--stations", "3", "--small", "--records", "1500"},
     "wpa-pwd:correct horse:kestrine-lab", false, null_data},
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
        if (!c.after_each.empty())
            put_after_each(input, c.after_each);
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
