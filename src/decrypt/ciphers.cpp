// The frame ciphers: WEP, TKIP and CCMP over an 802.11 MPDU. Frames are
// untrusted: every offset is checked against the frame before it is read.
#include "decrypt/ciphers.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

namespace {

constexpr std::uint16_t fc_type_mask = 0x000C;
constexpr std::uint16_t fc_type_data = 0x0008;
constexpr std::uint16_t fc_qos_subtype = 0x0080;
constexpr std::uint16_t fc_to_ds = 0x0100;
constexpr std::uint16_t fc_from_ds = 0x0200;
constexpr std::uint16_t fc_more_fragments = 0x0400;
constexpr std::uint16_t fc_retry = 0x0800;
constexpr std::uint16_t fc_power_management = 0x1000;
constexpr std::uint16_t fc_more_data = 0x2000;
constexpr std::uint16_t fc_protected = 0x4000;
constexpr std::uint16_t fc_order = 0x8000;

constexpr std::uint8_t ext_iv = 0x20;

std::uint16_t load16_le(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

// The fields of a MAC header that the ciphers bind to: pointers into the
// frame, each checked to lie inside the header.
struct mac_header {
    std::uint16_t frame_control = 0;
    const std::uint8_t* address1 = nullptr;
    const std::uint8_t* address2 = nullptr;
    const std::uint8_t* address3 = nullptr;
    const std::uint8_t* address4 = nullptr; // null unless ToDS and FromDS
    std::uint16_t sequence_control = 0;
    bool qos = false;
    std::uint16_t qos_control = 0;

    bool data() const { return (frame_control & fc_type_mask) == fc_type_data; }
    std::uint8_t tid() const { return qos ? static_cast<std::uint8_t>(qos_control & 0x0F) : 0; }
    bool fragment() const
    {
        return (frame_control & fc_more_fragments) != 0 || (sequence_control & 0x000F) != 0;
    }
};

std::optional<mac_header> parse_header(byte_span frame, std::size_t header_length)
{
    if (header_length > frame.size() || header_length < 24)
        return std::nullopt;
    mac_header header;
    const std::uint8_t* bytes = frame.data();
    header.frame_control = load16_le(bytes);
    header.address1 = bytes + 4;
    header.address2 = bytes + 10;
    header.address3 = bytes + 16;
    header.sequence_control = load16_le(bytes + 22);
    std::size_t at = 24;
    if ((header.frame_control & (fc_to_ds | fc_from_ds)) == (fc_to_ds | fc_from_ds)) {
        if (at + 6 > header_length)
            return std::nullopt;
        header.address4 = bytes + at;
        at += 6;
    }
    if (header.data() && (header.frame_control & fc_qos_subtype) != 0) {
        if (at + 2 > header_length)
            return std::nullopt;
        header.qos = true;
        header.qos_control = load16_le(bytes + at);
    }
    return header;
}

std::vector<std::uint8_t> with_protected_bit(byte_span header)
{
    std::vector<std::uint8_t> copy(header.begin(), header.end());
    copy[1] = static_cast<std::uint8_t>(copy[1] | (fc_protected >> 8));
    return copy;
}

void append_le32(std::vector<std::uint8_t>& out, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t load32_le(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// ---- WEP

constexpr std::size_t wep_iv_size = 4;
constexpr std::size_t icv_size = 4;

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

std::array<std::uint8_t, 16> tkip_rc4_key(byte_span temporal, const std::uint8_t* transmitter, std::uint64_t tsc)
{
    auto ttak = tkip_mixing_phase1(temporal, {transmitter, 6}, static_cast<std::uint32_t>(tsc >> 16));
    const auto rc4_key = tkip_mixing_phase2(ttak, temporal, static_cast<std::uint16_t>(tsc & 0xFFFF));
    OPENSSL_cleanse(ttak.data(), sizeof ttak);
    return rc4_key;
}

// Michael covers DA, SA, the priority and three zero bytes before the MSDU.
std::array<std::uint8_t, 8> tkip_michael(byte_span michael_key, const mac_header& header, byte_span msdu)
{
    const bool to_ds = (header.frame_control & fc_to_ds) != 0;
    const bool from_ds = (header.frame_control & fc_from_ds) != 0;
    const std::uint8_t* destination = to_ds ? header.address3 : header.address1;
    const std::uint8_t* source = from_ds ? (to_ds ? header.address4 : header.address3) : header.address2;
    std::vector<std::uint8_t> data(16 + msdu.size());
    std::memcpy(data.data(), destination, 6);
    std::memcpy(data.data() + 6, source, 6);
    data[12] = header.tid();
    if (!msdu.empty())
        std::memcpy(data.data() + 16, msdu.data(), msdu.size());
    return michael(michael_key, data);
}

// ---- CCMP and GCMP

constexpr std::size_t ccm_nonce_size = 13;

// What a suite fixes for the frame: the cipher, the key and MIC sizes, and
// whether it is GCM (nonce A2 || PN) or CCM (priority || A2 || PN).
struct aead_suite {
    const EVP_CIPHER* cipher = nullptr;
    std::size_t key_size = 0;
    std::size_t mic_size = 0;
    bool gcm = false;
};

std::optional<aead_suite> aead_suite_of(cipher_suite suite)
{
    switch (suite) {
    case cipher_suite::ccmp128:
        return aead_suite{EVP_aes_128_ccm(), 16, 8, false};
    case cipher_suite::ccmp256:
        return aead_suite{EVP_aes_256_ccm(), 32, 16, false};
    case cipher_suite::gcmp128:
        return aead_suite{EVP_aes_128_gcm(), 16, 16, true};
    case cipher_suite::gcmp256:
        return aead_suite{EVP_aes_256_gcm(), 32, 16, true};
    default:
        return std::nullopt;
    }
}

// Nonce and AAD, the same for CCMP and GCMP but for the nonce's priority
// octet: the header with the fields a retransmission or a relay may change
// masked out, so that the MIC still holds.
template <bool gcm>
void aead_inputs_of(const mac_header& header, const std::uint8_t* pn_header, aead_frame& in)
{
    in.nonce_size = gcm ? ccm_nonce_size - 1 : ccm_nonce_size;
    put_aead_nonce(gcm, header.tid(), header.address2, pn_header, in.nonce.data());

    auto frame_control = static_cast<std::uint16_t>(header.frame_control & ~(fc_retry | fc_power_management | fc_more_data));
    frame_control = static_cast<std::uint16_t>(frame_control | fc_protected);
    if (header.data())
        frame_control = static_cast<std::uint16_t>(frame_control & ~0x0070);
    if (header.qos)
        frame_control = static_cast<std::uint16_t>(frame_control & ~fc_order);
    std::uint8_t* at = in.aad.data();
    *at++ = static_cast<std::uint8_t>(frame_control & 0xFF);
    *at++ = static_cast<std::uint8_t>(frame_control >> 8);
    at = std::copy_n(header.address1, 6, at);
    at = std::copy_n(header.address2, 6, at);
    at = std::copy_n(header.address3, 6, at);
    *at++ = static_cast<std::uint8_t>(header.sequence_control & 0x0F);
    *at++ = 0;
    if (header.address4 != nullptr)
        at = std::copy_n(header.address4, 6, at);
    if (header.qos) {
        *at++ = header.tid();
        *at++ = 0;
    }
    in.aad_size = static_cast<std::size_t>(at - in.aad.data());
}

// Makes the key schedule. For CCM libcrypto fixes M and L when the key is
// set, so the MIC size and the 13-byte nonce (L = 2) go first; it also
// picks its block routine by direction then, so a context serves one
// direction only. GCM's default 12-byte nonce is the frames'.
bool aead_context_init(EVP_CIPHER_CTX* context, const aead_suite& suite, const std::uint8_t* key, bool encrypt)
{
    const int direction = encrypt ? 1 : 0;
    if (EVP_CipherInit_ex(context, suite.cipher, nullptr, nullptr, nullptr, direction) != 1)
        return false;
    if (!suite.gcm &&
        (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(ccm_nonce_size), nullptr) != 1 ||
         EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(suite.mic_size), nullptr) != 1))
        return false;
    return EVP_CipherInit_ex(context, nullptr, nullptr, key, nullptr, direction) == 1;
}

// Sets the nonce and feeds the AAD for one frame; the key schedule stays.
// CCM needs the body's length first and, to decrypt, the expected MIC.
template <bool gcm>
bool aead_start(EVP_CIPHER_CTX* context, const aead_suite& suite, bool encrypt, const aead_frame& in,
                const std::uint8_t* tag, std::size_t body_size)
{
    int length = 0;
    if (EVP_CipherInit_ex(context, nullptr, nullptr, nullptr, in.nonce.data(), encrypt ? 1 : 0) != 1)
        return false;
    // Only a decrypting context takes an expected tag; encryption just restates its size.
    if (!gcm &&
        (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(suite.mic_size),
                             const_cast<std::uint8_t*>(tag)) != 1 ||
         EVP_CipherUpdate(context, nullptr, &length, nullptr, static_cast<int>(body_size)) != 1))
        return false;
    return EVP_CipherUpdate(context, nullptr, &length, in.aad.data(), static_cast<int>(in.aad_size)) == 1;
}

// The nonce, AAD, ciphertext and MIC of a frame; false when it is too
// short or lacks the Ext IV bit.
template <bool gcm>
bool frame_parts(const aead_suite& suite, byte_span frame, std::size_t header_length, aead_frame& out)
{
    const auto header = parse_header(frame, header_length);
    if (!header || frame.size() - header_length < aead_header_size + suite.mic_size)
        return false;
    const std::uint8_t* pn_header = frame.data() + header_length;
    if ((pn_header[3] & ext_iv) == 0)
        return false;
    const std::size_t body_size = frame.size() - header_length - aead_header_size - suite.mic_size;
    out.body = frame.subspan(header_length + aead_header_size, body_size);
    out.mic = frame.last(suite.mic_size);
    aead_inputs_of<gcm>(*header, pn_header, out);
    return true;
}

// Decrypts one frame with a decrypting context of `suite`. The per-frame
// path is made once for CCM and once for GCM, so that CCMP-128 pays
// nothing for the suites beside it.
template <bool gcm>
int aead_open(EVP_CIPHER_CTX* context, const aead_suite& suite, byte_span frame, std::size_t header_length,
              std::uint8_t* plain)
{
    aead_frame in;
    if (context == nullptr || plain == nullptr || frame.size() > INT_MAX ||
        !frame_parts<gcm>(suite, frame, header_length, in))
        return -1;
    const std::size_t body_size = in.body.size();
    const std::uint8_t* body = in.body.data();
    const std::uint8_t* mic = in.mic.data();
    if (!aead_start<gcm>(context, suite, false, in, mic, body_size))
        return -1;
    int length = 0;
    if constexpr (!gcm) {
        // libcrypto checks the MIC here and wipes `plain` when it does not match.
        if (EVP_CipherUpdate(context, plain, &length, body, static_cast<int>(body_size)) != 1 ||
            static_cast<std::size_t>(length) != body_size)
            return -1;
        return length;
    }
    // GCM writes the plaintext before the MIC is checked: a mismatch wipes it.
    int final_length = 0;
    const bool ok = EVP_CipherUpdate(context, plain, &length, body, static_cast<int>(body_size)) == 1 &&
                    static_cast<std::size_t>(length) == body_size &&
                    EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(suite.mic_size),
                                        const_cast<std::uint8_t*>(mic)) == 1 &&
                    EVP_CipherFinal_ex(context, plain + body_size, &final_length) == 1 && final_length == 0;
    if (!ok) {
        OPENSSL_cleanse(plain, body_size);
        return -1;
    }
    return length;
}

