// The surface of every callable of the module.
//
// A `NativeFunction` is a native callable that looks to Python like a function
// written in Python: it has `__name__`, `__qualname__`, `__module__`, `__doc__`,
// `__defaults__`, `__kwdefaults__`, string `__annotations__`, a `__signature__`
// for `inspect.signature`, an attribute dictionary, `__globals__` (the module's
// namespace, where `typing.get_type_hints` resolves the annotations), weak
// references, and binds to instances as a method (it is a descriptor, like a
// Python function). It pickles by reference, as its qualified name in its
// module, so `copy` and `deepcopy` return it unchanged. Arguments are matched to
// the declared parameters with Python's rules and messages (positional or
// keyword, keyword-only, *args), and defaults are filled in before the C++
// implementation runs.
//
// Subsystems declare a `FunctionSpec` and never parse arguments themselves.
// Classes are plain classes built with Python's `type`, whose members are
// NativeFunctions (wrapped in `property` or `classmethod` where needed), so
// instances carry an ordinary attribute dictionary. Thread-safe under the GIL.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "py.hpp"

namespace vr {

// The implementation receives the arguments in declared parameter order
// (borrowed references). A `*args` parameter arrives as a tuple.
using NativeImpl = Ref (*)(PyObject* const* argv);

enum class ParamKind { PositionalOrKeyword, KeywordOnly, VarPositional };

struct ParamSpec {
  const char* name;
  const char* annotation = nullptr;  // nullptr: no annotation
  Ref default_value;                 // empty: required
  ParamKind kind = ParamKind::PositionalOrKeyword;
};

inline ParamSpec param(const char* name, const char* annotation = nullptr, Ref def = Ref()) {
  return ParamSpec{name, annotation, std::move(def), ParamKind::PositionalOrKeyword};
}
inline ParamSpec kwonly(const char* name, const char* annotation, Ref def) {
  return ParamSpec{name, annotation, std::move(def), ParamKind::KeywordOnly};
}
inline ParamSpec varargs(const char* name) {
  return ParamSpec{name, nullptr, Ref(), ParamKind::VarPositional};
}
inline ParamSpec self_param() { return param("self"); }
inline ParamSpec cls_param() { return param("cls"); }

struct FunctionSpec {
  const char* name;
  const char* qualname;
  const char* doc;      // nullptr: no docstring
  const char* returns;  // return annotation, nullptr: none
  std::vector<ParamSpec> params;
  NativeImpl impl;
};

// A new NativeFunction reporting the module's name as `__module__`.
Ref make_function(FunctionSpec spec);

// Adds a module-level function, in definition order.
void add_function(PyObject* module, FunctionSpec spec);

// Members of a class under construction, in definition order.
class ClassBuilder {
 public:
  ClassBuilder(const char* name, const char* doc);
  // A method; its qualified name is "Class.name".
  ClassBuilder& method(FunctionSpec spec);
  // A read-only property whose getter is the given function of `self`.
  ClassBuilder& property(FunctionSpec getter);
  ClassBuilder& classmethod(FunctionSpec spec);
  // Creates the class with `type(name, (object,), namespace)` and binds it on the module.
  Ref finish(PyObject* module);

 private:
  const char* name_;
  Ref ns_;
};

// Called once at module initialisation.
void init_callable_type();

}  // namespace vr
