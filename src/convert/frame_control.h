// The Frame Control field (IEEE 802.11-2020, 9.2.4.1), read as a
// little-endian value: its bits, and what they say of a frame. Every
// part of the program asks them here.
#pragma once

#include <cstddef>

constexpr int fc_type = 0x000C;
constexpr int fc_type_data = 0x0008;
constexpr int fc_subtype = 0x00F0;
constexpr int fc_no_body = 0x0040;    // Data subtype bit 2: Null, CF-only
constexpr int fc_qos = 0x0080;        // Data subtype bit 3: QoS Control present
constexpr int fc_to_ds = 0x0100;
constexpr int fc_from_ds = 0x0200;
constexpr int fc_more_fragments = 0x0400;
constexpr int fc_retry = 0x0800;
constexpr int fc_power_management = 0x1000;
constexpr int fc_more_data = 0x2000;
constexpr int fc_protected = 0x4000;
constexpr int fc_order = 0x8000;      // +HTC on QoS Data and management frames

// The Protected bit where it stands in a frame's second byte.
constexpr unsigned protected_bit_of_second_byte = fc_protected >> 8;

constexpr bool is_data_type(int fc) { return (fc & fc_type) == fc_type_data; }
constexpr bool is_management_type(int fc) { return (fc & fc_type) == 0x0000; }
constexpr int subtype_of(int fc) { return (fc & fc_subtype) >> 4; }
constexpr bool carries_data(int fc) { return (fc & fc_no_body) == 0; }
constexpr bool is_qos(int fc) { return (fc & fc_qos) != 0; }
constexpr bool is_to_ds(int fc) { return (fc & fc_to_ds) != 0; }
constexpr bool is_from_ds(int fc) { return (fc & fc_from_ds) != 0; }
constexpr bool is_four_address(int fc) { return (fc & (fc_to_ds | fc_from_ds)) == (fc_to_ds | fc_from_ds); }
constexpr bool has_more_fragments(int fc) { return (fc & fc_more_fragments) != 0; }
constexpr bool is_retry(int fc) { return (fc & fc_retry) != 0; }
constexpr bool is_protected(int fc) { return (fc & fc_protected) != 0; }
constexpr bool has_order(int fc) { return (fc & fc_order) != 0; }

// One fragment of a larger MSDU: More Fragments set, or a fragment number
// (the low four bits of Sequence Control) other than 0.
constexpr bool is_fragment(int fc, int sequence_control)
{
    return has_more_fragments(fc) || (sequence_control & 0x000F) != 0;
}

// The MAC header length of a management frame: 24, plus 4 for the HT
// Control field that the Order bit announces.
constexpr std::size_t management_header_length(int fc) { return 24u + (has_order(fc) ? 4u : 0u); }

// The MAC header length of a Data frame from its Frame Control: 24, plus 6
// for the four-address form, plus 2 for QoS Control, plus 4 for the HT
// Control field that the Order bit announces on QoS Data.
constexpr std::size_t data_header_length(int fc)
{
    const bool qos = is_qos(fc);
    return 24u + (is_four_address(fc) ? 6u : 0u) + (qos ? 2u : 0u) + (qos && has_order(fc) ? 4u : 0u);
}