// Appends the protected frame; the key's context decrypts, so encryption
// (the generator's and the tests') makes its own.
bool aead_seal(const aead_suite& suite, const std::uint8_t* key, std::uint64_t packet_number, int key_index,
               byte_span header, byte_span plain, std::vector<std::uint8_t>& frame)
{
    const auto parsed = parse_header(header, header.size());
    if (!parsed || key_index < 0 || key_index > 3 || packet_number >> 48 != 0 || plain.size() > INT_MAX)
        return false;
    const std::array<std::uint8_t, aead_header_size> pn_header{
        static_cast<std::uint8_t>(packet_number),       static_cast<std::uint8_t>(packet_number >> 8),
        0,
        static_cast<std::uint8_t>((key_index << 6) | ext_iv),
        static_cast<std::uint8_t>(packet_number >> 16), static_cast<std::uint8_t>(packet_number >> 24),
        static_cast<std::uint8_t>(packet_number >> 32), static_cast<std::uint8_t>(packet_number >> 40)};
    aead_frame in;
    if (suite.gcm)
        aead_inputs_of<true>(*parsed, pn_header.data(), in);
    else
        aead_inputs_of<false>(*parsed, pn_header.data(), in);
    const auto start = suite.gcm ? aead_start<true> : aead_start<false>;
    std::unique_ptr<evp_cipher_ctx_st, cipher_context_deleter> context(EVP_CIPHER_CTX_new());
    if (!context || !aead_context_init(context.get(), suite, key, true))
        return false;
    std::vector<std::uint8_t> sealed(plain.size() + suite.mic_size);
    int length = 0;
    int final_length = 0;
    // An empty body still needs a valid input pointer.
    const std::uint8_t* input = plain.empty() ? pn_header.data() : plain.data();
    if (!start(context.get(), suite, true, in, nullptr, plain.size()) ||
        EVP_CipherUpdate(context.get(), sealed.data(), &length, input, static_cast<int>(plain.size())) != 1 ||
        EVP_CipherFinal_ex(context.get(), sealed.data() + length, &final_length) != 1 ||
        EVP_CIPHER_CTX_ctrl(context.get(), EVP_CTRL_AEAD_GET_TAG, static_cast<int>(suite.mic_size),
                            sealed.data() + plain.size()) != 1)
        return false;
    const auto protected_header = with_protected_bit(header);
    frame.insert(frame.end(), protected_header.begin(), protected_header.end());
    frame.insert(frame.end(), pn_header.begin(), pn_header.end());
    frame.insert(frame.end(), sealed.begin(), sealed.end());
    return true;
}

