#include "decrypt/key_derivation.h"
#include "decrypt/keys.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <optional>
#include <vector>

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

// The ciphers of a temporal key, by the names a key log writes.
struct cipher_name {
    const char* name;
    cipher_suite suite;
};
constexpr std::array<cipher_name, 5> cipher_names = {{
    {"tkip", cipher_suite::tkip},
    {"ccmp", cipher_suite::ccmp128},
    {"ccmp-256", cipher_suite::ccmp256},
    {"gcmp", cipher_suite::gcmp128},
    {"gcmp-256", cipher_suite::gcmp256},
}};

// A MAC address of six ':'-separated fields of two hex digits each,
// starting at fields[first].
bool parse_address(const std::vector<std::string_view>& fields, std::size_t first, mac_address& out)
{
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::string_view field = fields[first + i];
        const int high = field.size() == 2 ? hex_value(field[0]) : -1;
        const int low = field.size() == 2 ? hex_value(field[1]) : -1;
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

// "AA:SPA:KEYID:CIPHER:HEX" (a pairwise key) or "TA:KEYID:CIPHER:HEX" (a
// group key), each address six fields; behind it, a multi-link network's
// MLD addresses: ":AP-MLD:STA-MLD" for a pairwise key, ":AP-MLD" for a
// group key.
bool parse_temporal_key(std::string_view value, bool pairwise, user_key& key, std::string& error)
{
    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
        const std::size_t colon = value.find(':', at);
        fields.push_back(value.substr(at, colon == std::string_view::npos ? colon : colon - at));
        if (colon == std::string_view::npos)
            break;
        at = colon + 1;
    }
    const std::size_t addresses = pairwise ? 2 : 1;
    const std::size_t after_key = 6 * addresses + 3;
    key.multi_link = fields.size() == after_key + 6 * addresses;
    if ((fields.size() != after_key && !key.multi_link) || !parse_address(fields, 0, key.authenticator) ||
        (pairwise && !parse_address(fields, 6, key.supplicant)) ||
        (key.multi_link && !parse_address(fields, after_key, key.mlds[0])) ||
        (key.multi_link && pairwise && !parse_address(fields, after_key + 6, key.mlds[1]))) {
        error = pairwise ? "a wpa-tk key is wpa-tk:AA:SPA:KEYID:CIPHER:HEX[:AP-MLD:STA-MLD]"
                         : "a wpa-gtk key is wpa-gtk:TA:KEYID:CIPHER:HEX[:AP-MLD]";
        return false;
    }
    const std::string_view key_id = fields[6 * addresses];
    if (key_id.size() != 1 || key_id[0] < '0' || key_id[0] > (pairwise ? '1' : '3')) {
        error = pairwise ? "a pairwise key ID is 0 or 1" : "a group key ID is 0 to 3";
        return false;
    }
    key.key_id = key_id[0] - '0';
    const std::string_view cipher = fields[6 * addresses + 1];
    const auto named = std::find_if(cipher_names.begin(), cipher_names.end(),
                                    [&](const cipher_name& c) { return cipher == c.name; });
    if (named == cipher_names.end()) {
        error = "a CIPHER is tkip, ccmp, ccmp-256, gcmp or gcmp-256";
        return false;
    }
    key.cipher = named->suite;
    const auto bytes = parse_hex(fields[6 * addresses + 2]);
    if (!bytes || bytes->size() != temporal_key_length(key.cipher)) {
        error = "a temporal key is 32 hex digits for ccmp and gcmp, 64 for tkip, ccmp-256 and gcmp-256";
        return false;
    }
    std::copy(bytes->begin(), bytes->end(), key.pmk.begin());
    key.type = pairwise ? user_key::kind::pairwise : user_key::kind::group;
    return true;
}

} // namespace

std::size_t format_key_line(const mac_address& authenticator, const mac_address* supplicant, int key_id,
                            cipher_suite cipher, byte_span temporal_key, std::array<char, key_line_size>& line,
                            const std::array<mac_address, 2>* mlds)
{
    static constexpr char digits[] = "0123456789abcdef";
    const auto named = std::find_if(cipher_names.begin(), cipher_names.end(),
                                    [&](const cipher_name& c) { return c.suite == cipher; });
    if (named == cipher_names.end() || temporal_key.size() > 32)
        return 0;
    std::size_t at = 0;
    const auto put = [&](std::string_view text) {
        std::copy(text.begin(), text.end(), line.begin() + static_cast<std::ptrdiff_t>(at));
        at += text.size();
    };
    const auto put_byte = [&](std::uint8_t byte) {
        line[at++] = digits[byte >> 4];
        line[at++] = digits[byte & 0x0F];
    };
    const auto put_address = [&](const mac_address& address) {
        for (const std::uint8_t byte : address) {
            put_byte(byte);
            line[at++] = ':';
        }
    };
    put(supplicant != nullptr ? "wpa-tk:" : "wpa-gtk:");
    put_address(authenticator);
    if (supplicant != nullptr)
        put_address(*supplicant);
    line[at++] = static_cast<char>('0' + (key_id & 0x3));
    line[at++] = ':';
    put(named->name);
    line[at++] = ':';
    for (const std::uint8_t byte : temporal_key)
        put_byte(byte);
    if (mlds != nullptr)
        for (std::size_t i = 0; i < (supplicant != nullptr ? 2u : 1u); ++i) {
            line[at++] = ':';
            put_address((*mlds)[i]);
            --at; // the address's last ':'
        }
    line[at++] = '\n';
    return at;
}

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
    if (kind == "wpa-tk" || kind == "wpa-gtk")
        return parse_temporal_key(value, kind == "wpa-tk", key, error);
    error = "unknown key type; a KEY is wep:HEX, wpa-pwd:PASSPHRASE:SSID or wpa-psk:HEX";
    return false;
}
