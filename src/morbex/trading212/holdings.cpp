// The records: each open position with its instrument (by ticker) and that
// instrument's exchange (by working schedule), as _holdings_of does.
//
//     def _holdings_of(positions, instruments, exchanges):
//         by_ticker = {i["ticker"]: i for i in instruments}           # the first of a ticker
//         by_schedule = {s["id"]: e for e in exchanges for s in e["workingSchedules"]}
//         records = []
//         for position in positions:
//             instrument = position["instrument"]
//             listed = by_ticker.get(instrument["ticker"])
//             exchange = by_schedule.get(listed["workingScheduleId"]) if listed else None
//             row = <the exchange table's row for exchange["name"]>
//             symbol = listed["shortName"] if listed else None
//             records.append({
//                 "internal_id": instrument["ticker"],
//                 "isin": instrument["isin"], "ticker": symbol,
//                 "ticker_suffix": ticker_for(symbol, row.suffix) if symbol else None,
//                 "company": instrument["name"],
//                 "exchange_id": str(exchange["id"]), "exchange_name": exchange["name"],
//                 "exchange_city": row.city, "exchange_country": row.country,
//                 "currency": instrument["currency"],
//                 "quantity": float(position["quantity"]),       # pies included already
//             })                                                   # None where unknown
//         return json.dumps(records)
//
// An instrument's ISIN, name and currency come from the position, else from
// the instrument list. The text is written as the records are read, none of
// them made (brokerage::RecordsWriter), while json.dumps is the standard one
// and every value plain; else the records are made and handed to json.dumps.
// Reading runs no Python code: answers are exact dicts and lists of str,
// int, float, bool and None, and anything else in a position is an answer
// not understood.
#include <array>
#include <string_view>
#include <unordered_map>
#include <vector>
#include "exchanges.hpp"
#include "state.hpp"
#include "values.hpp"
#include "yahoo.hpp"

namespace morbex::trading212 {
namespace {

using brokerage::holding_size;
using brokerage::position_size;

// dict.get(key) on an exact dict: borrowed, null when missing or None.
PyObject* field(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred()) throw PyError{};
    return found == Py_None ? nullptr : found;
}

// A JSON number: an int or a float, not a bool.
bool is_number(PyObject* v) { return v != nullptr && (PyFloat_CheckExact(v) || PyLong_CheckExact(v)); }

// A number as a double; false (no error set) for an int beyond a double's range.
bool as_double(PyObject* v, double& out) {
    out = PyFloat_CheckExact(v) ? PyFloat_AS_DOUBLE(v) : PyLong_AsDouble(v);
    if (out == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PyError{};
        PyErr_Clear();
        return false;
    }
    return true;
}

Ref or_none(PyObject* v) { return Ref::borrow(v != nullptr ? v : Py_None); }

Ref text_or_none(const char* text) { return text != nullptr ? str(text) : none(); }

// An exchange of Trading 212's list and what the exchange table says of it.
struct Venue {
    Ref id;                   // Trading 212's id as text
    Ref name;                 // as Trading 212 spells it
    Ref city, country, mic;   // None where the table does not know the venue
    Ref suffix;               // Yahoo's suffix; null for none
};

class Mapping {
public:
    Mapping(const Call& c, PyObject* instruments, PyObject* exchanges);

    // The position's record values in key order: the holding's first
    // holding_size, then (with `full`) the rest of the position's.
    using Values = std::array<Ref, position_size>;
    void read(PyObject* position, Values& v, bool full);

    PyObject* base_currency = Py_None;  // borrowed, for `full`
    Ref account = none();
    PyObject* as_of = Py_None;

private:
    void index_instruments(PyObject* instruments);
    void index_exchanges(PyObject* exchanges);
    const Venue* venue_of(PyObject* schedule) const;

    const Call& c_;
    PyObject* const* k_;
    Ref by_ticker_;
    std::vector<Venue> venues_;
    std::unordered_map<long long, std::size_t> by_schedule_;
};

Mapping::Mapping(const Call& c, PyObject* instruments, PyObject* exchanges)
    : c_(c), k_(names(c)), by_ticker_(check(PyDict_New())) {
    index_instruments(instruments);
    index_exchanges(exchanges);
}

// Entries that are not what the list holds are passed over: an instrument
// the index lacks leaves its positions' records without what it would give.
void Mapping::index_instruments(PyObject* instruments) {
    if (!PyList_CheckExact(instruments)) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instruments); ++i) {
        PyObject* instrument = PyList_GET_ITEM(instruments, i);
        if (!PyDict_CheckExact(instrument)) continue;
        PyObject* ticker = field(instrument, k_[k_ticker]);
        if (ticker == nullptr || !PyUnicode_CheckExact(ticker)) continue;
        if (PyDict_SetDefault(by_ticker_.get(), ticker, instrument) == nullptr) throw PyError{};
    }
}

