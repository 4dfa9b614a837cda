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
//     objects go to a list that is never released (leaked on purpose: a few
//     objects per reader, once per fork) and it reopens its source on first
//     use;
//   - the functions given to `at_fork_in_child` run (the converter pool).
// Objects that are not tracked (a suspended frame iterator) compare
// `generation()` with the one they were opened in.
//
// A fork that does not go through os.fork (a C library's own fork without
// exec) runs no hook and is not covered. Everything here requires the GIL.
#pragma once

#include "py.hpp"

namespace vr::process {

// Moves one detached object out of its process' PyAV objects.
using DetachFn = void (*)(PyObject* object);

// Registers the fork hook once (imports `os` and `weakref` the first time).
void ensure_fork_hook();

// Tracks `object` weakly: in a forked child, `detach(object)` runs at the fork
// if it is still alive. Registers the fork hook.
void track(PyObject* object, DetachFn detach);

// Runs `fn` in every forked child, at the fork, before the objects are detached.
void at_fork_in_child(void (*fn)());

// How many forks separate this process from the one that loaded the module
// (0 there; counted from the first registration of the hook).
unsigned long generation();

// Keeps `object` alive for the life of the process: a reference that is never
// released. For PyAV objects inherited from the parent process.
void leak(PyObject* object);

}  // namespace vr::process
