// kestrine_bench: times kestrine side by side with `cat in > out` and a
// plain libpcap copy loop on generated captures, and prints throughput,
// ratios and peak resident memory. It reports; it never fails on a time.
//
//   kestrine_bench --kestrine PATH --gen PATH --copy PATH
//                  [--mb N] [--runs N] [--dir DIR] [--only VARIANT] [--keep]
//
// VARIANT: imix, small (plain conversion); ccmp-imix, ccmp-small, ccmp256-imix,
// gcmp-imix, gcmp-small (decryption with one thread and two); ccmp-mlo-imix
// (a Wi-Fi 7 two-link network, beside a one-link network of the same size)
//
// The commands: kestrine; `cat in > out` (on Linux an in-kernel
// copy_file_range, the I/O floor); the plain libpcap copy loop (pcap_copy:
// pcap_next and pcap_dump of every record with libpcap's default stdio);
// the same copy loop with kestrine's stream set-up (pcap_copy --streams:
// what any converter through libpcap pays at the least); and a libpcap read
// loop with the same streams (pcap_copy --read: the reading half alone).
//
// For each capture (IMIX, then small packets) it writes the input with
// kestrine_gen, reads it once so that it sits in the page cache, runs one
// discarded warm-up round, then `--runs` rounds. A round runs every command
// once, in an order that rotates from round to round, so that load that
// comes and goes touches all of them alike. Outputs are removed before each
// run, outside the timed span. Wall time is taken around fork and wait4;
// user and system time and peak resident memory come from wait4's rusage
// of the child alone.
#include <pcap/pcap.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct options {
    std::string kestrine;
    std::string gen;
    std::string copy;
    std::uint64_t megabytes = 500;
    int runs = 7;
    fs::path dir = "/tmp";
    std::string only;
    bool keep = false;
};

struct run_sample {
    double wall = 0;     // seconds
    double user = 0;     // seconds
    double system = 0;   // seconds
    long peak_rss = 0;   // KiB
};

// One command of a round: argv, where its standard output goes, and the
// file it writes (removed before each run).
struct command {
    std::string name;
    std::vector<std::string> argv;
    fs::path stdout_path; // empty: /dev/null
    fs::path output;
    std::vector<run_sample> samples;
};

// A failed command or system call ends the benchmark through main, which
// removes the files written so far.
[[noreturn]] void die(const std::string& message) { throw std::runtime_error(message); }

double seconds_of(const timeval& tv) { return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) / 1e6; }

// Runs `cmd` once and waits for it. Dies when the command fails, so that
// a broken build never turns into a fast time.
run_sample run_once(const command& cmd)
{
    std::error_code ignored;
    fs::remove(cmd.output, ignored);
    std::vector<char*> argv;
    for (const auto& arg : cmd.argv)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child < 0)
        die(std::string("fork: ") + std::strerror(errno));
    if (child == 0) {
        const char* out = cmd.stdout_path.empty() ? "/dev/null" : cmd.stdout_path.c_str();
        const int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0)
            _exit(126);
        close(fd);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child)
        die(std::string("wait4: ") + std::strerror(errno));
    const auto stop = std::chrono::steady_clock::now();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        die(cmd.name + " failed (status " + std::to_string(status) + ")");

    run_sample sample;
    sample.wall = std::chrono::duration<double>(stop - start).count();
    sample.user = seconds_of(usage.ru_utime);
    sample.system = seconds_of(usage.ru_stime);
    sample.peak_rss = usage.ru_maxrss;
    return sample;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 != 0 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

template <typename Field>
std::vector<double> field_of(const command& cmd, Field field)
{
    std::vector<double> values;
    for (const auto& sample : cmd.samples)
        values.push_back(field(sample));
    return values;
}

// The median over the rounds of a's time divided by b's time in the same
// round: a paired ratio, steadier than the ratio of two medians when the
// machine's load drifts.
double paired_ratio(const command& a, const command& b)
{
    std::vector<double> ratios;
    for (std::size_t i = 0; i < a.samples.size() && i < b.samples.size(); ++i)
        ratios.push_back(a.samples[i].wall / b.samples[i].wall);
    return median(ratios);
}

std::uint64_t count_records(const fs::path& path)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* input = pcap_open_offline(path.c_str(), errbuf);
    if (input == nullptr)
        die(path.string() + ": " + errbuf);
    std::uint64_t records = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    while (pcap_next_ex(input, &header, &bytes) == 1)
        ++records;
    pcap_close(input);
    return records;
}

// Reads the file once so that every command finds it in the page cache.
void warm(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<char> block(std::size_t{1} << 20);
    while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    }
}

