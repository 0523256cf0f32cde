// `from <module> import <name>` done at call time: the module comes from
// sys.modules (imported when needed), and a module without the name raises
// ImportError, as the statement does.
#pragma once

#include "core/py.hpp"

namespace bridge {

inline nb::object import_from(const char* module, const char* name) {
  nb::object mod = import(module);
  PyObject* v = PyObject_GetAttrString(mod.ptr(), name);
  if (v) return nb::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  throw nb::python_error();
}

}  // namespace bridge
