// An `except` clause for native code: what the interpreter does between
// catching an exception and leaving the handler.
#pragma once
#include <Python.h>
#include "compat.hpp"
#include "error.hpp"

namespace morbex {

// Construct right after a C API call failed. While the Handler lives, the
// caught exception is the one being handled (sys.exception()), so anything
// raised in the handler body gets it as __context__ and no __cause__, as
// `raise` inside `except` does. The previous state is restored on exit.
class Handler {
public:
    Handler();
    ~Handler();
    Handler(const Handler&) = delete;
    Handler& operator=(const Handler&) = delete;

    PyObject* exception() const { return caught_.get(); }
    // `except cls:` — validates `cls` as the interpreter does, then matches.
    bool matches(PyObject* cls) const;
    // Bare `raise` in the handler, or no clause matched.
    [[noreturn]] void reraise();

private:
    Ref caught_;
    compat::ExceptionStackItem* item_;
    PyObject* saved_;
};

}  // namespace morbex
