#include "imx_container.hpp"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "kernels/imx_container.hpp"
#include "native.hpp"

namespace vr {

namespace {

using imx::TableCursor;
using imx::TableStatus;

// The table is read in pieces: the first one sized from the entry count
// (bounded by the file's size), each further one as large as all before it.
constexpr std::size_t kFirstReadMin = 4096;
constexpr std::size_t kFirstReadMax = 1 << 20;
constexpr std::size_t kGuessPerEntry = 64;
// Ranges of files whose size cannot be known in advance are read in pieces of
// this size, so that a stated size never turns into an allocation by itself.
constexpr std::size_t kUnsizedPiece = 16 << 20;
// Ranges up to this size that start below 2 GiB (a position every file system
// can seek to) are read as stated, without asking for the file's size.
constexpr std::uint64_t kSmallRead = 64 << 10;
constexpr std::uint64_t kSmallReadMaxOffset = (std::uint64_t{1} << 31) - 1;

constexpr const char* kManifestName = "manifest.json";

Ref bytes_from(const std::uint8_t* p, std::size_t n) {
  return check(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(p),
                                         static_cast<Py_ssize_t>(n)));
}

bool is_oserror_set() { return PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_OSError); }

// fstat without glibc's fstat: glibc 2.33 and newer make fstat a function of
// its own, exported only under GLIBC_2.33, which a wheel for glibc 2.28 may
// not need. On x86-64 and aarch64 the kernel's fstat fills the same struct
// stat as glibc's and sets errno the same way (through syscall, which every
// glibc exports); elsewhere the C library's fstat is used as it is.
int stat_descriptor(int fd, struct stat* st) {
#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__)) && defined(SYS_fstat)
  return static_cast<int>(syscall(SYS_fstat, fd, st));
#else
  return fstat(fd, st);
#endif
}

