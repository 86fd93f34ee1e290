// Protected networks: each station's 4-way handshake (or none, for WEP),
// then traffic in both directions and group traffic from the access point.
//
// The suites are data: a row per cipher and per AKM gives what the
// handshake and the traffic need (KDF, MIC, key lengths, key descriptor
// version), so a new suite is a new row. Networks of today's passphrase
// suites (CCMP-128 or TKIP, AKM 2) keep the shape their captures always
// had: two frames no key opens before each handshake. The newer ones open
// with a beacon and each station's association, whose RSN elements name
// the suites, as a decoder that needs the AKM before message 2 expects.
//
// A WPA1 network (--wpa1) is the pre-RSN form that WPA-certified devices
// still speak: the WPA vendor element (00-50-F2 type 1) in place of the
// RSNE, EAPOL-Key descriptor type 254, a 4-way handshake whose message 3
// carries the element in the clear and no group key, and the TKIP group
// key in a group key handshake after it, its Key Data encrypted although
// the Encrypted Key Data bit, which WPA1 predates, is clear. The group key
// is renewed now and then, its key index alternating between 1 and 2.
//
// Where a network type of its own is added (FT with its reassociations,
// TDLS with its setup through the AP), it goes in as another way to key a
// station, beside add_handshake and add_group_handshake: a sequence of
// frames pushed to the prelude, and the station's keys installed.
#include "gen.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <cctype>
#include <span>
#include <utility>

