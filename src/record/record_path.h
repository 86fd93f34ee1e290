// The record path: what becomes of one record, as one instance per run
// mode. How a run treats every record is fixed before the first one
// (record_mode): each mode is its own instance of convert_record, so the
// path tests none of these per record and the plain conversion pays for
// none of the others.
//
// In a threaded run the path holds records in the pipeline's batches;
// the pipeline calls back into the path only through the two functions
// the run gives it (write_batch and settle_peeks of the run's mode).
#pragma once

#include "convert/convert.h"
#include "decrypt/decrypt.h"
#include "pipeline/pipeline.h"
#include "reassemble/reassemble.h"
#include "record/record.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <vector>

struct record_mode {
    bool decrypting = false;       // keys were given
    bool full_decode = false;      // each frame decoded by its own fields
    bool classify_skipped = false; // why a record did not convert, for --stats
    bool flush_each = false;       // every record flushed to the output as it is written
    bool decrypt_only = false;     // records written as 802.11, decrypted where they can be (decrypt_only.h)
};

// What the run needs from one record to the next. A threaded run has two:
// the reader's, and the writer's, which owns the output.
struct conversion_state {
    conversion_state(pcap_t* input_capture, pcap_dumper_t* output_capture, int input_link_type,
                     const conversion_settings& run_settings)
        : input(input_capture), output(output_capture), output_stream(pcap_dump_file(output_capture)),
          link_type(input_link_type), settings(run_settings),
          follows_handshakes(run_settings.keys != nullptr && ::follows_handshakes(*run_settings.keys)),
          decrypts_wpa(run_settings.keys != nullptr && ::decrypts_wpa(*run_settings.keys))
    {
    }
    pcap_t* input; // null in the writer's, which never stops the loop itself
    pcap_dumper_t* output;
    FILE* output_stream;
    int link_type;
    conversion_settings settings;
    bool follows_handshakes; // the keys hold a PMK: handshakes and management frames are followed
    bool decrypts_wpa;       // the keys hold a PMK or a temporal key
    frame_buffer frame;
    pcap_pkthdr frame_header{};
    conversion_totals totals;
    std::vector<std::uint8_t> plain; // a decrypted frame
    pcap_pkthdr plain_header{};      // and its header
    std::vector<std::uint8_t> rebuilt; // under --decrypt-only: a decrypted frame's record
    reassembly fragments{};
    record_pipeline* pipeline = nullptr; // the reader's, in a threaded run
    conversion_state* writer = nullptr;  // the reader's: the writer's state, the reader's to use once drained

    // The run can go no further: a write failed, or memory ran out.
    bool failed() const { return totals.write_error != 0 || totals.out_of_memory; }
};

// The run stops: what it needed could not be allocated.
inline void run_out_of_memory(conversion_state& state)
{
    state.totals.out_of_memory = true;
    if (state.input != nullptr)
        pcap_breakloop(state.input);
}

inline void count(conversion_state& state, record_fate fate, std::int64_t records = 1)
{
    state.totals.fates[static_cast<std::size_t>(fate)] += records;
}

// Writes one frame. A failed write is kept in the totals and stops the
// loop before the next record; returns false then.
template <record_mode mode>
bool write_frame(conversion_state& state, const pcap_pkthdr& header, const std::uint8_t* frame)
{
    errno = 0;
    pcap_dump(reinterpret_cast<u_char*>(state.output), &header, frame);
    if constexpr (mode.flush_each)
        fflush_unlocked(state.output_stream);
    if (ferror_unlocked(state.output_stream)) {
        state.totals.write_error = errno != 0 ? errno : EIO;
        if (state.input != nullptr)
            pcap_breakloop(state.input);
        return false;
    }
    ++state.totals.converted;
    return true;
}

template <record_mode mode>
bool write_decoded_frame(void* context, const pcap_pkthdr& header, const std::uint8_t* frame)
{
    return write_frame<mode>(*static_cast<conversion_state*>(context), header, frame);
}

// A record's frame as the path learns it, stage by stage.
struct frame_at {
    const pcap_pkthdr* header;           // the record's, or the decrypted frame's
    std::span<const std::uint8_t> bytes; // the record, or the decrypted frame
    int offset = 0;                      // where the 802.11 header begins in `bytes`
    capture_flags flags{};               // read where the mode needs them
    data_frame_view view{};              // under full decoding: the located Data frame
    record_fate written = record_fate::converted; // the fate of the record once written
};

