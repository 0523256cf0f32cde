// Holding a lock that lives in a module namespace (a threading.Lock) for the
// life of a scope. The lock's own acquire() waits with the GIL released, so
// other Python threads run while we wait; there is never a C++ mutex beside
// it. The lock's methods are found once per lock type (core/method.hpp).
#pragma once

#include "core/method.hpp"

namespace bridge {

class Hold {
 public:
  explicit Hold(nb::handle lock) : lock_(nb::borrow(lock)) { acquire_method()(lock_); }
  ~Hold() { release(); }

  // Releases early; the destructor then does nothing.
  void release() {
    if (!lock_.is_valid()) return;
    nb::object lock = std::move(lock_);
    try {
      release_method()(lock);
    } catch (nb::python_error& e) {
      e.discard_as_unraisable(lock);
    }
  }

  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  static Method& acquire_method() {
    static Method m("acquire");
    return m;
  }
  static Method& release_method() {
    static Method m("release");
    return m;
  }

  nb::object lock_;
};

// time.sleep of the moment: releases the GIL and lets signal handlers run.
inline void sleep_seconds(double seconds, nb::handle time_module = nb::handle()) {
  nb::object time = time_module ? nb::borrow(time_module) : import("time");
  time.attr("sleep")(seconds);
}

}  // namespace bridge