const aead_suite ccmp128_suite = *aead_suite_of(cipher_suite::ccmp128);

} // namespace

// ---------------------------------------------------------------------------

int wep_decrypt(byte_span key, byte_span frame, std::size_t header_length, std::uint8_t* plain)
{
    if (!wep_key_size_ok(key) || plain == nullptr || frame.size() > INT_MAX)
        return -1;
    if (header_length > frame.size() || frame.size() - header_length < wep_iv_size + icv_size)
        return -1;
    const std::uint8_t* iv = frame.data() + header_length;
    if ((iv[3] & ext_iv) != 0)
        return -1;
    std::array<std::uint8_t, 16> seed{};
    std::memcpy(seed.data(), iv, 3);
    std::memcpy(seed.data() + 3, key.data(), key.size());
    const byte_span sealed = frame.subspan(header_length + wep_iv_size);
    const bool decrypted = rc4_xor({seed.data(), 3 + key.size()}, 0, sealed, plain);
    OPENSSL_cleanse(seed.data(), seed.size());
    if (!decrypted)
        return -1;
    const std::size_t body_size = sealed.size() - icv_size;
    if (crc32_of({plain, body_size}) != load32_le(plain + body_size)) {
        OPENSSL_cleanse(plain, sealed.size());
        return -1;
    }
    return static_cast<int>(body_size);
}

