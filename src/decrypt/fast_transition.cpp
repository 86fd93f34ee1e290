// Fast BSS transition (802.11r): the key names of a station's mobility
// domain read from its (re)association, FT Authentication and 4-way
// handshake frames, the PTK of its initial mobility-domain association,
// and the keys of each FT reassociation over the air (12.7.1.7, 13.5).
//
// An FT reassociation's keys come from the two FT Authentication frames
// (the station's SNonce, the access point's ANonce and R1KH-ID) and are
// installed by the Reassociation Response once its FTE's MIC is checked
// under the KCK a key gives; a Reassociation Response without the
// Authentication frames before it is refused and counted.
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace {

constexpr int element_ssid = 0;
constexpr int element_rsn = 48;
constexpr int element_mobility_domain = 54;
constexpr int element_fast_transition = 55;
constexpr int element_timeout_interval = 56;
constexpr int element_link_identifier = 101;
constexpr int element_rsn_extension = 244;

constexpr int subtype_association_request = 0;
constexpr int subtype_association_response = 1;
constexpr int subtype_reassociation_request = 2;
constexpr int subtype_reassociation_response = 3;
constexpr int subtype_authentication = 11;
constexpr int authentication_fast_transition = 2;

// The body of a whole element (ID and length in front).
byte_span body_of(byte_span element) { return element.size() < 2 ? byte_span{} : element.subspan(2); }

// A station's state with an access point, made when missing.
ft_context& context_of(handshake_tracker& tracker, const mac_address& access_point, const mac_address& station)
{
    return tracker.fast_transitions.get(make_pair_id(access_point, station));
}

// The MIC length of an FTE: that of the AKM the frame's RSNE names, 16
// when it names none kestrine knows.
std::size_t fte_mic_length(const frame_elements& elements)
{
    rsn_element rsn;
    if (elements.rsne.empty() || !parse_rsn_element(body_of(elements.rsne), false, rsn) || rsn.akm_count < 1)
        return 16;
    const auto suites = akm_suites(rsn.akms[0]);
    return suites.empty() ? 16 : suites[0].mic_length;
}

// Keeps the MDID, R0KH-ID and R1KH-ID the elements carry. False when an
// MDE or FTE is malformed.
bool keep_names(ft_context& context, const frame_elements& elements, std::size_t mic_length, fte_fields* fields)
{
    if (!elements.mobility_domain.empty()) {
        const byte_span mde = body_of(elements.mobility_domain);
        if (mde.size() != 3) // MDID (2) and the FT Capability and Policy field
            return false;
        record_copy(context.mobility_domain.data(), mde, 0, 2);
        context.have_mobility_domain = true;
    }
    if (elements.fast_transition.empty())
        return true;
    fte_fields fte;
    if (!parse_fte(elements.fast_transition, mic_length, fte))
        return false;
    if (!fte.r0kh_id.empty()) {
        std::copy(fte.r0kh_id.begin(), fte.r0kh_id.end(), context.r0kh_id.begin());
        context.r0kh_id_length = fte.r0kh_id.size();
    }
    if (!fte.r1kh_id.empty()) {
        std::copy(fte.r1kh_id.begin(), fte.r1kh_id.end(), context.r1kh_id.begin());
        context.have_r1kh_id = true;
    }
    if (fields != nullptr)
        *fields = fte;
    return true;
}

// The SSID that PMK-R0 is bound to: the station's (re)association request
// named it; otherwise the access point's beacons did.
byte_span ssid_of(handshake_tracker& tracker, const ft_context& context, const mac_address& access_point)
{
    if (context.have_ssid)
        return std::span(context.ssid).first(context.ssid_length);
    const network_record* network = tracker.networks.find(access_point);
    if (network != nullptr && network->ssid_seen)
        return std::span(network->ssid).first(network->ssid_length);
    return {};
}

// PMK-R0, PMK-R1 and the PTK of a station with an access point from one
// XXKey. The R1KH-ID is the FTE's, or the access point's address. Between
// two MLDs (`mlds`), the station's identity (S0KH-ID, S1KH-ID, the SPA) is
// the non-AP MLD's address and the BSSID the AP MLD's (IEEE 802.11be,
// 12.7.1.7).
bool derive_ft_keys(handshake_tracker& tracker, const ft_context& context, const akm_suite& suite, byte_span xxkey,
                    const mac_address& link_access_point, const mac_address& link_station, byte_span anonce,
                    byte_span snonce, std::span<std::uint8_t> ptk, const mld_pair* mlds = nullptr)
{
    const byte_span ssid = ssid_of(tracker, context, link_access_point);
    if (ssid.empty() || !context.have_mobility_domain || context.r0kh_id_length == 0)
        return false;
    const mac_address& access_point = mlds != nullptr ? mlds->ap : link_access_point;
    const mac_address& station = mlds != nullptr ? mlds->station : link_station;
    const byte_span r1kh_id = context.have_r1kh_id ? byte_span(context.r1kh_id) : byte_span(access_point);
    ft_key pmk_r0;
    ft_key pmk_r1;
    const bool done =
        derive_pmk_r0(suite.hash, xxkey, ssid, context.mobility_domain,
                      std::span(context.r0kh_id).first(context.r0kh_id_length), station, pmk_r0) &&
        derive_pmk_r1(suite.hash, pmk_r0, r1kh_id, station, pmk_r1) &&
        derive_ft_ptk(suite.hash, pmk_r1, anonce, snonce, access_point, station, ptk);
    OPENSSL_cleanse(pmk_r0.key.data(), pmk_r0.key.size());
    OPENSSL_cleanse(pmk_r1.key.data(), pmk_r1.key.size());
    return done;
}

// The FTE MIC of a Reassociation Response (13.8.5): over the station's
// and the access point's addresses, the transaction sequence number 6,
// the RSNE, the MDE, the FTE with its MIC field zeroed and the RSNXE when
// there is one. (A RIC, of a reassociation that reserves resources, is
// not included: such a response fails its check.)
bool reassociation_mic_matches(const akm_suite& suite, byte_span kck, const mac_address& station,
                               const mac_address& access_point, const frame_elements& elements,
                               const fte_fields& fte, std::vector<std::uint8_t>& scratch)
{
    scratch.assign(station.begin(), station.end());
    scratch.insert(scratch.end(), access_point.begin(), access_point.end());
    scratch.push_back(6);
    scratch.insert(scratch.end(), elements.rsne.begin(), elements.rsne.end());
    scratch.insert(scratch.end(), elements.mobility_domain.begin(), elements.mobility_domain.end());
    const std::size_t fte_at = scratch.size();
    scratch.insert(scratch.end(), elements.fast_transition.begin(), elements.fast_transition.end());
    std::fill_n(scratch.begin() + static_cast<std::ptrdiff_t>(fte_at + 2 + 2), fte.mic.size(), std::uint8_t{0});
    scratch.insert(scratch.end(), elements.rsn_extension.begin(), elements.rsn_extension.end());
    std::array<std::uint8_t, 32> mic{};
    if (fte.mic.size() != suite.mic_length ||
        !eapol_key_mic(suite.mic, kck, scratch, std::span(mic).first(suite.mic_length)))
        return false;
    return CRYPTO_memcmp(mic.data(), fte.mic.data(), fte.mic.size()) == 0;
}

// The GTK subelement of a Reassociation Response's FTE: Key Info (key ID
// in bits 0-1), Key Length, RSC, then the key wrapped under the KEK.
void install_ft_group_key(decryption& state, const mac_address& access_point, cipher_suite group_cipher,
                          byte_span kek, byte_span gtk)
{
    handshake_tracker& tracker = state.tracker;
    const int key_info = record_le16(gtk, 0);
    const int key_length = record_u8(gtk, 2);
    const byte_span wrapped = gtk.size() > 11 ? gtk.subspan(11) : byte_span{};
    if (key_info < 0 || key_length <= 0 || wrapped.size() < 24 || wrapped.size() % 8 != 0 ||
        static_cast<std::size_t>(key_length) > wrapped.size() - 8) {
        ++tracker.drops.key_exchange_refused;
        return;
    }
    secret_bytes& plain = state.key_data;
    plain.resize(wrapped.size() - 8);
    session_ptr keys;
    if (aes_key_unwrap(kek, wrapped, plain) &&
        make_session(tracker, group_cipher, access_point, std::span(plain).first(static_cast<std::size_t>(key_length)),
                     keys))
        install_group_session(tracker, access_point, key_info & 0x3, std::move(keys));
    else
        ++tracker.drops.key_exchange_refused;
    OPENSSL_cleanse(plain.data(), plain.size());
}

// A Reassociation Response of an FT exchange: the keys the station and the
// access point agreed in the FT Authentication frames, installed when a
// key's KCK checks the FTE's MIC.
void follow_reassociation_response(decryption& state, const mac_address& access_point, const mac_address& station,
                                   const frame_elements& elements)
{
    handshake_tracker& tracker = state.tracker;
    ft_context* context = tracker.fast_transitions.find_to_change(make_pair_id(access_point, station));
    if (context == nullptr || !context->have_snonce || !context->have_anonce) {
        ++tracker.drops.key_exchange_refused; // no FT Authentication before it
        return;
    }
    rsn_element rsn;
    if (elements.rsne.empty() || !parse_rsn_element(body_of(elements.rsne), false, rsn) || rsn.akm_count < 1 ||
        rsn.pairwise_count < 1) {
        ++tracker.drops.key_exchange_refused;
        return;
    }
    const auto suites = akm_suites(rsn.akms[0]);
    const int pairwise = rsn.pairwise_ciphers[0];
    const cipher_suite cipher = pairwise < unknown_suite ? static_cast<cipher_suite>(pairwise) : cipher_suite::none;
    if (suites.empty() || !suites[0].fast_transition || temporal_key_length(cipher) == 0) {
        ++tracker.drops.unsupported_akm;
        tracker.unsupported_pairs.get(make_pair_id(access_point, station)) = true;
        return;
    }
    std::array<std::uint8_t, 64> nonces{};
    std::copy(context->snonce.begin(), context->snonce.end(), nonces.begin());
    std::copy(context->anonce.begin(), context->anonce.end(), nonces.begin() + 32);
    if (context->installed && context->installed_nonces == nonces)
        return; // a retransmission
    const std::size_t tk_length = temporal_key_length(cipher);
    std::array<std::uint8_t, 32 + 32 + 32> ptk{};
    bool any_key_fits = false;
    bool any_fte_fits = false;
    for (const akm_suite& suite : suites) {
        // The FTE's MIC length follows the suite (for AKM 25, its group).
        fte_fields fte;
        if (!parse_fte(elements.fast_transition, suite.mic_length, fte))
            continue;
        any_fte_fits = true;
        const auto out = std::span(ptk).first(suite.kck_length + suite.kek_length + tk_length);
        for (const auto& entry : state.keys.pmks) {
            if (entry.length != suite.pmk_length)
                continue;
            any_key_fits = true;
            if (!derive_ft_keys(tracker, *context, suite, std::span(entry.pmk).first(entry.length), access_point,
                                station, context->anonce, context->snonce, out) ||
                !reassociation_mic_matches(suite, out.first(suite.kck_length), station, access_point, elements, fte,
                                           tracker.scratch))
                continue;
            auto protection = std::make_shared<pairwise_protection>();
            protection->suite = suite;
            protection->group_cipher = rsn.group_cipher >= 0 && rsn.group_cipher < unknown_suite
                                           ? static_cast<cipher_suite>(rsn.group_cipher)
                                           : cipher_suite::none;
            std::copy_n(out.begin(), suite.kck_length, protection->kck.begin());
            std::copy_n(out.begin() + static_cast<std::ptrdiff_t>(suite.kck_length), suite.kek_length,
                        protection->kek.begin());
            session_ptr keys;
            if (make_session(tracker, cipher, access_point, out.subspan(suite.kck_length + suite.kek_length), keys)) {
                install_pairwise_session(tracker, access_point, station, 0, std::move(keys), protection);
                if (!fte.gtk.empty())
                    install_ft_group_key(state, access_point, protection->group_cipher,
                                         std::span(protection->kek).first(suite.kek_length), fte.gtk);
                context->installed = true;
                context->installed_nonces = nonces;
                ++tracker.handshakes_completed;
                ++tracker.networks.get(access_point).matched_by_key[entry.position];
                tracker.unmatched_authenticators.erase(access_point);
            }
            OPENSSL_cleanse(ptk.data(), ptk.size());
            return;
        }
    }
    OPENSSL_cleanse(ptk.data(), ptk.size());
    if (!any_fte_fits) {
        ++tracker.drops.key_exchange_refused;
        return;
    }
    if (!any_key_fits) {
        ++tracker.drops.no_key_of_length;
        return;
    }
    context->installed = true; // counted once, however often it is retransmitted
    context->installed_nonces = nonces;
    ++tracker.handshakes_unmatched;
    ++tracker.networks.get(access_point).unmatched;
    tracker.unmatched_pairs.get(make_pair_id(access_point, station)) = true;
    tracker.unmatched_authenticators.get(access_point) = true;
}

} // namespace

