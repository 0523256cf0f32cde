// Small callables made at run time (a turn's approval steps, an agent's
// callbacks): a C function and the Python objects it needs, called through
// vectorcall. Making a set for every turn, or calling one per token, costs
// no more than a Python closure would. Each remembers the module object
// that made it, whose namespace is active while it runs.
//
// The type cannot be instantiated from Python and is immutable.
#pragma once

#include <structmember.h>

#include <cstddef>
#include <initializer_list>

#include "core/fastcall.hpp"

namespace bridge {

struct Closure {
  static constexpr size_t kSlots = 7;
  using Body = PyObject* (*)(Closure* self, PyObject* const* args, size_t nargsf,
                             PyObject* kwnames);

  PyObject_HEAD
  vectorcallfunc vectorcall;
  Body body;
  const char* name;    // __name__, and the name in error texts
  const Namespace* ns;  // the extension's namespaces
  ModuleState* owner;   // the module object that made it
  int kind;            // free for the maker
  PyObject* slots[kSlots];  // slots[0] is shown by repr()
};

namespace closure_detail {

inline PyObject* call(PyObject* o, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* self = reinterpret_cast<Closure*>(o);
  Namespace::Scope scope(*self->ns, self->owner);
  return self->body(self, args, nargsf, kwnames);
}

inline int traverse(PyObject* o, visitproc visit, void* arg) {
  auto* self = reinterpret_cast<Closure*>(o);
  Py_VISIT(Py_TYPE(o));
  for (PyObject* s : self->slots) Py_VISIT(s);
  return 0;
}

inline int clear(PyObject* o) {
  auto* self = reinterpret_cast<Closure*>(o);
  for (PyObject*& s : self->slots) Py_CLEAR(s);
  return 0;
}

inline void dealloc(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  PyObject_GC_UnTrack(o);
  clear(o);
  PyObject_GC_Del(o);
  Py_DECREF(tp);  // an instance of a heap type owns a reference to it
}

inline PyObject* repr(PyObject* o) {
  auto* self = reinterpret_cast<Closure*>(o);
  PyObject* first = self->slots[0] ? self->slots[0] : Py_None;
  return PyUnicode_FromFormat("<%s for %R>", self->name, first);
}

inline PyObject* get_name(PyObject* o, void*) {
  return PyUnicode_FromString(reinterpret_cast<Closure*>(o)->name);
}

inline PyMemberDef members[] = {
    {"__vectorcalloffset__", T_PYSSIZET, static_cast<Py_ssize_t>(offsetof(Closure, vectorcall)),
     READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyGetSetDef getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyType_Slot type_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_members, members},
    {Py_tp_getset, getset},
    {0, nullptr},
};

}  // namespace closure_detail

// The closure type of one extension module, named `qualified` (a literal,
// "package.module.name"). Made on first use and kept for the process's life.
class ClosureType {
 public:
  explicit ClosureType(const char* qualified) : qualified_(qualified) {}

  PyTypeObject* type() {
    if (!type_) {
      spec_ = {qualified_, static_cast<int>(sizeof(Closure)), 0,
               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                   Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
               closure_detail::type_slots};
      type_ = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec_));
      if (!type_) throw nb::python_error();
    }
    return type_;
  }

  // A new closure of the active module object holding `slots` (in order).
  nb::object make(const Namespace& ns, const char* name, int kind, Closure::Body body,
                  std::initializer_list<nb::handle> slots) {
    PyTypeObject* tp = type();
    auto* self = PyObject_GC_New(Closure, tp);  // takes its reference to `tp`
    if (!self) throw nb::python_error();
    self->vectorcall = closure_detail::call;
    self->body = body;
    self->name = name;
    self->ns = &ns;
    self->owner = ns.state();
    self->kind = kind;
    size_t i = 0;
    for (nb::handle h : slots) self->slots[i++] = nb::handle(h).inc_ref().ptr();
    for (; i < Closure::kSlots; ++i) self->slots[i] = nullptr;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject*>(self));
  }

 private:
  const char* qualified_;
  PyType_Spec spec_{};
  PyTypeObject* type_ = nullptr;  // kept for the life of the process
};

}  // namespace bridge
