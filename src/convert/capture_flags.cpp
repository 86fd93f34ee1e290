#include "convert/convert.h"

namespace {

// The flags are filled in place: built in a returned struct byte by byte,
// then read back whole, they stalled every record on store forwarding.
void radiotap_flags(std::span<const std::uint8_t> record, std::size_t header_length, capture_flags& flags)
{
    // The fields start behind the last present word; bit 31 of each word
    // announces another. A chain that runs to the header's end is malformed.
    const std::int64_t first_word = header_length >= 8 ? record_le32(record, 4) : -1;
    if (first_word < 0) {
        flags.malformed = true;
        return;
    }
    std::size_t at = 8;
    for (std::int64_t word = first_word; (word & 0x80000000) != 0; at += 4) {
        word = at + 4 <= header_length ? record_le32(record, at) : -1;
        if (word < 0) {
            flags.malformed = true;
            return;
        }
    }
    if ((first_word & 0x2u) == 0)
        return;
    // Only TSFT (bit 0: 8 bytes, aligned to 8 from the header's start) can
    // stand before Flags (bit 1: one byte).
    if ((first_word & 0x1u) != 0)
        at = ((at + 7) & ~std::size_t{7}) + 8;
    if (at >= header_length || at >= record.size()) {
        flags.malformed = true;
        return;
    }
    const std::uint8_t value = record[at];
    flags.known = true;
    flags.fcs_at_end = (value & 0x10) != 0;
    flags.data_pad = (value & 0x20) != 0;
    flags.bad_fcs = (value & 0x40) != 0;
}

void ppi_flags(std::span<const std::uint8_t> record, std::size_t header_length, capture_flags& flags)
{
    // Fields follow the 8-byte packet header: type, length, data.
    std::size_t at = 8;
    while (at + 4 <= header_length) {
        const int type = record_le16(record, at);
        const int length = record_le16(record, at + 2);
        if (type < 0 || length < 0 || header_length - (at + 4) < static_cast<std::size_t>(length)) {
            flags.malformed = true;
            return;
        }
        // 802.11-Common: TSF (8), flags (2), ...; flag bit 0 FCS present,
        // bit 2 FCS invalid.
        if (type == 2 && length >= 10) {
            const int value = record_le16(record, at + 4 + 8);
            if (value < 0)
                break;
            flags.known = true;
            flags.fcs_at_end = (value & 0x1) != 0;
            flags.bad_fcs = (value & 0x4) != 0;
            return;
        }
        at += 4 + static_cast<std::size_t>(length);
    }
}

} // namespace

void read_capture_flags(int link_type, std::span<const std::uint8_t> record, int offset, capture_flags& flags)
{
    flags = capture_flags{};
    if (offset < 0)
        return;
    const auto header_length = static_cast<std::size_t>(offset);
    if (link_type == 127)
        radiotap_flags(record, header_length, flags);
    else if (link_type == 192)
        ppi_flags(record, header_length, flags);
}
