// Messages that arrive while a session's turn is running, held per session in
// arrival order until the host takes them one by one.
//
// State lives in the module namespace: `_pending_messages` (session id ->
// collections.deque of message texts, oldest first) guarded by
// `_pending_lock`. A session whose queue empties loses its entry at once.
#include "core/bridge.hpp"
#include "core/fastcall.hpp"
#include "core/method.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.holdqueue");

bridge::Method append_m("append"), popleft_m("popleft");

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
  return bridge::mapping_get(mapping, key).release().ptr();
}

Py_ssize_t size_of(PyObject* queue) {
  Py_ssize_t n = PyObject_Size(queue);
  if (n < 0) throw nb::python_error();
  return n;
}

void remove_entry(PyObject* mapping, PyObject* key) {
  if (PyObject_DelItem(mapping, key) != 0) throw nb::python_error();
}

nb::object enqueue_message(nb::handle session_id, nb::handle message) {
  bridge::need_text(session_id, "enqueue_message", "session_id");
  bridge::need_text(message, "enqueue_message", "message");
  Py_ssize_t position = 0;
  {
    bridge::Hold hold(pending_lock());
    nb::object pending = pending_messages();
    nb::object queue = nb::steal(lookup(pending.ptr(), session_id.ptr()));
    if (!queue.is_valid()) {
      static bridge::Name collections("collections"), deque("deque");
      queue = ns.get(collections).attr(deque.handle())();
      if (PyObject_SetItem(pending.ptr(), session_id.ptr(), queue.ptr()) != 0)
        throw nb::python_error();
    }
    append_m(queue, message);
    position = size_of(queue.ptr());
  }
  nb::object pos = nb::steal(PyLong_FromSsize_t(position));
  log_.info("Queued message for busy session %s (position %d)", session_id, pos);
  return pos;
}

nb::object dequeue_message(nb::handle session_id) {
  bridge::need_text(session_id, "dequeue_message", "session_id");
  bridge::Hold hold(pending_lock());
  nb::object pending = pending_messages();
  nb::object queue = nb::steal(lookup(pending.ptr(), session_id.ptr()));
  if (!queue.is_valid() || size_of(queue.ptr()) == 0) return nb::none();
  nb::object message = popleft_m(queue);
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

// The operations are called for every message of a busy session, so they
// skip nanobind's general dispatcher.
PyObject* py_enqueue(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static const bridge::Params params("enqueue_message", {"session_id", "message"}, 2);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames,
               [](auto& a) { return enqueue_message(a[0], a[1]); });
}

PyObject* py_dequeue(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
  static const bridge::Params params("dequeue_message", {"session_id"}, 1);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames,
               [](auto& a) { return dequeue_message(a[0]); });
}

PyObject* py_has_pending(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const bridge::Params params("has_pending", {"session_id"}, 1);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames,
               [](auto& a) { return nb::bool_(has_pending(a[0])); });
}

PyObject* py_pending_count(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const bridge::Params params("pending_count", {"session_id"}, 1);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames,
               [](auto& a) { return nb::int_(pending_count(a[0])); });
}

PyObject* py_clear_pending(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const bridge::Params params("clear_pending", {"session_id"}, 1);
  return bridge::fastcall_entry(ns, self, params, args, nargs, kwnames,
               [](auto& a) { return nb::int_(clear_pending(a[0])); });
}

PyMethodDef methods_table[] = {
    {"enqueue_message", bridge::as_cfunction<py_enqueue>(), 0,
     "enqueue_message($module, /, session_id, message)\n--\n\n"
     "Hold a message for a busy session; returns its 1-based position."},
    {"dequeue_message", bridge::as_cfunction<py_dequeue>(), 0,
     "dequeue_message($module, /, session_id)\n--\n\n"
     "Take the session's oldest pending message, or None."},
    {"has_pending", bridge::as_cfunction<py_has_pending>(), 0,
     "has_pending($module, /, session_id)\n--\n\n"
     "Whether the session has a pending message."},
    {"pending_count", bridge::as_cfunction<py_pending_count>(), 0,
     "pending_count($module, /, session_id)\n--\n\n"
     "How many messages the session has pending."},
    {"clear_pending", bridge::as_cfunction<py_clear_pending>(), 0,
     "clear_pending($module, /, session_id)\n--\n\n"
     "Drop the session's pending messages; returns how many there were."},
};
PyMethodDef* methods[] = {&methods_table[0], &methods_table[1], &methods_table[2],
                          &methods_table[3], &methods_table[4]};

}  // namespace

NB_MODULE(holdqueue, m) {
  auto init = ns.bind(m);
  ns.import_modules(m, {"collections", "logging", "threading"});
  m.attr("logger") = log_.named();
  m.attr("_pending_messages") = nb::dict();
  m.attr("_pending_lock") = bridge::stdlib("threading", "Lock")();

  for (PyMethodDef* def : methods) bridge::add_fastcall(m, def);
}
