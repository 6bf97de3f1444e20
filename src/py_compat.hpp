#pragma once

// Every interpreter-version test of the extension lives here.

#include "owned_ref.hpp"

namespace korvane {

// The object `ref` refers to, or nullptr once it is gone. The pointer is borrowed and only good
// for an identity test.
inline PyObject* weakref_target(PyObject* ref) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* target = nullptr;
  if (PyWeakref_GetRef(ref, &target) <= 0) {
    return nullptr;
  }
  Py_DECREF(target);
  return target;
#else
  PyObject* target = PyWeakref_GetObject(ref);
  return target == Py_None ? nullptr : target;
#endif
}

}  // namespace korvane

// The method lookup of the interpreter's own method calls; its header stopped declaring it in 3.13,
// where calls of this module's methods take the generic way.
#if PY_VERSION_HEX < 0x030D0000
#define KORVANE_HAS_GET_METHOD 1
#else
#define KORVANE_HAS_GET_METHOD 0
#endif

// The interned names and the function type are shared by the whole process.
#if PY_VERSION_HEX >= 0x030C0000
#define KORVANE_MODULE_SLOTS \
  {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define KORVANE_MODULE_SLOTS
#endif
