// Python operations spelled as in Python source.
#include "ops.hpp"
#include <array>
#include "compat.hpp"

namespace morbex {

Ref intern(const char* s) { return check(PyUnicode_InternFromString(s)); }
Ref str(const char* s) { return check(PyUnicode_FromString(s)); }

Ref getattr(PyObject* obj, const char* name) {
    Ref key = intern(name);
    return check(PyObject_GetAttr(obj, key.get()));
}

bool lookup_attr(PyObject* obj, PyObject* name, Ref& out) {
    PyObject* value = nullptr;
    int found = compat::get_optional_attr(obj, name, &value);
    check(found);
    out = Ref::steal(value);
    return found > 0;
}

void setattr(PyObject* obj, const char* name, PyObject* value) {
    Ref key = intern(name);
    check(PyObject_SetAttr(obj, key.get(), value));
}

Ref getitem(PyObject* obj, PyObject* key) { return check(PyObject_GetItem(obj, key)); }

Ref getitem(PyObject* obj, const char* key) {
    Ref k = str(key);
    return getitem(obj, k.get());
}

bool truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

bool eq(PyObject* a, PyObject* b) {
    Ref result = check(PyObject_RichCompare(a, b, Py_EQ));
    return truth(result.get());
}

Ref format(PyObject* obj) { return check(PyObject_Format(obj, nullptr)); }

namespace {

constexpr std::size_t max_call_args = 8;

// Lays out [receiver?, args..., kwvalues...] and the kwnames tuple.
struct Vector {
    std::array<PyObject*, max_call_args + 1> slots{};
    std::size_t nargs = 0;
    Ref kwnames;

    Vector(PyObject* receiver, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
        if (args.size() + kwargs.size() + 1 > slots.size()) {
            raise(PyExc_SystemError, "too many arguments for a native call");
        }
        if (receiver) slots[nargs++] = receiver;
        for (PyObject* a : args) slots[nargs++] = a;
        if (kwargs.size() == 0) return;
        kwnames = check(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        std::size_t i = 0;
        for (const Kw& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.get(), i, intern(kw.name).release());
            slots[nargs + i++] = kw.value;
        }
    }
};

}  // namespace

Ref call(PyObject* callable, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
    Vector v(nullptr, args, kwargs);
    return check(PyObject_Vectorcall(callable, v.slots.data(), v.nargs, v.kwnames.get()));
}

Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args,
                std::initializer_list<Kw> kwargs) {
    Ref method = intern(name);
    Vector v(obj, args, kwargs);
    return check(PyObject_VectorcallMethod(method.get(), v.slots.data(), v.nargs, v.kwnames.get()));
}

[[noreturn]] void raise_exception(PyObject* exc) {
    Ref instance;
    if (PyExceptionClass_Check(exc)) {
        instance = check(PyObject_CallNoArgs(exc));
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %R", exc,
                         Py_TYPE(instance.get()));
            throw PyError{};
        }
    } else if (PyExceptionInstance_Check(exc)) {
        instance = Ref::borrow(exc);
    } else {
        raise(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    // PyErr_SetObject chains __context__ to the exception being handled.
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
    throw PyError{};
}

[[noreturn]] void raise_new(PyObject* cls, PyObject* message) {
    Ref exc = call(cls, {message});
    raise_exception(exc.get());
}

}  // namespace morbex
