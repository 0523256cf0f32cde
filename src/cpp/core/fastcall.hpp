// Functions called on hot paths, registered as plain vectorcall functions
// (METH_FASTCALL | METH_KEYWORDS) instead of through nanobind's dispatcher,
// and the small callable objects of core/closure.hpp. Arguments are bound by
// position and by keyword as a Python function binds them, and a C++
// exception becomes the Python exception it carries.
#pragma once

#include <array>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "core/names.hpp"

namespace bridge {

// A C function of another calling convention (METH_FASTCALL and friends) as
// the PyCFunction a PyMethodDef holds; the cast goes through a plain function
// pointer type, as CPython's own tables do.
template <auto F> PyCFunction as_cfunction() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(F));
}

// The parameters of one function: its name (for error texts), up to kMax
// parameter names in positional order, and how many of the first must be
// given. Meant to be a static; names are interned on first use.
class Params {
 public:
  static constexpr size_t kMax = 4;
  using Args = std::array<PyObject*, kMax>;
  // Receives a keyword that names no parameter; false refuses it.
  using Extra = bool (*)(PyObject* key, PyObject* value, void* ctx);

  Params(const char* fn, std::initializer_list<const char*> names, size_t required)
      : fn_(fn), count_(names.size()), required_(required) {
    size_t i = 0;
    for (const char* n : names) names_[i++] = n;
  }

  const char* name() const { return fn_; }

  // Binds args/kwnames; `out` receives borrowed references (nullptr where an
  // optional parameter was not given). Sets TypeError as CPython does for a
  // bad call and returns false.
  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Args& out,
            Extra extra = nullptr, void* ctx = nullptr) const {
    out.fill(nullptr);
    if (static_cast<size_t>(nargs) > count_) {
      if (count_ == required_)
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zd were given",
                     fn_, count_, count_ == 1 ? "" : "s", nargs);
      else
        PyErr_Format(PyExc_TypeError,
                     "%s() takes from %zu to %zu positional arguments but %zd were given", fn_,
                     required_, count_, nargs);
      return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<size_t>(i)] = args[i];
    Py_ssize_t nkw = kwnames ? bridge::tuple_size(kwnames) : 0;
    if (nkw && !intern()) return false;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = bridge::tuple_item(kwnames, k);
      PyObject* value = args[nargs + k];
      size_t slot = slot_of(key);
      if (slot == kNone) {
        if (PyErr_Occurred()) return false;
        if (extra && extra(key, value, ctx)) continue;
        if (PyErr_Occurred()) return false;
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fn_, key);
        return false;
      }
      if (out[slot]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fn_,
                     names_[slot]);
        return false;
      }
      out[slot] = value;
    }
    for (size_t j = 0; j < required_; ++j) {
      if (!out[j]) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", fn_,
                     names_[j], j + 1);
        return false;
      }
    }
    return true;
  }

 private:
  static constexpr size_t kNone = kMax;

  bool intern() const {
    if (interned_[0] || count_ == 0) return true;
    for (size_t j = 0; j < count_; ++j) {
      interned_[j] = PyUnicode_InternFromString(names_[j]);  // kept
      if (!interned_[j]) return false;
    }
    return true;
  }

  // Keyword names of a call site are interned, as ours are: identity settles
  // nearly every name, and comparing texts is left for the rest.
  size_t slot_of(PyObject* key) const {
    for (size_t j = 0; j < count_; ++j)
      if (key == interned_[j]) return j;
    if (!PyUnicode_Check(key)) return kNone;
    for (size_t j = 0; j < count_; ++j) {
      int r = PyUnicode_Compare(key, interned_[j]);
      if (r == 0) return j;
      if (r == -1 && PyErr_Occurred()) return kNone;
    }
    return kNone;
  }

  const char* fn_;
  const char* names_[kMax] = {};
  size_t count_;
  size_t required_;
  mutable PyObject* interned_[kMax] = {};
};

