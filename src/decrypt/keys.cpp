#include "decrypt/key_derivation.h"
#include "decrypt/keys.h"

#include <openssl/crypto.h>

#include <optional>

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Hex digits, with ':' allowed between bytes (never inside one).
std::optional<secret_bytes> parse_hex(std::string_view text)
{
    secret_bytes out;
    out.reserve(text.size() / 2);
    std::size_t at = 0;
    while (at < text.size()) {
        if (!out.empty() && text[at] == ':' && at + 1 < text.size())
            ++at;
        if (text.size() - at < 2)
            return std::nullopt;
        const int high = hex_value(text[at]);
        const int low = hex_value(text[at + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
        at += 2;
    }
    return out;
}

// "%XX" escapes; a '%' not followed by two hex digits is an error.
std::optional<secret_bytes> unescape(std::string_view text)
{
    secret_bytes out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (text[at] != '%') {
            out.push_back(static_cast<std::uint8_t>(text[at]));
            continue;
        }
        const int high = at + 1 < text.size() ? hex_value(text[at + 1]) : -1;
        const int low = at + 2 < text.size() ? hex_value(text[at + 2]) : -1;
        if (high < 0 || low < 0)
            return std::nullopt;
        out.push_back(static_cast<std::uint8_t>(high << 4 | low));
        at += 2;
    }
    return out;
}

} // namespace

void wipe(void* bytes, std::size_t size)
{
    if (size != 0)
        OPENSSL_cleanse(bytes, size);
}

user_key::~user_key()
{
    wipe(pmk.data(), pmk.size());
}

bool parse_key(std::string_view text, user_key& key, std::string& error)
{
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        error = "a KEY is wep:HEX, wpa-pwd:PASSPHRASE:SSID or wpa-psk:HEX";
        return false;
    }
    const std::string_view kind = text.substr(0, colon);
    const std::string_view value = text.substr(colon + 1);
    if (kind == "wep") {
        auto bytes = parse_hex(value);
        if (!bytes || (bytes->size() != 5 && bytes->size() != 13)) {
            error = "a WEP key is 10 or 26 hex digits";
            return false;
        }
        key.type = user_key::kind::wep;
        key.wep_key = std::move(*bytes);
        return true;
    }
    if (kind == "wpa-psk") {
        auto bytes = parse_hex(value);
        if (!bytes || (bytes->size() != 32 && bytes->size() != 48 && bytes->size() != 64)) {
            error = "a WPA PSK (a PMK) is 64, 96 or 128 hex digits";
            return false;
        }
        key.type = user_key::kind::wpa;
        key.pmk_length = bytes->size();
        std::copy(bytes->begin(), bytes->end(), key.pmk.begin());
        return true;
    }
    if (kind == "wpa-pwd") {
        const std::size_t split = value.find(':');
        if (split == std::string_view::npos) {
            error = "a wpa-pwd key is wpa-pwd:PASSPHRASE:SSID";
            return false;
        }
        const auto passphrase = unescape(value.substr(0, split));
        const auto ssid = unescape(value.substr(split + 1));
        if (!passphrase || !ssid) {
            error = "a '%' in a wpa-pwd key must begin a %XX escape";
            return false;
        }
        if (passphrase->size() < 8 || passphrase->size() > 63) {
            error = "a WPA passphrase is 8 to 63 bytes";
            return false;
        }
        if (ssid->empty() || ssid->size() > 32) {
            error = "an SSID is 1 to 32 bytes";
            return false;
        }
        key.pmk_length = 32;
        const std::string_view passphrase_text(reinterpret_cast<const char*>(passphrase->data()), passphrase->size());
        if (!derive_pmk_from_passphrase(passphrase_text, *ssid, std::span(key.pmk).first<32>())) {
            error = "the PMK could not be derived";
            return false;
        }
        key.type = user_key::kind::wpa;
        return true;
    }
    error = "unknown key type; a KEY is wep:HEX, wpa-pwd:PASSPHRASE:SSID or wpa-psk:HEX";
    return false;
}
