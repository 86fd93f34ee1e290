#include "program/command_line.h"

#include <getopt.h>
#include <openssl/crypto.h>
#include <sched.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#ifndef KESTRINE_VERSION
#error "KESTRINE_VERSION is set by the build"
#endif

namespace {

constexpr const char* help_text =
    "Usage: kestrine [OPTION]... infile outfile\n"
    "Convert a capture of 802.11 frames into a capture of Ethernet frames.\n"
    "infile and outfile may be - for standard input and standard output;\n"
    "options may come before or after them, and -- ends the options.\n"
    "\n"
    "  -k, --key KEY      decrypt protected frames with KEY; may be repeated:\n"
    "                       wep:HEX            a 40- or 104-bit WEP key (10 or 26 hex\n"
    "                                          digits, ':' allowed between bytes)\n"
    "                       wpa-pwd:PASS:SSID  a WPA/WPA2-Personal passphrase and the\n"
    "                                          network's SSID (%XX escapes a byte; a\n"
    "                                          ':' in the passphrase is %3A)\n"
    "                       wpa-psk:HEX        a PMK of 32, 48 or 64 bytes (64, 96 or\n"
    "                                          128 hex digits): SAE, OWE, 802.1X, PSK\n"
    "                       wpa-tk:AA:SPA:KEYID:CIPHER:HEX\n"
    "                                          the pairwise temporal key of access\n"
    "                                          point AA and station SPA; a multi-link\n"
    "                                          pair's ends with :AP-MLD:STA-MLD\n"
    "                       wpa-gtk:TA:KEYID:CIPHER:HEX\n"
    "                                          the group temporal key of transmitter\n"
    "                                          TA (:AP-MLD behind it in a multi-link\n"
    "                                          network); CIPHER is tkip, ccmp,\n"
    "                                          ccmp-256, gcmp or gcmp-256\n"
    "                                          (man kestrine: KEY LOGS)\n"
    "                     a Wi-Fi 7 multi-link network's key decrypts every link;\n"
    "                     its Ethernet frames carry the MLDs' addresses\n"
    "      --keys FILE    read KEYs from FILE, one a line of at most 4096 bytes,\n"
    "                     blanks before it ignored; blank lines and lines whose\n"
    "                     first non-blank is # are ignored (man kestrine: KEYS FILE)\n"
    "      --full-decode  decode each frame by its own fields: split A-MSDUs,\n"
    "                     honour the capture header's FCS, bad-FCS and padding\n"
    "                     flags, write LLC bodies that are not SNAP as IEEE 802.3,\n"
    "                     convert WDS and mesh frames, reassemble fragments\n"
    "      --decrypt-only write every record as it came, in the input's link type\n"
    "                     (radiotap, PPI, Prism, 802.11), each protected frame a\n"
    "                     key opens decrypted, instead of converting to Ethernet\n"
    "      --write-keys FILE\n"
    "                     write each temporal key the run derives to FILE (made\n"
    "                     private, mode 0600) as a wpa-tk or wpa-gtk KEY, a line\n"
    "                     as soon as it is known; --keys FILE reads them back\n"
    "      --time-stamp-precision=micro|nano, --nano\n"
    "                     write microsecond (the default) or nanosecond\n"
    "                     timestamps; nano keeps the input's nanoseconds\n"
    "      --stats        after the summary, tell on standard error what became of\n"
    "                     the records, per network, and per link of an AP MLD\n"
    "  -j, --threads N    threads of a run that decrypts: 1 does all the work on\n"
    "                     one; 2 (the default where two cores are free) moves\n"
    "                     the ciphers of CCMP and GCMP frames to a second; more\n"
    "                     count as 2. The output is the same for any N\n"
    "  -U, --packet-buffered\n"
    "                     write each record out as soon as it is converted, as\n"
    "                     tcpdump -U does; from a pipe, FIFO or terminal the\n"
    "                     output is written out whenever the input pauses anyway\n"
    "  -h, --help         print this help and exit\n"
    "  -V, --version      print the version and exit\n"
    "\n"
    "A key given on the command line can be read by other users of the machine\n"
    "in the process list; --keys FILE keeps it out of sight.\n";

// One line on standard error; the command line is refused with status 255.
bool refuse(const std::string& message)
{
    std::fprintf(stderr, "kestrine: %s\n", message.c_str());
    return false;
}

void print_banner()
{
    std::puts("kestrine " KESTRINE_VERSION " - Convert 802.11 captures into Ethernet format.\n"
              "Questions/Comments/Concerns: kestrine-maintainers@lists.kestrine.dev\n");
    std::printf("Usage: %s infile outfile\n", "kestrine");
}

// The most keys a run reads, on the command line and in keys files
// together: every handshake message is tried with every key of its PMK
// length, so their number bounds the work a capture can ask for.
constexpr std::size_t most_keys = 256;

bool add_key(run_options& options, std::string_view text, const std::string& where)
{
    if (options.keys.size() == most_keys)
        return refuse(where + ": more than " + std::to_string(most_keys) + " keys given");
    user_key key;
    std::string error;
    if (!parse_key(text, key, error))
        return refuse(where + ": " + error);
    options.keys.push_back(std::move(key));
    return true;
}

// True when `text` begins, after blanks, with a KEY type ("wep:",
// "wpa-pwd:", "wpa-psk:", "wpa-tk:", "wpa-gtk:", in any case, '_' for
// '-'): a KEY given where a
// name or an option belongs. Such text is never repeated in a message.
bool looks_like_key(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return false;
    text.remove_prefix(first);
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string kind(text.substr(0, colon));
    for (char& c : kind)
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return kind == "wep" || kind == "wpa-pwd" || kind == "wpa-psk" || kind == "wpa-tk" || kind == "wpa-gtk";
}

// The longest line of a keys file, its line end not counted. The longest
// KEY, a passphrase and an SSID written wholly in %XX escapes, is under 300
// bytes; the bound stops a file that is not a keys file (/dev/zero, a
// capture) at once instead of after filling memory.
constexpr std::size_t keys_line_limit = 4096;

// One line of a keys file, its line end removed: blank, a comment (the
// first byte other than a blank is '#') or a KEY behind optional blanks.
// Nothing else is stripped: an SSID may end in blanks or hold a '#'.
bool take_keys_line(run_options& options, std::string_view line, const std::string& where)
{
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#')
        return true;
    return add_key(options, line.substr(first), where);
}

// A buffer that holds a keys file's bytes, wiped when it goes.
template <std::size_t size>
struct wiped_buffer {
    std::array<char, size> bytes;
    wiped_buffer() = default;
    wiped_buffer(const wiped_buffer&) = delete;
    wiped_buffer& operator=(const wiped_buffer&) = delete;
    ~wiped_buffer() { OPENSSL_cleanse(bytes.data(), bytes.size()); }
};

struct file_closer {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

bool read_keys_file(run_options& options, const char* name)
{
    if (std::strcmp(name, "-") == 0)
        return refuse("--keys: standard input cannot hold the keys; name a file");
    if (looks_like_key(name))
        return refuse("the argument of --keys looks like a KEY; --key takes a KEY");
    options.keys_files.emplace_back(name);
    const std::string file_name(name);
    // The file's bytes pass only through these two buffers, wiped on every
    // way out; the file is closed before its buffer goes.
    wiped_buffer<BUFSIZ> buffer;
    wiped_buffer<keys_line_limit + 1> line; // the limit and a CR
    errno = 0;
    const std::unique_ptr<std::FILE, file_closer> file(std::fopen(name, "rb"));
    if (!file)
        return refuse("--keys " + file_name + ": " + std::strerror(errno != 0 ? errno : EIO));
    std::setvbuf(file.get(), buffer.bytes.data(), _IOFBF, buffer.bytes.size());
    std::size_t size = 0;
    const auto refuse_long_line = [&](int number) {
        return refuse(file_name + ":" + std::to_string(number) + ": a line is longer than " +
                      std::to_string(keys_line_limit) + " bytes");
    };
    for (int number = 1;; ++number) {
        int c = std::getc(file.get());
        for (; c != EOF && c != '\n'; c = std::getc(file.get())) {
            if (size == line.bytes.size())
                return refuse_long_line(number);
            line.bytes[size++] = static_cast<char>(c);
        }
        if (c == EOF && std::ferror(file.get())) {
            const int error = errno != 0 ? errno : EIO;
            return refuse("--keys " + file_name + ": " + std::strerror(error));
        }
        if (size > 0 && line.bytes[size - 1] == '\r')
            --size;
        if (size > keys_line_limit)
            return refuse_long_line(number);
        if (!take_keys_line(options, std::string_view(line.bytes.data(), size),
                            file_name + ":" + std::to_string(number)))
            return false;
        size = 0;
        if (c == EOF)
            return true;
    }
}

// The option as the user wrote it, without any "=value": a mistyped
// option may carry a key.
std::string option_text(const char* argument)
{
    const std::string_view text(argument);
    return std::string(text.substr(0, text.find('=')));
}

// The threads a run can use: one reads, converts and writes, one more
// decrypts; beyond two, nothing is left to share out.
constexpr int most_useful_threads = 2;

int available_cores()
{
    cpu_set_t cores;
    CPU_ZERO(&cores);
    if (sched_getaffinity(0, sizeof cores, &cores) != 0)
        return 1;
    return CPU_COUNT(&cores);
}

// --time-stamp-precision, as tcpdump spells it.
bool parse_precision(const char* text, bool& nanoseconds)
{
    if (std::strcmp(text, "micro") != 0 && std::strcmp(text, "nano") != 0)
        return refuse("option --time-stamp-precision takes micro or nano");
    nanoseconds = std::strcmp(text, "nano") == 0;
    return true;
}

bool take_key_log_name(const char* name, const char*& key_log_name)
{
    if (std::strcmp(name, "-") == 0)
        return refuse("--write-keys: standard output cannot hold the keys; name a file");
    if (looks_like_key(name))
        return refuse("the argument of --write-keys looks like a KEY; --key takes a KEY");
    key_log_name = name;
    return true;
}

bool parse_thread_count(const char* text, int& threads)
{
    char* end = nullptr;
    errno = 0;
    const long count = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || count < 1)
        return refuse("option --threads needs a whole number of at least 1");
    threads = count > most_useful_threads ? most_useful_threads : static_cast<int>(count);
    return true;
}

} // namespace

