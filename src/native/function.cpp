// The `function` type: slots, getters and the per-module type spec.
#include "function.hpp"
#include <structmember.h>
#include "binder.hpp"
#include "compat.hpp"
#include "module.hpp"
#include "error.hpp"
#include "ops.hpp"

namespace morbex {
namespace {

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionObject* fn = as_function(callable);
    return boundary<PyObject*>(nullptr, [&] {
        PyObject* bound[max_params] = {};
        Ref kwargs;
        bind_arguments(fn, args, PyVectorcall_NARGS(nargsf), kwnames, bound, kwargs);
        if (Py_EnterRecursiveCall(" while calling a Python object")) throw PyError{};
        struct Leave {
            ~Leave() { Py_LeaveRecursiveCall(); }
        } leave;
        return fn->spec->body(Call{fn, bound, kwargs.get()}).release();
    });
}

// func_descr_get: a function looked up on an instance binds to it.
PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* fn = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(fn->dict);
    Py_VISIT(fn->globals);
    Py_VISIT(fn->builtins);
    Py_VISIT(fn->annotations);
    Py_VISIT(fn->doc);
    Py_VISIT(fn->module);
    Py_VISIT(fn->code);
    Py_VISIT(fn->type_params);
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* fn = as_function(self);
    Py_CLEAR(fn->dict);
    Py_CLEAR(fn->globals);
    Py_CLEAR(fn->builtins);
    Py_CLEAR(fn->annotations);
    Py_CLEAR(fn->doc);
    Py_CLEAR(fn->module);
    Py_CLEAR(fn->code);
    Py_CLEAR(fn->type_params);
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* fn = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (fn->weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    function_clear(self);
    Py_CLEAR(fn->param_names);
    Py_CLEAR(fn->name);
    Py_CLEAR(fn->qualname);
    type->tp_free(self);
    Py_DECREF(type);
}

bool is_name(PyObject* name, const char* which) {
    return PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, which) == 0;
}

// __module__ and __doc__ are served here rather than by descriptors in the
// type dict: a heap type reads its *own* __module__/__doc__ from that dict,
// so descriptors there would break type(f).__module__. Being checked before
// the instance dict, they keep the precedence of data descriptors.
PyObject** module_or_doc_slot(FunctionObject* fn, PyObject* name) {
    if (is_name(name, "__module__")) return &fn->module;
    if (is_name(name, "__doc__")) return &fn->doc;
    return nullptr;
}

PyObject* function_getattro(PyObject* self, PyObject* name) {
    if (PyObject** slot = module_or_doc_slot(as_function(self), name)) {
        return Py_NewRef(*slot ? *slot : Py_None);
    }
    return PyObject_GenericGetAttr(self, name);
}

int function_setattro(PyObject* self, PyObject* name, PyObject* value) {
    if (PyObject** slot = module_or_doc_slot(as_function(self), name)) {
        Py_XSETREF(*slot, Py_XNewRef(value));
        return 0;
    }
    return PyObject_GenericSetAttr(self, name, value);
}

PyObject* function_reduce(PyObject* self, PyObject*) { return Py_NewRef(as_function(self)->qualname); }

int set_str(PyObject** field, PyObject* value, const char* what) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    Py_SETREF(*field, Py_NewRef(value));
    return 0;
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->name); }
int set_name(PyObject* self, PyObject* value, void*) { return set_str(&as_function(self)->name, value, "__name__"); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->qualname); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_str(&as_function(self)->qualname, value, "__qualname__");
}

PyObject* get_code(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    return Py_NewRef(fn->code ? fn->code : Py_None);
}

PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (fn->annotations == nullptr && (fn->annotations = PyDict_New()) == nullptr) return nullptr;
    return Py_NewRef(fn->annotations);
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) value = nullptr;
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(self)->annotations, Py_XNewRef(value));
    return 0;
}

PyObject* get_type_params(PyObject* self, void*) {
    FunctionObject* fn = as_function(self);
    if (fn->type_params == nullptr) return PyTuple_New(0);
    return Py_NewRef(fn->type_params);
}

