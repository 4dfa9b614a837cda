#include "mask_bbox.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "callable.hpp"

namespace vr {

// ---------------------------------------------------------------------------
// Kernel
// ---------------------------------------------------------------------------

namespace {

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

template <typename T>
inline T load(const unsigned char* p) noexcept {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

#if defined(__SSE2__)
// Bit k set when byte p[k] is non-zero, k in [0, 16).
inline unsigned nonzero_mask16(const unsigned char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128()))) &
         0xFFFFu;
}

// Whether any byte of p[0, 64) is non-zero.
inline bool any_nonzero_64(const unsigned char* p) noexcept {
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
  const __m128i o = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(o, _mm_setzero_si128())) != 0xFFFF;
}

inline unsigned lowest_bit(unsigned m) noexcept { return static_cast<unsigned>(__builtin_ctz(m)); }
inline unsigned highest_bit(unsigned m) noexcept { return 31u - static_cast<unsigned>(__builtin_clz(m)); }

// Offset of the first / last non-zero byte of p[0, n), or kNone: whole 64-byte
// blocks first, then 16-byte steps; a short remainder is read by one
// overlapping 16-byte load when the span allows it.
std::size_t first_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 64 <= n; i += 64)
    if (any_nonzero_64(p + i)) break;
  for (; i + 16 <= n; i += 16)
    if (unsigned m = nonzero_mask16(p + i)) return i + lowest_bit(m);
  if (i == n) return kNone;
  if (n >= 16) {
    unsigned m = nonzero_mask16(p + n - 16) >> (16 - (n - i));  // bytes [i, n) only
    return m ? i + lowest_bit(m) : kNone;
  }
  for (; i < n; ++i)
    if (p[i]) return i;
  return kNone;
}

std::size_t last_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = n;
  for (; i >= 64; i -= 64)
    if (any_nonzero_64(p + i - 64)) break;
  for (; i >= 16; i -= 16)
    if (unsigned m = nonzero_mask16(p + i - 16)) return i - 16 + highest_bit(m);
  if (i == 0) return kNone;
  if (n >= 16) {
    unsigned m = nonzero_mask16(p) & ((1u << i) - 1u);  // bytes [0, i) only
    return m ? highest_bit(m) : kNone;
  }
  while (i > 0) {
    --i;
    if (p[i]) return i;
  }
  return kNone;
}
#else
// Portable versions: eight bytes at a time, then bytewise.
std::size_t first_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    std::uint64_t w[4];
    std::memcpy(w, p + i, 32);
    if ((w[0] | w[1] | w[2] | w[3]) != 0) break;
  }
  for (; i < n; ++i)
    if (p[i]) return i;
  return kNone;
}

std::size_t last_nonzero_byte(const unsigned char* p, std::size_t n) noexcept {
  std::size_t i = n;
  for (; i >= 32; i -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p + i - 32, 32);
    if ((w[0] | w[1] | w[2] | w[3]) != 0) break;
  }
  while (i > 0) {
    --i;
    if (p[i]) return i;
  }
  return kNone;
}
#endif

// Rows of packed pixels (channels, then columns, without gaps) whose elements
// are zero exactly when all their bytes are zero (unsigned integers, bool):
// a pixel is non-zero when any of its bytes is, so rows are searched bytewise.
struct PackedRows {
  const unsigned char* data;
  std::ptrdiff_t row_stride;
  std::size_t pixel_bytes;

  const unsigned char* at(std::size_t y, std::size_t x) const noexcept {
    return data + static_cast<std::ptrdiff_t>(y) * row_stride + x * pixel_bytes;
  }
  // First / last non-zero column in [from, to), or kNone.
  std::size_t first(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    if (from >= to) return kNone;
    std::size_t k = first_nonzero_byte(at(y, from), (to - from) * pixel_bytes);
    return k == kNone ? kNone : from + k / pixel_bytes;
  }
  std::size_t last(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    if (from >= to) return kNone;
    std::size_t k = last_nonzero_byte(at(y, from), (to - from) * pixel_bytes);
    return k == kNone ? kNone : from + k / pixel_bytes;
  }
};

// Pixel tests: "the maximum over the channels is greater than 0".
template <typename T>
struct AnyNonZero {  // unsigned integers and bool: max > 0 <=> some channel != 0
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    for (std::size_t c = 0; c < channels; ++c, p += stride)
      if (load<T>(p) != 0) return true;
    return false;
  }
};

