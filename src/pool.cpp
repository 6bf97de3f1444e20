#include "pool.hpp"

#include <climits>

#include "containers.hpp"
#include "identity_guard.hpp"
#include "names.hpp"
#include "py_compat.hpp"

namespace korvane {
namespace {

OwnedRef none() { return OwnedRef::new_reference(Py_None); }

OwnedRef attribute(PyObject* object, PyObject* name) {
  return OwnedRef::steal(PyObject_GetAttr(object, name));
}

OwnedRef call_method(PyObject* object, PyObject* name) {
  return OwnedRef::steal(PyObject_CallMethodNoArgs(object, name));
}

// module.name for the names this file reads from torch, none of which the module type itself
// defines: for a plain module the generic lookup ends in the module's namespace, so read it there.
// Anything else, or a name the namespace lacks (a module __getattr__ may supply it), takes the
// generic way.
OwnedRef module_attribute(PyObject* module, PyObject* name) {
  if (PyModule_CheckExact(module)) {
    if (PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name)) {
      return OwnedRef::new_reference(value);
    }
    if (PyErr_Occurred()) {
      return {};
    }
  }
  return attribute(module, name);
}

// {size: [] for size in self.BUCKET_SIZES_BYTES}
OwnedRef new_buckets(PyObject* self) {
  OwnedRef sizes = attribute(self, names.bucket_sizes_bytes);
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
    OwnedRef budget = call_method(self, names.compute_default_budget);
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
  guard_forget(self);
  OwnedRef counters = new_counters();
  if (!counters || PyObject_SetAttr(self, names.stats, counters.get()) < 0) {
    return {};
  }
  return none();
}

// Compares two plain ints without the number protocol: -1, 0 or 1 in *order. False, with
// nothing raised, for anything but two exact ints in the range of long long.
bool compare_plain_ints(PyObject* first, PyObject* second, int* order) {
  if (!PyLong_CheckExact(first) || !PyLong_CheckExact(second)) {
    return false;
  }
  const digit a_digit = single_digit_value(first);
  const digit b_digit = single_digit_value(second);
  if (a_digit != 0 && b_digit != 0) {
    *order = (a_digit > b_digit) - (a_digit < b_digit);
    return true;
  }
  int first_overflow = 0;
  int second_overflow = 0;
  const long long a = PyLong_AsLongLongAndOverflow(first, &first_overflow);
  const long long b = PyLong_AsLongLongAndOverflow(second, &second_overflow);
  *order = (a > b) - (a < b);
  return first_overflow == 0 && second_overflow == 0;
}

// 1 when `value` is true as `if value:` judges it, 0 when not, -1 with an exception set. A plain
// list is true when it is not empty.
int is_true(const OwnedRef& value) {
  if (value && PyList_CheckExact(value.get())) {
    return PyList_GET_SIZE(value.get()) != 0;
  }
  return value ? PyObject_IsTrue(value.get()) : -1;
}

// self._stats[key]
OwnedRef counter(PyObject* self, PyObject* key) {
  OwnedRef counters = attribute(self, names.stats);
  return counters ? get_item(counters.get(), key) : OwnedRef();
}

// self._stats[key] += 1
int count(PyObject* self, PyObject* key) {
  OwnedRef counters = attribute(self, names.stats);
  if (!counters) {
    return -1;
  }
  if (PyDict_CheckExact(counters.get())) {
    // A plain dict holding a plain int: the same sum without the generic number protocol.
    PyObject* value = PyDict_GetItemWithError(counters.get(), key);
    if (value != nullptr && increment_unshared_int(value)) {
      return 0;
    }
    int overflow = 0;
    const long current = value != nullptr && PyLong_CheckExact(value)
                             ? PyLong_AsLongAndOverflow(value, &overflow)
                             : -1;
    if (current >= 0 && overflow == 0 && current < LONG_MAX) {
      OwnedRef next = OwnedRef::steal(PyLong_FromLong(current + 1));
      return next ? PyDict_SetItem(counters.get(), key, next.get()) : -1;
    }
    if (PyErr_Occurred()) {
      return -1;
    }
  }
  OwnedRef value = OwnedRef::steal(PyObject_GetItem(counters.get(), key));
  OwnedRef one = value ? OwnedRef::steal(PyLong_FromLong(1)) : OwnedRef();
  OwnedRef sum = one ? OwnedRef::steal(PyNumber_InPlaceAdd(value.get(), one.get())) : OwnedRef();
  return sum ? PyObject_SetItem(counters.get(), key, sum.get()) : -1;
}

// torch.empty(bucket_size, dtype=torch.uint8, pin_memory=torch.cuda.is_available()), with the
// lookups in the order that expression makes them.
OwnedRef new_buffer(const GlobalScope& scope, PyObject* bucket_size) {
  OwnedRef torch = scope.load(names.torch);
  OwnedRef empty = torch ? module_attribute(torch.get(), names.empty) : OwnedRef();
  if (!empty || !(torch = scope.load(names.torch))) {
    return {};
  }
  OwnedRef dtype = module_attribute(torch.get(), names.uint8);
  if (!dtype || !(torch = scope.load(names.torch))) {
    return {};
  }
  OwnedRef cuda = module_attribute(torch.get(), names.cuda);
  OwnedRef is_available = cuda ? module_attribute(cuda.get(), names.is_available) : OwnedRef();
  OwnedRef pin_memory =
      is_available ? OwnedRef::steal(PyObject_CallNoArgs(is_available.get())) : OwnedRef();
  if (!pin_memory) {
    return {};
  }
  PyObject* const args[] = {bucket_size, dtype.get(), pin_memory.get()};
  return OwnedRef::steal(PyObject_Vectorcall(empty.get(), args, 1, names.empty_kwnames));
}

// self._total_allocated() + bucket_size > self.max_bytes
int over_budget(PyObject* self, PyObject* bucket_size) {
  OwnedRef total = call_native_method(self, names.total_allocated, pool_total_allocated_def);
  OwnedRef needed = total ? OwnedRef::steal(PyNumber_Add(total.get(), bucket_size)) : OwnedRef();
  OwnedRef budget = needed ? attribute(self, names.max_bytes) : OwnedRef();
  return is_true(budget ? OwnedRef::steal(PyObject_RichCompare(needed.get(), budget.get(), Py_GT))
                        : OwnedRef());
}

// A miss: at most one eviction when the new buffer would exceed the budget, then the allocation.
OwnedRef allocate(const GlobalScope& scope, PyObject* self, PyObject* bucket_size) {
  const int over = over_budget(self, bucket_size);
  if (over < 0 || (over > 0 && (!call_native_method(self, names.evict_oldest,
                                                    pool_evict_oldest_def) ||
                                count(self, names.evictions) < 0))) {
    return {};
  }
  OwnedRef buf = new_buffer(scope, bucket_size);
  return buf && count(self, names.misses) == 0 ? std::move(buf) : OwnedRef();
}

OwnedRef pool_lease(const GlobalScope& scope, PyObject* const* args) {
  PyObject* self = args[0];
  OwnedRef bucket_size =
      call_native_method(self, names.round_to_bucket, pool_round_to_bucket_def, args[1]);
  OwnedRef buckets = bucket_size ? attribute(self, names.buckets) : OwnedRef();
  OwnedRef bucket =
      buckets ? get_item(buckets.get(), bucket_size.get()) : OwnedRef();
  const int pooled = is_true(bucket);
  if (pooled < 0) {
    return {};
  }
  OwnedRef buf;
  if (pooled > 0) {
    // A hit: last in, first out, and the budget is not looked at.
    buf = pop(bucket.get(), -1);
    if (!buf || count(self, names.hits) < 0) {
      return {};
    }
  } else if (!(buf = allocate(scope, self, bucket_size.get()))) {
    return {};
  }
  OwnedRef leased = attribute(self, names.leased);
  OwnedRef key = leased ? guard_lease(self, buf.get()) : OwnedRef();
  if (!key || set_item(leased.get(), key.get(), bucket_size.get()) < 0 ||
      count(self, names.leases) < 0) {
    return {};
  }
  return buf;
}

// Both plain ints of the same value; compared without the number protocol.
bool equal_plain_ints(PyObject* first, PyObject* second) {
  int order = 0;
  return second != nullptr && compare_plain_ints(first, second, &order) && order == 0;
}

// Each step reads the registry and the buckets anew: a foreign container's membership test may
// run code that replaces them.
OwnedRef pool_release(const GlobalScope& /*scope*/, PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* buf = args[1];
  OwnedRef leased = attribute(self, names.leased);
  OwnedRef key = leased ? guard_key(self, buf) : OwnedRef();
  OwnedRef recorded;
  const int registered = key ? contains(leased.get(), key.get(), &recorded) : -1;
  if (registered <= 0 || !guard_release(self, buf)) {
    return registered < 0 ? OwnedRef() : none();
  }
  // The entry goes before numel() is read, so a failing numel() cannot leave it behind.
  leased = attribute(self, names.leased);
  if (!leased || delete_item(leased.get(), key.get()) < 0) {
    return {};
  }
  OwnedRef bucket_size = call_method(buf, names.numel);
  OwnedRef buckets = bucket_size ? attribute(self, names.buckets) : OwnedRef();
  if (!buckets) {
    return {};
  }
  // The size the registry held is, as a rule, the very key object of its bucket: in a plain
  // dict an equal plain int finds the same entry, by identity rather than by comparing values.
  const bool recorded_size = equal_plain_ints(bucket_size.get(), recorded.get());
  const auto size_key = [&](const OwnedRef& in) {
    return recorded_size && PyDict_CheckExact(in.get()) ? recorded.get() : bucket_size.get();
  };
  const int poolable = contains(buckets.get(), size_key(buckets));
  if (poolable <= 0) {
    return poolable < 0 ? OwnedRef() : none();
  }
  buckets = attribute(self, names.buckets);
  OwnedRef bucket = buckets ? get_item(buckets.get(), size_key(buckets)) : OwnedRef();
  return bucket && append(bucket.get(), buf) == 0 ? none() : OwnedRef();
}

int set_report_item(PyObject* report, PyObject* key, OwnedRef value) {
  return value ? PyDict_SetItem(report, key, value.get()) : -1;
}

OwnedRef pool_stats(const GlobalScope& /*scope*/, PyObject* const* args) {
  PyObject* self = args[0];
  OwnedRef counters = attribute(self, names.stats);
  if (!counters) {
    return {};
  }
  // dict(self._stats): a new dict, whatever mapping the counters are kept in.
  OwnedRef report = OwnedRef::steal(
      PyDict_CheckExact(counters.get())
          ? PyDict_Copy(counters.get())
          : PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyDict_Type), counters.get()));
  if (!report ||
      set_report_item(report.get(), names.total_allocated_bytes,
                      call_native_method(self, names.total_allocated,
                                         pool_total_allocated_def)) < 0 ||
      set_report_item(report.get(), names.max_bytes, attribute(self, names.max_bytes)) < 0) {
    return {};
  }
  OwnedRef leased = attribute(self, names.leased);
  const Py_ssize_t leased_count = leased ? PyObject_Size(leased.get()) : -1;
  if (leased_count < 0 ||
      set_report_item(report.get(), names.leased_count,
                      OwnedRef::steal(PyLong_FromSsize_t(leased_count))) < 0 ||
      set_report_item(report.get(), names.is_under_pressure,
                      attribute(self, names.is_under_pressure)) < 0) {
    return {};
  }
  return report;
}