// Runs `body` (returning nb::object) and hands its result to CPython, or
// sets the Python error it raised and returns nullptr. Only the exception
// types the bridge raises are caught: a thread that the interpreter ends
// while it waits for the GIL at exit unwinds through here (a forced unwind),
// and that must go on.
template <typename Body> PyObject* fastcall_result(Body&& body) {
  try {
    return body().release().ptr();
  } catch (nb::python_error& e) {
    e.restore();
  } catch (nb::builtin_exception& e) {
    PyObject* type = PyExc_RuntimeError;
    switch (e.type()) {
      case nb::exception_type::type_error: type = PyExc_TypeError; break;
      case nb::exception_type::value_error: type = PyExc_ValueError; break;
      case nb::exception_type::key_error: type = PyExc_KeyError; break;
      case nb::exception_type::index_error: type = PyExc_IndexError; break;
      default: break;
    }
    PyErr_SetString(type, e.what());
  } catch (std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return nullptr;
}

// The body of a module function registered with add_fastcall: binds the
// call's arguments to `params`, makes the module object `self` the active
// namespace and runs `body(args)`.
template <typename Body>
PyObject* fastcall_entry(const Namespace& ns, PyObject* self, const Params& params,
                         PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                         Body&& body) {
  Params::Args a;
  if (!params.bind(args, nargs, kwnames, a)) return nullptr;
  Namespace::Scope scope(ns, ns.state_of(self));
  return fastcall_result([&]() -> nb::object { return body(a); });
}

// Adds a vectorcall function to the module. `def` must outlive the module
// (a static). Its doc may open with "name(args)\n--\n\n", which inspect
// reads as the signature.
inline void add_fastcall(nb::module_& m, PyMethodDef* def) {
  def->ml_flags = METH_FASTCALL | METH_KEYWORDS;
  nb::object name = nb::steal(PyModule_GetNameObject(m.ptr()));
  if (!name.is_valid()) throw nb::python_error();
  nb::object fn = nb::steal(PyCFunction_NewEx(def, m.ptr(), name.ptr()));
  if (!fn.is_valid()) throw nb::python_error();
  m.attr(def->ml_name) = fn;
}

// FastDef<&fn>::add(...) registers `fn` (taking nb::handle arguments) as a
// vectorcall function of the module: the call's arguments are bound to the
// parameter names, an optional one not given arrives as None, and the result
// (nothing, a bool, an integer or an object) is handed back as Python's.
// `doc` opens with the text signature ("name($module, /, a, b=None)\n--\n\n").
template <auto F> class FastDef;
template <typename R, typename... A, R (*F)(A...)> class FastDef<F> {
 public:
  static void add(const Namespace& ns, nb::module_& m, const char* name,
                  std::initializer_list<const char*> names, size_t required, const char* doc) {
    static_assert(sizeof...(A) <= Params::kMax);
    ns_ = &ns;
    // Made once: a module imported again adds a function of the same table.
    if (!params_) params_ = new Params(name, names, required);  // kept for the process's life
    def_ = {name, as_cfunction<entry>(), 0, doc};
    add_fastcall(m, &def_);
  }

 private:
  static PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    return fastcall_entry(*ns_, self, *params_, args, nargs, kwnames,
                          [](Params::Args& a) { return call(a, std::index_sequence_for<A...>{}); });
  }

  template <size_t... I> static nb::object call(Params::Args& a, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      F(nb::handle(a[I] ? a[I] : Py_None)...);
      return nb::none();
    } else if constexpr (std::is_same_v<R, bool>) {
      return nb::bool_(F(nb::handle(a[I] ? a[I] : Py_None)...));
    } else if constexpr (std::is_integral_v<R>) {
      return nb::int_(F(nb::handle(a[I] ? a[I] : Py_None)...));
    } else {
      return nb::object(F(nb::handle(a[I] ? a[I] : Py_None)...));
    }
  }

  static inline const Namespace* ns_ = nullptr;
  static inline const Params* params_ = nullptr;
  static inline PyMethodDef def_{};
};

}  // namespace bridge
