// Multi-link networks (--mlo-links 2|3, IEEE 802.11be-2024): an AP MLD
// whose affiliated APs each run a BSS of their own (one BSSID per link),
// and non-AP MLDs with one address per link. What goes over the air:
//
// - each affiliated AP's Beacon: its RSNE and a Basic Multi-Link element
//   (9.4.2.321.2) whose Common Info holds the AP MLD address and the
//   link's Link ID;
// - each station's Association Request on its setup link: the non-AP MLD
//   address in the Common Info, a complete per-STA profile for every other
//   link with the station's address there; the Response: the AP MLD
//   address, the setup link's ID, a per-STA profile per other link with
//   the affiliated AP's address;
// - the 4-way handshake on the setup link, between link addresses
//   (12.7.6): MAC Address KDEs (messages 1 and 3: the AP MLD; 2 and 4: the
//   non-AP MLD), MLO Link KDEs in message 2 (every link but the setup link,
//   the station's address) and 3 (every link, the AP's address and RSNE),
//   one MLO GTK KDE per link in message 3, and MLO IGTK and BIGTK KDEs per
//   link where management frames are protected. The PTK is derived with
//   AA = the AP MLD address and SPA = the non-AP MLD address;
// - traffic between the MLDs on every link, interleaved, the first on a
//   link other than the setup link: one PTK and one PN counter across the
//   links, the nonce and AAD built with the MLD addresses in place of A1
//   and A2, and of A3 where A3 is the link's BSSID (12.5.2.3.3, 12.5.4.3.3);
// - group traffic on each link under that link's GTK, addresses as sent;
// - every 150 frames of traffic (--mlo-rekey-every N; 0: never), a group
//   key handshake (12.7.7) with each station under the PTK, on its setup
//   link (with --mlo-rekey-elsewhere, on another link): a new GTK per link
//   on the other key ID in MLO GTK KDEs (with --mlo-rekey-link-kdes, MLO
//   Link KDEs beside them).
#include "gen.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace gen {

struct mld_station {
    mac mld{};
    std::vector<mac> link_address; // by Link ID
    unsigned setup_link = 0;
    std::array<std::uint8_t, 88> ptk{};
    temporal_key pairwise;
    std::uint64_t replay = 0;
};

struct multi_link_network {
    protected_network net; // suites, PMK, SSID, the twin switch
    unsigned links = 2;
    bool management_protection = false;
    bool rekey_link_kdes = false;
    bool rekey_elsewhere = false; // group key handshakes on a link other than the setup link
    std::uint64_t rekey_every = 0; // frames of traffic between group rekeys; 0: none
    mac ap_mld{};
    std::vector<mac> bssid;           // by Link ID
    std::vector<temporal_key> group;  // by Link ID
    std::vector<std::array<std::uint8_t, 32>> igtk, bigtk;
    std::vector<mld_station> stations;
    std::vector<std::vector<std::uint8_t>> prelude;
    std::size_t next_prelude = 0;
    std::uint64_t traffic = 0;
    unsigned group_rekeys = 0;
};

void multi_link_deleter::operator()(multi_link_network* net) const { delete net; }

