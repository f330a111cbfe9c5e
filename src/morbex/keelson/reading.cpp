// Reading from DEGIRO once logged in: the connector's data calls, which
// answer None on any failure, made to fail with a ConnectionError that says
// what could not be read; and the portfolio's rows in the shape the holdings
// are selected from.
#include <cstring>
#include "handler.hpp"
#include "keelson.hpp"

namespace morbex::keelson {
namespace {

// Why the last request of this thread through `trading_api` failed, for a
// message; empty when nothing is known.
Ref reason(PyObject* trading_api) {
    const Outcome outcome = last_outcome(trading_api);
    switch (outcome.kind) {
    case Outcome::timed_out:
        return check(PyUnicode_FromFormat("no answer within %S s", outcome.timeout.get()));
    case Outcome::unreachable:
        return str("the connection failed");
    case Outcome::answered:
        if (outcome.status == 401) return str("HTTP 401: the session has expired or was closed");
        if (outcome.status >= 400) return check(PyUnicode_FromFormat("HTTP %ld", outcome.status));
        return str("an answer that was not understood");
    case Outcome::unknown:
        break;
    }
    return Ref();
}

[[noreturn]] void could_not_read(const Call& c, const char* what, PyObject* why) {
    Ref connection_error = c.global("ConnectionError");
    Ref message = why != nullptr ? check(PyUnicode_FromFormat("Could not read %s from DEGIRO (%U); logging in again "
                                                              "may help",
                                                              what, why))
                                 : check(PyUnicode_FromFormat("Could not read %s from DEGIRO; logging in again may "
                                                              "help",
                                                              what));
    raise_new(connection_error.get(), message.get());
}

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

Ref read_from(const Call& c, PyObject* trading_api, const char* method, std::initializer_list<Kw> kwargs,
              const char* what) {
    Ref result;
    try {
        result = call_method(trading_api, method, {}, kwargs);
    } catch (const PyError&) {
        // The connector's own idle expiry: it refuses to send at all.
        Handler caught;
        Ref timeout_error = c.global("TimeoutError");
        if (!caught.matches(timeout_error.get())) caught.reraise();
        Ref why = str("the session has expired");
        could_not_read(c, what, why.get());
    }
    if (result.get() != Py_None) return result;
    Ref why = reason(trading_api);
    could_not_read(c, what, why.get());
}

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
