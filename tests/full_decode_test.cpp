// --full-decode, end to end, on the generator's --full-decode-mix captures
// (every kind of record the mode treats apart) for every link type:
//
// - every output record (time, lengths, bytes, order) is what the reference
//   decoder (reference_decoder.h, which shares nothing with src/) makes of
//   the input; with a key, the decrypted capture gives what the reference
//   makes of the same records unencrypted;
// - tshark's decoding of the output (eth.dst, eth.src, type or length,
//   every payload field) is tshark's decoding of the input (DA, SA, A-MSDU
//   subframes, LLC, mesh addresses), for the reference's output as for
//   kestrine's. Where tshark reads a frame otherwise than full decoding
//   does (listed in known_disagreement), that frame is left out here; the
//   reference comparison still covers it.
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct link_case {
    const char* name;
    int link_type;
};
const link_case links[] = {{"radiotap", 127}, {"ppi", 192}, {"bare", 105}, {"prism", 119}};
void PrintTo(const link_case& c, std::ostream* os) { *os << c.name; }

fs::path generate(const test::scratch_dir& dir, const std::string& name, std::vector<std::string> args)
{
    const fs::path out = dir / (name + ".pcap");
    args.insert(args.begin(), {KESTRINE_GEN_BINARY, "--full-decode-mix", "--records", "700", "--seed", "5"});
    args.push_back(out.string());
    const auto run = test::run_program(args);
    EXPECT_EQ(run.status, 0) << run.err;
    return out;
}

std::vector<reference::capture_record> records_of(const fs::path& path)
{
    std::vector<reference::capture_record> out;
    const auto capture = test::read_capture(path);
    EXPECT_TRUE(capture && !capture->read_error) << path;
    if (capture)
        for (const auto& r : capture->records)
            out.push_back({r.seconds, r.fraction, r.caplen, r.len, r.data});
    return out;
}

fs::path full_decode(const test::scratch_dir& dir, const fs::path& input, std::vector<std::string> keys = {})
{
    const fs::path out = dir / "out.pcap";
    keys.insert(keys.end(), {"--full-decode", input.string(), out.string()});
    const auto run = test::run_kestrine(keys);
    EXPECT_EQ(run.status, 0) << run.err;
    return out;
}

void expect_same_records(const std::vector<reference::capture_record>& got,
                         const std::vector<reference::capture_record>& want)
{
    EXPECT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < std::min(got.size(), want.size()); ++i)
        if (!(got[i] == want[i])) {
            ADD_FAILURE() << "record " << i << ": got " << got[i].seconds << "." << got[i].fraction << " "
                          << got[i].caplen << "/" << got[i].len << " bytes, want " << want[i].seconds << "."
                          << want[i].fraction << " " << want[i].caplen << "/" << want[i].len;
            return;
        }
}

class FullDecode : public testing::TestWithParam<link_case> {};

TEST_P(FullDecode, EveryRecordIsTheReferences)
{
    test::scratch_dir dir;
    const fs::path input = generate(dir, "in", {"--link", GetParam().name});
    const auto want = reference::full_decode(GetParam().link_type, records_of(input));
    ASSERT_GT(want.size(), 300u);
    const fs::path output = full_decode(dir, input);
    const auto capture = test::read_capture(output);
    ASSERT_TRUE(capture);
    EXPECT_EQ(capture->link_type, 1);
    expect_same_records(records_of(output), want);
}

