// Decryption against an independent decoder: tshark decrypts the same
// captures with the same keys, and every record kestrine writes must be a
// frame tshark decrypted (addresses, EtherType, payload, time, in order),
// and every convertible frame tshark decrypts must be written. A record
// tshark could not decrypt is accepted only where the input holds a
// protected frame with its timestamp: kestrine checked its MIC, so it is
// right to write what the other decoder misses.
//
// The real captures come with their keys in the corpus's KEYS.tsv; the
// generated ones are written here for every cipher. Skipped without tshark,
// and the real captures without the corpus.
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct frame_record {
    std::int64_t micros = 0;
    test::bytes bytes;
    bool operator==(const frame_record&) const = default;
};

// What tshark makes of the input's Data frames, with decryption on.
struct oracle {
    std::vector<frame_record> decrypted;   // convertible frames tshark decrypted, as Ethernet
    std::set<std::int64_t> undecrypted;   // times of protected frames tshark left as they were
    std::size_t protected_frames = 0;
};

struct tshark_key {
    std::string type; // wep, wpa-pwd, wpa-psk or tk
    std::string key;
};

oracle ask_tshark(const fs::path& input, const std::vector<tshark_key>& keys)
{
    std::vector<std::string> common = {test::tshark_path(), "-r", input.string(), "-o", "wlan.enable_decryption:TRUE",
                                       "-Y", "wlan.fc.type_subtype == 0x20 || wlan.fc.type_subtype == 0x28"};
    for (const auto& key : keys)
        common.insert(common.end(), {"-o", "uat:80211_keys:\"" + key.type + "\",\"" + key.key + "\""});
    auto fields_args = common;
    for (const char* field : {"frame.time_epoch", "wlan.fc.protected", "wlan.fc.ds", "wlan.da", "wlan.sa"})
        fields_args.insert(fields_args.end(), {"-e", field});
    fields_args.insert(fields_args.end(), {"-T", "fields", "-E", "separator=/t"});
    const auto rows = test::run_program(fields_args);
    auto dump_args = common;
    dump_args.push_back("-x");
    const auto dumps = test::run_program(dump_args);
    EXPECT_EQ(rows.status, 0) << rows.err;
    EXPECT_EQ(dumps.status, 0) << dumps.err;

    // One block of hex dumps a frame, blocks apart by a blank line; the
    // plaintext follows a "Decrypted ... data (N bytes):" line.
    std::vector<test::bytes> plaintexts;
    std::vector<bool> was_decrypted;
    std::stringstream lines(dumps.out);
    std::string line;
    bool in_block = false;
    std::size_t wanted = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) {
            in_block = false;
            wanted = 0;
            continue;
        }
        if (!in_block) {
            in_block = true;
            plaintexts.emplace_back();
            was_decrypted.push_back(false);
        }
        if (line.rfind("Decrypted ", 0) == 0) {
            // The frame's plaintext comes first; a decrypted EAPOL-Key's
            // Key Data may follow as a source of its own.
            wanted = was_decrypted.back() ? 0 : std::stoul(line.substr(line.find('(') + 1));
            was_decrypted.back() = true;
            continue;
        }
        for (std::size_t at = 6; wanted > 0 && at + 1 < line.size() && at < 6 + 48; at += 3) {
            plaintexts.back().push_back(static_cast<std::uint8_t>(std::stoi(line.substr(at, 2), nullptr, 16)));
            --wanted;
        }
    }

    oracle result;
    const auto row_lines = test::split(rows.out, '\n');
    std::size_t index = 0;
    for (const std::string& row_line : row_lines) {
        if (row_line.empty())
            continue;
        const auto f = test::split(row_line, '\t');
        EXPECT_GE(f.size(), 5u) << row_line;
        if (f.size() < 5 || index >= plaintexts.size())
            break;
        const test::bytes& plain = plaintexts[index];
        const bool decrypted = was_decrypted[index++];
        const bool is_protected = f[1] == "1" || f[1] == "True";
        const std::int64_t micros = test::micros_of(f[0]);
        if (!is_protected)
            continue;
        ++result.protected_frames;
        if (!decrypted) {
            result.undecrypted.insert(micros);
            continue;
        }
        if (f[2] == "0x3" || f[2] == "3" || plain.size() < 8 + 21)
            continue;
        frame_record record{micros, test::mac_bytes(f[3])};
        const test::bytes source = test::mac_bytes(f[4]);
        record.bytes.insert(record.bytes.end(), source.begin(), source.end());
        record.bytes.insert(record.bytes.end(), plain.begin() + 6, plain.end());
        result.decrypted.push_back(record);
    }
    EXPECT_EQ(index, plaintexts.size()) << "tshark's two listings disagree";
    return result;
}

