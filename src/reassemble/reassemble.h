// Fragment reassembly: the MPDUs of one fragmented MSDU, joined back into
// one Data frame once every fragment has been captured, whole and in order.
//
// A transmitter sends the fragments of one MSDU with one sequence number
// and fragment numbers 0, 1, 2..., More Fragments set on all but the last.
// Frames of other MSDUs may come between them, so a few MSDUs are held at
// once; the oldest gives way when more arrive. Memory stays bounded: a few
// MSDUs of at most 64 KiB each. A retransmission (Retry bit) of the
// fragment just taken is passed over.
#pragma once

#include "convert/convert.h"

#include <array>
#include <cstdint>
#include <vector>

// The MSDUs in flight and the last one completed.
struct reassembly {
    struct msdu_in_flight {
        bool used = false;
        std::array<std::uint8_t, 6> transmitter{};
        int sequence = 0;
        int next_fragment = 0;
        std::size_t header_length = 0;  // of the first fragment
        std::int64_t fragments_held = 0;
        std::uint64_t started = 0;       // for choosing the oldest
        std::vector<std::uint8_t> bytes; // the first fragment's MAC header, then every body
    };
    static constexpr std::size_t in_flight_limit = 8;
    std::array<msdu_in_flight, in_flight_limit> slots;
    std::uint64_t clock = 0;
    std::vector<std::uint8_t> whole; // the MSDU last completed
};

// True when the located frame is one fragment of a larger MSDU: More
// Fragments set, or a fragment number other than 0.
inline bool is_fragment(const data_frame_view& view)
{
    const int sequence_control = record_le16(view.frame, 22);
    return is_fragment(view.fc, sequence_control < 0 ? 0 : sequence_control);
}

struct fragment_outcome {
    bool completed = false; // `whole` now holds the reassembled frame
    // Records held before this one that are now written as part of the
    // whole frame, or dropped. This record itself is dropped when it is not
    // held and does not complete a frame.
    std::int64_t reassembled = 0;
    std::int64_t dropped = 0;
    bool held = false;
};

// Takes one fragment. When it completes an MSDU, `whole` views the joined
// frame: the first fragment's MAC header (without padding) and every body.
fragment_outcome add_fragment(reassembly& state, const data_frame_view& fragment, data_frame_view& whole);

// The fragments still held, which will never complete: at the end of the
// input they are dropped.
std::int64_t fragments_held(const reassembly& state);
