// The --full-decode mix: every kind of record that full decoding treats
// apart, in a fixed cycle: A-MSDUs, FCS and data-pad records, LLC without
// SNAP, +HTC, WDS and mesh frames, fragment series whole, cut short or out
// of order, and the plain frames around them. Variants within a kind follow
// the cycle count, so a few cycles hold them all; sizes, addresses and
// contents come from the seed.
#include "gen.h"

#include <algorithm>
#include <utility>

namespace gen {
namespace {

constexpr unsigned qos_amsdu = 0x0080, qos_mesh_control = 0x0100;
constexpr unsigned rt_fcs = 0x10, rt_data_pad = 0x20, rt_bad_fcs = 0x40; // radiotap Flags bits

constexpr mac mdns_group = {0x01, 0x00, 0x5E, 0x00, 0x00, 0xFB};
constexpr mac bridge_group = {0x01, 0x80, 0xC2, 0x00, 0x00, 0x00};

// Hosts behind a bridge or a mesh gate.
mac host(unsigned n) { return {0x02, 0x77, 0x00, 0x00, 0x01, static_cast<std::uint8_t>(n)}; }

struct mac_header_fields {
    unsigned fc = fc_qos_data;
    mac a1{}, a2{}, a3{}, a4{};
    unsigned sequence_control = 0;
    unsigned qos = 0;
    std::uint32_t htc = 0;
};

std::vector<std::uint8_t> mac_header_bytes(const mac_header_fields& h)
{
    std::vector<std::uint8_t> out;
    put_le16(out, h.fc);
    put_le16(out, 44);
    put(out, h.a1);
    put(out, h.a2);
    put(out, h.a3);
    put_le16(out, h.sequence_control);
    if (four_address(h.fc))
        put(out, h.a4);
    if (has_qos(h.fc)) {
        put_le16(out, h.qos);
        if ((h.fc & fc_order) != 0)
            for (int shift = 0; shift < 32; shift += 8)
                put_u8(out, (h.htc >> shift) & 0xFF);
    }
    return out;
}

void put_snap(std::vector<std::uint8_t>& out, std::uint32_t oui, unsigned ethertype)
{
    for (unsigned byte : {0xAAu, 0xAAu, 0x03u, oui >> 16 & 0xFF, oui >> 8 & 0xFF, oui & 0xFF})
        put_u8(out, byte);
    put_be16(out, ethertype);
}

// Rewrites the identification of the IPv4 header at `at`, and its checksum.
void set_ip_identification(std::vector<std::uint8_t>& packet, std::size_t at, unsigned identification)
{
    packet[at + 4] = static_cast<std::uint8_t>(identification >> 8);
    packet[at + 5] = static_cast<std::uint8_t>(identification);
    set_ip_checksum(packet, at);
}

// A configuration BPDU behind the spanning tree's LLC header (42 42 03).
void put_stp_bpdu(std::vector<std::uint8_t>& out, std::uint64_t& state)
{
    for (unsigned byte : {0x42u, 0x42u, 0x03u, 0x00u, 0x00u, 0x00u, 0x00u, 0x00u})
        put_u8(out, byte);
    for (unsigned byte : {0x80u, 0x00u})
        put_u8(out, byte);
    put(out, gateway);                  // root
    put_be16(out, 0);                       // root path cost, high half
    put_be16(out, 4 * (1 + below(state, 4))); // low half
    for (unsigned byte : {0x80u, 0x00u})
        put_u8(out, byte);
    put(out, access_point);                 // bridge
    put_be16(out, 0x8001);                  // port
    for (unsigned value : {1u, 20u, 2u, 15u}) // message age, max age, hello, forward delay (1/256 s)
        put_be16(out, value << 8);
}

// CDP behind SNAP with Cisco's OUI: version, TTL, checksum, a Device ID.
void put_cdp(std::vector<std::uint8_t>& out, std::uint64_t& state)
{
    put_snap(out, 0x00000C, 0x2000);
    static constexpr char device[] = "kestrine-sw";
    const std::size_t start = out.size();
    for (unsigned byte : {0x02u, 0xB4u, 0x00u, 0x00u})
        put_u8(out, byte);
    put_be16(out, 0x0001);
    put_be16(out, 4 + sizeof device);
    out.insert(out.end(), device, device + sizeof device - 1);
    put_u8(out, '0' + below(state, 10));
    std::uint32_t sum = 0;
    for (std::size_t i = start; i < out.size(); i += 2)
        sum += static_cast<std::uint32_t>(out[i] << 8 | (i + 1 < out.size() ? out[i + 1] : 0));
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    out[start + 2] = static_cast<std::uint8_t>(~sum >> 8);
    out[start + 3] = static_cast<std::uint8_t>(~sum);
}

// A Mesh Control field: flags (address extension mode), TTL, mesh
// sequence, then zero, one or two addresses.
void put_mesh_control(std::vector<std::uint8_t>& out, unsigned mode, std::uint32_t sequence,
                      const std::vector<mac>& extension)
{
    put_u8(out, mode);
    put_u8(out, 31);
    for (int shift = 0; shift < 32; shift += 8)
        put_u8(out, sequence >> shift & 0xFF);
    for (const mac& address : extension)
        put(out, address);
}

struct amsdu_subframe {
    mac da{}, sa{};
    std::vector<std::uint8_t> msdu;
};

// Subframes: DA, SA, length (big-endian), MSDU, each padded to 4 bytes
// but the last.
void put_amsdu(std::vector<std::uint8_t>& out, const std::vector<amsdu_subframe>& subframes)
{
    const std::size_t start = out.size();
    for (std::size_t i = 0; i < subframes.size(); ++i) {
        put(out, subframes[i].da);
        put(out, subframes[i].sa);
        put_be16(out, static_cast<unsigned>(subframes[i].msdu.size()));
        out.insert(out.end(), subframes[i].msdu.begin(), subframes[i].msdu.end());
        if (i + 1 < subframes.size())
            while ((out.size() - start) % 4 != 0)
                put_u8(out, 0);
    }
}

enum class mix_kind {
    plain_data, qos_data, amsdu, fcs, llc, bad_fcs, other_oui, fragments, htc, data_pad, wds, null_frame,
    fragments_lost, mesh, amsdu_malformed, beacon, fragments_disordered, captured_short, protected_frame,
    bad_capture_header, mesh_by_shape, fcs_wrong,
};
constexpr std::array<mix_kind, 22> mix_cycle = {
    mix_kind::plain_data, mix_kind::qos_data,  mix_kind::amsdu,          mix_kind::fcs,
    mix_kind::llc,        mix_kind::bad_fcs,   mix_kind::other_oui,      mix_kind::fragments,
    mix_kind::htc,        mix_kind::data_pad,  mix_kind::wds,            mix_kind::null_frame,
    mix_kind::fragments_lost, mix_kind::mesh,  mix_kind::amsdu_malformed, mix_kind::beacon,
    mix_kind::fragments_disordered, mix_kind::captured_short, mix_kind::protected_frame,
    mix_kind::bad_capture_header, mix_kind::mesh_by_shape, mix_kind::fcs_wrong,
};

struct mix_record {
    std::vector<std::uint8_t> frame; // the 802.11 frame, without data pad or FCS
    unsigned flags = 0;              // radiotap Flags bits; PPI and bare links map or drop them
    bool wrong_fcs = false;          // the FCS appended does not match
    bool tsft_header = false;        // radiotap: TSFT before Flags, behind a second present word
    bool broken_header = false;      // a capture header whose fields overrun it
    std::size_t cut = 0;             // bytes at the end left uncaptured
    bool seal = true;                // protected under --encrypt
};

} // namespace

struct full_decode_mix::writer {
public:
    writer(const options& opts, std::uint64_t& state, protected_network* net) : opts_(opts), state_(state), net_(net)
    {
    }

