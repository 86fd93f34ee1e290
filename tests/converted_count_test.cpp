// The converted count past 2^31: the program converts 2^31 + 3 records fed
// through a pipe and must print the count whole, not wrapped into a negative
// 32-bit number. Several minutes of work on two cores, so the test runs only
// when KESTRINE_LONG_TESTS is set.
#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <functional>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

namespace {

bool write_all(int fd, const test::bytes& data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0)
            return false; // the reader is gone (EPIPE)
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes a bare 802.11 capture of `count` copies of the smallest
// convertible Data frame into the FIFO at `path`, once a reader has opened
// it; gives up waiting when `stop` is set.
void feed(const std::string& path, std::uint64_t count, const std::atomic<bool>& stop)
{
    int fd = -1;
    while ((fd = open(path.c_str(), O_WRONLY | O_NONBLOCK)) < 0) {
        if (errno != ENXIO || stop)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const test::bytes header = test::capture_file_bytes({});
    test::record smallest;
    smallest.seconds = 1700000000;
    smallest.data = test::data_frame(0x08, 0x01, 21);
    const test::bytes one = test::capture_file_bytes({smallest});
    const std::size_t per_chunk = 4096;
    test::bytes chunk;
    for (std::size_t i = 0; i < per_chunk; ++i)
        chunk.insert(chunk.end(), one.begin() + 24, one.end());
    bool open_pipe = write_all(fd, header);
    std::uint64_t left = count;
    for (; open_pipe && left >= per_chunk; left -= per_chunk)
        open_pipe = write_all(fd, chunk);
    if (open_pipe)
        write_all(fd, test::bytes(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(left * (one.size() - 24))));
    close(fd);
}

TEST(converted_count, past_2_to_the_31)
{
    if (std::getenv("KESTRINE_LONG_TESTS") == nullptr)
        GTEST_SKIP() << "converts 2^31 + 3 records (minutes); set KESTRINE_LONG_TESTS=1 to run";
    std::signal(SIGPIPE, SIG_IGN);
    test::scratch_dir dir;
    const std::string fifo = (dir / "records").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::uint64_t count = (std::uint64_t{1} << 31) + 3;
    std::atomic<bool> stop = false;
    std::thread feeder(feed, fifo, count, std::cref(stop));
    test::run_result result;
    try {
        result = test::run_kestrine({"-", "/dev/null"}, fifo);
    } catch (...) {
        stop = true;
        feeder.join();
        throw;
    }
    stop = true;
    feeder.join();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(result.out, "Converted 2147483651 packets.\n");
}

} // namespace
