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

// text[start:end] starts (direction -1) or ends (direction 1) with piece.
inline bool text_tailmatch(PyObject* text, nb::handle piece, Py_ssize_t start, Py_ssize_t end,
                           int direction) {
  Py_ssize_t r = PyUnicode_Tailmatch(text, piece.ptr(), start, end, direction);
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// text.startswith(piece, pos)
inline bool text_has_at(PyObject* text, Py_ssize_t pos, const char* piece) {
  return text_tailmatch(text, nb::str(piece), pos, PY_SSIZE_T_MAX, -1);
}

// text.endswith(piece, start, end)
inline bool text_ends_with(PyObject* text, Py_ssize_t start, Py_ssize_t end, const char* piece) {
  return text_tailmatch(text, nb::str(piece), start, end, 1);
}

// text.find(piece, start, end)
inline Py_ssize_t text_find(PyObject* text, const char* piece, Py_ssize_t start,
                            Py_ssize_t end = PY_SSIZE_T_MAX) {
  nb::str p(piece);
  Py_ssize_t i = PyUnicode_Find(text, p.ptr(), start, end, 1);
  if (i == -2) throw nb::python_error();
  return i;
}

// text.find(ch, start, end)
inline Py_ssize_t text_find_char(PyObject* text, Py_UCS4 ch, Py_ssize_t start, Py_ssize_t end) {
  Py_ssize_t i = PyUnicode_FindChar(text, ch, start, end, 1);
  if (i == -2) throw nb::python_error();
  return i;
}

// Where the line that starts at `start` ends: its line feed, or `len` (the
// text's length) when it is the last.
inline Py_ssize_t text_line_end(PyObject* text, Py_ssize_t start, Py_ssize_t len) {
  Py_ssize_t i = text_find_char(text, '\n', start, len);
  return i < 0 ? len : i;
}

// text[start:end]
inline nb::object text_slice(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
  PyObject* s = PyUnicode_Substring(text, start, end);
  if (!s) throw nb::python_error();
  return nb::steal(s);
}

}  // namespace bridge