std::vector<frame_record> records_of(const fs::path& path)
{
    std::vector<frame_record> out;
    const auto capture = test::read_capture(path);
    EXPECT_TRUE(capture.has_value()) << path;
    if (capture)
        for (const auto& r : capture->records)
            out.push_back({r.seconds * 1000000 + r.fraction, r.data});
    return out;
}

// Converts with and without the key and checks the difference against
// tshark. Returns the number of decrypted records written.
std::size_t check_against_tshark(const fs::path& input, const std::string& kestrine_key,
                                 const std::string& tshark_type, const std::string& tshark_key)
{
    test::scratch_dir dir;
    const auto plain_run = test::run_kestrine({input.string(), (dir / "plain.pcap").string()});
    const auto keyed_run = test::run_kestrine({"-k", kestrine_key, input.string(), (dir / "keyed.pcap").string()});
    EXPECT_EQ(plain_run.status, 0) << plain_run.err;
    EXPECT_EQ(keyed_run.status, 0) << keyed_run.err;
    const auto plain = records_of(dir / "plain.pcap");
    const auto keyed = records_of(dir / "keyed.pcap");

    // The records of the run without a key come back unchanged, in order;
    // what else the keyed run wrote was decrypted.
    std::vector<frame_record> decrypted;
    std::size_t p = 0;
    for (const auto& record : keyed) {
        if (p < plain.size() && record == plain[p])
            ++p;
        else
            decrypted.push_back(record);
    }
    EXPECT_EQ(p, plain.size()) << "a record of the run without a key is missing";

    const oracle expected = ask_tshark(input, {{tshark_type, tshark_key}});
    std::size_t t = 0;
    std::size_t unconfirmed = 0;
    for (const auto& record : decrypted) {
        if (t < expected.decrypted.size() && record == expected.decrypted[t]) {
            ++t;
            continue;
        }
        ++unconfirmed;
        EXPECT_TRUE(expected.undecrypted.count(record.micros) != 0)
            << "record at " << record.micros << " us (" << record.bytes.size()
            << " bytes) is no frame tshark decrypts, nor one it left protected; tshark's next: "
            << (t < expected.decrypted.size() ? std::to_string(expected.decrypted[t].micros) + " us, " +
                                                    std::to_string(expected.decrypted[t].bytes.size()) + " bytes"
                                              : std::string("none"));
    }
    EXPECT_EQ(t, expected.decrypted.size()) << "frames tshark decrypts that kestrine did not write";
    std::cout << input.filename().string() << ": " << decrypted.size() << " decrypted records, " << t
              << " confirmed by tshark, " << unconfirmed << " that tshark leaves protected\n";
    return decrypted.size();
}

using key_row = std::map<std::string, std::string>;

// The rows of a KEYS.tsv, each by its header's column names.
std::vector<key_row> rows_of(const fs::path& listing)
{
    std::ifstream file(listing);
    std::string line;
    std::getline(file, line);
    const auto names = test::split(line, '\t');
    std::vector<key_row> rows;
    while (std::getline(file, line)) {
        const auto fields = test::split(line, '\t');
        key_row& row = rows.emplace_back();
        for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i)
            row[names[i]] = fields[i];
    }
    return rows;
}

TEST(decryption_oracle, real_captures_with_their_keys)
{
    const auto corpus = test::shared_captures();
    if (!corpus || !fs::exists(*corpus / "KEYS.tsv"))
        GTEST_SKIP() << "the shared captures or their KEYS.tsv are not there";
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    int files = 0;
    for (key_row& row : rows_of(*corpus / "KEYS.tsv")) {
        SCOPED_TRACE(row["file"]);
        const std::string type = row["key_type"];
        ASSERT_TRUE(type == "wep" || type == "wpa-pwd") << type;
        const std::size_t written = check_against_tshark(*corpus / row["file"], type + ":" + row["key"], type, row["key"]);
        EXPECT_GT(written, 0u);
        ++files;
    }
    EXPECT_GE(files, 7);
}

// WPA3-SAE given its PMK and GCMP-128 given its passphrase: every
// protected Data frame decrypts, as tshark decrypts them.
TEST(decryption_oracle, modern_captures_with_their_keys)
{
    const auto corpus = test::shared_captures();
    if (!corpus || !fs::exists(*corpus / "modern-keyed" / "KEYS.tsv"))
        GTEST_SKIP() << "no " << (corpus ? *corpus / "modern-keyed" / "KEYS.tsv" : fs::path("modern-keyed/KEYS.tsv"));
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    int files = 0;
    for (key_row& row : rows_of(*corpus / "modern-keyed" / "KEYS.tsv")) {
        SCOPED_TRACE(row["file"]);
        const std::string type = row["key_type"];
        const std::size_t written = check_against_tshark(*corpus / "modern-keyed" / row["file"], type + ":" + row["key"],
                                                         type, row["key"]);
        EXPECT_EQ(std::to_string(written), row["protected_data_frames"]);
        ++files;
    }
    EXPECT_GE(files, 2);
}

