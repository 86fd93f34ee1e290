// The batch back ends of the AEAD frame ciphers: each on the standard's
// MPDUs, then both on the same large batch of generated frames of every
// suite and size, some of them tampered with, where they must agree with
// what each frame is. The multi-buffer cases skip, saying why, on a build
// or a CPU without the library.
#include "aead_vectors.h"
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"
#include "sealing.h"
#include "guarded_memory.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <string_view>

namespace {

test::bytes hex(std::string_view text)
{
    test::bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return out;
}

std::unique_ptr<session> make_session(std::uint64_t id, cipher_suite suite, const test::bytes& key)
{
    auto made = std::make_unique<session>();
    made->id = id;
    made->cipher = suite;
    std::copy(key.begin(), key.end(), made->temporal_key.begin());
    made->temporal_key_length = key.size();
    return made;
}

struct back_end {
    const char* label;
    std::unique_ptr<aead_batch_decryptor> (*make)();
};

const back_end back_ends[] = {
    {"libcrypto", make_libcrypto_batch_decryptor},
    {"multi-buffer", make_multi_buffer_batch_decryptor},
};

constexpr const char* no_multi_buffer = "the multi-buffer library is not in this build or the CPU lacks AES-NI";

class EachBackEnd : public testing::TestWithParam<back_end> {
protected:
    void SetUp() override
    {
        decryptor = GetParam().make();
        if (!decryptor)
            GTEST_SKIP() << no_multi_buffer;
    }
    std::unique_ptr<aead_batch_decryptor> decryptor;
};

// Every vector, and every one-byte change of it, in one batch: a changed
// byte the AAD, nonce, body or MIC covers must fail and leave nothing of
// the plaintext; the others (Duration, sequence number, QoS upper octet,
// the cipher header's reserved octet and key ID) must still decrypt.
TEST_P(EachBackEnd, StandardVectors)
{
    const char* label = GetParam().label;
    std::vector<std::unique_ptr<session>> sessions;
    std::vector<test::bytes> frames, bodies;
    std::vector<const aead_vector*> vector_of;
    std::vector<bool> must_pass;
    for (const auto& vector : aead_vectors) {
        sessions.push_back(make_session(sessions.size() + 1, vector.suite, hex(vector.tk)));
        const auto mpdu = hex(vector.protected_mpdu);
        const auto plaintext_mpdu = hex(vector.plaintext_mpdu);
        std::set<std::size_t> outside_aad{2, 3, 23, vector.header_length + 2, vector.header_length + 3};
        if (vector.header_length == 26)
            outside_aad.insert(25);
        for (std::size_t at = 0; at <= mpdu.size(); ++at) {
            frames.push_back(mpdu);
            if (at < mpdu.size())
                frames.back()[at] ^= 0x01;
            bodies.emplace_back(plaintext_mpdu.begin() + static_cast<std::ptrdiff_t>(vector.header_length),
                                plaintext_mpdu.end());
            vector_of.push_back(&vector);
            must_pass.push_back(at == mpdu.size() || outside_aad.count(at) != 0);
        }
    }
    std::vector<test::bytes> plains(frames.size());
    std::vector<aead_job> jobs;
    for (std::size_t i = 0; i < frames.size(); ++i) {
        plains[i].assign(frames[i].size(), 0);
        const auto vector = static_cast<std::size_t>(vector_of[i] - aead_vectors);
        jobs.push_back({sessions[vector].get(), frames[i], vector_of[i]->header_length, plains[i].data(), 7});
    }
    decryptor->decrypt(jobs);
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const auto& body = bodies[i];
        if (!must_pass[i]) {
            EXPECT_EQ(jobs[i].result, -1) << label << " frame " << i << " of " << vector_of[i]->name;
            EXPECT_EQ(std::search(plains[i].begin(), plains[i].end(), body.begin() + 1, body.end()), plains[i].end())
                << label << " frame " << i;
            continue;
        }
        ASSERT_EQ(jobs[i].result, static_cast<int>(body.size())) << label << " frame " << i << " of " << vector_of[i]->name;
        EXPECT_TRUE(std::equal(body.begin(), body.end(), plains[i].begin())) << label << " frame " << i;
    }
}

