#pragma once

#include "arguments.hpp"
#include "owned_ref.hpp"

namespace korvane {

// Where a body resolves module-level names: the module's namespace, then the builtins.
struct GlobalScope {
  PyObject* globals;
  PyObject* builtins;

  // A new reference to the value bound to `name`, or NameError as a Python function would raise.
  OwnedRef load(PyObject* name) const;
};

// A body receives its bound and converted arguments; methods find `self` in args[0].
using Body = OwnedRef (*)(const GlobalScope& scope, PyObject* const* args);

struct Annotation {
  const char* key;
  const char* text;
};

// What one native function is: its names, parameters, stored annotations and body.
struct FunctionDef {
  const char* name;
  const char* qualname;
  int parameter_count;
  Parameter parameters[kMaxParameters];
  int annotation_count;
  Annotation annotations[kMaxParameters + 1];
  Body body;
};

// Creates the function type; called once per process, before any function is made.
int native_function_type_ready();

// A new function object that behaves like a Python function defined in the module whose
// namespace is `globals`; `defaults` is a tuple or nullptr.
OwnedRef native_function_new(const FunctionDef& definition, PyObject* globals, PyObject* defaults);

// self.<name>(arg) or, without `arg`, self.<name>(): looked up as Python looks a method up. When
// that finds the native function made from `definition`, its body runs at once, bound and
// converted as a call would be; anything else found (an override on a subclass or on the
// instance) is called.
OwnedRef call_native_method(PyObject* self, PyObject* name, const FunctionDef& definition,
                            PyObject* arg = nullptr);

}  // namespace korvane
