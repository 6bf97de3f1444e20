#pragma once

#include "owned_ref.hpp"

namespace korvane {

// Interned attribute and key names, and the few constants the bodies need.
// Created once, at the first import, and kept for the life of the process.
struct Names {
  // module-level names
  PyObject* torch;
  PyObject* psutil;
  PyObject* detect_vram_gb;
  // torch and psutil attributes
  PyObject* empty;
  PyObject* uint8;
  PyObject* cuda;
  PyObject* is_available;
  PyObject* get_device_properties;
  PyObject* total_memory;
  PyObject* virtual_memory;
  PyObject* total;
  PyObject* available;
  PyObject* numel;
  // pool attributes
  PyObject* bucket_sizes_bytes;
  PyObject* max_bytes;
  PyObject* buckets;
  PyObject* leased;
  PyObject* stats;
  PyObject* round_to_bucket;
  PyObject* total_allocated;
  PyObject* evict_oldest;
  PyObject* compute_default_budget;
  PyObject* is_under_pressure;
  // counter and statistics keys
  PyObject* leases;
  PyObject* evictions;
  PyObject* hits;
  PyObject* misses;
  PyObject* total_allocated_bytes;
  PyObject* leased_count;
  // container methods
  PyObject* pop;
  PyObject* append;
  PyObject* items;
  PyObject* values;
  // keyword names of the allocation call: ("dtype", "pin_memory")
  PyObject* empty_kwnames;
  // constants and builtins
  PyObject* bytes_per_mib;
  PyObject* bytes_per_gib;
  PyObject* pressure_ratio;  // 0.1
  PyObject* builtin_sum;
};

extern Names names;

// Fills `names` on the first call; later calls do nothing. -1 with an exception set on failure.
int intern_names();

}  // namespace korvane
