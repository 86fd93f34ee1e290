// The tracker on handshakes of every suite it reads from the RSNE, built
// here frame by frame with the library's own key derivation and MICs (the
// derivation itself is proved on the standard's vectors elsewhere): each
// case gives keys, runs a handshake, then checks which frames decrypt and
// what --stats would count. Hostile variants end in counted drops.
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"
#include "sealing.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

const mac_address ap = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
const mac_address station = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const mac_address broadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

bytes filled(std::size_t size, std::uint8_t value) { return bytes(size, value); }

void put_be16(bytes& out, std::size_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}

// A Data frame's MAC header: from the AP (FromDS) or to it (ToDS).
bytes data_header(bool from_ap, const mac_address& receiver)
{
    bytes header = {0x08, static_cast<std::uint8_t>(from_ap ? 0x02 : 0x01), 0, 0};
    const mac_address& transmitter = from_ap ? ap : station;
    header.insert(header.end(), receiver.begin(), receiver.end());
    header.insert(header.end(), transmitter.begin(), transmitter.end());
    header.insert(header.end(), ap.begin(), ap.end());
    header.insert(header.end(), {0x10, 0x00});
    return header;
}

bytes rsne(int group, int pairwise, int akm)
{
    return {0x30, 20, 1, 0, 0x00, 0x0F, 0xAC, static_cast<std::uint8_t>(group), 1, 0, 0x00, 0x0F, 0xAC,
            static_cast<std::uint8_t>(pairwise), 1, 0, 0x00, 0x0F, 0xAC, static_cast<std::uint8_t>(akm), 0, 0};
}

struct suite_case {
    const char* name;
    int akm;
    int version;           // key descriptor version
    std::size_t suite_index; // which of akm_suites(akm)
    cipher_suite pairwise;
    cipher_suite group;
    std::size_t pmk_length;
};

// Builds one handshake's frames under a PMK and a suite, as an access
// point and its station would.
struct handshake_builder {
    suite_case suite_info;
    akm_suite suite;
    bytes pmk;
    bytes anonce = filled(32, 0xA1);
    bytes snonce = filled(32, 0x5B);
    bytes ptk;
    bytes gtk;
    int key_id = -1; // a Key ID KDE in message 3 when 0 or 1
    std::uint64_t replay = 1;

    handshake_builder(const suite_case& c, bytes key) : suite_info(c), pmk(std::move(key))
    {
        const auto suites = akm_suites(c.akm);
        suite = c.version != 0 ? *descriptor_version_suite(c.version) : suites[c.suite_index];
        derive();
        gtk = filled(temporal_key_length(c.group), 0x6C);
    }
    void derive()
    {
        ptk.assign(suite.kck_length + suite.kek_length + temporal_key_length(suite_info.pairwise), 0);
        if (temporal_key_length(suite_info.pairwise) != 0) {
            EXPECT_TRUE(derive_ptk(suite, pmk, ap, station, anonce, snonce, ptk));
        }
    }
    byte_span kck() const { return byte_span(ptk).first(suite.kck_length); }
    byte_span kek() const { return byte_span(ptk).subspan(suite.kck_length, suite.kek_length); }
    byte_span tk() const { return byte_span(ptk).subspan(suite.kck_length + suite.kek_length); }