// More than one eviction per ten leases; no division while nothing was leased.
OwnedRef pool_is_under_pressure(const GlobalScope& /*scope*/, PyObject* const* args) {
  PyObject* self = args[0];
  OwnedRef leases = counter(self, names.leases);
  OwnedRef zero = leases ? OwnedRef::steal(PyLong_FromLong(0)) : OwnedRef();
  const int none_leased =
      is_true(zero ? OwnedRef::steal(PyObject_RichCompare(leases.get(), zero.get(), Py_EQ))
                   : OwnedRef());
  if (none_leased != 0) {
    return none_leased < 0 ? OwnedRef() : OwnedRef::new_reference(Py_False);
  }
  OwnedRef evictions = counter(self, names.evictions);
  leases = evictions ? counter(self, names.leases) : OwnedRef();
  OwnedRef ratio =
      leases ? OwnedRef::steal(PyNumber_TrueDivide(evictions.get(), leases.get())) : OwnedRef();
  return ratio ? OwnedRef::steal(PyObject_RichCompare(ratio.get(), names.pressure_ratio, Py_GT))
               : OwnedRef();
}

// format(value / 1048576, format_code)
OwnedRef format_mib(PyObject* value, const char* format_code) {
  OwnedRef mib = OwnedRef::steal(PyNumber_TrueDivide(value, names.bytes_per_mib));
  OwnedRef format_spec = mib ? OwnedRef::steal(PyUnicode_FromString(format_code)) : OwnedRef();
  return format_spec ? OwnedRef::steal(PyObject_Format(mib.get(), format_spec.get())) : OwnedRef();
}

