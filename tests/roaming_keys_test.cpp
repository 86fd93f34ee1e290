// FT reassociations over the air and TDLS setups, built here frame by
// frame with the library's own derivations (proved on vectors elsewhere):
// each case runs an exchange, maybe damaged, then checks whether a frame
// under the keys it gives decrypts and what --stats counts. Hostile
// exchanges end in counted drops, never in installed keys.
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"
#include "sealing.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

const mac_address target_ap = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
const mac_address station = {0x02, 0x00, 0x00, 0x00, 0x00, 0x05};
const mac_address peer = {0x02, 0x00, 0x00, 0x00, 0x00, 0x06};
const bytes pmk(32, 0x3C);
const bytes mdid = {0x4B, 0x52};
const std::string r0kh = "r0kh.test";
const bytes anonce(32, 0xA7), snonce(32, 0x5E);
const bytes payload = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00, 0x45, 0x00, 0x00, 0x14, 1, 2, 3, 4};

void append(bytes& out, byte_span more) { out.insert(out.end(), more.begin(), more.end()); }
bytes element(std::uint8_t id, const bytes& body)
{
    // Sized once: GCC 12 at -O3 warns of a copy past a two-byte vector
    // grown by insert.
    bytes out(2 + body.size());
    out[0] = id;
    out[1] = static_cast<std::uint8_t>(body.size());
    std::copy(body.begin(), body.end(), out.begin() + 2);
    return out;
}
byte_span text(const std::string& s) { return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()}; }

bytes rsne(std::uint8_t group, std::uint8_t akm)
{
    return element(0x30, {1, 0, 0x00, 0x0F, 0xAC, group, 1, 0, 0x00, 0x0F, 0xAC, 4, 1, 0, 0x00, 0x0F, 0xAC, akm, 0, 0});
}

// An FTE: MIC Control, MIC (zero), ANonce, SNonce, then `subelements`.
bytes fte(const bytes& subelements)
{
    bytes body(2 + 16, 0);
    append(body, anonce);
    append(body, snonce);
    append(body, subelements);
    return element(55, body);
}
bytes ft_names()
{
    bytes sub = element(1, bytes(target_ap.begin(), target_ap.end()));
    append(sub, element(3, bytes(r0kh.begin(), r0kh.end())));
    return sub;
}

bytes management(int subtype, const mac_address& to, const mac_address& from, const bytes& fixed, const bytes& elements)
{
    bytes frame = {static_cast<std::uint8_t>(subtype << 4), 0, 0, 0};
    append(frame, to);
    append(frame, from);
    append(frame, target_ap);
    append(frame, bytes{0x10, 0x00});
    append(frame, fixed);
    append(frame, elements);
    return frame;
}

// CMAC under `kck` over two addresses, a sequence number, the elements and
// the FTE (last), written into the FTE's MIC.
void seal(byte_span kck, const mac_address& first, const mac_address& second, std::uint8_t sequence,
          const std::vector<const bytes*>& elements, bytes& fte_element, const bytes& behind = {})
{
    bytes input(first.begin(), first.end());
    append(input, second);
    input.push_back(sequence);
    for (const bytes* e : elements)
        append(input, *e);
    append(input, fte_element);
    append(input, behind);
    std::array<std::uint8_t, 16> mic{};
    ASSERT_TRUE(eapol_key_mic(mic_algorithm::aes128_cmac, kck, input, mic));
    std::copy(mic.begin(), mic.end(), fte_element.begin() + 4);
}

// A frame of the pair under `tk`: ToDS=FromDS=0, A3 the BSSID.
bytes protect(byte_span tk, const mac_address& to, const mac_address& from)
{
    bytes header = {0x08, 0x00, 0, 0};
    append(header, to);
    append(header, from);
    append(header, target_ap);
    append(header, bytes{0x20, 0x00});
    bytes frame;
    EXPECT_TRUE(seal_aead(cipher_suite::ccmp128, tk, 1, 0, header, payload, frame));
    return frame;
}

