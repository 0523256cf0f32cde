// `from <module> import <name>` done at call time, as the statement does it:
// a module already in sys.modules is used as it is (its parent package need
// not be loaded), otherwise it is imported; a module without the name raises
// ImportError.
#pragma once

#include "core/py.hpp"

namespace bridge {

// `name` of the imported `module` (called `module_name`), as the statement
// finds it: an ImportError when the module has no such attribute.
inline nb::object imported_name(nb::handle module, nb::handle name, const char* module_name) {
  nb::object v = attr_or_null(module, name.ptr());
  if (v.is_valid()) return v;
  PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%s'", name.ptr(), module_name);
  throw nb::python_error();
}

inline nb::object import_from(const char* module, const char* name) {
  nb::str mod_name(module), attr(name);
  nb::tuple fromlist = nb::make_tuple(attr);
  PyObject* mod = PyImport_ImportModuleLevelObject(mod_name.ptr(), nullptr, nullptr,
                                                   fromlist.ptr(), 0);
  if (!mod) throw nb::python_error();
  return imported_name(nb::steal(mod), attr, module);
}

}  // namespace bridge
