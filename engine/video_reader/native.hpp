// The native entry points that the module's Python surface (surface.py) calls.
//
// Each is a private built-in function of the `_native` table, taking the
// arguments the surface has already bound, in the surface's parameter order,
// defaults filled in (`self` or `cls` first for members). It checks only their
// number, runs its C++ implementation under the error translation of py.hpp
// and returns its result. Names, signatures, defaults, annotations, docstrings,
// binding as methods, generators, pickling by reference and the rest of what a
// function is come from Python's own `def` in the surface, not from here.
#pragma once

#include "py.hpp"

namespace vr {

// The implementation of an entry point: the arguments in surface order
// (borrowed references); a new reference, or throws.
using NativeImpl = Ref (*)(PyObject* const* argv);

// Raises TypeError for a call with the wrong number of arguments.
PyObject* wrong_native_arity(Py_ssize_t expected, Py_ssize_t given) noexcept;

// Not noexcept: the forced unwind that ends a thread at interpreter exit
// passes through it (see py.hpp).
template <NativeImpl Impl, Py_ssize_t N>
PyObject* native_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != N) return wrong_native_arity(N, nargs);
  PyObject* result = nullptr;
  if (translate_exceptions([&] { result = Impl(args).release(); })) return result;
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "native call failed without setting an exception");
  return nullptr;
}

// One row of an entry table: `VR_ENTRY("name", impl, number of arguments)`.
#define VR_ENTRY(name, impl, nargs)                                                          \
  PyMethodDef {                                                                             \
    name,                                                                                   \
        reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(                     \
            &::vr::native_entry<impl, nargs>)),                                             \
        METH_FASTCALL, nullptr                                                              \
  }
#define VR_ENTRIES_END \
  PyMethodDef { nullptr, nullptr, 0, nullptr }

// Adds a subsystem's entry table (static storage, ended by VR_ENTRIES_END) to
// the `_native` table.
void add_entries(PyObject* native, PyMethodDef* entries);

}  // namespace vr