// Size of the regular file behind a file object, or -1 when it is not a
// regular file or its descriptor is not available.
long long regular_file_size(PyObject* f) {
  PyObject* fd_obj = PyObject_CallMethodNoArgs(f, VR_STR("fileno"));
  if (!fd_obj) {
    if (clear_ordinary_error()) return -1;
    throw PyErrorSet{};
  }
  Ref fd_ref(fd_obj);
  long fd = PyLong_Check(fd_obj) ? PyLong_AsLong(fd_obj) : -1;
  if (fd == -1 && PyErr_Occurred()) {
    if (clear_ordinary_error()) return -1;
    throw PyErrorSet{};
  }
  if (fd < 0) return -1;
  struct stat st;
  if (stat_descriptor(static_cast<int>(fd), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}

// Raises Python's own struct.error for decoding `fmt` from too few bytes.
[[noreturn]] void raise_struct_unpack_error(const char* fmt, const std::uint8_t* p, std::size_t n,
                                            std::size_t needed) {
  Ref struct_mod = module_attr("struct");
  Ref data = bytes_from(p, n);
  Ref r = call_method(struct_mod.get(), "unpack", str(fmt).get(), data.get());
  (void)r;  // unreachable for a short buffer; keep the message Python would give
  Ref err = attr(struct_mod.get(), "error");
  raise(err.get(), "unpack requires a buffer of " + std::to_string(needed) + " bytes");
}

Ref decode_name(const std::uint8_t* p, std::size_t n) {
  if (imx::is_ascii(p, n)) {  // the common case: a compact ASCII string, filled directly
    Ref s = check(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
    if (n > 0) std::memcpy(PyUnicode_DATA(s.get()), p, n);
    return s;
  }
  return check(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(p), static_cast<Py_ssize_t>(n),
                                    "strict"));
}

// A new dict with room for `n` items without resizing. There is no public
// form of the presized constructor: the private one is used up to 3.13, where
// it is known to exist, and a plain dict (which grows as it fills) after.
Ref presized_dict(std::size_t n) {
#if !defined(Py_LIMITED_API) && PY_VERSION_HEX < 0x030E0000
  return check(_PyDict_NewPresized(static_cast<Py_ssize_t>(n)));
#else
  (void)n;
  return check(PyDict_New());
#endif
}

// Reads the header and the table from the open file `f`. The entries go into
// `entries`, which is replaced by a dict sized for the table once its length is
// known (and bound again as the instance's `_entries`).
void read_table(PyObject* f, PyObject* path, PyObject* self, Ref& entries) {
  Ref header_obj = call_method(f, "read", integer(imx::kHeaderSize).get());
  Buffer header(header_obj.get());
  if (header.size() < imx::kHeaderSize)
    raise(PyExc_RuntimeError, "File too small to be an IMX container");

  Ref magic = bytes_from(header.data(), imx::kMagicSize);
  Ref imx_magic = module_attr("IMX_MAGIC");
  if (!truthy(check(PyObject_RichCompare(magic.get(), imx_magic.get(), Py_EQ)).get())) {
    Ref v1_magic = module_attr("_OLD_IMX_V1_MAGIC");
    if (truthy(check(PyObject_RichCompare(magic.get(), v1_magic.get(), Py_EQ)).get())) {
      Ref path_text = check(PyObject_Str(path));
      Ref msg = check(PyUnicode_FromFormat(
          "This model uses an outdated container format (IMX v1). Please upgrade:\n"
          "  pip install --upgrade vorantis\n"
          "  vorantis convert %U",
          path_text.get()));
      raise_object(PyExc_RuntimeError, msg.get());
    }
    Ref msg = check(PyUnicode_FromFormat("Not an IMX file: bad magic %R", magic.get()));
    raise_object(PyExc_RuntimeError, msg.get());
  }

  const std::size_t count = header.data()[6] | (header.data()[7] << 8);
  if (count == 0) return;

  // Read the table in as few reads as possible: a first one sized from the
  // entry count, then each as large as all before it. No read exceeds what the
  // file holds (or a small fixed amount that confirms its end), whatever the
  // entry count claims; the file's size is asked for only when a read would be
  // larger than that fixed amount.
  std::size_t n = 0;  // table bytes read so far
  long long file_size = -2;
  auto bounded = [&](std::size_t w) {
    if (w <= kFirstReadMin) return w;
    if (file_size == -2) file_size = regular_file_size(f);
    if (file_size < 0) return w;
    long long left = file_size - static_cast<long long>(imx::kHeaderSize + n);
    return std::min(w, std::max(static_cast<std::size_t>(std::max(left, 0LL)), kFirstReadMin));
  };
  std::size_t want = bounded(std::clamp(count * kGuessPerEntry, kFirstReadMin, kFirstReadMax));

  TableCursor cur;
  Ref first;                          // the first piece, parsed in place while it is the only one
  std::unique_ptr<Buffer> first_view;
  std::vector<std::uint8_t> acc;      // all pieces, once more than one is needed
  const std::uint8_t* data = nullptr;
  bool at_end = false;
  TableStatus status;
  for (;;) {
    Ref piece = call_method(f, "read", integer(static_cast<long long>(want)).get());
    auto view = std::make_unique<Buffer>(piece.get());
    const std::size_t got = view->size();
    if (got == 0) at_end = true;
    if (!first_view && acc.empty()) {
      first = piece;
      first_view = std::move(view);
      data = first_view->data();
      n = first_view->size();
    } else {
      if (first_view) {
        acc.assign(first_view->data(), first_view->data() + first_view->size());
        first_view.reset();
        first = Ref();
      }
      acc.insert(acc.end(), view->data(), view->data() + view->size());
      data = acc.data();
      n = acc.size();
    }
    status = imx::scan_table(data, n, count, at_end, cur);
    if (status != TableStatus::NeedMore) break;
    want = bounded(std::max<std::size_t>(n, 1 << 16));
  }

  if (cur.complete > 8) {
    entries = presized_dict(cur.complete);
    set_attr(self, "_entries", entries.get());
  }
  std::size_t pos = 0;
  imx::TableEntry e;
  for (std::size_t i = 0; i < cur.complete; ++i) {
    pos = imx::read_entry(data, pos, e);
    Ref name = decode_name(data + e.name_pos, e.name_len);
    Ref loc = check(PyTuple_New(2));
    PyTuple_SET_ITEM(loc.get(), 0, uinteger(e.data_offset).release());
    PyTuple_SET_ITEM(loc.get(), 1, uinteger(e.data_size).release());
    // A pair of ints can take part in no reference cycle: keep it out of the
    // collector's way, as the collector itself would after its first pass.
    PyObject_GC_UnTrack(loc.get());
    check_status(PyDict_SetItem(entries.get(), name.get(), loc.get()));
  }
  if (status == TableStatus::CutAtNameLength) {
    raise_struct_unpack_error("<H", data + cur.rest_pos, cur.rest_len, imx::kNameLenSize);
  }
  if (status == TableStatus::CutAtLocation) {
    Ref name = decode_name(data + cur.cut_name_pos, cur.cut_name_len);
    raise_struct_unpack_error("<QQ", data + cur.rest_pos, cur.rest_len, imx::kLocationSize);
  }
}

// `_entries[name]` of the instance, or the KeyError of a missing name.
Ref lookup_entry(PyObject* self, PyObject* name) {
  Ref entries = attr(self, "_entries");
  PyObject* found = nullptr;
  Ref holder;
  if (PyDict_CheckExact(entries.get())) {
    found = PyDict_GetItemWithError(entries.get(), name);
    if (!found && PyErr_Occurred()) throw PyErrorSet{};
    holder = Ref::borrow(found);
  } else {
    int has = PySequence_Contains(entries.get(), name);
    check_status(has);
    if (has) holder = check(PyObject_GetItem(entries.get(), name));
  }
  if (!holder) {
    Ref msg = check(PyUnicode_FromFormat("File not found in IMX container: %R", name));
    raise_object(PyExc_KeyError, msg.get());
  }
  return holder;
}

// Unpacks a two-item iterable with Python's messages.
void unpack_pair(PyObject* item, Ref& a, Ref& b) {
  if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
    a = Ref::borrow(PyTuple_GET_ITEM(item, 0));
    b = Ref::borrow(PyTuple_GET_ITEM(item, 1));
    return;
  }
  PyObject* it_raw = PyObject_GetIter(item);
  if (!it_raw) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                   Py_TYPE(item)->tp_name);
    }
    throw PyErrorSet{};
  }
  Ref it(it_raw);
  Ref values[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* v = PyIter_Next(it.get());
    if (!v) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
      throw PyErrorSet{};
    }
    values[i] = Ref(v);
  }
  PyObject* extra = PyIter_Next(it.get());
  if (extra) {
    Py_DECREF(extra);
    raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
  a = values[0];
  b = values[1];
}

