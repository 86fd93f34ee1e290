// --decrypt-only against independent decoders. tshark reading the output
// without keys must dissect every frame kestrine decrypted exactly as it
// dissects the input's frame with the keys (all but what decryption
// necessarily changes: the Protected bit, the security header, lengths);
// every frame tshark opens, kestrine must have decrypted; every other
// record must come out byte for byte as it went in, record header and
// all. Generated networks are also checked against their unencrypted
// twin, byte for byte, and against wlantest's decrypted records.
//
// The generated networks cover every cipher and every capture header:
// radiotap as generated, radiotap with the FCS and the WEP flag, PPI with
// the FCS, Prism with its frame length item, bare 802.11, and records
// captured short. Skipped without tshark, the shared captures without the
// corpus, wlantest's part without wlantest.
#include "test_support.h"
#include "tshark_dissection.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iostream>
#include <map>

namespace {

namespace fs = std::filesystem;
using key_list = std::vector<std::pair<std::string, std::string>>; // tshark's type and key

bool same_record(const test::record& a, const test::record& b)
{
    return a.seconds == b.seconds && a.fraction == b.fraction && a.caplen == b.caplen && a.len == b.len &&
           a.data == b.data;
}

struct figures {
    std::size_t records = 0;
    std::size_t decrypted = 0;         // written decrypted, checked against tshark's dissection
    std::size_t kestrine_alone = 0;    // decrypted where tshark opens nothing
    std::size_t group_alone = 0;       // of them group-addressed
    std::size_t protected_kept = 0;    // protected, written as they came
};

// Checks `output`, kestrine's --decrypt-only of `input`, against tshark.
figures check_against_tshark(const fs::path& input, const fs::path& output, const key_list& keys)
{
    figures f;
    const auto in = test::read_capture(input, true);
    const auto out = test::read_capture(output, true);
    EXPECT_TRUE(in && out);
    if (!in || !out)
        return f;
    EXPECT_EQ(out->link_type, in->link_type);
    EXPECT_GE(out->snaplen, in->snaplen);
    EXPECT_EQ(out->records.size(), in->records.size());
    test::tshark_dissection keyed(input, test::tshark_key_options(keys));
    test::tshark_dissection plain(output, test::tshark_key_options({}));
    test::dissected_frame with_keys, without_keys;
    std::size_t failures = 0; // the first few are told
    for (std::size_t i = 0; i < std::min(in->records.size(), out->records.size()); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i + 1));
        const test::record& a = in->records[i];
        const test::record& b = out->records[i];
        if (!keyed.next(with_keys) || !plain.next(without_keys)) {
            ADD_FAILURE() << "tshark dissects fewer frames than the captures hold";
            break;
        }
        ++f.records;
        EXPECT_EQ(b.seconds * 1000000000 + b.fraction, a.seconds * 1000000000 + a.fraction);
        if (same_record(a, b)) {
            f.protected_kept += with_keys.is_protected ? 1 : 0;
            if (with_keys.opened() && ++failures <= 5)
                ADD_FAILURE() << "tshark decrypts a frame kestrine left protected";
            continue;
        }
        ++f.decrypted;
        EXPECT_EQ(a.caplen, a.len) << "a frame captured short was changed";
        EXPECT_FALSE(without_keys.is_protected);
        EXPECT_EQ(b.caplen, b.len);
        if (with_keys.prism_frame_length >= 0) {
            EXPECT_EQ(without_keys.prism_frame_length, with_keys.prism_frame_length - (a.len - b.len));
        }
        if (!with_keys.opened()) {
            ++f.kestrine_alone;
            f.group_alone += without_keys.group_addressed ? 1 : 0;
            continue;
        }
        const std::string difference = test::first_difference(with_keys, without_keys);
        if (!difference.empty() && ++failures <= 5)
            ADD_FAILURE() << "tshark dissects the decrypted frame otherwise: " << difference;
    }
    EXPECT_EQ(failures, 0u);
    EXPECT_FALSE(keyed.next(with_keys) || plain.next(without_keys)) << "tshark dissects more frames";
    EXPECT_EQ(keyed.finish(), 0);
    EXPECT_EQ(plain.finish(), 0);
    return f;
}

