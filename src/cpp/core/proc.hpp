// Child processes through Python's subprocess module (which waits with the
// GIL released), with captured text output and a time limit.
#pragma once

#include <optional>

#include "core/py.hpp"

namespace bridge {

// subprocess.run(argv, capture_output=True, text=True, timeout=...). Gives
// nothing when the tool cannot be started (OSError) or the limit passes (the
// child is killed by subprocess). Other errors reach the caller.
// `subprocess` is the module to use (a module's own binding of it); the one
// in sys.modules when not given.
inline std::optional<nb::object> run_captured(nb::handle argv, double timeout,
                                              nb::handle subprocess_module = nb::handle()) {
  nb::object subprocess =
      subprocess_module ? nb::borrow(subprocess_module) : import("subprocess");
  try {
    return subprocess.attr("run")(argv, "capture_output"_a = true, "text"_a = true,
                                  "timeout"_a = timeout);
  } catch (nb::python_error& e) {
    if (raised(e, PyExc_OSError)) return std::nullopt;
    if (e.matches(subprocess.attr("TimeoutExpired"))) return std::nullopt;
    throw;
  }
}

}  // namespace bridge
