// The handshake tracker: EAPOL-Key frames of 4-way and group key
// handshakes, checked by their MIC under each key given, turned into
// installed sessions. The suites come from the RSNE the handshake carries
// (the station's in message 2, the AP's in message 3); a handshake without
// one falls back on its key descriptor version.
#include "decrypt/eapol_key.h"
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cstdio>

namespace {

// EAPOL-Key fields, in bytes from the start of the 802.1X header. The MIC
// field's length depends on the suite; the fields behind it move with it.
constexpr std::size_t key_information_at = 5;
constexpr std::size_t key_length_at = 7;
constexpr std::size_t nonce_at = 17;
constexpr std::size_t key_iv_at = 49;
constexpr std::size_t mic_at = 81;

constexpr int key_type_pairwise = 0x0008;
constexpr int key_install = 0x0040;
constexpr int key_ack = 0x0080;
constexpr int key_mic = 0x0100;

// The MIC lengths a suite may have: 16 (most), 24 (SHA-384), 32 (SHA-512).
constexpr std::size_t mic_lengths[] = {16, 24, 32};


bool parse_eapol_key(byte_span body, eapol_key& key)
{
    if (starts_key_exchange(body) != key_exchange::eapol)
        return false;
    const byte_span eapol = body.subspan(llc_snap_size);
    const int body_length = record_be16(eapol, 2);
    if (body_length < 0 || record_u8(eapol, 1) != 3) // 3: EAPOL-Key
        return false;
    key.eapol = record_bytes(eapol, 0, 4 + static_cast<std::size_t>(body_length));
    if (key.eapol.size() < mic_at + 16 + 2)
        return false;
    key.descriptor_type = record_u8(key.eapol, 4);
    if (key.descriptor_type != 2 && key.descriptor_type != 254) // RSN, WPA
        return false;
    key.information = record_be16(key.eapol, key_information_at);
    key.key_length = record_be16(key.eapol, key_length_at);
    key.version = key.information & 0x7;
    key.nonce = record_bytes(key.eapol, nonce_at, 32);
    key.key_iv = record_bytes(key.eapol, key_iv_at, 16);
    return true;
}

// Places the MIC and Key Data for a MIC of `mic_length` bytes. `exact`
// asks that the Key Data end where the frame ends, which tells apart the
// candidate lengths of an AKM-defined (version 0) frame.
bool place_mic(eapol_key& key, std::size_t mic_length, bool exact)
{
    const int data_length = record_be16(key.eapol, mic_at + mic_length);
    if (data_length < 0)
        return false;
    const std::size_t data_at = mic_at + mic_length + 2;
    const byte_span data = record_bytes(key.eapol, data_at, static_cast<std::size_t>(data_length));
    if (data.size() != static_cast<std::size_t>(data_length) || (exact && data_at + data.size() != key.eapol.size()))
        return false;
    key.mic = key.eapol.subspan(mic_at, mic_length);
    key.key_data = data;
    return true;
}

bool all_zero(byte_span bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// FT's PTK comes from PMK-R1, derived with the names the association's
// MDE and FTE (or message 2's) give (fast_transition.cpp).
bool is_fast_transition(int akm)
{
    const auto suites = akm_suites(akm);
    return !suites.empty() && suites.front().fast_transition;
}

// The PTK of a 4-way handshake under one suite and one PMK (under an FT
// AKM, the XXKey).
bool derive_handshake_ptk(handshake_tracker& tracker, const akm_suite& suite, byte_span pmk,
                          const pending_handshake& pending, std::span<std::uint8_t> ptk)
{
    // Between two MLDs, AA and SPA are their MLD addresses (12.7.1.3).
    const mld_pair mlds = {pending.authenticator_mld, pending.supplicant_mld};
    if (suite.fast_transition)
        return derive_ft_initial_ptk(tracker, suite, pmk, pending.authenticator, pending.supplicant, pending.anonce,
                                     pending.snonce, ptk, pending.multi_link() ? &mlds : nullptr);
    if (pending.multi_link())
        return derive_ptk(suite, pmk, pending.authenticator_mld, pending.supplicant_mld, pending.anonce,
                          pending.snonce, ptk);
    return derive_ptk(suite, pmk, pending.authenticator, pending.supplicant, pending.anonce, pending.snonce, ptk);
}

// The frame's MIC checked under `kck` with `suite`'s algorithm; the frame's
// MIC must already be placed at the suite's length.
bool mic_matches(handshake_tracker& tracker, const eapol_key& key, const akm_suite& suite, byte_span kck)
{
    if (key.mic.size() != suite.mic_length)
        return false;
    tracker.scratch.assign(key.eapol.begin(), key.eapol.end());
    std::fill_n(tracker.scratch.begin() + mic_at, suite.mic_length, std::uint8_t{0});
    std::array<std::uint8_t, 32> mic{};
    if (!eapol_key_mic(suite.mic, kck, tracker.scratch, std::span(mic).first(suite.mic_length)))
        return false;
    return CRYPTO_memcmp(mic.data(), key.mic.data(), suite.mic_length) == 0;
}

enum class outcome { matched, unmatched, unsupported, no_key_of_length };

// Counts a checked handshake once for its pair of nonces: a retransmitted
// or replayed message of a handshake already counted changes nothing, and a
// handshake first found unmatched (message 2 checked against a stale
// ANonce) and then matched by message 3 moves to the matched count.
void count_handshake(handshake_tracker& tracker, pending_handshake& pending, outcome result, int key_position)
{
    std::array<std::uint8_t, 64> nonces{};
    std::copy(pending.anonce.begin(), pending.anonce.end(), nonces.begin());
    std::copy(pending.snonce.begin(), pending.snonce.end(), nonces.begin() + 32);
    using tally = pending_handshake::tally;
    const bool same_snonce = pending.counted != tally::none &&
                             std::equal(nonces.begin() + 32, nonces.end(), pending.counted_nonces.begin() + 32);
    if (same_snonce && pending.counted == tally::unmatched) {
        // The station's answer was checked before: a second check is the
        // same handshake, found with the ANonce message 3 repeats.
        if (result == outcome::matched) {
            --tracker.handshakes_unmatched;
            ++tracker.handshakes_completed;
            network_record& network = tracker.networks.get(pending.authenticator);
            network.unmatched = std::max<std::int64_t>(0, network.unmatched - 1);
            ++network.matched_by_key[key_position];
            pending.counted = tally::matched;
        }
        pending.counted_nonces = nonces;
        return;
    }
    if (same_snonce && nonces == pending.counted_nonces)
        return;
    pending.counted_nonces = nonces;
    switch (result) {
    case outcome::matched:
        pending.counted = tally::matched;
        ++tracker.handshakes_completed;
        ++tracker.networks.get(pending.authenticator).matched_by_key[key_position];
        return;
    case outcome::unmatched:
        pending.counted = tally::unmatched;
        ++tracker.handshakes_unmatched;
        ++tracker.networks.get(pending.authenticator).unmatched;
        return;
    case outcome::unsupported:
        pending.counted = tally::other;
        ++tracker.drops.unsupported_akm;
        return;
    case outcome::no_key_of_length:
        pending.counted = tally::other;
        ++tracker.drops.no_key_of_length;
        return;
    }
}

// The MAC Address KDE of message 1, whose Key Data is in the clear, placed
// at each MIC length the frame's fields add up for. Message 1 is not
// dropped when its Key Data lies: its ANonce stands, the MLD unnamed.
bool mld_address_in(eapol_key key, mac_address& out)
{
    for (const std::size_t length : mic_lengths) {
        key_data_elements elements;
        if ((key.version == 0 || length == 16) && place_mic(key, length, key.version == 0) &&
            parse_key_data(key.key_data, elements) && elements.has_mld_address) {
            out = elements.mld_address;
            return true;
        }
    }
    return false;
}

// The suites message 2 allows, from its RSNE (or WPA1 element) and its
// key descriptor version, with the MIC and Key Data placed for them.
// Returns false, counting why, when the frame cannot be checked.
bool read_candidates(handshake_tracker& tracker, eapol_key& key, pending_handshake& pending, outcome& refusal)
{
    pending.candidate_count = 0;
    pending.pairwise_cipher = cipher_suite::none;
    pending.group_cipher = cipher_suite::none;
    key_data_elements elements;
    if (const akm_suite* by_version = descriptor_version_suite(key.version)) {
        // Versions 1-3 fix the MIC and the KDF whatever the AKM. Key Data
        // whose elements lie is dropped, counted, and the handshake read by
        // its version alone, as it was before RSNEs were read.
        if (!place_mic(key, 16, false)) {
            ++tracker.drops.malformed;
            return false;
        }
        if (!parse_key_data(key.key_data, elements)) {
            ++tracker.drops.malformed;
            elements = key_data_elements{};
        }
        akm_suite suite = *by_version;
        if (elements.has_rsn && elements.rsn.akm_count >= 1) {
            suite.akm = elements.rsn.akms[0];
            if (is_fast_transition(suite.akm)) {
                // FT's PTK comes from PMK-R1: its suite names the hash.
                const auto suites = akm_suites(suite.akm);
                if (suites.empty() || suites[0].mic != suite.mic) {
                    refusal = outcome::unsupported;
                    return false;
                }
                suite = suites[0];
                note_ft_elements(tracker, pending.authenticator, pending.supplicant, key.key_data);
            }
        }
        pending.candidates[pending.candidate_count++] = suite;
    } else if (key.version == 0) {
        // AKM-defined: the MIC length follows the AKM (and, for OWE and
        // SAE-EXT-KEY, the group), so each length that makes the frame's
        // fields add up is tried with the suites of the AKM its RSNE names.
        for (const std::size_t length : mic_lengths) {
            eapol_key placed = key;
            key_data_elements found;
            if (!place_mic(placed, length, true))
                continue;
            if (!parse_key_data(placed.key_data, found) || !found.has_rsn || found.rsn.akm_count < 1)
                continue;
            const int akm = found.rsn.akms[0];
            const auto suites = akm_suites(akm);
            if (suites.empty()) {
                refusal = outcome::unsupported;
                return false;
            }
            if (is_fast_transition(akm))
                note_ft_elements(tracker, pending.authenticator, pending.supplicant, placed.key_data);
            for (const akm_suite& suite : suites)
                if (suite.mic_length == length && pending.candidate_count < pending.candidates.size())
                    pending.candidates[pending.candidate_count++] = suite;
            if (pending.candidate_count > 0) {
                key = placed;
                elements = found;
                break;
            }
        }
        if (pending.candidate_count == 0) {
            ++tracker.drops.malformed; // no MIC length of the AKM fits the frame
            return false;
        }
    } else {
        refusal = outcome::unsupported;
        return false;
    }
    note_station_mld(tracker, pending, elements);
    if (key.version == 1) {
        // Version 1 (HMAC-MD5, RC4) is the version of TKIP's pairwise keys
        // whatever an RSNE says.
        pending.pairwise_cipher = cipher_suite::tkip;
    } else if (elements.has_rsn && elements.rsn.pairwise_count >= 1) {
        const int pairwise = elements.rsn.pairwise_ciphers[0];
        pending.pairwise_cipher = pairwise < unknown_suite ? static_cast<cipher_suite>(pairwise) : cipher_suite::none;
        if (temporal_key_length(pending.pairwise_cipher) == 0) {
            pending.candidate_count = 0;
            refusal = outcome::unsupported;
            return false;
        }
    } else {
        pending.pairwise_cipher = cipher_suite::ccmp128;
    }
    if (elements.has_rsn && elements.rsn.group_cipher >= 0 && elements.rsn.group_cipher < unknown_suite)
        pending.group_cipher = static_cast<cipher_suite>(elements.rsn.group_cipher);
    return true;
}

// Tries every PMK of each candidate suite's length on a handshake whose two
// nonces are known, checking the MIC of `key` (message 2 or 3). Installs
// the pairwise session of the first match and returns its protection.
std::shared_ptr<const pairwise_protection> complete_handshake(decryption& state, pending_handshake& pending,
                                                              eapol_key& key)
{
    handshake_tracker& tracker = state.tracker;
    const pair_id pair = make_pair_id(pending.authenticator, pending.supplicant);
    const std::size_t tk_length = temporal_key_length(pending.pairwise_cipher);
    bool any_key_fits = false;
    for (std::size_t c = 0; c < pending.candidate_count; ++c) {
        if (pending.candidates[c].fast_transition &&
            !ft_names_known(tracker, pending.authenticator, pending.supplicant)) {
            // No key can be checked without the names FT's keys are bound to.
            ++tracker.drops.key_exchange_refused;
            return nullptr;
        }
    }
    std::array<std::uint8_t, 32 + 32 + 32> ptk{};
    for (std::size_t c = 0; c < pending.candidate_count; ++c) {
        const akm_suite& suite = pending.candidates[c];
        if (!place_mic(key, suite.mic_length, key.version == 0))
            continue;
        const std::size_t ptk_length = suite.kck_length + suite.kek_length + tk_length;
        for (const auto& entry : state.keys.pmks) {
            if (entry.length != suite.pmk_length)
                continue;
            any_key_fits = true;
            const byte_span pmk = std::span(entry.pmk).first(entry.length);
            const auto out = std::span(ptk).first(ptk_length);
            if (!derive_handshake_ptk(tracker, suite, pmk, pending, out))
                continue;
            if (!mic_matches(tracker, key, suite, out.first(suite.kck_length)))
                continue;
            auto protection = std::make_shared<pairwise_protection>();
            protection->suite = suite;
            protection->descriptor_version = key.version;
            protection->group_cipher = pending.group_cipher;
            protection->multi_link = pending.multi_link();
            protection->mlds = {pending.authenticator_mld, pending.supplicant_mld};
            std::copy_n(out.begin(), suite.kck_length, protection->kck.begin());
            std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(suite.kck_length), suite.kek_length,
                        protection->kek.begin());
            session_ptr keys;
            const bool made = make_session(
                tracker, pending.pairwise_cipher, pending.authenticator, out.subspan(suite.kck_length + suite.kek_length),
                keys, pending.multi_link() ? session::multi_link::pairwise : session::multi_link::none,
                protection->mlds);
            OPENSSL_cleanse(ptk.data(), ptk.size());
            if (!made)
                return nullptr;
            pair_keys& slots = tracker.pairs.get(pair);
            slots.newest = keys;
            if (slots.extended_key_id) {
                // Message 3's Key ID KDE tells which slot the key takes.
                slots.fresh = std::move(keys);
                slots.protection = protection;
                tracker.unmatched_pairs.erase(pair);
            } else {
                install_pairwise_session(tracker, pending.authenticator, pending.supplicant, 0, std::move(keys),
                                         protection);
            }
            tracker.unmatched_authenticators.erase(pending.authenticator);
            tracker.unsupported_authenticators.erase(pending.authenticator);
            if (protection->multi_link)
                share_keys_across_links(tracker, pending.authenticator, pending.supplicant, protection->mlds);
            count_handshake(tracker, pending, outcome::matched, entry.position);
            return protection;
        }
    }
    OPENSSL_cleanse(ptk.data(), ptk.size());
    if (!any_key_fits) {
        count_handshake(tracker, pending, outcome::no_key_of_length, 0);
        return nullptr;
    }
    tracker.unmatched_pairs.get(pair) = true;
    tracker.unmatched_authenticators.get(pending.authenticator) = true;
    count_handshake(tracker, pending, outcome::unmatched, 0);
    return nullptr;
}

void mark_unsupported(handshake_tracker& tracker, pending_handshake& pending)
{
    tracker.unsupported_pairs.get(make_pair_id(pending.authenticator, pending.supplicant)) = true;
    tracker.unsupported_authenticators.get(pending.authenticator) = true;
    count_handshake(tracker, pending, outcome::unsupported, 0);
}

} // namespace