    // An EAPOL-Key frame in its Data frame; its MIC under the KCK when
    // `mic`. `mic_length` may differ from the suite's to forge a frame.
    bytes eapol(bool from_ap, int information, byte_span nonce, const bytes& key_data, bool mic,
                std::size_t mic_length)
    {
        bytes frame = data_header(from_ap, from_ap ? station : ap);
        frame.insert(frame.end(), {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x88, 0x8E});
        const std::size_t eapol_at = frame.size();
        frame.insert(frame.end(), {0x02, 0x03});
        put_be16(frame, 77 + mic_length + 2 + key_data.size());
        frame.push_back(0x02);
        put_be16(frame, static_cast<std::size_t>(information | suite_info.version));
        put_be16(frame, from_ap ? temporal_key_length(suite_info.pairwise) : 0);
        for (int i = 7; i >= 0; --i)
            frame.push_back(static_cast<std::uint8_t>(replay >> (8 * i)));
        frame.insert(frame.end(), nonce.begin(), nonce.end());
        frame.insert(frame.end(), 16 + 8 + 8, 0); // IV, RSC, reserved
        const std::size_t mic_at = frame.size();
        frame.insert(frame.end(), mic_length, 0);
        put_be16(frame, key_data.size());
        frame.insert(frame.end(), key_data.begin(), key_data.end());
        if (mic) {
            bytes value(suite.mic_length);
            EXPECT_TRUE(eapol_key_mic(suite.mic, kck(), byte_span(frame).subspan(eapol_at), value));
            std::copy_n(value.begin(), std::min(mic_length, value.size()), frame.begin() + static_cast<std::ptrdiff_t>(mic_at));
        }
        return frame;
    }
    bytes wrapped(bytes plain)
    {
        plain.push_back(0xDD);
        while (plain.size() % 8 != 0 || plain.size() < 16)
            plain.push_back(0);
        bytes out;
        EXPECT_TRUE(gen::own_key_wrap(kek(), plain, out));
        return out;
    }
    bytes gtk_kdes(int gtk_index)
    {
        bytes data(8 + gtk.size() + (key_id >= 0 ? 8 : 0));
        const std::uint8_t head[] = {0xDD, static_cast<std::uint8_t>(6 + gtk.size()), 0x00, 0x0F, 0xAC, 0x01,
                                     static_cast<std::uint8_t>(gtk_index), 0x00};
        std::copy(std::begin(head), std::end(head), data.begin());
        std::copy(gtk.begin(), gtk.end(), data.begin() + 8);
        if (key_id >= 0) {
            const std::uint8_t key_id_kde[] = {0xDD, 0x06, 0x00, 0x0F, 0xAC, 0x0A, static_cast<std::uint8_t>(key_id), 0x00};
            std::copy(std::begin(key_id_kde), std::end(key_id_kde), data.end() - 8);
        }
        return data;
    }
    bytes message_1() { return eapol(true, 0x0088, anonce, {}, false, suite.mic_length); }
    bytes message_2(std::size_t mic_length = 0)
    {
        return eapol(false, 0x0108, snonce,
                     rsne(static_cast<int>(suite_info.group), static_cast<int>(suite_info.pairwise), suite_info.akm),
                     true, mic_length == 0 ? suite.mic_length : mic_length);
    }
    bytes message_3()
    {
        bytes data = rsne(static_cast<int>(suite_info.group), static_cast<int>(suite_info.pairwise), suite_info.akm);
        const bytes kdes = gtk_kdes(1);
        data.insert(data.end(), kdes.begin(), kdes.end());
        ++replay;
        return eapol(true, 0x13C8, anonce, wrapped(data), true, suite.mic_length);
    }
    bytes group_message_1(int gtk_index)
    {
        ++replay;
        return eapol(true, 0x1380, filled(32, 0), wrapped(gtk_kdes(gtk_index)), true, suite.mic_length);
    }
};

// A protected Data frame of `cipher` under `key`.
bytes protect(cipher_suite cipher, byte_span key, bool from_ap, const mac_address& receiver, int key_index,
              std::uint64_t pn, const bytes& body)
{
    bytes frame;
    EXPECT_TRUE(seal_aead(cipher, key, pn, key_index, data_header(from_ap, receiver), body, frame));
    return frame;
}

const bytes payload = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x45, 0x00, 0x00, 0x14, 1, 2, 3, 4,
                       5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void follow(decryption& state, const bytes& frame) { follow_eapol_frame(state, frame, byte_span(frame).subspan(24)); }

record_fate decrypt(decryption& state, const bytes& frame)
{
    std::vector<std::uint8_t> plain;
    std::size_t frame_at = 0;
    return decrypt_data_frame(state, frame, false, false, plain, frame_at);
}

void give_key(decryption& state, const std::string& text)
{
    user_key key;
    std::string error;
    ASSERT_TRUE(parse_key(text, key, error)) << error;
    add_user_key(state, key);
}

