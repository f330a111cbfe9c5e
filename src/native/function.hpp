// The `function` type: a native callable that is a Python function in all but type.
//
// Each extension module makes its own instance of this heap type (kept in its
// module state); bodies are plain C++ functions described by a FunctionSpec.
#pragma once
#include <Python.h>
#include <array>
#include <cstddef>
#include <initializer_list>
#include "ref.hpp"

namespace morbex {

// How argument errors are worded: as CPython's own functions do, or as
// Cython-compiled functions do (a different text and check order).
enum class ArgStyle { Python, Cython };

struct Annotation {
    const char* name = nullptr;  // parameter name, or "return"
    const char* text = nullptr;  // stored unevaluated, as a string
};

inline constexpr std::size_t max_params = 6;

struct Call;
using Body = Ref (*)(const Call&);

// One `def`: what a code object and a signature are made from.
struct FunctionSpec {
    const char* name;
    std::array<const char*, max_params> params{};  // positional-or-keyword, in order
    bool varkw = false;                            // takes **kwargs
    std::array<Annotation, max_params + 1> annotations{};
    Body body = nullptr;
    ArgStyle style = ArgStyle::Python;
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionSpec* spec;
    Py_ssize_t nparams;
    PyObject* param_names;   // tuple of the interned parameter names
    PyObject* name;          // str
    PyObject* qualname;      // str
    PyObject* module;        // may be NULL after del (reads as None)
    PyObject* doc;           // may be NULL (reads as None)
    PyObject* dict;          // instance __dict__, created on demand
    PyObject* globals;       // the defining module's namespace
    PyObject* builtins;      // captured from globals, as a Python function does
    PyObject* annotations;   // dict or NULL
    PyObject* code;          // a real code object, so inspect sees a signature
    PyObject* type_params;   // tuple
    PyObject* weakreflist;
};

// What a body sees: its function, the bound parameters (borrowed, in
// declaration order) and the new **kwargs dict, if the function takes one.
struct Call {
    FunctionObject* fn;
    PyObject* const* args;
    PyObject* kwargs;

    PyObject* operator[](std::size_t i) const { return args[i]; }
    // LOAD_GLOBAL: the module namespace, then builtins, at the time of the call.
    Ref global(const char* name) const;
    Ref global(PyObject* name) const;  // `name` already interned
    // The defining module's C state.
    void* module_state() const;
};

// `self.name(args...)`: LOAD_ATTR, then CALL with positional arguments.
// When generic attribute lookup finds this module's own function for `spec`,
// not shadowed in the instance dict, its body is run directly: no bound
// method, no argument binding. No Python code runs for such a lookup, and
// own() says so to callers that must know.
class Method {
public:
    Method(const Call& caller, PyObject* self, PyObject* name, const FunctionSpec& spec);

    bool own() const { return static_cast<bool>(own_); }
    Ref operator()(std::initializer_list<PyObject*> args) const;

private:
    PyObject* self_;  // borrowed: the caller holds it for the whole call
    Ref own_;         // our function, when the lookup found it
    Ref bound_;       // otherwise whatever the attribute lookup gave
};

// Whether `self.name` would give this module's own function for `spec` (what
// Method::own() would report), found without running Python code; unlike
// constructing a Method, nothing else is looked up when it would not.
bool finds_own_method(const Call& caller, PyObject* self, PyObject* name, const FunctionSpec& spec);

// The function type for one module instance.
Ref make_function_type(PyObject* module);

// def spec: a new function object, defined in the namespace `globals`.
// `qualname` defaults to `spec.name`.
Ref new_function(PyObject* function_type, const FunctionSpec& spec, PyObject* globals,
                 PyObject* qualname = nullptr);

// LOAD_GLOBAL against an explicit namespace and builtins dict.
Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name);

}  // namespace morbex