bool find_elements(byte_span elements, frame_elements& out)
{
    out = frame_elements{};
    std::size_t at = 0;
    while (at < elements.size()) {
        const std::size_t start = at;
        int id = 0;
        byte_span body;
        if (!next_element(elements, at, id, body))
            return false;
        const byte_span element = elements.subspan(start, at - start);
        byte_span* slot = nullptr;
        switch (id) {
        case element_ssid: slot = &out.ssid; break;
        case element_rsn: slot = &out.rsne; break;
        case element_mobility_domain: slot = &out.mobility_domain; break;
        case element_fast_transition: slot = &out.fast_transition; break;
        case element_timeout_interval: slot = &out.timeout_interval; break;
        case element_link_identifier: slot = &out.link_identifier; break;
        case element_rsn_extension: slot = &out.rsn_extension; break;
        default: break;
        }
        if (slot != nullptr && slot->empty())
            *slot = element;
    }
    return true;
}

bool parse_fte(byte_span element, std::size_t mic_length, fte_fields& out)
{
    out = fte_fields{};
    const byte_span body = body_of(element);
    // MIC Control (2), MIC, ANonce (32), SNonce (32), then subelements.
    const std::size_t fixed = 2 + mic_length + 32 + 32;
    if (body.size() < fixed)
        return false;
    out.mic = body.subspan(2, mic_length);
    out.anonce = body.subspan(2 + mic_length, 32);
    out.snonce = body.subspan(2 + mic_length + 32, 32);
    std::size_t at = fixed;
    while (at < body.size()) {
        int id = 0;
        byte_span value;
        if (!next_element(body, at, id, value))
            return false;
        switch (id) {
        case 1: // R1KH-ID: an address
            if (value.size() != 6)
                return false;
            out.r1kh_id = value;
            break;
        case 2: // GTK
            out.gtk = value;
            break;
        case 3: // R0KH-ID: 1 to 48 bytes
            if (value.empty() || value.size() > 48)
                return false;
            out.r0kh_id = value;
            break;
        default:
            break;
        }
    }
    return true;
}

