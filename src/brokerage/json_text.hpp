// json.dumps(records), written directly where that gives the same text.
#pragma once
#include <Python.h>
#include <cstddef>
#include <string>
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

// json.dumps(records) for records never made as dicts: each is given as its
// values, in the order of `keys` (the same str keys for every record). A
// broker whose records are values read off an answer writes them here in one
// pass. add() is false for a record with a value that is not plain (str, int,
// float, bool, None), and the text is then not to be used.
class RecordsWriter {
public:
    RecordsWriter(PyObject* const* keys, std::size_t count, std::size_t records);
    bool add(PyObject* const* values);
    Ref text() const;  // the array so far, as a str

private:
    std::vector<std::string> heads_;  // `"key": ` for each key
    std::string out_;
};

}  // namespace morbex::brokerage
