// json.dumps(records), written directly where that gives the same text.
#pragma once
#include <Python.h>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>
#include "ops.hpp"

namespace morbex::brokerage {

// The json module's own dumps and default encoder, as a module imported
// them: json.dumps(records) is written here only while they are in place.
struct JsonModule {
    PyObject* dumps = nullptr;
    PyObject* default_encoder = nullptr;

    void keep(PyObject* json);

    template <class F>
    void visit(F&& f) {
        f(dumps);
        f(default_encoder);
    }
};

// json.dumps(records), `json` the module as the caller looks it up now.
Ref records_text(PyObject* json, const JsonModule& kept, PyObject* records);

// Whether json.dumps, `json` as the caller looks it up now, is the one kept:
// only then is the text written here the one it gives.
bool standard_json(PyObject* json, const JsonModule& kept);

// The text json.dumps gives a plain value (str, int, float, bool, None),
// appended to `out`; false, with nothing appended, for any other value.
bool append_json(std::string& out, PyObject* value);

// ASCII text written in place into a str, which grows as needed: no copy of
// the whole is made at the end.
class AsciiText {
public:
    explicit AsciiText(std::size_t expected);
    // Room for `n` more characters at the cursor, then the cursor moved on.
    char* room(std::size_t n) { return capacity_ - size_ >= n ? data_ + size_ : grow(n); }
    void advance(char* end) { size_ = static_cast<std::size_t>(end - data_); }
    std::size_t size() const { return size_; }
    // The str, as long as what was written; the text is done with.
    Ref finish();

private:
    char* grow(std::size_t n);

    Ref str_;
    char* data_ = nullptr;
    std::size_t size_ = 0, capacity_ = 0;
};

// json.dumps(records) for records never made as dicts: each is given as its
// values, in the order of `keys` (the same str keys for every record). A
// broker whose records are values read off an answer writes them here in one
// pass. add() is false for a record with a value that is not plain (str, int,
// float, bool, None), and the text is then not to be used.
class RecordsWriter {
public:
    RecordsWriter(PyObject* const* keys, std::size_t count, std::size_t records);

    // The text of values of consecutive keys that many records share (an
    // exchange's name, city and country) or that the broker composes (a
    // ticker with its suffix), written once, the keys' heads included: add()
    // takes it in place of those values. keys 0: none.
    struct Piece {
        std::uint32_t at = 0, size = 0, keys = 0;
    };
    // From key `first` on, one for each of `json` (each a value's JSON text,
    // such as append_json writes).
    Piece piece(std::size_t first, std::initializer_list<std::string_view> json);

    // A record: values[i] for each key, or, where pieces[i].keys is not 0,
    // that piece for as many keys from i on.
    bool add(PyObject* const* values, const Piece* pieces = nullptr);
    Ref text();  // the array, as a str; the writer is done with

private:
    // `{"key": ` for the first key, `, "key": ` for the others. Heads and
    // pieces are followed by 32 characters to spare: they are copied in
    // blocks of 32 (a copy of constant size is a few instructions), the
    // cursor then moved on by their size.
    struct Head {
        std::string text;  // the head, then the spare characters
        std::size_t size;
    };
    std::vector<Head> heads_;
    std::string pieces_;
    AsciiText out_;
};

}  // namespace morbex::brokerage
