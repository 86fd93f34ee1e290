// The user's keys: parsed from a KEY (keys.cpp), and held for a run
// (sessions.cpp), known by their position among the keys given ("key 2"),
// never by value. Every buffer that holds one is wiped when it is let go.
#pragma once

#include "decrypt/decrypt.h"

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
    enum class kind { wep, wpa } type = kind::wep;
    secret_bytes wep_key;               // 5 or 13 bytes
    std::array<std::uint8_t, 64> pmk{}; // WPA: the PMK, from the passphrase and SSID or given
    std::size_t pmk_length = 32;        // 32; 48 or 64 for a PMK of the SHA-384 or SHA-512 AKMs
    user_key() = default;
    user_key(const user_key&) = default;
    user_key& operator=(const user_key&) = default;
    ~user_key();
};

// Parses one KEY: "wep:HEX" (10 or 26 hex digits, ':' allowed between
// bytes), "wpa-pwd:PASSPHRASE:SSID" (the passphrase runs to the first ':';
// "%XX" escapes any byte in either) or "wpa-psk:HEX" (64, 96 or 128 hex
// digits: a PMK of 32, 48 or 64 bytes). On a malformed KEY returns false with `error`
// saying what is wrong; the error never quotes the key.
bool parse_key(std::string_view text, user_key& key, std::string& error);

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
};
