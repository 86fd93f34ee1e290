// kestrine_gen: writes a deterministic 802.11 capture through libpcap.
//
//   kestrine_gen [--link radiotap|bare|prism|ppi] [--records N] [--bytes N]
//                [--small] [--seed N] [--fcs] out.pcap
//
// The mix is meant to look like a busy access point: mostly QoS Data and
// Data frames in both directions carrying IPv4/UDP packets of IMIX sizes
// (7:4:1 of 40, 576 and 1500 bytes; 40-120 bytes with --small), some
// protected and four-address frames, Null frames, beacons, probe responses
// and short control frames. Radiotap headers vary in length; with --fcs
// every frame ends in its FCS, as most monitor-mode drivers capture it.
// The same arguments always write the same bytes.
//
//   kestrine_gen --encrypt ccmp|tkip --passphrase P --ssid S [--stations N] ...
//   kestrine_gen --encrypt wep --wep-key HEX ...
//
// writes a protected network instead: for WPA, each station sends two
// frames that no key opens before its 4-way handshake (EAPOL-Key messages
// 1-4, the group key in message 3), then traffic in both directions, QoS
// Data and Data, with group-addressed frames from the access point under
// the group key; for WEP, traffic in both directions under the key. With
// --unencrypted-twin the same records carry their traffic unprotected,
// the plain conversion's side of a decryption benchmark.
//
//   kestrine_gen --encrypt ccmp|ccmp256|gcmp|gcmp256 [--akm N] [--pmk HEX] ...
//
// writes a network of a newer suite: the cipher serves pairwise and group
// traffic; --akm picks the key management (12.7.1.3): 2 (PSK, the
// default) and 6 (PSK-SHA256) take --passphrase and --ssid or --pmk, 1 and
// 5 (802.1X, the PMK as the authentication server hands it over), 8
// (SAE), 12 (192-bit: KDF-SHA384, 24-byte MIC and KCK, 32-byte KEK) and 18
// (OWE, --owe-group 19 or 20 picking SHA-256 or SHA-384) take --pmk, 64 hex
// digits, or 96 where the AKM hashes with SHA-384. These networks open
// with a beacon and each station's association, their RSN elements naming
// the suites, and leave out the frames no key opens. With
// --group-handshake, each 4-way handshake stops after message 2 and the
// group key follows in a group key handshake under the new PTK; with
// --extended-key-id, message 3 names the pairwise key ID (Key ID KDE),
// and every 80 frames of traffic one pair is rekeyed by a 4-way handshake
// under its current key, the new key taking the other key ID while the
// station sends a few more frames under the old one.
//
//   kestrine_gen --encrypt ccmp --ft|--tdls --passphrase P --ssid S ...
//   kestrine_gen --encrypt ccmp --ft --akm 3 --pmk MSK ...
//
// writes a network whose keys come from more than the 4-way handshake:
// with --ft, an FT-PSK network (AKM 4; or FT-802.1X, AKM 3, keyed by the
// MSK, 128 hex digits, its EAP exchanges left out) of two access points in one
// mobility domain, each station's initial mobility-domain association
// with the first, then, every 150 frames of traffic, one station's FT
// reassociation over the air to the second; with --tdls, a WPA2 network
// whose first two stations set up a TDLS direct link through the access
// point and then talk directly under its key, beside the network's
// traffic. Both need at least 2 stations.
//
//   kestrine_gen --encrypt tkip|ccmp --wpa1 --passphrase P --ssid S ...
//
// writes a WPA1 network: the WPA element in its beacon, associations and
// handshakes, EAPOL-Key descriptor type 254 (version 1, HMAC-MD5 and RC4,
// for a TKIP pair; version 2, HMAC-SHA1 and AES key wrap, for a CCMP
// one), a TKIP group key in a group key handshake after each 4-way
// handshake, and every 120 frames of traffic a new group key on the other
// key index (1, 2) handed to every station in turn, with group frames
// under each key among the pairwise traffic.
//
//   kestrine_gen --encrypt ccmp|ccmp256|gcmp|gcmp256 --protected-management ...
//
// writes a network that requires management frame protection (RSN
// Capabilities MFPR and MFPC): among the traffic, SA Query requests and
// responses under the pair's key, and every 100 frames of traffic one
// station, in turn, deauthenticated or disassociated by a protected frame,
// then associated and keyed anew by a 4-way handshake.
//
//   kestrine_gen --encrypt ccmp|ccmp256|gcmp|gcmp256 --mlo-links 2|3 ...
//                [--mlo-rekey-link-kdes] [--mlo-rekey-elsewhere] [--akm 24 --sae-group 20 --pmk HEX]
//
// writes a Wi-Fi 7 multi-link network (IEEE 802.11be): an AP MLD with one
// BSS per link, non-AP MLDs (--stations) with an address per link, Beacons
// and associations with the Basic Multi-Link element, each station's 4-way
// handshake on its setup link with the MLD addresses and every link's
// group keys in the MLO KDEs, traffic between the MLDs interleaved over
// the links (the first on a link other than the setup link), group traffic
// on each link under its own GTK, and every 150 frames of traffic (or
// --mlo-rekey-every N; 0: never) a group key handshake renewing every
// link's GTK, on the station's setup link
// (with --mlo-rekey-elsewhere, on another; with --mlo-rekey-link-kdes, its
// message 1 also names every link in MLO Link KDEs). AKM 24 is SAE with a
// group-dependent hash (--sae-group 19: SHA-256, 20: SHA-384, keyed by a
// 96-digit --pmk); SAE networks protect management frames and hand out
// IGTKs and BIGTKs per link. See multi_link.cpp.
//
//   kestrine_gen --full-decode-mix ...
//
// writes, in a fixed cycle, every kind of record that --full-decode treats
// apart: A-MSDUs (one subframe behind 802.1H, some with an empty subframe,
// malformed ones), FCS, bad-FCS and data-pad flags (radiotap, with TSFT
// before Flags; PPI's 802.11-Common flags), wrong FCSs not flagged bad,
// LLC without SNAP, SNAP with another OUI, +HTC, WDS and mesh frames (some
// with a Mesh Control no QoS bit announces), fragment series whole, lost, out
// of order or cut short, records captured short, and plain Data, QoS Data,
// Null, beacons, protected frames and broken capture headers around them.
// Bare and Prism links have no flags and skip the flagged kinds. With
// --encrypt, the handshakes come first and the frames between the access
// point and its stations are protected.
#include "gen.h"

