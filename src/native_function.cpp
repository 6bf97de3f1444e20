#include "native_function.hpp"

#include "py_compat.hpp"

#include <structmember.h>

#include <cstddef>
#include <new>

namespace korvane {
namespace {

// Field for field what a Python function keeps, less the code object: the body is C++.
struct NativeFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const FunctionDef* definition;
  PyObject* globals;
  PyObject* builtins;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* defaults;
  PyObject* kwdefaults;
  PyObject* dict;
  PyObject* weakrefs;
  PyObject* parameter_names[kMaxParameters];
};

PyTypeObject* native_function_type = nullptr;

NativeFunction* as_function(PyObject* self) { return reinterpret_cast<NativeFunction*>(self); }

// True when the call passes every parameter by position and no argument needs converting, so
// that the body can take the arguments as they came.
bool binds_as_given(const FunctionDef& definition, PyObject* const* args, size_t nargsf,
                    PyObject* kwnames) {
  if (kwnames != nullptr || PyVectorcall_NARGS(nargsf) != definition.parameter_count) {
    return false;
  }
  for (int i = 0; i < definition.parameter_count; ++i) {
    if (!taken_as_given(definition.parameters[i], args[i])) {
      return false;
    }
  }
  return true;
}

// Kept out of line so that the common call pays nothing for the binding's state.
[[gnu::noinline]] OwnedRef invoke_bound(NativeFunction* function, PyObject* const* args,
                                        size_t nargsf, PyObject* kwnames) {
  const FunctionDef& definition = *function->definition;
  const Signature signature{&function->qualname, definition.parameters, function->parameter_names,
                            definition.parameter_count, &function->defaults};
  BoundArguments bound;
  if (bound.bind(signature, args, nargsf, kwnames) < 0) {
    return {};
  }
  const GlobalScope scope{function->globals, function->builtins};
  return definition.body(scope, bound.values());
}

// One level of the interpreter's count of nested calls, held while the object lives. An override
// that is another of these functions makes them call each other in C, where only this count
// stops the recursion before the stack runs out.
class CallDepth {
 public:
  CallDepth() noexcept : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
  ~CallDepth() {
    if (entered_) {
      Py_LeaveRecursiveCall();
    }
  }
  CallDepth(const CallDepth&) = delete;
  CallDepth& operator=(const CallDepth&) = delete;

  // False, with RecursionError set, when the call would exceed the recursion limit.
  explicit operator bool() const noexcept { return entered_; }

 private:
  bool entered_;
};

OwnedRef invoke(NativeFunction* function, PyObject* const* args, size_t nargsf,
                PyObject* kwnames) {
  const CallDepth depth;
  if (!depth) {
    return {};
  }
  const FunctionDef& definition = *function->definition;
  if (!binds_as_given(definition, args, nargsf, kwnames)) {
    return invoke_bound(function, args, nargsf, kwnames);
  }
  return definition.body(GlobalScope{function->globals, function->builtins}, args);
}

PyObject* native_function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) {
  try {
    return invoke(as_function(callable), args, nargsf, kwnames).release();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in a native function");
    return nullptr;
  }
}

// As for a Python function: no instance (or None) gives the function, an instance a bound method.
PyObject* native_function_descr_get(PyObject* self, PyObject* instance, PyObject* /*owner*/) {
  if (instance == nullptr || instance == Py_None) {
    return Py_NewRef(self);
  }
  return PyMethod_New(self, instance);
}

PyObject* native_function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int native_function_traverse(PyObject* self, visitproc visit, void* arg) {
  NativeFunction* function = as_function(self);
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(function->name);
  Py_VISIT(function->qualname);
  for (PyObject* name : function->parameter_names) {
    Py_VISIT(name);
  }
  Py_VISIT(function->globals);
  Py_VISIT(function->builtins);
  Py_VISIT(function->module);
  Py_VISIT(function->doc);
  Py_VISIT(function->annotations);
  Py_VISIT(function->defaults);
  Py_VISIT(function->kwdefaults);
  Py_VISIT(function->dict);
  return 0;
}

// The namespaces stay until the function is freed: a weak reference callback may call it after
// a collection cleared it, and clearing them, dicts that they are, breaks their cycles anyway.
int native_function_clear(PyObject* self) {
  NativeFunction* function = as_function(self);
  Py_CLEAR(function->module);
  Py_CLEAR(function->doc);
  Py_CLEAR(function->annotations);
  Py_CLEAR(function->defaults);
  Py_CLEAR(function->kwdefaults);
  Py_CLEAR(function->dict);
  return 0;
}

