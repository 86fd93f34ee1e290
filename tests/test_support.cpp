#include "test_support.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace test {

namespace {

void put32(bytes& out, std::uint32_t value, bool swapped)
{
    for (int i = 0; i < 4; ++i) {
        const int shift = swapped ? 24 - 8 * i : 8 * i;
        out.push_back(static_cast<std::uint8_t>(value >> shift));
    }
}
void put16(bytes& out, std::uint16_t value, bool swapped)
{
    out.push_back(static_cast<std::uint8_t>(swapped ? value >> 8 : value));
    out.push_back(static_cast<std::uint8_t>(swapped ? value : value >> 8));
}

std::string slurp(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

bytes capture_file_bytes(const std::vector<record>& records, const capture_options& options)
{
    bytes out;
    put32(out, options.nanoseconds ? 0xA1B23C4D : 0xA1B2C3D4, options.swapped);
    put16(out, 2, options.swapped);
    put16(out, 4, options.swapped);
    put32(out, 0, options.swapped);
    put32(out, 0, options.swapped);
    put32(out, options.snaplen, options.swapped);
    put32(out, options.link_type, options.swapped);
    for (const record& r : records) {
        const auto caplen = r.caplen != 0 || r.data.empty() ? r.caplen : static_cast<std::uint32_t>(r.data.size());
        put32(out, static_cast<std::uint32_t>(r.seconds), options.swapped);
        put32(out, static_cast<std::uint32_t>(r.fraction), options.swapped);
        put32(out, caplen, options.swapped);
        put32(out, r.len != 0 ? r.len : caplen, options.swapped);
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    return out;
}

void write_file(const std::filesystem::path& path, const bytes& contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

void write_capture(const std::filesystem::path& path, const std::vector<record>& records,
                   const capture_options& options)
{
    write_file(path, capture_file_bytes(records, options));
}

bytes read_file(const std::filesystem::path& path)
{
    const std::string text = slurp(path);
    return {text.begin(), text.end()};
}

std::optional<capture> read_capture(const std::filesystem::path& path, bool nanoseconds)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t* handle = pcap_open_offline_with_tstamp_precision(
        path.c_str(), nanoseconds ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO, errbuf);
    if (handle == nullptr)
        return std::nullopt;
    capture result;
    result.link_type = pcap_datalink(handle);
    result.snaplen = pcap_snapshot(handle);
    // A savefile's magic tells its precision; a pcapng file holds its own
    // per interface, which libpcap does not tell.
    std::array<unsigned char, 4> magic{};
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(magic.data()), magic.size());
    result.nanosecond_file = (magic[0] == 0x4D && magic[3] == 0xA1) || (magic[0] == 0xA1 && magic[3] == 0x4D);
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status = 0;
    while ((status = pcap_next_ex(handle, &header, &data)) == 1) {
        record r;
        r.seconds = header->ts.tv_sec;
        r.fraction = header->ts.tv_usec;
        r.caplen = header->caplen;
        r.len = header->len;
        r.data.assign(data, data + header->caplen);
        result.records.push_back(std::move(r));
    }
    result.read_error = status == -1;
    pcap_close(handle);
    return result;
}

run_result run_program(const std::vector<std::string>& argv, const std::filesystem::path& stdin_path,
                       const std::vector<std::string>& environment)
{
    scratch_dir io;
    const std::filesystem::path out_path = io / "stdout";
    const std::filesystem::path err_path = io / "stderr";
    const std::string in_path = stdin_path.empty() ? std::string("/dev/null") : stdin_path.string();

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, in_path.c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);

    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<std::string> env_strings;
    for (char** e = environ; *e != nullptr; ++e)
        env_strings.emplace_back(*e);
    env_strings.insert(env_strings.end(), environment.begin(), environment.end());
    std::vector<char*> env;
    for (std::string& entry : env_strings)
        env.push_back(entry.data());
    env.push_back(nullptr);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), env.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0)
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(spawned));
    int wait_status = 0;
    while (waitpid(pid, &wait_status, 0) < 0) {
    }
    run_result result;
    result.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : 128 + WTERMSIG(wait_status);
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    return result;
}

