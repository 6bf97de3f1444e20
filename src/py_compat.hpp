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
  PyObject* target = PyWeakref_GET_OBJECT(ref);
  return target == Py_None ? nullptr : target;
#endif
}

// The three facts about an int's layout that the in-place updates below need.

// Its digits, least significant first.
inline digit* digits_of(PyObject* number) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return reinterpret_cast<PyLongObject*>(number)->long_value.ob_digit;
#else
  return reinterpret_cast<PyLongObject*>(number)->ob_digit;
#endif
}

// How many digits a positive int has; 0 for zero, a negative int or any flagged layout.
inline uintptr_t positive_digit_count(PyObject* number) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  const uintptr_t tag = reinterpret_cast<PyLongObject*>(number)->long_value.lv_tag;
  return (tag & ((1 << _PyLong_NON_SIZE_BITS) - 1)) == 0 ? tag >> _PyLong_NON_SIZE_BITS : 0;
#else
  return Py_SIZE(number) > 0 ? static_cast<uintptr_t>(Py_SIZE(number)) : 0;
#endif
}

// Makes a non-negative int `count` digits long (zero when `count` is 0).
inline void set_digit_count(PyObject* number, uintptr_t count) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  // The sign field holds 0 for a positive value and 1 for zero.
  reinterpret_cast<PyLongObject*>(number)->long_value.lv_tag =
      count << _PyLong_NON_SIZE_BITS | (count == 0 ? 1 : 0);
#else
  Py_SET_SIZE(number, static_cast<Py_ssize_t>(count));
#endif
}

// The value of an int of one positive digit (from 1 to 2**30 - 1 with 30-bit digits), or 0 for
// any other int.
inline digit single_digit_value(PyObject* number) noexcept {
  return positive_digit_count(number) == 1 ? digits_of(number)[0] : 0;
}

// Adds one to `value` in place when it is an exact, positive, one-digit int held by nothing but
// the one reference its container owns: nobody can see the object change, as nobody sees zip()
// refill a result tuple that only it holds. False, with nothing changed, when an ordinary
// addition must make a new int.
inline bool increment_unshared_int(PyObject* value) noexcept {
  if (!PyLong_CheckExact(value) || Py_REFCNT(value) != 1 || positive_digit_count(value) != 1) {
    return false;
  }
  digit& low = digits_of(value)[0];
  if (low >= PyLong_MASK) {
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
  digit* digits = digits_of(number);
  uintptr_t count = 0;
  for (; value != 0; value >>= PyLong_SHIFT) {
    digits[count++] = static_cast<digit>(value & PyLong_MASK);
  }
  set_digit_count(number, count);
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