bool as_u64(PyObject* o, std::uint64_t& out) {
  if (!PyLong_Check(o)) return false;
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!clear_ordinary_error()) throw PyErrorSet{};  // (an OverflowError or the like)
    return false;
  }
  out = v;
  return true;
}

// Reads `size` bytes from `offset` of the open file `f`, or up to its end.
Ref read_range(PyObject* f, PyObject* offset_obj, PyObject* size_obj) {
  std::uint64_t offset = 0, size = 0;
  if (!as_u64(offset_obj, offset) || !as_u64(size_obj, size)) {
    // Not a pair of 64-bit counts (a caller rebound the table): plain seek and read.
    call_method(f, "seek", offset_obj);
    return call_method(f, "read", size_obj);
  }
  if (size <= kSmallRead && offset <= kSmallReadMaxOffset) {
    // A small range: the read itself bounds the allocation.
    call_method(f, "seek", uinteger(offset).get());
    return call_method(f, "read", uinteger(size).get());
  }
  long long file_size = regular_file_size(f);
  if (file_size >= 0) {
    auto end = static_cast<std::uint64_t>(file_size);
    if (offset >= end) return check(PyBytes_FromStringAndSize(nullptr, 0));
    std::uint64_t take = std::min(size, end - offset);
    call_method(f, "seek", uinteger(offset).get());
    return call_method(f, "read", uinteger(take).get());
  }
  // Not a regular file: the size is unknown, so read in bounded pieces.
  call_method(f, "seek", uinteger(offset).get());
  if (size <= kUnsizedPiece) return call_method(f, "read", uinteger(size).get());
  Ref pieces = check(PyList_New(0));
  std::uint64_t left = size;
  while (left > 0) {
    std::uint64_t step = std::min<std::uint64_t>(left, kUnsizedPiece);
    Ref piece = call_method(f, "read", uinteger(step).get());
    Py_ssize_t got = PyObject_Size(piece.get());
    if (got < 0) throw PyErrorSet{};
    if (got == 0) break;
    check_status(PyList_Append(pieces.get(), piece.get()));
    left -= static_cast<std::uint64_t>(got);
  }
  Ref empty = check(PyBytes_FromStringAndSize(nullptr, 0));
  return call_method(empty.get(), "join", pieces.get());
}

