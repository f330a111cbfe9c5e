// json.dumps(records), written directly when it is the standard library's
// own with its defaults and the records are plain: a list of dicts with str
// keys and str, int, float, bool or None values. The text is the one
// json.dumps gives, character for character: ", " and ": " between items,
// non-ASCII escaped (ensure_ascii), NaN and infinities as NaN and Infinity
// (allow_nan), floats and ints as their repr. Anything else is left to
// json.dumps itself.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
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

// A character the json module's ASCII encoder escapes, escaped.
void write_escaped(std::string& out, Py_UCS4 c) {
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

// Whether the json module's ASCII encoder writes this character as it is.
inline bool verbatim(Py_UCS4 c) { return c >= ' ' && c <= '~' && c != '\\' && c != '"'; }

// A str as the json module's ASCII encoder writes it, quotes included.
void write_str(std::string& out, PyObject* s) {
    out.push_back('"');
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
        // Nearly every str of an answer: copied in runs between the few
        // characters that are escaped.
        const char* data = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
        Py_ssize_t run = 0;
        for (Py_ssize_t i = 0; i < length; ++i) {
            if (verbatim(static_cast<unsigned char>(data[i]))) continue;
            out.append(data + run, static_cast<std::size_t>(i - run));
            write_escaped(out, static_cast<unsigned char>(data[i]));
            run = i + 1;
        }
        out.append(data + run, static_cast<std::size_t>(length - run));
        out.push_back('"');
        return;
    }
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (verbatim(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            write_escaped(out, c);
        }
    }
    out.push_back('"');
}

// float.__repr__ of a finite double. std::to_chars gives the shortest digits
// that read back as the same double, the nearest of them when there are
// several, as repr's own dtoa does; they are laid out as repr lays them out:
// positional while the decimal point falls within 16 digits of the first
// (and at most 4 zeros after it), with ".0" on a whole number; else
// d.ddde+XX, the exponent of two digits at least. PyOS_double_to_string would
// give the same text at several times the cost.
void write_float(std::string& out, double x) {
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    const char* p = buffer;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[24];
    int count = 0;
    for (; p < written.ptr && *p != 'e'; ++p) {
        if (*p != '.') digits[count++] = *p;
    }
    // After the 'e': a sign, then digits (nothing ends them but written.ptr).
    const bool negative = p + 1 < written.ptr && p[1] == '-';
    int exponent = 0;
    for (p += 2; p < written.ptr; ++p) exponent = exponent * 10 + (*p - '0');
    if (negative) exponent = -exponent;
    const int point = exponent + 1;          // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            out.append("0.");
            out.append(static_cast<std::size_t>(-point), '0');
            out.append(digits, static_cast<std::size_t>(count));
        } else if (point >= count) {
            out.append(digits, static_cast<std::size_t>(count));
            out.append(static_cast<std::size_t>(point - count), '0');
            out.append(".0");
        } else {
            out.append(digits, static_cast<std::size_t>(point));
            out.push_back('.');
            out.append(digits + point, static_cast<std::size_t>(count - point));
        }
        return;
    }
    out.push_back(digits[0]);
    if (count > 1) {
        out.push_back('.');
        out.append(digits + 1, static_cast<std::size_t>(count - 1));
    }
    char tail[8];
    const int size = std::snprintf(tail, sizeof tail, "e%c%02d", exponent < 0 ? '-' : '+', std::abs(exponent));
    out.append(tail, static_cast<std::size_t>(size));
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
            write_float(out, x);
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

bool standard_json(PyObject* json, const JsonModule& kept) {
    Ref dumps = getattr(json, "dumps");
    Ref encoder;
    Ref encoder_name = intern("_default_encoder");
    return dumps.get() == kept.dumps && lookup_attr(json, encoder_name.get(), encoder) &&
           encoder.get() == kept.default_encoder;
}

namespace {

Ref ascii_text(const std::string& out) {
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(out.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(text.get()), out.data(), out.size());
    return text;
}

}  // namespace

Ref records_text(PyObject* json, const JsonModule& kept, PyObject* records) {
    if (PyList_CheckExact(records) && standard_json(json, kept)) {
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
        if (plain) return ascii_text(out);
    }
    Ref dumps = getattr(json, "dumps");
    return call(dumps.get(), {records});
}

RecordsWriter::RecordsWriter(PyObject* const* keys, std::size_t count, std::size_t records) : heads_(count) {
    for (std::size_t i = 0; i < count; ++i) {
        write_str(heads_[i], keys[i]);
        heads_[i].append(": ");
    }
    out_.reserve(records * (count * 28 + 4) + 2);
    out_.push_back('[');
}

bool RecordsWriter::add(PyObject* const* values) {
    if (out_.size() > 1) out_.append(", ");
    out_.push_back('{');
    for (std::size_t i = 0; i < heads_.size(); ++i) {
        if (i > 0) out_.append(", ");
        out_.append(heads_[i]);
        if (!write_value(out_, values[i])) return false;
    }
    out_.push_back('}');
    return true;
}

Ref RecordsWriter::text() const {
    Ref text = check(PyUnicode_New(static_cast<Py_ssize_t>(out_.size() + 1), 127));
    Py_UCS1* data = PyUnicode_1BYTE_DATA(text.get());
    std::memcpy(data, out_.data(), out_.size());
    data[out_.size()] = ']';
    return text;
}

}  // namespace morbex::brokerage
