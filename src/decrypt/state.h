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
// changed: the session is the map's own entry.
struct settled_lookup {
    mac_address receiver{};
    mac_address transmitter{};
    int key_index = 0;
    std::uint64_t pairs_version = 0;
    std::uint64_t groups_version = 0;
    const session_ptr* found = nullptr;
};

struct decryption {
    key_store keys;
    handshake_tracker tracker;
    decryptor frames;
    secret_bytes key_data; // decrypted Key Data, wiped after use
    std::array<settled_lookup, 61> settled{};
};

void add_user_key(decryption& state, const user_key& key);

// The decrypted frame's last step: `plain` holds the MAC header, then the
// body; clears the Protected bit and follows a decrypted EAPOL-Key or TDLS
// setup frame.
void finish_decrypted_frame(decryption& state, std::span<std::uint8_t> plain, std::size_t header_length);
