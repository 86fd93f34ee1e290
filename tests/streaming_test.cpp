// kestrine as a filter in a pipeline: captures of several megabytes through
// standard input and output, files and pipes, give the output capture of
// the file form byte for byte, with nothing else on standard output; pcapng
// inputs convert like the libpcap savefiles that hold the same records; and
// the ways a pipeline goes wrong (the reader leaves early, the streams name
// the input file) end as the man page says.
#include "test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string offset_error = "Error calculating header offset for packet.  Skipping this packet.\n";

std::string quoted(const fs::path& path) { return "'" + path.string() + "'"; }

// Writes a capture with kestrine_gen: mostly convertible Data and QoS Data
// frames of IMIX sizes, with the records that are dropped among them.
void generate(const fs::path& path, const std::string& link, int records, int seed)
{
    const auto result = test::run_program({KESTRINE_GEN_BINARY, "--link", link, "--records", std::to_string(records),
                                           "--seed", std::to_string(seed), path.string()});
    ASSERT_EQ(result.status, 0) << result.err;
}

// Puts a record whose radiotap length field passes its captured bytes after
// every `every`th record of a radiotap capture: each costs an offset-error
// line, which must stay out of a capture written to standard output.
void add_offset_errors(const fs::path& path, std::size_t every)
{
    const auto capture = test::read_capture(path);
    ASSERT_TRUE(capture);
    ASSERT_EQ(capture->link_type, 127);
    std::vector<test::record> records;
    for (std::size_t i = 0; i < capture->records.size(); ++i) {
        records.push_back(capture->records[i]);
        if (i % every == 0) {
            test::record bad = capture->records[i];
            bad.data[2] = 0xFF;
            bad.data[3] = 0xFF;
            records.push_back(bad);
        }
    }
    test::write_capture(path, records, {.link_type = 127});
}

std::size_t count_of(const std::string& text, const std::string& line)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + line.size()))
        ++count;
    return count;
}

struct streaming_case {
    const char* name;
    const char* link;
    bool offset_errors;
};

void PrintTo(const streaming_case& c, std::ostream* os) { *os << c.name; }

class streaming : public testing::TestWithParam<streaming_case> {};

