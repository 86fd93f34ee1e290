// --write-keys: the temporal keys a run derives, as KEYs that travel to the
// next file. A capture split with editcap: the second part, decrypted
// with --keys of the log its first part's run wrote, gives the records a
// run over the whole capture writes for it, and tshark given the logged
// keys as its "tk" keys opens the same frames. The log is private, written
// while the run goes on, holds no passphrase or PMK, and no failure
// repeats a secret.
#include "gen.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <iostream>
#include <regex>
#include <set>

namespace {

namespace fs = std::filesystem;

const std::string passphrase = "correct horse";
const std::string passphrase_key = "wpa-pwd:" + passphrase + ":kestrine-lab";
const std::string pmk = "6b0e3f7a1c2d4e5f60718293a4b5c6d7e8f9011223344556677889900aabbccd";

fs::path generate(const fs::path& path, std::vector<std::string> args)
{
    args.insert(args.begin(), KESTRINE_GEN_BINARY);
    args.insert(args.end(), {"--records", "600", "--seed", "11", path.string()});
    EXPECT_EQ(test::run_program(args).status, 0);
    return path;
}

std::int64_t nanoseconds(const test::record& r) { return r.seconds * 1000000000 + r.fraction; }

// The times of the frames tshark opens, given `keys` as its "tk" keys.
std::set<std::int64_t> opened_by_tshark(const fs::path& capture, const std::vector<std::string>& keys)
{
    std::vector<std::string> args = {test::tshark_path(), "-r", capture.string(), "-o", "wlan.enable_decryption:TRUE",
                                     "-Y", "wlan.fc.protected == 1", "-T", "fields", "-e", "frame.time_epoch",
                                     "-e", "frame.protocols"};
    for (const std::string& key : keys)
        args.insert(args.end(), {"-o", "uat:80211_keys:\"tk\",\"" + key + "\""});
    std::set<std::int64_t> opened;
    for (const std::string& line : test::split(test::run_program(args).out, '\n'))
        if (const auto fields = test::split(line, '\t'); fields.size() == 2 && !fields[1].ends_with("wlan:data"))
            opened.insert(test::micros_of(fields[0]) * 1000);
    return opened;
}

// The passphrase's PMK, by the generator's PBKDF2 over libcrypto, in hex.
std::string pmk_of_passphrase()
{
    std::array<std::uint8_t, 32> derived{};
    const std::string ssid = "kestrine-lab";
    EXPECT_TRUE(gen::own_pmk_from_passphrase(passphrase, gen::byte_span(reinterpret_cast<const std::uint8_t*>(ssid.data()), ssid.size()), derived));
    std::string hex;
    for (const std::uint8_t byte : derived)
        hex += "0123456789abcdef"[byte >> 4], hex += "0123456789abcdef"[byte & 15];
    return hex;
}

TEST(key_log, a_split_capture_decrypts_from_the_log_of_its_first_part)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed (it splits the capture and checks the keys)";
    const auto with_passphrase = [](std::vector<std::string> args) {
        args.insert(args.end(), {"--passphrase", passphrase, "--ssid", "kestrine-lab"});
        return args;
    };
    struct split_case {
        const char* name;
        std::vector<std::string> generator_args;
        std::string key;
        // Part 2 holds handshakes of its own (rekeys, reconnections): its
        // run is given the key too; the logged keys hold until they are
        // replaced. (A group key handshake needs its pair's KEK, which no
        // log holds.)
        bool key_for_part_two = false;
        bool tshark_decrypts = true; // tshark 4.0 knows no multi-link network
    };
    const std::vector<split_case> cases = {
        {"ccmp", with_passphrase({"--encrypt", "ccmp", "--stations", "3"}), passphrase_key},
        {"tkip", with_passphrase({"--encrypt", "tkip", "--stations", "2"}), passphrase_key},
        {"gcmp256_sae", {"--encrypt", "gcmp256", "--akm", "8", "--pmk", pmk}, "wpa-psk:" + pmk},
        {"group_handshake", with_passphrase({"--encrypt", "ccmp256", "--group-handshake"}), passphrase_key},
        {"tdls", with_passphrase({"--encrypt", "ccmp", "--tdls", "--stations", "3"}), passphrase_key},
        {"extended_key_id", with_passphrase({"--encrypt", "ccmp", "--extended-key-id"}), passphrase_key, true},
        {"reconnections", with_passphrase({"--encrypt", "gcmp", "--protected-management", "--stations", "3"}),
         passphrase_key, true},
        // Part 2's frames on every link, under keys bound to the MLDs.
        {"multi_link", with_passphrase({"--encrypt", "ccmp", "--mlo-links", "3", "--stations", "2", "--mlo-rekey-every", "0"}),
         passphrase_key, false, false},
    };
    const std::string derived_pmk = pmk_of_passphrase();
    for (const split_case& c : cases) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        const auto path = [&dir](const char* name) { return (dir / name).string(); };
        const fs::path whole = generate(dir / "whole.pcap", c.generator_args);
        for (const auto& [range, part] : {std::pair{"1-300", "part1.pcap"}, {"301-600", "part2.pcap"}})
            ASSERT_EQ(test::run_program({"/usr/bin/editcap", "-r", whole.string(), path(part), range}).status, 0);
        // An older log, readable by all: made private, then emptied.
        test::write_file(dir / "keys.log", {'o', 'l', 'd', '\n'});
        fs::permissions(dir / "keys.log", fs::perms::group_read | fs::perms::others_read, fs::perm_options::add);
        std::vector<std::string> second = {"--keys", path("keys.log"), path("part2.pcap"), path("out2.pcap")};
        if (c.key_for_part_two)
            second.insert(second.begin(), {"-k", c.key});
        for (const auto& args : {std::vector<std::string>{"-k", c.key, "--write-keys", path("keys.log"),
                                                          path("part1.pcap"), path("out1.pcap")},
                                 std::vector<std::string>{"-k", c.key, whole.string(), path("all.pcap")}, second})
            ASSERT_EQ(test::run_kestrine(args).status, 0);

