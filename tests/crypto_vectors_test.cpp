// Key derivation and frame ciphers against the published test vectors
// (IEEE 802.11 Annex J and the CCMP-256/GCMP MPDUs of its amendments,
// RFC 3394, RFC 4493, RFC 2202, RFC 4231, RFC 6229), then the
// ways a protected frame must be refused. Frames lie against inaccessible
// memory, so a read past their end crashes the test.
#include "aead_vectors.h"
#include "sealing.h"
#include "decrypt/key_derivation.h"
#include "decrypt/state.h"
#include "guarded_memory.h"
#include "test_support.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace {

test::bytes hex(std::string_view text)
{
    test::bytes out;
    std::string digits;
    for (const char c : text)
        if (c != ' ')
            digits += c;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

test::bytes text(std::string_view value)
{
    return {value.begin(), value.end()};
}

struct kdf_case {
    std::string key;
    std::string ssid_or_data;
    const char* expected;
};

// IEEE 802.11 J.4: passphrase to PSK.
TEST(KeyDerivation, PassphraseToPsk)
{
    const kdf_case cases[] = {
        {"password", "IEEE", "f42c6fc52df0ebef9ebb4b90b38a5f902e83fe1b135a70e23aed762e9710a12e"},
        {"ThisIsAPassword", "ThisIsASSID", "0dc0d6eb90555ed6419756b9a15ec3e3209b63df707dd508d14581f8982721af"},
        {std::string(32, 'a'), std::string(32, 'Z'), "becb93866bb8c3832cb777c2f559807c8c59afcb6eae734885001300a981cc62"},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 32> pmk{};
        ASSERT_TRUE(derive_pmk_from_passphrase(c.key, text(c.ssid_or_data), pmk)) << c.key;
        EXPECT_EQ(test::bytes(pmk.begin(), pmk.end()), hex(c.expected)) << c.key;
    }
    std::array<std::uint8_t, 32> pmk{};
    EXPECT_FALSE(derive_pmk_from_passphrase("short", text("IEEE"), pmk));
}

// IEEE 802.11 J.3: PRF-512 with the prefix "prefix"; shorter outputs are
// its prefixes.
TEST(KeyDerivation, PrfSha1)
{
    const std::pair<test::bytes, test::bytes> cases[] = {
        {test::bytes(20, 0x0b), text("Hi There")},
        {text("Jefe"), text("what do ya want for nothing?")},
        {test::bytes(20, 0xaa), test::bytes(50, 0xdd)},
    };
    const char* expected[] = {
        "bcd4c650b30b9684951829e0d75f9d54b862175ed9f00606e17d8da35402ffee75df78c3d31e0f889f012120c0862beb67753e7439ae242edb8373698356cf5a",
        "51f4de5b33f249adf81aeb713a3c20f4fe631446fabdfa58244759ae58ef9009a99abf4eac2ca5fa87e692c440eb40023e7babb206d61de7b92f41529092b8fc",
        "e1ac546ec4cb636f9976487be5c86be17a0252ca5d8d8df12cfb0473525249ce9dd8d177ead710bc9b590547239107aef7b4abd43d87f0a68f1cbd9e2b6f7607",
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        for (const std::size_t size : {std::size_t{16}, std::size_t{48}, std::size_t{64}}) {
            test::bytes out(size);
            ASSERT_TRUE(prf_sha1(cases[i].first, "prefix", cases[i].second, out));
            const auto want = hex(expected[i]);
            EXPECT_EQ(out, test::bytes(want.begin(), want.begin() + static_cast<std::ptrdiff_t>(size)))
                << "case " << i << " size " << size;
        }
}

// EAPOL-Key MICs: RFC 2202 case 2 for the HMAC versions (SHA-1 cut to 16
// bytes), RFC 4493's examples for AES-CMAC.
TEST(KeyDerivation, EapolKeyMic)
{
    const auto message = hex("6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
                             "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
    const auto cmac_key = hex("2b7e151628aed2a6abf7158809cf4f3c");
    struct mic_case {
        int version;
        test::bytes key;
        test::bytes data;
        const char* expected;
    } cases[] = {
        {1, text("Jefe"), text("what do ya want for nothing?"), "750c783e6ab0b503eaa86e310a5db738"},
        {2, text("Jefe"), text("what do ya want for nothing?"), "effcdf6ae5eb2fa2d27416d5f184df9c"},
        {3, cmac_key, {}, "bb1d6929e95937287fa37d129b756746"},
        {3, cmac_key, test::bytes(message.begin(), message.begin() + 16), "070a16b46b4d4144f79bdd9dd04a287c"},
        {3, cmac_key, test::bytes(message.begin(), message.begin() + 40), "dfa66747de9ae63030ca32611497c827"},
        {0, cmac_key, message, "51f0bebf7e3b9d92fc49741779363cfe"},
    };
    for (const auto& c : cases) {
        std::array<std::uint8_t, 16> mic{};
        ASSERT_TRUE(eapol_key_mic(c.version, c.key, c.data, mic)) << c.expected;
        EXPECT_EQ(test::bytes(mic.begin(), mic.end()), hex(c.expected));
    }
}

// RFC 3394 4.1; a wrapped key with one bit changed must not unwrap.
TEST(KeyDerivation, AesKeyUnwrap)
{
    const auto kek = hex("000102030405060708090A0B0C0D0E0F");
    const auto key = hex("00112233445566778899AABBCCDDEEFF");
    const auto wrapped = hex("1FA68B0A8112B447AEF34BD8FB5A7B829D3E862371D2CFE5");
    test::bytes unwrapped(16);
    ASSERT_TRUE(aes_key_unwrap(kek, wrapped, unwrapped));
    EXPECT_EQ(unwrapped, key);
    auto tampered = wrapped;
    tampered[20] ^= 0x01;
    test::bytes refused(16, 0);
    EXPECT_FALSE(aes_key_unwrap(kek, tampered, refused));
    EXPECT_EQ(refused, test::bytes(16, 0));
}

// The MIC algorithms the SHA-2 AKMs add, on RFC 4231 case 2, each cut to
// its MIC field; a MIC field of another size is refused.
TEST(KeyDerivation, EapolKeyMicBySuite)
{
    const struct {
        mic_algorithm algorithm;
        const char* expected;
    } cases[] = {
        {mic_algorithm::hmac_sha1_128, "effcdf6ae5eb2fa2d27416d5f184df9c"},
        {mic_algorithm::hmac_sha256_128, "5bdcc146bf60754e6a042426089575c7"},
        {mic_algorithm::hmac_sha384_192, "af45d2e376484031617f78d2b58a6b1b9c7ef464f5a01b47"},
        {mic_algorithm::hmac_sha512_256, "164b7a7bfcf819e2e395fbe73b56e0a387bd64222e831fd610270cd7ea250554"},
    };
    for (const auto& c : cases) {
        test::bytes mic(hex(c.expected).size());
        ASSERT_TRUE(eapol_key_mic(c.algorithm, text("Jefe"), text("what do ya want for nothing?"), mic));
        EXPECT_EQ(mic, hex(c.expected));
        test::bytes longer(mic.size() + 8);
        EXPECT_FALSE(eapol_key_mic(c.algorithm, text("Jefe"), text("x"), longer)) << c.expected;
    }
}

// RFC 3394 4.3 and 4.6: a 256-bit KEK that wrapped 128 and 256 bits.
TEST(KeyDerivation, AesKeyUnwrap256)
{
    const auto kek = hex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
    const std::pair<const char*, const char*> cases[] = {
        {"00112233445566778899AABBCCDDEEFF", "64E8C3F9CE0F5BA263E9777905818A2A93C8191E7D6E8AE7"},
        {"00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F",
         "28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21"},
    };
    for (const auto& [key, wrapped] : cases) {
        test::bytes unwrapped(hex(key).size());
        ASSERT_TRUE(aes_key_unwrap(kek, hex(wrapped), unwrapped));
        EXPECT_EQ(unwrapped, hex(key));
    }
    test::bytes out(16);
    EXPECT_FALSE(aes_key_unwrap(test::bytes(24, 1), hex(cases[0].second), out)) << "a 192-bit KEK";
}

// The suite figures that AKM suite selectors and the EAPOL-Key lengths fix.
TEST(Suites, Figures)
{
    const struct {
        int akm;
        std::size_t index;
        key_kdf kdf;
        mic_algorithm mic;
        std::size_t mic_length, kck, kek, pmk;
        bool ft;
    } cases[] = {
        {2, 0, key_kdf::prf_sha1, mic_algorithm::hmac_sha1_128, 16, 16, 16, 32, false},
        {4, 0, key_kdf::kdf_sha256, mic_algorithm::aes128_cmac, 16, 16, 16, 32, true},
        {8, 0, key_kdf::kdf_sha256, mic_algorithm::aes128_cmac, 16, 16, 16, 32, false},
        {11, 0, key_kdf::kdf_sha256, mic_algorithm::hmac_sha256_128, 16, 16, 16, 32, false},
        {12, 0, key_kdf::kdf_sha384, mic_algorithm::hmac_sha384_192, 24, 24, 32, 48, false},
        {13, 0, key_kdf::kdf_sha384, mic_algorithm::hmac_sha384_192, 24, 24, 32, 48, true},
        {18, 1, key_kdf::kdf_sha384, mic_algorithm::hmac_sha384_192, 24, 24, 32, 48, false},
        {24, 2, key_kdf::kdf_sha512, mic_algorithm::hmac_sha512_256, 32, 32, 32, 64, false},
        {25, 0, key_kdf::kdf_sha256, mic_algorithm::hmac_sha256_128, 16, 16, 16, 32, true},
    };
    for (const auto& c : cases) {
        const auto suites = akm_suites(c.akm);
        ASSERT_GT(suites.size(), c.index) << c.akm;
        const akm_suite& s = suites[c.index];
        EXPECT_EQ(s.akm, c.akm);
        EXPECT_TRUE(s.kdf == c.kdf && s.mic == c.mic && s.fast_transition == c.ft) << c.akm;
        EXPECT_EQ((std::array<std::size_t, 4>{s.mic_length, s.kck_length, s.kek_length, s.pmk_length}),
                  (std::array<std::size_t, 4>{c.mic_length, c.kck, c.kek, c.pmk})) << c.akm;
    }
    for (const int unsupported : {0, 7, 10, 14, 26})
        EXPECT_TRUE(akm_suites(unsupported).empty()) << unsupported;
    EXPECT_EQ(descriptor_version_suite(1)->mic, mic_algorithm::hmac_md5);
    EXPECT_EQ(descriptor_version_suite(3)->kdf, key_kdf::kdf_sha256);
    EXPECT_EQ(descriptor_version_suite(4), nullptr);
    EXPECT_EQ(temporal_key_length(cipher_suite::gcmp256), 32u);
    EXPECT_EQ(temporal_key_length(cipher_suite::bip_cmac128), 0u);
}

// No published vector of the SHA-2 KDF, FT's key hierarchy or the TPK was
// at hand: they are checked against the construction computed here by
// another path, libcrypto's one-shot HMAC() and EVP_Digest().
const EVP_MD* md_of(hash_function hash)
{
    return hash == hash_function::sha384 ? EVP_sha384() : hash == hash_function::sha512 ? EVP_sha512() : EVP_sha256();
}

test::bytes reference_kdf(hash_function hash, const test::bytes& key, std::string_view label,
                          const test::bytes& context, std::size_t size)
{
    test::bytes out;
    for (unsigned i = 1; out.size() < size; ++i) {
        test::bytes input{static_cast<std::uint8_t>(i), 0};
        input.insert(input.end(), label.begin(), label.end());
        input.insert(input.end(), context.begin(), context.end());
        input.push_back(static_cast<std::uint8_t>(size * 8));
        input.push_back(static_cast<std::uint8_t>(size * 8 >> 8));
        std::array<std::uint8_t, EVP_MAX_MD_SIZE> block{};
        unsigned length = 0;
        HMAC(md_of(hash), key.data(), static_cast<int>(key.size()), input.data(), input.size(), block.data(), &length);
        out.insert(out.end(), block.begin(), block.begin() + length);
    }
    out.resize(size);
    return out;
}

test::bytes reference_hash(hash_function hash, std::string_view label, const test::bytes& data, std::size_t size)
{
    test::bytes input(label.begin(), label.end());
    input.insert(input.end(), data.begin(), data.end());
    std::array<std::uint8_t, EVP_MAX_MD_SIZE> digest{};
    unsigned length = 0;
    EVP_Digest(input.data(), input.size(), digest.data(), &length, md_of(hash), nullptr);
    return {digest.begin(), digest.begin() + static_cast<std::ptrdiff_t>(size)};
}

test::bytes concat(std::initializer_list<test::bytes> parts)
{
    test::bytes out;
    for (const auto& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

TEST(KeyDerivation, Sha2KdfPtkFtAndTpk)
{
    const auto sta = hex("020000000002");
    const auto ap = hex("020000000001");
    const auto snonce = test::bytes(32, 0x11);
    const auto anonce = test::bytes(32, 0xee);
    for (const int akm : {6, 12, 25}) {
        for (const akm_suite& suite : akm_suites(akm)) {
            const std::size_t q = suite.pmk_length;
            const std::size_t ptk_size = suite.kck_length + suite.kek_length + 32;
            test::bytes pmk(q);
            for (std::size_t i = 0; i < q; ++i)
                pmk[i] = static_cast<std::uint8_t>(i);
            const std::string where = "AKM " + std::to_string(akm) + " PMK " + std::to_string(q);

            test::bytes ptk(ptk_size);
            ASSERT_TRUE(derive_ptk(suite, pmk, ap, sta, anonce, snonce, ptk)) << where;
            EXPECT_EQ(ptk, reference_kdf(suite.hash, pmk, "Pairwise key expansion", concat({ap, sta, snonce, anonce}),
                                         ptk_size)) << where;
            test::bytes short_pmk(q - 1);
            EXPECT_FALSE(derive_ptk(suite, short_pmk, ap, sta, anonce, snonce, ptk)) << where;

            if (suite.fast_transition) {
                const auto ssid = text("ft-net");
                const auto mdid = hex("a1b2");
                const auto r0kh = text("r0kh.example");
                const auto r1kh = hex("020000000003");
                ft_key r0;
                ft_key r1;
                ASSERT_TRUE(derive_pmk_r0(suite.hash, pmk, ssid, mdid, r0kh, sta, r0)) << where;
                const auto r0_data = reference_kdf(
                    suite.hash, pmk, "FT-R0",
                    concat({{static_cast<std::uint8_t>(ssid.size())}, ssid, mdid,
                            {static_cast<std::uint8_t>(r0kh.size())}, r0kh, sta}), q + 16);
                const test::bytes r0_key(r0_data.begin(), r0_data.begin() + static_cast<std::ptrdiff_t>(q));
                EXPECT_EQ(test::bytes(r0.key.begin(), r0.key.begin() + static_cast<std::ptrdiff_t>(r0.length)), r0_key);
                EXPECT_EQ(test::bytes(r0.name.begin(), r0.name.end()),
                          reference_hash(suite.hash, "FT-R0N", test::bytes(r0_data.end() - 16, r0_data.end()), 16));
                ASSERT_TRUE(derive_pmk_r1(suite.hash, r0, r1kh, sta, r1)) << where;
                const auto r1_key = reference_kdf(suite.hash, r0_key, "FT-R1", concat({r1kh, sta}), q);
                EXPECT_EQ(test::bytes(r1.key.begin(), r1.key.begin() + static_cast<std::ptrdiff_t>(r1.length)), r1_key);
                EXPECT_EQ(test::bytes(r1.name.begin(), r1.name.end()),
                          reference_hash(suite.hash, "FT-R1N",
                                         concat({test::bytes(r0.name.begin(), r0.name.end()), r1kh, sta}), 16));
                ASSERT_TRUE(derive_ft_ptk(suite.hash, r1, anonce, snonce, ap, sta, ptk)) << where;
                EXPECT_EQ(ptk, reference_kdf(suite.hash, r1_key, "FT-PTK", concat({snonce, anonce, ap, sta}), ptk_size));
                EXPECT_FALSE(derive_pmk_r1(suite.hash, r0, r1kh, hex("0200"), r1)) << where;
            }
        }
    }
    // TDLS: the initiator's address is the larger here, so the order shows.
    test::bytes tpk(32);
    ASSERT_TRUE(derive_tpk(hash_function::sha256, anonce, snonce, sta, ap, ap, tpk));
    const auto key_input = reference_hash(hash_function::sha256, "", concat({snonce, anonce}), 32);
    EXPECT_EQ(tpk, reference_kdf(hash_function::sha256, key_input, "TDLS PMK", concat({ap, sta, ap}), 32));
    test::bytes swapped(32);
    ASSERT_TRUE(derive_tpk(hash_function::sha256, snonce, anonce, ap, sta, ap, swapped));
    EXPECT_EQ(swapped, tpk);
}

// RFC 6229, the 40-bit key 0102030405 at offsets 0, 16, 240 and 256.
TEST(Primitives, Rc4WithDiscard)
{
    const auto key = hex("0102030405");
    const std::pair<std::size_t, const char*> cases[] = {
        {0, "b2396305f03dc027ccc3524a0a1118a8"},
        {16, "6982944f18fc82d589c403a47a0d0919"},
        {240, "28cb1132c96ce286421dcaadb8b69eae"},
        {256, "1cfcf62b03eddb641d77dfcf7f8d8c93"},
    };
    for (const auto& [discard, expected] : cases) {
        test::bytes stream(16, 0);
        ASSERT_TRUE(rc4_xor(key, discard, stream, stream.data()));
        EXPECT_EQ(stream, hex(expected)) << discard;
    }
}

// IEEE 802.11 TKIP mixing vectors: TTAK after phase 1, RC4 key after phase 2.
TEST(Tkip, KeyMixing)
{
    using ttak_words = std::array<std::uint16_t, 5>;
    struct mixing_case {
        const char* transmitter;
        const char* key;
        std::uint32_t iv32;
        std::uint16_t iv16;
        std::optional<ttak_words> ttak; // unset: checked through the RC4 key
        const char* rc4_key;
    } cases[] = {
        {"102233445566", "000102030405060708090a0b0c0d0e0f", 0, 0, ttak_words{0x3dd2, 0x016e, 0x76f4, 0x8697, 0xb2e8},
         "00200033ea8d2f60ca6d1374234a660b"},
        {"102233445566", "000102030405060708090a0b0c0d0e0f", 0, 1, ttak_words{0x3dd2, 0x016e, 0x76f4, 0x8697, 0xb2e8},
         "00200190ffdc314389a9d9d074fd20aa"},
        {"64f2eaeddc25", "63893b250840b8ae0bd0fa7e61d2783e", 0x20dcfd43, 0xffff, std::nullopt,
         "ff7fff93810fc6e58f5dd326251544ce"},
        {"64f2eaeddc25", "63893b250840b8ae0bd0fa7e61d2783e", 0x20dcfd44, 0, ttak_words{0x5a5d, 0x73a8, 0xa859, 0x2ec1, 0xdc8b},
         "002000498ca471fcfbfaa16e3610f005"},
    };
    for (const auto& c : cases) {
        const auto ttak = tkip_mixing_phase1(hex(c.key), hex(c.transmitter), c.iv32);
        if (c.ttak) {
            EXPECT_EQ(ttak, *c.ttak) << c.key << " " << c.iv32;
        }
        const auto rc4_key = tkip_mixing_phase2(ttak, hex(c.key), c.iv16);
        EXPECT_EQ(test::bytes(rc4_key.begin(), rc4_key.end()), hex(c.rc4_key)) << c.key << " " << c.iv16;
    }
}

// The Michael vectors: each MIC is the next case's key.
TEST(Tkip, Michael)
{
    const std::pair<const char*, const char*> chain[] = {
        {"", "82925c1ca1d130b8"},    {"M", "434721ca40639b3f"},    {"Mi", "e8f9becae97e5d29"},
        {"Mic", "90038fc6cf13c1db"}, {"Mich", "d55e100510128986"}, {"Michael", "0a942b124ecaa546"},
    };
    test::bytes key(8, 0);
    for (const auto& [message, expected] : chain) {
        const auto mic = michael(key, text(message));
        key.assign(mic.begin(), mic.end());
        EXPECT_EQ(key, hex(expected)) << '"' << message << '"';
    }
}

// IEEE 802.11 J.6.4: the CCMP MPDU (Retry set, so the AAD masking shows),
// whose FCS also checks the CRC-32.
const auto j64_tk = hex("c97c1f67ce371185514a8a19f2bdd52f");
const auto j64_header = hex("0848c32c0fd2e128a57c5030f1844408abaea5b8fcba8033");
const auto j64_plain = hex("f8ba1a55d02f85ae967bb62fb6cda8eb7e78a050");
const auto j64_mpdu = hex("0848c32c0fd2e128a57c5030f1844408abaea5b8fcba8033 0ce70020769703b5 "
                          "f3d0a2fe9a3dbf2342a643e43246e80c3c04d019 7845ce0b16f97623");
constexpr std::uint64_t j64_pn = 0xB5039776E70C;

TEST(Ccmp, StandardVector)
{
    EXPECT_EQ(crc32_of(j64_mpdu), 0x66f0991du);
    aead_key key;
    ASSERT_TRUE(aead_key_set(key, cipher_suite::ccmp128, j64_tk));
    test::bytes plain(j64_mpdu.size());
    ASSERT_EQ(aead_decrypt(key, j64_mpdu, 24, plain.data()), static_cast<int>(j64_plain.size()));
    plain.resize(j64_plain.size());
    EXPECT_EQ(plain, j64_plain);
}

// One context serves every frame: failures between good frames leave it
// working.
TEST(Ccmp, ContextSurvivesFailuresAcrossFrames)
{
    aead_key key;
    ASSERT_TRUE(aead_key_set(key, cipher_suite::ccmp128, j64_tk));
    auto forged = j64_mpdu;
    forged.back() ^= 0x80;
    test::bytes plain(j64_mpdu.size());
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(aead_decrypt(key, forged, 24, plain.data()), -1) << i;
        // libcrypto decrypts before it compares: nothing of it may be left.
        ASSERT_EQ(std::search(plain.begin(), plain.end(), j64_plain.begin(), j64_plain.end()), plain.end());
        ASSERT_EQ(aead_decrypt(key, j64_mpdu, 24, plain.data()), 20) << i;
        ASSERT_TRUE(std::equal(j64_plain.begin(), j64_plain.end(), plain.begin())) << i;
    }
}

// The fields a retransmission or a relay may change are outside the MIC;
// the others are bound to it.
TEST(Ccmp, HeaderFieldsBoundToTheMic)
{
    // QoS Data, four addresses.
    auto header = hex("8843 0000 020000000001 020000000002 020000000003 1000 020000000004 0500");
    const auto body = text("a QoS data frame with four addresses");
    aead_key key;
    ASSERT_TRUE(aead_key_set(key, cipher_suite::ccmp128, j64_tk));
    test::bytes frame;
    ASSERT_TRUE(seal_aead(cipher_suite::ccmp128, j64_tk, 7, 1, header, body, frame));
    const struct {
        const char* field;
        std::size_t offset;
        std::uint8_t flip;
        bool still_valid;
    } cases[] = {
        {"retry", 1, 0x08, true},          {"power management", 1, 0x10, true},
        {"more data", 1, 0x20, true},      {"sequence number", 23, 0x10, true},
        {"A-MSDU present", 30, 0x80, true}, {"QoS subtype bit 4", 0, 0x10, true},
        {"address 1", 4, 0x01, false},     {"address 2", 10, 0x01, false},
        {"address 3", 16, 0x01, false},    {"address 4", 24, 0x01, false},
        {"fragment number", 22, 0x01, false}, {"TID", 30, 0x01, false},
        {"more fragments", 1, 0x04, false},
    };
    for (const auto& c : cases) {
        auto changed = frame;
        changed[c.offset] ^= c.flip;
        test::bytes plain(changed.size());
        EXPECT_EQ(aead_decrypt(key, changed, header.size(), plain.data()) >= 0, c.still_valid) << c.field;
    }
}

// The CCMP-256, GCMP-128 and GCMP-256 MPDUs published with the amendments
// that added them (the rows of ../shared/vectors/ciphers.tsv), and the
// CCMP-128 one of J.6.4 through the same path. Flipping a bit of any byte
// must make the frame fail, but for the fields left out of the AAD: the
// Duration, the sequence number, the QoS Control's upper octet, and the CCMP/GCMP
// header's reserved octet and key ID bits.
TEST(Aead, StandardVectors)
{
    const auto& cases = aead_vectors;
    for (const auto& c : cases) {
        aead_key key;
        ASSERT_TRUE(aead_key_set(key, c.suite, hex(c.tk))) << c.name;
        const auto mpdu = hex(c.protected_mpdu);
        const auto plaintext_mpdu = hex(c.plaintext_mpdu);
        const auto header = test::bytes(plaintext_mpdu.begin(), plaintext_mpdu.begin() + static_cast<std::ptrdiff_t>(c.header_length));
        const auto body = test::bytes(plaintext_mpdu.begin() + static_cast<std::ptrdiff_t>(c.header_length), plaintext_mpdu.end());

        test::bytes plain(mpdu.size());
        ASSERT_EQ(aead_decrypt(key, mpdu, c.header_length, plain.data()), static_cast<int>(body.size())) << c.name;
        EXPECT_TRUE(std::equal(body.begin(), body.end(), plain.begin())) << c.name;

        std::set<std::size_t> outside_aad{2, 3, 23, c.header_length + 2, c.header_length + 3};
        if (c.header_length == 26)
            outside_aad.insert(25);
        for (std::size_t at = 0; at < mpdu.size(); ++at) {
            auto changed = mpdu;
            changed[at] ^= 0x01;
            test::bytes out(changed.size(), 0);
            const int result = aead_decrypt(key, changed, c.header_length, out.data());
            if (outside_aad.count(at) != 0) {
                EXPECT_EQ(result, static_cast<int>(body.size())) << c.name << " byte " << at;
                continue;
            }
            EXPECT_EQ(result, -1) << c.name << " byte " << at;
            EXPECT_EQ(std::search(out.begin(), out.end(), body.begin() + 1, body.end()), out.end())
                << c.name << " byte " << at;
        }
    }
    aead_key key;
    EXPECT_FALSE(aead_key_set(key, cipher_suite::ccmp256, hex(cases[0].tk))) << "a 16-byte key for CCMP-256";
    EXPECT_FALSE(aead_key_set(key, cipher_suite::tkip, test::bytes(32, 1)));
}

// ---- Every cipher: round trips over the header shapes, then refusals.

struct cipher {
    const char* name;
    std::size_t cipher_header;
    std::function<bool(byte_span header, byte_span plain, test::bytes& frame)> encrypt;
    std::function<int(byte_span frame, std::size_t header_length, std::uint8_t* plain)> decrypt;
    std::function<int(byte_span frame, std::size_t header_length, std::uint8_t* plain)> decrypt_wrong_key;
};

// One right and one wrong key per AEAD suite, kept for the whole run.
template <cipher_suite suite>
cipher aead_cipher(const char* name)
{
    static aead_key right;
    static aead_key wrong;
    static test::bytes key(temporal_key_length(suite), 0x5a);
    aead_key_set(right, suite, key);
    test::bytes other = key;
    other.back() ^= 0x01;
    aead_key_set(wrong, suite, other);
    return {name, 8, [](byte_span h, byte_span p, test::bytes& f) { return seal_aead(suite, key, 0x0102030405, 2, h, p, f); },
            [](byte_span f, std::size_t l, std::uint8_t* p) { return aead_decrypt(right, f, l, p); },
            [](byte_span f, std::size_t l, std::uint8_t* p) { return aead_decrypt(wrong, f, l, p); }};
}

const auto tkip_key = hex("000102030405060708090a0b0c0d0e0f 1011121314151617 18191a1b1c1d1e1f");

std::vector<cipher> ciphers()
{
    const auto wep_key = hex("0102030405060708090a0b0c0d");
    const std::array<std::uint8_t, 3> iv{0xfb, 0x02, 0x9e};
    return {
        {"WEP", 4, [=](byte_span h, byte_span p, test::bytes& f) { return gen::own_wep_encrypt(wep_key, iv, 2, h, p, f); },
         [=](byte_span f, std::size_t l, std::uint8_t* p) { return wep_decrypt(wep_key, f, l, p); },
         [=](byte_span f, std::size_t l, std::uint8_t* p) { return wep_decrypt(hex("0102030405"), f, l, p); }},
        {"TKIP", 8,
         [](byte_span h, byte_span p, test::bytes& f) { return gen::own_tkip_encrypt(tkip_key, true, 0x123456789A, 1, h, p, f); },
         [](byte_span f, std::size_t l, std::uint8_t* p) { return tkip_decrypt(tkip_key, true, f, l, p); },
         // The other direction's Michael key: the ICV still holds, Michael must not.
         [](byte_span f, std::size_t l, std::uint8_t* p) { return tkip_decrypt(tkip_key, false, f, l, p); }},
        aead_cipher<cipher_suite::ccmp128>("CCMP"),
        aead_cipher<cipher_suite::ccmp256>("CCMP-256"),
        aead_cipher<cipher_suite::gcmp128>("GCMP-128"),
        aead_cipher<cipher_suite::gcmp256>("GCMP-256"),
    };
}

struct header_shape {
    const char* name;
    test::bytes header;
};

const header_shape shapes[] = {
    {"data to AP", hex("0801 0000 00000000000a 00000000000b 00000000000c 3000")},
    {"data from AP", hex("0802 0000 00000000000a 00000000000b 00000000000c 3000")},
    {"QoS data", hex("8802 0000 00000000000a 00000000000b 00000000000c 3000 0600")},
    {"four addresses", hex("0803 0000 00000000000a 00000000000b 00000000000c 3000 00000000000d")},
    {"QoS four addresses", hex("8803 0000 00000000000a 00000000000b 00000000000c 3000 00000000000d 0300")},
    {"QoS +HTC", hex("8882 0000 00000000000a 00000000000b 00000000000c 3000 0700 01020304")},
};

TEST(Ciphers, RoundTrips)
{
    for (const auto& c : ciphers())
        for (const auto& shape : shapes)
            for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{1500}}) {
                test::bytes body(size);
                for (std::size_t i = 0; i < size; ++i)
                    body[i] = static_cast<std::uint8_t>(i * 7);
                test::bytes frame;
                ASSERT_TRUE(c.encrypt(shape.header, body, frame)) << c.name << " " << shape.name;
                ASSERT_EQ(frame[1] & 0x40, 0x40);
                test::bytes plain(frame.size());
                ASSERT_EQ(c.decrypt(frame, shape.header.size(), plain.data()), static_cast<int>(size))
                    << c.name << " " << shape.name << " " << size;
                plain.resize(size);
                EXPECT_EQ(plain, body) << c.name << " " << shape.name << " " << size;
            }
}

// RC4 leaves the ICV linear: flipping bits in the sealed MIC and the
// matching CRC difference into the sealed ICV passes the ICV and leaves
// only the keyed MIC to catch it.
void flip_with_icv_fixed(test::bytes& frame, std::size_t at, std::size_t sealed_start)
{
    const std::size_t covered = frame.size() - 4 - sealed_start;
    test::bytes difference(covered, 0);
    difference[at - sealed_start] = 0x01;
    const std::uint32_t delta = crc32_of(difference) ^ crc32_of(test::bytes(covered, 0));
    frame[at] ^= 0x01;
    for (std::size_t i = 0; i < 4; ++i)
        frame[frame.size() - 4 + i] ^= static_cast<std::uint8_t>(delta >> (8 * i));
}

TEST(Ciphers, Refusals)
{
    const auto& header = shapes[2].header;
    const std::size_t header_length = header.size();
    const auto body = text("plaintext that must not come out of a damaged frame");
    for (const auto& c : ciphers()) {
        test::bytes frame;
        ASSERT_TRUE(c.encrypt(header, body, frame));
        const std::size_t sealed_start = header_length + c.cipher_header;
        const std::string name = c.name;
        std::vector<std::pair<std::string, test::bytes>> faults;
        auto body_flipped = frame;
        body_flipped[sealed_start + 3] ^= 0x01;
        faults.emplace_back("ciphertext byte", body_flipped);
        auto mic_flipped = frame;
        if (name == "TKIP")
            flip_with_icv_fixed(mic_flipped, frame.size() - 4 - 8 + 2, sealed_start);
        else
            mic_flipped[frame.size() - 2] ^= 0x01; // the CCMP MIC, the WEP ICV
        faults.emplace_back("MIC byte", mic_flipped);
        if (name != "WEP") {
            auto no_ext_iv = frame;
            no_ext_iv[header_length + 3] ^= 0x20;
            faults.emplace_back("ExtIV cleared", no_ext_iv);
        }
        if (name == "TKIP") {
            // A fragment's Michael MIC spans the whole MSDU.
            auto sealed_fragment = frame;
            sealed_fragment[22] |= 0x01;
            faults.emplace_back("fragment", sealed_fragment);
        }
        for (const auto& [fault, damaged] : faults) {
            test::bytes plain(damaged.size());
            EXPECT_EQ(c.decrypt(damaged, header_length, plain.data()), -1) << name << ": " << fault;
            EXPECT_EQ(std::search(plain.begin(), plain.end(), body.begin(), body.end()), plain.end())
                << name << ": " << fault;
        }
        test::bytes plain(frame.size());
        EXPECT_EQ(c.decrypt_wrong_key(frame, header_length, plain.data()), -1) << name << ": wrong key";
        EXPECT_EQ(c.decrypt(frame, frame.size() + 1, plain.data()), -1) << name << ": header past the end";
        for (std::size_t length = 0; length < frame.size(); ++length) {
            const auto cut = test::guarded_memory::instance().at_edge(
                test::bytes(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length)));
            EXPECT_EQ(c.decrypt(cut, header_length, plain.data()), -1) << name << ": cut to " << length;
        }
    }
}

} // namespace
