// Argument checks done on entry, before any effect. A refused value raises
// TypeError naming the function, the argument and the types involved.
#pragma once

#include "core/py.hpp"

namespace bridge {

[[noreturn]] inline void refuse(const char* fn, const char* arg, const char* want,
                                nb::handle got) {
  PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", fn, arg, want,
               bridge::type_name(got).ptr());
  throw nb::python_error();
}

inline bool is_text(nb::handle v) { return PyUnicode_Check(v.ptr()); }
inline bool is_integer(nb::handle v) { return PyLong_Check(v.ptr()); }
inline bool is_list(nb::handle v) { return PyList_Check(v.ptr()); }

inline bool is_mapping(nb::handle v) {
  if (PyDict_Check(v.ptr())) return true;
  static PyObject* mapping_abc = [] {
    nb::object abc = import("collections.abc").attr("Mapping");
    return abc.release().ptr();
  }();
  int r = PyObject_IsInstance(v.ptr(), mapping_abc);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

inline nb::str need_text(nb::handle v, const char* fn, const char* arg) {
  if (!is_text(v)) refuse(fn, arg, "str", v);
  return nb::borrow<nb::str>(v);
}

inline nb::int_ need_integer(nb::handle v, const char* fn, const char* arg) {
  if (!is_integer(v)) refuse(fn, arg, "int", v);
  return nb::borrow<nb::int_>(v);
}

inline nb::list need_list(nb::handle v, const char* fn, const char* arg) {
  if (!is_list(v)) refuse(fn, arg, "list", v);
  return nb::borrow<nb::list>(v);
}

inline nb::object need_mapping(nb::handle v, const char* fn, const char* arg) {
  if (!is_mapping(v)) refuse(fn, arg, "a mapping", v);
  return nb::borrow(v);
}

inline void need_optional_text(nb::handle v, const char* fn, const char* arg) {
  if (!v.is_none() && !is_text(v)) refuse(fn, arg, "str or None", v);
}

inline void need_optional_integer(nb::handle v, const char* fn, const char* arg) {
  if (!v.is_none() && !is_integer(v)) refuse(fn, arg, "int or None", v);
}

inline void need_callable(nb::handle v, const char* fn, const char* arg) {
  if (!PyCallable_Check(v.ptr())) refuse(fn, arg, "callable", v);
}

// The value of a Python int that must fit a C long (port numbers, counts).
inline long as_long(nb::handle v) {
  long r = PyLong_AsLong(v.ptr());
  if (r == -1 && PyErr_Occurred()) throw nb::python_error();
  return r;
}

}  // namespace bridge
