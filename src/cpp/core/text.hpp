// Reading back the texts the modules write: a module builds each text from
// constant pieces, and its inverse matches the same pieces at positions of a
// str. Positions count characters, as Python's str indexes them; the pieces
// are ASCII, so their length in bytes is their length in characters.
#pragma once

#include <cstring>

#include "core/py.hpp"

namespace bridge {

inline Py_ssize_t piece_length(const char* piece) {
  return static_cast<Py_ssize_t>(std::strlen(piece));
}

// text.startswith(piece, pos)
inline bool text_has_at(PyObject* text, Py_ssize_t pos, const char* piece) {
  nb::str p(piece);
  Py_ssize_t r = PyUnicode_Tailmatch(text, p.ptr(), pos, PY_SSIZE_T_MAX, -1);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// text.endswith(piece, start, end)
inline bool text_ends_with(PyObject* text, Py_ssize_t start, Py_ssize_t end, const char* piece) {
  nb::str p(piece);
  Py_ssize_t r = PyUnicode_Tailmatch(text, p.ptr(), start, end, 1);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// text.find(piece, start, end)
inline Py_ssize_t text_find(PyObject* text, const char* piece, Py_ssize_t start,
                            Py_ssize_t end = PY_SSIZE_T_MAX) {
  nb::str p(piece);
  Py_ssize_t i = PyUnicode_Find(text, p.ptr(), start, end, 1);
  if (i == -2) throw nb::python_error();
  return i;
}

// Where the line that starts at `start` ends: its line feed, or `len` (the
// text's length) when it is the last.
inline Py_ssize_t text_line_end(PyObject* text, Py_ssize_t start, Py_ssize_t len) {
  Py_ssize_t i = PyUnicode_FindChar(text, '\n', start, len, 1);
  if (i == -2) throw nb::python_error();
  return i < 0 ? len : i;
}

// text[start:end]
inline nb::object text_slice(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
  PyObject* s = PyUnicode_Substring(text, start, end);
  if (!s) throw nb::python_error();
  return nb::steal(s);
}

}  // namespace bridge
