// Faults end to end, against the built program: allocation failure, a full
// or size-limited disk, outputs that cannot or must not be opened, damaged
// and unusual inputs. Every case checks the same four things: the exact
// standard output and standard error, the exit status, the input file left
// byte for byte as it was, and the output holding exactly the records the
// input converts to up to the fault (as the reference decoder reads them),
// written byte for byte as a native-order microsecond Ethernet capture, or
// no output file where none may be created.
#include "reference_decoder.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#ifndef KESTRINE_FAIL_MALLOC_SHIM
#error "KESTRINE_FAIL_MALLOC_SHIM is set by tests/CMakeLists.txt"
#endif

namespace {

namespace fs = std::filesystem;

const std::string damaged_warning =
    "kestrine: warning: the input ends in a damaged or cut-short record; the records before it were converted\n";

std::string summary(std::size_t count) { return "Converted " + std::to_string(count) + " packets.\n"; }

// Bare 802.11 records, most of them convertible, in all address forms.
std::vector<test::record> traffic(std::size_t count, std::size_t payload = 60)
{
    static const std::uint8_t second_fc_byte[] = {0x00, 0x01, 0x02, 0x41, 0x01, 0x03};
    std::vector<test::record> records;
    for (std::size_t i = 0; i < count; ++i) {
        test::record r;
        r.seconds = 1700000000 + static_cast<std::int64_t>(i);
        r.fraction = static_cast<std::int64_t>(i * 1000 + 7);
        const std::uint8_t fc0 = i % 3 == 2 ? 0x88 : 0x08;
        r.data = test::data_frame(fc0, second_fc_byte[i % 6], payload + i % 17, 0x0800,
                                  static_cast<std::uint8_t>(i));
        records.push_back(std::move(r));
    }
    return records;
}

// What the first `kept` input records turn into, by the reference decoder,
// with timestamps in microseconds.
std::vector<test::record> expected_output(const std::vector<test::record>& input, std::size_t kept,
                                          std::uint32_t link_type = 105, bool nanoseconds = false)
{
    std::vector<test::record> out;
    for (std::size_t i = 0; i < kept && i < input.size(); ++i) {
        const test::record& r = input[i];
        const auto caplen = static_cast<std::uint32_t>(r.data.size());
        const std::uint32_t len = r.len != 0 ? r.len : caplen;
        const auto offset = reference::header_offset(link_type, r.data.data(), caplen);
        if (!offset)
            continue;
        const auto frame = reference::convert(r.data.data(), caplen, len, *offset);
        if (!frame)
            continue;
        test::record o;
        o.seconds = r.seconds;
        o.fraction = nanoseconds ? r.fraction / 1000 : r.fraction;
        o.caplen = frame->caplen;
        o.len = frame->len;
        o.data = frame->frame;
        out.push_back(std::move(o));
    }
    return out;
}

// What the first `kept` input records turn into under --full-decode, by
// the reference decoder.
std::vector<test::record> expected_full_decode(const std::vector<test::record>& input, std::size_t kept)
{
    std::vector<reference::capture_record> records;
    for (std::size_t i = 0; i < kept && i < input.size(); ++i) {
        const test::record& r = input[i];
        const auto caplen = static_cast<std::uint32_t>(r.data.size());
        records.push_back({r.seconds, r.fraction, caplen, r.len != 0 ? r.len : caplen, r.data});
    }
    std::vector<test::record> out;
    for (const reference::capture_record& r : reference::full_decode(105, records))
        out.push_back({r.seconds, r.fraction, r.caplen, r.len, r.bytes});
    return out;
}

struct fault_case {
    std::string name;
    test::bytes input;                  // written to in.pcap
    std::string input_name = "in.pcap"; // the name the input is given by, in the test's folder
    std::vector<std::string> options;   // before the two names
    std::string output = "out.pcap";    // relative to the test's folder, or absolute
    std::vector<std::string> environment;
    std::function<void(const fs::path&)> prepare; // links, folders, after in.pcap is written
    bool through_stdin = false;         // input given as "-"
    std::string shell_prefix;           // run through sh with this prefix to exec
    // What must come out.
    int status = 0;
    std::string out;
    std::string err;
    std::optional<std::vector<test::record>> records; // nullopt: no output file may exist
    bool output_cut = false; // the output itself ends in a cut record (a size limit)
    bool output_exists = false; // the output name is there before the run (a link)
};

void run_case(const fault_case& c)
{
    SCOPED_TRACE(c.name);
    test::scratch_dir dir;
    const fs::path in = dir / "in.pcap";
    test::write_file(in, c.input);
    if (c.prepare)
        c.prepare(dir.path);
    const fs::path out = fs::path(c.output).is_absolute() ? fs::path(c.output) : dir.path / c.output;
    const std::string input_arg = c.through_stdin ? "-" : (dir / c.input_name).string();

    test::run_result result;
    if (c.shell_prefix.empty()) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {input_arg, out.string()});
        result = test::run_kestrine(args, c.through_stdin ? in : fs::path(), c.environment);
    } else {
        const std::string script = c.shell_prefix + " exec \"$0\" \"$1\" \"$2\"";
        result = test::run_program({"/bin/sh", "-c", script, KESTRINE_BINARY, input_arg, out.string()},
                                   c.through_stdin ? in : fs::path(), c.environment);
    }

    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    if (!fs::is_directory(in)) {
        EXPECT_EQ(test::read_file(in), c.input) << "the input was changed";
    }

    if (!c.records) {
        if (out.string() != "/dev/full" && !c.output_exists) {
            EXPECT_FALSE(fs::exists(fs::symlink_status(out)) && !fs::is_directory(out))
                << out << " was created";
        }
        return;
    }
    const std::optional<test::capture> written = test::read_capture(out);
    ASSERT_TRUE(written.has_value()) << "the output is not a capture";
    EXPECT_EQ(written->link_type, 1);
    EXPECT_EQ(written->snaplen, 65535);
    EXPECT_EQ(written->read_error, c.output_cut);
    const std::vector<test::record>& expected = *c.records;
    if (c.output_cut) {
        // Cut at a size limit: a prefix of the records, all of them whole.
        ASSERT_LE(written->records.size(), expected.size());
        EXPECT_GT(written->records.size(), 0u);
    } else {
        ASSERT_EQ(written->records.size(), expected.size());
        EXPECT_EQ(test::read_file(out), test::capture_file_bytes(expected, {.link_type = 1, .snaplen = 65535}))
            << "not the native microsecond form";
    }
    for (std::size_t i = 0; i < written->records.size(); ++i) {
        SCOPED_TRACE("output record " + std::to_string(i));
        const test::record& got = written->records[i];
        EXPECT_EQ(got.seconds, expected[i].seconds);
        EXPECT_EQ(got.fraction, expected[i].fraction);
        EXPECT_EQ(got.caplen, expected[i].caplen);
        EXPECT_EQ(got.len, expected[i].len);
        EXPECT_EQ(got.data, expected[i].data);
    }
}

