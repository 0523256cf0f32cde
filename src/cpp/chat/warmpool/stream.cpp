// Stream fan-out: per-session subscriber lists and replay buffers.
//
// A push appends the record to the session's replay buffer and snapshots
// the subscriber list in one critical section (_stream_buffer_lock, with
// stream_sub_lock taken inside it). A subscription copies the buffer,
// schedules the replay and registers in one critical section of the same
// lock. So every record is either in a new subscriber's replay or in the
// snapshot of a push made after it registered, never both and never
// neither, and the replay is scheduled ahead of any live record.
// Scheduling onto a loop (call_soon_threadsafe) never waits for the
// consumer; pushes schedule with no lock of ours held.
#include "chat/warmpool/warmpool.hpp"

#include <array>

#include "core/fastcall.hpp"

namespace warmpool {

namespace {

// Clears an ordinary pending exception (as `except Exception: pass` would);
// anything else (KeyboardInterrupt, SystemExit) goes on to the caller.
void swallow() {
  if (PyErr_ExceptionMatches(PyExc_Exception)) {
    PyErr_Clear();
    return;
  }
  throw nb::python_error();
}

// Attribute names of a subscriber's queue and loop, made once: a push looks
// them up for every subscriber.
const bridge::Name& put_nowait_name() {
  static const bridge::Name n("put_nowait");
  return n;
}
const bridge::Name& call_soon_name() {
  static const bridge::Name n("call_soon_threadsafe");
  return n;
}

// loop.call_soon_threadsafe(q.put_nowait, item), the names given; an
// ordinary error is swallowed, as _threadsafe_put does.
void put_with(PyObject* put_nowait, PyObject* call_soon, PyObject* q, PyObject* loop,
              PyObject* item) {
  PyObject* put = PyObject_GetAttr(q, put_nowait);
  if (!put) return swallow();
  PyObject* args[3] = {loop, put, item};
  PyObject* r = PyObject_VectorcallMethod(call_soon, args, 3, nullptr);
  Py_DECREF(put);
  if (!r) return swallow();
  Py_DECREF(r);
}

// Calls `_threadsafe_put` of the moment with one handle's queue and loop.
void put_through(PyObject* put_fn, bool original, PyObject* handle, PyObject* item) {
  if (original && PyTuple_CheckExact(handle) && bridge::tuple_size(handle) == 2) {
    // The handle (held by the caller's snapshot) keeps its queue and loop.
    threadsafe_put(bridge::tuple_item(handle, 0), bridge::tuple_item(handle, 1), item);
    return;
  }
  nb::object q, loop;
  if (PyTuple_CheckExact(handle) && bridge::tuple_size(handle) == 2) {
    q = nb::borrow(bridge::tuple_item(handle, 0));
    loop = nb::borrow(bridge::tuple_item(handle, 1));
  } else {
    q = steal_or_throw(PySequence_GetItem(handle, 0));
    loop = steal_or_throw(PySequence_GetItem(handle, 1));
  }
  if (original) {
    threadsafe_put(q.ptr(), loop.ptr(), item);
    return;
  }
  PyObject* args[3] = {q.ptr(), loop.ptr(), item};
  nb::object r = steal_or_throw(PyObject_Vectorcall(put_fn, args, 3, nullptr));
}

// Replays `records` (a list) to one subscriber handle through the
// `_threadsafe_put` of the moment. With the module's own function, the
// queue's put_nowait and the loop's call_soon_threadsafe are fetched once for
// the whole replay instead of once per record; every record is still
// scheduled by its own call, and a refused call is swallowed record by
// record, as _threadsafe_put does.
void replay_to(PyObject* handle, PyObject* records, const Bound& put) {
  Py_ssize_t n = bridge::list_size(records);
  if (!put.original || !PyTuple_CheckExact(handle) || bridge::tuple_size(handle) != 2) {
    for (Py_ssize_t i = 0; i < n; ++i)
      put_through(put.fn.ptr(), put.original, handle, bridge::list_item(records, i));
    return;
  }
  PyObject* q = bridge::tuple_item(handle, 0);
  PyObject* loop = bridge::tuple_item(handle, 1);
  nb::object put_nowait = nb::steal(PyObject_GetAttr(q, put_nowait_name().ptr()));
  if (!put_nowait.is_valid()) return swallow();
  nb::object call_soon = nb::steal(PyObject_GetAttr(loop, call_soon_name().ptr()));
  if (!call_soon.is_valid()) return swallow();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* args[2] = {put_nowait.ptr(), bridge::list_item(records, i)};
    PyObject* r = PyObject_Vectorcall(call_soon.ptr(), args, 2, nullptr);
    if (r)
      Py_DECREF(r);
    else
      swallow();
  }
}

// mapping[key] if present, else a new empty list stored under key.
nb::object list_for(nb::handle mapping, nb::handle key) {
  nb::object v = mapping_get(mapping, key);
  if (v.is_valid()) return v;
  nb::object fresh = steal_or_throw(PyList_New(0));
  if (PyObject_SetItem(mapping.ptr(), key.ptr(), fresh.ptr()) != 0) throw nb::python_error();
  return fresh;
}

nb::object copy_of(nb::handle seq) {
  if (PyList_CheckExact(seq.ptr()))
    return steal_or_throw(PyList_GetSlice(seq.ptr(), 0, bridge::list_size(seq.ptr())));
  return steal_or_throw(PySequence_List(seq.ptr()));
}

void append(nb::handle seq, nb::handle item) {
  if (PyList_Check(seq.ptr())) {
    if (PyList_Append(seq.ptr(), item.ptr()) != 0) throw nb::python_error();
    return;
  }
  static bridge::Name n_append("append");
  PyObject* args[2] = {seq.ptr(), item.ptr()};
  nb::object r = steal_or_throw(PyObject_VectorcallMethod(
      n_append.ptr(), args, 2, nullptr));
}

void need_session(PyObject* v, const char* fn) { bridge::need_text(v, fn, "session_id"); }

}  // namespace


