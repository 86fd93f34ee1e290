// Installed sessions and the decryption of protected Data frames with them.
// A session is made once, shared read-only by pointer and wiped when its
// last holder lets it go; the cipher contexts live in the decryptor.
#include "decrypt/state.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <bit>
#include <cstring>

session::~session()
{
    OPENSSL_cleanse(temporal_key.data(), temporal_key.size());
}

pairwise_protection::~pairwise_protection()
{
    OPENSSL_cleanse(kck.data(), kck.size());
    OPENSSL_cleanse(kek.data(), kek.size());
}

pair_id make_pair_id(const mac_address& a, const mac_address& b)
{
    pair_id id{};
    const bool a_first = a < b;
    std::copy((a_first ? a : b).begin(), (a_first ? a : b).end(), id.begin());
    std::copy((a_first ? b : a).begin(), (a_first ? b : a).end(), id.begin() + 6);
    return id;
}

group_id make_group_id(const mac_address& transmitter, int key_index)
{
    group_id id{};
    std::copy(transmitter.begin(), transmitter.end(), id.begin());
    id[6] = static_cast<std::uint8_t>(key_index & 0x3);
    return id;
}

std::int64_t handshake_tracker::evicted() const
{
    return pending.evicted + pairs.evicted + groups.evicted + networks.evicted + unmatched_pairs.evicted +
           unmatched_authenticators.evicted + unsupported_pairs.evicted + unsupported_authenticators.evicted +
           fast_transitions.evicted + tdls_links.evicted + mld_of_link.evicted + mld_link_table.evicted +
           ap_mld_traffic.evicted;
}

bool make_session(handshake_tracker& tracker, cipher_suite cipher, const mac_address& authenticator,
                  byte_span temporal_key, session_ptr& out, session::multi_link kind, const mld_pair& mlds)
{
    const std::size_t length = temporal_key_length(cipher);
    if (length == 0 || temporal_key.size() != length)
        return false;
    auto made = std::make_shared<session>();
    made->id = tracker.next_session_id++;
    made->cipher = cipher;
    made->authenticator = authenticator;
    std::copy(temporal_key.begin(), temporal_key.end(), made->temporal_key.begin());
    made->temporal_key_length = length;
    made->link_kind = kind;
    made->mlds = mlds;
    if (kind != session::multi_link::none) {
        auto& traffic = tracker.ap_mld_traffic.get(mlds.ap);
        if (!traffic)
            traffic = std::make_shared<link_traffic>();
        made->traffic = traffic;
    }
    out = std::move(made);
    return true;
}

namespace {

bool same_key(const session_ptr& a, const session_ptr& b)
{
    return a && b && a->cipher == b->cipher && a->temporal_key_length == b->temporal_key_length &&
           CRYPTO_memcmp(a->temporal_key.data(), b->temporal_key.data(), a->temporal_key_length) == 0;
}

// Hands a key just installed to the key log: a pairwise key (`supplicant`
// given) or a group key. The line is wiped once written.
void log_session(const handshake_tracker& tracker, const mac_address& authenticator, const mac_address* supplicant,
                 int key_id, const session& keys)
{
    if (tracker.log.write_line == nullptr)
        return;
    std::array<char, key_line_size> line{};
    const std::array<mac_address, 2> mlds = {keys.mlds.ap, keys.mlds.station};
    const std::size_t size =
        format_key_line(authenticator, supplicant, key_id, keys.cipher,
                        std::span(keys.temporal_key).first(keys.temporal_key_length), line,
                        keys.link_kind != session::multi_link::none ? &mlds : nullptr);
    if (size != 0)
        tracker.log.write_line(tracker.log.owner, line.data(), size);
    wipe(line.data(), line.size());
}

} // namespace

void log_pairwise_session(const handshake_tracker& tracker, const mac_address& authenticator,
                          const mac_address& supplicant, int key_id, const session& keys)
{
    log_session(tracker, authenticator, &supplicant, key_id, keys);
}

