// The encoder's step, inline, so that the single step and the batch loop compile it into
// their own loops: narrowing to the symbol's share and settling the bits it fixes.
#pragma once

#include <cstdint>

#include "coder_state.hpp"
#include "compiler.hpp"
#include "few_elements.hpp"
#include "frequency_model.hpp"
#include "interval.hpp"
#include "step_status.hpp"

namespace vantor::encoding {

// Appends the low `count` bits of `bits`, earliest highest, count at most 56: with the 7 or
// fewer bits of the partial byte they fit one 64-bit word.
inline void put_bits(CoderState& state, uint64_t bits, unsigned count) {
    const uint64_t word = (uint64_t{state.out_byte} << count) | bits;
    unsigned filled = state.out_bit_count + count;
    if (filled < 8) {  // the usual case: the byte is not complete yet
        state.out_byte = static_cast<uint8_t>(word);
        state.out_bit_count = static_cast<uint8_t>(filled);
        return;
    }
    while (filled >= 8) {
        filled -= 8;
        state.output.push(static_cast<uint8_t>(word >> filled));
    }
    state.out_byte = static_cast<uint8_t>(word & ((1u << filled) - 1));
    state.out_bit_count = static_cast<uint8_t>(filled);
}

// Any number of bits, in pieces.
inline void put_long(CoderState& state, uint64_t bits, unsigned count) {
    if (count > 32) {
        put_bits(state, bits >> 32, count - 32);
        count = 32;
    }
    put_bits(state, bits & 0xFFFFFFFF, count);
}

// `count` copies of one bit.
inline void put_run(CoderState& state, unsigned bit, uint64_t count) {
    constexpr unsigned PIECE = 32;
    const uint64_t all = bit != 0 ? 0xFFFFFFFF : 0;
    for (; count > PIECE; count -= PIECE)
        put_bits(state, all, PIECE);
    put_bits(state, all >> (PIECE - count), static_cast<unsigned>(count));
}

// One bit followed by every deferred opposite bit.
inline void settle_bit(CoderState& state, unsigned bit) {
    put_bits(state, bit, 1);
    put_run(state, bit ^ 1u, state.pending_bits);
    state.pending_bits = 0;
}

// The bits a renormalisation settles and the expansions it defers, through the state: any
// count of deferred bits, any room left in the output.
VANTOR_NOINLINE inline void write_settled(CoderState& state, Renormalisation r) {
    if (r.settled != 0) {
        const unsigned first = static_cast<unsigned>(r.settled_bits >> (r.settled - 1));
        settle_bit(state, first);
        const unsigned rest = r.settled - 1;
        put_long(state, r.settled_bits & ((uint64_t{1} << rest) - 1), rest);
    }
    state.pending_bits += r.expansions;
}

// The encoder's registers for a run of steps, apart from the state so that they can stay in
// machine registers from step to step: the interval as its low end and its width (which is
// what the next narrowing scales, and which a renormalisation only shifts), the deferred
// bits, and the partial byte widened to a word, whose completed bytes a step stores at once.
class Registers {
  public:
    explicit Registers(CoderState& state) : state_(state) { load(); }

    // Back into the state; the registers stay valid.
    void save() {
        state_.low = low_;
        state_.high = low_ + width_ - 1;
        state_.pending_bits = pending_;
        state_.out_byte = static_cast<uint8_t>(bits_ & ((1u << bit_count_) - 1));
        state_.out_bit_count = static_cast<uint8_t>(bit_count_);
        state_.output.extend(static_cast<std::size_t>(at_ - state_.output.free_space()));
    }

