// Plain data for morbex.keelson: the module's interned names, and ids and
// ints as the interpreter's own code converts them.
#include "plain.hpp"
#include "state.hpp"

namespace morbex::keelson {
namespace {

constexpr const char* name_texts[] = {
#define KEELSON_TEXT(id, text) text,
    KEELSON_NAMES(KEELSON_TEXT)
#undef KEELSON_TEXT
};
static_assert(sizeof(name_texts) / sizeof(name_texts[0]) == name_count);

// Whether LOAD_GLOBAL `name` would give `expected`; raises nothing when the
// name is missing.
bool global_is(const Call& c, PyObject* name, PyObject* expected) {
    if (c.fn->globals == nullptr || c.fn->builtins == nullptr) return false;
    PyObject* found = lookup(c.fn->globals, name);
    return (found != nullptr ? found : lookup(c.fn->builtins, name)) == expected;
}

}  // namespace

void KeelsonState::make(PyObject* json_module) {
    for (std::size_t i = 0; i < name_count; ++i) names[i] = intern(name_texts[i]).release();
    keys.make();
    json.keep(json_module);
}

bool int_is_ours(const Call& c) {
    return global_is(c, names(c)[k_int_], reinterpret_cast<PyObject*>(&PyLong_Type));
}

// The value of an exact int, or of ASCII digits (what ids are), that fits in
// a long long.
bool small_int_value(PyObject* v, long long& out) {
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (out == -1 && PyErr_Occurred()) throw PyError{};
        return overflow == 0;
    }
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_ASCII(v)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(v);
    if (length == 0 || length > 18) return false;
    const auto* digits = static_cast<const unsigned char*>(PyUnicode_DATA(v));
    out = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        out = out * 10 + (digits[i] - '0');
    }
    return true;
}

// int(id) for a plain id, without the general parser when it is plain
// digits; empty, with no error set, where int() raises ValueError.
Ref int_of(PyObject* id) {
    if (PyLong_CheckExact(id)) return Ref::borrow(id);  // int(i) is i itself
    long long value;
    if (small_int_value(id, value)) return check(PyLong_FromLongLong(value));
    Ref converted = Ref::steal(PyLong_FromUnicodeObject(id, 10));
    if (!converted) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        PyErr_Clear();
    }
    return converted;
}

// int_type(x), `int` as the caller looked it up: for the built-in int and a
// plain id, without the call.
Ref to_int(PyObject* int_type, PyObject* x) {
    if (int_type == reinterpret_cast<PyObject*>(&PyLong_Type) && plain_key(x)) {
        if (Ref value = int_of(x)) return value;  // else int() raises its ValueError below
    }
    return call(int_type, {x});
}

// next(it), or an empty Ref at the end.
Ref next(PyObject* iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw PyError{};
    return item;
}

}  // namespace morbex::keelson