// Every form of "-", files and pipes, against the file form.
TEST_P(streaming, every_form_gives_the_capture_of_the_file_form)
{
    const streaming_case& sc = GetParam();
    test::scratch_dir dir;
    const fs::path in = dir / "in.pcap";
    generate(in, sc.link, 12000, 7); // some 5 MB: many stdio buffers and pipe buffers full
    if (sc.offset_errors)
        add_offset_errors(in, 97);

    const auto file_form = test::run_kestrine({in.string(), (dir / "file.pcap").string()});
    ASSERT_EQ(file_form.status, 0) << file_form.err;
    ASSERT_EQ(file_form.err, "");
    const test::bytes expected = test::read_file(dir / "file.pcap");
    const auto written = test::read_capture(dir / "file.pcap");
    ASSERT_TRUE(written);
    ASSERT_GT(written->records.size(), 1000u);
    const std::string summary = "Converted " + std::to_string(written->records.size()) + " packets.\n";
    ASSERT_EQ(file_form.out.substr(file_form.out.size() - summary.size()), summary);
    EXPECT_EQ(count_of(file_form.out, offset_error) > 0, sc.offset_errors) << file_form.out;

    {
        SCOPED_TRACE("kestrine - out.pcap < in.pcap");
        const auto result = test::run_kestrine({"-", (dir / "stdin.pcap").string()}, in);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, file_form.out);
        EXPECT_EQ(result.err, "");
        EXPECT_TRUE(test::read_file(dir / "stdin.pcap") == expected);
    }
    {
        SCOPED_TRACE("kestrine in.pcap - > out.pcap");
        const auto result = test::run_kestrine({in.string(), "-"});
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(test::bytes(result.out.begin(), result.out.end()) == expected);
        EXPECT_EQ(result.err, file_form.out);
    }
    {
        SCOPED_TRACE("kestrine - - < in.pcap > out.pcap");
        const auto result = test::run_kestrine({"-", "-"}, in);
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(test::bytes(result.out.begin(), result.out.end()) == expected);
        EXPECT_EQ(result.err, file_form.out);
    }
    {
        SCOPED_TRACE("cat in.pcap | kestrine - - | cat > out.pcap");
        const std::string command = "cat " + quoted(in) + " | " + quoted(KESTRINE_BINARY) + " - - | cat > " +
                                    quoted(dir / "piped.pcap");
        const auto result = test::run_program({"/bin/sh", "-c", command});
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, file_form.out);
        EXPECT_TRUE(test::read_file(dir / "piped.pcap") == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(pipeline, streaming,
                         testing::Values(streaming_case{"radiotap_with_offset_errors", "radiotap", true},
                                         streaming_case{"bare_80211", "bare", false},
                                         streaming_case{"prism", "prism", false},
                                         streaming_case{"ppi", "ppi", false}),
                         [](const testing::TestParamInfo<streaming_case>& param_info) { return param_info.param.name; });

// --- pcapng -------------------------------------------------------------

struct pcapng_record {
    std::uint32_t interface = 0;
    std::uint64_t timestamp = 0; // in the interface's units
    test::bytes data;
    std::uint32_t len = 0; // 0: data.size()
};

struct pcapng_options {
    std::vector<std::uint16_t> interfaces = {105}; // the link type of each interface
    bool big_endian = false;
    bool nanoseconds = false; // if_tsresol 9 on every interface; microseconds otherwise
};

// Writes a pcapng section by hand, in either byte order: a section header,
// one interface description per link type, an enhanced packet per record.
class pcapng_writer {
  public:
    explicit pcapng_writer(bool big_endian) : big_endian_(big_endian) {}

    void u16(test::bytes& out, std::uint16_t v) const
    {
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
        big_endian_ ? out.insert(out.end(), {b[1], b[0]}) : out.insert(out.end(), {b[0], b[1]});
    }
    void u32(test::bytes& out, std::uint32_t v) const
    {
        u16(out, static_cast<std::uint16_t>(big_endian_ ? v >> 16 : v));
        u16(out, static_cast<std::uint16_t>(big_endian_ ? v : v >> 16));
    }
    // A block: type, total length, body padded to 4 bytes, total length.
    void block(test::bytes& out, std::uint32_t type, test::bytes body) const
    {
        body.resize((body.size() + 3) / 4 * 4, 0);
        const auto total = static_cast<std::uint32_t>(body.size() + 12);
        u32(out, type);
        u32(out, total);
        out.insert(out.end(), body.begin(), body.end());
        u32(out, total);
    }

  private:
    bool big_endian_;
};

test::bytes pcapng_file(const std::vector<pcapng_record>& records, const pcapng_options& options)
{
    const pcapng_writer w(options.big_endian);
    test::bytes file;
    test::bytes section;
    w.u32(section, 0x1A2B3C4D); // byte-order magic
    w.u16(section, 1);
    w.u16(section, 0);
    section.insert(section.end(), 8, 0xFF); // section length unknown
    w.block(file, 0x0A0D0D0A, section);
    for (const std::uint16_t link_type : options.interfaces) {
        test::bytes interface;
        w.u16(interface, link_type);
        w.u16(interface, 0);
        w.u32(interface, 65535);
        if (options.nanoseconds) {
            w.u16(interface, 9); // if_tsresol
            w.u16(interface, 1);
            interface.insert(interface.end(), {9, 0, 0, 0});
            w.u32(interface, 0); // opt_endofopt
        }
        w.block(file, 1, interface);
    }
    for (const pcapng_record& r : records) {
        test::bytes packet;
        w.u32(packet, r.interface);
        w.u32(packet, static_cast<std::uint32_t>(r.timestamp >> 32));
        w.u32(packet, static_cast<std::uint32_t>(r.timestamp));
        w.u32(packet, static_cast<std::uint32_t>(r.data.size()));
        w.u32(packet, r.len != 0 ? r.len : static_cast<std::uint32_t>(r.data.size()));
        packet.insert(packet.end(), r.data.begin(), r.data.end());
        w.block(file, 6, packet);
    }
    return file;
}

test::bytes join(test::bytes head, const test::bytes& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

test::bytes capture_header(std::uint16_t link_type)
{
    switch (link_type) {
    case 119:
        return test::bytes(144, 0x44);
    case 127:
        return {0, 0, 12, 0, 0x04, 0, 0, 0, 0x6C, 0x09, 0xC0, 0x00};
    case 192:
        return {0, 0, 8, 0, 105, 0, 0, 0};
    default:
        return {};
    }
}

// Records of every fate for one link type, timestamps in `unit`s of a
// second: Data in each DS direction, QoS Data, a beacon, a protected and a
// four-address frame, one captured short.
std::vector<pcapng_record> mixed_records(std::uint16_t link_type, std::uint64_t unit_per_second)
{
    const test::bytes head = capture_header(link_type);
    const std::uint64_t base = 1700000000ULL * unit_per_second;
    // Digits below the microsecond in a nanosecond capture: cut, not rounded.
    const std::uint64_t fraction = unit_per_second == 1000000000 ? 123456789 : 123456;
    std::vector<pcapng_record> records = {
        {0, base + fraction, join(head, test::data_frame(0x08, 0x00, 40, 0x0800, 0x10))},
        {0, base + 1, join(head, test::data_frame(0x08, 0x01, 64, 0x86DD, 0x20))},
        {0, base + unit_per_second - 1, join(head, test::data_frame(0x88, 0x02, 21, 0x0806, 0x30))},
        {0, base + 2 * unit_per_second, join(head, test::data_frame(0x80, 0x00, 80))},
        {0, base + 3 * unit_per_second, join(head, test::data_frame(0x08, 0x41, 80))},
        {0, base + 4 * unit_per_second, join(head, test::data_frame(0x08, 0x03, 80))},
        {0, base + 5 * unit_per_second, join(head, test::data_frame(0x88, 0x01, 1400, 0x0800, 0x40))},
    };
    pcapng_record cut = {0, base + 6 * unit_per_second, join(head, test::data_frame(0x08, 0x02, 200, 0x0800, 0x50))};
    cut.len = static_cast<std::uint32_t>(cut.data.size());
    cut.data.resize(cut.data.size() - 150);
    records.push_back(cut);
    return records;
}

// The libpcap savefile that holds the same records as the pcapng file, with
// the timestamps in microseconds, cut as libpcap cuts finer ones.
std::vector<test::record> savefile_twin(const std::vector<pcapng_record>& records, std::uint64_t unit_per_second)
{
    std::vector<test::record> twin;
    for (const pcapng_record& r : records) {
        test::record t;
        t.seconds = static_cast<std::int64_t>(r.timestamp / unit_per_second);
        t.fraction = static_cast<std::int64_t>(r.timestamp % unit_per_second * 1000000 / unit_per_second);
        t.data = r.data;
        t.caplen = static_cast<std::uint32_t>(r.data.size());
        t.len = r.len != 0 ? r.len : t.caplen;
        twin.push_back(t);
    }
    return twin;
}

struct pcapng_case {
    const char* name;
    pcapng_options options;
    bool through_standard_streams;
};

// A pcapng input converts to the capture that its libpcap twin converts to,
// from a file or through "-" both ways, in either byte order, with
// microsecond or nanosecond timestamps, and with several interfaces of one
// link type.
TEST(pcapng, converts_like_its_savefile_twin)
{
    const std::vector<pcapng_case> cases = {
        {"radiotap_little_endian_microseconds", {.interfaces = {127}}, false},
        {"bare_big_endian_nanoseconds", {.interfaces = {105}, .big_endian = true, .nanoseconds = true}, false},
        {"ppi_through_standard_streams", {.interfaces = {192}}, true},
        {"prism_two_interfaces_nanoseconds_through_standard_streams",
         {.interfaces = {119, 119}, .nanoseconds = true}, true},
    };
    for (const pcapng_case& pc : cases) {
        SCOPED_TRACE(pc.name);
        test::scratch_dir dir;
        const std::uint16_t link_type = pc.options.interfaces.front();
        const std::uint64_t unit = pc.options.nanoseconds ? 1000000000 : 1000000;
        std::vector<pcapng_record> records = mixed_records(link_type, unit);
        for (std::size_t i = 0; i < records.size(); ++i)
            records[i].interface = static_cast<std::uint32_t>(i % pc.options.interfaces.size());
        test::write_file(dir / "in.pcapng", pcapng_file(records, pc.options));
        test::write_capture(dir / "twin.pcap", savefile_twin(records, unit), {.link_type = link_type});

        const auto twin = test::run_kestrine({(dir / "twin.pcap").string(), (dir / "twin-out.pcap").string()});
        ASSERT_EQ(twin.status, 0) << twin.err;
        const auto twin_output = test::read_capture(dir / "twin-out.pcap");
        ASSERT_TRUE(twin_output);
        ASSERT_EQ(twin_output->records.size(), 5u) << "four whole frames and one captured short";

        test::run_result result;
        test::bytes output;
        if (pc.through_standard_streams) {
            result = test::run_kestrine({"-", "-"}, dir / "in.pcapng");
            output.assign(result.out.begin(), result.out.end());
            EXPECT_EQ(result.err, twin.out);
        } else {
            result = test::run_kestrine({(dir / "in.pcapng").string(), (dir / "out.pcap").string()});
            output = test::read_file(dir / "out.pcap");
            EXPECT_EQ(result.out, twin.out);
            EXPECT_EQ(result.err, "");
        }
        EXPECT_EQ(result.status, 0);
        EXPECT_TRUE(output == test::read_file(dir / "twin-out.pcap")) << "the pcapng input converts otherwise";
    }
}

// libpcap gives one link type per capture, and refuses a pcapng interface
// of another link type where it meets it: the records before it convert,
// and the run ends with the warning of a damaged input and status 0.
TEST(pcapng, second_link_type_ends_the_input_with_the_warning)
{
    test::scratch_dir dir;
    const std::vector<pcapng_record> first = mixed_records(127, 1000000);
    test::bytes file = pcapng_file(first, {.interfaces = {127}});
    // A second interface, of bare 802.11, and a record on it.
    const pcapng_writer w(false);
    test::bytes interface;
    w.u16(interface, 105);
    w.u16(interface, 0);
    w.u32(interface, 65535);
    w.block(file, 1, interface);
    test::bytes packet;
    w.u32(packet, 1);
    w.u32(packet, 0);
    w.u32(packet, 1);
    const test::bytes frame = test::data_frame(0x08, 0x00, 40);
    w.u32(packet, static_cast<std::uint32_t>(frame.size()));
    w.u32(packet, static_cast<std::uint32_t>(frame.size()));
    packet.insert(packet.end(), frame.begin(), frame.end());
    w.block(file, 6, packet);
    test::write_file(dir / "in.pcapng", file);

    const auto result = test::run_kestrine({(dir / "in.pcapng").string(), (dir / "out.pcap").string()});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "Converted 5 packets.\n");
    EXPECT_EQ(result.err, "kestrine: warning: the input ends in a damaged or cut-short record; "
                          "the records before it were converted\n");
    const auto output = test::read_capture(dir / "out.pcap");
    ASSERT_TRUE(output);
    EXPECT_EQ(output->records.size(), 5u);
}

// --- pipelines that go wrong ----------------------------------------------

struct spawned {
    int status = -1; // raw wait status
    std::string err;
};

// Starts kestrine with the given descriptors as its standard streams (-1:
// closed), with SIGPIPE at its default action or ignored, and waits for it
// after `while_running` has run in this process.
template <typename F>
spawned spawn_kestrine(const std::vector<std::string>& args, int in_fd, int out_fd, bool ignore_sigpipe,
                       const fs::path& err_path, F while_running)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (const auto& [fd, standard] : {std::pair{in_fd, 0}, std::pair{out_fd, 1}}) {
        if (fd < 0)
            posix_spawn_file_actions_addclose(&actions, standard);
        else
            posix_spawn_file_actions_adddup2(&actions, fd, standard);
    }
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    // An ignored signal stays ignored across exec; the default is set
    // explicitly, whatever this test process inherited.
    struct sigaction previous {};
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    if (ignore_sigpipe) {
        sigaction(SIGPIPE, &ignore, &previous);
    } else {
        posix_spawnattr_setsigdefault(&attributes, &pipe_signal);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    }
    std::vector<char*> argv{const_cast<char*>(KESTRINE_BINARY)};
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawn_error = posix_spawn(&pid, KESTRINE_BINARY, &actions, &attributes, argv.data(), environ);
    if (ignore_sigpipe)
        sigaction(SIGPIPE, &previous, nullptr);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    spawned result;
    if (spawn_error != 0) {
        ADD_FAILURE() << "cannot start kestrine: " << std::strerror(spawn_error);
        return result;
    }
    while_running();
    while (waitpid(pid, &result.status, 0) < 0) {
    }
    const test::bytes err = test::read_file(err_path);
    result.err.assign(err.begin(), err.end());
    return result;
}

