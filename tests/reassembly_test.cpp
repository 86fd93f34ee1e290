// Fragment reassembly: which fragment series give one whole frame, which
// are dropped, and what memory bound holds. Each case is a series of
// fragments (transmitter, sequence, fragment number, More Fragments,
// Retry, body size, captured whole) fed in order.
#include "reassemble/reassemble.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct fragment_plan {
    int transmitter;
    int sequence;
    int number;
    bool more;
    bool retry = false;
    std::size_t body = 100;
    bool whole = true;
};

struct outcome_totals {
    int completed = 0;
    std::int64_t reassembled = 0; // held fragments that went into a whole frame
    std::int64_t dropped = 0;     // held fragments lost, and fragments refused at once
    std::size_t last_body = 0;    // body length of the last whole frame
};

std::vector<std::uint8_t> fragment_bytes(const fragment_plan& plan)
{
    std::vector<std::uint8_t> frame(24 + plan.body);
    frame[0] = 0x08;
    frame[1] = static_cast<std::uint8_t>((plan.more ? 0x04 : 0) | (plan.retry ? 0x08 : 0));
    frame[10] = 0x02;
    frame[15] = static_cast<std::uint8_t>(plan.transmitter);
    const int sequence_control = plan.sequence << 4 | plan.number;
    frame[22] = static_cast<std::uint8_t>(sequence_control & 0xFF);
    frame[23] = static_cast<std::uint8_t>(sequence_control >> 8);
    for (std::size_t i = 24; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(static_cast<std::size_t>(plan.number) * 16 + i % 16);
    return frame;
}

outcome_totals feed(const std::vector<fragment_plan>& series)
{
    reassembly state;
    outcome_totals totals;
    for (const fragment_plan& plan : series) {
        const auto bytes = fragment_bytes(plan);
        data_frame_view view;
        view.frame = plan.whole ? std::span(bytes) : std::span(bytes).first(bytes.size() - 1);
        view.wire_length = bytes.size();
        view.header_length = view.body_start = 24;
        view.fc = bytes[0] | bytes[1] << 8;
        EXPECT_TRUE(is_fragment(view));
        data_frame_view whole;
        const fragment_outcome outcome = add_fragment(state, view, whole);
        totals.reassembled += outcome.reassembled;
        totals.dropped += outcome.dropped;
        if (outcome.completed) {
            ++totals.completed;
            totals.last_body = whole.wire_length - whole.header_length;
            EXPECT_EQ(whole.frame.size(), whole.wire_length);
        } else if (!outcome.held) {
            ++totals.dropped;
        }
    }
    totals.dropped += fragments_held(state);
    return totals;
}

struct reassembly_case {
    std::string name;
    std::vector<fragment_plan> series;
    int completed;
    std::int64_t reassembled;
    std::int64_t dropped;
    std::size_t last_body;
};

TEST(reassembly, fragment_series)
{
    std::vector<fragment_plan> nine_interleaved;
    for (int t = 1; t <= 9; ++t)
        nine_interleaved.push_back({t, 7, 0, true});
    for (int t = 1; t <= 9; ++t)
        nine_interleaved.push_back({t, 7, 1, false});
    const std::vector<reassembly_case> cases = {
        {"three in order", {{1, 5, 0, true}, {1, 5, 1, true}, {1, 5, 2, false}}, 1, 2, 0, 300},
        {"last one missing, lost at the end", {{1, 5, 0, true}, {1, 5, 1, true}}, 0, 0, 2, 0},
        {"middle one missing", {{1, 5, 0, true}, {1, 5, 2, false}}, 0, 0, 2, 0},
        {"out of order", {{1, 5, 0, true}, {1, 5, 2, true}, {1, 5, 1, false}}, 0, 0, 3, 0},
        {"no first fragment", {{1, 5, 1, true}, {1, 5, 2, false}}, 0, 0, 2, 0},
        {"a retransmission passed over", {{1, 5, 0, true}, {1, 5, 1, true}, {1, 5, 1, true, true}, {1, 5, 2, false}},
         1, 2, 1, 300},
        {"a fragment captured short", {{1, 5, 0, true}, {1, 5, 1, false, false, 100, false}}, 0, 0, 2, 0},
        {"two transmitters interleaved", {{1, 5, 0, true}, {2, 5, 0, true}, {2, 5, 1, false}, {1, 5, 1, false}},
         2, 2, 0, 200},
        {"a new first fragment restarts", {{1, 5, 0, true}, {1, 5, 0, true}, {1, 5, 1, false}}, 1, 1, 1, 200},
        {"nine at once: the oldest gives way", nine_interleaved, 8, 8, 2, 200},
        {"over 64 KiB joined", {{1, 5, 0, true, false, 40000}, {1, 5, 1, false, false, 40000}}, 0, 0, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const outcome_totals totals = feed(c.series);
        EXPECT_EQ(totals.completed, c.completed);
        EXPECT_EQ(totals.reassembled, c.reassembled);
        EXPECT_EQ(totals.dropped, c.dropped);
        EXPECT_EQ(totals.last_body, c.last_body);
        // Every fragment ends exactly once: in a whole frame, dropped, or
        // as the last fragment of a whole frame.
        EXPECT_EQ(totals.reassembled + totals.dropped + totals.completed, static_cast<std::int64_t>(c.series.size()));
    }
}

} // namespace