void install_pairwise_session(handshake_tracker& tracker, const mac_address& authenticator,
                              const mac_address& supplicant, int key_id, session_ptr keys,
                              std::shared_ptr<const pairwise_protection> protection)
{
    const pair_id pair = make_pair_id(authenticator, supplicant);
    pair_keys& slots = tracker.pairs.get(pair);
    const std::size_t slot = key_id == 1 ? 1 : 0;
    if (keys && !same_key(slots.current[slot], keys))
        log_session(tracker, authenticator, &supplicant, static_cast<int>(slot), *keys);
    if (slots.current[slot] != keys) {
        if (slots.current[slot])
            slots.previous[slot] = std::move(slots.current[slot]);
        slots.current[slot] = std::move(keys);
    }
    if (protection)
        slots.protection = std::move(protection);
    tracker.unmatched_pairs.erase(pair);
    tracker.unsupported_pairs.erase(pair);
}

void install_group_session(handshake_tracker& tracker, const mac_address& transmitter, int key_index,
                           session_ptr keys)
{
    session_ptr& installed = tracker.groups.get(make_group_id(transmitter, key_index));
    if (keys && !same_key(installed, keys))
        log_session(tracker, transmitter, nullptr, key_index, *keys);
    installed = std::move(keys);
}


aead_key* decryptor_key(decryptor& frames, const session& keys)
{
    bool hit = false;
    auto& slot = cache_slot(frames.cache, frames.uses, keys.id, hit);
    if (hit)
        return &slot.key;
    slot.session_id = 0;
    if (!aead_key_set(slot.key, keys.cipher, std::span(keys.temporal_key).first(keys.temporal_key_length)))
        return nullptr;
    slot.session_id = keys.id;
    return &slot.key;
}

record_fate prepare_protected_frame(byte_span frame, bool fcs_at_end, bool data_pad, std::vector<std::uint8_t>& unpadded,
                                    protected_frame& out)
{
    if (fcs_at_end) {
        if (frame.size() < 4)
            return record_fate::too_short;
        frame = frame.first(frame.size() - 4);
    }
    const int fc = record_le16(frame, 0);
    const std::size_t header_length =
        fc >= 0 && is_management_type(fc) ? management_header_length(fc) : data_header_length(fc < 0 ? 0 : fc);
    if (fc < 0 || frame.size() < header_length)
        return record_fate::too_short;
    // The ciphers take the MAC header and the cipher header together:
    // padding between them goes.
    if (data_pad) {
        const std::size_t body = (header_length + 3) & ~std::size_t{3};
        if (frame.size() < body)
            return record_fate::too_short;
        unpadded.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(header_length));
        unpadded.insert(unpadded.end(), frame.begin() + static_cast<std::ptrdiff_t>(body), frame.end());
        frame = unpadded;
    }
    // The key ID octet, fourth of the cipher header: Ext IV, key ID.
    const int key_id = record_u8(frame, header_length + 3);
    if (key_id < 0)
        return record_fate::too_short;
    out.frame = frame;
    out.header_length = header_length;
    out.fcs_announced = fcs_at_end;
    out.extended_iv = (key_id & 0x20) != 0;
    out.key_index = key_id >> 6;
    if (!record_copy(out.receiver.data(), frame, 4, 6) || !record_copy(out.transmitter.data(), frame, 10, 6))
        return record_fate::too_short;
    return record_fate::decrypted;
}

byte_span frame_without_its_fcs(byte_span frame)
{
    if (frame.size() < 4)
        return {};
    const byte_span rest = frame.first(frame.size() - 4);
    const std::int64_t stated = record_le32(frame, frame.size() - 4);
    return crc32_of(rest) == static_cast<std::uint32_t>(stated) ? rest : byte_span{};
}

namespace {

bool is_aead(cipher_suite cipher)
{
    return cipher == cipher_suite::ccmp128 || cipher == cipher_suite::ccmp256 || cipher == cipher_suite::gcmp128 ||
           cipher == cipher_suite::gcmp256;
}

} // namespace

