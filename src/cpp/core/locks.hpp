// Holding a lock that lives in a module namespace (a threading.Lock). The
// lock's own acquire() waits with the GIL released, so other Python threads
// run while we wait; there is never a C++ mutex beside it.
#pragma once

#include "core/py.hpp"

namespace bridge {

class Hold {
 public:
  explicit Hold(nb::handle lock) : lock_(lock.ptr()) {
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
inline void sleep_seconds(double seconds) { stdlib("time", "sleep")(seconds); }

}  // namespace bridge

namespace bridge {

// Like Hold, for short critical sections on hot paths. An uncontended
// threading.Lock is taken without going through its acquire() method (whose
// argument parsing costs more than the section it guards); a contended one
// is waited for through acquire(), with the GIL released, as Hold does.
// Only plain _thread.lock objects whose layout was checked at first use take
// the short way; anything else goes through the methods.
class QuickHold {
 public:
  explicit QuickHold(nb::handle lock) : lock_(lock.ptr()) {
    const Layout& l = layout();
    if (l.ok && Py_TYPE(lock_) == l.type &&
        PyThread_acquire_lock(raw(lock_, l), 0) == PY_LOCK_ACQUIRED) {
      flag(lock_, l) = 1;
    } else {
      static Name acquire("acquire");
      PyObject* r = PyObject_CallMethodNoArgs(lock_, acquire.ptr());
      if (!r) throw nb::python_error();
      Py_DECREF(r);
    }
    Py_INCREF(lock_);
  }
  ~QuickHold() {
    const Layout& l = layout();
    if (l.ok && Py_TYPE(lock_) == l.type && flag(lock_, l) == 1) {
      flag(lock_, l) = 0;
      PyThread_release_lock(raw(lock_, l));
    } else {
      static Name release_name("release");
      PyObject* r = PyObject_CallMethodNoArgs(lock_, release_name.ptr());
      if (r) {
        Py_DECREF(r);
      } else {
        PyErr_WriteUnraisable(lock_);
      }
    }
    Py_DECREF(lock_);
  }

  QuickHold(const QuickHold&) = delete;
  QuickHold& operator=(const QuickHold&) = delete;

 private:
  // CPython 3.10's lock object: the head, the native lock, the weak
  // reference list, then a "locked" flag its methods keep in step.
  struct Layout {
    PyTypeObject* type = nullptr;
    bool ok = false;
  };
  static constexpr Py_ssize_t kRawOffset = sizeof(PyObject);
  static constexpr Py_ssize_t kFlagOffset = sizeof(PyObject) + 2 * sizeof(void*);

  static PyThread_type_lock raw(PyObject* o, const Layout&) {
    return *reinterpret_cast<PyThread_type_lock*>(reinterpret_cast<char*>(o) + kRawOffset);
  }
  static char& flag(PyObject* o, const Layout&) {
    return *(reinterpret_cast<char*>(o) + kFlagOffset);
  }

  // Checks the layout on a probe lock: the flag and the native lock must
  // follow acquire() and release() exactly.
  static const Layout& layout() {
    static Layout l = [] {
      Layout r;
      nb::object probe = stdlib("threading", "Lock")();
      PyTypeObject* tp = Py_TYPE(probe.ptr());
      r.type = tp;
      if (tp->tp_basicsize < kFlagOffset + 1 ||
          tp->tp_weaklistoffset != static_cast<Py_ssize_t>(sizeof(PyObject) + sizeof(void*)))
        return r;
      PyObject* o = probe.ptr();
      if (flag(o, r) != 0 || !raw(o, r)) return r;
      probe.attr("acquire")();
      bool held = flag(o, r) == 1 && PyThread_acquire_lock(raw(o, r), 0) != PY_LOCK_ACQUIRED;
      probe.attr("release")();
      if (!held || flag(o, r) != 0) return r;
      if (PyThread_acquire_lock(raw(o, r), 0) != PY_LOCK_ACQUIRED) return r;
      flag(o, r) = 1;
      bool seen = nb::cast<bool>(probe.attr("locked")());
      flag(o, r) = 0;
      PyThread_release_lock(raw(o, r));
      r.ok = seen && !nb::cast<bool>(probe.attr("locked")());
      Py_INCREF(tp);  // kept with the layout for the life of the process
      return r;
    }();
    return l;
  }

  PyObject* lock_;
};

}  // namespace bridge