namespace {

constexpr int info_pairwise = 0x0008, info_install = 0x0040, info_ack = 0x0080, info_mic = 0x0100,
              info_secure = 0x0200, info_encrypted = 0x1000;

// KDE types behind 00-0F-AC (Table 12-10).
constexpr unsigned kde_mac_address = 3, kde_mlo_gtk = 16, kde_mlo_igtk = 17, kde_mlo_bigtk = 18, kde_mlo_link = 19;

constexpr unsigned rsn_mfp_capable = 0x0080, rsn_mfp_required = 0x0040;

std::size_t kck_length(const multi_link_network& m) { return m.net.akm.kck_length; }
std::size_t kek_length(const multi_link_network& m) { return m.net.akm.kek_length; }
std::size_t tk_length(const multi_link_network& m) { return tk_length_of(m.net.suite); }

// The group management cipher that goes with the pairwise one (BIP of the
// same block cipher mode and key length) and its key length.
unsigned group_management_selector(cipher suite)
{
    switch (suite) {
    case cipher::ccmp256:
        return 13; // BIP-CMAC-256
    case cipher::gcmp:
        return 11; // BIP-GMAC-128
    case cipher::gcmp256:
        return 12; // BIP-GMAC-256
    default:
        return 6; // BIP-CMAC-128
    }
}
std::size_t integrity_key_length(cipher suite) { return suite == cipher::ccmp256 || suite == cipher::gcmp256 ? 32 : 16; }

std::vector<std::uint8_t> rsn_element(const multi_link_network& m)
{
    const unsigned cipher_selector = selector_of(m.net.suite);
    std::vector<std::uint8_t> element = {0x30, 0x00, 0x01, 0x00};
    for (unsigned selector : {cipher_selector, 0x100u | cipher_selector, 0x100u | m.net.akm.selector}) {
        if (selector >= 0x100)
            put_le16(element, 1);
        for (unsigned byte : {0x00u, 0x0Fu, 0xACu, selector & 0xFF})
            put_u8(element, byte);
    }
    if (m.management_protection) {
        put_le16(element, rsn_mfp_capable | rsn_mfp_required);
        put_le16(element, 0); // no PMKIDs
        for (unsigned byte : {0x00u, 0x0Fu, 0xACu, group_management_selector(m.net.suite)})
            put_u8(element, byte);
    } else {
        put_le16(element, 0);
    }
    element[1] = static_cast<std::uint8_t>(element.size() - 2);
    return element;
}

void put_kde(std::vector<std::uint8_t>& out, unsigned type, const std::vector<std::uint8_t>& data)
{
    put_u8(out, 0xDD);
    put_u8(out, static_cast<unsigned>(4 + data.size()));
    for (unsigned byte : {0x00u, 0x0Fu, 0xACu, type})
        put_u8(out, byte);
    out.insert(out.end(), data.begin(), data.end());
}

void put_mac_address_kde(std::vector<std::uint8_t>& out, const mac& address)
{
    std::vector<std::uint8_t> data;
    put(data, address);
    put_kde(out, kde_mac_address, data);
}

// MLO Link KDE: Link Info (Link ID in bits 0-3, bit 4 RSNE present), the
// link address, the RSNE.
void put_mlo_link_kde(std::vector<std::uint8_t>& out, unsigned link, const mac& address,
                      const std::vector<std::uint8_t>* rsne)
{
    std::vector<std::uint8_t> data;
    put_u8(data, link | (rsne != nullptr ? 0x10u : 0u));
    put(data, address);
    if (rsne != nullptr)
        data.insert(data.end(), rsne->begin(), rsne->end());
    put_kde(out, kde_mlo_link, data);
}

// MLO GTK KDE: Key Info (Key ID bits 0-1, Tx bit 2, Link ID bits 4-7), a
// 6-byte PN, the GTK.
void put_mlo_gtk_kde(std::vector<std::uint8_t>& out, unsigned link, const temporal_key& gtk, std::size_t length)
{
    std::vector<std::uint8_t> data;
    put_u8(data, static_cast<unsigned>(gtk.key_id) | link << 4);
    for (int i = 0; i < 6; ++i)
        put_u8(data, 0);
    data.insert(data.end(), gtk.tk.begin(), gtk.tk.begin() + static_cast<std::ptrdiff_t>(length));
    put_kde(out, kde_mlo_gtk, data);
}

// MLO IGTK and BIGTK KDEs: Key ID (2 bytes), a 6-byte IPN or BIPN, Link
// Info (Link ID in bits 4-7), the key.
void put_mlo_integrity_kde(std::vector<std::uint8_t>& out, unsigned type, unsigned key_id, unsigned link,
                           byte_span key)
{
    std::vector<std::uint8_t> data;
    put_le16(data, key_id);
    for (int i = 0; i < 6; ++i)
        put_u8(data, 0);
    put_u8(data, link << 4);
    data.insert(data.end(), key.begin(), key.end());
    put_kde(out, type, data);
}

// Basic Multi-Link element (element 255, extension 107). Multi-Link
// Control: Type 0 (Basic) in bits 0-2, presence bits from bit 4; Common
// Info behind its own length octet; then Per-STA Profile subelements (ID
// 0), each a STA Control field, a STA Info field behind its length octet,
// and the STA profile.
struct per_sta_profile {
    unsigned link = 0;
    mac address{};
    bool from_ap = false; // a response's profile: beacon interval, TSF offset, DTIM info, change count
};
constexpr unsigned mlc_link_id_present = 0x0010, mlc_change_count_present = 0x0020,
                   mlc_mld_capabilities_present = 0x0100;
constexpr unsigned sta_complete_profile = 0x0010, sta_mac_present = 0x0020, sta_beacon_interval_present = 0x0040,
                   sta_tsf_offset_present = 0x0080, sta_dtim_info_present = 0x0100,
                   sta_change_count_present = 0x0800;

void put_basic_multi_link(std::vector<std::uint8_t>& out, const mac& mld, const unsigned* link_id, unsigned links,
                          const std::vector<per_sta_profile>& profiles, std::uint64_t& state)
{
    std::vector<std::uint8_t> body = {107};
    put_le16(body, link_id != nullptr ? mlc_link_id_present | mlc_change_count_present | mlc_mld_capabilities_present
                                      : mlc_mld_capabilities_present);
    put_u8(body, link_id != nullptr ? 11 : 9);
    put(body, mld);
    if (link_id != nullptr) {
        put_u8(body, *link_id);
        put_u8(body, 0); // BSS parameters change count
    }
    put_le16(body, links - 1); // MLD Capabilities: maximum number of simultaneous links
    for (const auto& profile : profiles) {
        std::vector<std::uint8_t> sub;
        unsigned control = profile.link | sta_complete_profile | sta_mac_present;
        if (profile.from_ap)
            control |= sta_beacon_interval_present | sta_tsf_offset_present | sta_dtim_info_present |
                       sta_change_count_present;
        put_le16(sub, control);
        put_u8(sub, profile.from_ap ? 20 : 7);
        put(sub, profile.address);
        if (profile.from_ap) {
            put_le16(sub, 100);      // beacon interval
            put_random(sub, 8, state); // TSF offset
            put_u8(sub, 0);          // DTIM count
            put_u8(sub, 1);          // DTIM period
            put_u8(sub, 0);          // BSS parameters change count
        }
        put_le16(sub, 0x0431); // the STA profile: capabilities,
        if (profile.from_ap)
            put_le16(sub, 0); // status,
        put_rates(sub);       // supported rates
        put_u8(body, 0);
        put_u8(body, static_cast<unsigned>(sub.size()));
        body.insert(body.end(), sub.begin(), sub.end());
    }
    if (body.size() > 255)
        fail("a Multi-Link element too long for one element");
    put_u8(out, 0xFF);
    put_u8(out, static_cast<unsigned>(body.size()));
    out.insert(out.end(), body.begin(), body.end());
}

std::vector<std::uint8_t> beacon(const multi_link_network& m, unsigned link, std::uint64_t& state)
{
    std::vector<std::uint8_t> frame;
    put_management_header(frame, 8, broadcast_address, m.bssid[link], m.bssid[link], state);
    put_random(frame, 8, state); // timestamp
    put_le16(frame, 100);
    put_le16(frame, 0x0431);
    put_ssid(frame, m.net.ssid);
    put_rates(frame);
    const auto rsne = rsn_element(m);
    frame.insert(frame.end(), rsne.begin(), rsne.end());
    put_basic_multi_link(frame, m.ap_mld, &link, m.links, {}, state);
    return frame;
}

void add_association(multi_link_network& m, const mld_station& station, unsigned aid, std::uint64_t& state)
{
    const unsigned setup = station.setup_link;
    std::vector<per_sta_profile> station_profiles, ap_profiles;
    for (unsigned link = 0; link < m.links; ++link)
        if (link != setup) {
            station_profiles.push_back({link, station.link_address[link], false});
            ap_profiles.push_back({link, m.bssid[link], true});
        }
    const auto rsne = rsn_element(m);
    std::vector<std::uint8_t> request;
    put_association_request(request, station.link_address[setup], m.bssid[setup], nullptr, m.net.ssid, state);
    request.insert(request.end(), rsne.begin(), rsne.end());
    put_basic_multi_link(request, station.mld, nullptr, m.links, station_profiles, state);
    m.prelude.push_back(request);

    std::vector<std::uint8_t> response;
    put_association_response(response, false, station.link_address[setup], m.bssid[setup], aid, state);
    put_basic_multi_link(response, m.ap_mld, &setup, m.links, ap_profiles, state);
    m.prelude.push_back(response);
}

void derive_ptk(const multi_link_network& m, mld_station& station, const std::array<std::uint8_t, 32>& anonce,
                const std::array<std::uint8_t, 32>& snonce)
{
    // min(AA, SPA) || max(AA, SPA) || min(ANonce, SNonce) || max(ANonce, SNonce), of the MLD addresses
    std::vector<std::uint8_t> context;
    const bool ap_first = m.ap_mld < station.mld;
    put(context, ap_first ? m.ap_mld : station.mld);
    put(context, ap_first ? station.mld : m.ap_mld);
    const auto& low = anonce < snonce ? anonce : snonce;
    const auto& high = anonce < snonce ? snonce : anonce;
    context.insert(context.end(), low.begin(), low.end());
    context.insert(context.end(), high.begin(), high.end());
    const auto ptk = std::span(station.ptk).first(kck_length(m) + kek_length(m) + tk_length(m));
    const byte_span pmk = std::span(m.net.pmk).first(m.net.akm.pmk_length);
    static constexpr std::string_view label = "Pairwise key expansion";
    const bool done = m.net.akm.kdf == kdf_kind::prf_sha1
                          ? own_prf_sha1(pmk, label, context, ptk)
                          : own_kdf(m.net.akm.kdf == kdf_kind::sha384 ? "SHA384" : "SHA256", pmk, label, context, ptk);
    if (!done)
        fail("cannot derive a PTK");
}

// Key Data wrapped under the KEK, after its padding (0xDD, then zeros).
std::vector<std::uint8_t> wrapped(const multi_link_network& m, const mld_station& station, std::vector<std::uint8_t> data)
{
    put_u8(data, 0xDD);
    while (data.size() % 8 != 0 || data.size() < 16)
        put_u8(data, 0);
    std::vector<std::uint8_t> out;
    if (!own_key_wrap(std::span(station.ptk).subspan(kck_length(m), kek_length(m)), data, out))
        fail("cannot wrap the group keys");
    OPENSSL_cleanse(data.data(), data.size());
    return out;
}

// An EAPOL-Key message on `link` between the station's and the AP's
// addresses there.
std::vector<std::uint8_t> eapol_key(const multi_link_network& m, const mld_station& station, unsigned link,
                                    bool from_ap, int information, std::size_t key_length, std::uint64_t replay,
                                    const std::uint8_t* nonce, const std::vector<std::uint8_t>& key_data, bool with_mic)
{
    std::vector<std::uint8_t> frame;
    const mac& own = station.link_address[link];
    put_data_header(frame, from_ap, from_ap ? own : m.bssid[link], from_ap ? m.bssid[link] : own, m.bssid[link], 0);
    append_eapol_key(frame, m.net, std::span(station.ptk).first(kck_length(m)), m.net.akm.descriptor_version | information,
                     key_length, replay, nonce, {}, key_data, with_mic);
    return frame;
}

// The header the nonce and AAD are built from for a frame between the two
// MLDs: A1 and A2 their MLD addresses, A3 the AP MLD's where it is the
// link's BSSID.
std::vector<std::uint8_t> header_between_mlds(const multi_link_network& m, const mld_station& station, unsigned link,
                                              byte_span header)
{
    std::vector<std::uint8_t> out(header.begin(), header.end());
    const bool from_ap = (out[1] & 0x02) != 0;
    const mac& receiver = from_ap ? station.mld : m.ap_mld;
    const mac& transmitter = from_ap ? m.ap_mld : station.mld;
    std::copy(receiver.begin(), receiver.end(), out.begin() + 4);
    std::copy(transmitter.begin(), transmitter.end(), out.begin() + 10);
    if (std::equal(m.bssid[link].begin(), m.bssid[link].end(), out.begin() + 16))
        std::copy(m.ap_mld.begin(), m.ap_mld.end(), out.begin() + 16);
    return out;
}

// Appends the frame protected under the pair's key, its nonce and AAD of
// MLD addresses, its header as sent (or the frame as it is, in the twin).
void put_pairwise(std::vector<std::uint8_t>& out, multi_link_network& m, mld_station& station, unsigned link,
                  const std::vector<std::uint8_t>& frame)
{
    if (m.net.unencrypted_twin) {
        out.insert(out.end(), frame.begin(), frame.end());
        return;
    }
    const std::size_t header_length = mac_header_length(static_cast<unsigned>(frame[0] | frame[1] << 8));
    const byte_span header = byte_span(frame).first(header_length);
    const auto mld_header = header_between_mlds(m, station, link, header);
    const std::size_t at = out.size();
    encrypt_with(station.pairwise, false, mld_header, byte_span(frame).subspan(header_length), out);
    std::copy(header.begin() + 4, header.begin() + 22, out.begin() + static_cast<std::ptrdiff_t>(at + 4));
}

void add_handshake(multi_link_network& m, mld_station& station, std::uint64_t& state)
{
    const unsigned setup = station.setup_link;
    std::array<std::uint8_t, 32> anonce{}, snonce{};
    fill_random(anonce, state);
    fill_random(snonce, state);
    derive_ptk(m, station, anonce, snonce);
    const std::size_t key_length = tk_length(m);
    const std::uint64_t replay = station.replay;
    station.replay += 2;
    const auto rsne = rsn_element(m);

    std::vector<std::uint8_t> first_data;
    put_mac_address_kde(first_data, m.ap_mld);
    std::vector<std::uint8_t> second_data = rsne;
    put_mac_address_kde(second_data, station.mld);
    for (unsigned link = 0; link < m.links; ++link)
        if (link != setup)
            put_mlo_link_kde(second_data, link, station.link_address[link], nullptr);
    std::vector<std::uint8_t> third_data;
    put_mac_address_kde(third_data, m.ap_mld);
    for (unsigned link = 0; link < m.links; ++link)
        put_mlo_link_kde(third_data, link, m.bssid[link], &rsne);
    for (unsigned link = 0; link < m.links; ++link)
        put_mlo_gtk_kde(third_data, link, m.group[link], key_length);
    if (m.management_protection) {
        const std::size_t length = integrity_key_length(m.net.suite);
        for (unsigned link = 0; link < m.links; ++link)
            put_mlo_integrity_kde(third_data, kde_mlo_igtk, 4, link, std::span(m.igtk[link]).first(length));
        for (unsigned link = 0; link < m.links; ++link)
            put_mlo_integrity_kde(third_data, kde_mlo_bigtk, 6, link, std::span(m.bigtk[link]).first(length));
    }
    std::vector<std::uint8_t> fourth_data;
    put_mac_address_kde(fourth_data, station.mld);

    m.prelude.push_back(eapol_key(m, station, setup, true, info_pairwise | info_ack, key_length, replay + 1,
                                  anonce.data(), first_data, false));
    m.prelude.push_back(eapol_key(m, station, setup, false, info_pairwise | info_mic, 0, replay + 1, snonce.data(),
                                  second_data, true));
    m.prelude.push_back(eapol_key(m, station, setup, true,
                                  info_pairwise | info_install | info_ack | info_mic | info_secure | info_encrypted,
                                  key_length, replay + 2, anonce.data(), wrapped(m, station, std::move(third_data)),
                                  true));
    m.prelude.push_back(eapol_key(m, station, setup, false, info_pairwise | info_mic | info_secure, 0, replay + 2,
                                  nullptr, fourth_data, true));
    set_key(station.pairwise, m.net.suite, std::span(station.ptk).subspan(kck_length(m) + kek_length(m), key_length),
            0);
}

// New GTKs on every link, on the key ID the last ones did not use, handed
// to each station by a group key handshake on a link other than its setup
// link, before any group frame goes out under them.
void rekey_groups(multi_link_network& m, std::uint64_t& state)
{
    const std::size_t key_length = tk_length(m);
    for (auto& key : m.group) {
        std::array<std::uint8_t, 32> gtk{};
        fill_random(gtk, state);
        set_key(key, m.net.suite, std::span(gtk).first(key_length), 3 - key.key_id);
        OPENSSL_cleanse(gtk.data(), gtk.size());
    }
    const auto rsne = rsn_element(m);
    for (auto& station : m.stations) {
        const unsigned link = m.rekey_elsewhere ? (station.setup_link + 1) % m.links : station.setup_link;
        std::vector<std::uint8_t> data;
        if (m.rekey_link_kdes)
            for (unsigned l = 0; l < m.links; ++l)
                put_mlo_link_kde(data, l, m.bssid[l], &rsne);
        for (unsigned l = 0; l < m.links; ++l)
            put_mlo_gtk_kde(data, l, m.group[l], key_length);
        const std::uint64_t replay = ++station.replay;
        const auto first = eapol_key(m, station, link, true, info_ack | info_mic | info_secure | info_encrypted, 0,
                                     replay, nullptr, wrapped(m, station, std::move(data)), true);
        const auto second = eapol_key(m, station, link, false, info_mic | info_secure, 0, replay, nullptr, {}, true);
        for (const auto* frame : {&first, &second}) {
            std::vector<std::uint8_t> sealed;
            put_pairwise(sealed, m, station, link, *frame);
            m.prelude.push_back(std::move(sealed));
        }
    }
}

} // namespace

