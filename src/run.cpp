#include "run.h"

#include "command_line.h"
#include "convert/convert.h"
#include "decrypt/decrypt.h"
#include "reassemble/reassemble.h"

#include <fcntl.h>
#include <poll.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sched.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// Large stdio buffers: glibc's default of 4 KiB costs a system call per
// 4 KiB read or written, about a quarter of a million per GB. 256 KiB takes
// 4,000 per GB, and unlike 1 MiB the two buffers stay in the core's cache
// between the kernel's copy and libpcap's: 5-8 % faster than 1 MiB.
constexpr std::size_t stream_buffer_size = std::size_t{256} << 10;

struct pcap_closer {
    void operator()(pcap_t* handle) const { pcap_close(handle); }
};
struct dumper_closer {
    void operator()(pcap_dumper_t* dumper) const { pcap_dump_close(dumper); }
};
using pcap_handle = std::unique_ptr<pcap_t, pcap_closer>;
using dump_handle = std::unique_ptr<pcap_dumper_t, dumper_closer>;
using stream_buffer = std::unique_ptr<char[], free_deleter>;

[[noreturn]] void fail(const char* message)
{
    std::perror(message);
    std::exit(255);
}

// The perror form for a failure that left no system error behind.
[[noreturn]] void fail_because(const char* message, const char* reason)
{
    std::fprintf(stderr, "%s: %s\n", message, reason);
    std::exit(255);
}

bool is_dash(const char* name) { return std::strcmp(name, "-") == 0; }

// Gives `stream` a buffer of its own. The buffer must outlive the stream's
// last use, so the run keeps it until the process ends.
//
// The run has one thread, so the stream is also told to skip the lock that
// stdio takes on every call: libpcap makes two stdio calls for each record
// it reads and two for each record it writes, and on small records the
// locking alone cost a fifth of the run.
stream_buffer buffer_stream(FILE* stream)
{
    stream_buffer buffer(static_cast<char*>(std::malloc(stream_buffer_size)));
    if (!buffer)
        fail("malloc");
    std::setvbuf(stream, buffer.get(), _IOFBF, stream_buffer_size);
    __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return buffer;
}

// True when `name` is the regular file that `input` reads, under this name
// or through another path or link. Truncating it would destroy the input.
bool names_input_file(const char* name, const struct stat& input)
{
    if (!S_ISREG(input.st_mode))
        return false;
    struct stat output {};
    if (is_dash(name)) {
        if (fstat(STDOUT_FILENO, &output) != 0)
            return false;
    } else if (stat(name, &output) != 0) {
        return false;
    }
    return output.st_dev == input.st_dev && output.st_ino == input.st_ino;
}

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

// Opens the output stream. For "-" the capture takes over standard output,
// and the run's own lines (offset errors, the summary) move to standard
// error so that the capture stream stays clean for the next tool.
FILE* open_output_stream(const char* name, const standard_descriptors& standard)
{
    if (!is_dash(name))
        return std::fopen(name, "wb");
    if (standard.output_closed) {
        errno = EBADF;
        return nullptr;
    }
    const int capture_fd = dup(STDOUT_FILENO);
    if (capture_fd < 0)
        return nullptr;
    FILE* stream = fdopen(capture_fd, "wb");
    if (stream == nullptr || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        const int saved = errno;
        if (stream != nullptr)
            std::fclose(stream);
        else
            close(capture_fd);
        errno = saved;
        return nullptr;
    }
    return stream;
}

[[noreturn]] void fail_write(int error)
{
    errno = error != 0 ? error : EIO;
    fail("Unable to write output file");
}