// ---- Generated networks in every capture header

enum class link { radiotap, radiotap_fcs_wep, ppi_fcs, prism, bare, cut_short };

// A PPI header (9.2 of the PPI specification): one 802.11-Common field,
// whose flags say whether the frame ends in its FCS.
test::bytes ppi_header(bool fcs)
{
    test::bytes header = {0, 0, 32, 0, 105, 0, 0, 0, 2, 0, 20, 0};
    header.resize(32, 0);
    header[20] = fcs ? 0x01 : 0x00;
    header[24] = 0x6C; // 2412 MHz
    header[25] = 0x09;
    return header;
}

// A Prism (wlan-ng) monitor header, message 0x41 of 144 bytes: the device
// name and ten items of DID, status, length and a 32-bit value, the last
// the frame's length.
test::bytes prism_header(std::size_t frame_length)
{
    test::bytes header = {0x41, 0, 0, 0, 144, 0, 0, 0, 'w', 'l', 'a', 'n', '0'};
    header.resize(24, 0);
    for (std::uint32_t item = 1; item <= 10; ++item) {
        const std::uint32_t value = item == 10 ? static_cast<std::uint32_t>(frame_length) : item * 7;
        for (const std::uint32_t word : {item << 12 | 0x41, std::uint32_t{4} << 16, value})
            for (int shift = 0; shift < 32; shift += 8)
                header.push_back(static_cast<std::uint8_t>(word >> shift));
    }
    return header;
}

// A generated radiotap capture (its Flags field at byte 8) in `variant`.
void relink(const fs::path& path, link variant)
{
    if (variant == link::radiotap || variant == link::bare)
        return;
    auto capture = test::read_capture(path);
    ASSERT_TRUE(capture);
    int link_type = 127;
    std::size_t protected_seen = 0;
    for (test::record& r : capture->records) {
        const std::size_t length = r.data[2] | r.data[3] << 8;
        const test::bytes frame(r.data.begin() + static_cast<std::ptrdiff_t>(length), r.data.end());
        const bool is_protected = frame.size() > 1 && (frame[1] & 0x40) != 0;
        const bool fcs = (r.data[8] & 0x10) != 0;
        r.caplen = r.len = 0;
        if (variant == link::radiotap_fcs_wep && is_protected)
            r.data[8] |= 0x04;
        if (variant == link::ppi_fcs) {
            link_type = 192;
            r.data = ppi_header(fcs);
            r.data.insert(r.data.end(), frame.begin(), frame.end());
        }
        if (variant == link::prism) {
            link_type = 119;
            r.data = prism_header(frame.size());
            r.data.insert(r.data.end(), frame.begin(), frame.end());
        }
        if (variant == link::cut_short && is_protected && ++protected_seen % 5 == 0) {
            r.len = static_cast<std::uint32_t>(r.data.size());
            r.data.resize(r.data.size() - 10);
            r.caplen = static_cast<std::uint32_t>(r.data.size());
        }
    }
    test::write_capture(path, capture->records, {.link_type = static_cast<std::uint32_t>(link_type)});
}

fs::path generate(const fs::path& dir, const std::string& name, std::vector<std::string> args, link variant)
{
    args.insert(args.begin(), KESTRINE_GEN_BINARY);
    if (variant == link::radiotap_fcs_wep || variant == link::ppi_fcs)
        args.push_back("--fcs");
    if (variant == link::bare)
        args.insert(args.end(), {"--link", "bare"});
    args.insert(args.end(), {"--records", "600", "--seed", "9", (dir / name).string()});
    const auto generated = test::run_program(args);
    EXPECT_EQ(generated.status, 0) << generated.err;
    relink(dir / name, variant);
    return dir / name;
}

