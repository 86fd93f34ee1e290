// The CCMP-128 MPDU of IEEE 802.11 J.6.4 and the CCMP-256, GCMP-128 and
// GCMP-256 MPDUs published with the amendments that added them: key, PN,
// MAC header length, the frame before and after protection.
#pragma once

#include "decrypt/key_derivation.h"
#include "decrypt/state.h"

#include <cstddef>
#include <cstdint>

struct aead_vector {
    const char* name;
    cipher_suite suite;
    const char* tk;
    std::uint64_t pn;
    std::size_t header_length;
    const char* plaintext_mpdu;
    const char* protected_mpdu;
};

inline const aead_vector aead_vectors[] = {
    {"CCMP-128 (J.6.4)", cipher_suite::ccmp128, "c97c1f67ce371185514a8a19f2bdd52f", 0xB5039776E70C, 24,
     "0848c32c0fd2e128a57c5030f1844408abaea5b8fcba8033f8ba1a55d02f85ae967bb62fb6cda8eb7e78a050",
     "0848c32c0fd2e128a57c5030f1844408abaea5b8fcba80330ce70020769703b5f3d0a2fe9a3dbf2342a643e43246e80c3c04d019"
     "7845ce0b16f97623"},
    {"CCMP-256 (802.11ac M.6.4)", cipher_suite::ccmp256,
     "c97c1f67ce371185514a8a19f2bdd52f000102030405060708090a0b0c0d0e0f", 0xb5039776e70c, 24,
     "0848c32c0fd2e128a57c5030f1844408abaea5b8fcba8033f8ba1a55d02f85ae967bb62fb6cda8eb7e78a050",
     "0848c32c0fd2e128a57c5030f1844408abaea5b8fcba80330ce70020769703b56d155d8832668256d6a92b78e11d8e54495dd174"
     "80aa56c9492e882b97642f80d50fe97b"},
    {"GCMP-256 (802.11ac M.11.1)", cipher_suite::gcmp256,
     "c97c1f67ce371185514a8a19f2bdd52f000102030405060708090a0b0c0d0e0f", 0x00895f5f2b08, 26,
     "88480b000fd2e128a57c5030f18444085030f184440880330300000102030405060708090a0b0c0d0e0f101112131415161718"
     "191a1b1c1d1e1f2021222324252627",
     "88480b000fd2e128a57c5030f18444085030f184440880330300082b00205f5f8900658343c8b14447d9211defd46ad89c710c"
     "6fc33333236e3997b9176a5a8be779b21266555e70ad79114316859095473d5b1bd596b3dea3bf"},
    {"GCMP-128 (802.11ad M.11.1)", cipher_suite::gcmp128, "c97c1f67ce371185514a8a19f2bdd52f", 0x00895f5f2b08, 26,
     "88480b000fd2e128a57c5030f18444085030f184440880330300000102030405060708090a0b0c0d0e0f101112131415161718"
     "191a1b1c1d1e1f2021222324252627",
     "88480b000fd2e128a57c5030f18444085030f184440880330300082b00205f5f890060e9700cc4d40ac6d288b201c38f5bf08b"
     "807442640a1596e5dbdad41d1f3623f45d7a12db7afb23def619c2a374b6df66ffa53b6c69d79e"},
};
