#include "callable.hpp"

#include <memory>
#include <string>

namespace vr {

namespace {

constexpr const char* kModuleName = "vorantis.engine.video_reader";
constexpr Py_ssize_t kMaxParams = 16;

struct Param {
  Ref name;        // interned str
  Ref annotation;  // str or empty
  Ref default_value;
  ParamKind kind;
};

struct FunctionData {
  std::string qualname_text;
  std::vector<Param> params;
  Py_ssize_t n_positional = 0;  // positional-or-keyword parameters
  bool has_varargs = false;
  Ref return_annotation;
  NativeImpl impl = nullptr;
};

struct NativeFunction {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  FunctionData* data;
  PyObject* dict;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* defaults;     // tuple or None
  PyObject* kwdefaults;   // dict or None
  PyObject* annotations;  // dict
  PyObject* signature;    // built on first access
  PyObject* weakrefs;     // weak references to the function
};

PyTypeObject NativeFunctionType = {PyVarObject_HEAD_INIT(nullptr, 0)};

std::string plural(Py_ssize_t n, const char* word) {
  std::string s = std::to_string(n) + " " + word;
  if (n != 1) s += "s";
  return s;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'" as Python formats missing names.
std::string name_list(const std::vector<PyObject*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += (names.size() == 2) ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += PyUnicode_AsUTF8(names[i]);
    out += "'";
  }
  return out;
}

// Matches the call's arguments to the parameters; fills `slots` (borrowed
// references) and `varargs_out`. Returns false with a TypeError set on mismatch.
bool bind_arguments(NativeFunction* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots, Ref& varargs_out) {
  FunctionData& d = *fn->data;
  const Py_ssize_t nparams = static_cast<Py_ssize_t>(d.params.size());
  const char* qn = d.qualname_text.c_str();
  for (Py_ssize_t i = 0; i < nparams; ++i) slots[i] = nullptr;

  Py_ssize_t npos = nargs < d.n_positional ? nargs : d.n_positional;
  for (Py_ssize_t i = 0; i < npos; ++i) slots[i] = args[i];
  if (nargs > d.n_positional) {
    if (!d.has_varargs) {
      Py_ssize_t with_default = 0;
      for (Py_ssize_t i = 0; i < d.n_positional; ++i)
        if (d.params[i].default_value) ++with_default;
      std::string takes;
      if (with_default == 0) {
        takes = plural(d.n_positional, "positional argument");
      } else {
        takes = "from " + std::to_string(d.n_positional - with_default) + " to " +
                plural(d.n_positional, "positional argument");
      }
      std::string msg = std::string(qn) + "() takes " + takes + " but " + std::to_string(nargs) +
                        (nargs == 1 ? " was" : " were") + " given";
      PyErr_SetString(PyExc_TypeError, msg.c_str());
      return false;
    }
  }
  if (d.has_varargs) {
    Py_ssize_t extra = nargs > d.n_positional ? nargs - d.n_positional : 0;
    PyObject* t = PyTuple_New(extra);
    if (!t) return false;
    for (Py_ssize_t i = 0; i < extra; ++i) {
      Py_INCREF(args[d.n_positional + i]);
      PyTuple_SET_ITEM(t, i, args[d.n_positional + i]);
    }
    varargs_out = Ref(t);
  }

  if (kwnames) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* kw = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t found = -1;
      for (Py_ssize_t i = 0; i < nparams; ++i) {
        if (d.params[i].kind == ParamKind::VarPositional) continue;
        if (d.params[i].name.get() == kw) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        for (Py_ssize_t i = 0; i < nparams; ++i) {
          if (d.params[i].kind == ParamKind::VarPositional) continue;
          int eq = PyUnicode_Compare(d.params[i].name.get(), kw);
          if (eq == -1 && PyErr_Occurred()) return false;
          if (eq == 0) {
            found = i;
            break;
          }
        }
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qn, kw);
        return false;
      }
      if (slots[found]) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", qn, kw);
        return false;
      }
      slots[found] = args[nargs + k];
    }
  }

  std::vector<PyObject*> missing_pos, missing_kw;
  for (Py_ssize_t i = 0; i < nparams; ++i) {
    const Param& p = d.params[i];
    if (p.kind == ParamKind::VarPositional) {
      slots[i] = varargs_out.get();
      continue;
    }
    if (slots[i]) continue;
    if (p.default_value) {
      slots[i] = p.default_value.get();
    } else if (p.kind == ParamKind::KeywordOnly) {
      missing_kw.push_back(p.name.get());
    } else {
      missing_pos.push_back(p.name.get());
    }
  }
  if (!missing_pos.empty() || !missing_kw.empty()) {
    bool pos = !missing_pos.empty();
    const auto& names = pos ? missing_pos : missing_kw;
    std::string msg = std::string(qn) + "() missing " + std::to_string(names.size()) +
                      (pos ? " required positional argument" : " required keyword-only argument") +
                      (names.size() == 1 ? "" : "s") + ": " + name_list(names);
    PyErr_SetString(PyExc_TypeError, msg.c_str());
    return false;
  }
  return true;
}

