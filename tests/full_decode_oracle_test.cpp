// Full decoding against an independent decoder. tshark reads each input
// record: where its 802.11 header puts the LLC header, the addresses it
// takes for it (A-MSDU subframes included), the EtherType when the LLC
// header is SNAP, and whether an FCS ends the frame. Every record that
// kestrine --full-decode writes must be the Ethernet frame that reading
// gives, in order, at the same time, and nothing more.
//
// Left out of the comparison: protected and fragmented frames (tshark
// joins fragments into a buffer of its own) and records the radio marked
// as failing their FCS. Skipped without tshark, and the real captures
// without the corpus.
#include "test_support.h"

#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct ethernet_record {
    std::int64_t micros = 0;
    test::bytes bytes;
    bool operator==(const ethernet_record&) const = default;
};

// The quoted value of `attribute` on a PDML line.
std::string attribute(const std::string& line, const std::string& name)
{
    const std::string key = " " + name + "=\"";
    const std::size_t at = line.find(key);
    if (at == std::string::npos)
        return {};
    const std::size_t start = at + key.size();
    return line.substr(start, line.find('"', start) - start);
}

bool is_element(const std::string& line, const std::string& kind, const std::string& name)
{
    return line.find("<" + kind + " name=\"" + name + "\"") != std::string::npos;
}

// One LLC header tshark found, with what it needs to become Ethernet.
struct llc_unit {
    test::bytes destination, source;
    std::size_t llc_at = 0;
    std::size_t end = 0; // where the MSDU ends on the wire
    test::bytes ethertype;
};

struct packet_reading {
    std::int64_t micros = 0;
    bool data = false;
    bool left_out = false;
    std::size_t fcs_at = 0; // 0: no FCS
    std::vector<llc_unit> units;
};

std::vector<ethernet_record> expected_frames(const packet_reading& packet, const test::record& raw)
{
    std::vector<ethernet_record> frames;
    if (!packet.data || packet.left_out)
        return frames;
    const std::size_t wire = raw.len != 0 ? raw.len : raw.data.size();
    for (const llc_unit& unit : packet.units) {
        const std::size_t end = unit.end != 0 ? unit.end : (packet.fcs_at != 0 ? packet.fcs_at : wire);
        const std::size_t length = end - unit.llc_at;
        const bool snap = !unit.ethertype.empty();
        if (!snap && length > 1500)
            continue; // cannot be an IEEE 802.3 frame; kestrine drops it
        ethernet_record frame{packet.micros, unit.destination};
        frame.bytes.insert(frame.bytes.end(), unit.source.begin(), unit.source.end());
        if (snap)
            frame.bytes.insert(frame.bytes.end(), unit.ethertype.begin(), unit.ethertype.end());
        else
            frame.bytes.insert(frame.bytes.end(), {static_cast<std::uint8_t>(length >> 8),
                                                   static_cast<std::uint8_t>(length & 0xFF)});
        const std::size_t from = unit.llc_at + (snap ? 8 : 0);
        const std::size_t to = std::min(end, raw.data.size());
        if (from < to)
            frame.bytes.insert(frame.bytes.end(), raw.data.begin() + static_cast<std::ptrdiff_t>(from),
                               raw.data.begin() + static_cast<std::ptrdiff_t>(to));
        frames.push_back(std::move(frame));
    }
    return frames;
}

