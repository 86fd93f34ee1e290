// What the run tells at its end beyond the summary: the --stats table,
// and the warning of a run whose keys matched no handshake.
#pragma once

#include "record/record.h"

#include <cstdio>

// The statistics table of --stats.
void print_statistics(std::FILE* stream, const conversion_totals& totals, const conversion_settings& settings);

// Warns, on standard error, of a run given WPA keys that saw handshakes
// and matched none.
void warn_of_unmatched_keys(const decryption& keys);
