// Many coding steps in one call, one probability vector per row, all or nothing: a batch
// with a refused row leaves the coder exactly as it was before the batch.
#pragma once

#include <cstddef>
#include <cstdint>

#include "coder_state.hpp"
#include "probability_view.hpp"
#include "step_status.hpp"

namespace vantor {

// Rows of equal length, each contiguous, one after another at a fixed distance in bytes
// (any distance, zero and negative included).
struct ProbabilityRows {
    ElementKind kind;
    const char* first;  // the first element of row 0
    uint64_t rows;
    uint64_t length;     // elements per row
    int64_t row_stride;  // bytes from one row to the next

    ProbabilityView row(uint64_t r) const { return {kind, row_start(r), length}; }

    // Row r's elements, for a caller that knows the kind.
    template <ElementKind K>
    const Storage<K>* elements(uint64_t r) const {
        return static_cast<const Storage<K>*>(static_cast<const void*>(row_start(r)));
    }

    const char* row_start(uint64_t r) const { return first + static_cast<int64_t>(r) * row_stride; }
};

// Where a batch stopped: `row` is the refused row (status not Coded), or the row count.
// `symbol` is the refused row's symbol as the single step reports it.
struct BatchOutcome {
    StepStatus status;
    uint64_t row;
    uint64_t symbol;
};

// Encodes symbols[r] under row r for every row, or refuses at the first row the single
// step would refuse and puts the coder back as it was.
BatchOutcome encode_rows(CoderState& state, const ProbabilityRows& rows, const uint64_t* symbols);

// Decodes one symbol per row into symbols[r], or refuses as encode_rows does; after a
// refusal the content of `symbols` is unspecified.
BatchOutcome decode_rows(CoderState& state, const ProbabilityRows& rows, uint64_t* symbols);

}  // namespace vantor