const session_ptr* settled_aead_session(decryption& state, const protected_frame& frame)
{
    if (!frame.extended_iv || !decrypts_wpa(state))
        return nullptr;
    handshake_tracker& tracker = state.tracker;
    // A capture's frames come from few pairs: the answer for the frame's
    // addresses and key index stands while the pairs and groups stay as
    // they were, and the maps' lookups cost more than the rest of a frame.
    const std::uint64_t receiver = address_number(frame.receiver.data());
    const std::uint64_t transmitter =
        address_number(frame.transmitter.data()) | static_cast<std::uint64_t>(frame.key_index & 0x3) << 48;
    std::uint64_t mixed = receiver ^ std::rotl(transmitter, 24);
    mixed = (mixed ^ mixed >> 30) * 0xBF58476D1CE4E5B9u;
    mixed = (mixed ^ mixed >> 27) * 0x94D049BB133111EBu;
    static_assert(settled_sets == 256, "the set is the hash's top 8 bits");
    settled_set& set = state.settled[mixed >> 56];
    for (const settled_lookup& remembered : set)
        if (remembered.receiver == receiver && remembered.transmitter == transmitter &&
            remembered.pairs_version == tracker.pairs.version && remembered.groups_version == tracker.groups.version)
            return remembered.found;
    const session_ptr* keys = nullptr;
    if ((frame.receiver[0] & 0x01) != 0) {
        keys = tracker.groups.find(make_group_id(frame.transmitter, frame.key_index));
    } else {
        // Only the slot's key can decrypt the frame, and whether it does
        // changes no slot: no earlier key waits to be let go, no fresh one
        // to be placed.
        const pair_keys* slots = tracker.pairs.find(make_pair_id(frame.receiver, frame.transmitter));
        const std::size_t slot = frame.key_index == 1 ? 1 : 0;
        if (slots != nullptr && !slots->fresh && !slots->previous[slot])
            keys = &slots->current[slot];
    }
    if (keys != nullptr && (!*keys || !is_aead((*keys)->cipher)))
        keys = nullptr;
    set[1] = set[0];
    set[0] = {receiver, transmitter, tracker.pairs.version, tracker.groups.version, keys};
    return keys;
}

void finish_decrypted_frame(decryption& state, std::span<std::uint8_t> plain, std::size_t header_length)
{
    plain[1] = static_cast<std::uint8_t>(plain[1] & ~protected_bit_of_second_byte);
    if (!follows_handshakes(state))
        return;
    // TDLS setups are followed only once decrypted: a direct link's key
    // then needs a pair's key as well as its own MIC.
    const byte_span plain_body = byte_span(plain).subspan(header_length);
    if (starts_key_exchange(plain_body) == key_exchange::tdls)
        follow_tdls_frame(state, plain_body);
    else
        follow_eapol_frame(state, plain, plain_body);
}

