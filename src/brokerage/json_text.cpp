// json.dumps(records), written directly when it is the standard library's
// own with its defaults and the records are plain: a list of dicts with str
// keys and str, int, float, bool or None values. The text is the one
// json.dumps gives, character for character: ", " and ": " between items,
// non-ASCII escaped (ensure_ascii), NaN and infinities as NaN and Infinity
// (allow_nan), floats and ints as their repr. Anything else is left to
// json.dumps itself.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include "json_text.hpp"

namespace morbex::brokerage {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// What a piece or a head may be read past its end: a short text is copied
// this many characters at a time.
constexpr std::size_t spare = 32;

// The characters the json module's ASCII encoder writes as they are.
constexpr auto verbatim = [] {
    std::array<bool, 128> table{};
    for (int c = ' '; c <= '~'; ++c) table[c] = c != '\\' && c != '"';
    return table;
}();

char* unicode_escape(char* p, Py_UCS4 c) {
    *p++ = '\\';
    *p++ = 'u';
    *p++ = hex_digits[(c >> 12) & 0xf];
    *p++ = hex_digits[(c >> 8) & 0xf];
    *p++ = hex_digits[(c >> 4) & 0xf];
    *p++ = hex_digits[c & 0xf];
    return p;
}

// A character the json module's ASCII encoder escapes, escaped: at most 12
// characters (a surrogate pair).
char* write_escaped(char* p, Py_UCS4 c) {
    const char* two = nullptr;
    switch (c) {
    case '\\': two = "\\\\"; break;
    case '"': two = "\\\""; break;
    case '\b': two = "\\b"; break;
    case '\f': two = "\\f"; break;
    case '\n': two = "\\n"; break;
    case '\r': two = "\\r"; break;
    case '\t': two = "\\t"; break;
    default:
        if (c >= 0x10000) {
            const Py_UCS4 v = c - 0x10000;
            p = unicode_escape(p, 0xd800 | ((v >> 10) & 0x3ff));
            return unicode_escape(p, 0xdc00 | (v & 0x3ff));
        }
        return unicode_escape(p, c);
    }
    *p++ = two[0];
    *p++ = two[1];
    return p;
}

// Whether eight ASCII characters hold one that is escaped: a control
// character, '"', '\\' or DEL (the bit tricks of "Bit Twiddling Hacks": a
// byte below n, a byte equal to n).
constexpr std::uint64_t escaped_in(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101, highs = 0x8080808080808080;
    auto zero_in = [](std::uint64_t x) { return (x - ones) & ~x & highs; };
    return ((word - ones * 0x20) & ~word & highs) | zero_in(word ^ (ones * '"')) | zero_in(word ^ (ones * '\\')) |
           zero_in(word ^ (ones * 0x7f));
}

// The characters of a str of one kind, each escaped where the json module's
// ASCII encoder escapes it.
template <class Char>
char* write_escaping(char* p, const Char* data, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const Py_UCS4 c = data[i];
        if (c < 128 && verbatim[c]) {
            *p++ = static_cast<char>(c);
        } else {
            p = write_escaped(p, c);
        }
    }
    return p;
}

// Text appended to a std::string, as AsciiText is written.
class StringText {
public:
    explicit StringText(std::string& s) : s_(s), used_(s.size()) {}
    ~StringText() { s_.resize(used_); }
    char* room(std::size_t n) {
        if (s_.capacity() - used_ < n) s_.reserve(std::max(2 * s_.capacity(), used_ + n));
        s_.resize(used_ + n);  // within the capacity: no copy
        return s_.data() + used_;
    }
    void advance(char* end) { used_ = static_cast<std::size_t>(end - s_.data()); }

private:
    std::string& s_;
    std::size_t used_;
};

// A str as the json module's ASCII encoder writes it, quotes included.
template <class Out>
void write_str(Out& out, PyObject* s) {
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(s));
    if (PyUnicode_IS_ASCII(s)) {
        // Nearly every str of an answer, and nearly always with nothing to
        // escape: tested eight characters at a time, then copied in one go.
        const auto* data = reinterpret_cast<const unsigned char*>(PyUnicode_1BYTE_DATA(s));
        std::uint64_t escapes = 0;
        std::size_t i = 0;
        for (std::uint64_t word; i + 8 <= length; i += 8) {
            std::memcpy(&word, data + i, 8);
            escapes |= escaped_in(word);
        }
        for (; i < length; ++i) escapes |= !verbatim[data[i]];
        if (escapes == 0) {
            char* p = out.room(length + 2);
            *p++ = '"';
            std::memcpy(p, data, length);
            p += length;
            *p++ = '"';
            out.advance(p);
            return;
        }
    }
    char* p = out.room(12 * length + 2);
    *p++ = '"';
    switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND: p = write_escaping(p, PyUnicode_1BYTE_DATA(s), length); break;
    case PyUnicode_2BYTE_KIND: p = write_escaping(p, PyUnicode_2BYTE_DATA(s), length); break;
    default: p = write_escaping(p, PyUnicode_4BYTE_DATA(s), length); break;
    }
    *p++ = '"';
    out.advance(p);
}