template <typename T>
struct AnyPositive {  // signed integers: max > 0 <=> some channel > 0
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    for (std::size_t c = 0; c < channels; ++c, p += stride)
      if (load<T>(p) > 0) return true;
    return false;
  }
};

template <typename T>
struct FloatMaxPositive {  // the maximum is NaN when any channel is NaN, and NaN > 0 is false
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    bool positive = false;
    for (std::size_t c = 0; c < channels; ++c, p += stride) {
      T v = load<T>(p);
      if (v != v) return false;
      positive |= v > 0;
    }
    return positive;
  }
};

struct HalfMaxPositive {  // IEEE binary16 by its bits
  std::size_t channels;
  std::ptrdiff_t stride;
  bool operator()(const unsigned char* p) const noexcept {
    bool positive = false;
    for (std::size_t c = 0; c < channels; ++c, p += stride) {
      auto b = load<std::uint16_t>(p);
      if ((b & 0x7c00u) == 0x7c00u && (b & 0x03ffu) != 0) return false;  // NaN
      positive |= (b & 0x8000u) == 0 && (b & 0x7fffu) != 0;                 // > +0
    }
    return positive;
  }
};

template <typename Pixel>
struct StridedRows {
  const unsigned char* data;
  std::ptrdiff_t row_stride, col_stride;
  Pixel pixel;

  const unsigned char* at(std::size_t y, std::size_t x) const noexcept {
    return data + static_cast<std::ptrdiff_t>(y) * row_stride +
           static_cast<std::ptrdiff_t>(x) * col_stride;
  }
  std::size_t first(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    for (std::size_t x = from; x < to; ++x)
      if (pixel(at(y, x))) return x;
    return kNone;
  }
  std::size_t last(std::size_t y, std::size_t from, std::size_t to) const noexcept {
    for (std::size_t x = to; x > from;) {
      --x;
      if (pixel(at(y, x))) return x;
    }
    return kNone;
  }
};

// One pass that reads only what can still change the answer: rows from the top
// until the first non-zero one, rows from the bottom until the last non-zero
// one, and of the rows in between only the columns left of the current first
// column and right of the current last column.
template <typename Rows>
MaskExtent scan_rows(const Rows& s, std::size_t rows, std::size_t cols) noexcept {
  MaskExtent e;
  if (rows == 0 || cols == 0) return e;
  std::size_t top = 0, f = kNone;
  for (; top < rows; ++top) {
    f = s.first(top, 0, cols);
    if (f != kNone) break;
  }
  if (f == kNone) return e;
  e.any = true;
  e.y_first = e.y_last = top;
  e.x_first = f;
  e.x_last = s.last(top, f, cols);  // found: column f is non-zero

  for (std::size_t y = rows - 1; y > top; --y) {
    std::size_t fb = s.first(y, 0, cols);
    if (fb == kNone) continue;
    e.y_last = y;
    e.x_first = std::min(e.x_first, fb);
    std::size_t lb = s.last(y, std::max(fb, e.x_last + 1), cols);
    if (lb != kNone) e.x_last = lb;
    break;
  }

  for (std::size_t y = top + 1; y < e.y_last; ++y) {
    if (e.x_first == 0 && e.x_last + 1 == cols) break;
    if (e.x_first > 0) {
      std::size_t a = s.first(y, 0, e.x_first);
      if (a != kNone) e.x_first = a;
    }
    if (e.x_last + 1 < cols) {
      std::size_t b = s.last(y, e.x_last + 1, cols);
      if (b != kNone) e.x_last = b;
    }
  }
  return e;
}

template <typename Pixel>
MaskExtent scan_strided(const StridedMask& m, Pixel pixel) noexcept {
  StridedRows<Pixel> s{m.data, m.row_stride, m.col_stride, pixel};
  return scan_rows(s, m.rows, m.cols);
}

template <template <typename> class Test, typename T>
MaskExtent scan_with(const StridedMask& m) noexcept {
  return scan_strided(m, Test<T>{m.channels, m.channel_stride});
}

}  // namespace

bool mask_element_supported(ElementKind kind, std::size_t item_size) noexcept {
  switch (kind) {
    case ElementKind::Unsigned:
    case ElementKind::Signed:
      return item_size == 1 || item_size == 2 || item_size == 4 || item_size == 8;
    case ElementKind::Float:
      return item_size == 2 || item_size == 4 || item_size == 8;
    case ElementKind::Bool:
      return item_size == 1;
  }
  return false;
}