void raise_over_large(PyObject* self, PyObject* nbytes) {
  OwnedRef requested = format_mib(nbytes, ".1f");
  OwnedRef sizes = requested ? attribute(self, names.bucket_sizes_bytes) : OwnedRef();
  OwnedRef minus_one = sizes ? OwnedRef::steal(PyLong_FromLong(-1)) : OwnedRef();
  OwnedRef last =
      minus_one ? OwnedRef::steal(PyObject_GetItem(sizes.get(), minus_one.get())) : OwnedRef();
  OwnedRef largest = last ? format_mib(last.get(), ".0f") : OwnedRef();
  if (largest) {
    // format() always returns a str, so both pieces can be spliced in as they are.
    PyErr_Format(PyExc_ValueError,
                 "Requested %UMB exceeds max bucket %UMB. Caller must split tensor into chunks.",
                 requested.get(), largest.get());
  }
}

// 1 when `size >= nbytes`, 0 when not, -1 with an exception set.
int holds(PyObject* size, PyObject* nbytes) {
  int order = 0;
  if (compare_plain_ints(size, nbytes, &order)) {
    return order >= 0;
  }
  return PyObject_RichCompareBool(size, nbytes, Py_GE);
}

// The first bucket size that holds the request, in the order of self.BUCKET_SIZES_BYTES.
OwnedRef pool_round_to_bucket(const GlobalScope& /*scope*/, PyObject* const* args) {
  PyObject* self = args[0];
  PyObject* nbytes = args[1];
  OwnedRef sizes = attribute(self, names.bucket_sizes_bytes);
  if (!sizes) {
    return {};
  }
  // A plain list is walked as its iterator would walk it, without making one.
  const bool plain = PyList_CheckExact(sizes.get());
  OwnedRef iterator = plain ? OwnedRef() : OwnedRef::steal(PyObject_GetIter(sizes.get()));
  if (!plain && !iterator) {
    return {};
  }
  for (Py_ssize_t i = 0;; ++i) {
    OwnedRef size;
    if (!plain) {
      size = OwnedRef::steal(PyIter_Next(iterator.get()));
    } else if (i < PyList_GET_SIZE(sizes.get())) {
      size = OwnedRef::new_reference(PyList_GET_ITEM(sizes.get(), i));
    }
    if (!size) {
      break;
    }
    const int fits = holds(size.get(), nbytes);
    if (fits != 0) {
      return fits < 0 ? OwnedRef() : convert_int_result(size.get(), /*none_allowed=*/false);
    }
  }
  if (PyErr_Occurred()) {
    return {};
  }
  raise_over_large(self, nbytes);
  return {};
}

