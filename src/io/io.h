// Input and output: the capture streams a run reads and writes. A file is
// read and written through large stdio buffers; an input that is not a
// regular file (a pipe, a FIFO, a terminal) is read through a stream that
// writes out what the run has converted whenever the input pauses.
//
// Nothing here prints: a failure comes back as a null stream or buffer
// with errno set, and the program words the message.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

bool is_dash(const char* name);

// Which of the descriptors of standard input, output and error the process
// was started without. Each of them gets /dev/null, so that no file the run
// opens can land on it and be taken for a standard stream: an input file
// on descriptor 1 would pass for the output, an output file there would
// get the run's own lines written into it. Must run before anything opens
// a file.
struct standard_descriptors {
    bool input_closed = false;
    bool output_closed = false;
};
standard_descriptors fill_closed_standard_descriptors();

struct stream_buffer_release {
    void operator()(char* buffer) const { std::free(buffer); }
};
using stream_buffer = std::unique_ptr<char[], stream_buffer_release>;

// Gives `stream` a large buffer of its own, which must outlive the
// stream's last use. Null, with errno ENOMEM, when it cannot be allocated.
stream_buffer buffer_stream(std::FILE* stream);

// The stream of the input named on the command line: standard input for
// "-". Null with errno set when it cannot be opened.
std::FILE* open_input_stream(const char* name, const standard_descriptors& standard);

// True when `name` is the regular file that `input` reads, under this name
// or through another path or link. Truncating it would destroy the input.
bool names_input_file(const char* name, const struct stat& input);

// Opens the output stream. For "-" the capture takes over standard output,
// and the run's own lines (offset errors, the summary) move to standard
// error so that the capture stream stays clean for the next tool.
std::FILE* open_output_stream(const char* name, const standard_descriptors& standard);

// Output that waits elsewhere than in the output stream: a threaded run's
// records not yet written. A live input has it written out before it
// waits for more input.
struct pending_output {
    void* owner = nullptr;
    bool (*waiting)(void* owner) = nullptr;   // records wait to be written, or are being written
    bool (*write_out)(void* owner) = nullptr; // waits until they are all written; false once the run has failed
};

// An input that is not a regular file brings records as they are taken,
// and whoever reads the output waits for each. Such an input is read
// through a stream of this kind: before a read that would wait for data,
// and at least every 100 ms while data keeps coming, it flushes what the
// run has written. Regular files never take this path, so their
// conversion pays nothing for it.
struct live_input {
    std::FILE* source = nullptr; // the stream that owns the descriptor
    int fd = -1;
    std::FILE* output = nullptr; // set once the output is open
    int write_error = 0;         // errno of a failed flush; the run then stops
    std::int64_t last_flush_ms = 0;
    pending_output pending;      // a threaded run's records not yet written
};

// The stream the run reads `source` through when it is not a regular
// file; null, with errno set, when it cannot be made.
std::FILE* open_live_input(live_input& live, std::FILE* source);

// From now on the live input flushes `output`.
void flush_while_live(live_input& live, std::FILE* output);

// The file of --write-keys. A failed write is kept, stops the run through
// `stop`, and no later line is written.
struct key_log {
    int fd = -1;
    int error = 0; // errno of the first failed write
    void* stop_owner = nullptr;
    void (*stop)(void* owner) = nullptr;
    key_log() = default;
    key_log(const key_log&) = delete;
    key_log& operator=(const key_log&) = delete;
    ~key_log();
};

// Opens the key log `name` for writing, created with mode 0600; an
// existing regular file is made private (0600), then emptied. -1, with
// errno set, when it cannot be.
int open_key_log(const char* name);

// Writes one line to a key_log (`owner`), whole; key_log_sink's form.
void write_key_log_line(void* owner, const char* line, std::size_t size);