test::bytes join(test::bytes head, const test::bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// The environment that makes the shim fail the `skip`+1st malloc of `size`
// bytes. A sanitizer runtime insists on coming first among the loaded
// libraries; the shim comes before it, which is harmless here.
std::vector<std::string> failing_malloc(std::size_t size, unsigned skip)
{
    return {std::string("LD_PRELOAD=") + KESTRINE_FAIL_MALLOC_SHIM,
            "KESTRINE_FAIL_MALLOC_SIZE=" + std::to_string(size),
            "KESTRINE_FAIL_MALLOC_SKIP=" + std::to_string(skip)};
}

// True when the shim's malloc is the one the program calls. It is not when
// the program carries its own malloc (clang links its sanitizer runtime
// into the executable).
bool shim_takes_effect(const test::bytes& capture)
{
    test::scratch_dir dir;
    test::write_file(dir / "in.pcap", capture);
    const auto result = test::run_kestrine({(dir / "in.pcap").string(), (dir / "out.pcap").string()}, {},
                                           {std::string("LD_PRELOAD=") + KESTRINE_FAIL_MALLOC_SHIM,
                                            "KESTRINE_TRACE_MALLOC=1"});
    return result.err.find("malloc 2048\n") != std::string::npos;
}

// True when a run of `capture` with `options` calls the shim's malloc for
// `size` bytes.
bool allocation_reaches_the_shim(const test::bytes& capture, const std::vector<std::string>& options, std::size_t size)
{
    test::scratch_dir dir;
    test::write_file(dir / "in.pcap", capture);
    std::vector<std::string> args = options;
    args.insert(args.end(), {(dir / "in.pcap").string(), (dir / "out.pcap").string()});
    const auto result = test::run_kestrine(
        args, {}, {std::string("LD_PRELOAD=") + KESTRINE_FAIL_MALLOC_SHIM, "KESTRINE_TRACE_MALLOC=1"});
    return result.err.find("malloc " + std::to_string(size) + "\n") != std::string::npos;
}

class faults : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Inherited by the program: lets a sanitizer build run under the shim.
        std::string options = std::getenv("ASAN_OPTIONS") != nullptr ? std::getenv("ASAN_OPTIONS") : "";
        setenv("ASAN_OPTIONS", (options + (options.empty() ? "" : ":") + "verify_asan_link_order=0").c_str(), 1);
    }
};

