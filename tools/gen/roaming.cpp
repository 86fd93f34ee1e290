// Networks whose keys come from more than the 4-way handshake.
//
// FT-PSK (--ft, AKM 4) or FT-802.1X (--ft --akm 3, the MSK given, whose
// second 256 bits are the XXKey; the EAP exchange before each initial
// association is left out): two access points of one mobility domain. Each
// station's initial mobility-domain association with the first is an
// association (MDE, FTE naming R0KH-ID and R1KH-ID) and a 4-way handshake
// whose PTK comes from PMK-R1 (12.7.1.7); later, in turn, each station
// roams to the second over the air: FT Authentication request and
// response (SNonce, ANonce), Reassociation Request and Response with
// their FTE MICs under the new KCK and the second access point's GTK in
// the response's FTE. Traffic flows before and after through the access
// point each station is with.
//
// TDLS (--tdls): a WPA2 network whose first two stations set up a direct
// link with the TPK handshake (Setup Request, Response, Confirm, each sent
// through the access point under the sender's and then the receiver's
// PTK), then talk directly under TPK-TK beside the network's traffic.
//
// The key hierarchy is computed here from libcrypto's HMAC, CMAC and
// digests, apart from src/decrypt's derivations.
#include "gen.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <initializer_list>

namespace gen {

constexpr mac second_access_point = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0x02};
constexpr std::array<std::uint8_t, 2> mobility_domain_id = {0x4B, 0x52};
constexpr std::string_view r0kh_id = "r0kh.kestrine-lab";
constexpr std::size_t tdls_initiator = 0, tdls_responder = 1;

struct roaming_network {
    protected_network net;  // the stations' PTKs and the first access point's GTK
    bool fast_transition = false;
    bool tdls = false;
    temporal_key second_group; // the second access point's GTK
    std::vector<mac> bssid_of; // the access point each station is with
    std::vector<std::array<std::uint8_t, 16>> r0_names;
    std::vector<std::vector<std::uint8_t>> queue; // frames of a roam, before the next traffic
    std::size_t next_queued = 0;
    std::size_t roamed = 0;
    std::uint64_t traffic = 0;
    temporal_key direct; // TDLS: TPK-TK
};

void roaming_deleter::operator()(roaming_network* net) const { delete net; }

namespace {

// FT: every station roams once, the first after this many frames of
// traffic, the next ones this many frames later each.
constexpr std::uint64_t roam_interval = 150;

byte_span text_bytes(std::string_view text) { return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}; }

void sha256_of(std::initializer_list<byte_span> parts, std::span<std::uint8_t> out)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    std::array<std::uint8_t, 32> digest{};
    unsigned length = 0;
    bool done = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    for (const byte_span part : parts)
        done = done && EVP_DigestUpdate(context.get(), part.data(), part.size()) == 1;
    if (!done || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1)
        fail("cannot hash");
    std::copy_n(digest.begin(), out.size(), out.begin());
}

