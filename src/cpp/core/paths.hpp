// pathlib.Path values and the user's home directory, resolved as
// os.path.expanduser does (HOME first).
#pragma once

#include "core/py.hpp"

namespace bridge {

inline nb::object path(nb::handle text) { return stdlib("pathlib", "Path")(text); }

inline nb::object home() { return path(stdlib("os.path", "expanduser")("~")); }

// home() / "a" / "b" ...
template <typename... Parts> nb::object home_join(Parts&&... parts) {
  nb::object p = home();
  ((p = p.attr("__truediv__")(nb::str(parts))), ...);
  return p;
}

}  // namespace bridge
