// Late binding: a module's functions reach state and each other through the
// namespace of the module object they belong to, at call time, the way Python
// globals are looked up.
//
// An extension module can be loaded more than once in a process (removed
// from sys.modules and imported again); every load makes a new module object
// with its own namespace. Each function is tied to the module object that
// defined it: while it runs, that module's namespace is the active one on
// the calling thread (Namespace::Scope), and every lookup goes there.
#pragma once

#include <cxxabi.h>
#include <unistd.h>

#include <array>
#include <initializer_list>
#include <utility>
#include <vector>

#include "core/py.hpp"
#include "core/signature.hpp"

namespace bridge {

// What one module object owns: its namespace dict, and the function objects
// it defined under names that hot paths check for replacement.
struct ModuleState {
  static constexpr size_t kSlots = 16;
  PyObject* module = nullptr;                 // references kept for the process's life
  PyObject* dict = nullptr;
  std::array<PyObject*, kSlots> originals{};  // likewise
};

class Namespace {
 public:
  // Until the object bind() returns is dropped (the end of the module's
  // init), lookups outside any function go to the module object being made.
  class Init {
   public:
    explicit Init(Namespace& ns) : ns_(ns) {}
    ~Init() { ns_.init_ = nullptr; }
    Init(const Init&) = delete;
    Init& operator=(const Init&) = delete;

   private:
    Namespace& ns_;
  };

  // Called first in the module's init: makes the state of this module object.
  [[nodiscard]] Init bind(nb::module_& m) {
    auto* s = new ModuleState();  // module objects are never unloaded
    s->module = m.inc_ref().ptr();
    s->dict = PyModule_GetDict(m.ptr());
    Py_INCREF(s->dict);
    states_.push_back(s);
    only_ = states_.size() == 1 ? s : nullptr;
    init_ = s;
    enable_signatures();
    return Init(*this);
  }

  // The module object whose function runs on this thread. While this
  // extension has made a single module object (nearly always) that is the
  // one, found without consulting the thread's record; once there are more,
  // every call records its module object (Scope). Outside any recorded call
  // it is the module object being initialised, if any; else the first one
  // (a call that began before the second existed).
  ModuleState* state() const {
    if (only_) return only_;
    if (active_) return active_;
    return init_ ? init_ : states_.front();
  }
  PyObject* dict() const { return state()->dict; }

  // `import a, b, ...` into the module's namespace, for its init.
  void import_modules(nb::module_& m, std::initializer_list<const char*> names) const {
    for (const char* name : names) m.attr(name) = import(name);
  }

  // The state of the module object `module` (the self of its C functions).
  ModuleState* state_of(PyObject* module) const {
    for (ModuleState* s : states_)
      if (s->module == module) return s;
    return states_.back();
  }

  // Makes `s` the active module state of this thread for its lifetime
  // (recorded only once the extension has more than one module object).
  class Scope {
   public:
    Scope(const Namespace& ns, ModuleState* s) : recorded_(ns.only_ == nullptr) {
      if (!recorded_) return;
      prev_ = active_;
      active_ = s;
    }
    ~Scope() {
      if (recorded_) active_ = prev_;
    }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

   private:
    bool recorded_;
    ModuleState* prev_ = nullptr;
  };

  // While the interpreter exits, a daemon thread that takes the GIL back is
  // ended by unwinding it (pthread_exit). Through a raw C function the unwind
  // passes on to the thread's start; nanobind's dispatcher would catch it and
  // carry on without the GIL. A thread unwound inside one of our functions is
  // parked instead: the process is ending, and the thread must not run again.
  [[noreturn]] static void park_exiting_thread() {
    for (;;) pause();
  }

  // m.def(name, f, extra...) for a function that must run with this module
  // object's namespace active.
  template <typename R, typename... A, typename... Extra>
  void def(nb::module_& m, const char* name, R (*f)(A...), const Extra&... extra) {
    ModuleState* s = state();
    const Namespace* self = this;
    m.def(
        name,
        [self, s, f](A... a) -> R {
          Scope scope(*self, s);
          try {
            return f(std::forward<A>(a)...);
          } catch (abi::__forced_unwind&) {
            park_exiting_thread();
          }
        },
        extra...);
  }

  // Remembers the function this module object defined as `name` in `slot`.
  void remember(size_t slot, const Name& name) {
    ModuleState* s = state();
    s->originals[slot] = get(name).release().ptr();
  }
  // Whether the binding of `name` is still the function remembered in `slot`.
  bool is_original(size_t slot, const Name& name) const {
    return peek(name) == state()->originals[slot];
  }

  // A name's value, as a global lookup finds it; NameError when unbound.
  nb::object get(const Name& name) const { return get(name.ptr()); }
  nb::object get(const char* name) const {
    nb::str key(name);
    return get(key.ptr());
  }
  nb::object get(PyObject* key) const {
    PyObject* v = PyDict_GetItemWithError(dict(), key);  // borrowed
    if (!v) {
      if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
      throw nb::python_error();
    }
    return nb::borrow(v);
  }

  // The binding of `name`, borrowed from the namespace (nullptr when there is
  // none), for a caller that only compares it.
  PyObject* peek(const Name& name) const {
    PyObject* v = PyDict_GetItemWithError(dict(), name.ptr());
    if (!v && PyErr_Occurred()) throw nb::python_error();
    return v;
  }

  void set(const char* name, nb::handle value) const {
    if (PyDict_SetItemString(dict(), name, value.ptr()) != 0) throw nb::python_error();
  }
  void set(const Name& name, nb::handle value) const {
    if (PyDict_SetItem(dict(), name.ptr(), value.ptr()) != 0) throw nb::python_error();
  }

  // `module.attr` through the module's own binding of `module` when it has
  // one (as `import os` makes one), so that replacing it there is honoured;
  // the module from sys.modules otherwise.
  nb::object std(const char* module, const char* attr) const {
    return this->module(module).attr(attr);
  }
  nb::object module(const char* name) const {
    nb::str key(name);
    PyObject* v = PyDict_GetItemWithError(dict(), key.ptr());  // borrowed
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) throw nb::python_error();
    return import(name);
  }

  // Calls the namespace's current binding of `name`.
  template <typename... Args> nb::object call(const char* name, Args&&... args) const {
    return get(name)(std::forward<Args>(args)...);
  }
  template <typename... Args> nb::object call(const Name& name, Args&&... args) const {
    return get(name)(std::forward<Args>(args)...);
  }

 private:
  // Every module object this extension made, in order; never freed (module
  // objects are never unloaded, and a destructor run at exit would only
  // hide them from a leak checker).
  std::vector<ModuleState*>& states_ = *new std::vector<ModuleState*>();
  ModuleState* only_ = nullptr;  // the single module object, while there is one
  ModuleState* init_ = nullptr;  // the module object whose init runs
  static inline thread_local ModuleState* active_ = nullptr;
};

}  // namespace bridge
