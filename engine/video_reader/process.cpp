#include "process.hpp"

#include <utility>
#include <vector>

#include "native.hpp"

namespace vr::process {

namespace {

// Module-lifetime state; none of it is ever freed (the leaked objects must
// outlive everything, and the hook may run while the module is torn down).
struct Kind {
  DetachFn detach;
  PyObject* objects;  // a weakref.WeakSet
};
std::vector<Kind>* g_kinds = nullptr;
std::vector<void (*)()>* g_child_hooks = nullptr;
PyObject* g_leaked = nullptr;  // list
bool g_hook_registered = false;
unsigned long g_generation = 0;

std::vector<Kind>& kinds() {
  if (!g_kinds) g_kinds = new std::vector<Kind>();
  return *g_kinds;
}

std::vector<void (*)()>& child_hooks() {
  if (!g_child_hooks) g_child_hooks = new std::vector<void (*)()>();
  return *g_child_hooks;
}

// Runs in the child, on the thread that forked, before os.fork() returns
// there. One object failing to detach does not stop the others.
Ref after_fork_in_child(PyObject* const*) {
  ++g_generation;
  for (void (*fn)() : child_hooks()) {
    try {
      fn();
    } catch (const PyErrorSet&) {
      PyErr_WriteUnraisable(nullptr);
    }
  }
  for (const Kind& kind : kinds()) {
    Ref alive;
    try {
      alive = check(PySequence_List(kind.objects));
    } catch (const PyErrorSet&) {
      PyErr_WriteUnraisable(kind.objects);
      continue;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(alive.get()); ++i) {
      PyObject* object = PyList_GET_ITEM(alive.get(), i);
      try {
        kind.detach(object);
      } catch (const PyErrorSet&) {
        PyErr_WriteUnraisable(object);
      }
    }
  }
  return none();
}

}  // namespace

void ensure_fork_hook() {
  if (g_hook_registered) return;
  Ref os = import("os");
  static PyMethodDef hook_def = VR_ENTRY("_after_fork_in_child", after_fork_in_child, 0);
  Ref hook = check(PyCFunction_New(&hook_def, nullptr));
  Ref register_at_fork = attr(os.get(), "register_at_fork");
  Ref kwnames = check(PyTuple_Pack(1, VR_STR("after_in_child")));
  call_kw(register_at_fork.get(), {}, kwnames.get(), {hook.get()});
  g_hook_registered = true;
}

void track(PyObject* object, DetachFn detach) {
  ensure_fork_hook();
  PyObject* objects = nullptr;
  for (const Kind& kind : kinds())
    if (kind.detach == detach) objects = kind.objects;
  if (!objects) {
    Ref weakref = import("weakref");
    Ref weak_set_type = attr(weakref.get(), "WeakSet");
    objects = call(weak_set_type.get()).release();  // kept for the life of the process
    kinds().push_back({detach, objects});
  }
  call_method(objects, "add", object);
}

void at_fork_in_child(void (*fn)()) {
  for (void (*known)() : child_hooks())
    if (known == fn) return;
  child_hooks().push_back(fn);
}

unsigned long generation() { return g_generation; }

void leak(PyObject* object) {
  if (!object || object == Py_None) return;
  if (!g_leaked) g_leaked = check(PyList_New(0)).release();
  check_status(PyList_Append(g_leaked, object));
}

}  // namespace vr::process
