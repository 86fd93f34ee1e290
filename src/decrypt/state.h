// Everything decryption knows during a run: the user's keys, the
// handshakes followed, and the decryptor. The record path and the
// pipeline hold it through decrypt.h's decryption_ptr; the parts of
// decrypt/ and the tests see it whole.
#pragma once

#include "decrypt/batches.h"
#include "decrypt/keys.h"
#include "decrypt/tracker.h"

#include <array>
#include <vector>

// One answer of settled_aead_session, good while neither map it read has
// changed: the session is the map's own entry. The frame's addresses are
// kept as numbers, its key index above the transmitter's 48 bits.
struct settled_lookup {
    std::uint64_t receiver = 0;
    std::uint64_t transmitter = 0;
    std::uint64_t pairs_version = 0; // 0: no answer (the maps' versions start at 1)
    std::uint64_t groups_version = 0;
    const session_ptr* found = nullptr;
};
// The answers remembered: two to a set, the newer first, the set chosen
// by a hash that mixes every bit of both addresses. A network's address
// pairs (a two-link network has one per link and direction) then seldom
// share a set, where a sum of a few of their bytes sent several to one.
constexpr std::size_t settled_sets = 256;
using settled_set = std::array<settled_lookup, 2>;

struct decryption {
    key_store keys;
    handshake_tracker tracker;
    decryptor frames;
    secret_bytes key_data; // decrypted Key Data, wiped after use
    std::array<settled_set, settled_sets> settled{};
};

void add_user_key(decryption& state, const user_key& key);

// The decrypted frame's last step: `plain` holds the MAC header, then the
// body; clears the Protected bit and follows a decrypted EAPOL-Key or TDLS
// setup frame.
void finish_decrypted_frame(decryption& state, std::span<std::uint8_t> plain, std::size_t header_length);
