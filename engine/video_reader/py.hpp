// Small RAII and call helpers over the CPython C API, shared by every subsystem.
//
// Owns nothing global except the module reference set at initialisation. A
// Python error is carried through C++ code as `PyErrorSet` (the error indicator
// stays set); the callable trampoline turns it back into a NULL return.
// All helpers require the GIL.
//
// Interpreter exit: while the interpreter finalizes, a daemon thread that tries
// to take the GIL back (at the end of any section that released it: PyAV's
// decoding, a frame's deallocation, file I/O, our own GIL-free loops) is ended
// with `pthread_exit`. glibc implements that as a forced unwind that runs the
// destructors of every C++ frame on the thread's stack, without the GIL and
// while the main thread tears the interpreter down. Hence:
//   - destructors that touch Python objects do nothing when the thread does
//     not hold the GIL (`gil_held`): the objects leak, which is the right
//     outcome at process exit;
//   - destructors that may release the GIL (dropping a reference can run any
//     deallocator) are `noexcept(false)`, so that the unwind passes through
//     them instead of reaching std::terminate;
//   - no `catch (...)` swallows the unwind (it would abort the process).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

namespace vr {

// Whether the calling thread holds the GIL, for destructors that may run during
// the forced unwind of a daemon thread at interpreter exit. Outside
// finalization every destructor of this module runs with the GIL (the GIL-free
// sections hold no Python object), so the common answer costs one flag read.
// During finalization only the finalizing thread holds the GIL: the thread
// state attached to the running interpreter must be this thread's own. (The
// attached state is a global on 3.10/3.11 and a thread-local from 3.12; the
// comparison is right for both, and unlike PyGILState_Check it does not answer
// "yes" once the GIL-state machinery has been torn down.)
inline bool gil_held() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  if (!Py_IsFinalizing()) return true;
  PyThreadState* attached = PyThreadState_GetUnchecked();
#else
  if (!_Py_IsFinalizing()) return true;
  PyThreadState* attached = _PyThreadState_UncheckedGet();
#endif
  return attached != nullptr && attached == PyGILState_GetThisThreadState();
}

// Thrown when a Python exception is already set and must propagate unchanged.
struct PyErrorSet {};

// An owned (strong) reference. Constructing from a raw pointer steals it.
class Ref {
 public:
  Ref() noexcept = default;
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  // Assignment and destruction drop a reference, which can run a deallocator
  // that releases the GIL: not noexcept (see the top of this file).
  Ref& operator=(Ref o) {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Ref() noexcept(false) {
    if (p_ && gil_held()) Py_DECREF(p_);
  }

  static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }
  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Throws PyErrorSet when `p` is NULL; otherwise takes ownership.
inline Ref check(PyObject* p) {
  if (!p) throw PyErrorSet{};
  return Ref(p);
}
inline void check_status(int rc) {
  if (rc < 0) throw PyErrorSet{};
}
[[noreturn]] inline void raise(PyObject* type, const char* msg) {
  PyErr_SetString(type, msg);
  throw PyErrorSet{};
}
[[noreturn]] inline void raise(PyObject* type, const std::string& msg) {
  raise(type, msg.c_str());
}
[[noreturn]] inline void raise_object(PyObject* type, PyObject* value) {
  PyErr_SetObject(type, value);
  throw PyErrorSet{};
}

// An interned string created once and kept for the life of the process,
// found again without allocating: a literal by its address, any other text by
// its content. Any NUL-terminated text will do (a literal or a buffer of the
// caller's): the tables grow by distinct names and literals, not by the
// addresses of callers' buffers.
PyObject* interned(const char* s);
// How many entries the tables hold (a diagnostic for tests).
std::size_t interned_count() noexcept;
// The same, for code from which no exception may leave (destructors): NULL
// with a Python error set when the string cannot be made.
PyObject* interned_nothrow(const char* s) noexcept;
// Interns at module initialisation the names used where nothing may throw.
void intern_at_import();
#define VR_STR(lit) (::vr::interned(lit))

// For the few places that try something optional and carry on without it:
// clears the pending error and returns true when it is an ordinary failure
// (an Exception other than MemoryError); KeyboardInterrupt, SystemExit,
// MemoryError and the like stay set (false), for the caller to propagate.
inline bool clear_ordinary_error() noexcept {
  if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))
    return false;
  PyErr_Clear();
  return true;
}