PyObject* fn_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  auto* fn = reinterpret_cast<NativeFunction*>(self);
  PyObject* result = nullptr;
  // Binding builds its error messages with C++ strings: it runs under the
  // translation too, so that an allocation failure there is a MemoryError.
  bool ok = translate_exceptions([&] {
    PyObject* slots[kMaxParams];
    Ref varargs;
    if (!bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, slots, varargs))
      throw PyErrorSet{};
    result = fn->data->impl(slots).release();
  });
  if (ok) return result;
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_SystemError, "native call failed without setting an exception");
  return nullptr;
}

PyObject* fn_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* fn_repr(PyObject* self) {
  auto* fn = reinterpret_cast<NativeFunction*>(self);
  return PyUnicode_FromFormat("<function %U at %p>", fn->qualname, self);
}

int fn_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* fn = reinterpret_cast<NativeFunction*>(self);
  Py_VISIT(fn->dict);
  Py_VISIT(fn->annotations);
  Py_VISIT(fn->signature);
  Py_VISIT(fn->defaults);
  Py_VISIT(fn->kwdefaults);
  return 0;
}

int fn_clear(PyObject* self) {
  auto* fn = reinterpret_cast<NativeFunction*>(self);
  Py_CLEAR(fn->dict);
  Py_CLEAR(fn->annotations);
  Py_CLEAR(fn->signature);
  Py_CLEAR(fn->defaults);
  Py_CLEAR(fn->kwdefaults);
  return 0;
}

void fn_dealloc(PyObject* self) {
  auto* fn = reinterpret_cast<NativeFunction*>(self);
  PyObject_GC_UnTrack(self);
  if (fn->weakrefs) PyObject_ClearWeakRefs(self);
  fn_clear(self);
  Py_CLEAR(fn->name);
  Py_CLEAR(fn->qualname);
  Py_CLEAR(fn->module);
  Py_CLEAR(fn->doc);
  delete fn->data;
  Py_TYPE(self)->tp_free(self);
}

Ref build_signature(NativeFunction* fn) {
  Ref inspect = import("inspect");
  Ref parameter_cls = attr(inspect.get(), "Parameter");
  Ref signature_cls = attr(inspect.get(), "Signature");
  Ref empty = attr(parameter_cls.get(), "empty");
  Ref params = check(PyList_New(0));
  for (const Param& p : fn->data->params) {
    const char* kind_name = p.kind == ParamKind::KeywordOnly     ? "KEYWORD_ONLY"
                            : p.kind == ParamKind::VarPositional ? "VAR_POSITIONAL"
                                                                 : "POSITIONAL_OR_KEYWORD";
    Ref kind = attr(parameter_cls.get(), kind_name);
    Ref kwnames = check(Py_BuildValue("(ss)", "default", "annotation"));
    Ref param = call_kw(parameter_cls.get(), {p.name.get(), kind.get()}, kwnames.get(),
                        {p.default_value ? p.default_value.get() : empty.get(),
                         p.annotation ? p.annotation.get() : empty.get()});
    check_status(PyList_Append(params.get(), param.get()));
  }
  Ref kwnames = check(Py_BuildValue("(s)", "return_annotation"));
  return call_kw(signature_cls.get(), {params.get()}, kwnames.get(),
                 {fn->data->return_annotation ? fn->data->return_annotation.get() : empty.get()});
}

PyObject* get_signature(PyObject* self, void*) {
  auto* fn = reinterpret_cast<NativeFunction*>(self);
  if (!fn->signature) {
    PyObject* built = nullptr;
    if (!translate_exceptions([&] { built = build_signature(fn).release(); })) return nullptr;
    if (!fn->signature) fn->signature = built;  // (building ran Python code: keep the first)
    else Py_DECREF(built);
  }
  Py_INCREF(fn->signature);
  return fn->signature;
}

PyObject* get_text_signature(PyObject*, void*) { Py_RETURN_NONE; }

// --- Leaving the process: pickling by reference, weak references, globals ---
//
// Like a Python function, a function pickles as a reference: its qualified
// name, which pickle looks up in its `__module__` (and checks that it finds
// the same object). `copy` and `deepcopy` take the same answer to mean "the
// object itself". A property's getter is not reachable under its qualified
// name (that name finds the property), so it does not pickle, as with Python.