bool wep_encrypt(byte_span key, std::span<const std::uint8_t, 3> iv, int key_index, byte_span header,
                 byte_span plain, std::vector<std::uint8_t>& frame)
{
    if (!wep_key_size_ok(key) || key_index < 0 || key_index > 3 || header.size() < 24)
        return false;
    std::vector<std::uint8_t> sealed(plain.begin(), plain.end());
    append_le32(sealed, crc32_of(plain));
    std::array<std::uint8_t, 16> seed{};
    std::memcpy(seed.data(), iv.data(), 3);
    std::memcpy(seed.data() + 3, key.data(), key.size());
    const bool encrypted = rc4_xor({seed.data(), 3 + key.size()}, 0, sealed, sealed.data());
    OPENSSL_cleanse(seed.data(), seed.size());
    if (!encrypted)
        return false;
    const auto protected_header = with_protected_bit(header);
    frame.insert(frame.end(), protected_header.begin(), protected_header.end());
    frame.insert(frame.end(), iv.begin(), iv.end());
    frame.push_back(static_cast<std::uint8_t>(key_index << 6));
    frame.insert(frame.end(), sealed.begin(), sealed.end());
    return true;
}

// A fragmented MSDU carries one Michael MIC over all its fragments, which a
// single MPDU cannot check: fragments are refused rather than passed
// unverified.
int tkip_decrypt(byte_span temporal_key, bool from_authenticator, byte_span frame, std::size_t header_length,
                 std::uint8_t* plain)
{
    const auto keys = split_tkip_key(temporal_key, from_authenticator);
    const auto header = parse_header(frame, header_length);
    if (!keys || !header || plain == nullptr || frame.size() > INT_MAX || header->fragment())
        return -1;
    if (frame.size() - header_length < tkip_iv_size + michael_size + icv_size)
        return -1;
    const std::uint8_t* iv = frame.data() + header_length;
    if ((iv[3] & ext_iv) == 0)
        return -1;
    std::uint64_t tsc = static_cast<std::uint64_t>(iv[2]) | (static_cast<std::uint64_t>(iv[0]) << 8);
    for (std::size_t i = 0; i < 4; ++i)
        tsc |= static_cast<std::uint64_t>(iv[4 + i]) << (16 + 8 * i);
    auto rc4_key = tkip_rc4_key(keys->temporal, header->address2, tsc);
    const byte_span sealed = frame.subspan(header_length + tkip_iv_size);
    const bool decrypted = rc4_xor(rc4_key, 0, sealed, plain);
    OPENSSL_cleanse(rc4_key.data(), rc4_key.size());
    if (!decrypted)
        return -1;
    const std::size_t with_mic = sealed.size() - icv_size;
    const std::size_t msdu_size = with_mic - michael_size;
    const bool icv_ok = crc32_of({plain, with_mic}) == load32_le(plain + with_mic);
    const bool mic_ok = icv_ok && CRYPTO_memcmp(tkip_michael(keys->michael, *header, {plain, msdu_size}).data(),
                                                plain + msdu_size, michael_size) == 0;
    if (!mic_ok) {
        OPENSSL_cleanse(plain, sealed.size());
        return -1;
    }
    return static_cast<int>(msdu_size);
}

