// Extension modules: state, multi-phase initialisation, import statements.
#include "module.hpp"
#include "error.hpp"
#include "ops.hpp"
#include <string>
#include <string_view>

namespace morbex {
namespace {

// A Python module's namespace has __builtins__; an extension module's does
// not, so it is put there as exec() would, and functions capture it from
// their globals as Python functions do.
PyObject* ensure_builtins(PyObject* globals) {
    Ref key = intern("__builtins__");
    PyObject* found = PyDict_GetItemWithError(globals, key.get());
    if (found == nullptr) {
        if (PyErr_Occurred()) throw PyError{};
        check(PyDict_SetItem(globals, key.get(), PyEval_GetBuiltins()));
        return PyEval_GetBuiltins();
    }
    return PyModule_Check(found) ? PyModule_GetDict(found) : found;
}

}  // namespace

Module::Module(PyObject* module)
    : module_(module), globals_(PyModule_GetDict(module)), builtins_(ensure_builtins(globals_)) {}

ModuleState& Module::state() const { return *static_cast<ModuleState*>(PyModule_GetState(module_)); }

Ref Module::def(const FunctionSpec& spec, PyObject* qualname) const {
    return new_function(state().function_type, spec, globals_, qualname);
}

void Module::bind(const char* name, PyObject* value) const {
    Ref key = intern(name);
    check(PyDict_SetItem(globals_, key.get(), value));
}

Ref Module::name(const char* name) const {
    Ref key = intern(name);
    return load_global(globals_, builtins_, key.get());
}

// IMPORT_NAME: through builtins.__import__, as the interpreter calls it.
Ref Module::import_name(const char* dotted, PyObject* fromlist) const {
    Ref key = intern("__import__");
    PyObject* import_func = PyDict_GetItemWithError(builtins_, key.get());
    if (import_func == nullptr) {
        if (!PyErr_Occurred()) raise(PyExc_ImportError, "__import__ not found");
        throw PyError{};
    }
    Ref name = str(dotted);
    Ref level = check(PyLong_FromLong(0));
    return call(import_func, {name.get(), globals_, globals_, fromlist, level.get()});
}

void Module::import(const char* dotted, const char* alias) const {
    Ref top = import_name(dotted, Py_None);
    if (alias == nullptr) {
        // `import a.b` binds `a`.
        std::string_view path(dotted);
        std::string first(path.substr(0, path.find('.')));
        bind(first.c_str(), top.get());
        return;
    }
    // `import a.b.c as x`: the leaf is reached attribute by attribute.
    Ref leaf = top;
    std::string_view rest(dotted);
    for (std::size_t dot = rest.find('.'); dot != std::string_view::npos; dot = rest.find('.')) {
        rest.remove_prefix(dot + 1);
        std::string part(rest.substr(0, rest.find('.')));
        Ref attr = intern(part.c_str());
        leaf = import_from(leaf.get(), attr.get());
    }
    bind(alias, leaf.get());
}

void Module::from_import(const char* module, std::initializer_list<const char*> names) const {
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* n : names) PyTuple_SET_ITEM(fromlist.get(), i++, str(n).release());
    Ref source = import_name(module, fromlist.get());
    for (const char* n : names) {
        Ref attr = intern(n);
        Ref value = import_from(source.get(), attr.get());
        bind(n, value.get());
    }
}

void Module::from_import(const char* module, std::initializer_list<ImportAs> names) const {
    // The fromlist names what is imported; only the bindings take the aliases.
    Ref fromlist = check(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const ImportAs& n : names) PyTuple_SET_ITEM(fromlist.get(), i++, str(n.name).release());
    Ref source = import_name(module, fromlist.get());
    for (const ImportAs& n : names) {
        Ref attr = intern(n.name);
        Ref value = import_from(source.get(), attr.get());
        bind(n.alias, value.get());
    }
}

Ref import_from(PyObject* module, PyObject* name) {
    Ref value;
    if (lookup_attr(module, name, value)) return value;

    // A circular import may have left the submodule only in sys.modules.
    Ref pkgname = Ref::steal(PyObject_GetAttrString(module, "__name__"));
    if (!pkgname) {
        PyErr_Clear();
    } else if (!PyUnicode_Check(pkgname.get())) {
        pkgname = Ref();
    } else {
        Ref full = check(PyUnicode_FromFormat("%U.%U", pkgname.get(), name));
        PyObject* found = PyImport_GetModule(full.get());
        if (found != nullptr) return Ref::steal(found);
        if (PyErr_Occurred()) throw PyError{};
    }

    Ref shown = pkgname ? pkgname : str("<unknown module name>");
    Ref path = Ref::steal(PyModule_GetFilenameObject(module));
    Ref message;
    if (!path || !PyUnicode_Check(path.get())) {
        PyErr_Clear();
        path = Ref();
        message = check(PyUnicode_FromFormat("cannot import name %R from %R (unknown location)", name, shown.get()));
    } else {
        Ref spec = Ref::steal(PyObject_GetAttrString(module, "__spec__"));
        bool initializing = false;
        if (spec) {
            Ref flag = Ref::steal(PyObject_GetAttrString(spec.get(), "_initializing"));
            initializing = flag && PyObject_IsTrue(flag.get()) > 0;
        }
        PyErr_Clear();
        message = check(PyUnicode_FromFormat(
            initializing ? "cannot import name %R from partially initialized module %R "
                           "(most likely due to a circular import) (%S)"
                         : "cannot import name %R from %R (%S)",
            name, shown.get(), path.get()));
    }
    PyErr_SetImportError(message.get(), pkgname.get(), path.get());
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (PyObject_SetAttrString(exc.get(), "name_from", name) < 0) PyErr_Clear();
    PyErr_SetRaisedException(exc.release());
    throw PyError{};
}

int exec_module(PyObject* module, ModuleBody body) {
    return boundary(-1, [&] {
        Module m(module);
        m.state().function_type = make_function_type(module).release();
        body(m);
        return 0;
    });
}

}  // namespace morbex