int set_type_params(PyObject* self, PyObject* value, void*) {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    Py_XSETREF(as_function(self)->type_params, Py_NewRef(value));
    return 0;
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__closure__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__type_params__", get_type_params, set_type_params, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__globals__", compat::member_object_or_none, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {"__builtins__", compat::member_object_or_none, offsetof(FunctionObject, builtins), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weakreflist), Py_READONLY, nullptr},
    // Read by PyType_FromSpec to set tp_vectorcall_offset; removed again
    // from the type dict once the type exists.
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// No Py_tp_doc: a type docstring would shadow the instances' __doc__.
PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
    {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

// "builtins.function": it prints as <class 'function'>, and a dotless name
// would make type creation warn.
PyType_Spec function_spec = {
    "builtins.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

// A code object with the right argument layout and the module's file name,
// so inspect reads the signature from it as from any function.
Ref make_code(const FunctionSpec& spec, PyObject* globals, PyObject* name, PyObject* qualname,
              PyObject* param_names) {
    Ref file_key = intern("__file__");
    PyObject* file = PyDict_GetItemWithError(globals, file_key.get());
    if (file == nullptr && PyErr_Occurred()) throw PyError{};
    Ref filename = file && PyUnicode_Check(file) ? Ref::borrow(file) : check(PyUnicode_FromString("<native>"));
    Ref varnames = check(PySequence_List(param_names));
    int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    if (spec.varkw) {
        Ref kwargs = intern("kwargs");
        check(PyList_Append(varnames.get(), kwargs.get()));
        flags |= CO_VARKEYWORDS;
    }
    Ref varnames_tuple = check(PyList_AsTuple(varnames.get()));
    const char* filename_text = PyUnicode_AsUTF8(filename.get());
    if (filename_text == nullptr) throw PyError{};
    Ref empty = check(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename_text, spec.name, 1)));
    Ref replace = check(PyObject_GetAttrString(empty.get(), "replace"));
    Ref kw = check(Py_BuildValue("{s:n,s:i,s:i,s:O,s:O,s:O}", "co_argcount", PyTuple_GET_SIZE(param_names),
                                 "co_nlocals", static_cast<int>(PyTuple_GET_SIZE(varnames_tuple.get())),
                                 "co_flags", flags, "co_varnames", varnames_tuple.get(), "co_name", name,
                                 "co_qualname", qualname));
    Ref noargs = check(PyTuple_New(0));
    return check(PyObject_Call(replace.get(), noargs.get(), kw.get()));
}

}  // namespace

Ref make_function_type(PyObject* module) {
    Ref type = check(PyType_FromModuleAndSpec(module, &function_spec, nullptr));
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type.get())->tp_dict;
    check(PyDict_DelItemString(dict, "__vectorcalloffset__"));
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.get()));
    return type;
}

Ref new_function(PyObject* function_type, const FunctionSpec& spec, PyObject* globals, PyObject* qualname) {
    Ref name = intern(spec.name);
    Py_ssize_t nparams = 0;
    while (nparams < static_cast<Py_ssize_t>(max_params) && spec.params[nparams] != nullptr) ++nparams;
    Ref param_names = check(PyTuple_New(nparams));
    for (Py_ssize_t i = 0; i < nparams; ++i) {
        PyTuple_SET_ITEM(param_names.get(), i, intern(spec.params[i]).release());
    }
    Ref qual = qualname ? Ref::borrow(qualname) : name;

    Ref annotations = check(PyDict_New());
    for (const Annotation& a : spec.annotations) {
        if (a.name == nullptr) break;
        Ref text = check(PyUnicode_FromString(a.text));
        check(PyDict_SetItemString(annotations.get(), a.name, text.get()));
    }

    // A Python function captures __name__ and __builtins__ of its globals
    // when it is created.
    Ref module_key = intern("__name__");
    PyObject* module = PyDict_GetItemWithError(globals, module_key.get());
    if (module == nullptr && PyErr_Occurred()) throw PyError{};
    Ref builtins_key = intern("__builtins__");
    PyObject* builtins = PyDict_GetItemWithError(globals, builtins_key.get());
    if (builtins == nullptr && PyErr_Occurred()) throw PyError{};
    Ref builtins_dict = builtins == nullptr    ? Ref::borrow(PyEval_GetBuiltins())
                        : PyModule_Check(builtins) ? Ref::borrow(PyModule_GetDict(builtins))
                                                   : Ref::borrow(builtins);

    Ref code = make_code(spec, globals, name.get(), qual.get(), param_names.get());

    auto* type = reinterpret_cast<PyTypeObject*>(function_type);
    Ref self = check(type->tp_alloc(type, 0));
    FunctionObject* fn = as_function(self.get());
    fn->vectorcall = function_vectorcall;
    fn->spec = &spec;
    fn->nparams = nparams;
    fn->param_names = param_names.release();
    fn->name = name.release();
    fn->qualname = qual.release();
    fn->module = Py_XNewRef(module);
    fn->doc = Py_NewRef(Py_None);
    fn->globals = Py_NewRef(globals);
    fn->builtins = builtins_dict.release();
    fn->annotations = annotations.release();
    fn->code = code.release();
    return self;
}

