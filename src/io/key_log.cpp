// The key log of --write-keys: a private file, written a line at a time
// as the run installs keys, so that a live run's log serves while the run
// goes on.
#include "io/io.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

int open_key_log(const char* name)
{
    // Made private before anything is written, and emptied only once it
    // is: a file that cannot be made private keeps what it held.
    const int fd = open(name, O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0)
        return -1;
    struct stat file {};
    const bool regular = fstat(fd, &file) == 0 && S_ISREG(file.st_mode);
    if (regular && (((file.st_mode & 0077) != 0 && fchmod(fd, 0600) != 0) || ftruncate(fd, 0) != 0)) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

void write_key_log_line(void* owner, const char* line, std::size_t size)
{
    auto& log = *static_cast<key_log*>(owner);
    if (log.error != 0)
        return;
    while (size > 0) {
        const ssize_t written = write(log.fd, line, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            log.error = written < 0 ? errno : EIO;
            if (log.stop != nullptr)
                log.stop(log.stop_owner);
            return;
        }
        line += written;
        size -= static_cast<std::size_t>(written);
    }
}

key_log::~key_log()
{
    if (fd >= 0)
        close(fd);
}