std::string psk_of(const bytes& pmk)
{
    std::string text = "wpa-psk:";
    for (const std::uint8_t b : pmk) {
        static const char digits[] = "0123456789abcdef";
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

TEST(handshake_suites, every_suite_decrypts_its_frames)
{
    const std::vector<suite_case> cases = {
        {"WPA2-PSK by version 2", 2, 2, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32},
        {"SAE, version 0", 8, 0, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32},
        {"SAE, GCMP-128", 8, 0, 0, cipher_suite::gcmp128, cipher_suite::gcmp128, 32},
        {"PSK-SHA256, CCMP-256", 6, 3, 0, cipher_suite::ccmp256, cipher_suite::ccmp256, 32},
        {"Suite B 192, GCMP-256", 12, 0, 0, cipher_suite::gcmp256, cipher_suite::gcmp256, 48},
        {"OWE over group 20", 18, 0, 1, cipher_suite::ccmp128, cipher_suite::ccmp128, 48},
        {"SAE-EXT-KEY over group 19", 24, 0, 0, cipher_suite::gcmp256, cipher_suite::ccmp128, 32},
        {"OWE over group 21, a 64-byte PMK", 18, 0, 2, cipher_suite::gcmp256, cipher_suite::gcmp256, 64},
        {"802.1X-SHA256 by PMK", 5, 3, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32},
    };
    for (const suite_case& c : cases) {
        SCOPED_TRACE(c.name);
        const bytes pmk = filled(c.pmk_length, 0x3C);
        decryption state;
        give_key(state, "wpa-pwd:not the key:lab"); // key 1 never matches
        give_key(state, psk_of(pmk));              // key 2
        // A Beacon names the network.
        bytes beacon = {0x80, 0x00, 0, 0};
        beacon.insert(beacon.end(), broadcast.begin(), broadcast.end());
        beacon.insert(beacon.end(), ap.begin(), ap.end());
        beacon.insert(beacon.end(), ap.begin(), ap.end());
        beacon.resize(24 + 12, 0);
        beacon.insert(beacon.end(), {0x00, 0x04, 'l', 'a', 'b', 0x01});
        follow_management_frame(state, beacon);
        handshake_builder hs(c, pmk);
        follow(state, hs.message_1());
        follow(state, hs.message_2());
        follow(state, hs.message_3());
        EXPECT_EQ(state.tracker.handshakes_completed, 1);
        EXPECT_EQ(state.tracker.handshakes_unmatched, 0);
        EXPECT_EQ(decrypt(state, protect(c.pairwise, hs.tk(), true, station, 0, 1, payload)), record_fate::decrypted);
        EXPECT_EQ(decrypt(state, protect(c.pairwise, hs.tk(), false, ap, 0, 2, payload)), record_fate::decrypted);
        EXPECT_EQ(decrypt(state, protect(c.group, hs.gtk, true, broadcast, 1, 3, payload)), record_fate::decrypted);
        std::vector<std::string> rows;
        describe_networks(state, rows);
        ASSERT_EQ(rows.size(), 1u);
        EXPECT_NE(rows[0].find("network 02:00:00:00:00:01 \"lab\\x01\", key 2 "), std::string::npos) << rows[0];
    }
}

// Messages 1 and 2 only: message 2's MIC gives the PTK, and a group key
// handshake inside protected frames then gives the group key.
TEST(handshake_suites, group_key_after_messages_1_and_2)
{
    const suite_case c{"SAE", 8, 0, 0, cipher_suite::ccmp128, cipher_suite::gcmp128, 32};
    const bytes pmk = filled(32, 0x77);
    decryption state;
    give_key(state, psk_of(pmk));
    handshake_builder hs(c, pmk);
    follow(state, hs.message_1());
    follow(state, hs.message_2());
    EXPECT_EQ(decrypt(state, protect(c.group, hs.gtk, true, broadcast, 2, 1, payload)), record_fate::protected_no_session);
    bytes group_message = hs.group_message_1(2);
    const bytes body(group_message.begin() + 24, group_message.end());
    EXPECT_EQ(decrypt(state, protect(c.pairwise, hs.tk(), true, station, 0, 5, body)), record_fate::decrypted);
    EXPECT_EQ(decrypt(state, protect(c.group, hs.gtk, true, broadcast, 2, 2, payload)), record_fate::decrypted);
}

// Extended Key ID: message 3 names the key ID; a rekey on the other ID
// keeps the first key for the frames still sent under it.
TEST(handshake_suites, extended_key_id_keeps_both_keys)
{
    const suite_case c{"PSK", 2, 2, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32};
    const bytes pmk = filled(32, 0x42);
    decryption state;
    give_key(state, psk_of(pmk));
    handshake_builder first(c, pmk);
    first.key_id = 1;
    for (const auto& frame : {first.message_1(), first.message_2(), first.message_3()})
        follow(state, frame);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, first.tk(), true, station, 1, 1, payload)), record_fate::decrypted);

    handshake_builder second(c, pmk);
    second.anonce = filled(32, 0xB2);
    second.snonce = filled(32, 0x6D);
    second.derive();
    second.key_id = 0;
    for (const auto& frame : {second.message_1(), second.message_2(), second.message_3()})
        follow(state, frame);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, first.tk(), true, station, 1, 2, payload)), record_fate::decrypted);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, second.tk(), true, station, 0, 1, payload)), record_fate::decrypted);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, first.tk(), true, station, 1, 3, payload)), record_fate::decrypted);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, first.tk(), true, station, 0, 3, payload)), record_fate::integrity_failed);
}