void append(std::vector<std::uint8_t>& out, byte_span bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

void put_element(std::vector<std::uint8_t>& out, unsigned id, byte_span body)
{
    put_u8(out, id);
    put_u8(out, static_cast<unsigned>(body.size()));
    append(out, body);
}

// An RSNE with one pairwise cipher and one AKM, and a PMKID (PMKR0Name or
// PMKR1Name) when given.
std::vector<std::uint8_t> rsne(unsigned group, unsigned akm, const std::array<std::uint8_t, 16>* pmkid)
{
    std::vector<std::uint8_t> body = {0x01, 0x00, 0x00, 0x0F, 0xAC, static_cast<std::uint8_t>(group)};
    for (unsigned selector : {4u, akm}) {
        put_le16(body, 1);
        for (unsigned byte : {0x00u, 0x0Fu, 0xACu, selector})
            put_u8(body, byte);
    }
    put_le16(body, 0); // RSN Capabilities
    if (pmkid != nullptr) {
        put_le16(body, 1);
        append(body, *pmkid);
    }
    std::vector<std::uint8_t> element;
    put_element(element, 0x30, body);
    return element;
}

std::vector<std::uint8_t> mobility_domain_element()
{
    std::vector<std::uint8_t> element;
    put_element(element, 54, std::array<std::uint8_t, 3>{mobility_domain_id[0], mobility_domain_id[1], 0x00});
    return element;
}

// An FTE: MIC Control (the element count in its second byte), MIC zeroed
// (filled in by `seal_fte`), ANonce, SNonce, then the subelements given.
struct fte_parts {
    unsigned element_count = 0;
    const std::array<std::uint8_t, 32>* anonce = nullptr;
    const std::array<std::uint8_t, 32>* snonce = nullptr;
    const mac* r1kh = nullptr;
    bool r0kh = false;
    std::vector<std::uint8_t> gtk; // the GTK subelement's body
};
std::vector<std::uint8_t> fte(const fte_parts& parts)
{
    // MIC Control, then the MIC. Sized first and filled in after: GCC 12
    // at -O3 takes a list-initialised vector grown by resize for a
    // two-byte buffer and warns of a copy past it.
    std::vector<std::uint8_t> body(2 + 16, 0);
    body[1] = static_cast<std::uint8_t>(parts.element_count);
    for (const auto* nonce : {parts.anonce, parts.snonce}) {
        if (nonce != nullptr)
            append(body, *nonce);
        else
            body.resize(body.size() + 32, 0);
    }
    if (parts.r1kh != nullptr)
        put_element(body, 1, *parts.r1kh);
    if (!parts.gtk.empty())
        put_element(body, 2, parts.gtk);
    if (parts.r0kh)
        put_element(body, 3, text_bytes(r0kh_id));
    std::vector<std::uint8_t> element;
    put_element(element, 55, body);
    return element;
}

// AES-128-CMAC under `kck` over two addresses, a transaction sequence
// number and the elements (the FTE last, its MIC still zero), written
// into the FTE's MIC field.
void seal_fte(byte_span kck, const mac& first, const mac& second, unsigned sequence,
              std::initializer_list<const std::vector<std::uint8_t>*> elements, std::vector<std::uint8_t>& fte_element)
{
    std::vector<std::uint8_t> input;
    put(input, first);
    put(input, second);
    put_u8(input, sequence);
    for (const auto* element : elements)
        append(input, *element);
    append(input, fte_element);
    if (!own_mac("CMAC", "AES-128-CBC", kck, input, std::span(fte_element).subspan(4, 16)))
        fail("cannot compute an FTE MIC");
}

// ---- FT's key hierarchy (12.7.1.7)

struct ft_names {
    std::array<std::uint8_t, 16> r0_name{};
    std::array<std::uint8_t, 16> r1_name{};
};

// PMK-R0 from the PMK (FT-PSK's XXKey), PMK-R1 for `r1kh`, then the PTK
// (KCK, KEK, TK) into station.ptk.
ft_names derive_ft(roaming_network& roaming, station_keys& station, const mac& r1kh,
                   const std::array<std::uint8_t, 32>& anonce, const std::array<std::uint8_t, 32>& snonce)
{
    const protected_network& net = roaming.net;
    std::vector<std::uint8_t> context;
    put_u8(context, static_cast<unsigned>(net.ssid.size()));
    append(context, text_bytes(net.ssid));
    append(context, mobility_domain_id);
    put_u8(context, static_cast<unsigned>(r0kh_id.size()));
    append(context, text_bytes(r0kh_id));
    put(context, station.address);
    std::array<std::uint8_t, 48> r0_data{}; // PMK-R0 || PMK-R0Name-Salt
    std::array<std::uint8_t, 32> pmk_r1{};
    ft_names names;
    std::vector<std::uint8_t> r1_context;
    put(r1_context, r1kh);
    put(r1_context, station.address);
    std::vector<std::uint8_t> ptk_context;
    append(ptk_context, snonce);
    append(ptk_context, anonce);
    put(ptk_context, r1kh); // the R1KH-ID is the access point's address
    put(ptk_context, station.address);
    const byte_span pmk_r0 = std::span(r0_data).first(32);
    if (!own_kdf("SHA256", std::span(net.pmk).first(32), "FT-R0", context, r0_data) ||
        !own_kdf("SHA256", pmk_r0, "FT-R1", r1_context, pmk_r1) ||
        !own_kdf("SHA256", pmk_r1, "FT-PTK", ptk_context, std::span(station.ptk).first(48)))
        fail("cannot derive the FT keys");
    sha256_of({text_bytes("FT-R0N"), std::span(r0_data).subspan(32)}, names.r0_name);
    sha256_of({text_bytes("FT-R1N"), names.r0_name, r1kh, station.address}, names.r1_name);
    OPENSSL_cleanse(r0_data.data(), r0_data.size());
    OPENSSL_cleanse(pmk_r1.data(), pmk_r1.size());
    return names;
}

std::array<std::uint8_t, 32> random_nonce(std::uint64_t& state)
{
    std::array<std::uint8_t, 32> nonce{};
    fill_random(nonce, state);
    return nonce;
}

constexpr int info_version = 3, info_pairwise = 0x0008, info_install = 0x0040, info_ack = 0x0080,
              info_mic = 0x0100, info_secure = 0x0200, info_encrypted = 0x1000;

// The initial mobility-domain association with the first access point.
void add_initial_association(roaming_network& roaming, std::size_t index, std::uint64_t& state)
{
    protected_network& net = roaming.net;
    station_keys& station = net.stations[index];
    const auto plain_rsne = rsne(4, net.akm.selector, nullptr);
    const auto mde = mobility_domain_element();
    std::vector<std::uint8_t> request;
    put_association_request(request, station.address, access_point, nullptr, net.ssid, state);
    append(request, plain_rsne);
    append(request, mde);
    net.prelude.push_back(request);

    fte_parts names_only;
    names_only.r1kh = &access_point;
    names_only.r0kh = true;
    const auto names_fte = fte(names_only);
    std::vector<std::uint8_t> response;
    put_association_response(response, false, station.address, access_point, static_cast<unsigned>(index + 1), state);
    append(response, plain_rsne);
    append(response, mde);
    append(response, names_fte);
    net.prelude.push_back(response);

    const auto anonce = random_nonce(state);
    const auto snonce = random_nonce(state);
    const ft_names names = derive_ft(roaming, station, access_point, anonce, snonce);
    roaming.r0_names[index] = names.r0_name;
    const auto named_rsne = rsne(4, net.akm.selector, &names.r1_name);
    std::vector<std::uint8_t> station_data = named_rsne;
    append(station_data, mde);
    append(station_data, names_fte);
    // Message 3: the AP's RSNE, the GTK KDE, MDE, FTE and the key
    // lifetime, wrapped under the KEK.
    std::vector<std::uint8_t> ap_data = named_rsne;
    for (unsigned byte : {0xDDu, 22u, 0x00u, 0x0Fu, 0xACu, 0x01u, static_cast<unsigned>(net.group.key_id), 0x00u})
        put_u8(ap_data, byte);
    append(ap_data, std::span(net.group.tk).first(16));
    append(ap_data, mde);
    append(ap_data, names_fte);
    put_element(ap_data, 56, std::array<std::uint8_t, 5>{0x02, 0x10, 0x0E, 0x00, 0x00}); // key lifetime 3600 s
    put_u8(ap_data, 0xDD);
    while (ap_data.size() % 8 != 0)
        put_u8(ap_data, 0);
    std::vector<std::uint8_t> wrapped;
    if (!own_key_wrap(std::span(station.ptk).subspan(16, 16), ap_data, wrapped))
        fail("cannot wrap the group key");
    const std::uint64_t replay = station.replay;
    station.replay += 2;
    net.prelude.push_back(make_eapol_key(net, station, true, info_version | info_pairwise | info_ack, 16, replay + 1,
                                         anonce.data(), {}, false));
    net.prelude.push_back(make_eapol_key(net, station, false, info_version | info_pairwise | info_mic, 0, replay + 1,
                                         snonce.data(), station_data, true));
    net.prelude.push_back(make_eapol_key(
        net, station, true,
        info_version | info_pairwise | info_install | info_ack | info_mic | info_secure | info_encrypted, 16,
        replay + 2, anonce.data(), wrapped, true));
    net.prelude.push_back(make_eapol_key(net, station, false, info_version | info_pairwise | info_mic | info_secure,
                                         0, replay + 2, nullptr, {}, true));
    set_key(station.pairwise, cipher::ccmp, std::span(station.ptk).subspan(32, 16), 0);
}

// A station's FT reassociation over the air to the second access point.
void add_roam(roaming_network& roaming, std::size_t index, std::uint64_t& state)
{
    protected_network& net = roaming.net;
    station_keys& station = net.stations[index];
    const mac& target = second_access_point;
    const auto mde = mobility_domain_element();
    const auto r0_rsne = rsne(4, net.akm.selector, &roaming.r0_names[index]);
    const auto snonce = random_nonce(state);
    const auto anonce = random_nonce(state);

    fte_parts request_parts;
    request_parts.snonce = &snonce;
    request_parts.r0kh = true;
    std::vector<std::uint8_t> request;
    put_management_header(request, 11, target, station.address, target, state);
    for (unsigned field : {2u, 1u, 0u}) // FT, sequence 1, success
        put_le16(request, field);
    append(request, r0_rsne);
    append(request, mde);
    append(request, fte(request_parts));
    roaming.queue.push_back(request);

    fte_parts answer_parts = request_parts;
    answer_parts.anonce = &anonce;
    answer_parts.r1kh = &target;
    std::vector<std::uint8_t> answer;
    put_management_header(answer, 11, station.address, target, target, state);
    for (unsigned field : {2u, 2u, 0u})
        put_le16(answer, field);
    append(answer, r0_rsne);
    append(answer, mde);
    append(answer, fte(answer_parts));
    roaming.queue.push_back(answer);

    const ft_names names = derive_ft(roaming, station, target, anonce, snonce);
    const byte_span kck = std::span(station.ptk).first(16);
    const auto r1_rsne = rsne(4, net.akm.selector, &names.r1_name);
    answer_parts.element_count = 3;
    auto request_fte = fte(answer_parts);
    seal_fte(kck, station.address, target, 5, {&r1_rsne, &mde}, request_fte);
    std::vector<std::uint8_t> reassociation;
    put_association_request(reassociation, station.address, target, &access_point, net.ssid, state);
    append(reassociation, r1_rsne);
    append(reassociation, mde);
    append(reassociation, request_fte);
    roaming.queue.push_back(reassociation);

    // The GTK subelement: Key Info (key ID), Key Length, RSC, the key
    // wrapped under the new KEK.
    std::vector<std::uint8_t> wrapped;
    if (!own_key_wrap(std::span(station.ptk).subspan(16, 16), std::span(roaming.second_group.tk).first(16), wrapped))
        fail("cannot wrap the group key");
    answer_parts.gtk = {static_cast<std::uint8_t>(roaming.second_group.key_id), 0x00, 16};
    answer_parts.gtk.resize(3 + 8, 0);
    append(answer_parts.gtk, wrapped);
    auto response_fte = fte(answer_parts);
    seal_fte(kck, station.address, target, 6, {&r1_rsne, &mde}, response_fte);
    std::vector<std::uint8_t> response;
    put_association_response(response, true, station.address, target, static_cast<unsigned>(index + 1), state);
    append(response, r1_rsne);
    append(response, mde);
    append(response, response_fte);
    roaming.queue.push_back(response);

    set_key(station.pairwise, cipher::ccmp, std::span(station.ptk).subspan(32, 16), 0);
    roaming.bssid_of[index] = target;
}

// ---- TDLS (12.7.8)

std::vector<std::uint8_t> tdls_body(unsigned action, const std::vector<std::uint8_t>& elements)
{
    std::vector<std::uint8_t> body = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x89, 0x0D, 2, 12,
                                      static_cast<std::uint8_t>(action)};
    if (action != 0)
        put_le16(body, 0); // status: success
    put_u8(body, 1);       // dialog token
    if (action != 2) {
        put_le16(body, 0x0431);
        put_rates(body);
        put_element(body, 127, std::array<std::uint8_t, 5>{0, 0, 0, 0, 0x20}); // TDLS supported
    }
    append(body, elements);
    return body;
}

