// The generator's second TKIP (tools/gen/tkip.cpp), against the test
// vectors IEEE 802.11 publishes for TKIP key mixing and Michael (Annex J
// of 802.11-2020, first published in 802.11i). The generator's captures
// are only as good as this: its TKIP frames are what the decrypting side
// is checked against.
#include "gen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::uint8_t> hex(const std::string& text)
{
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

struct mixing_vector {
    const char* tk;
    const char* ta;
    std::uint32_t iv32;
    std::uint16_t iv16;
    std::array<std::uint16_t, 5> p1k;
    const char* rc4_key;
};

TEST(generator_tkip, key_mixing_gives_the_standards_keys)
{
    const char* const tk1 = "000102030405060708090a0b0c0d0e0f";
    const char* const tk2 = "63893b250840b8ae0bd0fa7e61d2783e";
    const mixing_vector vectors[] = {
        {tk1, "102233445566", 0x00000000, 0x0000, {0x3DD2, 0x016E, 0x76F4, 0x8697, 0xB2E8},
         "00200033ea8d2f60ca6d1374234a660b"},
        {tk1, "102233445566", 0x00000000, 0x0001, {0x3DD2, 0x016E, 0x76F4, 0x8697, 0xB2E8},
         "00200190ffdc314389a9d9d074fd20aa"},
        {tk2, "64f2eaeddc25", 0x20DCFD43, 0xFFFF, {0x7C67, 0x49D7, 0x9724, 0xB5E9, 0xB4F1},
         "ff7fff93810fc6e58f5dd326251544ce"},
        {tk2, "64f2eaeddc25", 0x20DCFD44, 0x0000, {0x5A5D, 0x73A8, 0xA859, 0x2EC1, 0xDC8B},
         "002000498ca471fcfbfaa16e3610f005"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(std::string(v.tk) + " IV32 " + std::to_string(v.iv32) + " IV16 " + std::to_string(v.iv16));
        const auto tk = hex(v.tk);
        const auto ta = hex(v.ta);
        const auto ttak = gen::tkip_phase1(std::span(tk).first<16>(), std::span(ta).first<6>(), v.iv32);
        EXPECT_EQ(ttak, v.p1k);
        const auto rc4_key = gen::tkip_phase2(v.p1k, std::span(tk).first<16>(), v.iv16);
        EXPECT_EQ(std::vector<std::uint8_t>(rc4_key.begin(), rc4_key.end()), hex(v.rc4_key));
    }
}

// Each vector's MIC is the key of the next.
TEST(generator_tkip, michael_gives_the_standards_mics)
{
    const struct {
        const char* key;
        const char* message;
        const char* mic;
    } vectors[] = {
        {"0000000000000000", "", "82925c1ca1d130b8"},
        {"82925c1ca1d130b8", "M", "434721ca40639b3f"},
        {"434721ca40639b3f", "Mi", "e8f9becae97e5d29"},
        {"e8f9becae97e5d29", "Mic", "90038fc6cf13c1db"},
        {"90038fc6cf13c1db", "Mich", "d55e100510128986"},
        {"d55e100510128986", "Michael", "0a942b124ecaa546"},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.message);
        const auto key = hex(v.key);
        const std::string message = v.message;
        const auto mic = gen::michael(std::span(key).first<8>(),
                                      {reinterpret_cast<const std::uint8_t*>(message.data()), message.size()});
        EXPECT_EQ(std::vector<std::uint8_t>(mic.begin(), mic.end()), hex(v.mic));
    }
}

} // namespace