std::vector<std::string> with_passphrase(std::vector<std::string> args)
{
    args.insert(args.end(), {"--passphrase", "correct horse", "--ssid", "kestrine-lab"});
    return args;
}

const std::string pmk = "6b0e3f7a1c2d4e5f60718293a4b5c6d7e8f9011223344556677889900aabbccd";
const std::string passphrase_key = "wpa-pwd:correct horse:kestrine-lab";
const key_list by_passphrase = {{"wpa-pwd", "correct horse:kestrine-lab"}};

struct generated_case {
    const char* name;
    std::vector<std::string> generator_args;
    link variant;
    std::string kestrine_key;
    key_list tshark_keys;
    std::vector<std::string> wlantest; // its key arguments, where it checks the case too
    // tshark 4.0 follows the handshakes of the generator's TKIP networks
    // but opens none of their TKIP group frames.
    bool tshark_opens_no_group_frame = false;
};

std::vector<generated_case> generated_cases()
{
    const auto ccmp = with_passphrase({"--encrypt", "ccmp", "--stations", "3"});
    const auto pmf = with_passphrase({"--encrypt", "ccmp", "--protected-management", "--stations", "3"});
    return {
        {"wep40_bare", {"--encrypt", "wep", "--wep-key", "0a0b0c0d0e"}, link::bare, "wep:0a0b0c0d0e",
         {{"wep", "0a:0b:0c:0d:0e"}}, {}},
        {"wep104_fcs", {"--encrypt", "wep", "--wep-key", "0102030405060708090a0b0c0d"}, link::radiotap_fcs_wep,
         "wep:0102030405060708090a0b0c0d", {{"wep", "01:02:03:04:05:06:07:08:09:0a:0b:0c:0d"}}, {}},
        {"tkip_fcs", with_passphrase({"--encrypt", "tkip"}), link::radiotap_fcs_wep, passphrase_key, by_passphrase, {},
         true},
        {"tkip_ppi", with_passphrase({"--encrypt", "tkip"}), link::ppi_fcs, passphrase_key, by_passphrase, {}, true},
        {"ccmp", ccmp, link::radiotap, passphrase_key, by_passphrase, {}},
        {"ccmp_prism", ccmp, link::prism, passphrase_key, by_passphrase, {}},
        {"ccmp_cut_short", ccmp, link::cut_short, passphrase_key, by_passphrase, {}},
        {"ccmp256_ppi", with_passphrase({"--encrypt", "ccmp256"}), link::ppi_fcs, passphrase_key, by_passphrase, {}},
        {"ccmp256", with_passphrase({"--encrypt", "ccmp256", "--small"}), link::radiotap, passphrase_key,
         by_passphrase, {"-p", "correct horse"}},
        {"gcmp_sae", {"--encrypt", "gcmp", "--akm", "8", "--pmk", pmk}, link::radiotap, "wpa-psk:" + pmk,
         {{"wpa-psk", pmk}}, {"-f", pmk}},
        {"gcmp_bare", {"--encrypt", "gcmp", "--akm", "6", "--pmk", pmk}, link::bare, "wpa-psk:" + pmk,
         {{"wpa-psk", pmk}}, {}},
        {"gcmp256_fcs", with_passphrase({"--encrypt", "gcmp256"}), link::radiotap_fcs_wep, passphrase_key,
         by_passphrase, {}},
        {"group_handshake", with_passphrase({"--encrypt", "ccmp", "--group-handshake", "--stations", "3"}),
         link::radiotap, passphrase_key, by_passphrase, {"-p", "correct horse"}},
        {"extended_key_id", with_passphrase({"--encrypt", "ccmp", "--extended-key-id"}), link::radiotap,
         passphrase_key, by_passphrase, {}},
        {"ft_psk", with_passphrase({"--encrypt", "ccmp", "--ft", "--stations", "3"}), link::radiotap, passphrase_key,
         by_passphrase, {}},
        {"tdls", with_passphrase({"--encrypt", "ccmp", "--tdls", "--stations", "3", "--small"}), link::radiotap,
         passphrase_key, by_passphrase, {}},
        {"wpa1_tkip", with_passphrase({"--encrypt", "tkip", "--wpa1"}), link::radiotap, passphrase_key, by_passphrase,
         {}},
        // Robust management frames (SA Query, Deauthentication,
        // Disassociation) under the pair's key, beside the Data frames.
        {"management_ccmp", pmf, link::radiotap, passphrase_key, by_passphrase, {"-p", "correct horse"}},
        {"management_gcmp256_prism",
         with_passphrase({"--encrypt", "gcmp256", "--protected-management", "--stations", "2"}), link::prism,
         passphrase_key, by_passphrase, {}},
        {"management_gcmp256",
         with_passphrase({"--encrypt", "gcmp256", "--protected-management", "--stations", "2"}), link::radiotap,
         passphrase_key, by_passphrase, {"-p", "correct horse"}},
    };
}

