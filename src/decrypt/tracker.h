// Handshakes and sessions (tracker.cpp, key_data.cpp, sessions.cpp,
// fast_transition.cpp, tdls.cpp).
//
// Three kinds of state, kept apart:
// - key_store (keys.h): the user's keys, fixed before the first record.
// - handshake_tracker: what the capture's handshakes have said so far,
//   every map bounded; it turns a handshake that a key matches into an
//   installed session.
// - session: the keys of one pair of stations or one group key, immutable
//   once installed and shared by pointer; replaced whole, wiped when the
//   last holder lets it go. Cipher contexts are not part of a session: the
//   decryptor that uses a session keeps its own, keyed by the session's id.
#pragma once

#include "decrypt/bounded_map.h"
#include "decrypt/ciphers.h"
#include "decrypt/decrypt.h"
#include "decrypt/elements.h"
#include "decrypt/suites.h"

#include <array>
#include <atomic>
#include <map>
#include <memory>

// What --stats says of an AP MLD's links: each link's BSSID, named on the
// reader's thread once and for good, and the frames decrypted on it. Each
// thread counts on a line of its own, a counter with one writer, so that
// counting a frame is a plain add and no line moves between the cores.
struct link_traffic {
    std::array<mac_address, max_links> bssid{};
    std::atomic<std::uint32_t> named{0}; // bit L: bssid[L] is set
    struct alignas(64) counters {
        std::array<std::atomic<std::int64_t>, max_links> frames{};
    };
    std::array<counters, 2> by_thread{}; // by finishing_thread

