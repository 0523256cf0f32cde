// Late binding: a module's functions reach state and each other through the
// module's namespace at call time, the way Python globals are looked up.
#pragma once

#include "core/py.hpp"
#include "core/signature.hpp"

namespace bridge {

#if PY_VERSION_HEX < 0x030C0000
// dict[name] (borrowed), or nullptr when absent or on error. CPython gives a
// dict a new version tag on every change to it (tags are never reused), so
// while the dict's tag is the one seen at the last lookup of this name in it,
// that lookup's value is still the binding and the dict is not searched again.
inline PyObject* lookup_seen(PyObject* dict, const Name& name) {
  Name::Seen& seen = name.seen();
  uint64_t version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
  if (seen.dict == dict && seen.version == version && seen.value) return seen.value;
  PyObject* v = PyDict_GetItemWithError(dict, name.ptr());
  if (!v) return nullptr;
  seen.dict = dict;
  seen.version = version;
  seen.value = v;
  return v;
}
#endif

// `mod.name`, as attribute access gives it. For a plain module whose type
// does not define the name, that is the module dict's entry, found through
// the name's lookup cache.
inline nb::object module_attr(nb::handle mod, const Name& name) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyModule_CheckExact(mod.ptr()) && !_PyType_Lookup(Py_TYPE(mod.ptr()), name.ptr())) {
    PyObject* dict = PyModule_GetDict(mod.ptr());
    if (dict && PyDict_CheckExact(dict)) {
      if (PyObject* v = lookup_seen(dict, name)) return nb::borrow(v);
      if (PyErr_Occurred()) throw nb::python_error();
    }
  }
#endif
  PyObject* v = PyObject_GetAttr(mod.ptr(), name.ptr());
  if (!v) throw nb::python_error();
  return nb::steal(v);
}

class Namespace {
 public:
  // Called once from the module's init; keeps the module's __dict__.
  void bind(nb::module_& m) {
    dict_ = PyModule_GetDict(m.ptr());
    Py_INCREF(dict_);  // kept for the life of the process
    enable_signatures();
  }

  PyObject* dict() const { return dict_; }

  // A name's value, as a global lookup finds it (cached as lookup_seen says).
  nb::object get(const Name& name) const {
    if (PyObject* v = peek(name)) return nb::borrow(v);
    return get(name.ptr());  // raises NameError
  }

  // The binding of `name`, borrowed from the namespace (nullptr when there is
  // none), for a caller that only compares it.
  PyObject* peek(const Name& name) const {
#if PY_VERSION_HEX < 0x030C0000
    PyObject* v = lookup_seen(dict_, name);
#else
    PyObject* v = PyDict_GetItemWithError(dict_, name.ptr());
#endif
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
  }
  nb::object get(const char* name) const {
    nb::str key(name);
    return get(key.ptr());
  }

  nb::object get(PyObject* key) const {
    PyObject* v = PyDict_GetItemWithError(dict_, key);  // borrowed
    if (!v) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
      throw nb::python_error();
    }
    return nb::borrow(v);
  }

  void set(const char* name, nb::handle value) const {
    if (PyDict_SetItemString(dict_, name, value.ptr()) != 0) throw nb::python_error();
  }
  void set(const Name& name, nb::handle value) const {
    if (PyDict_SetItem(dict_, name.ptr(), value.ptr()) != 0) throw nb::python_error();
  }

  // `module.attr` through the module's own binding of `module` when it has
  // one (as `import os` makes one), so that replacing it there is honoured;
  // the module from sys.modules otherwise.
  nb::object std(const char* module, const char* attr) const {
    return this->module(module).attr(attr);
  }
  nb::object module(const char* name) const {
    PyObject* v = PyDict_GetItemString(dict_, name);  // borrowed
    if (v) return nb::borrow(v);
    return import(name);
  }

  // Calls the namespace's current binding of `name`.
  template <typename... Args>
  nb::object call(const char* name, Args&&... args) const {
    return get(name)(std::forward<Args>(args)...);
  }
  template <typename... Args>
  nb::object call(const Name& name, Args&&... args) const {
    return get(name)(std::forward<Args>(args)...);
  }

 private:
  PyObject* dict_ = nullptr;
};

}  // namespace bridge