void note_ft_elements(handshake_tracker& tracker, const mac_address& access_point, const mac_address& station,
                      byte_span key_data)
{
    // Key Data may end in padding (0xDD, then zeros) that is no whole
    // element: the elements before it are kept all the same.
    frame_elements elements;
    (void)find_elements(key_data, elements);
    if (elements.mobility_domain.empty() && elements.fast_transition.empty())
        return;
    if (!keep_names(context_of(tracker, access_point, station), elements, fte_mic_length(elements), nullptr))
        ++tracker.drops.key_exchange_refused;
}

bool ft_names_known(handshake_tracker& tracker, const mac_address& access_point, const mac_address& station)
{
    const ft_context* context = tracker.fast_transitions.find(make_pair_id(access_point, station));
    return context != nullptr && context->have_mobility_domain && context->r0kh_id_length > 0 &&
           !ssid_of(tracker, *context, access_point).empty();
}

bool derive_ft_initial_ptk(handshake_tracker& tracker, const akm_suite& suite, byte_span xxkey,
                           const mac_address& access_point, const mac_address& station, byte_span anonce,
                           byte_span snonce, std::span<std::uint8_t> ptk, const mld_pair* mlds)
{
    const ft_context* context = tracker.fast_transitions.find(make_pair_id(access_point, station));
    return context != nullptr &&
           derive_ft_keys(tracker, *context, suite, xxkey, access_point, station, anonce, snonce, ptk, mlds);
}

