// Tickers in Yahoo Finance's form, the one ticker_suffix is written in.
//
// Yahoo writes brokers' symbols its own way: LSE codes lose their trailing
// dot ("BP." is "BP"), a share class follows a dash ("NOVO B" and "BRK.B" are
// "NOVO-B" and "BRK-B"), and Hong Kong codes have four digits ("700.HK" is
// "0700.HK"). A symbol already in that form is returned as it is.
#include <algorithm>
#include <cstring>
#include "yahoo.hpp"

namespace morbex::brokerage {
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

}  // namespace morbex::brokerage
