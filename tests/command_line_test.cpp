// The command line: options, keys and keys files. Every refusal is one
// line on standard error with status 255, creates no output file and never
// repeats the secret it refuses.
#include "program/command_line.h"
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"
#include "test_support.h"

#include <getopt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

// The passphrase that every refusal below carries somewhere.
const std::string secret = "TopSecret99";

struct refusal_case {
    const char* name;
    std::vector<std::string> args; // IN, OUT, KEYS (the keys file) and DIR stand for paths
    std::string keys_file;         // the contents of KEYS
    std::string error;             // the line after "kestrine: ", with the same stand-ins
    std::string hidden = secret;   // must appear in neither standard output nor error
};

// The stand-ins replaced in one pass, left to right: a path put in is not
// searched again, since a scratch folder's random name may hold a word.
std::string with_paths(const std::string& text, const test::scratch_dir& dir)
{
    const std::pair<std::string, std::string> words[] = {{"IN", (dir / "in.pcap").string()},
                                                         {"OUT", (dir / "out.pcap").string()},
                                                         {"KEYS", (dir / "keys.txt").string()},
                                                         {"DIR", dir.path.string()}};
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const auto word = std::find_if(std::begin(words), std::end(words),
                                       [&](const auto& w) { return text.compare(at, w.first.size(), w.first) == 0; });
        if (word != std::end(words)) {
            out += word->second;
            at += word->first.size();
        } else {
            out += text[at++];
        }
    }
    return out;
}

