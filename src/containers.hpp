#pragma once

#include "owned_ref.hpp"

namespace korvane {

// The dict and list operations of the pool's rules. A plain dict or list (not a subclass) is
// served by its own C functions, which is what the operation would do; anything else goes
// through the generic protocol, so that overridden methods are called.

// container[key]
OwnedRef get_item(PyObject* container, PyObject* key);

// container[key] = value
int set_item(PyObject* container, PyObject* key, PyObject* value);

// del container[key]
int delete_item(PyObject* container, PyObject* key);

// key in container
int contains(PyObject* container, PyObject* key);

// key in container, where a plain dict's lookup also hands over the value it found in *value.
int contains(PyObject* container, PyObject* key, OwnedRef* value);

// bucket.pop() for index -1, bucket.pop(index) otherwise.
OwnedRef pop(PyObject* bucket, Py_ssize_t index);

// bucket.append(buf)
int append(PyObject* bucket, PyObject* buf);

}  // namespace korvane
