#include "containers.hpp"

#include "names.hpp"

namespace korvane {

OwnedRef get_item(PyObject* container, PyObject* key) {
  if (PyDict_CheckExact(container)) {
    if (PyObject* value = PyDict_GetItemWithError(container, key)) {
      return OwnedRef::new_reference(value);
    }
    if (PyErr_Occurred()) {
      return {};
    }
    // Missing: the subscript below raises the KeyError that `container[key]` raises.
  }
  return OwnedRef::steal(PyObject_GetItem(container, key));
}

int set_item(PyObject* container, PyObject* key, PyObject* value) {
  return PyDict_CheckExact(container) ? PyDict_SetItem(container, key, value)
                                      : PyObject_SetItem(container, key, value);
}

int delete_item(PyObject* container, PyObject* key) {
  return PyDict_CheckExact(container) ? PyDict_DelItem(container, key)
                                      : PyObject_DelItem(container, key);
}

int contains(PyObject* container, PyObject* key) {
  return PyDict_CheckExact(container) ? PyDict_Contains(container, key)
                                      : PySequence_Contains(container, key);
}

int contains(PyObject* container, PyObject* key, OwnedRef* value) {
  if (!PyDict_CheckExact(container)) {
    return PySequence_Contains(container, key);
  }
  *value = OwnedRef::new_reference(PyDict_GetItemWithError(container, key));
  return *value ? 1 : PyErr_Occurred() ? -1 : 0;
}

OwnedRef pop(PyObject* bucket, Py_ssize_t index) {
  if (!PyList_CheckExact(bucket)) {
    if (index == -1) {
      return OwnedRef::steal(PyObject_CallMethodNoArgs(bucket, names.pop));
    }
    OwnedRef position = OwnedRef::steal(PyLong_FromSsize_t(index));
    return position ? OwnedRef::steal(PyObject_CallMethodOneArg(bucket, names.pop, position.get()))
                    : OwnedRef();
  }
  const Py_ssize_t size = PyList_GET_SIZE(bucket);
  if (size == 0) {
    PyErr_SetString(PyExc_IndexError, "pop from empty list");
    return {};
  }
  const Py_ssize_t at = index < 0 ? size + index : index;
  OwnedRef item = OwnedRef::new_reference(PyList_GET_ITEM(bucket, at));
  // Taking the last item shrinks the list as list.pop() does: in place while it stays over half
  // full, through a resize otherwise.
  if (at == size - 1 && size - 1 >= reinterpret_cast<PyListObject*>(bucket)->allocated / 2) {
    Py_DECREF(PyList_GET_ITEM(bucket, at));
    Py_SET_SIZE(bucket, size - 1);
    return item;
  }
  return PyList_SetSlice(bucket, at, at + 1, nullptr) < 0 ? OwnedRef() : std::move(item);
}

int append(PyObject* bucket, PyObject* buf) {
  if (PyList_CheckExact(bucket)) {
    return PyList_Append(bucket, buf);
  }
  OwnedRef result = OwnedRef::steal(PyObject_CallMethodOneArg(bucket, names.append, buf));
  return result ? 0 : -1;
}

}  // namespace korvane
