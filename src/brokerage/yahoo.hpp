// Tickers in Yahoo Finance's form.
#pragma once
#include <Python.h>
#include "ops.hpp"

namespace morbex::brokerage {

// A symbol in Yahoo's form: itself when it already is, or is not a str.
Ref yahoo_symbol(PyObject* symbol);
// That with the exchange's suffix, f"{name}.{suffix}" (a numeric Hong Kong
// code padded to four digits), or without one when `suffix` is null.
Ref ticker_for(PyObject* symbol, PyObject* suffix);

}  // namespace morbex::brokerage
