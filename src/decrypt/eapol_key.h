// One EAPOL-Key frame as the handshake tracker reads it (tracker.cpp), and
// what the tracker does with the Key Data of a message 3 or a group key
// message once its MIC checks (key_data.cpp).
#pragma once

#include "decrypt/state.h"

// One EAPOL-Key frame: the fields before the MIC read, checked to lie
// within the frame; the MIC and Key Data once a MIC length is chosen.
struct eapol_key {
    byte_span eapol; // 802.1X header and body, as far as its length field says
    int information = 0;
    int key_length = 0;
    int descriptor_type = 0;
    int version = 0;
    byte_span nonce;
    byte_span key_iv;
    byte_span mic;
    byte_span key_data;
};

// Decrypts the Key Data of message 3 (`message_3`) or of group message 1
// under the pair's KEK, and installs what it holds: the GTK, and under
// Extended Key ID the pairwise key in the slot its Key ID KDE names.
void use_key_data(decryption& state, const eapol_key& key, const pairwise_protection& protection,
                  const mac_address& authenticator, const mac_address& supplicant, bool message_3);
