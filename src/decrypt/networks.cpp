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

decryption_ptr make_decryption(const std::vector<user_key>& keys)
{
    decryption_ptr state(new decryption);
    for (const user_key& key : keys)
        add_user_key(*state, key);
    return state;
}

bool follows_handshakes(const decryption& state)
{
    return !state.keys.pmks.empty();
}

void add_user_key(decryption& state, const user_key& key)
{
    ++state.keys.keys_given;
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

void describe_networks(const decryption& state, std::vector<std::string>& lines)
{
    for (const auto& [bssid, entry] : state.tracker.networks.entries) {
        const network_record& network = entry.first;
        if (network.matched_by_key.empty() && network.unmatched == 0)
            continue;
        char address[18];
        std::snprintf(address, sizeof address, "%02x:%02x:%02x:%02x:%02x:%02x", bssid[0], bssid[1], bssid[2], bssid[3],
                      bssid[4], bssid[5]);
        std::string name = std::string("network ") + address;
        if (network.ssid_seen) {
            name += " \"";
            for (std::size_t i = 0; i < network.ssid_length; ++i) {
                const std::uint8_t c = network.ssid[i];
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
        for (const auto& [position, count] : network.matched_by_key) {
            if (count == 0)
                continue;
            char line[256];
            std::snprintf(line, sizeof line, "  %-56s %12lld", (name + ", key " + std::to_string(position)).c_str(),
                          static_cast<long long>(count));
            lines.emplace_back(line);
        }
        if (network.unmatched > 0) {
            char line[256];
            std::snprintf(line, sizeof line, "  %-56s %12lld", (name + ", no key matches").c_str(),
                          static_cast<long long>(network.unmatched));
            lines.emplace_back(line);
        }
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
    return summary;
}
