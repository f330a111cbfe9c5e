// Plain data: what the interpreter hashes, compares, tests, converts and
// formats with its own code alone, so that reading it runs no Python code.
#pragma once
#include <Python.h>
#include "error.hpp"
#include "function.hpp"
#include "ops.hpp"

namespace morbex::keelson {

// A dict key or an id: hashing and comparing it runs no Python code.
inline bool plain_key(PyObject* key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

// A value that compares, tests and formats without Python code.
inline bool plain_value(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v);
}

// dict[key] for an exact dict and a plain key: borrowed, or null if missing.
inline PyObject* lookup(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred()) throw PyError{};
    return found;
}

// Whether the `int` a call looks up is the built-in one.
bool int_is_ours(const Call& c);
// The value of an exact int, or of ASCII digits (what ids are), that fits in
// a long long.
bool small_int_value(PyObject* v, long long& out);
// int(id) for a plain id; empty, with no error set, where int() raises ValueError.
Ref int_of(PyObject* id);
// int_type(x), `int` as the caller looked it up.
Ref to_int(PyObject* int_type, PyObject* x);
// next(it), or an empty Ref at the end.
Ref next(PyObject* iterator);

// `for item in iterable: body(item)`. An exact list is walked by index,
// reading its length at each step as its iterator does, and that runs no
// Python code; any other iterable's next() may, so `stepped()` is told.
template <class Body, class Stepped>
void for_each(PyObject* iterable, Body&& body, Stepped&& stepped) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            body(item.get());
        }
        return;
    }
    Ref iterator = check(PyObject_GetIter(iterable));
    while (Ref item = next(iterator.get())) {
        stepped();
        body(item.get());
    }
}

}  // namespace morbex::keelson
