// Reading a broker's login keywords: each refused by name, never by value.
#pragma once
#include <Python.h>
#include "function.hpp"
#include "ops.hpp"

namespace morbex::brokerage {

// kwargs.get(key): None when absent.
Ref keyword(PyObject* kwargs, const char* key);

// raise error(format % args), `error` a builtin looked up at the call.
[[noreturn]] void refuse(const Call& c, const char* error, PyObject* message);
template <class... Args>
[[noreturn]] void refuse(const Call& c, const char* error, const char* format, Args... args) {
    Ref message = check(PyUnicode_FromFormat(format, args...));
    refuse(c, error, message.get());
}

// A number of seconds given for `name`, or `fallback` when None or absent:
// TypeError for anything but an int or float, ValueError for one that is not
// finite, negative, or zero where zero is not allowed.
Ref seconds(const Call& c, PyObject* kwargs, const char* name, long fallback, bool zero_allowed);

// A str credential given for `name`: TypeError when it is not a str,
// ValueError when it is missing or empty (with `missing` as the message).
Ref text_credential(const Call& c, PyObject* kwargs, const char* name, const char* missing);

}  // namespace morbex::brokerage