// A TDLS frame travels to the access point under the sender's PTK and on
// to the peer under the peer's.
void relay_through_access_point(protected_network& net, std::size_t from, std::size_t to,
                                const std::vector<std::uint8_t>& body, std::uint64_t& state)
{
    station_keys& sender = net.stations[from];
    station_keys& receiver = net.stations[to];
    for (const bool from_ap : {false, true}) {
        std::vector<std::uint8_t> header;
        put_data_header(header, from_ap, from_ap ? receiver.address : access_point,
                        from_ap ? access_point : sender.address, from_ap ? sender.address : receiver.address,
                        below(state, 4096));
        std::vector<std::uint8_t> frame;
        if (net.unencrypted_twin) {
            frame = header;
            append(frame, body);
        } else {
            encrypt_with(from_ap ? receiver.pairwise : sender.pairwise, from_ap, header, body, frame);
        }
        net.prelude.push_back(frame);
    }
}

void add_tdls_setup(roaming_network& roaming, std::uint64_t& state)
{
    protected_network& net = roaming.net;
    const mac initiator = net.stations[tdls_initiator].address;
    const mac responder = net.stations[tdls_responder].address;
    const auto snonce = random_nonce(state);
    const auto anonce = random_nonce(state);
    const auto link_rsne = rsne(7, 7, nullptr); // group traffic not allowed; the TPK handshake
    std::vector<std::uint8_t> timeout;
    put_element(timeout, 56, std::array<std::uint8_t, 5>{0x02, 0x10, 0x0E, 0x00, 0x00});
    std::vector<std::uint8_t> link;
    put_u8(link, 101);
    put_u8(link, 18);
    put(link, access_point);
    put(link, initiator);
    put(link, responder);

    // TPK = KDF-256(SHA-256(min(SNonce, ANonce) || max(..)), "TDLS PMK",
    // min(MAC_I, MAC_R) || max(MAC_I, MAC_R) || BSSID): TPK-KCK || TPK-TK.
    const bool snonce_first = snonce < anonce;
    std::array<std::uint8_t, 32> key_input{};
    sha256_of({snonce_first ? snonce : anonce, snonce_first ? anonce : snonce}, key_input);
    std::vector<std::uint8_t> context;
    put(context, std::min(initiator, responder));
    put(context, std::max(initiator, responder));
    put(context, access_point);
    std::array<std::uint8_t, 32> tpk{};
    if (!own_kdf("SHA256", key_input, "TDLS PMK", context, tpk))
        fail("cannot derive the TPK");

    fte_parts parts;
    parts.snonce = &snonce;
    std::vector<std::uint8_t> request = link_rsne;
    append(request, timeout);
    append(request, fte(parts));
    append(request, link);
    relay_through_access_point(net, tdls_initiator, tdls_responder, tdls_body(0, request), state);

    parts.anonce = &anonce;
    for (unsigned sequence : {2u, 3u}) {
        auto sealed = fte(parts);
        seal_fte(std::span(tpk).first(16), initiator, responder, sequence, {&link, &link_rsne, &timeout}, sealed);
        // seal_fte puts the addresses first: the Link Identifier comes
        // behind them, then the RSNE, the Timeout Interval and the FTE.
        std::vector<std::uint8_t> elements = link_rsne;
        append(elements, timeout);
        append(elements, sealed);
        append(elements, link);
        if (sequence == 2)
            relay_through_access_point(net, tdls_responder, tdls_initiator, tdls_body(1, elements), state);
        else
            relay_through_access_point(net, tdls_initiator, tdls_responder, tdls_body(2, elements), state);
    }
    set_key(roaming.direct, cipher::ccmp, std::span(tpk).subspan(16, 16), 0);
    OPENSSL_cleanse(tpk.data(), tpk.size());
    OPENSSL_cleanse(key_input.data(), key_input.size());
}