// Management frames: A1 the receiver, A2 the transmitter, A3 the BSSID.
// The station is whichever of A1 and A2 is not the BSSID's access point.
void follow_fast_transition_frame(decryption& state, byte_span frame, int subtype)
{
    handshake_tracker& tracker = state.tracker;
    const int fc = record_le16(frame, 0);
    mac_address receiver{};
    mac_address transmitter{};
    mac_address bssid{};
    if (fc < 0 || is_protected(fc) || !record_copy(receiver.data(), frame, 4, 6) ||
        !record_copy(transmitter.data(), frame, 10, 6) || !record_copy(bssid.data(), frame, 16, 6))
        return;
    const std::size_t header = has_order(fc) ? 28 : 24; // +HTC
    std::size_t fixed = 0;
    bool from_station = true;
    int status = 0;
    int sequence = 0;
    switch (subtype) {
    case subtype_association_request:
        fixed = 4; // Capability, Listen Interval
        break;
    case subtype_reassociation_request:
        fixed = 10; // Capability, Listen Interval, Current AP
        break;
    case subtype_association_response:
    case subtype_reassociation_response:
        fixed = 6; // Capability, Status, AID
        from_station = false;
        status = record_le16(frame, header + 2);
        break;
    case subtype_authentication: {
        fixed = 6; // Algorithm, Transaction Sequence, Status
        if (record_le16(frame, header) != authentication_fast_transition)
            return;
        sequence = record_le16(frame, header + 2);
        status = record_le16(frame, header + 4);
        if (sequence != 1 && sequence != 2)
            return;
        from_station = sequence == 1;
        break;
    }
    default:
        return;
    }
    if (status != 0 || frame.size() < header + fixed)
        return;
    const mac_address& station = from_station ? transmitter : receiver;
    frame_elements elements;
    if (!find_elements(frame.subspan(header + fixed), elements)) {
        if (subtype == subtype_authentication || subtype == subtype_reassociation_response)
            ++tracker.drops.key_exchange_refused;
        return;
    }
    if (elements.mobility_domain.empty() && elements.fast_transition.empty())
        return; // no FT: nothing here for the key hierarchy
    ft_context& context = context_of(tracker, bssid, station);
    if (subtype == subtype_association_request || subtype == subtype_reassociation_request) {
        const byte_span ssid = body_of(elements.ssid);
        if (!ssid.empty() && ssid.size() <= 32) {
            std::copy(ssid.begin(), ssid.end(), context.ssid.begin());
            context.ssid_length = ssid.size();
            context.have_ssid = true;
        }
    }
    fte_fields fte;
    const bool has_fte = !elements.fast_transition.empty();
    if (!keep_names(context, elements, fte_mic_length(elements), has_fte ? &fte : nullptr)) {
        ++tracker.drops.key_exchange_refused;
        return;
    }
    if (subtype == subtype_authentication && has_fte) {
        if (sequence == 1) {
            std::copy(fte.snonce.begin(), fte.snonce.end(), context.snonce.begin());
            context.have_snonce = true;
            context.have_anonce = false;
        } else {
            // The answer repeats the SNonce: it tells the station's too
            // when its request was not captured.
            std::copy(fte.snonce.begin(), fte.snonce.end(), context.snonce.begin());
            std::copy(fte.anonce.begin(), fte.anonce.end(), context.anonce.begin());
            context.have_snonce = true;
            context.have_anonce = true;
        }
        return;
    }
    if (subtype == subtype_reassociation_response && has_fte)
        follow_reassociation_response(state, bssid, station, elements);
}
