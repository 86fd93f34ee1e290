// Wi-Fi 7 multi-link operation: the Basic Multi-Link element and the MLO
// KDEs read through the bounded readers (a length that lies is refused,
// never read past), a generated multi-link network decrypted whatever
// frames of its setup are missing or lie, and the two multi-link captures
// of the shared folder as their listings of expected frames say.
#include "decrypt/elements.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

test::bytes hex(const std::string& text)
{
    test::bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

const std::string mld = "020000000a00";
const std::string link_address = "020000000a11";
const std::string gtk = "000102030405060708090a0b0c0d0e0f";

// Basic Multi-Link elements, from the Extension ID on: what each reads as,
// or that it is refused.
struct element_case {
    const char* name;
    std::string body;
    bool accepted;
    int link_id = -1;
    std::size_t profiles = 0;
};

TEST(multi_link, basic_multi_link_elements)
{
    const std::string profile = "0015" "3100" "07" + link_address + "1100010882848b960c121824";
    const std::vector<element_case> cases = {
        {"an AP's, Link ID Info present", "6b3001" "0b" + mld + "02" "00" "0100", true, 2, 0},
        {"a station's, one per-STA profile", "6b0001" "09" + mld + "0100" + profile, true, -1, 1},
        {"a profile without the STA's address is skipped", "6b0001" "09" + mld + "0100" "0004" "0100" "01ff", true,
         -1, 0},
        {"Common Info longer than the element", "6b3001" "20" + mld + "02000100", false},
        {"Common Info too short for the MLD address", "6b0000" "05" "0200000a00", false},
        {"Link ID Info announced beyond Common Info", "6b1000" "07" + mld, false},
        {"a per-STA profile longer than the element", "6b0001" "09" + mld + "0100" "0030" "3100" "07" + link_address,
         false},
        {"STA Info longer than its profile", "6b0001" "09" + mld + "0100" "0005" "3100" "20" "0000", false},
        {"STA Info too short for the address it announces", "6b0001" "09" + mld + "0100" "0005" "3100" "03" "0000",
         false},
        {"one Link ID twice", "6b0001" "09" + mld + "0100" + profile + profile, false},
        {"the reserved Link ID 15", "6b0001" "09" + mld + "0100" "0015" "3f00" "07" + link_address +
                                        "1100010882848b960c121824",
         false},
        {"not of the Basic type", "6b3101" "0b" + mld + "02000100", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::bytes body = hex(c.body);
        multi_link_element element;
        ASSERT_EQ(parse_basic_multi_link(body, element), c.accepted);
        if (!c.accepted)
            continue;
        EXPECT_EQ(test::bytes(element.mld_address.begin(), element.mld_address.end()), hex(mld));
        EXPECT_EQ(element.link_id, c.link_id);
        ASSERT_EQ(element.profile_count, c.profiles);
        if (c.profiles > 0) {
            EXPECT_EQ(element.profiles[0].link_id, 1);
            EXPECT_EQ(test::bytes(element.profiles[0].address.begin(), element.profiles[0].address.end()),
                      hex(link_address));
        }
    }
}

// Key Data with the MLO KDEs (00-0F-AC: 3 MAC Address, 16 MLO GTK, 19 MLO
// Link): what each gives, or that the Key Data is refused.
TEST(multi_link, kdes_of_key_data)
{
    const std::string mac_kde = "dd0a000fac03" + mld;
    const std::string link_kde = "dd0b000fac1301" + link_address;
    const std::string gtk_kde = "dd1b000fac10" "21" "000000000000" + gtk; // Key ID 1, Link ID 2
    struct kde_case {
        const char* name;
        std::string data;
        bool accepted;
    };
    const std::vector<kde_case> cases = {
        {"the three, padded", mac_kde + link_kde + gtk_kde + "dd000000", true},
        {"a MAC Address KDE short of an address", "dd08000fac03" "02000000", false},
        {"an MLO Link KDE short of its address", "dd08000fac13" "01" "0200", false},
        {"an MLO GTK KDE short of a key", "dd0c000fac10" "21" "00000000000000", false},
        {"two MLO GTK KDEs for one link", gtk_kde + gtk_kde, false},
        {"two MLO Link KDEs for one link", link_kde + link_kde, false},
        {"a KDE longer than the Key Data", "dd30000fac13" "01" + link_address, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const test::bytes data = hex(c.data);
        key_data_elements elements;
        ASSERT_EQ(parse_key_data(data, elements), c.accepted);
        if (!c.accepted)
            continue;
        ASSERT_TRUE(elements.has_mld_address);
        EXPECT_EQ(test::bytes(elements.mld_address.begin(), elements.mld_address.end()), hex(mld));
        ASSERT_EQ(elements.link_count, 1u);
        EXPECT_EQ(elements.links[0].link_id, 1);
        ASSERT_EQ(elements.group_key_count, 1u);
        EXPECT_EQ(elements.group_keys[0].link_id, 2);
        EXPECT_EQ(elements.group_keys[0].key_id, 1);
        EXPECT_EQ(test::bytes(elements.group_keys[0].key.begin(), elements.group_keys[0].key.end()), hex(gtk));
    }
}

// A --stats row's count; -1 when the row is missing.
long long stat_of(const std::string& table, const std::string& label)
{
    const std::size_t at = table.find(label);
    return at == std::string::npos ? -1 : std::stoll(table.substr(at + label.size()));
}

// The generator's two-link network, bare 802.11, one station: Beacons on
// links 0 and 1 (records 0, 1), the Association Request and Response (2,
// 3), messages 1-4 (4-7), then traffic.
constexpr std::size_t first_beacon = 0, association_request = 2, association_response = 3, message_1 = 4;

std::size_t multi_link_element_at(const test::bytes& frame)
{
    for (std::size_t at = 24; at + 2 < frame.size(); ++at)
        if (frame[at] == 0xFF && frame[at + 2] == 107 && at + 2 + frame[at + 1] == frame.size())
            return at;
    ADD_FAILURE() << "no Multi-Link element ends the frame";
    return 0;
}

TEST(multi_link, generated_network_whatever_its_setup_says)
{
    test::scratch_dir dir;
    const auto generated = test::run_program(
        {KESTRINE_GEN_BINARY, "--link", "bare", "--encrypt", "ccmp", "--mlo-links", "2", "--passphrase",
         "correct horse", "--ssid", "kestrine-lab", "--stations", "1", "--records", "400", "--seed", "31",
         (dir / "gen.pcap").string()});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const auto capture = test::read_capture(dir / "gen.pcap");
    ASSERT_TRUE(capture.has_value());
    const auto& records = capture->records;
    ASSERT_EQ(records[association_request].data[0], 0x00);
    ASSERT_EQ(records[message_1].data[30], 0x88); // EAPOL behind its LLC header

    struct setup_case {
        const char* name;
        std::function<void(std::vector<test::record>&)> change;
        long long refused;
    };
    const std::vector<setup_case> cases = {
        {"as sent", [](auto&) {}, 0},
        {"no Beacon nor association: the handshake's KDEs alone name the links",
         [](auto& r) { r.erase(r.begin(), r.begin() + message_1); }, 0},
        {"no message 1: the Beacons name the AP MLD", [](auto& r) { r.erase(r.begin() + message_1); }, 0},
        {"Beacons whose Common Info lies",
         [](auto& r) {
             for (std::size_t i = first_beacon; i < first_beacon + 2; ++i)
                 r[i].data[multi_link_element_at(r[i].data) + 5] = 0xF0;
         },
         2},
        {"a Response whose per-STA profile lies",
         [](auto& r) {
             auto& frame = r[association_response].data;
             frame[multi_link_element_at(frame) + 17] = 0xF0; // the profile's length
         },
         1},
    };
    constexpr std::size_t traffic = 400 - 8;
    std::vector<test::record> as_sent;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto changed = records;
        c.change(changed);
        test::write_capture(dir / "in.pcap", changed, {.link_type = 105});
        const auto one = test::run_kestrine({"--stats", "-j", "1", "-k", "wpa-pwd:correct horse:kestrine-lab",
                                             (dir / "in.pcap").string(), (dir / "one.pcap").string()});
        const auto two = test::run_kestrine({"--stats", "-j", "2", "-k", "wpa-pwd:correct horse:kestrine-lab",
                                             (dir / "in.pcap").string(), (dir / "two.pcap").string()});
        ASSERT_EQ(one.status, 0) << one.err;
        ASSERT_EQ(two.status, 0) << two.err;
        EXPECT_EQ(test::read_file(dir / "one.pcap"), test::read_file(dir / "two.pcap"));
        EXPECT_EQ(one.err, two.err) << "--stats differ with two threads";
        EXPECT_EQ(stat_of(one.err, "decrypted and converted"), static_cast<long long>(traffic));
        EXPECT_EQ(stat_of(one.err, "integrity check"), 0);
        EXPECT_EQ(stat_of(one.err, "Multi-Link elements refused as malformed"), c.refused) << one.err;
        // The traffic, its last records, decrypts to the same bytes whatever
        // the setup said.
        const auto written = test::read_capture(dir / "one.pcap");
        ASSERT_TRUE(written.has_value());
        ASSERT_GE(written->records.size(), traffic);
        const std::vector<test::record> tail(written->records.end() - static_cast<std::ptrdiff_t>(traffic),
                                             written->records.end());
        if (as_sent.empty())
            as_sent = tail;
        for (std::size_t i = 0; i < traffic; ++i)
            EXPECT_EQ(tail[i].data, as_sent[i].data) << "traffic record " << i;
        const long long on_link_0 = stat_of(one.err, "link 0, BSSID 02:4d:4c:00:00:10, frames decrypted");
        const long long on_link_1 = stat_of(one.err, "link 1, BSSID 02:4d:4c:00:00:11, frames decrypted");
        EXPECT_GT(on_link_0, 100);
        EXPECT_GT(on_link_1, 100);
        EXPECT_EQ(on_link_0 + on_link_1, static_cast<long long>(traffic));
        EXPECT_NE(one.err.find("network AP MLD 02:4d:4c:00:00:00"), std::string::npos) << one.err;
    }
}

// The shared folder's multi-link captures: every encrypted frame its
// listing names (those with a payload of 21 bytes or more), in order, with
// the Ethernet addresses of the distribution system, the EtherType and the
// length listed; and no other frame decrypted. --decrypt-only writes the
// same frames decrypted as they were sent: the listed link addresses, an
// HT Control field kept, the MSDU's length behind the MAC header; every
// other record as it came.
TEST(multi_link, shared_captures_as_listed)
{
    const auto shared = test::shared_captures();
    const fs::path folder = shared ? *shared / "mlo" : fs::path(KESTRINE_SHARED_CAPTURES) / "mlo";
    if (!fs::exists(folder / "KEYS.tsv"))
        GTEST_SKIP() << "no " << (folder / "KEYS.tsv");
    std::ifstream keys(folder / "KEYS.tsv");
    std::string line;
    std::getline(keys, line);
    int files = 0;
    while (std::getline(keys, line)) {
        const auto fields = test::split(line, '\t');
        ASSERT_EQ(fields.size(), 2u) << line;
        SCOPED_TRACE(fields[0]);
        test::scratch_dir dir;
        const fs::path input = folder / fields[0];
        const auto plain = test::run_kestrine({input.string(), (dir / "plain.pcap").string()});
        const auto keyed = test::run_kestrine({"-k", fields[1], input.string(), (dir / "keyed.pcap").string()});
        // A frame at a time, and with the AEAD frames batched on a second thread.
        const auto as_sent = test::run_kestrine(
            {"--decrypt-only", "-j", "1", "-k", fields[1], input.string(), (dir / "as-sent.pcap").string()});
        const auto batched = test::run_kestrine(
            {"--decrypt-only", "-j", "2", "-k", fields[1], input.string(), (dir / "batched.pcap").string()});
        EXPECT_TRUE(batched.status == 0 && test::read_file(dir / "batched.pcap") == test::read_file(dir / "as-sent.pcap"));
        ASSERT_EQ(plain.status, 0) << plain.err;
        ASSERT_EQ(keyed.status, 0) << keyed.err;
        ASSERT_EQ(as_sent.status, 0) << as_sent.err;
        const auto original = test::read_capture(input);
        auto unchanged = test::read_capture(dir / "as-sent.pcap"); // its decrypted records taken out as listed
        ASSERT_TRUE(original && unchanged && unchanged->records.size() == original->records.size());
        const auto without_key = test::read_capture(dir / "plain.pcap");
        const auto with_key = test::read_capture(dir / "keyed.pcap");
        ASSERT_TRUE(without_key && with_key);
        // What the keyed run writes beyond the records of the run without a key.
        std::vector<test::record> decrypted;
        std::size_t same = 0;
        for (const auto& record : with_key->records) {
            if (same < without_key->records.size() && record.data == without_key->records[same].data &&
                record.seconds == without_key->records[same].seconds)
                ++same;
            else
                decrypted.push_back(record);
        }
        EXPECT_EQ(same, without_key->records.size());

        std::ifstream listing(folder / "expected" / (fields[0] + ".tsv"));
        std::getline(listing, line);
        const auto names = test::split(line, '\t');
        auto column = [&](const char* name) {
            return static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
        };
        std::size_t row = 0;
        while (std::getline(listing, line)) {
            const auto f = test::split(line, '\t');
            ASSERT_GT(f.size(), column("payload_len")) << line;
            ASSERT_LT(row, decrypted.size()) << "frame " << f[0] << " was not decrypted";
            const test::record& r = decrypted[row++];
            SCOPED_TRACE("frame " + f[0]);
            EXPECT_EQ(r.seconds * 1000000 + r.fraction, test::micros_of(f[column("time_epoch")]));
            test::bytes expected = test::mac_bytes(f[column("da")]);
            const test::bytes source = test::mac_bytes(f[column("sa")]);
            expected.insert(expected.end(), source.begin(), source.end());
            const unsigned ethertype = static_cast<unsigned>(std::stoul(f[column("ethertype")], nullptr, 16));
            expected.push_back(static_cast<std::uint8_t>(ethertype >> 8));
            expected.push_back(static_cast<std::uint8_t>(ethertype));
            ASSERT_GE(r.data.size(), 14u);
            EXPECT_EQ(test::bytes(r.data.begin(), r.data.begin() + 14), expected);
            EXPECT_EQ(r.data.size(), 14 + std::stoul(f[column("payload_len")]));

            const std::size_t number = std::stoul(f[0]) - 1;
            ASSERT_LT(number, unchanged->records.size());
            test::bytes& sent = unchanged->records[number].data;
            const std::size_t at = sent.size() > 4 ? static_cast<std::size_t>(sent[2] | sent[3] << 8) : sent.size();
            ASSERT_GE(sent.size(), at + 26);
            const bool qos = (sent[at] & 0x80) != 0, ht_control = qos && (sent[at + 1] & 0x80) != 0;
            test::bytes link_addresses;
            for (const char* name : {"a1", "a2", "a3"}) {
                const test::bytes address = test::mac_bytes(f[column(name)]);
                link_addresses.insert(link_addresses.end(), address.begin(), address.end());
            }
            EXPECT_EQ(sent[at + 1] & 0x40, 0) << "still protected";
            EXPECT_EQ(test::bytes(sent.begin() + static_cast<std::ptrdiff_t>(at + 4),
                                  sent.begin() + static_cast<std::ptrdiff_t>(at + 22)),
                      link_addresses);
            EXPECT_EQ(sent.size() - at - 24 - (qos ? 2 : 0) - (ht_control ? 4 : 0),
                      std::stoul(f[column("msdu_len")]));
            sent = original->records[number].data;
        }
        for (std::size_t i = 0; i < original->records.size(); ++i)
            EXPECT_EQ(unchanged->records[i].data, original->records[i].data) << "record " << i + 1 << " changed";
        EXPECT_EQ(row, decrypted.size()) << "frames decrypted that the listing does not name";
        EXPECT_GT(row, 100u);
        ++files;
    }
    EXPECT_EQ(files, 2);
}

} // namespace
