// TKIP's key mixing and the Michael MIC, which libcrypto does not offer.
// All arithmetic is on std::uint16_t/std::uint32_t values cast back after
// each step, since the integer promotions would otherwise make it int.
#include "decrypt/ciphers.h"

namespace {

constexpr std::uint8_t xtime(std::uint8_t value)
{
    return static_cast<std::uint8_t>((value << 1) ^ ((value & 0x80) != 0 ? 0x1B : 0x00));
}

constexpr std::uint8_t gf_multiply(std::uint8_t a, std::uint8_t b)
{
    std::uint8_t product = 0;
    while (b != 0) {
        if ((b & 1) != 0)
            product = static_cast<std::uint8_t>(product ^ a);
        a = xtime(a);
        b = static_cast<std::uint8_t>(b >> 1);
    }
    return product;
}

constexpr std::uint8_t rotate_left8(std::uint8_t value, unsigned count)
{
    return static_cast<std::uint8_t>((value << count) | (value >> (8 - count)));
}

// The AES S-box: the multiplicative inverse in GF(2^8) (x^254), then the
// affine map. Computed rather than typed, so that no entry can be mistyped.
constexpr std::uint8_t aes_sbox(std::uint8_t value)
{
    // x^254 = x^2 · x^4 · ... · x^128: seven squarings keep the compile-time
    // evaluation within every compiler's step limit.
    std::uint8_t inverse = 1;
    std::uint8_t power = value;
    for (int i = 1; i < 8; ++i) {
        power = gf_multiply(power, power);
        inverse = gf_multiply(inverse, power);
    }
    return static_cast<std::uint8_t>(inverse ^ rotate_left8(inverse, 1) ^ rotate_left8(inverse, 2) ^
                                     rotate_left8(inverse, 3) ^ rotate_left8(inverse, 4) ^ 0x63);
}

// TKIP's 16-bit S-box: 2·S(i) in the high byte, 3·S(i) in the low byte.
constexpr std::array<std::uint16_t, 256> make_tkip_sbox()
{
    std::array<std::uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        const std::uint8_t s = aes_sbox(static_cast<std::uint8_t>(i));
        const std::uint8_t twice = xtime(s);
        const auto thrice = static_cast<std::uint8_t>(twice ^ s);
        table[i] = static_cast<std::uint16_t>((twice << 8) | thrice);
    }
    return table;
}

constexpr std::array<std::uint16_t, 256> tkip_sbox = make_tkip_sbox();
static_assert(tkip_sbox[0] == 0xC6A5 && tkip_sbox[1] == 0xF884 && tkip_sbox[255] == 0x2C3A);

constexpr std::uint16_t swap_bytes(std::uint16_t value)
{
    return static_cast<std::uint16_t>((value << 8) | (value >> 8));
}

constexpr std::uint16_t sbox16(std::uint16_t value)
{
    return static_cast<std::uint16_t>(tkip_sbox[value & 0xFF] ^ swap_bytes(tkip_sbox[value >> 8]));
}

constexpr std::uint16_t add16(std::uint16_t a, std::uint16_t b)
{
    return static_cast<std::uint16_t>(a + b);
}

constexpr std::uint16_t rotate_right1(std::uint16_t value)
{
    return static_cast<std::uint16_t>((value >> 1) | (value << 15));
}

// The 16-bit little-endian word at byte `at` of the key, whose size the
// caller has checked.
std::uint16_t key_word(byte_span key, std::size_t at)
{
    return static_cast<std::uint16_t>(record_le16(key, at));
}

constexpr std::uint32_t rotate_left32(std::uint32_t value, unsigned count)
{
    return (value << count) | (value >> (32 - count));
}

constexpr std::uint32_t swap_halves(std::uint32_t value)
{
    return ((value & 0xFF00FF00u) >> 8) | ((value & 0x00FF00FFu) << 8);
}

void michael_block(std::uint32_t& left, std::uint32_t& right)
{
    right ^= rotate_left32(left, 17);
    left += right;
    right ^= swap_halves(left);
    left += right;
    right ^= rotate_left32(left, 3);
    left += right;
    right ^= rotate_left32(left, 30);
    left += right;
}

// The 32-bit little-endian word at `at`, whose four bytes the caller has
// checked are there.
std::uint32_t word_at(byte_span bytes, std::size_t at)
{
    return static_cast<std::uint32_t>(record_le32(bytes, at));
}

void store32(std::uint32_t value, std::uint8_t* bytes)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

} // namespace

