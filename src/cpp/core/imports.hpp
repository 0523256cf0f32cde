// `from <module> import <name>` done at call time, as the statement does it:
// a module already in sys.modules is used as it is (its parent package need
// not be loaded), otherwise it is imported; a module without the name raises
// ImportError.
#pragma once

#include "core/py.hpp"

namespace bridge {

inline nb::object import_from(const char* module, const char* name) {
  nb::str mod_name(module);
  nb::tuple fromlist = nb::make_tuple(nb::str(name));
  PyObject* mod = PyImport_ImportModuleLevelObject(mod_name.ptr(), nullptr, nullptr,
                                                   fromlist.ptr(), 0);
  if (!mod) throw nb::python_error();
  nb::object owner = nb::steal(mod);
  PyObject* v = PyObject_GetAttrString(mod, name);
  if (v) return nb::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
  PyErr_Clear();
  PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  throw nb::python_error();
}

}  // namespace bridge
