// The conversion run: the whole life of the process, from the command line
// to the summary and the exit status.
#pragma once

#include <pcap/pcap.h>

#include <cstdint>

struct conversion_totals {
    std::int64_t converted = 0; // records written to the output
    bool input_damaged = false; // the input ended in a read error, not at its end
    int write_error = 0;        // errno of a failed write; 0 when every write succeeded
};

// Reads every record of `input`, converts what converts and writes it to
// `output`. Stops at the end of the input, at a read error (the records
// before it are converted) or at the first failed write.
conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output);

// Runs kestrine with the process's command line and ends the process:
// status 0 after a complete run, 255 after any failure.
[[noreturn]] void run_kestrine(int argc, char** argv);
