// The user's keys: parsed from a KEY (keys.cpp), and held for a run
// (sessions.cpp), known by their position among the keys given ("key 2"),
// never by value. Every copy is wiped when it goes.
#pragma once

#include "decrypt/decrypt.h"

#include <array>
#include <string>
#include <string_view>
#include <vector>

struct user_key {
    enum class kind { wep, wpa } type = kind::wep;
    std::vector<std::uint8_t> wep_key;  // 5 or 13 bytes
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
    };
    std::vector<std::vector<std::uint8_t>> wep_keys;
    std::vector<pmk_entry> pmks;
    int keys_given = 0;
    key_store() = default;
    key_store(const key_store&) = delete;
    key_store& operator=(const key_store&) = delete;
    ~key_store();
};
