#include "py.hpp"

#include <cstring>
#include <string>
#include <unordered_map>

namespace vr {

namespace {

// Interned strings by their C text; neither the table nor its strings are ever
// freed (module-lifetime constants, also used while the interpreter exits).
std::unordered_map<std::string, PyObject*>& intern_table() {
  static auto* table = new std::unordered_map<std::string, PyObject*>();
  return *table;
}

// Most arguments a `call_kw` passes, positional and keyword together.
constexpr std::size_t kMaxCallArgs = 16;

PyObject* g_module = nullptr;

// The same strings by the address of the C text (string literals at their
// call sites): a lookup that allocates nothing once a name has been seen. An
// address is only a hint: a caller's buffer may hold another name the next
// time, so a hit counts only when the text still matches.
std::unordered_map<const char*, PyObject*>& intern_by_address() {
  static auto* table = new std::unordered_map<const char*, PyObject*>();
  return *table;
}

}  // namespace

PyObject* interned(const char* s) {
  auto& by_address = intern_by_address();
  auto hit = by_address.find(s);
  if (hit != by_address.end() && std::strcmp(PyUnicode_AsUTF8(hit->second), s) == 0)
    return hit->second;
  auto& table = intern_table();
  auto it = table.find(s);
  PyObject* o;
  if (it != table.end()) {
    o = it->second;
  } else {
    o = PyUnicode_InternFromString(s);
    if (!o) throw PyErrorSet{};
    table.emplace(s, o);  // kept for the life of the process
  }
  by_address[s] = o;
  return o;
}

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
