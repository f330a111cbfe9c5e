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

// Which attribute of a row a name is: a RowField, or -1 for one that is
// not read. Rows carry a dozen attributes, so most names are told apart by
// their length and first letter alone; the worth fields count only when
// asked for.
enum RowField { r_value, r_id, r_size, r_price, r_break_even_price, r_pl_base, row_field_count };

int field_of(PyObject* name, bool worth) {
    if (!PyUnicode_IS_COMPACT_ASCII(name)) return -1;
    const auto* text = static_cast<const char*>(PyUnicode_DATA(name));
    switch (PyUnicode_GET_LENGTH(name)) {
    case 5:
        if (std::memcmp(text, "value", 5) == 0) return r_value;
        return worth && std::memcmp(text, "price", 5) == 0 ? r_price : -1;
    case 2:
        return std::memcmp(text, "id", 2) == 0 ? r_id : -1;
    case 4:
        return std::memcmp(text, "size", 4) == 0 ? r_size : -1;
    case 6:
        return worth && std::memcmp(text, "plBase", 6) == 0 ? r_pl_base : -1;
    case 14:
        return worth && std::memcmp(text, "breakEvenPrice", 14) == 0 ? r_break_even_price : -1;
    default:
        return -1;
    }
}

}  // namespace

bool raw_fields(PyObject* const* k, PyObject* row, bool worth, RowFields& out) {
    if (!PyDict_CheckExact(row)) return false;
    PyObject* attributes = lookup(row, k[k_value]);
    if (attributes == nullptr || !PyList_CheckExact(attributes)) return false;
    PyObject* found[row_field_count] = {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(attributes); ++i) {
        PyObject* attribute = PyList_GET_ITEM(attributes, i);
        if (!PyDict_CheckExact(attribute)) return false;
        PyObject* name = lookup(attribute, k[k_name]);
        if (name == nullptr || !PyUnicode_CheckExact(name)) return false;
        const int field = field_of(name, worth);
        if (field < 0) continue;
        // Later attributes of the same name win, as they do in a dict.
        if (PyObject* v = lookup(attribute, k[k_value])) found[field] = v;
    }
    if (found[r_value] == nullptr || found[r_id] == nullptr || found[r_size] == nullptr) return false;
    out.value = converted(found[r_value]);
    out.id = converted(found[r_id]);
    out.size = converted(found[r_size]);
    if (worth) {
        if (found[r_price] != nullptr) out.price = converted(found[r_price]);
        if (found[r_break_even_price] != nullptr) out.break_even_price = converted(found[r_break_even_price]);
        out.pl_base = Ref::borrow(found[r_pl_base]);
    }
    return true;
}

}  // namespace morbex::keelson