void native_function_dealloc(PyObject* self) {
  NativeFunction* function = as_function(self);
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  if (function->weakrefs != nullptr) {
    PyObject_ClearWeakRefs(self);
  }
  native_function_clear(self);
  Py_CLEAR(function->globals);
  Py_CLEAR(function->builtins);
  Py_CLEAR(function->name);
  Py_CLEAR(function->qualname);
  for (PyObject*& name : function->parameter_names) {
    Py_CLEAR(name);
  }
  type->tp_free(self);
  Py_DECREF(type);
}

// Attribute setters check what a Python function's setters check, with the same messages.
int set_string_attribute(PyObject** slot, PyObject* value, const char* message) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  Py_XSETREF(*slot, Py_NewRef(value));
  return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }

int set_name(PyObject* self, PyObject* value, void*) {
  return set_string_attribute(&as_function(self)->name, value,
                              "__name__ must be set to a string object");
}

PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }

int set_qualname(PyObject* self, PyObject* value, void*) {
  return set_string_attribute(&as_function(self)->qualname, value,
                              "__qualname__ must be set to a string object");
}

PyObject* get_defaults(PyObject* self, void*) {
  PyObject* defaults = as_function(self)->defaults;
  return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

int set_defaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) {
    value = nullptr;
  }
  if (value != nullptr && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  Py_XSETREF(as_function(self)->defaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_kwdefaults(PyObject* self, void*) {
  PyObject* kwdefaults = as_function(self)->kwdefaults;
  return Py_NewRef(kwdefaults != nullptr ? kwdefaults : Py_None);
}

int set_kwdefaults(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) {
    value = nullptr;
  }
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->kwdefaults, Py_XNewRef(value));
  return 0;
}

