// --threads 2 against --threads 1, end to end: the same output file, the
// same standard output and error and the same status, byte for byte, on
// every generated suite and mix, on the real captures with their keys, and
// through the faults a run can meet (a full disk, a damaged input, a pipe
// for input, a reader leaving early). The generated captures are larger
// than a batch, so that batches follow one another with handshakes, group
// rekeys and TDLS setups among them.
#include "test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> passphrase = {"--passphrase", "correct horse", "--ssid", "kestrine-lab"};
const std::string passphrase_key = "wpa-pwd:correct horse:kestrine-lab";
const std::string pmk = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string pmk384 = pmk + "0123456789abcdef0123456789abcdef";

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct threaded_case {
    const char* name;
    std::vector<std::string> generator; // kestrine_gen's arguments, the output name left out
    std::vector<std::string> keys;      // kestrine's
};

void PrintTo(const threaded_case& c, std::ostream* out) { *out << c.name; }

// Runs kestrine with 1 and with 2 threads and expects the same of both.
// Returns the number of bytes written.
std::size_t expect_same_runs(const fs::path& input, const std::vector<std::string>& options,
                             const test::scratch_dir& dir)
{
    std::vector<test::bytes> outputs;
    std::vector<test::run_result> runs;
    for (const char* threads : {"1", "2"}) {
        const fs::path output = dir / (std::string("out-") + threads + ".pcap");
        runs.push_back(test::run_kestrine(join(join({"--threads", threads}, options), {input.string(), output.string()})));
        outputs.push_back(fs::exists(output) ? test::read_file(output) : test::bytes{});
    }
    EXPECT_EQ(runs[0].status, runs[1].status);
    EXPECT_EQ(runs[0].out, runs[1].out);
    EXPECT_EQ(runs[0].err, runs[1].err);
    EXPECT_TRUE(outputs[0] == outputs[1]) << "the outputs differ";
    return outputs[0].size();
}

const std::vector<std::vector<std::string>> option_sets = {
    {}, {"--stats"}, {"--full-decode"}, {"--full-decode", "--stats"}};

class threads : public testing::TestWithParam<threaded_case> {};

TEST_P(threads, two_threads_write_what_one_writes)
{
    const threaded_case& c = GetParam();
    test::scratch_dir dir;
    const fs::path input = dir / "in.pcap";
    const auto made = test::run_program(join(join({KESTRINE_GEN_BINARY, "--seed", "3"}, c.generator), {input.string()}));
    ASSERT_EQ(made.status, 0) << made.err;
    for (const auto& options : option_sets) {
        SCOPED_TRACE(testing::PrintToString(options));
        std::vector<std::string> args;
        for (const std::string& key : c.keys)
            args.insert(args.end(), {"--key", key});
        EXPECT_GT(expect_same_runs(input, join(args, options), dir), 24u);
    }
}

std::vector<std::string> with_passphrase(std::vector<std::string> args) { return join(std::move(args), passphrase); }

INSTANTIATE_TEST_SUITE_P(
    suites, threads,
    testing::Values(
        threaded_case{"ccmp", with_passphrase({"--encrypt", "ccmp", "--records", "12000", "--stations", "3"}), {passphrase_key}},
        threaded_case{"ccmp_small", with_passphrase({"--encrypt", "ccmp", "--records", "12000", "--small", "--fcs"}), {passphrase_key}},
        threaded_case{"tkip", with_passphrase({"--encrypt", "tkip", "--records", "3000", "--stations", "2"}), {passphrase_key}},
        threaded_case{"wep", {"--encrypt", "wep", "--wep-key", "0102030405060708090a0b0c0d", "--records", "3000"},
                      {"wep:0102030405060708090a0b0c0d"}},
        threaded_case{"ccmp256", with_passphrase({"--encrypt", "ccmp256", "--records", "6000", "--link", "bare", "--group-handshake"}),
                      {passphrase_key}},
        threaded_case{"gcmp", {"--encrypt", "gcmp", "--akm", "6", "--pmk", pmk, "--records", "6000", "--link", "prism"},
                      {"wpa-psk:" + pmk}},
        threaded_case{"gcmp256", with_passphrase({"--encrypt", "gcmp256", "--records", "6000", "--link", "ppi", "--group-handshake"}),
                      {passphrase_key}},
        threaded_case{"sae", {"--encrypt", "ccmp", "--akm", "8", "--pmk", pmk, "--records", "6000"}, {"wpa-psk:" + pmk}},
        threaded_case{"suite_b_192", {"--encrypt", "gcmp256", "--akm", "12", "--pmk", pmk384, "--records", "6000"},
                      {"wpa-psk:" + pmk384}},
        threaded_case{"owe", {"--encrypt", "ccmp", "--akm", "18", "--pmk", pmk, "--stations", "3", "--records", "6000"},
                      {"wpa-psk:" + pmk}},
        threaded_case{"group_handshake",
                      with_passphrase({"--encrypt", "ccmp", "--group-handshake", "--stations", "3", "--records", "12000"}),
                      {passphrase_key}},
        threaded_case{"extended_key_id", with_passphrase({"--encrypt", "ccmp", "--extended-key-id", "--records", "12000"}),
                      {passphrase_key}},
        threaded_case{"ft", with_passphrase({"--encrypt", "ccmp", "--ft", "--stations", "3", "--records", "12000"}),
                      {passphrase_key}},
        threaded_case{"tdls", with_passphrase({"--encrypt", "ccmp", "--tdls", "--stations", "3", "--small", "--records", "12000"}),
                      {passphrase_key}},
        threaded_case{"full_decode_mix", with_passphrase({"--encrypt", "ccmp", "--full-decode-mix", "--records", "6000"}),
                      {passphrase_key}},
        threaded_case{"full_decode_mix_wep",
                      {"--encrypt", "wep", "--wep-key", "0a0b0c0d0e", "--full-decode-mix", "--records", "3000"},
                      {"wep:0a0b0c0d0e"}},
        // A key that matches nothing: every frame stays protected.
        threaded_case{"wrong_key", with_passphrase({"--encrypt", "ccmp", "--records", "6000"}), {"wpa-pwd:wrong horse:kestrine-lab"}}),
    [](const testing::TestParamInfo<threaded_case>& param) { return std::string(param.param.name); });

