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

// Adds one to `value` in place when it is an exact, positive, one-digit int held by nothing but
// the one reference its container owns: nobody can see the object change, as nobody sees zip()
// refill a result tuple that only it holds. False, with nothing changed, when an ordinary
// addition must make a new int.
inline bool increment_unshared_int(PyObject* value) noexcept {
  if (!PyLong_CheckExact(value) || Py_REFCNT(value) != 1) {
    return false;
  }
  PyLongObject* number = reinterpret_cast<PyLongObject*>(value);
#if PY_VERSION_HEX >= 0x030C0000
  const bool one_positive_digit = number->long_value.lv_tag == (1 << _PyLong_NON_SIZE_BITS);
  digit& low = number->long_value.ob_digit[0];
#else
  const bool one_positive_digit = Py_SIZE(value) == 1;
  digit& low = number->ob_digit[0];
#endif
  if (!one_positive_digit || low >= PyLong_MASK) {
    return false;
  }
  ++low;
  return true;
}

// An int with room for the digits of any unsigned 64-bit value, for rewrite_unshared_int().
[[nodiscard]] inline OwnedRef new_rewritable_int() {
  return OwnedRef::steal(PyLong_FromUnsignedLongLong(~0ULL));
}

// Sets an int made by new_rewritable_int() to `value` in place, under the same condition as
// increment_unshared_int(): nothing but its owner's one reference holds it. False otherwise.
inline bool rewrite_unshared_int(PyObject* number, unsigned long long value) noexcept {
  if (Py_REFCNT(number) != 1) {
    return false;
  }
  PyLongObject* long_object = reinterpret_cast<PyLongObject*>(number);
#if PY_VERSION_HEX >= 0x030C0000
  digit* digits = long_object->long_value.ob_digit;
#else
  digit* digits = long_object->ob_digit;
#endif
  uintptr_t count = 0;
  for (; value != 0; value >>= PyLong_SHIFT) {
    digits[count++] = static_cast<digit>(value & PyLong_MASK);
  }
#if PY_VERSION_HEX >= 0x030C0000
  // The sign field holds 0 for a positive value and 1 for zero.
  long_object->long_value.lv_tag = count << _PyLong_NON_SIZE_BITS | (count == 0 ? 1 : 0);
#else
  Py_SET_SIZE(number, static_cast<Py_ssize_t>(count));
#endif
  return true;
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