std::optional<int> parse_command_line(int argc, char** argv, run_options& options)
{
    constexpr int refused = 255;
    enum {
        keys_option = 256,
        stats_option,
        full_decode_option,
        decrypt_only_option,
        precision_option,
        nano_option,
        write_keys_option,
    };
    static const option long_options[] = {
        {"key", required_argument, nullptr, 'k'},
        {"keys", required_argument, nullptr, keys_option},
        {"stats", no_argument, nullptr, stats_option},
        {"full-decode", no_argument, nullptr, full_decode_option},
        {"decrypt-only", no_argument, nullptr, decrypt_only_option},
        {"time-stamp-precision", required_argument, nullptr, precision_option},
        {"nano", no_argument, nullptr, nano_option},
        {"write-keys", required_argument, nullptr, write_keys_option},
        {"packet-buffered", no_argument, nullptr, 'U'},
        {"threads", required_argument, nullptr, 'j'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    options.threads = std::min(available_cores(), most_useful_threads);
    opterr = 0;
    for (;;) {
        const int previous = optind;
        const int choice = getopt_long(argc, argv, ":k:j:hVU", long_options, nullptr);
        if (choice == -1)
            break;
        switch (choice) {
        case 'k': {
            const bool added = add_key(options, optarg, "--key");
            // Shortens the time the key stands in the process list.
            std::memset(optarg, 'x', std::strlen(optarg));
            if (!added)
                return refused;
            break;
        }
        case keys_option:
            if (!read_keys_file(options, optarg))
                return refused;
            break;
        case stats_option:
            options.stats = true;
            break;
        case full_decode_option:
            options.full_decode = true;
            break;
        case decrypt_only_option:
            options.decrypt_only = true;
            break;
        case precision_option:
            if (!parse_precision(optarg, options.nanoseconds))
                return refused;
            break;
        case nano_option:
            options.nanoseconds = true;
            break;
        case write_keys_option:
            if (!take_key_log_name(optarg, options.key_log_name))
                return refused;
            break;
        case 'U':
            options.packet_buffered = true;
            break;
        case 'j':
            if (!parse_thread_count(optarg, options.threads))
                return refused;
            break;
        case 'h':
            std::fputs(help_text, stdout);
            return 0;
        case 'V':
            std::puts("kestrine " KESTRINE_VERSION);
            std::printf("frame ciphers: %s\n", make_aead_batch_decryptor()->name());
            return 0;
        case ':':
            // The letter alone for a short option, which may end a cluster.
            if (std::strncmp(argv[optind - 1], "--", 2) != 0)
                refuse(std::string("option -") + static_cast<char>(optopt) + " needs an argument");
            else
                refuse("option " + option_text(argv[optind - 1]) + " needs an argument");
            return refused;
        default: {
            // A short option in a cluster: name the letter alone.
            const bool is_long = previous < argc && std::strncmp(argv[previous], "--", 2) == 0;
            if (is_long && optopt != 0 && std::strchr(argv[previous], '=') != nullptr) {
                refuse("option " + option_text(argv[previous]) + " takes no argument");
                return refused;
            }
            if (!is_long && optopt != 0) {
                refuse(std::string("unknown option -") + static_cast<char>(optopt));
                return refused;
            }
            // No option name holds a ':'; every KEY does.
            const std::string unknown = option_text(argv[optind - 1]);
            if (unknown.find(':') != std::string::npos)
                refuse("an unknown option looks like a KEY; --key takes a KEY");
            else
                refuse("unknown option " + unknown + "; kestrine --help lists them");
            return refused;
        }
        }
    }
    if (argc - optind < 2) {
        print_banner();
        return refused;
    }
    if (options.decrypt_only && options.full_decode) {
        refuse("--full-decode converts to Ethernet; --decrypt-only does not: give one of them");
        return refused;
    }
    // A KEY where a name belongs would be kept as a file name on disk.
    if (looks_like_key(argv[optind])) {
        refuse("infile looks like a KEY; --key takes a KEY");
        return refused;
    }
    if (looks_like_key(argv[optind + 1])) {
        refuse("outfile looks like a KEY; --key takes a KEY");
        return refused;
    }
    options.input_name = argv[optind];
    options.output_name = argv[optind + 1];
    return std::nullopt;
}