std::unique_ptr<multi_link_network, multi_link_deleter> set_up_multi_link(const options& opts, std::uint64_t& state)
{
    std::unique_ptr<multi_link_network, multi_link_deleter> m(new multi_link_network);
    protected_network& net = m->net;
    net.unencrypted_twin = opts.unencrypted_twin;
    choose_suites(net, opts);
    if (net.suite == cipher::wep || net.suite == cipher::tkip)
        fail("a multi-link network is CCMP or GCMP (IEEE 802.11be allows neither WEP nor TKIP)");
    net.ssid = opts.ssid.empty() ? "kestrine-lab" : opts.ssid;
    set_pmk(net, opts);
    m->links = opts.mlo_links;
    m->rekey_link_kdes = opts.mlo_rekey_link_kdes;
    m->rekey_elsewhere = opts.mlo_rekey_elsewhere;
    m->rekey_every = opts.mlo_rekey_every;
    const unsigned akm = net.akm.selector;
    m->management_protection = akm == 8 || akm == 12 || akm == 18 || akm == 24;
    m->ap_mld = {0x02, 0x4D, 0x4C, 0x00, 0x00, 0x00};
    for (unsigned link = 0; link < m->links; ++link)
        m->bssid.push_back({0x02, 0x4D, 0x4C, 0x00, 0x00, static_cast<std::uint8_t>(0x10 + link)});

    m->group.resize(m->links);
    m->igtk.resize(m->links);
    m->bigtk.resize(m->links);
    for (unsigned link = 0; link < m->links; ++link) {
        std::array<std::uint8_t, 32> gtk{};
        fill_random(gtk, state);
        set_key(m->group[link], net.suite, std::span(gtk).first(tk_length(*m)), 1);
        OPENSSL_cleanse(gtk.data(), gtk.size());
        fill_random(m->igtk[link], state);
        fill_random(m->bigtk[link], state);
    }
    for (unsigned link = 0; link < m->links; ++link)
        m->prelude.push_back(beacon(*m, link, state));

    m->stations.resize(opts.stations);
    for (unsigned i = 0; i < opts.stations; ++i) {
        mld_station& station = m->stations[i];
        station.mld = {0x02, 0x5C, 0x4D, 0x00, static_cast<std::uint8_t>(1 + i), 0x00};
        for (unsigned link = 0; link < m->links; ++link)
            station.link_address.push_back(
                {0x02, 0x5C, 0x4D, 0x00, static_cast<std::uint8_t>(1 + i), static_cast<std::uint8_t>(0x10 + link)});
        station.setup_link = i % m->links; // the second station sets up on link 1
        add_association(*m, station, i + 1, state);
        add_handshake(*m, station, state);
    }
    return m;
}

