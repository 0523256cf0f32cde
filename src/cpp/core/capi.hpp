// The few CPython operations whose fastest form is outside the limited API.
// A version-specific build (3.10, 3.11) uses the direct macros; the
// stable-ABI build (3.12 and later, one abi3 module for all of them) uses
// their function forms, which behave the same for the valid arguments the
// callers pass.
#pragma once

#include <nanobind/nanobind.h>

namespace bridge {

namespace nb = nanobind;

#ifdef Py_LIMITED_API
inline PyObject* tuple_item(PyObject* t, Py_ssize_t i) { return PyTuple_GetItem(t, i); }
inline Py_ssize_t tuple_size(PyObject* t) { return PyTuple_Size(t); }
inline PyObject* list_item(PyObject* l, Py_ssize_t i) { return PyList_GetItem(l, i); }
inline Py_ssize_t list_size(PyObject* l) { return PyList_Size(l); }
// Fills a slot of a new list; steals `v`.
inline void list_fill(PyObject* l, Py_ssize_t i, PyObject* v) { PyList_SetItem(l, i, v); }
inline Py_ssize_t bytes_size(PyObject* b) { return PyBytes_Size(b); }
inline Py_ssize_t text_length(PyObject* s) { return PyUnicode_GetLength(s); }
#else
inline PyObject* tuple_item(PyObject* t, Py_ssize_t i) { return PyTuple_GET_ITEM(t, i); }
inline Py_ssize_t tuple_size(PyObject* t) { return PyTuple_GET_SIZE(t); }
inline PyObject* list_item(PyObject* l, Py_ssize_t i) { return PyList_GET_ITEM(l, i); }
inline Py_ssize_t list_size(PyObject* l) { return PyList_GET_SIZE(l); }
inline void list_fill(PyObject* l, Py_ssize_t i, PyObject* v) { PyList_SET_ITEM(l, i, v); }
inline Py_ssize_t bytes_size(PyObject* b) { return PyBytes_GET_SIZE(b); }
inline Py_ssize_t text_length(PyObject* s) { return PyUnicode_GET_LENGTH(s); }
#endif

// f(arg) as a new reference, or null with the error set.
inline PyObject* call_one(PyObject* f, PyObject* arg) {
  PyObject* argv[] = {nullptr, arg};
  return PyObject_Vectorcall(f, argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// obj.name(arg) as a new reference, or null with the error set.
inline PyObject* call_method_one(PyObject* obj, PyObject* name, PyObject* arg) {
  PyObject* argv[] = {obj, arg};
  return PyObject_VectorcallMethod(name, argv, 2, nullptr);
}

// The name of obj's type as the interpreter's own messages show it
// ("dict", "collections.deque", a class's own name).
inline nb::str type_name(nb::handle obj) {
  PyTypeObject* type = Py_TYPE(obj.ptr());
#ifdef Py_LIMITED_API
  nb::str name = nb::steal<nb::str>(PyType_GetName(type));
  if (!name.is_valid()) throw nb::python_error();
  if (PyType_GetFlags(type) & Py_TPFLAGS_HEAPTYPE) return name;
  // A static type's name is its dotted module path and name, the module
  // left out for builtins.
  nb::object module = nb::getattr(nb::handle(reinterpret_cast<PyObject*>(type)), "__module__",
                                  nb::none());
  if (!PyUnicode_Check(module.ptr()) || nb::str("builtins").equal(module)) return name;
  return nb::str("{}.{}").format(module, name);
#else
  return nb::str(type->tp_name);
#endif
}

}  // namespace bridge
