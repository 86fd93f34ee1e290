// fuzz_capture: the input is a whole capture file. It runs through the
// conversion run's record loop (convert_records) in memory, and the output
// capture it writes is read back and checked: a well-formed Ethernet
// savefile holding exactly as many records as the run counted, each at
// least a full Ethernet header with a wire length of at least 35 bytes,
// and never more records than the input delivered.
//
// The low bit of the input's last byte chooses full decoding; its frames
// may be as short as an Ethernet header. Every record read must then end in
// exactly one counted fate, fragments held to the end included.
//
// Built as fuzz_decrypt with FUZZ_WITH_KEYS, the run holds fixed keys (a
// WPA passphrase, a WEP key) so that the handshake tracker and the ciphers
// take fuzzer-made EAPOL-Key frames and protected frames, and every record
// read must end in exactly one counted fate. The next bit of the last byte
// then runs the capture a second time with two threads: the output and
// every count must be the one-thread run's.
//
// The third bit of the last byte runs the capture once more under
// --decrypt-only: the output is a savefile of the input's link type that
// holds every input record (with keys, with two threads the same output).
#include "fuzz_check.h"
#include "decrypt/state.h"
#include "record/record.h"

#include <pcap/pcap.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

struct output_summary {
    std::int64_t records = 0;
    bool read_error = false;
};

// Reads a capture held in memory back through libpcap: the conversion's
// Ethernet, or (`decrypt_only_link_type` 0 or more) --decrypt-only's
// records in the input's link type, Ethernet among them, which the run
// writes as they came unless it decrypts them.
output_summary read_back(const char* bytes, std::size_t size, bool full_decode, int decrypt_only_link_type = -1)
{
    const bool converted = decrypt_only_link_type < 0;
    const int link_type = converted ? DLT_EN10MB : decrypt_only_link_type;
    std::FILE* stream = fmemopen(const_cast<char*>(bytes), size, "rb");
    FUZZ_CHECK(stream != nullptr);
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* capture = pcap_fopen_offline(stream, errbuf);
    if (capture == nullptr) {
        std::fprintf(stderr, "fuzz_capture: output is not a capture: %s\n", errbuf);
        std::abort();
    }
    FUZZ_CHECK(pcap_datalink(capture) == link_type);
    FUZZ_CHECK(!converted || pcap_snapshot(capture) == 65535);
    output_summary summary;
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    int status = 0;
    while ((status = pcap_next_ex(capture, &header, &data)) == 1) {
        FUZZ_CHECK(!converted || header->caplen >= 14);
        FUZZ_CHECK(!converted || header->len >= (full_decode ? 14u : 35u));
        // An Ethernet record is built by the run; a --decrypt-only record
        // not decrypted is written with its header as it came, caplen
        // above len included.
        FUZZ_CHECK(!converted || header->caplen <= header->len);
        ++summary.records;
    }
    summary.read_error = status == -1;
    pcap_close(capture);
    return summary;
}

std::int64_t count_input_records(const std::uint8_t* data, std::size_t size)
{
    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    FUZZ_CHECK(stream != nullptr);
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* capture = pcap_fopen_offline(stream, errbuf);
    FUZZ_CHECK(capture != nullptr);
    std::int64_t records = 0;
    pcap_pkthdr* header = nullptr;
    const u_char* bytes = nullptr;
    while (pcap_next_ex(capture, &header, &bytes) == 1)
        ++records;
    pcap_close(capture);
    return records;
}

#ifdef FUZZ_WITH_KEYS
// The keys of the generated encrypted seed captures and of real ones.
const std::vector<user_key>& fuzz_keys()
{
    static const std::vector<user_key> keys = [] {
        std::vector<user_key> parsed;
        for (const char* text : {"wpa-pwd:correct horse:kestrine-lab", "wpa-pwd:Induction:Coherer", "wpa-pwd:dictionary:linksys",
                                 "wep:0102030405060708090a0b0c0d", "wep:0a0b0c0d0e", "wep:1f1f1f1f1f",
                                 // The modern-keyed corpus: a SAE network's PMK and a GCMP network's passphrase,
                                 // and a 48-byte PMK for the SHA-384 suites.
                                 "wpa-psk:ecbfe709d6151eaba6a4fd9cba94fbb570c1fc4c15506fad3185b4a0a0cfda9a",
                                 "wpa-pwd:12345678:Wireshark-gcmp",
                                 "wpa-psk:000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
                                 "202122232425262728292a2b2c2d2e2f"}) {
            user_key key;
            std::string error;
            FUZZ_CHECK(parse_key(text, key, error));
            parsed.push_back(key);
        }
        return parsed;
    }();
    return keys;
}
#endif

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The offset-error lines of the run go to standard output; a fuzzing
    // run would print millions of them.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("fuzz_capture: /dev/null");
        std::abort();
    }
    return 0;
}

