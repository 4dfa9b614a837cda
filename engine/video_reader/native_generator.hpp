// Native generators: objects that behave like Python generators (iteration,
// `send`, `throw`, `close`, `gi_running`, closing when dropped while suspended)
// around a C++ body, and the code object that lets `inspect` recognise the
// function returning them as a generator function.
//
// The generator owns its body from creation until the body ends (returns,
// raises, or is closed), then deletes it, as a Python generator drops its
// frame. The body never sees the protocol: it is started, resumed after each
// yield, or has an exception raised where it stands, and it reports by
// returning a value (a yield), returning an empty Ref (the end) or throwing
// PyErrorSet (an exception). One consumer at a time, under the GIL: advancing
// a generator from inside its own body raises ValueError, as in Python.
#pragma once

#include <initializer_list>
#include <memory>

#include "py.hpp"

namespace vr {

// The code a native generator runs, written as the parts of a Python
// generator function's body between its yields.
class GeneratorBody {
 public:
  // Runs while the generator is deleted or ends, with the GIL except during a
  // forced unwind at interpreter exit: members must be Ref (see py.hpp).
  virtual ~GeneratorBody() noexcept(false) = default;

  // From the beginning to the first yield.
  virtual Ref start() = 0;
  // From the last yield to the next one.
  virtual Ref resume() = 0;
  // The pending exception (thrown in, or GeneratorExit from `close`) is raised
  // where the body stands after a yield: the body runs its clean-up and lets
  // it propagate (or replaces it), ending by throwing PyErrorSet.
  [[noreturn]] virtual void raise_at_yield() = 0;
  // The garbage collector's view of the Python objects the body holds.
  virtual int traverse(visitproc visit, void* arg) = 0;
};

// A new generator object running `body`; nothing of the body runs before the
// first advance.
Ref make_generator(std::unique_ptr<GeneratorBody> body);

// Gives the native function `fn` a descriptive `__code__` whose flags say
// "generator" and whose parameters are `params`, so that
// `inspect.isgeneratorfunction(fn)` is true. The code itself is never run.
void describe_as_generator_function(PyObject* fn, const char* name,
                                    std::initializer_list<const char*> params);

// Readies the generator type; called once at module initialisation.
void init_generator_type();

}  // namespace vr