// An input that is not a regular file (a pipe, a FIFO, a terminal, a
// device) brings records as they are taken, and whoever reads the output
// waits for each. Such an input is read through a stream of this kind:
// before a read that would wait for data, and at least every 100 ms while
// data keeps coming, it flushes what the run has written. Regular files
// never take this path, so their conversion pays nothing for it.
struct live_input {
    FILE* source = nullptr; // the stream that owns the descriptor
    int fd = -1;
    FILE* output = nullptr; // set once the output is open
    int write_error = 0;    // errno of a failed flush; the run then stops
    std::int64_t last_flush_ms = 0;
    held_records_hook held; // a threaded run's records not yet written
};

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
    const bool held = live.held.run != nullptr && live.held.holding(live.held.run);
    if (held || (live.output != nullptr && __fpending(live.output) > 0)) {
        pollfd input{live.fd, POLLIN, 0};
        const bool would_wait = poll(&input, 1, 0) != 1;
        if (would_wait || monotonic_ms() - live.last_flush_ms >= live_flush_interval_ms) {
            if (held)
                live.held.write_held(live.held.run);
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

// The stream the run reads `source` through when it is not a regular file.
FILE* open_live_input(live_input& live, FILE* source)
{
    live.source = source;
    live.fd = fileno(source);
    FILE* stream = fopencookie(&live, "rb", cookie_io_functions_t{read_live_input, nullptr, nullptr, close_live_input});
    if (stream == nullptr)
        fail("malloc");
    return stream;
}

// From now on the live input flushes `output`.
void flush_while_live(live_input& live, FILE* output)
{
    live.output = output;
    live.last_flush_ms = monotonic_ms();
}

// How a run treats every record, fixed before the first one: each mode is
// its own instance of convert_record, so the record path tests none of
// these per record and the plain conversion pays for none of the others.
struct record_mode {
    bool decrypting = false;       // keys were given
    bool full_decode = false;      // each frame decoded by its own fields
    bool classify_skipped = false; // why a record did not convert, for --stats
    bool flush_each = false;       // every record flushed to the output as it is written
};

// A threaded run: the reader (pcap_loop's thread) follows every record in
// input order, decides each protected frame's keys and holds every record
// it has dealt with in a batch, in input order. A second thread, the
// writer, takes the batches in turn: it decrypts their AEAD frames, then
// converts and writes their records. Every tracker change stays on the
// reader, in input order: a frame handed on changes no key (its session is
// settled, and its first plaintext bytes are no EAPOL-Key or TDLS frame),
// so the output is the one-thread run's.
//
// A batch's bytes: each held record's, and for an AEAD frame the frame as
// its cipher takes it, decrypted where it lies.
constexpr std::size_t batch_bytes = std::size_t{256} << 10;
constexpr std::size_t batch_capacity = batch_bytes + (std::size_t{640} << 10); // a last record of any size
// One batch being filled and three handed on: when all are taken, the
// reader decrypts the newest waiting one itself rather than wait.
constexpr std::size_t pipeline_depth = 4;

struct held_record {
    pcap_pkthdr header;
    std::size_t bytes_at = 0; // in the batch's bytes; for a job, its plaintext frame
    std::size_t size = 0;
    int offset = 0;
    capture_flags flags{};    // those the record is located with under full decoding
    record_fate written = record_fate::converted;
    std::size_t job = no_job;
    static constexpr std::size_t no_job = ~std::size_t{0};
};

struct held_job {
    std::size_t session = 0;     // in the batch's sessions
    std::size_t frame_at = 0;
    std::size_t frame_size = 0;
    std::size_t header_length = 0;
    bool fcs_announced = false;
    // The plaintext frame: the body is decrypted in place, the MAC header
    // moved up to it, over the cipher header.
    std::size_t plain_at() const { return frame_at + aead_header_size; }
};

struct record_batch {
    std::unique_ptr<std::uint8_t[]> bytes{new std::uint8_t[batch_capacity]};
    std::size_t used = 0;
    std::vector<held_record> records;
    std::vector<held_job> held;
    std::vector<session_ptr> sessions; // the jobs' keys, alive until the batch is written
    // Bound to `bytes` by the writer, grouped by session so that a back
    // end keys each session once per batch, however many stations take
    // turns; job_at[i] is where held[i]'s job went.
    std::vector<aead_job> jobs;
    std::vector<std::size_t> job_at;
    std::vector<std::size_t> session_starts;
    std::vector<std::uint8_t> fcs_announced; // by job
    std::vector<aead_job> retries;
    std::vector<std::size_t> retried;
    // Once handed on, under the pipeline's lock: who decrypts it.
    enum class cipher_work { waiting, taken, done } ciphers = cipher_work::waiting;
    std::size_t most_records = 1024; // the run's batch_records

    bool empty() const { return records.empty(); }
    bool full() const { return used >= batch_bytes || records.size() >= most_records; }
    std::uint8_t* take(std::size_t size)
    {
        std::uint8_t* at = bytes.get() + used;
        used += size;
        return at;
    }
    // Where the batch keeps `keys`. A network's stations take turns frame
    // by frame, so the sessions kept last are looked at; one kept twice
    // costs a reference, not a key.
    std::size_t keep_session(const session_ptr& keys)
    {
        const std::size_t looked = std::min<std::size_t>(sessions.size(), 16);
        for (std::size_t i = sessions.size(); i > sessions.size() - looked; --i)
            if (sessions[i - 1] == keys)
                return i - 1;
        sessions.push_back(keys);
        return sessions.size() - 1;
    }
    void clear()
    {
        used = 0;
        records.clear();
        held.clear();
        sessions.clear();
        // jobs, job_at and fcs_announced are sized anew by bind_jobs.
        ciphers = cipher_work::waiting;
    }
};

// Lays the batch's jobs out session by session.
void bind_jobs(record_batch& batch)
{
    const std::size_t count = batch.held.size();
    batch.session_starts.assign(batch.sessions.size() + 1, 0);
    for (const held_job& job : batch.held)
        ++batch.session_starts[job.session + 1];
    for (std::size_t i = 1; i < batch.session_starts.size(); ++i)
        batch.session_starts[i] += batch.session_starts[i - 1];
    batch.jobs.resize(count);
    batch.job_at.resize(count);
    batch.fcs_announced.resize(count);
    std::uint8_t* const bytes = batch.bytes.get();
    for (std::size_t i = 0; i < count; ++i) {
        const held_job& job = batch.held[i];
        const std::size_t at = batch.session_starts[job.session]++;
        batch.job_at[i] = at;
        batch.jobs[at] = aead_job{batch.sessions[job.session].get(), byte_span(bytes + job.frame_at, job.frame_size),
                                  job.header_length, bytes + job.plain_at() + job.header_length, -1};
        batch.fcs_announced[at] = job.fcs_announced ? 1 : 0;
    }
}

// The cipher work of a batch. When the FCS is not announced, a frame that
// fails its check is tried again without its last four bytes if they are
// its CRC-32, as decrypt_data_frame does.
void decrypt_batch(record_batch& batch, aead_batch_decryptor& ciphers)
{
    bind_jobs(batch);
    ciphers.decrypt(batch.jobs);
    batch.retries.clear();
    batch.retried.clear();
    for (std::size_t i = 0; i < batch.jobs.size(); ++i) {
        aead_job& job = batch.jobs[i];
        if (job.result >= 0 || batch.fcs_announced[i] != 0)
            continue;
        const byte_span shorter = without_trailing_fcs(job.frame);
        if (shorter.empty())
            continue;
        aead_job retry = job;
        retry.frame = shorter;
        batch.retries.push_back(retry);
        batch.retried.push_back(i);
    }
    if (batch.retries.empty())
        return;
    ciphers.decrypt(batch.retries);
    for (std::size_t r = 0; r < batch.retries.size(); ++r)
        batch.jobs[batch.retried[r]].result = batch.retries[r].result;
}

class record_pipeline;

// What the run needs from one record to the next. A threaded run has two:
// the reader's, and the writer's, which owns the output.
struct conversion_state {
    pcap_t* input;
    pcap_dumper_t* output;
    FILE* output_stream;
    int link_type;
    conversion_settings settings;
    frame_buffer frame;
    pcap_pkthdr frame_header;
    conversion_totals totals;
    std::vector<std::uint8_t> plain; // a decrypted frame
    pcap_pkthdr plain_header;        // and its header
    reassembly fragments{};
    record_pipeline* pipeline = nullptr;      // the reader's, in a threaded run
    std::atomic<bool>* write_failed = nullptr; // the writer's: the reader stops at its next record
};

// The writer's side of a threaded run: a second thread that takes the
// reader's batches in order, decrypts them and writes them. A reader that
// would wait for a free batch decrypts a waiting one instead, so the
// cipher work goes to whichever thread has time for it.
class record_pipeline {
public:
    using batch_writer = void (*)(conversion_state&, record_batch&);
    using peek_settler = void (*)(conversion_state&);

    record_pipeline(conversion_state& reader, batch_writer write, peek_settler settle_peeks)
        : writer_{nullptr, reader.output, reader.output_stream, reader.link_type, reader.settings,
                  {},      {},            {},                   {},               {},
                  {},      nullptr,       &write_failed_},
          write_(write), reader_(reader), settle_(settle_peeks), thread_([this] { work(); })
    {
        for (record_batch& batch : batches_)
            batch.most_records = std::max<std::size_t>(reader.settings.batch_records, 1);
    }
    record_pipeline(const record_pipeline&) = delete;
    record_pipeline& operator=(const record_pipeline&) = delete;
    // Ends the thread once it has written what it was handed.
    ~record_pipeline()
    {
        {
            const std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    record_batch& current() { return batches_[handed_ % pipeline_depth]; }
    // Hands the current batch to the writer; returns once the next one is
    // free.
    void hand_on()
    {
        settle();
        if (current().empty())
            return;
        std::unique_lock lock(mutex_);
        ++handed_;
        changed_.notify_all();
        help_until(lock, [this] { return written_ + pipeline_depth > handed_; });
    }
    // Hands on the current batch and returns once every record handed on
    // is written. The writer's state and the output are then the caller's
    // until the next batch goes.
    void drain()
    {
        settle();
        std::unique_lock lock(mutex_);
        if (!current().empty()) {
            ++handed_;
            changed_.notify_all();
        }
        help_until(lock, [this] { return written_ == handed_; });
    }
    // Records wait to be written, or the writer may be writing.
    bool holding()
    {
        if (!current().empty())
            return true;
        const std::lock_guard lock(mutex_);
        return written_ != handed_;
    }
    bool write_failed() const { return write_failed_.load(std::memory_order_relaxed); }
    conversion_state& writer() { return writer_; } // once drained

    // Looks at the held frames' first plaintext bytes, as the tracker
    // must before it moves or anything else is held. Frames taken back
    // out and held anew are looked at in turn.
    void settle()
    {
        while (!pending_peeks.empty())
            settle_(reader_);
    }

    keystream_peeker peeker;
    // AEAD frames held whose first plaintext bytes are not looked at yet:
    // the current batch's last records. They are looked at together
    // before the tracker follows a management or unprotected Data frame,
    // before a frame is decrypted here, and before any other record is
    // held or the batch handed on.
    std::vector<keystream_peek> pending_peeks;
    std::vector<std::uint8_t> unpadded;

private:
    // Until `ready`, the reader decrypts the newest batch the writer has
    // not begun, or waits when there is none.
    template <class condition>
    void help_until(std::unique_lock<std::mutex>& lock, condition ready)
    {
        while (!ready()) {
            record_batch* waiting = nullptr;
            for (std::size_t k = handed_; k > written_ + 1 && waiting == nullptr; --k) {
                record_batch& batch = batches_[(k - 1) % pipeline_depth];
                if (batch.ciphers == record_batch::cipher_work::waiting && !batch.held.empty())
                    waiting = &batch;
            }
            if (waiting == nullptr) {
                changed_.wait(lock);
                continue;
            }
            waiting->ciphers = record_batch::cipher_work::taken;
            lock.unlock();
            if (!reader_ciphers_)
                reader_ciphers_ = make_aead_batch_decryptor();
            decrypt_batch(*waiting, *reader_ciphers_);
            lock.lock();
            waiting->ciphers = record_batch::cipher_work::done;
            changed_.notify_all();
        }
    }

    void work()
    {
        ciphers_ = make_aead_batch_decryptor(); // here, while the reader starts reading
        for (;;) {
            record_batch* batch = nullptr;
            bool decrypt_here = false;
            {
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [this] { return stopping_ || written_ != handed_; });
                if (written_ == handed_)
                    return;
                batch = &batches_[written_ % pipeline_depth];
                if (batch->ciphers == record_batch::cipher_work::waiting) {
                    batch->ciphers = record_batch::cipher_work::taken;
                    decrypt_here = true;
                } else {
                    changed_.wait(lock, [batch] { return batch->ciphers == record_batch::cipher_work::done; });
                }
            }
            if (decrypt_here && !batch->held.empty())
                decrypt_batch(*batch, *ciphers_);
            write_(writer_, *batch); // and clears it
            {
                const std::lock_guard lock(mutex_);
                ++written_;
            }
            changed_.notify_all();
        }
    }

    std::atomic<bool> write_failed_{false};
    conversion_state writer_;
    batch_writer write_;
    conversion_state& reader_;
    peek_settler settle_;
    std::unique_ptr<aead_batch_decryptor> ciphers_; // the writer's own
    std::unique_ptr<aead_batch_decryptor> reader_ciphers_; // for the reader's help, made when first needed
    std::array<record_batch, pipeline_depth> batches_;
    std::size_t handed_ = 0;  // batches the reader has handed on
    std::size_t written_ = 0; // batches the writer is done with
    bool stopping_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::thread thread_; // last: starts once the rest is made
};

void count(conversion_state& state, record_fate fate, std::int64_t records = 1)
{
    state.totals.fates[static_cast<std::size_t>(fate)] += records;
}

// Writes one frame. A failed write is kept in the totals and
// stops the loop before the next record; returns false then.
template <record_mode mode>
bool write_frame(conversion_state& state, const pcap_pkthdr& header, const std::uint8_t* frame)
{
    errno = 0;
    pcap_dump(reinterpret_cast<u_char*>(state.output), &header, frame);
    if constexpr (mode.flush_each)
        fflush_unlocked(state.output_stream);
    if (ferror_unlocked(state.output_stream)) {
        state.totals.write_error = errno != 0 ? errno : EIO;
        if (state.write_failed != nullptr)
            state.write_failed->store(true, std::memory_order_relaxed);
        else
            pcap_breakloop(state.input);
        return false;
    }
    ++state.totals.converted;
    return true;
}

template <record_mode mode>
bool write_decoded_frame(void* context, const pcap_pkthdr& header, const std::uint8_t* frame)
{
    return write_frame<mode>(*static_cast<conversion_state*>(context), header, frame);
}

constexpr bool is_data(int fc) { return (fc & 0x000C) == 0x0008; }
constexpr bool is_protected(int fc) { return (fc & 0x4000) != 0; }
constexpr bool is_four_address(int fc) { return (fc & 0x0300) == 0x0300; }

// A record's frame as the path learns it, stage by stage.
struct frame_at {
    const pcap_pkthdr* header;           // the record's, or the decrypted frame's
    std::span<const std::uint8_t> bytes; // the record, or the decrypted frame
    int offset = 0;                      // where the 802.11 header begins in `bytes`
    capture_flags flags{};               // read where the mode needs them
    data_frame_view view{};              // under full decoding: the located Data frame
    record_fate written = record_fate::converted; // the fate of the record once written
};

// Hands a management frame, without any FCS, to the decryption state.
template <record_mode mode>
void follow_management(conversion_state& state, const frame_at& at)
{
    decryption& keys = *state.settings.keys;
    if (!follows_handshakes(keys))
        return;
    capture_flags flags = at.flags;
    if constexpr (!mode.full_decode)
        flags = read_capture_flags(state.link_type, at.bytes, at.offset);
    std::span<const std::uint8_t> frame = at.bytes.subspan(static_cast<std::size_t>(at.offset));
    if (flags.fcs_at_end)
        frame = frame.first(frame.size() < 4 ? 0 : frame.size() - 4);
    follow_management_frame(keys, frame);
}

// The Header offset; under full decoding also the capture header's flags,
// a frame the radio found damaged dropped, and the Data frame located.
// Returns false once the record's fate is counted.
template <record_mode mode>
[[gnu::always_inline]] inline bool locate_frame(conversion_state& state, frame_at& at)
{
    if constexpr (mode.full_decode)
        at.offset = full_decode_header_offset(state.link_type, at.bytes, at.flags);
    else
        at.offset = capture_header_offset(state.link_type, at.bytes);
    if (at.offset < 0) {
        count(state, record_fate::header_offset_error);
        return false;
    }
    if constexpr (mode.full_decode) {
        if (at.flags.bad_fcs) {
            count(state, record_fate::bad_fcs);
            return false;
        }
    }
    // Every record with a valid offset (under full decoding, a good FCS)
    // passes here, management frames included; they are dropped further
    // on, not converted. With keys given, the decryption state reads them
    // first: network names, and the keys of roaming stations.
    if constexpr (mode.decrypting) {
        const int fc = record_le16(at.bytes, static_cast<std::size_t>(at.offset));
        if (fc >= 0 && is_management_type(fc)) {
            if (state.pipeline != nullptr)
                state.pipeline->settle();
            follow_management<mode>(state, at);
        }
    }
    if constexpr (mode.full_decode) {
        const record_fate fate = locate_data_frame(at.bytes, static_cast<std::size_t>(at.offset),
                                                   at.header->len, at.flags, at.view);
        if (fate != record_fate::converted) {
            count(state, fate);
            return false;
        }
    }
    return true;
}

// In a threaded run, holds a protected AEAD frame as a job for whoever
// decrypts its batch, when its keys are settled; its first plaintext bytes
// are looked at with those of the frames held after it (settle_peeks).
// Returns false when it is to be decrypted here and now instead.
template <record_mode mode>
bool hold_aead_frame(conversion_state& state, const frame_at& at, std::size_t offset)
{
    record_pipeline& pipe = *state.pipeline;
    decryption& keys = *state.settings.keys;
    // Handing a batch on may move the tracker: before the frame is
    // prepared (in `unpadded`) and its keys are looked up.
    const std::size_t most_size = at.bytes.size() > offset ? at.bytes.size() - offset : 0;
    if (pipe.current().used + most_size > batch_capacity)
        pipe.hand_on();
    protected_frame prepared;
    if (prepare_protected_frame(at.bytes.subspan(offset), at.flags.fcs_at_end, at.flags.data_pad, pipe.unpadded,
                                prepared) != record_fate::decrypted)
        return false;
    const std::size_t frame_size = prepared.frame.size();
    if (pipe.current().used + frame_size > batch_capacity)
        return false;
    const session_ptr* session = settled_aead_session(keys, prepared);
    if (session == nullptr)
        return false;
    record_batch& batch = pipe.current();
    // Job and record are made in place: a copy from the stack would wait
    // behind the stores of the frame's bytes, to lines the writer's core
    // holds.
    const std::size_t session_index = batch.keep_session(*session);
    held_job& job = batch.held.emplace_back();
    job.session = session_index;
    job.frame_size = frame_size;
    job.header_length = prepared.header_length;
    job.fcs_announced = prepared.fcs_announced;
    job.frame_at = batch.used;
    std::copy_n(prepared.frame.data(), frame_size, batch.take(frame_size));
    held_record& record = batch.records.emplace_back();
    record.header = *at.header;
    record.bytes_at = job.plain_at();
    record.written = record_fate::decrypted;
    record.job = batch.held.size() - 1;
    keystream_peek& peek = pipe.pending_peeks.emplace_back();
    peek.group = static_cast<std::uint32_t>(session_index);
    prepare_keystream_peek(**session, prepared, peek);
    if (batch.full())
        pipe.hand_on();
    return true;
}

template <record_mode mode>
void hold_record(conversion_state& state, const frame_at& at);

// A protected frame to convert: held for the batch's decryption, or
// decrypted here, where the tracker follows what it carries. Returns
// false once the record's fate is counted or it is held.
template <record_mode mode>
bool take_protected_frame(conversion_state& state, frame_at& at, bool may_hold)
{
    const auto o = static_cast<std::size_t>(at.offset);
    if (state.pipeline != nullptr) {
        if (may_hold && hold_aead_frame<mode>(state, at, o))
            return false;
        state.pipeline->settle();
    }
    decryption& keys = *state.settings.keys;
    record_fate fate = decrypt_data_frame(keys, at.bytes.subspan(o), at.flags.fcs_at_end, at.flags.data_pad,
                                          state.plain);
    if (fate == record_fate::decrypted) {
        state.plain_header.ts = at.header->ts;
        state.plain_header.caplen = state.plain_header.len = static_cast<bpf_u_int32>(state.plain.size());
        at.header = &state.plain_header;
        at.bytes = state.plain;
        at.offset = 0;
        at.written = record_fate::decrypted;
        if constexpr (mode.full_decode)
            fate = locate_data_frame(at.bytes, 0, at.bytes.size(), capture_flags{}, at.view);
        else
            fate = record_fate::converted;
    }
    if (fate != record_fate::converted) {
        count(state, fate);
        return false;
    }
    return true;
}

// Looks at the first plaintext bytes of the frames held since the last
// look. When one of them is an EAPOL-Key or TDLS frame, it changes keys:
// it and the frames after it are taken back out of the batch, it is
// decrypted here and followed, and the others are held anew under the
// keys it leaves, as a one-thread run would see them.
template <record_mode mode>
void settle_peeks(conversion_state& state)
{
    record_pipeline& pipe = *state.pipeline;
    std::vector<keystream_peek>& peeks = pipe.pending_peeks;
    record_batch& batch = pipe.current();
    peek_plaintexts(pipe.peeker, peeks, batch.sessions);
    // A frame not ready is too short to hold an LLC header, which rules
    // out a key exchange.
    std::size_t first = 0;
    while (first < peeks.size() &&
           (!peeks[first].ready || starts_key_exchange(peeks[first].body) == key_exchange::none))
        ++first;
    if (first == peeks.size()) {
        peeks.clear();
        return;
    }
    struct taken_back {
        pcap_pkthdr header;
        std::vector<std::uint8_t> frame; // as prepared, then four bytes in place of an announced FCS
        bool fcs_announced;
    };
    std::vector<taken_back> frames;
    const std::size_t from = batch.records.size() - peeks.size() + first;
    for (std::size_t r = from; r < batch.records.size(); ++r) {
        const held_job& job = batch.held[batch.records[r].job];
        const std::uint8_t* bytes = batch.bytes.get() + job.frame_at;
        std::vector<std::uint8_t> frame(bytes, bytes + job.frame_size);
        if (job.fcs_announced)
            frame.resize(frame.size() + 4);
        frames.push_back({batch.records[r].header, std::move(frame), job.fcs_announced});
    }
    const std::size_t first_job = batch.records[from].job;
    batch.used = batch.held[first_job].frame_at;
    batch.held.resize(first_job);
    batch.records.resize(from);
    peeks.clear();
    for (std::size_t k = 0; k < frames.size(); ++k) {
        capture_flags flags{};
        flags.fcs_at_end = frames[k].fcs_announced;
        frame_at at{&frames[k].header, frames[k].frame, 0, flags};
        if (take_protected_frame<mode>(state, at, k != 0))
            hold_record<mode>(state, at);
        // One at a time from here: key exchanges back to back would
        // otherwise be taken back out again and again.
        pipe.settle();
    }
}

// With keys given: hands an unprotected Data frame to the handshake
// tracker, and replaces a protected one by its decrypted twin. Under full
// decoding without keys, drops a protected frame. Returns false once the
// record's fate is counted.
template <record_mode mode>
[[gnu::always_inline]] inline bool unprotect_frame(conversion_state& state, frame_at& at)
{
    const auto o = static_cast<std::size_t>(at.offset);
    int fc = 0;
    if constexpr (mode.full_decode) {
        fc = at.view.fc;
    } else {
        fc = record_le16(at.bytes, o);
        if (fc < 0 || !is_data(fc))
            return true; // the conversion skips it and tells why
        read_capture_flags(state.link_type, at.bytes, at.offset, at.flags);
    }
    if constexpr (!mode.decrypting) {
        if (is_protected(fc)) {
            count(state, record_fate::protected_no_key);
            return false;
        }
        return true;
    } else {
        decryption& keys = *state.settings.keys;
        if (!is_protected(fc)) {
            if (!follows_handshakes(keys))
                return true;
            std::span<const std::uint8_t> frame;
            std::size_t body = 0;
            if constexpr (mode.full_decode) {
                frame = at.view.frame;
                body = at.view.body_start;
            } else {
                frame = at.bytes.subspan(o);
                body = data_header_length(fc);
                if (at.flags.data_pad)
                    body = (body + 3) & ~std::size_t{3};
            }
            if (body <= frame.size()) {
                if (state.pipeline != nullptr)
                    state.pipeline->settle();
                follow_eapol_frame(keys, frame, frame.subspan(body));
            }
            return true;
        }
        // Four-address frames convert only under full decoding; otherwise
        // they are not worth decrypting.
        if constexpr (!mode.full_decode) {
            if (is_four_address(fc)) {
                count(state, record_fate::four_address);
                return false;
            }
        }
        if (at.header->caplen < at.header->len) {
            count(state, record_fate::protected_short);
            return false;
        }
        return take_protected_frame<mode>(state, at, true);
    }
}

// Converts the frame and writes what it gives: one Ethernet frame by
// default; under full decoding one per MSDU, fragments joined first.
template <record_mode mode>
[[gnu::always_inline]] inline void convert_and_write(conversion_state& state, const frame_at& at)
{
    if constexpr (mode.full_decode) {
        const data_frame_view* whole = &at.view;
        data_frame_view joined;
        if (is_fragment(at.view)) {
            const fragment_outcome outcome = add_fragment(state.fragments, at.view, joined);
            count(state, record_fate::fragment_reassembled, outcome.reassembled);
            count(state, record_fate::fragment_dropped, outcome.dropped);
            if (outcome.held)
                return; // counted once its frame is complete or lost
            if (!outcome.completed) {
                count(state, record_fate::fragment_dropped);
                return;
            }
            whole = &joined;
        }
        const frame_sink sink{&state, write_decoded_frame<mode>};
        const record_fate fate = decode_data_frame(*whole, at.header->ts, state.frame, sink, state.totals.decoded);
        count(state, fate == record_fate::converted ? at.written : fate);
    } else {
        if (translate_data_frame(*at.header, at.bytes, at.offset, state.frame_header, state.frame) < 0) {
            if constexpr (mode.classify_skipped)
                count(state, skipped_frame_fate(at.bytes, at.offset));
            return;
        }
        if (write_frame<mode>(state, state.frame_header, state.frame.bytes.get()))
            count(state, at.written);
    }
}

// The writer's part: writes a decrypted batch record by record, in input
// order, each decrypted frame finished first.
template <record_mode mode>
void write_batch(conversion_state& state, record_batch& batch)
{
    const std::size_t records = batch.records.size();
    for (std::size_t i = 0; i < records; ++i) {
        const held_record& record = batch.records[i];
        // Written on the reader's core: the next records are asked for
        // before they are needed.
        if (i + 4 < records) {
            const held_record& ahead = batch.records[i + 4];
            __builtin_prefetch(&ahead);
            if (ahead.job == held_record::no_job)
                __builtin_prefetch(batch.bytes.get() + ahead.bytes_at + ahead.offset);
        }
        if (state.totals.write_error != 0)
            break;
        pcap_pkthdr header = record.header;
        std::span<std::uint8_t> bytes(batch.bytes.get() + record.bytes_at, record.size);
        if (record.job != held_record::no_job) {
            const held_job& job = batch.held[record.job];
            const int length = batch.jobs[batch.job_at[record.job]].result;
            if (length < 0) {
                count(state, record_fate::integrity_failed);
                continue;
            }
            std::memmove(batch.bytes.get() + job.plain_at(), batch.bytes.get() + job.frame_at, job.header_length);
            bytes = std::span(batch.bytes.get() + job.plain_at(), job.header_length + static_cast<std::size_t>(length));
            // The frame goes on as plaintext. Its first bytes were looked
            // at before it was handed on: it holds nothing for the tracker.
            bytes[1] = static_cast<std::uint8_t>(bytes[1] & ~0x40);
            header.caplen = header.len = static_cast<bpf_u_int32>(bytes.size());
        }
        frame_at at{&header, bytes, record.offset, record.flags};
        at.written = record.written;
        if constexpr (mode.full_decode) {
            const record_fate fate = locate_data_frame(at.bytes, static_cast<std::size_t>(at.offset), header.len,
                                                       record.flags, at.view);
            if (fate != record_fate::converted) {
                count(state, fate);
                continue;
            }
        }
        convert_and_write<mode>(state, at);
    }
    batch.clear();
}

// Holds a record behind those held before it. A record too large for a
// batch is written here, once the writer has written all before it.
template <record_mode mode>
void hold_record(conversion_state& state, const frame_at& at)
{
    record_pipeline& pipe = *state.pipeline;
    pipe.settle(); // the held frames before this record
    if (at.bytes.size() > batch_capacity) {
        pipe.drain();
        if (!pipe.write_failed())
            convert_and_write<mode>(pipe.writer(), at);
        return;
    }
    if (pipe.current().used + at.bytes.size() > batch_capacity)
        pipe.hand_on();
    record_batch& batch = pipe.current();
    held_record& record = batch.records.emplace_back();
    record.header = *at.header;
    record.bytes_at = batch.used;
    record.size = at.bytes.size();
    std::copy_n(at.bytes.data(), at.bytes.size(), batch.take(at.bytes.size()));
    record.offset = at.offset;
    // A frame decrypted here is located as a frame of its own.
    record.flags = at.written == record_fate::decrypted ? capture_flags{} : at.flags;
    record.written = at.written;
    if (batch.full())
        pipe.hand_on();
}

// One record, whatever the mode: Header offset (and the capture header's
// flags), decryption when it is protected, conversion, writing, and one
// fate counted.
template <record_mode mode>
void convert_record(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
{
    auto& state = *reinterpret_cast<conversion_state*>(user);
    if constexpr (mode.decrypting) {
        if (state.pipeline != nullptr && state.pipeline->write_failed()) {
            pcap_breakloop(state.input);
            return;
        }
    }
    frame_at at{header, {bytes, header->caplen}};
    if (!locate_frame<mode>(state, at))
        return;
    if constexpr (mode.decrypting || mode.full_decode) {
        if (!unprotect_frame<mode>(state, at))
            return;
    }
    if constexpr (mode.decrypting) {
        if (state.pipeline != nullptr) {
            hold_record<mode>(state, at);
            return;
        }
    }
    convert_and_write<mode>(state, at);
}

// The instances of convert_record and write_batch for a run's mode.
struct record_functions {
    pcap_handler handler;
    record_pipeline::batch_writer write_batch;
    record_pipeline::peek_settler settle_peeks;
};

template <record_mode mode>
constexpr record_functions functions_of()
{
    if constexpr (mode.decrypting)
        return {convert_record<mode>, write_batch<mode>, settle_peeks<mode>};
    else
        return {convert_record<mode>, write_batch<mode>, nullptr};
}

// The instance for a run that decrypts or not and decodes fully or not.
// Both of these tell every fate apart anyway.
template <bool decrypting, bool full_decode>
record_functions record_handler(bool classify_skipped, bool flush_each)
{
    constexpr bool classifies = decrypting || full_decode;
    if (flush_each) {
        if (classifies || classify_skipped)
            return functions_of<record_mode{decrypting, full_decode, true, true}>();
        return functions_of<record_mode{decrypting, full_decode, false, true}>();
    }
    if (classifies || classify_skipped)
        return functions_of<record_mode{decrypting, full_decode, true, false}>();
    return functions_of<record_mode{decrypting, full_decode, false, false}>();
}

record_functions record_handler(const conversion_settings& settings)
{
    const bool classify = settings.count_fates;
    const bool flush = settings.flush_each_record;
    if (settings.full_decode) {
        return settings.keys != nullptr ? record_handler<true, true>(classify, flush)
                                        : record_handler<false, true>(classify, flush);
    }
    return settings.keys != nullptr ? record_handler<true, false>(classify, flush)
                                    : record_handler<false, false>(classify, flush);
}

// A second thread helps a run that decrypts WPA frames, unless every
// record is to be written out at once.
bool worth_a_pipeline(const conversion_settings& settings)
{
    return settings.threads > 1 && settings.keys != nullptr && follows_handshakes(*settings.keys) &&
           !settings.flush_each_record;
}

} // namespace

conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output)
{
    return convert_records(input, output, conversion_settings{});
}

void add_totals(conversion_totals& totals, const conversion_totals& more)
{
    totals.converted += more.converted;
    for (std::size_t i = 0; i < totals.fates.size(); ++i)
        totals.fates[i] += more.fates[i];
    totals.decoded.subframes_written += more.decoded.subframes_written;
    totals.decoded.ieee_802_3_written += more.decoded.ieee_802_3_written;
    if (totals.write_error == 0)
        totals.write_error = more.write_error;
}

conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output, const conversion_settings& settings)
{
    conversion_state state{input, output, pcap_dump_file(output), pcap_datalink(input), settings, {}, {}, {}, {}, {}, {}};
    const record_functions functions = record_handler(settings);
    std::unique_ptr<record_pipeline> pipeline;
    if (worth_a_pipeline(settings)) {
        try {
            pipeline = std::make_unique<record_pipeline>(state, functions.write_batch, functions.settle_peeks);
        } catch (const std::system_error&) {
            // No second thread to be had: the run does all on this one.
        }
        state.pipeline = pipeline.get();
    }
    if (pipeline && settings.held != nullptr) {
        settings.held->run = pipeline.get();
        settings.held->holding = [](void* run) { return static_cast<record_pipeline*>(run)->holding(); };
        settings.held->write_held = [](void* run) { static_cast<record_pipeline*>(run)->drain(); };
    }
    // pcap_loop hands the records over one by one without the per-record
    // wrapping of pcap_next_ex (3-5 % of a run on small records). On a
    // savefile it returns 0 at the end of the input, PCAP_ERROR on a read
    // error such as a record cut short by the end of the file, and
    // PCAP_ERROR_BREAK once a failed write has broken the loop.
    const int status = pcap_loop(input, -1, functions.handler, reinterpret_cast<u_char*>(&state));
    state.totals.input_damaged = status == PCAP_ERROR;
    if (settings.held != nullptr)
        *settings.held = held_records_hook{};
    // Fragments still waiting for the rest of their frame never get it.
    if (pipeline) {
        pipeline->drain();
        conversion_state& writer = pipeline->writer();
        count(writer, record_fate::fragment_dropped, fragments_held(writer.fragments));
        add_totals(state.totals, writer.totals);
        pipeline.reset(); // the writer ends here
    } else {
        count(state, record_fate::fragment_dropped, fragments_held(state.fragments));
    }
    return state.totals;
}

void print_statistics(std::FILE* stream, const conversion_totals& totals, const conversion_settings& settings)
{
    struct row {
        record_fate fate;
        const char* text;
    };
    static constexpr row rows[] = {
        {record_fate::converted, "converted"},
        {record_fate::decrypted, "decrypted and converted"},
        {record_fate::header_offset_error, "dropped, header offset error"},
        {record_fate::not_data, "dropped, not a Data frame"},
        {record_fate::no_payload, "dropped, Data frame without a body (Null, CF)"},
        {record_fate::four_address, "dropped, four-address (WDS, mesh)"},
        {record_fate::protected_no_key, "dropped, protected, no key given for its cipher"},
        {record_fate::protected_no_session, "dropped, protected, no key for its network yet"},
        {record_fate::protected_unmatched, "dropped, protected, its handshake matches no key given"},
        {record_fate::integrity_failed, "dropped, decryption failed its integrity check"},
        {record_fate::protected_short, "dropped, protected and captured short"},
        {record_fate::too_short, "dropped, too short"},
    };
    static constexpr row full_decode_rows[] = {
        {record_fate::bad_fcs, "dropped, the radio found its FCS wrong"},
        {record_fate::fcs_wrong, "dropped, FCS wrong"},
        {record_fate::malformed, "dropped, malformed or forged A-MSDU or Mesh Control"},
        {record_fate::too_long_for_802_3, "dropped, not SNAP and too long for IEEE 802.3"},
        {record_fate::fragment_reassembled, "fragments held and joined into a frame written"},
        {record_fate::fragment_dropped, "dropped, fragment of a frame not captured whole"},
    };
    std::int64_t read = 0;
    for (const std::int64_t n : totals.fates)
        read += n;
    std::fprintf(stream, "%-58s %12" PRId64 "\n", "records read", read);
    for (const row& r : rows)
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", r.text, totals.fates[static_cast<std::size_t>(r.fate)]);
    if (settings.full_decode) {
        for (const row& r : full_decode_rows)
            std::fprintf(stream, "  %-56s %12" PRId64 "\n", r.text, totals.fates[static_cast<std::size_t>(r.fate)]);
    }
    if (settings.keys != nullptr)
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", "dropped, protected, a suite kestrine cannot decrypt",
                     totals.fates[static_cast<std::size_t>(record_fate::protected_unsupported)]);
    if (settings.keys != nullptr && follows_handshakes(*settings.keys)) {
        const handshake_tracker& tracker = settings.keys->tracker;
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes matched by a key", tracker.handshakes_completed);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes no key given matches", tracker.handshakes_unmatched);
        std::vector<std::string> networks;
        describe_networks(*settings.keys, networks);
        for (const std::string& line : networks)
            std::fprintf(stream, "%s\n", line.c_str());
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes of an AKM or cipher kestrine cannot decrypt",
                     tracker.drops.unsupported_akm);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshakes no key of their AKM's PMK length was given for",
                     tracker.drops.no_key_of_length);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "EAPOL-Key frames dropped as malformed", tracker.drops.malformed);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "FT and TDLS key frames refused", tracker.drops.key_exchange_refused);
        std::fprintf(stream, "%-58s %12" PRId64 "\n", "handshake records evicted to bound memory", tracker.evicted());
    }
    std::fprintf(stream, "%-58s %12" PRId64 "\n", "frames written", totals.converted);
    if (settings.full_decode) {
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", "A-MSDU subframes", totals.decoded.subframes_written);
        std::fprintf(stream, "  %-56s %12" PRId64 "\n", "IEEE 802.3 frames", totals.decoded.ieee_802_3_written);
    }
}