void put_multi_link_frame(std::vector<std::uint8_t>& out, multi_link_network& m, std::uint64_t& state,
                          bool small_packets)
{
    if (m.rekey_every != 0 && m.next_prelude == m.prelude.size() &&
        m.traffic >= (m.group_rekeys + 1) * m.rekey_every) {
        rekey_groups(m, state);
        ++m.group_rekeys;
    }
    if (m.next_prelude < m.prelude.size()) {
        const auto& frame = m.prelude[m.next_prelude++];
        out.insert(out.end(), frame.begin(), frame.end());
        return;
    }
    const bool first = m.traffic++ == 0;
    mld_station& station = m.stations[first ? 0 : below(state, static_cast<std::uint32_t>(m.stations.size()))];
    // The first frame of traffic goes on a link the handshake did not use.
    const unsigned link = first ? (station.setup_link + 1) % m.links : below(state, m.links);
    const bool group = !first && below(state, 20) == 0; // as often as in the one-link networks
    const bool from_ap = group || below(state, 2) == 0;
    const bool qos = !group && below(state, 5) != 0;
    const mac& bssid = m.bssid[link];
    const mac& other_mld = m.stations[below(state, static_cast<std::uint32_t>(m.stations.size()))].mld;
    // The far end: beyond the distribution system, another station, the AP
    // MLD itself through this link's BSSID, or (to the AP) everyone.
    const std::uint32_t pick = below(state, 8);
    const mac& far_end = pick < 4 ? gateway : pick < 6 ? bssid : pick == 6 ? other_mld
                         : from_ap ? m.ap_mld : broadcast_address;
    std::vector<std::uint8_t> frame;
    const unsigned sequence = below(state, 4096);
    const unsigned tid = qos ? below(state, 8) : 0;
    if (group)
        put_data_header(frame, true, broadcast_address, bssid, pick < 6 ? gateway : far_end, sequence, nullptr);
    else if (from_ap)
        put_data_header(frame, true, station.link_address[link], bssid, far_end, sequence, qos ? &tid : nullptr);
    else
        put_data_header(frame, false, bssid, station.link_address[link], far_end, sequence, qos ? &tid : nullptr);
    put_u8(frame, 0xAA);
    put_u8(frame, 0xAA);
    put_u8(frame, 0x03);
    for (unsigned byte : {0x00u, 0x00u, 0x00u, 0x08u, 0x00u})
        put_u8(frame, byte);
    put_ip_packet(frame, imix_ip_length(state, small_packets), state);
    if (!group) {
        put_pairwise(out, m, station, link, frame);
    } else if (m.net.unencrypted_twin) {
        out.insert(out.end(), frame.begin(), frame.end());
    } else {
        const std::size_t header_length = mac_header_length(static_cast<unsigned>(frame[0] | frame[1] << 8));
        encrypt_with(m.group[link], true, byte_span(frame).first(header_length), byte_span(frame).subspan(header_length),
                     out);
    }
}

} // namespace gen
