// Python operations spelled as in Python source, failing through the error bridge.
#pragma once
#include <Python.h>
#include <initializer_list>
#include "error.hpp"
#include "ref.hpp"

namespace morbex {

struct Kw {
    const char* name;
    PyObject* value;  // borrowed
};

Ref intern(const char* s);
Ref str(const char* s);

Ref getattr(PyObject* obj, const char* name);
// getattr(obj, name, <missing>): false, with no error set, when there is no
// such attribute.
bool lookup_attr(PyObject* obj, PyObject* name, Ref& out);
void setattr(PyObject* obj, const char* name, PyObject* value);
Ref getitem(PyObject* obj, PyObject* key);
Ref getitem(PyObject* obj, const char* key);

// `bool(obj)`.
bool truth(PyObject* obj);
// `a == b` as an `if` takes it: the comparison, then its truth value. Unlike
// PyObject_RichCompareBool there is no identity shortcut (nan == nan is false).
bool eq(PyObject* a, PyObject* b);
// `f"{obj}"`: format(obj, "").
Ref format(PyObject* obj);

// f(*args, **kwargs), and obj.name(*args, **kwargs).
Ref call(PyObject* callable, std::initializer_list<PyObject*> args = {}, std::initializer_list<Kw> kwargs = {});
Ref call_method(PyObject* obj, const char* name, std::initializer_list<PyObject*> args = {},
                std::initializer_list<Kw> kwargs = {});

// `raise exc`: a class is instantiated first, as the statement does.
[[noreturn]] void raise_exception(PyObject* exc);

// `raise cls(message)`, with `cls` as looked up by the caller.
[[noreturn]] void raise_new(PyObject* cls, PyObject* message);

}  // namespace morbex