bool tkip_encrypt(byte_span temporal_key, bool from_authenticator, std::uint64_t tsc, int key_index,
                  byte_span header, byte_span plain, std::vector<std::uint8_t>& frame)
{
    const auto keys = split_tkip_key(temporal_key, from_authenticator);
    const auto parsed = parse_header(header, header.size());
    if (!keys || !parsed || parsed->fragment() || key_index < 0 || key_index > 3 || tsc >> 48 != 0)
        return false;
    std::vector<std::uint8_t> sealed(plain.begin(), plain.end());
    const auto mic = tkip_michael(keys->michael, *parsed, plain);
    sealed.insert(sealed.end(), mic.begin(), mic.end());
    append_le32(sealed, crc32_of(sealed));
    auto rc4_key = tkip_rc4_key(keys->temporal, parsed->address2, tsc);
    const bool encrypted = rc4_xor(rc4_key, 0, sealed, sealed.data());
    OPENSSL_cleanse(rc4_key.data(), rc4_key.size());
    if (!encrypted)
        return false;
    const auto protected_header = with_protected_bit(header);
    frame.insert(frame.end(), protected_header.begin(), protected_header.end());
    const auto tsc1 = static_cast<std::uint8_t>(tsc >> 8);
    frame.push_back(tsc1);
    frame.push_back(static_cast<std::uint8_t>((tsc1 | 0x20) & 0x7F)); // WEPSeed[1]
    frame.push_back(static_cast<std::uint8_t>(tsc));
    frame.push_back(static_cast<std::uint8_t>((key_index << 6) | ext_iv));
    for (int i = 2; i < 6; ++i)
        frame.push_back(static_cast<std::uint8_t>(tsc >> (8 * i)));
    frame.insert(frame.end(), sealed.begin(), sealed.end());
    return true;
}

