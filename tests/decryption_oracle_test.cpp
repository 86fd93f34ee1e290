// Decryption against independent decoders: tshark decrypts the same
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
//
// hostap's wlantest, built from the shared oracles folder, is the second
// decoder: the generated networks of the newer suites (OWE over group 20,
// which tshark cannot follow, among them) are given to it as well, and
// what it decrypts must be, frame for frame, what kestrine decrypts. So
// are the generated Wi-Fi 7 multi-link networks, which tshark 4.0 cannot
// decode.
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

// The records of `records` beyond those of `base`, which must all come
// back among them unchanged and in order.
std::vector<frame_record> beyond(const std::vector<frame_record>& records, const std::vector<frame_record>& base,
                                 const char* what)
{
    std::vector<frame_record> extra;
    std::size_t b = 0;
    for (const auto& record : records) {
        if (b < base.size() && record == base[b])
            ++b;
        else
            extra.push_back(record);
    }
    EXPECT_EQ(b, base.size()) << what;
    return extra;
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
    // What the keyed run wrote beyond the records of the run without a
    // key was decrypted.
    const auto decrypted = beyond(records_of(dir / "keyed.pcap"), records_of(dir / "plain.pcap"),
                                  "a record of the run without a key is missing");

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

fs::path generate(const fs::path& dir, const std::string& name, std::vector<std::string> args)
{
    args.insert(args.begin(), KESTRINE_GEN_BINARY);
    args.insert(args.end(), {"--records", "600", "--seed", "9", (dir / name).string()});
    const auto generated = test::run_program(args);
    EXPECT_EQ(generated.status, 0) << generated.err;
    return dir / name;
}

// A generated network beside its unencrypted twin: the twin's records that
// the keyed capture holds protected are what a decoder must make of its
// protected frames.
struct twin_pair {
    fs::path keyed;
    std::vector<frame_record> unprotected; // kestrine's records of the keyed capture, no key given
    std::vector<frame_record> in_clear;
};

twin_pair generate_with_twin(const fs::path& dir, const std::vector<std::string>& generator_args)
{
    twin_pair pair;
    pair.keyed = generate(dir, "keyed.pcap", generator_args);
    auto twin_args = generator_args;
    twin_args.push_back("--unencrypted-twin");
    const fs::path twin = generate(dir, "twin.pcap", twin_args);
    const auto keyed_run = test::run_kestrine({pair.keyed.string(), (dir / "plain.pcap").string()});
    const auto twin_run = test::run_kestrine({twin.string(), (dir / "twin-plain.pcap").string()});
    EXPECT_EQ(keyed_run.status, 0) << keyed_run.err;
    EXPECT_EQ(twin_run.status, 0) << twin_run.err;
    pair.unprotected = records_of(dir / "plain.pcap");
    pair.in_clear = beyond(records_of(dir / "twin-plain.pcap"), pair.unprotected,
                           "the twin lacks a record the keyed capture holds unprotected");
    return pair;
}

// kestrine decrypts every protected frame of a twin pair, each to the
// twin's record.
std::vector<frame_record> decrypted_by_kestrine(const twin_pair& pair, const std::string& key, const fs::path& dir)
{
    const auto run = test::run_kestrine({"-k", key, pair.keyed.string(), (dir / "decrypted.pcap").string()});
    EXPECT_EQ(run.status, 0) << run.err;
    const auto decrypted =
        beyond(records_of(dir / "decrypted.pcap"), pair.unprotected, "a record of the run without a key is missing");
    EXPECT_TRUE(decrypted == pair.in_clear)
        << "kestrine decrypts " << decrypted.size() << " frames, the twin holds " << pair.in_clear.size();
    return decrypted;
}

std::size_t group_addressed(const std::vector<frame_record>& records)
{
    return static_cast<std::size_t>(
        std::count_if(records.begin(), records.end(), [](const frame_record& r) { return (r.bytes[0] & 1) != 0; }));
}

// Where two lists of records first differ, as a failure message.
std::string first_difference(const std::vector<frame_record>& expected, const std::vector<frame_record>& found)
{
    std::size_t same = 0;
    while (same < std::min(expected.size(), found.size()) && expected[same] == found[same])
        ++same;
    auto describe = [same](const std::vector<frame_record>& records) {
        return same < records.size() ? std::to_string(records[same].micros) + " us, " +
                                           std::to_string(records[same].bytes.size()) + " bytes"
                                     : std::string("none");
    };
    return std::to_string(expected.size()) + " frames expected, " + std::to_string(found.size()) +
           " found; the first difference at " + std::to_string(same) + ": " + describe(expected) + " expected, " +
           describe(found) + " found";
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

// Networks of the newer suites, each keyed by what its user holds (the
// PMK, FT-802.1X's MSK, or the passphrase where the AKM has one), and
// what each of the two decoders is given. The twin's conversion, less the
// records the keyed capture holds unprotected, is kestrine's decryption
// frame for frame, and tshark's and wlantest's, but where a row says why
// a decoder opens only some frames. The WPA2 TKIP and CCMP networks of
// old and the WEP ones are checked against tshark above, and not given to
// wlantest: it opens WEP frames only of stations it saw associate with a
// BSS whose Beacon it saw, which these networks do not send, and takes a
// TKIP pair's cipher from message 2, which in the generator's WPA2 TKIP
// network names CCMP (kept so that its captures stay as they were).
struct generated_network {
    const char* name;
    std::vector<std::string> generator_args;
    std::string kestrine_key;
    tshark_key tshark;
    std::vector<std::string> wlantest; // its key arguments; a PMK file is "-f" then the PMK itself
    // tshark 4.0 unwraps AKM 12's group key from message 3 (its dissection
    // shows it) but decrypts no group frame with it; given again as a TK,
    // it opens them. wlantest checks no EAPOL-Key MIC of AKM 12 ("EAPOL-Key
    // MIC algorithm not known") and so keeps none of the PTKs it derives;
    // it logs them with -dd all the same, and those TKs and tshark's group
    // key, given back with -T, let it open the frames.
    bool suite_b = false;
    // Why tshark, or wlantest, opens only some of the protected frames.
    const char* tshark_opens_only_pairwise = nullptr;
    const char* wlantest_opens_only_some = nullptr;
};

const std::string pmk = "6b0e3f7a1c2d4e5f60718293a4b5c6d7e8f9011223344556677889900aabbccd";
const std::string pmk384 = pmk + "0f1e2d3c4b5a69788796a5b4c3d2e1f0";
// FT-802.1X's MSK, whose second 32 bytes are the XXKey kestrine takes.
const std::string msk = "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"
                        "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f";

std::vector<generated_network> generated_networks()
{
    auto with_passphrase = [](std::vector<std::string> args) {
        args.insert(args.end(), {"--passphrase", "correct horse", "--ssid", "kestrine-lab"});
        return args;
    };
    const std::string passphrase_key = "wpa-pwd:correct horse:kestrine-lab";
    const tshark_key passphrase = {"wpa-pwd", "correct horse:kestrine-lab"};
    const std::vector<std::string> by_passphrase = {"-p", "correct horse"};
    return {
        {"sae", {"--encrypt", "ccmp", "--akm", "8", "--pmk", pmk}, "wpa-psk:" + pmk, {"wpa-psk", pmk}, {"-f", pmk}},
        {"owe", {"--encrypt", "ccmp", "--akm", "18", "--pmk", pmk, "--stations", "3"}, "wpa-psk:" + pmk,
         {"wpa-psk", pmk}, {"-f", pmk}},
        // tshark 4.0 derives OWE's keys with SHA-256 whatever the group.
        {"owe_group_20", {"--encrypt", "ccmp", "--akm", "18", "--owe-group", "20", "--pmk", pmk384},
         "wpa-psk:" + pmk384, {}, {"-f", pmk384}},
        {"8021x", {"--encrypt", "ccmp", "--akm", "1", "--pmk", pmk}, "wpa-psk:" + pmk, {"wpa-psk", pmk}, {"-f", pmk}},
        {"8021x_sha256", {"--encrypt", "ccmp", "--akm", "5", "--pmk", pmk, "--small"}, "wpa-psk:" + pmk,
         {"wpa-psk", pmk}, {"-f", pmk}},
        {"suite_b_192", {"--encrypt", "gcmp256", "--akm", "12", "--pmk", pmk384}, "wpa-psk:" + pmk384,
         {"wpa-psk", pmk384}, {"-f", pmk384}, true},
        {"ccmp256", with_passphrase({"--encrypt", "ccmp256", "--small"}), passphrase_key, passphrase, by_passphrase},
        {"gcmp", {"--encrypt", "gcmp", "--akm", "6", "--pmk", pmk, "--link", "bare"}, "wpa-psk:" + pmk,
         {"wpa-psk", pmk}, {"-f", pmk}},
        {"gcmp256", with_passphrase({"--encrypt", "gcmp256", "--link", "prism"}), passphrase_key, passphrase,
         by_passphrase},
        {"group_handshake", with_passphrase({"--encrypt", "ccmp", "--group-handshake", "--stations", "3"}),
         passphrase_key, passphrase, by_passphrase},
        {"extended_key_id", with_passphrase({"--encrypt", "ccmp", "--extended-key-id"}), passphrase_key, passphrase,
         by_passphrase, false, nullptr,
         "wlantest keeps a station's newest pairwise key only: after an Extended Key ID rekey it opens no frame "
         "still sent under the key ID the rekey replaced"},
        {"ft_psk", with_passphrase({"--encrypt", "ccmp", "--ft", "--stations", "3"}), passphrase_key, passphrase,
         by_passphrase},
        {"ft_8021x", {"--encrypt", "ccmp", "--ft", "--akm", "3", "--pmk", msk, "--stations", "3"},
         "wpa-psk:" + msk.substr(64), {"msk", msk}, {"-f", msk}},
        {"tdls", with_passphrase({"--encrypt", "ccmp", "--tdls", "--stations", "3", "--small"}), passphrase_key,
         passphrase, by_passphrase},
        // WPA1, descriptor versions 1 (TKIP pairs) and 2 (CCMP pairs), a
        // TKIP group key renewed every 120 frames of traffic: every group
        // frame under each key must decrypt.
        {"wpa1_tkip", with_passphrase({"--encrypt", "tkip", "--wpa1"}), passphrase_key, passphrase, by_passphrase},
        {"wpa1_ccmp", with_passphrase({"--encrypt", "ccmp", "--wpa1", "--stations", "3"}), passphrase_key, passphrase,
         by_passphrase, false,
         "tshark 4.0 opens no TKIP group frame of a network whose pairs use CCMP (nor those of the corpus's "
         "wpa-Induction capture)"},
    };
}

TEST(decryption_oracle, generated_networks_of_newer_suites)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    for (const auto& c : generated_networks()) {
        if (c.tshark.type.empty())
            continue;
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        const twin_pair pair = generate_with_twin(dir.path, c.generator_args);
        const auto decrypted = decrypted_by_kestrine(pair, c.kestrine_key, dir.path);
        // The group-addressed frames, all under group keys, counted apart:
        // a group key lost reads as such.
        EXPECT_GT(group_addressed(pair.in_clear), 10u);
        EXPECT_EQ(group_addressed(decrypted), group_addressed(pair.in_clear)) << "group-addressed frames lost";
        std::cout << c.name << ": kestrine decrypts " << decrypted.size() << " of " << pair.in_clear.size() << ", "
                  << group_addressed(decrypted) << " of " << group_addressed(pair.in_clear) << " group-addressed\n";

        std::vector<tshark_key> keys = {c.tshark};
        if (c.suite_b) {
            keys.push_back({"tk", group_key_seen_by_tshark(pair.keyed, c.tshark)});
            EXPECT_EQ(keys.back().key.size(), 64u) << "tshark found no 32-byte group key in message 3";
        }
        const oracle tshark = ask_tshark(pair.keyed, keys);
        auto opened_by_tshark = pair.in_clear;
        if (c.tshark_opens_only_pairwise != nullptr)
            std::erase_if(opened_by_tshark, [](const frame_record& r) { return (r.bytes[0] & 1) != 0; });
        EXPECT_EQ(tshark.undecrypted.size(), pair.in_clear.size() - opened_by_tshark.size())
            << "protected frames tshark cannot open";
        EXPECT_EQ(tshark.decrypted.size() + tshark.undecrypted.size(), tshark.protected_frames);
        EXPECT_GT(tshark.decrypted.size(), 400u);
        EXPECT_TRUE(tshark.decrypted == opened_by_tshark) << first_difference(opened_by_tshark, tshark.decrypted);
        std::cout << c.name << ": tshark decrypts " << tshark.decrypted.size() << " of " << tshark.protected_frames
                  << " protected frames" << (c.tshark_opens_only_pairwise ? ", the pairwise ones" : "") << "\n";
    }
}

// ---- wlantest

std::optional<fs::path> wlantest_program()
{
    const fs::path program = KESTRINE_WLANTEST;
    return fs::exists(program) ? std::optional(program) : std::nullopt;
}

// wlantest reads radiotap and bare 802.11 only: the capture of a Prism
// link, its frames behind an empty radiotap header.
fs::path readable_by_wlantest(const fs::path& input, const fs::path& output)
{
    auto capture = test::read_capture(input);
    EXPECT_TRUE(capture.has_value()) << input;
    if (!capture || capture->link_type != 119)
        return input;
    for (auto& r : capture->records) {
        const std::size_t prism_length =
            r.data.size() < 8 ? r.data.size() : static_cast<std::size_t>(r.data[4] | r.data[5] << 8);
        r.data.erase(r.data.begin(), r.data.begin() + static_cast<std::ptrdiff_t>(std::min(prism_length, r.data.size())));
        r.data.insert(r.data.begin(), {0, 0, 8, 0, 0, 0, 0, 0});
        r.caplen = r.len = 0;
    }
    test::write_capture(output, capture->records, {.link_type = 127});
    return output;
}

// What wlantest decrypts of `input`, as kestrine's conversion without a
// key makes Ethernet of it. wlantest writes every frame it reads and,
// behind each one it decrypted, the frame in the clear: the conversion
// writes that one and drops the protected original. `unprotected` is the
// conversion of the input itself: its records must come back in order,
// and records at their times are left out (wlantest writes EAPOL-Key
// messages sent in the clear again with their Key Data decrypted).
std::vector<frame_record> decrypted_by_wlantest(const fs::path& wlantest, const fs::path& input,
                                                const std::vector<std::string>& key_args,
                                                const std::vector<frame_record>& unprotected, const fs::path& dir)
{
    std::vector<std::string> args = {wlantest.string(), "-r", input.string(), "-n", (dir / "wlantest.pcapng").string()};
    args.insert(args.end(), key_args.begin(), key_args.end());
    const auto run = test::run_program(args); // its output names keys: left unprinted
    EXPECT_EQ(run.status, 0) << "wlantest failed";
    const auto converted =
        test::run_kestrine({(dir / "wlantest.pcapng").string(), (dir / "wlantest-plain.pcap").string()});
    EXPECT_EQ(converted.status, 0) << converted.err;
    std::set<std::int64_t> in_the_clear;
    for (const auto& record : unprotected)
        in_the_clear.insert(record.micros);
    auto decrypted =
        beyond(records_of(dir / "wlantest-plain.pcap"), unprotected, "wlantest's output lacks a frame of the input");
    std::erase_if(decrypted, [&](const frame_record& r) { return in_the_clear.count(r.micros) != 0; });
    return decrypted;
}

// Suite B 192 (see generated_network): the TKs wlantest logs with -dd, and
// the group key tshark reads from message 3, in a file for -T.
std::vector<std::string> keys_wlantest_derives(const fs::path& wlantest, const fs::path& input,
                                               const std::vector<std::string>& key_args, const tshark_key& key,
                                               const fs::path& dir)
{
    std::vector<std::string> args = {wlantest.string(), "-dd", "-r", input.string()};
    args.insert(args.end(), key_args.begin(), key_args.end());
    const auto run = test::run_program(args);
    std::ofstream file(dir / "tks.txt");
    std::size_t count = 0;
    static const std::string mark = "WPA: TK - hexdump(len=32): ";
    for (const auto& line : test::split(run.out + run.err, '\n')) {
        if (line.rfind(mark, 0) != 0)
            continue;
        std::string tk = line.substr(mark.size());
        std::erase(tk, ' ');
        file << tk << "\n";
        ++count;
    }
    EXPECT_GT(count, 0u) << "wlantest logged no TK";
    const std::string group_key = group_key_seen_by_tshark(input, key);
    EXPECT_EQ(group_key.size(), 64u) << "tshark found no 32-byte group key in message 3";
    file << group_key << "\n";
    return {"-T", (dir / "tks.txt").string()};
}

TEST(decryption_oracle, generated_networks_against_wlantest)
{
    const auto wlantest = wlantest_program();
    if (!wlantest)
        GTEST_SKIP() << "wlantest is not built: no " << KESTRINE_WLANTEST << " (from ../shared/oracles)";
    for (const auto& c : generated_networks()) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        const twin_pair pair = generate_with_twin(dir.path, c.generator_args);
        const auto decrypted = decrypted_by_kestrine(pair, c.kestrine_key, dir.path);
        auto key_args = c.wlantest;
        if (key_args.size() == 2 && key_args[0] == "-f") {
            std::ofstream(dir / "pmk.txt") << key_args[1] << "\n";
            key_args[1] = (dir / "pmk.txt").string();
        }
        if (c.suite_b) {
            if (test::tshark_path().empty()) {
                std::cout << c.name << ": left out, no tshark to read its group key\n";
                continue;
            }
            key_args = keys_wlantest_derives(*wlantest, pair.keyed, key_args, c.tshark, dir.path);
        }
        const fs::path input = readable_by_wlantest(pair.keyed, dir / "for-wlantest.pcap");
        const auto opened = decrypted_by_wlantest(*wlantest, input, key_args, pair.unprotected, dir.path);
        if (c.wlantest_opens_only_some == nullptr) {
            EXPECT_TRUE(opened == decrypted) << first_difference(decrypted, opened);
        } else { // every frame it opens, kestrine wrote, in order
            beyond(decrypted, opened, "a frame wlantest decrypts that kestrine did not write");
            EXPECT_GT(opened.size(), 400u) << c.wlantest_opens_only_some;
        }
        std::cout << c.name << ": wlantest decrypts " << opened.size() << " of " << pair.in_clear.size()
                  << " protected frames (" << group_addressed(opened) << " group-addressed), kestrine "
                  << decrypted.size() << "\n";
    }
}

