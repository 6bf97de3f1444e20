#pragma once

#include "native_function.hpp"

namespace korvane {

// The methods of PinnedMemoryPool, in the order the class defines them.
extern const FunctionDef pool_init_def;
extern const FunctionDef pool_lease_def;
extern const FunctionDef pool_release_def;
extern const FunctionDef pool_stats_def;
extern const FunctionDef pool_is_under_pressure_def;
extern const FunctionDef pool_round_to_bucket_def;
extern const FunctionDef pool_evict_oldest_def;
extern const FunctionDef pool_total_allocated_def;

}  // namespace korvane