std::vector<std::uint8_t> payload(std::uint64_t& state, bool small_packets)
{
    std::vector<std::uint8_t> plain = {0xAA, 0xAA, 0x03, 0x00, 0x00, 0x00, 0x08, 0x00};
    put_ip_packet(plain, imix_ip_length(state, small_packets), state);
    return plain;
}

void put_sealed(std::vector<std::uint8_t>& out, roaming_network& roaming, temporal_key& key, bool from_ap,
                const std::vector<std::uint8_t>& header, const std::vector<std::uint8_t>& plain)
{
    if (roaming.net.unencrypted_twin) {
        append(out, header);
        append(out, plain);
    } else {
        encrypt_with(key, from_ap, header, plain, out);
    }
}

// A QoS Data frame of the direct link, ToDS and FromDS clear, A3 the BSSID.
void put_direct_frame(std::vector<std::uint8_t>& out, roaming_network& roaming, std::uint64_t& state,
                      bool small_packets)
{
    const bool forward = below(state, 2) == 0;
    const mac& source = roaming.net.stations[forward ? tdls_initiator : tdls_responder].address;
    const mac& destination = roaming.net.stations[forward ? tdls_responder : tdls_initiator].address;
    std::vector<std::uint8_t> header = {0x88, 0x00};
    put_le16(header, 48);
    put(header, destination);
    put(header, source);
    put(header, access_point);
    put_le16(header, below(state, 4096) << 4);
    put_le16(header, below(state, 8));
    put_sealed(out, roaming, roaming.direct, false, header, payload(state, small_packets));
}