// Where a generated case's capture, its twin and kestrine's output lie.
struct generated_run {
    fs::path keyed, twin, output;
    test::run_result run;
};

generated_run decrypt_generated(const generated_case& c, const fs::path& dir)
{
    generated_run r;
    r.keyed = generate(dir, "keyed.pcap", c.generator_args, c.variant);
    auto twin_args = c.generator_args;
    twin_args.push_back("--unencrypted-twin");
    r.twin = generate(dir, "twin.pcap", twin_args, c.variant);
    r.output = dir / "decrypted.pcap";
    r.run = test::run_kestrine({"--decrypt-only", "-k", c.kestrine_key, r.keyed.string(), r.output.string()});
    EXPECT_EQ(r.run.status, 0) << r.run.err;
    return r;
}

TEST(decrypt_only, generated_networks_against_tshark_and_their_twins)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    for (const generated_case& c : generated_cases()) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        const generated_run r = decrypt_generated(c, dir.path);
        const figures f = check_against_tshark(r.keyed, r.output, c.tshark_keys);
        EXPECT_GT(f.decrypted, 300u);
        EXPECT_EQ(f.kestrine_alone, f.group_alone) << "pairwise frames tshark cannot open";
        EXPECT_EQ(f.group_alone > 0, c.tshark_opens_no_group_frame) << f.group_alone << " group frames tshark cannot open";
        EXPECT_EQ(r.run.out, "Wrote " + std::to_string(f.records) + " packets, " + std::to_string(f.decrypted) +
                                 " of them decrypted.\n");

        if (c.variant == link::cut_short)
            continue; // the twin's records are cut elsewhere
        // The twin holds the same records with their traffic unprotected:
        // what a decryption must write.
        const auto twin = test::read_capture(r.twin, true);
        const auto out = test::read_capture(r.output, true);
        ASSERT_TRUE(twin && out);
        ASSERT_EQ(out->records.size(), twin->records.size());
        std::size_t unlike_twin = 0;
        for (std::size_t i = 0; i < twin->records.size(); ++i)
            unlike_twin += same_record(out->records[i], twin->records[i]) ? 0u : 1u;
        EXPECT_EQ(unlike_twin, 0u) << "records not as the twin holds them";
        std::cout << c.name << ": " << f.records << " records, " << f.decrypted << " decrypted ("
                  << f.decrypted - f.kestrine_alone << " dissected as tshark dissects them with the keys, "
                  << f.kestrine_alone << " group frames tshark does not open), " << f.protected_kept
                  << " protected frames written as they came\n";
    }
}

// ---- wlantest, the second decoder

