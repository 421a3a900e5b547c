// Batches of arbitrary rows and symbols: an accepted batch leaves the coder exactly as the
// same rows stepped one by one, and a refused batch leaves it exactly as it was before.
#include <cstdlib>
#include <cstring>

#include "engine/batch.hpp"
#include "engine/decoder.hpp"
#include "engine/encoder.hpp"
#include "fuzz_input.hpp"

using namespace vantor;

namespace {

bool same(const CoderState& a, const CoderState& b) {
    return a.low == b.low && a.high == b.high && a.pending_bits == b.pending_bits &&
           a.value == b.value && a.input_pos == b.input_pos && a.out_bit_count == b.out_bit_count &&
           a.out_byte == b.out_byte && a.in_bits_left == b.in_bits_left &&
           a.output.size() == b.output.size() &&
           (a.output.size() == 0 ||
            std::memcmp(a.output.data(), b.output.data(), a.output.size()) == 0);
}

CoderState copy_of(const CoderState& s) {
    CoderState c(ByteBuffer::copy_of(s.output.data(), s.output.size()));
    c.input = ByteBuffer::copy_of(s.input.data(), s.input.size());
    c.low = s.low;
    c.high = s.high;
    c.pending_bits = s.pending_bits;
    c.value = s.value;
    c.input_pos = s.input_pos;
    c.out_bit_count = s.out_bit_count;
    c.out_byte = s.out_byte;
    c.in_bits_left = s.in_bits_left;
    return c;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzzing::Input in(data, size);
    // The rows: one vector's worth of raw elements repeated into a block, then rows laid
    // out at a distance of the row plus a gap, forwards or backwards.
    const fuzzing::FuzzVector first = fuzzing::next_vector(in);
    const std::size_t width = first.count == 0 ? 1 : first.storage.size() / first.count;
    const uint64_t length = first.count < 40 ? first.count : 40;
    const uint64_t rows = in.byte() % 24;
    const uint64_t gap = in.byte() % 3;
    const bool backwards = (in.byte() & 1) != 0;
    const std::size_t row_bytes = (length + gap) * width;
    std::vector<uint8_t> block(rows * row_bytes);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] =
            first.storage.empty() ? 0 : first.storage[(i * 7 + i / 5) % first.storage.size()];
    }
    for (std::size_t i = 0; i < block.size() && !in.empty(); i += 1 + in.byte() % 64)
        block[i] = in.byte();
    const char* base = reinterpret_cast<const char*>(block.data());
    const auto stride = static_cast<int64_t>(row_bytes);
    const ProbabilityRows batch{first.kind,
                                backwards && rows > 0 ? base + (rows - 1) * row_bytes : base, rows,
                                length, backwards ? -stride : stride};
    std::vector<uint64_t> symbols(rows);
    for (uint64_t& s : symbols)
        s = length == 0 ? in.byte() : in.byte() % (length + 1);

    // A coder somewhere in a stream: a few steps encoded, a stream loaded.
    CoderState state;
    const std::vector<uint8_t> stream = in.bytes(16);
    load_stream(state, stream.data(), stream.size());
    const float half[2] = {0.5f, 0.5f};
    for (int i = 0; i < in.byte() % 4; ++i)
        encode_symbol(state, {ElementKind::Float32, half, 2}, i & 1);

    const CoderState before = copy_of(state);
    CoderState stepped = copy_of(state);
    StepStatus expected = StepStatus::Coded;
    for (uint64_t r = 0; r < rows && expected == StepStatus::Coded; ++r)
        expected = encode_symbol(stepped, batch.row(r), symbols[r]);
    const BatchOutcome outcome = encode_rows(state, batch, symbols.data());
    if (outcome.status != expected) std::abort();
    if (!same(state, outcome.status == StepStatus::Coded ? stepped : before)) std::abort();

    // Decoding the same rows from wherever the decoder stands.
    CoderState decoder = copy_of(before);
    CoderState decoder_stepped = copy_of(before);
    std::vector<uint64_t> decoded(rows), one_by_one(rows);
    expected = StepStatus::Coded;
    for (uint64_t r = 0; r < rows && expected == StepStatus::Coded; ++r) {
        const DecodeOutcome step = decode_symbol(decoder_stepped, batch.row(r));
        expected = step.status;
        one_by_one[r] = step.symbol;
    }
    const BatchOutcome decode = decode_rows(decoder, batch, decoded.data());
    if (decode.status != expected) std::abort();
    if (decode.status == StepStatus::Coded) {
        if (decoded != one_by_one || !same(decoder, decoder_stepped)) std::abort();
    } else if (!same(decoder, before)) {
        std::abort();
    }
    return 0;
}
