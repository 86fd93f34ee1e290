// Decryption of protected 802.11 Data frames, as the record path and the
// two-thread pipeline see it: a run's decryption state made from the
// user's keys, the frames it follows (handshakes, management frames), the
// protected frames it decrypts whole or in steps, and the batches of AEAD
// frames whose cipher work may run on another thread.
//
// Its parts have headers of their own: suites.h, key_derivation.h,
// ciphers.h, elements.h, keys.h, tracker.h, bounded_map.h, state.h and
// batches.h.
//
// Frame bytes are untrusted: every function here checks its lengths before
// it reads, and a frame that is too short or fails its integrity check is
// refused, never half-decrypted.
#pragma once

#include "convert/convert.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

using byte_span = std::span<const std::uint8_t>;
using mac_address = std::array<std::uint8_t, 6>;

struct user_key; // keys.h
struct session;  // tracker.h: the keys of one pair of stations or one group
using session_ptr = std::shared_ptr<const session>;

// Everything decryption knows during a run (state.h): the user's keys,
// the handshakes followed and the cipher contexts. Memory is bounded,
// whatever the capture holds; every key is wiped when it goes.
struct decryption;
struct decryption_deleter {
    void operator()(decryption* state) const;
};
using decryption_ptr = std::unique_ptr<decryption, decryption_deleter>;
// Where --write-keys sends each temporal key as the run installs it: one
// KEY line at a time (keys.h gives its form), on the thread that follows
// the handshakes. The line is wiped once the call returns.
struct key_log_sink {
    void* owner = nullptr;
    void (*write_line)(void* owner, const char* line, std::size_t size) = nullptr;
};

// The state of a run that decrypts with `keys`, known by their positions.
// The temporal keys among them are installed at once, and go to `log`
// like every key installed later.
decryption_ptr make_decryption(const std::vector<user_key>& keys, const key_log_sink& log = {});

// True when the state has a WPA key, so EAPOL-Key and management frames
// are worth following.
bool follows_handshakes(const decryption& state);

// True when the state has a WPA key or a temporal key: WPA frames are
// worth decrypting.
bool decrypts_wpa(const decryption& state);

// Follows an unprotected Data frame if it is an EAPOL-Key frame of a
// 4-way or group key handshake. `body` is the frame body, from its LLC
// header on.
void follow_eapol_frame(decryption& state, byte_span frame, byte_span body);

// Follows a management frame (`frame` from Frame Control, FCS excluded):
// the SSID of a Beacon or Probe Response names its network in --stats;
// (re)association and FT Authentication frames give FT its key names and
// nonces, and a Reassociation Response whose MIC a key checks installs
// the keys of an FT reassociation.
void follow_management_frame(decryption& state, byte_span frame);

// Decrypts one protected Data frame: `frame` runs from Frame Control to
// the end of the captured bytes, FCS included when `fcs_at_end`; when
// `data_pad`, the body starts at the next 4-byte boundary behind the MAC
// header. When the FCS is not announced, a frame whose last four bytes are
// its own CRC-32 loses them too, should the integrity check need it.
//
// On success returns record_fate::decrypted and leaves in `plain`, from
// `frame_at` on, the unprotected frame: the MAC header with the Protected
// bit cleared, then the plaintext body. `frame_at` is 0, or 4 where a
// multi-link frame's HT Control field went (finish_multi_link_frame),
// which spares moving the whole frame. Otherwise returns why the frame
// stays protected. A decrypted EAPOL-Key frame (a group key handshake) is
// followed too.
record_fate decrypt_data_frame(decryption& state, byte_span frame, bool fcs_at_end, bool data_pad,
                               std::vector<std::uint8_t>& plain, std::size_t& frame_at);

// The same for --decrypt-only, which writes the frame as the radio carried
// it: a multi-link frame keeps its link addresses and HT Control field
// (it is only counted on its link), and a unicast robust management frame
// (Disassociation, Deauthentication, Action; IEEE 802.11-2020 12.6.11)
// is decrypted too under its pair's CCMP or GCMP key (any other protected
// management frame is record_fate::protected_unsupported; nothing a
// management frame carries is followed). `unannounced_fcs` says whether
// the frame had to lose an FCS that nothing announced.
record_fate decrypt_frame_as_sent(decryption& state, byte_span frame, bool fcs_at_end, bool data_pad,
                                  std::vector<std::uint8_t>& plain, bool& unannounced_fcs);

