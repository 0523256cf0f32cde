// Shared between the source files of the warm agent pool: the module's
// namespace, its logger, the interned names of its state, and the entry
// points one concern offers the others.
//
// Every operation reaches state and the other operations through the
// namespace at call time. When the binding found there is still the
// function this module defined, the C++ body is called directly; a
// replaced binding is called as the Python object it is.
#pragma once

#include <array>

#include "core/bridge.hpp"
#include "core/config.hpp"
#include "chat/warmpool/state.hpp"

namespace warmpool {

extern bridge::Namespace ns;
extern bridge::Logger log_;

// Functions of this module whose bindings are checked on hot paths.
enum Op : int {
  OP_THREADSAFE_PUT,
  OP_PUSH_TO_SUBSCRIBERS,
  OP_PUSH_STREAM_DELTA,
  OP_PUSH_STREAM_EVENT,
  OP_MAKE_TOOL_PROGRESS,
  OP_MAKE_THINKING,
  OP_MAKE_REASONING,
  OP_MAKE_STATUS,
  OP_MAKE_BACKGROUND_REVIEW,
  OP_GET_SESSION_DB,
  OP_GET_MODEL_GENERATION,
  OP_COUNT
};
static_assert(OP_COUNT <= bridge::ModuleState::kSlots);

// Whether the namespace's current binding of `op` is still the function
// this module defined, and otherwise that binding (a new reference).
struct Bound {
  nb::object fn;  // null when original
  bool original;
};
Bound bound(Op op);

// Remembers the function object defined for `op` (called once at init).
void remember(Op op, const char* name);

// Module state by interned name, fetched at call time.
nb::object state(const bridge::Name& name);

// Concerns, one per source file; each defines its functions on `m`.
void define_stream(nb::module_& m);
void define_callbacks(nb::module_& m);
void define_profiles(nb::module_& m);
void define_models(nb::module_& m);
void define_cache(nb::module_& m);
void define_tasks(nb::module_& m);

// Direct entry points between concerns (arguments already checked).
void threadsafe_put(PyObject* q, PyObject* loop, PyObject* item);
void push_to_subscribers(PyObject* session_id, PyObject* item);
void push_event(PyObject* session_id, PyObject* event);  // late-bound push_stream_event
void push_delta(PyObject* session_id, PyObject* delta);  // late-bound push_stream_delta

enum CallbackKind : int { CB_DELTA, CB_TOOL, CB_THINKING, CB_REASONING, CB_STATUS, CB_REVIEW };
// A new callable of `kind` bound to `session_id` (and the tool registry).
nb::object make_callback(CallbackKind kind, PyObject* session_id, PyObject* registry);
// The engine's tool registry object, or None when it cannot be imported.
nb::object tool_registry();

nb::object session_db(nb::handle profile);  // get_session_db body
nb::object model_generation();                // get_model_generation body
// The note left for a session whose agent was switched (both names str).
nb::object switch_note(nb::handle old_model, nb::handle new_model);

// Small helpers on Python objects.
inline nb::object steal_or_throw(PyObject* o) {
  if (!o) throw nb::python_error();
  return nb::steal(o);
}

using bridge::mapping_get;

// Records are new dicts of a few keys in a fixed order. Each is copied from a
// template of those keys made once (a copy takes the small key table whole,
// which costs less than inserting the keys one by one into an empty dict),
// then its values are set.
template <size_t N> class Shape {
 public:
  explicit Shape(const bridge::Name* const (&keys)[N]) {
    for (size_t i = 0; i < N; ++i) keys_[i] = keys[i];
  }
  // A new dict holding values[i] under keys[i].
  nb::object make(const std::array<PyObject*, N>& values) {
    if (!template_) {
      template_ = PyDict_New();  // kept for the process's life
      if (!template_) throw nb::python_error();
      for (const bridge::Name* k : keys_)
        if (PyDict_SetItem(template_, k->ptr(), Py_None) != 0) throw nb::python_error();
    }
    nb::object d = steal_or_throw(PyDict_Copy(template_));
    for (size_t i = 0; i < N; ++i)
      if (PyDict_SetItem(d.ptr(), keys_[i]->ptr(), values[i]) != 0) throw nb::python_error();
    return d;
  }

 private:
  const bridge::Name* keys_[N];
  PyObject* template_ = nullptr;
};

// time.time() of the moment, through the module's `time`.
nb::object now();

}  // namespace warmpool
