// What the parts of morbex.keelson share: interned names, the method specs,
// plain-data helpers, and each part's entry points.
#pragma once
#include <Python.h>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include "error.hpp"
#include "function.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::keelson {

// Names the per-record paths use, interned once per module (kept in its state).
#define KEELSON_NAMES(X)                                                                            \
    X(internal_id, "internal_id") X(isin, "isin") X(ticker, "ticker") X(ticker_suffix, "ticker_suffix") \
    X(company, "company") X(exchange_id, "exchange_id") X(exchange_name, "exchange_name")             \
    X(exchange_city, "exchange_city") X(exchange_country, "exchange_country") X(currency, "currency")  \
    X(quantity, "quantity") X(value, "value") X(id, "id") X(size, "size") X(symbol, "symbol")         \
    X(name, "name") X(exchangeId, "exchangeId") X(city, "city") X(country, "country")                 \
    X(micCode, "micCode") X(can_cast_to_int, "_can_cast_to_int")                                      \
    X(create_new_active_holding, "_create_new_active_holding")                                        \
    X(map_holdings_with_info, "_map_holdings_with_info")                                              \
    X(aggregated_active_holdings, "_aggregated_active_holdings")                                      \
    X(get_ticker_with_suffix, "_get_ticker_with_suffix") X(int_, "int") X(get, "get")                 \
    X(update, "update") X(US, "US") X(portfolio, "portfolio")

enum Name : std::size_t {
#define KEELSON_ENUM(id, text) k_##id,
    KEELSON_NAMES(KEELSON_ENUM)
#undef KEELSON_ENUM
    name_count
};

// What the module keeps after its names: the json module's own dumps and
// default encoder, as imported (json_text.cpp writes their text itself).
enum Kept : std::size_t { json_dumps, json_default_encoder, kept_count };

// The module's interned names, borrowed, in their order, then what it keeps.
PyObject* const* names(const Call& c);
Ref module_constants(PyObject* json);

extern const FunctionSpec _aggregated_active_holdings_spec;
extern const FunctionSpec _can_cast_to_int_spec;
extern const FunctionSpec _create_new_active_holding_spec;
extern const FunctionSpec _map_holdings_with_info_spec;
extern const FunctionSpec _get_ticker_with_suffix_spec;

// ---------------------------------------------------------------------------
// Plain data: what the interpreter hashes, compares, tests, converts and
// formats with its own code alone (data.cpp).

// A dict key or an id: hashing and comparing it runs no Python code.
inline bool plain_key(PyObject* key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

// A value that compares, tests and formats without Python code.
inline bool plain_value(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v);
}

// dict[key] for an exact dict and a plain key: borrowed, or null if missing.
inline PyObject* lookup(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred()) throw PyError{};
    return found;
}

// Whether the `int` a call looks up is the built-in one.
bool int_is_ours(const Call& c);
// The value of an exact int, or of ASCII digits (what ids are), that fits in
// a long long.
bool small_int_value(PyObject* v, long long& out);
// int(id) for a plain id; empty, with no error set, where int() raises ValueError.
Ref int_of(PyObject* id);
// int_type(x), `int` as the caller looked it up.
Ref to_int(PyObject* int_type, PyObject* x);
// next(it), or an empty Ref at the end.
Ref next(PyObject* iterator);

// `for item in iterable: body(item)`. An exact list is walked by index,
// reading its length at each step as its iterator does, and that runs no
// Python code; any other iterable's next() may, so `stepped()` is told.
template <class Body, class Stepped>
void for_each(PyObject* iterable, Body&& body, Stepped&& stepped) {
    if (PyList_CheckExact(iterable)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(iterable); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(iterable, i));
            body(item.get());
        }
        return;
    }
    Ref iterator = check(PyObject_GetIter(iterable));
    while (Ref item = next(iterator.get())) {
        stepped();
        body(item.get());
    }
}

// ---------------------------------------------------------------------------
// Entry points of the parts.

// The connector's requests (transport.cpp): the bodies of _bounded_session
// and _bounded_send, and what makes an API object's requests go through them.
Ref bounded_session(const Call& c);
Ref bounded_send(const Call& c);
void bound_requests(const Call& c, PyObject* trading_api, PyObject* timeout);

// What became of the last request the calling thread sent through an API
// object: nothing known, no answer in time, no connection, or an answer.
struct Outcome {
    enum Kind { unknown, timed_out, unreachable, answered };
    Kind kind = unknown;
    Ref timeout;      // the bound it was sent with
    Ref what;         // the HTTP status, or the name of the exception's type
    long status = 0;  // the response's HTTP status
};
Outcome last_outcome(PyObject* trading_api);

// Logging in (login.cpp): the body of _create_and_connect_api, and what
// authenticate_with_username_password does once connected.
Ref create_and_connect_api(const Call& c);
void learn_account_number(const Call& c, PyObject* self, PyObject* trading_api);
// trading_api.method(**kwargs) for a connector call that answers None on any
// failure: a ConnectionError instead, saying what could not be read
// (reading.cpp).
Ref read_from(const Call& c, PyObject* trading_api, const char* method, std::initializer_list<Kw> kwargs,
              const char* what);
// The portfolio's rows (DEGIRO's positionrows) as {name: value} dicts, every
// number a float; one row, or a list of them.
Ref flatten_row(PyObject* row);
Ref flatten_rows(PyObject* rows);
// What the selection reads of a row, as its flattened dict would give it,
// read straight from a plain row (an exact dict whose "value" is an exact
// list of exact dicts with str names) that has all three; false otherwise.
bool raw_fields(PyObject* const* k, PyObject* row, Ref& value, Ref& id, Ref& size);

// Tickers (ticker.cpp): a symbol in Yahoo's form (itself when it already is,
// or is not a str); and that with the suffix, f"{name}.{suffix}", or without
// one when `suffix` is null.
Ref yahoo_symbol(PyObject* symbol);
Ref ticker_for(PyObject* symbol, PyObject* suffix);
// What _get_ticker_with_suffix appends for an exchange, worked out on plain
// data: `suffix` is left empty when the ticker stays bare. False when the
// data is not plain.
bool plain_suffix(PyObject* const* k, PyObject* mic, PyObject* country, PyObject* suffixes, Ref& suffix);

// json.dumps(holdings) (json_text.cpp).
Ref holdings_text(const Call& c, PyObject* holdings);

// Holdings (holdings.cpp): the bodies of the methods of the same names, and
// self._aggregated_active_holdings(<the rows, flattened>), where our own
// method takes the rows as they are.
Ref aggregated_active_holdings(const Call& c);
Ref holdings_of_rows(const Call& c, PyObject* self, PyObject* rows);
Ref create_new_active_holding(const Call& c);
Ref map_holdings_with_info(const Call& c);
Ref get_ticker_with_suffix(const Call& c);

}  // namespace morbex::keelson
