// The elements a handshake, a management frame or a TDLS setup carries:
// the RSNE (or WPA1's vendor element) that names the AKM and the ciphers,
// the KDEs of message 3 and of the group key handshake, and the elements
// FT and TDLS read. Every length is checked against the bytes there are;
// an element that claims more is malformed, never read past.
#pragma once

#include "decrypt/decrypt.h"

#include <array>

// A suite selector as one number: the RSN suite type for the 00-0F-AC OUI
// (or WPA1's 00-50-F2, whose types 1-5 name the same ciphers and AKMs 1
// and 2); `unknown_suite` for any other OUI.
constexpr int unknown_suite = 256;

// One element of an ID-length-body list at `at`: its ID and body, with
// `at` moved past it. False, reading nothing beyond `bytes`, when its
// header or body runs past their end. Elements, KDEs and FT subelements
// share the form.
bool next_element(byte_span bytes, std::size_t& at, int& id, byte_span& body);

struct rsn_element {
    int group_cipher = -1;        // -1: the element ends before it
    std::array<int, 4> pairwise_ciphers{};
    std::size_t pairwise_count = 0; // the first four kept
    std::array<int, 4> akms{};
    std::size_t akm_count = 0;
    bool wpa1 = false;
};

// Parses the body of an RSNE (`wpa1` false: from its Version field) or of
// WPA1's vendor element (`wpa1` true: behind the OUI and type). The element
// may end after any whole field; false when a count runs past its end or
// the version is not 1.
bool parse_rsn_element(byte_span body, bool wpa1, rsn_element& out);

// Multi-link operation (IEEE 802.11be): a Link ID is 4 bits, 15 reserved.
constexpr int max_links = 15;

// A link of an MLD as an MLO Link KDE or a per-STA profile names it.
struct mlo_link {
    int link_id = -1;
    mac_address address{};
};
// A link's group key from an MLO GTK KDE.
struct mlo_group_key {
    int link_id = -1;
    int key_id = -1;
    byte_span key;
};

struct key_data_elements {
    bool has_rsn = false;
    rsn_element rsn;    // the first RSNE or WPA1 element
    int gtk_key_id = -1; // GTK KDE: its key ID, -1 when absent
    byte_span gtk;
    int key_id = -1;     // Key ID KDE (Extended Key ID): -1 when absent
    bool has_igtk = false;
    // Multi-link operation: the MAC Address KDE (the sender's MLD), the MLO
    // Link KDEs and the MLO GTK KDEs, each link once.
    bool has_mld_address = false;
    mac_address mld_address{};
    std::array<mlo_link, max_links> links{};
    std::size_t link_count = 0;
    std::array<mlo_group_key, max_links> group_keys{};
    std::size_t group_key_count = 0;
};

// Walks the elements of a Key Data field (decrypted when it was). Stops at
// the padding (0xDD then zeros). False when an element runs past the end
// or an RSNE or KDE is malformed.
bool parse_key_data(byte_span data, key_data_elements& out);

// The Basic Multi-Link element (element 255, extension 107; IEEE
// 802.11be-2024, 9.4.2.321.2) of a Beacon, Probe Response or
// (Re)Association frame: the MLD's address, the Link ID of the link it is
// sent on (where the Link ID Info is present), and the address each
// per-STA profile names for its link. False when it is no Basic
// Multi-Link element or a length in it lies.
struct multi_link_element {
    mac_address mld_address{};
    int link_id = -1;
    std::array<mlo_link, max_links> profiles{};
    std::size_t profile_count = 0;
};
bool parse_basic_multi_link(byte_span body, multi_link_element& out);

// The elements of a management frame, a Key Data field or a TDLS action
// that FT and TDLS read, each whole (ID and length included) and checked
// to lie within `elements`; the first of each kind is kept. False when an
// element runs past the end.
struct frame_elements {
    byte_span ssid, rsne, mobility_domain, fast_transition, timeout_interval, link_identifier, rsn_extension;
};
bool find_elements(byte_span elements, frame_elements& out);

// The fields of a Fast BSS Transition element (9.4.2.46) with a MIC of
// `mic_length` bytes (16, or 24 for the SHA-384 AKMs): spans into the
// element. False when it is shorter than its fixed fields or a
// subelement runs past its end.
struct fte_fields {
    byte_span mic, anonce, snonce;
    byte_span r0kh_id, r1kh_id; // empty when absent
    byte_span gtk;              // the GTK subelement's body, empty when absent
};
bool parse_fte(byte_span element, std::size_t mic_length, fte_fields& out);