// ---- multi-link networks

// The generator's address plan: an MLD's address on Link ID L is its MLD
// address with the last byte 0x10 + L (the AP MLD 02:4D:4C:00:00:00, the
// non-AP MLDs 02:5C:4D:00:NN:00). Frames go over the air with link
// addresses and the wired side sees MLD addresses: what the twin's frames
// and wlantest's, converted with their headers as sent, become once the
// link addresses in their Ethernet addresses are read as MLD addresses.
std::vector<frame_record> as_mld_addressed(std::vector<frame_record> records)
{
    for (auto& record : records)
        for (std::size_t at : {std::size_t{0}, std::size_t{6}}) {
            std::uint8_t* address = record.bytes.data() + at;
            const bool of_an_mld = address[0] == 0x02 && address[3] == 0x00 &&
                                   ((address[1] == 0x4D && address[2] == 0x4C) ||
                                    (address[1] == 0x5C && address[2] == 0x4D));
            if (of_an_mld && address[5] >= 0x10 && address[5] <= 0x12)
                address[5] = 0;
        }
    return records;
}

// The GTKs that wlantest unwraps from group key handshakes (MLO GTK KDEs,
// logged with -dd) but does not install, in a file for -T.
std::vector<std::string> group_keys_wlantest_unwraps(const fs::path& wlantest, const fs::path& input,
                                                     const std::vector<std::string>& key_args, const fs::path& dir)
{
    std::vector<std::string> args = {wlantest.string(), "-dd", "-r", input.string()};
    args.insert(args.end(), key_args.begin(), key_args.end());
    const auto run = test::run_program(args);
    std::set<std::string> keys;
    static const std::string mark = "MLO GTK KDE in EAPOL-Key - hexdump(len=";
    for (const auto& line : test::split(run.out + run.err, '\n')) {
        const std::size_t at = line.find(mark);
        if (at == std::string::npos)
            continue;
        // dd, length, OUI, type, Key Info, PN (6): the GTK is the rest.
        const auto bytes = test::split(line.substr(line.find("): ", at) + 3), ' ');
        std::string key;
        for (std::size_t i = 13; i < bytes.size(); ++i)
            key += bytes[i];
        keys.insert(key);
    }
    EXPECT_GT(keys.size(), 2u) << "wlantest logged no MLO GTK KDE";
    std::ofstream file(dir / "gtks.txt");
    for (const auto& key : keys)
        file << key << "\n";
    return {"-T", (dir / "gtks.txt").string()};
}