namespace gen {
namespace {

// ---- Suites

struct cipher_row {
    const char* name;
    cipher suite;
    unsigned selector; // behind 00-0F-AC
    std::size_t tk_length;
};
constexpr std::array<cipher_row, 6> cipher_rows = {{
    {"wep", cipher::wep, 1, 0},
    {"tkip", cipher::tkip, 2, 32},
    {"ccmp", cipher::ccmp, 4, 16},
    {"gcmp", cipher::gcmp, 8, 16},
    {"gcmp256", cipher::gcmp256, 9, 32},
    {"ccmp256", cipher::ccmp256, 10, 32},
}};

const cipher_row& row_of(cipher suite)
{
    for (const auto& row : cipher_rows)
        if (row.suite == suite)
            return row;
    fail("unknown cipher");
}

// The AKM suite selectors (9.4.2.24.3) and the key descriptor versions
// (12.7.2): the version follows the AKM (and TKIP), the hash of OWE its
// Diffie-Hellman group.
struct akm_row {
    unsigned selector;
    unsigned owe_group; // 0 but for OWE
    akm_suite suite;
};
constexpr std::array<akm_row, 10> akm_rows = {{
    {1, 0, {1, 2, kdf_kind::prf_sha1, mic_kind::hmac_sha1, 16, 16, 16, 32}},
    {2, 0, {2, 2, kdf_kind::prf_sha1, mic_kind::hmac_sha1, 16, 16, 16, 32}},
    {5, 0, {5, 3, kdf_kind::sha256, mic_kind::cmac, 16, 16, 16, 32}},
    {6, 0, {6, 3, kdf_kind::sha256, mic_kind::cmac, 16, 16, 16, 32}},
    {8, 0, {8, 0, kdf_kind::sha256, mic_kind::cmac, 16, 16, 16, 32}},
    {12, 0, {12, 0, kdf_kind::sha384, mic_kind::hmac_sha384, 24, 32, 24, 48}},
    {18, 19, {18, 0, kdf_kind::sha256, mic_kind::hmac_sha256, 16, 16, 16, 32}},
    {18, 20, {18, 0, kdf_kind::sha384, mic_kind::hmac_sha384, 24, 32, 24, 48}},
    // SAE with a group-dependent hash: SHA-256 for group 19, SHA-384 for 20.
    {24, 19, {24, 0, kdf_kind::sha256, mic_kind::hmac_sha256, 16, 16, 16, 32}},
    {24, 20, {24, 0, kdf_kind::sha384, mic_kind::hmac_sha384, 24, 32, 24, 48}},
}};

std::size_t tk_length(const protected_network& net) { return row_of(net.suite).tk_length; }
std::size_t tk_length(const temporal_key& key) { return row_of(key.suite).tk_length; }

constexpr unsigned rsn_extended_key_id = 0x2000; // RSN Capabilities bit 13
constexpr unsigned rsn_mfp_required_and_capable = 0x00C0; // bits 6 and 7

// An RSN element naming one cipher (pairwise and group) and one AKM.
std::vector<std::uint8_t> rsn_element(unsigned cipher_selector, unsigned akm, unsigned capabilities)
{
    std::vector<std::uint8_t> element = {0x30, 0x14, 0x01, 0x00};
    for (unsigned selector : {cipher_selector, 0x100u | cipher_selector, 0x100u | akm}) {
        if (selector >= 0x100) // a count of one before the pairwise and AKM lists
            put_le16(element, 1);
        for (unsigned byte : {0x00u, 0x0Fu, 0xACu, selector & 0xFF})
            put_u8(element, byte);
    }
    put_le16(element, capabilities);
    return element;
}

// The WPA element (a vendor element of 00-50-F2, type 1, version 1): the
// group cipher, one pairwise cipher and one AKM, each behind 00-50-F2
// with the RSNE's numbers.
std::vector<std::uint8_t> wpa_element(unsigned group_selector, unsigned pairwise_selector, unsigned akm)
{
    std::vector<std::uint8_t> element = {0xDD, 22, 0x00, 0x50, 0xF2, 0x01, 0x01, 0x00};
    for (unsigned selector : {group_selector, 0x100u | pairwise_selector, 0x100u | akm}) {
        if (selector >= 0x100)
            put_le16(element, 1);
        for (unsigned byte : {0x00u, 0x50u, 0xF2u, selector & 0xFF})
            put_u8(element, byte);
    }
    return element;
}

std::vector<std::uint8_t> rsn_element_of(const protected_network& net)
{
    if (net.wpa1)
        return wpa_element(row_of(net.group.suite).selector, row_of(net.suite).selector, net.akm.selector);
    return rsn_element(row_of(net.suite).selector, net.akm.selector,
                       (net.extended_key_id ? rsn_extended_key_id : 0) |
                           (net.protected_management ? rsn_mfp_required_and_capable : 0));
}

// ---- Frames

// A Data or QoS Data header from the access point (FromDS) or to it (ToDS).
std::vector<std::uint8_t> data_header(bool qos, bool from_ap, const mac& station, const mac& destination,
                                      std::uint64_t& state)
{
    std::vector<std::uint8_t> header;
    const unsigned sequence = below(state, 4096);
    const unsigned tid = qos ? below(state, 8) : 0;
    put_data_header(header, from_ap, from_ap ? destination : access_point, from_ap ? access_point : station,
                    from_ap ? gateway : destination, sequence, qos ? &tid : nullptr);
    return header;
}

// Appends header and plain protected under `key`, by its cipher.
void encrypt_under(temporal_key& key, bool from_ap, byte_span header, byte_span plain, std::vector<std::uint8_t>& out)
{
    bool done = false;
    switch (key.suite) {
    case cipher::tkip: // group frames come from the authenticator
        done = own_tkip_encrypt(key.tk, from_ap, key.packet_number++, key.key_id, header, plain, out);
        break;
    case cipher::ccmp:
    case cipher::ccmp256:
    case cipher::gcmp:
    case cipher::gcmp256:
        done = own_aead_encrypt(key.suite, std::span(key.tk).first(tk_length(key)), key.packet_number++, key.key_id,
                                header, plain, out);
        break;
    case cipher::wep:
        break;
    }
    if (!done)
        fail("cannot encrypt a frame");
}

// A whole unprotected Data frame sealed under a pair's key (the twin
// leaves it as it is).
std::vector<std::uint8_t> sealed_under(protected_network& net, temporal_key& key, bool from_ap,
                                       const std::vector<std::uint8_t>& frame)
{
    if (net.unencrypted_twin)
        return frame;
    const std::size_t header_length = mac_header_length(static_cast<unsigned>(frame[0] | frame[1] << 8));
    std::vector<std::uint8_t> sealed;
    encrypt_under(key, from_ap, byte_span(frame).first(header_length), byte_span(frame).subspan(header_length), sealed);
    return sealed;
}

void set_temporal_key(temporal_key& key, cipher suite, byte_span tk, int key_id)
{
    key.suite = suite;
    std::fill(key.tk.begin(), key.tk.end(), 0);
    std::copy(tk.begin(), tk.end(), key.tk.begin());
    key.packet_number = 1;
    key.key_id = key_id;
}

// ---- Management frames of the newer networks

// OWE's Diffie-Hellman Parameter element (extension 32): the group and a
// public key, random here, of the group's size.
void put_owe_parameter(std::vector<std::uint8_t>& out, unsigned group, std::uint64_t& state)
{
    const std::size_t key_length = group == 20 ? 48 : 32;
    put_u8(out, 0xFF);
    put_u8(out, static_cast<unsigned>(3 + key_length));
    put_u8(out, 32);
    put_le16(out, group);
    put_random(out, key_length, state);
}

std::vector<std::uint8_t> beacon(const protected_network& net, std::uint64_t& state)
{
    std::vector<std::uint8_t> frame;
    put_management_header(frame, 8, broadcast_address, access_point, access_point, state);
    put_random(frame, 8, state); // timestamp
    put_le16(frame, 100);
    put_le16(frame, 0x0431);
    put_ssid(frame, net.ssid);
    put_rates(frame);
    const auto rsne = rsn_element_of(net);
    frame.insert(frame.end(), rsne.begin(), rsne.end());
    return frame;
}

void add_association(protected_network& net, const station_keys& station, unsigned aid, std::uint64_t& state)
{
    const bool owe = net.akm.selector == 18;
    const auto rsne = rsn_element_of(net);
    std::vector<std::uint8_t> request;
    put_association_request(request, station.address, access_point, nullptr, net.ssid, state);
    request.insert(request.end(), rsne.begin(), rsne.end());
    if (owe)
        put_owe_parameter(request, net.owe_group, state);
    net.prelude.push_back(request);

    std::vector<std::uint8_t> response;
    put_association_response(response, false, station.address, access_point, aid, state);
    if (owe) {
        response.insert(response.end(), rsne.begin(), rsne.end());
        put_owe_parameter(response, net.owe_group, state);
    }
    net.prelude.push_back(response);
}

// ---- Handshakes

constexpr int info_pairwise = 0x0008, info_install = 0x0040, info_ack = 0x0080, info_mic = 0x0100,
              info_secure = 0x0200, info_encrypted = 0x1000;

void key_mic(const protected_network& net, byte_span kck, byte_span eapol, std::span<std::uint8_t> mic)
{
    bool done = false;
    switch (net.akm.mic) {
    case mic_kind::hmac_md5:
        done = own_mac("HMAC", "MD5", kck, eapol, mic);
        break;
    case mic_kind::hmac_sha1:
        done = own_mac("HMAC", "SHA1", kck, eapol, mic);
        break;
    case mic_kind::cmac:
        done = own_mac("CMAC", "AES-128-CBC", kck, eapol, mic);
        break;
    case mic_kind::hmac_sha256:
        done = own_mac("HMAC", "SHA256", kck, eapol, mic);
        break;
    case mic_kind::hmac_sha384:
        done = own_mac("HMAC", "SHA384", kck, eapol, mic);
        break;
    }
    if (!done)
        fail("cannot compute a key MIC");
}

} // namespace

void append_eapol_key(std::vector<std::uint8_t>& frame, const protected_network& net, byte_span kck, int information,
                      std::size_t key_length, std::uint64_t replay, const std::uint8_t* nonce,
                      const std::vector<std::uint8_t>& key_iv, const std::vector<std::uint8_t>& key_data,
                      bool with_mic)
{
    const std::size_t mic_length = net.akm.mic_length;
    for (unsigned byte : {0xAAu, 0xAAu, 0x03u, 0x00u, 0x00u, 0x00u, 0x88u, 0x8Eu})
        put_u8(frame, byte);
    const std::size_t eapol = frame.size();
    put_u8(frame, net.wpa1 ? 1 : 2); // 802.1X-2001 for WPA1, as its devices send it
    put_u8(frame, 3);
    put_be16(frame, static_cast<unsigned>(79 + mic_length + key_data.size()));
    put_u8(frame, net.wpa1 ? 254 : 2); // the WPA or the RSN key descriptor
    put_be16(frame, static_cast<unsigned>(information));
    put_be16(frame, static_cast<unsigned>(key_length));
    for (int shift = 56; shift >= 0; shift -= 8)
        put_u8(frame, static_cast<unsigned>(replay >> shift) & 0xFF);
    for (int i = 0; i < 32; ++i)
        put_u8(frame, nonce != nullptr ? nonce[i] : 0);
    for (std::size_t i = 0; i < 16; ++i)
        put_u8(frame, i < key_iv.size() ? key_iv[i] : 0);
    for (std::size_t i = 0; i < 16 + mic_length; ++i) // RSC, reserved, MIC
        put_u8(frame, 0);
    put_be16(frame, static_cast<unsigned>(key_data.size()));
    frame.insert(frame.end(), key_data.begin(), key_data.end());
    if (with_mic) {
        const byte_span whole(frame.data() + eapol, frame.size() - eapol);
        std::array<std::uint8_t, 24> mic{};
        key_mic(net, kck, whole, std::span(mic).first(mic_length));
        std::copy_n(mic.begin(), mic_length, frame.begin() + static_cast<std::ptrdiff_t>(eapol + 81));
    }
}

namespace {

// One EAPOL-Key message between the access point and `station`, its MIC
// (of the AKM's length) made under the KCK when `with_mic`.
std::vector<std::uint8_t> eapol_key_frame(const protected_network& net, const station_keys& station, bool from_ap,
                                          int information, std::size_t key_length, std::uint64_t replay,
                                          const std::uint8_t* nonce, const std::vector<std::uint8_t>& key_iv,
                                          const std::vector<std::uint8_t>& key_data, bool with_mic)
{
    std::vector<std::uint8_t> frame;
    put_data_header(frame, from_ap, from_ap ? station.address : access_point,
                    from_ap ? access_point : station.address, access_point, 0);
    append_eapol_key(frame, net, std::span(station.ptk).first(net.akm.kck_length), information, key_length, replay,
                     nonce, key_iv, key_data, with_mic);
    return frame;
}

// Key Data of message 3 (the AP's RSN element first) or of a group key
// handshake's message 1: the GTK KDE, and with Extended Key ID the Key ID
// KDE naming the new pairwise key. Encrypted under the KEK: AES key wrap,
// or RC4 behind the key IV for TKIP.
std::vector<std::uint8_t> group_key_data(const protected_network& net, const station_keys& station,
                                         const std::vector<std::uint8_t>& key_iv, bool with_rsne, int pairwise_key_id)
{
    const bool tkip = net.suite == cipher::tkip;
    std::vector<std::uint8_t> data;
    if (with_rsne)
        data = rsn_element_of(net);
    const std::size_t gtk_length = tk_length(net);
    for (unsigned byte : {0xDDu, static_cast<unsigned>(6 + gtk_length), 0x00u, 0x0Fu, 0xACu, 0x01u,
                          static_cast<unsigned>(net.group.key_id), 0x00u})
        put_u8(data, byte);
    data.insert(data.end(), net.group.tk.begin(), net.group.tk.begin() + static_cast<std::ptrdiff_t>(gtk_length));
    if (pairwise_key_id >= 0)
        for (unsigned byte : {0xDDu, 0x06u, 0x00u, 0x0Fu, 0xACu, 0x0Au, static_cast<unsigned>(pairwise_key_id), 0x00u})
            put_u8(data, byte);
    const byte_span kek = std::span(station.ptk).subspan(net.akm.kck_length, net.akm.kek_length);
    if (tkip) {
        std::array<std::uint8_t, 32> rc4_key{};
        std::copy(key_iv.begin(), key_iv.end(), rc4_key.begin());
        std::copy(kek.begin(), kek.end(), rc4_key.begin() + 16);
        if (!own_rc4_xor(rc4_key, 256, data, data.data()))
            fail("cannot load RC4");
        return data;
    }
    put_u8(data, 0xDD); // padding: 0xDD, then zeros
    while (data.size() % 8 != 0)
        put_u8(data, 0);
    std::vector<std::uint8_t> wrapped;
    if (!own_key_wrap(kek, data, wrapped))
        fail("cannot wrap the group key");
    return wrapped;
}

void derive_pairwise_keys(const protected_network& net, station_keys& station, const std::array<std::uint8_t, 32>& anonce,
                          const std::array<std::uint8_t, 32>& snonce)
{
    // min(AA, SPA) || max(AA, SPA) || min(ANonce, SNonce) || max(ANonce, SNonce)
    std::vector<std::uint8_t> context;
    const bool ap_first = access_point < station.address;
    put(context, ap_first ? access_point : station.address);
    put(context, ap_first ? station.address : access_point);
    const bool anonce_first = anonce < snonce;
    context.insert(context.end(), (anonce_first ? anonce : snonce).begin(), (anonce_first ? anonce : snonce).end());
    context.insert(context.end(), (anonce_first ? snonce : anonce).begin(), (anonce_first ? snonce : anonce).end());
    const auto ptk = std::span(station.ptk).first(net.akm.kck_length + net.akm.kek_length + tk_length(net));
    const byte_span pmk = std::span(net.pmk).first(net.akm.pmk_length);
    static constexpr std::string_view label = "Pairwise key expansion";
    const bool done = net.akm.kdf == kdf_kind::prf_sha1 ? own_prf_sha1(pmk, label, context, ptk)
                      : own_kdf(net.akm.kdf == kdf_kind::sha384 ? "SHA384" : "SHA256", pmk, label, context, ptk);
    if (!done)
        fail("cannot derive a PTK");
}

// Two frames no key opens (networks of today's suites only), then the
// 4-way handshake: messages 1 and 2 alone when the group key follows in a
// group key handshake. A rekey's messages travel under the pair's key,
// and with Extended Key ID the new key takes the other key ID.
void add_handshake(protected_network& net, station_keys& station, std::uint64_t& state, bool rekey)
{
    if (!net.announced) {
        for (int i = 0; i < 2; ++i) {
            auto frame = data_header(false, i == 0, station.address, station.address, state);
            frame[1] = static_cast<std::uint8_t>(frame[1] | 0x40);
            for (unsigned byte : {0x01u, 0x00u, 0x00u, 0x20u, 0x00u, 0x00u, 0x00u, 0x00u})
                put_u8(frame, byte);
            put_random(frame, 60, state);
            net.prelude.push_back(frame);
        }
    }
    const int version = net.akm.descriptor_version;
    const std::size_t key_length = tk_length(net);
    std::array<std::uint8_t, 32> anonce{}, snonce{};
    fill_random(anonce, state);
    fill_random(snonce, state);
    station_keys next = {};
    next.address = station.address;
    derive_pairwise_keys(net, next, anonce, snonce);
    std::vector<std::uint8_t> key_iv;
    put_random(key_iv, 16, state);
    const int key_id = rekey && net.extended_key_id ? 1 - station.pairwise.key_id : 0;
    const std::uint64_t replay = station.replay;
    station.replay += 2;

    // Message 2 of a TKIP network has always named CCMP: kept so that its
    // captures stay as they were.
    const std::vector<std::uint8_t> station_rsne =
        net.suite == cipher::tkip ? rsn_element(4, 2, 0) : rsn_element_of(net);
    std::vector<std::vector<std::uint8_t>> frames;
    frames.push_back(eapol_key_frame(net, next, true, version | info_pairwise | info_ack, key_length, replay + 1,
                                     anonce.data(), {}, {}, false));
    frames.push_back(eapol_key_frame(net, next, false, version | info_pairwise | info_mic, 0, replay + 1,
                                     snonce.data(), {}, station_rsne, true));
    const bool whole = rekey || !net.group_handshake;
    if (whole) {
        frames.push_back(eapol_key_frame(
            net, next, true, version | info_pairwise | info_install | info_ack | info_mic | info_secure | info_encrypted,
            key_length, replay + 2, anonce.data(),
            net.suite == cipher::tkip ? key_iv : std::vector<std::uint8_t>{},
            group_key_data(net, next, key_iv, true, net.extended_key_id ? key_id : -1), true));
        frames.push_back(eapol_key_frame(net, next, false, version | info_pairwise | info_mic | info_secure, 0,
                                         replay + 2, nullptr, {}, {}, true));
    }
    for (std::size_t i = 0; i < frames.size(); ++i)
        net.prelude.push_back(rekey ? sealed_under(net, station.pairwise, i % 2 == 0, frames[i]) : frames[i]);

    std::copy(next.ptk.begin(), next.ptk.end(), station.ptk.begin());
    if (rekey) {
        station.previous = std::move(station.pairwise);
        station.has_previous = true;
        station.since_rekey = 0;
    }
    set_temporal_key(station.pairwise, net.suite,
                     std::span(station.ptk).subspan(net.akm.kck_length + net.akm.kek_length, key_length), key_id);
}

// The group key handshake (12.7.7): the GTK in message 1's Key Data, both
// messages under the pair's key.
void add_group_handshake(protected_network& net, station_keys& station)
{
    const int version = net.akm.descriptor_version;
    const std::uint64_t replay = ++station.replay;
    const auto first = eapol_key_frame(net, station, true, version | info_ack | info_mic | info_secure | info_encrypted,
                                       0, replay, nullptr, {}, group_key_data(net, station, {}, false, -1), true);
    const auto second =
        eapol_key_frame(net, station, false, version | info_mic | info_secure, 0, replay, nullptr, {}, {}, true);
    net.prelude.push_back(sealed_under(net, station.pairwise, true, first));
    net.prelude.push_back(sealed_under(net, station.pairwise, false, second));
}

// WPA1's 4-way handshake: the Secure bit waits for the group key
// handshake, and message 3 carries the access point's WPA element in the
// clear, with no group key.
void add_wpa1_handshake(protected_network& net, station_keys& station, std::uint64_t& state)
{
    const int version = net.akm.descriptor_version;
    const std::size_t key_length = tk_length(net);
    std::array<std::uint8_t, 32> anonce{}, snonce{};
    fill_random(anonce, state);
    fill_random(snonce, state);
    derive_pairwise_keys(net, station, anonce, snonce);
    const auto element = rsn_element_of(net);
    const std::uint64_t replay = station.replay;
    station.replay += 2;
    net.prelude.push_back(eapol_key_frame(net, station, true, version | info_pairwise | info_ack, key_length,
                                          replay + 1, anonce.data(), {}, {}, false));
    net.prelude.push_back(eapol_key_frame(net, station, false, version | info_pairwise | info_mic, key_length,
                                          replay + 1, snonce.data(), {}, element, true));
    net.prelude.push_back(eapol_key_frame(net, station, true,
                                          version | info_pairwise | info_install | info_ack | info_mic, key_length,
                                          replay + 2, anonce.data(), {}, element, true));
    net.prelude.push_back(eapol_key_frame(net, station, false, version | info_pairwise | info_mic, key_length,
                                          replay + 2, nullptr, {}, {}, true));
    set_temporal_key(station.pairwise, net.suite,
                     std::span(station.ptk).subspan(net.akm.kck_length + net.akm.kek_length, key_length), 0);
}

// WPA1's group key handshake: message 1 names the key index in Key
// Information bits 4-5 and carries the bare GTK as Key Data, encrypted
// under the KEK (descriptor version 1: RC4 keyed by Key IV || KEK, the
// first 256 bytes of keystream discarded; version 2: AES key wrap), with
// the Encrypted Key Data bit clear. Both messages travel under the pair's
// key.
void add_wpa1_group_handshake(protected_network& net, station_keys& station, std::uint64_t& state)
{
    const int version = net.akm.descriptor_version;
    const std::size_t gtk_length = tk_length(net.group);
    const byte_span gtk = std::span(net.group.tk).first(gtk_length);
    const byte_span kek = std::span(station.ptk).subspan(net.akm.kck_length, net.akm.kek_length);
    std::vector<std::uint8_t> key_iv(16, 0);
    std::vector<std::uint8_t> key_data;
    if (version == 1) {
        key_iv.clear();
        put_random(key_iv, 16, state);
        std::array<std::uint8_t, 32> rc4_key{};
        std::copy(key_iv.begin(), key_iv.end(), rc4_key.begin());
        std::copy(kek.begin(), kek.end(), rc4_key.begin() + 16);
        key_data.resize(gtk.size());
        const bool done = own_rc4_xor(rc4_key, 256, gtk, key_data.data());
        OPENSSL_cleanse(rc4_key.data(), rc4_key.size());
        if (!done)
            fail("cannot load RC4");
    } else if (!own_key_wrap(kek, gtk, key_data)) {
        fail("cannot wrap the group key");
    }
    const int key_index = net.group.key_id << 4;
    const std::uint64_t replay = ++station.replay;
    const auto first = eapol_key_frame(net, station, true, version | key_index | info_ack | info_mic | info_secure,
                                       gtk_length, replay, nullptr, key_iv, key_data, true);
    const auto second =
        eapol_key_frame(net, station, false, version | key_index | info_mic | info_secure, 0, replay, nullptr, {}, {}, true);
    net.prelude.push_back(sealed_under(net, station.pairwise, true, first));
    net.prelude.push_back(sealed_under(net, station.pairwise, false, second));
}

// A new group key, on the key index the last one did not use, handed to
// every station before any group frame goes out under it.
void rekey_wpa1_group(protected_network& net, std::uint64_t& state)
{
    std::array<std::uint8_t, 32> group_key{};
    fill_random(group_key, state);
    set_temporal_key(net.group, net.group.suite, group_key, 3 - net.group.key_id);
    OPENSSL_cleanse(group_key.data(), group_key.size());
    for (auto& station : net.stations)
        add_wpa1_group_handshake(net, station, state);
}


// Extended Key ID: a pair is rekeyed every this many frames of traffic,
// the pairs in turn.
constexpr std::uint64_t rekey_interval = 80;

// Stations keep sending under the key a rekey replaced for a few frames.
constexpr unsigned old_key_frames = 6;

// WPA1: the group key is renewed every this many frames of traffic.
constexpr std::uint64_t group_rekey_interval = 120;

// Protected management frames: a station is deauthenticated or
// disassociated every this many frames of traffic, the stations in turn,
// and joins again at once.
constexpr std::uint64_t reconnection_interval = 100;

// A robust management frame (subtype, then body) between the access point
// and `station`, protected under the pair's key (12.6.11): the body is
// encrypted, the 24-byte header is the AAD's.
std::vector<std::uint8_t> robust_management_frame(protected_network& net, station_keys& station, bool from_ap,
                                                  unsigned subtype, const std::vector<std::uint8_t>& body,
                                                  std::uint64_t& state)
{
    std::vector<std::uint8_t> frame;
    put_management_header(frame, subtype, from_ap ? station.address : access_point,
                          from_ap ? access_point : station.address, access_point, state);
    frame.insert(frame.end(), body.begin(), body.end());
    return sealed_under(net, station.pairwise, from_ap, frame);
}

// The access point ends a station's association with a protected
// Deauthentication (reason 3) or Disassociation (reason 8), and the
// station joins again: association and a new 4-way handshake.
void reconnect_station(protected_network& net, station_keys& station, unsigned aid, bool deauthenticate,
                       std::uint64_t& state)
{
    const std::vector<std::uint8_t> reason = {static_cast<std::uint8_t>(deauthenticate ? 3 : 8), 0x00};
    net.prelude.push_back(robust_management_frame(net, station, true, deauthenticate ? 12 : 10, reason, state));
    add_association(net, station, aid, state);
    add_handshake(net, station, state, false);
    if (net.group_handshake)
        add_group_handshake(net, station);
}

} // namespace

std::vector<std::uint8_t> parse_hex(const std::string& text)
{
    if (!std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }))
        return {};
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