struct generated_case {
    const char* name;
    std::vector<std::string> generator_args;
    std::string kestrine_key;
    std::string tshark_type;
    std::string tshark_key;
};

TEST(decryption_oracle, generated_captures_of_every_cipher)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    const std::vector<generated_case> cases = {
        {"ccmp", {"--encrypt", "ccmp", "--passphrase", "correct horse", "--ssid", "kestrine-lab", "--stations", "3"},
         "wpa-pwd:correct horse:kestrine-lab", "wpa-pwd", "correct horse:kestrine-lab"},
        {"tkip", {"--encrypt", "tkip", "--passphrase", "correct horse", "--ssid", "kestrine-lab", "--stations", "2"},
         "wpa-pwd:correct horse:kestrine-lab", "wpa-pwd", "correct horse:kestrine-lab"},
        {"wep104", {"--encrypt", "wep", "--wep-key", "0102030405060708090a0b0c0d"},
         "wep:01:02:03:04:05:06:07:08:09:0a:0b:0c:0d", "wep", "01:02:03:04:05:06:07:08:09:0a:0b:0c:0d"},
        {"wep40_bare", {"--encrypt", "wep", "--wep-key", "0a0b0c0d0e", "--link", "bare"},
         "wep:0a0b0c0d0e", "wep", "0a:0b:0c:0d:0e"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        std::vector<std::string> args = {KESTRINE_GEN_BINARY};
        args.insert(args.end(), c.generator_args.begin(), c.generator_args.end());
        args.insert(args.end(), {"--records", "600", "--seed", "5", (dir / "gen.pcap").string()});
        const auto generated = test::run_program(args);
        ASSERT_EQ(generated.status, 0) << generated.err;
        EXPECT_GT(check_against_tshark(dir / "gen.pcap", c.kestrine_key, c.tshark_type, c.tshark_key), 100u);
    }
}

// Networks of the newer suites, each keyed by what its user holds (the PMK,
// or the passphrase where AKM 2 or 6 has one). tshark must decrypt every
// protected frame, each to what the unencrypted twin carries in the clear:
// the twin's conversion, less the records the keyed capture holds
// unprotected, is tshark's decryption frame for frame, and kestrine's.
struct keyed_network_case {
    const char* name;
    std::vector<std::string> generator_args;
    tshark_key key;
    // tshark 4.0 unwraps this AKM's group key from message 3 (its
    // dissection shows it) but decrypts no group frame with it; given
    // again as a TK, it opens them.
    bool group_key_as_tk = false;
};

fs::path generate(const fs::path& dir, const std::string& name, std::vector<std::string> args)
{
    args.insert(args.begin(), KESTRINE_GEN_BINARY);
    args.insert(args.end(), {"--records", "600", "--seed", "9", (dir / name).string()});
    const auto generated = test::run_program(args);
    EXPECT_EQ(generated.status, 0) << generated.err;
    return dir / name;
}

std::string group_key_seen_by_tshark(const fs::path& input, const tshark_key& key)
{
    const auto found = test::run_program({test::tshark_path(), "-r", input.string(), "-o",
                                          "wlan.enable_decryption:TRUE", "-o",
                                          "uat:80211_keys:\"" + key.type + "\",\"" + key.key + "\"", "-Y", "eapol",
                                          "-T", "fields", "-e", "wlan.rsn.ie.gtk_kde.gtk"});
    for (const auto& line : test::split(found.out, '\n'))
        if (!line.empty())
            return line.substr(0, line.find(','));
    return {};
}