PyObject* fn_reduce(PyObject* self, PyObject*) {
  PyObject* qualname = reinterpret_cast<NativeFunction*>(self)->qualname;
  Py_INCREF(qualname);
  return qualname;
}

// The module's namespace, where string annotations ("np.ndarray",
// "Tuple[int, np.ndarray]", "'MP4VideoReader'") resolve, as the globals of a
// function defined in the module would.
PyObject* get_globals(PyObject*, void*) {
  PyObject* module = module_object();
  if (!module) Py_RETURN_NONE;
  PyObject* globals = PyModule_GetDict(module);  // borrowed
  Py_XINCREF(globals);
  return globals;
}

#define VR_GETTER(field)                                        \
  [](PyObject* self, void*) -> PyObject* {                      \
    PyObject* v = reinterpret_cast<NativeFunction*>(self)->field; \
    Py_INCREF(v);                                               \
    return v;                                                   \
  }

int set_str_field(PyObject** field, PyObject* value, const char* what) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
    return -1;
  }
  Py_INCREF(value);
  Py_SETREF(*field, value);
  return 0;
}

PyGetSetDef fn_getset[] = {
    {"__name__", VR_GETTER(name),
     [](PyObject* self, PyObject* v, void*) {
       return set_str_field(&reinterpret_cast<NativeFunction*>(self)->name, v, "__name__");
     },
     nullptr, nullptr},
    {"__qualname__", VR_GETTER(qualname),
     [](PyObject* self, PyObject* v, void*) {
       return set_str_field(&reinterpret_cast<NativeFunction*>(self)->qualname, v, "__qualname__");
     },
     nullptr, nullptr},
    {"__module__", VR_GETTER(module),
     [](PyObject* self, PyObject* v, void*) {
       PyObject* nv = v ? v : Py_None;
       Py_INCREF(nv);
       Py_SETREF(reinterpret_cast<NativeFunction*>(self)->module, nv);
       return 0;
     },
     nullptr, nullptr},
    {"__doc__", VR_GETTER(doc),
     [](PyObject* self, PyObject* v, void*) {
       PyObject* nv = v ? v : Py_None;
       Py_INCREF(nv);
       Py_SETREF(reinterpret_cast<NativeFunction*>(self)->doc, nv);
       return 0;
     },
     nullptr, nullptr},
    {"__defaults__", VR_GETTER(defaults), nullptr, nullptr, nullptr},
    {"__kwdefaults__", VR_GETTER(kwdefaults), nullptr, nullptr, nullptr},
    {"__annotations__", VR_GETTER(annotations), nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef fn_methods[] = {
    {"__reduce__", fn_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

void init_callable_type() {
  NativeFunctionType.tp_name = "vorantis.engine.video_reader.function";
  NativeFunctionType.tp_basicsize = sizeof(NativeFunction);
  NativeFunctionType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                                Py_TPFLAGS_METHOD_DESCRIPTOR;
  NativeFunctionType.tp_vectorcall_offset = offsetof(NativeFunction, vectorcall);
  NativeFunctionType.tp_call = PyVectorcall_Call;
  NativeFunctionType.tp_descr_get = fn_descr_get;
  NativeFunctionType.tp_repr = fn_repr;
  NativeFunctionType.tp_traverse = fn_traverse;
  NativeFunctionType.tp_clear = fn_clear;
  NativeFunctionType.tp_dealloc = fn_dealloc;
  NativeFunctionType.tp_getset = fn_getset;
  NativeFunctionType.tp_methods = fn_methods;
  NativeFunctionType.tp_weaklistoffset = offsetof(NativeFunction, weakrefs);
  NativeFunctionType.tp_dictoffset = offsetof(NativeFunction, dict);
  NativeFunctionType.tp_doc = "A function of the vorantis.engine.video_reader module.";
  check_status(PyType_Ready(&NativeFunctionType));
}

Ref make_function(FunctionSpec spec) {
  if (static_cast<Py_ssize_t>(spec.params.size()) > kMaxParams)
    raise(PyExc_SystemError, "too many parameters");
  auto data = std::make_unique<FunctionData>();
  data->qualname_text = spec.qualname ? spec.qualname : spec.name;
  data->impl = spec.impl;
  if (spec.returns) data->return_annotation = str(spec.returns);

  Ref defaults_list = check(PyList_New(0));
  Ref kwdefaults = check(PyDict_New());
  Ref annotations = check(PyDict_New());
  for (ParamSpec& p : spec.params) {
    Param out;
    out.name = Ref::borrow(interned(p.name));
    if (p.annotation) {
      out.annotation = str(p.annotation);
      check_status(PyDict_SetItem(annotations.get(), out.name.get(), out.annotation.get()));
    }
    out.kind = p.kind;
    out.default_value = std::move(p.default_value);
    if (p.kind == ParamKind::PositionalOrKeyword) {
      ++data->n_positional;
      if (out.default_value) check_status(PyList_Append(defaults_list.get(), out.default_value.get()));
    } else if (p.kind == ParamKind::KeywordOnly) {
      if (out.default_value)
        check_status(PyDict_SetItem(kwdefaults.get(), out.name.get(), out.default_value.get()));
    } else {
      data->has_varargs = true;
    }
    data->params.push_back(std::move(out));
  }
  if (data->return_annotation)
    check_status(PyDict_SetItem(annotations.get(), VR_STR("return"), data->return_annotation.get()));

  auto* fn = PyObject_GC_New(NativeFunction, &NativeFunctionType);
  if (!fn) throw PyErrorSet{};
  fn->vectorcall = fn_vectorcall;
  fn->data = data.release();
  fn->dict = nullptr;
  fn->signature = nullptr;
  fn->name = nullptr;
  fn->qualname = nullptr;
  fn->module = nullptr;
  fn->doc = nullptr;
  fn->defaults = nullptr;
  fn->kwdefaults = nullptr;
  fn->annotations = nullptr;
  fn->weakrefs = nullptr;
  Ref result(reinterpret_cast<PyObject*>(fn));
  fn->name = str(spec.name).release();
  fn->qualname = str(fn->data->qualname_text).release();
  fn->module = str(kModuleName).release();
  fn->doc = spec.doc ? str(spec.doc).release() : Ref::borrow(Py_None).release();
  fn->defaults = PyList_GET_SIZE(defaults_list.get()) > 0
                     ? check(PyList_AsTuple(defaults_list.get())).release()
                     : Ref::borrow(Py_None).release();
  fn->kwdefaults =
      PyDict_GET_SIZE(kwdefaults.get()) > 0 ? kwdefaults.release() : Ref::borrow(Py_None).release();
  fn->annotations = annotations.release();
  PyObject_GC_Track(result.get());
  return result;
}

void add_function(PyObject* module, FunctionSpec spec) {
  const char* name = spec.name;
  Ref fn = make_function(std::move(spec));
  check_status(PyModule_AddObjectRef(module, name, fn.get()));
}

ClassBuilder::ClassBuilder(const char* name, const char* doc) : name_(name) {
  ns_ = check(PyDict_New());
  check_status(PyDict_SetItemString(ns_.get(), "__module__", str(kModuleName).get()));
  check_status(PyDict_SetItemString(ns_.get(), "__qualname__", str(name).get()));
  if (doc) check_status(PyDict_SetItemString(ns_.get(), "__doc__", str(doc).get()));
}

namespace {
std::string member_qualname(const char* cls, const char* name) {
  return std::string(cls) + "." + name;
}
}  // namespace

ClassBuilder& ClassBuilder::method(FunctionSpec spec) {
  std::string qn = member_qualname(name_, spec.name);
  spec.qualname = qn.c_str();
  const char* name = spec.name;
  Ref fn = make_function(std::move(spec));
  check_status(PyDict_SetItemString(ns_.get(), name, fn.get()));
  return *this;
}

ClassBuilder& ClassBuilder::property(FunctionSpec getter) {
  std::string qn = member_qualname(name_, getter.name);
  getter.qualname = qn.c_str();
  const char* name = getter.name;
  Ref fn = make_function(std::move(getter));
  Ref prop = call(reinterpret_cast<PyObject*>(&PyProperty_Type), fn.get());
  check_status(PyDict_SetItemString(ns_.get(), name, prop.get()));
  return *this;
}

ClassBuilder& ClassBuilder::classmethod(FunctionSpec spec) {
  std::string qn = member_qualname(name_, spec.name);
  spec.qualname = qn.c_str();
  const char* name = spec.name;
  Ref fn = make_function(std::move(spec));
  Ref cm = call(reinterpret_cast<PyObject*>(&PyClassMethod_Type), fn.get());
  check_status(PyDict_SetItemString(ns_.get(), name, cm.get()));
  return *this;
}

Ref ClassBuilder::finish(PyObject* module) {
  Ref bases = check(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref cls = call(reinterpret_cast<PyObject*>(&PyType_Type), str(name_).get(), bases.get(), ns_.get());
  check_status(PyModule_AddObjectRef(module, name_, cls.get()));
  return cls;
}

}  // namespace vr
