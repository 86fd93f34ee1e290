#include "convert/convert.h"

#include <algorithm>

namespace {

constexpr std::size_t address_1 = 4;
constexpr std::size_t address_2 = 10;
constexpr std::size_t address_3 = 16;

} // namespace

bool grow_frame(frame_buffer& frame, std::size_t size)
{
    std::size_t capacity = std::max<std::size_t>(frame.capacity, 2048);
    while (capacity < size)
        capacity *= 2;
    frame.bytes.reset();
    frame.capacity = 0;
    auto* block = static_cast<std::uint8_t*>(std::malloc(capacity));
    if (block == nullptr)
        return false;
    frame.bytes.reset(block);
    frame.capacity = capacity;
    return true;
}

int translate_data_frame(const pcap_pkthdr& in, std::span<const std::uint8_t> record, int offset,
                         pcap_pkthdr& out, frame_buffer& frame)
{
    if (offset < 0)
        return -1;
    const auto o = static_cast<std::uint32_t>(offset);

    // The payload length comes from the length on the wire, in wrapping
    // 32-bit arithmetic taken as signed: a len short of o + 32 is negative.
    auto payload_length = static_cast<std::int32_t>(in.len - (o + 32u));
    if (payload_length < 21)
        return -1;

    const int fc = record_le16(record, o);
    if (fc < 0 || !is_data_type(fc))
        return -1;

    std::size_t payload_start = o + 32u;
    switch (subtype_of(fc)) {
    case 0: // Data
        break;
    case 8: // QoS Data: the 2-byte QoS Control field moves everything behind it
        if (payload_length < 23)
            return -1;
        payload_start = o + 34u;
        payload_length -= 2;
        break;
    default: // Null, QoS Null, the CF subtypes and the rest carry no payload to convert
        return -1;
    }
    if (is_four_address(fc) || is_protected(fc))
        return -1;

    // A record captured short must at least reach through the EtherType;
    // its payload is cut to what was captured.
    if (record.size() < payload_start)
        return -1;
    const std::size_t copied =
        std::min(static_cast<std::size_t>(payload_length), record.size() - payload_start);

    // ToDS: Address 3 is the final destination; FromDS: Address 3 is the
    // original source; neither: Address 1 and Address 2, station to station
    // or within an IBSS (both bits set was refused above). Chosen by
    // arithmetic rather than branches: traffic in both directions
    // interleaves, and a mispredicted branch cost more than the choice.
    const std::size_t to_ds = is_to_ds(fc) ? 1 : 0;
    const std::size_t from_ds = is_from_ds(fc) ? 1 : 0;
    const std::size_t destination = address_1 + to_ds * (address_3 - address_1);
    const std::size_t source = address_2 + from_ds * (address_3 - address_2);

    if (!reserve_frame(frame, 14 + copied))
        return frame_not_allocated;
    std::uint8_t* bytes = frame.bytes.get();
    if (!record_copy(bytes, record, o + destination, 6) ||
        !record_copy(bytes + 6, record, o + source, 6) ||
        !record_copy(bytes + 12, record, payload_start - 2, 2) ||
        !record_copy(bytes + 14, record, payload_start, copied))
        return -1;

    out.ts = in.ts;
    out.caplen = static_cast<bpf_u_int32>(14 + copied);
    out.len = static_cast<bpf_u_int32>(payload_length) + 14u;
    return 0;
}

record_fate skipped_frame_fate(std::span<const std::uint8_t> record, int offset)
{
    const int fc = offset < 0 ? -1 : record_le16(record, static_cast<std::size_t>(offset));
    if (fc < 0)
        return record_fate::too_short;
    if (!is_data_type(fc))
        return record_fate::not_data;
    if (subtype_of(fc) != 0 && subtype_of(fc) != 8)
        return record_fate::no_payload;
    if (is_four_address(fc))
        return record_fate::four_address;
    if (is_protected(fc))
        return record_fate::protected_no_key;
    return record_fate::too_short;
}
