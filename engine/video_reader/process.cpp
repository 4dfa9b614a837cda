#include "process.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "native.hpp"

namespace vr::process {

namespace {

// Module-lifetime state; none of it is ever freed (the leaked objects must
// outlive everything, and the hook may run while the module is torn down).
struct Kind {
  DetachFn detach;
  WeakIdentityMap* objects;
};
std::vector<Kind>* g_kinds = nullptr;
std::vector<void (*)()>* g_child_hooks = nullptr;
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
// there. One object failing to detach does not stop the others, and no
// failure leaves the hook: each is reported as unraisable.
Ref after_fork_in_child(PyObject* const*) {
  ++g_generation;
  for (void (*fn)() : child_hooks()) {
    try {
      fn();
    } catch (const PyErrorSet&) {
      PyErr_WriteUnraisable(nullptr);
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      PyErr_WriteUnraisable(nullptr);
    }
  }
  for (const Kind& kind : kinds()) {
    std::vector<Ref> alive;
    try {
      alive = kind.objects->alive();
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
      PyErr_WriteUnraisable(nullptr);
      continue;
    }
    for (const Ref& object : alive) {
      try {
        kind.detach(object.get());
      } catch (const PyErrorSet&) {
        PyErr_WriteUnraisable(object.get());
      } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        PyErr_WriteUnraisable(object.get());
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
  WeakIdentityMap* objects = nullptr;
  for (const Kind& kind : kinds())
    if (kind.detach == detach) objects = kind.objects;
  if (!objects) {
    auto table = std::make_unique<WeakIdentityMap>();
    kinds().push_back({detach, table.get()});
    objects = table.release();  // kept for the life of the process
  }
  objects->set(object);
}

void at_fork_in_child(void (*fn)()) {
  for (void (*known)() : child_hooks())
    if (known == fn) return;
  child_hooks().push_back(fn);
}

unsigned long generation() { return g_generation; }

void leak(PyObject* object) noexcept {
  if (object && object != Py_None) Py_INCREF(object);
}

// --- WeakIdentityMap --------------------------------------------------------

PyObject* WeakIdentityMap::referent(const Entry& entry) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* object = nullptr;
  if (PyWeakref_GetRef(entry.weak.get(), &object) <= 0) return nullptr;
  Py_DECREF(object);  // alive: held elsewhere as well
  return object;
#else
  PyObject* object = PyWeakref_GetObject(entry.weak.get());
  return object == Py_None ? nullptr : object;
#endif
}

void WeakIdentityMap::set(PyObject* object, PyObject* value) {
  auto found = entries_.find(object);
  if (found != entries_.end() && referent(found->second) == object) {
    found->second.value = Ref::borrow(value);
    return;
  }
  Ref weak = check(PyWeakref_NewRef(object, nullptr));
  if (found != entries_.end()) {  // a dead object's entry at the same address
    Entry dead = std::move(found->second);
    found->second = Entry{std::move(weak), Ref::borrow(value)};
    return;
  }
  if (entries_.size() >= drop_at_) {
    drop_dead();
    drop_at_ = std::max<std::size_t>(64, 2 * entries_.size());
  }
  entries_.emplace(object, Entry{std::move(weak), Ref::borrow(value)});
}

Ref WeakIdentityMap::value(PyObject* object) const {
  auto found = entries_.find(object);
  if (found == entries_.end() || referent(found->second) != object) return Ref();
  return found->second.value;
}

std::vector<Ref> WeakIdentityMap::alive() const {
  std::vector<Ref> objects;
  objects.reserve(entries_.size());
  for (const auto& [address, entry] : entries_)
    if (PyObject* object = referent(entry)) objects.push_back(Ref::borrow(object));
  return objects;
}

// The dead entries leave the table before their references are dropped: a
// value's deallocator may run any code, this table's own methods included.
void WeakIdentityMap::drop_dead() {
  std::vector<Entry> dead;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (referent(it->second)) {
      ++it;
    } else {
      dead.push_back(std::move(it->second));
      it = entries_.erase(it);
    }
  }
}

}  // namespace vr::process