    void count(finishing_thread thread, std::size_t link)
    {
        std::atomic<std::int64_t>& frames = by_thread[static_cast<std::size_t>(thread)].frames[link];
        frames.store(frames.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    std::int64_t frames(std::size_t link) const
    {
        return by_thread[0].frames[link].load(std::memory_order_relaxed) +
               by_thread[1].frames[link].load(std::memory_order_relaxed);
    }
};

// The keys one handshake (or an FT or TDLS exchange) gives. Immutable once
// made; its bytes are wiped when it goes.
struct session {
    std::uint64_t id = 0;                  // unique within the run: a decryptor's cache key
    cipher_suite cipher = cipher_suite::none;
    mac_address authenticator{};           // TKIP picks its Michael key by direction
    std::array<std::uint8_t, 32> temporal_key{};
    std::size_t temporal_key_length = 0;
    // Multi-link operation: a pairwise session between an AP MLD and a
    // non-AP MLD protects with their addresses; a group session of one of
    // an AP MLD's links shows the AP MLD's address (mlds.ap) once decrypted.
    enum class multi_link { none, pairwise, group } link_kind = multi_link::none;
    mld_pair mlds;
    std::shared_ptr<link_traffic> traffic; // the AP MLD's, for multi-link sessions
    session() = default;
    session(const session&) = delete;
    session& operator=(const session&) = delete;
    ~session();
};

// A pair's protection of its EAPOL-Key frames: what a handshake checked by
// its MIC gives, beside the pairwise session. Wiped when it goes.
struct pairwise_protection {
    akm_suite suite;
    int descriptor_version = 0;
    cipher_suite group_cipher = cipher_suite::none; // none: not read from an RSNE
    std::array<std::uint8_t, 32> kck{};
    std::array<std::uint8_t, 32> kek{};
    bool multi_link = false; // the handshake named both MLDs
    mld_pair mlds;
    pairwise_protection() = default;
    pairwise_protection(const pairwise_protection&) = default;
    pairwise_protection& operator=(const pairwise_protection&) = default;
    ~pairwise_protection();
};

// A pair's pairwise keys: one per key ID (Extended Key ID uses 0 and 1;
// without it only 0), and the key each slot held before its last rekey,
// kept until the new key decrypts a frame.
struct pair_keys {
    std::array<session_ptr, 2> current;
    std::array<session_ptr, 2> previous;
    session_ptr fresh;  // matched at message 2, key ID not yet known from message 3
    session_ptr newest; // the key of the pair's last matched handshake
    std::shared_ptr<const pairwise_protection> protection;
    bool extended_key_id = false;
};

using pair_id = std::array<std::uint8_t, 12>;  // the two addresses in ascending order
using group_id = std::array<std::uint8_t, 7>;  // the transmitter's address and the key index

// A pair of stations' addresses as a map key, the same whichever comes first.
pair_id make_pair_id(const mac_address& a, const mac_address& b);
group_id make_group_id(const mac_address& transmitter, int key_index);

// What a handshake in progress has told so far.
struct pending_handshake {
    mac_address authenticator{};
    mac_address supplicant{};
    std::array<std::uint8_t, 32> anonce{};
    std::array<std::uint8_t, 32> snonce{};
    bool have_anonce = false;
    bool have_snonce = false;
    bool completed = false; // these nonces already gave the pair its keys
    // Multi-link operation: the MLD addresses the PTK is bound to, from the
    // MAC Address KDEs (or, for the AP MLD, its Multi-Link element).
    mac_address authenticator_mld{};
    mac_address supplicant_mld{};
    bool have_authenticator_mld = false;
    bool have_supplicant_mld = false;
    bool multi_link() const { return have_authenticator_mld && have_supplicant_mld; }
    // The suites message 2 allows (its RSNE, or its descriptor version).
    std::array<akm_suite, 3> candidates{};
    std::size_t candidate_count = 0;
    cipher_suite pairwise_cipher = cipher_suite::none;
    cipher_suite group_cipher = cipher_suite::none;
    // The nonces of the handshake last counted in the statistics, and how:
    // a handshake counts once, however many of its messages were checked.
    std::array<std::uint8_t, 64> counted_nonces{};
    enum class tally { none, matched, unmatched, other } counted = tally::none;
};

// What --stats says of one network (an authenticator's BSSID).
struct network_record {
    std::array<std::uint8_t, 32> ssid{};
    std::size_t ssid_length = 0;
    bool ssid_seen = false;
    std::map<int, std::int64_t> matched_by_key; // key position -> handshakes
    std::int64_t unmatched = 0;
};

// Handshake drops that --stats counts on rows of their own.
struct handshake_drops {
    std::int64_t unsupported_akm = 0;     // an AKM or pairwise cipher kestrine has no suite for
    std::int64_t malformed = 0;           // MIC length or Key Data length inconsistent, an RSNE or KDE that lies
    std::int64_t no_key_of_length = 0;    // no key of the PMK length the AKM needs was given
    // FT and TDLS frames refused: an element that lies about its length,
    // a MIC no key gives, a reassociation without its FT authentication.
    std::int64_t key_exchange_refused = 0;
    std::int64_t multi_link_refused = 0; // a Basic Multi-Link element whose lengths lie
};

// What a station's association, FT Authentication and 4-way handshake
// frames with one access point have said: the names PMK-R0 and PMK-R1 are
// derived with (12.7.1.7), and the nonces of an FT exchange over the air.
struct ft_context {
    std::array<std::uint8_t, 32> ssid{};
    std::size_t ssid_length = 0;
    bool have_ssid = false;
    std::array<std::uint8_t, 2> mobility_domain{};
    bool have_mobility_domain = false;
    std::array<std::uint8_t, 48> r0kh_id{};
    std::size_t r0kh_id_length = 0;
    mac_address r1kh_id{};
    bool have_r1kh_id = false;
    std::array<std::uint8_t, 32> anonce{};
    std::array<std::uint8_t, 32> snonce{};
    bool have_snonce = false;           // the station's FT Authentication request
    bool have_anonce = false;           // the access point's answer
    std::array<std::uint8_t, 64> installed_nonces{}; // the exchange whose keys are installed
    bool installed = false;
};

// A TDLS direct link whose TPK is installed, by the nonces that gave it.
struct tdls_link {
    std::array<std::uint8_t, 64> nonces{}; // SNonce || ANonce
    std::array<std::uint8_t, 16> kck{};    // TPK-KCK: checks the Setup Confirm
    tdls_link() = default;
    tdls_link(const tdls_link&) = default;
    tdls_link& operator=(const tdls_link&) = default;
    ~tdls_link();
};

// An MLD's address on each of its links, by Link ID.
struct mld_links {
    std::array<mac_address, max_links> address{};
    std::uint16_t known = 0; // bit L: the address on Link ID L
};

// The tracker's limits: a handshake in progress costs memory for any
// frame that looks like one, so those are fewest; sessions need a key's
// MIC, so a capture cannot make them up without the key.
constexpr std::size_t pending_limit = 4096;
constexpr std::size_t session_limit = 65536;
constexpr std::size_t network_limit = 4096;

struct handshake_tracker {
    key_log_sink log; // --write-keys: every key installed, as a KEY line
    bounded_map<pair_id, pending_handshake> pending{pending_limit};
    bounded_map<pair_id, pair_keys> pairs{session_limit};
    bounded_map<group_id, session_ptr> groups{session_limit};
    bounded_map<mac_address, network_record> networks{network_limit};
    // Pairs, and the access points of pairs, whose handshake no key matched
    // or whose suite kestrine cannot decrypt.
    bounded_map<pair_id, bool> unmatched_pairs{pending_limit};
    bounded_map<mac_address, bool> unmatched_authenticators{network_limit};
    bounded_map<pair_id, bool> unsupported_pairs{pending_limit};
    bounded_map<mac_address, bool> unsupported_authenticators{network_limit};
    // Any frame may start an FT context; a TDLS link needs a setup seen
    // under a pair's key, and its MIC.
    bounded_map<pair_id, ft_context> fast_transitions{pending_limit}; // by station and access point
    bounded_map<pair_id, tdls_link> tdls_links{pending_limit};        // by the two stations
    // Multi-link devices, from Multi-Link elements and handshake KDEs:
    // each link address's MLD, and each MLD's links.
    bounded_map<mac_address, mac_address> mld_of_link{network_limit};
    bounded_map<mac_address, mld_links> mld_link_table{network_limit};
    bounded_map<mac_address, std::shared_ptr<link_traffic>> ap_mld_traffic{network_limit}; // by AP MLD
    std::int64_t handshakes_completed = 0; // a key's MIC matched
    std::int64_t handshakes_unmatched = 0; // no key given matches the MIC
    handshake_drops drops;
    std::uint64_t next_session_id = 1;
    std::vector<std::uint8_t> scratch; // an EAPOL frame with its MIC zeroed

    // Entries evicted from every map to keep memory bounded.
    std::int64_t evicted() const;
};

// Installs a pair's pairwise session under `key_id` (0 or 1), keeping the
// slot's previous key until the new one decrypts a frame; with
// `protection`, the KCK and KEK that later EAPOL-Key frames of the pair
// are checked and decrypted with. For handshakes followed elsewhere (FT,
// TDLS) as for the 4-way handshake.
void install_pairwise_session(handshake_tracker& tracker, const mac_address& authenticator,
                              const mac_address& supplicant, int key_id, session_ptr keys,
                              std::shared_ptr<const pairwise_protection> protection);
// Hands a pairwise key to the key log without installing it.
void log_pairwise_session(const handshake_tracker& tracker, const mac_address& authenticator,
                          const mac_address& supplicant, int key_id, const session& keys);
void install_group_session(handshake_tracker& tracker, const mac_address& transmitter, int key_index,
                           session_ptr keys);
// A new session with a run-unique id; false when the cipher is not one
// kestrine decrypts or the key's length is not the cipher's.
bool make_session(handshake_tracker& tracker, cipher_suite cipher, const mac_address& authenticator,
                  byte_span temporal_key, session_ptr& out, session::multi_link kind = session::multi_link::none,
                  const mld_pair& mlds = {});

// Multi-link operation (multi_link.cpp).
// The MLD pair a session protects with, for the ciphers; null for others.
inline const mld_pair* mlds_of(const session& keys)
{
    return keys.link_kind == session::multi_link::pairwise ? &keys.mlds : nullptr;
}
// Notes that `mld` is at `link_address` on `link_id` (-1: a link not named).
// An AP MLD's link (`ap`) is named for --stats too.
void note_mld_link(handshake_tracker& tracker, const mac_address& mld, int link_id, const mac_address& link_address,
                   bool ap = false);
// Follows the Basic Multi-Link element of a Beacon, Probe Response or
// (Re)Association frame of `subtype`.
void follow_multi_link_frame(handshake_tracker& tracker, byte_span frame, int subtype);
// Message 2's MAC Address KDE and MLO Link KDEs (`elements`): the non-AP
// MLD and its links; and the AP MLD, when message 1 did not name it, as the
// AP MLD's own frames did.
void note_station_mld(handshake_tracker& tracker, pending_handshake& pending, const key_data_elements& elements);
// Gives the pair's keys, installed for the link the handshake ran on, to
// each other link on which both MLDs' addresses are known.
void share_keys_across_links(handshake_tracker& tracker, const mac_address& authenticator,
                             const mac_address& supplicant, const mld_pair& mlds);
// Installs the MLO GTK KDEs' group keys, each under its link's BSSID: as
// `elements` names it in an MLO Link KDE, else as the AP MLD's Multi-Link
// elements did.
void install_link_group_keys(handshake_tracker& tracker, const key_data_elements& elements, const mld_pair& mlds,
                             cipher_suite cipher);


// Elements of a 4-way handshake's message 2 under an FT AKM (its MDE and
// FTE) kept for the pair's initial mobility-domain association.
void note_ft_elements(handshake_tracker& tracker, const mac_address& access_point, const mac_address& station,
                      byte_span key_data);

// True when the pair's frames named everything PMK-R0 needs: the SSID,
// the MDID and the R0KH-ID.
bool ft_names_known(handshake_tracker& tracker, const mac_address& access_point, const mac_address& station);

// The PTK of an initial mobility-domain association (12.7.1.7): PMK-R0
// from `xxkey` and the SSID, MDID and R0KH-ID the pair's frames gave,
// PMK-R1 for the R1KH-ID, then FT-PTK. False when the frames did not say
// enough or a size is wrong.
// Between two MLDs (`mlds`), the keys are bound to their MLD addresses.
bool derive_ft_initial_ptk(handshake_tracker& tracker, const akm_suite& suite, byte_span xxkey,
                           const mac_address& access_point, const mac_address& station, byte_span anonce,
                           byte_span snonce, std::span<std::uint8_t> ptk, const mld_pair* mlds = nullptr);

// Follows a management frame of `subtype` that may belong to FT: a
// (re)association request or response, an FT Authentication frame.
void follow_fast_transition_frame(decryption& state, byte_span frame, int subtype);

// Follows a decrypted TDLS Setup Request, Response or Confirm (`body`
// from the LLC header on, EtherType 0x890D): a Response or Confirm whose
// MIC the TPK checks installs the direct link's pairwise session.
// decrypt_data_frame calls it; a setup sent in the clear is not followed.
void follow_tdls_frame(decryption& state, byte_span body);
