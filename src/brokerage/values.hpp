// What every broker's positions say of value: the currency a price is quoted
// in and the one it converts to, and the time a price refers to.
#pragma once
#include <Python.h>
#include "ops.hpp"

namespace morbex::brokerage {

// major_currency and unit_scale for a record's `currency`: for a listing
// quoted in a minor unit (GBX or GBp: pence; ZAc: South African cents; ILA:
// agorot) its ISO 4217 currency and how many minor units make one; for any
// other str, itself and 1; None gives None and 1.
void major_currency(PyObject* currency, Ref& major, Ref& scale);

// The current time in UTC as ISO 8601 text, to the second: "2026-05-04T08:30:12Z".
Ref utc_now();

// a x b for a quantity and a price: the product of the decimal numbers the
// two floats print as (their repr), rounded once to a float. Brokers send
// decimal text; 40 x 81.34 is 3253.6, where the float product would print
// 3253.6000000000004.
Ref decimal_product(double a, double b);

}  // namespace morbex::brokerage
