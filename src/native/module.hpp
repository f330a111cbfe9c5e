// Extension modules: state, multi-phase initialisation, and the statements a
// module body runs at import (imports, defs, name bindings).
#pragma once
#include <Python.h>
#include <initializer_list>
#include "function.hpp"
#include "ref.hpp"

namespace morbex {

// Per module instance; nothing of a module lives in C++ statics.
struct ModuleState {
    PyObject* function_type;  // this module's `function` type
    PyObject* extra;           // one object of a module's own (a helper type, a table), if it needs one
};

// `from module import name as alias`.
struct ImportAs {
    const char* name;
    const char* alias;
};

// A module being executed, seen as its namespace.
class Module {
public:
    explicit Module(PyObject* module);

    PyObject* object() const { return module_; }
    PyObject* globals() const { return globals_; }  // borrowed
    PyObject* builtins() const { return builtins_; }  // borrowed dict
    ModuleState& state() const;

    // `def name(...)` at module level (or with a class's qualified name).
    Ref def(const FunctionSpec& spec, PyObject* qualname = nullptr) const;
    // `name = value`.
    void bind(const char* name, PyObject* value) const;
    // A name read at module level: the namespace, then builtins.
    Ref name(const char* name) const;

    // `import dotted` binds the top package; `import dotted as alias` binds
    // the leaf module.
    void import(const char* dotted, const char* alias = nullptr) const;
    // `from module import a, b, ...`.
    void from_import(const char* module, std::initializer_list<const char*> names) const;
    // `from module import a as x, b as y, ...`.
    void from_import(const char* module, std::initializer_list<ImportAs> names) const;

private:
    Ref import_name(const char* dotted, PyObject* fromlist) const;

    PyObject* module_;
    PyObject* globals_;
    PyObject* builtins_;
};

// IMPORT_FROM: an attribute of a module, falling back to sys.modules, with
// the interpreter's ImportError texts.
Ref import_from(PyObject* module, PyObject* name);

using ModuleBody = void (*)(Module&);

// The Py_mod_exec slot: sets up the state, then runs `body`.
int exec_module(PyObject* module, ModuleBody body);

PyModuleDef module_def(const char* name, PyModuleDef_Slot* slots);

}  // namespace morbex

// Defines PyInit_<name> for `morbex.<name>`, whose body is `body`.
#define MORBEX_MODULE(name, body)                                                      \
    static int name##_exec(PyObject* m) { return ::morbex::exec_module(m, body); }    \
    static PyModuleDef_Slot name##_slots[] = {                                        \
        {Py_mod_exec, reinterpret_cast<void*>(name##_exec)},                          \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},         \
        {0, nullptr},                                                                 \
    };                                                                                \
    static PyModuleDef name##_def = ::morbex::module_def("morbex." #name, name##_slots); \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }
