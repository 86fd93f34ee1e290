// pcap_copy: the plain libpcap copy loop the benchmark measures kestrine
// against. Every record is read with pcap_next and written unchanged with
// pcap_dump, through libpcap's own file handling and stdio's default
// buffers: what a straightforward libpcap tool costs per record.
//
//   pcap_copy in.pcap out.pcap
#include <pcap/pcap.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: pcap_copy in.pcap out.pcap\n", stderr);
        return 2;
    }
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* input = pcap_open_offline(argv[1], errbuf);
    if (input == nullptr) {
        std::fprintf(stderr, "pcap_copy: %s\n", errbuf);
        return 1;
    }
    pcap_dumper_t* output = pcap_dump_open(input, argv[2]);
    if (output == nullptr) {
        std::fprintf(stderr, "pcap_copy: %s\n", pcap_geterr(input));
        return 1;
    }
    pcap_pkthdr header{};
    long long records = 0;
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