    // Narrows to `share` and writes the bits that settles.
    VANTOR_ALWAYS_INLINE void code(SymbolRange share) {
        const uint64_t low_end = scale_by_share(width_, share.cum_low);
        const uint64_t high_end = scale_by_share(width_, share.cum_high);
        const uint64_t low = low_ + low_end, high = low_ + high_end - 1;
        const Renormalisation r = renormalisation_of(low, high);
        const unsigned shift = r.settled + r.expansions;
        low_ = shifted_low(low, shift);
        width_ = (high_end - low_end) << shift;  // high and low shift alike
        if (pending_ + r.settled <= MAX_RUN && at_ < word_end_) [[likely]] {
            write(r);
        } else {
            save();
            write_settled(state_, r);
            load();
        }
    }

  private:
    // With the 7 or fewer bits of the partial byte, a run this long fits one word.
    static constexpr uint64_t MAX_RUN = 56;

    void load() {
        // (A step would complete a byte of more than 7 bits and hide it.)
        VANTOR_ASSERT(state_.out_bit_count <= 7);
        low_ = state_.low;
        width_ = state_.high - state_.low + 1;
        pending_ = state_.pending_bits;
        bits_ = state_.out_byte;
        bit_count_ = state_.out_bit_count;
        at_ = state_.output.free_space();
        const std::size_t room = state_.output.free_bytes();
        word_end_ = at_ + (room >= 8 ? room - 7 : 0);
    }

    // The settled bits with the deferred ones after the first, as one run of at most MAX_RUN
    // bits, with masks rather than branches on the bits (new rows mispredict those). The
    // first bit, `pending_` copies of its opposite, then the rest: in value, the settled bits
    // plus (2^pending - 1) * 2^(settled - 1), whichever the first bit. With none settled the
    // run is empty and the expansions add to the deferred bits.
    VANTOR_ALWAYS_INLINE void write(Renormalisation r) {
        const uint64_t any = all_ones_if(r.settled != 0);
        const uint64_t deferred = (((uint64_t{1} << pending_) - 1) << r.settled) >> 1;
        const uint64_t run = (r.settled_bits + deferred) & any;
        const auto length = static_cast<unsigned>((r.settled + pending_) & any);
        pending_ = (pending_ & ~any) + r.expansions;
        bits_ = (bits_ << length) | run;
        bit_count_ += length;
        // Every bit not yet stored, earliest first; the bytes they complete are kept.
        store_big_endian(at_, (bits_ << (63 - bit_count_)) << 1);
        at_ += bit_count_ >> 3;
        bit_count_ &= 7;
    }

    CoderState& state_;
    uint64_t low_, width_, pending_;
    uint64_t bits_;       // the partial byte in the low bit_count_ bits, earlier bits above
    unsigned bit_count_;  // 0..7 between steps
    uint8_t* at_;         // the output's free space, owned by the state's buffer
    uint8_t* word_end_;   // where there is no longer room for a word
};

// What a step needs before it touches the registers: the symbol's share, or why there is
// none.
struct Prepared {
    StepStatus status;
    SymbolRange share;
};

// `MadeAhead` as for short_share.
template <ElementKind K, bool MadeAhead = false>
VANTOR_ALWAYS_INLINE Prepared prepare(const Storage<K>* elements, uint64_t count, uint64_t symbol) {
    if (count == 0) return {StepStatus::EmptyProbabilities, {}};
    if (symbol >= count) return {StepStatus::SymbolOutOfRange, {}};
    const SymbolRange share = count <= SMALL_COUNT
                                  ? short_share<K, MadeAhead>(elements, count, symbol)
                                  : encoder_share_of<K>(elements, count, symbol);
    return {share.codable ? StepStatus::Coded : StepStatus::NoShare, share};
}

// encode_symbol on `count` elements of kind K.
template <ElementKind K>
VANTOR_ALWAYS_INLINE StepStatus step(Registers& registers, const Storage<K>* elements,
                                     uint64_t count, uint64_t symbol) {
    const Prepared prepared = prepare<K>(elements, count, symbol);
    if (prepared.status == StepStatus::Coded) registers.code(prepared.share);
    return prepared.status;
}

}  // namespace vantor::encoding
