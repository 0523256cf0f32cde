// Common includes and small helpers for talking to the host interpreter.
#pragma once

#include <nanobind/nanobind.h>

#include "core/capi.hpp"

#include <string>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace bridge {

// An interned Python text kept for the life of the process. Meant to be a
// function-local static, so it is created on first use with the GIL held.
class Name {
 public:
  explicit Name(const char* text) : ptr_(PyUnicode_InternFromString(text)) {
    if (!ptr_) throw nb::python_error();
  }
  PyObject* ptr() const { return ptr_; }
  nb::handle handle() const { return ptr_; }


 private:
  PyObject* ptr_;  // never released: names outlive every module
};

// The module `name` as importlib.import_module gives it: sys.modules first
// (a dotted name found there needs no parent package), imported otherwise.
// Fetched each time, so that a replaced module or attribute is honoured.
inline nb::object import(const char* module) {
  nb::str name(module);
  PyObject* found = PyImport_GetModule(name.ptr());  // new reference or NULL
  if (found && found != Py_None) return nb::steal(found);
  Py_XDECREF(found);  // None there blocks the import: the import raises below
  if (PyErr_Occurred()) throw nb::python_error();
  PyObject* mod = PyImport_Import(name.ptr());
  if (!mod) throw nb::python_error();
  return nb::steal(mod);
}

// `module.attr` fetched at call time, as Python code reading a global would.
inline nb::object stdlib(const char* module, const char* attr) {
  return import(module).attr(attr);
}

// Python's str(obj), as a Python object.
inline nb::str text_of(nb::handle obj) { return nb::str(obj); }

inline nb::object none() { return nb::none(); }

// Python truth of any object (nb::cast<bool> accepts only real bools).
inline bool truthy(nb::handle obj) {
  int r = PyObject_IsTrue(obj.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// mapping.get(key) as a new reference, or a null object when that gives None
// (the key is absent). A plain dict is searched directly.
inline nb::object mapping_get(nb::handle mapping, nb::handle key) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
    if (!v) {
      if (PyErr_Occurred()) throw nb::python_error();
      return {};
    }
    return nb::borrow(v);
  }
  static PyObject* get = PyUnicode_InternFromString("get");  // kept
  PyObject* v = bridge::call_method_one(mapping.ptr(), get, key.ptr());
  if (!v) throw nb::python_error();
  if (v == Py_None) {
    Py_DECREF(v);
    return {};
  }
  return nb::steal(v);
}

// mapping.get(key, fallback): a plain dict is searched directly, anything
// else is asked through its own get method.
inline nb::object mapping_get_or(nb::handle mapping, nb::handle key, nb::handle fallback) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(v ? v : fallback.ptr());
  }
  static PyObject* get = PyUnicode_InternFromString("get");  // kept
  PyObject* args[3] = {mapping.ptr(), key.ptr(), fallback.ptr()};
  PyObject* v = PyObject_VectorcallMethod(get, args, 3, nullptr);
  if (!v) throw nb::python_error();
  return nb::steal(v);
}
inline nb::object mapping_get_or(nb::handle mapping, const char* key, nb::handle fallback) {
  return mapping_get_or(mapping, nb::str(key), fallback);
}

// mapping.pop(key, None) as a new reference, or a null object when that
// gives None (the key was absent). A plain dict is changed directly.
inline nb::object mapping_pop(nb::handle mapping, nb::handle key) {
  if (PyDict_CheckExact(mapping.ptr())) {
    PyObject* v = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
    if (!v) {
      if (PyErr_Occurred()) throw nb::python_error();
      return {};
    }
    nb::object value = nb::borrow(v);
    if (PyDict_DelItem(mapping.ptr(), key.ptr()) != 0) throw nb::python_error();
    return value.is_none() ? nb::object() : value;
  }
  static PyObject* pop = PyUnicode_InternFromString("pop");  // kept
  PyObject* args[3] = {mapping.ptr(), key.ptr(), Py_None};
  PyObject* v = PyObject_VectorcallMethod(pop, args, 3, nullptr);
  if (!v) throw nb::python_error();
  if (v == Py_None) {
    Py_DECREF(v);
    return {};
  }
  return nb::steal(v);
}

// getattr(obj, name) as a new reference, or a null object when only an
// AttributeError says it is absent.
inline nb::object attr_or_null(nb::handle obj, PyObject* name) {
  PyObject* v = PyObject_GetAttr(obj.ptr(), name);
  if (v) return nb::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  return {};
}

// `with cm as value: return body(value)`, as the statement runs it: __exit__
// sees the exception the body raised, and a true answer suppresses it (the
// result is then None).
template <typename Body> nb::object with_context(nb::handle cm, Body&& body) {
  nb::object type = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(cm.ptr())));
  nb::object exit = type.attr("__exit__");
  nb::object value = type.attr("__enter__")(cm);
  nb::object result;
  try {
    result = body(value);
  } catch (nb::python_error& e) {
    nb::object suppress = exit(cm, e.type(), e.value(), e.traceback());
    if (!truthy(suppress)) throw;
    return nb::none();
  }
  exit(cm, nb::none(), nb::none(), nb::none());
  return result;
}

// True when the exception raised is an instance of builtins.<name>, or of the
// given exception class object.
inline bool raised(const nb::python_error& e, PyObject* exc_type) {
  return PyErr_GivenExceptionMatches(e.type().ptr(), exc_type) != 0;
}

// The errno of an OSError, or -1.
inline long errno_of(const nb::python_error& e) {
  if (!raised(e, PyExc_OSError)) return -1;
  nb::handle value = e.value();
  if (!nb::hasattr(value, "errno")) return -1;
  nb::object no = value.attr("errno");
  if (!PyLong_Check(no.ptr())) return -1;
  return PyLong_AsLong(no.ptr());
}

// True for exceptions that Python's `except Exception` would catch.
inline bool is_ordinary(const nb::python_error& e) {
  return raised(e, PyExc_Exception);
}

}  // namespace bridge
