// What the holdings are worth: positions (the holdings with what their rows
// say of value) and the cash funds' balances.
//
//     def _worth(row):          # a kept row, flattened
//         number = lambda x: x if type(x) is float else None   # every number is a float by now
//         pl_base = row.get("plBase")     # {base currency: profit}: keyed by the account's currency
//         price = number(row.get("price"))
//         size = number(row["size"])
//         return {"price": price,
//                 "value": <values.hpp decimal_product(size, price)> if size is not None and price is not None
//                          else None,
//                 "average_price": number(row.get("breakEvenPrice")),
//                 "base_currency": <pl_base's one key, if it is a dict of one str key, else None>,
//                 "base_value": number(row["value"])}
//
//     def _position(holding, mic, row, account, as_of):
//         major_currency, unit_scale = <values.hpp major_currency(holding["currency"])>
//         return {**{key: holding[key] for key in HOLDING_KEYS}, "mic": mic, **_worth(row),
//                 "account": account, "as_of": as_of, "major_currency": major_currency, "unit_scale": unit_scale}
//
// DEGIRO reports a position's value in the account's currency only; the
// value in the listing's currency is size x price, both DEGIRO's own. The
// price refers to no time DEGIRO states: as_of is the time of the read.
//
//     def _cash_balances(rows, account, as_of):    # update["cashFunds"]["value"]
//         totals = {}
//         for row in rows:
//             fund = <row flattened, as a portfolio row is>
//             totals[fund["currencyCode"]] = totals.get(fund["currencyCode"], 0.0) + fund["value"]
//         return [{"currency": currency, "amount": amount, "account": account, "as_of": as_of}
//                 for currency, amount in totals.items() if amount]
//
// DEGIRO lists a cash fund per currency the account may hold, most at zero;
// funds of one currency are summed, so a currency has one balance.
#include "holdings.hpp"
#include "values.hpp"

