#pragma once

#include "owned_ref.hpp"

namespace korvane {

// object.<name>, exactly as the interpreter reads it. For an instance of a class that keeps the
// default attribute lookup, the steps of that lookup are taken here directly: data descriptors of
// the class first, then the instance's dict, then the class attribute.
OwnedRef get_attribute(PyObject* object, PyObject* name);

// 1 when the instance dict of `object` holds `name`, 0 when it does not or there is none, -1 on
// error.
int instance_dict_holds(PyObject* object, PyObject* name);

}  // namespace korvane