// ----- ImxContainer -----

Ref py_imx_init(PyObject* const* argv) {
  PyObject* self = argv[0];
  PyObject* path = argv[1];
  set_attr(self, "path", path);
  Ref entries = check(PyDict_New());
  set_attr(self, "_entries", entries.get());
  set_attr(self, "_metadata", Py_None);

  Ref f = open_file(path, "rb");
  with_context(f.get(), [&](PyObject* fh) { read_table(fh, path, self, entries); });

  int has_manifest = PyDict_Contains(entries.get(), VR_STR(kManifestName));
  check_status(has_manifest);
  if (has_manifest) {
    Ref raw = call_method(self, "read_file", VR_STR(kManifestName));
    Ref json = module_attr("json");
    Ref parsed = call_method(json.get(), "loads", raw.get());
    set_attr(self, "_metadata", parsed.get());
  }
  return none();
}

// Pickled, a container travels as its path and reads its table and manifest
// again where it is unpickled (the file must be readable there, as every
// read_file needs it anyway): a state the size of the path, and a container
// that agrees with the file it reads from rather than with a copy of its
// table taken elsewhere.
Ref py_imx_getstate(PyObject* const* argv) {
  Ref path = attr(argv[0], "path");
  return check(Py_BuildValue("{sO}", "path", path.get()));
}

Ref py_imx_setstate(PyObject* const* argv) {
  PyObject* state = argv[1];
  PyObject* path = PyDict_Check(state) ? PyDict_GetItemWithError(state, VR_STR("path")) : nullptr;
  if (!path) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "ImxContainer state has no 'path'");
    throw PyErrorSet{};
  }
  PyObject* init_argv[] = {argv[0], path};
  return py_imx_init(init_argv);
}

Ref py_imx_read_file(PyObject* const* argv) {
  PyObject* self = argv[0];
  Ref loc = lookup_entry(self, argv[1]);
  Ref offset, size;
  unpack_pair(loc.get(), offset, size);
  Ref path = attr(self, "path");
  Ref f = open_file(path.get(), "rb");
  Ref data;
  with_context(f.get(), [&](PyObject* fh) { data = read_range(fh, offset.get(), size.get()); });
  return data;
}

Ref py_imx_get_entry(PyObject* const* argv) { return lookup_entry(argv[0], argv[1]); }

Ref py_imx_has_file(PyObject* const* argv) {
  Ref entries = attr(argv[0], "_entries");
  int has = PySequence_Contains(entries.get(), argv[1]);
  check_status(has);
  return boolean(has != 0);
}

Ref py_imx_list_files(PyObject* const* argv) {
  Ref entries = attr(argv[0], "_entries");
  return check(PySequence_List(entries.get()));
}

