#include "mask_bbox.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "kernels/mask_bbox.hpp"
#include "native.hpp"

namespace vr {

namespace {

// Masks spanning at least this many bytes are scanned without the GIL.
constexpr std::size_t kReleaseGilBytes = 16 * 1024;

bool machine_is_little_endian() noexcept {
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
      if ((*format == '<') != machine_is_little_endian()) return false;
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
  // False (and no error set) when `o` exports no buffer with these flags;
  // an interrupt or MemoryError propagates.
  bool acquire(PyObject* o, int flags) {
    if (PyObject_GetBuffer(o, &view_, flags) < 0) {
      if (!clear_ordinary_error()) throw PyErrorSet{};
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

// The extent of one mask as Python ints: first column and row, and one past
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
  auto py_int = [&](PyObject* seq, long i) { return check(PyNumber_Long(item(seq, i).get())); };
  out->x_first = py_int(x_indices.get(), 0);
  out->y_first = py_int(y_indices.get(), 0);
  out->x_end = check(PyNumber_Add(py_int(x_indices.get(), -1).get(), one.get()));
  out->y_end = check(PyNumber_Add(py_int(y_indices.get(), -1).get(), one.get()));
  return true;
}

// Python's min(a, b) and max(a, b): the first argument unless the second
// compares strictly smaller (larger).
Ref py_min(const Ref& a, const Ref& b) {
  int lt = PyObject_RichCompareBool(b.get(), a.get(), Py_LT);
  check_status(lt);
  return lt ? b : a;
}
Ref py_max(const Ref& a, const Ref& b) {
  int gt = PyObject_RichCompareBool(b.get(), a.get(), Py_GT);
  check_status(gt);
  return gt ? b : a;
}

// `from .compression import decode_jpeg`, resolved against this module's package
// through Python's __import__.
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
  if (!name && !clear_ordinary_error()) throw PyErrorSet{};
  Ref path(PyObject_GetAttr(package.get(), VR_STR("__file__")));
  if (!path && !clear_ordinary_error()) throw PyErrorSet{};
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
// h5py; the decoding and the scan stay outside the count and may be ended at
// any point. The counters change only under the GIL.
//
// The gate may never be what hangs the exit:
//   - the hook is registered at import, so that every exit handler registered
//     after the module was imported runs before it, with the gate open;
//   - a thread that reaches the gate after the hook has run (started or woken
//     by an exit handler registered earlier, which runs later) waits without
//     the GIL: if the interpreter starts finalizing meanwhile it stays there
//     (it would be ended anyway, and not inside h5py); if not within
//     kLateEntryGraceMillis, an exit handler is evidently still waiting for
//     it (a join), and it goes on;
//   - the counts belong to the process that made them: a child forked with
//     work in flight starts from an open, empty gate.
struct H5Gate {
  long active = 0;             // threads inside h5py work
  bool closing = false;        // the exit hook has run
  unsigned long exiting_thread = 0;
  pid_t owner = 0;             // the process these counts describe
};
H5Gate g_h5_gate_state;
bool g_h5_hook_registered = false;

constexpr int kExitWaitMillis = 10000;
constexpr int kLateEntryGraceMillis = 1000;

// The gate of this process (reset in a child forked from the one that counted).
H5Gate& h5_gate() {
  pid_t me = getpid();
  if (g_h5_gate_state.owner != me) {
    g_h5_gate_state = H5Gate{};
    g_h5_gate_state.owner = me;
  }
  return g_h5_gate_state;
}

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

PyObject* h5_exit_hook(PyObject*, PyObject*) {
  H5Gate& gate = h5_gate();
  gate.closing = true;
  gate.exiting_thread = PyThread_get_thread_ident();
  for (int waited = 0; h5_gate().active > 0 && waited < kExitWaitMillis; ++waited) {
    Py_BEGIN_ALLOW_THREADS
    usleep(1000);
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyMethodDef h5_exit_hook_def = {"_h5py_exit_gate", h5_exit_hook, METH_NOARGS,
                                "Lets h5py work in progress end before the interpreter exits."};

// Enters h5py work. After the exit hook has run, a thread other than the
// exiting one waits first (see above).
void enter_h5() {
  H5Gate& gate = h5_gate();
  if (gate.closing && PyThread_get_thread_ident() != gate.exiting_thread) {
    Py_BEGIN_ALLOW_THREADS
    for (int waited = 0; waited < kLateEntryGraceMillis; ++waited) {
      if (interpreter_finalizing()) {
        for (;;) pause();
      }
      usleep(1000);
    }
    Py_END_ALLOW_THREADS
  }
  ++h5_gate().active;
}
void leave_h5() {
  H5Gate& gate = h5_gate();
  if (gate.active > 0) --gate.active;
}

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
      gx1 = py_min(gx1, b.x_first);
      gy1 = py_min(gy1, b.y_first);
      gx2 = py_max(gx2, b.x_end);
      gy2 = py_max(gy2, b.y_end);
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
  Ref x1 = py_max(zero, check(PyNumber_Subtract(gx1.get(), padding)));
  Ref y1 = py_max(zero, check(PyNumber_Subtract(gy1.get(), padding)));
  Ref x2 = py_min(frame_w, check(PyNumber_Add(gx2.get(), padding)));
  Ref y2 = py_min(frame_h, check(PyNumber_Add(gy2.get(), padding)));
  return check(PyTuple_Pack(4, x1.get(), y1.get(), x2.get(), y2.get()));
}

PyMethodDef entries[] = {
    VR_ENTRY("compute_mask_bbox", py_compute_mask_bbox, 4),
    VR_ENTRIES_END,
};

}  // namespace

void register_mask_bbox(PyObject* native) {
  if (!g_h5_hook_registered) {
    Ref hook = check(PyCFunction_New(&h5_exit_hook_def, nullptr));
    Ref atexit = import("atexit");
    call_method(atexit.get(), "register", hook.get());
    g_h5_hook_registered = true;
  }
  add_entries(native, entries);
}

}  // namespace vr