// Hands a management frame, without any FCS, to the decryption state.
template <record_mode mode>
void follow_management(conversion_state& state, const frame_at& at)
{
    if (!state.follows_handshakes)
        return;
    capture_flags flags = at.flags;
    if constexpr (!mode.full_decode)
        flags = read_capture_flags(state.link_type, at.bytes, at.offset);
    std::span<const std::uint8_t> frame = at.bytes.subspan(static_cast<std::size_t>(at.offset));
    if (flags.fcs_at_end)
        frame = frame.first(frame.size() < 4 ? 0 : frame.size() - 4);
    follow_management_frame(*state.settings.keys, frame);
}

// Where an unprotected Data frame's body begins behind its MAC header,
// past the data pad when there is one.
inline std::size_t data_body_at(int fc, bool data_pad)
{
    const std::size_t header = data_header_length(fc);
    return data_pad ? (header + 3) & ~std::size_t{3} : header;
}

// Hands an unprotected Data frame (its body at `body`) to the handshake
// tracker: an EAPOL-Key frame may carry a handshake.
inline void follow_data_frame(conversion_state& state, std::span<const std::uint8_t> frame, std::size_t body)
{
    if (body > frame.size())
        return;
    if (state.pipeline != nullptr)
        state.pipeline->settle();
    follow_eapol_frame(*state.settings.keys, frame, frame.subspan(body));
}

// The Header offset; under full decoding also the capture header's flags,
// a frame the radio found damaged dropped, and the Data frame located.
// Returns false once the record's fate is counted.
template <record_mode mode>
[[gnu::always_inline]] inline bool locate_frame(conversion_state& state, frame_at& at)
{
    if constexpr (mode.full_decode)
        at.offset = full_decode_header_offset(state.link_type, at.bytes, at.flags);
    else
        at.offset = capture_header_offset(state.link_type, at.bytes);
    if (at.offset < 0) {
        // Standard output, which an output of "-" has moved to standard
        // error, in its turn among the run's other lines.
        std::puts("Error calculating header offset for packet.  Skipping this packet.");
        count(state, record_fate::header_offset_error);
        return false;
    }
    if constexpr (mode.full_decode) {
        if (at.flags.bad_fcs) {
            count(state, record_fate::bad_fcs);
            return false;
        }
    }
    // Every record with a valid offset (under full decoding, a good FCS)
    // passes here, management frames included; they are dropped further
    // on, not converted. With keys given, the decryption state reads them
    // first: network names, and the keys of roaming stations.
    if constexpr (mode.decrypting) {
        const int fc = record_le16(at.bytes, static_cast<std::size_t>(at.offset));
        if (fc >= 0 && is_management_type(fc)) {
            if (state.pipeline != nullptr)
                state.pipeline->settle();
            follow_management<mode>(state, at);
        }
    }
    if constexpr (mode.full_decode) {
        const record_fate fate = locate_data_frame(at.bytes, static_cast<std::size_t>(at.offset),
                                                   at.header->len, at.flags, at.view);
        if (fate != record_fate::converted) {
            count(state, fate);
            return false;
        }
    }
    return true;
}

// A protected frame to convert: held for the batch's decryption, or
// decrypted here, where the tracker follows what it carries. Returns
// false once the record's fate is counted or it is held.
template <record_mode mode>
bool take_protected_frame(conversion_state& state, frame_at& at, bool may_hold)
{
    decryption& keys = *state.settings.keys;
    const byte_span frame = at.bytes.subspan(static_cast<std::size_t>(at.offset));
    if (state.pipeline != nullptr) {
        if (may_hold && hold_aead_frame(*state.pipeline, keys, *at.header, frame, at.flags))
            return false;
        state.pipeline->settle();
    }
    std::size_t frame_at = 0;
    record_fate fate = decrypt_data_frame(keys, frame, at.flags.fcs_at_end, at.flags.data_pad, state.plain, frame_at);
    if (fate == record_fate::decrypted) {
        at.bytes = std::span<const std::uint8_t>(state.plain).subspan(frame_at);
        state.plain_header.ts = at.header->ts;
        state.plain_header.caplen = state.plain_header.len = static_cast<bpf_u_int32>(at.bytes.size());
        at.header = &state.plain_header;
        at.offset = 0;
        at.written = record_fate::decrypted;
        if constexpr (mode.full_decode)
            fate = locate_data_frame(at.bytes, 0, at.bytes.size(), capture_flags{}, at.view);
        else
            fate = record_fate::converted;
    }
    if (fate != record_fate::converted) {
        count(state, fate);
        return false;
    }
    return true;
}