std::string hex_key(const bytes& key)
{
    std::string text = "wpa-psk:";
    for (const std::uint8_t b : key) {
        static const char digits[] = "0123456789abcdef";
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

void give_key(decryption& state, const bytes& key)
{
    user_key parsed;
    std::string error;
    ASSERT_TRUE(parse_key(hex_key(key), parsed, error)) << error;
    add_user_key(state, parsed);
}

// ---- FT over the air

struct ft_exchange {
    bytes authentication_request, authentication_response, reassociation_request, reassociation_response;
    bytes ptk = bytes(48);
};

// With `rsnxe`, the Reassociation Response carries an RSN Extension
// element behind its FTE, under the MIC.
ft_exchange ft_frames(const bytes& rsnxe = {})
{
    ft_exchange x;
    ft_key r0, r1;
    EXPECT_TRUE(derive_pmk_r0(hash_function::sha256, pmk, text("lab"), mdid, text(r0kh), station, r0));
    EXPECT_TRUE(derive_pmk_r1(hash_function::sha256, r0, target_ap, station, r1));
    EXPECT_TRUE(derive_ft_ptk(hash_function::sha256, r1, anonce, snonce, target_ap, station, x.ptk));
    const bytes mde = element(54, {mdid[0], mdid[1], 0});
    const bytes r = rsne(4, 4);
    bytes elements = r;
    append(elements, mde);
    append(elements, fte(ft_names()));
    x.authentication_request = management(11, target_ap, station, {2, 0, 1, 0, 0, 0}, elements);
    x.authentication_response = management(11, station, target_ap, {2, 0, 2, 0, 0, 0}, elements);
    bytes sealed = fte(ft_names());
    seal(byte_span(x.ptk).first(16), station, target_ap, 5, {&r, &mde}, sealed);
    bytes request = element(0, {'l', 'a', 'b'});
    append(request, r);
    append(request, mde);
    append(request, sealed);
    x.reassociation_request = management(2, target_ap, station, bytes(10, 0), request);
    sealed = fte(ft_names());
    seal(byte_span(x.ptk).first(16), station, target_ap, 6, {&r, &mde}, sealed, rsnxe);
    bytes response = r;
    append(response, mde);
    append(response, sealed);
    append(response, rsnxe);
    x.reassociation_response = management(3, station, target_ap, bytes(6, 0), response);
    return x;
}

struct ft_case {
    const char* name;
    std::function<void(ft_exchange&)> damage;
    bytes rsnxe;
    bool skip_authentication;
    bool decrypts;
    std::int64_t refused;
    std::int64_t unmatched;
};

TEST(fast_transition, reassociation_over_the_air)
{
    const std::size_t fte_at = 24 + 6 + 22 + 5; // behind the fixed fields, the RSNE and the MDE
    const ft_case cases[] = {
        {"whole exchange", [](ft_exchange&) {}, {}, false, true, 0, 0},
        {"an RSNXE behind the FTE, under its MIC", [](ft_exchange&) {}, element(244, {0x20}), false, true, 0, 0},
        {"a reassociation response without FT authentication", [](ft_exchange&) {}, {}, true, false, 2, 0},
        {"a response MIC no key gives", [&](ft_exchange& x) { x.reassociation_response[fte_at + 4] ^= 1; }, {}, false,
         false, 0, 1},
        {"an FTE that claims more bytes than the frame has",
         [&](ft_exchange& x) { x.reassociation_response[fte_at + 1] = 250; }, {}, false, false, 2, 0},
        {"an R0KH-ID subelement running past its FTE",
         [&](ft_exchange& x) { x.reassociation_response[x.reassociation_response.size() - r0kh.size() - 1] = 60; },
         {}, false, false, 2, 0},
        {"an authentication FTE cut short",
         [](ft_exchange& x) {
             x.authentication_response.resize(24 + 6 + 22 + 5 + 2 + 40);
             x.authentication_response[24 + 6 + 22 + 5 + 1] = 40;
         },
         {}, false, false, 3, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        decryption state;
        give_key(state, pmk);
        ft_exchange x = ft_frames(c.rsnxe);
        c.damage(x);
        if (!c.skip_authentication) {
            follow_management_frame(state, x.authentication_request);
            follow_management_frame(state, x.authentication_response);
        }
        follow_management_frame(state, x.reassociation_request);
        follow_management_frame(state, x.reassociation_response);
        // A retransmission: installs nothing new and counts a matched or
        // unmatched exchange once, though each refused frame counts.
        follow_management_frame(state, x.reassociation_response);
        const bytes frame = protect(byte_span(x.ptk).subspan(32, 16), target_ap, station);
        std::vector<std::uint8_t> plain;
        std::size_t frame_at = 0;
        const record_fate fate = decrypt_data_frame(state, frame, false, false, plain, frame_at);
        EXPECT_EQ(fate == record_fate::decrypted, c.decrypts);
        EXPECT_EQ(state.tracker.handshakes_completed, c.decrypts ? 1 : 0);
        EXPECT_EQ(state.tracker.drops.key_exchange_refused, c.refused);
        EXPECT_EQ(state.tracker.handshakes_unmatched, c.unmatched);
    }
}

// ---- The initial mobility-domain association: a 4-way handshake under
// FT-PSK whose PTK comes from PMK-R1

// An EAPOL-Key frame (key descriptor version 3) between the access point
// and the station, its MIC under `kck` when given.
bytes eapol_key(bool from_ap, int information, const bytes& nonce, const bytes& key_data, byte_span kck)
{
    bytes frame = {0x08, static_cast<std::uint8_t>(from_ap ? 0x02 : 0x01), 0, 0};
    append(frame, from_ap ? station : target_ap);
    append(frame, from_ap ? target_ap : station);
    append(frame, target_ap);
    append(frame, bytes{0x40, 0x00, 0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x88, 0x8E});
    const std::size_t eapol_at = frame.size();
    const std::size_t body = 95 + key_data.size();
    append(frame, bytes{2, 3, static_cast<std::uint8_t>(body >> 8), static_cast<std::uint8_t>(body), 2,
                        static_cast<std::uint8_t>(information >> 8), static_cast<std::uint8_t>(information | 3), 0,
                        16, 0, 0, 0, 0, 0, 0, 0, 1});
    append(frame, nonce);
    frame.resize(frame.size() + 16 + 8 + 8 + 16, 0); // IV, RSC, reserved, MIC
    append(frame, bytes{0, static_cast<std::uint8_t>(key_data.size())});
    append(frame, key_data);
    if (!kck.empty()) {
        std::array<std::uint8_t, 16> mic{};
        EXPECT_TRUE(eapol_key_mic(mic_algorithm::aes128_cmac, kck, byte_span(frame).subspan(eapol_at), mic));
        std::copy(mic.begin(), mic.end(), frame.end() - 2 - static_cast<std::ptrdiff_t>(key_data.size() + 16));
    }
    return frame;
}

struct initial_case {
    const char* name;
    bool response_names_key_holders; // the Association Response's FTE
    bool message_2_names_them;       // message 2's MDE and FTE
    bool decrypts;
    std::int64_t refused;
};

TEST(fast_transition, initial_mobility_domain_association)
{
    const initial_case cases[] = {
        {"names in the association response", true, false, true, 0},
        {"names in message 2 only", false, true, true, 0},
        {"no FTE anywhere", false, false, false, 1},
    };
    const bytes mde = element(54, {mdid[0], mdid[1], 0});
    ft_key r0, r1;
    bytes ptk(48);
    ASSERT_TRUE(derive_pmk_r0(hash_function::sha256, pmk, text("lab"), mdid, text(r0kh), station, r0));
    ASSERT_TRUE(derive_pmk_r1(hash_function::sha256, r0, target_ap, station, r1));
    ASSERT_TRUE(derive_ft_ptk(hash_function::sha256, r1, anonce, snonce, target_ap, station, ptk));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        decryption state;
        give_key(state, pmk);
        bytes request = element(0, {'l', 'a', 'b'});
        append(request, rsne(4, 4));
        append(request, mde);
        follow_management_frame(state, management(0, target_ap, station, bytes(4, 0), request));
        bytes response = rsne(4, 4);
        append(response, mde);
        if (c.response_names_key_holders)
            append(response, fte(ft_names()));
        follow_management_frame(state, management(1, station, target_ap, bytes(6, 0), response));
        bytes key_data = rsne(4, 4);
        if (c.message_2_names_them) {
            append(key_data, mde);
            append(key_data, fte(ft_names()));
        }
        const bytes message_1 = eapol_key(true, 0x0088, anonce, {}, {});
        const bytes message_2 = eapol_key(false, 0x0108, snonce, key_data, byte_span(ptk).first(16));
        for (const bytes* frame : {&message_1, &message_2})
            follow_eapol_frame(state, *frame, byte_span(*frame).subspan(24));
        std::vector<std::uint8_t> plain;
        std::size_t frame_at = 0;
        EXPECT_EQ(decrypt_data_frame(state, protect(byte_span(ptk).subspan(32, 16), target_ap, station), false, false,
                                     plain, frame_at) == record_fate::decrypted,
                  c.decrypts);
        EXPECT_EQ(state.tracker.handshakes_completed, c.decrypts ? 1 : 0);
        EXPECT_EQ(state.tracker.drops.key_exchange_refused, c.refused);
    }
}

// ---- TDLS

struct tdls_setup {
    bytes response, confirm; // Data frames between the stations, through the AP
    bytes tk;
};

bytes tdls_frame(std::uint8_t action, const bytes& elements)
{
    bytes frame = {0x08, 0x02, 0, 0};
    append(frame, peer);
    append(frame, target_ap);
    append(frame, station);
    append(frame, bytes{0x30, 0x00, 0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x89, 0x0D, 2, 12, action, 0, 0, 1});
    if (action == 1)
        append(frame, bytes{0x31, 0x04});
    append(frame, elements);
    return frame;
}

tdls_setup tdls_frames()
{
    tdls_setup s;
    bytes tpk(32);
    // The station initiates (SNonce), the peer responds (ANonce).
    EXPECT_TRUE(derive_tpk(hash_function::sha256, snonce, anonce, station, peer, target_ap, tpk));
    s.tk.assign(tpk.begin() + 16, tpk.end());
    const bytes r = rsne(7, 7);
    const bytes timeout = element(56, {2, 0x10, 0x0E, 0, 0});
    bytes link(target_ap.begin(), target_ap.end());
    append(link, station);
    append(link, peer);
    link = element(101, link);
    for (const std::uint8_t sequence : {std::uint8_t{2}, std::uint8_t{3}}) {
        bytes sealed = fte({});
        seal(byte_span(tpk).first(16), station, peer, sequence, {&link, &r, &timeout}, sealed);
        bytes elements = r;
        append(elements, timeout);
        append(elements, sealed);
        append(elements, link);
        (sequence == 2 ? s.response : s.confirm) = tdls_frame(sequence == 2 ? 1 : 2, elements);
    }
    return s;
}

struct tdls_case {
    const char* name;
    std::function<void(tdls_setup&)> damage;
    bool with_response;
    bool decrypts;
    std::int64_t refused;
};

TEST(tdls, direct_link_keys)
{
    // Response: LLC, type, category, action (11), status, token,
    // capability (5), RSNE (22), Timeout Interval (7), then the FTE.
    const std::size_t response_fte = 24 + 11 + 5 + 22 + 7;
    const tdls_case cases[] = {
        {"response and confirm", [](tdls_setup&) {}, true, true, 0},
        {"the confirm alone", [](tdls_setup&) {}, false, true, 0},
        {"a response and a confirm with wrong MICs",
         [&](tdls_setup& s) {
             s.response[response_fte + 4] ^= 1;
             s.confirm[response_fte - 2 + 4] ^= 1;
         },
         true, false, 3},
        {"a confirm whose MIC fails after a good response", [&](tdls_setup& s) { s.confirm[response_fte - 2 + 4] ^= 1; },
         true, true, 2},
        {"a Link Identifier one byte short", [](tdls_setup& s) { s.response[s.response.size() - 19] = 17; s.confirm.resize(30); },
         true, false, 1},
        {"a refused setup", [](tdls_setup& s) { s.response[24 + 11] = 37; s.confirm[24 + 11] = 37; }, true, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        decryption state;
        give_key(state, pmk);
        tdls_setup s = tdls_frames();
        c.damage(s);
        // The confirm twice: once to the access point, once on to the peer.
        for (const bytes* frame : {c.with_response ? &s.response : nullptr, &s.confirm, &s.confirm})
            if (frame != nullptr)
                follow_tdls_frame(state, byte_span(*frame).subspan(24));
        std::vector<std::uint8_t> plain;
        std::size_t frame_at = 0;
        EXPECT_EQ(decrypt_data_frame(state, protect(s.tk, peer, station), false, false, plain, frame_at) == record_fate::decrypted,
                  c.decrypts);
        EXPECT_EQ(state.tracker.drops.key_exchange_refused, c.refused);
    }
}

} // namespace
