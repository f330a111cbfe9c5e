// What morbex.keelson keeps per module: DEGIRO's field names and the
// module's own method names, interned once, the records' keys, and the json
// module's own dumps; and the specs its parts look methods up by.
#pragma once
#include <Python.h>
#include <cstddef>
#include "function.hpp"
#include "json_text.hpp"
#include "module.hpp"
#include "records.hpp"

namespace morbex::keelson {

// Names the per-record paths use: DEGIRO's own field names, and the
// methods and builtins looked up on each record.
#define KEELSON_NAMES(X)                                                                                 \
    X(isin, "isin") X(currency, "currency") X(value, "value") X(id, "id") X(size, "size")                 \
    X(symbol, "symbol") X(name, "name") X(exchangeId, "exchangeId") X(city, "city") X(country, "country") \
    X(micCode, "micCode") X(can_cast_to_int, "_can_cast_to_int")                                          \
    X(create_new_active_holding, "_create_new_active_holding")                                            \
    X(map_holdings_with_info, "_map_holdings_with_info")                                                  \
    X(aggregated_active_holdings, "_aggregated_active_holdings")                                          \
    X(get_ticker_with_suffix, "_get_ticker_with_suffix") X(int_, "int") X(get, "get") X(update, "update") \
    X(US, "US") X(portfolio, "portfolio") X(price, "price") X(breakEvenPrice, "breakEvenPrice")           \
    X(plBase, "plBase") X(cashFunds, "cashFunds") X(currencyCode, "currencyCode")

enum Name : std::size_t {
#define KEELSON_ENUM(id, text) k_##id,
    KEELSON_NAMES(KEELSON_ENUM)
#undef KEELSON_ENUM
    name_count
};

struct KeelsonState : ModuleState {
    PyObject* names[name_count] = {};
    brokerage::RecordKeys keys;
    brokerage::JsonModule json;

    void make(PyObject* json_module);  // at import, once json is imported

    template <class F>
    void visit(F&& f) {
        ModuleState::visit(f);
        for (PyObject*& n : names) f(n);
        keys.visit(f);
        json.visit(f);
    }
};

inline KeelsonState& state(const Call& c) { return state_of<KeelsonState>(c); }
// The interned names, borrowed, in their order; the records' keys likewise.
inline PyObject* const* names(const Call& c) { return state(c).names; }
inline PyObject* const* keys(const Call& c) { return state(c).keys.position; }

extern const FunctionSpec _aggregated_active_holdings_spec;
extern const FunctionSpec _can_cast_to_int_spec;
extern const FunctionSpec _create_new_active_holding_spec;
extern const FunctionSpec _map_holdings_with_info_spec;
extern const FunctionSpec _get_ticker_with_suffix_spec;

}  // namespace morbex::keelson