void cipher_context_deleter::operator()(evp_cipher_ctx_st* context) const
{
    EVP_CIPHER_CTX_free(context);
}

ccmp_key::~ccmp_key()
{
    OPENSSL_cleanse(key.data(), key.size());
}

bool ccmp_key_set(ccmp_key& key, byte_span temporal_key)
{
    if (temporal_key.size() != key.key.size())
        return false;
    if (!key.context)
        key.context.reset(EVP_CIPHER_CTX_new());
    std::copy(temporal_key.begin(), temporal_key.end(), key.key.begin());
    if (!key.context || !aead_context_init(key.context.get(), ccmp128_suite, key.key.data(), false)) {
        key.context.reset();
        OPENSSL_cleanse(key.key.data(), key.key.size());
        return false;
    }
    return true;
}

int ccmp_decrypt(ccmp_key& key, byte_span frame, std::size_t header_length, std::uint8_t* plain)
{
    return aead_open<false>(key.context.get(), ccmp128_suite, frame, header_length, plain);
}

bool ccmp_encrypt(ccmp_key& key, std::uint64_t packet_number, int key_index, byte_span header, byte_span plain,
                  std::vector<std::uint8_t>& frame)
{
    return key.context && aead_seal(ccmp128_suite, key.key.data(), packet_number, key_index, header, plain, frame);
}

aead_key::~aead_key()
{
    OPENSSL_cleanse(key.data(), key.size());
}

bool aead_key_set(aead_key& key, cipher_suite suite, byte_span temporal_key)
{
    const auto parameters = aead_suite_of(suite);
    if (!parameters || temporal_key.size() != parameters->key_size)
        return false;
    if (!key.context)
        key.context.reset(EVP_CIPHER_CTX_new());
    OPENSSL_cleanse(key.key.data(), key.key.size());
    std::copy(temporal_key.begin(), temporal_key.end(), key.key.begin());
    key.suite = suite;
    if (!key.context || !aead_context_init(key.context.get(), *parameters, key.key.data(), false)) {
        key.context.reset();
        key.suite = cipher_suite::none;
        OPENSSL_cleanse(key.key.data(), key.key.size());
        return false;
    }
    return true;
}

int aead_decrypt(aead_key& key, byte_span frame, std::size_t header_length, std::uint8_t* plain)
{
    const auto parameters = aead_suite_of(key.suite);
    if (!parameters)
        return -1;
    return parameters->gcm ? aead_open<true>(key.context.get(), *parameters, frame, header_length, plain)
                           : aead_open<false>(key.context.get(), *parameters, frame, header_length, plain);
}

bool aead_encrypt(aead_key& key, std::uint64_t packet_number, int key_index, byte_span header, byte_span plain,
                  std::vector<std::uint8_t>& frame)
{
    const auto parameters = aead_suite_of(key.suite);
    return parameters && key.context &&
           aead_seal(*parameters, key.key.data(), packet_number, key_index, header, plain, frame);
}

bool aead_frame_parts(cipher_suite suite, byte_span frame, std::size_t header_length, aead_frame& out)
{
    const auto parameters = aead_suite_of(suite);
    if (!parameters)
        return false;
    return parameters->gcm ? frame_parts<true>(*parameters, frame, header_length, out)
                           : frame_parts<false>(*parameters, frame, header_length, out);
}
