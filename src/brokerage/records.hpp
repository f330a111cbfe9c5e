// The records every broker gives, defined here once: their keys in order,
// interned per module, and dicts of them made in one go.
//
// A holding (the holdings text) has the first eleven keys; a position
// (get_positions) has all of them; a cash balance has its own four.
#pragma once
#include <Python.h>
#include <cstddef>
#include "error.hpp"
#include "ref.hpp"

#define MORBEX_HOLDING_KEYS(X)                                                                              \
    X(internal_id) X(isin) X(ticker) X(ticker_suffix) X(company) X(exchange_id) X(exchange_name)            \
    X(exchange_city) X(exchange_country) X(currency) X(quantity)
#define MORBEX_POSITION_VALUE_KEYS(X)                                                                       \
    X(mic) X(price) X(value) X(average_price) X(base_currency) X(base_value) X(account) X(as_of)            \
    X(major_currency) X(unit_scale)
#define MORBEX_CASH_BALANCE_KEYS(X) X(currency) X(amount) X(account) X(as_of)

namespace morbex::brokerage {

// A position's keys, in their order; a holding is the first holding_size.
enum Key : std::size_t {
#define MORBEX_KEY(name) key_##name,
    MORBEX_HOLDING_KEYS(MORBEX_KEY) holding_size,
    position_start = holding_size - 1,  // the value keys follow on from here
    MORBEX_POSITION_VALUE_KEYS(MORBEX_KEY) position_size
#undef MORBEX_KEY
};

enum CashKey : std::size_t {
#define MORBEX_KEY(name) cash_##name,
    MORBEX_CASH_BALANCE_KEYS(MORBEX_KEY) cash_size
#undef MORBEX_KEY
};

// The key texts, in order.
extern const char* const position_key_texts[position_size];
extern const char* const cash_key_texts[cash_size];

// The keys as interned str, kept in a module's state.
struct RecordKeys {
    PyObject* position[position_size] = {};
    PyObject* cash[cash_size] = {};

    void make();  // interns them all

    template <class F>
    void visit(F&& f) {
        for (PyObject*& key : position) f(key);
        for (PyObject*& key : cash) f(key);
    }
};

// The keys as a tuple of str (what Python code is shown).
Ref key_tuple(const char* const* texts, std::size_t count);

// Makes dicts with `count` fixed keys as copies of a blank one (all None),
// then sets their values: a copy clones the blank's table of str keys in one
// piece, and json.dumps walks such a table faster than the general one a
// presized dict gets.
class Records {
public:
    Records(PyObject* const* keys, std::size_t count) : keys_(keys), count_(count) {}

    // {key: None for key in keys}
    Ref blank() {
        if (!blank_) {
            blank_ = check(PyDict_New());
            for (std::size_t i = 0; i < count_; ++i) check(PyDict_SetItem(blank_.get(), keys_[i], Py_None));
        }
        return check(PyDict_Copy(blank_.get()));
    }

    // dict(zip(keys, values)): `values` holds `count` borrowed values.
    Ref make(PyObject* const* values) {
        Ref record = blank();
        for (std::size_t i = 0; i < count_; ++i) check(PyDict_SetItem(record.get(), keys_[i], values[i]));
        return record;
    }

    PyObject* key(std::size_t i) const { return keys_[i]; }

private:
    PyObject* const* keys_;
    std::size_t count_;
    Ref blank_;
};

}  // namespace morbex::brokerage