// Every way the command line or a keys file is refused: one line on
// standard error, status 255, at once, no output file, and the secret
// nowhere.
TEST(command_line, refusals_never_repeat_the_secret)
{
    const std::string pwd = "wpa-pwd:" + secret + ":HomeNet";
    const std::string a_key = "unknown key type; a KEY is wep:HEX, wpa-pwd:PASSPHRASE:SSID or wpa-psk:HEX";
    const std::string too_long = "a line is longer than 4096 bytes";
    const std::string too_many = "more than 256 keys given";
    std::vector<std::string> many_keys;
    for (int i = 0; i < 200; ++i)
        many_keys.insert(many_keys.end(), {"-k", "wep:0102030405"});
    std::string file_of_keys = "# lab\n";
    for (int i = 0; i < 60; ++i)
        file_of_keys += "wep:0102030405\n\n";
    const auto with = [](std::vector<std::string> args, const std::vector<std::string>& more) {
        args.insert(args.end(), more.begin(), more.end());
        return args;
    };
    const std::vector<refusal_case> cases = {
        // A KEY where a name or an option belongs.
        {"--keys=KEY", {"--keys=" + pwd, "IN", "OUT"}, "", "the argument of --keys looks like a KEY; --key takes a KEY"},
        {"--keys KEY", {"--keys", "wpa-psk:" + secret, "IN", "OUT"}, "", "the argument of --keys looks like a KEY; --key takes a KEY"},
        {"KEY as an option", {"--" + pwd, "IN", "OUT"}, "", "an unknown option looks like a KEY; --key takes a KEY"},
        {"KEY inside an option", {"--k:WEP:" + secret, "IN", "OUT"}, "", "an unknown option looks like a KEY; --key takes a KEY"},
        {"KEY as infile", {pwd, "OUT"}, "", "infile looks like a KEY; --key takes a KEY"},
        {"KEY as outfile", {"IN", "wpa-psk:" + secret}, "", "outfile looks like a KEY; --key takes a KEY"},
        // Options.
        {"mistyped option with a value", {"--kye=" + pwd, "IN", "OUT"}, "", "unknown option --kye; kestrine --help lists them"},
        {"unknown long option", {"--bogus", "-k", pwd, "IN", "OUT"}, "", "unknown option --bogus; kestrine --help lists them"},
        {"unknown short option", {"IN", "-x" + pwd, "OUT"}, "", "unknown option -x"},
        {"flag given a value", {"--stats=" + pwd, "IN", "OUT"}, "", "option --stats takes no argument"},
        {"--keys without its argument", {"-k", pwd, "IN", "OUT", "--keys"}, "", "option --keys needs an argument"},
        {"-k without its argument", {"IN", "OUT", "-k"}, "", "option -k needs an argument"},
        {"keys from standard input", {"-k", pwd, "--keys", "-", "IN", "OUT"}, "", "--keys: standard input cannot hold the keys; name a file"},
        // Malformed KEYs.
        {"WEP key not hex", {"-k", "wep:" + secret, "IN", "OUT"}, "", "--key: a WEP key is 10 or 26 hex digits"},
        {"short WEP key", {"-k", "wep:0102030405ff1", "IN", "OUT"}, "", "--key: a WEP key is 10 or 26 hex digits", "0102030405ff1"},
        {"PSK not hex", {"--key", "wpa-psk:" + secret, "IN", "OUT"}, "", "--key: a WPA PSK (a PMK) is 64, 96 or 128 hex digits"},
        {"PSK of 63 digits", {"-k", "wpa-psk:" + std::string(63, 'a'), "IN", "OUT"}, "", "--key: a WPA PSK (a PMK) is 64, 96 or 128 hex digits", std::string(63, 'a')},
        {"PMK of 80 digits", {"-k", "wpa-psk:" + std::string(80, 'b'), "IN", "OUT"}, "", "--key: a WPA PSK (a PMK) is 64, 96 or 128 hex digits", std::string(80, 'b')},
        {"passphrase without SSID", {"-k", "wpa-pwd:" + secret, "IN", "OUT"}, "", "--key: a wpa-pwd key is wpa-pwd:PASSPHRASE:SSID"},
        {"passphrase of 7 bytes", {"-k", "wpa-pwd:TopSecr:lab", "IN", "OUT"}, "", "--key: a WPA passphrase is 8 to 63 bytes", "TopSecr"},
        {"passphrase of 66 bytes", {"-k", "wpa-pwd:" + secret + secret + secret + secret + secret + secret + ":lab", "IN", "OUT"}, "", "--key: a WPA passphrase is 8 to 63 bytes"},
        {"empty SSID", {"-k", "wpa-pwd:" + secret + ":", "IN", "OUT"}, "", "--key: an SSID is 1 to 32 bytes"},
        {"SSID of 33 bytes", {"-k", "wpa-pwd:" + secret + ":" + std::string(33, 's'), "IN", "OUT"}, "", "--key: an SSID is 1 to 32 bytes"},
        {"broken escape", {"-k", "wpa-pwd:" + secret + "%g1:lab", "IN", "OUT"}, "", "--key: a '%' in a wpa-pwd key must begin a %XX escape"},
        {"unknown key type", {"-k", "wpa-eap:" + secret, "IN", "OUT"}, "", "--key: " + a_key},
        {"no key type", {"-k", secret, "IN", "OUT"}, "", "--key: a KEY is wep:HEX, wpa-pwd:PASSPHRASE:SSID or wpa-psk:HEX"},
        // Keys files.
        {"missing keys file", {"-k", pwd, "--keys", "DIR/missing.txt", "IN", "OUT"}, "", "--keys DIR/missing.txt: No such file or directory"},
        {"keys file is a directory", {"-k", pwd, "--keys", "DIR", "IN", "OUT"}, "", "--keys DIR: Is a directory"},
        {"keys file without an end", {"-k", pwd, "--keys", "/dev/zero", "IN", "OUT"}, "", "/dev/zero:1: " + too_long},
        {"key line too long", {"--keys", "KEYS", "IN", "OUT"}, pwd + std::string(5000, 'x') + "\n", "KEYS:1: " + too_long},
        {"comment line of 4097 bytes", {"--keys", "KEYS", "IN", "OUT"}, pwd + "\n#" + std::string(4096, 'x') + "\r\n", "KEYS:2: " + too_long},
        {"short passphrase after comments", {"--keys", "KEYS", "IN", "OUT"},
         "# lab keys\n\nwep:0102030405\n  # indented comment\nwpa-pwd:hunter2:lab\n", "KEYS:5: a WPA passphrase is 8 to 63 bytes", "hunter2"},
        {"blank-led key read as a key", {"--keys", "KEYS", "IN", "OUT"}, " \twpa-pwd:" + secret + "\r\n", "KEYS:1: a wpa-pwd key is wpa-pwd:PASSPHRASE:SSID"},
        {"unknown key type in a file", {"--keys", "KEYS", "IN", "OUT"}, "\n  WPA-PWD:" + secret + ":lab", "KEYS:2: " + a_key},
        // More than 256 keys, counted on the command line and in files together.
        {"257 keys on the command line", with(with(many_keys, many_keys), {"IN", "OUT"}), "", "--key: " + too_many},
        // 200 given, then the 57th key of the file, on line 114.
        {"257 keys on the command line and in a file", with(many_keys, {"--keys", "KEYS", "IN", "OUT"}), file_of_keys,
         "KEYS:114: " + too_many},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        test::write_capture(dir / "in.pcap", {});
        test::write_file(dir / "keys.txt", test::bytes(c.keys_file.begin(), c.keys_file.end()));
        std::vector<std::string> args;
        for (const auto& arg : c.args)
            args.push_back(arg == "IN" || arg == "OUT" || arg == "KEYS" || arg.starts_with("DIR") ? with_paths(arg, dir) : arg);
        const auto started = std::chrono::steady_clock::now();
        const auto result = test::run_kestrine(args);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2 * test::time_scale));
        EXPECT_EQ(result.status, 255);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "kestrine: " + with_paths(c.error, dir) + "\n");
        EXPECT_EQ((result.out + result.err).find(c.hidden), std::string::npos) << c.hidden;
        EXPECT_FALSE(fs::exists(dir / "out.pcap"));
        EXPECT_FALSE(fs::exists("wpa-psk:" + secret));
    }
}

