#include "decrypt/decrypt.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace {

// A span's bytes at `at`, or an empty span when they are not all there.
byte_span bytes_at(byte_span bytes, std::size_t at, std::size_t count)
{
    if (at > bytes.size() || bytes.size() - at < count)
        return {};
    return bytes.subspan(at, count);
}

int be16_at(byte_span bytes, std::size_t at)
{
    const byte_span two = bytes_at(bytes, at, 2);
    return two.empty() ? -1 : two[0] << 8 | two[1];
}

mac_address address_at(byte_span frame, std::size_t at)
{
    mac_address address{};
    const byte_span six = bytes_at(frame, at, 6);
    std::copy(six.begin(), six.end(), address.begin());
    return address;
}

std::array<std::uint8_t, 12> pair_id(const mac_address& a, const mac_address& b)
{
    std::array<std::uint8_t, 12> id{};
    const bool a_first = a < b;
    std::copy((a_first ? a : b).begin(), (a_first ? a : b).end(), id.begin());
    std::copy((a_first ? b : a).begin(), (a_first ? b : a).end(), id.begin() + 6);
    return id;
}

std::array<std::uint8_t, 7> group_id(const mac_address& transmitter, int key_index)
{
    std::array<std::uint8_t, 7> id{};
    std::copy(transmitter.begin(), transmitter.end(), id.begin());
    id[6] = static_cast<std::uint8_t>(key_index);
    return id;
}

constexpr std::array<std::uint8_t, 8> eapol_llc = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x88, 0x8E};

// EAPOL-Key fields, in bytes from the start of the 802.1X header.
constexpr std::size_t key_information_at = 5;
constexpr std::size_t key_length_at = 7;
constexpr std::size_t replay_counter_at = 9;
constexpr std::size_t nonce_at = 17;
constexpr std::size_t key_iv_at = 49;
constexpr std::size_t mic_at = 81;
constexpr std::size_t key_data_length_at = 97;
constexpr std::size_t key_data_at = 99;

constexpr int key_type_pairwise = 0x0008;
constexpr int key_install = 0x0040;
constexpr int key_ack = 0x0080;
constexpr int key_mic = 0x0100;
constexpr int key_encrypted_data = 0x1000;

// One EAPOL-Key frame, every field checked to lie within the frame.
struct eapol_key {
    byte_span eapol; // 802.1X header and body, as far as its length field says
    int information = 0;
    int key_length = 0;
    int descriptor_type = 0;
    std::uint64_t replay_counter = 0;
    byte_span nonce;
    byte_span key_iv;
    byte_span mic;
    byte_span key_data;
};

bool parse_eapol_key(byte_span body, eapol_key& key)
{
    if (body.size() < eapol_llc.size() || !std::equal(eapol_llc.begin(), eapol_llc.end(), body.begin()))
        return false;
    const byte_span eapol = body.subspan(eapol_llc.size());
    const int body_length = be16_at(eapol, 2);
    if (body_length < 0 || bytes_at(eapol, 0, 2).empty() || eapol[1] != 3) // 3: EAPOL-Key
        return false;
    key.eapol = bytes_at(eapol, 0, 4 + static_cast<std::size_t>(body_length));
    if (key.eapol.size() < key_data_at)
        return false;
    key.descriptor_type = key.eapol[4];
    if (key.descriptor_type != 2 && key.descriptor_type != 254) // RSN, WPA
        return false;
    key.information = be16_at(key.eapol, key_information_at);
    key.key_length = be16_at(key.eapol, key_length_at);
    for (std::size_t i = 0; i < 8; ++i)
        key.replay_counter = key.replay_counter << 8 | key.eapol[replay_counter_at + i];
    key.nonce = key.eapol.subspan(nonce_at, 32);
    key.key_iv = key.eapol.subspan(key_iv_at, 16);
    key.mic = key.eapol.subspan(mic_at, 16);
    const int data_length = be16_at(key.eapol, key_data_length_at);
    key.key_data = bytes_at(key.eapol, key_data_at, static_cast<std::size_t>(data_length));
    return data_length == 0 || !key.key_data.empty();
}

