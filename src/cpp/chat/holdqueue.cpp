// Messages that arrive while a session's turn is running, held per session in
// arrival order until the host takes them one by one.
//
// State lives in the module namespace: `_pending_messages` (session id ->
// collections.deque of message texts, oldest first) guarded by
// `_pending_lock`. A session whose queue empties loses its entry at once.
#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_("bridge.holdqueue");

nb::object pending_lock() {
  static bridge::Name n("_pending_lock");
  return ns.get(n);
}

nb::object pending_messages() {
  static bridge::Name n("_pending_messages");
  return ns.get(n);
}

// mapping.get(key) as a new reference, or nullptr when absent.
PyObject* lookup(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (!v) {
      if (PyErr_Occurred()) throw nb::python_error();
      return nullptr;
    }
    Py_INCREF(v);
    return v;
  }
  static bridge::Name get("get");
  PyObject* v = PyObject_CallMethodOneArg(mapping, get.ptr(), key);
  if (!v) throw nb::python_error();
  if (v == Py_None) {
    Py_DECREF(v);
    return nullptr;
  }
  return v;
}

Py_ssize_t size_of(PyObject* queue) {
  Py_ssize_t n = PyObject_Size(queue);
  if (n < 0) throw nb::python_error();
  return n;
}

void call_method(PyObject* obj, const bridge::Name& name, PyObject* arg) {
  PyObject* r = PyObject_CallMethodOneArg(obj, name.ptr(), arg);
  if (!r) throw nb::python_error();
  Py_DECREF(r);
}

void remove_entry(PyObject* mapping, PyObject* key) {
  if (PyObject_DelItem(mapping, key) != 0) throw nb::python_error();
}

// True when logger.<level> would drop the record, read the way
// Logger.isEnabledFor reads it (its per-level cache). Only a plain Logger with
// no per-instance overrides is judged here; anything else is asked directly.
bool surely_disabled(PyObject* logger, int level) {
  static PyObject* logger_type = [] {
    return bridge::stdlib("logging", "Logger").release().ptr();
  }();
  if (reinterpret_cast<PyObject*>(Py_TYPE(logger)) != logger_type) return false;
  PyObject** dictptr = _PyObject_GetDictPtr(logger);
  if (!dictptr || !*dictptr) return false;
  PyObject* d = *dictptr;
  static bridge::Name info("info"), disabled("disabled"), cache("_cache"),
      is_enabled("isEnabledFor");
  if (PyDict_GetItemWithError(d, info.ptr()) || PyDict_GetItemWithError(d, is_enabled.ptr()))
    return false;
  if (PyErr_Occurred()) throw nb::python_error();
  PyObject* off = PyDict_GetItemWithError(d, disabled.ptr());
  if (off == Py_True) return true;
  PyObject* c = PyDict_GetItemWithError(d, cache.ptr());
  if (!c || !PyDict_CheckExact(c)) {
    if (PyErr_Occurred()) throw nb::python_error();
    return false;
  }
  nb::object key = nb::steal(PyLong_FromLong(level));
  PyObject* known = PyDict_GetItemWithError(c, key.ptr());
  if (PyErr_Occurred()) throw nb::python_error();
  return known == Py_False;
}

nb::object enqueue_message(nb::handle session_id, nb::handle message) {
  bridge::need_text(session_id, "enqueue_message", "session_id");
  bridge::need_text(message, "enqueue_message", "message");
  static bridge::Name append("append");
  Py_ssize_t position = 0;
  {
    bridge::Hold hold(pending_lock());
    nb::object pending = pending_messages();
    nb::object queue = nb::steal(lookup(pending.ptr(), session_id.ptr()));
    if (!queue.is_valid()) {
      queue = ns.get("collections").attr("deque")();
      if (PyObject_SetItem(pending.ptr(), session_id.ptr(), queue.ptr()) != 0)
        throw nb::python_error();
    }
    call_method(queue.ptr(), append, message.ptr());
    position = size_of(queue.ptr());
  }
  nb::object pos = nb::steal(PyLong_FromSsize_t(position));
  static bridge::Name logger_name("logger");
  nb::object logger = ns.get(logger_name);
  if (!surely_disabled(logger.ptr(), 20))
    logger.attr("info")(nb::str("Queued message for busy session %s (position %d)"), session_id,
                        pos);
  return pos;
}

nb::object dequeue_message(nb::handle session_id) {
  bridge::need_text(session_id, "dequeue_message", "session_id");
  static bridge::Name popleft("popleft");
  bridge::Hold hold(pending_lock());
  nb::object pending = pending_messages();
  nb::object queue = nb::steal(lookup(pending.ptr(), session_id.ptr()));
  if (!queue.is_valid() || size_of(queue.ptr()) == 0) return nb::none();
  PyObject* head = PyObject_CallMethodNoArgs(queue.ptr(), popleft.ptr());
  if (!head) throw nb::python_error();
  nb::object message = nb::steal(head);
  if (size_of(queue.ptr()) == 0) remove_entry(pending.ptr(), session_id.ptr());
  return message;
}

bool has_pending(nb::handle session_id) {
  bridge::need_text(session_id, "has_pending", "session_id");
  bridge::Hold hold(pending_lock());
  nb::object queue = nb::steal(lookup(pending_messages().ptr(), session_id.ptr()));
  return queue.is_valid() && size_of(queue.ptr()) > 0;
}

Py_ssize_t pending_count(nb::handle session_id) {
  bridge::need_text(session_id, "pending_count", "session_id");
  bridge::Hold hold(pending_lock());
  nb::object queue = nb::steal(lookup(pending_messages().ptr(), session_id.ptr()));
  return queue.is_valid() ? size_of(queue.ptr()) : 0;
}

Py_ssize_t clear_pending(nb::handle session_id) {
  bridge::need_text(session_id, "clear_pending", "session_id");
  bridge::Hold hold(pending_lock());
  nb::object pending = pending_messages();
  nb::object queue = nb::steal(lookup(pending.ptr(), session_id.ptr()));
  if (!queue.is_valid()) return 0;
  remove_entry(pending.ptr(), session_id.ptr());
  return size_of(queue.ptr());
}

}  // namespace

NB_MODULE(holdqueue, m) {
  ns.bind(m);
  m.attr("collections") = bridge::import("collections");
  m.attr("logging") = bridge::import("logging");
  m.attr("threading") = bridge::import("threading");
  m.attr("logger") = log_.logger();
  m.attr("_pending_messages") = nb::dict();
  m.attr("_pending_lock") = bridge::stdlib("threading", "Lock")();

  m.def("enqueue_message", &enqueue_message, "session_id"_a, "message"_a,
        nb::sig("def enqueue_message(session_id: str, message: str) -> int"),
        "Hold a message for a busy session; returns its 1-based position.");
  m.def("dequeue_message", &dequeue_message, "session_id"_a,
        nb::sig("def dequeue_message(session_id: str) -> str | None"),
        "Take the session's oldest pending message, or None.");
  m.def("has_pending", &has_pending, "session_id"_a,
        nb::sig("def has_pending(session_id: str) -> bool"),
        "Whether the session has a pending message.");
  m.def("pending_count", &pending_count, "session_id"_a,
        nb::sig("def pending_count(session_id: str) -> int"),
        "How many messages the session has pending.");
  m.def("clear_pending", &clear_pending, "session_id"_a,
        nb::sig("def clear_pending(session_id: str) -> int"),
        "Drop the session's pending messages; returns how many there were.");
}
