#pragma once

// Every interpreter-version test of the extension lives here.

#include "owned_ref.hpp"

namespace korvane {

// 1 when `ref` still refers to `object`, 0 when it refers to another object or to none.
inline int weakref_refers_to(PyObject* ref, PyObject* object) {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* referent = nullptr;
  const int alive = PyWeakref_GetRef(ref, &referent);
  Py_XDECREF(referent);
  return alive < 0 ? -1 : referent == object;
#else
  PyObject* referent = PyWeakref_GetObject(ref);
  return referent == nullptr ? -1 : referent == object;
#endif
}

}  // namespace korvane

// The interned names and the function type are shared by the whole process.
#if PY_VERSION_HEX >= 0x030C0000
#define KORVANE_MODULE_SLOTS \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KORVANE_MODULE_SLOTS
#endif
