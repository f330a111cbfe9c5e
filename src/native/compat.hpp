// The interpreter's private API that morbex relies on, in one place, each use
// with the public one that replaces it where a newer CPython has it.
#pragma once
#include <Python.h>

namespace morbex::compat {

// getattr(obj, name, <missing>) without raising and clearing AttributeError:
// public as PyObject_GetOptionalAttr from 3.13.
inline int get_optional_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyObject_GetOptionalAttr(obj, name, out);
#else
    return _PyObject_LookupAttr(obj, name, out);
#endif
}

// A name in a type's MRO, borrowed, with no descriptor called and no error
// set: the only way to know what attribute lookup would find without running
// Python code. No public equivalent.
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) { return _PyType_Lookup(type, name); }

// The thread's stack of handled exceptions (sys.exception()): saved and
// restored raw around a native `except` body, as PUSH_EXC_INFO/POP_EXCEPT do.
using ExceptionStackItem = _PyErr_StackItem;
inline ExceptionStackItem* handled_exceptions() { return PyThreadState_Get()->exc_info; }

// A read-only object member that reads as None when NULL, as a Python
// function's __globals__ does (Py_T_OBJECT_EX would raise instead).
inline constexpr int member_object_or_none = _Py_T_OBJECT;

}  // namespace morbex::compat
