// The error bridge: the interpreter's error indicator is the only truth.
//
// A C++ PyError carries no information; it only unwinds the C++ stack after a
// C API call has set the indicator. It is caught once, at the slot or
// vectorcall boundary (see `boundary`), which then returns NULL / -1 to the
// interpreter. No C++ exception ever crosses into CPython.
#pragma once
#include <Python.h>
#include <new>
#include "ref.hpp"

namespace morbex {

struct PyError {};

// A new reference from the C API, or unwind if it failed.
inline Ref check(PyObject* result) {
    if (result == nullptr) throw PyError{};
    return Ref::steal(result);
}

// A status from the C API (-1 on failure), or unwind.
inline int check(int status) {
    if (status < 0) throw PyError{};
    return status;
}

[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PyError{};
}

template <class... Args>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyError{};
}

// Run `body` where the interpreter called us. Anything thrown is turned into
// a set error indicator and the slot's failure value.
template <class Result, class Body>
Result boundary(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const PyError&) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "native code failed without setting an exception");
        }
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception in native code");
    }
    return failure;
}

}  // namespace morbex