void Mapping::index_exchanges(PyObject* exchanges) {
    if (!PyList_CheckExact(exchanges)) return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(exchanges); ++i) {
        PyObject* exchange = PyList_GET_ITEM(exchanges, i);
        if (!PyDict_CheckExact(exchange)) continue;
        PyObject* schedules = field(exchange, k_[k_workingSchedules]);
        if (schedules == nullptr || !PyList_CheckExact(schedules)) continue;

        Venue venue;
        PyObject* id = field(exchange, k_[k_id]);
        venue.id = id != nullptr && PyLong_CheckExact(id) ? check(PyObject_Str(id)) : or_none(id);
        PyObject* name = field(exchange, k_[k_name]);
        venue.name = or_none(name);
        const brokerage::Exchange* row = nullptr;
        if (name != nullptr && PyUnicode_Check(name)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
            if (utf8 == nullptr) throw PyError{};
            row = brokerage::exchange_by_trading212(std::string_view(utf8, static_cast<std::size_t>(size)));
        }
        venue.city = text_or_none(row ? row->city : nullptr);
        venue.country = text_or_none(row ? row->country : nullptr);
        venue.mic = text_or_none(row ? row->mic : nullptr);
        if (row != nullptr && row->suffix != nullptr && row->suffix[0] != '\0') venue.suffix = str(row->suffix);

        const std::size_t at = venues_.size();
        venues_.push_back(std::move(venue));
        for (Py_ssize_t j = 0; j < PyList_GET_SIZE(schedules); ++j) {
            PyObject* schedule = PyList_GET_ITEM(schedules, j);
            if (!PyDict_CheckExact(schedule)) continue;
            PyObject* schedule_id = field(schedule, k_[k_id]);
            if (schedule_id == nullptr || !PyLong_CheckExact(schedule_id)) continue;
            int overflow = 0;
            const long long key = PyLong_AsLongLongAndOverflow(schedule_id, &overflow);
            if (key == -1 && PyErr_Occurred()) throw PyError{};
            if (overflow == 0) by_schedule_.emplace(key, at);
        }
    }
}

const Venue* Mapping::venue_of(PyObject* schedule) const {
    if (schedule == nullptr || !PyLong_CheckExact(schedule)) return nullptr;
    int overflow = 0;
    const long long key = PyLong_AsLongLongAndOverflow(schedule, &overflow);
    if (key == -1 && PyErr_Occurred()) throw PyError{};
    if (overflow != 0) return nullptr;
    const auto found = by_schedule_.find(key);
    return found == by_schedule_.end() ? nullptr : &venues_[found->second];
}

void Mapping::read(PyObject* position, Values& v, bool full) {
    using namespace brokerage;
    PyObject* const* k = k_;
    PyObject* instrument = PyDict_CheckExact(position) ? field(position, k[k_instrument]) : nullptr;
    PyObject* ticker = instrument != nullptr && PyDict_CheckExact(instrument) ? field(instrument, k[k_ticker]) : nullptr;
    PyObject* quantity = PyDict_CheckExact(position) ? field(position, k[k_quantity]) : nullptr;
    double amount = 0;
    if (ticker == nullptr || !PyUnicode_CheckExact(ticker) || !is_number(quantity) || !as_double(quantity, amount)) {
        not_understood(c_, false, open_positions.what);
    }

    PyObject* listed = PyDict_GetItemWithError(by_ticker_.get(), ticker);
    if (listed == nullptr && PyErr_Occurred()) throw PyError{};
    PyObject* symbol = listed != nullptr ? field(listed, k[k_shortName]) : nullptr;
    const Venue* venue = listed != nullptr ? venue_of(field(listed, k[k_workingScheduleId])) : nullptr;
    auto either = [&](Name own, Name listed_name) {
        PyObject* value = field(instrument, k[own]);
        return or_none(value != nullptr || listed == nullptr ? value : field(listed, k[listed_name]));
    };

    v[key_internal_id] = Ref::borrow(ticker);
    v[key_isin] = either(k_isin, k_isin);
    v[key_ticker] = or_none(symbol);
    v[key_ticker_suffix] = symbol != nullptr && PyUnicode_Check(symbol)
                               ? ticker_for(symbol, venue != nullptr ? venue->suffix.get() : nullptr)
                               : none();
    v[key_company] = either(k_name, k_name);
    v[key_exchange_id] = venue != nullptr ? venue->id : none();
    v[key_exchange_name] = venue != nullptr ? venue->name : none();
    v[key_exchange_city] = venue != nullptr ? venue->city : none();
    v[key_exchange_country] = venue != nullptr ? venue->country : none();
    v[key_currency] = either(k_currency, k_currencyCode);
    v[key_quantity] = PyFloat_CheckExact(quantity) ? Ref::borrow(quantity) : check(PyFloat_FromDouble(amount));
    if (!full) return;

    PyObject* price = field(position, k[k_currentPrice]);
    PyObject* average = field(position, k[k_averagePricePaid]);
    PyObject* impact = field(position, k[k_walletImpact]);
    PyObject* base_value = impact != nullptr && PyDict_CheckExact(impact) ? field(impact, k[k_currentValue]) : nullptr;
    double each = 0;
    v[key_mic] = venue != nullptr ? venue->mic : none();
    v[key_price] = or_none(is_number(price) ? price : nullptr);
    v[key_value] = is_number(price) && as_double(price, each) ? check(PyFloat_FromDouble(amount * each)) : none();
    v[key_average_price] = or_none(is_number(average) ? average : nullptr);
    v[key_base_currency] = Ref::borrow(base_currency);
    v[key_base_value] = or_none(is_number(base_value) ? base_value : nullptr);
    v[key_account] = account;
    v[key_as_of] = Ref::borrow(as_of);
    major_currency(v[key_currency].get(), v[key_major_currency], v[key_unit_scale]);
}

