// Test helpers: captures written and read through libpcap, and runs of the
// built kestrine program with their output, error text and exit status.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace test {

using bytes = std::vector<std::uint8_t>;

// How many times longer a time limit is in a build under a sanitizer,
// which runs the program several times slower and, with two test jobs on
// two cores, shares them: a limit there catches a hang, not a slowdown.
#ifdef KESTRINE_INSTRUMENTED
inline constexpr int time_scale = 10;
#else
inline constexpr int time_scale = 1;
#endif

struct record {
    std::int64_t seconds = 0;
    std::int64_t fraction = 0; // microseconds, or nanoseconds in a nanosecond capture
    std::uint32_t caplen = 0;  // 0 with `bytes` set: the size of `bytes`
    std::uint32_t len = 0;     // 0: same as caplen
    bytes data;
};

// Writes a savefile by hand (libpcap can only write what it can describe):
// any link type, snapshot length and record header, optionally byte-swapped
// or with nanosecond timestamps. Records take `caplen` from data.size()
// unless set; data is written as given.
struct capture_options {
    std::uint32_t link_type = 105;
    std::uint32_t snaplen = 65535;
    bool swapped = false;
    bool nanoseconds = false;
};
bytes capture_file_bytes(const std::vector<record>& records, const capture_options& options = {});
void write_capture(const std::filesystem::path& path, const std::vector<record>& records,
                   const capture_options& options = {});
void write_file(const std::filesystem::path& path, const bytes& contents);
bytes read_file(const std::filesystem::path& path);

struct capture {
    int link_type = -1;
    int snaplen = -1;
    std::vector<record> records; // fraction in microseconds, or nanoseconds when read so
    bool read_error = false;     // ended in an error, not at the end of the file
    bool nanosecond_file = false; // the file's own precision
};
// Reads a capture back through libpcap, its timestamps in microseconds or
// nanoseconds; nullopt when libpcap cannot open it.
std::optional<capture> read_capture(const std::filesystem::path& path, bool nanoseconds = false);

struct run_result {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
};
// Runs the built kestrine with `args` (not including the program name).
// `stdin_path` empty gives /dev/null as standard input. `environment`
// entries ("NAME=value") are added to the inherited environment.
run_result run_kestrine(const std::vector<std::string>& args, const std::filesystem::path& stdin_path = {},
                        const std::vector<std::string>& environment = {});
// The same for any program: argv[0] is the program's path.
run_result run_program(const std::vector<std::string>& argv, const std::filesystem::path& stdin_path = {},
                       const std::vector<std::string>& environment = {});

// A fresh directory for one test, removed with everything in it at the end.
struct scratch_dir {
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    std::filesystem::path operator/(const std::string& name) const { return path / name; }
    std::filesystem::path path;
};

// An 802.11 Data frame header of 24 bytes (QoS: 26) with the given frame
// control bytes and addresses, then an LLC/SNAP header with `ethertype`,
// then `payload_size` payload bytes counting up from `first`.
bytes data_frame(std::uint8_t fc0, std::uint8_t fc1, std::size_t payload_size, std::uint16_t ethertype = 0x0800,
                 std::uint8_t first = 0);

// The 6 bytes that data_frame() puts in Address k: (k << 4 | 0) .. (k << 4 | 5).
bytes address(int k);

// The Ethernet II frame that a data_frame() with these addresses, EtherType
// and payload must become.
bytes ethernet_frame(int destination, int source, std::uint16_t ethertype, std::size_t payload_size,
                     std::uint8_t first = 0);

// tshark, the independent decoder the oracle tests compare with: its path,
// or empty when it is not installed.
std::string tshark_path();
// tshark's frame.time_epoch in microseconds.
std::int64_t micros_of(const std::string& epoch);
// "aa:bb:cc:dd:ee:ff" as bytes.
bytes mac_bytes(const std::string& text);
// `line` cut at every `by`; a trailing separator gives a last empty field.
std::vector<std::string> split(const std::string& line, char by);

// FNV-1a, 64 bits: the digest of an output whose every byte is fixed.
std::uint64_t digest(const bytes& data);

// Where the shared corpus of real captures lies, when it is there.
std::optional<std::filesystem::path> shared_captures();

} // namespace test
