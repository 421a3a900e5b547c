#include "frequency_model.hpp"

#include "frequency_kernels.hpp"

namespace vantor {

namespace {

template <ElementKind K>
const kernels::Storage<K>* elements_of(const ProbabilityView& view) {
    return static_cast<const kernels::Storage<K>*>(view.data);
}

}  // namespace

TableSummary scan_table(const ProbabilityView& view) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::scan_table<kind()>(elements_of<kind()>(view), view.count);
    });
}

SymbolRange symbol_range(const ProbabilityView& view, TableSummary summary, uint64_t symbol) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::symbol_range<kind()>(elements_of<kind()>(view), view.count, summary,
                                             symbol);
    });
}

SymbolSearch find_symbol(const ProbabilityView& view, TableSummary summary, uint64_t target) {
    return visit_kind(view.kind, [&](auto kind) {
        return kernels::find_symbol<kind()>(elements_of<kind()>(view), view.count, summary,
                                            target);
    });
}

}  // namespace vantor