std::array<std::uint16_t, 5> tkip_mixing_phase1(byte_span temporal_key, byte_span transmitter, std::uint32_t iv32)
{
    std::array<std::uint16_t, 5> ttak{};
    if (temporal_key.size() < 16 || transmitter.size() != 6)
        return ttak;
    ttak[0] = static_cast<std::uint16_t>(iv32 & 0xFFFF);
    ttak[1] = static_cast<std::uint16_t>(iv32 >> 16);
    ttak[2] = static_cast<std::uint16_t>(record_le16(transmitter, 0));
    ttak[3] = static_cast<std::uint16_t>(record_le16(transmitter, 2));
    ttak[4] = static_cast<std::uint16_t>(record_le16(transmitter, 4));
    for (std::uint16_t i = 0; i < 8; ++i) {
        const std::size_t j = 2 * (i & 1u);
        ttak[0] = add16(ttak[0], sbox16(static_cast<std::uint16_t>(ttak[4] ^ key_word(temporal_key, 0 + j))));
        ttak[1] = add16(ttak[1], sbox16(static_cast<std::uint16_t>(ttak[0] ^ key_word(temporal_key, 4 + j))));
        ttak[2] = add16(ttak[2], sbox16(static_cast<std::uint16_t>(ttak[1] ^ key_word(temporal_key, 8 + j))));
        ttak[3] = add16(ttak[3], sbox16(static_cast<std::uint16_t>(ttak[2] ^ key_word(temporal_key, 12 + j))));
        ttak[4] = add16(add16(ttak[4], sbox16(static_cast<std::uint16_t>(ttak[3] ^ key_word(temporal_key, 0 + j)))), i);
    }
    return ttak;
}

std::array<std::uint8_t, 16> tkip_mixing_phase2(const std::array<std::uint16_t, 5>& ttak, byte_span temporal_key,
                                                std::uint16_t iv16)
{
    std::array<std::uint8_t, 16> seed{};
    if (temporal_key.size() < 16)
        return seed;
    std::array<std::uint16_t, 6> ppk{ttak[0], ttak[1], ttak[2], ttak[3], ttak[4], add16(ttak[4], iv16)};
    for (std::size_t i = 0; i < 6; ++i) {
        const std::uint16_t previous = ppk[(i + 5) % 6];
        ppk[i] = add16(ppk[i], sbox16(static_cast<std::uint16_t>(previous ^ key_word(temporal_key, 2 * i))));
    }
    ppk[0] = add16(ppk[0], rotate_right1(static_cast<std::uint16_t>(ppk[5] ^ key_word(temporal_key, 12))));
    ppk[1] = add16(ppk[1], rotate_right1(static_cast<std::uint16_t>(ppk[0] ^ key_word(temporal_key, 14))));
    for (std::size_t i = 2; i < 6; ++i)
        ppk[i] = add16(ppk[i], rotate_right1(ppk[i - 1]));
    // The first three bytes come from the TSC, the second avoiding weak RC4 keys.
    seed[0] = static_cast<std::uint8_t>(iv16 >> 8);
    seed[1] = static_cast<std::uint8_t>(((iv16 >> 8) | 0x20) & 0x7F);
    seed[2] = static_cast<std::uint8_t>(iv16 & 0xFF);
    seed[3] = static_cast<std::uint8_t>((ppk[5] ^ key_word(temporal_key, 0)) >> 1);
    for (std::size_t i = 0; i < 6; ++i) {
        seed[4 + 2 * i] = static_cast<std::uint8_t>(ppk[i] & 0xFF);
        seed[5 + 2 * i] = static_cast<std::uint8_t>(ppk[i] >> 8);
    }
    return seed;
}

std::array<std::uint8_t, 8> michael(byte_span key, byte_span data)
{
    std::array<std::uint8_t, 8> mic{};
    if (key.size() != 8)
        return mic;
    std::uint32_t left = word_at(key, 0);
    std::uint32_t right = word_at(key, 4);
    std::size_t at = 0;
    for (; at + 4 <= data.size(); at += 4) {
        left ^= word_at(data, at);
        michael_block(left, right);
    }
    // The message is padded with 0x5A and at least four zero bytes, to a
    // multiple of four.
    std::array<std::uint8_t, 8> tail{};
    const std::size_t rest = data.size() - at;
    record_copy(tail.data(), data, at, rest);
    tail[rest] = 0x5A;
    left ^= word_at(tail, 0);
    michael_block(left, right);
    left ^= word_at(tail, 4);
    michael_block(left, right);
    store32(left, mic.data());
    store32(right, mic.data() + 4);
    return mic;
}