// Removes the front buffer of the largest non-empty bucket, walking the sizes from the end.
OwnedRef pool_evict_oldest(const GlobalScope& /*scope*/, PyObject* const* args) {
  PyObject* self = args[0];
  OwnedRef sizes = attribute(self, names.bucket_sizes_bytes);
  OwnedRef reversed_sizes =
      sizes ? OwnedRef::steal(PyObject_CallOneArg(
                  reinterpret_cast<PyObject*>(&PyReversed_Type), sizes.get()))
            : OwnedRef();
  OwnedRef iterator =
      reversed_sizes ? OwnedRef::steal(PyObject_GetIter(reversed_sizes.get())) : OwnedRef();
  if (!iterator) {
    return {};
  }
  while (OwnedRef size = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    OwnedRef buckets = attribute(self, names.buckets);
    OwnedRef bucket =
        buckets ? get_item(buckets.get(), size.get()) : OwnedRef();
    const int pooled = is_true(bucket);
    if (pooled != 0) {
      return pooled < 0 || !pop(bucket.get(), 0) ? OwnedRef() : none();
    }
  }
  return PyErr_Occurred() ? OwnedRef() : none();
}

// size, bufs = item
int unpack_pair(PyObject* item, OwnedRef* first, OwnedRef* second) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
    *first = OwnedRef::new_reference(PyTuple_GET_ITEM(item, 0));
    *second = OwnedRef::new_reference(PyTuple_GET_ITEM(item, 1));
    return 0;
  }
  OwnedRef iterator = OwnedRef::steal(PyObject_GetIter(item));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(item)->tp_name);
    }
    return -1;
  }
  OwnedRef* targets[] = {first, second};
  for (int got = 0; got < 2; ++got) {
    *targets[got] = OwnedRef::steal(PyIter_Next(iterator.get()));
    if (!*targets[got]) {
      if (!PyErr_Occurred()) {
        PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", got);
      }
      return -1;
    }
  }
  OwnedRef extra = OwnedRef::steal(PyIter_Next(iterator.get()));
  if (extra) {
    PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  return PyErr_Occurred() ? -1 : 0;
}