run_result run_kestrine(const std::vector<std::string>& args, const std::filesystem::path& stdin_path,
                        const std::vector<std::string>& environment)
{
    std::vector<std::string> argv{KESTRINE_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(argv, stdin_path, environment);
}

scratch_dir::scratch_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "kestrine-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path = pattern;
}

scratch_dir::~scratch_dir()
{
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path, ignored);
}

bytes data_frame(std::uint8_t fc0, std::uint8_t fc1, std::size_t payload_size, std::uint16_t ethertype,
                 std::uint8_t first)
{
    bytes frame{fc0, fc1, 0x2C, 0x00};
    for (std::uint8_t address = 1; address <= 3; ++address)
        for (std::uint8_t i = 0; i < 6; ++i)
            frame.push_back(static_cast<std::uint8_t>(address << 4 | i));
    frame.push_back(0x10);
    frame.push_back(0x00);
    if ((fc0 & 0xF0) == 0x80 || (fc0 & 0xF0) == 0xC0) { // QoS subtypes
        frame.push_back(0x05);
        frame.push_back(0x00);
    }
    for (const int b : {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00})
        frame.push_back(static_cast<std::uint8_t>(b));
    frame.push_back(static_cast<std::uint8_t>(ethertype >> 8));
    frame.push_back(static_cast<std::uint8_t>(ethertype));
    for (std::size_t i = 0; i < payload_size; ++i)
        frame.push_back(static_cast<std::uint8_t>(first + i));
    return frame;
}

bytes address(int k)
{
    bytes mac;
    for (int i = 0; i < 6; ++i)
        mac.push_back(static_cast<std::uint8_t>((k << 4) | i));
    return mac;
}

bytes ethernet_frame(int destination, int source, std::uint16_t ethertype, std::size_t payload_size,
                     std::uint8_t first)
{
    bytes frame = address(destination);
    const bytes src = address(source);
    frame.insert(frame.end(), src.begin(), src.end());
    frame.push_back(static_cast<std::uint8_t>(ethertype >> 8));
    frame.push_back(static_cast<std::uint8_t>(ethertype));
    for (std::size_t i = 0; i < payload_size; ++i)
        frame.push_back(static_cast<std::uint8_t>(first + i));
    return frame;
}

std::optional<std::filesystem::path> shared_captures()
{
    const std::filesystem::path dir = KESTRINE_SHARED_CAPTURES;
    std::error_code ignored;
    if (std::filesystem::is_directory(dir, ignored))
        return dir;
    return std::nullopt;
}

std::string tshark_path()
{
    const auto found = run_program({"/bin/sh", "-c", "command -v tshark"});
    std::string path = found.status == 0 ? found.out : "";
    while (!path.empty() && path.back() == '\n')
        path.pop_back();
    return path;
}

std::int64_t micros_of(const std::string& epoch)
{
    const std::size_t dot = epoch.find('.');
    // Nanoseconds; a record whose microseconds exceed a second (some
    // captures hold such) prints more than nine digits.
    std::string fraction = dot == std::string::npos ? "" : epoch.substr(dot + 1);
    if (fraction.size() < 9)
        fraction.resize(9, '0');
    return std::stoll(epoch.substr(0, dot)) * 1000000 + std::stoll(fraction) / 1000;
}

bytes mac_bytes(const std::string& text)
{
    bytes out;
    for (std::size_t at = 0; at + 1 < text.size(); at += 3)
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(at, 2), nullptr, 16)));
    return out;
}

std::vector<std::string> split(const std::string& line, char by)
{
    std::vector<std::string> fields;
    std::stringstream in(line);
    for (std::string field; std::getline(in, field, by);)
        fields.push_back(field);
    if (!line.empty() && line.back() == by)
        fields.emplace_back();
    return fields;
}

std::uint64_t digest(const bytes& data)
{
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (const std::uint8_t byte : data) {
        hash ^= byte;
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

} // namespace test
