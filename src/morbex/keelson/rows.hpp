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
// and, for positions (`worth`), what the row says of value: read straight
// from a plain row (an exact dict whose "value" is an exact list of exact
// dicts with str names) that has the first three; false otherwise. The worth
// fields are null where the row lacks them, and plBase is left unconverted
// (only its key is read).
struct RowFields {
    Ref value, id, size;
    Ref price, break_even_price, pl_base;
};
bool raw_fields(PyObject* const* k, PyObject* row, bool worth, RowFields& out);

}  // namespace morbex::keelson
