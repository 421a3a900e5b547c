// Encode-then-decode of arbitrary vector sequences: every accepted symbol comes back, and
// a second encoding gives the same bytes.
#include <cstdlib>

#include "engine/decoder.hpp"
#include "engine/encoder.hpp"
#include "engine/frequency_model.hpp"
#include "fuzz_input.hpp"

using namespace vantor;

namespace {

std::vector<uint8_t> encode(const std::vector<fuzzing::FuzzVector>& vectors,
                            const std::vector<uint64_t>& symbols) {
    CoderState state;
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        if (encode_symbol(state, vectors[i].view(), symbols[i]) != StepStatus::Coded) std::abort();
    }
    finish_stream(state);
    return {state.output.data(), state.output.data() + state.output.size()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzing::Input in(data, size);
    std::vector<fuzzing::FuzzVector> vectors;
    std::vector<uint64_t> symbols;
    CoderState state;
    while (!in.empty()) {
        fuzzing::FuzzVector v = fuzzing::next_vector(in);
        uint64_t symbol = in.byte();
        if (v.count != 0) symbol = (symbol | uint64_t{in.byte()} << 8) % (v.count + 1);
        const SymbolRange rule = v.count == 0
                                     ? SymbolRange{0, 0, false}
                                     : symbol_range(v.view(), scan_table(v.view()), symbol);
        const StepStatus status = encode_symbol(state, v.view(), symbol);
        // The encoder codes exactly the symbols the rule gives a proper share.
        if ((status == StepStatus::Coded) != rule.codable) std::abort();
        if (status != StepStatus::Coded) continue;
        vectors.push_back(std::move(v));
        symbols.push_back(symbol);
    }
    finish_stream(state);
    const std::vector<uint8_t> stream(state.output.data(),
                                      state.output.data() + state.output.size());
    if (encode(vectors, symbols) != stream) std::abort();

    CoderState decoder;
    load_stream(decoder, stream.data(), stream.size());
    for (std::size_t i = 0; i < vectors.size(); ++i) {
        const DecodeOutcome outcome = decode_symbol(decoder, vectors[i].view());
        if (outcome.status != StepStatus::Coded || outcome.symbol != symbols[i]) std::abort();
    }
    return 0;
}
