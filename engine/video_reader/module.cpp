// Module initialisation: the standard imports, the constants, the table of
// native entry points (`_native`), then the Python surface (surface.py,
// compiled into this library at build time) run in the module's namespace,
// where its def and class statements define every public callable in
// definition order. Imports neither PyAV nor h5py, opens no file and starts
// no thread.
#include "native.hpp"
#include "py.hpp"
#include "subsystems.hpp"

namespace {

constexpr const char* kModuleDoc =
    "Video decoding with PyAV.\n"
    "\n"
    "Handles regular video files and XOR-encrypted .vrtensor files.";

// Diagnostics for the test suite, in a namespace of their own (`_diagnostics`,
// a plain module object) so that they stay out of the public surface: how many
// names the interned-name table holds.
PyObject* interned_name_count(PyObject*, PyObject*) {
  return PyLong_FromSize_t(vr::interned_count());
}

PyMethodDef diagnostic_functions[] = {
    {"interned_name_count", interned_name_count, METH_NOARGS,
     "Number of names in the module's interned-name table."},
    {nullptr, nullptr, 0, nullptr},
};

// The text of surface.py.
constexpr const char kSurfaceSource[] =
#include "surface_source.inc"
    ;
// The name its code objects carry, under which the source is registered with
// `linecache` so that tracebacks and `inspect.getsource` show its lines: the
// file's path in the source tree.
constexpr const char* kSurfaceFilename = "engine/video_reader/surface.py";

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vorantis.engine.video_reader",
    kModuleDoc,
    -1,
    nullptr,
};

void bind(PyObject* m, const char* name, vr::Ref value) {
  vr::check_status(PyModule_AddObjectRef(m, name, value.get()));
}

void bind_bytes(PyObject* m, const char* name, const char* data, Py_ssize_t n) {
  bind(m, name, vr::check(PyBytes_FromStringAndSize(data, n)));
}

// The private table of native entry points that the surface calls.
vr::Ref native_table() {
  using namespace vr;
  Ref native = check(PyModule_New("vorantis.engine.video_reader._native"));
  Ref doc = str("The native entry points of vorantis.engine.video_reader's functions and classes.");
  set_attr(native.get(), "__doc__", doc.get());
  register_xor_cipher(native.get());
  register_video_reader(native.get());
  register_mask_bbox(native.get());
  register_imx_container(native.get());
  register_mp4_video_reader(native.get());
  return native;
}

// Makes the surface's source known to `linecache`, as the text of
// kSurfaceFilename (a modification time of None: never checked against a file).
void register_surface_source() {
  using namespace vr;
  Ref source = str(kSurfaceSource);
  Ref lines = call_method(source.get(), "splitlines", Py_True);
  Ref size = integer(static_cast<long long>(sizeof(kSurfaceSource) - 1));
  Ref filename = str(kSurfaceFilename);
  Ref entry = check(PyTuple_Pack(4, size.get(), Py_None, lines.get(), filename.get()));
  Ref linecache = import("linecache");
  Ref cache = attr(linecache.get(), "cache");
  check_status(PyObject_SetItem(cache.get(), filename.get(), entry.get()));
}

// Runs the surface in the module's namespace, its annotations kept as text
// (as under `from __future__ import annotations`) and its docstrings kept
// under `python -OO` too (optimisation level 0), as they were when the
// callables were native.
void run_surface(PyObject* m) {
  using namespace vr;
  PyObject* globals = PyModule_GetDict(m);  // borrowed
  check_status(PyDict_SetItemString(globals, "__builtins__", import("builtins").get()));
  PyCompilerFlags flags;
  flags.cf_flags = CO_FUTURE_ANNOTATIONS;
  flags.cf_feature_version = PY_MINOR_VERSION;
  Ref code = check(Py_CompileStringExFlags(kSurfaceSource, kSurfaceFilename, Py_file_input, &flags, 0));
  register_surface_source();
  check(PyEval_EvalCode(code.get(), globals, globals));
}

void initialise(PyObject* m) {
  using namespace vr;
  intern_at_import();
  set_module_object(m);

  Ref diagnostics = check(PyModule_New("vorantis.engine.video_reader._diagnostics"));
  check_status(PyModule_AddFunctions(diagnostics.get(), diagnostic_functions));
  bind(m, "_diagnostics", diagnostics);

  for (const char* name : {"fnmatch", "io", "json", "struct", "threading"}) bind(m, name, import(name));
  Ref typing = import("typing");
  for (const char* name : {"Dict", "Iterator", "List", "Optional", "Tuple"})
    bind(m, name, attr(typing.get(), name));
  bind(m, "np", import("numpy"));

  bind_bytes(m, "ENCRYPT_KEY", "mqtlepoz_ardwe_hunk_zyx", 23);
  bind_bytes(m, "IMX_MAGIC", "IMX\0", 4);
  bind(m, "IMX_VERSION", integer(2));
  bind_bytes(m, "_OLD_IMX_V1_MAGIC", "VIMX", 4);

  bind(m, "_native", native_table());
  run_surface(m);
}

}  // namespace

namespace vr {

PyObject* wrong_native_arity(Py_ssize_t expected, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, "native entry point takes %zd argument%s (%zd given)", expected,
               expected == 1 ? "" : "s", given);
  return nullptr;
}

void add_entries(PyObject* native, PyMethodDef* entries) {
  check_status(PyModule_AddFunctions(native, entries));
}

}  // namespace vr

PyMODINIT_FUNC PyInit_video_reader(void) {
  PyObject* m = PyModule_Create(&module_def);
  if (!m) return nullptr;
  if (!vr::translate_exceptions([&] { initialise(m); })) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
