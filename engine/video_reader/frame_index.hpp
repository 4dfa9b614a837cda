// The frame-index rule shared by both readers: negative indices count from
// the end, and an index outside [0, frame_count) raises Python's IndexError
// "Frame index {index} out of range [0, {frame_count})". Comparisons and the
// addition are Python's own, so any index type behaves as it would in Python.
#pragma once

#include "py.hpp"

namespace vr {

[[noreturn]] inline void raise_frame_index_error(PyObject* index, PyObject* frame_count) {
  Ref msg = check(PyUnicode_FromFormat("Frame index %S out of range [0, %S)", index, frame_count));
  raise_object(PyExc_IndexError, msg.get());
}

// Returns the index with a negative value counted from the end; raises
// IndexError when it lies outside [0, frame_count).
inline Ref normalize_frame_index(PyObject* index, PyObject* frame_count) {
  Ref result = Ref::borrow(index);
  Ref zero = integer(0);
  int negative = PyObject_RichCompareBool(result.get(), zero.get(), Py_LT);
  check_status(negative);
  if (negative) result = check(PyNumber_Add(frame_count, result.get()));
  int below = PyObject_RichCompareBool(result.get(), zero.get(), Py_LT);
  check_status(below);
  int above = below ? 0 : PyObject_RichCompareBool(result.get(), frame_count, Py_GE);
  check_status(above);
  if (below || above) raise_frame_index_error(result.get(), frame_count);
  return result;
}

}  // namespace vr
