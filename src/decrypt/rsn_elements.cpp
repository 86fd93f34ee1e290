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

// Each Link ID once, and never the reserved 15: a KDE or profile that
// repeats one lies.
bool add_link(std::array<mlo_link, max_links>& links, std::size_t& count, int link_id, byte_span address)
{
    if (link_id >= max_links || count == links.size())
        return false;
    for (std::size_t i = 0; i < count; ++i)
        if (links[i].link_id == link_id)
            return false;
    links[count].link_id = link_id;
    std::copy_n(address.begin(), 6, links[count].address.begin());
    ++count;
    return true;
}

bool add_group_key(key_data_elements& out, int link_id, int key_id, byte_span key)
{
    if (link_id >= max_links || out.group_key_count == out.group_keys.size())
        return false;
    for (std::size_t i = 0; i < out.group_key_count; ++i)
        if (out.group_keys[i].link_id == link_id)
            return false;
    out.group_keys[out.group_key_count++] = {link_id, key_id, key};
    return true;
}

} // namespace

bool parse_basic_multi_link(byte_span body, multi_link_element& out)
{
    out = multi_link_element{};
    // Extension ID 107, Multi-Link Control (Type 0: Basic, in bits 0-2;
    // bit 4: Link ID Info present), then the Common Info behind its length.
    const int control = record_le16(body, 1);
    if (record_u8(body, 0) != 107 || control < 0 || (control & 0x7) != 0)
        return false;
    constexpr std::size_t common_at = 3;
    const int common_length = record_u8(body, common_at);
    const bool has_link_id = (control & 0x0010) != 0;
    const byte_span common = record_bytes(body, common_at, static_cast<std::size_t>(std::max(common_length, 0)));
    if (common_length < (has_link_id ? 8 : 7) || common.size() != static_cast<std::size_t>(common_length))
        return false;
    std::copy_n(common.begin() + 1, 6, out.mld_address.begin());
    if (has_link_id)
        out.link_id = common[7] & 0x0F;
    // The Link Info: subelements, Per-STA Profile (0) among them: STA
    // Control (Link ID in bits 0-3, bit 5: STA MAC Address present), then
    // the STA Info behind its length, the address first.
    const byte_span links = body.subspan(common_at + common.size());
    std::size_t at = 0;
    while (at < links.size()) {
        int id = 0;
        byte_span profile;
        if (!next_element(links, at, id, profile))
            return false;
        if (id != 0)
            continue;
        const int sta_control = record_le16(profile, 0);
        const int info_length = record_u8(profile, 2);
        if (sta_control < 0 || info_length < 1 ||
            record_bytes(profile, 2, static_cast<std::size_t>(info_length)).size() != static_cast<std::size_t>(info_length))
            return false;
        if ((sta_control & 0x0020) == 0)
            continue;
        if (info_length < 7 || !add_link(out.profiles, out.profile_count, sta_control & 0x0F, profile.subspan(3, 6)))
            return false;
    }
    return true;
}

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
            case 3: // MAC Address: the sender's MLD address
                if (kde.size() < 6)
                    return false;
                std::copy_n(kde.begin(), 6, out.mld_address.begin());
                out.has_mld_address = true;
                break;
            case 16: // MLO GTK: Key ID (bits 0-1) and Link ID (bits 4-7), a 6-byte PN, the key
                if (kde.size() < 1 + 6 + 5 || !add_group_key(out, kde[0] >> 4, kde[0] & 0x03, kde.subspan(7)))
                    return false;
                break;
            case 19: // MLO Link: Link Info (Link ID in bits 0-3), the link address, optional RSNE and RSNXE
                if (kde.size() < 1 + 6 || !add_link(out.links, out.link_count, kde[0] & 0x0F, kde.subspan(1, 6)))
                    return false;
                break;
            default:
                break;
            }
        }
    }
    return true;
}
