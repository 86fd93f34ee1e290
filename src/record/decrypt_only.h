// The record path of --decrypt-only: every record is written, in order,
// in the input's own link type. A protected frame that a key opens is
// written decrypted in its record (build_decrypted_record); every other
// record as it came, byte for byte. Nothing is converted.
//
// In a threaded run an AEAD frame is held with its whole record and
// decrypted where it lies in the batch; the writer then moves the capture
// header and the MAC header up over the cipher header.
#pragma once

#include "record/record_path.h"

// Writes a record as it stands, counted as `fate` once written.
template <record_mode mode>
void write_record(conversion_state& state, const pcap_pkthdr& header, const std::uint8_t* bytes, record_fate fate)
{
    if (write_frame<mode>(state, header, bytes))
        count(state, fate);
}

// The record goes to the output, behind the records held before it.
template <record_mode mode>
void pass_record(conversion_state& state, const pcap_pkthdr& header, std::span<const std::uint8_t> bytes, int offset,
                 const capture_flags& flags, record_fate fate)
{
    if constexpr (mode.decrypting) {
        if (state.pipeline != nullptr) {
            record_pipeline& pipe = *state.pipeline;
            if (hold_record(pipe, header, bytes, offset, flags, fate))
                return;
            pipe.drain();
            if (pipe.stopped())
                return;
            write_record<mode>(*state.writer, header, bytes.data(), fate);
            if (state.writer->failed())
                pipe.stop();
            return;
        }
    }
    write_record<mode>(state, header, bytes.data(), fate);
}

// A protected frame (a Data frame, or with `management` a robust
// management frame) of a record whose every byte was captured: held for
// the batch's cipher work, or decrypted here, its record rebuilt.
template <record_mode mode>
void decrypt_record(conversion_state& state, const pcap_pkthdr& header, std::span<const std::uint8_t> record,
                    int offset, const capture_flags& flags, bool management, bool may_hold)
{
    decryption& keys = *state.settings.keys;
    const auto at = static_cast<std::size_t>(offset);
    if (state.pipeline != nullptr) {
        if (!management && may_hold && hold_aead_record(*state.pipeline, keys, header, record, offset, flags))
            return;
        state.pipeline->settle();
    }
    bool unannounced_fcs = false;
    const byte_span frame = record.subspan(at);
    const record_fate fate =
        decrypt_frame_as_sent(keys, frame, flags.fcs_at_end, flags.data_pad, state.plain, unannounced_fcs);
    if (fate != record_fate::decrypted) {
        pass_record<mode>(state, header, record, offset, flags, fate);
        return;
    }
    const int fc = record_le16(state.plain, 0);
    const std::size_t header_length = management ? management_header_length(fc) : data_header_length(fc);
    const std::size_t pad = !management && flags.data_pad ? data_body_at(fc, true) - header_length : 0;
    if (!build_decrypted_record(state.link_type, record, at, state.plain, header_length, pad,
                                flags.fcs_at_end || unannounced_fcs, state.rebuilt)) {
        pass_record<mode>(state, header, record, offset, flags, record_fate::too_short);
        return;
    }
    pcap_pkthdr written = header;
    written.caplen = written.len = static_cast<bpf_u_int32>(state.rebuilt.size());
    pass_record<mode>(state, written, state.rebuilt, offset, flags, record_fate::decrypted);
}