inline Ref str(const char* s) { return check(PyUnicode_FromString(s)); }
inline Ref str(const std::string& s) {
  return check(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref integer(long long v) { return check(PyLong_FromLongLong(v)); }
inline Ref uinteger(unsigned long long v) { return check(PyLong_FromUnsignedLongLong(v)); }
inline Ref boolean(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
inline Ref none() { return Ref::borrow(Py_None); }

inline Ref attr(PyObject* o, PyObject* name) { return check(PyObject_GetAttr(o, name)); }
inline Ref attr(PyObject* o, const char* name) { return attr(o, VR_STR(name)); }
inline void set_attr(PyObject* o, const char* name, PyObject* v) {
  check_status(PyObject_SetAttr(o, VR_STR(name), v));
}
inline Ref import(const char* name) { return check(PyImport_ImportModule(name)); }

template <typename... A>
Ref call(PyObject* callable, A... args) {
  PyObject* argv[] = {nullptr, static_cast<PyObject*>(args)...};
  return check(PyObject_Vectorcall(callable, argv + 1, sizeof...(A) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   nullptr));
}
inline Ref call(PyObject* callable) { return check(PyObject_CallNoArgs(callable)); }

template <typename... A>
Ref call_method(PyObject* self, const char* name, A... args) {
  PyObject* argv[] = {self, static_cast<PyObject*>(args)...};
  return check(PyObject_VectorcallMethod(VR_STR(name), argv,
                                         (sizeof...(A) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         nullptr));
}

// Calls `callable(*pos, **{names[i]: kwvals[i]})` where `kwnames` is a tuple of names.
Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> pos, PyObject* kwnames,
            std::initializer_list<PyObject*> kwvals);

// Truth value with Python's rules.
inline bool truthy(PyObject* o) {
  int r = PyObject_IsTrue(o);
  check_status(r);
  return r != 0;
}

inline long long as_ll(PyObject* o) {
  long long v = PyLong_AsLongLong(o);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

// Python's built-in `open`, looked up at each call so that it can be patched.
Ref builtin_open();
// `open(path, mode)` through the built-in `open`.
Ref open_file(PyObject* path, const char* mode);

// The extension module object (set once by module initialisation).
PyObject* module_object();
void set_module_object(PyObject* m);
// A module attribute looked up at the time of the call.
inline Ref module_attr(const char* name) { return attr(module_object(), name); }

// Contiguous read-only view of a bytes-like object, released on scope exit.
class Buffer {
 public:
  explicit Buffer(PyObject* o, int flags = PyBUF_SIMPLE) {
    check_status(PyObject_GetBuffer(o, &view_, flags));
    held_ = true;
  }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  ~Buffer() noexcept(false) {
    if (held_ && gil_held()) PyBuffer_Release(&view_);
  }
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
  std::size_t size() const { return static_cast<std::size_t>(view_.len); }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Releases the GIL for the lifetime of the object. Taking it back at the end
// may end the thread at interpreter exit, hence the destructor is not noexcept.
// Nothing inside the scope may throw.
class GilRelease {
 public:
  GilRelease() : state_(PyEval_SaveThread()) {}
  ~GilRelease() noexcept(false) { PyEval_RestoreThread(state_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* state_;
};

// Runs `body` where Python calls into native code (a function call, a
// generator step) and turns a C++ exception escaping it into a Python error:
// PyErrorSet leaves the error that is already set, std::bad_alloc becomes
// MemoryError, any other std::exception RuntimeError. Returns false when an
// exception was caught. A forced unwind is no std::exception: it passes.
template <typename Body>
bool translate_exceptions(Body&& body) {
  try {
    body();
    return true;
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  }
  return false;
}

// Takes the exception being raised out of the error indicator: the exception
// object (a new reference, its traceback attached), or NULL when none is set.
inline PyObject* take_raised_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  if (!t) return nullptr;
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Py_XDECREF(t);
  Py_XDECREF(tb);
  return v;
#endif
}

// Raises `exc` (stolen; NULL clears the indicator), its traceback kept.
inline void set_raised_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (!exc) {
    PyErr_Clear();
    return;
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

// Saves the currently set exception and restores it on demand; used where
// clean-up code must run while an exception propagates.
class SavedError {
 public:
  SavedError() noexcept : exc_(take_raised_exception()) {}
  ~SavedError() noexcept(false) {
    if (!gil_held()) return;
    Py_XDECREF(exc_);
  }
  void restore() noexcept {
    set_raised_exception(exc_);
    exc_ = nullptr;
  }

 private:
  PyObject* exc_ = nullptr;
};

// Runs `cleanup(type, value, traceback)` (returning a new reference, or NULL
// with an exception set) while the currently set exception is pending, as
// Python does for `finally` and `__exit__`. On success the pending exception is
// set again and the clean-up's result returned; on failure the clean-up's
// exception replaces it, with the pending one as its __context__, and an empty
// Ref is returned. Either way an exception is set on return.
template <typename Cleanup>
Ref call_during_error(Cleanup&& cleanup) {
  PyObject* v = take_raised_exception();
  PyObject* t = v ? reinterpret_cast<PyObject*>(Py_TYPE(v)) : Py_None;
  PyObject* tb = v ? PyException_GetTraceback(v) : nullptr;
  PyObject* r = cleanup(t, v ? v : Py_None, tb);
  Py_XDECREF(tb);
  if (r) {
    set_raised_exception(v);
    return Ref(r);
  }
  PyObject* v2 = take_raised_exception();
  if (v2 && v && v2 != v) {
    Py_INCREF(v);
    PyException_SetContext(v2, v);  // steals
  }
  Py_XDECREF(v);
  set_raised_exception(v2);
  return Ref();
}

// Runs `with manager as x: body(x)` with Python's context-manager
// semantics: `__exit__` runs on every path out of `body`, an exception of
// `__exit__` wins (chained to the body's), and a true `__exit__` result
// suppresses the body's exception.
template <typename Body>
void with_context(PyObject* manager, Body&& body) {
  Ref enter_result = call_method(manager, "__enter__");
  // An exception out of the body (a Python error, or a C++ allocation failure
  // turned into MemoryError) is pending while `__exit__` runs.
  auto exit_on_error = [&] {
    bool suppress = false;
    Ref exit_result = call_during_error([&](PyObject* t, PyObject* v, PyObject* tb) -> PyObject* {
      PyObject* args[] = {manager, t, v, tb ? tb : Py_None};
      PyObject* name = interned_nothrow("__exit__");
      if (!name) return nullptr;
      PyObject* r = PyObject_VectorcallMethod(name, args, 4, nullptr);
      if (!r) return nullptr;
      int truth = PyObject_IsTrue(r);
      if (truth < 0) {
        Py_DECREF(r);
        return nullptr;
      }
      suppress = truth > 0;
      return r;
    });
    if (exit_result && suppress) {
      PyErr_Clear();
      return;
    }
    throw PyErrorSet{};
  };
  try {
    body(enter_result.get());
  } catch (const PyErrorSet&) {
    exit_on_error();
    return;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    exit_on_error();
    return;
  }
  call_method(manager, "__exit__", Py_None, Py_None, Py_None);
}

}  // namespace vr
