#include "convert/convert.h"

namespace {

// Where the radiotap Flags byte stands: 0 when the header has none, and
// flags_malformed when its fields run past it (a header of length 0 too).
constexpr std::size_t flags_malformed = ~std::size_t{0};

std::size_t flags_at(std::span<const std::uint8_t> record, std::size_t header_length)
{
    // The fields start behind the last present word; bit 31 of each word
    // announces another. A chain that runs to the header's end is malformed.
    const std::int64_t first_word = header_length >= 8 ? record_le32(record, 4) : -1;
    if (first_word < 0)
        return flags_malformed;
    std::size_t at = 8;
    for (std::int64_t word = first_word; (word & 0x80000000) != 0; at += 4) {
        word = at + 4 <= header_length ? record_le32(record, at) : -1;
        if (word < 0)
            return flags_malformed;
    }
    if ((first_word & 0x2u) == 0)
        return 0;
    // Only TSFT (bit 0: 8 bytes, aligned to 8 from the header's start) can
    // stand before Flags (bit 1: one byte).
    if ((first_word & 0x1u) != 0)
        at = ((at + 7) & ~std::size_t{7}) + 8;
    return at >= header_length || at >= record.size() ? flags_malformed : at;
}

// The flags are filled in place: built in a returned struct byte by byte,
// then read back whole, they stalled every record on store forwarding.
void radiotap_flags(std::span<const std::uint8_t> record, std::size_t header_length, capture_flags& flags)
{
    const std::size_t at = flags_at(record, header_length);
    if (at == 0)
        return;
    if (at == flags_malformed) {
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

// The item of a Prism (wlan-ng) header that holds the frame's length:
// items of DID, status, length and a 32-bit value follow the message
// code, message length and device name; the frame length is item 10 of
// the message, DID (10 << 12) | message code. 0 when it is not supplied.
std::size_t prism_frame_length_at(std::span<const std::uint8_t> record, std::size_t header_length)
{
    const std::int64_t message = record_le32(record, 0);
    for (std::size_t at = 24; at + 12 <= header_length; at += 12) {
        const std::int64_t did = record_le32(record, at);
        if (message < 0 || did < 0 || did != (0xA000 | message))
            continue;
        const bool supplied = record_le16(record, at + 4) == 0 && record_le16(record, at + 6) == 4;
        return supplied && record_le32(record, at + 8) >= 0 ? at + 8 : 0;
    }
    return 0;
}

} // namespace

void describe_decrypted_frame(int link_type, std::span<std::uint8_t> capture_header, std::size_t removed)
{
    const std::size_t header_length = capture_header.size();
    if (link_type == 127) {
        const std::size_t at = flags_at(capture_header, header_length);
        if (at != 0 && at < header_length)
            capture_header[at] = static_cast<std::uint8_t>(capture_header[at] & ~0x04); // sent with WEP
    } else if (link_type == 119) {
        const std::size_t at = prism_frame_length_at(capture_header, header_length);
        const std::int64_t length = at != 0 ? record_le32(capture_header, at) : -1;
        if (length >= 0 && static_cast<std::uint64_t>(length) >= removed) {
            const auto lowered = static_cast<std::uint32_t>(static_cast<std::uint64_t>(length) - removed);
            for (std::size_t i = 0; i < 4; ++i)
                capture_header[at + i] = static_cast<std::uint8_t>(lowered >> (8 * i));
        }
    }
}

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