// A frame that cannot be allocated ends the run at once: the perror form of
// "malloc", status 255, no summary. exit() still flushes the output stream,
// so the records converted before the failure are in the output file.
TEST_F(faults, allocation_failure_while_a_frame_is_built)
{
    // With a snapshot length below 2048, libpcap's record buffer is smaller
    // than the frame's first block of 2048 bytes, so the first malloc of
    // 2048 bytes is the frame's.
    const std::vector<test::record> small = traffic(6);
    test::capture_options short_snaplen;
    short_snaplen.snaplen = 1000;

    // Three small frames, then one that needs a larger block (8192 bytes).
    std::vector<test::record> growing = traffic(6);
    growing.insert(growing.begin() + 3, traffic(1, 5000).front());

    if (!shim_takes_effect(test::capture_file_bytes(small)))
        GTEST_SKIP() << "the program's malloc cannot be replaced through LD_PRELOAD in this build";

    std::vector<fault_case> cases(2);
    cases[0].name = "first_frame";
    cases[0].input = test::capture_file_bytes(small, short_snaplen);
    cases[0].environment = failing_malloc(2048, 0);
    cases[0].status = 255;
    cases[0].err = "malloc: Cannot allocate memory\n";
    cases[0].records = std::vector<test::record>{};

    cases[1].name = "frame_grows";
    cases[1].input = test::capture_file_bytes(growing);
    cases[1].environment = failing_malloc(8192, 0);
    cases[1].status = 255;
    cases[1].err = "malloc: Cannot allocate memory\n";
    cases[1].records = expected_output(growing, 3);
    ASSERT_EQ(cases[1].records->size(), 3u);
    for (const fault_case& c : cases)
        run_case(c);
}

// The shim itself: with nothing to fail, the same runs succeed; so the
// failures above are the frame's allocation and nothing else's.
TEST_F(faults, allocation_shim_fails_only_what_it_is_told)
{
    std::vector<test::record> growing = traffic(6);
    growing.insert(growing.begin() + 3, traffic(1, 5000).front());
    fault_case c;
    if (!shim_takes_effect(test::capture_file_bytes(growing)))
        GTEST_SKIP() << "the program's malloc cannot be replaced through LD_PRELOAD in this build";
    c.name = "shim_without_a_failure";
    c.input = test::capture_file_bytes(growing);
    c.environment = failing_malloc(8192, 1);
    c.records = expected_output(growing, growing.size());
    c.out = summary(c.records->size());
    run_case(c);
}