bool all_zero(byte_span bytes)
{
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// The frame's MIC checked under `kck`.
bool mic_matches(decryption& state, const eapol_key& key, int version, byte_span kck)
{
    state.scratch.assign(key.eapol.begin(), key.eapol.end());
    std::fill_n(state.scratch.begin() + mic_at, 16, std::uint8_t{0});
    std::array<std::uint8_t, 16> mic{};
    if (!eapol_key_mic(version, kck, state.scratch, mic))
        return false;
    return CRYPTO_memcmp(mic.data(), key.mic.data(), mic.size()) == 0;
}

// Counts a checked handshake once for its pair of nonces: a retransmitted
// or replayed message of a handshake already counted changes nothing, and a
// handshake first found unmatched (message 2 checked against a stale
// ANonce) and then matched by message 3 moves to the matched count.
void count_handshake(decryption& state, pending_handshake& pending, byte_span snonce, bool matched)
{
    std::array<std::uint8_t, 64> nonces{};
    std::copy(pending.anonce.begin(), pending.anonce.end(), nonces.begin());
    std::copy(snonce.begin(), snonce.end(), nonces.begin() + 32);
    using tally = pending_handshake::tally;
    const bool same_snonce = pending.counted != tally::none &&
                             std::equal(nonces.begin() + 32, nonces.end(), pending.counted_nonces.begin() + 32);
    const bool same = same_snonce && nonces == pending.counted_nonces;
    if (same_snonce && pending.counted == tally::unmatched) {
        // The station's answer was checked before: a second check is the
        // same handshake, found with the ANonce message 3 repeats.
        if (matched) {
            --state.handshakes_unmatched;
            ++state.handshakes_completed;
            pending.counted = tally::matched;
        }
        pending.counted_nonces = nonces;
        return;
    }
    if (same)
        return;
    pending.counted_nonces = nonces;
    pending.counted = matched ? tally::matched : tally::unmatched;
    ++(matched ? state.handshakes_completed : state.handshakes_unmatched);
}

// Tries every PMK on a handshake whose two nonces are known, checking the
// MIC of `key` (message 2 or 3). Installs the session of the first match.
pairwise_session* complete_handshake(decryption& state, const std::array<std::uint8_t, 12>& pair,
                                     pending_handshake& pending, byte_span snonce, const eapol_key& key)
{
    const int version = key.information & 0x7;
    if (version < 1 || version > 3)
        return nullptr;
    const std::size_t ptk_length = version == 1 ? 64 : 48;
    std::array<std::uint8_t, 64> ptk{};
    for (const auto& pmk : state.pmks) {
        if (!derive_ptk(version, pmk, pending.authenticator, pending.supplicant, pending.anonce, snonce,
                        std::span(ptk).first(ptk_length)))
            continue;
        if (!mic_matches(state, key, version, std::span(ptk).first(16)))
            continue;
        pairwise_session& session = state.pairs[pair];
        session.suite = version == 1 ? pairwise_session::cipher::tkip : pairwise_session::cipher::ccmp;
        session.authenticator = pending.authenticator;
        session.descriptor_version = version;
        std::copy_n(ptk.begin(), 16, session.kck.begin());
        std::copy_n(ptk.begin() + 16, 16, session.kek.begin());
        session.temporal_key.fill(0);
        std::copy(ptk.begin() + 32, ptk.begin() + static_cast<std::ptrdiff_t>(ptk_length), session.temporal_key.begin());
        session.installed = session.suite == pairwise_session::cipher::tkip ||
                            ccmp_key_set(session.ccmp, std::span(session.temporal_key).first(16));
        OPENSSL_cleanse(ptk.data(), ptk.size());
        state.unmatched_pairs.erase(pair);
        count_handshake(state, pending, snonce, true);
        return &session;
    }
    OPENSSL_cleanse(ptk.data(), ptk.size());
    state.unmatched_pairs.insert(pair);
    state.unmatched_authenticators.insert(pending.authenticator);
    count_handshake(state, pending, snonce, false);
    return nullptr;
}

void install_group_key(decryption& state, const mac_address& transmitter, int key_index, byte_span key)
{
    if (key.size() != 16 && key.size() != 32)
        return;
    group_session& group = state.groups[group_id(transmitter, key_index)];
    group.suite = key.size() == 32 ? group_session::cipher::tkip : group_session::cipher::ccmp;
    group.key.fill(0);
    std::copy(key.begin(), key.end(), group.key.begin());
    if (group.suite == group_session::cipher::ccmp && !ccmp_key_set(group.ccmp, key))
        state.groups.erase(group_id(transmitter, key_index));
}

// The Key Data of a message 3 or group message 1, decrypted under the KEK:
// AES key unwrap for versions 2 and 3, RC4 keyed by the EAPOL-Key IV and
// the KEK (256 bytes of keystream skipped) for version 1.
bool decrypt_key_data(const eapol_key& key, const pairwise_session& session, std::vector<std::uint8_t>& out)
{
    const int version = key.information & 0x7;
    if (version == 1) {
        std::array<std::uint8_t, 32> rc4_key{};
        std::copy(key.key_iv.begin(), key.key_iv.end(), rc4_key.begin());
        std::copy(session.kek.begin(), session.kek.end(), rc4_key.begin() + 16);
        out.resize(key.key_data.size());
        const bool done = rc4_xor(rc4_key, 256, key.key_data, out.data());
        OPENSSL_cleanse(rc4_key.data(), rc4_key.size());
        return done;
    }
    if (key.key_data.size() < 24 || key.key_data.size() % 8 != 0)
        return false;
    out.resize(key.key_data.size() - 8);
    return aes_key_unwrap(session.kek, key.key_data, out);
}

// Finds the GTK KDE (00-0F-AC type 1) among the decrypted Key Data's
// elements and installs the group key it carries.
void install_group_key_from_kdes(decryption& state, const mac_address& transmitter, byte_span data)
{
    std::size_t at = 0;
    while (at + 2 <= data.size()) {
        const std::size_t length = data[at + 1];
        const byte_span element = bytes_at(data, at + 2, length);
        if (element.size() != length)
            return;
        if (data[at] == 0xDD && length >= 6 + 16 && element[0] == 0x00 && element[1] == 0x0F &&
            element[2] == 0xAC && element[3] == 0x01)
            install_group_key(state, transmitter, element[4] & 0x3, element.subspan(6));
        if (data[at] == 0xDD && length == 0) // padding
            return;
        at += 2 + length;
    }
}

} // namespace