// FT traffic: each station through the access point it is with; group
// frames from either access point under its own GTK.
void put_ft_traffic(std::vector<std::uint8_t>& out, roaming_network& roaming, std::uint64_t& state,
                    bool small_packets)
{
    protected_network& net = roaming.net;
    const std::size_t index = below(state, static_cast<std::uint32_t>(net.stations.size()));
    station_keys& station = net.stations[index];
    const mac& bssid = roaming.bssid_of[index];
    const bool group = below(state, 20) == 0;
    const bool from_ap = group || below(state, 2) == 0;
    std::vector<std::uint8_t> header;
    const unsigned sequence = below(state, 4096);
    const unsigned tid = group ? 0 : below(state, 8);
    put_data_header(header, from_ap, group ? broadcast_address : from_ap ? station.address : bssid,
                    from_ap ? bssid : station.address, gateway, sequence, group ? nullptr : &tid);
    temporal_key& key = !group ? station.pairwise : bssid == access_point ? net.group : roaming.second_group;
    put_sealed(out, roaming, key, from_ap, header, payload(state, small_packets));
}

} // namespace

std::unique_ptr<roaming_network, roaming_deleter> set_up_roaming(const options& opts, std::uint64_t& state)
{
    std::unique_ptr<roaming_network, roaming_deleter> roaming(new roaming_network);
    roaming->fast_transition = opts.fast_transition;
    roaming->tdls = opts.tdls;
    const bool ft_psk = opts.fast_transition && opts.akm == 4 && opts.pmk.empty();
    const bool ft_8021x = opts.fast_transition && opts.akm == 3 && opts.pmk.size() == 128;
    const bool tdls = opts.tdls && opts.akm == 2 && opts.pmk.empty();
    if (opts.encrypt != "ccmp" || opts.fast_transition == opts.tdls || opts.stations < 2 ||
        !(ft_psk || ft_8021x || tdls) || opts.wpa1)
        fail("--ft and --tdls take --encrypt ccmp, a passphrase (--ft also --akm 3 and --pmk with the MSK, 128 hex "
             "digits) and at least 2 stations");
    if (opts.tdls) {
        set_up_network(roaming->net, opts, state);
        add_tdls_setup(*roaming, state);
        return roaming;
    }
    protected_network& net = roaming->net;
    net.unencrypted_twin = opts.unencrypted_twin;
    net.suite = cipher::ccmp;
    net.akm = {opts.akm, 3, kdf_kind::sha256, mic_kind::cmac, 16, 16, 16, 32};
    net.ssid = opts.ssid.empty() ? "kestrine-lab" : opts.ssid;
    if (ft_8021x) { // net.pmk holds the XXKey
        const auto msk = parse_hex(opts.pmk);
        if (msk.size() != 64)
            fail("--pmk takes the MSK here, 128 hex digits");
        std::copy(msk.begin() + 32, msk.end(), net.pmk.begin());
    } else if (!own_pmk_from_passphrase(opts.passphrase, text_bytes(net.ssid), std::span(net.pmk).first<32>())) {
        fail("cannot derive the PMK: a passphrase is 8 to 63 characters, an SSID 1 to 32 bytes");
    }
    for (temporal_key* key : {&net.group, &roaming->second_group})
        set_key(*key, cipher::ccmp, random_nonce(state), 1);
    for (const mac& bssid : {access_point, second_access_point}) {
        std::vector<std::uint8_t> beacon;
        put_management_header(beacon, 8, broadcast_address, bssid, bssid, state);
        put_random(beacon, 8, state);
        put_le16(beacon, 100);
        put_le16(beacon, 0x0431);
        put_ssid(beacon, net.ssid);
        put_rates(beacon);
        append(beacon, rsne(4, net.akm.selector, nullptr));
        append(beacon, mobility_domain_element());
        net.prelude.push_back(beacon);
    }
    net.stations.resize(opts.stations);
    roaming->bssid_of.assign(opts.stations, access_point);
    roaming->r0_names.resize(opts.stations);
    for (unsigned i = 0; i < opts.stations; ++i) {
        net.stations[i].address = {0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + i)};
        add_initial_association(*roaming, i, state);
    }
    return roaming;
}

void put_roaming_frame(std::vector<std::uint8_t>& out, roaming_network& roaming, std::uint64_t& state,
                       bool small_packets)
{
    protected_network& net = roaming.net;
    if (roaming.tdls) {
        if (net.next_prelude >= net.prelude.size() && below(state, 4) == 0)
            put_direct_frame(out, roaming, state, small_packets);
        else
            put_protected_frame(out, net, state, small_packets);
        return;
    }
    if (net.next_prelude < net.prelude.size()) {
        append(out, net.prelude[net.next_prelude++]);
        return;
    }
    if (roaming.roamed < net.stations.size() && roaming.traffic >= (roaming.roamed + 1) * roam_interval)
        add_roam(roaming, roaming.roamed++, state);
    if (roaming.next_queued < roaming.queue.size()) {
        append(out, roaming.queue[roaming.next_queued++]);
        return;
    }
    ++roaming.traffic;
    put_ft_traffic(out, roaming, state, small_packets);
}

} // namespace gen