void follow_eapol_frame(decryption& state, byte_span frame, byte_span body)
{
    eapol_key key;
    if (state.keys.pmks.empty() || !parse_eapol_key(body, key))
        return;
    const int fc = record_le16(frame, 0);
    mac_address receiver{};
    mac_address transmitter{};
    if (fc < 0 || !record_copy(receiver.data(), frame, 4, 6) || !record_copy(transmitter.data(), frame, 10, 6))
        return;
    handshake_tracker& tracker = state.tracker;
    // The authenticator sends the messages that carry Key Ack.
    const bool from_authenticator = (key.information & key_ack) != 0;
    const mac_address authenticator = from_authenticator ? transmitter : receiver;
    const mac_address supplicant = from_authenticator ? receiver : transmitter;
    const pair_id pair = make_pair_id(authenticator, supplicant);
    const bool has_mic = (key.information & key_mic) != 0;

    if ((key.information & key_type_pairwise) == 0) {
        // Group key message 1: the GTK, encrypted under the pair's KEK.
        const pair_keys* slots = tracker.pairs.find(pair);
        if (!from_authenticator || !has_mic || slots == nullptr || !slots->protection)
            return;
        const auto protection = slots->protection;
        if (!place_mic(key, protection->suite.mic_length, key.version == 0) ||
            !mic_matches(tracker, key, protection->suite, std::span(protection->kck).first(protection->suite.kck_length)))
            return;
        use_key_data(state, key, *protection, authenticator, supplicant, false);
        return;
    }

    pending_handshake& pending = tracker.pending.get(pair);
    if (from_authenticator && !has_mic) { // message 1
        pending.authenticator = authenticator;
        pending.supplicant = supplicant;
        std::copy(key.nonce.begin(), key.nonce.end(), pending.anonce.begin());
        pending.have_anonce = true;
        pending.have_snonce = false;
        pending.completed = false;
        pending.have_authenticator_mld = mld_address_in(key, pending.authenticator_mld);
        if (pending.have_authenticator_mld)
            note_mld_link(tracker, pending.authenticator_mld, -1, authenticator);
        return;
    }
    if (!from_authenticator && has_mic && !all_zero(key.nonce)) { // message 2
        const bool retry = pending.have_snonce && std::equal(key.nonce.begin(), key.nonce.end(), pending.snonce.begin());
        if (retry && pending.completed)
            return;
        pending.authenticator = authenticator;
        pending.supplicant = supplicant;
        std::copy(key.nonce.begin(), key.nonce.end(), pending.snonce.begin());
        pending.have_snonce = true;
        pending.completed = false;
        outcome refusal = outcome::unmatched;
        if (!read_candidates(tracker, key, pending, refusal)) {
            pending.have_snonce = refusal == outcome::unsupported ? pending.have_snonce : false;
            if (refusal == outcome::unsupported)
                mark_unsupported(tracker, pending);
            return;
        }
        if (pending.have_anonce)
            pending.completed = complete_handshake(state, pending, key) != nullptr;
        return;
    }
    if (from_authenticator && has_mic && (key.information & key_install) != 0) { // message 3
        std::shared_ptr<const pairwise_protection> protection;
        const bool same_anonce = pending.have_anonce && std::equal(key.nonce.begin(), key.nonce.end(), pending.anonce.begin());
        const pair_keys* slots = tracker.pairs.find(pair);
        if (same_anonce && pending.completed && slots != nullptr && slots->protection) {
            // Message 2 gave the keys; a message 3 they do not sign is forged or damaged.
            const auto& known = slots->protection;
            if (place_mic(key, known->suite.mic_length, key.version == 0) &&
                mic_matches(tracker, key, known->suite, std::span(known->kck).first(known->suite.kck_length)))
                protection = known;
        } else if (pending.have_snonce && pending.candidate_count > 0) {
            // Message 1 was not captured, or gave another ANonce: message 3
            // repeats the ANonce.
            pending.authenticator = authenticator;
            pending.supplicant = supplicant;
            std::copy(key.nonce.begin(), key.nonce.end(), pending.anonce.begin());
            pending.have_anonce = true;
            protection = complete_handshake(state, pending, key);
            pending.completed = protection != nullptr;
        }
        if (protection)
            use_key_data(state, key, *protection, authenticator, supplicant, true);
    }
}
