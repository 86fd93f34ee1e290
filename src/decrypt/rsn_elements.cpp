// The RSNE, WPA1's vendor element and the KDEs (IEEE 802.11-2020, 9.4.2.24
// and 12.7.2), read from a handshake's Key Data through the bounded readers.
#include "decrypt/elements.h"

#include <algorithm>

namespace {

constexpr std::array<std::uint8_t, 3> rsn_oui = {0x00, 0x0F, 0xAC};
constexpr std::array<std::uint8_t, 3> wpa1_oui = {0x00, 0x50, 0xF2};

bool oui_is(byte_span bytes, const std::array<std::uint8_t, 3>& oui)
{
    const byte_span first = record_bytes(bytes, 0, oui.size());
    return !first.empty() && std::equal(oui.begin(), oui.end(), first.begin());
}

// The suite selector at `at` as one number; -1 when it is not all there.
int suite_at(byte_span body, std::size_t at, bool wpa1)
{
    const byte_span selector = record_bytes(body, at, 4);
    if (selector.empty())
        return -1;
    return oui_is(selector, wpa1 ? wpa1_oui : rsn_oui) ? record_u8(selector, 3) : unknown_suite;
}

// A suite list (count, then selectors) at `at`; keeps the first four.
// Returns the offset behind it, or 0 when the list runs past the end.
std::size_t read_suite_list(byte_span body, std::size_t at, bool wpa1, std::array<int, 4>& suites,
                            std::size_t& count)
{
    const int listed = record_le16(body, at);
    if (listed < 0 || record_bytes(body, at + 2, 4 * static_cast<std::size_t>(listed)).size() !=
                          4 * static_cast<std::size_t>(listed))
        return 0;
    count = std::min<std::size_t>(static_cast<std::size_t>(listed), suites.size());
    for (std::size_t i = 0; i < count; ++i)
        suites[i] = suite_at(body, at + 2 + 4 * i, wpa1);
    return at + 2 + 4 * static_cast<std::size_t>(listed);
}

} // namespace

bool parse_rsn_element(byte_span body, bool wpa1, rsn_element& out)
{
    out = rsn_element{};
    out.wpa1 = wpa1;
    if (record_le16(body, 0) != 1)
        return false;
    std::size_t at = 2;
    if (at == body.size())
        return true;
    out.group_cipher = suite_at(body, at, wpa1);
    if (out.group_cipher < 0)
        return false;
    at += 4;
    if (at == body.size())
        return true;
    at = read_suite_list(body, at, wpa1, out.pairwise_ciphers, out.pairwise_count);
    if (at == 0)
        return false;
    if (at == body.size())
        return true;
    at = read_suite_list(body, at, wpa1, out.akms, out.akm_count);
    // Capabilities, PMKIDs and the group management cipher may follow;
    // nothing here needs them.
    return at != 0;
}

bool next_element(byte_span bytes, std::size_t& at, int& id, byte_span& body)
{
    const int element_id = record_u8(bytes, at);
    const int length = record_u8(bytes, at + 1);
    if (element_id < 0 || length < 0)
        return false;
    const byte_span value = record_bytes(bytes, at + 2, static_cast<std::size_t>(length));
    if (value.size() != static_cast<std::size_t>(length))
        return false;
    id = element_id;
    body = value;
    at += 2 + value.size();
    return true;
}

bool parse_key_data(byte_span data, key_data_elements& out)
{
    out = key_data_elements{};
    std::size_t at = 0;
    while (at < data.size()) {
        if (record_u8(data, at) == 0xDD && record_u8(data, at + 1) <= 0) // padding: 0xDD, then zeros to the end
            return true;
        int id = 0;
        byte_span body;
        if (!next_element(data, at, id, body))
            return false;
        if (id == 0x30 && !out.has_rsn) {
            if (!parse_rsn_element(body, false, out.rsn))
                return false;
            out.has_rsn = true;
        } else if (id == 0xDD && oui_is(body, wpa1_oui) && record_u8(body, 3) == 1 && !out.has_rsn) {
            if (!parse_rsn_element(body.subspan(4), true, out.rsn))
                return false;
            out.has_rsn = true;
        } else if (id == 0xDD && oui_is(body, rsn_oui) && body.size() >= 4) {
            const byte_span kde = body.subspan(4);
            switch (record_u8(body, 3)) {
            case 1: // GTK: key ID and Tx bits, a reserved byte, the key
                if (kde.size() < 2 + 5)
                    return false;
                out.gtk_key_id = record_u8(kde, 0) & 0x03;
                out.gtk = kde.subspan(2);
                break;
            case 9: // IGTK: key ID, IPN, the key; protects management frames only
                if (kde.size() < 2 + 6 + 16)
                    return false;
                out.has_igtk = true;
                break;
            case 10: // Key ID: the pairwise key's ID under Extended Key ID
                if (kde.size() < 2)
                    return false;
                out.key_id = record_u8(kde, 0) & 0x03;
                if (out.key_id > 1)
                    return false;
                break;
            default:
                break;
            }
        }
    }
    return true;
}
