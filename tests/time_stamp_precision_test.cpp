// --time-stamp-precision=nano (--nano): a nanosecond pcap and every record
// at the input's full precision, as tshark reads the input's times;
// microsecond inputs gain zeros. Without the option, or with
// --time-stamp-precision=micro, every output is the microsecond capture
// it always was.
#include "test_support.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

namespace fs = std::filesystem;

// Each frame's time as tshark reads it, in nanoseconds.
std::vector<std::int64_t> times_by_tshark(const fs::path& capture)
{
    const auto listed = test::run_program({test::tshark_path(), "-r", capture.string(), "-T", "fields", "-e",
                                           "frame.time_epoch"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    std::vector<std::int64_t> times;
    for (const std::string& line : test::split(listed.out, '\n')) {
        if (line.empty())
            continue;
        std::string fraction = line.substr(line.find('.') + 1);
        fraction.resize(9, '0');
        times.push_back(std::stoll(line.substr(0, line.find('.'))) * 1000000000 + std::stoll(fraction));
    }
    return times;
}

std::vector<std::int64_t> times_written(const fs::path& capture)
{
    const auto read = test::read_capture(capture, true);
    EXPECT_TRUE(read && read->nanosecond_file) << "not a nanosecond pcap";
    std::vector<std::int64_t> times;
    if (read)
        for (const test::record& r : read->records)
            times.push_back(r.seconds * 1000000000 + r.fraction);
    return times;
}

// True when `some` are among `all`, in order.
bool in_order_among(const std::vector<std::int64_t>& some, const std::vector<std::int64_t>& all)
{
    std::size_t at = 0;
    for (const std::int64_t t : some) {
        while (at < all.size() && all[at] != t)
            ++at;
        if (at++ == all.size())
            return false;
    }
    return true;
}

TEST(time_stamp_precision, nanoseconds_kept_from_every_input)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    test::scratch_dir dir;
    // Frames a few hundred nanoseconds apart, and at a second's last one.
    std::vector<test::record> records;
    for (const std::int64_t fraction : {1, 301, 601, 999999999, 123456789})
        records.push_back({1767225600, fraction, 0, 0, test::data_frame(0x08, 0x02, 40)});
    test::write_capture(dir / "ns.pcap", records, {.nanoseconds = true});
    for (auto& r : records)
        r.fraction /= 1000;
    test::write_capture(dir / "us.pcap", records);
    ASSERT_EQ(test::run_program({"/usr/bin/editcap", "-F", "pcapng", (dir / "ns.pcap").string(),
                                 (dir / "ns.pcapng").string()}).status, 0);
    struct input_case {
        const char* name;
        fs::path input;
        std::vector<std::string> args;
        bool one_to_one; // every record written
    };
    std::vector<input_case> cases = {
        {"nanosecond pcap", dir / "ns.pcap", {"--time-stamp-precision=nano"}, true},
        {"nanosecond pcapng", dir / "ns.pcapng", {"--nano"}, true},
        {"microsecond pcap", dir / "us.pcap", {"--nano"}, true},
        {"nanosecond pcapng through a pipe, two threads", dir / "ns.pcapng", {"--nano", "-j", "2", "-"}, true},
    };
    const auto corpus = test::shared_captures();
    const fs::path gcmp = corpus ? *corpus / "modern-keyed" / "wireshark__wpa-gcmp.pcapng" : fs::path();
    if (corpus && fs::exists(gcmp)) {
        const std::string key = "wpa-pwd:12345678:Wireshark-gcmp";
        cases.push_back({"real pcapng, decrypted", gcmp, {"--nano", "-k", key}, false});
        cases.push_back({"real pcapng, decrypt-only, two threads", gcmp, {"--nano", "--decrypt-only", "-j", "2", "-k", key}, true});
    } else {
        std::cout << "no " << gcmp << ": the real nanosecond capture left out\n";
    }
    for (const input_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        fs::path stdin_path;
        if (args.back() == "-") { // read from standard input
            stdin_path = c.input;
        } else {
            args.push_back(c.input.string());
        }
        args.push_back((dir / "out.pcap").string());
        const auto run = test::run_kestrine(args, stdin_path);
        ASSERT_EQ(run.status, 0) << run.err;
        const auto expected = times_by_tshark(c.input);
        const auto written = times_written(dir / "out.pcap");
        if (c.one_to_one)
            EXPECT_EQ(written, expected);
        else
            EXPECT_TRUE(in_order_among(written, expected));
        EXPECT_GT(written.size(), 4u);
        std::cout << c.name << ": " << written.size() << " records at tshark's times to the nanosecond\n";
    }
}

// Without --nano the output is the microsecond capture of old, byte for
// byte: --time-stamp-precision=micro changes nothing either.
TEST(time_stamp_precision, micro_is_what_it_always_was)
{
    test::scratch_dir dir;
    test::write_capture(dir / "ns.pcap", {{1767225600, 999999999, 0, 0, test::data_frame(0x08, 0x02, 40)}},
                        {.nanoseconds = true});
    const auto plain = test::run_kestrine({(dir / "ns.pcap").string(), (dir / "plain.pcap").string()});
    const auto micro = test::run_kestrine(
        {"--time-stamp-precision=micro", (dir / "ns.pcap").string(), (dir / "micro.pcap").string()});
    ASSERT_EQ(plain.status, 0);
    ASSERT_EQ(micro.status, 0);
    EXPECT_EQ(test::read_file(dir / "plain.pcap"), test::read_file(dir / "micro.pcap"));
    const auto read = test::read_capture(dir / "plain.pcap");
    ASSERT_TRUE(read && read->records.size() == 1);
    EXPECT_FALSE(read->nanosecond_file);
    EXPECT_EQ(read->records[0].fraction, 999999);

    const auto refused = test::run_kestrine({"--time-stamp-precision=pico", (dir / "ns.pcap").string(),
                                             (dir / "refused.pcap").string()});
    EXPECT_EQ(refused.status, 255);
    EXPECT_EQ(refused.err, "kestrine: option --time-stamp-precision takes micro or nano\n");
    EXPECT_FALSE(fs::exists(dir / "refused.pcap"));
}

} // namespace
