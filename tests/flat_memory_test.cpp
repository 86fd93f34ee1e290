// Memory stays flat: the peak resident memory of converting a large capture
// is within 2 MiB of converting a 1 MB one, and under 8 MiB. Not a timing
// test: only the peaks are compared.
//
// The large capture is 40 MB in every test run; with KESTRINE_MEMORY_CHECK=1
// (`make memory-check`, which CI calls) it is 1 GB. It is written into a
// scratch folder and removed right after. Never in a sanitizer build, whose
// own bookkeeping grows.
#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

struct measured_run {
    int status = -1;
    long peak_kib = 0; // peak resident set size of the child
};

// Runs a program with standard output and error going to /dev/null and
// reports its exit status and peak resident memory.
measured_run run_measured(const std::vector<std::string>& argv)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    measured_run run;
    if (spawned != 0) {
        ADD_FAILURE() << "cannot start " << argv[0] << ": " << std::strerror(spawned);
        return run;
    }
    int wait_status = 0;
    rusage usage{};
    while (wait4(pid, &wait_status, 0, &usage) < 0) {
    }
    run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    run.peak_kib = usage.ru_maxrss;
    return run;
}

// Peak memory of converting a generated capture of `size` bytes; the
// capture is removed right after.
long conversion_peak_kib(const fs::path& dir, std::uint64_t size)
{
    const fs::path capture = dir / ("in-" + std::to_string(size) + ".pcap");
    const measured_run gen = run_measured({KESTRINE_GEN_BINARY, "--bytes", std::to_string(size), capture.string()});
    EXPECT_EQ(gen.status, 0);
    EXPECT_GE(fs::file_size(capture), size * 99 / 100);
    const measured_run run = run_measured({KESTRINE_BINARY, capture.string(), "/dev/null"});
    EXPECT_EQ(run.status, 0);
    fs::remove(capture);
    return run.peak_kib;
}

TEST(flat_memory, peak_does_not_grow_with_the_input)
{
    if (sanitized)
        GTEST_SKIP() << "peak memory means nothing under AddressSanitizer";
    const char* full_check = std::getenv("KESTRINE_MEMORY_CHECK");
    const bool gigabyte = full_check != nullptr && std::strcmp(full_check, "1") == 0;
    const std::uint64_t large_size = gigabyte ? 1000000000 : 40000000;

    test::scratch_dir dir;
    const long small = conversion_peak_kib(dir.path, 1000000);
    const long large = conversion_peak_kib(dir.path, large_size);
    RecordProperty("peak_kib_1_mb", std::to_string(small));
    RecordProperty("peak_kib_large", std::to_string(large));
    std::printf("peak resident memory: %ld KiB for 1 MB, %ld KiB for %llu MB\n", small, large,
                static_cast<unsigned long long>(large_size / 1000000));
    EXPECT_GT(small, 0);
    EXPECT_LE(large, small + 2048) << "the large capture took " << large - small << " KiB more than 1 MB";
    EXPECT_LT(large, 8 * 1024) << "peak RSS " << large << " KiB";
}

// The first two EAPOL-Key frames (messages 1 and 2 of a 4-way handshake)
// of a generated capture of bare 802.11 records.
std::vector<test::record> first_handshake(const fs::path& capture)
{
    const std::optional<test::capture> read = test::read_capture(capture);
    EXPECT_TRUE(read.has_value());
    std::vector<test::record> messages;
    const test::bytes eapol_llc = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x88, 0x8E};
    for (const test::record& r : read ? read->records : std::vector<test::record>{})
        if (messages.size() < 2 && r.data.size() > 32 && std::equal(eapol_llc.begin(), eapol_llc.end(), r.data.begin() + 24))
            messages.push_back(r);
    EXPECT_EQ(messages.size(), 2u);
    return messages;
}

// A pair whose handshakes alternate between one no key matches and one
// that matches makes the tracker note the pair as unmatched and forget it,
// again and again: what it keeps must not grow with the number of them.
TEST(flat_memory, alternating_matched_and_unmatched_handshakes)
{
#ifdef KESTRINE_INSTRUMENTED
    GTEST_SKIP() << "peak memory means nothing under a sanitizer";
#endif
    test::scratch_dir dir;
    // The same seed makes the same station and nonces; only the
    // passphrase, and so the MICs, differ.
    std::vector<std::vector<test::record>> handshakes;
    for (const char* passphrase : {"matched passphrase", "passphrase no key matches"}) {
        const fs::path made = dir / "made.pcap";
        const measured_run gen = run_measured({KESTRINE_GEN_BINARY, "--link", "bare", "--encrypt", "ccmp",
                                               "--passphrase", passphrase, "--ssid", "lab", "--stations", "1",
                                               "--records", "20", "--seed", "9", made.string()});
        ASSERT_EQ(gen.status, 0);
        handshakes.push_back(first_handshake(made));
    }
    std::vector<test::record> round = handshakes[0];
    round.insert(round.end(), handshakes[1].begin(), handshakes[1].end());
    const test::bytes round_bytes = test::capture_file_bytes(round);
    constexpr std::size_t file_header_size = 24;
    // Written a round at a time: the spawned child starts with this
    // process's memory, which counts in its peak.
    const auto peak_kib = [&](std::size_t rounds) {
        const fs::path capture = dir / "alternating.pcap";
        {
            std::ofstream out(capture, std::ios::binary);
            out.write(reinterpret_cast<const char*>(round_bytes.data()), file_header_size);
            for (std::size_t i = 0; i < rounds; ++i)
                out.write(reinterpret_cast<const char*>(round_bytes.data() + file_header_size),
                          static_cast<std::streamsize>(round_bytes.size() - file_header_size));
        }
        const measured_run run = run_measured({KESTRINE_BINARY, "--threads", "1", "-k", "wpa-pwd:matched passphrase:lab",
                                               capture.string(), "/dev/null"});
        EXPECT_EQ(run.status, 0);
        return run.peak_kib;
    };
    const long few = peak_kib(2000);
    const long many = peak_kib(60000);
    std::printf("peak resident memory: %ld KiB for 2,000 rounds, %ld KiB for 60,000\n", few, many);
    EXPECT_LE(many, few + 1024) << "60,000 rounds took " << many - few << " KiB more than 2,000";
}

} // namespace
