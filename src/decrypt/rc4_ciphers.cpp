// The RC4 frame ciphers: WEP, and TKIP with its Michael MIC. Frames are
// untrusted: every field is read through the bounded readers.
#include "decrypt/ciphers.h"
#include "decrypt/key_derivation.h"
#include "decrypt/mac_header.h"

#include <openssl/crypto.h>

#include <climits>
#include <cstring>
#include <optional>

namespace {

constexpr int ext_iv = 0x20; // in the key ID octet
constexpr std::size_t icv_size = 4;

// The ICV behind `size` bytes of plaintext matches their CRC-32.
bool icv_matches(const std::uint8_t* plain, std::size_t size)
{
    const std::int64_t icv = record_le32(byte_span(plain, size + icv_size), size);
    return icv >= 0 && crc32_of({plain, size}) == static_cast<std::uint32_t>(icv);
}

// ---- WEP

constexpr std::size_t wep_iv_size = 4;

bool wep_key_size_ok(byte_span key)
{
    return key.size() == 5 || key.size() == 13;
}

// ---- TKIP

constexpr std::size_t tkip_iv_size = 8;
constexpr std::size_t michael_size = 8;

struct tkip_keys {
    byte_span temporal;
    byte_span michael;
};

std::optional<tkip_keys> split_tkip_key(byte_span temporal_key, bool from_authenticator)
{
    if (temporal_key.size() != 32)
        return std::nullopt;
    return tkip_keys{temporal_key.first(16), temporal_key.subspan(from_authenticator ? 16 : 24, 8)};
}

std::array<std::uint8_t, 16> tkip_rc4_key(byte_span temporal, byte_span transmitter, std::uint64_t tsc)
{
    auto ttak = tkip_mixing_phase1(temporal, transmitter, static_cast<std::uint32_t>(tsc >> 16));
    const auto rc4_key = tkip_mixing_phase2(ttak, temporal, static_cast<std::uint16_t>(tsc & 0xFFFF));
    OPENSSL_cleanse(ttak.data(), sizeof ttak);
    return rc4_key;
}

// Michael covers DA, SA, the priority and three zero bytes before the MSDU.
std::array<std::uint8_t, 8> tkip_michael(byte_span michael_key, const mac_header& header, byte_span msdu)
{
    const int fc = header.frame_control;
    const byte_span destination = is_to_ds(fc) ? header.address3 : header.address1;
    const byte_span source = is_from_ds(fc) ? (is_to_ds(fc) ? header.address4 : header.address3) : header.address2;
    std::vector<std::uint8_t> data(16 + msdu.size());
    std::copy(destination.begin(), destination.end(), data.begin());
    std::copy(source.begin(), source.end(), data.begin() + 6);
    data[12] = header.tid();
    std::copy(msdu.begin(), msdu.end(), data.begin() + 16);
    return michael(michael_key, data);
}

} // namespace

int wep_decrypt(byte_span key, byte_span frame, std::size_t header_length, std::uint8_t* plain)
{
    if (!wep_key_size_ok(key) || plain == nullptr || frame.size() > INT_MAX)
        return -1;
    const int key_id = record_u8(frame, header_length + 3);
    if (key_id < 0 || frame.size() - header_length < wep_iv_size + icv_size || (key_id & ext_iv) != 0)
        return -1;
    std::array<std::uint8_t, 16> seed{};
    record_copy(seed.data(), frame, header_length, 3);
    std::copy(key.begin(), key.end(), seed.begin() + 3);
    const byte_span sealed = frame.subspan(header_length + wep_iv_size);
    const bool decrypted = rc4_xor({seed.data(), 3 + key.size()}, 0, sealed, plain);
    OPENSSL_cleanse(seed.data(), seed.size());
    if (!decrypted)
        return -1;
    const std::size_t body_size = sealed.size() - icv_size;
    if (!icv_matches(plain, body_size)) {
        OPENSSL_cleanse(plain, sealed.size());
        return -1;
    }
    return static_cast<int>(body_size);
}

// A fragmented MSDU carries one Michael MIC over all its fragments, which a
// single MPDU cannot check: fragments are refused rather than passed
// unverified.
int tkip_decrypt(byte_span temporal_key, bool from_authenticator, byte_span frame, std::size_t header_length,
                 std::uint8_t* plain)
{
    const auto keys = split_tkip_key(temporal_key, from_authenticator);
    const auto header = parse_mac_header(frame, header_length);
    if (!keys || !header || plain == nullptr || frame.size() > INT_MAX ||
        is_fragment(header->frame_control, header->sequence_control))
        return -1;
    // TSC1, WEPSeed, TSC0, key ID octet, TSC2 .. TSC5.
    const byte_span iv = record_bytes(frame, header_length, tkip_iv_size);
    if (iv.empty() || frame.size() - header_length < tkip_iv_size + michael_size + icv_size ||
        (record_u8(iv, 3) & ext_iv) == 0)
        return -1;
    const auto tsc_high = static_cast<std::uint64_t>(record_le32(iv, 4));
    const std::uint64_t tsc = static_cast<std::uint64_t>(record_u8(iv, 2)) |
                              static_cast<std::uint64_t>(record_u8(iv, 0)) << 8 | tsc_high << 16;
    auto rc4_key = tkip_rc4_key(keys->temporal, header->address2, tsc);
    const byte_span sealed = frame.subspan(header_length + tkip_iv_size);
    const bool decrypted = rc4_xor(rc4_key, 0, sealed, plain);
    OPENSSL_cleanse(rc4_key.data(), rc4_key.size());
    if (!decrypted)
        return -1;
    const std::size_t with_mic = sealed.size() - icv_size;
    const std::size_t msdu_size = with_mic - michael_size;
    const bool mic_ok = icv_matches(plain, with_mic) &&
                        CRYPTO_memcmp(tkip_michael(keys->michael, *header, {plain, msdu_size}).data(),
                                      plain + msdu_size, michael_size) == 0;
    if (!mic_ok) {
        OPENSSL_cleanse(plain, sealed.size());
        return -1;
    }
    return static_cast<int>(msdu_size);
}
