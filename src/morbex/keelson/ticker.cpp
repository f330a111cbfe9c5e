// Tickers with their exchange's suffix, as _get_ticker_with_suffix forms them:
// the ticker Yahoo Finance knows the product by.
//
//     def _get_ticker_with_suffix(self, ticker_name, exchange_mic, exchange_country,
//                                 exchange_mic_to_suffix_dict):
//         suffix = exchange_mic_to_suffix_dict.get(exchange_mic)
//         if isinstance(ticker_name, str):
//             ticker_name = <Yahoo's form of it>
//         if not suffix or exchange_country == "US":
//             return ticker_name
//         if suffix == "HK" and <ticker_name is ASCII digits>:
//             ticker_name = ticker_name.zfill(4)
//         return f"{ticker_name}.{suffix}"
//
// Yahoo writes DEGIRO's symbols its own way: LSE codes lose their trailing
// dot ("BP." is "BP"), a share class follows a dash ("NOVO B" and "BRK.B" are
// "NOVO-B" and "BRK-B"), and Hong Kong codes have four digits ("700.HK" is
// "0700.HK"). A symbol already in that form is returned as it is.
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

// "HK": Yahoo's suffix for the Hong Kong exchange.
bool hong_kong(PyObject* suffix) {
    return PyUnicode_Check(suffix) && PyUnicode_CompareWithASCIIString(suffix, "HK") == 0;
}

// A str of ASCII digits shorter than four, zero-padded to four; else itself.
Ref four_digits(PyObject* code) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(code);
    if (length == 0 || length >= 4) return Ref::borrow(code);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(code, i);
        if (ch < '0' || ch > '9') return Ref::borrow(code);
    }
    Ref padded = check(PyUnicode_New(4, 127));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(padded.get());
    for (Py_ssize_t i = 0; i < 4 - length; ++i) out[i] = '0';
    for (Py_ssize_t i = 0; i < length; ++i) out[4 - length + i] = static_cast<Py_UCS1>(PyUnicode_READ_CHAR(code, i));
    return padded;
}

}  // namespace

Ref yahoo_symbol(PyObject* symbol) {
    if (!PyUnicode_Check(symbol)) return Ref::borrow(symbol);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(symbol);
    Py_ssize_t end = length;
    while (end > 0 && PyUnicode_READ_CHAR(symbol, end - 1) == '.') --end;
    if (end == 0) return Ref::borrow(symbol);  // nothing but dots: nothing Yahoo would know
    bool inner = false;
    for (Py_ssize_t i = 0; i < end && !inner; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(symbol, i);
        inner = ch == '.' || ch == ' ';
    }
    if (!inner && end == length) return Ref::borrow(symbol);
    Ref out = check(PyUnicode_New(end, PyUnicode_MAX_CHAR_VALUE(symbol)));
    for (Py_ssize_t i = 0; i < end; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(symbol, i);
        check(PyUnicode_WriteChar(out.get(), i, ch == '.' || ch == ' ' ? '-' : ch));
    }
    return out;
}

Ref ticker_for(PyObject* symbol, PyObject* suffix) {
    Ref name = yahoo_symbol(symbol);
    if (suffix == nullptr) return name;
    if (PyUnicode_Check(name.get()) && hong_kong(suffix)) name = four_digits(name.get());
    Ref head = text(name.get());
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
    if (!truth(suffix.get()) || eq(c[3], k[k_US])) return yahoo_symbol(ticker_name);
    return ticker_for(ticker_name, suffix.get());
}

}  // namespace morbex::keelson
