// Reading a broker's login keywords (see keywords.hpp).
#include "keywords.hpp"
#include <cmath>

namespace morbex::brokerage {

Ref keyword(PyObject* kwargs, const char* key) {
    Ref name = intern(key);
    PyObject* found = PyDict_GetItemWithError(kwargs, name.get());
    if (found == nullptr && PyErr_Occurred()) throw PyError{};
    return found ? Ref::borrow(found) : none();
}

void refuse(const Call& c, const char* error, PyObject* message) {
    Ref cls = c.global(error);
    raise_new(cls.get(), message);
}

Ref seconds(const Call& c, PyObject* kwargs, const char* name, long fallback, bool zero_allowed) {
    Ref value = keyword(kwargs, name);
    if (value.get() == Py_None) return check(PyLong_FromLong(fallback));
    if (PyBool_Check(value.get()) || !(PyLong_Check(value.get()) || PyFloat_Check(value.get()))) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value.get())));
        refuse(c, "TypeError", "'%s' must be a number of seconds, not %U", name, type_name.get());
    }
    const double v = PyFloat_Check(value.get()) ? PyFloat_AS_DOUBLE(value.get()) : PyLong_AsDouble(value.get());
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    if (!std::isfinite(v) || v < 0 || (v == 0 && !zero_allowed)) {
        refuse(c, "ValueError",
               zero_allowed ? "'%s' must be a number of seconds, 0 or more"
                            : "'%s' must be a number of seconds, more than 0",
               name);
    }
    return value;
}

Ref text_credential(const Call& c, PyObject* kwargs, const char* name, const char* missing) {
    Ref value = keyword(kwargs, name);
    if (value.get() == Py_None) refuse(c, "ValueError", missing);
    if (!PyUnicode_Check(value.get())) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value.get())));
        refuse(c, "TypeError", "'%s' must be str, not %U", name, type_name.get());
    }
    if (PyUnicode_GET_LENGTH(value.get()) == 0) refuse(c, "ValueError", missing);
    return value;
}

}  // namespace morbex::brokerage