// Multi-link operation: the decrypted frame (`plain` from Frame Control)
// as the distribution system sees it, each link address of an MLD the
// session belongs to made the MLD's address, and its HT Control field
// dropped: the frame then begins that many bytes (0 or 4) further on.
// The frame is counted on its link for --stats, by `thread`: the reader
// (the only thread of a one-thread run) or the writer of a two-thread run.
// Nothing for other frames.
enum class finishing_thread { reader = 0, writer = 1 };
std::size_t finish_multi_link_frame(const session& keys, std::span<std::uint8_t> plain, finishing_thread thread);

// Counts a decrypted multi-link frame, as sent, on its link for --stats.
void count_multi_link_frame(const session& keys, std::span<const std::uint8_t> plain, finishing_thread thread);

// decrypt_data_frame in steps, so that the cipher work of AEAD frames can
// run elsewhere, batched, while the frames' order still decides the keys.
//
// A protected Data frame made ready for its cipher: `frame` from Frame
// Control to the cipher's trailer, its data pad removed (into `unpadded`)
// and an announced FCS removed.
struct protected_frame {
    byte_span frame;
    std::size_t header_length = 0;
    bool fcs_announced = false; // else a frame may still end in its FCS
    bool extended_iv = false;   // CCMP, GCMP, TKIP; WEP without
    int key_index = 0;
    mac_address receiver{};
    mac_address transmitter{};
};
// record_fate::decrypted when `out` is ready, else why the frame is too short.
record_fate prepare_protected_frame(byte_span frame, bool fcs_at_end, bool data_pad,
                                    std::vector<std::uint8_t>& unpadded, protected_frame& out);

// `frame` without its last four bytes when they are its CRC-32; empty
// otherwise.
byte_span frame_without_its_fcs(byte_span frame);

// When nothing announces an FCS, a frame may still end in one: it then
// fails its integrity check as it stands (`result` below 0) and passes
// without its last four bytes, if they are its CRC-32. Returns the frame
// to try again, or an empty span when there is none. Inline: asked of
// every frame a batch decrypts.
inline byte_span frame_to_retry(byte_span frame, bool fcs_announced, int result)
{
    return result >= 0 || fcs_announced ? byte_span{} : frame_without_its_fcs(frame);
}

// The one AEAD session that decides the frame's fate, when deciding it
// changes nothing the tracker holds: a group key, or a pair slot's key
// with no key before a rekey nor a fresh key waiting. Null otherwise: the
// frame is then decrypted by decrypt_data_frame, in its turn. The session
// is the tracker's entry: it stays valid until the tracker next changes.
const session_ptr* settled_aead_session(decryption& state, const protected_frame& frame);

// The CCMP and GCMP header: PN0, PN1, reserved, key ID octet, PN2 .. PN5.
constexpr std::size_t aead_header_size = 8;

// What a frame body's LLC header says it carries, of the frames that
// change keys.
enum class key_exchange { none, eapol, tdls };
// Inline: the reader asks it of every frame it hands on. The EtherType
// is looked at first: every Data frame's body begins with the same SNAP
// header, and the EtherType tells most of them apart at once.
inline key_exchange starts_key_exchange(byte_span body)
{
    constexpr int ethertype_eapol = 0x888E;
    constexpr int ethertype_tdls = 0x890D;
    const byte_span llc = record_bytes(body, 0, llc_snap_size);
    const int ethertype = record_be16(llc, rfc1042_header.size());
    const key_exchange carried = ethertype == ethertype_tdls    ? key_exchange::tdls
                                 : ethertype == ethertype_eapol ? key_exchange::eapol
                                                                : key_exchange::none;
    if (carried == key_exchange::none || !std::equal(rfc1042_header.begin(), rfc1042_header.end(), llc.begin()))
        return key_exchange::none;
    return carried;
}

struct cipher_context_deleter {
    void operator()(struct evp_cipher_ctx_st* context) const;
};