// wlantest's records, each decrypted frame behind the record of the frame
// it decrypted, with the same time: the decrypted 802.11 frames by time.
std::map<std::int64_t, test::bytes> opened_by_wlantest(const fs::path& input, const std::vector<std::string>& keys,
                                                       const fs::path& dir)
{
    std::vector<std::string> args = {KESTRINE_WLANTEST, "-r", input.string(), "-n", (dir / "wlantest.pcapng").string()};
    for (const std::string& key : keys) {
        if (args.back() == "-f") { // a PMK goes in a file
            std::ofstream(dir / "pmk.txt") << key << "\n";
            args.push_back((dir / "pmk.txt").string());
        } else {
            args.push_back(key);
        }
    }
    EXPECT_EQ(test::run_program(args).status, 0) << "wlantest failed";
    std::map<std::int64_t, test::bytes> opened;
    const auto written = test::read_capture(dir / "wlantest.pcapng", true);
    EXPECT_TRUE(written);
    if (!written)
        return opened;
    const auto frame_of = [](const test::record& r) {
        const std::size_t length = r.data.size() < 4 ? r.data.size() : (r.data[2] | r.data[3] << 8);
        return test::bytes(r.data.begin() + static_cast<std::ptrdiff_t>(std::min(length, r.data.size())), r.data.end());
    };
    for (std::size_t i = 1; i < written->records.size(); ++i) {
        const test::record& before = written->records[i - 1];
        const test::record& r = written->records[i];
        const test::bytes original = frame_of(before);
        if (r.seconds == before.seconds && r.fraction == before.fraction && original.size() > 1 &&
            (original[1] & 0x40) != 0)
            opened[r.seconds * 1000000000 + r.fraction] = frame_of(r);
    }
    return opened;
}

TEST(decrypt_only, generated_networks_against_wlantest)
{
    if (!fs::exists(KESTRINE_WLANTEST))
        GTEST_SKIP() << "wlantest is not built: no " << KESTRINE_WLANTEST << " (from ../shared/oracles)";
    for (const generated_case& c : generated_cases()) {
        if (c.wlantest.empty())
            continue;
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        const generated_run r = decrypt_generated(c, dir.path);
        const auto in = test::read_capture(r.keyed, true);
        const auto out = test::read_capture(r.output, true);
        ASSERT_TRUE(in && out);
        std::map<std::int64_t, test::bytes> decrypted;
        for (std::size_t i = 0; i < out->records.size() && i < in->records.size(); ++i) {
            const test::record& w = out->records[i];
            if (!same_record(w, in->records[i])) // radiotap, as generated, without an FCS
                decrypted[w.seconds * 1000000000 + w.fraction] =
                    test::bytes(w.data.begin() + (w.data[2] | w.data[3] << 8), w.data.end());
        }
        const auto opened = opened_by_wlantest(r.keyed, c.wlantest, dir.path);
        EXPECT_GT(opened.size(), 300u);
        EXPECT_TRUE(opened == decrypted) << "wlantest decrypts " << opened.size() << " frames, kestrine "
                                         << decrypted.size();
        std::cout << c.name << ": wlantest decrypts " << opened.size() << " frames, as kestrine writes them\n";
    }
}

// ---- Real captures

struct key_row {
    fs::path file;
    std::string type, key;
};

std::vector<key_row> keyed_captures(const fs::path& corpus)
{
    std::vector<key_row> rows;
    for (const fs::path& listing : {corpus / "KEYS.tsv", corpus / "modern-keyed" / "KEYS.tsv"}) {
        std::ifstream file(listing);
        std::string line;
        std::getline(file, line);
        const auto names = test::split(line, '\t');
        while (std::getline(file, line)) {
            const auto fields = test::split(line, '\t');
            std::map<std::string, std::string> row;
            for (std::size_t i = 0; i < names.size() && i < fields.size(); ++i)
                row[names[i]] = fields[i];
            rows.push_back({listing.parent_path() / row["file"], row["key_type"], row["key"]});
        }
    }
    return rows;
}

