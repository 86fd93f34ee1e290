// A decrypted frame's record in its own link type, for --decrypt-only.
#include "convert/convert.h"

bool build_decrypted_record(int link_type, std::span<const std::uint8_t> record, std::size_t offset,
                            std::span<const std::uint8_t> plain, std::size_t header_length, std::size_t pad, bool fcs,
                            std::vector<std::uint8_t>& out)
{
    out.clear();
    const std::span<const std::uint8_t> capture_header = record_bytes(record, 0, offset);
    const std::span<const std::uint8_t> padding = record_bytes(record, offset + header_length, pad);
    const std::span<const std::uint8_t> mac_header = record_bytes(plain, 0, header_length);
    if ((offset != 0 && capture_header.empty()) || (pad != 0 && padding.empty()) || mac_header.empty())
        return false;
    const std::span<const std::uint8_t> body = plain.subspan(header_length);
    out.reserve(offset + plain.size() + pad + (fcs ? 4 : 0));
    out.insert(out.end(), capture_header.begin(), capture_header.end());
    out.insert(out.end(), mac_header.begin(), mac_header.end());
    out.insert(out.end(), padding.begin(), padding.end());
    out.insert(out.end(), body.begin(), body.end());
    if (fcs) {
        // Over the frame as sent: the data pad is the capture's, not the frame's.
        const std::uint32_t crc = crc32_of(body, crc32_of(mac_header));
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<std::uint8_t>(crc >> shift));
    }
    const std::size_t removed = record.size() > out.size() ? record.size() - out.size() : 0;
    describe_decrypted_frame(link_type, std::span(out).first(offset), removed);
    return true;
}
