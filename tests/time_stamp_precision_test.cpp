// --time-stamp-precision=nano (--nano): a nanosecond pcap whose records keep
// the input's times to the nanosecond, as tshark reads them; microsecond
// inputs gain zeros. With =micro, or without it, the microsecond capture
// of old, byte for byte.
#include "test_support.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

namespace fs = std::filesystem;

// The time of each frame, in nanoseconds: as tshark reads the input, or as
// a nanosecond capture holds it.
std::vector<std::int64_t> times_by_tshark(const fs::path& capture)
{
    const auto listed =
        test::run_program({test::tshark_path(), "-r", capture.string(), "-T", "fields", "-e", "frame.time_epoch"});
    std::vector<std::int64_t> times;
    for (const std::string& line : test::split(listed.out, '\n')) {
        std::string fraction = line.substr(line.find('.') + 1);
        fraction.resize(9, '0');
        if (!line.empty())
            times.push_back(std::stoll(line.substr(0, line.find('.'))) * 1000000000 + std::stoll(fraction));
    }
    return times;
}

std::vector<std::int64_t> times_written(const fs::path& capture)
{
    const auto read = test::read_capture(capture, true);
    EXPECT_TRUE(read && read->nanosecond_file) << "not a nanosecond pcap";
    std::vector<std::int64_t> times;
    for (const test::record& r : read ? read->records : std::vector<test::record>{})
        times.push_back(r.seconds * 1000000000 + r.fraction);
    return times;
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
        std::vector<std::string> args; // "-": the input on standard input
        bool every_record = true;      // written, or converted
    };
    std::vector<input_case> cases = {
        {"nanosecond pcap", dir / "ns.pcap", {"--time-stamp-precision=nano"}},
        {"nanosecond pcapng", dir / "ns.pcapng", {"--nano"}},
        {"microsecond pcap", dir / "us.pcap", {"--nano"}},
        {"nanosecond pcapng through a pipe, two threads", dir / "ns.pcapng", {"--nano", "-j", "2", "-"}},
    };
    const auto corpus = test::shared_captures();
    const fs::path gcmp = corpus ? *corpus / "modern-keyed" / "wireshark__wpa-gcmp.pcapng" : fs::path();
    if (corpus && fs::exists(gcmp)) {
        const std::string key = "wpa-pwd:12345678:Wireshark-gcmp";
        cases.push_back({"real pcapng, decrypted", gcmp, {"--nano", "-k", key}, false});
        cases.push_back({"real pcapng, decrypt-only, two threads", gcmp, {"--nano", "--decrypt-only", "-j", "2", "-k", key}});
    } else {
        std::cout << "no " << gcmp << ": the real nanosecond capture left out\n";
    }
    for (const input_case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = c.args;
        if (args.back() != "-")
            args.push_back(c.input.string());
        args.push_back((dir / "out.pcap").string());
        const auto run = test::run_kestrine(args, args[args.size() - 2] == "-" ? c.input : fs::path());
        ASSERT_EQ(run.status, 0) << run.err;
        const auto expected = times_by_tshark(c.input);
        const auto written = times_written(dir / "out.pcap");
        if (c.every_record) {
            EXPECT_EQ(written, expected);
        } else { // the records converted, at their frames' times, in order
            std::size_t at = 0, found = 0;
            for (const std::int64_t t : written) {
                while (at < expected.size() && expected[at] != t)
                    ++at;
                found += at++ < expected.size() ? 1u : 0u;
            }
            EXPECT_EQ(found, written.size());
        }
        EXPECT_GT(written.size(), 4u);
        std::cout << c.name << ": " << written.size() << " records at tshark's times to the nanosecond\n";
    }

    // Without it, or =micro: the microsecond capture, byte for byte.
    const auto plain = test::run_kestrine({(dir / "ns.pcap").string(), (dir / "plain.pcap").string()});
    const auto micro =
        test::run_kestrine({"--time-stamp-precision=micro", (dir / "ns.pcap").string(), (dir / "micro.pcap").string()});
    ASSERT_TRUE(plain.status == 0 && micro.status == 0);
    EXPECT_EQ(test::read_file(dir / "plain.pcap"), test::read_file(dir / "micro.pcap"));
    const auto read = test::read_capture(dir / "plain.pcap");
    ASSERT_TRUE(read && read->records.size() == 5);
    EXPECT_FALSE(read->nanosecond_file);
    EXPECT_EQ(read->records[3].fraction, 999999);
    const auto refused = test::run_kestrine({"--time-stamp-precision=pico", "in", (dir / "refused.pcap").string()});
    EXPECT_EQ(refused.err, "kestrine: option --time-stamp-precision takes micro or nano\n");
    EXPECT_EQ(refused.status, 255);
}

} // namespace