        // The whole run's records of part 2's frames, and no other.
        const auto part2 = test::read_capture(dir / "part2.pcap", true);
        const auto whole_out = test::read_capture(dir / "all.pcap", true);
        const auto out2 = test::read_capture(dir / "out2.pcap", true);
        ASSERT_TRUE(part2 && whole_out && out2 && !part2->records.empty());
        std::vector<test::record> expected;
        for (const test::record& r : whole_out->records)
            if (nanoseconds(r) >= nanoseconds(part2->records.front()))
                expected.push_back(r);
        ASSERT_EQ(out2->records.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i)
            EXPECT_TRUE(out2->records[i].data == expected[i].data &&
                        nanoseconds(out2->records[i]) == nanoseconds(expected[i])) << "record " << i;
        EXPECT_GT(expected.size(), 200u);

        // The log: private, KEYs only, no passphrase, no PMK.
        EXPECT_EQ(fs::status(dir / "keys.log").permissions() & fs::perms::all,
                  fs::perms::owner_read | fs::perms::owner_write);
        const test::bytes log_bytes = test::read_file(dir / "keys.log");
        const std::string log(log_bytes.begin(), log_bytes.end());
        static const std::regex key_line(
            "(wpa-tk:([0-9a-f]{2}:){6}([0-9a-f]{2}:){6}[01]|wpa-gtk:([0-9a-f]{2}:){6}[0-3]):"
            "(tkip:[0-9a-f]{64}|ccmp:[0-9a-f]{32}|gcmp:[0-9a-f]{32}|ccmp-256:[0-9a-f]{64}|gcmp-256:[0-9a-f]{64})"
            "((:[0-9a-f]{2}){6}){0,2}");
        std::size_t multi_link_lines = 0;
        std::vector<std::string> temporal_keys;
        for (const std::string& line : test::split(log, '\n')) {
            EXPECT_TRUE(line.empty() || std::regex_match(line, key_line)) << "not a KEY the log may hold";
            if (line.empty())
                continue;
            const auto fields = test::split(line, ':');
            const std::size_t hex_at = line.starts_with("wpa-tk:") ? 15 : 9;
            multi_link_lines += fields.size() > hex_at + 1 ? 1u : 0u;
            // tshark takes TKIP's TK without the two Michael keys behind it.
            const std::string key = fields[std::min(hex_at, fields.size() - 1)];
            temporal_keys.push_back(line.find(":tkip:") != std::string::npos ? key.substr(0, 32) : key);
        }
        EXPECT_GE(temporal_keys.size(), 2u);
        // Two stations' pairwise keys on three links, three links' group keys.
        EXPECT_EQ(multi_link_lines, c.tshark_decrypts ? 0u : 9u);
        for (const std::string& secret : {passphrase, pmk, derived_pmk})
            EXPECT_EQ(log.find(secret), std::string::npos);