// float.__repr__ of a finite double. std::to_chars gives the shortest digits
// that read back as the same double, the nearest of them when there are
// several, as repr's own dtoa does; they are laid out as repr lays them out:
// positional while the decimal point falls within 16 digits of the first
// (and at most 4 zeros after it), with ".0" on a whole number; else
// d.ddde+XX, the exponent of two digits at least. PyOS_double_to_string would
// give the same text at several times the cost. At most 25 characters.
char* write_float(char* out, double x) {
    char buffer[32];
    const auto written = std::to_chars(buffer, buffer + sizeof buffer, x, std::chars_format::scientific);
    const char* p = buffer;
    if (*p == '-') {
        *out++ = '-';
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
    const int point = exponent + 1;  // digits before the decimal point
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            *out++ = '0';
            *out++ = '.';
            for (int i = point; i < 0; ++i) *out++ = '0';
            std::memcpy(out, digits, static_cast<std::size_t>(count));
            return out + count;
        }
        if (point >= count) {
            std::memcpy(out, digits, static_cast<std::size_t>(count));
            out += count;
            for (int i = count; i < point; ++i) *out++ = '0';
            *out++ = '.';
            *out++ = '0';
            return out;
        }
        std::memcpy(out, digits, static_cast<std::size_t>(point));
        out += point;
        *out++ = '.';
        std::memcpy(out, digits + point, static_cast<std::size_t>(count - point));
        return out + (count - point);
    }
    *out++ = digits[0];
    if (count > 1) {
        *out++ = '.';
        std::memcpy(out, digits + 1, static_cast<std::size_t>(count - 1));
        out += count - 1;
    }
    *out++ = 'e';
    *out++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *out++ = '0';
    return std::to_chars(out, out + 4, magnitude).ptr;
}

template <class Out>
void put(Out& out, const char* text, std::size_t size) {
    char* p = out.room(size);
    std::memcpy(p, text, size);
    out.advance(p + size);
}

// A value json.dumps writes without calling anything but the built-in
// types' own repr; false, with nothing written, for any other.
template <class Out>
bool write_value(Out& out, PyObject* v) {
    if (PyUnicode_CheckExact(v)) {
        write_str(out, v);
    } else if (v == Py_None) {
        put(out, "null", 4);
    } else if (v == Py_True) {
        put(out, "true", 4);
    } else if (v == Py_False) {
        put(out, "false", 5);
    } else if (PyFloat_CheckExact(v)) {
        const double x = PyFloat_AS_DOUBLE(v);
        if (std::isnan(x)) {
            put(out, "NaN", 3);
        } else if (std::isinf(x)) {
            x > 0 ? put(out, "Infinity", 8) : put(out, "-Infinity", 9);
        } else {
            out.advance(write_float(out.room(32), x));
        }
    } else if (PyLong_CheckExact(v)) {
        int overflow = 0;
        const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (n == -1 && PyErr_Occurred()) throw PyError{};
        if (overflow == 0) {
            char* p = out.room(24);
            out.advance(std::to_chars(p, p + 24, n).ptr);
        } else {
            Ref text = check(PyObject_Repr(v));
            Py_ssize_t size;
            const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
            if (utf8 == nullptr) throw PyError{};
            put(out, utf8, static_cast<std::size_t>(size));
        }
    } else {
        return false;
    }
    return true;
}

bool write_record(AsciiText& out, PyObject* record) {
    if (!PyDict_CheckExact(record)) return false;
    put(out, "{", 1);
    Py_ssize_t position = 0;
    PyObject *key, *value;
    bool first = true;
    while (PyDict_Next(record, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return false;
        if (!first) put(out, ", ", 2);
        first = false;
        write_str(out, key);
        put(out, ": ", 2);
        if (!write_value(out, value)) return false;
    }
    put(out, "}", 1);
    return true;
}

}  // namespace

