#include "py.hpp"

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>

namespace vr {

namespace {

// Interned strings by their text, keyed by a view of the string's own UTF-8
// (which lives as long as the string: neither the table nor its strings are
// ever freed; module-lifetime constants, also used while the interpreter
// exits). A lookup hashes the text and allocates nothing once a name has been
// seen; the table holds one entry per distinct name, whatever buffer or
// address the caller's text comes from.
std::unordered_map<std::string_view, PyObject*>& intern_table() {
  static auto* table = new std::unordered_map<std::string_view, PyObject*>();
  return *table;
}

// Most arguments a `call_kw` passes, positional and keyword together.
constexpr std::size_t kMaxCallArgs = 16;

PyObject* g_module = nullptr;

}  // namespace

PyObject* interned(const char* s) {
  auto& table = intern_table();
  auto it = table.find(std::string_view(s));
  if (it != table.end()) return it->second;
  PyObject* o = PyUnicode_InternFromString(s);
  if (!o) throw PyErrorSet{};
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(o, &n);
  if (!text) {
    Py_DECREF(o);
    throw PyErrorSet{};
  }
  try {
    table.emplace(std::string_view(text, static_cast<std::size_t>(n)), o);  // kept for good
  } catch (const std::bad_alloc&) {
    Py_DECREF(o);
    throw;
  }
  return o;
}

std::size_t interned_count() noexcept { return intern_table().size(); }

PyObject* interned_nothrow(const char* s) noexcept {
  try {
    return interned(s);
  } catch (const PyErrorSet&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

void intern_at_import() {
  // Names looked up where no exception may leave: destructors, the clean-up
  // of a `with` block while an exception is pending, C slots.
  for (const char* name : {"release", "acquire", "__exit__", "demux", "size", "decode",
                           "_decoder_idx", "flush_buffers", "close"})
    interned(name);
}

Ref call_kw(PyObject* callable, std::initializer_list<PyObject*> pos, PyObject* kwnames,
            std::initializer_list<PyObject*> kwvals) {
  if (pos.size() + kwvals.size() > kMaxCallArgs) raise(PyExc_SystemError, "call_kw: too many arguments");
  PyObject* argv[kMaxCallArgs + 1];
  std::size_t n = 1;
  for (PyObject* p : pos) argv[n++] = p;
  for (PyObject* p : kwvals) argv[n++] = p;
  return check(PyObject_Vectorcall(callable, argv + 1, pos.size() | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames));
}

Ref builtin_open() {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* open = builtins ? PyDict_GetItemString(builtins, "open") : nullptr;
  if (!open) {
    Ref mod = import("builtins");
    return attr(mod.get(), "open");
  }
  return Ref::borrow(open);
}

Ref open_file(PyObject* path, const char* mode) {
  Ref open = builtin_open();
  return call(open.get(), path, str(mode).get());
}

PyObject* module_object() { return g_module; }

void set_module_object(PyObject* m) {
  Py_XINCREF(m);
  g_module = m;
}

}  // namespace vr