// What a generated frame is: sound, or changed where the MIC covers it.
enum class damage { none, tag, packet_number, header };

struct generated_frame {
    std::size_t session = 0;
    std::size_t header_length = 0;
    test::bytes body;
    test::bytes frame;
    damage change = damage::none;
};

// Frames of four suites over forty sessions (more than any back end
// caches, so keys are replaced mid-batch), bodies of 0 to 2,304 bytes,
// a quarter of them damaged: first in an order that mixes everything,
// then in runs of 500 of one session, as a threaded run hands them over,
// which fill the multi-buffer library's queue.
std::vector<generated_frame> generate(std::vector<std::unique_ptr<session>>& sessions)
{
    const cipher_suite suites[] = {cipher_suite::ccmp128, cipher_suite::ccmp256, cipher_suite::gcmp128,
                                   cipher_suite::gcmp256};
    const test::bytes headers[] = {
        hex("08010000000000000a0a00000000000b00000000000c3000"),
        hex("88020000000000000a0a00000000000b00000000000c30000600"),
        hex("88030000000000000a0a00000000000b00000000000c300000000000000d0300"),
    };
    std::mt19937 random(14);
    std::vector<test::bytes> keys(40);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const cipher_suite suite = suites[i % 4];
        keys[i].resize(temporal_key_length(suite));
        for (auto& byte : keys[i])
            byte = static_cast<std::uint8_t>(random());
        sessions.push_back(make_session(100 + i, suite, keys[i]));
    }
    constexpr std::size_t mixed = 700;
    std::vector<generated_frame> frames(mixed + 3 * 500);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        auto& made = frames[i];
        made.session = i < mixed ? random() % sessions.size() : (i - mixed) / 500;
        const auto& header = headers[random() % 3];
        made.header_length = header.size();
        const std::size_t sizes[] = {0, 1, 15, 16, 17, 40, 576, 1500, 2304, random() % 2305};
        made.body.resize(sizes[random() % 10]);
        for (auto& byte : made.body)
            byte = static_cast<std::uint8_t>(random());
        seal_aead(suites[made.session % 4], keys[made.session], i + 1, 0, header, made.body, made.frame);
        made.change = i % 4 == 3 ? static_cast<damage>(1 + random() % 3) : damage::none;
        switch (made.change) {
        case damage::tag:
            made.frame.back() ^= 0x40;
            break;
        case damage::packet_number:
            made.frame[made.header_length + 4] ^= 0x01; // PN2
            break;
        case damage::header:
            made.frame[10] ^= 0x02; // the transmitter address
            break;
        case damage::none:
            break;
        }
    }
    return frames;
}

