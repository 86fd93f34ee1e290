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
};

oracle ask_tshark(const fs::path& input, const std::string& key_type, const std::string& key)
{
    const std::vector<std::string> common = {
        test::tshark_path(), "-r", input.string(), "-o", "wlan.enable_decryption:TRUE",
        "-o", "uat:80211_keys:\"" + key_type + "\",\"" + key + "\"",
        "-Y", "wlan.fc.type_subtype == 0x20 || wlan.fc.type_subtype == 0x28"};
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
            wanted = std::stoul(line.substr(line.find('(') + 1));
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

    const oracle expected = ask_tshark(input, tshark_type, tshark_key);
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

std::map<std::string, std::string> row_of(const std::vector<std::string>& names, const std::vector<std::string>& fields)
{
    std::map<std::string, std::string> row;
    for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i)
        row[names[i]] = fields[i];
    return row;
}

TEST(decryption_oracle, real_captures_with_their_keys)
{
    const auto corpus = test::shared_captures();
    if (!corpus || !fs::exists(*corpus / "KEYS.tsv"))
        GTEST_SKIP() << "the shared captures or their KEYS.tsv are not there";
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    std::ifstream keys(*corpus / "KEYS.tsv");
    std::string line;
    std::getline(keys, line);
    const auto names = test::split(line, '\t');
    int files = 0;
    while (std::getline(keys, line)) {
        auto row = row_of(names, test::split(line, '\t'));
        SCOPED_TRACE(row["file"]);
        const std::string type = row["key_type"];
        ASSERT_TRUE(type == "wep" || type == "wpa-pwd") << type;
        const std::size_t written = check_against_tshark(*corpus / row["file"], type + ":" + row["key"], type, row["key"]);
        EXPECT_GT(written, 0u);
        ++files;
    }
    EXPECT_GE(files, 7);
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

} // namespace