// What a keys file holds: whole-line comments, blanks before a KEY,
// nothing else stripped, a CR before the LF dropped, lines up to 4096 bytes.
TEST(command_line, keys_file_syntax)
{
    struct syntax_case {
        const char* name;
        std::string contents;
        std::vector<std::string> keys; // as parse_key takes them
    };
    std::string long_comment(4096, 'x');
    long_comment[0] = '#';
    std::string most_keys_file;
    for (int i = 0; i < 256; ++i)
        most_keys_file += "wep:0102030405\n";
    const std::vector<syntax_case> cases = {
        {"comments, blank lines and blank-led keys", "# lab\n\n \t\n\t# indented\n  wep:0102030405\n\twpa-pwd:password:IEEE\n",
         {"wep:0102030405", "wpa-pwd:password:IEEE"}},
        {"'#' after a KEY belongs to the SSID", "wpa-pwd:dictionary:linksys # note\n", {"wpa-pwd:dictionary:linksys # note"}},
        {"trailing blanks belong to the SSID, a CR does not", "wpa-pwd:dictionary:linksys  \r\n", {"wpa-pwd:dictionary:linksys  "}},
        {"last line without LF", "wep:0102030405\nwpa-pwd:password:IEEE", {"wep:0102030405", "wpa-pwd:password:IEEE"}},
        {"lines of exactly 4096 bytes", long_comment + "\n" + long_comment + "\r\nwep:0102030405\n", {"wep:0102030405"}},
        {"256 keys, the most", most_keys_file, std::vector<std::string>(256, "wep:0102030405")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::scratch_dir dir;
        test::write_file(dir / "keys.txt", test::bytes(c.contents.begin(), c.contents.end()));
        std::vector<std::string> args = {"kestrine", "--keys", (dir / "keys.txt").string(), "in", "out"};
        std::vector<char*> argv;
        for (auto& arg : args)
            argv.push_back(arg.data());
        optind = 0; // a fresh scan for every call
        run_options options;
        ASSERT_FALSE(parse_command_line(static_cast<int>(argv.size()), argv.data(), options).has_value());
        ASSERT_EQ(options.keys.size(), c.keys.size());
        for (std::size_t i = 0; i < c.keys.size(); ++i) {
            user_key expected;
            std::string error;
            ASSERT_TRUE(parse_key(c.keys[i], expected, error)) << error;
            EXPECT_EQ(options.keys[i].type, expected.type) << c.keys[i];
            EXPECT_EQ(options.keys[i].wep_key, expected.wep_key) << c.keys[i];
            EXPECT_EQ(options.keys[i].pmk, expected.pmk) << c.keys[i];
        }
    }
}

TEST(command_line, help_version_and_options_anywhere)
{
    const auto help = test::run_kestrine({"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char* option :
         {"--key KEY", "--keys FILE", "--stats", "--full-decode", "--packet-buffered", "--version", "wpa-pwd:PASS:SSID"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    const auto version = test::run_kestrine({"-V"});
    EXPECT_EQ(version.status, 0);
    // The multi-buffer back end wherever it is built in and the CPU has AES-NI.
    const auto multi_buffer = make_multi_buffer_batch_decryptor();
    const std::string back_end = multi_buffer ? multi_buffer->name() : make_libcrypto_batch_decryptor()->name();
    EXPECT_EQ(version.out, "kestrine " KESTRINE_VERSION "\nframe ciphers: " + back_end + "\n");

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
    const auto result = test::run_kestrine({"--stats", "-k", "wpa-pwd:" + secret + ":lab", "only-one.pcap"});
    EXPECT_EQ(result.status, 255);
    EXPECT_EQ(result.out.rfind("kestrine " KESTRINE_VERSION " - ", 0), 0u) << result.out;
    EXPECT_EQ((result.out + result.err).find(secret), std::string::npos);
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
            EXPECT_TRUE(std::ranges::equal(key.wep_key, c.wep_key));
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