        // tshark opens part 2's frames with the logged keys alone, as
        // kestrine does, where part 2 needs no handshake of its own.
        if (!c.key_for_part_two && c.tshark_decrypts) {
            ASSERT_EQ(test::run_kestrine({"--decrypt-only", "--keys", path("keys.log"), path("part2.pcap"),
                                          path("plain2.pcap")}).status, 0);
            const auto plain2 = test::read_capture(dir / "plain2.pcap", true);
            ASSERT_TRUE(plain2 && plain2->records.size() == part2->records.size());
            std::set<std::int64_t> decrypted;
            for (std::size_t i = 0; i < part2->records.size(); ++i)
                if (plain2->records[i].data != part2->records[i].data)
                    decrypted.insert(nanoseconds(part2->records[i]));
            EXPECT_TRUE(opened_by_tshark(dir / "part2.pcap", temporal_keys) == decrypted) << decrypted.size();
            std::cout << c.name << ": part 2's " << decrypted.size()
                      << " frames decrypted from the log, the frames tshark opens with the logged tk keys\n";
        }
        std::cout << c.name << ": " << temporal_keys.size() << " keys logged from part 1; part 2's "
                  << out2->records.size() << " records written as the whole run writes them\n";
    }
}

// The log is written as keys appear: a live capture's keys are there
// while the run still waits for its input.
TEST(key_log, is_written_while_the_run_goes_on)
{
    test::scratch_dir dir;
    const fs::path capture = generate(dir / "in.pcap", {"--encrypt", "ccmp", "--passphrase", passphrase, "--ssid",
                                                        "kestrine-lab", "--stations", "3"});
    const auto records = test::read_capture(capture);
    ASSERT_TRUE(records);
    std::size_t head = 24; // the first 100 records, all three handshakes among them
    for (std::size_t i = 0; i < 100; ++i)
        head += 16 + records->records[i].data.size();
    const std::string script =
        "{ head -c " + std::to_string(head) + " \"$1\"; i=0; while [ ! -s \"$2\" ] && [ $i -lt 100 ]; do "
        "sleep 0.1; i=$((i + 1)); done; [ -s \"$2\" ] && echo seen >\"$3\"; tail -c +" + std::to_string(head + 1) +
        " \"$1\"; } | \"$4\" -k \"$5\" --write-keys \"$2\" - \"$6\"";
    const auto run = test::run_program({"/bin/sh", "-c", script, "sh", capture.string(), (dir / "keys.log").string(),
                                        (dir / "seen").string(), KESTRINE_BINARY, passphrase_key,
                                        (dir / "out.pcap").string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(dir / "seen")) << "no key in the log until the input ended";
}

// Every refusal and failure of the log and of the new KEYs is one line,
// status 255, repeats no secret, and leaves the files it names as they were.
TEST(key_log, failures_are_one_line_and_keep_secrets)
{
    test::scratch_dir dir;
    const fs::path in = generate(dir / "in.pcap", {"--encrypt", "ccmp", "--passphrase", passphrase, "--ssid",
                                                   "kestrine-lab", "--stations", "2"});
    const std::string tk = "wpa-tk:02:1a:11:f0:00:01:02:5c:00:00:00:01:";
    const std::string hex = "00112233445566778899aabbccddeeff";
    test::write_file(dir / "keys.txt", {'#', '\n'});
    const std::string keys = (dir / "keys.txt").string();
    const std::uint64_t input_digest = test::digest(test::read_file(in));
    struct failure {
        const char* name;
        std::vector<std::string> args; // before IN and OUT
        std::string error;             // after "kestrine: "
        std::string hidden = passphrase;
    };
    const std::vector<failure> cases = {
        {"a KEY for the log", {"--write-keys", "wpa-pwd:" + passphrase + ":net"},
         "the argument of --write-keys looks like a KEY; --key takes a KEY"},
        {"a logged KEY for a keys file", {"--keys", tk + "0:ccmp:" + hex},
         "the argument of --keys looks like a KEY; --key takes a KEY", hex},
        {"the log on standard output", {"--write-keys", "-"}, "--write-keys: standard output cannot hold the keys; name a file"},
        {"the log is the input", {"--write-keys", in.string()}, "--write-keys " + in.string() + ": it is the input file"},
        {"the log is the keys file", {"--keys", keys, "--write-keys", keys}, "--write-keys " + keys + ": it is a keys file"},
        {"a folder that is not there", {"--write-keys", (dir / "none" / "keys.log").string()},
         "--write-keys " + (dir / "none" / "keys.log").string() + ": No such file or directory"},
        {"a full disk", {"--write-keys", "/dev/full"}, "--write-keys /dev/full: No space left on device"},
        {"a TK of one address", {"-k", "wpa-tk:02:1a:11:f0:00:01:0:ccmp:" + hex},
         "--key: a wpa-tk key is wpa-tk:AA:SPA:KEYID:CIPHER:HEX[:AP-MLD:STA-MLD]", hex},
        {"a pairwise key ID of 2", {"-k", tk + "2:ccmp:" + hex}, "--key: a pairwise key ID is 0 or 1", hex},
        {"a group key ID of 4", {"-k", "wpa-gtk:02:1a:11:f0:00:01:4:ccmp:" + hex}, "--key: a group key ID is 0 to 3", hex},
        {"an unknown cipher", {"-k", tk + "0:wep:" + hex}, "--key: a CIPHER is tkip, ccmp, ccmp-256, gcmp or gcmp-256", hex},
        {"a TK too short for its cipher", {"-k", tk + "0:gcmp-256:" + hex},
         "--key: a temporal key is 32 hex digits for ccmp and gcmp, 64 for tkip, ccmp-256 and gcmp-256", hex},
    };
    for (const failure& c : cases) {
        SCOPED_TRACE(c.name);
        auto args = c.args;
        if (c.args[0] != "-k")
            args.insert(args.begin(), {"-k", passphrase_key});
        args.insert(args.end(), {in.string(), (dir / "out.pcap").string()});
        const auto run = test::run_kestrine(args);
        EXPECT_EQ(run.status, 255);
        EXPECT_EQ(run.err, "kestrine: " + c.error + "\n");
        EXPECT_EQ((run.out + run.err).find(c.hidden), std::string::npos);
        EXPECT_EQ(test::read_file(dir / "keys.txt"), (test::bytes{'#', '\n'}));
        EXPECT_EQ(test::digest(test::read_file(in)), input_digest);
        std::error_code ignored;
        fs::remove(dir / "out.pcap", ignored);
    }
}

} // namespace