PyObject* get_annotations(PyObject* self, void*) {
  NativeFunction* function = as_function(self);
  if (function->annotations == nullptr) {
    // Making the dict may start a collection whose callbacks set annotations first: keep theirs.
    OwnedRef made = OwnedRef::steal(PyDict_New());
    if (!made) {
      return nullptr;
    }
    if (function->annotations == nullptr) {
      function->annotations = made.release();
    }
  }
  return Py_NewRef(function->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value == Py_None) {
    value = nullptr;
  }
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
  return 0;
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

// "(self, max_bytes=None)": what inspect.signature() and help() show, defaults included.
PyObject* get_text_signature(PyObject* self, void*) {
  NativeFunction* function = as_function(self);
  const int count = function->definition->parameter_count;
  // Held: a default's repr may rebind __defaults__ while the others are still to be shown.
  const OwnedRef defaults = OwnedRef::new_reference(function->defaults);
  const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  OwnedRef parts = OwnedRef::steal(PyList_New(0));
  for (int i = 0; parts && i < count; ++i) {
    const Py_ssize_t default_index = i - (count - ndefaults);
    OwnedRef part = OwnedRef::steal(
        default_index >= 0
            ? PyUnicode_FromFormat("%U=%R", function->parameter_names[i],
                                   PyTuple_GET_ITEM(defaults.get(), default_index))
            : Py_NewRef(function->parameter_names[i]));
    if (!part || PyList_Append(parts.get(), part.get()) < 0) {
      return nullptr;
    }
  }
  OwnedRef separator = parts ? OwnedRef::steal(PyUnicode_FromString(", ")) : OwnedRef();
  OwnedRef joined =
      separator ? OwnedRef::steal(PyUnicode_Join(separator.get(), parts.get())) : OwnedRef();
  return joined ? PyUnicode_FromFormat("(%U)", joined.get()) : nullptr;
}

// As a Python function is pickled, by the qualified name under which its module holds it; copy
// and deepcopy return such an object itself.
PyObject* native_function_reduce(PyObject* self, PyObject* /*unused*/) {
  return Py_NewRef(as_function(self)->qualname);
}

PyMethodDef native_function_methods[] = {
    {"__reduce__", native_function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef native_function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define KORVANE_MEMBER(name, type, field, flags) \
  {const_cast<char*>(name), type, offsetof(NativeFunction, field), flags, nullptr}

PyMemberDef native_function_members[] = {
    KORVANE_MEMBER("__module__", T_OBJECT, module, 0),
    KORVANE_MEMBER("__doc__", T_OBJECT, doc, 0),
    KORVANE_MEMBER("__globals__", T_OBJECT, globals, READONLY),
    KORVANE_MEMBER("__builtins__", T_OBJECT, builtins, READONLY),
    KORVANE_MEMBER("__vectorcalloffset__", T_PYSSIZET, vectorcall, READONLY),
    KORVANE_MEMBER("__dictoffset__", T_PYSSIZET, dict, READONLY),
    KORVANE_MEMBER("__weaklistoffset__", T_PYSSIZET, weakrefs, READONLY),
    {nullptr, 0, 0, 0, nullptr},
};

#undef KORVANE_MEMBER

PyType_Slot native_function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(native_function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(native_function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(native_function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(native_function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(native_function_dealloc)},
    {Py_tp_methods, native_function_methods},
    {Py_tp_getset, native_function_getset},
    {Py_tp_members, native_function_members},
    {0, nullptr},
};

// A method descriptor: `obj.method(...)` calls it with `obj` first, no bound method in between.
PyType_Spec native_function_spec = {
    "korvane.offload.pinned_pool.native_function",
    sizeof(NativeFunction),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    native_function_slots,
};

OwnedRef annotations_of(const FunctionDef& definition) {
  OwnedRef annotations = OwnedRef::steal(PyDict_New());
  for (int i = 0; annotations && i < definition.annotation_count; ++i) {
    OwnedRef text = OwnedRef::steal(PyUnicode_FromString(definition.annotations[i].text));
    if (!text ||
        PyDict_SetItemString(annotations.get(), definition.annotations[i].key, text.get()) < 0) {
      return {};
    }
  }
  return annotations;
}

}  // namespace

OwnedRef GlobalScope::load(PyObject* name) const {
  PyObject* value = PyDict_GetItemWithError(globals, name);
  if (value == nullptr && !PyErr_Occurred()) {
    value = PyDict_GetItemWithError(builtins, name);
    if (value == nullptr && !PyErr_Occurred()) {
      PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
  }
  return OwnedRef::new_reference(value);
}

OwnedRef call_native_method(PyObject* self, PyObject* name, const FunctionDef& definition,
                            PyObject* arg) {
  PyObject* const args[] = {self, arg};
  const size_t nargs = arg == nullptr ? 1 : 2;
#if KORVANE_HAS_GET_METHOD
  // The lookup a method call makes: `method` comes back unbound (1) when it is a method
  // descriptor found on the class and no instance attribute hides it.
  PyObject* found = nullptr;
  const int unbound = _PyObject_GetMethod(self, name, &found);
  OwnedRef method = OwnedRef::steal(found);
  if (!method) {
    return {};
  }
  if (!unbound) {
    return OwnedRef::steal(PyObject_Vectorcall(method.get(), args + 1, nargs - 1, nullptr));
  }
  if (Py_TYPE(method.get()) == native_function_type &&
      as_function(method.get())->definition == &definition) {
    return invoke(as_function(method.get()), args, nargs, nullptr);
  }
  return OwnedRef::steal(PyObject_Vectorcall(method.get(), args, nargs, nullptr));
#else
  (void)definition;
  return OwnedRef::steal(PyObject_VectorcallMethod(name, args, nargs, nullptr));
#endif
}

int native_function_type_ready() {
  if (native_function_type == nullptr) {
    native_function_type =
        reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&native_function_spec));
  }
  return native_function_type != nullptr ? 0 : -1;
}

OwnedRef native_function_new(const FunctionDef& definition, PyObject* globals, PyObject* defaults) {
  OwnedRef annotations = annotations_of(definition);
  if (!annotations) {
    return {};
  }
  OwnedRef object = OwnedRef::steal(
      reinterpret_cast<PyObject*>(PyObject_GC_New(NativeFunction, native_function_type)));
  if (!object) {
    return {};
  }
  // Fill every field before anything can fail, so the deallocator sees a whole object.
  NativeFunction* function = as_function(object.get());
  function->vectorcall = native_function_vectorcall;
  function->definition = &definition;
  function->globals = Py_NewRef(globals);
  function->builtins = Py_NewRef(PyEval_GetBuiltins());
  function->name = PyUnicode_InternFromString(definition.name);
  function->qualname = PyUnicode_InternFromString(definition.qualname);
  function->module = Py_XNewRef(PyDict_GetItemString(globals, "__name__"));
  function->doc = Py_NewRef(Py_None);
  function->annotations = annotations.release();
  function->defaults = Py_XNewRef(defaults);
  function->kwdefaults = nullptr;
  function->dict = nullptr;
  function->weakrefs = nullptr;
  bool complete = function->name != nullptr && function->qualname != nullptr;
  for (int i = 0; i < kMaxParameters; ++i) {
    const bool used = i < definition.parameter_count;
    function->parameter_names[i] =
        used ? PyUnicode_InternFromString(definition.parameters[i].name) : nullptr;
    complete = complete && (!used || function->parameter_names[i] != nullptr);
  }
  PyObject_GC_Track(object.get());
  if (!complete) {
    return {};
  }
  return object;
}

}  // namespace korvane