namespace {

// A unicast robust management frame (12.6.11): Disassociation,
// Deauthentication, Action and Action No Ack, protected under the pair's
// CCMP or GCMP key. Group-addressed ones carry BIP's MIC, no cipher.
bool is_robust_unicast_management(int fc, const protected_frame& prepared)
{
    const int subtype = subtype_of(fc);
    return (subtype == 10 || subtype == 12 || subtype == 13 || subtype == 14) && !is_to_ds(fc) && !is_from_ds(fc) &&
           prepared.extended_iv && (prepared.receiver[0] & 0x01) == 0;
}

// decrypt_data_frame and decrypt_frame_as_sent: the frame found its key
// as every protected frame does, by its addresses and key ID; `used`, the
// session that opened it.
record_fate decrypt_protected_frame(decryption& state, byte_span captured, bool fcs_at_end, bool data_pad,
                                    std::vector<std::uint8_t>& plain, bool* unannounced_fcs, const session*& used)
{
    protected_frame prepared;
    const record_fate ready = prepare_protected_frame(captured, fcs_at_end, data_pad, state.frames.unpadded, prepared);
    if (ready != record_fate::decrypted)
        return ready;
    const bool management = is_management_type(record_le16(captured, 0));
    if (management && !is_robust_unicast_management(record_le16(captured, 0), prepared))
        return record_fate::protected_unsupported;
    const byte_span frame = prepared.frame;
    const std::size_t header_length = prepared.header_length;
    const bool extended_iv = prepared.extended_iv;
    const int key_index = prepared.key_index;
    const mac_address& receiver = prepared.receiver;
    const mac_address& transmitter = prepared.transmitter;
    plain.resize(header_length + frame.size());
    std::uint8_t* const body = plain.data() + header_length;

    bool retried = false;
    const auto attempt = [&](auto&& decrypt) -> int {
        const int length = decrypt(frame);
        const byte_span again = frame_to_retry(frame, fcs_at_end, length);
        if (again.empty())
            return length;
        const int shorter = decrypt(again);
        retried = shorter >= 0;
        return shorter;
    };
    const auto decrypt_with = [&](const session& keys) -> int {
        if (management && !is_aead(keys.cipher))
            return -1;
        if (keys.cipher == cipher_suite::tkip) {
            const byte_span tk = std::span(keys.temporal_key).first(keys.temporal_key_length);
            const bool from_authenticator = transmitter == keys.authenticator;
            return attempt([&](byte_span f) { return tkip_decrypt(tk, from_authenticator, f, header_length, body); });
        }
        aead_key* context = decryptor_key(state.frames, keys);
        if (context == nullptr)
            return -1;
        return attempt([&](byte_span f) { return aead_decrypt(*context, f, header_length, body, mlds_of(keys)); });
    };
    const auto decrypt_under = [&](const session& keys) -> int {
        used = &keys;
        return decrypt_with(keys);
    };

    handshake_tracker& tracker = state.tracker;
    int length = -1;
    if (!extended_iv) {
        if (state.keys.wep_keys.empty())
            return record_fate::protected_no_key;
        for (const auto& key : state.keys.wep_keys) {
            length = attempt([&](byte_span f) { return wep_decrypt(key, f, header_length, body); });
            if (length >= 0)
                break;
        }
    } else {
        if (!decrypts_wpa(state))
            return record_fate::protected_no_key;
        if ((receiver[0] & 0x01) != 0) {
            const session_ptr* group = tracker.groups.find(make_group_id(transmitter, key_index));
            if (group == nullptr || !*group) {
                if (tracker.unsupported_authenticators.find(transmitter) != nullptr)
                    return record_fate::protected_unsupported;
                return tracker.unmatched_authenticators.find(transmitter) != nullptr ? record_fate::protected_unmatched
                                                                                     : record_fate::protected_no_session;
            }
            length = decrypt_under(**group);
        } else {
            const pair_id pair = make_pair_id(receiver, transmitter);
            const pair_keys* slots = tracker.pairs.find(pair);
            if (slots == nullptr || (!slots->current[0] && !slots->current[1] && !slots->fresh)) {
                if (tracker.unsupported_pairs.find(pair) != nullptr)
                    return record_fate::protected_unsupported;
                return tracker.unmatched_pairs.find(pair) != nullptr ? record_fate::protected_unmatched
                                                                     : record_fate::protected_no_session;
            }
            // The frame's key ID picks the key under Extended Key ID; the
            // slot's key before its rekey, and a key whose ID message 3
            // did not tell, are tried when it fails.
            const std::size_t slot = key_index == 1 ? 1 : 0;
            if (slots->current[slot])
                length = decrypt_under(*slots->current[slot]);
            if (length >= 0) {
                if (slots->previous[slot])
                    tracker.pairs.find_to_change(pair)->previous[slot].reset();
            } else if (slots->fresh && (length = decrypt_under(*slots->fresh)) >= 0) {
                pair_keys& changed = *tracker.pairs.find_to_change(pair);
                // Its key ID is known now: the frame's.
                log_pairwise_session(tracker, changed.fresh->authenticator,
                                     changed.fresh->authenticator == receiver ? transmitter : receiver,
                                     static_cast<int>(slot), *changed.fresh);
                if (changed.current[slot])
                    changed.previous[slot] = std::move(changed.current[slot]);
                changed.current[slot] = std::move(changed.fresh);
                changed.fresh.reset();
            } else if (slots->previous[slot]) {
                length = decrypt_under(*slots->previous[slot]);
            }
        }
    }
    if (length < 0)
        return record_fate::integrity_failed;

    std::copy_n(frame.begin(), header_length, plain.begin());
    plain.resize(header_length + static_cast<std::size_t>(length));
    if (unannounced_fcs != nullptr)
        *unannounced_fcs = retried;
    if (management)
        plain[1] = static_cast<std::uint8_t>(plain[1] & ~protected_bit_of_second_byte);
    else
        finish_decrypted_frame(state, plain, header_length);
    return record_fate::decrypted;
}

} // namespace

