#include "command_line.h"

#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

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
    "                       wpa-psk:HEX        a PMK of 32 or 48 bytes (64 or 96 hex\n"
    "                                          digits): SAE, OWE, 802.1X, or a PSK\n"
    "      --keys FILE    read KEYs from FILE, one a line; blank lines and lines\n"
    "                     starting with # are ignored\n"
    "      --full-decode  decode each frame by its own fields: split A-MSDUs,\n"
    "                     honour the capture header's FCS, bad-FCS and padding\n"
    "                     flags, write LLC bodies that are not SNAP as IEEE 802.3,\n"
    "                     convert WDS and mesh frames, reassemble fragments\n"
    "      --stats        after the summary, tell on standard error what became of\n"
    "                     the records\n"
    "  -h, --help         print this help and exit\n"
    "  -V, --version      print the version and exit\n"
    "\n"
    "A key given on the command line can be read by other users of the machine\n"
    "in the process list; --keys FILE keeps it out of sight.\n";

[[noreturn]] void refuse(const std::string& message)
{
    std::fprintf(stderr, "kestrine: %s\n", message.c_str());
    std::exit(255);
}

[[noreturn]] void print_banner()
{
    std::puts("kestrine " KESTRINE_VERSION " - Convert 802.11 captures into Ethernet format.\n"
              "Questions/Comments/Concerns: kestrine-maintainers@lists.kestrine.dev\n");
    std::printf("Usage: %s infile outfile\n", "kestrine");
    std::exit(255);
}

void add_key(run_options& options, std::string_view text, const std::string& where)
{
    user_key key;
    std::string error;
    if (!parse_key(text, key, error))
        refuse(where + ": " + error);
    options.keys.push_back(std::move(key));
}

void read_keys_file(run_options& options, const char* name)
{
    if (std::strcmp(name, "-") == 0)
        refuse("--keys: standard input cannot hold the keys; name a file");
    errno = 0;
    std::ifstream file(name);
    if (!file)
        refuse(std::string("--keys ") + name + ": " + std::strerror(errno != 0 ? errno : EIO));
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        add_key(options, line, std::string(name) + ":" + std::to_string(number));
    }
    if (file.bad())
        refuse(std::string("--keys ") + name + ": " + std::strerror(errno != 0 ? errno : EIO));
}

// The option as the user wrote it, without any "=value": a mistyped
// option may carry a key.
std::string option_text(const char* argument)
{
    std::string text(argument);
    const std::size_t equals = text.find('=');
    return equals == std::string::npos ? text : text.substr(0, equals);
}

} // namespace

run_options parse_command_line(int argc, char** argv)
{
    enum { keys_option = 256, stats_option, full_decode_option };
    static const option long_options[] = {
        {"key", required_argument, nullptr, 'k'},
        {"keys", required_argument, nullptr, keys_option},
        {"stats", no_argument, nullptr, stats_option},
        {"full-decode", no_argument, nullptr, full_decode_option},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
        {nullptr, 0, nullptr, 0},
    };
    run_options options;
    opterr = 0;
    for (;;) {
        const int previous = optind;
        const int choice = getopt_long(argc, argv, ":k:hV", long_options, nullptr);
        if (choice == -1)
            break;
        switch (choice) {
        case 'k':
            add_key(options, optarg, "--key");
            // Shortens the time the key stands in the process list.
            std::memset(optarg, 'x', std::strlen(optarg));
            break;
        case keys_option:
            read_keys_file(options, optarg);
            break;
        case stats_option:
            options.stats = true;
            break;
        case full_decode_option:
            options.full_decode = true;
            break;
        case 'h':
            std::fputs(help_text, stdout);
            std::exit(0);
        case 'V':
            std::puts("kestrine " KESTRINE_VERSION);
            std::exit(0);
        case ':':
            refuse("option " + option_text(argv[optind - 1]) + " needs an argument");
        default: {
            // A short option in a cluster: name the letter alone.
            const bool is_long = previous < argc && std::strncmp(argv[previous], "--", 2) == 0;
            if (is_long && optopt != 0 && std::strchr(argv[previous], '=') != nullptr)
                refuse("option " + option_text(argv[previous]) + " takes no argument");
            if (!is_long && optopt != 0)
                refuse(std::string("unknown option -") + static_cast<char>(optopt));
            refuse("unknown option " + option_text(argv[optind - 1]) + "; kestrine --help lists them");
        }
        }
    }
    if (argc - optind < 2)
        print_banner();
    options.input_name = argv[optind];
    options.output_name = argv[optind + 1];
    return options;
}
