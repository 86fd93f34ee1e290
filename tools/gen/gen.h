// kestrine_gen's parts: the byte writers and capture headers every mix
// shares, the busy access point, the protected networks and the
// --full-decode mix. main.cpp holds the command line.
#pragma once

#include "decrypt/decrypt.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gen {

struct options {
    int link_type = 127;
    std::uint64_t records = 0; // 0: no record limit
    std::uint64_t bytes = 0;   // 0: no size limit
    bool small_packets = false;
    std::uint64_t seed = 1;
    const char* output = nullptr;
    std::string encrypt; // "", "ccmp", "tkip" or "wep"
    std::string passphrase;
    std::string ssid;
    std::string wep_key;
    unsigned stations = 2;
    bool unencrypted_twin = false; // the same records, their traffic unprotected
    bool full_decode_mix = false;  // every case --full-decode treats apart
};

// ---- capture.cpp: random numbers, byte writers, capture headers ----

std::uint64_t next_random(std::uint64_t& state);
std::uint32_t below(std::uint64_t& state, std::uint32_t bound);

using mac = std::array<std::uint8_t, 6>;
inline constexpr mac access_point = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0x01};
inline constexpr mac gateway = {0x02, 0x1A, 0x11, 0xF0, 0x00, 0xFE};
inline constexpr mac broadcast_address = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

void put(std::vector<std::uint8_t>& out, const mac& address);
void put_u8(std::vector<std::uint8_t>& out, unsigned value);
void put_le16(std::vector<std::uint8_t>& out, unsigned value);
void put_be16(std::vector<std::uint8_t>& out, unsigned value);
void put_random(std::vector<std::uint8_t>& out, std::size_t count, std::uint64_t& state);

void put_beacon_fields(std::vector<std::uint8_t>& out);
void put_capture_header(std::vector<std::uint8_t>& out, int link_type, std::uint64_t& state);
std::size_t imix_ip_length(std::uint64_t& state, bool small_packets);
void put_ip_packet(std::vector<std::uint8_t>& out, std::size_t length, std::uint64_t& state);

// Frame control: the type and subtype word as it sits in the frame.
constexpr unsigned fc_data = 0x0008, fc_null = 0x0048, fc_qos_data = 0x0088, fc_qos_null = 0x00C8;
constexpr unsigned fc_to_ds = 0x0100, fc_from_ds = 0x0200, fc_more_fragments = 0x0400, fc_retry = 0x0800,
                   fc_protected = 0x4000, fc_order = 0x8000;
constexpr bool has_qos(unsigned fc) { return (fc & 0x0C) == 0x08 && (fc & 0x80) != 0; }
constexpr bool four_address(unsigned fc) { return (fc & (fc_to_ds | fc_from_ds)) == (fc_to_ds | fc_from_ds); }
std::size_t mac_header_length(unsigned fc);

// Ends the program with one line on standard error.
[[noreturn]] void fail(const char* what);

// ---- busy_mix.cpp ----

// One frame of the busy access point's mix.
void put_busy_frame(std::vector<std::uint8_t>& out, std::uint64_t& state, bool small_packets);

// ---- protected_network.cpp ----

struct station_keys {
    mac address{};
    std::array<std::uint8_t, 64> ptk{}; // KCK, KEK, TK (32 bytes for TKIP)
    ccmp_key ccmp;
    std::uint64_t packet_number = 1;
};

struct protected_network {
    std::string cipher;
    bool unencrypted_twin = false;
    std::vector<std::uint8_t> wep_key;
    std::uint64_t wep_iv = 0; // the next IV of a sealed frame
    std::array<std::uint8_t, 32> pmk{};
    std::array<std::uint8_t, 32> group_key{};
    ccmp_key group_ccmp;
    std::uint64_t group_packet_number = 1;
    std::vector<station_keys> stations;
    std::vector<std::vector<std::uint8_t>> prelude; // frames before the traffic
    std::size_t next_prelude = 0;
};

void set_up_network(protected_network& net, const options& opts, std::uint64_t& state);
// The next frame of the protected network: the prelude first, then traffic.
void put_protected_frame(std::vector<std::uint8_t>& out, protected_network& net, std::uint64_t& state,
                         bool small_packets);
// Protects a Data frame as its transmitter would; see the definition.
void seal_frame(protected_network& net, std::vector<std::uint8_t>& frame);

// ---- full_decode_mix.cpp ----

class full_decode_mix {
public:
    full_decode_mix(const options& opts, std::uint64_t& state, protected_network* net);
    ~full_decode_mix();
    full_decode_mix(const full_decode_mix&) = delete;
    full_decode_mix& operator=(const full_decode_mix&) = delete;

    // The next record, capture header included; its last `cut` bytes are
    // not captured.
    void next(std::vector<std::uint8_t>& record, std::size_t& cut);

private:
    struct writer;
    std::unique_ptr<writer> writer_;
};

} // namespace gen