void threadsafe_put(PyObject* q, PyObject* loop, PyObject* item) {
  put_with(put_nowait_name().ptr(), call_soon_name().ptr(), q, loop, item);
}

namespace {

// The subscriber handles a push delivers to, copied while stream_sub_lock is
// held. A session rarely has more than a few subscribers: up to kInline
// handles are kept (with a reference each) in place, more in a new list.
class Snapshot {
 public:
  static constexpr Py_ssize_t kInline = 32;

  void take(nb::handle subs) {
    if (PyList_CheckExact(subs.ptr()) && bridge::list_size(subs.ptr()) <= kInline) {
      n_ = bridge::list_size(subs.ptr());
      for (Py_ssize_t i = 0; i < n_; ++i) {
        inline_[i] = bridge::list_item(subs.ptr(), i);
        Py_INCREF(inline_[i]);
      }
      return;
    }
    list_ = copy_of(subs);
    n_ = bridge::list_size(list_.ptr());
  }
  Py_ssize_t size() const { return n_; }
  PyObject* operator[](Py_ssize_t i) const {
    return list_.is_valid() ? bridge::list_item(list_.ptr(), i) : inline_[i];
  }
  ~Snapshot() {
    if (!list_.is_valid())
      for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(inline_[i]);
  }

 private:
  PyObject* inline_[kInline] = {};
  Py_ssize_t n_ = 0;
  nb::object list_;
};

}  // namespace

void push_to_subscribers(PyObject* session_id, PyObject* item) {
  nb::object buffers = state(n_buffers), subscribers = state(n_subscribers);
  nb::object buffer_lock = state(n_buffer_lock), sub_lock = state(n_sub_lock);
  Snapshot snapshot;
  {
    bridge::Hold hold_buffers(buffer_lock);
    append(list_for(buffers, session_id), item);
    bridge::Hold hold_subs(sub_lock);
    nb::object subs = mapping_get(subscribers, session_id);
    if (subs.is_valid() && PyObject_Size(subs.ptr()) != 0) snapshot.take(subs);
  }
  Py_ssize_t n = snapshot.size();
  if (n == 0) return;
  Bound put = bound(OP_THREADSAFE_PUT);
  if (!put.original) {
    for (Py_ssize_t i = 0; i < n; ++i) put_through(put.fn.ptr(), false, snapshot[i], item);
    return;
  }
  PyObject* put_nowait = put_nowait_name().ptr();
  PyObject* call_soon = call_soon_name().ptr();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* h = snapshot[i];  // held by the snapshot, and so its queue and loop
    if (PyTuple_CheckExact(h) && bridge::tuple_size(h) == 2)
      put_with(put_nowait, call_soon, bridge::tuple_item(h, 0), bridge::tuple_item(h, 1), item);
    else
      put_through(nullptr, true, h, item);
  }
}