Ref py_imx_find_files(PyObject* const* argv) {
  PyObject* pattern = argv[1];
  Ref entries = attr(argv[0], "_entries");
  Ref fnmatch_mod = module_attr("fnmatch");
  Ref fnmatch = attr(fnmatch_mod.get(), "fnmatch");
  Ref out = check(PyList_New(0));
  Ref it = check(PyObject_GetIter(entries.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref name(raw);
    Ref hit = call(fnmatch.get(), name.get(), pattern);
    if (truthy(hit.get())) check_status(PyList_Append(out.get(), name.get()));
  }
  if (PyErr_Occurred()) throw PyErrorSet{};
  return out;
}

Ref py_imx_format_version(PyObject* const* argv) {
  Ref md = attr(argv[0], "_metadata");
  if (md.get() == Py_None) return integer(0);
  Ref one = integer(1);
  Ref version = call_method(md.get(), "get", VR_STR("version"), one.get());
  return call_method(md.get(), "get", VR_STR("format_version"), version.get());
}

Ref py_imx_has_metadata(PyObject* const* argv) {
  Ref md = attr(argv[0], "_metadata");
  return boolean(md.get() != Py_None);
}

Ref py_imx_metadata(PyObject* const* argv) { return attr(argv[0], "_metadata"); }

// ----- detection -----

Ref py_is_imx_file(PyObject* const* argv) {
  PyObject* path = argv[0];
  try {
    Ref result;
    Ref f = open_file(path, "rb");
    with_context(f.get(), [&](PyObject* fh) {
      Ref head = call_method(fh, "read", integer(imx::kMagicSize).get());
      Ref magic = module_attr("IMX_MAGIC");
      result = check(PyObject_RichCompare(head.get(), magic.get(), Py_EQ));
    });
    return boolean(truthy(result.get()));
  } catch (const PyErrorSet&) {
    if (is_oserror_set()) {
      PyErr_Clear();
      return boolean(false);
    }
    throw;
  }
}

// ----- writer -----

// Raises Python's struct.error for packing `value` with `fmt`.
[[noreturn]] void raise_struct_pack_error(const char* fmt, unsigned long long value) {
  Ref struct_mod = module_attr("struct");
  Ref r = call_method(struct_mod.get(), "pack", str(fmt).get(), uinteger(value).get());
  (void)r;
  Ref err = attr(struct_mod.get(), "error");
  raise(err.get(), "argument out of range");
}

Ref encode_name(PyObject* name) {
  if (PyUnicode_CheckExact(name)) return check(PyUnicode_AsUTF8String(name));
  return call_method(name, "encode", VR_STR("utf-8"));
}

// Removes `path`, keeping the exception that is being raised.
void remove_quietly(PyObject* os, PyObject* path) {
  SavedError saved;
  PyObject* r = PyObject_CallMethodOneArg(os, VR_STR("unlink"), path);
  if (r) Py_DECREF(r);
  else PyErr_Clear();
  saved.restore();
}

// A fresh temporary path beside `target` (same directory, same str/bytes type).
Ref temp_path_for(PyObject* target_fs, unsigned attempt) {
  static unsigned long long serial = 0;
  std::string suffix = ".imx-tmp-" + std::to_string(getpid()) + "-" + std::to_string(++serial) +
                       "-" + std::to_string(attempt);
  if (PyBytes_Check(target_fs)) {
    Ref s = bytes_from(reinterpret_cast<const std::uint8_t*>(suffix.data()), suffix.size());
    return check(PyNumber_Add(target_fs, s.get()));
  }
  return check(PyNumber_Add(target_fs, str(suffix).get()));
}

// The bytes of one value to store: a C-contiguous buffer, refused otherwise
// with the error its buffer request gives (a strided or Fortran-ordered array
// has no single run of bytes to store). A value without a length fails on it
// as before; one with a length but no buffer (a str) is refused here rather
// than half-way through the file.
//
// What the file's `write` is handed: the value itself when it is exactly
// bytes, else a memoryview of it. Either keeps the bytes alive (and a
// bytearray from resizing) for as long as the file object holds on to it,
// which a patched or buffering file may do past this call; the size is the
// byte count of that very object, so the write hands over the bytes measured.
struct Content {
  Ref object;
  std::size_t size = 0;
};

Content value_bytes(PyObject* value) {
  if (!PyObject_CheckBuffer(value) && PyObject_Size(value) < 0) throw PyErrorSet{};
  if (PyBytes_CheckExact(value)) return Content{Ref::borrow(value), Buffer(value).size()};
  { Buffer refused_here(value, PyBUF_SIMPLE); }  // the value's own error if it has no run of bytes
  Ref view = check(PyMemoryView_FromObject(value));
  Buffer measured(view.get(), PyBUF_SIMPLE);
  return Content{std::move(view), measured.size()};
}

Ref py_write_imx_v2_container(PyObject* const* argv) {
  PyObject* output_path = argv[0];
  PyObject* files = argv[1];

  // The entry count and the header (struct gives the error for more than 65535 entries).
  Py_ssize_t count = PyObject_Size(files);
  if (count < 0) throw PyErrorSet{};
  Ref struct_mod = module_attr("struct");
  Ref magic = module_attr("IMX_MAGIC");
  Ref version = module_attr("IMX_VERSION");
  Ref header = call_method(struct_mod.get(), "pack", VR_STR("<4sHH"), magic.get(), version.get(),
                           integer(count).get());

  // Every name is encoded before anything else happens to it.
  std::vector<Ref> names, values;
  Ref items = call_method(files, "items");
  Ref it = check(PyObject_GetIter(items.get()));
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    Ref name, value;
    unpack_pair(item.get(), name, value);
    names.push_back(encode_name(name.get()));
    values.push_back(value);
  }
  if (PyErr_Occurred()) throw PyErrorSet{};

  // Lengths, layout and the table, all settled before the file is touched.
  // Each value's size is its buffer's byte count (not its `len`, which counts
  // items: a uint16 array or a memoryview cast to "H" holds more bytes than
  // items). The values (as bytes or memoryviews, which hold their buffers)
  // stay held until the writes are done, and each write hands the file exactly
  // the bytes that were measured.
  const std::size_t n = names.size();
  std::vector<Content> contents;
  contents.reserve(n);
  std::vector<const std::uint8_t*> name_ptrs(n);
  std::vector<std::size_t> name_lens(n);
  std::vector<std::uint64_t> sizes(n);
  for (std::size_t i = 0; i < n; ++i) {
    char* p = nullptr;
    Py_ssize_t len = 0;
    if (!PyBytes_Check(names[i].get())) {
      Ref as_bytes = check(PyBytes_FromObject(names[i].get()));
      names[i] = as_bytes;
    }
    check_status(PyBytes_AsStringAndSize(names[i].get(), &p, &len));
    name_ptrs[i] = reinterpret_cast<const std::uint8_t*>(p);
    name_lens[i] = static_cast<std::size_t>(len);
    if (name_lens[i] > imx::kMaxNameLen) raise_struct_pack_error("<H", name_lens[i]);
    contents.push_back(value_bytes(values[i].get()));
    sizes[i] = contents.back().size;
  }
  imx::Layout layout;
  if (!imx::compute_layout(name_lens.data(), sizes.data(), n, layout)) {
    // An offset past 2**64 (only reachable with objects that misreport their
    // length): struct's packing of it gives the error.
    Ref one = integer(1), shift = integer(64);
    Ref too_big = check(PyNumber_Lshift(one.get(), shift.get()));
    Ref struct_pack = attr(struct_mod.get(), "pack");
    call(struct_pack.get(), VR_STR("<QQ"), too_big.get(), integer(0).get());
    raise(PyExc_OverflowError, "container offsets do not fit in 64 bits");
  }
  if (layout.table_size > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return check(PyErr_NoMemory());
  Ref table = check(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(layout.table_size)));
  imx::encode_table(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(table.get())),
                    name_ptrs.data(), name_lens.data(), sizes.data(), layout, n);

  // Write beside the target, then rename over it.
  Ref os = import("os");
  Ref os_path = attr(os.get(), "path");
  // A str, bytes or path-like path only (a file descriptor cannot be replaced
  // atomically); the TypeError for anything else is the one `open` gives.
  Ref target_fs = call_method(os.get(), "fspath", output_path);
  Ref target = Ref::borrow(output_path);
  if (truthy(call_method(os_path.get(), "islink", target_fs.get()).get())) {
    target_fs = call_method(os_path.get(), "realpath", target_fs.get());  // write through the link
    target = target_fs;
  }
  {
    // Targets that can never be a file fail the way opening them would.
    Py_ssize_t len = PyObject_Size(target_fs.get());
    if (len < 0) throw PyErrorSet{};
    Ref sep = attr(os.get(), "sep");
    if (PyBytes_Check(target_fs.get())) sep = call(attr(os.get(), "fsencode").get(), sep.get());
    bool ends_with_sep = len > 0 && truthy(call_method(target_fs.get(), "endswith", sep.get()).get());
    if (len == 0 || ends_with_sep || truthy(call_method(os_path.get(), "isdir", target.get()).get())) {
      Ref f = open_file(output_path, "wb");  // raises for all of these
      call_method(f.get(), "close");          // (only a race gets here; carry on)
    }
  }

  Ref tmp, f;
  for (unsigned attempt = 0;; ++attempt) {
    tmp = temp_path_for(target_fs.get(), attempt);
    Ref open = builtin_open();
    PyObject* fr = PyObject_CallFunction(open.get(), "Os", tmp.get(), "xb");
    if (fr) {
      f = Ref(fr);
      break;
    }
    if (attempt < 16 && PyErr_ExceptionMatches(PyExc_FileExistsError)) {
      PyErr_Clear();
      continue;
    }
    if (PyErr_ExceptionMatches(PyExc_OSError)) {
      // Report the path the caller gave, not the temporary name.
      PyObject* v = take_raised_exception();
      if (v && PyObject_SetAttrString(v, "filename", output_path) < 0) PyErr_Clear();
      set_raised_exception(v);
    }
    throw PyErrorSet{};
  }
  try {
    with_context(f.get(), [&](PyObject* fh) {
      call_method(fh, "write", header.get());
      call_method(fh, "write", table.get());
      for (const auto& content : contents) call_method(fh, "write", content.object.get());
    });
    // An existing target keeps its permission bits (not set-id bits, which a
    // rewrite in place would clear too).
    PyObject* st = PyObject_CallMethodOneArg(os.get(), VR_STR("stat"), target.get());
    if (st) {
      Ref st_ref(st);
      Ref mode = attr(st, "st_mode");
      Ref mask = integer(0777);
      Ref bits = check(PyNumber_And(mode.get(), mask.get()));
      call_method(os.get(), "chmod", tmp.get(), bits.get());
    } else if (is_oserror_set()) {
      PyErr_Clear();
    } else {
      throw PyErrorSet{};
    }
    call_method(os.get(), "replace", tmp.get(), target.get());
  } catch (const PyErrorSet&) {
    remove_quietly(os.get(), tmp.get());
    throw;
  }
  return none();
}

PyMethodDef entries[] = {
    VR_ENTRY("is_imx_file", py_is_imx_file, 1),
    VR_ENTRY("write_imx_v2_container", py_write_imx_v2_container, 2),
    VR_ENTRY("imx_init", py_imx_init, 2),
    VR_ENTRY("imx_read_file", py_imx_read_file, 2),
    VR_ENTRY("imx_get_entry", py_imx_get_entry, 2),
    VR_ENTRY("imx_has_file", py_imx_has_file, 2),
    VR_ENTRY("imx_list_files", py_imx_list_files, 1),
    VR_ENTRY("imx_find_files", py_imx_find_files, 2),
    VR_ENTRY("imx_format_version", py_imx_format_version, 1),
    VR_ENTRY("imx_has_metadata", py_imx_has_metadata, 1),
    VR_ENTRY("imx_metadata", py_imx_metadata, 1),
    VR_ENTRY("imx_getstate", py_imx_getstate, 1),
    VR_ENTRY("imx_setstate", py_imx_setstate, 2),
    VR_ENTRIES_END,
};

}  // namespace

void register_imx_container(PyObject* native) { add_entries(native, entries); }

}  // namespace vr
