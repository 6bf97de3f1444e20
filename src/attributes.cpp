#include "attributes.hpp"

namespace korvane {
namespace {

bool has_default_lookup(PyTypeObject* type) {
  return type->tp_getattro == PyObject_GenericGetAttr && type->tp_dictoffset != 0;
}

}  // namespace

OwnedRef get_attribute(PyObject* object, PyObject* name) {
  PyTypeObject* type = Py_TYPE(object);
  if (!has_default_lookup(type)) {
    return OwnedRef::steal(PyObject_GetAttr(object, name));
  }
  // Held: reading the instance dict may run code that changes the class.
  OwnedRef descriptor = OwnedRef::new_reference(_PyType_Lookup(type, name));
  descrgetfunc get = descriptor ? Py_TYPE(descriptor.get())->tp_descr_get : nullptr;
  const bool data_descriptor = get != nullptr && Py_TYPE(descriptor.get())->tp_descr_set != nullptr;
  if (!data_descriptor) {
    OwnedRef dict = OwnedRef::steal(PyObject_GenericGetDict(object, nullptr));
    if (!dict) {
      return {};
    }
    if (PyObject* value = PyDict_GetItemWithError(dict.get(), name)) {
      return OwnedRef::new_reference(value);
    }
    if (PyErr_Occurred()) {
      return {};
    }
    if (descriptor && get == nullptr) {
      return descriptor;
    }
  }
  if (get != nullptr) {
    return OwnedRef::steal(get(descriptor.get(), object, reinterpret_cast<PyObject*>(type)));
  }
  // Nothing found: the interpreter's own lookup raises the AttributeError.
  return OwnedRef::steal(PyObject_GetAttr(object, name));
}

int instance_dict_holds(PyObject* object, PyObject* name) {
  if (Py_TYPE(object)->tp_dictoffset == 0) {
    return 0;
  }
  OwnedRef dict = OwnedRef::steal(PyObject_GenericGetDict(object, nullptr));
  return dict ? PyDict_Contains(dict.get(), name) : -1;
}

}  // namespace korvane