// One record: its Header offset, the handshakes it carries followed, its
// frame decrypted where it is protected and a key opens it.
template <record_mode mode>
void take_802_11_record(conversion_state& state, const pcap_pkthdr* header, const u_char* bytes)
{
    if constexpr (mode.decrypting) {
        if (state.pipeline != nullptr && state.pipeline->stopped()) {
            pcap_breakloop(state.input);
            return;
        }
    }
    const std::span<const std::uint8_t> record(bytes, header->caplen);
    const int offset = capture_header_offset(state.link_type, record);
    capture_flags flags{};
    if (offset < 0) {
        pass_record<mode>(state, *header, record, 0, flags, record_fate::header_offset_error);
        return;
    }
    if constexpr (mode.decrypting) {
        const auto at = static_cast<std::size_t>(offset);
        const int fc = record_le16(record, at);
        const bool management = fc >= 0 && is_management_type(fc);
        const bool data = fc >= 0 && is_data_type(fc);
        if (management) {
            if (state.pipeline != nullptr)
                state.pipeline->settle();
            follow_management<mode>(state, frame_at{header, record, offset});
        }
        if (management || data) {
            read_capture_flags(state.link_type, record, offset, flags);
            if (is_protected(fc)) {
                if (header->caplen < header->len)
                    pass_record<mode>(state, *header, record, offset, flags, record_fate::protected_short);
                else
                    decrypt_record<mode>(state, *header, record, offset, flags, management, true);
                return;
            }
            if (data && state.follows_handshakes)
                follow_data_frame(state, record.subspan(at), data_body_at(fc, flags.data_pad));
        }
    }
    pass_record<mode>(state, *header, record, offset, flags, record_fate::converted);
}

// The writer's part: a batch's records in input order, each AEAD frame
// finished where its cipher left it, or written as it came when its
// integrity check failed (the cipher leaves a failed frame as it was).
template <record_mode mode>
void write_802_11_records(conversion_state& state, record_batch& batch)
{
    std::uint8_t* const bytes = batch.bytes.get();
    for (const held_record& record : batch.records) {
        if (state.failed())
            break;
        std::uint8_t* at = bytes + record.bytes_at;
        if (record.job == held_record::no_job) {
            write_record<mode>(state, record.header, at, record.written);
            continue;
        }
        const held_job& job = batch.held[record.job];
        const std::size_t job_at = batch.job_at[record.job];
        const int length = batch.jobs[job_at].result;
        if (length < 0) {
            write_record<mode>(state, record.header, at, record_fate::integrity_failed);
            continue;
        }
        // The body is plaintext where the ciphertext was: the capture
        // header and the MAC header move up over the cipher header.
        const auto offset = static_cast<std::size_t>(record.offset);
        std::memmove(at + aead_header_size, at, offset + job.header_length);
        at += aead_header_size;
        at[offset + 1] = static_cast<std::uint8_t>(at[offset + 1] & ~protected_bit_of_second_byte);
        std::size_t size = offset + job.header_length + static_cast<std::size_t>(length);
        count_multi_link_frame(*batch.jobs[job_at].keys, std::span(at + offset, size - offset), finishing_thread::writer);
        if (batch.fcs_announced[job_at] != 0) { // the MIC's bytes, behind the body, take it
            const std::uint32_t fcs = crc32_of(std::span<const std::uint8_t>(at + offset, size - offset));
            for (int shift = 0; shift < 32; shift += 8)
                at[size++] = static_cast<std::uint8_t>(fcs >> shift);
        }
        describe_decrypted_frame(state.link_type, std::span(at, offset), record.size - size);
        pcap_pkthdr header = record.header;
        header.caplen = header.len = static_cast<bpf_u_int32>(size);
        write_record<mode>(state, header, at, record_fate::decrypted);
    }
}

// The reader's part of settling the held frames' peeks: a key exchange
// taken back out, with the records after it, is decrypted here and
// followed, and the others are held anew under the keys it leaves.
template <record_mode mode>
void settle_802_11_peeks(void* reader)
{
    auto& state = *static_cast<conversion_state*>(reader);
    std::vector<taken_back_frame> frames;
    if (!take_back_key_exchanges(*state.pipeline, frames))
        return;
    for (std::size_t k = 0; k < frames.size(); ++k) {
        decrypt_record<mode>(state, frames[k].header, frames[k].frame, frames[k].offset, frames[k].flags, false, k != 0);
        state.pipeline->settle();
    }
}
