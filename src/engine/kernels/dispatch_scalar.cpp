// Targets without our vector paths run the scalar rule only.
#include "dispatch.hpp"

namespace vantor::kernels {

const BlockStatsTable* active_block_stats() {
    return nullptr;
}
const char* active_path_name() {
    return "scalar";
}
void use_block_stats(const BlockStatsTable*) {}
bool cpu_supports(const BlockStatsTable* table) {
    return table == nullptr;
}
std::span<const BlockStatsTable* const> compiled_paths() {
    static const BlockStatsTable* const paths[] = {nullptr};
    return paths;
}

}  // namespace vantor::kernels