void add_user_key(decryption& state, const user_key& key)
{
    if (key.type == user_key::kind::wep)
        state.wep_keys.push_back(key.wep_key);
    else
        state.pmks.push_back(key.pmk);
}

void follow_eapol_frame(decryption& state, byte_span frame, byte_span body)
{
    eapol_key key;
    if (state.pmks.empty() || !parse_eapol_key(body, key))
        return;
    const int fc = record_le16(frame, 0);
    if (fc < 0 || bytes_at(frame, 0, 16).empty())
        return;
    // The authenticator sends the messages that carry Key Ack.
    const bool from_authenticator = (key.information & key_ack) != 0;
    const mac_address receiver = address_at(frame, 4);
    const mac_address transmitter = address_at(frame, 10);
    const mac_address authenticator = from_authenticator ? transmitter : receiver;
    const mac_address supplicant = from_authenticator ? receiver : transmitter;
    const auto pair = pair_id(authenticator, supplicant);

    if ((key.information & key_type_pairwise) == 0) {
        // Group key message 1: the GTK, encrypted under the pair's KEK.
        const auto found = state.pairs.find(pair);
        if (!from_authenticator || (key.information & key_mic) == 0 || found == state.pairs.end())
            return;
        const pairwise_session& session = found->second;
        const int version = key.information & 0x7;
        if (!mic_matches(state, key, version, session.kck))
            return;
        std::vector<std::uint8_t> data;
        if (!decrypt_key_data(key, session, data))
            return;
        if (key.descriptor_type == 2)
            install_group_key_from_kdes(state, authenticator, data);
        else if (key.key_length > 0 && data.size() >= static_cast<std::size_t>(key.key_length))
            install_group_key(state, authenticator, (key.information >> 4) & 0x3,
                              std::span(data).first(static_cast<std::size_t>(key.key_length)));
        OPENSSL_cleanse(data.data(), data.size());
        return;
    }

    pending_handshake& pending = state.handshakes[pair];
    const bool has_mic = (key.information & key_mic) != 0;
    if (from_authenticator && !has_mic) { // message 1
        pending.authenticator = authenticator;
        pending.supplicant = supplicant;
        std::copy(key.nonce.begin(), key.nonce.end(), pending.anonce.begin());
        pending.have_anonce = true;
        pending.have_snonce = false;
        pending.completed = false;
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
        if (pending.have_anonce)
            pending.completed = complete_handshake(state, pair, pending, pending.snonce, key) != nullptr;
        return;
    }
    if (from_authenticator && has_mic && (key.information & key_install) != 0) { // message 3
        pairwise_session* session = nullptr;
        const bool same_anonce = pending.have_anonce && std::equal(key.nonce.begin(), key.nonce.end(), pending.anonce.begin());
        const auto found = state.pairs.find(pair);
        if (same_anonce && pending.completed && found != state.pairs.end()) {
            // Message 2 gave the keys; a message 3 they do not sign is forged or damaged.
            if (mic_matches(state, key, key.information & 0x7, found->second.kck))
                session = &found->second;
        } else if (pending.have_snonce) {
            // Message 1 was not captured, or gave another ANonce: message 3
            // repeats the ANonce.
            pending.authenticator = authenticator;
            pending.supplicant = supplicant;
            std::copy(key.nonce.begin(), key.nonce.end(), pending.anonce.begin());
            pending.have_anonce = true;
            session = complete_handshake(state, pair, pending, pending.snonce, key);
            pending.completed = session != nullptr;
        }
        if (session == nullptr || (key.information & key_encrypted_data) == 0 || key.descriptor_type != 2)
            return;
        std::vector<std::uint8_t> data;
        if (decrypt_key_data(key, *session, data))
            install_group_key_from_kdes(state, authenticator, data);
        OPENSSL_cleanse(data.data(), data.size());
    }
}

