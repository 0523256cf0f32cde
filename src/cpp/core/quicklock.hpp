// A scoped hold of a threading.Lock for very short critical sections on hot
// paths. When the lock is free it is taken directly, the way the lock's own
// acquire() takes it (the native lock and its "locked" flag), which spares the
// Python-level call, and given back the way its release() does; when it is
// busy, the lock's acquire() waits with the GIL released. Hold uses the same
// direct path (try_take / try_give below). The direct path is used only for the exact
// _thread.lock type, on interpreters whose lock layout we know, and only after
// a self-check at first use has confirmed that layout; otherwise every
// acquire and release goes through the lock's own methods.
#pragma once

#include <pythread.h>

#include "core/method.hpp"

namespace bridge {

namespace quicklock_detail {

// The object layout of _thread.lock in CPython 3.10 to 3.12.
struct LockObject {
  PyObject_HEAD
  PyThread_type_lock lock_lock;
  PyObject* in_weakreflist;
  char locked;
};

inline Method& acquire_method() {
  static Method m("acquire");
  return m;
}
inline Method& release_method() {
  static Method m("release");
  return m;
}

// The lock type when the direct path is known to be sound, else nullptr.
inline PyTypeObject* direct_type() {
#if PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030D0000
  static PyTypeObject* type = []() -> PyTypeObject* {
    nb::object probe = import("_thread").attr("allocate_lock")();
    auto* raw = reinterpret_cast<LockObject*>(probe.ptr());
    if (static_cast<size_t>(Py_TYPE(probe.ptr())->tp_basicsize) != sizeof(LockObject))
      return nullptr;
    if (!raw->lock_lock || raw->locked != 0) return nullptr;
    probe.attr("acquire")();
    bool held = raw->locked == 1 && nb::cast<bool>(probe.attr("locked")());
    probe.attr("release")();
    if (!held || raw->locked != 0) return nullptr;
    // Taken directly, the lock must look held to Python too.
    if (PyThread_acquire_lock_timed(raw->lock_lock, 0, 0) != PY_LOCK_ACQUIRED) return nullptr;
    raw->locked = 1;
    bool seen = nb::cast<bool>(probe.attr("locked")());
    probe.attr("release")();
    if (!seen || raw->locked != 0) return nullptr;
    PyTypeObject* t = Py_TYPE(probe.ptr());
    Py_INCREF(t);  // kept for the life of the process
    return t;
  }();
  return type;
#else
  return nullptr;
#endif
}

// Takes `lock` directly when it is of the checked type and free; false
// when the caller must go through its acquire().
inline bool try_take(PyObject* lock) {
  if (Py_TYPE(lock) != direct_type()) return false;
  auto* raw = reinterpret_cast<LockObject*>(lock);
  if (PyThread_acquire_lock_timed(raw->lock_lock, 0, 0) != PY_LOCK_ACQUIRED) return false;
  raw->locked = 1;
  return true;
}

// Releases `lock` directly as its release() does (the native lock, then the
// flag); false when the caller must go through release() (another type, or
// a lock that is not held, for which release() raises).
inline bool try_give(PyObject* lock) {
  if (Py_TYPE(lock) != direct_type()) return false;
  auto* raw = reinterpret_cast<LockObject*>(lock);
  if (!raw->locked) return false;
  PyThread_release_lock(raw->lock_lock);
  raw->locked = 0;
  return true;
}

}  // namespace quicklock_detail

class QuickHold {
 public:
  explicit QuickHold(nb::handle lock) : lock_(nb::borrow(lock)) {
    using namespace quicklock_detail;
    if (Py_TYPE(lock.ptr()) == direct_type()) {
      auto* raw = reinterpret_cast<LockObject*>(lock.ptr());
      if (PyThread_acquire_lock_timed(raw->lock_lock, 0, 0) == PY_LOCK_ACQUIRED) {
        raw->locked = 1;
        return;
      }
    }
    acquire_method()(lock_);  // waits with the GIL released
  }

  ~QuickHold() {
    using namespace quicklock_detail;
    if (try_give(lock_.ptr())) return;
    try {
      release_method()(lock_);
    } catch (nb::python_error& e) {
      e.discard_as_unraisable(lock_);
    }
  }

  QuickHold(const QuickHold&) = delete;
  QuickHold& operator=(const QuickHold&) = delete;

 private:
  nb::object lock_;
};

}  // namespace bridge