// The TKIP group frames of wpa-Induction (key index 2) sent after the
// group key, 73 of its 76, which tshark 4.0 does not open: kestrine checks
// their Michael MIC and ICV.
const std::map<std::string, std::size_t> opened_by_kestrine_alone = {
    {"john-samples__wpa-Induction.pcap", 73},
    {"john-samples__wpa-Induction.pcapng", 73},
};

TEST(decrypt_only, real_captures_with_their_keys)
{
    const auto corpus = test::shared_captures();
    if (!corpus || !fs::exists(*corpus / "KEYS.tsv"))
        GTEST_SKIP() << "no " << (corpus ? *corpus : fs::path(KESTRINE_SHARED_CAPTURES)) / "KEYS.tsv";
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    std::size_t files = 0;
    for (const key_row& row : keyed_captures(*corpus)) {
        SCOPED_TRACE(row.file.filename().string());
        test::scratch_dir dir;
        const auto run = test::run_kestrine({"--decrypt-only", "--nano", "-k", row.type + ":" + row.key,
                                             row.file.string(), (dir / "out.pcap").string()});
        ASSERT_EQ(run.status, 0) << run.err;
        const figures f = check_against_tshark(row.file, dir / "out.pcap", {{row.type, row.key}});
        const auto alone = opened_by_kestrine_alone.find(row.file.filename().string());
        EXPECT_EQ(f.kestrine_alone, alone == opened_by_kestrine_alone.end() ? 0 : alone->second);
        EXPECT_GT(f.decrypted, 0u);
        std::cout << row.file.filename().string() << ": " << f.records << " records, " << f.decrypted
                  << " decrypted (" << f.kestrine_alone << " that tshark does not open), " << f.protected_kept
                  << " protected frames written as they came\n";
        ++files;
    }
    EXPECT_GE(files, 9u);
}

// ---- The run's ways

// One output, however it is written: one thread or two, a record at a
// time, through pipes, with --stats.
TEST(decrypt_only, every_way_of_running_writes_the_same_capture)
{
    test::scratch_dir dir;
    const fs::path input = generate(dir.path, "in.pcap", with_passphrase({"--encrypt", "gcmp", "--stations", "4"}),
                                     link::radiotap_fcs_wep);
    const auto reference =
        test::run_kestrine({"--decrypt-only", "-j", "1", "-k", passphrase_key, input.string(), (dir / "1.pcap").string()});
    ASSERT_EQ(reference.status, 0) << reference.err;
    const test::bytes expected = test::read_file(dir / "1.pcap");
    struct way {
        const char* name;
        std::vector<std::string> args;
        bool pipes;
    };
    const std::vector<way> ways = {
        {"two threads", {"-j", "2"}, false},
        {"a record at a time", {"-U"}, false},
        {"pipes, two threads", {"-j", "2"}, true},
        {"statistics", {"--stats"}, false},
    };
    for (const way& w : ways) {
        SCOPED_TRACE(w.name);
        std::vector<std::string> args = {"--decrypt-only", "-k", passphrase_key};
        args.insert(args.end(), w.args.begin(), w.args.end());
        const fs::path written = dir / "out.pcap";
        test::run_result run;
        if (w.pipes) {
            run = test::run_program({"/bin/sh", "-c",
                                     "\"$0\" \"$@\" - - <'" + input.string() + "' | cat >'" + written.string() + "'",
                                     KESTRINE_BINARY, args[0], args[1], args[2], args[3], args[4]});
            EXPECT_EQ(run.err, reference.out); // the summary moves to standard error
        } else {
            args.insert(args.end(), {input.string(), written.string()});
            run = test::run_kestrine(args);
            EXPECT_EQ(run.out, reference.out);
        }
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(test::read_file(written) == expected);
        if (w.args[0] == std::string("--stats")) {
            EXPECT_NE(run.err.find("records read"), std::string::npos) << run.err;
        }
    }
}

} // namespace