bool append_json(std::string& out, PyObject* value) {
    const std::size_t size = out.size();
    bool plain;
    {
        StringText text(out);
        plain = write_value(text, value);
    }
    if (!plain) out.resize(size);
    return plain;
}

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

AsciiText::AsciiText(std::size_t expected) : capacity_(expected > 64 ? expected : 64) {
    str_ = check(PyUnicode_New(static_cast<Py_ssize_t>(capacity_), 127));
    data_ = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_.get()));
}

char* AsciiText::grow(std::size_t n) {
    // The str is this writer's alone until finish(): resizing it may move it.
    const std::size_t capacity = std::max(capacity_ * 2, size_ + n);
    // A failed resize leaves the str as it was, still this writer's.
    PyObject* resized = str_.release();
    const int failed = PyUnicode_Resize(&resized, static_cast<Py_ssize_t>(capacity));
    str_ = Ref::steal(resized);
    if (failed < 0) throw PyError{};
    capacity_ = capacity;
    data_ = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(str_.get()));
    return data_ + size_;
}

Ref AsciiText::finish() {
    PyObject* text = str_.release();
    const int failed = PyUnicode_Resize(&text, static_cast<Py_ssize_t>(size_));
    str_ = Ref::steal(text);  // as in grow()
    if (failed < 0) throw PyError{};
    return std::move(str_);
}

Ref records_text(PyObject* json, const JsonModule& kept, PyObject* records) {
    if (PyList_CheckExact(records) && standard_json(json, kept)) {
        AsciiText out(static_cast<std::size_t>(PyList_GET_SIZE(records)) * 320 + 2);
        put(out, "[", 1);
        bool plain = true;
        // Nothing here runs Python code: the list cannot change under the walk.
        for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(records); ++i) {
            if (i > 0) put(out, ", ", 2);
            plain = write_record(out, PyList_GET_ITEM(records, i));
        }
        if (plain) {
            put(out, "]", 1);
            return out.finish();
        }
    }
    Ref dumps = getattr(json, "dumps");
    return call(dumps.get(), {records});
}

RecordsWriter::RecordsWriter(PyObject* const* keys, std::size_t count, std::size_t records)
    : heads_(count), pieces_(spare, '\0'), out_(records * (count * 30 + 4) + 2) {
    for (std::size_t i = 0; i < count; ++i) {
        AsciiText head(32);
        put(head, i == 0 ? "{" : ", ", i == 0 ? 1 : 2);
        write_str(head, keys[i]);
        put(head, ": ", 2);
        Ref text = head.finish();
        heads_[i].size = head.size();
        heads_[i].text.assign(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text.get())), head.size());
        heads_[i].text.append(spare, '\0');
    }
    put(out_, "[", 1);
}

namespace {

// `size` characters at `text`, followed by `spare` more that may be read:
// copied in blocks of a constant size, a few instructions each.
void put_spared(AsciiText& out, const char* text, std::size_t size) {
    char* p = out.room(size + spare);
    for (std::size_t done = 0; done < size; done += spare) std::memcpy(p + done, text + done, spare);
    out.advance(p + size);
}

}  // namespace

RecordsWriter::Piece RecordsWriter::piece(std::size_t first, std::initializer_list<std::string_view> json) {
    // Written in place of the spare characters, which then follow it again.
    const std::size_t at = pieces_.size() - spare;
    std::size_t size = 0;
    for (std::string_view value : json) size += value.size() + 40;
    if (first + json.size() > heads_.size() || at + size >= UINT32_MAX / 2) return {};
    pieces_.resize(at);
    std::size_t key = first;
    for (std::string_view value : json) {
        const Head& h = heads_[key++];
        pieces_.append(h.text, 0, h.size);
        pieces_.append(value);
    }
    const Piece made{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(pieces_.size() - at),
                     static_cast<std::uint32_t>(json.size())};
    pieces_.append(spare, '\0');
    return made;
}

bool RecordsWriter::add(PyObject* const* values, const Piece* pieces) {
    if (out_.size() > 1) put(out_, ", ", 2);
    for (std::size_t i = 0; i < heads_.size();) {
        if (pieces != nullptr && pieces[i].keys != 0) {
            put_spared(out_, pieces_.data() + pieces[i].at, pieces[i].size);
            i += pieces[i].keys;
            continue;
        }
        const Head& h = heads_[i];
        put_spared(out_, h.text.data(), h.size);
        if (!write_value(out_, values[i])) return false;
        ++i;
    }
    put(out_, "}", 1);
    return true;
}

Ref RecordsWriter::text() {
    put(out_, "]", 1);
    return out_.finish();
}

}  // namespace morbex::brokerage
