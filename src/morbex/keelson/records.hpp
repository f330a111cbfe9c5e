// Holding records: the eleven-key dicts the holdings query makes, and the
// ten values _map_holdings_with_info gives each.
#pragma once
#include <array>
#include "keelson.hpp"

namespace morbex::keelson {

// A record's keys, in its order.
constexpr Name record_keys[] = {k_internal_id, k_isin, k_ticker, k_ticker_suffix, k_company, k_exchange_id,
                                k_exchange_name, k_exchange_city, k_exchange_country, k_currency, k_quantity};
constexpr std::size_t record_size = std::size(record_keys);

// The ten values _map_holdings_with_info gives a record, in the order it
// works them out.
enum Field : std::size_t {
    f_isin, f_ticker, f_company, f_exchange_id, f_exchange_name, f_exchange_city, f_exchange_country, f_currency,
    f_ticker_suffix, f_internal_id, field_count
};
constexpr Name field_keys[field_count] = {k_isin,          k_ticker,         k_company,          k_exchange_id,
                                          k_exchange_name, k_exchange_city,  k_exchange_country, k_currency,
                                          k_ticker_suffix, k_internal_id};
using Fields = std::array<Ref, field_count>;

// Makes records as copies of a blank record, then sets their values: a copy
// clones the blank's table of str keys in one piece, and json.dumps walks
// such a table faster than the general one a presized dict gets.
class Records {
public:
    explicit Records(PyObject* const* k) : k_(k) {}

    // {"internal_id": id, "isin": None, ..., "quantity": size}
    Ref holding(PyObject* id, PyObject* size) {
        Ref record = blank();
        check(PyDict_SetItem(record.get(), k_[k_internal_id], id));
        check(PyDict_SetItem(record.get(), k_[k_quantity], size));
        return record;
    }

    // holding(id, size) once _map_holdings_with_info has set these fields:
    // the same record, made in one go.
    Ref completed(const Fields& f, PyObject* size) {
        PyObject* const values[record_size] = {
            f[f_internal_id].get(),   f[f_isin].get(),          f[f_ticker].get(),
            f[f_ticker_suffix].get(), f[f_company].get(),       f[f_exchange_id].get(),
            f[f_exchange_name].get(), f[f_exchange_city].get(), f[f_exchange_country].get(),
            f[f_currency].get(),      size};
        Ref record = blank();
        for (std::size_t i = 0; i < record_size; ++i) {
            check(PyDict_SetItem(record.get(), k_[record_keys[i]], values[i]));
        }
        return record;
    }

private:
    Ref blank() {
        if (!blank_) {
            blank_ = check(PyDict_New());
            for (Name key : record_keys) check(PyDict_SetItem(blank_.get(), k_[key], Py_None));
        }
        return check(PyDict_Copy(blank_.get()));
    }

    PyObject* const* k_;
    Ref blank_;
};

// holding.update(fields) for an exact dict: dict.update from a dict sets its
// keys in order, and all of them exist, so the record keeps its key order.
inline void update_record(PyObject* const* k, PyObject* holding, const Fields& f) {
    for (std::size_t i = 0; i < field_count; ++i) check(PyDict_SetItem(holding, k[field_keys[i]], f[i].get()));
}

// An exact dict with str keys and plain values: reading it and replacing its
// values runs no Python code.
inline bool plain_record(PyObject* holding) {
    if (!PyDict_CheckExact(holding)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(holding, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !plain_value(value)) return false;
    }
    return true;
}

}  // namespace morbex::keelson
