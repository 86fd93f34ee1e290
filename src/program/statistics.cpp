#include "program/statistics.h"

#include <cinttypes>
#include <span>
#include <string>
#include <vector>

namespace {

// A row of the table: a total flush left, or one of its parts indented.
void print_total(std::FILE* stream, const char* text, std::int64_t count)
{
    std::fprintf(stream, "%-58s %12" PRId64 "\n", text, count);
}

void print_part(std::FILE* stream, const char* text, std::int64_t count)
{
    std::fprintf(stream, "  %-56s %12" PRId64 "\n", text, count);
}

} // namespace

void print_statistics(std::FILE* stream, const conversion_totals& totals, const conversion_settings& settings)
{
    struct row {
        record_fate fate;
        const char* text;
    };
    static constexpr row rows[] = {
        {record_fate::converted, "converted"},
        {record_fate::decrypted, "decrypted and converted"},
        {record_fate::header_offset_error, "dropped, header offset error"},
        {record_fate::not_data, "dropped, not a Data frame"},
        {record_fate::no_payload, "dropped, Data frame without a body (Null, CF)"},
        {record_fate::four_address, "dropped, four-address (WDS, mesh)"},
        {record_fate::protected_no_key, "dropped, protected, no key given for its cipher"},
        {record_fate::protected_no_session, "dropped, protected, no key for its network yet"},
        {record_fate::protected_unmatched, "dropped, protected, its handshake matches no key given"},
        {record_fate::integrity_failed, "dropped, decryption failed its integrity check"},
        {record_fate::protected_short, "dropped, protected and captured short"},
        {record_fate::too_short, "dropped, too short"},
    };
    static constexpr row full_decode_rows[] = {
        {record_fate::bad_fcs, "dropped, the radio found its FCS wrong"},
        {record_fate::fcs_wrong, "dropped, FCS wrong"},
        {record_fate::malformed, "dropped, malformed or forged A-MSDU or Mesh Control"},
        {record_fate::too_long_for_802_3, "dropped, not SNAP and too long for IEEE 802.3"},
        {record_fate::fragment_reassembled, "fragments held and joined into a frame written"},
        {record_fate::fragment_dropped, "dropped, fragment of a frame not captured whole"},
    };
    // --decrypt-only writes every record: decrypted, or as it came and why.
    static constexpr row decrypt_only_rows[] = {
        {record_fate::decrypted, "decrypted"},
        {record_fate::converted, "as it came, not protected"},
        {record_fate::header_offset_error, "as it came, header offset error"},
        {record_fate::protected_no_key, "as it came, protected, no key given for its cipher"},
        {record_fate::protected_no_session, "as it came, protected, no key for its network yet"},
        {record_fate::protected_unmatched, "as it came, protected, its handshake matches no key"},
        {record_fate::integrity_failed, "as it came, decryption failed its integrity check"},
        {record_fate::protected_short, "as it came, protected and captured short"},
        {record_fate::too_short, "as it came, protected and too short"},
    };
    const auto fate = [&totals](record_fate which) { return totals.fates[static_cast<std::size_t>(which)]; };
    std::int64_t read = 0;
    for (const std::int64_t n : totals.fates)
        read += n;
    print_total(stream, "records read", read);
    for (const row& r : settings.decrypt_only ? std::span<const row>(decrypt_only_rows) : std::span<const row>(rows))
        print_part(stream, r.text, fate(r.fate));
    if (settings.full_decode) {
        for (const row& r : full_decode_rows)
            print_part(stream, r.text, fate(r.fate));
    }
    if (settings.keys != nullptr)
        print_part(stream,
                   settings.decrypt_only ? "as it came, protected, a suite kestrine cannot decrypt"
                                         : "dropped, protected, a suite kestrine cannot decrypt",
                   fate(record_fate::protected_unsupported));
    if (settings.keys != nullptr && follows_handshakes(*settings.keys)) {
        const handshake_summary handshakes = summarize_handshakes(*settings.keys);
        print_total(stream, "handshakes matched by a key", handshakes.matched);
        print_total(stream, "handshakes no key given matches", handshakes.unmatched);
        std::vector<std::string> networks;
        describe_networks(*settings.keys, networks);
        for (const std::string& line : networks)
            std::fprintf(stream, "%s\n", line.c_str());
        print_total(stream, "handshakes of an AKM or cipher kestrine cannot decrypt", handshakes.unsupported);
        print_total(stream, "handshakes no key of their AKM's PMK length was given for", handshakes.no_key_of_length);
        print_total(stream, "EAPOL-Key frames dropped as malformed", handshakes.malformed);
        print_total(stream, "FT and TDLS key frames refused", handshakes.refused);
        print_total(stream, "handshake records evicted to bound memory", handshakes.evicted);
        // Printed where the capture shows multi-link operation, so that the
        // table of any other capture stays as it was.
        if (handshakes.multi_link || handshakes.multi_link_refused > 0)
            print_total(stream, "Multi-Link elements refused as malformed", handshakes.multi_link_refused);
    }
    print_total(stream, "frames written", totals.converted);
    if (settings.full_decode) {
        print_part(stream, "A-MSDU subframes", totals.decoded.subframes_written);
        print_part(stream, "IEEE 802.3 frames", totals.decoded.ieee_802_3_written);
    }
}

void warn_of_unmatched_keys(const decryption& keys)
{
    if (!follows_handshakes(keys))
        return;
    const handshake_summary handshakes = summarize_handshakes(keys);
    const std::int64_t unmatched = handshakes.unmatched + handshakes.no_key_of_length;
    if (handshakes.matched == 0 && unmatched > 0)
        std::fprintf(stderr, "kestrine: warning: no key given matches any of the handshakes seen (%" PRId64 ")\n",
                     unmatched);
}
