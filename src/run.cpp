#include "run.h"

#include "command_line.h"
#include "convert/convert.h"
#include "decrypt/decrypt.h"
#include "reassemble/reassemble.h"

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
#include <vector>

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

// What the record handlers need from one record to the next.
struct conversion_state {
    pcap_t* input;
    pcap_dumper_t* output;
    FILE* output_stream;
    int link_type;
    conversion_settings settings;
    frame_buffer frame;
    pcap_pkthdr frame_header;
    conversion_totals totals;
    std::vector<std::uint8_t> plain; // a decrypted frame
    reassembly fragments{};
};

void count(conversion_state& state, record_fate fate, std::int64_t records = 1)
{
    state.totals.fates[static_cast<std::size_t>(fate)] += records;
}

// Writes one frame. A failed write is kept in the totals and
// stops the loop before the next record; returns false then.
bool write_frame(conversion_state& state, const pcap_pkthdr& header, const std::uint8_t* frame)
{
    errno = 0;
    pcap_dump(reinterpret_cast<u_char*>(state.output), &header, frame);
    if (ferror_unlocked(state.output_stream)) {
        state.totals.write_error = errno != 0 ? errno : EIO;
        pcap_breakloop(state.input);
        return false;
    }
    ++state.totals.converted;
    return true;
}

// The record's Header offset, or -1 once the offset error is counted.
int counted_header_offset(conversion_state& state, std::span<const std::uint8_t> record)
{
    const int offset = capture_header_offset(state.link_type, record);
    if (offset < 0)
        count(state, record_fate::header_offset_error);
    return offset;
}