    void next(std::vector<std::uint8_t>& record, std::size_t& cut)
    {
        if (net_ != nullptr && net_->next_prelude < net_->prelude.size()) {
            mix_record handshake;
            handshake.frame = net_->prelude[net_->next_prelude++];
            handshake.seal = false;
            finish(handshake, record, cut);
            return;
        }
        while (queue_.empty())
            fill();
        finish(queue_.front(), record, cut);
        queue_.erase(queue_.begin());
    }

private:
    bool has_flags() const { return opts_.link_type == 127 || opts_.link_type == 192; }

    mac station() { return {0x02, 0x5C, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(1 + below(state_, opts_.stations))}; }
    unsigned next_sequence() { return (sequence_++ & 0xFFF) << 4; }

    std::vector<std::uint8_t> ip_msdu(std::uint32_t oui = 0)
    {
        std::vector<std::uint8_t> msdu;
        put_snap(msdu, oui, 0x0800);
        put_ip_packet(msdu, imix_ip_length(state_, opts_.small_packets), state_);
        return msdu;
    }

    // A header between the access point and a station: to it (ToDS) or
    // from it (FromDS), the far end being `remote`.
    mac_header_fields bss_header(unsigned fc, bool from_ap, const mac& station_address, const mac& remote)
    {
        mac_header_fields h;
        h.fc = fc | (from_ap ? fc_from_ds : fc_to_ds);
        h.a1 = from_ap ? station_address : access_point;
        h.a2 = from_ap ? access_point : station_address;
        h.a3 = remote;
        h.sequence_control = next_sequence();
        h.qos = below(state_, 8);
        h.htc = static_cast<std::uint32_t>(next_random(state_)) & ~3u;
        return h;
    }