// Memory that runs out on either thread of a run, or inside libpcap's
// record loop, ends the run the same way: the records before the failure
// written, the perror form of "malloc", status 255, no summary, and
// nothing from a sanitizer.
TEST_F(faults, allocation_failure_on_either_thread)
{
    if (!shim_takes_effect(test::capture_file_bytes(traffic(6))))
        GTEST_SKIP() << "the program's malloc cannot be replaced through LD_PRELOAD in this build";
    const std::string any_pmk = "wpa-psk:" + std::string(64, '5');
    // A frame of 100,000 bytes among small ones: with a WPA key and two
    // threads every record is converted on the second thread, whose frame
    // then grows to 128 KiB, an allocation no other part makes.
    std::vector<test::record> large = traffic(40);
    large.insert(large.begin() + 25, traffic(1, 100000 - 32).front());
    test::capture_options large_snaplen;
    large_snaplen.snaplen = 262144;
    // The first fragment of a frame, under --full-decode: it is held in a
    // buffer that grows from its 24-byte header to 3,357 bytes, inside
    // libpcap's loop on the first thread.
    std::vector<test::record> fragmented = traffic(12);
    fragmented.insert(fragmented.begin() + 7,
                      test::record{1800000000, 0, 0, 0, test::data_frame(0x08, 0x04, 3333 - 8)});

    struct thread_case {
        const char* name;
        const std::vector<test::record>* input;
        std::vector<std::string> options;
        std::size_t failing_size;
        std::size_t converted_before; // input records converted before the failure
        test::capture_options capture;
        bool full_decode = false;
    };
    const thread_case thread_cases[] = {
        {"second_thread_frame", &large, {"--threads", "2", "-k", any_pmk}, 131072, 25, large_snaplen},
        {"one_thread_frame", &large, {"--threads", "1", "-k", any_pmk}, 131072, 25, large_snaplen},
        {"first_thread_inside_the_record_loop", &fragmented, {"--full-decode"}, 3357, 7, {}, true},
    };
    for (const thread_case& t : thread_cases) {
        fault_case c;
        c.name = t.name;
        c.input = test::capture_file_bytes(*t.input, t.capture);
        c.options = t.options;
        // A sanitizer's operator new does not go through malloc: where the
        // allocation does not reach the shim, the case cannot be made.
        if (!allocation_reaches_the_shim(c.input, c.options, t.failing_size)) {
            std::printf("%s: no malloc of %zu bytes reaches the shim in this build\n", t.name, t.failing_size);
            continue;
        }
        c.environment = failing_malloc(t.failing_size, 0);
        c.status = 255;
        c.err = "malloc: Cannot allocate memory\n";
        c.records = t.full_decode ? expected_full_decode(*t.input, t.converted_before)
                                  : expected_output(*t.input, t.converted_before);
        run_case(c);
    }
}

