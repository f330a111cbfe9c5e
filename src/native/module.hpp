// Extension modules: state, multi-phase initialisation, and the statements a
// module body runs at import (imports, defs, name bindings).
#pragma once
#include <Python.h>
#include <initializer_list>
#include <new>
#include "function.hpp"
#include "ref.hpp"

namespace morbex {

// Per module instance; nothing of a module lives in C++ statics. A module
// with objects of its own derives its state from this one, adds them as
// members and lists them in its own visit(), which traverse and clear use:
//
//     struct State : ModuleState {
//         PyObject* table = nullptr;
//         template <class F> void visit(F&& f) { ModuleState::visit(f); f(table); }
//     };
//     MORBEX_MODULE_STATE(name, State, body)
struct ModuleState {
    PyObject* function_type = nullptr;  // this module's `function` type

    template <class F>
    void visit(F&& f) {
        f(function_type);
    }
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
    template <class State>
    State& state_as() const {
        return static_cast<State&>(state());
    }

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

// The state of the module that defined the running function.
template <class State>
State& state_of(const Call& c) {
    return *static_cast<State*>(c.module_state());
}

using ModuleBody = void (*)(Module&);

// The Py_mod_exec slot once the state exists: makes the function type, then
// runs `body`.
int exec_module(PyObject* module, ModuleBody body);

namespace detail {

template <class State>
State* state_of(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

template <class State>
int traverse(PyObject* module, visitproc visit, void* arg) {
    State* st = state_of<State>(module);
    int result = 0;
    if (st != nullptr) {
        st->visit([&](PyObject*& member) {
            if (result == 0 && member != nullptr) result = visit(member, arg);
        });
    }
    return result;
}

template <class State>
int clear(PyObject* module) {
    if (State* st = state_of<State>(module)) st->visit([](PyObject*& member) { Py_CLEAR(member); });
    return 0;
}

template <class State>
void free(void* module) {
    clear<State>(static_cast<PyObject*>(module));
}

template <class State>
int exec(PyObject* module, ModuleBody body) {
    // The interpreter hands out the state zeroed; it is made a State here.
    new (PyModule_GetState(module)) State{};
    return exec_module(module, body);
}

}  // namespace detail

template <class State>
PyModuleDef module_def(const char* name, PyModuleDef_Slot* slots) {
    return PyModuleDef{
        PyModuleDef_HEAD_INIT, name,           nullptr,      sizeof(State),      nullptr, slots,
        detail::traverse<State>, detail::clear<State>, detail::free<State>,
    };
}

}  // namespace morbex

// Defines PyInit_<name> for `morbex.<name>`, whose state is a `State` and
// whose body is `body`.
#define MORBEX_MODULE_STATE(name, State, body)                                         \
    static int name##_exec(PyObject* m) { return ::morbex::detail::exec<State>(m, body); } \
    static PyModuleDef_Slot name##_slots[] = {                                        \
        {Py_mod_exec, reinterpret_cast<void*>(name##_exec)},                          \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},         \
        {0, nullptr},                                                                 \
    };                                                                                \
    static PyModuleDef name##_def = ::morbex::module_def<State>("morbex." #name, name##_slots); \
    PyMODINIT_FUNC PyInit_##name() { return PyModuleDef_Init(&name##_def); }

// A module with no objects of its own.
#define MORBEX_MODULE(name, body) MORBEX_MODULE_STATE(name, ::morbex::ModuleState, body)
