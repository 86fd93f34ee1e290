// TDLS (12.7.8, 11.21): two stations of a BSS set up a direct link with the
// TPK handshake, carried in Data frames (EtherType 0x890D) that travel
// through the access point under the stations' PTKs, so they are seen
// once decrypted. The Setup Response and Confirm carry in their FTE both
// nonces and a MIC under TPK-KCK; a frame whose MIC checks installs TPK-TK
// as the pair's pairwise key, and the direct link's frames (A1 and A2 the
// two stations) decrypt with it as any pair's do.
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"

#include <openssl/crypto.h>

#include <algorithm>

namespace {

constexpr int payload_type_tdls = 2;
constexpr int category_tdls = 12;
constexpr int action_setup_response = 1;
constexpr int action_setup_confirm = 2;
constexpr std::size_t tdls_mic_length = 16;

// The MIC of a Setup Response (transaction sequence 2) or Confirm (3),
// 12.7.8.4.3: AES-128-CMAC under TPK-KCK over the initiator's and the
// responder's addresses, the sequence number, the Link Identifier element,
// the RSNE, the Timeout Interval element and the FTE with its MIC zeroed.
bool tdls_mic_matches(byte_span kck, int sequence, const frame_elements& elements, const fte_fields& fte,
                      std::vector<std::uint8_t>& scratch)
{
    const byte_span link = elements.link_identifier;
    const byte_span stations = record_bytes(link, 2 + 6, 12); // initiator, responder
    scratch.assign(stations.begin(), stations.end());
    scratch.push_back(static_cast<std::uint8_t>(sequence));
    for (const byte_span element : {link, elements.rsne, elements.timeout_interval})
        scratch.insert(scratch.end(), element.begin(), element.end());
    const std::size_t fte_at = scratch.size();
    scratch.insert(scratch.end(), elements.fast_transition.begin(), elements.fast_transition.end());
    std::fill_n(scratch.begin() + static_cast<std::ptrdiff_t>(fte_at + 2 + 2), tdls_mic_length, std::uint8_t{0});
    std::array<std::uint8_t, tdls_mic_length> mic{};
    if (!eapol_key_mic(mic_algorithm::aes128_cmac, kck, scratch, mic))
        return false;
    return CRYPTO_memcmp(mic.data(), fte.mic.data(), mic.size()) == 0;
}

} // namespace

tdls_link::~tdls_link()
{
    OPENSSL_cleanse(kck.data(), kck.size());
}

void follow_tdls_frame(decryption& state, byte_span body)
{
    handshake_tracker& tracker = state.tracker;
    const int payload_type = record_u8(body, llc_snap_size);
    const int category = record_u8(body, llc_snap_size + 1);
    const int action = record_u8(body, llc_snap_size + 2);
    if (payload_type != payload_type_tdls || category != category_tdls ||
        (action != action_setup_response && action != action_setup_confirm))
        return;
    // Status Code, Dialog Token, and in a Response the Capability field.
    const std::size_t fields_at = llc_snap_size + 3;
    if (record_le16(body, fields_at) != 0)
        return; // a refused setup installs nothing
    const std::size_t elements_at = fields_at + (action == action_setup_response ? 5 : 3);
    if (body.size() < elements_at)
        return;
    frame_elements elements;
    fte_fields fte;
    rsn_element rsn;
    if (!find_elements(body.subspan(elements_at), elements) || elements.link_identifier.size() != 2 + 18 ||
        elements.rsne.empty() || elements.timeout_interval.empty() ||
        !parse_fte(elements.fast_transition, tdls_mic_length, fte) ||
        !parse_rsn_element(elements.rsne.subspan(2), false, rsn)) {
        ++tracker.drops.key_exchange_refused;
        return;
    }
    // Link Identifier: BSSID, initiator, responder.
    const byte_span link = elements.link_identifier.subspan(2);
    mac_address bssid{};
    mac_address initiator{};
    mac_address responder{};
    record_copy(bssid.data(), link, 0, 6);
    record_copy(initiator.data(), link, 6, 6);
    record_copy(responder.data(), link, 12, 6);
    cipher_suite cipher = cipher_suite::ccmp128;
    if (rsn.pairwise_count >= 1)
        cipher = rsn.pairwise_ciphers[0] < unknown_suite ? static_cast<cipher_suite>(rsn.pairwise_ciphers[0])
                                                         : cipher_suite::none;
    const std::size_t tk_length = temporal_key_length(cipher);
    if (tk_length == 0 || cipher == cipher_suite::tkip) {
        ++tracker.drops.unsupported_akm;
        return;
    }
    std::array<std::uint8_t, 64> nonces{};
    std::copy(fte.snonce.begin(), fte.snonce.end(), nonces.begin());
    std::copy(fte.anonce.begin(), fte.anonce.end(), nonces.begin() + 32);
    const int sequence = action == action_setup_response ? 2 : 3;
    const pair_id pair = make_pair_id(initiator, responder);
    if (const tdls_link* known = tracker.tdls_links.find(pair); known != nullptr && known->nonces == nonces) {
        // The same setup seen again (each frame crosses the access point):
        // checked under the key already installed.
        if (!tdls_mic_matches(known->kck, sequence, elements, fte, tracker.scratch))
            ++tracker.drops.key_exchange_refused;
        return;
    }
    // TPK: TPK-KCK (16 bytes) || TPK-TK.
    std::array<std::uint8_t, 16 + 32> tpk{};
    const auto out = std::span(tpk).first(16 + tk_length);
    session_ptr keys;
    if (!derive_tpk(hash_function::sha256, fte.snonce, fte.anonce, initiator, responder, bssid, out) ||
        !tdls_mic_matches(out.first(16), sequence, elements, fte, tracker.scratch) ||
        !make_session(tracker, cipher, initiator, out.subspan(16), keys)) {
        OPENSSL_cleanse(tpk.data(), tpk.size());
        ++tracker.drops.key_exchange_refused;
        return;
    }
    tdls_link& installed = tracker.tdls_links.get(pair);
    installed.nonces = nonces;
    std::copy_n(out.begin(), 16, installed.kck.begin());
    OPENSSL_cleanse(tpk.data(), tpk.size());
    install_pairwise_session(tracker, initiator, responder, 0, std::move(keys), nullptr);
}