#include <pcap/pcap.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace gen;

namespace {

int parse(int argc, char** argv, options& opts)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool has_value = i + 1 < argc;
        if (arg == "--link" && has_value) {
            const std::string link = argv[++i];
            if (link == "radiotap")
                opts.link_type = 127;
            else if (link == "bare")
                opts.link_type = 105;
            else if (link == "prism")
                opts.link_type = 119;
            else if (link == "ppi")
                opts.link_type = 192;
            else
                return -1;
        } else if (arg == "--records" && has_value) {
            opts.records = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--bytes" && has_value) {
            opts.bytes = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--seed" && has_value) {
            opts.seed = std::strtoull(argv[++i], nullptr, 10);
        } else if (arg == "--encrypt" && has_value) {
            opts.encrypt = argv[++i];
            if (opts.encrypt != "ccmp" && opts.encrypt != "tkip" && opts.encrypt != "wep" &&
                opts.encrypt != "ccmp256" && opts.encrypt != "gcmp" && opts.encrypt != "gcmp256")
                return -1;
        } else if (arg == "--akm" && has_value) {
            opts.akm = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--owe-group" && has_value) {
            opts.owe_group = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--pmk" && has_value) {
            opts.pmk = argv[++i];
        } else if (arg == "--group-handshake") {
            opts.group_handshake = true;
        } else if (arg == "--ft") {
            opts.fast_transition = true;
            if (opts.akm == 2)
                opts.akm = 4;
        } else if (arg == "--tdls") {
            opts.tdls = true;
        } else if (arg == "--wpa1") {
            opts.wpa1 = true;
        } else if (arg == "--protected-management") {
            opts.protected_management = true;
        } else if (arg == "--mlo-links" && has_value) {
            opts.mlo_links = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (opts.mlo_links != 2 && opts.mlo_links != 3)
                return -1;
        } else if (arg == "--mlo-rekey-link-kdes") {
            opts.mlo_rekey_link_kdes = true;
        } else if (arg == "--mlo-rekey-elsewhere") {
            opts.mlo_rekey_elsewhere = true;
        } else if (arg == "--mlo-rekey-every" && has_value) {
            opts.mlo_rekey_every = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--sae-group" && has_value) { // SAE-EXT-KEY's group: the field OWE's group uses
            opts.owe_group = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--extended-key-id") {
            opts.extended_key_id = true;
        } else if (arg == "--passphrase" && has_value) {
            opts.passphrase = argv[++i];
        } else if (arg == "--ssid" && has_value) {
            opts.ssid = argv[++i];
        } else if (arg == "--wep-key" && has_value) {
            opts.wep_key = argv[++i];
        } else if (arg == "--stations" && has_value) {
            opts.stations = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
            if (opts.stations == 0 || opts.stations > 200)
                return -1;
        } else if (arg == "--unencrypted-twin") {
            opts.unencrypted_twin = true;
        } else if (arg == "--full-decode-mix") {
            opts.full_decode_mix = true;
        } else if (arg == "--fcs") {
            opts.fcs = true;
        } else if (arg == "--small") {
            opts.small_packets = true;
        } else if (opts.output == nullptr && (arg == "-" || arg[0] != '-')) {
            opts.output = argv[i];
        } else {
            return -1;
        }
    }
    if (opts.output == nullptr || (opts.records == 0 && opts.bytes == 0) ||
        (opts.fcs && (opts.link_type != 127 || opts.full_decode_mix)) ||
        (opts.wpa1 && ((opts.encrypt != "tkip" && opts.encrypt != "ccmp") || opts.fast_transition)) ||
        (opts.mlo_links != 0 && (opts.encrypt.empty() || opts.wpa1 || opts.fast_transition || opts.tdls ||
                                 opts.group_handshake || opts.extended_key_id || opts.full_decode_mix ||
                                 opts.protected_management)))
        return -1;
    return 0;
}