std::string load_average()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string first_line(const fs::path& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Every file a capture's runs write: the input, the outputs, kestrine's
// summary.
std::vector<fs::path> files_of(const options& opts, const std::string& variant)
{
    std::vector<fs::path> files;
    for (const char* suffix : {".pcap", "-kestrine.pcap", "-full.pcap", "-cat.pcap", "-copy.pcap", "-floor.pcap", "-summary.txt"})
        files.push_back(opts.dir / ("kestrine-bench-" + variant + suffix));
    return files;
}

void bench_capture(const options& opts, const std::string& variant)
{
    const bool small = variant == "small";
    const fs::path input = opts.dir / ("kestrine-bench-" + variant + ".pcap");
    const std::uint64_t bytes_wanted = opts.megabytes * 1000000;
    {
        // With FCSs, as most monitor-mode captures have them: --full-decode
        // checks every one.
        command gen{"kestrine_gen", {opts.gen, "--bytes", std::to_string(bytes_wanted), "--seed", "1", "--fcs"}, {}, input, {}};
        if (small)
            gen.argv.push_back("--small");
        gen.argv.push_back(input.string());
        run_once(gen);
    }
    const auto input_bytes = static_cast<double>(fs::file_size(input));
    const std::uint64_t records = count_records(input);
    warm(input);

    const fs::path out_k = opts.dir / ("kestrine-bench-" + variant + "-kestrine.pcap");
    const fs::path out_cat = opts.dir / ("kestrine-bench-" + variant + "-cat.pcap");
    const fs::path out_copy = opts.dir / ("kestrine-bench-" + variant + "-copy.pcap");
    const fs::path out_floor = opts.dir / ("kestrine-bench-" + variant + "-floor.pcap");
    const fs::path out_full = opts.dir / ("kestrine-bench-" + variant + "-full.pcap");
    const fs::path summary = opts.dir / ("kestrine-bench-" + variant + "-summary.txt");
    std::vector<command> commands = {
        {"kestrine", {opts.kestrine, input.string(), out_k.string()}, summary, out_k, {}},
        {"cat in > out", {"/bin/cat", input.string()}, out_cat, out_cat, {}},
        {"libpcap copy loop", {opts.copy, input.string(), out_copy.string()}, {}, out_copy, {}},
        {"copy, tuned streams", {opts.copy, "--streams", input.string(), out_floor.string()}, {}, out_floor, {}},
        {"read loop, tuned", {opts.copy, "--read", input.string()}, {}, {}, {}},
        {"kestrine full-decode", {opts.kestrine, "--full-decode", input.string(), out_full.string()}, {}, out_full, {}},
    };

    const std::string load_before = load_average();
    for (int round = -1; round < opts.runs; ++round) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            auto& cmd = commands[(i + static_cast<std::size_t>(round + 1)) % commands.size()];
            const run_sample sample = run_once(cmd);
            if (round >= 0)
                cmd.samples.push_back(sample);
        }
    }
    const std::string load_after = load_average();
    const std::string converted = first_line(summary);

    const command& kestrine = commands[0];
    const command& cat = commands[1];
    const command& copy = commands[2];
    const command& tuned = commands[3];
    std::printf("\n%s capture: %.1f MB, %llu records (%.0f bytes a record), %d runs each\n",
                small ? "Small-packet" : "IMIX", input_bytes / 1e6, static_cast<unsigned long long>(records),
                input_bytes / static_cast<double>(records), opts.runs);
    std::printf("kestrine: %s  load average before %s, after %s\n", converted.c_str(), load_before.c_str(),
                load_after.c_str());
    std::printf("| %-19s | %8s | %8s | %8s | %8s | %10s | %7s | %7s | %7s | %8s |\n", "command", "median s",
                "user s", "sys s", "MB/s", "records/s", "x cat", "x copy", "x tuned", "peak RSS");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(21, '-').c_str(), std::string(10, '-').c_str(),
                std::string(10, '-').c_str(), std::string(10, '-').c_str(), std::string(10, '-').c_str(),
                std::string(12, '-').c_str(), std::string(9, '-').c_str(), std::string(9, '-').c_str(),
                std::string(9, '-').c_str(), std::string(10, '-').c_str());
    for (const auto& cmd : commands) {
        const double wall = median(field_of(cmd, [](const run_sample& s) { return s.wall; }));
        const double user = median(field_of(cmd, [](const run_sample& s) { return s.user; }));
        const double sys = median(field_of(cmd, [](const run_sample& s) { return s.system; }));
        long peak = 0;
        for (const auto& sample : cmd.samples)
            peak = std::max(peak, sample.peak_rss);
        std::printf("| %-19s | %8.3f | %8.3f | %8.3f | %8.0f | %10.3g | %7.2f | %7.2f | %7.2f | %4.1f MiB |\n",
                    cmd.name.c_str(), wall, user, sys, input_bytes / 1e6 / wall,
                    static_cast<double>(records) / wall, paired_ratio(cmd, cat), paired_ratio(cmd, copy),
                    paired_ratio(cmd, tuned), static_cast<double>(peak) / 1024.0);
    }
    long kestrine_peak = 0;
    for (const auto& sample : kestrine.samples)
        kestrine_peak = std::max(kestrine_peak, sample.peak_rss);
    const double to_cat = paired_ratio(kestrine, cat);
    const double to_copy = paired_ratio(kestrine, copy);
    const double cat_limit = small ? 2.0 : 1.5;
    std::printf("targets: kestrine %.2f x cat (<= %.1f: %s)", to_cat, cat_limit, to_cat <= cat_limit ? "met" : "NOT met");
    if (!small)
        std::printf(", %.2f x copy loop (<= 0.6: %s)", to_copy, to_copy <= 0.6 ? "met" : "NOT met");
    std::printf(", peak RSS %.1f MiB (<= 8: %s)\n", static_cast<double>(kestrine_peak) / 1024.0,
                kestrine_peak <= 8 * 1024 ? "met" : "NOT met");
    const double full_to_default = paired_ratio(commands[5], kestrine);
    std::printf("target: --full-decode %.2f x the default conversion (<= 1.15: %s)\n", full_to_default,
                full_to_default <= 1.15 ? "met" : "NOT met");
    std::fflush(stdout);
}

