// The road of one record, from the input capture to the output capture:
// its Header offset, its decryption when it is protected, its conversion
// and its writing, with one fate counted for every record read. The run
// calls convert_records once; what it does per record is fixed before the
// first one (record_path.h).
#pragma once

#include "convert/convert.h"
#include "decrypt/decrypt.h"
#include "io/io.h"

#include <pcap/pcap.h>

#include <array>
#include <cstdint>

struct conversion_totals {
    std::int64_t converted = 0; // records written to the output
    // What became of each record read, by record_fate.
    std::array<std::int64_t, static_cast<std::size_t>(record_fate::count)> fates{};
    decode_counts decoded;      // under full decoding: subframes and IEEE 802.3 frames written
    bool input_damaged = false; // the input ended in a read error, not at its end
    int write_error = 0;        // errno of a failed write; 0 when every write succeeded
    bool out_of_memory = false; // a frame or the run's state could not be allocated: the run stopped
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
    // Set by a live input, filled in by a threaded run: the records it
    // holds, written out before the input waits.
    pending_output* held = nullptr;
    // --decrypt-only: every record written in the input's own link type, a
    // protected frame that decrypts written decrypted, nothing converted.
    bool decrypt_only = false;
};

// Reads every record of `input`, converts what converts and writes it to
// `output`. Stops at the end of the input, at a read error (the records
// before it are converted), at the first failed write, or when memory
// runs out; a second thread it started has ended when it returns.
conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output, const conversion_settings& settings = {});
