// The AEAD frame ciphers' back ends side by side on one core: libcrypto and
// the multi-buffer library (when built in) decrypt the same frames in
// batches, and the table gives plaintext GB/s and M frames/s of each.
//
//   frame_ciphers_bench [--batch N] [--frames N] [--seconds S] [--sweep]
//
// --sweep also times CCMP-128 IMIX at batch sizes from 1 to 512.
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"
#include "sealing.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

struct workload {
    const char* name;
    cipher_suite suite;
    std::vector<std::size_t> body_sizes; // drawn in turn
};

// A QoS Data frame from a station to its AP.
const std::uint8_t qos_header[] = {0x88, 0x01, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x02, 0x00, 0x00,
                                   0x00, 0x00, 0x0b, 0x02, 0x00, 0x00, 0x00, 0x00, 0x0c, 0x30, 0x00, 0x00, 0x00};

struct frames {
    std::unique_ptr<session> keys;
    std::vector<std::vector<std::uint8_t>> protected_frames;
    std::vector<std::vector<std::uint8_t>> plains;
    std::size_t body_bytes = 0;
};

frames make_frames(const workload& load, std::size_t count)
{
    static std::uint64_t next_id = 1; // ids are unique in a run: the back ends cache keys by them
    frames out;
    out.keys = std::make_unique<session>();
    out.keys->id = next_id++;
    out.keys->cipher = load.suite;
    out.keys->temporal_key_length = temporal_key_length(load.suite);
    std::mt19937 random(7);
    for (std::size_t i = 0; i < out.keys->temporal_key_length; ++i)
        out.keys->temporal_key[i] = static_cast<std::uint8_t>(random());
    const byte_span key = std::span(out.keys->temporal_key).first(out.keys->temporal_key_length);
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::uint8_t> body(load.body_sizes[i % load.body_sizes.size()]);
        for (auto& byte : body)
            byte = static_cast<std::uint8_t>(random());
        std::vector<std::uint8_t> frame;
        if (!seal_aead(load.suite, key, i + 1, 0, qos_header, body, frame)) {
            std::fprintf(stderr, "frame_ciphers_bench: cannot seal %s\n", load.name);
            std::exit(1);
        }
        out.body_bytes += body.size();
        out.plains.emplace_back(frame.size());
        out.protected_frames.push_back(std::move(frame));
    }
    return out;
}

// The thread's CPU time: on a machine shared with other work, the time the
// core spent on this thread, not the time others took it away.
double thread_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

struct rate {
    double gigabytes_per_second = 0;
    double megaframes_per_second = 0;
};

// Decrypts every frame over and over, `batch` at a time, for about
// `seconds` of CPU time; a frame that fails stops the run, so no back end is timed on
// frames it refused.
rate time_back_end(aead_batch_decryptor& decryptor, frames& in, std::size_t batch, double seconds)
{
    const std::size_t count = in.protected_frames.size();
    std::vector<aead_job> jobs(count);
    for (std::size_t i = 0; i < count; ++i)
        jobs[i] = {in.keys.get(), in.protected_frames[i], sizeof qos_header, in.plains[i].data(), -1};
    const auto pass = [&] {
        for (std::size_t at = 0; at < count; at += batch)
            decryptor.decrypt(std::span(jobs).subspan(at, std::min(batch, count - at)));
    };
    pass(); // warm-up, and the check
    for (const auto& job : jobs)
        if (job.result < 0) {
            std::fprintf(stderr, "frame_ciphers_bench: %s refused a sound frame\n", decryptor.name());
            std::exit(1);
        }
    std::size_t passes = 0;
    const double start = thread_seconds();
    double elapsed = 0;
    while (elapsed < seconds) {
        pass();
        ++passes;
        elapsed = thread_seconds() - start;
    }
    return {static_cast<double>(in.body_bytes * passes) / elapsed / 1e9,
            static_cast<double>(count * passes) / elapsed / 1e6};
}

} // namespace

int main(int argc, char** argv)
{
    std::size_t batch = 256;
    double seconds = 1.0;
    bool sweep = false;
    std::size_t count = 2048;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--batch") == 0 && i + 1 < argc)
            batch = static_cast<std::size_t>(std::max(1L, std::atol(argv[++i])));
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc)
            count = static_cast<std::size_t>(std::max(1L, std::atol(argv[++i])));
        else if (std::strcmp(argv[i], "--sweep") == 0)
            sweep = true;
        else {
            std::fprintf(stderr, "usage: frame_ciphers_bench [--batch N] [--frames N] [--seconds S] [--sweep]\n");
            return 2;
        }
    }
    const std::vector<std::size_t> imix{40, 40, 576, 40, 40, 576, 40, 1500, 40, 576, 40, 576}; // 7:4:1
    const workload loads[] = {
        {"CCMP-128 IMIX", cipher_suite::ccmp128, imix},
        {"CCMP-128 1500 B", cipher_suite::ccmp128, {1500}},
        {"CCMP-128 40 B", cipher_suite::ccmp128, {40}},
        {"CCMP-256 IMIX", cipher_suite::ccmp256, imix},
        {"GCMP-128 IMIX", cipher_suite::gcmp128, imix},
        {"GCMP-256 IMIX", cipher_suite::gcmp256, imix},
    };
    auto reference = make_libcrypto_batch_decryptor();
    auto multi_buffer = make_multi_buffer_batch_decryptor();
    std::printf("%zu frames in batches of %zu, %.1f s of one thread's CPU time per cell; GB/s of plaintext\n",
                count, batch, seconds);
    std::printf("%-17s %-26s %s\n", "", reference->name(), multi_buffer ? multi_buffer->name() : "(no multi-buffer)");
    std::printf("%-17s %10s %14s %10s %14s %8s\n", "frames", "GB/s", "M frames/s", "GB/s", "M frames/s", "ratio");
    for (const auto& load : loads) {
        auto in = make_frames(load, count);
        const rate slow = time_back_end(*reference, in, batch, seconds);
        std::printf("%-17s %10.2f %14.2f", load.name, slow.gigabytes_per_second, slow.megaframes_per_second);
        if (multi_buffer) {
            const rate fast = time_back_end(*multi_buffer, in, batch, seconds);
            std::printf(" %10.2f %14.2f %7.2fx", fast.gigabytes_per_second, fast.megaframes_per_second,
                        fast.megaframes_per_second / slow.megaframes_per_second);
        }
        std::printf("\n");
    }
    if (sweep && multi_buffer) {
        auto in = make_frames(loads[0], count);
        std::printf("\n%s, CCMP-128 IMIX by batch size\n%8s %10s %14s\n", multi_buffer->name(), "batch", "GB/s",
                    "M frames/s");
        for (const std::size_t size : {1UL, 4UL, 8UL, 16UL, 32UL, 64UL, 128UL, 256UL, 512UL}) {
            const rate fast = time_back_end(*multi_buffer, in, size, seconds);
            std::printf("%8zu %10.2f %14.2f\n", size, fast.gigabytes_per_second, fast.megaframes_per_second);
        }
    }
    return 0;
}
