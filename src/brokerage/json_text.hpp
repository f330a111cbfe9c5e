// json.dumps(records), written directly where that gives the same text.
#pragma once
#include <Python.h>
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

}  // namespace morbex::brokerage