// total += value * multiplier for an exact int value, in C; false, leaving `total` to be thrown
// away, for any other value or when the sum leaves the range of long long.
bool add_plain(PyObject* value, long long multiplier, long long* total) {
  if (!PyLong_CheckExact(value)) {
    return false;
  }
  int overflow = 0;
  const long long number = PyLong_AsLongLongAndOverflow(value, &overflow);
  long long product = 0;
  return overflow == 0 && !__builtin_mul_overflow(number, multiplier, &product) &&
         !__builtin_add_overflow(*total, product, total);
}

// sum([size * len(bufs) for size, bufs in buckets.items()])
OwnedRef pooled_bytes(PyObject* buckets) {
  if (PyDict_CheckExact(buckets)) {
    // Plain int sizes and plain lists add up here without running any Python code.
    long long total = 0;
    Py_ssize_t position = 0;
    PyObject* size = nullptr;
    PyObject* bufs = nullptr;
    bool plain = true;
    while (plain && PyDict_Next(buckets, &position, &size, &bufs)) {
      plain = PyList_CheckExact(bufs) && add_plain(size, PyList_GET_SIZE(bufs), &total);
    }
    if (plain) {
      return OwnedRef::steal(PyLong_FromLongLong(total));
    }
  }
  OwnedRef items = call_method(buckets, names.items);
  OwnedRef iterator = items ? OwnedRef::steal(PyObject_GetIter(items.get())) : OwnedRef();
  OwnedRef products = iterator ? OwnedRef::steal(PyList_New(0)) : OwnedRef();
  if (!products) {
    return {};
  }
  while (OwnedRef item = OwnedRef::steal(PyIter_Next(iterator.get()))) {
    OwnedRef size;
    OwnedRef bufs;
    if (unpack_pair(item.get(), &size, &bufs) < 0) {
      return {};
    }
    const Py_ssize_t pooled = PyObject_Size(bufs.get());
    OwnedRef count = pooled < 0 ? OwnedRef() : OwnedRef::steal(PyLong_FromSsize_t(pooled));
    OwnedRef product =
        count ? OwnedRef::steal(PyNumber_Multiply(size.get(), count.get())) : OwnedRef();
    if (!product || PyList_Append(products.get(), product.get()) < 0) {
      return {};
    }
  }
  if (PyErr_Occurred()) {
    return {};
  }
  return OwnedRef::steal(PyObject_CallOneArg(names.builtin_sum, products.get()));
}