namespace morbex::keelson {
namespace {

using brokerage::holding_size;

// A number as a position takes it: the float itself, or None.
Ref number(PyObject* x) { return Ref::borrow(x != nullptr && PyFloat_CheckExact(x) ? x : Py_None); }

// The one key of plBase, the account's currency; None unless it is a dict
// with one str key. Read the same raw or flattened: flattening copies a
// dict's keys as they are.
Ref base_currency(PyObject* pl_base) {
    if (pl_base == nullptr || !PyDict_Check(pl_base) || PyDict_GET_SIZE(pl_base) != 1) return none();
    Py_ssize_t position = 0;
    PyObject *key, *value;
    PyDict_Next(pl_base, &position, &key, &value);
    return Ref::borrow(PyUnicode_CheckExact(key) ? key : Py_None);
}

// The position of a holding record made as written: its eleven values read
// as written, its MIC looked up as the join does.
Ref position_as_written(const Call& c, Records& records, PyObject* holding, const Worth& worth,
                        const Valuation& valuation, PyObject* holdings_info, PyObject* exchanges_info) {
    Ref values[holding_size];
    PyObject* borrowed[holding_size];
    for (std::size_t i = 0; i < holding_size; ++i) {
        values[i] = getitem(holding, keys(c)[i]);
        borrowed[i] = values[i].get();
    }
    Ref mic = mic_as_written(c, holdings_info, exchanges_info, worth.id.get());
    return records.position(borrowed, mic.get(), worth, valuation);
}

}  // namespace

Ref Records::position(PyObject* const* holding_values, PyObject* mic, const Worth& worth,
                      const Valuation& valuation) {
    using namespace brokerage;
    auto given = [](const Ref& r) { return r ? r.get() : Py_None; };
    PyObject* values[position_size];
    for (std::size_t i = 0; i < holding_size; ++i) values[i] = holding_values[i];
    Ref value = worth.size && worth.price && PyFloat_CheckExact(worth.size.get()) &&
                        PyFloat_CheckExact(worth.price.get())
                    ? decimal_product(PyFloat_AS_DOUBLE(worth.size.get()), PyFloat_AS_DOUBLE(worth.price.get()))
                    : none();
    Ref major, scale;
    major_currency(holding_values[key_currency], major, scale);
    values[key_mic] = mic != nullptr ? mic : Py_None;
    values[key_price] = given(worth.price);
    values[key_value] = value.get();
    values[key_average_price] = given(worth.average_price);
    values[key_base_currency] = given(worth.base_currency);
    values[key_base_value] = given(worth.base_value);
    values[key_account] = given(valuation.account);
    values[key_as_of] = given(valuation.as_of);
    values[key_major_currency] = major.get();
    values[key_unit_scale] = scale.get();
    return positions_.make(values);
}

Ref listing_mic(PyObject* mic_code) {
    const bool given = mic_code != nullptr && PyUnicode_CheckExact(mic_code) && PyUnicode_GET_LENGTH(mic_code) > 0;
    return Ref::borrow(given ? mic_code : Py_None);
}

Worth worth_of(const RowFields& row) {
    return Worth{row.id,
                 number(row.size.get()),
                 number(row.price.get()),
                 number(row.break_even_price.get()),
                 base_currency(row.pl_base.get()),
                 number(row.value.get())};
}

Worth worth_of(PyObject* const* k, PyObject* flat) {
    // Flattened rows are exact dicts (flatten_row): row.get(name) is a lookup that runs no Python code.
    if (!PyDict_CheckExact(flat)) raise(PyExc_TypeError, "a portfolio row decodes to a dict");
    PyObject* id = lookup(flat, k[k_id]);  // there: the selection read it
    return Worth{Ref::borrow(id != nullptr ? id : Py_None),
                 number(lookup(flat, k[k_size])),
                 number(lookup(flat, k[k_price])),
                 number(lookup(flat, k[k_breakEvenPrice])),
                 base_currency(lookup(flat, k[k_plBase])),
                 number(lookup(flat, k[k_value]))};
}

Ref mic_as_written(const Call& c, PyObject* holdings_info, PyObject* exchanges_info, PyObject* id) {
    PyObject* const* k = names(c);
    // product = holdings_info[id]
    // for exchange in exchanges_info:
    //     if exchange["id"] == int(product["exchangeId"]):
    //         return <listing_mic(exchange.get("micCode"))>
    // return None
    Ref product = getitem(holdings_info, id);
    Ref iterator = check(PyObject_GetIter(exchanges_info));
    while (Ref exchange = next(iterator.get())) {
        Ref exchange_id = getitem(exchange.get(), k[k_id]);
        Ref int_type = c.global(k[k_int_]);
        Ref product_exchange_id = getitem(product.get(), k[k_exchangeId]);
        Ref target = to_int(int_type.get(), product_exchange_id.get());
        if (eq(exchange_id.get(), target.get())) {
            Ref mic_code = check(PyObject_CallMethodOneArg(exchange.get(), k[k_get], k[k_micCode]));
            return listing_mic(mic_code.get());
        }
    }
    return none();
}

Ref position_of(const Call& c, PyObject* holding, std::size_t index, const Valuation& valuation,
                PyObject* holdings_info, PyObject* exchanges_info) {
    Records records(keys(c));
    return position_as_written(c, records, holding, valuation.kept[index], valuation, holdings_info,
                               exchanges_info);
}

Ref positions_of(const Call& c, PyObject* holdings, const Valuation& valuation, PyObject* holdings_info,
                 PyObject* exchanges_info) {
    // holdings = list(holdings), paired with the kept rows one to one.
    Ref listed = check(PySequence_List(holdings));
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(listed.get()));
    if (count != valuation.kept.size()) {
        raise_format(PyExc_ValueError, "_map_holdings_with_info gave %zu records for %zu positions", count,
                     valuation.kept.size());
    }
    Records records(keys(c));
    Ref positions = check(PyList_New(0));
    for (std::size_t i = 0; i < count; ++i) {
        // The list is ours alone: nothing another thread or a record's own
        // code does can change it.
        Ref holding = Ref::borrow(PyList_GET_ITEM(listed.get(), static_cast<Py_ssize_t>(i)));
        Ref position = position_as_written(c, records, holding.get(), valuation.kept[i], valuation, holdings_info,
                                           exchanges_info);
        check(PyList_Append(positions.get(), position.get()));
    }
    return positions;
}

Ref cash_balances_of(const Call& c, PyObject* rows, PyObject* account, PyObject* as_of) {
    PyObject* const* k = names(c);
    Ref totals = check(PyDict_New());
    Ref zero = check(PyFloat_FromDouble(0.0));
    Ref iterator = check(PyObject_GetIter(rows));
    while (Ref row = next(iterator.get())) {
        Ref fund = flatten_row(row.get());
        Ref currency = getitem(fund.get(), k[k_currencyCode]);
        Ref amount = getitem(fund.get(), k[k_value]);
        PyObject* so_far = PyDict_GetItemWithError(totals.get(), currency.get());
        if (so_far == nullptr && PyErr_Occurred()) throw PyError{};
        Ref total = check(PyNumber_Add(so_far != nullptr ? so_far : zero.get(), amount.get()));
        check(PyDict_SetItem(totals.get(), currency.get(), total.get()));
    }
    brokerage::Records records(state(c).keys.cash, brokerage::cash_size);
    Ref balances = check(PyList_New(0));
    // Only floats were added up (every number of a row is one), so testing
    // a total runs no Python code and the dict stays as it is.
    Py_ssize_t position = 0;
    PyObject *currency, *total;
    while (PyDict_Next(totals.get(), &position, &currency, &total)) {
        if (!truth(total)) continue;
        PyObject* values[brokerage::cash_size] = {currency, total, account, as_of};
        Ref balance = records.make(values);
        check(PyList_Append(balances.get(), balance.get()));
    }
    return balances;
}

}  // namespace morbex::keelson
