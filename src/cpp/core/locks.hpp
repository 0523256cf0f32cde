// Holding a lock that lives in a module namespace (a threading.Lock). The
// lock's own acquire() waits with the GIL released, so other Python threads
// run while we wait; there is never a C++ mutex beside it. A free lock of the
// plain _thread.lock type is taken and given back directly, as its own
// methods do it (see quicklock.hpp), sparing the method calls.
#pragma once

#include "core/py.hpp"
#include "core/quicklock.hpp"

namespace bridge {

class Hold {
 public:
  explicit Hold(nb::handle lock) : lock_(lock.ptr()) {
    if (quicklock_detail::try_take(lock_)) {
      Py_INCREF(lock_);
      return;
    }
    static Name acquire("acquire");
    PyObject* r = PyObject_CallMethodNoArgs(lock_, acquire.ptr());
    if (!r) throw nb::python_error();
    Py_DECREF(r);
    Py_INCREF(lock_);
  }
  ~Hold() { release(); }

  // Releases early; the destructor then does nothing.
  void release() {
    if (!lock_) return;
    if (quicklock_detail::try_give(lock_)) {
      Py_DECREF(lock_);
      lock_ = nullptr;
      return;
    }
    static Name release_name("release");
    PyObject* r = PyObject_CallMethodNoArgs(lock_, release_name.ptr());
    if (r) {
      Py_DECREF(r);
    } else {
      PyErr_WriteUnraisable(lock_);
    }
    Py_DECREF(lock_);
    lock_ = nullptr;
  }

  Hold(const Hold&) = delete;
  Hold& operator=(const Hold&) = delete;

 private:
  PyObject* lock_;
};

// time.sleep of the moment: releases the GIL and lets signal handlers run.
inline void sleep_seconds(double seconds, nb::handle time_module = nb::handle()) {
  nb::object time = time_module ? nb::borrow(time_module) : import("time");
  time.attr("sleep")(seconds);
}

}  // namespace bridge