// The path of `program` when it is installed, or empty.
std::string installed(const std::string& program)
{
    for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/usr/local/bin/", "/bin/"})
        if (access((dir + program).c_str(), X_OK) == 0)
            return dir + program;
    return {};
}

// The ratio of two commands of a list by name; 0 when either is missing.
double ratio_of(const std::vector<command>& commands, const std::string& slower, const std::string& faster)
{
    const command* a = nullptr;
    const command* b = nullptr;
    for (const auto& cmd : commands) {
        a = cmd.name == slower ? &cmd : a;
        b = cmd.name == faster ? &cmd : b;
    }
    return a != nullptr && b != nullptr ? paired_ratio(*a, *b) : 0;
}

// Decryption: kestrine with the passphrase on a capture of one cipher
// (CCMP, CCMP-256, GCMP), with one thread and with two, writing Ethernet
// and (--decrypt-only) the decrypted 802.11 frames, against kestrine
// without a key on the same records unencrypted, against cat, and against
// the decrypting tools Debian has, when they are installed (airdecap-ng
// decrypts CCMP-128 only). A multi-link variant (-mlo-) decrypts a two-link
// network and, in the same rounds, a one-link network of the same size and
// cipher: the ratio of the two is what multi-link operation costs.
void bench_decrypt(const options& opts, const std::string& variant)
{
    const std::string cipher = variant.substr(0, variant.find('-'));
    const bool small = variant.size() > 6 && variant.compare(variant.size() - 6, 6, "-small") == 0;
    const bool multi_link = variant.find("-mlo-") != std::string::npos;
    const fs::path input = opts.dir / ("kestrine-bench-" + variant + ".pcap");
    const fs::path twin = opts.dir / ("kestrine-bench-" + variant + "-twin.pcap");
    const fs::path one_link = opts.dir / ("kestrine-bench-" + variant + "-one-link.pcap");
    const std::uint64_t bytes_wanted = opts.megabytes * 1000000;
    std::vector<fs::path> inputs = {input, twin};
    if (multi_link)
        inputs.push_back(one_link);
    for (const fs::path& path : inputs) {
        command gen{"kestrine_gen",
                    {opts.gen, "--encrypt", cipher, "--passphrase", "correct horse", "--ssid", "kestrine-lab",
                     "--stations", "8", "--bytes", std::to_string(bytes_wanted), "--seed", "1"},
                    {}, path, {}};
        if (small)
            gen.argv.push_back("--small");
        if (path == twin)
            gen.argv.push_back("--unencrypted-twin");
        if (multi_link && path != one_link) // no group rekeys: the one-link network has none
            gen.argv.insert(gen.argv.end(), {"--mlo-links", "2", "--mlo-rekey-every", "0"});
        gen.argv.push_back(path.string());
        run_once(gen);
    }
    const auto input_bytes = static_cast<double>(fs::file_size(input));
    const std::uint64_t records = count_records(input);
    for (const fs::path& path : inputs)
        warm(path);
    const auto out = [&](const char* suffix) { return opts.dir / ("kestrine-bench-" + variant + suffix); };
    const fs::path summary = out("-summary.txt");
    const std::string key = "wpa-pwd:correct horse:kestrine-lab";
    std::vector<command> commands = {
        {"kestrine -k -j 2", {opts.kestrine, "-j", "2", "-k", key, input.string(), out("-kestrine.pcap").string()}, summary, out("-kestrine.pcap"), {}},
        {"kestrine -k -j 1", {opts.kestrine, "-j", "1", "-k", key, input.string(), out("-kestrine1.pcap").string()}, {}, out("-kestrine1.pcap"), {}},
        {"kestrine -k --decrypt-only", {opts.kestrine, "-j", "2", "--decrypt-only", "-k", key, input.string(), out("-80211.pcap").string()}, {}, out("-80211.pcap"), {}},
        {"kestrine, unencrypted", {opts.kestrine, twin.string(), out("-plain.pcap").string()}, {}, out("-plain.pcap"), {}},
        {"cat in > out", {"/bin/cat", input.string()}, out("-cat.pcap"), out("-cat.pcap"), {}},
    };
    if (multi_link) {
        commands.push_back({"kestrine -k -j 2, 1 link",
                            {opts.kestrine, "-j", "2", "-k", key, one_link.string(), out("-one-link-out.pcap").string()},
                            {}, out("-one-link-out.pcap"), {}});
        commands.push_back({"kestrine -k -j 1, 1 link",
                            {opts.kestrine, "-j", "1", "-k", key, one_link.string(), out("-one-link-out1.pcap").string()},
                            {}, out("-one-link-out1.pcap"), {}});
    }
    if (const std::string airdecap = installed("airdecap-ng"); !airdecap.empty() && cipher == "ccmp" && !multi_link)
        // It writes the decrypted frames beside its input, as NAME-dec.pcap.
        commands.push_back({"airdecap-ng", {airdecap, "-e", "kestrine-lab", "-p", "correct horse", input.string()},
                            {}, out("-dec.pcap"), {}});
    if (const std::string tshark = installed("tshark"); !tshark.empty() && !multi_link)
        commands.push_back({"tshark, decrypting", {tshark, "-r", input.string(), "-o", "wlan.enable_decryption:TRUE", "-o",
                                                   "uat:80211_keys:\"wpa-pwd\",\"correct horse:kestrine-lab\"", "-Y", "ip", "-T", "fields", "-e", "ip.id"},
                            {}, {}, {}});
    for (int round = -1; round < opts.runs; ++round)
        for (std::size_t i = 0; i < commands.size(); ++i) {
            auto& cmd = commands[(i + static_cast<std::size_t>(round + 1)) % commands.size()];
            const run_sample sample = run_once(cmd);
            if (round >= 0)
                cmd.samples.push_back(sample);
        }
    std::printf("\n%s%s %s capture: %.1f MB, %llu records, %d runs each; kestrine -k: %s\n", cipher.c_str(),
                multi_link ? " two-link" : "", small ? "small-packet" : "IMIX", input_bytes / 1e6, static_cast<unsigned long long>(records), opts.runs,
                first_line(summary).c_str());
    std::printf("| %-26s | %8s | %8s | %8s | %14s | %8s |\n", "command", "median s", "MB/s", "x cat", "x unencrypted", "peak RSS");
    long kestrine_peak = 0;
    for (const auto& cmd : commands) {
        const double wall = median(field_of(cmd, [](const run_sample& s) { return s.wall; }));
        long peak = 0;
        for (const auto& sample : cmd.samples)
            peak = std::max(peak, sample.peak_rss);
        if (cmd.name.rfind("kestrine -k", 0) == 0)
            kestrine_peak = std::max(kestrine_peak, peak);
        std::printf("| %-26s | %8.3f | %8.0f | %8.2f | %14.2f | %4.1f MiB |\n", cmd.name.c_str(), wall,
                    input_bytes / 1e6 / wall, ratio_of(commands, cmd.name, "cat in > out"),
                    ratio_of(commands, cmd.name, "kestrine, unencrypted"), static_cast<double>(peak) / 1024.0);
    }
    const double to_plain = ratio_of(commands, "kestrine -k -j 2", "kestrine, unencrypted");
    const double limit = small ? 1.6 : 1.3;
    std::printf("target: decrypt+convert %.2f x the unencrypted conversion (<= %.1f: %s), 2 threads %.2f x 1",
                to_plain, limit, to_plain <= limit ? "met" : "NOT met",
                ratio_of(commands, "kestrine -k -j 2", "kestrine -k -j 1"));
    const double decrypt_only = ratio_of(commands, "kestrine -k --decrypt-only", "kestrine -k -j 2");
    std::printf(", --decrypt-only %.2f x the Ethernet output (<= 1.2: %s)", decrypt_only,
                decrypt_only <= 1.2 ? "met" : "NOT met");
    if (const double faster = ratio_of(commands, "airdecap-ng", "kestrine -k -j 2"); faster > 0)
        std::printf(", %.1f x faster than airdecap-ng (>= 5: %s)", faster, faster >= 5 ? "met" : "NOT met");
    std::printf(", peak RSS %.1f MiB (<= 16: %s)\n", static_cast<double>(kestrine_peak) / 1024.0,
                kestrine_peak <= 16 * 1024 ? "met" : "NOT met");
    if (multi_link) // time per input byte: the two captures are of one size, not byte for byte
        std::printf("two links x one link, per MB: %.2f with 2 threads, %.2f with 1\n",
                    ratio_of(commands, "kestrine -k -j 2", "kestrine -k -j 2, 1 link") * static_cast<double>(fs::file_size(one_link)) /
                        input_bytes,
                    ratio_of(commands, "kestrine -k -j 1", "kestrine -k -j 1, 1 link") * static_cast<double>(fs::file_size(one_link)) /
                        input_bytes);
    std::fflush(stdout);
    std::error_code ignored;
    if (!opts.keep)
        for (const char* suffix : {".pcap", "-twin.pcap", "-kestrine.pcap", "-kestrine1.pcap", "-80211.pcap", "-plain.pcap", "-cat.pcap",
                                   "-dec.pcap", "-summary.txt", "-one-link.pcap", "-one-link-out.pcap",
                                   "-one-link-out1.pcap"})
            fs::remove(out(suffix), ignored);
}

