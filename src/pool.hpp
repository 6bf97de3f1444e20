#pragma once

#include "native_function.hpp"

namespace korvane {

// The methods of PinnedMemoryPool, in the order the class defines them.
extern const FunctionSpec pool_init_spec;
extern const FunctionSpec pool_lease_spec;
extern const FunctionSpec pool_release_spec;
extern const FunctionSpec pool_stats_spec;
extern const FunctionSpec pool_is_under_pressure_spec;
extern const FunctionSpec pool_round_to_bucket_spec;
extern const FunctionSpec pool_evict_oldest_spec;
extern const FunctionSpec pool_total_allocated_spec;

}  // namespace korvane
