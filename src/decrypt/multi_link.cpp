// Multi-link operation (IEEE 802.11be-2024): an AP MLD runs one BSS per
// link, each with its own BSSID, and a non-AP MLD has an address on each
// link. One 4-way handshake, on one link, gives the pair one PTK, bound to
// the two MLD addresses (12.7.1.3: AA and SPA are the MLD addresses), and
// each link its own group keys (MLO GTK KDEs). Frames between the two MLDs
// go on any link, with that link's addresses; the tracker installs the
// pair's keys under each link's pair of addresses, each session knowing
// the MLD addresses its nonce and AAD are built with.
//
// Where the links are learned: the Basic Multi-Link element of Beacons and
// Probe Responses (the AP MLD's address, the link's ID), of (Re)Association
// Requests (the non-AP MLD's address, a per-STA profile with its address
// on each other link) and Responses (the AP's address on each other link);
// the MAC Address KDE (messages 1 to 4) and MLO Link KDEs (messages 2 and
// 3) of the handshake.
#include "decrypt/state.h"

#include <algorithm>

void note_mld_link(handshake_tracker& tracker, const mac_address& mld, int link_id, const mac_address& link_address,
                   bool ap)
{
    if ((link_address[0] & 0x01) != 0)
        return; // a group address is nobody's link
    tracker.mld_of_link.get(link_address) = mld;
    if (link_id < 0 || link_id >= max_links)
        return;
    mld_links& links = tracker.mld_link_table.get(mld);
    links.address[static_cast<std::size_t>(link_id)] = link_address;
    links.known = static_cast<std::uint16_t>(links.known | 1u << link_id);
    if (!ap)
        return;
    auto& traffic = tracker.ap_mld_traffic.get(mld);
    if (!traffic)
        traffic = std::make_shared<link_traffic>();
    const std::uint32_t bit = 1u << link_id;
    if ((traffic->named.load(std::memory_order_relaxed) & bit) == 0) {
        traffic->bssid[static_cast<std::size_t>(link_id)] = link_address;
        traffic->named.fetch_or(bit, std::memory_order_release);
    }
}

namespace {

// The Link ID under which `mld` has `link_address`; -1 when not known.
int link_id_of(const handshake_tracker& tracker, const mac_address& mld, const mac_address& link_address)
{
    const mld_links* links = tracker.mld_link_table.find(mld);
    if (links == nullptr)
        return -1;
    for (int id = 0; id < max_links; ++id)
        if ((links->known >> id & 1u) != 0 && links->address[static_cast<std::size_t>(id)] == link_address)
            return id;
    return -1;
}

// Where a management frame's elements begin, by subtype: behind the
// fixed fields of a (Re)Association Request or Response, Probe Response
// or Beacon; 0 for other subtypes.
std::size_t elements_at(int subtype)
{
    switch (subtype) {
    case 0: // Association Request: Capability, Listen Interval
        return 24 + 4;
    case 1: // Association Response: Capability, Status, AID
    case 3: // Reassociation Response
        return 24 + 6;
    case 2: // Reassociation Request: Capability, Listen Interval, Current AP
        return 24 + 10;
    case 5: // Probe Response: Timestamp, Beacon Interval, Capability
    case 8: // Beacon
        return 24 + 12;
    default:
        return 0;
    }
}

} // namespace

void follow_multi_link_frame(handshake_tracker& tracker, byte_span frame, int subtype)
{
    // The elements follow the header (28 bytes with an HT Control field)
    // and the subtype's fixed fields.
    const int fc = record_le16(frame, 0);
    const std::size_t fixed = elements_at(subtype);
    const std::size_t at_first = fixed + (has_order(fc) ? 4 : 0);
    mac_address receiver{};
    mac_address transmitter{};
    if (fixed == 0 || fc < 0 || !record_copy(receiver.data(), frame, 4, 6) || !record_copy(transmitter.data(), frame, 10, 6))
        return;
    const byte_span elements = record_bytes(frame, at_first, frame.size() > at_first ? frame.size() - at_first : 0);
    std::size_t at = 0;
    while (at < elements.size()) {
        int id = 0;
        byte_span body;
        if (!next_element(elements, at, id, body))
            return; // a frame cut short: the elements before are read
        if (id != 255 || record_u8(body, 0) != 107)
            continue;
        multi_link_element element;
        if (!parse_basic_multi_link(body, element)) {
            if ((record_le16(body, 1) & 0x7) == 0) // a Basic Multi-Link element that lies
                ++tracker.drops.multi_link_refused;
            return;
        }
        const bool from_ap = subtype != 0 && subtype != 2;
        // The link the frame is sent on: its ID, from the frame itself or
        // from what the AP MLD's frames said of the AP's address.
        const mac_address& ap_address = from_ap ? transmitter : receiver;
        int link_id = element.link_id;
        if (from_ap) {
            note_mld_link(tracker, element.mld_address, link_id, transmitter, true);
        } else {
            const mac_address* ap_mld = tracker.mld_of_link.find(ap_address);
            link_id = ap_mld != nullptr ? link_id_of(tracker, *ap_mld, ap_address) : -1;
            note_mld_link(tracker, element.mld_address, link_id, transmitter);
        }
        for (std::size_t i = 0; i < element.profile_count; ++i)
            note_mld_link(tracker, element.mld_address, element.profiles[i].link_id, element.profiles[i].address,
                          from_ap);
        // A Response also tells the station's address on the setup link.
        if (from_ap && subtype != 5 && subtype != 8 && link_id >= 0)
            if (const mac_address* station_mld = tracker.mld_of_link.find(receiver))
                note_mld_link(tracker, *station_mld, link_id, receiver);
        return;
    }
}