// One record: convert it if it converts, write it, count it.
void convert_record(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
{
    auto& state = *reinterpret_cast<conversion_state*>(user);
    const std::span<const std::uint8_t> record(bytes, header->caplen);
    const int offset = counted_header_offset(state, record);
    if (offset < 0)
        return;
    if (translate_data_frame(*header, record, offset, state.frame_header, state.frame) < 0) {
        if (state.settings.count_fates)
            count(state, skipped_frame_fate(record, offset));
        return;
    }
    if (write_frame(state, state.frame_header, state.frame.bytes.get()))
        count(state, record_fate::converted);
}

// Translates the 802.11 frame at `offset` of `record` and writes what it
// gives, counting the record as `written` when it gives a frame.
void translate_and_write(conversion_state& state, const pcap_pkthdr& header,
                         std::span<const std::uint8_t> record, int offset, record_fate written)
{
    if (translate_data_frame(header, record, offset, state.frame_header, state.frame) < 0) {
        count(state, skipped_frame_fate(record, offset));
        return;
    }
    if (write_frame(state, state.frame_header, state.frame.bytes.get()))
        count(state, written);
}

// Management frames tell the tracker the networks' names; they are still
// not converted.
void follow_management(const conversion_state& state, std::span<const std::uint8_t> record, std::size_t offset,
                       const capture_flags& flags)
{
    decryption* keys = state.settings.keys;
    const int fc = record_le16(record, offset);
    if (keys == nullptr || fc < 0 || !is_management_type(fc) || !follows_handshakes(*keys))
        return;
    std::span<const std::uint8_t> frame = record.subspan(offset);
    if (flags.fcs_at_end)
        frame = frame.first(frame.size() < 4 ? 0 : frame.size() - 4);
    follow_management_frame(*keys, frame);
}

// One record when keys are given.
void convert_record_with_options(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
{
    auto& state = *reinterpret_cast<conversion_state*>(user);
    const std::span<const std::uint8_t> record(bytes, header->caplen);
    const int offset = counted_header_offset(state, record);
    if (offset < 0)
        return;
    const auto o = static_cast<std::size_t>(offset);
    const int fc = record_le16(record, o);
    decryption* keys = state.settings.keys;
    const bool is_data = fc >= 0 && is_data_type(fc);
    if (keys != nullptr && fc >= 0 && is_management_type(fc))
        follow_management(state, record, o, read_capture_flags(state.link_type, record, offset));
    if (keys == nullptr || !is_data) {
        translate_and_write(state, *header, record, offset, record_fate::converted);
        return;
    }
    const capture_flags flags = read_capture_flags(state.link_type, record, offset);
    if (!is_protected(fc)) {
        if (follows_handshakes(*keys)) {
            std::size_t body = o + data_header_length(fc);
            if (flags.data_pad)
                body = (body + 3) & ~std::size_t{3};
            if (body <= record.size())
                follow_eapol_frame(*keys, record.subspan(o), record.subspan(body));
        }
        translate_and_write(state, *header, record, offset, record_fate::converted);
        return;
    }
    // Four-address frames do not convert, so they are not worth decrypting.
    if (is_four_address(fc)) {
        count(state, record_fate::four_address);
        return;
    }
    if (header->caplen < header->len) {
        count(state, record_fate::protected_short);
        return;
    }
    const record_fate fate = decrypt_data_frame(*keys, record.subspan(o), flags.fcs_at_end, flags.data_pad, state.plain);
    if (fate != record_fate::decrypted) {
        count(state, fate);
        return;
    }
    pcap_pkthdr plain_header{};
    plain_header.ts = header->ts;
    plain_header.caplen = plain_header.len = static_cast<bpf_u_int32>(state.plain.size());
    translate_and_write(state, plain_header, state.plain, 0, record_fate::decrypted);
}

bool write_decoded_frame(void* context, const pcap_pkthdr& header, const std::uint8_t* frame)
{
    return write_frame(*static_cast<conversion_state*>(context), header, frame);
}

// Decodes a located frame, counting the record as `written` when it gives
// a frame.
void decode_and_write(conversion_state& state, const data_frame_view& view, const timeval& ts, record_fate written)
{
    const frame_sink sink{&state, write_decoded_frame};
    const record_fate fate = decode_data_frame(view, ts, state.frame, sink, state.totals.decoded);
    count(state, fate == record_fate::converted ? written : fate);
}

// One record under full decoding: the capture header's flags, decryption
// when keys are given, fragments joined, then every MSDU of the frame.
void convert_record_full_decode(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
{
    auto& state = *reinterpret_cast<conversion_state*>(user);
    const std::span<const std::uint8_t> record(bytes, header->caplen);
    capture_flags flags;
    const int offset = full_decode_header_offset(state.link_type, record, flags);
    if (offset < 0) {
        count(state, record_fate::header_offset_error);
        return;
    }
    if (flags.bad_fcs) {
        count(state, record_fate::bad_fcs);
        return;
    }
    data_frame_view view;
    record_fate fate = locate_data_frame(record, static_cast<std::size_t>(offset), header->len, flags, view);
    if (fate == record_fate::not_data)
        follow_management(state, record, static_cast<std::size_t>(offset), flags);
    if (fate != record_fate::converted) {
        count(state, fate);
        return;
    }
    record_fate written = record_fate::converted;
    decryption* keys = state.settings.keys;
    if (is_protected(view.fc)) {
        if (keys == nullptr) {
            count(state, record_fate::protected_no_key);
            return;
        }
        if (header->caplen < header->len) {
            count(state, record_fate::protected_short);
            return;
        }
        fate = decrypt_data_frame(*keys, record.subspan(static_cast<std::size_t>(offset)), flags.fcs_at_end,
                                  flags.data_pad, state.plain);
        if (fate == record_fate::decrypted)
            fate = locate_data_frame(state.plain, 0, state.plain.size(), capture_flags{}, view);
        if (fate != record_fate::converted) {
            count(state, fate);
            return;
        }
        written = record_fate::decrypted;
    } else if (keys != nullptr && follows_handshakes(*keys)) {
        follow_eapol_frame(*keys, view.frame, view.frame.subspan(std::min(view.body_start, view.frame.size())));
    }

    if (is_fragment(view)) {
        data_frame_view whole;
        const fragment_outcome outcome = add_fragment(state.fragments, view, whole);
        count(state, record_fate::fragment_reassembled, outcome.reassembled);
        count(state, record_fate::fragment_dropped, outcome.dropped);
        if (outcome.held)
            return; // counted once its frame is complete or lost
        if (!outcome.completed) {
            count(state, record_fate::fragment_dropped);
            return;
        }
        decode_and_write(state, whole, header->ts, written);
        return;
    }
    decode_and_write(state, view, header->ts, written);
}

} // namespace

conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output)
{
    return convert_records(input, output, conversion_settings{});
}

conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output, const conversion_settings& settings)
{
    conversion_state state{input, output, pcap_dump_file(output), pcap_datalink(input), settings, {}, {}, {}, {}, {}};
    const bool plain_run = settings.keys == nullptr;
    // pcap_loop hands the records over one by one without the per-record
    // wrapping of pcap_next_ex (3-5 % of a run on small records). On a
    // savefile it returns 0 at the end of the input, PCAP_ERROR on a read
    // error such as a record cut short by the end of the file, and
    // PCAP_ERROR_BREAK once a failed write has broken the loop.
    pcap_handler handler = plain_run ? convert_record : convert_record_with_options;
    if (settings.full_decode)
        handler = convert_record_full_decode;
    const int status = pcap_loop(input, -1, handler, reinterpret_cast<u_char*>(&state));
    state.totals.input_damaged = status == PCAP_ERROR;
    // Fragments still waiting for the rest of their frame never get it.
    count(state, record_fate::fragment_dropped, fragments_held(state.fragments));
    return state.totals;
}

