// An `except` clause for native code.
#include "handler.hpp"

namespace morbex {

Handler::Handler() : caught_(Ref::steal(PyErr_GetRaisedException())) {
    // PUSH_EXC_INFO. Saved and restored raw: PyErr_SetHandledException writes
    // the current stack item while PyErr_GetHandledException reads the
    // topmost non-empty one, so the pair does not round-trip.
    item_ = compat::handled_exceptions();
    saved_ = item_->exc_value;
    item_->exc_value = Py_XNewRef(caught_.get());
}

Handler::~Handler() {
    // POP_EXCEPT.
    PyObject* current = item_->exc_value;
    item_->exc_value = saved_;
    Py_XDECREF(current);
}

bool Handler::matches(PyObject* cls) const {
    static const char* const cannot_catch =
        "catching classes that do not inherit from BaseException is not allowed";
    if (PyTuple_Check(cls)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cls); ++i) {
            if (!PyExceptionClass_Check(PyTuple_GET_ITEM(cls, i))) raise(PyExc_TypeError, cannot_catch);
        }
    } else if (!PyExceptionClass_Check(cls)) {
        raise(PyExc_TypeError, cannot_catch);
    }
    return PyErr_GivenExceptionMatches(caught_.get(), cls) != 0;
}

void Handler::reraise() {
    PyErr_SetRaisedException(caught_.release());
    throw PyError{};
}

}  // namespace morbex