void push_event(PyObject* session_id, PyObject* event) {
  Bound fn = bound(OP_PUSH_STREAM_EVENT);
  if (fn.original) {
    Bound push = bound(OP_PUSH_TO_SUBSCRIBERS);
    if (push.original) return push_to_subscribers(session_id, event);
    PyObject* args[2] = {session_id, event};
    nb::object r = steal_or_throw(PyObject_Vectorcall(push.fn.ptr(), args, 2, nullptr));
    return;
  }
  PyObject* args[2] = {session_id, event};
  nb::object r = steal_or_throw(PyObject_Vectorcall(fn.fn.ptr(), args, 2, nullptr));
}

namespace {

nb::object delta_record(PyObject* raw_delta) {
  static bridge::Name k_type("type"), k_data("data"), v_delta("delta");
  static Shape<2> shape({&k_type, &k_data});
  return shape.make({v_delta.ptr(), raw_delta});
}

void push_via_namespace(PyObject* session_id, PyObject* item) {
  Bound push = bound(OP_PUSH_TO_SUBSCRIBERS);
  if (push.original) return push_to_subscribers(session_id, item);
  PyObject* args[2] = {session_id, item};
  nb::object r = steal_or_throw(PyObject_Vectorcall(push.fn.ptr(), args, 2, nullptr));
}

void push_stream_delta_body(PyObject* session_id, PyObject* raw_delta) {
  if (raw_delta == Py_None) return;
  nb::object rec = delta_record(raw_delta);
  push_via_namespace(session_id, rec.ptr());
}

}  // namespace

void push_delta(PyObject* session_id, PyObject* delta) {
  Bound fn = bound(OP_PUSH_STREAM_DELTA);
  if (fn.original) return push_stream_delta_body(session_id, delta);
  PyObject* args[2] = {session_id, delta};
  nb::object r = steal_or_throw(PyObject_Vectorcall(fn.fn.ptr(), args, 2, nullptr));
}

namespace {

nb::object subscribe_to_stream(PyObject* session_id_ptr, PyObject* q, PyObject* loop) {
  nb::handle session_id(session_id_ptr);
  nb::object handle = nb::make_tuple(nb::handle(q), nb::handle(loop));
  nb::object buffers = state(n_buffers), subscribers = state(n_subscribers);
  nb::object buffer_lock = state(n_buffer_lock), sub_lock = state(n_sub_lock);
  bridge::Hold hold_buffers(buffer_lock);
  nb::object buffer = mapping_get(buffers, session_id);
  if (buffer.is_valid()) {
    nb::object replay = copy_of(buffer);
    Py_ssize_t n = bridge::list_size(replay.ptr());
    if (n) replay_to(handle.ptr(), replay.ptr(), bound(OP_THREADSAFE_PUT));
  }
  bridge::Hold hold_subs(sub_lock);
  append(list_for(subscribers, session_id), handle);
  return handle;
}

void unsubscribe_from_stream(PyObject* session_id_ptr, PyObject* sub_ptr) {
  nb::handle session_id(session_id_ptr), sub(sub_ptr);
  nb::object buffers = state(n_buffers), subscribers = state(n_subscribers);
  nb::object buffer_lock = state(n_buffer_lock), sub_lock = state(n_sub_lock);
  // Both locks, in the order pushes take them: a subscription cannot slip
  // in between the removal of the last handle and the drop of the buffer.
  bridge::Hold hold_buffers(buffer_lock);
  Py_ssize_t remaining = 0;
  {
    bridge::Hold hold_subs(sub_lock);
    nb::object subs = mapping_get(subscribers, session_id);
    if (subs.is_valid()) {
      Py_ssize_t n = PyObject_Size(subs.ptr());
      if (n < 0) throw nb::python_error();
      for (Py_ssize_t i = 0; i < n; ++i) {
        nb::object h = steal_or_throw(PySequence_GetItem(subs.ptr(), i));
        int eq = PyObject_RichCompareBool(h.ptr(), sub.ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (eq) {
          if (PySequence_DelItem(subs.ptr(), i) != 0) throw nb::python_error();
          break;
        }
      }
      remaining = PyObject_Size(subs.ptr());
      if (remaining < 0) throw nb::python_error();
    }
  }
  if (remaining == 0 && mapping_get(buffers, session_id).is_valid()) {
    if (PyObject_DelItem(buffers.ptr(), session_id.ptr()) != 0) throw nb::python_error();
  }
}

// Entry points: these run for every record, so they are plain vectorcall
// functions rather than going through nanobind's dispatcher.
PyObject* py_threadsafe_put(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const bridge::Params params("_threadsafe_put", {"q", "loop", "item"}, 3);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames, [](auto& a) {
    threadsafe_put(a[0], a[1], a[2]);
    return nb::none();
  });
}

PyObject* py_push_to_subscribers(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const bridge::Params params("_push_to_subscribers", {"session_id", "item"}, 2);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames, [](auto& a) {
    need_session(a[0], "_push_to_subscribers");
    push_to_subscribers(a[0], a[1]);
    return nb::none();
  });
}