// --stats: every record read ends in one row, and the counts of what was
// written agree with the output.
TEST_P(FullDecode, StatisticsAddUp)
{
    test::scratch_dir dir;
    const fs::path input = generate(dir, "in", {"--link", GetParam().name});
    const auto run = test::run_kestrine({"--full-decode", "--stats", input.string(), (dir / "out.pcap").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::int64_t> rows;
    std::int64_t fates = 0;
    bool in_fates = false;
    std::stringstream lines(run.err);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t last_space = line.find_last_of(' ');
        const std::string label = line.substr(0, line.find_last_not_of(' ', last_space) + 1);
        const std::int64_t value = std::stoll(line.substr(last_space + 1));
        rows[label.substr(label.find_first_not_of(' '))] = value;
        if (label.starts_with("records read") || label.starts_with("frames written"))
            in_fates = label.starts_with("records read");
        else if (in_fates)
            fates += value;
    }
    const auto output = records_of(dir / "out.pcap");
    const auto ieee_802_3 = std::count_if(output.begin(), output.end(),
                                          [](const auto& r) { return (r.bytes[12] << 8 | r.bytes[13]) <= 1500; });
    EXPECT_EQ(rows["records read"], static_cast<std::int64_t>(records_of(input).size()));
    EXPECT_EQ(fates, rows["records read"]);
    EXPECT_EQ(rows["frames written"], static_cast<std::int64_t>(output.size()));
    EXPECT_EQ(rows["IEEE 802.3 frames"], ieee_802_3);
    EXPECT_GT(rows["A-MSDU subframes"], 0);
    EXPECT_GT(rows["fragments held and joined into a frame written"], 0);
    const bool has_flags = GetParam().link_type == 127 || GetParam().link_type == 192;
    EXPECT_EQ(rows["dropped, FCS wrong"] > 0, has_flags);
}

INSTANTIATE_TEST_SUITE_P(Links, FullDecode, testing::ValuesIn(links),
                         [](const auto& param) { return std::string(param.param.name); });

struct cipher_case {
    const char* name;
    std::vector<std::string> generator_args;
    std::string key;
};

class FullDecodeDecrypted : public testing::TestWithParam<cipher_case> {};

TEST_P(FullDecodeDecrypted, IsTheUnencryptedTwinDecoded)
{
    test::scratch_dir dir;
    const fs::path input = generate(dir, "in", GetParam().generator_args);
    auto twin_args = GetParam().generator_args;
    twin_args.push_back("--unencrypted-twin");
    const auto want = reference::full_decode(127, records_of(generate(dir, "twin", twin_args)));
    ASSERT_GT(want.size(), 300u);
    expect_same_records(records_of(full_decode(dir, input, {"-k", GetParam().key})), want);
}

void PrintTo(const cipher_case& c, std::ostream* os) { *os << c.name; }

const cipher_case ciphers[] = {
    {"ccmp", {"--encrypt", "ccmp", "--passphrase", "p12345678", "--ssid", "s"}, "wpa-pwd:p12345678:s"},
    {"tkip", {"--encrypt", "tkip", "--passphrase", "p12345678", "--ssid", "s"}, "wpa-pwd:p12345678:s"},
    {"wep", {"--encrypt", "wep", "--wep-key", "0102030405"}, "wep:0102030405"},
};
INSTANTIATE_TEST_SUITE_P(Ciphers, FullDecodeDecrypted, testing::ValuesIn(ciphers),
                         [](const auto& param) { return std::string(param.param.name); });

// ---- tshark's reading ----

// One PDML element: a protocol or a field, at its nesting depth.
struct element {
    int depth = 0;
    bool proto = false;
    std::string name, show, value, showname;
    long pos = 0, size = 0;
};
using packet = std::vector<element>;

std::string attribute(const std::string& line, const std::string& key)
{
    const std::string marker = " " + key + "=\"";
    auto at = line.find(marker);
    if (at == std::string::npos)
        return "";
    at += marker.size();
    return line.substr(at, line.find('"', at) - at);
}

std::vector<packet> pdml(const fs::path& capture)
{
    // FCS checking on: a frame whose FCS is wrong is not written.
    const auto run = test::run_program(
        {test::tshark_path(), "-n", "-o", "wlan.check_checksum:TRUE", "-r", capture.string(), "-T", "pdml"});
    // A capture cut short ends tshark with status 2 after the records before it.
    EXPECT_TRUE(run.status == 0 || run.err.find("cut short") != std::string::npos) << run.err;
    std::vector<packet> packets;
    std::stringstream lines(run.out);
    int depth = 0;
    for (std::string line; std::getline(lines, line);) {
        const std::string l = line.substr(std::min(line.size(), line.find_first_not_of(' ')));
        if (l.starts_with("<packet>")) {
            packets.emplace_back();
            depth = 0;
        } else if (l.starts_with("</proto>") || l.starts_with("</field>")) {
            --depth;
        } else if (!packets.empty() && (l.starts_with("<proto ") || l.starts_with("<field "))) {
            const std::string pos = attribute(l, "pos"), size = attribute(l, "size");
            packets.back().push_back({depth, l.starts_with("<proto "), attribute(l, "name"), attribute(l, "show"),
                                      attribute(l, "value"), attribute(l, "showname"),
                                      pos.empty() ? 0 : std::stol(pos), size.empty() ? 0 : std::stol(size)});
            if (!l.ends_with("/>"))
                ++depth;
        }
    }
    return packets;
}

std::size_t subtree_end(const packet& p, std::size_t i)
{
    std::size_t j = i + 1;
    while (j < p.size() && p[j].depth > p[i].depth)
        ++j;
    return j;
}

const element* find(const packet& p, const std::string& name, std::size_t from = 0, std::size_t to = SIZE_MAX)
{
    for (std::size_t i = from; i < std::min(to, p.size()); ++i)
        if (p[i].name == name)
            return &p[i];
    return nullptr;
}

std::string show(const packet& p, const std::string& name, std::size_t from = 0, std::size_t to = SIZE_MAX)
{
    const element* e = find(p, name, from, to);
    return e != nullptr ? e->show : "";
}

std::int64_t micros(const packet& p) { return test::micros_of(show(p, "frame.time_epoch")); }

// An Ethernet frame as tshark describes it: addresses, EtherType or
// length, then every payload field with its bytes.
struct described_frame {
    std::int64_t micros = 0;
    std::string da, sa, type_or_length;
    std::vector<std::string> payload;
    bool operator==(const described_frame&) const = default;
};

void add_fields(std::vector<std::string>& out, const packet& p, std::size_t from, std::size_t to)
{
    for (std::size_t i = from; i < to; ++i)
        if (!p[i].value.empty() && p[i].size > 0 && !p[i].name.empty())
            out.push_back(p[i].name + "=" + p[i].value);
}

struct tshark_reading {
    std::vector<described_frame> frames;
    std::set<std::int64_t> left_out; // times of frames tshark reads otherwise
};

// The output capture: Ethernet frames.
tshark_reading read_output(const fs::path& capture)
{
    tshark_reading out;
    for (const packet& p : pdml(capture)) {
        const element* eth = find(p, "eth");
        if (eth == nullptr)
            continue;
        const std::size_t after = subtree_end(p, static_cast<std::size_t>(eth - p.data()));
        described_frame f{micros(p), find(p, "eth.dst")->value, find(p, "eth.src")->value, "", {}};
        f.type_or_length = find(p, "eth.type") != nullptr ? "type " + find(p, "eth.type")->value
                                                           : "length " + find(p, "eth.len")->value;
        add_fields(f.payload, p, after, p.size());
        out.frames.push_back(std::move(f));
    }
    return out;
}

// The Ethernet frame an MSDU of wire length n (captured k) becomes, from
// tshark's reading of its LLC header; its fields lie in [from, to) of p,
// and `more` adds those of p's top-level data fields.
void add_msdu(tshark_reading& out, std::int64_t when, const std::string& da, const std::string& sa, long n, long k,
              const packet& p, std::size_t from, std::size_t to, const std::vector<std::size_t>& more)
{
    if (n >= 8 && k < 8)
        return;
    described_frame f{when, da, sa, "", {}};
    const element* llc = find(p, "llc", from, to);
    const element* oui = llc != nullptr ? find(p, "llc.oui", from, to) : nullptr;
    const bool snap = n >= 8 && find(p, "llc.type", from, to) != nullptr && oui != nullptr &&
                      (oui->value == "000000" || oui->value == "0000f8");
    if (snap) {
        f.type_or_length = "type " + find(p, "llc.type", from, to)->value;
        from = subtree_end(p, static_cast<std::size_t>(llc - p.data()));
    } else if (n == 0 || n > 1500) {
        return;
    } else {
        char length[16];
        std::snprintf(length, sizeof length, "length %04lx", n);
        f.type_or_length = length;
    }
    add_fields(f.payload, p, from, to);
    for (std::size_t i : more)
        add_fields(f.payload, p, i, subtree_end(p, i));
    out.frames.push_back(std::move(f));
}

// Where tshark and full decoding part: a Mesh Control tshark does not see
// (inside A-MSDU subframes, or with the reserved address extension mode),
// an empty A-MSDU subframe (tshark stops), and fragments that tshark puts
// together out of arrival order or past a retransmission.
bool known_disagreement(const packet& p, bool mesh_candidate, bool aggregate, const std::vector<bool>& retried)
{
    if (aggregate)
        return mesh_candidate || std::any_of(p.begin(), p.end(), [](const element& e) {
                   return e.name == "wlan_aggregate.a_mdsu.length" && e.show == "0";
               });
    const std::string dsap = show(p, "llc.dsap");
    if (mesh_candidate && find(p, "wlan.mesh.control_field") == nullptr && !dsap.empty() &&
        (std::stoul(dsap, nullptr, 16) & 0xFC) == 0)
        return true;
    long previous = 0;
    for (const element& e : p)
        if (e.name == "wlan.fragment") {
            const long frame = std::stol(e.show);
            if (frame < previous || retried.at(static_cast<std::size_t>(frame)))
                return true;
            previous = frame;
        }
    return false;
}

// The input capture: what full decoding must make of each frame, read
// from tshark's decoding.
tshark_reading read_input(const fs::path& capture)
{
    tshark_reading out;
    std::vector<bool> retried{false};
    for (const packet& p : pdml(capture)) {
        retried.push_back(show(p, "wlan.fc.retry") == "1");
        const element* wlan = find(p, "wlan");
        const element* radiotap = find(p, "radiotap");
        if (wlan == nullptr || show(p, "radiotap.flags.badfcs") == "1" || show(p, "wlan.fcs.status") == "0" ||
            show(p, "ppi.80211-common.flags.fcs-invalid") == "1" ||
            (radiotap != nullptr && (radiotap->showname.find("(invalid)") != std::string::npos ||
                                     radiotap->showname.find("(malformed)") != std::string::npos)))
            continue;
        const std::int64_t when = micros(p);
        const unsigned long qos = find(p, "wlan.qos") ? std::stoul(show(p, "wlan.qos"), nullptr, 16) : 0;
        const unsigned long ds = find(p, "wlan.fc.ds") ? std::stoul(show(p, "wlan.fc.ds"), nullptr, 16) : 0;
        const bool group = (std::stoul(find(p, "wlan.ra") ? find(p, "wlan.ra")->value.substr(0, 2) : "0", nullptr,
                                       16) & 1) != 0;
        const bool mesh_candidate = (qos & 0x100) != 0 && (ds == 3 || (ds == 2 && group));
        const element* aggregate = find(p, "wlan_aggregate");
        if (known_disagreement(p, mesh_candidate, aggregate != nullptr, retried)) {
            out.left_out.insert(when);
            continue;
        }
        const bool cut = std::stol(show(p, "frame.cap_len")) < std::stol(show(p, "frame.len"));
        std::vector<std::size_t> top_data; // fake-field-wrapper: payload bytes tshark files at the top
        for (std::size_t i = 0; i < p.size(); ++i)
            if (p[i].depth == 0 && p[i].name == "fake-field-wrapper")
                top_data.push_back(i);
        if (aggregate == nullptr) {
            const element* llc = find(p, "llc");
            if (llc == nullptr || find(p, "wlan.fc.protected") == nullptr || show(p, "wlan.fc.protected") == "1")
                continue;
            std::string da = find(p, "wlan.da")->value, sa = find(p, "wlan.sa")->value;
            for (const auto& [name, target] : {std::pair{"wlan.fixed.mesh_addr4", &sa},
                                               std::pair{"wlan.fixed.mesh_addr5", &da},
                                               std::pair{"wlan.fixed.mesh_addr6", &sa}})
                if (find(p, name) != nullptr)
                    *target = find(p, name)->value;
            const std::string reassembled = show(p, "wlan.reassembled.length");
            const long fcs = find(p, "wlan.fcs") != nullptr ? 4 : 0;
            const long n = !reassembled.empty() ? std::stol(reassembled) - llc->pos
                                                : std::stol(show(p, "frame.len")) - llc->pos - fcs;
            const long k = !reassembled.empty() ? n : std::stol(show(p, "frame.cap_len")) - llc->pos;
            add_msdu(out, when, da, sa, n, std::min(n, k), p, static_cast<std::size_t>(llc - p.data()), p.size(), {});
            continue;
        }
        const std::size_t end = subtree_end(p, static_cast<std::size_t>(aggregate - p.data()));
        for (std::size_t i = static_cast<std::size_t>(aggregate - p.data()); i < end; ++i) {
            const element& sub = p[i];
            if (sub.name != "wlan_aggregate.a_mdsu.subframe")
                continue;
            const std::size_t sub_end = subtree_end(p, i);
            const std::string da = find(p, "wlan.da", i, sub_end)->value;
            if (da == "aaaa03000000" && i == static_cast<std::size_t>(aggregate - p.data()) + 1)
                break; // the whole frame is dropped
            const long n = std::stol(show(p, "wlan_aggregate.a_mdsu.length", i, sub_end));
            const long k = std::min(n, sub.size - 14);
            if (k < n && !cut)
                break; // the length runs past the frame: malformed
            // Top-level payload bytes belong to the last subframe that starts before them.
            const element* next = find(p, sub.name, sub_end, end);
            std::vector<std::size_t> data;
            for (std::size_t w : top_data)
                for (std::size_t j = w; j < subtree_end(p, w); ++j)
                    if (p[j].size > 0) {
                        if (p[j].pos >= sub.pos && (next == nullptr || p[j].pos < next->pos))
                            data.push_back(w);
                        break;
                    }
            const element* length = find(p, "wlan_aggregate.a_mdsu.length", i, sub_end);
            add_msdu(out, when, da, find(p, "wlan.sa", i, sub_end)->value, n, k, p,
                     static_cast<std::size_t>(length - p.data()) + 1, sub_end, data);
            if (k < n)
                break;
        }
    }
    return out;
}

// Returns the number of frames compared.
std::size_t expect_tshark_agrees(const fs::path& input, const fs::path& output, std::size_t at_least = 200)
{
    const tshark_reading want = read_input(input), got = read_output(output);
    std::vector<described_frame> kept;
    for (const auto& f : got.frames)
        if (!want.left_out.contains(f.micros))
            kept.push_back(f);
    std::cout << input.filename().string() << ": " << want.frames.size() << " frames as tshark reads the input, "
              << want.left_out.size() << " records left out\n";
    EXPECT_GE(want.frames.size(), at_least);
    EXPECT_EQ(kept.size(), want.frames.size());
    for (std::size_t i = 0; i < std::min(kept.size(), want.frames.size()); ++i)
        if (!(kept[i] == want.frames[i])) {
            const auto& a = kept[i].payload;
            const auto& b = want.frames[i].payload;
            const auto differ = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
            ADD_FAILURE() << "frame " << i << " at " << kept[i].micros << " us: " << kept[i].da << " "
                          << kept[i].sa << " " << kept[i].type_or_length << ", field "
                          << (differ.first != a.end() ? *differ.first : "(none)") << "; tshark's reading of the input at "
                          << want.frames[i].micros << " us: " << want.frames[i].da << " " << want.frames[i].sa
                          << " " << want.frames[i].type_or_length << ", field "
                          << (differ.second != b.end() ? *differ.second : "(none)");
            break;
        }
    return want.frames.size();
}

class FullDecodeTshark : public testing::TestWithParam<link_case> {
protected:
    void SetUp() override
    {
        if (test::tshark_path().empty())
            GTEST_SKIP() << "tshark is not installed";
    }
};

TEST_P(FullDecodeTshark, ReferenceReadsAsTsharkDoes)
{
    test::scratch_dir dir;
    const fs::path input = generate(dir, "in", {"--link", GetParam().name});
    std::vector<test::record> decoded;
    for (auto& r : reference::full_decode(GetParam().link_type, records_of(input)))
        decoded.push_back({r.seconds, r.fraction, r.caplen, r.len, r.bytes});
    test::write_capture(dir / "reference.pcap", decoded, {1});
    expect_tshark_agrees(input, dir / "reference.pcap");
}

TEST_P(FullDecodeTshark, KestrineReadsAsTsharkDoes)
{
    test::scratch_dir dir;
    const fs::path input = generate(dir, "in", {"--link", GetParam().name});
    expect_tshark_agrees(input, full_decode(dir, input));
}

INSTANTIATE_TEST_SUITE_P(Links, FullDecodeTshark, testing::ValuesIn(links),
                         [](const auto& param) { return std::string(param.param.name); });

// The real captures: every record kestrine writes is a frame of tshark's
// reading of the input, in order, and every frame of that reading is
// written. Skipped without the corpus.
TEST(FullDecodeRealCaptures, ReadAsTsharkDoes)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    const auto corpus = test::shared_captures();
    if (!corpus)
        GTEST_SKIP() << "the shared captures are not here";
    std::size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(*corpus)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".pcap" && ext != ".cap" && ext != ".pcapng")
            continue;
        SCOPED_TRACE(entry.path().filename().string());
        test::scratch_dir dir;
        compared += expect_tshark_agrees(entry.path(), full_decode(dir, entry.path()), 0);
    }
    EXPECT_GT(compared, 250u);
}

} // namespace
