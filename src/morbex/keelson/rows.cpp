// The portfolio's rows decoded: DEGIRO's attribute lists as {name: value},
// every number a float, as the connector's old converter gave them.
#include <cstring>
#include "plain.hpp"
#include "rows.hpp"
#include "state.hpp"

namespace morbex::keelson {
namespace {

// A JSON value as the portfolio's old converter gave it: every number (not
// a bool) a float, objects and arrays converted throughout.
Ref converted(PyObject* v) {
    if (PyFloat_CheckExact(v) || PyUnicode_CheckExact(v) || PyBool_Check(v) || v == Py_None) return Ref::borrow(v);
    if (PyLong_Check(v) || PyFloat_Check(v)) return check(PyNumber_Float(v));
    if (PyDict_Check(v)) {
        Ref out = check(PyDict_New());
        Py_ssize_t position = 0;
        PyObject *key, *value;
        while (PyDict_Next(v, &position, &key, &value)) {
            Ref item = converted(value);
            check(PyDict_SetItem(out.get(), key, item.get()));
        }
        return out;
    }
    if (PyList_Check(v)) {
        const Py_ssize_t size = PyList_GET_SIZE(v);
        Ref out = check(PyList_New(size));
        for (Py_ssize_t i = 0; i < size; ++i) PyList_SET_ITEM(out.get(), i, converted(PyList_GET_ITEM(v, i)).release());
        return out;
    }
    return Ref::borrow(v);
}

}  // namespace

Ref flatten_row(PyObject* row) {
    // {attribute["name"]: attribute["value"] for attribute in row["value"] if "value" in attribute}
    Ref value_key = intern("value"), name_key = intern("name");
    Ref attributes = getitem(row, value_key.get());
    Ref flat = check(PyDict_New());
    Ref iterator = check(PyObject_GetIter(attributes.get()));
    while (Ref attribute = next(iterator.get())) {
        if (!check(PySequence_Contains(attribute.get(), value_key.get()))) continue;
        Ref name = getitem(attribute.get(), name_key.get());
        Ref value = getitem(attribute.get(), value_key.get());
        Ref as_read = converted(value.get());
        check(PyObject_SetItem(flat.get(), name.get(), as_read.get()));
    }
    return flat;
}

Ref flatten_rows(PyObject* rows) {
    Ref flat = check(PyList_New(0));
    Ref iterator = check(PyObject_GetIter(rows));
    while (Ref row = next(iterator.get())) {
        Ref one = flatten_row(row.get());
        check(PyList_Append(flat.get(), one.get()));
    }
    return flat;
}

namespace {

// Which of the three attributes the selection reads a name is: `value`, `id`,
// `size`, or none (-1). Rows carry a dozen attributes, so most names are
// told apart by their length and first letter alone.
int field_of(PyObject* name) {
    if (!PyUnicode_IS_COMPACT_ASCII(name)) return -1;
    const auto* text = static_cast<const char*>(PyUnicode_DATA(name));
    switch (PyUnicode_GET_LENGTH(name)) {
    case 5:
        return std::memcmp(text, "value", 5) == 0 ? 0 : -1;
    case 2:
        return std::memcmp(text, "id", 2) == 0 ? 1 : -1;
    case 4:
        return std::memcmp(text, "size", 4) == 0 ? 2 : -1;
    default:
        return -1;
    }
}

}  // namespace

bool raw_fields(PyObject* const* k, PyObject* row, Ref& value, Ref& id, Ref& size) {
    if (!PyDict_CheckExact(row)) return false;
    PyObject* attributes = lookup(row, k[k_value]);
    if (attributes == nullptr || !PyList_CheckExact(attributes)) return false;
    PyObject* found[3] = {nullptr, nullptr, nullptr};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attributes); ++i) {
        PyObject* attribute = PyList_GET_ITEM(attributes, i);
        if (!PyDict_CheckExact(attribute)) return false;
        PyObject* name = lookup(attribute, k[k_name]);
        if (name == nullptr || !PyUnicode_CheckExact(name)) return false;
        const int field = field_of(name);
        if (field < 0) continue;
        // Later attributes of the same name win, as they do in a dict.
        if (PyObject* v = lookup(attribute, k[k_value])) found[field] = v;
    }
    if (found[0] == nullptr || found[1] == nullptr || found[2] == nullptr) return false;
    value = converted(found[0]);
    id = converted(found[1]);
    size = converted(found[2]);
    return true;
}

}  // namespace morbex::keelson
