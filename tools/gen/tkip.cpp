// TKIP's own parts, which libcrypto has not got: the two phases of key
// mixing (IEEE 802.11-2020 12.5.2.5) and Michael (12.5.2.3). Written here
// again, apart from src/decrypt, so that a fault on the decrypting side is
// not written into the generator's captures as well; the standard's test
// vectors check them (tests/generator_tkip_test.cpp).
#include "gen.h"

namespace gen {
namespace {

// The AES S-box (FIPS 197 5.1.1): the multiplicative inverse in GF(2^8)
// under the affine transform.
std::uint8_t aes_sbox(std::uint8_t x)
{
    auto multiply = [](unsigned a, unsigned b) {
        unsigned product = 0;
        for (; b != 0; b >>= 1, a = (a << 1) ^ ((a & 0x80) != 0 ? 0x11B : 0))
            if ((b & 1) != 0)
                product ^= a;
        return product & 0xFF;
    };
    unsigned inverse = 0; // x^254, and 0 for 0
    if (x != 0) {
        inverse = 1;
        for (int i = 0; i < 254; ++i)
            inverse = multiply(inverse, x);
    }
    unsigned result = 0x63;
    for (int shift = 0; shift < 5; ++shift)
        result ^= (inverse << shift | inverse >> (8 - shift)) & 0xFF;
    return static_cast<std::uint8_t>(result);
}

// TKIP's 16-bit S-box: the table of 12.5.2.5.2 holds, at i, the AES S-box
// value s times 2 in its upper byte and times 3 in its lower; a 16-bit
// input looks up both of its bytes, the upper one's result byte-swapped.
struct tkip_sbox {
    std::array<std::uint16_t, 256> table{};
    tkip_sbox()
    {
        for (unsigned i = 0; i < 256; ++i) {
            const unsigned s = aes_sbox(static_cast<std::uint8_t>(i));
            const unsigned twice = (s << 1 ^ ((s & 0x80) != 0 ? 0x11B : 0)) & 0xFF;
            table[i] = static_cast<std::uint16_t>(twice << 8 | (twice ^ s));
        }
    }
    std::uint16_t operator()(unsigned value) const
    {
        const unsigned upper = table[value >> 8 & 0xFF];
        return static_cast<std::uint16_t>(table[value & 0xFF] ^ (upper >> 8 | (upper & 0xFF) << 8));
    }
};

const tkip_sbox& sbox()
{
    static const tkip_sbox box;
    return box;
}

unsigned le16(const std::uint8_t* bytes) { return static_cast<unsigned>(bytes[0] | bytes[1] << 8); }

// Mk16(TK[at + 1], TK[at]).
unsigned tk16(std::span<const std::uint8_t, 16> tk, std::size_t at) { return le16(tk.data() + at); }

std::uint16_t rotate_right1(unsigned value) { return static_cast<std::uint16_t>((value >> 1 | value << 15) & 0xFFFF); }

std::uint32_t rotate_left(std::uint32_t value, int bits) { return value << bits | value >> (32 - bits); }

} // namespace

std::array<std::uint16_t, 5> tkip_phase1(std::span<const std::uint8_t, 16> tk, std::span<const std::uint8_t, 6> ta,
                                         std::uint32_t iv32)
{
    const auto& s = sbox();
    std::array<unsigned, 5> ttak = {iv32 & 0xFFFF, iv32 >> 16, le16(ta.data()), le16(ta.data() + 2),
                                    le16(ta.data() + 4)};
    for (unsigned i = 0; i < 8; ++i) {
        const std::size_t j = 2 * (i & 1);
        ttak[0] = (ttak[0] + s(ttak[4] ^ tk16(tk, j))) & 0xFFFF;
        ttak[1] = (ttak[1] + s(ttak[0] ^ tk16(tk, 4 + j))) & 0xFFFF;
        ttak[2] = (ttak[2] + s(ttak[1] ^ tk16(tk, 8 + j))) & 0xFFFF;
        ttak[3] = (ttak[3] + s(ttak[2] ^ tk16(tk, 12 + j))) & 0xFFFF;
        ttak[4] = (ttak[4] + s(ttak[3] ^ tk16(tk, j)) + i) & 0xFFFF;
    }
    std::array<std::uint16_t, 5> out{};
    for (std::size_t i = 0; i < 5; ++i)
        out[i] = static_cast<std::uint16_t>(ttak[i]);
    return out;
}

std::array<std::uint8_t, 16> tkip_phase2(const std::array<std::uint16_t, 5>& ttak,
                                         std::span<const std::uint8_t, 16> tk, std::uint16_t iv16)
{
    const auto& s = sbox();
    std::array<unsigned, 6> ppk = {ttak[0], ttak[1], ttak[2], ttak[3], ttak[4], (ttak[4] + iv16) & 0xFFFFu};
    for (std::size_t i = 0; i < 6; ++i) // PPK[i] += S[PPK[i - 1] ^ Mk16(TK[2i + 1], TK[2i])]
        ppk[i] = (ppk[i] + s(ppk[(i + 5) % 6] ^ tk16(tk, 2 * i))) & 0xFFFF;
    ppk[0] = (ppk[0] + rotate_right1(ppk[5] ^ tk16(tk, 12))) & 0xFFFF;
    ppk[1] = (ppk[1] + rotate_right1(ppk[0] ^ tk16(tk, 14))) & 0xFFFF;
    for (std::size_t i = 2; i < 6; ++i)
        ppk[i] = (ppk[i] + rotate_right1(ppk[i - 1])) & 0xFFFF;

    // The WEP seed: TSC1, (TSC1 | 0x20) & 0x7F (keeping weak keys out),
    // TSC0, then PPK0..PPK5 little-endian with a byte of TK mixed in.
    std::array<std::uint8_t, 16> key{};
    key[0] = static_cast<std::uint8_t>(iv16 >> 8);
    key[1] = static_cast<std::uint8_t>((iv16 >> 8 | 0x20) & 0x7F);
    key[2] = static_cast<std::uint8_t>(iv16 & 0xFF);
    key[3] = static_cast<std::uint8_t>(((ppk[5] ^ tk16(tk, 0)) >> 1) & 0xFF);
    for (std::size_t i = 0; i < 6; ++i) {
        key[4 + 2 * i] = static_cast<std::uint8_t>(ppk[i] & 0xFF);
        key[5 + 2 * i] = static_cast<std::uint8_t>(ppk[i] >> 8);
    }
    return key;
}

std::array<std::uint8_t, 8> michael(std::span<const std::uint8_t, 8> key, byte_span data)
{
    auto word_at = [](const std::uint8_t* bytes) {
        return static_cast<std::uint32_t>(bytes[0] | bytes[1] << 8 | bytes[2] << 16) |
               static_cast<std::uint32_t>(bytes[3]) << 24;
    };
    std::uint32_t left = word_at(key.data()), right = word_at(key.data() + 4);
    auto block = [&](std::uint32_t word) {
        left ^= word;
        right ^= rotate_left(left, 17);
        left += right;
        right ^= (left & 0xFF00FF00u) >> 8 | (left & 0x00FF00FFu) << 8;
        left += right;
        right ^= rotate_left(left, 3);
        left += right;
        right ^= rotate_left(left, 30);
        left += right;
    };
    std::size_t at = 0;
    for (; at + 4 <= data.size(); at += 4)
        block(word_at(data.data() + at));
    // The tail padded with 0x5A and four to seven zero bytes.
    std::array<std::uint8_t, 8> tail{};
    const std::size_t rest = data.size() - at;
    std::copy(data.begin() + static_cast<std::ptrdiff_t>(at), data.end(), tail.begin());
    tail[rest] = 0x5A;
    block(word_at(tail.data()));
    block(word_at(tail.data() + 4));
    std::array<std::uint8_t, 8> mic{};
    for (int i = 0; i < 4; ++i) {
        mic[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(left >> (8 * i));
        mic[static_cast<std::size_t>(4 + i)] = static_cast<std::uint8_t>(right >> (8 * i));
    }
    return mic;
}

} // namespace gen
