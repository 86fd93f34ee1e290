// The command line: options, keys and keys files. Every refusal is one
// line on standard error with status 255, creates no output file and never
// repeats the secret it refuses.
#include "decrypt/decrypt.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct refusal_case {
    const char* name;
    std::vector<std::string> args; // "IN" and "OUT" stand for the two files
    std::string error;             // the whole of standard error
    std::string secret;            // must not appear anywhere in the output
};

std::vector<std::string> with_files(const std::vector<std::string>& args, const test::scratch_dir& dir)
{
    std::vector<std::string> out;
    for (const auto& arg : args)
        out.push_back(arg == "IN" ? (dir / "in.pcap").string() : arg == "OUT" ? (dir / "out.pcap").string()
                      : arg == "KEYS" ? (dir / "keys.txt").string() : arg);
    return out;
}

TEST(command_line, refusals)
{
    const std::string k = "kestrine: ";
    const std::vector<refusal_case> cases = {
        {"unknown long option", {"--bogus", "IN", "OUT"}, k + "unknown option --bogus; kestrine --help lists them\n", ""},
        {"unknown short option", {"IN", "-x", "OUT"}, k + "unknown option -x\n", ""},
        {"mistyped option keeps its value hidden", {"--kye=wpa-pwd:hunter2hunter2:lab", "IN", "OUT"},
         k + "unknown option --kye; kestrine --help lists them\n", "hunter2"},
        {"flag given a value", {"--stats=yes", "IN", "OUT"}, k + "option --stats takes no argument\n", ""},
        {"key without its argument", {"IN", "OUT", "-k"}, k + "option -k needs an argument\n", ""},
        {"short WEP key", {"-k", "wep:0102030405ff1", "IN", "OUT"}, k + "--key: a WEP key is 10 or 26 hex digits\n", "0102030405ff1"},
        {"WEP key not hex", {"--key", "wep:01020304zz", "IN", "OUT"}, k + "--key: a WEP key is 10 or 26 hex digits\n", "01020304zz"},
        {"PSK of 63 digits", {"-k", "wpa-psk:" + std::string(63, 'a'), "IN", "OUT"}, k + "--key: a WPA PSK (a PMK) is 64 or 96 hex digits\n", std::string(63, 'a')},
        {"PMK of 80 digits", {"-k", "wpa-psk:" + std::string(80, 'b'), "IN", "OUT"}, k + "--key: a WPA PSK (a PMK) is 64 or 96 hex digits\n", std::string(80, 'b')},
        {"passphrase too short", {"-k", "wpa-pwd:seven77:lab", "IN", "OUT"}, k + "--key: a WPA passphrase is 8 to 63 characters\n", "seven77"},
        {"passphrase without SSID", {"-k", "wpa-pwd:longenough", "IN", "OUT"}, k + "--key: a wpa-pwd key is wpa-pwd:PASSPHRASE:SSID\n", "longenough"},
        {"empty SSID", {"-k", "wpa-pwd:longenough:", "IN", "OUT"}, k + "--key: an SSID is 1 to 32 bytes\n", "longenough"},
        {"broken escape", {"-k", "wpa-pwd:long%3enough%g1:lab", "IN", "OUT"}, k + "--key: a '%' in a wpa-pwd key must begin a %XX escape\n", "enough"},
        {"unknown key type", {"-k", "wpa-eap:secretsecret", "IN", "OUT"}, k + "--key: unknown key type; a KEY is wep:HEX, wpa-pwd:PASSPHRASE:SSID or wpa-psk:HEX\n", "secretsecret"},
        {"keys from standard input", {"--keys", "-", "IN", "OUT"}, k + "--keys: standard input cannot hold the keys; name a file\n", ""},
        {"bad line of a keys file", {"--keys", "KEYS", "IN", "OUT"}, "", "hunter2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        test::write_capture(dir / "in.pcap", {});
        test::write_file(dir / "keys.txt", {});
        const std::string keys_file = "# lab keys\n\nwep:0102030405\n  # indented comment\nwpa-pwd:hunter2:lab\n";
        test::write_file(dir / "keys.txt", test::bytes(keys_file.begin(), keys_file.end()));
        const auto result = test::run_kestrine(with_files(c.args, dir));
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.out, "");
        const std::string expected = c.error.empty() ? k + (dir / "keys.txt").string() + ":5: a WPA passphrase is 8 to 63 characters\n" : c.error;
        EXPECT_EQ(result.err, expected);
        EXPECT_FALSE(fs::exists(dir / "out.pcap"));
        if (!c.secret.empty()) {
            EXPECT_EQ(result.err.find(c.secret), std::string::npos);
        }
    }
}

