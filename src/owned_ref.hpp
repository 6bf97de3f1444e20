#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korvane {

// Set by a cleanup hook once the interpreter is finalised (registered at the first import).
inline bool interpreter_finalized = false;

// Owns one strong reference. A raw PyObject* anywhere else in this code is borrowed.
// A null handle returned by a function means a Python exception is set.
class OwnedRef {
 public:
  OwnedRef() noexcept = default;

  [[nodiscard]] static OwnedRef steal(PyObject* object) noexcept { return OwnedRef(object); }

  [[nodiscard]] static OwnedRef new_reference(PyObject* object) noexcept {
    Py_XINCREF(object);
    return OwnedRef(object);
  }

  OwnedRef(OwnedRef&& other) noexcept : object_(other.release()) {}

  OwnedRef& operator=(OwnedRef&& other) noexcept {
    // Take the new value before dropping the old one: the drop may run arbitrary code.
    PyObject* old = std::exchange(object_, other.release());
    drop(old);
    return *this;
  }

  OwnedRef(const OwnedRef&) = delete;
  OwnedRef& operator=(const OwnedRef&) = delete;

  ~OwnedRef() { drop(object_); }

  [[nodiscard]] PyObject* get() const noexcept { return object_; }

  [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit OwnedRef(PyObject* object) noexcept : object_(object) {}

  // Handles that outlive the interpreter (static tables) must not touch freed objects.
  static void drop(PyObject* object) noexcept {
    if (object != nullptr && !interpreter_finalized) {
      Py_DECREF(object);
    }
  }

  PyObject* object_ = nullptr;
};

}  // namespace korvane