namespace {

struct run_outcome {
    conversion_totals totals;
    std::string output; // the capture written
};

// One conversion run over the capture in memory; nullopt when it is not a
// capture at all.
std::optional<run_outcome> convert_in_memory(const std::uint8_t* data, std::size_t size, conversion_settings settings)
{
    std::FILE* input_stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    FUZZ_CHECK(input_stream != nullptr);
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* input = pcap_fopen_offline(input_stream, errbuf);
    if (input == nullptr) { // not a capture: the run stops before converting
        std::fclose(input_stream);
        return std::nullopt;
    }

    char* output_bytes = nullptr;
    std::size_t output_size = 0;
    std::FILE* output_stream = open_memstream(&output_bytes, &output_size);
    FUZZ_CHECK(output_stream != nullptr);
    pcap_t* dead = settings.decrypt_only ? pcap_open_dead(pcap_datalink(input), std::max(pcap_snapshot(input), 65535))
                                         : pcap_open_dead(DLT_EN10MB, 65535);
    FUZZ_CHECK(dead != nullptr);
    pcap_dumper_t* output = pcap_dump_fopen(dead, output_stream);
    if (output == nullptr) { // a link type libpcap cannot write: the run stops before converting
        FUZZ_CHECK(settings.decrypt_only);
        std::fclose(output_stream);
        std::free(output_bytes);
        pcap_close(dead);
        pcap_close(input);
        return std::nullopt;
    }

#ifdef FUZZ_WITH_KEYS
    decryption keys;
    for (const user_key& key : fuzz_keys())
        add_user_key(keys, key);
    settings.keys = &keys;
#endif
    run_outcome outcome;
    outcome.totals = convert_records(input, output, settings);

    FUZZ_CHECK(pcap_dump_flush(output) == 0);
    pcap_dump_close(output); // closes the memory stream, leaving its bytes
    pcap_close(input);
    pcap_close(dead);
    outcome.output.assign(output_bytes, output_size);
    std::free(output_bytes);
    return outcome;
}

// The same capture under --decrypt-only: every record written, in the
// input's link type.
void check_decrypt_only(const std::uint8_t* data, std::size_t size, conversion_settings settings)
{
    settings.full_decode = false;
    settings.decrypt_only = true;
    settings.threads = 1;
    const std::optional<run_outcome> run = convert_in_memory(data, size, settings);
    if (!run) // the conversion found a capture, so only its link type can stop this one
        return;
    FUZZ_CHECK(run->totals.write_error == 0);
    std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "rb");
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    pcap_t* input = pcap_fopen_offline(stream, errbuf);
    FUZZ_CHECK(input != nullptr);
    const int link_type = pcap_datalink(input);
    pcap_close(input);
    const output_summary written = read_back(run->output.data(), run->output.size(), false, link_type);
    FUZZ_CHECK(!written.read_error && written.records == count_input_records(data, size));
    FUZZ_CHECK(run->totals.converted == written.records);
#ifdef FUZZ_WITH_KEYS
    settings.threads = 2;
    const std::optional<run_outcome> threaded = convert_in_memory(data, size, settings);
    FUZZ_CHECK(threaded && threaded->output == run->output && threaded->totals.fates == run->totals.fates);
#endif
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    conversion_settings settings;
    settings.full_decode = (data[size - 1] & 1u) != 0;
    settings.count_fates = settings.full_decode;
#ifdef FUZZ_WITH_KEYS
    settings.count_fates = true;
#endif
    const std::optional<run_outcome> run = convert_in_memory(data, size, settings);
    if (!run)
        return 0;
    const conversion_totals& totals = run->totals;
#ifdef FUZZ_WITH_KEYS
    if ((data[size - 1] & 2u) != 0) {
        settings.threads = 2;
        const std::optional<run_outcome> threaded = convert_in_memory(data, size, settings);
        FUZZ_CHECK(threaded && threaded->output == run->output);
        FUZZ_CHECK(threaded->totals.fates == totals.fates && threaded->totals.converted == totals.converted &&
                   threaded->totals.input_damaged == totals.input_damaged);
    }
#endif

    if ((data[size - 1] & 4u) != 0)
        check_decrypt_only(data, size, settings);
    FUZZ_CHECK(totals.write_error == 0);
    FUZZ_CHECK(totals.converted >= 0);
    const output_summary written = read_back(run->output.data(), run->output.size(), settings.full_decode);
    FUZZ_CHECK(!written.read_error);
    FUZZ_CHECK(written.records == totals.converted);
    // One record gives one frame, save an A-MSDU's subframes.
    if (!settings.full_decode)
        FUZZ_CHECK(totals.converted <= count_input_records(data, size));
    FUZZ_CHECK(totals.decoded.subframes_written <= totals.converted);
    if (settings.count_fates) {
        std::int64_t fates = 0;
        for (const std::int64_t n : totals.fates)
            fates += n;
        FUZZ_CHECK(fates == count_input_records(data, size));
    }
    return 0;
}
