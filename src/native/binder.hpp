// Binding a vectorcall's arguments to parameters, with the exact error texts
// and check order of CPython 3.12 functions (or of Cython-compiled ones).
#pragma once
#include "function.hpp"

namespace morbex {

// Fills `bound` (fn->nparams borrowed slots) and, for **kwargs, `kwargs` with
// a new dict. Raises TypeError as the interpreter would.
void bind_arguments(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, PyObject** bound, Ref& kwargs);

}  // namespace morbex