TEST(FrameBatches, BackEndsAgreeOnGeneratedFrames)
{
    std::vector<std::unique_ptr<session>> sessions;
    const auto frames = generate(sessions);
    std::vector<std::vector<int>> results;
    for (const auto& which : back_ends) {
        auto decryptor = which.make();
        if (!decryptor)
            GTEST_SKIP() << no_multi_buffer << ": libcrypto checked alone";
        // One large batch (jobs come back out of order), then batches of
        // assorted sizes from the same decryptor; then in place, where a
        // frame that fails must keep its ciphertext, to be tried again.
        const std::pair<std::size_t, bool> passes[] = {
            {frames.size(), false}, {1, false}, {37, false}, {frames.size(), true}, {37, true}};
        for (const auto& [batch, in_place] : passes) {
            std::vector<test::bytes> copies(frames.size());
            std::vector<test::bytes> plains(frames.size());
            std::vector<aead_job> jobs(frames.size());
            for (std::size_t i = 0; i < frames.size(); ++i) {
                plains[i].assign(frames[i].frame.size(), 0xEE);
                copies[i] = frames[i].frame;
                std::uint8_t* plain = in_place ? copies[i].data() + frames[i].header_length + aead_header_size
                                               : plains[i].data();
                jobs[i] = {sessions[frames[i].session].get(), copies[i], frames[i].header_length, plain, 7};
            }
            for (std::size_t at = 0; at < jobs.size(); at += batch)
                decryptor->decrypt(std::span(jobs).subspan(at, std::min(batch, jobs.size() - at)));
            std::vector<int> these;
            for (std::size_t i = 0; i < frames.size(); ++i) {
                const auto& made = frames[i];
                these.push_back(jobs[i].result);
                if (in_place)
                    plains[i].assign(jobs[i].plain, copies[i].data() + copies[i].size());
                if (made.change != damage::none) {
                    EXPECT_EQ(jobs[i].result, -1) << which.label << " frame " << i << " damage "
                                                  << static_cast<int>(made.change);
                    if (in_place) {
                        EXPECT_EQ(copies[i], made.frame) << which.label << " frame " << i << " in place";
                    }
                    if (made.body.size() >= 8) {
                        EXPECT_EQ(std::search(plains[i].begin(), plains[i].end(), made.body.begin(),
                                              made.body.end()),
                                  plains[i].end())
                            << which.label << " frame " << i;
                    }
                    continue;
                }
                ASSERT_EQ(jobs[i].result, static_cast<int>(made.body.size())) << which.label << " frame " << i;
                EXPECT_TRUE(std::equal(made.body.begin(), made.body.end(), plains[i].begin()))
                    << which.label << " frame " << i;
            }
            results.push_back(these);
        }
    }
    for (const auto& these : results)
        EXPECT_EQ(these, results.front());
}

// A job the back ends cannot take: no session, a suite that is not AEAD,
// a frame too short for its cipher header and MIC.
TEST_P(EachBackEnd, Refusals)
{
    auto tkip = make_session(1, cipher_suite::tkip, test::bytes(32, 1));
    auto ccmp = make_session(2, cipher_suite::ccmp128, test::bytes(16, 1));
    const auto frame = hex("08410000000000000a0a00000000000b00000000000c3000010000200000000000000000000000");
    test::bytes plain(frame.size());
    aead_job jobs[] = {
        {nullptr, frame, 24, plain.data(), 7},
        {tkip.get(), frame, 24, plain.data(), 7},
        {ccmp.get(), byte_span(frame).first(24 + 8 + 7), 24, plain.data(), 7},
    };
    decryptor->decrypt(jobs);
    for (const auto& job : jobs)
        EXPECT_EQ(job.result, -1) << GetParam().label;
    EXPECT_NE(std::string(decryptor->name()), "") << GetParam().label;
}

// Frames that end where readable memory ends, of every body length over a
// few AES blocks: a back end that reads past the MIC faults.
TEST_P(EachBackEnd, ReadsNothingPastTheFrame)
{
    const auto header = hex("88020000000000000a0a00000000000b00000000000c30000600");
    for (const cipher_suite suite :
         {cipher_suite::ccmp128, cipher_suite::ccmp256, cipher_suite::gcmp128, cipher_suite::gcmp256}) {
        const test::bytes key(temporal_key_length(suite), 0x42);
        auto keys = make_session(static_cast<std::uint64_t>(suite), suite, key);
        for (std::size_t size = 0; size <= 49; ++size) {
            test::bytes frame;
            ASSERT_TRUE(seal_aead(suite, key, size + 1, 0, header, test::bytes(size, 0x17), frame));
            test::bytes plain(frame.size());
            aead_job job{keys.get(), test::guarded_memory::instance().at_edge(frame), header.size(), plain.data(), 7};
            decryptor->decrypt({&job, 1});
            EXPECT_EQ(job.result, static_cast<int>(size)) << GetParam().label << " suite " << static_cast<int>(suite);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(FrameBatches, EachBackEnd, testing::ValuesIn(back_ends),
                         [](const testing::TestParamInfo<back_end>& param) {
                             return std::string(param.param.label[0] == 'l' ? "libcrypto" : "multi_buffer");
                         });

} // namespace
