// Building a class as a `class` statement does.
#include "classes.hpp"
#include "error.hpp"
#include "ops.hpp"

namespace morbex {
namespace {

// _PyType_CalculateMetaclass: the most derived metaclass of the bases.
Ref calculate_metaclass(PyObject* bases) {
    PyTypeObject* winner = PyTuple_GET_SIZE(bases) == 0 ? &PyType_Type : Py_TYPE(PyTuple_GET_ITEM(bases, 0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases, i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return Ref::borrow(reinterpret_cast<PyObject*>(winner));
}

}  // namespace

ClassBody::ClassBody(const Module& module, const char* name, std::initializer_list<const char*> bases)
    : module_(module), name_(str(name)) {
    bases_ = check(PyTuple_New(static_cast<Py_ssize_t>(bases.size())));
    Py_ssize_t i = 0;
    for (const char* base : bases) PyTuple_SET_ITEM(bases_.get(), i++, module.name(base).release());
    metaclass_ = calculate_metaclass(bases_.get());

    Ref prepare;
    Ref prepare_name = intern("__prepare__");
    if (lookup_attr(metaclass_.get(), prepare_name.get(), prepare)) {
        namespace_ = call(prepare.get(), {name_.get(), bases_.get()});
        if (!PyMapping_Check(namespace_.get())) {
            PyErr_Format(PyExc_TypeError, "%.200s.__prepare__() must return a mapping, not %.200s",
                         PyType_Check(metaclass_.get())
                             ? reinterpret_cast<PyTypeObject*>(metaclass_.get())->tp_name
                             : "<metaclass>",
                         Py_TYPE(namespace_.get())->tp_name);
            throw PyError{};
        }
    } else {
        namespace_ = check(PyDict_New());
    }
    Ref module_name = module.name("__name__");
    assign("__module__", module_name.get());
    assign("__qualname__", name_.get());
#if PY_VERSION_HEX >= 0x030D0000
    Ref first_line = check(PyLong_FromLong(1));
    assign("__firstlineno__", first_line.get());
#endif
}

Ref ClassBody::lookup(const char* name) const {
    Ref key = intern(name);
    if (PyDict_CheckExact(namespace_.get())) {
        PyObject* found = PyDict_GetItemWithError(namespace_.get(), key.get());
        if (found != nullptr) return Ref::borrow(found);
        if (PyErr_Occurred()) throw PyError{};
    } else {
        PyObject* found = PyObject_GetItem(namespace_.get(), key.get());
        if (found != nullptr) return Ref::steal(found);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PyError{};
        PyErr_Clear();
    }
    return module_.name(name);
}

void ClassBody::def(const FunctionSpec& spec, const char* decorator) {
    Ref wrap = decorator ? lookup(decorator) : Ref();
    Ref qualname = check(PyUnicode_FromFormat("%U.%s", name_.get(), spec.name));
    Ref fn = module_.def(spec, qualname.get());
    if (wrap) fn = call(wrap.get(), {fn.get()});
    Ref key = intern(spec.name);
    check(PyObject_SetItem(namespace_.get(), key.get(), fn.get()));
}

// PyObject_SetItem, not PyDict_SetItem: an enum's namespace does its member
// bookkeeping in __setitem__.
void ClassBody::assign(const char* name, PyObject* value) {
    Ref key = intern(name);
    check(PyObject_SetItem(namespace_.get(), key.get(), value));
}

void ClassBody::static_attributes(std::initializer_list<const char*> names) {
    static_attributes_ = check(PyList_New(0));
    for (const char* n : names) {
        Ref attr = str(n);
        check(PyList_Append(static_attributes_.get(), attr.get()));
    }
    check(PyList_Sort(static_attributes_.get()));
}

Ref ClassBody::create() {
#if PY_VERSION_HEX >= 0x030D0000
    Ref names = static_attributes_ ? check(PyList_AsTuple(static_attributes_.get())) : check(PyTuple_New(0));
    assign("__static_attributes__", names.get());
#endif
    return call(metaclass_.get(), {name_.get(), bases_.get(), namespace_.get()});
}

}  // namespace morbex