// Without Extended Key ID a rekey replaces the key on ID 0; the old key
// still decrypts the frames sent under it until the new one is used.
TEST(handshake_suites, rekey_keeps_the_old_key_until_the_new_is_used)
{
    const suite_case c{"PSK", 2, 2, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32};
    const bytes pmk = filled(32, 0x24);
    decryption state;
    give_key(state, psk_of(pmk));
    handshake_builder first(c, pmk);
    for (const auto& frame : {first.message_1(), first.message_2(), first.message_3()})
        follow(state, frame);
    handshake_builder second(c, pmk);
    second.anonce = filled(32, 0xC3);
    second.derive();
    for (const auto& frame : {second.message_1(), second.message_2(), second.message_3()})
        follow(state, frame);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, first.tk(), true, station, 0, 7, payload)), record_fate::decrypted);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, second.tk(), true, station, 0, 1, payload)), record_fate::decrypted);
    EXPECT_EQ(decrypt(state, protect(c.pairwise, first.tk(), true, station, 0, 8, payload)), record_fate::integrity_failed);
    EXPECT_EQ(state.tracker.handshakes_completed, 2);
}

// Hostile and unsupported handshakes: each a clean drop, counted on its row.
TEST(handshake_suites, hostile_handshakes_are_counted_drops)
{
    struct hostile_case {
        const char* name;
        suite_case suite;
        std::size_t key_length; // of the PMK given
        std::function<bytes(handshake_builder&)> message_2;
        std::int64_t handshake_drops::*row;
    };
    const suite_case sae{"SAE", 8, 0, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32};
    const std::vector<hostile_case> cases = {
        {"MIC of 24 bytes for a suite of 16", sae, 32, [](handshake_builder& hs) { return hs.message_2(24); },
         &handshake_drops::malformed},
        {"RSNE whose AKM list runs past it", sae, 32,
         [](handshake_builder& hs) {
             bytes frame = hs.message_2();
             frame[frame.size() - 22 + 14] = 5; // AKM count 5, one listed
             return frame;
         },
         &handshake_drops::malformed},
        {"Key Data length past the frame", sae, 32,
         [](handshake_builder& hs) {
             bytes frame = hs.message_2();
             frame[frame.size() - 23] = 0xFF;
             return frame;
         },
         &handshake_drops::malformed},
        {"48-byte PMK for a SHA-256 AKM", sae, 48, [](handshake_builder& hs) { return hs.message_2(); },
         &handshake_drops::no_key_of_length},
        {"FT-PSK without the MDE and FTE that name its keys",
         {"FT", 4, 0, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32}, 32,
         [](handshake_builder& hs) { return hs.message_2(); }, &handshake_drops::key_exchange_refused},
        {"unknown cipher", {"cipher 7", 8, 0, 0, static_cast<cipher_suite>(7), cipher_suite::ccmp128, 32}, 32,
         [](handshake_builder& hs) { return hs.message_2(); }, &handshake_drops::unsupported_akm},
    };
    for (const hostile_case& c : cases) {
        SCOPED_TRACE(c.name);
        const bytes pmk = filled(c.key_length, 0x19);
        decryption state;
        give_key(state, psk_of(pmk));
        suite_case built = c.suite;
        if (built.akm == 4)
            built.akm = 8; // derived as SAE; the RSNE names FT
        handshake_builder hs(built, bytes(pmk.begin(), pmk.begin() + 32));
        hs.suite_info.akm = c.suite.akm;
        follow(state, hs.message_1());
        const bytes message_2 = c.message_2(hs);
        follow(state, message_2);
        follow(state, message_2); // retransmitted: one handshake, two malformed frames
        const bool per_frame = c.row == &handshake_drops::malformed || c.row == &handshake_drops::key_exchange_refused;
        EXPECT_EQ(state.tracker.drops.*(c.row), per_frame ? 2 : 1);
        EXPECT_EQ(state.tracker.handshakes_completed, 0);
        if (c.row == &handshake_drops::unsupported_akm) {
            EXPECT_EQ(decrypt(state, protect(cipher_suite::ccmp128, filled(16, 1), true, station, 0, 1, payload)),
                      record_fate::protected_unsupported);
        }
    }
}

// A flood of fake handshakes stays within the tracker's bounds.
TEST(handshake_suites, fake_handshakes_are_bounded)
{
    const suite_case c{"PSK", 2, 2, 0, cipher_suite::ccmp128, cipher_suite::ccmp128, 32};
    decryption state;
    give_key(state, psk_of(filled(32, 1)));
    handshake_builder hs(c, filled(32, 2));
    bytes frame = hs.message_1();
    for (int i = 0; i < 20000; ++i) {
        frame[4] = static_cast<std::uint8_t>(i); // the station's address
        frame[5] = static_cast<std::uint8_t>(i >> 8);
        follow(state, frame);
    }
    EXPECT_LE(state.tracker.pending.entries.size(), state.tracker.pending.limit);
    EXPECT_EQ(state.tracker.evicted(), 20000 - static_cast<std::int64_t>(state.tracker.pending.limit));
}

} // namespace
