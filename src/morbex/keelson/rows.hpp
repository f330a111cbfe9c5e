// The portfolio's rows as DEGIRO sends them (positionrows: a list of
// {"name", "value"} attributes per row), decoded.
#pragma once
#include <Python.h>
#include "ops.hpp"

namespace morbex::keelson {

// One row, or a list of them, as {name: value} dicts, every number a float.
Ref flatten_row(PyObject* row);
Ref flatten_rows(PyObject* rows);
// What the selection reads of a row, as its flattened dict would give it,
// read straight from a plain row (an exact dict whose "value" is an exact
// list of exact dicts with str names) that has all three; false otherwise.
bool raw_fields(PyObject* const* k, PyObject* row, Ref& value, Ref& id, Ref& size);

}  // namespace morbex::keelson
