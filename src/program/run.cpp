// The run: opens the input and the output, has every record converted,
// and ends with the summary, or with the message of what failed. Every
// way out returns here, so that the keys are wiped and the second thread
// has ended before the process does.
#include "program/run.h"

#include "io/io.h"
#include "program/command_line.h"
#include "program/statistics.h"
#include "record/record.h"

#include <pcap/pcap.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int failed = 255;

// The perror form: the message, ": ", the system's description of errno.
int fail(const char* message)
{
    std::perror(message);
    return failed;
}

// The perror form for a failure that left no system error behind.
int fail_because(const char* message, const char* reason)
{
    std::fprintf(stderr, "%s: %s\n", message, reason);
    return failed;
}

int fail_write(int error)
{
    errno = error != 0 ? error : EIO;
    return fail("Unable to write output file");
}

struct stream_closer {
    void operator()(std::FILE* stream) const { std::fclose(stream); }
};
struct pcap_closer {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
struct dumper_closer {
    void operator()(pcap_dumper_t* dumper) const { pcap_dump_close(dumper); }
};
// A stream until libpcap takes it over.
using stream_handle = std::unique_ptr<std::FILE, stream_closer>;
using pcap_handle = std::unique_ptr<pcap_t, pcap_closer>;
using dump_handle = std::unique_ptr<pcap_dumper_t, dumper_closer>;

// The perror form of the key log's failures, under its option's name.
int fail_key_log(const run_options& options, const char* reason)
{
    std::fprintf(stderr, "kestrine: --write-keys %s: %s\n", options.key_log_name, reason);
    return failed;
}

bool same_file(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Why the key log may not be written where it is named: it is a file the
// run reads or writes. Null when it may.
const char* key_log_clash(const run_options& options, const struct stat& input)
{
    struct stat log {};
    if (stat(options.key_log_name, &log) != 0)
        return nullptr; // a new file: the output is compared once both are open
    if (S_ISREG(input.st_mode) && same_file(log, input))
        return "it is the input file";
    for (const std::string& name : options.keys_files) {
        struct stat keys {};
        if (stat(name.c_str(), &keys) == 0 && same_file(log, keys))
            return "it is a keys file";
    }
    struct stat output {};
    if (S_ISREG(log.st_mode) && !is_dash(options.output_name) && stat(options.output_name, &output) == 0 &&
        same_file(log, output))
        return "it is the output file";
    return nullptr;
}

int convert(const run_options& options, const standard_descriptors& standard)
{
    conversion_settings settings;
    settings.count_fates = options.stats;
    settings.full_decode = options.full_decode;
    settings.flush_each_record = options.packet_buffered;
    settings.threads = options.threads;
    settings.decrypt_only = options.decrypt_only;
    const u_int precision = options.nanoseconds ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO;

    // A stream's buffer and a live input outlive the stream that uses them.
    stream_buffer input_buffer;
    stream_buffer output_buffer;
    live_input live;

    // Input first: the output is created only once the input has opened.
    stream_handle input_stream(open_input_stream(options.input_name, standard));
    if (!input_stream)
        return fail("Unable to open capture file");
    struct stat input_stat {};
    if (fstat(fileno(input_stream.get()), &input_stat) != 0)
        input_stat = {};
    if (!S_ISREG(input_stat.st_mode)) {
        std::FILE* live_stream = open_live_input(live, input_stream.get());
        if (live_stream == nullptr)
            return fail("malloc");
        input_stream.release(); // the live stream closes it
        input_stream.reset(live_stream);
    }
    input_buffer = buffer_stream(input_stream.get());
    if (!input_buffer)
        return fail("malloc");
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    errno = 0;
    pcap_handle input(pcap_fopen_offline_with_tstamp_precision(input_stream.get(), precision, errbuf));
    if (!input) {
        // A file that is empty, cut short in its header or not a capture at
        // all leaves no system error; libpcap's text says what is wrong.
        if (errno != 0 && errbuf[0] == '\0')
            return fail("Unable to open capture file");
        return fail_because("Unable to open capture file", errbuf[0] != '\0' ? errbuf : "not a capture file");
    }
    input_stream.release(); // libpcap's now

    // The key log, before the keys are installed: those given as KEYs go
    // to it too, so that it alone serves the next file.
    key_log log;
    key_log_sink log_sink;
    if (options.key_log_name != nullptr) {
        if (const char* clash = key_log_clash(options, input_stat))
            return fail_key_log(options, clash);
        log.fd = open_key_log(options.key_log_name);
        if (log.fd < 0)
            return fail_key_log(options, std::strerror(errno));
        log.stop_owner = input.get();
        log.stop = [](void* owner) { pcap_breakloop(static_cast<pcap_t*>(owner)); };
        log_sink = {&log, write_key_log_line};
    }
    const decryption_ptr keys = options.keys.empty() ? nullptr : make_decryption(options.keys, log_sink);
    settings.keys = keys.get();
    if (log.error != 0)
        return fail_key_log(options, std::strerror(log.error));

    // An 802.11 output keeps the input's link type, and room for its
    // longest record.
    const int link_type = options.decrypt_only ? pcap_datalink(input.get()) : DLT_EN10MB;
    const int snapshot = options.decrypt_only ? std::max(pcap_snapshot(input.get()), 65535) : 65535;
    pcap_handle dead(pcap_open_dead_with_tstamp_precision(link_type, snapshot, precision));
    if (!dead)
        return fail("Unable to open dead pcap");

    if (names_input_file(options.output_name, input_stat))
        return fail_because("Unable to open output file", "it is the input file");
    stream_handle output_stream(open_output_stream(options.output_name, standard));
    if (!output_stream)
        return fail("Unable to open output file");
    output_buffer = buffer_stream(output_stream.get());
    if (!output_buffer)
        return fail("malloc");
    errno = 0;
    dump_handle output(pcap_dump_fopen(dead.get(), output_stream.get()));
    if (!output) {
        if (errno == 0)
            errno = EIO;
        return fail("Unable to open output file");
    }
    std::FILE* const output_file = output_stream.release(); // libpcap's now
    struct stat log_stat {};
    struct stat output_stat {};
    if (log.fd >= 0 && fstat(log.fd, &log_stat) == 0 && fstat(fileno(output_file), &output_stat) == 0 &&
        S_ISREG(log_stat.st_mode) && same_file(log_stat, output_stat))
        return fail_key_log(options, "it is the output file");

    if (live.source != nullptr) {
        flush_while_live(live, output_file);
        settings.held = &live.pending;
    }
    const conversion_totals totals = convert_records(input.get(), output.get(), settings);
    if (totals.out_of_memory) {
        errno = ENOMEM;
        return fail("malloc");
    }
    if (log.error != 0)
        return fail_key_log(options, std::strerror(log.error));
    if (totals.write_error != 0)
        return fail_write(totals.write_error);
    if (live.write_error != 0)
        return fail_write(live.write_error);

    errno = 0;
    if (pcap_dump_flush(output.get()) != 0 || std::ferror(output_file))
        return fail_write(errno);
    output.reset();
    input.reset();
    dead.reset();
    if (totals.input_damaged)
        std::fputs("kestrine: warning: the input ends in a damaged or cut-short record; "
                   "the records before it were converted\n",
                   stderr);
    if (keys)
        warn_of_unmatched_keys(*keys);
    if (options.decrypt_only)
        std::printf("Wrote %" PRId64 " packets, %" PRId64 " of them decrypted.\n", totals.converted,
                    totals.fates[static_cast<std::size_t>(record_fate::decrypted)]);
    else
        std::printf("Converted %" PRId64 " packets.\n", totals.converted);
    if (options.stats) {
        std::fflush(stdout);
        print_statistics(stderr, totals, settings);
    }
    return 0;
}

} // namespace

int run_kestrine(int argc, char** argv)
{
    try {
        const standard_descriptors standard = fill_closed_standard_descriptors();
        // No key may reach a core file: dumps are off before the first key
        // is read, and stay off while any is held.
        const int dumpable = prctl(PR_GET_DUMPABLE);
        prctl(PR_SET_DUMPABLE, 0);
        run_options options;
        if (const std::optional<int> finished = parse_command_line(argc, argv, options))
            return *finished;
        if (options.keys.empty() && dumpable > 0)
            prctl(PR_SET_DUMPABLE, dumpable);
        return convert(options, standard);
    } catch (const std::bad_alloc&) {
        // Whatever ran out, every key is wiped by now: the run's state
        // has gone on the way here.
        errno = ENOMEM;
        return fail("malloc");
    }
}
