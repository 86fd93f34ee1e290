// The AEAD frame ciphers, CCMP and GCMP, through libcrypto. Frames are
// untrusted: every field is read through the bounded readers.
#include "decrypt/ciphers.h"
#include "decrypt/mac_header.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <optional>

namespace {

constexpr int ext_iv = 0x20; // in the key ID octet

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
void aead_inputs_of(const mac_header& header, byte_span cipher_header, aead_frame& in)
{
    in.nonce_size = gcm ? ccm_nonce_size - 1 : ccm_nonce_size;
    put_aead_nonce(gcm, header.nonce_flags(), header.address2, cipher_header, in.nonce.data());

    // Subtype bits 4-6 of a Data frame may change on a relay, like Retry,
    // Power Management and More Data; Order too where QoS Control is there.
    int frame_control = (header.frame_control & ~(fc_retry | fc_power_management | fc_more_data)) | fc_protected;
    if (is_data_type(header.frame_control))
        frame_control &= ~(fc_subtype & ~fc_qos);
    if (header.qos)
        frame_control &= ~fc_order;
    std::uint8_t* at = in.aad.data();
    *at++ = static_cast<std::uint8_t>(frame_control & 0xFF);
    *at++ = static_cast<std::uint8_t>(frame_control >> 8);
    // Each address span is 6 bytes, as parse_mac_header read it.
    at = std::copy_n(header.address1.begin(), 6, at);
    at = std::copy_n(header.address2.begin(), 6, at);
    at = std::copy_n(header.address3.begin(), 6, at);
    *at++ = static_cast<std::uint8_t>(header.sequence_control & 0x0F);
    *at++ = 0;
    if (!header.address4.empty())
        at = std::copy_n(header.address4.begin(), 6, at);
    if (header.qos) {
        *at++ = header.tid();
        *at++ = 0;
    }
    in.aad_size = static_cast<std::size_t>(at - in.aad.data());
}

// Makes the decrypting key schedule. For CCM libcrypto fixes M and L when
// the key is set, so the MIC size and the 13-byte nonce (L = 2) go first;
// it also picks its block routine by direction then. GCM's default
// 12-byte nonce is the frames'.
bool aead_context_init(EVP_CIPHER_CTX* context, const aead_suite& suite, const std::uint8_t* key)
{
    if (EVP_DecryptInit_ex(context, suite.cipher, nullptr, nullptr, nullptr) != 1)
        return false;
    if (!suite.gcm &&
        (EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_IVLEN, static_cast<int>(ccm_nonce_size), nullptr) != 1 ||
         EVP_CIPHER_CTX_ctrl(context, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(suite.mic_size), nullptr) != 1))
        return false;
    return EVP_DecryptInit_ex(context, nullptr, nullptr, key, nullptr) == 1;
}

// Sets the nonce and feeds the AAD for one frame; the key schedule stays.
// CCM needs the body's length and the expected MIC first.
template <bool gcm>
bool aead_start(EVP_CIPHER_CTX* context, const aead_suite& suite, const aead_frame& in, const std::uint8_t* tag,
                std::size_t body_size)
{
    int length = 0;
    if (EVP_DecryptInit_ex(context, nullptr, nullptr, nullptr, in.nonce.data()) != 1)
        return false;
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
bool frame_parts(const aead_suite& suite, byte_span frame, std::size_t header_length, aead_frame& out,
                 const mld_pair* mlds)
{
    const auto header = parse_mac_header(frame, header_length);
    const byte_span cipher_header = record_bytes(frame, header_length, aead_header_size);
    if (!header || cipher_header.empty() || frame.size() - header_length < aead_header_size + suite.mic_size ||
        (record_u8(cipher_header, 3) & ext_iv) == 0)
        return false;
    const std::size_t body_size = frame.size() - header_length - aead_header_size - suite.mic_size;
    out.body = frame.subspan(header_length + aead_header_size, body_size);
    out.mic = frame.last(suite.mic_size);
    aead_inputs_of<gcm>(*header, cipher_header, out);
    if (mlds != nullptr) {
        // The AAD's addresses follow Frame Control; the nonce's A2 its priority (CCM).
        use_mld_addresses(*mlds, header->frame_control, std::span(out.aad).template subspan<2, 18>());
        std::memcpy(out.nonce.data() + (gcm ? 0 : 1), out.aad.data() + 8, 6);
    }
    return true;
}

// Decrypts one frame with a decrypting context of `suite`. The per-frame
// path is made once for CCM and once for GCM, so that CCMP-128 pays
// nothing for the suites beside it.
template <bool gcm>
int aead_open(EVP_CIPHER_CTX* context, const aead_suite& suite, byte_span frame, std::size_t header_length,
              std::uint8_t* plain, const mld_pair* mlds)
{
    aead_frame in;
    if (context == nullptr || plain == nullptr || frame.size() > INT_MAX ||
        !frame_parts<gcm>(suite, frame, header_length, in, mlds))
        return -1;
    const std::size_t body_size = in.body.size();
    const std::uint8_t* body = in.body.data();
    const std::uint8_t* mic = in.mic.data();
    if (!aead_start<gcm>(context, suite, in, mic, body_size))
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

} // namespace

void cipher_context_deleter::operator()(evp_cipher_ctx_st* context) const
{
    EVP_CIPHER_CTX_free(context);
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
    if (!key.context || !aead_context_init(key.context.get(), *parameters, key.key.data())) {
        key.context.reset();
        key.suite = cipher_suite::none;
        OPENSSL_cleanse(key.key.data(), key.key.size());
        return false;
    }
    return true;
}

int aead_decrypt(aead_key& key, byte_span frame, std::size_t header_length, std::uint8_t* plain,
                 const mld_pair* mlds)
{
    const auto parameters = aead_suite_of(key.suite);
    if (!parameters)
        return -1;
    return parameters->gcm ? aead_open<true>(key.context.get(), *parameters, frame, header_length, plain, mlds)
                           : aead_open<false>(key.context.get(), *parameters, frame, header_length, plain, mlds);
}

bool aead_frame_parts(cipher_suite suite, byte_span frame, std::size_t header_length, aead_frame& out,
                      const mld_pair* mlds)
{
    const auto parameters = aead_suite_of(suite);
    if (!parameters)
        return false;
    return parameters->gcm ? frame_parts<true>(*parameters, frame, header_length, out, mlds)
                           : frame_parts<false>(*parameters, frame, header_length, out, mlds);
}
