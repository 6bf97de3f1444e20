#pragma once

#include "owned_ref.hpp"

namespace korvane {

// The registry `_leased` knows a leased buffer only by id(), and the interpreter gives a dead
// object's identity to the next object it makes. The guard remembers, per pool and outside the
// pool's attributes, a weak reference to the object each identity was leased to, so that
// release() can refuse an object that merely took over the identity of a buffer its holder
// dropped while it was leased. Registry entries the guard has no record of are honoured.

// The registry key id(buf), now recorded as leased to `buf`.
OwnedRef guard_lease(PyObject* pool, PyObject* buf);

// The registry key id(buf); cached for objects the guard knows, so a known buffer costs nothing.
OwnedRef guard_key(PyObject* pool, PyObject* buf);

// Records that `buf`, registered in the registry of `pool`, is being released. False, recording
// nothing, when `buf` only has the identity of a leased buffer that died unreleased.
bool guard_release(PyObject* pool, PyObject* buf);

// Forgets every lease of `pool`: its registry was replaced.
void guard_forget(PyObject* pool);

}  // namespace korvane
