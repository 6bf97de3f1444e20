#include <new>

#include "budget.hpp"
#include "names.hpp"
#include "native_function.hpp"
#include "pool.hpp"
#include "py_compat.hpp"

namespace korvane {

Names names;

int intern_names() {
  static bool interned = false;
  if (interned) {
    return 0;
  }
  const struct {
    PyObject** slot;
    const char* text;
  } table[] = {
      {&names.torch, "torch"},
      {&names.psutil, "psutil"},
      {&names.detect_vram_gb, "_detect_vram_gb"},
      {&names.empty, "empty"},
      {&names.uint8, "uint8"},
      {&names.cuda, "cuda"},
      {&names.is_available, "is_available"},
      {&names.get_device_properties, "get_device_properties"},
      {&names.total_memory, "total_memory"},
      {&names.virtual_memory, "virtual_memory"},
      {&names.total, "total"},
      {&names.available, "available"},
      {&names.numel, "numel"},
      {&names.bucket_sizes_bytes, "BUCKET_SIZES_BYTES"},
      {&names.max_bytes, "max_bytes"},
      {&names.buckets, "_buckets"},
      {&names.leased, "_leased"},
      {&names.stats, "_stats"},
      {&names.round_to_bucket, "_round_to_bucket"},
      {&names.total_allocated, "_total_allocated"},
      {&names.evict_oldest, "_evict_oldest"},
      {&names.compute_default_budget, "_compute_default_budget"},
      {&names.is_under_pressure, "is_under_pressure"},
      {&names.leases, "leases"},
      {&names.evictions, "evictions"},
      {&names.hits, "hits"},
      {&names.misses, "misses"},
      {&names.total_allocated_bytes, "total_allocated_bytes"},
      {&names.leased_count, "leased_count"},
      {&names.pop, "pop"},
      {&names.append, "append"},
      {&names.items, "items"},
      {&names.values, "values"},
  };
  for (const auto& entry : table) {
    if (*entry.slot == nullptr &&
        (*entry.slot = PyUnicode_InternFromString(entry.text)) == nullptr) {
      return -1;
    }
  }
  if (names.empty_kwnames == nullptr &&
      (names.empty_kwnames = Py_BuildValue("(ss)", "dtype", "pin_memory")) == nullptr) {
    return -1;
  }
  if (names.bytes_per_mib == nullptr &&
      (names.bytes_per_mib = PyLong_FromLong(1L << 20)) == nullptr) {
    return -1;
  }
  if (names.bytes_per_gib == nullptr &&
      (names.bytes_per_gib = PyLong_FromLong(1L << 30)) == nullptr) {
    return -1;
  }
  if (names.pressure_ratio == nullptr &&
      (names.pressure_ratio = PyFloat_FromDouble(0.1)) == nullptr) {
    return -1;
  }
  if (names.builtin_sum == nullptr &&
      (names.builtin_sum = Py_XNewRef(PyDict_GetItemString(PyEval_GetBuiltins(), "sum"))) ==
          nullptr) {
    PyErr_SetString(PyExc_SystemError, "builtins without sum");
    return -1;
  }
  interned = true;
  return 0;
}

namespace {

constexpr long kBucketSizesBytes[] = {1L << 20, 1L << 22, 1L << 24, 1L << 26, 1L << 28};

enum class Wrapping { plain, static_method, property };

struct ClassMember {
  const FunctionDef* definition;
  Wrapping wrapping;
  bool defaults_to_none;
};

// What help() shows of the class: the class docstring of pinned_pool.pyi, which a test compares.
constexpr const char* kPoolDoc = R"(A pool of pinned `torch.uint8` host buffers in five bucket sizes under a soft budget.

Make one pool per process and lease through it:

    pool = PinnedMemoryPool()          # budget from this machine's memory
    pool = PinnedMemoryPool(2 << 30)   # or a budget of 2 GiB
    buf = pool.lease(nbytes)           # a whole bucket of at least nbytes
    buf[:nbytes].copy_(src)            # copy through it, and wait for any asynchronous copy
    pool.release(buf)                  # back to its bucket for the next lease of that size
    pool.stats()                       # what the pool did, as a dict

Most callers lease through `korvane.offload.stage_to_host`, `stage_many` or
`offload_module`, which release for them; `korvane.offload.release_idle_memory(pool)`
gives the pooled buffers back to the system.

Buckets: 1, 4, 16, 64 and 256 MiB (`BUCKET_SIZES_BYTES`). A lease gets the whole buffer of
the smallest bucket that holds the request, never a slice of one.

Budget: the pool counts the bucket sizes of its pooled and leased buffers. A lease that must
allocate while that count plus the new bucket exceeds `max_bytes` first evicts one pooled
buffer, the oldest of the largest non-empty bucket, then allocates all the same: the budget
is soft and a lease never fails for want of it. Without an explicit budget the pool takes
the smallest of a share of total RAM (10%, 15% or 20%, by the RAM and the memory of CUDA
device 0), half of the available RAM, and a ceiling of 2, 8 or 16 GiB for the same tiers.

Buffers are allocated with `pin_memory=True` where CUDA is available, in ordinary host
memory otherwise. Release every leased buffer exactly once, and only after any asynchronous
copy through it has finished. A buffer dropped without `release` is freed by torch, but its
bucket size stays counted for the life of the pool, so later misses evict sooner.

Failures: the constructor raises what psutil or the CUDA query raises while it works out the
default budget. Integer arguments take an `int` or anything `int()` converts (a float is
truncated); a string, bytes, a list or `None` (but for the budget) raise `TypeError` before
anything changes. Every other exception, from torch or from an override, reaches the caller
unchanged, and the steps before it stay done.)";

// The class namespace after BUCKET_SIZES_BYTES, in definition order.
const ClassMember kClassMembers[] = {
    {&pool_init_def, Wrapping::plain, true},
    {&compute_default_budget_def, Wrapping::static_method, false},
    {&pool_lease_def, Wrapping::plain, false},
    {&pool_release_def, Wrapping::plain, false},
    {&pool_stats_def, Wrapping::plain, false},
    {&pool_is_under_pressure_def, Wrapping::property, false},
    {&pool_round_to_bucket_def, Wrapping::plain, false},
    {&pool_evict_oldest_def, Wrapping::plain, false},
    {&pool_total_allocated_def, Wrapping::plain, false},
};

int bind(PyObject* globals, const char* name, const OwnedRef& value) {
  return value ? PyDict_SetItemString(globals, name, value.get()) : -1;
}

OwnedRef new_bucket_sizes() {
  OwnedRef sizes = OwnedRef::steal(PyList_New(0));
  for (long size : kBucketSizesBytes) {
    OwnedRef entry = OwnedRef::steal(PyLong_FromLong(size));
    if (!sizes || !entry || PyList_Append(sizes.get(), entry.get()) < 0) {
      return {};
    }
  }
  return sizes;
}

OwnedRef new_member(const ClassMember& member, PyObject* globals) {
  OwnedRef defaults;
  if (member.defaults_to_none && !(defaults = OwnedRef::steal(PyTuple_Pack(1, Py_None)))) {
    return {};
  }
  OwnedRef function = native_function_new(*member.definition, globals, defaults.get());
  if (!function) {
    return {};
  }
  switch (member.wrapping) {
    case Wrapping::static_method:
      return OwnedRef::steal(PyStaticMethod_New(function.get()));
    case Wrapping::property:
      return OwnedRef::steal(
          PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), function.get()));
    case Wrapping::plain:
      break;
  }
  return function;
}

// type("PinnedMemoryPool", (), namespace), as a class statement without bases does.
OwnedRef new_pool_class(PyObject* globals) {
  OwnedRef ns = OwnedRef::steal(PyDict_New());
  if (!ns) {
    return {};
  }
  const OwnedRef module_name =
      OwnedRef::new_reference(PyDict_GetItemString(globals, "__name__"));
  if (!module_name) {
    PyErr_SetString(PyExc_SystemError, "module namespace without __name__");
    return {};
  }
  OwnedRef qualname = OwnedRef::steal(PyUnicode_FromString("PinnedMemoryPool"));
  OwnedRef doc = OwnedRef::steal(PyUnicode_FromString(kPoolDoc));
  if (!qualname || !doc || PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
      bind(ns.get(), "BUCKET_SIZES_BYTES", new_bucket_sizes()) < 0) {
    return {};
  }
  for (const ClassMember& member : kClassMembers) {
    if (bind(ns.get(), member.definition->name, new_member(member, globals)) < 0) {
      return {};
    }
  }
  return OwnedRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O",
                                               "PinnedMemoryPool", ns.get()));
}

OwnedRef import(const char* name) {
  OwnedRef module_name = OwnedRef::steal(PyUnicode_FromString(name));
  return module_name ? OwnedRef::steal(PyImport_Import(module_name.get())) : OwnedRef();
}

// The module body: each name is bound as soon as its statement succeeds.
int run_module_body(PyObject* module) {
  PyObject* globals = PyModule_GetDict(module);
  OwnedRef typing = import("typing");
  if (!typing ||
      bind(globals, "Any", OwnedRef::steal(PyObject_GetAttrString(typing.get(), "Any"))) < 0 ||
      bind(globals, "Optional",
           OwnedRef::steal(PyObject_GetAttrString(typing.get(), "Optional"))) < 0 ||
      bind(globals, "psutil", import("psutil")) < 0 ||
      bind(globals, "torch", import("torch")) < 0 ||
      bind(globals, "_detect_vram_gb",
           native_function_new(detect_vram_gb_def, globals, nullptr)) < 0) {
    return -1;
  }
  return bind(globals, "PinnedMemoryPool", new_pool_class(globals));
}

// Handles kept in static tables are destroyed after the interpreter: from then on they must
// not release what they hold.
int watch_finalization() {
  static bool watching = false;
  if (!watching && Py_AtExit([] { interpreter_finalized = true; }) < 0) {
    PyErr_SetString(PyExc_RuntimeError, "cannot register a cleanup function");
    return -1;
  }
  watching = true;
  return 0;
}

int pinned_pool_exec(PyObject* module) {
  try {
    if (watch_finalization() < 0 || intern_names() < 0 || native_function_type_ready() < 0) {
      return -1;
    }
    return run_module_body(module);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

PyModuleDef_Slot pinned_pool_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(pinned_pool_exec)},
    KORVANE_MODULE_SLOTS
    {0, nullptr},
};

PyModuleDef pinned_pool_module = {
    PyModuleDef_HEAD_INIT,
    "korvane.offload.pinned_pool",
    nullptr,
    0,
    nullptr,
    pinned_pool_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace korvane

PyMODINIT_FUNC PyInit_pinned_pool() { return PyModuleDef_Init(&korvane::pinned_pool_module); }