TEST(decryption_oracle, generated_networks_of_newer_suites)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    const std::string pmk = "6b0e3f7a1c2d4e5f60718293a4b5c6d7e8f9011223344556677889900aabbccd";
    const std::string pmk384 = pmk + "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
    const tshark_key passphrase = {"wpa-pwd", "correct horse:kestrine-lab"};
    const std::vector<std::string> with_passphrase = {"--passphrase", "correct horse", "--ssid", "kestrine-lab"};
    auto args = [](std::vector<std::string> head, const std::vector<std::string>& tail) {
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const std::vector<keyed_network_case> cases = {
        {"sae", {"--encrypt", "ccmp", "--akm", "8", "--pmk", pmk}, {"wpa-psk", pmk}},
        {"owe", {"--encrypt", "ccmp", "--akm", "18", "--pmk", pmk, "--stations", "3"}, {"wpa-psk", pmk}},
        {"8021x", {"--encrypt", "ccmp", "--akm", "1", "--pmk", pmk}, {"wpa-psk", pmk}},
        {"8021x_sha256", {"--encrypt", "ccmp", "--akm", "5", "--pmk", pmk, "--small"}, {"wpa-psk", pmk}},
        {"suite_b_192", {"--encrypt", "gcmp256", "--akm", "12", "--pmk", pmk384}, {"wpa-psk", pmk384}, true},
        {"ccmp256", args({"--encrypt", "ccmp256", "--small"}, with_passphrase), passphrase},
        {"gcmp", {"--encrypt", "gcmp", "--akm", "6", "--pmk", pmk, "--link", "bare"}, {"wpa-psk", pmk}},
        {"gcmp256", args({"--encrypt", "gcmp256", "--link", "prism"}, with_passphrase), passphrase},
        {"group_handshake", args({"--encrypt", "ccmp", "--group-handshake", "--stations", "3"}, with_passphrase),
         passphrase},
        {"extended_key_id", args({"--encrypt", "ccmp", "--extended-key-id"}, with_passphrase), passphrase},
        {"ft_psk", args({"--encrypt", "ccmp", "--ft", "--stations", "3"}, with_passphrase), passphrase},
        {"tdls", args({"--encrypt", "ccmp", "--tdls", "--stations", "3", "--small"}, with_passphrase), passphrase},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        const fs::path keyed = generate(dir.path, "keyed.pcap", c.generator_args);
        const fs::path twin = generate(dir.path, "twin.pcap", args(c.generator_args, {"--unencrypted-twin"}));
        const auto keyed_run = test::run_kestrine({keyed.string(), (dir / "plain.pcap").string()});
        const auto twin_run = test::run_kestrine({twin.string(), (dir / "twin-plain.pcap").string()});
        ASSERT_EQ(keyed_run.status, 0) << keyed_run.err;
        ASSERT_EQ(twin_run.status, 0) << twin_run.err;
        const auto unprotected = records_of(dir / "plain.pcap");
        std::vector<frame_record> in_clear;
        std::size_t u = 0;
        for (const auto& record : records_of(dir / "twin-plain.pcap")) {
            if (u < unprotected.size() && record == unprotected[u])
                ++u;
            else
                in_clear.push_back(record);
        }
        EXPECT_EQ(u, unprotected.size()) << "the twin lacks a record the keyed capture holds unprotected";

        std::vector<tshark_key> keys = {c.key};
        if (c.group_key_as_tk) {
            keys.push_back({"tk", group_key_seen_by_tshark(keyed, c.key)});
            EXPECT_EQ(keys.back().key.size(), 64u) << "tshark found no 32-byte group key in message 3";
        }
        const oracle tshark = ask_tshark(keyed, keys);
        EXPECT_TRUE(tshark.undecrypted.empty()) << tshark.undecrypted.size() << " protected frames tshark cannot open";
        EXPECT_EQ(tshark.decrypted.size(), tshark.protected_frames);
        EXPECT_GT(tshark.decrypted.size(), 400u);
        EXPECT_EQ(tshark.decrypted.size(), in_clear.size());
        std::size_t same = 0;
        while (same < std::min(in_clear.size(), tshark.decrypted.size()) && in_clear[same] == tshark.decrypted[same])
            ++same;
        EXPECT_EQ(same, in_clear.size())
            << "first difference at the twin's decrypted record " << same << " ("
            << (same < in_clear.size() ? std::to_string(in_clear[same].micros) + " us, " +
                                             std::to_string(in_clear[same].bytes.size()) + " bytes"
                                       : std::string("none"))
            << "; tshark's: "
            << (same < tshark.decrypted.size() ? std::to_string(tshark.decrypted[same].micros) + " us, " +
                                                     std::to_string(tshark.decrypted[same].bytes.size()) + " bytes"
                                               : std::string("none"))
            << ")";
        std::cout << c.name << ": tshark decrypts " << tshark.decrypted.size() << " of " << tshark.protected_frames
                  << " protected frames, " << same << " equal to the twin's\n";
        // kestrine decrypts every protected frame, each to the twin's record.
        const auto decrypting_run =
            test::run_kestrine({"-k", c.key.type + ":" + c.key.key, keyed.string(), (dir / "decrypted.pcap").string()});
        ASSERT_EQ(decrypting_run.status, 0) << decrypting_run.err;
        std::vector<frame_record> decrypted;
        std::size_t p = 0;
        for (const auto& record : records_of(dir / "decrypted.pcap")) {
            if (p < unprotected.size() && record == unprotected[p])
                ++p;
            else
                decrypted.push_back(record);
        }
        EXPECT_EQ(p, unprotected.size());
        EXPECT_TRUE(decrypted == in_clear) << "kestrine decrypts " << decrypted.size() << " of " << in_clear.size()
                                           << " frames to the twin's records";
        std::cout << c.name << ": kestrine decrypts " << decrypted.size() << " of " << in_clear.size() << "\n";
    }
}

} // namespace
