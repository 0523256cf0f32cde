// Python logging with printf-style format strings and separate arguments:
// <module>.logger.<level>(fmt, *args); text arguments have their control
// characters escaped, so that a user's text cannot forge or garble a line. The logger is the module's `logger`
// binding of the moment (logging.getLogger(name) when it has none), so a
// replaced `logger` attribute receives the records.
#pragma once

#include <string>
#include <type_traits>
#include <unordered_map>

#include "core/names.hpp"

namespace bridge {

// `text` with its control characters (C0, DEL, C1) written as escapes
// ("\n", "\t", "\x00", ...), for user text in a log or console line.
inline nb::str escape_controls(nb::handle text) {
  nb::str s = nb::str(text);
  Py_ssize_t n = PyUnicode_GetLength(s.ptr());
  if (n < 0) throw nb::python_error();
  auto plain = [](Py_UCS4 c) { return c >= 0x20 && (c < 0x7f || c > 0x9f); };
#ifndef Py_LIMITED_API
  if (PyUnicode_KIND(s.ptr()) == PyUnicode_1BYTE_KIND) {
    // The common case, checked without building anything.
    const auto* d = static_cast<const Py_UCS1*>(PyUnicode_DATA(s.ptr()));
    bool clean = true;
    for (Py_ssize_t i = 0; i < n && clean; ++i) clean = plain(d[i]);
    if (clean) return s;
  }
#endif
  std::u32string out;
  bool changed = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_ReadChar(s.ptr(), i);
    if (plain(c)) {
      out.push_back(c);
      continue;
    }
    changed = true;
    out.push_back('\\');
    if (c == '\n') {
      out.push_back('n');
    } else if (c == '\r') {
      out.push_back('r');
    } else if (c == '\t') {
      out.push_back('t');
    } else {
      static const char hex[] = "0123456789abcdef";
      out.push_back('x');
      out.push_back(static_cast<char32_t>(hex[(c >> 4) & 0xf]));
      out.push_back(static_cast<char32_t>(hex[c & 0xf]));
    }
  }
  if (!changed) return s;
#ifdef Py_LIMITED_API
  // Native-order UTF-32; lone surrogates in the text are kept as they were.
  int order = 0;
  PyObject* r = PyUnicode_DecodeUTF32(reinterpret_cast<const char*>(out.data()),
                                      static_cast<Py_ssize_t>(out.size() * sizeof(char32_t)),
                                      "surrogatepass", &order);
#else
  PyObject* r = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                          static_cast<Py_ssize_t>(out.size()));
#endif
  if (!r) throw nb::python_error();
  return nb::steal<nb::str>(r);
}

// A log argument as handed to logging: text with its control characters
// escaped (it may come from a user), anything else as it is.
template <typename T> decltype(auto) loggable(T&& v) {
  if constexpr (std::is_convertible_v<const std::decay_t<T>&, nb::handle>) {
    nb::handle h(v);
    if (h && PyUnicode_Check(h.ptr())) return nb::object(escape_controls(h));
    return nb::object(nb::borrow(h));
  } else {
    return std::forward<T>(v);
  }
}

class Logger {
 public:
  Logger(const Namespace& ns, const char* name) : ns_(ns), name_(name) {}

  template <typename... Args> void debug(const char* fmt, Args&&... a) const {
    emit("debug", fmt, std::forward<Args>(a)...);
  }
  template <typename... Args> void info(const char* fmt, Args&&... a) const {
    emit("info", fmt, std::forward<Args>(a)...);
  }
  template <typename... Args> void warning(const char* fmt, Args&&... a) const {
    emit("warning", fmt, std::forward<Args>(a)...);
  }
  template <typename... Args> void error(const char* fmt, Args&&... a) const {
    emit("error", fmt, std::forward<Args>(a)...);
  }

  // The module's `logger` of the moment.
  nb::object logger() const {
    static Name n_logger("logger");
    PyObject* v = PyDict_GetItemWithError(ns_.dict(), n_logger.ptr());  // borrowed
    if (v) return nb::borrow(v);
    if (PyErr_Occurred()) throw nb::python_error();
    return named();
  }

  // logging.getLogger(name), for the module's init.
  nb::object named() const { return stdlib("logging", "getLogger")(name_); }

 private:
  template <typename... Args> void emit(const char* level, const char* fmt, Args&&... a) const {
    nb::object target = logger();
    nb::handle method = text(level);
    if (!enabled(target, method, level)) return;  // nothing to build
    nb::object fn = nb::steal(PyObject_GetAttr(target.ptr(), method.ptr()));
    if (!fn.is_valid()) throw nb::python_error();
    fn(text(fmt), loggable(std::forward<Args>(a))...);
  }

  // False only when a plain logging.Logger whose level methods are its
  // class's own says, through its isEnabledFor, that the level is off; any
  // other logger (a replacement, a subclass, a method set on the instance)
  // is always called.
  static bool enabled(nb::handle logger, nb::handle method, const char* level) {
    static PyObject* plain = stdlib("logging", "Logger").release().ptr();  // kept
    if (reinterpret_cast<PyObject*>(Py_TYPE(logger.ptr())) != plain) return true;
    static PyObject* is_enabled = PyUnicode_InternFromString("isEnabledFor");  // kept
    nb::object d = nb::steal(PyObject_GenericGetDict(logger.ptr(), nullptr));
    if (!d.is_valid()) throw nb::python_error();
    if (PyDict_Contains(d.ptr(), method.ptr()) || PyDict_Contains(d.ptr(), is_enabled))
      return true;
    PyObject* args[2] = {logger.ptr(), level_number(level).ptr()};
    nb::object r = nb::steal(PyObject_VectorcallMethod(is_enabled, args, 2, nullptr));
    if (!r.is_valid()) throw nb::python_error();
    return truthy(r);
  }

  static nb::handle level_number(const char* level) {
    static PyObject* numbers[4] = {PyLong_FromLong(10), PyLong_FromLong(20),
                                   PyLong_FromLong(30), PyLong_FromLong(40)};  // kept
    switch (level[0]) {
      case 'd': return numbers[0];
      case 'i': return numbers[1];
      case 'w': return numbers[2];
      default: return numbers[3];
    }
  }

  // The Python text of a literal, made once (interned, kept).
  static nb::handle text(const char* literal) {
    static std::unordered_map<const char*, PyObject*> made;  // touched with the GIL held
    auto it = made.find(literal);
    if (it != made.end()) return it->second;
    PyObject* t = PyUnicode_FromString(literal);
    if (!t) throw nb::python_error();
    PyUnicode_InternInPlace(&t);
    made.emplace(literal, t);
    return t;
  }

  const Namespace& ns_;
  const char* name_;
};

// print(text) to the sys.stdout of the moment.
inline void print_line(nb::handle text) {
  nb::object print = nb::borrow(PyEval_GetBuiltins()).attr("__getitem__")("print");
  print(text);
}

}  // namespace bridge
