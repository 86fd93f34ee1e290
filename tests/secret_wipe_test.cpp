// Keys are wiped: a run under a shim (tests/shim/secret_scan.cpp) that
// looks for the key's bytes in every block the program frees and, once it
// has ended, in all of its writable memory, finds none of them, on a
// complete run with one thread and two as on the ways a run fails. The
// names of the files, which nothing wipes, are found: the shim sees what
// it is meant to.
#include "test_support.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#ifndef KESTRINE_SECRET_SCAN_SHIM
#error "KESTRINE_SECRET_SCAN_SHIM is set by tests/CMakeLists.txt"
#endif

namespace {

namespace fs = std::filesystem;

const std::string passphrase = "kestrine wipes what it was told";
const std::string ssid = "wipe-lab";
const std::string given_pmk = "0f1e2d3c4b5a69788796a5b4c3d2e1f00f1e2d3c4b5a69788796a5b4c3d2e1f0";
const std::string wep_key = "a1b2c3d4e5f60718293a4b5c6d";

std::string hex_of(const test::bytes& bytes)
{
    std::string hex;
    char digits[3];
    for (const std::uint8_t b : bytes) {
        std::snprintf(digits, sizeof digits, "%02x", b);
        hex += digits;
    }
    return hex;
}

std::string hex_of(const std::string& text) { return hex_of(test::bytes(text.begin(), text.end())); }

// The PMK a passphrase gives, through libcrypto.
test::bytes pmk_of(const std::string& pass, const std::string& name)
{
    test::bytes pmk(32);
    EXPECT_EQ(PKCS5_PBKDF2_HMAC_SHA1(pass.data(), static_cast<int>(pass.size()),
                                     reinterpret_cast<const unsigned char*>(name.data()),
                                     static_cast<int>(name.size()), 4096, 32, pmk.data()),
              1);
    return pmk;
}

struct wipe_case {
    const char* name;
    std::string keys_file;   // the last line may be refused
    std::string output;      // relative to the test's folder, or absolute
    std::vector<std::string> options;
    int status;
};

TEST(secrets, wiped_on_every_way_out)
{
#ifdef KESTRINE_INSTRUMENTED
    GTEST_SKIP() << "a sanitizer's allocator keeps freed blocks and its own memory maps of terabytes";
#endif
    test::scratch_dir dir;
    const fs::path input = dir / "protected-capture-whose-name-is-left.pcap";
    const auto made = test::run_program({KESTRINE_GEN_BINARY, "--encrypt", "ccmp", "--passphrase", passphrase,
                                         "--ssid", ssid, "--records", "3000", "--seed", "5", input.string()});
    ASSERT_EQ(made.status, 0) << made.err;

    const std::string keys = "wpa-pwd:" + passphrase + ":" + ssid + "\nwpa-psk:" + given_pmk + "\nwep:" + wep_key + "\n";
    // What must never be found, then what must be.
    const std::vector<std::string> secrets = {hex_of(passphrase), hex_of(pmk_of(passphrase, ssid)), given_pmk, wep_key};
    const fs::path keys_path = dir / "keys-file-whose-name-is-freed.txt";
    const std::vector<std::string> controls = {hex_of(keys_path.string()), hex_of(input.string())};

    const std::vector<wipe_case> cases = {
        {"two_threads", keys, "out.pcap", {"--threads", "2", "--stats"}, 0},
        {"one_thread", keys, "out.pcap", {"--threads", "1"}, 0},
        {"a_later_line_refused", keys + "wpa-pwd:short:" + ssid + "\n", "out.pcap", {}, 255},
        {"the_output_cannot_be_written", keys, "/dev/full", {"--threads", "2"}, 255},
    };
    for (const wipe_case& c : cases) {
        SCOPED_TRACE(c.name);
        test::write_file(keys_path, test::bytes(c.keys_file.begin(), c.keys_file.end()));
        const fs::path report = dir / (std::string(c.name) + ".report");
        std::string needles;
        for (const std::string& hex : secrets)
            needles += hex + ",";
        for (const std::string& hex : controls)
            needles += hex + ",";
        needles.pop_back();
        std::vector<std::string> args = c.options;
        const fs::path output = fs::path(c.output).is_absolute() ? fs::path(c.output) : dir / c.output;
        args.insert(args.end(), {"--keys", keys_path.string(), input.string(), output.string()});
        // Bound at once: a function bound on its first call saves the vector
        // registers on the stack, with whatever bytes they last held.
        const auto run = test::run_kestrine(args, {},
                                            {"LD_BIND_NOW=1", std::string("LD_PRELOAD=") + KESTRINE_SECRET_SCAN_SHIM,
                                             "KESTRINE_SECRETS=" + needles,
                                             "KESTRINE_SECRETS_REPORT=" + report.string()});
        EXPECT_EQ(run.status, c.status) << run.err;
        const test::bytes found = fs::exists(report) ? test::read_file(report) : test::bytes{};
        const std::string lines(found.begin(), found.end());
        for (std::size_t i = 0; i < secrets.size(); ++i) {
            EXPECT_EQ(lines.find("freed " + std::to_string(i) + "\n"), std::string::npos) << "secret " << i << " freed:\n" << lines;
            EXPECT_EQ(lines.find("left " + std::to_string(i) + "\n"), std::string::npos) << "secret " << i << " left:\n" << lines;
        }
        const std::string keys_name = std::to_string(secrets.size());
        const std::string input_name = std::to_string(secrets.size() + 1);
        EXPECT_NE(lines.find("freed " + keys_name + "\n"), std::string::npos) << lines;
        EXPECT_NE(lines.find("left " + input_name + "\n"), std::string::npos) << lines;
    }
}

// Whether a kestrine given `args`, killed by SIGABRT while it waits for
// its input on a pipe, has its core dumped, core files allowed.
bool dumps_core(const std::vector<std::string>& args, const fs::path& dir)
{
    int input[2];
    if (pipe(input) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        dup2(input[0], STDIN_FILENO);
        close(input[0]);
        close(input[1]);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        const rlimit unlimited{RLIM_INFINITY, RLIM_INFINITY};
        if (chdir(dir.c_str()) != 0 || setrlimit(RLIMIT_CORE, &unlimited) != 0)
            _exit(126);
        std::vector<char*> argv{const_cast<char*>(KESTRINE_BINARY)};
        for (const std::string& arg : args)
            argv.push_back(const_cast<char*>(arg.c_str()));
        argv.push_back(nullptr);
        execv(KESTRINE_BINARY, argv.data());
        _exit(127);
    }
    close(input[0]);
    // Asleep on the pipe: its keys are read by then.
    const fs::path stat_path = "/proc/" + std::to_string(child) + "/stat";
    for (int tries = 0; tries < 500; ++tries) {
        std::ifstream stat(stat_path);
        std::string pid, name, state;
        stat >> pid >> name >> state;
        if (state == "S")
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(child, SIGABRT);
    int status = 0;
    waitpid(child, &status, 0);
    close(input[1]);
    return WIFSIGNALED(status) && WCOREDUMP(status);
}

// No key reaches a core file: a run that holds one dumps none, where the
// same run without a key does.
TEST(secrets, no_core_dump_while_a_key_is_held)
{
    test::scratch_dir dir;
    if (!dumps_core({"-", "out.pcap"}, dir.path))
        GTEST_SKIP() << "no core is dumped here even without a key";
    EXPECT_FALSE(dumps_core({"-k", "wep:" + wep_key, "-", "out.pcap"}, dir.path));
    EXPECT_FALSE(dumps_core({"--keys", "/dev/null", "-k", "wpa-psk:" + given_pmk, "-", "out.pcap"}, dir.path));
}

} // namespace
