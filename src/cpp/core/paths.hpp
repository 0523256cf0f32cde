// pathlib.Path values and the user's home directory, resolved as
// os.path.expanduser does (HOME first).
#pragma once

#include "core/py.hpp"

namespace bridge {

inline nb::object path(nb::handle text) { return stdlib("pathlib", "Path")(text); }

namespace paths_detail {
inline nb::object part(const char* p) { return nb::str(p); }
inline nb::object part(nb::handle p) { return nb::borrow(p); }
}  // namespace paths_detail

// base / part / ... as the `/` operator joins them (for a pathlib.Path base).
template <typename... Parts> nb::object join(nb::handle base, const Parts&... parts) {
  nb::object p = nb::borrow(base);
  auto step = [&p](nb::object part) {
    PyObject* r = PyNumber_TrueDivide(p.ptr(), part.ptr());
    if (!r) throw nb::python_error();
    p = nb::steal(r);
  };
  (step(paths_detail::part(parts)), ...);
  return p;
}

inline nb::object home() { return path(stdlib("os.path", "expanduser")("~")); }

// home() / "a" / "b" ...
template <typename... Parts> nb::object home_join(const Parts&... parts) {
  return join(home(), parts...);
}

}  // namespace bridge
