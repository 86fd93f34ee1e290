// The fields of a protected frame's MAC header that its cipher binds to,
// read through the bounded readers (rc4_ciphers.cpp, aead_ciphers.cpp).
#pragma once

#include "decrypt/decrypt.h"

#include <cstdint>
#include <optional>

struct mac_header {
    int frame_control = 0;
    byte_span address1, address2, address3; // 6 bytes each
    byte_span address4;                     // empty unless ToDS and FromDS
    int sequence_control = 0;
    bool qos = false;
    int qos_control = 0;

    std::uint8_t tid() const { return qos ? static_cast<std::uint8_t>(qos_control & 0x0F) : 0; }
    // CCMP's Nonce Flags (12.5.3.3.4): the priority, or for a management
    // frame the Management bit.
    std::uint8_t nonce_flags() const { return is_management_type(frame_control) ? 0x10 : tid(); }
};

// The header of `frame`, `header_length` bytes long; empty when its fields
// do not all lie within it.
inline std::optional<mac_header> parse_mac_header(byte_span frame, std::size_t header_length)
{
    const byte_span bytes = record_bytes(frame, 0, header_length);
    if (bytes.empty() || header_length < 24)
        return std::nullopt;
    mac_header header;
    header.frame_control = record_le16(bytes, 0);
    header.address1 = record_bytes(bytes, 4, 6);
    header.address2 = record_bytes(bytes, 10, 6);
    header.address3 = record_bytes(bytes, 16, 6);
    header.sequence_control = record_le16(bytes, 22);
    std::size_t at = 24;
    if (is_four_address(header.frame_control)) {
        header.address4 = record_bytes(bytes, at, 6);
        if (header.address4.empty())
            return std::nullopt;
        at += 6;
    }
    if (is_data_type(header.frame_control) && is_qos(header.frame_control)) {
        header.qos = true;
        header.qos_control = record_le16(bytes, at);
        if (header.qos_control < 0)
            return std::nullopt;
    }
    return header;
}