void choose_suites(protected_network& net, const options& opts)
{
    for (const auto& row : cipher_rows)
        if (opts.encrypt == row.name)
            net.suite = row.suite;
    const akm_row* akm = nullptr;
    for (const auto& row : akm_rows)
        if (row.selector == opts.akm && (row.owe_group == 0 || row.owe_group == opts.owe_group))
            akm = &row;
    if (akm == nullptr)
        fail("--akm takes 1, 2, 5, 6, 8, 12, 18 or 24, --owe-group 19 or 20");
    net.akm = akm->suite;
}

void set_pmk(protected_network& net, const options& opts)
{
    if (!opts.pmk.empty()) {
        const auto pmk = parse_hex(opts.pmk);
        if (opts.pmk.size() != 2 * net.akm.pmk_length || pmk.size() != net.akm.pmk_length)
            fail(net.akm.pmk_length == 48 ? "this AKM's --pmk takes 96 hex digits" : "this AKM's --pmk takes 64 hex digits");
        std::copy(pmk.begin(), pmk.end(), net.pmk.begin());
    } else {
        if (opts.akm != 2 && opts.akm != 6)
            fail("only AKMs 2 and 6 take a passphrase; give the others --pmk");
        const byte_span ssid(reinterpret_cast<const std::uint8_t*>(opts.ssid.data()), opts.ssid.size());
        if (!own_pmk_from_passphrase(opts.passphrase, ssid, std::span(net.pmk).first<32>()))
            fail("cannot derive the PMK: a passphrase is 8 to 63 characters, an SSID 1 to 32 bytes");
    }
}