TEST_F(faults, write_and_open_failures_of_the_output)
{
    const std::vector<test::record> records = traffic(30);
    const std::vector<test::record> many = traffic(20000, 100); // about 3 MB of output
    const test::bytes input = test::capture_file_bytes(records);

    std::vector<fault_case> cases;
    fault_case c;
    c.input = input;
    c.status = 255;

    c.name = "disk_full";
    c.output = "/dev/full";
    c.err = "Unable to write output file: No space left on device\n";
    cases.push_back(c);

    // No records: the failure is found at the final flush of the header.
    c.name = "disk_full_header_only";
    c.input = test::capture_file_bytes({});
    cases.push_back(c);

    // A file-size limit of 150 KiB, less than the run's output buffer and
    // no multiple of any buffer size: the limit strikes inside a write.
    // What reached the file is a prefix of whole records, then a cut one.
    c.name = "file_size_limit_mid_run";
    c.input = test::capture_file_bytes(many);
    c.output = "out.pcap";
    c.shell_prefix = "ulimit -f 300 && trap '' XFSZ &&"; // 512-byte blocks
    c.err = "Unable to write output file: File too large\n";
    c.records = expected_output(many, many.size());
    c.output_cut = true;
    cases.push_back(c);
    c.input = input;
    c.shell_prefix.clear();
    c.records.reset();
    c.output_cut = false;

    c.name = "output_in_a_missing_directory";
    c.output = "missing/out.pcap";
    c.err = "Unable to open output file: No such file or directory\n";
    cases.push_back(c);

    c.name = "output_is_a_directory";
    c.output = "a-directory";
    c.prepare = [](const fs::path& dir) { fs::create_directory(dir / "a-directory"); };
    c.err = "Unable to open output file: Is a directory\n";
    cases.push_back(c);
    c.prepare = nullptr;

    c.name = "output_below_a_file";
    c.output = "in.pcap/out.pcap";
    c.err = "Unable to open output file: Not a directory\n";
    cases.push_back(c);

    c.err = "Unable to open output file: it is the input file\n";
    c.output_exists = true;
    c.name = "output_is_the_input_by_the_same_name";
    c.output = "in.pcap";
    cases.push_back(c);

    c.name = "output_is_a_symbolic_link_to_the_input";
    c.output = "link.pcap";
    c.prepare = [](const fs::path& dir) { fs::create_symlink("in.pcap", dir / "link.pcap"); };
    cases.push_back(c);

    c.name = "output_is_a_hard_link_to_the_input";
    c.output = "hard.pcap";
    c.prepare = [](const fs::path& dir) { fs::create_hard_link(dir / "in.pcap", dir / "hard.pcap"); };
    cases.push_back(c);

    c.name = "output_is_the_input_through_another_path";
    c.output = "sub/../in.pcap";
    c.prepare = [](const fs::path& dir) { fs::create_directory(dir / "sub"); };
    cases.push_back(c);

    c.name = "input_given_through_a_symbolic_link";
    c.input_name = "link.pcap";
    c.output = "in.pcap";
    c.prepare = [](const fs::path& dir) { fs::create_symlink("in.pcap", dir / "link.pcap"); };
    cases.push_back(c);

    for (const fault_case& fc : cases)
        run_case(fc);
}

// Inputs that end in damage: every record before the damage converted and
// written, the summary counting them, status 0, and the one warning line.
TEST_F(faults, damaged_inputs_keep_the_records_before_the_damage)
{
    const std::vector<test::record> records = traffic(9);
    const test::bytes whole = test::capture_file_bytes(records);
    const test::bytes next = test::capture_file_bytes(traffic(1)); // header + one record
    const auto next_record = next.begin() + 24;
    test::bytes oversized = test::capture_file_bytes({});
    // A record header claiming 300000 captured bytes: more than libpcap
    // accepts for any link type, whatever the data behind it.
    for (const std::uint32_t field : {1u, 0u, 300000u, 300000u})
        for (int shift = 0; shift < 32; shift += 8)
            oversized.push_back(static_cast<std::uint8_t>(field >> shift));
    oversized.resize(oversized.size() + 64, 0x08);

    const std::vector<test::record> kept = expected_output(records, records.size());
    ASSERT_EQ(kept.size(), 7u);

    struct damage {
        const char* name;
        test::bytes tail;
    };
    const std::vector<damage> damages = {
        {"cut_inside_a_record_header", test::bytes(next_record, next_record + 9)},
        {"cut_after_a_whole_record_header", test::bytes(next_record, next_record + 16)},
        {"cut_inside_record_data", test::bytes(next_record, next_record + 16 + 30)},
        {"caplen_above_the_limit", test::bytes(oversized.begin() + 24, oversized.end())},
    };
    for (const damage& d : damages) {
        fault_case c;
        c.name = d.name;
        c.input = join(whole, d.tail);
        c.out = summary(kept.size());
        c.err = damaged_warning;
        c.records = kept;
        run_case(c);
    }
}