// The program reading the capture leaves after 100 bytes: kestrine ends by
// SIGPIPE like any filter, or, with SIGPIPE ignored, with the write error
// and status 255. No summary claims success either way.
TEST(broken_pipe, reader_leaving_early)
{
    test::scratch_dir dir;
    generate(dir / "in.pcap", "radiotap", 12000, 3);
    for (const bool ignore_sigpipe : {false, true}) {
        SCOPED_TRACE(ignore_sigpipe ? "SIGPIPE ignored" : "SIGPIPE at its default");
        int capture_pipe[2];
        // Close-on-exec, so that kestrine holds no end of the pipe but the
        // one it writes: the reader's close must reach it.
        ASSERT_EQ(pipe2(capture_pipe, O_CLOEXEC), 0);
        const int in_fd = open((dir / "in.pcap").c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(in_fd, 0);
        const spawned result = spawn_kestrine({"-", "-"}, in_fd, capture_pipe[1], ignore_sigpipe, dir / "err", [&] {
            close(capture_pipe[1]);
            char head[100];
            std::size_t got = 0;
            while (got < sizeof head) {
                const ssize_t n = read(capture_pipe[0], head + got, sizeof head - got);
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            EXPECT_EQ(got, sizeof head);
            close(capture_pipe[0]);
        });
        close(in_fd);
        if (ignore_sigpipe) {
            ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
            EXPECT_EQ(WEXITSTATUS(result.status), 255);
            EXPECT_EQ(result.err, "Unable to write output file: Broken pipe\n");
        } else {
            ASSERT_TRUE(WIFSIGNALED(result.status)) << result.status;
            EXPECT_EQ(WTERMSIG(result.status), SIGPIPE);
            EXPECT_EQ(result.err, "");
        }
    }
}

// Standard output opened onto the input file without truncating it (the
// shell's 1<>): writing would destroy the input as it is read, so the run
// is refused and the input stays as it was.
TEST(same_file, standard_output_onto_the_input_is_refused)
{
    test::scratch_dir dir;
    generate(dir / "in.pcap", "bare", 200, 5);
    const test::bytes before = test::read_file(dir / "in.pcap");
    struct same_case {
        const char* name;
        std::vector<std::string> args;
    };
    const std::vector<same_case> cases = {
        {"kestrine - - < in.pcap 1<> in.pcap", {"-", "-"}},
        {"kestrine in.pcap - 1<> in.pcap", {(dir / "in.pcap").string(), "-"}},
    };
    for (const same_case& c : cases) {
        SCOPED_TRACE(c.name);
        const int in_fd = open((dir / "in.pcap").c_str(), O_RDONLY | O_CLOEXEC);
        const int out_fd = open((dir / "in.pcap").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(in_fd, 0);
        ASSERT_GE(out_fd, 0);
        const spawned result = spawn_kestrine(c.args, in_fd, out_fd, false, dir / "err", [] {});
        close(in_fd);
        close(out_fd);
        ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
        EXPECT_EQ(WEXITSTATUS(result.status), 255);
        EXPECT_EQ(result.err, "Unable to open output file: it is the input file\n");
        EXPECT_TRUE(test::read_file(dir / "in.pcap") == before);
    }
}

// --- live inputs ----------------------------------------------------------

// Reads from `fd` until `want` bytes have come or `limit` has passed.
test::bytes read_within(int fd, std::size_t want, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    test::bytes got;
    while (got.size() < want) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd ready{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) != 1)
            break;
        std::uint8_t chunk[4096];
        const ssize_t n = read(fd, chunk, std::min(sizeof chunk, want - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

void write_all(int fd, const test::bytes& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        ASSERT_GT(n, 0) << std::strerror(errno);
        done += static_cast<std::size_t>(n);
    }
}

// The writing end of a FIFO, once a reader has opened it (at most 5 s).
int open_fifo_writer(const fs::path& path)
{
    for (int tries = 0; tries < 500; ++tries) {
        const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            fcntl(fd, F_SETFL, 0);
            return fd;
        }
        usleep(10000);
    }
    return -1;
}

// A live capture: records written one at a time into a pipe or FIFO that
// stays open. Each converted record must reach the reader within a second,
// long before the input ends or the output buffer fills.
TEST(live_input, each_record_reaches_the_reader_while_the_input_stays_open)
{
    test::scratch_dir dir;
    const std::vector<std::size_t> payloads = {60, 300, 21};
    std::vector<test::record> records;
    for (const std::size_t payload : payloads)
        records.push_back({.seconds = 1, .data = test::data_frame(0x08, 0x02, payload)});
    test::write_capture(dir / "in.pcap", records);
    ASSERT_EQ(test::run_kestrine({(dir / "in.pcap").string(), (dir / "out.pcap").string()}).status, 0);
    const test::bytes input = test::read_file(dir / "in.pcap");
    const test::bytes output = test::read_file(dir / "out.pcap");
    // The savefile header, then one record at a time, in and out.
    std::vector<std::size_t> input_ends = {24};
    std::vector<std::size_t> output_ends = {24};
    for (const std::size_t payload : payloads) {
        input_ends.push_back(input_ends.back() + 16 + 32 + payload);
        output_ends.push_back(output_ends.back() + 16 + 14 + payload);
    }
    ASSERT_EQ(output.size(), output_ends.back());

    for (const bool fifo : {false, true}) {
        SCOPED_TRACE(fifo ? "a FIFO named as the input" : "a pipe on standard input");
        int input_pipe[2];
        int output_pipe[2];
        ASSERT_EQ(pipe2(input_pipe, O_CLOEXEC), 0);
        ASSERT_EQ(pipe2(output_pipe, O_CLOEXEC), 0);
        const fs::path fifo_path = dir / "live.fifo";
        if (fifo) {
            ASSERT_EQ(mkfifo(fifo_path.c_str(), 0600), 0);
            close(input_pipe[1]); // standard input: an empty pipe, not read
        }
        const spawned result = spawn_kestrine({fifo ? fifo_path.string() : "-", "-"}, input_pipe[0], output_pipe[1],
                                              false, dir / "err", [&] {
            close(output_pipe[1]);
            const int writer = fifo ? open_fifo_writer(fifo_path) : input_pipe[1];
            ASSERT_GE(writer, 0) << "kestrine did not open the FIFO";
            test::bytes seen;
            for (std::size_t n = 0; n < input_ends.size(); ++n) {
                const std::size_t from = n == 0 ? 0 : input_ends[n - 1];
                write_all(writer, test::bytes(input.begin() + static_cast<std::ptrdiff_t>(from),
                                              input.begin() + static_cast<std::ptrdiff_t>(input_ends[n])));
                const test::bytes more =
                    read_within(output_pipe[0], output_ends[n] - seen.size(),
                                std::chrono::seconds(test::time_scale));
                seen.insert(seen.end(), more.begin(), more.end());
                EXPECT_EQ(seen.size(), output_ends[n]) << "within " << test::time_scale << " s of input piece " << n;
            }
            close(writer);
            EXPECT_TRUE(seen == output) << "not what the file form writes";
            close(output_pipe[0]);
        });
        close(input_pipe[0]);
        if (fifo)
            fs::remove(fifo_path);
        ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
        EXPECT_EQ(WEXITSTATUS(result.status), 0);
        EXPECT_EQ(result.err, "Converted 3 packets.\n");
    }
}

// A write that fails while the input pauses ends the run at once with the
// write error, though the input is still open.
TEST(live_input, failed_write_while_waiting_ends_the_run)
{
    test::scratch_dir dir;
    test::write_capture(dir / "in.pcap", {{.seconds = 1, .data = test::data_frame(0x08, 0x02, 60)}});
    const test::bytes input = test::read_file(dir / "in.pcap");
    int input_pipe[2];
    ASSERT_EQ(pipe2(input_pipe, O_CLOEXEC), 0);
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    if (full < 0)
        GTEST_SKIP() << "no /dev/full";
    const spawned result = spawn_kestrine({"-", "-"}, input_pipe[0], full, false, dir / "err", [&] {
        close(input_pipe[0]);
        write_all(input_pipe[1], input);
        // kestrine closing its end of the pipe shows as an error on this one.
        pollfd gone{input_pipe[1], POLLOUT, 0};
        for (int i = 0; i < 200 * test::time_scale && (gone.revents & POLLERR) == 0; ++i) {
            usleep(10000);
            poll(&gone, 1, 0);
        }
        EXPECT_NE(gone.revents & POLLERR, 0) << "kestrine still reads its input " << 2 * test::time_scale << " s after the failed write";
        close(input_pipe[1]);
    });
    close(full);
    ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
    EXPECT_EQ(WEXITSTATUS(result.status), 255);
    EXPECT_EQ(result.err, "Unable to write output file: No space left on device\n");
}

// -U: every record leaves as it is written, even from a regular file that
// never waits. Behind a one-page pipe that nobody reads, kestrine blocks in
// the write of a whole record; without -U its buffer fills the page,
// cutting a record.
TEST(live_input, packet_buffered_writes_whole_records)
{
    test::scratch_dir dir;
    std::vector<test::record> records;
    for (int i = 0; i < 100; ++i)
        records.push_back({.seconds = i, .data = test::data_frame(0x08, 0x02, 150)});
    test::write_capture(dir / "in.pcap", records);
    ASSERT_EQ(test::run_kestrine({(dir / "in.pcap").string(), (dir / "out.pcap").string()}).status, 0);
    const test::bytes whole = test::read_file(dir / "out.pcap");
    const std::size_t record_size = 16 + 14 + 150;
    ASSERT_EQ(whole.size(), 24 + records.size() * record_size);

    for (const bool packet_buffered : {true, false}) {
        SCOPED_TRACE(packet_buffered ? "-U" : "without -U");
        int output_pipe[2];
        ASSERT_EQ(pipe2(output_pipe, O_CLOEXEC), 0);
        ASSERT_GE(fcntl(output_pipe[1], F_SETPIPE_SZ, 4096), 0);
        const int in_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
        std::vector<std::string> args = {(dir / "in.pcap").string(), "-"};
        if (packet_buffered)
            args.insert(args.begin(), "-U");
        const spawned result = spawn_kestrine(args, in_fd, output_pipe[1], false, dir / "err", [&] {
            close(output_pipe[1]);
            // The bytes waiting in the pipe, once kestrine has stopped adding.
            int waiting = -1;
            for (int settled = 0, i = 0; settled < 20 && i < 500; ++i) {
                usleep(10000);
                int now = 0;
                ioctl(output_pipe[0], FIONREAD, &now);
                settled = now == waiting && now > 0 ? settled + 1 : 0;
                waiting = now;
            }
            const test::bytes head = read_within(output_pipe[0], static_cast<std::size_t>(waiting),
                                                 std::chrono::seconds(test::time_scale));
            ASSERT_EQ(head.size(), static_cast<std::size_t>(waiting));
            EXPECT_TRUE(std::equal(head.begin(), head.end(), whole.begin()));
            EXPECT_EQ((head.size() - 24) % record_size == 0, packet_buffered) << head.size() << " bytes in the pipe";
            const test::bytes rest = read_within(output_pipe[0], whole.size() - head.size(),
                                                 std::chrono::seconds(5 * test::time_scale));
            EXPECT_EQ(head.size() + rest.size(), whole.size());
            close(output_pipe[0]);
        });
        close(in_fd);
        ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
        EXPECT_EQ(WEXITSTATUS(result.status), 0);
    }
}

// Started without standard input or output, kestrine says so for "-" and
// never takes a file it opened for the missing stream: an output file on
// descriptor 1 would get the run's own lines written into it.
TEST(closed_standard_streams, dash_fails_and_files_stay_clean)
{
    test::scratch_dir dir;
    generate(dir / "in.pcap", "radiotap", 1200, 9);
    add_offset_errors(dir / "in.pcap", 4); // some 300 lines on standard output, past its buffer
    ASSERT_EQ(test::run_kestrine({(dir / "in.pcap").string(), (dir / "file.pcap").string()}).status, 0);
    const test::bytes expected = test::read_file(dir / "file.pcap");
    struct closed_case {
        const char* name;
        std::vector<std::string> args;
        bool input_closed;
        int status;
        std::string err;
    };
    const std::string out = (dir / "out.pcap").string();
    const std::vector<closed_case> cases = {
        {"kestrine in.pcap - >&-", {(dir / "in.pcap").string(), "-"}, false, 255,
         "Unable to open output file: Bad file descriptor\n"},
        {"kestrine - out.pcap <&-", {"-", out}, true, 255, "Unable to open capture file: Bad file descriptor\n"},
        {"kestrine - out.pcap < in.pcap >&-", {"-", out}, false, 0, ""},
    };
    for (const closed_case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove(out);
        const int in_fd = c.input_closed ? -1 : open((dir / "in.pcap").c_str(), O_RDONLY | O_CLOEXEC);
        const spawned result = spawn_kestrine(c.args, in_fd, -1, false, dir / "err", [] {});
        if (in_fd >= 0)
            close(in_fd);
        ASSERT_TRUE(WIFEXITED(result.status)) << result.status;
        EXPECT_EQ(WEXITSTATUS(result.status), c.status);
        EXPECT_EQ(result.err, c.err);
        if (c.status == 0)
            EXPECT_TRUE(test::read_file(out) == expected) << "the output file differs from the file form's";
        else
            EXPECT_FALSE(fs::exists(out));
    }
}

} // namespace
