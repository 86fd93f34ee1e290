#include "convert/convert.h"

#include <limits>

int radiotap_header_offset(std::span<const std::uint8_t> record)
{
    if (record.size() > std::numeric_limits<std::uint32_t>::max())
        return -1;
    // At least 10 captured bytes must follow the header. The room is taken
    // as a signed 32-bit value, so a caplen below 10 or of 2^31 + 10 and
    // above leaves no room at all, and the length field is never read then.
    const auto caplen = static_cast<std::uint32_t>(record.size());
    const auto room = static_cast<std::int32_t>(caplen - 10u);
    if (room < 0)
        return -1;
    const int length = record_le16(record, 2);
    if (length < 0 || room < length)
        return -1;
    return length;
}

int ppi_header_offset(std::span<const std::uint8_t> record)
{
    if (record.size() > std::numeric_limits<std::uint32_t>::max())
        return -1;
    // The PPI header may end exactly at the end of the captured bytes; the
    // comparison is signed, so a caplen of 2^31 and above is refused.
    const auto caplen = static_cast<std::uint32_t>(record.size());
    if (caplen < 8)
        return -1;
    const int length = record_le16(record, 2);
    if (length < 0 || static_cast<std::int32_t>(caplen) < length)
        return -1;
    return length;
}

int capture_header_offset(int link_type, std::span<const std::uint8_t> record)
{
    int offset = 0;
    switch (link_type) {
    case 105: // DLT_IEEE802_11: the frame starts the record
        offset = 0;
        break;
    case 119: // DLT_PRISM_HEADER: a fixed 144-byte monitor header, never read
        offset = 144;
        break;
    case 127: // DLT_IEEE802_11_RADIO
        offset = radiotap_header_offset(record);
        break;
    case 192: // DLT_PPI
        offset = ppi_header_offset(record);
        break;
    default: // anything else is read as bare 802.11
        offset = 0;
        break;
    }
    return offset;
}