// Inputs that are not captures at all: refused at the open with libpcap's
// reason, status 255 and no output file; from standard input as from a
// file, where standard input can be such a thing.
TEST_F(faults, inputs_that_are_not_captures)
{
    const test::bytes header = test::capture_file_bytes({});
    const std::string text = "not a capture at all, just text\n";
    const std::string truncated = "Unable to open capture file: truncated dump file; ";

    struct not_capture {
        const char* name;
        test::bytes input;
        std::string err;
        std::function<void(const fs::path&)> prepare = nullptr; // replaces in.pcap
    };
    const auto missing = [](const fs::path& dir) { fs::remove(dir / "in.pcap"); };
    const auto directory = [](const fs::path& dir) {
        fs::remove(dir / "in.pcap");
        fs::create_directory(dir / "in.pcap");
    };
    const std::vector<not_capture> inputs = {
        {"missing", {}, "Unable to open capture file: No such file or directory\n", missing},
        {"empty_file", {}, truncated + "tried to read 4 file header bytes, only got 0\n"},
        {"three_bytes", {0xD4, 0xC3, 0xB2}, truncated + "tried to read 4 file header bytes, only got 3\n"},
        {"magic_alone", test::bytes(header.begin(), header.begin() + 4),
         truncated + "tried to read 24 file header bytes, only got 0\n"},
        {"header_one_byte_short", test::bytes(header.begin(), header.end() - 1),
         truncated + "tried to read 24 file header bytes, only got 19\n"},
        {"text", test::bytes(text.begin(), text.end()), "Unable to open capture file: unknown file format\n"},
        {"directory", {}, "Unable to open capture file: error reading dump file: Is a directory\n", directory},
    };
    for (const not_capture& n : inputs) {
        fault_case c;
        c.name = n.name;
        c.input = n.input;
        c.prepare = n.prepare;
        c.status = 255;
        c.err = n.err;
        run_case(c);
        if (c.name == "missing")
            continue; // standard input is always there
        c.name += "_on_standard_input";
        c.through_stdin = true;
        run_case(c);
    }
}

// Inputs that are unusual but whole: converted in full, timestamps in
// microseconds whatever the input's precision or byte order. (pcapng inputs,
// from files and standard input, are in the streaming tests.)
TEST_F(faults, unusual_but_whole_inputs)
{
    const std::vector<test::record> records = traffic(12);
    const std::vector<test::record> expected = expected_output(records, records.size());

    std::vector<test::record> nano_records = traffic(12);
    for (std::size_t i = 0; i < nano_records.size(); ++i)
        nano_records[i].fraction = 999999999 - static_cast<std::int64_t>(i * 1001);
    test::capture_options nano;
    nano.nanoseconds = true;
    test::capture_options swapped;
    swapped.swapped = true;
    test::capture_options swapped_nano = nano;
    swapped_nano.swapped = true;

    struct whole_input {
        const char* name;
        test::bytes input;
        std::vector<test::record> expected;
        bool through_stdin = false;
    };
    const std::vector<whole_input> inputs = {
        {"byte_swapped", test::capture_file_bytes(records, swapped), expected},
        {"nanoseconds", test::capture_file_bytes(nano_records, nano), expected_output(nano_records, 12, 105, true)},
        {"byte_swapped_nanoseconds", test::capture_file_bytes(nano_records, swapped_nano),
         expected_output(nano_records, 12, 105, true)},
        {"standard_input", test::capture_file_bytes(records), expected, true},
    };
    for (const whole_input& w : inputs) {
        fault_case c;
        c.name = w.name;
        c.input = w.input;
        c.through_stdin = w.through_stdin;
        c.out = summary(w.expected.size());
        c.records = w.expected;
        run_case(c);
    }
}

} // namespace
