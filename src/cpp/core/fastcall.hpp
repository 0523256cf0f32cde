// Functions called on hot paths, registered as plain vectorcall functions
// (METH_FASTCALL | METH_KEYWORDS) instead of through nanobind's dispatcher.
// Arguments are bound by position and by keyword as a Python function binds
// them, and a C++ exception becomes the Python exception it carries.
#pragma once

#include <array>
#include <cstring>

#include "core/py.hpp"

namespace bridge {

// A C function of another calling convention (METH_FASTCALL and friends) as
// the PyCFunction a PyMethodDef holds; the cast goes through a plain function
// pointer type, as CPython's own tables do.
template <auto F> PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// Binds args/kwnames to `names` in order; `out` receives borrowed references
// (nullptr where an optional argument was not given). The first `required`
// names must be given. Raises TypeError as CPython does for a bad call.
template <size_t N>
void bind_args(const char* fn, const std::array<const char*, N>& names, size_t required,
               PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               std::array<PyObject*, N>& out) {
  out.fill(nullptr);
  if (static_cast<size_t>(nargs) > N) {
    PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd were given", fn,
                 N, nargs);
    throw nb::python_error();
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = args[i];
  Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t slot = N;
    for (size_t j = 0; j < N; ++j) {
      if (PyUnicode_CompareWithASCIIString(key, names[j]) == 0) {
        slot = j;
        break;
      }
    }
    if (slot == N) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn, key);
      throw nb::python_error();
    }
    if (out[slot]) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn,
                   names[slot]);
      throw nb::python_error();
    }
    out[slot] = args[nargs + k];
  }
  for (size_t j = 0; j < required; ++j) {
    if (!out[j]) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn,
                   names[j], j + 1);
      throw nb::python_error();
    }
  }
}

// Runs `body` (returning nb::object) and hands its result to CPython, or
// sets the Python error it raised and returns nullptr. Only the exception
// types the bridge raises are caught: a thread that the interpreter ends
// while it waits for the GIL at exit unwinds through here (a forced unwind),
// and that must go on.
template <typename Body> PyObject* fastcall_result(Body&& body) {
  try {
    return body().release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
  } catch (nb::builtin_exception& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.type()) {
      case nb::exception_type::type_error: type = PyExc_TypeError; break;
      case nb::exception_type::value_error: type = PyExc_ValueError; break;
      case nb::exception_type::key_error: type = PyExc_KeyError; break;
      case nb::exception_type::index_error: type = PyExc_IndexError; break;
      default: break;
    }
    PyErr_SetString(type, e.what());
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

// Adds a vectorcall function to the module. `def` must outlive the module
// (a static). Its doc may open with "name(args)\n--\n\n", which inspect
// reads as the signature.
inline void add_fastcall(nb::module_& m, PyMethodDef* def) {
  def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
  nb::object name = nb::steal(PyModule_GetNameObject(m.ptr()));
  if (!name.is_valid()) throw nb::python_error();
  nb::object fn = nb::steal(PyCFunction_NewEx(def, m.ptr(), name.ptr()));
  if (!fn.is_valid()) throw nb::python_error();
  m.attr(def->ml_name) = fn;
}

}  // namespace bridge