record_fate decrypt_data_frame(decryption& state, byte_span frame, bool fcs_at_end, bool data_pad,
                               std::vector<std::uint8_t>& plain)
{
    if (fcs_at_end) {
        if (frame.size() < 4)
            return record_fate::too_short;
        frame = frame.first(frame.size() - 4);
    }
    const int fc = record_le16(frame, 0);
    const std::size_t header_length = data_header_length(fc < 0 ? 0 : fc);
    if (fc < 0 || frame.size() < header_length)
        return record_fate::too_short;
    // The ciphers take the MAC header and the cipher header together:
    // padding between them goes.
    if (data_pad) {
        const std::size_t body = (header_length + 3) & ~std::size_t{3};
        if (frame.size() < body)
            return record_fate::too_short;
        state.unpadded.assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(header_length));
        state.unpadded.insert(state.unpadded.end(), frame.begin() + static_cast<std::ptrdiff_t>(body), frame.end());
        frame = state.unpadded;
    }
    const byte_span cipher_header = bytes_at(frame, header_length, 4);
    if (cipher_header.empty())
        return record_fate::too_short;
    const bool extended_iv = (cipher_header[3] & 0x20) != 0;
    const int key_index = cipher_header[3] >> 6;
    const mac_address receiver = address_at(frame, 4);
    const mac_address transmitter = address_at(frame, 10);
    plain.resize(header_length + frame.size());
    std::uint8_t* const body = plain.data() + header_length;

    // When nothing announces an FCS, a frame may still end in one: the
    // frame then fails its check as it stands and passes without the last
    // four bytes, if they are its CRC-32.
    const auto without_fcs = [&frame]() -> byte_span {
        if (frame.size() < 4)
            return {};
        const byte_span rest = frame.first(frame.size() - 4);
        const byte_span fcs = frame.last(4);
        const std::uint32_t stated = static_cast<std::uint32_t>(fcs[0]) | static_cast<std::uint32_t>(fcs[1]) << 8 |
                                     static_cast<std::uint32_t>(fcs[2]) << 16 | static_cast<std::uint32_t>(fcs[3]) << 24;
        return crc32_of(rest) == stated ? rest : byte_span{};
    };
    const auto attempt = [&](auto&& decrypt) -> int {
        int length = decrypt(frame);
        if (length < 0 && !fcs_at_end) {
            const byte_span shorter = without_fcs();
            if (!shorter.empty())
                length = decrypt(shorter);
        }
        return length;
    };

    int length = -1;
    if (!extended_iv) {
        if (state.wep_keys.empty())
            return record_fate::protected_no_key;
        for (const auto& key : state.wep_keys) {
            length = attempt([&](byte_span f) { return wep_decrypt(key, f, header_length, body); });
            if (length >= 0)
                break;
        }
    } else {
        if (state.pmks.empty())
            return record_fate::protected_no_key;
        if ((receiver[0] & 0x01) != 0) {
            const auto found = state.groups.find(group_id(transmitter, key_index));
            if (found == state.groups.end())
                return state.unmatched_authenticators.count(transmitter) != 0 ? record_fate::protected_unmatched
                                                                              : record_fate::protected_no_session;
            group_session& group = found->second;
            if (group.suite == group_session::cipher::tkip)
                length = attempt([&](byte_span f) { return tkip_decrypt(group.key, true, f, header_length, body); });
            else
                length = attempt([&](byte_span f) { return ccmp_decrypt(group.ccmp, f, header_length, body); });
        } else {
            const auto pair = pair_id(receiver, transmitter);
            const auto found = state.pairs.find(pair);
            if (found == state.pairs.end() || !found->second.installed)
                return state.unmatched_pairs.count(pair) != 0 ? record_fate::protected_unmatched
                                                              : record_fate::protected_no_session;
            pairwise_session& session = found->second;
            if (session.suite == pairwise_session::cipher::tkip) {
                const bool from_authenticator = transmitter == session.authenticator;
                length = attempt([&](byte_span f) {
                    return tkip_decrypt(session.temporal_key, from_authenticator, f, header_length, body);
                });
            } else {
                length = attempt([&](byte_span f) { return ccmp_decrypt(session.ccmp, f, header_length, body); });
            }
        }
    }
    if (length < 0)
        return record_fate::integrity_failed;

    std::copy_n(frame.begin(), header_length, plain.begin());
    plain[1] = static_cast<std::uint8_t>(plain[1] & ~0x40);
    plain.resize(header_length + static_cast<std::size_t>(length));
    if (follows_handshakes(state))
        follow_eapol_frame(state, plain, std::span(plain).subspan(header_length));
    return record_fate::decrypted;
}
