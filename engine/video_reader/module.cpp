// Module initialisation: standard imports, constants, and the registration of
// every callable in definition order. Imports neither PyAV nor h5py, opens no
// file and starts no thread.
#include "callable.hpp"
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

void initialise(PyObject* m) {
  using namespace vr;
  intern_at_import();
  init_callable_type();
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

  register_xor_functions(m);
  register_video_reader_class(m);
  register_xor_streaming(m);
  register_mask_bbox(m);
  register_iter_video_frames(m);
  register_imx_functions(m);
  register_imx_container(m);
  register_mp4_video_reader(m);
}

}  // namespace

PyMODINIT_FUNC PyInit_video_reader(void) {
  PyObject* m = PyModule_Create(&module_def);
  if (!m) return nullptr;
  if (!vr::translate_exceptions([&] { initialise(m); })) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
