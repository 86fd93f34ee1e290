#include "run.h"

#include "convert/convert.h"

#include <stdio_ext.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#ifndef KESTRINE_VERSION
#error "KESTRINE_VERSION is set by the build"
#endif

namespace {

// Large stdio buffers: glibc's default of 4 KiB costs a system call per
// 4 KiB read or written, about a quarter of a million per GB. 256 KiB takes
// 4,000 per GB, and unlike 1 MiB the two buffers stay in the core's cache
// between the kernel's copy and libpcap's: 5-8 % faster than 1 MiB.
constexpr std::size_t stream_buffer_size = std::size_t{256} << 10;

struct pcap_closer {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
struct dumper_closer {
    void operator()(pcap_dumper_t* dumper) const { pcap_dump_close(dumper); }
};
using pcap_handle = std::unique_ptr<pcap_t, pcap_closer>;
using dump_handle = std::unique_ptr<pcap_dumper_t, dumper_closer>;
using stream_buffer = std::unique_ptr<char[], free_deleter>;

[[noreturn]] void fail(const char* message)
{
    std::perror(message);
    std::exit(255);
}

// The perror form for a failure that left no system error behind.
[[noreturn]] void fail_because(const char* message, const char* reason)
{
    std::fprintf(stderr, "%s: %s\n", message, reason);
    std::exit(255);
}

bool is_dash(const char* name) { return std::strcmp(name, "-") == 0; }

// Gives `stream` a buffer of its own. The buffer must outlive the stream's
// last use, so the run keeps it until the process ends.
//
// The run has one thread, so the stream is also told to skip the lock that
// stdio takes on every call: libpcap makes two stdio calls for each record
// it reads and two for each record it writes, and on small records the
// locking alone cost a fifth of the run.
stream_buffer buffer_stream(FILE* stream)
{
    stream_buffer buffer(static_cast<char*>(std::malloc(stream_buffer_size)));
    if (!buffer)
        fail("malloc");
    std::setvbuf(stream, buffer.get(), _IOFBF, stream_buffer_size);
    __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return buffer;
}

// True when `name` is the regular file that `input` reads, under this name
// or through another path or link. Truncating it would destroy the input.
bool names_input_file(const char* name, const struct stat& input)
{
    if (!S_ISREG(input.st_mode))
        return false;
    struct stat output {};
    if (is_dash(name)) {
        if (fstat(STDOUT_FILENO, &output) != 0)
            return false;
    } else if (stat(name, &output) != 0) {
        return false;
    }
    return output.st_dev == input.st_dev && output.st_ino == input.st_ino;
}

// Opens the output stream. For "-" the capture takes over standard output,
// and the run's own lines (offset errors, the summary) move to standard
// error so that the capture stream stays clean for the next tool.
FILE* open_output_stream(const char* name)
{
    if (!is_dash(name))
        return std::fopen(name, "wb");
    const int capture_fd = dup(STDOUT_FILENO);
    if (capture_fd < 0)
        return nullptr;
    FILE* stream = fdopen(capture_fd, "wb");
    if (stream == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        const int saved = errno;
        if (stream != nullptr)
            std::fclose(stream);
        else
            close(capture_fd);
        errno = saved;
        return nullptr;
    }
    return stream;
}

[[noreturn]] void fail_write(int error)
{
    errno = error != 0 ? error : EIO;
    fail("Unable to write output file");
}

// What the record handler needs from one record to the next.
struct conversion_state {
    pcap_t* input;
    pcap_dumper_t* output;
    FILE* output_stream;
    int link_type;
    frame_buffer frame;
    pcap_pkthdr frame_header;
    conversion_totals totals;
};

// One record: convert it if it converts, write it, count it. A failed write
// is kept in the totals and stops the loop before the next record.
void convert_record(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
{
    auto& state = *reinterpret_cast<conversion_state*>(user);
    const std::span<const std::uint8_t> record(bytes, header->caplen);
    const int offset = capture_header_offset(state.link_type, record);
    if (offset < 0)
        return;
    if (translate_data_frame(*header, record, offset, state.frame_header, state.frame) < 0)
        return;
    errno = 0;
    pcap_dump(reinterpret_cast<u_char*>(state.output), &state.frame_header, state.frame.bytes.get());
    if (ferror_unlocked(state.output_stream)) {
        state.totals.write_error = errno != 0 ? errno : EIO;
        pcap_breakloop(state.input);
        return;
    }
    ++state.totals.converted;
}

} // namespace

conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output)
{
    conversion_state state{input, output, pcap_dump_file(output), pcap_datalink(input), {}, {}, {}};
    // pcap_loop hands the records over one by one without the per-record
    // wrapping of pcap_next_ex (3-5 % of a run on small records). On a
    // savefile it returns 0 at the end of the input, PCAP_ERROR on a read
    // error such as a record cut short by the end of the file, and
    // PCAP_ERROR_BREAK once a failed write has broken the loop.
    const int status = pcap_loop(input, -1, convert_record, reinterpret_cast<u_char*>(&state));
    state.totals.input_damaged = status == PCAP_ERROR;
    return state.totals;
}

void run_kestrine(int argc, char** argv)
{
    if (argc <= 2) {
        std::puts("kestrine " KESTRINE_VERSION " - Convert 802.11 captures into Ethernet format.\n"
                  "Questions/Comments/Concerns: kestrine-maintainers@lists.kestrine.dev\n");
        std::printf("Usage: %s infile outfile\n", "kestrine");
        std::exit(255);
    }
    const char* input_name = argv[1];
    const char* output_name = argv[2];

    // Input first: the output is created only once the input has opened.
    FILE* input_stream = is_dash(input_name) ? stdin : std::fopen(input_name, "rb");
    if (input_stream == nullptr)
        fail("Unable to open capture file");
    const stream_buffer input_buffer = buffer_stream(input_stream);
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    errno = 0;
    pcap_handle input(pcap_fopen_offline(input_stream, errbuf));
    if (!input) {
        // A file that is empty, cut short in its header or not a capture at
        // all leaves no system error; libpcap's text says what is wrong.
        if (errno != 0 && errbuf[0] == '\0')
            fail("Unable to open capture file");
        fail_because("Unable to open capture file", errbuf[0] != '\0' ? errbuf : "not a capture file");
    }
    struct stat input_stat {};
    if (fstat(fileno(input_stream), &input_stat) != 0)
        input_stat = {};

    pcap_handle dead(pcap_open_dead(DLT_EN10MB, 65535));
    if (!dead)
        fail("Unable to open dead pcap");

    if (names_input_file(output_name, input_stat))
        fail_because("Unable to open output file", "it is the input file");
    FILE* output_stream = open_output_stream(output_name);
    if (output_stream == nullptr)
        fail("Unable to open output file");
    const stream_buffer output_buffer = buffer_stream(output_stream);
    errno = 0;
    dump_handle output(pcap_dump_fopen(dead.get(), output_stream));
    if (!output) {
        if (errno == 0)
            errno = EIO;
        fail("Unable to open output file");
    }

    const conversion_totals totals = convert_records(input.get(), output.get());
    if (totals.write_error != 0)
        fail_write(totals.write_error);

    errno = 0;
    if (pcap_dump_flush(output.get()) != 0 || std::ferror(output_stream))
        fail_write(errno);
    output.reset();
    input.reset();
    dead.reset();
    if (totals.input_damaged)
        std::fputs("kestrine: warning: the input ends in a damaged or cut-short record; "
                   "the records before it were converted\n",
                   stderr);
    std::printf("Converted %" PRId64 " packets.\n", totals.converted);
    std::exit(0);
}