    // A four-address header from a station relaying for `sa` to `da`
    // behind the access point.
    mac_header_fields wds_header(unsigned fc, const mac& da, const mac& sa)
    {
        mac_header_fields h = bss_header(fc, false, station(), da);
        h.fc |= fc_from_ds;
        h.a4 = sa;
        return h;
    }

    void add(const mac_header_fields& h, const std::vector<std::uint8_t>& body, mix_record shape = {})
    {
        shape.frame = mac_header_bytes(h);
        shape.frame.insert(shape.frame.end(), body.begin(), body.end());
        queue_.push_back(std::move(shape));
    }

    std::vector<amsdu_subframe> amsdu_subframes(std::size_t count, const mac& da, const mac& sa)
    {
        std::vector<amsdu_subframe> subframes;
        const std::size_t bridged = cycle_ % count; // this one behind 802.1H
        for (std::size_t i = 0; i < count; ++i)
            subframes.push_back({da, i % 2 == 0 ? sa : host(below(state_, 200)), ip_msdu(i == bridged ? 0xF8 : 0)});
        return subframes;
    }

    // An MSDU in 2 or 3 fragments, each with the header's sequence number.
    std::vector<mix_record> fragment_series(mac_header_fields h, const std::vector<std::uint8_t>& msdu,
                                            std::size_t count, mix_record shape = {})
    {
        std::vector<mix_record> out;
        std::size_t from = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t left = msdu.size() - from;
            const std::size_t size = i + 1 == count ? left : 1 + below(state_, static_cast<std::uint32_t>(left / 2));
            mac_header_fields piece = h;
            piece.sequence_control = (h.sequence_control & 0xFFF0) | static_cast<unsigned>(i);
            if (i + 1 < count)
                piece.fc |= fc_more_fragments;
            mix_record r = shape;
            r.frame = mac_header_bytes(piece);
            r.frame.insert(r.frame.end(), msdu.begin() + static_cast<std::ptrdiff_t>(from),
                           msdu.begin() + static_cast<std::ptrdiff_t>(from + size));
            out.push_back(std::move(r));
            from += size;
        }
        return out;
    }

    void add_series(const std::vector<mix_record>& series)
    {
        queue_.insert(queue_.end(), series.begin(), series.end());
    }