void share_keys_across_links(handshake_tracker& tracker, const mac_address& authenticator,
                             const mac_address& supplicant, const mld_pair& mlds)
{
    const pair_keys* setup = tracker.pairs.find(make_pair_id(authenticator, supplicant));
    const mld_links* ap_links = tracker.mld_link_table.find(mlds.ap);
    const mld_links* station_links = tracker.mld_link_table.find(mlds.station);
    if (setup == nullptr || ap_links == nullptr || station_links == nullptr)
        return;
    const pair_keys keys = *setup; // the map may move entries as it grows
    const std::uint16_t both = ap_links->known & station_links->known;
    std::array<pair_id, max_links> others{};
    std::array<std::array<mac_address, 2>, max_links> addresses{}; // the AP's and the station's on the link
    std::size_t count = 0;
    for (int id = 0; id < max_links; ++id) {
        if ((both >> id & 1u) == 0)
            continue;
        const auto slot = static_cast<std::size_t>(id);
        const pair_id link = make_pair_id(ap_links->address[slot], station_links->address[slot]);
        if (link != make_pair_id(authenticator, supplicant)) {
            addresses[count] = {ap_links->address[slot], station_links->address[slot]};
            others[count++] = link;
        }
    }
    for (std::size_t i = 0; i < count; ++i) {
        pair_keys& link = tracker.pairs.get(others[i]);
        // The key log has a line for each link's addresses, which a run
        // given the log knows the link's frames by.
        for (std::size_t slot = 0; slot < 2; ++slot)
            if (keys.current[slot] && link.current[slot] != keys.current[slot])
                log_pairwise_session(tracker, addresses[i][0], addresses[i][1], static_cast<int>(slot),
                                     *keys.current[slot]);
        link = keys;
        tracker.unmatched_pairs.erase(others[i]);
        tracker.unsupported_pairs.erase(others[i]);
    }
}

void install_link_group_keys(handshake_tracker& tracker, const key_data_elements& elements, const mld_pair& mlds,
                             cipher_suite cipher)
{
    for (std::size_t i = 0; i < elements.group_key_count; ++i) {
        const mlo_group_key& group = elements.group_keys[i];
        const mac_address* bssid = nullptr;
        for (std::size_t l = 0; l < elements.link_count; ++l)
            if (elements.links[l].link_id == group.link_id)
                bssid = &elements.links[l].address;
        const mld_links* known = tracker.mld_link_table.find(mlds.ap);
        if (bssid == nullptr && known != nullptr && (known->known >> group.link_id & 1u) != 0)
            bssid = &known->address[static_cast<std::size_t>(group.link_id)];
        if (bssid == nullptr)
            continue; // a link whose BSSID nothing named
        session_ptr keys;
        if (make_session(tracker, cipher, *bssid, group.key, keys, session::multi_link::group, mlds))
            install_group_session(tracker, *bssid, group.key_id, std::move(keys));
        else
            ++tracker.drops.malformed; // a GTK whose length is not its cipher's
    }
}

// Multi-link operation: message 2's MAC Address KDE names the non-AP
// MLD, its MLO Link KDEs the station's other links. The AP MLD is message
// 1's MAC Address KDE, or else the one whose link the handshake runs on.
void note_station_mld(handshake_tracker& tracker, pending_handshake& pending, const key_data_elements& elements)
{
    pending.have_supplicant_mld = elements.has_mld_address;
    if (!elements.has_mld_address)
        return;
    pending.supplicant_mld = elements.mld_address;
    note_mld_link(tracker, elements.mld_address, -1, pending.supplicant);
    for (std::size_t i = 0; i < elements.link_count; ++i)
        note_mld_link(tracker, elements.mld_address, elements.links[i].link_id, elements.links[i].address);
    if (!pending.have_authenticator_mld)
        if (const mac_address* ap_mld = tracker.mld_of_link.find(pending.authenticator)) {
            pending.authenticator_mld = *ap_mld;
            pending.have_authenticator_mld = true;
        }
}