PyObject* py_subscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  static const bridge::Params params("subscribe_to_stream", {"session_id", "q", "loop"}, 3);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames,
               [](auto& a) { return subscribe_to_stream(a[0], a[1], a[2]); });
}

PyObject* py_unsubscribe(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const bridge::Params params("unsubscribe_from_stream", {"session_id", "sub"}, 2);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames, [](auto& a) {
    unsubscribe_from_stream(a[0], a[1]);
    return nb::none();
  });
}

PyObject* py_push_stream_delta(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const bridge::Params params("push_stream_delta", {"session_id", "raw_delta"}, 2);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames, [](auto& a) {
    need_session(a[0], "push_stream_delta");
    push_stream_delta_body(a[0], a[1]);
    return nb::none();
  });
}

PyObject* py_push_stream_event(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
  static const bridge::Params params("push_stream_event", {"session_id", "event"}, 2);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames, [](auto& a) {
    need_session(a[0], "push_stream_event");
    bridge::need_mapping(a[1], "push_stream_event", "event");
    push_via_namespace(a[0], a[1]);
    return nb::none();
  });
}

PyObject* py_signal_stream_done(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const bridge::Params params("signal_stream_done", {"session_id"}, 1);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames, [](auto& a) {
    need_session(a[0], "signal_stream_done");
    push_via_namespace(a[0], Py_None);
    return nb::none();
  });
}

PyMethodDef stream_methods[] = {
    {"_threadsafe_put", bridge::as_cfunction<py_threadsafe_put>(), 0,
     "_threadsafe_put($module, /, q, loop, item)\n--\n\n"
     "Schedule q.put_nowait(item) on loop; never waits, never raises."},
    {"_push_to_subscribers", bridge::as_cfunction<py_push_to_subscribers>(), 0,
     "_push_to_subscribers($module, /, session_id, item)\n--\n\n"
     "Buffer a record for the session and hand it to every subscriber."},
    {"subscribe_to_stream", bridge::as_cfunction<py_subscribe>(), 0,
     "subscribe_to_stream($module, /, session_id, q, loop)\n--\n\n"
     "Replay the session's buffer into q, then register (q, loop) for live records."},
    {"unsubscribe_from_stream", bridge::as_cfunction<py_unsubscribe>(), 0,
     "unsubscribe_from_stream($module, /, session_id, sub)\n--\n\n"
     "Remove a subscriber handle; the last one out drops the replay buffer."},
    {"push_stream_delta", bridge::as_cfunction<py_push_stream_delta>(), 0,
     "push_stream_delta($module, /, session_id, raw_delta)\n--\n\n"
     "Push a {'type': 'delta', 'data': raw_delta} record; None pushes nothing."},
    {"push_stream_event", bridge::as_cfunction<py_push_stream_event>(), 0,
     "push_stream_event($module, /, session_id, event)\n--\n\n"
     "Push an event record unchanged."},
    {"signal_stream_done", bridge::as_cfunction<py_signal_stream_done>(), 0,
     "signal_stream_done($module, /, session_id)\n--\n\n"
     "Push the end-of-stream sentinel (None)."},
};

}  // namespace

void define_stream(nb::module_& m) {
  for (PyMethodDef& def : stream_methods) bridge::add_fastcall(m, &def);
  remember(OP_THREADSAFE_PUT, "_threadsafe_put");
  remember(OP_PUSH_TO_SUBSCRIBERS, "_push_to_subscribers");
  remember(OP_PUSH_STREAM_DELTA, "push_stream_delta");
  remember(OP_PUSH_STREAM_EVENT, "push_stream_event");
}

}  // namespace warmpool