// With keys given: hands an unprotected Data frame to the handshake
// tracker, and replaces a protected one by its decrypted twin. Under full
// decoding without keys, drops a protected frame. Returns false once the
// record's fate is counted.
template <record_mode mode>
[[gnu::always_inline]] inline bool unprotect_frame(conversion_state& state, frame_at& at)
{
    const auto o = static_cast<std::size_t>(at.offset);
    int fc = 0;
    if constexpr (mode.full_decode) {
        fc = at.view.fc;
    } else {
        fc = record_le16(at.bytes, o);
        if (fc < 0 || !is_data_type(fc))
            return true; // the conversion skips it and tells why
        read_capture_flags(state.link_type, at.bytes, at.offset, at.flags);
    }
    if constexpr (!mode.decrypting) {
        if (is_protected(fc)) {
            count(state, record_fate::protected_no_key);
            return false;
        }
        return true;
    } else {
        if (!is_protected(fc)) {
            if (!state.follows_handshakes)
                return true;
            if constexpr (mode.full_decode)
                follow_data_frame(state, at.view.frame, at.view.body_start);
            else
                follow_data_frame(state, at.bytes.subspan(o), data_body_at(fc, at.flags.data_pad));
            return true;
        }
        // Four-address frames convert only under full decoding; otherwise
        // they are not worth decrypting.
        if constexpr (!mode.full_decode) {
            if (is_four_address(fc)) {
                count(state, record_fate::four_address);
                return false;
            }
        }
        if (at.header->caplen < at.header->len) {
            count(state, record_fate::protected_short);
            return false;
        }
        return take_protected_frame<mode>(state, at, true);
    }
}

// Converts the frame and writes what it gives: one Ethernet frame by
// default; under full decoding one per MSDU, fragments joined first.
template <record_mode mode>
[[gnu::always_inline]] inline void convert_and_write(conversion_state& state, const frame_at& at)
{
    if constexpr (mode.full_decode) {
        const data_frame_view* whole = &at.view;
        data_frame_view joined;
        if (is_fragment(at.view)) {
            const fragment_outcome outcome = add_fragment(state.fragments, at.view, joined);
            count(state, record_fate::fragment_reassembled, outcome.reassembled);
            count(state, record_fate::fragment_dropped, outcome.dropped);
            if (outcome.held)
                return; // counted once its frame is complete or lost
            if (!outcome.completed) {
                count(state, record_fate::fragment_dropped);
                return;
            }
            whole = &joined;
        }
        const frame_sink sink{&state, write_decoded_frame<mode>};
        const record_fate fate = decode_data_frame(*whole, at.header->ts, state.frame, sink, state.totals.decoded);
        if (fate == record_fate::no_memory) {
            run_out_of_memory(state);
            return;
        }
        count(state, fate == record_fate::converted ? at.written : fate);
    } else {
        const int translated = translate_data_frame(*at.header, at.bytes, at.offset, state.frame_header, state.frame);
        if (translated < 0) {
            if (translated == frame_not_allocated) {
                run_out_of_memory(state);
                return;
            }
            if constexpr (mode.classify_skipped)
                count(state, skipped_frame_fate(at.bytes, at.offset));
            return;
        }
        if (write_frame<mode>(state, state.frame_header, state.frame.bytes.get()))
            count(state, at.written);
    }
}

