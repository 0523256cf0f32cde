// Pre-turn compression: a cheap character count of a session's history, and
// the agent's own context compression once the count reaches a threshold.
//
// The count walks the message list and its content parts directly, without
// building any new text and without per-message calls into Python code for
// the common shapes (dict messages, str or list content, dict parts).
#include <cstdint>

#include "core/bridge.hpp"

namespace {

bridge::Namespace ns;
bridge::Logger log_(ns, "bridge.compression");

constexpr long kDefaultThreshold = 300000;

// Characters are counted in a wide integer; lengths reported by foreign
// __len__ methods could otherwise overflow the sum.
using Count = unsigned long long;

void add(Count& total, Py_ssize_t n) {
  if (__builtin_add_overflow(total, static_cast<Count>(n), &total)) {
    PyErr_SetString(PyExc_OverflowError, "history is too large to measure");
    throw nb::python_error();
  }
}

// len(obj), as the builtin computes it.
Py_ssize_t length_of(PyObject* obj) {
  if (PyUnicode_CheckExact(obj)) return bridge::text_length(obj);
  Py_ssize_t n = PyObject_Length(obj);
  if (n < 0) throw nb::python_error();
  return n;
}

// isinstance(obj, Mapping), answered without the ABC for the common types.
bool is_mapping(PyObject* obj) {
  if (PyDict_Check(obj)) return true;
  if (PyUnicode_CheckExact(obj) || PyList_CheckExact(obj) || PyTuple_CheckExact(obj) ||
      PyLong_CheckExact(obj) || PyFloat_CheckExact(obj) || PyBytes_CheckExact(obj) ||
      obj == Py_None)
    return false;
  return bridge::is_mapping(obj);
}

// mapping.get(key, default) as a new reference.
PyObject* get_entry(PyObject* mapping, PyObject* key, PyObject* fallback) {
  return bridge::mapping_get_or(mapping, key, fallback).release().ptr();
}

PyObject* empty_text() {
  static PyObject* empty = PyUnicode_FromStringAndSize("", 0);  // kept for the process's life
  return empty;
}

// The "text" lengths of the mapping parts of one content sequence.
void add_part(Count& total, PyObject* part) {
  static bridge::Name text("text");
  if (!is_mapping(part)) return;
  nb::object value = nb::steal(get_entry(part, text.ptr(), empty_text()));
  add(total, length_of(value.ptr()));
}

void add_parts_of_list(Count& total, PyObject* list) {
  static bridge::Name text("text");
  // Indexed afresh each time, each part held while it is measured: the list
  // may change under foreign code. Dict parts with str or missing "text" are
  // measured inline.
  for (Py_ssize_t i = 0; i < bridge::list_size(list); ++i) {
    PyObject* part = bridge::list_item(list, i);
    Py_INCREF(part);
    if (PyDict_CheckExact(part)) {
      PyObject* v = PyDict_GetItemWithError(part, text.ptr());
      if (v && PyUnicode_CheckExact(v)) {
        Py_ssize_t n = bridge::text_length(v);
        Py_DECREF(part);
        add(total, n);
        continue;
      }
      if (!v) {  // absent, or the lookup raised (a key's own __eq__)
        Py_DECREF(part);
        if (PyErr_Occurred()) throw nb::python_error();
        continue;
      }
    }
    nb::object held = nb::steal(part);
    add_part(total, part);
  }
}

void add_parts_of_iterable(Count& total, PyObject* content) {
  nb::object it = nb::steal(PyObject_GetIter(content));
  if (!it.is_valid()) throw nb::python_error();
  while (PyObject* raw = PyIter_Next(it.ptr())) {
    nb::object part = nb::steal(raw);
    add_part(total, part.ptr());
  }
  if (PyErr_Occurred()) throw nb::python_error();
}

enum class Walk { Estimate, Measure };

// One message of any shape; `message` is held by the caller.
void add_message(Count& total, PyObject* message, Walk walk) {
  static bridge::Name content_key("content");
  nb::object content = nb::steal(get_entry(message, content_key.ptr(), empty_text()));
  PyObject* c = content.ptr();
  if (PyUnicode_Check(c)) {
    add(total, length_of(c));
  } else if (PyList_CheckExact(c)) {
    add_parts_of_list(total, c);
  } else if (PyList_Check(c)) {
    add_parts_of_iterable(total, c);  // a subclass may iterate its own way
  } else if (walk == Walk::Measure && c != Py_None) {
    int truthy = PyObject_IsTrue(c);
    if (truthy < 0) throw nb::python_error();
    if (truthy) add_parts_of_iterable(total, c);
  }
}

// The characters of message text in `history`. Estimate counts text and list
// content only; Measure iterates any other truthy content as parts too.
//
// Each message is held while it is measured (a foreign __eq__, __len__ or
// get may change the list). The common shape, a dict whose "content" is a
// str or is missing, is measured inline with plain reference counting.
Count count_chars(PyObject* history, Walk walk) {
  static bridge::Name content_key("content");
  Count total = 0;
  for (Py_ssize_t i = 0; i < bridge::list_size(history); ++i) {
    PyObject* message = bridge::list_item(history, i);
    Py_INCREF(message);
    if (PyDict_CheckExact(message)) {
      PyObject* v = PyDict_GetItemWithError(message, content_key.ptr());
      if (v && PyUnicode_CheckExact(v)) {
        Py_ssize_t n = bridge::text_length(v);
        Py_DECREF(message);
        add(total, n);
        continue;
      }
      if (!v) {  // absent: "", unless the lookup raised (a key's own __eq__)
        Py_DECREF(message);
        if (PyErr_Occurred()) throw nb::python_error();
        continue;
      }
      if (v && PyList_CheckExact(v)) {
        nb::object parts = nb::borrow(v);
        Py_DECREF(message);
        add_parts_of_list(total, parts.ptr());
        continue;
      }
    }
    nb::object held = nb::steal(message);
    add_message(total, message, walk);
  }
  return total;
}

nb::object estimate_token_count(nb::handle history) {
  nb::list list = bridge::need_list(history, "estimate_token_count", "history");
  Count total = count_chars(list.ptr(), Walk::Estimate);
  return nb::steal(PyLong_FromUnsignedLongLong(total / 4));
}

nb::object session_label(nb::handle agent) {
  static bridge::Name session_id("session_id");
  nb::object v = bridge::attr_or_null(agent, session_id.ptr());
  if (!v.is_valid()) return nb::str("?");
  return v;
}

bool maybe_compress_session(nb::handle agent, nb::handle history, nb::handle threshold_chars) {
  nb::list list = bridge::need_list(history, "maybe_compress_session", "history");
  bridge::need_integer(threshold_chars, "maybe_compress_session", "threshold_chars");

  Count total = count_chars(list.ptr(), Walk::Measure);
  nb::object total_obj = nb::steal(PyLong_FromUnsignedLongLong(total));
  int below = PyObject_RichCompareBool(total_obj.ptr(), threshold_chars.ptr(), Py_LT);
  if (below < 0) throw nb::python_error();
  if (below) return false;

  log_.info("Session %s at %d chars (~%d tokens) \u2014 triggering pre-turn compression",
            session_label(agent), total_obj, nb::steal(PyLong_FromUnsignedLongLong(total / 4)));

  static bridge::Name preferred("_compress_context");
  static bridge::Name fallback("compress_context");
  try {
    nb::object method = bridge::attr_or_null(agent, preferred.ptr());
    if (!method.is_valid()) method = bridge::attr_or_null(agent, fallback.ptr());
    if (method.is_valid()) {
      method(history);
      return true;
    }
    log_.warning("Agent has no compression method available");
    return false;
  } catch (nb::python_error& e) {
    if (!bridge::is_ordinary(e)) throw;
    log_.error("Pre-turn compression failed: %s", bridge::text_of(e.value()));
    return false;
  }
}

}  // namespace

NB_MODULE(compression, m) {
  auto init = ns.bind(m);
  m.attr("logging") = bridge::import("logging");
  m.attr("logger") = log_.named();
  m.attr("DEFAULT_COMPRESSION_THRESHOLD_CHARS") = kDefaultThreshold;

  ns.def(m, "estimate_token_count", &estimate_token_count, "history"_a.none(),
        nb::sig("def estimate_token_count(history: list) -> int"),
        "Rough token figure of a history: its message characters divided by 4.");
  ns.def(m, "maybe_compress_session", &maybe_compress_session, "agent"_a.none(), "history"_a.none(),
        "threshold_chars"_a.none() = kDefaultThreshold,
        nb::sig("def maybe_compress_session(agent: object, history: list, "
                "threshold_chars: int = 300000) -> bool"),
        "Compress the agent's context before a turn when the history has reached "
        "threshold_chars characters; True when compression ran.");
}
