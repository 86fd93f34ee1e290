#include "reassemble/reassemble.h"

#include <algorithm>

namespace {

using byte_span = std::span<const std::uint8_t>;

// An Ethernet frame has a 16-bit length on its record: the body of a
// reassembled frame may not pass it.
constexpr std::size_t largest_body = 65535 - 14;

void release(reassembly::msdu_in_flight& slot)
{
    slot.used = false;
    slot.fragments_held = 0;
    slot.bytes.clear();
}

} // namespace

fragment_outcome add_fragment(reassembly& state, const data_frame_view& fragment, data_frame_view& whole)
{
    fragment_outcome outcome;
    const int sequence_control = record_le16(fragment.frame, 22);
    const byte_span transmitter = record_bytes(fragment.frame, 10, 6);
    if (sequence_control < 0 || transmitter.empty())
        return outcome;
    const int number = sequence_control & 0x000F;
    const int sequence = sequence_control >> 4;
    const bool more = has_more_fragments(fragment.fc);
    // Every fragment must be captured whole: a part missing inside is a
    // hole in the joined frame.
    const bool captured_whole = fragment.frame.size() == fragment.wire_length;
    const byte_span body = captured_whole ? fragment.frame.subspan(fragment.body_start) : byte_span{};

    auto* slot = std::find_if(state.slots.begin(), state.slots.end(), [&](const auto& s) {
        return s.used && s.sequence == sequence && std::equal(transmitter.begin(), transmitter.end(), s.transmitter.begin());
    });
    const auto drop = [&outcome](reassembly::msdu_in_flight& s) {
        outcome.dropped += s.fragments_held;
        release(s);
    };

    if (number == 0) {
        // A new first fragment: an unfinished MSDU of the same number was lost.
        if (slot != state.slots.end())
            drop(*slot);
        if (!captured_whole || !more || body.size() > largest_body)
            return outcome;
        slot = std::find_if(state.slots.begin(), state.slots.end(), [](const auto& s) { return !s.used; });
        if (slot == state.slots.end()) {
            slot = std::min_element(state.slots.begin(), state.slots.end(),
                                    [](const auto& a, const auto& b) { return a.started < b.started; });
            drop(*slot);
        }
        slot->used = true;
        std::copy(transmitter.begin(), transmitter.end(), slot->transmitter.begin());
        slot->sequence = sequence;
        slot->next_fragment = 1;
        slot->header_length = fragment.header_length;
        slot->started = ++state.clock;
        slot->fragments_held = 1;
        const byte_span header = fragment.frame.first(fragment.header_length);
        slot->bytes.assign(header.begin(), header.end());
        slot->bytes.insert(slot->bytes.end(), body.begin(), body.end());
        outcome.held = true;
        return outcome;
    }

    if (slot == state.slots.end())
        return outcome;
    // A retransmission of the fragment just taken: the frame goes on
    // without it.
    const bool retry = is_retry(fragment.fc);
    if (retry && number == slot->next_fragment - 1)
        return outcome;
    if (number != slot->next_fragment || !captured_whole ||
        slot->bytes.size() - slot->header_length + body.size() > largest_body) {
        drop(*slot);
        return outcome;
    }
    slot->bytes.insert(slot->bytes.end(), body.begin(), body.end());
    if (more) {
        ++slot->next_fragment;
        ++slot->fragments_held;
        outcome.held = true;
        return outcome;
    }
    outcome.completed = true;
    outcome.reassembled = slot->fragments_held;
    state.whole.swap(slot->bytes);
    const std::size_t header_length = slot->header_length;
    release(*slot);
    whole.frame = state.whole;
    whole.wire_length = state.whole.size();
    whole.header_length = header_length;
    whole.body_start = header_length;
    whole.fc = record_le16(state.whole, 0);
    return outcome;
}

std::int64_t fragments_held(const reassembly& state)
{
    std::int64_t held = 0;
    for (const auto& slot : state.slots)
        held += slot.fragments_held;
    return held;
}