// What tshark's reading of `input` says kestrine --full-decode must write.
std::vector<ethernet_record> ask_tshark(const fs::path& input)
{
    const auto pdml = test::run_program({test::tshark_path(), "-r", input.string(), "-T", "pdml"});
    // A capture cut short ends tshark with status 2 after the records before it.
    EXPECT_TRUE(pdml.status == 0 || pdml.err.find("cut short") != std::string::npos) << pdml.err;
    const auto capture = test::read_capture(input);
    EXPECT_TRUE(capture.has_value());
    std::vector<ethernet_record> frames;
    if (!capture)
        return frames;

    std::size_t index = 0;
    packet_reading packet;
    test::bytes destination, source;
    std::size_t subframe_end = 0;
    std::stringstream lines(pdml.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("<packet>") != std::string::npos) {
            packet = {};
            subframe_end = 0;
        } else if (line.find("</packet>") != std::string::npos) {
            if (index < capture->records.size()) {
                for (auto& frame : expected_frames(packet, capture->records[index]))
                    frames.push_back(std::move(frame));
            }
            ++index;
        } else if (is_element(line, "field", "frame.time_epoch")) {
            packet.micros = test::micros_of(attribute(line, "show"));
        } else if (is_element(line, "field", "wlan.fc.type")) {
            packet.data = attribute(line, "show") == "2";
        } else if (is_element(line, "field", "wlan.fc.protected") || is_element(line, "field", "wlan.fc.frag") ||
                   is_element(line, "field", "radiotap.flags.badfcs") ||
                   is_element(line, "field", "ppi.80211-common.flags.fcs-invalid")) {
            packet.left_out |= attribute(line, "show") == "1" || attribute(line, "show") == "True";
        } else if (is_element(line, "field", "wlan.frag")) {
            packet.left_out |= attribute(line, "show") != "0";
        } else if (is_element(line, "field", "wlan.fcs")) {
            packet.fcs_at = std::stoul(attribute(line, "pos"));
        } else if (is_element(line, "field", "wlan.da")) {
            destination = test::mac_bytes(attribute(line, "show"));
        } else if (is_element(line, "field", "wlan.sa")) {
            source = test::mac_bytes(attribute(line, "show"));
        } else if (is_element(line, "field", "wlan_aggregate.a_mdsu.length")) {
            subframe_end = std::stoul(attribute(line, "pos")) + 2 + std::stoul(attribute(line, "show"));
        } else if (is_element(line, "proto", "llc")) {
            packet.units.push_back({destination, source, std::stoul(attribute(line, "pos")), subframe_end, {}});
        } else if (is_element(line, "field", "llc.type") && !packet.units.empty()) {
            const std::string value = attribute(line, "value");
            packet.units.back().ethertype = {static_cast<std::uint8_t>(std::stoul(value.substr(0, 2), nullptr, 16)),
                                             static_cast<std::uint8_t>(std::stoul(value.substr(2, 2), nullptr, 16))};
        }
    }
    return frames;
}

std::vector<ethernet_record> kestrine_frames(const fs::path& input, const test::scratch_dir& dir)
{
    const auto run = test::run_kestrine({"--full-decode", input.string(), (dir / "out.pcap").string()});
    EXPECT_EQ(run.status, 0) << run.err;
    std::vector<ethernet_record> frames;
    const auto output = test::read_capture(dir / "out.pcap");
    if (!output)
        return frames;
    for (const auto& record : output->records)
        frames.push_back({record.seconds * 1000000 + record.fraction, record.data});
    return frames;
}

// The corpus holds no fragmented Data frame, which would show up here as
// a frame kestrine joined and tshark's side left out.
TEST(full_decode_oracle, real_captures_agree_with_tshark)
{
    if (test::tshark_path().empty())
        GTEST_SKIP() << "tshark is not installed";
    const auto corpus = test::shared_captures();
    if (!corpus)
        GTEST_SKIP() << "the shared captures are not here";
    std::size_t compared = 0;
    for (const auto& entry : fs::directory_iterator(*corpus)) {
        const std::string name = entry.path().filename().string();
        if (name.find(".pcap") == std::string::npos && name.find(".cap") == std::string::npos)
            continue;
        SCOPED_TRACE(name);
        test::scratch_dir dir;
        const auto expected = ask_tshark(entry.path());
        const auto written = kestrine_frames(entry.path(), dir);
        ASSERT_EQ(written.size(), expected.size());
        for (std::size_t i = 0; i < written.size(); ++i)
            ASSERT_EQ(written[i], expected[i]) << "record " << i;
        compared += written.size();
    }
    std::cout << compared << " records compared\n";
    EXPECT_GT(compared, 0u);
}

} // namespace
