#include "py.hpp"

#include <link.h>

#include <algorithm>
#include <cstdint>
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

// The same strings by the address of their C text, for texts inside this
// module's own loaded image (string literals at their call sites): a lookup
// that hashes a pointer instead of the text. Addresses elsewhere (a caller's
// stack or heap buffer) are never recorded, so the table holds at most one
// entry per address of the image; a hit counts only while the text there still
// matches.
std::unordered_map<const char*, PyObject*>& intern_by_address() {
  static auto* table = new std::unordered_map<const char*, PyObject*>();
  return *table;
}

// The address range of this module's loaded segments, found once.
struct ImageRange {
  std::uintptr_t lo = 0, hi = 0;
  bool holds(const void* p) const noexcept {
    auto a = reinterpret_cast<std::uintptr_t>(p);
    return a >= lo && a < hi;
  }
};

int find_own_image(dl_phdr_info* info, std::size_t, void* data) {
  auto* range = static_cast<ImageRange*>(data);
  ImageRange segments{UINTPTR_MAX, 0};
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const auto& ph = info->dlpi_phdr[i];
    if (ph.p_type != PT_LOAD) continue;
    std::uintptr_t start = info->dlpi_addr + ph.p_vaddr;
    segments.lo = std::min(segments.lo, start);
    segments.hi = std::max(segments.hi, start + ph.p_memsz);
  }
  if (!segments.holds(reinterpret_cast<const void*>(&find_own_image))) return 0;
  *range = segments;
  return 1;
}

const ImageRange& own_image() {
  static const ImageRange range = [] {
    ImageRange r;
    dl_iterate_phdr(find_own_image, &r);
    return r;
  }();
  return range;
}

// Most arguments a `call_kw` passes, positional and keyword together.
constexpr std::size_t kMaxCallArgs = 16;

PyObject* g_module = nullptr;

}  // namespace

PyObject* interned(const char* s) {
  const bool literal = own_image().holds(s);
  if (literal) {
    auto& by_address = intern_by_address();
    auto hit = by_address.find(s);
    if (hit != by_address.end() && std::strcmp(PyUnicode_AsUTF8(hit->second), s) == 0)
      return hit->second;
  }
  auto& table = intern_table();
  auto it = table.find(std::string_view(s));
  PyObject* o;
  if (it != table.end()) {
    o = it->second;
  } else {
    o = PyUnicode_InternFromString(s);
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
  }
  if (literal) {
    try {
      intern_by_address()[s] = o;
    } catch (const std::bad_alloc&) {  // only a shortcut: the name is found by its text
    }
  }
  return o;
}

std::size_t interned_count() noexcept {
  return intern_table().size() + intern_by_address().size();
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
