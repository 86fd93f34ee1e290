// kestrine_fuzz_seeds: turns the records of capture files into inputs for
// fuzz_frame (see the layout in fuzz_frame.cpp).
//
//   kestrine_fuzz_seeds OUTDIR CAPTURE...
//
// At most 64 records are taken from each capture, spread evenly over it,
// and records with the same bytes are written once.
#include <pcap/pcap.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::size_t per_capture = 64;

std::uint8_t selector_of(int link_type)
{
    switch (link_type) {
    case 105: return 0;
    case 119: return 1;
    case 127: return 2;
    case 192: return 3;
    default: return 4;
    }
}

std::vector<std::vector<std::uint8_t>> seeds_of(const char* path)
{
    std::vector<std::vector<std::uint8_t>> seeds;
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* capture = pcap_open_offline(path, errbuf);
    if (capture == nullptr) {
        std::fprintf(stderr, "kestrine_fuzz_seeds: skipping %s: %s\n", path, errbuf);
        return seeds;
    }
    const std::uint8_t selector = selector_of(pcap_datalink(capture));
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    while (pcap_next_ex(capture, &header, &data) == 1) {
        std::vector<std::uint8_t> seed{selector, 3};
        for (int shift = 0; shift < 32; shift += 8)
            seed.push_back(static_cast<std::uint8_t>(header->len >> shift));
        seed.insert(seed.end(), data, data + header->caplen);
        seeds.push_back(std::move(seed));
    }
    pcap_close(capture);
    std::vector<std::vector<std::uint8_t>> spread;
    for (std::size_t i = 0; i < std::min(per_capture, seeds.size()); ++i)
        spread.push_back(std::move(seeds[i * seeds.size() / std::min(per_capture, seeds.size())]));
    // Each record once more in full decoding.
    for (std::size_t i = 0, n = spread.size(); i < n; ++i) {
        spread.push_back(spread[i]);
        spread.back()[1] |= 0x04;
    }
    return spread;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: kestrine_fuzz_seeds OUTDIR CAPTURE...\n");
        return 2;
    }
    const std::string directory = argv[1];
    std::set<std::size_t> written;
    for (int i = 2; i < argc; ++i) {
        for (const auto& seed : seeds_of(argv[i])) {
            const std::size_t hash = std::hash<std::string_view>{}(
                std::string_view(reinterpret_cast<const char*>(seed.data()), seed.size()));
            if (!written.insert(hash).second)
                continue;
            const std::string name = directory + "/seed-" + std::to_string(hash);
            std::FILE* out = std::fopen(name.c_str(), "wb");
            if (out == nullptr || std::fwrite(seed.data(), 1, seed.size(), out) != seed.size() ||
                std::fclose(out) != 0) {
                std::perror(name.c_str());
                return 1;
            }
        }
    }
    std::printf("kestrine_fuzz_seeds: %zu seeds in %s\n", written.size(), directory.c_str());
    return 0;
}