void run_kestrine(int argc, char** argv)
{
    const standard_descriptors standard = fill_closed_standard_descriptors();
    const run_options options = parse_command_line(argc, argv);
    const char* input_name = options.input_name;
    const char* output_name = options.output_name;
    decryption keys;
    for (const user_key& key : options.keys)
        add_user_key(keys, key);
    conversion_settings settings;
    settings.keys = options.keys.empty() ? nullptr : &keys;
    settings.count_fates = options.stats;
    settings.full_decode = options.full_decode;
    settings.flush_each_record = options.packet_buffered;
    settings.threads = options.threads;

    // Input first: the output is created only once the input has opened.
    if (is_dash(input_name) && standard.input_closed) {
        errno = EBADF;
        fail("Unable to open capture file");
    }
    FILE* input_stream = is_dash(input_name) ? stdin : std::fopen(input_name, "rb");
    if (input_stream == nullptr)
        fail("Unable to open capture file");
    struct stat input_stat {};
    if (fstat(fileno(input_stream), &input_stat) != 0)
        input_stat = {};
    live_input live;
    if (!S_ISREG(input_stat.st_mode))
        input_stream = open_live_input(live, input_stream);
    const stream_buffer input_buffer = buffer_stream(input_stream);
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    errno = 0;
    pcap_handle input(pcap_fopen_offline(input_stream, errbuf));
    if (!input) {
        // A file that is empty, cut short in its header or not a capture at
        // all leaves no system error; libpcap's text says what is wrong.
        if (errno != 0 && errbuf[0] == '\0')
            fail("Unable to open capture file");
        fail_because("Unable to open capture file", errbuf[0] != '\0' ? errbuf : "not a capture file");
    }

    pcap_handle dead(pcap_open_dead(DLT_EN10MB, 65535));
    if (!dead)
        fail("Unable to open dead pcap");

    if (names_input_file(output_name, input_stat))
        fail_because("Unable to open output file", "it is the input file");
    FILE* output_stream = open_output_stream(output_name, standard);
    if (output_stream == nullptr)
        fail("Unable to open output file");
    const stream_buffer output_buffer = buffer_stream(output_stream);
    errno = 0;
    dump_handle output(pcap_dump_fopen(dead.get(), output_stream));
    if (!output) {
        if (errno == 0)
            errno = EIO;
        fail("Unable to open output file");
    }

    if (live.source != nullptr) {
        flush_while_live(live, output_stream);
        settings.held = &live.held;
    }
    const conversion_totals totals = convert_records(input.get(), output.get(), settings);
    if (totals.write_error != 0)
        fail_write(totals.write_error);
    if (live.write_error != 0)
        fail_write(live.write_error);

    errno = 0;
    if (pcap_dump_flush(output.get()) != 0 || std::ferror(output_stream))
        fail_write(errno);
    output.reset();
    input.reset();
    dead.reset();
    if (totals.input_damaged)
        std::fputs("kestrine: warning: the input ends in a damaged or cut-short record; "
                   "the records before it were converted\n",
                   stderr);
    if (settings.keys != nullptr && follows_handshakes(keys)) {
        const handshake_tracker& tracker = keys.tracker;
        const std::int64_t unmatched = tracker.handshakes_unmatched + tracker.drops.no_key_of_length;
        if (tracker.handshakes_completed == 0 && unmatched > 0)
            std::fprintf(stderr, "kestrine: warning: no key given matches any of the handshakes seen (%" PRId64 ")\n",
                         unmatched);
    }
    std::printf("Converted %" PRId64 " packets.\n", totals.converted);
    if (options.stats) {
        std::fflush(stdout);
        print_statistics(stderr, totals, settings);
    }
    std::exit(0);
}
