// pcap_copy: the plain libpcap loops the benchmark measures kestrine
// against.
//
//   pcap_copy in.pcap out.pcap            copy loop: every record read with
//                                         pcap_next and written unchanged with
//                                         pcap_dump, through libpcap's own
//                                         file handling and stdio's default
//                                         buffers
//   pcap_copy --streams in.pcap out.pcap  the same loop with the streams set
//                                         up the way kestrine sets up its
//                                         own: what any converter through
//                                         libpcap pays at the least
//   pcap_copy --read in.pcap              read loop: counts the records,
//                                         writes nothing, kestrine's streams
#include <pcap/pcap.h>

#include <stdio_ext.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// As kestrine: a 256 KiB buffer of the program's own, stdio's per-call lock
// skipped (one thread). The buffers live as long as the process.
constexpr std::size_t stream_buffer_size = std::size_t{256} << 10;
char input_buffer[stream_buffer_size];
char output_buffer[stream_buffer_size];

FILE* open_stream(const char* name, const char* mode, char* buffer)
{
    FILE* stream = std::fopen(name, mode);
    if (stream == nullptr)
        return nullptr;
    std::setvbuf(stream, buffer, _IOFBF, stream_buffer_size);
    __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return stream;
}

int usage()
{
    std::fputs("usage: pcap_copy [--streams] in.pcap out.pcap | pcap_copy --read in.pcap\n", stderr);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    const bool streams = argc == 4 && std::strcmp(argv[1], "--streams") == 0;
    const bool read_only = argc == 3 && std::strcmp(argv[1], "--read") == 0;
    if (!streams && !read_only && argc != 3)
        return usage();
    const char* input_name = argv[argc - 2];
    const char* output_name = argv[argc - 1];
    if (read_only)
        input_name = argv[2];

    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* input = nullptr;
    if (streams || read_only) {
        FILE* stream = open_stream(input_name, "rb", input_buffer);
        input = stream != nullptr ? pcap_fopen_offline(stream, errbuf) : nullptr;
    } else {
        input = pcap_open_offline(input_name, errbuf);
    }
    if (input == nullptr) {
        std::fprintf(stderr, "pcap_copy: %s: %s\n", input_name, errbuf[0] != '\0' ? errbuf : std::strerror(errno));
        return 1;
    }

    long long records = 0;
    pcap_pkthdr header{};
    if (read_only) {
        while (pcap_next(input, &header) != nullptr)
            ++records;
        pcap_close(input);
        std::printf("Read %lld records.\n", records);
        return 0;
    }

    pcap_dumper_t* output = nullptr;
    if (streams) {
        FILE* stream = open_stream(output_name, "wb", output_buffer);
        output = stream != nullptr ? pcap_dump_fopen(input, stream) : nullptr;
    } else {
        output = pcap_dump_open(input, output_name);
    }
    if (output == nullptr) {
        std::fprintf(stderr, "pcap_copy: cannot create %s\n", output_name);
        return 1;
    }
    while (const u_char* bytes = pcap_next(input, &header)) {
        pcap_dump(reinterpret_cast<u_char*>(output), &header, bytes);
        ++records;
    }
    const bool written = pcap_dump_flush(output) == 0 && !std::ferror(pcap_dump_file(output));
    pcap_dump_close(output);
    pcap_close(input);
    if (!written) {
        std::fputs("pcap_copy: write failed\n", stderr);
        return 1;
    }
    std::printf("Copied %lld records.\n", records);
    return 0;
}