struct multi_link_case {
    const char* name;
    std::vector<std::string> generator_args;
    std::string kestrine_key;
    std::vector<std::string> wlantest; // as in generated_network
    // wlantest installs per-link GTKs only from Key Data that also holds
    // MLO Link KDEs: of a group key handshake without them it unwraps the
    // keys (and logs them with -dd) but keeps using the old ones. Given
    // back with -T, they open the group frames under a key ID it holds no
    // key for; it never tries them where it holds an older key of the same
    // ID, so the group frames after the second rekey (key ID 1 again) stay
    // shut to it: those, and those alone, are checked against the twin
    // only.
    bool group_keys_from_log = false;
    // Where wlantest opens only some frames, why: every frame it opens
    // must still be one kestrine wrote, in order.
    const char* wlantest_opens_only_some = nullptr;
};

std::vector<multi_link_case> multi_link_cases()
{
    const std::vector<std::string> passphrase = {"--passphrase", "correct horse", "--ssid", "kestrine-lab"};
    auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    return {
        {"mlo2_psk_ccmp", with({"--encrypt", "ccmp", "--mlo-links", "2"}, passphrase),
         "wpa-pwd:correct horse:kestrine-lab", {"-p", "correct horse"}, true},
        {"mlo3_sae_ext_gcmp256",
         {"--encrypt", "gcmp256", "--mlo-links", "3", "--akm", "24", "--sae-group", "20", "--pmk", pmk384,
          "--mlo-rekey-link-kdes", "--stations", "3"},
         "wpa-psk:" + pmk384, {"-f", pmk384}},
        {"mlo2_8021x_ccmp256",
         {"--encrypt", "ccmp256", "--mlo-links", "2", "--akm", "1", "--pmk", pmk, "--mlo-rekey-link-kdes",
          "--stations", "3"},
         "wpa-psk:" + pmk, {"-f", pmk}},
        {"mlo2_sae_gcmp_bare",
         {"--encrypt", "gcmp", "--mlo-links", "2", "--akm", "8", "--pmk", pmk, "--mlo-rekey-link-kdes", "--link",
          "bare"},
         "wpa-psk:" + pmk, {"-f", pmk}},
        {"mlo3_psk_gcmp_rekeyed_elsewhere",
         with({"--encrypt", "gcmp", "--mlo-links", "3", "--mlo-rekey-elsewhere", "--mlo-rekey-link-kdes",
               "--stations", "3", "--small"},
              passphrase),
         "wpa-pwd:correct horse:kestrine-lab", {"-p", "correct horse"}, false,
         "wlantest follows a group key handshake only on the link of the 4-way handshake: one on another "
         "link makes it start the station afresh there, and it opens no frame of that link again"},
    };
}

