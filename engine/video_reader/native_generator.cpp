#include "native_generator.hpp"

namespace vr {

namespace {

// Created (the body holds only its arguments) -> Started (suspended after a
// yield whenever `executing` is false) -> Finished (the body is deleted).
enum class GenState { Created, Started, Finished };

struct NativeGenerator {
  PyObject_HEAD
  GeneratorBody* body;  // owned; null once finished
  PyObject* weakrefs;
  GenState state;
  bool executing;  // the body is running: re-entrant advances are refused
};

PyTypeObject NativeGeneratorType = {PyVarObject_HEAD_INIT(nullptr, 0)};

NativeGenerator* as_gen(PyObject* self) { return reinterpret_cast<NativeGenerator*>(self); }

// Deletes the body, as the end of a Python generator drops its frame. Any
// exception being raised out of the generator stays set.
void finish(NativeGenerator* g) {
  g->state = GenState::Finished;
  GeneratorBody* body = g->body;
  g->body = nullptr;
  if (!body) return;
  SavedError pending;
  delete body;
  pending.restore();
}

// StopIteration escaping the body becomes RuntimeError, as for a Python
// generator.
void convert_stop_iteration() {
  if (!PyErr_ExceptionMatches(PyExc_StopIteration)) return;
  PyObject* v = take_raised_exception();
  PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
  PyObject* v2 = take_raised_exception();
  if (v2 && v) {
    Py_INCREF(v);
    PyException_SetCause(v2, v);    // steals
    PyException_SetContext(v2, v);  // steals
  } else {
    Py_XDECREF(v);
  }
  set_raised_exception(v2);
}

// Runs the body from where it stands to its next yield (a new reference), to
// its end (NULL, no error set) or to an exception (NULL, error set). With
// `throwing`, the pending exception is raised where the body stands. The
// caller has checked that the body is neither running nor finished.
PyObject* run(NativeGenerator* g, bool throwing) {
  g->executing = true;
  PyObject* result = nullptr;
  translate_exceptions([&] {
    if (g->state == GenState::Created) {
      if (throwing) throw PyErrorSet{};  // raised before the body starts
      g->state = GenState::Started;
      result = g->body->start().release();
    } else if (throwing) {
      g->body->raise_at_yield();
    } else {
      result = g->body->resume().release();
    }
  });
  g->executing = false;
  if (!result) {
    finish(g);
    if (PyErr_Occurred()) convert_stop_iteration();
  }
  return result;
}

bool refuse_if_executing(NativeGenerator* g) {
  if (!g->executing) return false;
  PyErr_SetString(PyExc_ValueError, "generator already executing");
  return true;
}

PyObject* gen_iternext(PyObject* self) {
  NativeGenerator* g = as_gen(self);
  if (refuse_if_executing(g)) return nullptr;
  if (g->state == GenState::Finished) return nullptr;
  return run(g, false);
}

PyObject* gen_send(PyObject* self, PyObject* value) {
  NativeGenerator* g = as_gen(self);
  if (g->state == GenState::Created && value != Py_None) {
    PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
    return nullptr;
  }
  if (refuse_if_executing(g)) return nullptr;
  PyObject* r = g->state == GenState::Finished ? nullptr : run(g, false);
  if (!r && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
  return r;
}

// Sets the exception described by throw()'s arguments, with Python's checks
// and messages; false (another exception set) when they are invalid.
bool set_thrown(PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1) {
    PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument, got 0");
    return false;
  }
  if (nargs > 3) {
    PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
    return false;
  }
  PyObject* typ = args[0];
  PyObject* val = nargs > 1 ? args[1] : nullptr;
  PyObject* tb = nargs > 2 ? args[2] : nullptr;
  if (tb == Py_None) {
    tb = nullptr;
  } else if (tb && !PyTraceBack_Check(tb)) {
    PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
    return false;
  }
  if (PyExceptionClass_Check(typ)) {
    Py_INCREF(typ);
    Py_XINCREF(val);
    Py_XINCREF(tb);
#if PY_VERSION_HEX < 0x030C0000
    PyErr_NormalizeException(&typ, &val, &tb);
#endif  // from 3.12 PyErr_Restore below makes the exception object itself
  } else if (PyExceptionInstance_Check(typ)) {
    if (val && val != Py_None) {
      PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
      return false;
    }
    val = typ;
    Py_INCREF(val);
    typ = reinterpret_cast<PyObject*>(Py_TYPE(val));
    Py_INCREF(typ);
    if (tb) {
      Py_INCREF(tb);
    } else {
      tb = PyException_GetTraceback(val);
    }
  } else {
    PyErr_Format(PyExc_TypeError,
                 "exceptions must be classes or instances deriving from BaseException, not %s",
                 Py_TYPE(typ)->tp_name);
    return false;
  }
  PyErr_Restore(typ, val, tb);
  return true;
}

PyObject* gen_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  NativeGenerator* g = as_gen(self);
  if (!set_thrown(args, nargs)) return nullptr;
  if (g->executing) {
    PyErr_Clear();
    PyErr_SetString(PyExc_ValueError, "generator already executing");
    return nullptr;
  }
  if (g->state == GenState::Finished) return nullptr;
  return run(g, true);
}

PyObject* gen_close(PyObject* self, PyObject*) {
  NativeGenerator* g = as_gen(self);
  if (refuse_if_executing(g)) return nullptr;
  if (g->state == GenState::Created) {
    finish(g);
    Py_RETURN_NONE;
  }
  if (g->state == GenState::Finished) Py_RETURN_NONE;
  PyErr_SetNone(PyExc_GeneratorExit);
  PyObject* r = run(g, true);
  if (r) {  // a body that yields instead of raising
    Py_DECREF(r);
    PyErr_SetString(PyExc_RuntimeError, "generator ignored GeneratorExit");
    return nullptr;
  }
  if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return nullptr;
}

// Dropped while suspended: closed, as a Python generator is.
void gen_finalize(PyObject* self) {
  if (as_gen(self)->state != GenState::Started) return;
  SavedError pending;
  PyObject* r = gen_close(self, nullptr);
  if (r) {
    Py_DECREF(r);
  } else {
    PyErr_WriteUnraisable(self);
  }
  pending.restore();
}

int gen_traverse(PyObject* self, visitproc visit, void* arg) {
  NativeGenerator* g = as_gen(self);
  return g->body ? g->body->traverse(visit, arg) : 0;
}

int gen_clear(PyObject* self) {
  finish(as_gen(self));
  return 0;
}

void gen_dealloc(PyObject* self) {
  NativeGenerator* g = as_gen(self);
  PyObject_GC_UnTrack(self);
  if (g->weakrefs) PyObject_ClearWeakRefs(self);
  PyObject_GC_Track(self);
  if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
  PyObject_GC_UnTrack(self);
  gen_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyObject* gen_self_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyObject* gen_get_running(PyObject* self, void*) { return PyBool_FromLong(as_gen(self)->executing); }

PyMethodDef gen_methods[] = {
    {"send", gen_send, METH_O,
     "send(arg) -> send 'arg' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(gen_throw)),
     METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded "
     "value or raise\nStopIteration."},
    {"close", gen_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef gen_getset[] = {
    {"gi_running", gen_get_running, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

Ref make_generator(std::unique_ptr<GeneratorBody> body) {
  NativeGenerator* g = PyObject_GC_New(NativeGenerator, &NativeGeneratorType);
  if (!g) throw PyErrorSet{};
  g->body = body.release();
  g->weakrefs = nullptr;
  g->state = GenState::Created;
  g->executing = false;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(g));
  return Ref(reinterpret_cast<PyObject*>(g));
}

void describe_as_generator_function(PyObject* fn, const char* name,
                                    std::initializer_list<const char*> params) {
  // PyCode_NewEmpty's body only raises AssertionError; only its description
  // (flags, parameter names) is replaced.
  Ref code(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<vorantis.engine.video_reader>", name, 1)));
  if (!code) throw PyErrorSet{};
  Ref varnames = check(PyTuple_New(static_cast<Py_ssize_t>(params.size())));
  Py_ssize_t i = 0;
  for (const char* p : params) PyTuple_SET_ITEM(varnames.get(), i++, str(p).release());
  Ref replace = attr(code.get(), "replace");
  Ref n = integer(static_cast<long long>(params.size()));
  Ref flags = integer(CO_OPTIMIZED | CO_NEWLOCALS | CO_GENERATOR);
#if PY_VERSION_HEX >= 0x030B0000
  Ref kwnames = check(Py_BuildValue("(sssss)", "co_flags", "co_argcount", "co_nlocals",
                                    "co_varnames", "co_qualname"));
  Ref described = call_kw(replace.get(), {}, kwnames.get(),
                          {flags.get(), n.get(), n.get(), varnames.get(), str(name).get()});
#else  // code objects have no qualified name before 3.11
  Ref kwnames = check(Py_BuildValue("(ssss)", "co_flags", "co_argcount", "co_nlocals",
                                    "co_varnames"));
  Ref described = call_kw(replace.get(), {}, kwnames.get(),
                          {flags.get(), n.get(), n.get(), varnames.get()});
#endif
  set_attr(fn, "__code__", described.get());
}

void init_generator_type() {
  if (NativeGeneratorType.tp_flags & Py_TPFLAGS_READY) return;
  NativeGeneratorType.tp_name = "vorantis.engine.video_reader.generator";
  NativeGeneratorType.tp_basicsize = sizeof(NativeGenerator);
  NativeGeneratorType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  NativeGeneratorType.tp_doc = "A generator whose body is native code.";
  NativeGeneratorType.tp_traverse = gen_traverse;
  NativeGeneratorType.tp_clear = gen_clear;
  NativeGeneratorType.tp_dealloc = gen_dealloc;
  NativeGeneratorType.tp_finalize = gen_finalize;
  NativeGeneratorType.tp_iter = gen_self_iter;
  NativeGeneratorType.tp_iternext = gen_iternext;
  NativeGeneratorType.tp_methods = gen_methods;
  NativeGeneratorType.tp_getset = gen_getset;
  NativeGeneratorType.tp_weaklistoffset = offsetof(NativeGenerator, weakrefs);
  check_status(PyType_Ready(&NativeGeneratorType));
}

}  // namespace vr