// The first bytes of AEAD frames' plaintexts, their MICs not checked: one
// block of keystream each (CCM's counter block 1, GCM's inc32(J0)), so
// that a reader can tell a frame that changes keys before it hands the
// frame's cipher work to another thread. The blocks of a run of frames
// are computed together, session by session, which pipelines the cipher.
// Keeps one block cipher per session used, a small cache.
struct keystream_peek {
    std::array<std::uint8_t, 16> block{}; // the counter block, then its keystream
    std::array<std::uint8_t, 8> body{};   // the first bytes of the body, then of its plaintext
    std::uint32_t group = 0;              // which of the run's sessions keys the frame
    bool ready = false;                   // the frame holds 8 bytes of body, and a counter block
};
struct keystream_peeker {
    struct cached_key {
        std::uint64_t session_id = 0;
        std::uint64_t last_used = 0;
        std::unique_ptr<struct evp_cipher_ctx_st, cipher_context_deleter> context;
    };
    std::array<cached_key, 32> cache; // a network of many stations takes turns
    std::uint64_t uses = 0;
    std::vector<std::array<std::uint8_t, 16>> blocks; // a session's, side by side
    std::vector<std::uint32_t> order;                 // the peeks, session by session
    std::vector<std::uint32_t> group_starts;
};
// Readies `peek` for `frame` under `keys`.
void prepare_keystream_peek(const session& keys, const protected_frame& frame, keystream_peek& peek);
// Turns each ready peek's body into plaintext, under the keys its group
// names; one whose keys have no block cipher is no longer ready.
void peek_plaintexts(keystream_peeker& peeker, std::span<keystream_peek> peeks, std::span<const session_ptr> groups);

// Batches of AEAD frames: the cipher work of many frames at once, so that
// a multi-buffer back end can interleave them and another thread can do
// it. A back end is chosen once per run and used by one thread; it keeps
// its own key schedules, cached by session id.
//
// One frame of a batch. The session, the frame and the plaintext buffer
// outlive the call.
struct aead_job {
    const session* keys = nullptr;  // the cipher (CCMP-128/256, GCMP-128/256) and temporal key
    byte_span frame;                // the MPDU from Frame Control, data pad and FCS removed
    std::size_t header_length = 0;  // where the cipher header begins
    // Room for frame.size() bytes: the plaintext body. It may be the body
    // itself (frame after the MAC and cipher headers): the
    // frame is then decrypted in place, and one that fails keeps its
    // ciphertext.
    std::uint8_t* plain = nullptr;
    int result = -1;                // set by decrypt: the body's length, or -1 (too short, or a wrong MIC)
};

// Whether the job's plaintext goes into its own frame: decrypted in place.
inline bool decrypts_in_place(const aead_job& job)
{
    const std::less<const std::uint8_t*> before;
    return !before(job.plain, job.frame.data()) && before(job.plain, job.frame.data() + job.frame.size());
}

class aead_batch_decryptor {
public:
    virtual ~aead_batch_decryptor() = default;
    // Decrypts every job, setting its result. A job whose MIC is wrong
    // leaves no plaintext behind.
    virtual void decrypt(std::span<aead_job> jobs) = 0;
    // The back end, as --version and --stats name it.
    virtual const char* name() const = 0;
};

// The fastest back end this machine and build have: the multi-buffer
// library on x86-64 with AES-NI, else libcrypto (batches.h has each alone).
std::unique_ptr<aead_batch_decryptor> make_aead_batch_decryptor();

// What --stats says of the handshakes a run followed.
struct handshake_summary {
    std::int64_t matched = 0;          // a key's MIC matched
    std::int64_t unmatched = 0;        // no key given matches the MIC
    std::int64_t unsupported = 0;      // an AKM or cipher kestrine cannot decrypt
    std::int64_t no_key_of_length = 0; // no key of the PMK length the AKM needs was given
    std::int64_t malformed = 0;        // EAPOL-Key frames dropped as malformed
    std::int64_t refused = 0;          // FT and TDLS key frames refused
    std::int64_t evicted = 0;          // handshake records evicted to bound memory
    std::int64_t multi_link_refused = 0; // Basic Multi-Link elements whose lengths lie
    bool multi_link = false;           // the capture showed an AP MLD
};
handshake_summary summarize_handshakes(const decryption& state);

// The per-network rows of --stats, one line each, in `lines`.
void describe_networks(const decryption& state, std::vector<std::string>& lines);