TEST(decryption_oracle, multi_link_networks_against_wlantest)
{
    const auto wlantest = wlantest_program();
    for (const auto& c : multi_link_cases()) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        twin_pair pair = generate_with_twin(dir.path, c.generator_args);
        pair.in_clear = as_mld_addressed(pair.in_clear);
        const auto decrypted = decrypted_by_kestrine(pair, c.kestrine_key, dir.path);
        EXPECT_GT(group_addressed(pair.in_clear), 20u);
        std::cout << c.name << ": kestrine decrypts " << decrypted.size() << " of " << pair.in_clear.size() << ", "
                  << group_addressed(decrypted) << " of " << group_addressed(pair.in_clear) << " group-addressed\n";
        if (!wlantest) {
            std::cout << c.name << ": wlantest is not built: no " << KESTRINE_WLANTEST << "\n";
            continue;
        }
        auto key_args = c.wlantest;
        if (key_args[0] == "-f") {
            std::ofstream(dir.path / "pmk.txt") << key_args[1] << "\n";
            key_args[1] = (dir.path / "pmk.txt").string();
        }
        if (c.group_keys_from_log) {
            const auto more = group_keys_wlantest_unwraps(*wlantest, pair.keyed, key_args, dir.path);
            key_args.insert(key_args.end(), more.begin(), more.end());
        }
        const auto opened =
            as_mld_addressed(decrypted_by_wlantest(*wlantest, pair.keyed, key_args, pair.unprotected, dir.path));
        // The generator's frames are checked too, whatever kestrine does.
        beyond(pair.in_clear, opened, "a frame wlantest decrypts that is not the twin's");
        if (c.group_keys_from_log) {
            const auto shut = beyond(decrypted, opened, "a frame wlantest decrypts that kestrine did not write");
            EXPECT_EQ(group_addressed(shut), shut.size()) << "a pairwise frame wlantest cannot open";
            EXPECT_GT(opened.size(), 400u);
        } else if (c.wlantest_opens_only_some == nullptr) {
            EXPECT_TRUE(opened == decrypted) << first_difference(decrypted, opened);
        } else {
            beyond(decrypted, opened, "a frame wlantest decrypts that kestrine did not write");
            EXPECT_GT(opened.size(), 100u) << c.wlantest_opens_only_some;
        }
        std::cout << c.name << ": wlantest decrypts " << opened.size() << " of " << pair.in_clear.size()
                  << " protected frames (" << group_addressed(opened) << " group-addressed), kestrine "
                  << decrypted.size() << "\n";
    }
}

} // namespace
