// A run's decryption state as a whole: made from the user's keys, the
// networks its management frames name, and what --stats says of them.
#include "decrypt/state.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>

void decryption_deleter::operator()(decryption* state) const
{
    delete state;
}

decryption_ptr make_decryption(const std::vector<user_key>& keys, const key_log_sink& log)
{
    decryption_ptr state(new decryption);
    state->tracker.log = log;
    for (const user_key& key : keys)
        add_user_key(*state, key);
    return state;
}

bool follows_handshakes(const decryption& state)
{
    return !state.keys.pmks.empty();
}

bool decrypts_wpa(const decryption& state)
{
    return !state.keys.pmks.empty() || state.keys.temporal_keys_given;
}

namespace {

// A key log's temporal key: its session installed now, as if its
// handshake had just been seen; a later handshake replaces it.
void install_temporal_key(decryption& state, const user_key& key)
{
    handshake_tracker& tracker = state.tracker;
    session_ptr keys;
    const byte_span temporal_key = std::span(key.pmk).first(temporal_key_length(key.cipher));
    const bool group = key.type == user_key::kind::group;
    const auto link_kind = !key.multi_link ? session::multi_link::none
                           : group         ? session::multi_link::group
                                           : session::multi_link::pairwise;
    if (!make_session(tracker, key.cipher, key.authenticator, temporal_key, keys, link_kind,
                      mld_pair{key.mlds[0], key.mlds[1]}))
        return;
    state.keys.temporal_keys_given = true;
    if (key.type == user_key::kind::group) {
        install_group_session(tracker, key.authenticator, key.key_id, std::move(keys));
        return;
    }
    if (key.key_id == 1)
        tracker.pairs.get(make_pair_id(key.authenticator, key.supplicant)).extended_key_id = true;
    install_pairwise_session(tracker, key.authenticator, key.supplicant, key.key_id, std::move(keys), nullptr);
}

} // namespace

void add_user_key(decryption& state, const user_key& key)
{
    ++state.keys.keys_given;
    if (key.type == user_key::kind::pairwise || key.type == user_key::kind::group) {
        install_temporal_key(state, key);
        return;
    }
    if (key.type == user_key::kind::wep) {
        state.keys.wep_keys.push_back(key.wep_key);
        return;
    }
    key_store::pmk_entry entry;
    std::copy(key.pmk.begin(), key.pmk.end(), entry.pmk.begin());
    entry.length = key.pmk_length;
    entry.position = state.keys.keys_given;
    state.keys.pmks.push_back(entry);
}

void follow_management_frame(decryption& state, byte_span frame)
{
    const int fc = record_le16(frame, 0);
    if (fc < 0 || !is_management_type(fc) || state.keys.pmks.empty())
        return;
    const int subtype = subtype_of(fc);
    follow_multi_link_frame(state.tracker, frame, subtype);
    if (subtype != 8 && subtype != 5) { // Beacon, Probe Response
        follow_fast_transition_frame(state, frame, subtype);
        return;
    }
    mac_address bssid{};
    if (!record_copy(bssid.data(), frame, 16, 6))
        return;
    // Timestamp, Beacon Interval and Capability Information, then the
    // elements; the SSID is the first.
    constexpr std::size_t elements_at = 24 + 12;
    if (record_u8(frame, elements_at) != 0)
        return;
    const int length = record_u8(frame, elements_at + 1);
    const byte_span ssid = record_bytes(frame, elements_at + 2, static_cast<std::size_t>(std::max(length, 0)));
    if (length < 0 || length > 32 || ssid.size() != static_cast<std::size_t>(length) || std::all_of(ssid.begin(), ssid.end(), [](std::uint8_t b) { return b == 0; }))
        return;
    network_record* network = state.tracker.networks.find_to_change(bssid);
    if (network != nullptr && network->ssid_seen)
        return;
    network_record& record = network != nullptr ? *network : state.tracker.networks.get(bssid);
    std::copy(ssid.begin(), ssid.end(), record.ssid.begin());
    record.ssid_length = ssid.size();
    record.ssid_seen = true;
}

namespace {

std::string address_text(const mac_address& address)
{
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", address[0], address[1], address[2], address[3],
                  address[4], address[5]);
    return text;
}

void add_row(std::vector<std::string>& lines, const std::string& text, std::int64_t count)
{
    char line[256];
    std::snprintf(line, sizeof line, "  %-56s %12lld", text.c_str(), static_cast<long long>(count));
    lines.emplace_back(line);
}

