// Damaged and hostile handshakes end in clean, counted drops: a generated
// WPA2 capture (one station: two frames before its handshake, messages 1-4,
// then traffic with some group frames) is changed one way per case and
// converted with --stats.
#include "test_support.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

const std::string good_key = "wpa-pwd:correct horse:kestrine-lab";

// A --stats row's count.
long long stat_of(const std::string& table, const std::string& label)
{
    const std::size_t at = table.find(label);
    if (at == std::string::npos)
        return -1;
    return std::stoll(table.substr(at + label.size()));
}

struct outcome {
    long long decrypted = -1;
    long long no_session = -1;
    long long unmatched = -1;
    long long matched = -1;
    std::string table;
};

outcome convert_with_keys(std::vector<test::record> records,
                          const std::function<void(std::vector<test::record>&)>& change, const std::vector<std::string>& keys)
{
    test::scratch_dir dir;
    change(records);
    test::write_capture(dir / "in.pcap", records);
    std::vector<std::string> arguments{"--stats"};
    for (const std::string& key : keys) {
        arguments.push_back("-k");
        arguments.push_back(key);
    }
    arguments.push_back((dir / "in.pcap").string());
    arguments.push_back((dir / "out.pcap").string());
    const auto result = test::run_kestrine(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return {stat_of(result.err, "decrypted and converted"), stat_of(result.err, "no key for its network yet"),
            stat_of(result.err, "its handshake matches no key given"), stat_of(result.err, "handshakes matched by a key"), result.err};
}

outcome convert(std::vector<test::record> records, const std::function<void(std::vector<test::record>&)>& change,
                const std::string& key = good_key)
{
    return convert_with_keys(std::move(records), change, {key});
}

// Records 2-5 are messages 1-4; the EAPOL frame starts 32 bytes into the
// 802.11 frame, its Key Data length 97 bytes into that.
constexpr std::size_t message_1 = 2, message_2 = 3, message_3 = 4;
constexpr std::size_t key_data_length = 32 + 97;

TEST(handshake_faults, clean_drops_counted)
{
    test::scratch_dir dir;
    const auto generated = test::run_program({KESTRINE_GEN_BINARY, "--link", "bare", "--encrypt", "ccmp", "--passphrase",
                                              "correct horse", "--ssid", "kestrine-lab", "--stations", "1", "--records",
                                              "300", "--seed", "11", (dir / "gen.pcap").string()});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const auto capture = test::read_capture(dir / "gen.pcap");
    ASSERT_TRUE(capture.has_value());
    const auto& records = capture->records;
    ASSERT_GT(records.size(), message_3);
    ASSERT_EQ(records[message_1].data[30], 0x88); // EAPOL behind its LLC header
    ASSERT_EQ(records[message_1].data[31], 0x8E);

    const outcome intact = convert(records, [](auto&) {});
    ASSERT_GT(intact.decrypted, 200);
    EXPECT_EQ(intact.no_session, 2);
    EXPECT_EQ(intact.matched, 1);
    const long long after_handshake = intact.decrypted; // every frame behind it converts

    // A wrong passphrase decrypts nothing and says why.
    const outcome wrong = convert(records, [](auto&) {}, "wpa-pwd:incorrect horse:kestrine-lab");
    EXPECT_EQ(wrong.decrypted, 0);
    EXPECT_EQ(wrong.unmatched, after_handshake);
    EXPECT_EQ(wrong.matched, 0);

    // Without messages 2 and 3 there are no nonces to go on.
    const outcome truncated = convert(records, [](auto& r) { r.erase(r.begin() + message_2, r.begin() + message_3 + 1); });
    EXPECT_EQ(truncated.decrypted, 0);
    EXPECT_EQ(truncated.no_session, after_handshake + 2);

    // A replayed message 1 (a new ANonce) after the handshake changes no key.
    const outcome replayed = convert(records, [](auto& r) {
        test::record again = r[message_1];
        again.data[32 + 17] ^= 0xFF;
        r.insert(r.begin() + message_3 + 2, again);
    });
    EXPECT_EQ(replayed.decrypted, after_handshake);

    // Message 3's Key Data cannot be read: message 2 still gives the pair
    // its keys, but the group key is lost, so only group frames drop.
    for (const auto& damage : std::vector<std::function<void(std::vector<test::record>&)>>{
             [](auto& r) { r[message_3].data[key_data_length] = 0xFF; r[message_3].data[key_data_length + 1] = 0xFF; },
             [](auto& r) {
                 r[message_3].data.resize(key_data_length + 10);
                 r[message_3].caplen = r[message_3].len = 0;
             },
             [](auto& r) { r[message_3].data[key_data_length + 5] ^= 0x01; }}) {
        const outcome damaged = convert(records, damage);
        EXPECT_GT(damaged.decrypted, 0) << damaged.table;
        EXPECT_LT(damaged.decrypted, after_handshake);
        EXPECT_EQ(damaged.decrypted + damaged.no_session, after_handshake + 2);
    }
}

// Each handshake counts once, matched or not, however many of its messages
// were checked: three stations, one handshake each.
TEST(handshake_faults, each_handshake_counted_once)
{
    test::scratch_dir dir;
    const auto generated = test::run_program({KESTRINE_GEN_BINARY, "--link", "bare", "--encrypt", "ccmp", "--passphrase",
                                              "correct horse", "--ssid", "kestrine-lab", "--stations", "3", "--records",
                                              "300", "--seed", "12", (dir / "gen.pcap").string()});
    ASSERT_EQ(generated.status, 0) << generated.err;
    const auto capture = test::read_capture(dir / "gen.pcap");
    ASSERT_TRUE(capture.has_value());
    // Every EAPOL frame of the capture sent again at its end: the same
    // handshakes seen twice.
    const auto seen_twice = [](std::vector<test::record>& r) {
        const std::size_t count = r.size();
        for (std::size_t i = 0; i < count; ++i)
            if (r[i].data.size() > 31 && r[i].data[30] == 0x88 && r[i].data[31] == 0x8E)
                r.push_back(r[i]);
    };
    const std::string wrong_key = "wpa-pwd:incorrect horse:kestrine-lab";
    struct case_row {
        const char* name;
        std::vector<std::string> keys;
        std::function<void(std::vector<test::record>&)> change;
        long long matched;
        long long unmatched;
        const char* line; // on standard error: the network's row, or the warning
    };
    const std::string warning = "kestrine: warning: no key given matches any of the handshakes seen (3)\n";
    const std::vector<case_row> cases = {
        {"right key", {good_key}, [](auto&) {}, 3, 0, "network 02:1a:11:f0:00:01, key 1 "},
        {"wrong key", {wrong_key}, [](auto&) {}, 0, 3, warning.c_str()},
        {"two keys, the second matches", {wrong_key, good_key}, [](auto&) {}, 3, 0, "network 02:1a:11:f0:00:01, key 2 "},
        {"handshakes seen twice, right key", {good_key}, seen_twice, 3, 0, "network 02:1a:11:f0:00:01, key 1 "},
        {"handshakes seen twice, wrong key", {wrong_key}, seen_twice, 0, 3, warning.c_str()},
    };
    for (const case_row& c : cases) {
        const outcome result = convert_with_keys(capture->records, c.change, c.keys);
        EXPECT_EQ(result.matched, c.matched) << c.name << "\n" << result.table;
        EXPECT_EQ(stat_of(result.table, "handshakes no key given matches"), c.unmatched) << c.name << "\n" << result.table;
        EXPECT_NE(result.table.find(c.line), std::string::npos) << c.name << "\n" << result.table;
        EXPECT_EQ(result.table.find("warning") != std::string::npos, c.matched == 0) << c.name;
        EXPECT_EQ(result.table.find(c.keys.front().substr(8, 9)), std::string::npos) << "a key printed";
    }
}

} // namespace