// sum(leased.values())
OwnedRef leased_bytes(PyObject* leased) {
  if (PyDict_CheckExact(leased)) {
    long long total = 0;
    Py_ssize_t position = 0;
    PyObject* size = nullptr;
    bool plain = true;
    while (plain && PyDict_Next(leased, &position, nullptr, &size)) {
      plain = add_plain(size, 1, &total);
    }
    if (plain) {
      return OwnedRef::steal(PyLong_FromLongLong(total));
    }
  }
  OwnedRef sizes = call_method(leased, names.values);
  return sizes ? OwnedRef::steal(PyObject_CallOneArg(names.builtin_sum, sizes.get())) : OwnedRef();
}

// Pooled bytes plus leased bytes, derived from the state at every call.
OwnedRef pool_total_allocated(const GlobalScope& /*scope*/, PyObject* const* args) {
  PyObject* self = args[0];
  OwnedRef buckets = attribute(self, names.buckets);
  OwnedRef pooled = buckets ? pooled_bytes(buckets.get()) : OwnedRef();
  OwnedRef leased = pooled ? attribute(self, names.leased) : OwnedRef();
  OwnedRef leased_sum = leased ? leased_bytes(leased.get()) : OwnedRef();
  OwnedRef total =
      leased_sum ? OwnedRef::steal(PyNumber_Add(pooled.get(), leased_sum.get())) : OwnedRef();
  return total ? convert_int_result(total.get(), /*none_allowed=*/false) : OwnedRef();
}

constexpr Parameter kSelf = {"self", IntConversion::none};

}  // namespace

const FunctionDef pool_init_def = {
    "__init__", "PinnedMemoryPool.__init__",
    2, {kSelf, {"max_bytes", IntConversion::optional}},
    1, {{"max_bytes", "Optional[int]"}},
    pool_init,
};

const FunctionDef pool_lease_def = {
    "lease", "PinnedMemoryPool.lease",
    2, {kSelf, {"nbytes", IntConversion::required}},
    2, {{"nbytes", "int"}, {"return", "torch.Tensor"}},
    pool_lease,
};

const FunctionDef pool_release_def = {
    "release", "PinnedMemoryPool.release",
    2, {kSelf, {"buf", IntConversion::none}},
    2, {{"buf", "torch.Tensor"}, {"return", "None"}},
    pool_release,
};

const FunctionDef pool_stats_def = {
    "stats", "PinnedMemoryPool.stats",
    1, {kSelf},
    1, {{"return", "dict[str, Any]"}},
    pool_stats,
};

const FunctionDef pool_is_under_pressure_def = {
    "is_under_pressure", "PinnedMemoryPool.is_under_pressure",
    1, {kSelf},
    1, {{"return", "bool"}},
    pool_is_under_pressure,
};

const FunctionDef pool_round_to_bucket_def = {
    "_round_to_bucket", "PinnedMemoryPool._round_to_bucket",
    2, {kSelf, {"nbytes", IntConversion::required}},
    2, {{"nbytes", "int"}, {"return", "int"}},
    pool_round_to_bucket,
};

const FunctionDef pool_evict_oldest_def = {
    "_evict_oldest", "PinnedMemoryPool._evict_oldest",
    1, {kSelf},
    1, {{"return", "None"}},
    pool_evict_oldest,
};

const FunctionDef pool_total_allocated_def = {
    "_total_allocated", "PinnedMemoryPool._total_allocated",
    1, {kSelf},
    1, {{"return", "int"}},
    pool_total_allocated,
};

}  // namespace korvane
