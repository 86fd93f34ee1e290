// The Key Data of a message 3 or a group key message: decrypted under the
// pair's KEK, its GTK installed as the group's session, and under Extended
// Key ID the pairwise key moved to the slot its Key ID names.
#include "decrypt/eapol_key.h"
#include "decrypt/key_derivation.h"

#include <openssl/crypto.h>

namespace {

constexpr int key_encrypted_data = 0x1000; // Key Information: the Key Data is encrypted

// The Key Data of a message 3 or group message 1, decrypted under the KEK
// into `out`: AES key unwrap for every version but 1, RC4 keyed by the
// EAPOL-Key IV and the KEK (256 bytes of keystream skipped) for version 1.
bool decrypt_key_data(const eapol_key& key, const pairwise_protection& protection, secret_bytes& out)
{
    const byte_span kek = std::span(protection.kek).first(protection.suite.kek_length);
    if (key.version == 1) {
        std::array<std::uint8_t, 32> rc4_key{};
        std::copy(key.key_iv.begin(), key.key_iv.end(), rc4_key.begin());
        std::copy(kek.begin(), kek.end(), rc4_key.begin() + 16);
        out.resize(key.key_data.size());
        const bool done = rc4_xor(std::span(rc4_key).first(16 + kek.size()), 256, key.key_data, out.data());
        OPENSSL_cleanse(rc4_key.data(), rc4_key.size());
        return done;
    }
    if (key.key_data.size() < 24 || key.key_data.size() % 8 != 0)
        return false;
    out.resize(key.key_data.size() - 8);
    return aes_key_unwrap(kek, key.key_data, out);
}

// The group cipher of a pair's network: from an RSNE when one was read.
// Without one, from the key descriptor version as before RSNEs were read:
// version 1 is TKIP; otherwise CCMP-128, or TKIP when the key is TKIP's 32
// bytes (a WPA2 network that kept TKIP for its group).
cipher_suite group_cipher_of(const pairwise_protection& protection, const key_data_elements& elements,
                             std::size_t key_length)
{
    cipher_suite named = protection.group_cipher;
    if (elements.has_rsn && elements.rsn.group_cipher >= 0)
        named = elements.rsn.group_cipher < unknown_suite ? static_cast<cipher_suite>(elements.rsn.group_cipher)
                                                          : cipher_suite::none;
    // Under version 1 the network is a TKIP one: a group key of TKIP's
    // length is TKIP's even where an RSNE names another cipher.
    if (named != cipher_suite::none && !(protection.descriptor_version == 1 && key_length == 32))
        return named;
    return protection.descriptor_version == 1 || key_length == 32 ? cipher_suite::tkip : cipher_suite::ccmp128;
}

void install_group_key(handshake_tracker& tracker, const mac_address& transmitter, int key_index,
                       cipher_suite cipher, byte_span key)
{
    // A station without multi-link operation gets the group key of one of
    // an AP MLD's links in a GTK KDE: its frames still come from the AP MLD.
    const mac_address* ap_mld = tracker.mld_of_link.find(transmitter);
    const bool of_ap_mld = ap_mld != nullptr && tracker.ap_mld_traffic.find(*ap_mld) != nullptr;
    session_ptr keys;
    if (make_session(tracker, cipher, transmitter, key, keys,
                     of_ap_mld ? session::multi_link::group : session::multi_link::none,
                     {of_ap_mld ? *ap_mld : mac_address{}, {}}))
        install_group_session(tracker, transmitter, key_index, std::move(keys));
    else if (temporal_key_length(cipher) == 0)
        tracker.unsupported_authenticators.get(transmitter) = true;
    else
        ++tracker.drops.malformed; // a GTK whose length is not its cipher's
}

// Extended Key ID: message 3's Key ID KDE names the slot of the key the
// handshake gave. Message 2 put it in slot 0 (or held it aside, once the
// pair was known to use key IDs); it moves to the slot named, and slot 0
// gets back the key it held before.
void place_by_key_id(handshake_tracker& tracker, const mac_address& authenticator, const mac_address& supplicant,
                     int key_id)
{
    pair_keys* slots = tracker.pairs.find_to_change(make_pair_id(authenticator, supplicant));
    if (slots == nullptr || !slots->newest)
        return;
    slots->extended_key_id = true;
    session_ptr keys = slots->newest;
    if (slots->fresh == keys) {
        slots->fresh.reset();
    } else if (key_id == 1 && slots->current[0] == keys) {
        slots->current[0] = std::move(slots->previous[0]);
        slots->previous[0].reset();
    } else {
        return; // already in its slot
    }
    install_pairwise_session(tracker, authenticator, supplicant, key_id, std::move(keys), nullptr);
}

// Multi-link operation: message 3's MLO Link KDEs name the AP's address on
// each link (the handshake's link among them, which tells the station's
// address there too); its MLO GTK KDEs, and a group message 1's, each
// link's group key. The pair's keys then go to every link now known.
void use_multi_link_key_data(handshake_tracker& tracker, const key_data_elements& elements,
                             const pairwise_protection& protection, const mac_address& authenticator,
                             const mac_address& supplicant)
{
    const mld_pair& mlds = protection.mlds;
    for (std::size_t i = 0; i < elements.link_count; ++i) {
        note_mld_link(tracker, mlds.ap, elements.links[i].link_id, elements.links[i].address, true);
        if (elements.links[i].address == authenticator)
            note_mld_link(tracker, mlds.station, elements.links[i].link_id, supplicant);
    }
    if (elements.group_key_count > 0)
        install_link_group_keys(tracker, elements, mlds,
                                group_cipher_of(protection, elements, elements.group_keys[0].key.size()));
    share_keys_across_links(tracker, authenticator, supplicant, mlds);
}

} // namespace

void use_key_data(decryption& state, const eapol_key& key, const pairwise_protection& protection,
                  const mac_address& authenticator, const mac_address& supplicant, bool message_3)
{
    handshake_tracker& tracker = state.tracker;
    secret_bytes& data = state.key_data;
    // WPA1's key frames (descriptor type 254) predate the Encrypted Key
    // Data bit: a group key message's Key Data is encrypted with the bit
    // clear, and message 3's, which holds no GTK, is sent in the clear.
    const bool encrypted = (key.information & key_encrypted_data) != 0 || (key.descriptor_type == 254 && !message_3);
    if (!encrypted || !decrypt_key_data(key, protection, data)) {
        OPENSSL_cleanse(data.data(), data.size());
        return;
    }
    key_data_elements elements;
    if (key.descriptor_type == 2) {
        if (!parse_key_data(data, elements)) {
            ++tracker.drops.malformed;
        } else {
            if (elements.gtk_key_id >= 0)
                install_group_key(tracker, authenticator, elements.gtk_key_id,
                                  group_cipher_of(protection, elements, elements.gtk.size()), elements.gtk);
            if (message_3 && elements.key_id >= 0)
                place_by_key_id(tracker, authenticator, supplicant, elements.key_id);
            if (protection.multi_link)
                use_multi_link_key_data(tracker, elements, protection, authenticator, supplicant);
        }
    } else if (key.key_length > 0 && data.size() >= static_cast<std::size_t>(key.key_length)) {
        // WPA1's group key message: the key itself, its index in the Key
        // Information field.
        const cipher_suite group = group_cipher_of(protection, elements, static_cast<std::size_t>(key.key_length));
        install_group_key(tracker, authenticator, (key.information >> 4) & 0x3, group,
                          std::span(data).first(static_cast<std::size_t>(key.key_length)));
    }
    OPENSSL_cleanse(data.data(), data.size());
}
