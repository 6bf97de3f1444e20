#include "identity_guard.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>

#include "py_compat.hpp"

namespace korvane {
namespace {

struct LeaseRecord {
  OwnedRef referent;  // weak reference to the object last leased under this identity
  OwnedRef key;       // that object's id(), the registry key
  bool leased = false;
};

// Records of objects that were released and have since died are dropped in sweeps, each once
// the table has doubled since the last one, so they cost amortised constant time.
constexpr std::size_t kFirstSweep = 64;

struct PoolGuard {
  OwnedRef pool_ref;  // its callback drops the guard when the pool goes
  std::unordered_map<PyObject*, LeaseRecord> records;
  std::size_t sweep_at = kFirstSweep;
};

std::unordered_map<PyObject*, std::unique_ptr<PoolGuard>> guards;

// The pool looked up last and its guard: a program mostly works with one pool at a time.
PyObject* last_pool = nullptr;
PoolGuard* last_guard = nullptr;

// How many times records or guards were dropped, which is what leaves a pointer to a record
// dangling (adding records moves none).
std::uint64_t drops = 0;

// The record guard_key() found last, kept for the guard_release() of the same release. The
// registry's membership test comes in between and may run code that drops records, so the
// pointer is used only while `drops` is what it was.
struct FoundRecord {
  PyObject* pool = nullptr;
  PyObject* buf = nullptr;
  LeaseRecord* record = nullptr;
  std::uint64_t drops = 0;
};
FoundRecord last_found;

// The callback of a guard's weak reference to its pool. Python code can reach it
// (weakref.getweakrefs(pool)[0].__callback__) and call it at any time, from a collection in the
// middle of a lease included; it drops the guard only when given that weak reference dead. So a
// guard lives exactly as long as its pool, and a call on the pool may keep using it whatever
// code runs meanwhile.
PyObject* forget_pool(PyObject* address, PyObject* pool_ref) {
  PyObject* pool = static_cast<PyObject*>(PyLong_AsVoidPtr(address));
  const auto found = guards.find(pool);
  if (found == guards.end() || found->second->pool_ref.get() != pool_ref ||
      weakref_target(pool_ref) != nullptr) {
    Py_RETURN_NONE;
  }
  if (pool == last_pool) {
    last_pool = nullptr;
    last_guard = nullptr;
  }
  ++drops;
  guards.erase(found);
  Py_RETURN_NONE;
}

PyMethodDef forget_pool_def = {"_forget_pool", forget_pool, METH_O, nullptr};

PoolGuard* find_guard(PyObject* pool) {
  if (pool != last_pool) {
    const auto found = guards.find(pool);
    if (found == guards.end()) {
      return nullptr;
    }
    last_pool = pool;
    last_guard = found->second.get();
  }
  return last_guard;
}

LeaseRecord* find_record(PoolGuard* guard, PyObject* buf) {
  if (guard == nullptr) {
    return nullptr;
  }
  const auto found = guard->records.find(buf);
  return found == guard->records.end() ? nullptr : &found->second;
}

// The guard of `pool`, made on first use. A pool that cannot be weakly referenced gets none
// (0 with *guard null): all its registry entries are honoured. -1 with an exception set.
int obtain_guard(PyObject* pool, PoolGuard** guard) {
  *guard = find_guard(pool);
  if (*guard != nullptr || !PyType_SUPPORTS_WEAKREFS(Py_TYPE(pool))) {
    return 0;
  }
  OwnedRef address = OwnedRef::steal(PyLong_FromVoidPtr(pool));
  OwnedRef callback =
      address ? OwnedRef::steal(PyCFunction_New(&forget_pool_def, address.get())) : OwnedRef();
  OwnedRef pool_ref =
      callback ? OwnedRef::steal(PyWeakref_NewRef(pool, callback.get())) : OwnedRef();
  if (!pool_ref) {
    return -1;
  }
  auto made = std::make_unique<PoolGuard>();
  made->pool_ref = std::move(pool_ref);
  // Making the weak reference may have run code that made this pool's guard already: keep that.
  *guard = guards.emplace(pool, std::move(made)).first->second.get();
  return 0;
}

void sweep_if_due(PoolGuard& guard) {
  if (guard.records.size() < guard.sweep_at) {
    return;
  }
  ++drops;
  for (auto record = guard.records.begin(); record != guard.records.end();) {
    const bool gone = weakref_target(record->second.referent.get()) == nullptr;
    record = !record->second.leased && gone ? guard.records.erase(record) : std::next(record);
  }
  guard.sweep_at = std::max(kFirstSweep, 2 * guard.records.size());
}

OwnedRef identity_of(PyObject* object) { return OwnedRef::steal(PyLong_FromVoidPtr(object)); }

// The int a lookup uses for an identity no record caches: the dict keeps no lookup key, so one
// int serves every call that finds it unshared, and a new one replaces it when something
// (a key's __eq__, say) kept a reference.
OwnedRef lookup_key;

OwnedRef lookup_identity(PyObject* object) {
  const auto address = static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(object));
  if (!lookup_key || !rewrite_unshared_int(lookup_key.get(), address)) {
    lookup_key = new_rewritable_int();
    if (!lookup_key) {
      return {};
    }
    rewrite_unshared_int(lookup_key.get(), address);  // a new int is unshared
  }
  return OwnedRef::new_reference(lookup_key.get());
}

}  // namespace

OwnedRef guard_lease(PyObject* pool, PyObject* buf) {
  PoolGuard* guard = nullptr;
  if (obtain_guard(pool, &guard) < 0) {
    return {};
  }
  if (guard == nullptr) {
    return identity_of(buf);
  }
  if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(buf))) {
    // Nothing can be recorded for it, and an older record must not judge it.
    ++drops;
    guard->records.erase(buf);
    return identity_of(buf);
  }
  LeaseRecord* record = find_record(guard, buf);
  if (record == nullptr || weakref_target(record->referent.get()) != buf) {
    // Making the weak reference may run the collector, and with it code that changes the
    // records: look the record up again afterwards.
    OwnedRef referent = OwnedRef::steal(PyWeakref_NewRef(buf, nullptr));
    OwnedRef key = referent ? identity_of(buf) : OwnedRef();
    if (!key) {
      return {};
    }
    sweep_if_due(*guard);
    record = &guard->records[buf];
    record->referent = std::move(referent);
    record->key = std::move(key);
  }
  record->leased = true;
  return OwnedRef::new_reference(record->key.get());
}

OwnedRef guard_key(PyObject* pool, PyObject* buf) {
  LeaseRecord* record = find_record(find_guard(pool), buf);
  if (record == nullptr) {
    return lookup_identity(buf);
  }
  last_found = {pool, buf, record, drops};
  return OwnedRef::new_reference(record->key.get());
}

bool guard_release(PyObject* pool, PyObject* buf) {
  const bool remembered =
      last_found.pool == pool && last_found.buf == buf && last_found.drops == drops;
  LeaseRecord* record = remembered ? last_found.record : find_record(find_guard(pool), buf);
  if (record == nullptr) {
    return true;
  }
  if (record->leased && weakref_target(record->referent.get()) != buf) {
    return false;
  }
  record->leased = false;
  return true;
}

void guard_forget(PyObject* pool) {
  if (PoolGuard* guard = find_guard(pool)) {
    ++drops;
    guard->records.clear();
  }
}

}  // namespace korvane