std::size_t tk_length_of(cipher suite) { return row_of(suite).tk_length; }
unsigned selector_of(cipher suite) { return row_of(suite).selector; }

void set_up_network(protected_network& net, const options& opts, std::uint64_t& state)
{
    net.unencrypted_twin = opts.unencrypted_twin;
    if (opts.encrypt == "wep") {
        net.suite = cipher::wep;
        net.wep_key = parse_hex(opts.wep_key);
        if (net.wep_key.size() != 5 && net.wep_key.size() != 13)
            fail("--wep-key takes 10 or 26 hex digits");
        net.stations.resize(opts.stations);
        for (unsigned i = 0; i < opts.stations; ++i)
            net.stations[i].address = {0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + i)};
        return;
    }
    choose_suites(net, opts);
    if (opts.wpa1 && ((net.suite != cipher::tkip && net.suite != cipher::ccmp) || opts.akm > 2 ||
                      opts.group_handshake || opts.extended_key_id || opts.tdls))
        fail("WPA1 networks are TKIP or CCMP, AKM 1 or 2, with one pairwise key and their own group key handshakes");
    if (net.suite == cipher::tkip) {
        if (opts.akm > 2 || opts.group_handshake || opts.extended_key_id)
            fail("TKIP networks are AKM 1 or 2, with whole handshakes and one pairwise key");
        net.akm.descriptor_version = 1;
        net.akm.mic = mic_kind::hmac_md5;
    }
    if (opts.protected_management &&
        (net.suite == cipher::tkip || opts.wpa1 || opts.extended_key_id || opts.fast_transition || opts.tdls))
        fail("--protected-management takes a CCMP or GCMP network of one pairwise key");
    net.protected_management = opts.protected_management;
    net.wpa1 = opts.wpa1;
    net.group_handshake = opts.group_handshake || opts.wpa1;
    net.extended_key_id = opts.extended_key_id;
    net.owe_group = opts.owe_group;
    net.announced = !opts.pmk.empty() || opts.akm != 2 || (net.suite != cipher::ccmp && net.suite != cipher::tkip) ||
                    opts.group_handshake || opts.extended_key_id || opts.tdls || opts.wpa1 ||
                    opts.protected_management;
    net.ssid = opts.ssid.empty() ? "kestrine-lab" : opts.ssid;
    set_pmk(net, opts);
    std::array<std::uint8_t, 32> group_key{};
    fill_random(group_key, state);
    const cipher group_suite = net.wpa1 ? cipher::tkip : net.suite;
    set_temporal_key(net.group, group_suite, std::span(group_key).first(row_of(group_suite).tk_length), 1);
    net.stations.resize(opts.stations);
    if (net.announced)
        net.prelude.push_back(beacon(net, state));
    for (unsigned i = 0; i < opts.stations; ++i) {
        station_keys& station = net.stations[i];
        station.address = {0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + i)};
        if (net.announced)
            add_association(net, station, i + 1, state);
        if (net.wpa1) {
            add_wpa1_handshake(net, station, state);
            add_wpa1_group_handshake(net, station, state);
            continue;
        }
        add_handshake(net, station, state, false);
        if (net.group_handshake)
            add_group_handshake(net, station);
    }
}

