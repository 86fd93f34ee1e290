// Protected frames for the tests, sealed as a transmitter seals them: by
// the generator's ciphers over libcrypto (tools/gen), never by the
// program's own, whose decryption they check.
#pragma once

#include "decrypt/suites.h"
#include "gen.h"

#include <cstdint>
#include <span>
#include <vector>

// An AEAD frame (CCMP-128/256, GCMP-128/256) of `header` and `plain` under
// `temporal_key`: the header with its Protected bit, the cipher header,
// the ciphertext and the MIC appended to `frame`.
inline bool seal_aead(cipher_suite suite, std::span<const std::uint8_t> temporal_key, std::uint64_t packet_number,
                      int key_id, std::span<const std::uint8_t> header, std::span<const std::uint8_t> plain,
                      std::vector<std::uint8_t>& frame)
{
    gen::cipher cipher = gen::cipher::ccmp;
    switch (suite) {
    case cipher_suite::ccmp128:
        break;
    case cipher_suite::ccmp256:
        cipher = gen::cipher::ccmp256;
        break;
    case cipher_suite::gcmp128:
        cipher = gen::cipher::gcmp;
        break;
    case cipher_suite::gcmp256:
        cipher = gen::cipher::gcmp256;
        break;
    default:
        return false;
    }
    // An empty body still gives libcrypto a pointer.
    static constexpr std::uint8_t nothing = 0;
    return gen::own_aead_encrypt(cipher, temporal_key, packet_number, key_id, header,
                                 plain.empty() ? std::span<const std::uint8_t>(&nothing, 0) : plain, frame);
}
