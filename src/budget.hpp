#pragma once

#include "native_function.hpp"

namespace korvane {

// _detect_vram_gb(): the memory of CUDA device 0 in GiB, 0.0 without CUDA.
extern const FunctionDef detect_vram_gb_def;

// _compute_default_budget() -> int: the byte budget of a pool built without one.
extern const FunctionDef compute_default_budget_def;

}  // namespace korvane