MaskExtent scan_mask(const StridedMask& m) noexcept {
  if (m.channels == 0 || !mask_element_supported(m.kind, m.item_size)) return MaskExtent{};
  const auto item = static_cast<std::ptrdiff_t>(m.item_size);
  const auto pixel = static_cast<std::ptrdiff_t>(m.channels * m.item_size);
  const bool bytewise = m.kind == ElementKind::Unsigned || m.kind == ElementKind::Bool;
  const bool packed = (m.channels == 1 || m.channel_stride == item) &&
                      (m.cols == 1 || m.col_stride == pixel);
  if (bytewise && packed) {
    PackedRows s{m.data, m.row_stride, static_cast<std::size_t>(pixel)};
    return scan_rows(s, m.rows, m.cols);
  }
  switch (m.kind) {
    case ElementKind::Bool:
      return scan_with<AnyNonZero, std::uint8_t>(m);
    case ElementKind::Unsigned:
      switch (m.item_size) {
        case 1: return scan_with<AnyNonZero, std::uint8_t>(m);
        case 2: return scan_with<AnyNonZero, std::uint16_t>(m);
        case 4: return scan_with<AnyNonZero, std::uint32_t>(m);
        default: return scan_with<AnyNonZero, std::uint64_t>(m);
      }
    case ElementKind::Signed:
      switch (m.item_size) {
        case 1: return scan_with<AnyPositive, std::int8_t>(m);
        case 2: return scan_with<AnyPositive, std::int16_t>(m);
        case 4: return scan_with<AnyPositive, std::int32_t>(m);
        default: return scan_with<AnyPositive, std::int64_t>(m);
      }
    case ElementKind::Float:
      switch (m.item_size) {
        case 2: return scan_strided(m, HalfMaxPositive{m.channels, m.channel_stride});
        case 4: return scan_with<FloatMaxPositive, float>(m);
        default: return scan_with<FloatMaxPositive, double>(m);
      }
  }
  return MaskExtent{};
}

// ---------------------------------------------------------------------------
// Python layer
// ---------------------------------------------------------------------------

