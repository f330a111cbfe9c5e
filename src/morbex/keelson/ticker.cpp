// Tickers with their exchange's suffix, as _get_ticker_with_suffix forms them.
#include <algorithm>
#include <cstring>
#include "keelson.hpp"

namespace morbex::keelson {
namespace {

// One replacement field of an f-string: text as it is, anything else formatted.
Ref text(PyObject* v) { return PyUnicode_CheckExact(v) ? Ref::borrow(v) : format(v); }

// f"{head}.{tail}" for two str, made in one piece as the f-string's join
// makes it.
Ref dotted(PyObject* head, PyObject* tail) {
    const Py_ssize_t head_length = PyUnicode_GET_LENGTH(head);
    const Py_ssize_t tail_length = PyUnicode_GET_LENGTH(tail);
    const Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(head), PyUnicode_MAX_CHAR_VALUE(tail));
    Ref joined = check(PyUnicode_New(head_length + 1 + tail_length, widest));
    if (PyUnicode_KIND(joined.get()) == PyUnicode_1BYTE_KIND) {  // and so are both pieces
        Py_UCS1* out = PyUnicode_1BYTE_DATA(joined.get());
        std::memcpy(out, PyUnicode_1BYTE_DATA(head), static_cast<std::size_t>(head_length));
        out[head_length] = '.';
        std::memcpy(out + head_length + 1, PyUnicode_1BYTE_DATA(tail), static_cast<std::size_t>(tail_length));
    } else {
        check(static_cast<int>(PyUnicode_CopyCharacters(joined.get(), 0, head, 0, head_length)));
        check(PyUnicode_WriteChar(joined.get(), head_length, '.'));
        check(static_cast<int>(PyUnicode_CopyCharacters(joined.get(), head_length + 1, tail, 0, tail_length)));
    }
    return joined;
}

}  // namespace

Ref suffixed(PyObject* ticker_name, PyObject* suffix) {
    Ref head = text(ticker_name);
    Ref tail = text(suffix);
    return dotted(head.get(), tail.get());
}

// What _get_ticker_with_suffix appends for an exchange, worked out on plain
// data: `suffix` is left empty when the ticker stays bare. False when the
// data is not plain.
bool plain_suffix(PyObject* const* k, PyObject* mic, PyObject* country, PyObject* suffixes, Ref& suffix) {
    if (!PyDict_CheckExact(suffixes) || !(mic == Py_None || plain_key(mic)) || !plain_value(country)) return false;
    PyObject* found = lookup(suffixes, mic);  // .get(mic): None when missing, and None is falsy
    if (found != nullptr && !plain_value(found)) return false;
    const bool bare = found == nullptr || !truth(found) || eq(country, k[k_US]);
    suffix = bare ? Ref() : Ref::borrow(found);
    return true;
}


Ref get_ticker_with_suffix(const Call& c) {
    PyObject* const* k = names(c);
    PyObject* ticker_name = c[1];
    Ref suffix = check(PyObject_CallMethodOneArg(c[4], k[k_get], c[2]));
    if (!truth(suffix.get()) || eq(c[3], k[k_US])) return Ref::borrow(ticker_name);
    return suffixed(ticker_name, suffix.get());
}

}  // namespace morbex::keelson
