// The conversion run: the whole life of the process, from the command line
// to the summary and the exit status.
#pragma once

#include "convert/convert.h"
#include "decrypt/decrypt.h"

#include <pcap/pcap.h>

#include <array>
#include <cstdint>
#include <cstdio>

struct conversion_totals {
    std::int64_t converted = 0; // records written to the output
    // What became of each record read, by record_fate.
    std::array<std::int64_t, static_cast<std::size_t>(record_fate::count)> fates{};
    decode_counts decoded;      // under full decoding: subframes and IEEE 802.3 frames written
    bool input_damaged = false; // the input ended in a read error, not at its end
    int write_error = 0;        // errno of a failed write; 0 when every write succeeded
};

// Reads every record of `input`, converts what converts and writes it to
// `output`. Stops at the end of the input, at a read error (the records
// before it are converted) or at the first failed write.
conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output);

// Lets a live input's reading write out the records a threaded run holds
// before it waits for more: convert_records fills it in for its run.
struct held_records_hook {
    void* run = nullptr;
    bool (*holding)(void* run) = nullptr;    // records wait to be written, or are being written
    void (*write_held)(void* run) = nullptr; // waits until they are all written, in order
};

// What a run does beyond the plain conversion.
struct conversion_settings {
    decryption* keys = nullptr; // null: no key given, protected frames stay dropped
    bool count_fates = false; // tell apart every reason a record was dropped
    bool full_decode = false; // decode each frame by its own fields
    bool flush_each_record = false; // flush the output after every record written
    // Threads of a run that decrypts: 2 moves AEAD frames' cipher work, the
    // conversion and the writing to a second thread (not under
    // flush_each_record); 1 does all in one.
    int threads = 1;
    // The most records a threaded run holds in one batch (also bounded by
    // its bytes). Tests make it small, so that batches follow one another
    // within a few records.
    std::size_t batch_records = 1024;
    held_records_hook* held = nullptr; // set by a live input, filled in by a threaded run
};
conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output, const conversion_settings& settings);

// The statistics table of --stats.
void print_statistics(std::FILE* stream, const conversion_totals& totals, const conversion_settings& settings);

// Runs kestrine with the process's command line and ends the process:
// status 0 after a complete run, 255 after any failure.
[[noreturn]] void run_kestrine(int argc, char** argv);