// What the rows of one network say: an AP MLD's links count as one network.
struct network_rows {
    mac_address address{}; // the BSSID, or the AP MLD's address
    const network_record* named = nullptr; // the first record with an SSID
    std::map<int, std::int64_t> matched_by_key;
    std::int64_t unmatched = 0;
    const link_traffic* links = nullptr; // an AP MLD's
};

} // namespace

void describe_networks(const decryption& state, std::vector<std::string>& lines)
{
    const handshake_tracker& tracker = state.tracker;
    std::vector<network_rows> networks;
    for (const auto& [bssid, entry] : tracker.networks.entries) {
        const network_record& network = entry.first;
        if (network.matched_by_key.empty() && network.unmatched == 0)
            continue;
        const mac_address* ap_mld = tracker.mld_of_link.find(bssid);
        const std::shared_ptr<link_traffic>* traffic = ap_mld != nullptr ? tracker.ap_mld_traffic.find(*ap_mld) : nullptr;
        const bool of_mld = traffic != nullptr && *traffic;
        const mac_address& address = of_mld ? *ap_mld : bssid;
        auto rows = std::find_if(networks.begin(), networks.end(),
                                 [&](const network_rows& r) { return r.address == address; });
        if (rows == networks.end()) {
            rows = networks.insert(networks.end(), network_rows{});
            rows->address = address;
            rows->links = of_mld ? traffic->get() : nullptr;
        }
        for (const auto& [position, count] : network.matched_by_key)
            rows->matched_by_key[position] += count;
        rows->unmatched += network.unmatched;
        if (rows->named == nullptr && network.ssid_seen)
            rows->named = &network;
    }
    // An AP MLD's SSID is that of any of its links.
    for (network_rows& rows : networks) {
        if (rows.named != nullptr || rows.links == nullptr)
            continue;
        const std::uint32_t named = rows.links->named.load(std::memory_order_acquire);
        for (std::size_t link = 0; link < rows.links->bssid.size() && rows.named == nullptr; ++link)
            if ((named >> link & 1u) != 0)
                if (const network_record* network = tracker.networks.find(rows.links->bssid[link]);
                    network != nullptr && network->ssid_seen)
                    rows.named = network;
    }
    for (const network_rows& rows : networks) {
        std::string name = std::string("network ") + (rows.links != nullptr ? "AP MLD " : "") + address_text(rows.address);
        if (rows.named != nullptr) {
            name += " \"";
            for (std::size_t i = 0; i < rows.named->ssid_length; ++i) {
                const std::uint8_t c = rows.named->ssid[i];
                if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
                    name += static_cast<char>(c);
                } else {
                    char escaped[5];
                    std::snprintf(escaped, sizeof escaped, "\\x%02x", c);
                    name += escaped;
                }
            }
            name += "\"";
        }
        for (const auto& [position, count] : rows.matched_by_key)
            if (count != 0)
                add_row(lines, name + ", key " + std::to_string(position), count);
        if (rows.unmatched > 0)
            add_row(lines, name + ", no key matches", rows.unmatched);
        if (rows.links == nullptr)
            continue;
        // Each link by its ID and BSSID, and the frames decrypted on it.
        const std::uint32_t named = rows.links->named.load(std::memory_order_acquire);
        for (std::size_t link = 0; link < rows.links->bssid.size(); ++link)
            if ((named >> link & 1u) != 0)
                add_row(lines,
                        "  link " + std::to_string(link) + ", BSSID " + address_text(rows.links->bssid[link]) +
                            ", frames decrypted",
                        rows.links->frames(link));
    }
}

handshake_summary summarize_handshakes(const decryption& state)
{
    const handshake_tracker& tracker = state.tracker;
    handshake_summary summary;
    summary.matched = tracker.handshakes_completed;
    summary.unmatched = tracker.handshakes_unmatched;
    summary.unsupported = tracker.drops.unsupported_akm;
    summary.no_key_of_length = tracker.drops.no_key_of_length;
    summary.malformed = tracker.drops.malformed;
    summary.refused = tracker.drops.key_exchange_refused;
    summary.evicted = tracker.evicted();
    summary.multi_link_refused = tracker.drops.multi_link_refused;
    summary.multi_link = !tracker.ap_mld_traffic.entries.empty();
    return summary;
}
