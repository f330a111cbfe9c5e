// Argument binding: CPython's initialize_locals, and Cython's argument parser.
#include "binder.hpp"
#include <algorithm>
#include "error.hpp"

namespace morbex {
namespace {

// Index of the parameter called `key`, or -1. Pointer comparison first (names
// are normally interned), then equality, since keyword names may be str
// subclasses.
Py_ssize_t find_param(PyObject* names, PyObject* key, Py_ssize_t from, Py_ssize_t to) {
    for (Py_ssize_t j = from; j < to; ++j) {
        if (PyTuple_GET_ITEM(names, j) == key) return j;
    }
    for (Py_ssize_t j = from; j < to; ++j) {
        if (check(PyObject_RichCompareBool(key, PyTuple_GET_ITEM(names, j), Py_EQ))) return j;
    }
    return -1;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as the interpreter lists names.
Ref format_missing(PyObject* names) {
    Py_ssize_t count = PyList_GET_SIZE(names);
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref r = check(PyObject_Repr(PyList_GET_ITEM(names, i)));
        check(PyList_SetItem(names, i, r.release()));
    }
    if (count == 1) return Ref::borrow(PyList_GET_ITEM(names, 0));
    if (count == 2) {
        return check(PyUnicode_FromFormat("%U and %U", PyList_GET_ITEM(names, 0),
                                          PyList_GET_ITEM(names, 1)));
    }
    Ref head = check(PyList_GetSlice(names, 0, count - 1));
    Ref sep = check(PyUnicode_FromString(", "));
    Ref joined = check(PyUnicode_Join(sep.get(), head.get()));
    return check(PyUnicode_FromFormat("%U, and %U", joined.get(), PyList_GET_ITEM(names, count - 1)));
}

void bind_python(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** bound, Ref& kwargs) {
    const Py_ssize_t n = fn->nparams;
    std::copy_n(args, std::min(nargs, n), bound);
    if (fn->spec->varkw) kwargs = check(PyDict_New());

    // Keywords first, in call order: the interpreter reports them before
    // counting positionals.
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        PyObject* value = args[nargs + i];
        if (!PyUnicode_Check(key)) {
            raise_format(PyExc_TypeError, "%U() keywords must be strings", fn->qualname);
        }
        Py_ssize_t j = find_param(fn->param_names, key, 0, n);
        if (j < 0) {
            if (!kwargs) {
                raise_format(PyExc_TypeError, "%U() got an unexpected keyword argument '%S'",
                             fn->qualname, key);
            }
            check(PyDict_SetItem(kwargs.get(), key, value));
            continue;
        }
        if (bound[j] != nullptr) {
            raise_format(PyExc_TypeError, "%U() got multiple values for argument '%S'", fn->qualname, key);
        }
        bound[j] = value;
    }

    if (nargs > n) {
        raise_format(PyExc_TypeError, "%U() takes %zd positional argument%s but %zd %s given", fn->qualname,
                     n, n == 1 ? "" : "s", nargs, nargs == 1 ? "was" : "were");
    }

    Ref missing = check(PyList_New(0));
    for (Py_ssize_t j = 0; j < n; ++j) {
        if (bound[j] == nullptr) check(PyList_Append(missing.get(), PyTuple_GET_ITEM(fn->param_names, j)));
    }
    Py_ssize_t nmissing = PyList_GET_SIZE(missing.get());
    if (nmissing > 0) {
        Ref listed = format_missing(missing.get());
        raise_format(PyExc_TypeError, "%U() missing %i required positional argument%s: %U", fn->qualname,
                     static_cast<int>(nmissing), nmissing == 1 ? "" : "s", listed.get());
    }
}

[[noreturn]] void cython_argtuple_invalid(const char* name, Py_ssize_t expected, Py_ssize_t given) {
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 "exactly", expected, expected == 1 ? "" : "s", given);
}

void bind_cython(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                 PyObject** bound) {
    const char* name = fn->spec->name;
    const Py_ssize_t n = fn->nparams;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != n) cython_argtuple_invalid(name, n, nargs);
        std::copy_n(args, n, bound);
        return;
    }
    if (nargs > n) cython_argtuple_invalid(name, n, nargs);
    std::copy_n(args, nargs, bound);

    // Parameters not given positionally are taken by name, in order; the
    // first one missing is reported as a short positional count.
    Py_ssize_t kw_left = nkw;
    for (Py_ssize_t j = nargs; j < n; ++j) {
        Py_ssize_t k = find_param(kwnames, PyTuple_GET_ITEM(fn->param_names, j), 0, nkw);
        if (k < 0) cython_argtuple_invalid(name, n, j);
        bound[j] = args[nargs + k];
        --kw_left;
    }
    if (kw_left == 0) return;

    // Whatever keywords remain: a parameter already given positionally, or
    // an unknown name, in call order.
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, i);
        if (find_param(fn->param_names, key, nargs, n) >= 0) continue;
        if (find_param(fn->param_names, key, 0, nargs) >= 0) {
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name, key);
        }
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name, key);
    }
}

}  // namespace

void bind_arguments(FunctionObject* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** bound, Ref& kwargs) {
    if (fn->spec->style == ArgStyle::Cython) {
        bind_cython(fn, args, nargs, kwnames, bound);
    } else {
        bind_python(fn, args, nargs, kwnames, bound, kwargs);
    }
}

}  // namespace morbex