// The corpus's real captures, each with the keys its KEYS.tsv gives.
TEST(threads_real_captures, two_threads_write_what_one_writes)
{
    const auto corpus = test::shared_captures();
    const fs::path listed[] = {corpus ? *corpus / "KEYS.tsv" : fs::path("../shared/captures/KEYS.tsv"),
                               corpus ? *corpus / "modern-keyed" / "KEYS.tsv" : fs::path()};
    if (!corpus || !fs::exists(listed[0]))
        GTEST_SKIP() << "no " << listed[0];
    test::scratch_dir dir;
    int files = 0;
    for (const fs::path& keys_file : listed) {
        std::ifstream keys(keys_file);
        std::string line;
        std::getline(keys, line);
        const auto names = test::split(line, '\t');
        std::size_t file_at = 0, type_at = 0, key_at = 0;
        for (std::size_t i = 0; i < names.size(); ++i) {
            file_at = names[i] == "file" ? i : file_at;
            type_at = names[i] == "key_type" ? i : type_at;
            key_at = names[i] == "key" ? i : key_at;
        }
        while (std::getline(keys, line)) {
            const auto fields = test::split(line, '\t');
            ASSERT_GT(fields.size(), std::max({file_at, type_at, key_at}));
            SCOPED_TRACE(fields[file_at]);
            const std::string key = fields[type_at] + ":" + fields[key_at];
            for (const auto& options : option_sets)
                expect_same_runs(keys_file.parent_path() / fields[file_at], join({"--key", key}, options), dir);
            ++files;
        }
    }
    EXPECT_GE(files, 7);
}

// Faults with a second thread at work: what is written and said is what
// one thread writes and says.
class threads_faults : public testing::Test {
protected:
    void SetUp() override
    {
        const auto made = test::run_program(join({KESTRINE_GEN_BINARY, "--seed", "4", "--encrypt", "ccmp", "--records",
                                                  "12000", "--stations", "2", "--group-handshake"},
                                                 join(passphrase, {(dir / "in.pcap").string()})));
        ASSERT_EQ(made.status, 0) << made.err;
    }
    test::scratch_dir dir;
};

TEST_F(threads_faults, damaged_input_keeps_what_comes_before)
{
    test::bytes whole = test::read_file(dir / "in.pcap");
    whole.resize(whole.size() * 2 / 3); // a record cut short near two thirds
    test::write_file(dir / "cut.pcap", whole);
    EXPECT_GT(expect_same_runs(dir / "cut.pcap", {"--key", passphrase_key, "--stats"}, dir), 1000u);
}

TEST_F(threads_faults, full_disk_fails_alike)
{
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    std::vector<test::run_result> runs;
    for (const char* threads : {"1", "2"})
        runs.push_back(test::run_kestrine({"-j", threads, "-k", passphrase_key, (dir / "in.pcap").string(), "/dev/full"}));
    EXPECT_EQ(runs[0].status, 255);
    EXPECT_EQ(runs[1].status, 255);
    EXPECT_EQ(runs[0].err, runs[1].err);
    EXPECT_EQ(runs[0].out, runs[1].out);
}

// From a pipe, the held records are written whenever the input pauses;
// to a reader that leaves early, the run ends as one thread's does.
TEST_F(threads_faults, pipes_in_and_out)
{
    const std::string in = (dir / "in.pcap").string();
    for (const char* threads : {"1", "2"}) {
        const std::string command = std::string("cat '") + in + "' | " + KESTRINE_BINARY + " -j " + threads + " -k '" +
                                    passphrase_key + "' - '" + (dir / "piped-").string() + threads + ".pcap'";
        const auto run = test::run_program({"/bin/sh", "-c", command});
        EXPECT_EQ(run.status, 0) << run.err;
    }
    EXPECT_TRUE(test::read_file(dir / "piped-1.pcap") == test::read_file(dir / "piped-2.pcap"));
    // The status, and any message, of a run whose reader leaves after
    // 1000 bytes: SIGPIPE's default, then SIGPIPE ignored.
    for (const char* sigpipe : {"", "trap '' PIPE; "}) {
        std::vector<test::run_result> runs;
        for (const char* threads : {"1", "2"})
            runs.push_back(test::run_program(
                {"/bin/sh", "-c",
                 std::string("(") + sigpipe + KESTRINE_BINARY + " -j " + threads + " -k '" + passphrase_key + "' '" +
                     in + "' -; echo \"status $?\" >&2) | head -c 1000 >/dev/null"}));
        EXPECT_NE(runs[0].err.find("status "), std::string::npos);
        EXPECT_EQ(runs[0].err, runs[1].err);
    }
}

} // namespace
