// What a fork leaves behind in the child, and how the readers get over it.
//
// A reader is a description of its source plus a position; its PyAV objects
// (the container, the decoder with its frame threads, the colour converters
// with their slice threads) are a cache of that description, bound to the
// process that made them. A child made by os.fork() inherits those objects
// but none of the threads that serve them: using them hangs, and so does
// freeing them (FFmpeg joins threads that do not exist there). So in the
// child, right after the fork (os.register_at_fork(after_in_child=...),
// registered at the first open of any source):
//   - `generation()` goes up by one;
//   - every tracked object is detached by its kind's function: its PyAV
//     objects get a reference that is never released (leaked on purpose: a
//     few objects per reader, once per fork) and it reopens its source on
//     first use;
//   - the functions given to `at_fork_in_child` run (the converter pool).
// Objects that are not tracked (a suspended frame iterator) compare
// `generation()` with the one they were opened in.
//
// A fork that does not go through os.fork (a C library's own fork without
// exec) runs no hook and is not covered. Everything here requires the GIL.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

#include "py.hpp"

namespace vr::process {

// Moves one detached object out of its process' PyAV objects.
using DetachFn = void (*)(PyObject* object);

// Registers the fork hook once (imports `os` and `weakref` the first time).
void ensure_fork_hook();

// Tracks `object` weakly, by identity: in a forked child, `detach(object)`
// runs at the fork if it is still alive. Registers the fork hook. Tracking an
// object again under the same function changes nothing.
void track(PyObject* object, DetachFn detach);

// Runs `fn` in every forked child, at the fork, before the objects are detached.
void at_fork_in_child(void (*fn)());

// How many forks separate this process from the one that loaded the module
// (0 there; counted from the first registration of the hook).
unsigned long generation();

// Keeps `object` alive for the life of the process: a reference that is never
// released. For PyAV objects inherited from the parent process. Cannot fail
// (it only counts a reference), so destructors and the fork hook may call it.
void leak(PyObject* object) noexcept;

// Objects held weakly and told apart by identity, each with an optional value
// (a strong reference). Unlike weakref.WeakSet and WeakKeyDictionary it never
// hashes or compares the objects: two objects that compare equal are two
// entries, and an object that cannot be hashed is held like any other. An
// entry counts only while its weak reference still leads to its object, so an
// object made later at a dead one's address is not mistaken for it; entries of
// dead objects are dropped as the table grows (amortised). Requires the GIL;
// meant to live as long as the process.
class WeakIdentityMap {
 public:
  // Sets the value of `object` (nullptr: none), adding the entry if needed.
  // TypeError if `object` does not support weak references.
  void set(PyObject* object, PyObject* value = nullptr);
  // The value of `object`: empty when it has no entry or no value.
  Ref value(PyObject* object) const;
  // New references to the objects still alive, in no particular order.
  std::vector<Ref> alive() const;
  std::size_t size() const noexcept { return entries_.size(); }

 private:
  struct Entry {
    Ref weak;   // weakref.ref(object), no callback
    Ref value;  // may be empty
  };
  // The entry's object, or nullptr when it is dead.
  static PyObject* referent(const Entry& entry) noexcept;
  void drop_dead();

  std::unordered_map<PyObject*, Entry> entries_;
  std::size_t drop_at_ = 64;
};

}  // namespace vr::process