void put_protected_frame(std::vector<std::uint8_t>& out, protected_network& net, std::uint64_t& state,
                         bool small_packets)
{
    if (net.extended_key_id && net.next_prelude == net.prelude.size() &&
        net.traffic_frames >= (net.rekeys + 1) * rekey_interval) {
        add_handshake(net, net.stations[net.rekeys % net.stations.size()], state, true);
        ++net.rekeys;
    }
    if (net.wpa1 && net.next_prelude == net.prelude.size() &&
        net.traffic_frames >= (net.group_rekeys + 1) * group_rekey_interval) {
        rekey_wpa1_group(net, state);
        ++net.group_rekeys;
    }
    if (net.protected_management && net.next_prelude == net.prelude.size() &&
        net.traffic_frames >= (net.reconnections + 1) * reconnection_interval) {
        const unsigned k = net.reconnections % static_cast<unsigned>(net.stations.size());
        reconnect_station(net, net.stations[k], k + 1, net.reconnections % 2 == 0, state);
        ++net.reconnections;
    }
    if (net.next_prelude < net.prelude.size()) {
        const auto& frame = net.prelude[net.next_prelude++];
        out.insert(out.end(), frame.begin(), frame.end());
        return;
    }
    ++net.traffic_frames;
    station_keys& station = net.stations[below(state, static_cast<std::uint32_t>(net.stations.size()))];
    if (net.protected_management && below(state, 16) == 0) {
        // An SA Query (category 8) request from the access point or the
        // station's response, with its transaction identifier.
        const bool from_ap = below(state, 2) == 0;
        std::vector<std::uint8_t> body = {8, static_cast<std::uint8_t>(from_ap ? 0 : 1)};
        put_random(body, 2, state);
        const auto frame = robust_management_frame(net, station, from_ap, 13, body, state);
        out.insert(out.end(), frame.begin(), frame.end());
        return;
    }
    const bool group = below(state, 20) == 0;
    const bool from_ap = group || below(state, 2) == 0;
    const bool qos = !group && below(state, 5) != 0;
    const auto header = data_header(qos, from_ap, station.address, group ? broadcast_address : from_ap ? station.address : gateway, state);
    std::vector<std::uint8_t> plain = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    put_ip_packet(plain, imix_ip_length(state, small_packets), state);
    const bool old_key = !group && net.extended_key_id && station.has_previous &&
                         station.since_rekey++ < old_key_frames && below(state, 2) == 0;
    std::array<std::uint8_t, 3> iv{}; // drawn in the twin too, which so stays in step
    if (net.suite == cipher::wep)
        fill_random(iv, state);
    if (net.unencrypted_twin) {
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), plain.begin(), plain.end());
    } else if (net.suite == cipher::wep) {
        if (!own_wep_encrypt(net.wep_key, iv, 0, header, plain, out))
            fail("cannot encrypt a frame");
    } else if (group) {
        encrypt_under(net.group, true, header, plain, out);
    } else {
        encrypt_under(old_key ? station.previous : station.pairwise, from_ap, header, plain, out);
    }
}