record_fate decrypt_data_frame(decryption& state, byte_span frame, bool fcs_at_end, bool data_pad,
                               std::vector<std::uint8_t>& plain, std::size_t& frame_at)
{
    frame_at = 0;
    const session* used = nullptr;
    const record_fate fate = decrypt_protected_frame(state, frame, fcs_at_end, data_pad, plain, nullptr, used);
    if (fate == record_fate::decrypted && used != nullptr)
        frame_at = finish_multi_link_frame(*used, plain, finishing_thread::reader);
    return fate;
}

record_fate decrypt_frame_as_sent(decryption& state, byte_span frame, bool fcs_at_end, bool data_pad,
                                  std::vector<std::uint8_t>& plain, bool& unannounced_fcs)
{
    const session* used = nullptr;
    const bool management = is_management_type(record_le16(frame, 0));
    const record_fate fate =
        decrypt_protected_frame(state, frame, fcs_at_end, data_pad && !management, plain, &unannounced_fcs, used);
    if (fate == record_fate::decrypted && used != nullptr)
        count_multi_link_frame(*used, plain, finishing_thread::reader);
    return fate;
}

void count_multi_link_frame(const session& keys, std::span<const std::uint8_t> plain, finishing_thread thread)
{
    const int fc = record_le16(plain, 0);
    if (keys.link_kind == session::multi_link::none || !keys.traffic || fc < 0 || plain.size() < 24)
        return;
    // The link the frame came on: its BSSID is the AP's address as sent,
    // A1 to the AP, A2 from it.
    const std::uint8_t* const bssid = plain.data() + (is_to_ds(fc) && !is_from_ds(fc) ? 4 : 10);
    for (std::uint32_t named = keys.traffic->named.load(std::memory_order_acquire); named != 0; named &= named - 1) {
        const auto link = static_cast<std::size_t>(std::countr_zero(named));
        if (same_address(bssid, keys.traffic->bssid[link].data())) {
            keys.traffic->count(thread, link);
            return;
        }
    }
}

std::size_t finish_multi_link_frame(const session& keys, std::span<std::uint8_t> plain, finishing_thread thread)
{
    if (keys.link_kind == session::multi_link::none) // every frame of a one-link network
        return 0;
    // The first 24 bytes (Frame Control to Sequence Control) are rewritten
    // in a copy and stored once: bytes stored piecemeal and then read
    // whole make the core wait for the stores, on every frame.
    std::array<std::uint8_t, 24> head;
    if (!record_copy(head.data(), plain, 0, head.size()))
        return 0;
    count_multi_link_frame(keys, head, thread);
    const int fc = head[0] | head[1] << 8;
    std::uint8_t* const a1 = head.data() + 4;
    if (keys.link_kind == session::multi_link::pairwise) {
        use_mld_addresses(keys.mlds, fc, std::span(head).subspan<4, 18>());
    } else {
        // A group frame from one of the AP MLD's links: the AP's link
        // address (A2, and A3 where it repeats it) is the AP MLD's.
        const bool third_is_bssid = same_address(a1 + 6, a1 + 12);
        std::memcpy(a1 + 6, keys.mlds.ap.data(), 6);
        if (third_is_bssid)
            std::memcpy(a1 + 12, keys.mlds.ap.data(), 6);
    }
    // EHT stations send QoS Data with an HT Control field (+HTC) as a
    // rule; the conversion reads the payload behind a QoS header of fixed
    // length, so the field goes (and the Order bit that announces it):
    // what stood before it moves four bytes on.
    const bool drops_ht_control =
        is_data_type(fc) && is_qos(fc) && has_order(fc) && plain.size() >= data_header_length(fc);
    if (!drops_ht_control) {
        std::memcpy(plain.data(), head.data(), head.size());
        return 0;
    }
    head[1] = static_cast<std::uint8_t>(head[1] & ~(fc_order >> 8));
    if (is_four_address(fc))
        std::memmove(plain.data() + 28, plain.data() + 24, 8); // A4 and QoS Control
    else
        std::memmove(plain.data() + 28, plain.data() + 24, 2); // QoS Control
    std::memcpy(plain.data() + 4, head.data(), head.size());
    return 4;
}