// Appends the FCS to a radiotap record of put_capture_header, and says so
// in its Flags field (the first field, at byte 8).
void append_fcs(std::vector<std::uint8_t>& record)
{
    const std::size_t header_length = static_cast<std::size_t>(record[2] | record[3] << 8);
    record[8] |= 0x10;
    const std::uint32_t fcs = own_crc32(byte_span(record).subspan(header_length));
    for (int shift = 0; shift < 32; shift += 8)
        put_u8(record, fcs >> shift & 0xFF);
}

} // namespace

int main(int argc, char** argv)
{
    options opts;
    if (parse(argc, argv, opts) != 0) {
        std::fputs("usage: kestrine_gen [--link radiotap|bare|prism|ppi] [--records N] [--bytes N] "
                   "[--small] [--seed N] [--fcs]\n"
                   "                    [--encrypt ccmp|tkip|wep|ccmp256|gcmp|gcmp256] [--akm N] [--owe-group 19|20]\n"
                   "                    [--passphrase P] [--ssid S] [--pmk HEX] [--wep-key HEX]\n"
                   "                    [--group-handshake] [--extended-key-id] [--ft] [--tdls] [--wpa1]\n"
                   "                    [--protected-management]\n"
                   "                    [--mlo-links 2|3] [--mlo-rekey-link-kdes] [--mlo-rekey-elsewhere] [--mlo-rekey-every N]\n"
                   "                    [--sae-group 19|20]\n"
                   "                    [--stations N] [--unencrypted-twin] [--full-decode-mix] out.pcap\n",
                   stderr);
        return 2;
    }
    pcap_t* dead = pcap_open_dead(opts.link_type, 65535);
    pcap_dumper_t* dumper = dead != nullptr ? pcap_dump_open(dead, opts.output) : nullptr;
    if (dumper == nullptr) {
        std::fprintf(stderr, "kestrine_gen: cannot create %s\n", opts.output);
        return 1;
    }
    std::uint64_t state = opts.seed;
    protected_network network;
    std::unique_ptr<roaming_network, roaming_deleter> roaming;
    std::unique_ptr<multi_link_network, multi_link_deleter> multi_link;
    if (opts.mlo_links != 0)
        multi_link = set_up_multi_link(opts, state);
    else if (opts.fast_transition || opts.tdls)
        roaming = set_up_roaming(opts, state);
    else if (!opts.encrypt.empty())
        set_up_network(network, opts, state);
    full_decode_mix mix(opts, state, opts.encrypt.empty() || roaming || multi_link ? nullptr : &network);
    std::vector<std::uint8_t> record;
    std::uint64_t written = 24; // the savefile header
    pcap_pkthdr header{};
    header.ts.tv_sec = 1767225600; // 2026-01-01
    for (std::uint64_t count = 0; opts.records == 0 || count < opts.records; ++count) {
        record.clear();
        std::size_t cut = 0;
        if (opts.full_decode_mix) {
            mix.next(record, cut);
        } else {
            put_capture_header(record, opts.link_type, state);
            if (multi_link)
                put_multi_link_frame(record, *multi_link, state, opts.small_packets);
            else if (roaming)
                put_roaming_frame(record, *roaming, state, opts.small_packets);
            else if (opts.encrypt.empty())
                put_busy_frame(record, state, opts.small_packets);
            else
                put_protected_frame(record, network, state, opts.small_packets);
            if (opts.fcs)
                append_fcs(record);
        }
        const std::size_t captured = record.size() - cut;
        if (opts.bytes != 0 && written + 16 + captured > opts.bytes)
            break;
        header.ts.tv_usec += static_cast<suseconds_t>(50 + below(state, 400));
        if (header.ts.tv_usec >= 1000000) {
            header.ts.tv_usec -= 1000000;
            ++header.ts.tv_sec;
        }
        header.caplen = static_cast<bpf_u_int32>(captured);
        header.len = static_cast<bpf_u_int32>(record.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper), &header, record.data());
        written += 16 + captured;
    }
    const bool flushed = pcap_dump_flush(dumper) == 0 && !std::ferror(pcap_dump_file(dumper));
    pcap_dump_close(dumper);
    pcap_close(dead);
    if (!flushed) {
        std::fprintf(stderr, "kestrine_gen: cannot write %s\n", opts.output);
        return 1;
    }
    return 0;
}