void print_statistics(std::FILE* stream, const conversion_totals& totals, const conversion_settings& settings)
{
    struct row {
        record_fate fate;
        const char* text;
    };
    static constexpr row rows[] = {
        {record_fate::converted, "converted"},
        {record_fate::decrypted, "decrypted and converted"},
        {record_fate::header_offset_error, "dropped, header offset error"},
        {record_fate::not_data, "dropped, not a Data frame"},
        {record_fate::no_payload, "dropped, Data frame without a body (Null, CF)"},
        {record_fate::four_address, "dropped, four-address (WDS, mesh)"},
        {record_fate::protected_no_key, "dropped, protected, no key given for its cipher"},
        {record_fate::protected_no_session, "dropped, protected, no key for its network yet"},
        {record_fate::protected_unmatched, "dropped, protected, its handshake matches no key given"},
        {record_fate::integrity_failed, "dropped, decryption failed its integrity check"},
        {record_fate::protected_short, "dropped, protected and captured short"},
        {record_fate::too_short, "dropped, too short"},
    };
    static constexpr row full_decode_rows[] = {
        {record_fate::bad_fcs, "dropped, the radio found its FCS wrong"},
        {record_fate::malformed, "dropped, malformed or forged A-MSDU or Mesh Control"},
        {record_fate::too_long_for_802_3, "dropped, not SNAP and too long for IEEE 802.3"},
        {record_fate::fragment_reassembled, "fragments held and joined into a frame written"},
        {record_fate::fragment_dropped, "dropped, fragment of a frame not captured whole"},
    };
    std::int64_t read = 0;
    for (const std::int64_t n : totals.fates)
        read += n;
    std::fprintf(stream, "%-58s %12" PRId64 "\n", "records read", read);
    for (const row& r : rows)
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", r.text, totals.fates[static_cast<std::size_t>(r.fate)]);
    if (settings.full_decode) {
        for (const row& r : full_decode_rows)
            std::fprintf(stream, "  %-56s %12" PRId64 "\n", r.text, totals.fates[static_cast<std::size_t>(r.fate)]);
    }
    if (settings.keys != nullptr)
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", "dropped, protected, a suite kestrine cannot decrypt",
                     totals.fates[static_cast<std::size_t>(record_fate::protected_unsupported)]);
    if (settings.keys != nullptr && follows_handshakes(*settings.keys)) {
        const handshake_tracker& tracker = settings.keys->tracker;
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes matched by a key", tracker.handshakes_completed);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes no key given matches", tracker.handshakes_unmatched);
        std::vector<std::string> networks;
        describe_networks(*settings.keys, networks);
        for (const std::string& line : networks)
            std::fprintf(stream, "%s\n", line.c_str());
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes of an AKM or cipher kestrine cannot decrypt",
                     tracker.drops.unsupported_akm);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes no key of their AKM's PMK length was given for",
                     tracker.drops.no_key_of_length);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "EAPOL-Key frames dropped as malformed", tracker.drops.malformed);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "FT and TDLS key frames refused", tracker.drops.key_exchange_refused);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshake records evicted to bound memory", tracker.evicted());
    }
    std::fprintf(stream, "%-58s %12" PRId64 "\n", "frames written", totals.converted);
    if (settings.full_decode) {
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", "A-MSDU subframes", totals.decoded.subframes_written);
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", "IEEE 802.3 frames", totals.decoded.ieee_802_3_written);
    }
}

void run_kestrine(int argc, char** argv)
{
    const run_options options = parse_command_line(argc, argv);
    const char* input_name = options.input_name;
    const char* output_name = options.output_name;
    decryption keys;
    for (const user_key& key : options.keys)
        add_user_key(keys, key);
    conversion_settings settings;
    settings.keys = options.keys.empty() ? nullptr : &keys;
    settings.count_fates = options.stats;
    settings.full_decode = options.full_decode;

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

    const conversion_totals totals = convert_records(input.get(), output.get(), settings);
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
    if (settings.keys != nullptr && follows_handshakes(keys)) {
        const handshake_tracker& tracker = keys.tracker;
        const std::int64_t unmatched = tracker.handshakes_unmatched + tracker.drops.no_key_of_length;
        if (tracker.handshakes_completed == 0 && unmatched > 0)
            std::fprintf(stderr, "kestrine: warning: no key given matches any of the handshakes seen (%" PRId64 ")\n",
                         unmatched);
    }
    std::printf("Converted %" PRId64 " packets.\n", totals.converted);
    if (options.stats) {
        std::fflush(stdout);
        print_statistics(stderr, totals, settings);
    }
    std::exit(0);
}
