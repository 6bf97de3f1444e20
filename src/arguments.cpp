#include "arguments.hpp"

namespace korvane {
namespace {

// Shared by both conversions: exact int as is, numbers through int(), nullptr for "no number".
OwnedRef to_int_if_number(PyObject* value) {
  if (PyLong_CheckExact(value)) {
    return OwnedRef::new_reference(value);
  }
  return OwnedRef::steal(PyNumber_Long(value));
}

Py_ssize_t defaults_count(PyObject* defaults) {
  return defaults != nullptr ? PyTuple_GET_SIZE(defaults) : 0;
}

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
  const int most = signature.parameter_count;
  const int fewest = most - static_cast<int>(defaults_count(*signature.defaults));
  const OwnedRef qualname = OwnedRef::new_reference(*signature.qualname);
  if (fewest > 0 && fewest < most) {
    PyErr_Format(PyExc_TypeError,
                 "%U() takes from %d to %d positional arguments but %zd %s given",
                 qualname.get(), fewest, most, given, given == 1 ? "was" : "were");
  } else {
    PyErr_Format(PyExc_TypeError, "%U() takes %d positional argument%s but %zd %s given",
                 qualname.get(), most, most == 1 ? "" : "s", given,
                 given == 1 ? "was" : "were");
  }
}

void raise_missing(const Signature& signature, PyObject* const* values) {
  OwnedRef missing = OwnedRef::steal(PyList_New(0));
  for (int i = 0; missing && i < signature.parameter_count; ++i) {
    if (values[i] == nullptr) {
      OwnedRef quoted =
          OwnedRef::steal(PyUnicode_FromFormat("'%U'", signature.parameter_names[i]));
      if (!quoted || PyList_Append(missing.get(), quoted.get()) < 0) {
        return;
      }
    }
  }
  if (!missing) {
    return;
  }
  const Py_ssize_t count = PyList_GET_SIZE(missing.get());
  OwnedRef listed;
  if (count == 1) {
    listed = OwnedRef::new_reference(PyList_GET_ITEM(missing.get(), 0));
  } else {
    listed = OwnedRef::steal(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(missing.get(), 0),
                                                  PyList_GET_ITEM(missing.get(), 1)));
  }
  if (listed) {
    const OwnedRef qualname = OwnedRef::new_reference(*signature.qualname);
    PyErr_Format(PyExc_TypeError, "%U() missing %zd required positional argument%s: %U",
                 qualname.get(), count, count == 1 ? "" : "s", listed.get());
  }
}

// Index of the parameter called `keyword`, -1 when there is none, -2 with an exception set.
int find_parameter(const Signature& signature, PyObject* keyword) {
  for (int i = 0; i < signature.parameter_count; ++i) {
    if (signature.parameter_names[i] == keyword) {
      return i;
    }
  }
  for (int i = 0; i < signature.parameter_count; ++i) {
    const int equal = PyObject_RichCompareBool(keyword, signature.parameter_names[i], Py_EQ);
    if (equal != 0) {
      return equal > 0 ? i : -2;
    }
  }
  return -1;
}

}  // namespace

OwnedRef convert_int_argument(PyObject* value, const char* parameter, IntConversion conversion) {
  if (value == Py_None && conversion == IntConversion::optional) {
    return OwnedRef::new_reference(value);
  }
  if (!PyLong_CheckExact(value) && !PyNumber_Check(value)) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", parameter,
                 "int", Py_TYPE(value)->tp_name);
    return {};
  }
  return to_int_if_number(value);
}

OwnedRef convert_int_result(PyObject* value, bool none_allowed) {
  if (value == Py_None && none_allowed) {
    return OwnedRef::new_reference(value);
  }
  if (!PyLong_CheckExact(value) && !PyNumber_Check(value)) {
    PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(value)->tp_name);
    return {};
  }
  return to_int_if_number(value);
}

int BoundArguments::bind(const Signature& signature, PyObject* const* args, size_t nargsf,
                         PyObject* kwnames) {
  if (place(signature, args, PyVectorcall_NARGS(nargsf), kwnames) < 0) {
    return -1;
  }
  for (int i = 0; i < signature.parameter_count; ++i) {
    const Parameter& parameter = signature.parameters[i];
    if (taken_as_given(parameter, values_[i])) {
      continue;
    }
    held_[i] = convert_int_argument(values_[i], parameter.name, parameter.conversion);
    if (!held_[i]) {
      return -1;
    }
    values_[i] = held_[i].get();
  }
  return 0;
}

int BoundArguments::place(const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  if (nargs > signature.parameter_count) {
    raise_too_many_positional(signature, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    values_[i] = args[i];
  }
  const Py_ssize_t nkwargs = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < nkwargs; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    const int index = find_parameter(signature, keyword);
    if (index == -2) {
      return -1;
    }
    if (index == -1 || values_[index] != nullptr) {
      // The name is read after the comparisons and held while str(keyword) runs.
      const OwnedRef qualname = OwnedRef::new_reference(*signature.qualname);
      PyErr_Format(PyExc_TypeError,
                   index == -1 ? "%U() got an unexpected keyword argument '%S'"
                               : "%U() got multiple values for argument '%S'",
                   qualname.get(), keyword);
      return -1;
    }
    values_[index] = args[nargs + k];
  }
  return fill_defaults(signature, nargs);
}

int BoundArguments::fill_defaults(const Signature& signature, Py_ssize_t nargs) {
  // Like a Python function, a defaults tuple longer than the parameters lends its last items.
  // Each one taken is held before anything can run that might drop the tuple.
  PyObject* defaults = *signature.defaults;
  const Py_ssize_t ndefaults = defaults_count(defaults);
  const Py_ssize_t first_with_default = signature.parameter_count - ndefaults;
  bool complete = true;
  for (Py_ssize_t i = nargs; i < signature.parameter_count; ++i) {
    if (values_[i] != nullptr) {
      continue;
    }
    if (i < first_with_default) {
      complete = false;
      continue;
    }
    held_[i] = OwnedRef::new_reference(PyTuple_GET_ITEM(defaults, i - first_with_default));
    values_[i] = held_[i].get();
  }
  if (!complete) {
    raise_missing(signature, values_);
    return -1;
  }
  return 0;
}

}  // namespace korvane