TEST(command_line, unreadable_keys_file_is_named)
{
    test::scratch_dir dir;
    test::write_capture(dir / "in.pcap", {});
    const auto missing = (dir / "missing.txt").string();
    const auto result = test::run_kestrine({"--keys", missing, (dir / "in.pcap").string(), (dir / "out.pcap").string()});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.err, "kestrine: --keys " + missing + ": No such file or directory\n");
    EXPECT_FALSE(fs::exists(dir / "out.pcap"));
}

TEST(command_line, help_version_and_options_anywhere)
{
    const auto help = test::run_kestrine({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option : {"--key KEY", "--keys FILE", "--stats", "--full-decode", "--version", "wpa-pwd:PASS:SSID"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const auto version = test::run_kestrine({"-V"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "kestrine 1.3\n");

    // After the names, and a name that begins with '-' after "--".
    test::scratch_dir dir;
    test::write_capture(dir / "-in.pcap", {{0, 0, 0, 0, test::data_frame(0x08, 0x02, 40)}});
    const auto run = test::run_kestrine({"--", (dir / "-in.pcap").string(), (dir / "out.pcap").string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "Converted 1 packets.\n");
    const auto stats = test::run_kestrine({(dir / "-in.pcap").string(), (dir / "out.pcap").string(), "--stats"});
    EXPECT_EQ(stats.status, 0);
    EXPECT_NE(stats.err.find("frames written"), std::string::npos) << stats.err;
}

TEST(command_line, options_without_two_names_print_the_banner)
{
    const auto result = test::run_kestrine({"--stats", "-k", "wep:0102030405", "only-one.pcap"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out.rfind("kestrine 1.3 - ", 0), 0u) << result.out;
}

struct key_case {
    const char* text;
    user_key::kind type;
    std::vector<std::uint8_t> wep_key;
};

TEST(keys, accepted_forms)
{
    const std::vector<key_case> cases = {
        {"wep:0102030405", user_key::kind::wep, {1, 2, 3, 4, 5}},
        {"wep:01:02:03:04:05", user_key::kind::wep, {1, 2, 3, 4, 5}},
        {"wep:A0B1C2D3E4F5061728394a5b6c", user_key::kind::wep, {0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0x06, 0x17, 0x28, 0x39, 0x4A, 0x5B, 0x6C}},
        {"wpa-psk:f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e", user_key::kind::wpa, {}},
        // The passphrase ends at the first ':'; escapes make every byte.
        {"wpa-pwd:password:IEEE", user_key::kind::wpa, {}},
        {"wpa-pwd:pass%77ord:I%45EE", user_key::kind::wpa, {}},
    };
    // PBKDF2 of "password" over "IEEE", the standard's example PSK.
    const std::array<std::uint8_t, 32> ieee_psk = {
        0xf4, 0x2c, 0x6f, 0xc5, 0x2d, 0xf0, 0xeb, 0xef, 0x9e, 0xbb, 0x4b, 0x90, 0xb3, 0x8a, 0x5f, 0x90,
        0x2e, 0x83, 0xfe, 0x1b, 0x13, 0x5a, 0x70, 0xe2, 0x3a, 0xed, 0x76, 0x2e, 0x97, 0x10, 0xa1, 0x2e};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        user_key key;
        std::string error;
        ASSERT_TRUE(parse_key(c.text, key, error)) << error;
        EXPECT_EQ(key.type, c.type);
        if (c.type == user_key::kind::wep) {
            EXPECT_EQ(key.wep_key, c.wep_key);
        } else {
            EXPECT_EQ(key.pmk_length, 32u);
            EXPECT_TRUE(std::equal(ieee_psk.begin(), ieee_psk.end(), key.pmk.begin()));
        }
    }
    // An SSID may hold colons; a passphrase holds one only escaped.
    user_key colon, expected;
    std::string error;
    ASSERT_TRUE(parse_key("wpa-pwd:pass%3Aword:my:net", colon, error));
    const std::string ssid = "my:net";
    ASSERT_TRUE(derive_pmk_from_passphrase("pass:word", byte_span(reinterpret_cast<const std::uint8_t*>(ssid.data()), ssid.size()), std::span(expected.pmk).first<32>()));
    EXPECT_EQ(colon.pmk, expected.pmk);

    // A 48-byte PMK, for the SHA-384 AKMs.
    user_key long_pmk;
    ASSERT_TRUE(parse_key("wpa-psk:" + std::string(96, 'c'), long_pmk, error)) << error;
    EXPECT_EQ(long_pmk.pmk_length, 48u);
    EXPECT_EQ(long_pmk.pmk[47], 0xCC);
}

} // namespace