    void fill()
    {
        const mix_kind kind = mix_cycle[position_];
        if (++position_ == mix_cycle.size()) {
            position_ = 0;
            ++cycle_;
        }
        const bool flags = has_flags();
        if (!flags && (kind == mix_kind::fcs || kind == mix_kind::bad_fcs || kind == mix_kind::bad_capture_header ||
                       kind == mix_kind::fcs_wrong))
            return;
        if (opts_.link_type != 127 && kind == mix_kind::data_pad)
            return;
        if (net_ != nullptr && kind == mix_kind::protected_frame)
            return;
        const std::uint64_t v = cycle_;
        const mac sta = station();
        const bool from_ap = below(state_, 2) == 0;
        const mac remote = from_ap ? gateway : host(below(state_, 200));

        switch (kind) {
        case mix_kind::plain_data: {
            mac_header_fields h = bss_header(fc_data, from_ap, sta, remote);
            mix_record shape;
            if (v % 3 == 2) { // independent BSS: neither DS bit, A3 the BSSID
                h.fc = fc_data;
                h.a1 = sta;
                h.a2 = {0x02, 0x5C, 0x00, 0x00, 0x01, 0x01};
                h.a3 = access_point;
                shape.seal = false;
            }
            add(h, ip_msdu(), shape);
            break;
        }
        case mix_kind::qos_data: {
            mac_header_fields h = bss_header(fc_qos_data, from_ap || v % 2 == 1, sta, remote);
            if (v % 2 == 1)
                h.a1 = v % 4 == 1 ? mdns_group : broadcast_address;
            add(h, ip_msdu());
            break;
        }
        case mix_kind::amsdu: {
            mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
            h.qos |= qos_amsdu;
            auto subframes = amsdu_subframes(2 + v % 3, from_ap ? sta : remote, from_ap ? remote : sta);
            if (v % 4 == 3) // an empty subframe in between
                subframes.insert(subframes.begin() + 1, amsdu_subframe{sta, remote, {}});
            std::vector<std::uint8_t> body;
            put_amsdu(body, subframes);
            add(h, body);
            break;
        }
        case mix_kind::fcs: {
            mix_record shape;
            shape.flags = rt_fcs;
            if (v % 4 == 0) {
                add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
            } else if (v % 4 == 1) {
                mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                add(h, body, shape);
            } else if (v % 4 == 2) {
                std::vector<std::uint8_t> body;
                put_stp_bpdu(body, state_);
                add(bss_header(fc_data, false, sta, bridge_group), body, shape);
            } else {
                add_series(fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 2, shape));
            }
            break;
        }
        case mix_kind::bad_fcs: {
            mix_record shape;
            shape.flags = v % 2 == 0 ? rt_fcs | rt_bad_fcs : rt_bad_fcs;
            shape.wrong_fcs = true;
            add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
            break;
        }
        case mix_kind::data_pad: {
            mix_record shape;
            shape.flags = rt_data_pad | (v % 8 == 6 ? rt_fcs : 0);
            shape.tsft_header = true;
            switch (v % 8) {
            case 1: { // +HTC: 30 bytes, 2 of pad
                mac_header_fields h = bss_header(fc_qos_data | fc_order, from_ap, sta, remote);
                add(h, ip_msdu(), shape);
                break;
            }
            case 2: {
                mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                add(h, body, shape);
                break;
            }
            case 3: // four addresses and QoS: 32 bytes, no pad
                add(wds_header(fc_qos_data, gateway, host(below(state_, 200))), ip_msdu(), shape);
                break;
            case 4: // 24 bytes, no pad
                add(bss_header(fc_data, from_ap, sta, remote), ip_msdu(), shape);
                break;
            case 5: { // mesh group frame: 26 bytes, 2 of pad, then the Mesh Control
                mac_header_fields h = bss_header(fc_qos_data, true, sta, host(below(state_, 200)));
                h.a1 = broadcast_address;
                h.qos |= qos_mesh_control;
                std::vector<std::uint8_t> body;
                put_mesh_control(body, 0, mesh_sequence_++, {});
                const auto msdu = ip_msdu();
                body.insert(body.end(), msdu.begin(), msdu.end());
                add(h, body, shape);
                break;
            }
            case 7: // fragments, each padded
                add_series(fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 2, shape));
                break;
            default: // QoS: 26 bytes, 2 of pad
                add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
                break;
            }
            break;
        }
        case mix_kind::llc: {
            std::vector<std::uint8_t> body;
            mac destination = bridge_group;
            if (v % 4 == 0) {
                put_stp_bpdu(body, state_);
            } else if (v % 4 == 1) { // an XID command: 6 bytes
                for (unsigned byte : {0x00u, 0x01u, 0xAFu, 0x81u, 0x01u, 0x00u})
                    put_u8(body, byte);
                destination = remote;
            } else { // NetWare over raw LLC: 1500 bytes fit 802.3, 1600 do not
                for (unsigned byte : {0xE0u, 0xE0u, 0x03u})
                    put_u8(body, byte);
                put_random(body, (v % 4 == 2 ? 1500 : 1600) - 3, state_);
                destination = remote;
            }
            add(bss_header(fc_qos_data, false, sta, destination), body);
            break;
        }
        case mix_kind::other_oui: {
            std::vector<std::uint8_t> body;
            put_cdp(body, state_);
            add(bss_header(fc_data, false, sta, {0x01, 0x00, 0x0C, 0xCC, 0xCC, 0xCC}), body);
            break;
        }
        case mix_kind::htc: {
            if (v % 4 == 3) { // the Order bit on plain Data: strictly ordered, no HT Control
                add(bss_header(fc_data | fc_order, from_ap, sta, remote), ip_msdu());
                break;
            }
            mac_header_fields h = v % 4 == 1 ? wds_header(fc_qos_data | fc_order, gateway, host(below(state_, 200)))
                                             : bss_header(fc_qos_data | fc_order, from_ap, sta, remote);
            std::vector<std::uint8_t> body = ip_msdu();
            if (v % 4 == 2) {
                h.qos |= qos_amsdu;
                body.clear();
                put_amsdu(body, amsdu_subframes(3, from_ap ? sta : remote, from_ap ? remote : sta));
            }
            add(h, body);
            break;
        }
        case mix_kind::wds: {
            const mac da = gateway, sa = host(below(state_, 200));
            if (v % 4 == 0) {
                add(wds_header(fc_data, da, sa), ip_msdu());
            } else if (v % 4 == 1) {
                add(wds_header(fc_qos_data, da, sa), ip_msdu());
            } else if (v % 4 == 2) { // QoS bit 8 (queue size) set, but the body starts with LLC
                mac_header_fields h = wds_header(fc_qos_data, da, sa);
                h.qos |= qos_mesh_control;
                add(h, ip_msdu());
            } else {
                mac_header_fields h = wds_header(fc_qos_data, da, sa);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, da, sa));
                add(h, body);
            }
            break;
        }
        case mix_kind::mesh: {
            const mac mesh_da = host(below(state_, 200)), mesh_sa = host(below(state_, 200));
            const mac proxied_da = {0x02, 0x88, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(below(state_, 256))};
            const mac proxied_sa = {0x02, 0x88, 0x00, 0x00, 0x03, static_cast<std::uint8_t>(below(state_, 256))};
            mac_header_fields h = wds_header(fc_qos_data, mesh_da, mesh_sa);
            h.qos |= qos_mesh_control;
            std::vector<std::uint8_t> body;
            switch (v % 5) {
            case 0:
                put_mesh_control(body, 0, mesh_sequence_++, {});
                break;
            case 1:
                put_mesh_control(body, 2, mesh_sequence_++, {proxied_da, proxied_sa});
                break;
            case 2: // group-addressed, three addresses, the source proxied
                h = bss_header(fc_qos_data, true, sta, mesh_sa);
                h.a1 = v % 10 == 2 ? broadcast_address : mdns_group;
                h.qos |= qos_mesh_control;
                put_mesh_control(body, 1, mesh_sequence_++, {proxied_sa});
                break;
            case 3: { // an A-MSDU: a Mesh Control in each subframe
                h.qos |= qos_amsdu;
                auto subframes = amsdu_subframes(3, mesh_da, mesh_sa);
                for (std::size_t i = 0; i < subframes.size(); ++i) {
                    std::vector<std::uint8_t> msdu;
                    if (i == 1)
                        put_mesh_control(msdu, 2, mesh_sequence_++, {proxied_da, proxied_sa});
                    else
                        put_mesh_control(msdu, 0, mesh_sequence_++, {});
                    msdu.insert(msdu.end(), subframes[i].msdu.begin(), subframes[i].msdu.end());
                    subframes[i].msdu = std::move(msdu);
                }
                put_amsdu(body, subframes);
                add(h, body);
                return;
            }
            default: // address extension mode 3 is reserved
                put_mesh_control(body, 3, mesh_sequence_++, {proxied_da, proxied_sa});
                break;
            }
            const auto msdu = ip_msdu();
            body.insert(body.end(), msdu.begin(), msdu.end());
            add(h, body);
            break;
        }
        case mix_kind::fragments: {
            if (v % 3 == 2) { // two series interleaved, from two stations
                const mac other = {0x02, 0x5C, 0x00, 0x00, 0x00,
                                   static_cast<std::uint8_t>(sta[5] % opts_.stations + 1)};
                auto a = fragment_series(bss_header(fc_qos_data, false, sta, remote), ip_msdu(), 2);
                auto b = fragment_series(bss_header(fc_qos_data, false, other, remote), ip_msdu(), 2);
                add_series({a[0], b[0], a[1], b[1]});
            } else {
                add_series(fragment_series(bss_header(v % 2 == 0 ? fc_qos_data : fc_data, from_ap, sta, remote),
                                           ip_msdu(), 2 + v % 3));
            }
            break;
        }
        case mix_kind::fragments_lost: { // never finished: no last fragment
            auto series = fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 3);
            series.pop_back();
            if (v % 2 == 1)
                series.pop_back();
            add_series(series);
            break;
        }
        case mix_kind::fragments_disordered: {
            auto series = fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 3);
            if (v % 3 == 0) { // 0, 2, 1
                add_series({series[0], series[2], series[1]});
                break;
            }
            mix_record again = series[v % 3 == 1 ? 0 : 1]; // a retransmission
            again.frame[1] = static_cast<std::uint8_t>(again.frame[1] | fc_retry >> 8);
            if (v % 3 == 1)
                add_series({series[0], again, series[1], series[2]});
            else
                add_series({series[0], series[1], again, series[2]});
            break;
        }
        case mix_kind::amsdu_malformed: {
            mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
            h.qos |= qos_amsdu;
            std::vector<std::uint8_t> body;
            if (v % 3 == 0) {
                // A plain MSDU with the A-MSDU bit set, its IP identification
                // chosen so that, read as a subframe, the length fits the body.
                body = ip_msdu();
                set_ip_identification(body, 8, static_cast<unsigned>(body.size() - 14));
            } else {
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                if (v % 3 == 1) { // the second subframe's length runs past the body
                    const std::size_t first = 14 + (static_cast<std::size_t>(body[12]) << 8 | body[13]);
                    const std::size_t second = (first + 3) / 4 * 4;
                    const unsigned length = static_cast<unsigned>(body[second + 12] << 8 | body[second + 13]) + 40;
                    body[second + 12] = static_cast<std::uint8_t>(length >> 8);
                    body[second + 13] = static_cast<std::uint8_t>(length);
                } else { // pad, then fewer bytes than a subframe header
                    while (body.size() % 4 != 0)
                        put_u8(body, 0);
                    put_random(body, 1 + below(state_, 13), state_);
                }
            }
            add(h, body);
            break;
        }
        case mix_kind::captured_short: {
            mix_record shape;
            shape.seal = false; // cut short, no cipher's check would hold
            const unsigned variant = static_cast<unsigned>(v % 5);
            if (flags && (variant == 0 || variant == 3))
                shape.flags = rt_fcs;
            const std::size_t fcs = shape.flags != 0 ? 4 : 0;
            if (variant <= 1) {
                mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
                h.qos |= qos_amsdu;
                std::vector<std::uint8_t> body;
                put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
                const std::size_t first = 14 + (static_cast<std::size_t>(body[12]) << 8 | body[13]);
                const std::size_t second = (first + 3) / 4 * 4;
                // Inside the second MSDU, or inside the second subframe header.
                const std::size_t kept = variant == 0 ? second + 14 + 20 : second + 7;
                shape.cut = body.size() - kept + fcs;
                add(h, body, shape);
            } else if (variant <= 3) {
                // The SNAP header cut (nothing to write), or the payload.
                const std::size_t kept = variant == 2 ? 5 : 8 + 30;
                const auto msdu = ip_msdu();
                shape.cut = msdu.size() - kept + fcs;
                add(bss_header(fc_qos_data, from_ap, sta, remote), msdu, shape);
            } else { // a fragment not captured whole
                auto series = fragment_series(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), 2, shape);
                // Within the body: a MAC header cut short hides the fragment.
                series[0].cut = std::min<std::size_t>(3, series[0].frame.size() - mac_header_length(fc_qos_data));
                add_series(series);
            }
            break;
        }
        case mix_kind::null_frame: {
            mac_header_fields h = bss_header(v % 2 == 0 ? fc_null : fc_qos_null, false, sta, access_point);
            add(h, {});
            break;
        }
        case mix_kind::beacon: {
            mac_header_fields h;
            h.fc = 0x0080;
            h.a1 = broadcast_address;
            h.a2 = h.a3 = access_point;
            h.sequence_control = next_sequence();
            std::vector<std::uint8_t> body;
            put_random(body, 8, state_);
            put_beacon_fields(body);
            add(h, body);
            break;
        }
        case mix_kind::protected_frame: { // no key here opens it
            mac_header_fields h = bss_header(fc_qos_data | fc_protected, from_ap, sta, remote);
            std::vector<std::uint8_t> body = {0x01, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00};
            put_random(body, 60 + below(state_, 100), state_);
            add(h, body);
            break;
        }
        case mix_kind::bad_capture_header: {
            mix_record shape;
            shape.broken_header = true;
            add(bss_header(fc_qos_data, from_ap, sta, remote), ip_msdu(), shape);
            break;
        }
        case mix_kind::mesh_by_shape:
            add_mesh_by_shape(v, sta);
            break;
        case mix_kind::fcs_wrong:
            add_fcs_wrong(v, sta, from_ap, remote);
            break;
        }
    }

    // A Mesh Control that the QoS bit does not announce (plain Data, or the
    // bit clear), in frames from the DS and between mesh stations, and two
    // frames that only look alike: no SNAP behind it, or towards the DS.
    void add_mesh_by_shape(std::uint64_t v, const mac& sta)
    {
        const mac proxied_da = {0x02, 0x88, 0x00, 0x00, 0x02, static_cast<std::uint8_t>(below(state_, 256))};
        const mac proxied_sa = {0x02, 0x88, 0x00, 0x00, 0x03, static_cast<std::uint8_t>(below(state_, 256))};
        const mac mesh_sa = host(below(state_, 200));
        mac_header_fields h = bss_header(v % 6 == 2 ? fc_qos_data : fc_data, true, sta, mesh_sa);
        h.qos &= ~qos_mesh_control;
        std::vector<std::uint8_t> body;
        switch (v % 6) {
        case 0:
            h.a1 = broadcast_address;
            put_mesh_control(body, 0, mesh_sequence_++, {});
            break;
        case 1:
            h.a1 = mdns_group;
            put_mesh_control(body, 1, mesh_sequence_++, {proxied_sa});
            break;
        case 2: // individually addressed QoS Data
            put_mesh_control(body, 2, mesh_sequence_++, {proxied_da, proxied_sa});
            break;
        case 3:
            h = wds_header(fc_data, host(below(state_, 200)), mesh_sa);
            put_mesh_control(body, 0, mesh_sequence_++, {});
            break;
        case 4: // a spanning tree BPDU behind it, not SNAP: the body is LLC
            h.a1 = broadcast_address;
            put_mesh_control(body, 0, mesh_sequence_++, {});
            put_stp_bpdu(body, state_);
            add(h, body);
            return;
        default: // towards the DS: read as LLC
            h = bss_header(fc_data, false, sta, mesh_sa);
            put_mesh_control(body, 0, mesh_sequence_++, {});
            break;
        }
        const auto msdu = ip_msdu();
        body.insert(body.end(), msdu.begin(), msdu.end());
        add(h, body);
    }

    // FCS present, not flagged bad, and wrong: a plain frame, an A-MSDU,
    // the last fragment of a series.
    void add_fcs_wrong(std::uint64_t v, const mac& sta, bool from_ap, const mac& remote)
    {
        mix_record shape;
        shape.flags = rt_fcs;
        shape.wrong_fcs = true;
        const mac_header_fields h = bss_header(fc_qos_data, from_ap, sta, remote);
        if (v % 3 == 0) {
            add(h, ip_msdu(), shape);
        } else if (v % 3 == 1) {
            mac_header_fields aggregate = h;
            aggregate.qos |= qos_amsdu;
            std::vector<std::uint8_t> body;
            put_amsdu(body, amsdu_subframes(2, from_ap ? sta : remote, from_ap ? remote : sta));
            add(aggregate, body, shape);
        } else {
            shape.wrong_fcs = false;
            auto series = fragment_series(h, ip_msdu(), 2, shape);
            series.back().wrong_fcs = true;
            add_series(series);
        }
    }

    // Capture header, frame, data pad and FCS.
    void finish(mix_record& r, std::vector<std::uint8_t>& out, std::size_t& cut)
    {
        if (net_ != nullptr && !net_->unencrypted_twin && r.seal)
            seal_frame(*net_, r.frame);
        const std::uint32_t fcs = own_crc32(r.frame) ^ (r.wrong_fcs ? 0x00FF0000u : 0u);
        if ((r.flags & rt_data_pad) != 0) {
            const std::size_t length = mac_header_length(static_cast<unsigned>(r.frame[0] | r.frame[1] << 8));
            const std::size_t padded = (length + 3) / 4 * 4;
            r.frame.insert(r.frame.begin() + static_cast<std::ptrdiff_t>(length), padded - length, 0);
        }
        put_mix_capture_header(out, r);
        out.insert(out.end(), r.frame.begin(), r.frame.end());
        if ((r.flags & rt_fcs) != 0 && has_flags())
            for (int shift = 0; shift < 32; shift += 8)
                put_u8(out, fcs >> shift & 0xFF);
        cut = r.cut;
        ++records_;
    }

    void put_mix_capture_header(std::vector<std::uint8_t>& out, const mix_record& r)
    {
        if (opts_.link_type == 127)
            put_mix_radiotap(out, r);
        else if (opts_.link_type == 192)
            put_mix_ppi(out, r);
        else
            put_capture_header(out, opts_.link_type, state_);
    }

    // Flags, rate, channel and signal; with TSFT, a second (empty) present
    // word puts the fields at 12, so TSFT aligns to 16 and Flags sits at 24.
    void put_mix_radiotap(std::vector<std::uint8_t>& out, const mix_record& r)
    {
        const std::size_t start = out.size();
        put_u8(out, 0);
        put_u8(out, 0);
        if (r.broken_header) { // a present word, or the Flags field, past the header's 8 bytes
            put_le16(out, 8);
            put_le16(out, records_ % 2 == 0 ? 0x0002 : 0x0000);
            put_le16(out, records_ % 2 == 0 ? 0x0000 : 0x8000);
            return;
        }
        const bool tsft = r.tsft_header || records_ % 3 == 0;
        put_le16(out, tsft ? 32 : 16);
        put_le16(out, tsft ? 0x002F : 0x002E);
        put_le16(out, tsft ? 0x8000 : 0x0000);
        if (tsft) {
            for (int i = 0; i < 4; ++i) // the second present word, then padding to 16
                put_le16(out, 0);
            // An unaligned read of Flags (at 20) would find other flags.
            std::array<std::uint8_t, 8> tsf{};
            for (auto& byte : tsf)
                byte = static_cast<std::uint8_t>(below(state_, 256));
            tsf[4] = static_cast<std::uint8_t>(r.flags ^ 0x70);
            out.insert(out.end(), tsf.begin(), tsf.end());
        }
        put_u8(out, r.flags);
        put_u8(out, 12 + 12 * below(state_, 9));
        put_le16(out, 2412 + 5 * below(state_, 11));
        put_le16(out, 0x00C0);
        put_u8(out, 256 - 30 - below(state_, 60));
        put_u8(out, 0);
        if (out.size() - start != (tsft ? 32u : 16u))
            fail("radiotap header size");
    }

    // The 802.11-Common field, behind an 802.11n MAC extension field in
    // every other record. FCS present is flag bit 0, FCS invalid bit 2.
    void put_mix_ppi(std::vector<std::uint8_t>& out, const mix_record& r)
    {
        const bool extension = records_ % 2 == 1 && !r.broken_header;
        const std::size_t start = out.size();
        put_u8(out, 0);
        put_u8(out, 0);
        put_le16(out, r.broken_header ? 28 : extension ? 48 : 32);
        put_le16(out, 105);
        put_le16(out, 0);
        if (extension) {
            put_le16(out, 3);
            put_le16(out, 12);
            for (int i = 0; i < 12; ++i) // no A-MPDU
                put_u8(out, 0);
        }
        put_le16(out, 2);
        put_le16(out, 20);
        put_random(out, 8, state_); // TSF
        put_le16(out, ((r.flags & rt_fcs) != 0 ? 0x0001u : 0u) | ((r.flags & rt_bad_fcs) != 0 ? 0x0004u : 0u));
        put_le16(out, 12 + 12 * below(state_, 9));
        put_le16(out, 2412 + 5 * below(state_, 11));
        put_le16(out, 0x00C0);
        put_le16(out, 0);
        put_u8(out, 256 - 30 - below(state_, 60));
        put_u8(out, 256 - 95);
        if (r.broken_header) // the field's last 4 bytes lie past the header
            out.resize(start + 28);
    }

    const options& opts_;
    std::uint64_t& state_;
    protected_network* net_;
    std::vector<mix_record> queue_;
    std::size_t position_ = 0;
    std::uint64_t cycle_ = 0;
    unsigned sequence_ = 0;
    std::uint32_t mesh_sequence_ = 1;
    std::uint64_t records_ = 0;
};

full_decode_mix::full_decode_mix(const options& opts, std::uint64_t& state, protected_network* net)
    : writer_(std::make_unique<writer>(opts, state, net))
{
}

full_decode_mix::~full_decode_mix() = default;

void full_decode_mix::next(std::vector<std::uint8_t>& record, std::size_t& cut) { writer_->next(record, cut); }

} // namespace gen
