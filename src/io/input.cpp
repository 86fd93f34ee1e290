// The input stream: a file or standard input, and the live input stream
// that reads a pipe, FIFO or terminal through fopencookie.
#include "io/io.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::int64_t live_flush_interval_ms = 100;

std::int64_t monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

bool flush_live_output(live_input& live)
{
    errno = 0;
    if (fflush_unlocked(live.output) != 0 || ferror_unlocked(live.output)) {
        live.write_error = errno != 0 ? errno : EIO;
        return false;
    }
    live.last_flush_ms = monotonic_ms();
    return true;
}

// A failed flush fails the read, which ends the input at once; the run
// then reports the write error, not a damaged input. In a threaded run the
// writer owns the output while it holds records: they are all written
// first, and the output is touched only then.
ssize_t read_live_input(void* cookie, char* buffer, std::size_t size)
{
    auto& live = *static_cast<live_input*>(cookie);
    const bool held = live.pending.owner != nullptr && live.pending.waiting(live.pending.owner);
    if (held || (live.output != nullptr && __fpending(live.output) > 0)) {
        pollfd input{live.fd, POLLIN, 0};
        const bool would_wait = poll(&input, 1, 0) != 1;
        if (would_wait || monotonic_ms() - live.last_flush_ms >= live_flush_interval_ms) {
            // A run that has failed reads no more: it reports its own failure.
            if (held && !live.pending.write_out(live.pending.owner)) {
                errno = ECANCELED;
                return -1;
            }
            if (live.output != nullptr && __fpending(live.output) > 0 && !flush_live_output(live)) {
                errno = live.write_error;
                return -1;
            }
        }
    }
    ssize_t got = 0;
    do
        got = read(live.fd, buffer, size);
    while (got < 0 && errno == EINTR);
    return got;
}

int close_live_input(void* cookie)
{
    auto& live = *static_cast<live_input*>(cookie);
    return live.source == stdin ? 0 : std::fclose(live.source);
}

} // namespace

bool is_dash(const char* name) { return std::strcmp(name, "-") == 0; }

standard_descriptors fill_closed_standard_descriptors()
{
    bool closed[3] = {};
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        closed[fd] = true;
        // open() takes the lowest free descriptor: this one, as those below
        // it are open by now. Without /dev/null the run goes on as it was.
        const int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd)
            close(null_fd);
    }
    return {closed[0], closed[1]};
}

std::FILE* open_input_stream(const char* name, const standard_descriptors& standard)
{
    if (!is_dash(name))
        return std::fopen(name, "rb");
    if (standard.input_closed) {
        errno = EBADF;
        return nullptr;
    }
    return stdin;
}

std::FILE* open_live_input(live_input& live, std::FILE* source)
{
    live.source = source;
    live.fd = fileno(source);
    errno = 0;
    std::FILE* stream = fopencookie(&live, "rb", cookie_io_functions_t{read_live_input, nullptr, nullptr, close_live_input});
    if (stream == nullptr && errno == 0)
        errno = ENOMEM;
    return stream;
}

void flush_while_live(live_input& live, std::FILE* output)
{
    live.output = output;
    live.last_flush_ms = monotonic_ms();
}
