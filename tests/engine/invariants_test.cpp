// The engine tests run with the coder's invariants asserted after every step: a field
// knocked out of its range is caught by the next completed operation.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support.hpp"

namespace vantor {
namespace {

const std::vector<double> CERTAIN{1.0};  // a step that moves no field by itself

struct Corruption {
    const char* name;
    std::function<void(CoderState&)> corrupt;
    std::function<void(CoderState&)> operation;
};

void encode_certain(CoderState& s) {
    encode_symbol(s, testing::view_of(CERTAIN), 0);
}
void decode_certain(CoderState& s) {
    decode_symbol(s, testing::view_of(CERTAIN));
}

class Invariants : public ::testing::TestWithParam<Corruption> {};

TEST_P(Invariants, AreCheckedAfterTheNextOperation) {
#ifndef VANTOR_DEBUG
    GTEST_SKIP() << "built without VANTOR_DEBUG";
#endif
    CoderState state;
    const std::vector<uint8_t> stream{0x5F, 0x10};
    load_stream(state, stream.data(), stream.size());
    GetParam().operation(state);  // intact: passes
    GetParam().corrupt(state);
    EXPECT_DEATH(GetParam().operation(state), "assertion failed");
}

INSTANTIATE_TEST_SUITE_P(
    Fields, Invariants,
    ::testing::Values(
        Corruption{"WrappedPendingCount", [](CoderState& s) { s.pending_bits = ~uint64_t{0}; },
                   encode_certain},
        Corruption{"FullOutputByte", [](CoderState& s) { s.out_bit_count = 8; }, encode_certain},
        Corruption{"HighAboveTheRange", [](CoderState& s) { s.high = INITIAL_HIGH + 1; },
                   [](CoderState& s) { finish_stream(s); }},
        Corruption{"ReaderPastItsByte", [](CoderState& s) { s.in_bits_left = 8; }, decode_certain}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vantor
