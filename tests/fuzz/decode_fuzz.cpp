// The decoder on arbitrary bytes with arbitrary vectors: every step either decodes or is
// refused with the state untouched, and the vector paths agree with the scalar rule.
#include <cstdlib>

#include "engine/decoder.hpp"
#include "engine/frequency_model.hpp"
#include "fuzz_input.hpp"

using namespace vantor;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzing::Input in(data, size);
    const uint8_t length = in.byte();
    CoderState state;
    if (length != 0xFF) {  // 0xFF: a coder never given a stream, whose input has no storage
        const std::vector<uint8_t> stream = in.bytes(length);
        load_stream(state, stream.data(), stream.size());
    }
    while (!in.empty()) {
        const fuzzing::FuzzVector v = fuzzing::next_vector(in);
        if (v.count != 0) {
            const Totals rule = scan_table(v.view());
            RunScan scan;
            scan_runs(v.view(), scan);
            if (rule.sum != scan.totals.sum || rule.max != scan.totals.max) std::abort();
            const uint64_t target = (state.value - state.low) % TOTAL_FREQ;
            if (!(find_symbol(v.view(), rule, target) == search_runs(v.view(), scan, target))) {
                std::abort();
            }
        }
        const uint64_t low = state.low, high = state.high, value = state.value;
        const DecodeOutcome outcome = decode_symbol(state, v.view());
        if (outcome.status != StepStatus::Coded) {
            if (state.low != low || state.high != high || state.value != value) std::abort();
            continue;
        }
        if (outcome.symbol >= v.count) std::abort();
        // A decoded step keeps the window inside the interval.
        if (state.value < state.low || state.value > state.high) std::abort();
    }
    return 0;
}