namespace {

// Masks spanning at least this many bytes are scanned without the GIL.
constexpr std::size_t kReleaseGilBytes = 16 * 1024;

bool host_is_little_endian() noexcept {
  const std::uint16_t one = 1;
  unsigned char first;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

// The element kind of a buffer format of one native-order scalar; false for
// anything else (structures, objects, strings, long double, complex, other
// byte order).
bool element_kind_of(const char* format, std::size_t item_size, ElementKind* kind) {
  if (!format) format = "B";
  switch (*format) {
    case '@':
    case '=':
      ++format;
      break;
    case '<':
    case '>':
    case '!':
      if ((*format == '<') != host_is_little_endian()) return false;
      ++format;
      break;
    default:
      break;
  }
  if (format[0] == '\0' || format[1] != '\0') return false;
  switch (format[0]) {
    case 'B': case 'H': case 'I': case 'L': case 'Q': case 'N':
      *kind = ElementKind::Unsigned;
      break;
    case 'b': case 'h': case 'i': case 'l': case 'q': case 'n':
      *kind = ElementKind::Signed;
      break;
    case 'e': case 'f': case 'd':
      *kind = ElementKind::Float;
      break;
    case '?':
      *kind = ElementKind::Bool;
      break;
    default:
      return false;
  }
  return mask_element_supported(*kind, item_size);
}

PyTypeObject* ndarray_type() {
  static PyObject* type = nullptr;  // kept for the life of the process
  if (!type) {
    Ref numpy = import("numpy");
    type = attr(numpy.get(), "ndarray").release();
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

class BufferView {
 public:
  // False (and no error set) when `o` exports no buffer with these flags.
  bool acquire(PyObject* o, int flags) {
    if (PyObject_GetBuffer(o, &view_, flags) < 0) {
      PyErr_Clear();
      return false;
    }
    held_ = true;
    return true;
  }
  ~BufferView() noexcept(false) {
    if (held_ && gil_held()) PyBuffer_Release(&view_);
  }
  const Py_buffer& view() const { return view_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

enum class ScanOutcome { Found, Empty, NotCovered };

// The kernel applied to a decoded mask: a NumPy array (exactly, not a subclass
// with reductions of its own) of three dimensions, at least one channel and a
// supported element type.
ScanOutcome scan_natively(PyObject* img, MaskExtent* out) {
  if (Py_TYPE(img) != ndarray_type()) return ScanOutcome::NotCovered;
  BufferView buf;
  if (!buf.acquire(img, PyBUF_STRIDES | PyBUF_FORMAT)) return ScanOutcome::NotCovered;
  const Py_buffer& v = buf.view();
  ElementKind kind;
  if (v.ndim != 3 || !v.shape || !v.strides || v.shape[2] <= 0 || v.itemsize <= 0 ||
      !element_kind_of(v.format, static_cast<std::size_t>(v.itemsize), &kind))
    return ScanOutcome::NotCovered;
  StridedMask m;
  m.data = static_cast<const unsigned char*>(v.buf);
  m.rows = static_cast<std::size_t>(v.shape[0]);
  m.cols = static_cast<std::size_t>(v.shape[1]);
  m.channels = static_cast<std::size_t>(v.shape[2]);
  m.row_stride = v.strides[0];
  m.col_stride = v.strides[1];
  m.channel_stride = v.strides[2];
  m.kind = kind;
  m.item_size = static_cast<std::size_t>(v.itemsize);
  if (static_cast<std::size_t>(v.len) >= kReleaseGilBytes) {
    GilRelease nogil;
    *out = scan_mask(m);
  } else {
    *out = scan_mask(m);
  }
  return out->any ? ScanOutcome::Found : ScanOutcome::Empty;
}

// The extent of one mask as host integers: first column and row, and one past
// the last column and row.
struct MaskBounds {
  Ref x_first, y_first, x_end, y_end;
};

Ref call_axis(PyObject* fn, PyObject* a, long axis) {
  Ref kwnames = check(PyTuple_Pack(1, VR_STR("axis")));
  Ref ax = integer(axis);
  return call_kw(fn, {a}, kwnames.get(), {ax.get()});
}

// The NumPy formulation, for decoded results the kernel does not cover: the
// same calls, so their errors are NumPy's own. False when no pixel is non-zero.
bool bounds_with_numpy(PyObject* img, MaskBounds* out) {
  Ref np = module_attr("np");
  Ref np_max = attr(np.get(), "max");
  Ref gray = call_axis(np_max.get(), img, 2);
  Ref zero = integer(0);
  Ref nonzero = check(PyObject_RichCompare(gray.get(), zero.get(), Py_GT));
  Ref np_any = attr(np.get(), "any");
  if (!truthy(call(np_any.get(), nonzero.get()).get())) return false;
  Ref rows = call_axis(np_any.get(), nonzero.get(), 1);
  Ref cols = call_axis(np_any.get(), nonzero.get(), 0);
  Ref np_where = attr(np.get(), "where");
  auto item = [](PyObject* seq, long i) {
    Ref index = integer(i);
    return check(PyObject_GetItem(seq, index.get()));
  };
  Ref y_indices = item(call(np_where.get(), rows.get()).get(), 0);
  Ref x_indices = item(call(np_where.get(), cols.get()).get(), 0);
  Ref one = integer(1);
  auto host_int = [&](PyObject* seq, long i) { return check(PyNumber_Long(item(seq, i).get())); };
  out->x_first = host_int(x_indices.get(), 0);
  out->y_first = host_int(y_indices.get(), 0);
  out->x_end = check(PyNumber_Add(host_int(x_indices.get(), -1).get(), one.get()));
  out->y_end = check(PyNumber_Add(host_int(y_indices.get(), -1).get(), one.get()));
  return true;
}

// The host's min(a, b) and max(a, b): the first argument unless the second
// compares strictly smaller (larger).
Ref host_min(const Ref& a, const Ref& b) {
  int lt = PyObject_RichCompareBool(b.get(), a.get(), Py_LT);
  check_status(lt);
  return lt ? b : a;
}
Ref host_max(const Ref& a, const Ref& b) {
  int gt = PyObject_RichCompareBool(b.get(), a.get(), Py_GT);
  check_status(gt);
  return gt ? b : a;
}

// `from .compression import decode_jpeg`, resolved against this module's package
// through the host's __import__.
Ref import_decode_jpeg() {
  PyObject* builtins = PyEval_GetBuiltins();  // borrowed
  PyObject* import_fn = builtins ? PyDict_GetItemWithError(builtins, VR_STR("__import__")) : nullptr;
  if (!import_fn) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "__import__ not found");
    throw PyErrorSet{};
  }
  Ref keep_import = Ref::borrow(import_fn);
  PyObject* globals = PyModule_GetDict(module_object());  // borrowed
  Ref fromlist = check(PyTuple_Pack(1, VR_STR("decode_jpeg")));
  Ref level = integer(1);
  Ref package = call(import_fn, VR_STR("compression"), globals, Py_None, fromlist.get(),
                     level.get());
  PyObject* fn = PyObject_GetAttr(package.get(), VR_STR("decode_jpeg"));
  if (fn) return Ref(fn);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyErrorSet{};
  PyErr_Clear();
  Ref name(PyObject_GetAttr(package.get(), VR_STR("__name__")));
  if (!name) PyErr_Clear();
  Ref path(PyObject_GetAttr(package.get(), VR_STR("__file__")));
  if (!path) PyErr_Clear();
  Ref shown = name ? name : str("<unknown module name>");
  Ref msg = check(path ? PyUnicode_FromFormat("cannot import name %R from %R (%S)",
                                              VR_STR("decode_jpeg"), shown.get(), path.get())
                       : PyUnicode_FromFormat("cannot import name %R from %R (unknown location)",
                                              VR_STR("decode_jpeg"), shown.get()));
  PyErr_SetImportError(msg.get(), shown.get(), path ? path.get() : Py_None);
  throw PyErrorSet{};
}

// --- Interpreter exit while a thread is inside h5py -------------------------
//
// h5py serialises its calls with one process-wide lock, which it keeps while
// the GIL is released inside a call. A daemon thread ended at interpreter exit
// (see py.hpp) inside such a call never gives that lock back, and the exiting
// interpreter then hangs for good when it deallocates h5py objects. So this
// module's h5py work is counted, and an exit hook (run by `atexit`, while
// daemon threads still run) lets the work in progress reach a point outside
// h5py and holds every other thread there; the decoding and the scan stay
// outside the count and may be ended at any point. The counters change only
// under the GIL.
struct H5Gate {
  long active = 0;             // threads inside h5py work
  bool closing = false;        // the exit hook has run
  unsigned long exiting_thread = 0;
  bool hook_registered = false;
};
H5Gate g_h5_gate;

constexpr int kExitWaitMillis = 10000;

PyObject* h5_exit_hook(PyObject*, PyObject*) {
  g_h5_gate.closing = true;
  g_h5_gate.exiting_thread = PyThread_get_thread_ident();
  for (int waited = 0; g_h5_gate.active > 0 && waited < kExitWaitMillis; ++waited) {
    Py_BEGIN_ALLOW_THREADS
    usleep(1000);
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef h5_exit_hook_def = {"_h5py_exit_gate", h5_exit_hook, METH_NOARGS,
                                "Lets h5py work in progress end before the interpreter exits."};

void register_h5_exit_hook() {
  if (g_h5_gate.hook_registered) return;
  Ref hook = check(PyCFunction_New(&h5_exit_hook_def, nullptr));
  Ref atexit = import("atexit");
  call_method(atexit.get(), "register", hook.get());
  g_h5_gate.hook_registered = true;
}

// Enters h5py work; once the exit hook has run, a thread other than the
// exiting one waits here, without the GIL, until the process ends.
void enter_h5() {
  if (g_h5_gate.closing && PyThread_get_thread_ident() != g_h5_gate.exiting_thread) {
    Py_BEGIN_ALLOW_THREADS
    for (;;) pause();
    Py_END_ALLOW_THREADS
  }
  ++g_h5_gate.active;
}
void leave_h5() { --g_h5_gate.active; }

// The calling thread is inside h5py work for the life of the object.
class H5Section {
 public:
  H5Section() { enter_h5(); }
  H5Section(const H5Section&) = delete;
  H5Section& operator=(const H5Section&) = delete;
  ~H5Section() noexcept(false) {
    if (gil_held()) leave_h5();
  }
};

// Leaves h5py work for the life of the object (decoding and scanning a mask).
class OutsideH5 {
 public:
  OutsideH5() { leave_h5(); }
  OutsideH5(const OutsideH5&) = delete;
  OutsideH5& operator=(const OutsideH5&) = delete;
  ~OutsideH5() noexcept(false) {
    if (gil_held()) enter_h5();
  }
};

Ref py_compute_mask_bbox(PyObject* const* argv) {
  PyObject* h5_data = argv[0];
  Ref frame_w = Ref::borrow(argv[1]);
  Ref frame_h = Ref::borrow(argv[2]);
  PyObject* padding = argv[3];

  Ref decode_jpeg = import_decode_jpeg();
  Ref h5py = import("h5py");

  Ref gx1 = frame_w, gy1 = frame_h, gx2 = integer(0), gy2 = integer(0);

  Ref file_cls = attr(h5py.get(), "File");
  register_h5_exit_hook();
  H5Section in_h5;  // declared before every h5py object, so it outlives them
  Ref f = call(file_cls.get(), h5_data, VR_STR("r"));
  with_context(f.get(), [&](PyObject* fh) {
    Ref masks_ds = check(PyObject_GetItem(fh, VR_STR("face_masks")));
    Py_ssize_t num_masks = PyObject_Size(masks_ds.get());
    if (num_masks < 0) throw PyErrorSet{};
    for (Py_ssize_t i = 0; i < num_masks; ++i) {
      Ref mask_bytes;
      {
        Ref index = integer(i);
        Ref element = check(PyObject_GetItem(masks_ds.get(), index.get()));
        mask_bytes = call(reinterpret_cast<PyObject*>(&PyBytes_Type), element.get());
      }
      if (PyBytes_GET_SIZE(mask_bytes.get()) == 0) continue;
      MaskBounds b;
      {
        OutsideH5 decoding;
        Ref mask_img = call(decode_jpeg.get(), mask_bytes.get());
        mask_bytes = Ref();
        MaskExtent e;
        switch (scan_natively(mask_img.get(), &e)) {
          case ScanOutcome::Empty:
            continue;
          case ScanOutcome::Found:
            b.x_first = uinteger(e.x_first);
            b.y_first = uinteger(e.y_first);
            b.x_end = uinteger(e.x_last + 1);
            b.y_end = uinteger(e.y_last + 1);
            break;
          case ScanOutcome::NotCovered:
            if (!bounds_with_numpy(mask_img.get(), &b)) continue;
            break;
        }
      }
      gx1 = host_min(gx1, b.x_first);
      gy1 = host_min(gy1, b.y_first);
      gx2 = host_max(gx2, b.x_end);
      gy2 = host_max(gy2, b.y_end);
    }
  });
  f = Ref();

  int empty_x = PyObject_RichCompareBool(gx2.get(), gx1.get(), Py_LE);
  check_status(empty_x);
  int empty = empty_x;
  if (!empty) {
    empty = PyObject_RichCompareBool(gy2.get(), gy1.get(), Py_LE);
    check_status(empty);
  }
  if (empty) raise(PyExc_RuntimeError, "No non-zero mask pixels found");

  Ref zero = integer(0);
  Ref x1 = host_max(zero, check(PyNumber_Subtract(gx1.get(), padding)));
  Ref y1 = host_max(zero, check(PyNumber_Subtract(gy1.get(), padding)));
  Ref x2 = host_min(frame_w, check(PyNumber_Add(gx2.get(), padding)));
  Ref y2 = host_min(frame_h, check(PyNumber_Add(gy2.get(), padding)));
  return check(PyTuple_Pack(4, x1.get(), y1.get(), x2.get(), y2.get()));
}

}  // namespace

void register_mask_bbox(PyObject* module) {
  add_function(module, {"compute_mask_bbox", nullptr,
                        "Compute the union bounding box of non-zero face mask pixels.\n\n"
                        "Reads the JPEG-encoded masks of the \"face_masks\" dataset of the HDF5 "
                        "data (a path or a file object) one at a time and returns "
                        "(x1, y1, x2, y2) with x2 and y2 exclusive, widened by padding on every "
                        "side and clamped to [0, frame_w] x [0, frame_h]. Raises RuntimeError "
                        "when no mask has a non-zero pixel.",
                        "Tuple[int, int, int, int]",
                        {param("h5_data"), param("frame_w", "int"), param("frame_h", "int"),
                         param("padding", "int", integer(16))},
                        py_compute_mask_bbox});
}

}  // namespace vr
