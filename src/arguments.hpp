#pragma once

#include "owned_ref.hpp"

namespace korvane {

constexpr int kMaxParameters = 2;

enum class IntConversion { none, required, optional };

struct Parameter {
  const char* name;
  IntConversion conversion;
};

// What a call is bound against: every parameter may be passed by position or by keyword,
// and the trailing ones take their values from the defaults (a tuple, or nullptr for none).
// The qualified name and the defaults are the function's own slots, read where they are needed
// as a Python function reads its own: a keyword's __eq__ may rebind them in the meantime.
struct Signature {
  PyObject* const* qualname;
  const Parameter* parameters;
  PyObject* const* parameter_names;
  int parameter_count;
  PyObject* const* defaults;
};

// True when `value` can stand for `parameter` as it is: no conversion asked, or an exact int.
inline bool taken_as_given(const Parameter& parameter, PyObject* value) {
  return parameter.conversion == IntConversion::none || PyLong_CheckExact(value);
}

// An int argument: an exact int unchanged, another number through int(), anything else a
// TypeError naming the parameter; None passes only where the parameter allows it.
OwnedRef convert_int_argument(PyObject* value, const char* parameter, IntConversion conversion);

// A value produced for an int slot: as above, with the shorter "Expected int, got X" message.
OwnedRef convert_int_result(PyObject* value, bool none_allowed);

class BoundArguments {
 public:
  // Binds a vectorcall's arguments as a Python function with `signature` would, then applies the
  // integer conversion to the parameters that ask for it. -1 with an exception set on failure.
  int bind(const Signature& signature, PyObject* const* args, size_t nargsf, PyObject* kwnames);

  PyObject* const* values() const noexcept { return values_; }

 private:
  int place(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
            PyObject* kwnames);
  int fill_defaults(const Signature& signature, Py_ssize_t nargs);

  PyObject* values_[kMaxParameters] = {};
  // Defaults and converted values this call owns; the caller's arguments stay borrowed.
  OwnedRef held_[kMaxParameters];
};

}  // namespace korvane