// The values as the borrowed array the records are made from.
std::array<PyObject*, position_size> borrowed(const Mapping::Values& v) {
    std::array<PyObject*, position_size> out{};
    for (std::size_t i = 0; i < position_size; ++i) out[i] = v[i].get();
    return out;
}

// A record of `count` keys per position.
Ref records_of(const Call& c, Mapping& mapping, PyObject* positions, std::size_t count) {
    brokerage::Records records(keys(c), count);
    Ref list = check(PyList_New(0));
    Mapping::Values v;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions); ++i) {
        Ref position = Ref::borrow(PyList_GET_ITEM(positions, i));
        mapping.read(position.get(), v, count == position_size);
        Ref record = records.make(borrowed(v).data());
        check(PyList_Append(list.get(), record.get()));
    }
    return list;
}

// str(id) for the account's id, as the records name the account.
Ref account_text(PyObject* summary, PyObject* id_key) {
    PyObject* id = PyDict_CheckExact(summary) ? field(summary, id_key) : nullptr;
    if (id != nullptr && PyLong_CheckExact(id)) return check(PyObject_Str(id));
    return or_none(id != nullptr && PyUnicode_CheckExact(id) ? id : nullptr);
}

}  // namespace

Ref holdings_text(const Call& c, PyObject* positions, PyObject* instruments, PyObject* exchanges) {
    if (!PyList_CheckExact(positions)) not_understood(c, false, open_positions.what);
    Mapping mapping(c, instruments, exchanges);
    Ref json = c.global("json");
    if (brokerage::standard_json(json.get(), state(c).json)) {
        brokerage::RecordsWriter writer(keys(c), holding_size, static_cast<std::size_t>(PyList_GET_SIZE(positions)));
        Mapping::Values v;
        bool plain = true;
        for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(positions); ++i) {
            Ref position = Ref::borrow(PyList_GET_ITEM(positions, i));
            mapping.read(position.get(), v, false);
            plain = writer.add(borrowed(v).data());
        }
        if (plain) return writer.text();
    }
    Ref records = records_of(c, mapping, positions, holding_size);
    return brokerage::records_text(json.get(), state(c).json, records.get());
}

Ref position_records(const Call& c, PyObject* positions, PyObject* instruments, PyObject* exchanges,
                     PyObject* summary, PyObject* as_of) {
    if (!PyList_CheckExact(positions)) not_understood(c, false, open_positions.what);
    Mapping mapping(c, instruments, exchanges);
    PyObject* currency = PyDict_CheckExact(summary) ? field(summary, names(c)[k_currency]) : nullptr;
    mapping.base_currency = currency != nullptr ? currency : Py_None;
    mapping.account = account_text(summary, names(c)[k_id]);
    mapping.as_of = as_of;
    return records_of(c, mapping, positions, position_size);
}

Ref cash_records(const Call& c, PyObject* summary, PyObject* as_of) {
    // The free cash: what availableToTrade says; nothing reserved for orders
    // or held in pies is free.
    PyObject* const* k = names(c);
    Ref list = check(PyList_New(0));
    if (!PyDict_CheckExact(summary)) return list;
    PyObject* currency = field(summary, k[k_currency]);
    PyObject* cash = field(summary, k[k_cash]);
    PyObject* amount = cash != nullptr && PyDict_CheckExact(cash) ? field(cash, k[k_availableToTrade]) : nullptr;
    if (currency == nullptr || !PyUnicode_CheckExact(currency) || !is_number(amount) || !truth(amount)) return list;
    Ref account = account_text(summary, k[k_id]);
    PyObject* values[brokerage::cash_size] = {};
    values[brokerage::cash_currency] = currency;
    values[brokerage::cash_amount] = amount;
    values[brokerage::cash_account] = account.get();
    values[brokerage::cash_as_of] = as_of;
    brokerage::Records records(state(c).keys.cash, brokerage::cash_size);
    Ref record = records.make(values);
    check(PyList_Append(list.get(), record.get()));
    return list;
}

}  // namespace morbex::trading212