// The writer's part: writes a decrypted batch record by record, in input
// order, each decrypted frame finished first.
template <record_mode mode>
void write_records(conversion_state& state, record_batch& batch)
{
    const std::size_t records = batch.records.size();
    for (std::size_t i = 0; i < records; ++i) {
        const held_record& record = batch.records[i];
        // Written on the reader's core: the next records are asked for
        // before they are needed.
        if (i + 4 < records) {
            const held_record& ahead = batch.records[i + 4];
            __builtin_prefetch(&ahead);
            if (ahead.job == held_record::no_job)
                __builtin_prefetch(batch.bytes.get() + ahead.bytes_at + ahead.offset);
        }
        if (state.failed())
            break;
        pcap_pkthdr header = record.header;
        std::span<std::uint8_t> bytes(batch.bytes.get() + record.bytes_at, record.size);
        if (record.job != held_record::no_job) {
            const held_job& job = batch.held[record.job];
            const int length = batch.jobs[batch.job_at[record.job]].result;
            if (length < 0) {
                count(state, record_fate::integrity_failed);
                continue;
            }
            std::memmove(batch.bytes.get() + job.plain_at(), batch.bytes.get() + job.frame_at, job.header_length);
            bytes = std::span(batch.bytes.get() + job.plain_at(), job.header_length + static_cast<std::size_t>(length));
            bytes = bytes.subspan(
                finish_multi_link_frame(*batch.jobs[batch.job_at[record.job]].keys, bytes, finishing_thread::writer));
            // The frame goes on as plaintext. Its first bytes were looked
            // at before it was handed on: it holds nothing for the tracker.
            bytes[1] = static_cast<std::uint8_t>(bytes[1] & ~protected_bit_of_second_byte);
            header.caplen = header.len = static_cast<bpf_u_int32>(bytes.size());
        }
        frame_at at{&header, bytes, record.offset, record.flags};
        at.written = record.written;
        if constexpr (mode.full_decode) {
            const record_fate fate = locate_data_frame(at.bytes, static_cast<std::size_t>(at.offset), header.len,
                                                       record.flags, at.view);
            if (fate != record_fate::converted) {
                count(state, fate);
                continue;
            }
        }
        convert_and_write<mode>(state, at);
    }
}

// The batch writer the pipeline is given, around the mode's own
// (`write_all`, write_records or write_802_11_records): false once a write
// failed or memory ran out, on this thread as on any other.
template <auto write_all>
bool write_batch(void* writer, record_batch& batch)
{
    auto& state = *static_cast<conversion_state*>(writer);
    try {
        write_all(state, batch);
    } catch (const std::bad_alloc&) {
        run_out_of_memory(state);
    }
    return !state.failed();
}

// Holds a record behind those held before it. A record too large for a
// batch is written here, once the writer has written all before it.
template <record_mode mode>
void hold_record(conversion_state& state, const frame_at& at)
{
    record_pipeline& pipe = *state.pipeline;
    if (hold_record(pipe, *at.header, at.bytes, at.offset, at.flags, at.written))
        return;
    pipe.drain();
    if (pipe.stopped())
        return;
    convert_and_write<mode>(*state.writer, at);
    if (state.writer->failed())
        pipe.stop();
}

// The reader's part of settling the held frames' peeks: a key exchange
// taken back out, with the frames after it, is decrypted here and
// followed, and the others are held anew under the keys it leaves.
template <record_mode mode>
void settle_peeks(void* reader)
{
    auto& state = *static_cast<conversion_state*>(reader);
    std::vector<taken_back_frame> frames;
    if (!take_back_key_exchanges(*state.pipeline, frames))
        return;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        capture_flags flags{};
        flags.fcs_at_end = frames[k].fcs_announced;
        frame_at at{&frames[k].header, frames[k].frame, 0, flags};
        if (take_protected_frame<mode>(state, at, k != 0))
            hold_record<mode>(state, at);
        // One at a time from here: key exchanges back to back would
        // otherwise be taken back out again and again.
        state.pipeline->settle();
    }
}

// One record, whatever the mode: Header offset (and the capture header's
// flags), decryption when it is protected, conversion, writing, and one
// fate counted.
template <record_mode mode>
void take_record(conversion_state& state, const pcap_pkthdr* header, const u_char* bytes)
{
    if constexpr (mode.decrypting) {
        if (state.pipeline != nullptr && state.pipeline->stopped()) {
            pcap_breakloop(state.input);
            return;
        }
    }
    frame_at at{header, {bytes, header->caplen}};
    if (!locate_frame<mode>(state, at))
        return;
    if constexpr (mode.decrypting || mode.full_decode) {
        if (!unprotect_frame<mode>(state, at))
            return;
    }
    if constexpr (mode.decrypting) {
        if (state.pipeline != nullptr) {
            hold_record<mode>(state, at);
            return;
        }
    }
    convert_and_write<mode>(state, at);
}

// The handler pcap_loop calls, around the mode's own (`take`, take_record
// or take_802_11_record). Nothing may unwind through libpcap's frames:
// memory running out anywhere on the record's road stops the loop.
template <auto take>
void convert_record(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
{
    auto& state = *reinterpret_cast<conversion_state*>(user);
    try {
        take(state, header, bytes);
    } catch (const std::bad_alloc&) {
        run_out_of_memory(state);
    }
}
