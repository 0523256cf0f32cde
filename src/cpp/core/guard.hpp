// Operations that must never stop their caller catch at their top level with
// this helper: an ordinary exception is logged and the neutral result given.
// KeyboardInterrupt and SystemExit still pass, as `except Exception` lets them.
#pragma once

#include "core/log.hpp"

namespace bridge {

template <typename Body>
nb::object never_raise(const Logger& log, const char* fmt, nb::object neutral, Body&& body) {
  try {
    return body();
  } catch (nb::python_error& e) {
    if (!is_ordinary(e)) throw;
    log.warning(fmt, text_of(e.value()));
    return neutral;
  }
}

}  // namespace bridge
