// The user's keys: parsed from a KEY (keys.cpp), and held for a run
// (sessions.cpp), known by their position among the keys given ("key 2"),
// never by value. Every buffer that holds one is wiped when it is let go.
#pragma once

#include "decrypt/decrypt.h"
#include "decrypt/suites.h"

#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Overwrites `size` bytes at `bytes` with zeros the compiler cannot leave
// out (OPENSSL_cleanse).
void wipe(void* bytes, std::size_t size);

// An allocator that wipes what it gives back: a container of secrets that
// grows, or goes, leaves no copy in the memory it lets go.
template <class T>
struct wiping_allocator {
    using value_type = T;
    wiping_allocator() = default;
    template <class U>
    wiping_allocator(const wiping_allocator<U>&) noexcept
    {
    }
    T* allocate(std::size_t count) { return std::allocator<T>{}.allocate(count); }
    void deallocate(T* block, std::size_t count) noexcept
    {
        wipe(block, count * sizeof(T));
        std::allocator<T>{}.deallocate(block, count);
    }
    template <class U>
    bool operator==(const wiping_allocator<U>&) const noexcept
    {
        return true;
    }
};

// Bytes of a secret: a key, a passphrase, a decrypted Key Data field.
using secret_bytes = std::vector<std::uint8_t, wiping_allocator<std::uint8_t>>;

struct user_key {
    // wpa: a PMK; pairwise and group: a temporal key of a run's key log.
    enum class kind { wep, wpa, pairwise, group } type = kind::wep;
    secret_bytes wep_key;               // 5 or 13 bytes
    std::array<std::uint8_t, 64> pmk{}; // WPA: the PMK, from the passphrase and SSID or given
    std::size_t pmk_length = 32;        // 32; 48 or 64 for a PMK of the SHA-384 or SHA-512 AKMs
    // A temporal key: the authenticator (the transmitter of a group key)
    // and the station it is bound to, its key ID and cipher. Its bytes are
    // `pmk`'s first temporal_key_length(cipher).
    mac_address authenticator{};
    mac_address supplicant{};
    // A key of a multi-link network: the AP MLD's address, then, for a
    // pairwise key, the non-AP MLD's, which its frames are protected under
    // whatever link they take.
    std::array<mac_address, 2> mlds{};
    bool multi_link = false;
    int key_id = 0;
    cipher_suite cipher = cipher_suite::none;
    user_key() = default;
    user_key(const user_key&) = default;
    user_key& operator=(const user_key&) = default;
    ~user_key();
};

// Parses one KEY: "wep:HEX" (10 or 26 hex digits, ':' allowed between
// bytes), "wpa-pwd:PASSPHRASE:SSID" (the passphrase runs to the first ':';
// "%XX" escapes any byte in either), "wpa-psk:HEX" (64, 96 or 128 hex
// digits: a PMK of 32, 48 or 64 bytes), or a temporal key as a key log
// holds it: "wpa-tk:AA:SPA:KEYID:CIPHER:HEX[:AP-MLD:STA-MLD]" or
// "wpa-gtk:TA:KEYID:CIPHER:HEX[:AP-MLD]".
// On a malformed KEY returns false with `error` saying what is wrong; the
// error never quotes the key.
bool parse_key(std::string_view text, user_key& key, std::string& error);

// The longest line a key log holds: wpa-tk, two link addresses, a key ID,
// the longest cipher name and 64 hex digits, two MLD addresses, and the
// line feed.
constexpr std::size_t key_line_size = 7 + 2 * 18 + 2 + 9 + 64 + 2 * 18 + 1;

// The key log's line of a temporal key, as parse_key reads it back: a
// pairwise key (`supplicant` given) or a group key (null); of a multi-link
// network with `mlds`, the AP MLD's address and a pairwise key's non-AP
// MLD's. Returns the line's length in `line`; the caller wipes it.
std::size_t format_key_line(const mac_address& authenticator, const mac_address* supplicant, int key_id,
                            cipher_suite cipher, byte_span temporal_key, std::array<char, key_line_size>& line,
                            const std::array<mac_address, 2>* mlds = nullptr);

struct key_store {
    struct pmk_entry {
        std::array<std::uint8_t, 64> pmk{};
        std::size_t length = 32;
        int position = 0; // 1 for the first key given
        pmk_entry() = default;
        pmk_entry(const pmk_entry&) = default;
        pmk_entry& operator=(const pmk_entry&) = default;
        ~pmk_entry() { wipe(pmk.data(), pmk.size()); }
    };
    std::vector<secret_bytes> wep_keys;
    std::vector<pmk_entry, wiping_allocator<pmk_entry>> pmks;
    int keys_given = 0;
    bool temporal_keys_given = false; // a key log's wpa-tk or wpa-gtk KEYs
};
