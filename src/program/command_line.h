// The command line: options, the two names, the keys.
#pragma once

#include "decrypt/keys.h"

#include <optional>
#include <string>
#include <vector>

struct run_options {
    const char* input_name = nullptr;
    const char* output_name = nullptr;
    std::vector<user_key> keys;
    bool stats = false;
    bool full_decode = false;
    bool packet_buffered = false; // -U: flush the output after every record
    // -j, --threads: 1, or 2 when decrypting moves cipher work to a second
    // thread; by default the cores this process may use, at most 2.
    int threads = 1;
    bool decrypt_only = false; // every record written as 802.11, decrypted where a key opens it
    bool nanoseconds = false;  // --time-stamp-precision=nano: a nanosecond output
    const char* key_log_name = nullptr; // --write-keys: where the derived temporal keys go
    std::vector<std::string> keys_files; // the names given to --keys, which no output may overwrite
};

// Reads the process's command line into `options`. Returns the status the
// process is to end with when the run does not go on: 0 once --help or
// --version is printed, 255 after the banner (fewer than two names) or a
// bad option, KEY or keys file (one line on standard error that names the
// option or the file and line, never the key).
std::optional<int> parse_command_line(int argc, char** argv, run_options& options);
