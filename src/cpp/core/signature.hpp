// inspect.signature() for nanobind functions. CPython reads a signature from
// obj.__signature__ before anything else; nanobind's function type has none,
// so inspect, help() and editors could not see parameter names or defaults.
// A read-only __signature__ property is added to that type once: it builds
// the signature from the function's own "def name(...)" text (the nb::sig
// given at binding), and gives None — inspect's own fallback — otherwise.
#pragma once

#include "core/py.hpp"

namespace bridge {

namespace signature_detail {

inline nb::object signature_of(nb::handle fn) {
  try {
    nb::object overloads = fn.attr("__nb_signature__");
    if (nb::len(overloads) != 1) return nb::none();
    nb::object text = overloads[0][0];
    if (!PyUnicode_Check(text.ptr()) || !truthy(text.attr("startswith")("def ")))
      return nb::none();
    nb::object name = text.attr("__getitem__")(nb::slice(nb::int_(4), nb::none(), nb::none()))
                          .attr("split")("(", 1)[0];
    nb::object builtins = import("builtins");
    // Annotations stay text (postponed), so their names need not resolve.
    nb::object flags = stdlib("__future__", "annotations").attr("compiler_flag");
    nb::object code = builtins.attr("compile")(text + nb::str(": pass\n"), "<signature>", "exec",
                                               flags, true);
    nb::dict scope;
    builtins.attr("exec")(code, scope);
    return stdlib("inspect", "signature")(scope[name]);
  } catch (nb::python_error& e) {
    if (!is_ordinary(e)) throw;
    return nb::none();
  }
}

}  // namespace signature_detail

// Idempotent; called when a module binds its namespace.
inline void enable_signatures() {
  static bool done = false;
  if (done) return;
  done = true;
  nb::object probe = nb::cpp_function([] {});
  auto* type = Py_TYPE(probe.ptr());
  // The type's own dict (what tp_dict holds), reached through the generic
  // attribute dictionary of the type object.
  nb::object dict = nb::steal(PyObject_GenericGetDict(reinterpret_cast<PyObject*>(type), nullptr));
  if (!dict.is_valid()) throw nb::python_error();
  if (!PyDict_Check(dict.ptr()) || PyDict_GetItemString(dict.ptr(), "__signature__")) return;
  nb::object getter = nb::cpp_function(
      [](nb::handle self) { return signature_detail::signature_of(self); }, nb::arg("self"));
  nb::object prop = import("builtins").attr("property")(getter);
  // nanobind's function type is immutable to setattr; its dict is not.
  if (PyDict_SetItemString(dict.ptr(), "__signature__", prop.ptr()) != 0)
    throw nb::python_error();
  PyType_Modified(type);
}

}  // namespace bridge
