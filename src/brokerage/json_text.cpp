// json.dumps(records), written directly when it is the standard library's
// own with its defaults and the records are plain: a list of dicts with str
// keys and str, int, float, bool or None values. The text is the one
// json.dumps gives, character for character: ", " and ": " between items,
// non-ASCII escaped (ensure_ascii), NaN and infinities as NaN and Infinity
// (allow_nan), floats and ints as their repr. Anything else is left to
// json.dumps itself.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include "json_text.hpp"

namespace morbex::brokerage {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

void unicode_escape(std::string& out, Py_UCS4 c) {
    const char escaped[] = {'\\', 'u', hex_digits[(c >> 12) & 0xf], hex_digits[(c >> 8) & 0xf],
                            hex_digits[(c >> 4) & 0xf], hex_digits[c & 0xf]};
    out.append(escaped, sizeof escaped);
}

// A str as the json module's ASCII encoder writes it, quotes included.
void write_str(std::string& out, PyObject* s) {
    out.push_back('"');
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= ' ' && c <= '~' && c != '\\' && c != '"') {
            out.push_back(static_cast<char>(c));
            continue;
        }
        switch (c) {
        case '\\': out.append("\\\\"); break;
        case '"': out.append("\\\""); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        default:
            if (c >= 0x10000) {
                const Py_UCS4 v = c - 0x10000;
                unicode_escape(out, 0xd800 | ((v >> 10) & 0x3ff));
                unicode_escape(out, 0xdc00 | (v & 0x3ff));
            } else {
                unicode_escape(out, c);
            }
        }
    }
    out.push_back('"');
}

// A value json.dumps writes without calling anything but the built-in
// types' own repr; false, with nothing written, for any other.
bool write_value(std::string& out, PyObject* v) {
    if (PyUnicode_CheckExact(v)) {
        write_str(out, v);
    } else if (v == Py_None) {
        out.append("null");
    } else if (v == Py_True) {
        out.append("true");
    } else if (v == Py_False) {
        out.append("false");
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (n == -1 && PyErr_Occurred()) throw PyError{};
        if (overflow == 0) {
            char digits[24];
            const int written = std::snprintf(digits, sizeof digits, "%lld", n);
            out.append(digits, static_cast<std::size_t>(written));
        } else {
            Ref text = check(PyObject_Repr(v));
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
            if (utf8 == nullptr) throw PyError{};
            out.append(utf8, static_cast<std::size_t>(size));
        }
    } else if (PyFloat_CheckExact(v)) {
        const double x = PyFloat_AS_DOUBLE(v);
        if (std::isnan(x)) {
            out.append("NaN");
        } else if (std::isinf(x)) {
            out.append(x > 0 ? "Infinity" : "-Infinity");
        } else {
            // float.__repr__
            char* repr = PyOS_double_to_string(x, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
            if (repr == nullptr) throw PyError{};
            out.append(repr);
            PyMem_Free(repr);
        }
    } else {
        return false;
    }
    return true;
}

bool write_record(std::string& out, PyObject* record) {
    if (!PyDict_CheckExact(record)) return false;
    out.push_back('{');
    Py_ssize_t position = 0;
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(record, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (!first) out.append(", ");
        first = false;
        write_str(out, key);
        out.append(": ");
        if (!write_value(out, value)) return false;
    }
    out.push_back('}');
    return true;
}

}  // namespace

void JsonModule::keep(PyObject* json) {
    dumps = getattr(json, "dumps").release();
    default_encoder = getattr(json, "_default_encoder").release();
}

Ref records_text(PyObject* json, const JsonModule& kept, PyObject* records) {
    Ref dumps = getattr(json, "dumps");
    Ref encoder;
    Ref encoder_name = intern("_default_encoder");
    const bool standard = dumps.get() == kept.dumps && PyList_CheckExact(records) &&
                          lookup_attr(json, encoder_name.get(), encoder) && encoder.get() == kept.default_encoder;
    if (standard) {
        std::string out;
        out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(records)) * 320 + 2);
        out.push_back('[');
        bool plain = true;
        // Nothing here runs Python code: the list cannot change under the walk.
        for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(records); ++i) {
            if (i > 0) out.append(", ");
            plain = write_record(out, PyList_GET_ITEM(records, i));
        }
        out.push_back(']');
        if (plain) {
            Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127));
            std::memcpy(PyUnicode_1BYTE_DATA(text.get()), out.data(), out.size());
            return text;
        }
    }
    return call(dumps.get(), {records});
}

}  // namespace morbex::brokerage
