// A run's record loop: the instance of the record path for the run's
// mode, the pipeline when a second thread helps, and the totals.
#include "record/decrypt_only.h"

#include <memory>
#include <new>
#include <system_error>

namespace {

// The instances of the record path for a run's mode.
struct record_functions {
    pcap_handler handler;
    bool (*write_batch)(void* writer, record_batch& batch);
    void (*settle_peeks)(void* reader);
};

template <record_mode mode>
constexpr record_functions functions_of()
{
    if constexpr (mode.decrypt_only && mode.decrypting)
        return {convert_record<take_802_11_record<mode>>, write_batch<write_802_11_records<mode>>,
                settle_802_11_peeks<mode>};
    else if constexpr (mode.decrypt_only)
        return {convert_record<take_802_11_record<mode>>, write_batch<write_802_11_records<mode>>, nullptr};
    else if constexpr (mode.decrypting)
        return {convert_record<take_record<mode>>, write_batch<write_records<mode>>, settle_peeks<mode>};
    else
        return {convert_record<take_record<mode>>, write_batch<write_records<mode>>, nullptr};
}

// The instance for a run that decrypts or not and decodes fully or not.
// Both of these tell every fate apart anyway.
template <bool decrypting, bool full_decode>
record_functions record_handler(bool classify_skipped, bool flush_each)
{
    constexpr bool classifies = decrypting || full_decode;
    if (flush_each) {
        if (classifies || classify_skipped)
            return functions_of<record_mode{decrypting, full_decode, true, true}>();
        return functions_of<record_mode{decrypting, full_decode, false, true}>();
    }
    if (classifies || classify_skipped)
        return functions_of<record_mode{decrypting, full_decode, true, false}>();
    return functions_of<record_mode{decrypting, full_decode, false, false}>();
}

// --decrypt-only tells every fate apart, and decodes nothing.
template <bool decrypting>
record_functions decrypt_only_handler(bool flush_each)
{
    if (flush_each)
        return functions_of<record_mode{decrypting, false, true, true, true}>();
    return functions_of<record_mode{decrypting, false, true, false, true}>();
}

record_functions record_handler(const conversion_settings& settings)
{
    const bool classify = settings.count_fates;
    const bool flush = settings.flush_each_record;
    if (settings.decrypt_only)
        return settings.keys != nullptr ? decrypt_only_handler<true>(flush) : decrypt_only_handler<false>(flush);
    if (settings.full_decode) {
        return settings.keys != nullptr ? record_handler<true, true>(classify, flush)
                                        : record_handler<false, true>(classify, flush);
    }
    return settings.keys != nullptr ? record_handler<true, false>(classify, flush)
                                    : record_handler<false, false>(classify, flush);
}

// A second thread helps a run that decrypts WPA frames (with a PMK or a
// key log's temporal keys), unless every
// record is to be written out at once.
bool worth_a_pipeline(const conversion_settings& settings)
{
    return settings.threads > 1 && settings.keys != nullptr && decrypts_wpa(*settings.keys) &&
           !settings.flush_each_record;
}

void add_totals(conversion_totals& totals, const conversion_totals& more)
{
    totals.converted += more.converted;
    for (std::size_t i = 0; i < totals.fates.size(); ++i)
        totals.fates[i] += more.fates[i];
    totals.decoded.subframes_written += more.decoded.subframes_written;
    totals.decoded.ieee_802_3_written += more.decoded.ieee_802_3_written;
    if (totals.write_error == 0)
        totals.write_error = more.write_error;
    totals.out_of_memory = totals.out_of_memory || more.out_of_memory;
}

} // namespace

conversion_totals convert_records(pcap_t* input, pcap_dumper_t* output, const conversion_settings& settings)
{
    conversion_state state(input, output, pcap_datalink(input), settings);
    const record_functions functions = record_handler(settings);
    // The writer's state: the same run, but the input is the reader's.
    conversion_state writer(nullptr, output, state.link_type, settings);
    std::unique_ptr<record_pipeline> pipeline;
    if (worth_a_pipeline(settings)) {
        try {
            pipeline = std::make_unique<record_pipeline>(batch_writer{&writer, functions.write_batch},
                                                         peek_settler{&state, functions.settle_peeks},
                                                         settings.batch_records);
        } catch (const std::system_error&) {
            // No second thread to be had: the run does all on this one.
        }
        state.pipeline = pipeline.get();
        state.writer = &writer;
    }
    if (pipeline && settings.held != nullptr) {
        settings.held->owner = &state;
        settings.held->waiting = [](void* run) { return static_cast<conversion_state*>(run)->pipeline->holding(); };
        // Called from libpcap's read: memory running out stops the run
        // rather than unwind through it.
        settings.held->write_out = [](void* run) {
            auto& reader = *static_cast<conversion_state*>(run);
            try {
                reader.pipeline->drain();
            } catch (const std::bad_alloc&) {
                run_out_of_memory(reader);
            }
            return !reader.totals.out_of_memory;
        };
    }
    // pcap_loop hands the records over one by one without the per-record
    // wrapping of pcap_next_ex (3-5 % of a run on small records). On a
    // savefile it returns 0 at the end of the input, PCAP_ERROR on a read
    // error such as a record cut short by the end of the file, and
    // PCAP_ERROR_BREAK once a failed write has broken the loop.
    const int status = pcap_loop(input, -1, functions.handler, reinterpret_cast<u_char*>(&state));
    state.totals.input_damaged = status == PCAP_ERROR;
    if (settings.held != nullptr)
        *settings.held = pending_output{};
    // Fragments still waiting for the rest of their frame never get it.
    if (pipeline) {
        // A run that failed on this thread settles and writes nothing more:
        // what it held last may be half made.
        if (state.failed()) {
            pipeline->pending_peeks.clear();
            pipeline->stop();
        }
        try {
            pipeline->drain();
        } catch (const std::bad_alloc&) {
            run_out_of_memory(state);
        }
        if (pipeline->out_of_memory())
            run_out_of_memory(writer);
        pipeline.reset(); // the writer ends here
        count(writer, record_fate::fragment_dropped, fragments_held(writer.fragments));
        add_totals(state.totals, writer.totals);
    } else {
        count(state, record_fate::fragment_dropped, fragments_held(state.fragments));
    }
    return state.totals;
}
