// Calling a method by name on hot paths. For objects of a builtin type whose
// methods cannot change (a static or immutable type) and that has no
// instance attributes (locks, deques), the type's method descriptor is
// looked up once and called directly; anything else is called as
// obj.name(...) would be.
#pragma once

#include "core/py.hpp"

namespace bridge {

class Method {
 public:
  explicit Method(const char* name) : name_(name) {}

  // obj.name(args...) as a new reference; throws the Python error.
  template <typename... Args> nb::object operator()(nb::handle obj, Args... args) {
    PyObject* argv[] = {obj.ptr(), nb::handle(args).ptr()...};
    constexpr size_t n = 1 + sizeof...(Args);
    PyObject* r;
    if (PyObject* d = descriptor(Py_TYPE(obj.ptr()))) {
      r = PyObject_Vectorcall(d, argv, n, nullptr);
    } else {
      r = PyObject_VectorcallMethod(name_.ptr(), argv, n, nullptr);
    }
    if (!r) throw nb::python_error();
    return nb::steal(r);
  }

 private:
  // Whether instances of `type` can carry attributes of their own (the
  // type's __dictoffset__ is not 0).
  static bool has_instance_dict(PyTypeObject* type) {
    PyObject* offset = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__dictoffset__");
    if (!offset) {
      PyErr_Clear();
      return true;
    }
    long value = PyLong_AsLong(offset);
    Py_DECREF(offset);
    if (value == -1 && PyErr_Occurred()) PyErr_Clear();
    return value != 0;
  }

  // The cached descriptor when `type` is the type first seen and qualifies.
  PyObject* descriptor(PyTypeObject* type) {
    if (!seen_) {
      seen_ = type;
      Py_INCREF(reinterpret_cast<PyObject*>(type));
      unsigned long flags = PyType_GetFlags(type);
      bool fixed = !(flags & Py_TPFLAGS_HEAPTYPE) || (flags & Py_TPFLAGS_IMMUTABLETYPE);
      if (fixed && !has_instance_dict(type)) {
        PyObject* d = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name_.ptr());
        if (d && Py_IS_TYPE(d, &PyMethodDescr_Type))
          descr_ = d;  // kept
        else
          Py_XDECREF(d);
        PyErr_Clear();
      }
    }
    return type == seen_ ? descr_ : nullptr;
  }

  Name name_;
  PyTypeObject* seen_ = nullptr;  // both kept for the life of the process
  PyObject* descr_ = nullptr;
};

}  // namespace bridge