void remove_files(const options& opts, const std::string& variant)
{
    std::error_code ignored;
    if (!opts.keep)
        for (const auto& path : files_of(opts, variant))
            fs::remove(path, ignored);
}

const std::string variants[] = {"imix",       "small",     "ccmp-imix",  "ccmp-small",
                                "ccmp256-imix", "gcmp-imix", "gcmp-small", "ccmp-mlo-imix"};

int parse(int argc, char** argv, options& opts)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--kestrine" && has_value)
            opts.kestrine = argv[++i];
        else if (arg == "--gen" && has_value)
            opts.gen = argv[++i];
        else if (arg == "--copy" && has_value)
            opts.copy = argv[++i];
        else if (arg == "--mb" && has_value)
            opts.megabytes = std::strtoull(argv[++i], nullptr, 10);
        else if (arg == "--runs" && has_value)
            opts.runs = std::atoi(argv[++i]);
        else if (arg == "--dir" && has_value)
            opts.dir = argv[++i];
        else if (arg == "--only" && has_value)
            opts.only = argv[++i];
        else if (arg == "--keep")
            opts.keep = true;
        else
            return -1;
    }
    if (opts.kestrine.empty() || opts.gen.empty() || opts.copy.empty() || opts.megabytes == 0 || opts.runs < 1 ||
        (!opts.only.empty() && std::find(std::begin(variants), std::end(variants), opts.only) == std::end(variants)))
        return -1;
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    options opts;
    if (parse(argc, argv, opts) != 0) {
        std::fputs("usage: kestrine_bench --kestrine PATH --gen PATH --copy PATH [--mb N] [--runs N] [--dir DIR] "
                   "[--only imix|small|ccmp-imix|ccmp-small|ccmp256-imix|gcmp-imix|gcmp-small|ccmp-mlo-imix] [--keep]\n",
                   stderr);
        return 2;
    }
    std::printf("kestrine benchmark: %llu MB captures in %s, %ld CPUs online\n",
                static_cast<unsigned long long>(opts.megabytes), opts.dir.c_str(), sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("Times are medians over the rounds; the ratios are medians of the ratios taken within each\n"
                "round (x cat: to `cat in > out`; x copy: to the plain libpcap copy loop; x tuned: to the copy\n"
                "loop with kestrine's streams). Peak RSS is the largest of the runs, from wait4.\n");
    for (const std::string& variant : variants) {
        if (!opts.only.empty() && opts.only != variant)
            continue;
        try {
            if (variant.find('-') != std::string::npos)
                bench_decrypt(opts, variant);
            else
                bench_capture(opts, variant);
        } catch (const std::exception& failure) {
            remove_files(opts, variant);
            std::fflush(stdout);
            std::fprintf(stderr, "kestrine_bench: %s\n", failure.what());
            return 1;
        }
        remove_files(opts, variant);
    }
    return 0;
}
