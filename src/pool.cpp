#include "pool.hpp"

#include "names.hpp"

namespace korvane {
namespace {

OwnedRef none() { return OwnedRef::new_reference(Py_None); }

// {size: [] for size in self.BUCKET_SIZES_BYTES}
OwnedRef new_buckets(PyObject* self) {
  OwnedRef sizes = OwnedRef::steal(PyObject_GetAttr(self, names.bucket_sizes_bytes));
  OwnedRef iterator = sizes ? OwnedRef::steal(PyObject_GetIter(sizes.get())) : OwnedRef();
  OwnedRef buckets = iterator ? OwnedRef::steal(PyDict_New()) : OwnedRef();
  if (!buckets) {
    return {};
  }
  while (OwnedRef size = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    OwnedRef list = OwnedRef::steal(PyList_New(0));
    if (!list || PyDict_SetItem(buckets.get(), size.get(), list.get()) < 0) {
      return {};
    }
  }
  return PyErr_Occurred() ? OwnedRef() : std::move(buckets);
}

OwnedRef new_counters() {
  OwnedRef counters = OwnedRef::steal(PyDict_New());
  OwnedRef zero = OwnedRef::steal(PyLong_FromLong(0));
  if (!counters || !zero) {
    return {};
  }
  for (PyObject* key : {names.leases, names.evictions, names.hits, names.misses}) {
    if (PyDict_SetItem(counters.get(), key, zero.get()) < 0) {
      return {};
    }
  }
  return counters;
}

// Each attribute is assigned once its value is whole, in the order the pool's state lists them.
OwnedRef pool_init(const GlobalScope& /*scope*/, PyObject* const* args) {
  PyObject* self = args[0];
  OwnedRef max_bytes = OwnedRef::new_reference(args[1]);
  if (max_bytes.get() == Py_None) {
    OwnedRef budget =
        OwnedRef::steal(PyObject_CallMethodNoArgs(self, names.compute_default_budget));
    if (!budget) {
      return {};
    }
    max_bytes = convert_int_result(budget.get(), /*none_allowed=*/true);
    if (!max_bytes) {
      return {};
    }
  }
  if (PyObject_SetAttr(self, names.max_bytes, max_bytes.get()) < 0) {
    return {};
  }
  OwnedRef buckets = new_buckets(self);
  if (!buckets || PyObject_SetAttr(self, names.buckets, buckets.get()) < 0) {
    return {};
  }
  OwnedRef leased = OwnedRef::steal(PyDict_New());
  if (!leased || PyObject_SetAttr(self, names.leased, leased.get()) < 0) {
    return {};
  }
  OwnedRef counters = new_counters();
  if (!counters || PyObject_SetAttr(self, names.stats, counters.get()) < 0) {
    return {};
  }
  return none();
}

OwnedRef not_built_yet(const GlobalScope& /*scope*/, PyObject* const* /*args*/) {
  PyErr_SetString(PyExc_NotImplementedError, "this pool operation is not built yet");
  return {};
}

constexpr Parameter kSelf = {"self", IntConversion::none};

}  // namespace

const FunctionSpec pool_init_spec = {
    "__init__", "PinnedMemoryPool.__init__",
    2, {kSelf, {"max_bytes", IntConversion::optional}},
    1, {{"max_bytes", "Optional[int]"}},
    pool_init,
};

const FunctionSpec pool_lease_spec = {
    "lease", "PinnedMemoryPool.lease",
    2, {kSelf, {"nbytes", IntConversion::required}},
    2, {{"nbytes", "int"}, {"return", "torch.Tensor"}},
    not_built_yet,
};

const FunctionSpec pool_release_spec = {
    "release", "PinnedMemoryPool.release",
    2, {kSelf, {"buf", IntConversion::none}},
    2, {{"buf", "torch.Tensor"}, {"return", "None"}},
    not_built_yet,
};

const FunctionSpec pool_stats_spec = {
    "stats", "PinnedMemoryPool.stats",
    1, {kSelf},
    1, {{"return", "dict[str, Any]"}},
    not_built_yet,
};

const FunctionSpec pool_is_under_pressure_spec = {
    "is_under_pressure", "PinnedMemoryPool.is_under_pressure",
    1, {kSelf},
    1, {{"return", "bool"}},
    not_built_yet,
};

const FunctionSpec pool_round_to_bucket_spec = {
    "_round_to_bucket", "PinnedMemoryPool._round_to_bucket",
    2, {kSelf, {"nbytes", IntConversion::required}},
    2, {{"nbytes", "int"}, {"return", "int"}},
    not_built_yet,
};

const FunctionSpec pool_evict_oldest_spec = {
    "_evict_oldest", "PinnedMemoryPool._evict_oldest",
    1, {kSelf},
    1, {{"return", "None"}},
    not_built_yet,
};

const FunctionSpec pool_total_allocated_spec = {
    "_total_allocated", "PinnedMemoryPool._total_allocated",
    1, {kSelf},
    1, {{"return", "int"}},
    not_built_yet,
};

}  // namespace korvane