Ref load_global(PyObject* globals, PyObject* builtins, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(builtins, name);
    if (value != nullptr) return Ref::borrow(value);
    if (PyErr_Occurred()) throw PyError{};
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    Ref exc = Ref::steal(PyErr_GetRaisedException());
    if (PyObject_SetAttrString(exc.get(), "name", name) < 0) throw PyError{};
    PyErr_SetRaisedException(exc.release());
    throw PyError{};
}

Ref Call::global(const char* name) const {
    // Only a finalizer running while the garbage collector breaks a cycle
    // could call a function whose references were already cleared.
    if (fn->globals == nullptr || fn->builtins == nullptr) raise(PyExc_SystemError, "function was cleared");
    Ref key = intern(name);
    return load_global(fn->globals, fn->builtins, key.get());
}

Ref Call::global(PyObject* name) const { return load_global(fn->globals, fn->builtins, name); }

namespace {

// Generic getattr would return our own function bound to `self`, and get
// there without running Python code: the type uses the generic lookup, the
// class attribute is our function (a non-data descriptor, so the instance
// dict comes first), and the instance dict lacks the name.
PyObject* own_method(const Call& caller, PyObject* self, PyObject* name, const FunctionSpec& spec) {
    PyTypeObject* type = Py_TYPE(self);
    if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
    PyObject* found = compat::type_lookup(type, name);
    auto* state = static_cast<ModuleState*>(caller.module_state());
    if (found == nullptr || Py_TYPE(found) != reinterpret_cast<PyTypeObject*>(state->function_type) ||
        as_function(found)->spec != &spec) {
        return nullptr;
    }
    if ((type->tp_flags & Py_TPFLAGS_MANAGED_DICT) != 0 || type->tp_dictoffset != 0) {
        Ref dict = check(PyObject_GenericGetDict(self, nullptr));
        if (PyDict_GetItemWithError(dict.get(), name) != nullptr) return nullptr;
        if (PyErr_Occurred()) throw PyError{};
    }
    return found;
}

}  // namespace

bool finds_own_method(const Call& caller, PyObject* self, PyObject* name, const FunctionSpec& spec) {
    return own_method(caller, self, name, spec) != nullptr;
}

Method::Method(const Call& caller, PyObject* self, PyObject* name, const FunctionSpec& spec) : self_(self) {
    if (PyObject* fn = own_method(caller, self, name, spec)) {
        own_ = Ref::borrow(fn);
    } else {
        bound_ = check(PyObject_GetAttr(self, name));
    }
}

Ref Method::operator()(std::initializer_list<PyObject*> args) const {
    std::array<PyObject*, max_params + 1> slots{};
    std::size_t n = 0;
    if (own_) slots[n++] = self_;
    if (args.size() + n > slots.size()) raise(PyExc_SystemError, "too many arguments for a native call");
    for (PyObject* a : args) slots[n++] = a;
    if (own_) {
        FunctionObject* fn = as_function(own_.get());
        // What the vectorcall would do once binding had found nothing to
        // report: every parameter given positionally, in order.
        if (!fn->spec->varkw && static_cast<Py_ssize_t>(n) == fn->nparams) {
            return fn->spec->body(Call{fn, slots.data(), nullptr});
        }
        return check(PyObject_Vectorcall(own_.get(), slots.data(), n, nullptr));
    }
    return check(PyObject_Vectorcall(bound_.get(), slots.data(), n, nullptr));
}

void* Call::module_state() const { return PyType_GetModuleState(Py_TYPE(fn)); }

}  // namespace morbex