std::vector<std::uint8_t> make_eapol_key(const protected_network& net, const station_keys& station, bool from_ap,
                                         int information, std::size_t key_length, std::uint64_t replay,
                                         const std::uint8_t* nonce, const std::vector<std::uint8_t>& key_data,
                                         bool with_mic)
{
    return eapol_key_frame(net, station, from_ap, information, key_length, replay, nonce, {}, key_data, with_mic);
}

void encrypt_with(temporal_key& key, bool from_ap, byte_span header, byte_span plain, std::vector<std::uint8_t>& out)
{
    encrypt_under(key, from_ap, header, plain, out);
}

void set_key(temporal_key& key, cipher suite, byte_span tk, int key_id) { set_temporal_key(key, suite, tk, key_id); }

// Protects the frame as its transmitter would: pairwise between the
// access point and a station, under the group key for group-addressed
// frames from the access point. Other frames, and TKIP fragments (whose
// MIC covers the whole MSDU), stay as they are.
void seal_frame(protected_network& net, std::vector<std::uint8_t>& frame)
{
    const unsigned fc = static_cast<unsigned>(frame[0] | frame[1] << 8);
    const std::size_t header_length = mac_header_length(fc);
    if ((fc & 0x0C) != 0x08 || (fc & 0x40) != 0 || frame.size() <= header_length)
        return;
    const bool fragment = (fc & fc_more_fragments) != 0 || (frame[22] & 0x0F) != 0;
    mac a1{}, a2{};
    std::copy(frame.begin() + 4, frame.begin() + 10, a1.begin());
    std::copy(frame.begin() + 10, frame.begin() + 16, a2.begin());
    const bool group = (a1[0] & 1) != 0;
    const bool from_ap = a2 == access_point;
    if (group && !from_ap)
        return;
    station_keys* peer = nullptr;
    for (auto& candidate : net.stations)
        if ((from_ap && candidate.address == a1) || (!from_ap && a1 == access_point && candidate.address == a2))
            peer = &candidate;
    if (!group && peer == nullptr)
        return;
    temporal_key& key = group ? net.group : peer->pairwise;
    if (net.suite != cipher::wep && key.suite == cipher::tkip && fragment)
        return;
    const byte_span header(frame.data(), header_length);
    const byte_span plain(frame.data() + header_length, frame.size() - header_length);
    std::vector<std::uint8_t> sealed;
    if (net.suite == cipher::wep) {
        const std::uint64_t n = net.wep_iv++;
        const std::array<std::uint8_t, 3> iv = {static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
                                                static_cast<std::uint8_t>(n)};
        if (!own_wep_encrypt(net.wep_key, iv, 0, header, plain, sealed))
            fail("cannot encrypt a frame");
    } else {
        encrypt_under(key, from_ap, header, plain, sealed);
    }
    frame = std::move(sealed);
}

} // namespace gen
