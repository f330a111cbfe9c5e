// Holdings: the records DEGIRO's positions become, and the join of the
// selected positions with their products and exchanges, shared by the
// selection (selection.cpp) and the join itself (join.cpp).
#pragma once
#include <array>
#include <vector>
#include "plain.hpp"
#include "records.hpp"
#include "rows.hpp"
#include "state.hpp"

namespace morbex::keelson {

using brokerage::Key;

// The ten values _map_holdings_with_info gives a record, in the order it
// works them out.
enum Field : std::size_t {
    f_isin, f_ticker, f_company, f_exchange_id, f_exchange_name, f_exchange_city, f_exchange_country, f_currency,
    f_ticker_suffix, f_internal_id, field_count
};
constexpr Key field_keys[field_count] = {
    brokerage::key_isin,          brokerage::key_ticker,           brokerage::key_company,
    brokerage::key_exchange_id,   brokerage::key_exchange_name,    brokerage::key_exchange_city,
    brokerage::key_exchange_country, brokerage::key_currency,      brokerage::key_ticker_suffix,
    brokerage::key_internal_id};
using Fields = std::array<Ref, field_count>;

// What a kept row says of value, for its position: each number a float as
// the row gives it, or None where it gives none.
struct Worth {
    Ref id;  // as the row gives it: the key of its product
    Ref size, price, average_price, base_currency, base_value;
};

// What the positions of one read share, and the worth of each row the
// selection keeps, in its order.
struct Valuation {
    Ref account, as_of;
    std::vector<Worth> kept;
};

// Holding and position records, made as the shared records are.
class Records {
public:
    explicit Records(PyObject* const* keys)
        : records_(keys, brokerage::holding_size), positions_(keys, brokerage::position_size) {}

    // {"internal_id": id, "isin": None, ..., "quantity": size}
    Ref holding(PyObject* id, PyObject* size) {
        Ref record = records_.blank();
        check(PyDict_SetItem(record.get(), records_.key(brokerage::key_internal_id), id));
        check(PyDict_SetItem(record.get(), records_.key(brokerage::key_quantity), size));
        return record;
    }

    // holding(id, size) once _map_holdings_with_info has set these fields:
    // the same record, made in one go.
    Ref completed(const Fields& f, PyObject* size) {
        PyObject* values[brokerage::holding_size];
        for (std::size_t i = 0; i < field_count; ++i) values[field_keys[i]] = f[i].get();
        values[brokerage::key_quantity] = size;
        return records_.make(values);
    }

    // A position: a holding's eleven values, the listing's MIC, then the
    // row's worth (positions.cpp).
    Ref position(PyObject* const* holding_values, PyObject* mic, const Worth& worth, const Valuation& valuation);

    // completed(f, size) as a position.
    Ref completed_position(const Fields& f, PyObject* size, PyObject* mic, const Worth& worth,
                           const Valuation& valuation) {
        PyObject* values[brokerage::holding_size];
        for (std::size_t i = 0; i < field_count; ++i) values[field_keys[i]] = f[i].get();
        values[brokerage::key_quantity] = size;
        return position(values, mic, worth, valuation);
    }

private:
    brokerage::Records records_;
    brokerage::Records positions_;
};

// holding.update(fields) for an exact dict: dict.update from a dict sets its
// keys in order, and all of them exist, so the record keeps its key order.
inline void update_record(PyObject* const* keys, PyObject* holding, const Fields& f) {
    for (std::size_t i = 0; i < field_count; ++i) check(PyDict_SetItem(holding, keys[field_keys[i]], f[i].get()));
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

// The scan of the exchange list for an id, remembered: each entry's "id" is
// read once, the first time a scan reaches it, and kept in an open-addressing
// table (a few hundred exchanges, looked up once per record). Only entries
// that are exact dicts with an exact int "id" (within a long long) are taken:
// comparing those with an int runs no Python code. The first other entry
// stops it.
class ExchangeIndex {
public:
    static constexpr Py_ssize_t unknown = -2;

    void reset(PyObject* exchanges, PyObject* id_key) {
        exchanges_ = exchanges;
        id_key_ = id_key;
        std::size_t capacity = 8;
        while (capacity < 2 * static_cast<std::size_t>(PyList_GET_SIZE(exchanges))) capacity *= 2;
        slots_.assign(capacity, Slot{});
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        scanned_ = 0;
        stopped_ = false;
    }

    // The position of the first entry with this id; -1 when there is none,
    // `unknown` when an entry that is not plain comes first.
    Py_ssize_t find(long long id) {
        if (const Py_ssize_t found = slots_[probe(id)].position; found >= 0) return found;
        while (!stopped_ && scanned_ < PyList_GET_SIZE(exchanges_)) {
            const Py_ssize_t position = scanned_;
            PyObject* exchange = PyList_GET_ITEM(exchanges_, position);
            PyObject* exchange_id = PyDict_CheckExact(exchange) ? lookup(exchange, id_key_) : nullptr;
            long long value;
            if (exchange_id == nullptr || !PyLong_CheckExact(exchange_id) || !small_int_value(exchange_id, value)) {
                stopped_ = true;
                break;
            }
            ++scanned_;
            Slot& slot = slots_[probe(value)];
            if (slot.position < 0) slot = Slot{value, position};  // the first entry wins
            if (value == id) return position;
        }
        return stopped_ ? unknown : -1;
    }

private:
    struct Slot {
        long long id = 0;
        Py_ssize_t position = -1;  // -1: empty
    };

    // The slot of `id`, or the empty one where it would go.
    std::size_t probe(long long id) const {
        const std::size_t mask = slots_.size() - 1;
        const auto hash = static_cast<unsigned long long>(id) * 0x9E3779B97F4A7C15ULL;  // Fibonacci hashing
        std::size_t i = static_cast<std::size_t>(hash >> shift_);
        while (slots_[i].position >= 0 && slots_[i].id != id) i = (i + 1) & mask;
        return i;
    }

    PyObject* exchanges_ = nullptr;
    PyObject* id_key_ = nullptr;
    std::vector<Slot> slots_;
    unsigned shift_ = 61;
    Py_ssize_t scanned_ = 0;  // the leading entries read so far
    bool stopped_ = false;    // at an entry that is not plain
};

// _map_holdings_with_info's loop body on plain data, with what stays the same
// from record to record worked out once. What it keeps holds only while no
// Python code runs: forget() after anything that may have run some.
class Join {
public:
    Join(const Call& c, PyObject* self, PyObject* holdings_info, PyObject* exchanges_info, PyObject* suffixes);

    void forget() { fresh_ = false; }

    // The ten values for the record of product `id`: the record is `holding`,
    // or is not made yet (null); `product_id` is int(id) when the caller has
    // it. False, with nothing but the interpreter's own code run, when the
    // data is not plain: the record is then to be done as written. When the
    // ticker is not ours to work out, everything before it is taken plainly,
    // and the call and what follows it as written. `mic`, when given, is set
    // to the exchange's MIC (listing_mic), or None.
    bool plainly(PyObject* holding, PyObject* id, PyObject* product_id, Fields& f, Ref* mic = nullptr);

private:
    // What records read of one exchange, and the suffix our own
    // _get_ticker_with_suffix gives its tickers (empty: none).
    struct Exchange {
        std::size_t read = 0;  // the refresh() it was read after; 0: never
        bool complete = false, suffix_known = false;
        Ref name, city, country, suffix, mic;
    };

    void refresh();

    // The exchange at a position the index gave; null when it lacks a field
    // that the code as written then reports.
    const Exchange* exchange_at(Py_ssize_t position);

    const Call& c_;
    PyObject* const* k_;
    PyObject* self_;
    PyObject* holdings_info_;
    PyObject* exchanges_info_;
    PyObject* suffixes_;
    bool fresh_ = false;
    bool plain_ = false;
    bool ticker_is_ours_ = false;
    ExchangeIndex index_;
    std::vector<Exchange> exchanges_;  // by position
    std::size_t reads_ = 0;            // counts refresh()
};

// _map_holdings_with_info's loop body as written, for one record.
void complete_literally(const Call& c, PyObject* self, PyObject* holding, PyObject* holdings_info,
                        PyObject* exchanges_info, PyObject* suffixes);

// Tickers (ticker.cpp): what _get_ticker_with_suffix appends for an
// exchange, worked out on plain data: `suffix` is left empty when the ticker
// stays bare. False when the data is not plain.
bool plain_suffix(PyObject* const* k, PyObject* mic, PyObject* country, PyObject* suffixes, Ref& suffix);

// Positions (positions.cpp). An exchange's "micCode" as a position's MIC:
// a non-empty str, else None.
Ref listing_mic(PyObject* mic_code);
// The worth of a kept row: read off a plain row (raw_fields), or off its
// flattened dict as written (row.get(name)).
Worth worth_of(const RowFields& row);
Worth worth_of(PyObject* const* k, PyObject* flat);
// A position for each holding the join gave, paired in order with the kept
// rows, each holding's eleven values read as written and its MIC looked up
// as the join does.
Ref positions_of(const Call& c, PyObject* holdings, const Valuation& valuation, PyObject* holdings_info,
                 PyObject* exchanges_info);
// The position of the `index`-th kept row, from its holding record made as written.
Ref position_of(const Call& c, PyObject* holding, std::size_t index, const Valuation& valuation,
                PyObject* holdings_info, PyObject* exchanges_info);
// The MIC of product `id`'s exchange, found as the join finds it.
Ref mic_as_written(const Call& c, PyObject* holdings_info, PyObject* exchanges_info, PyObject* id);
// The cash funds' rows as balances: one per currency, zeros left out.
Ref cash_balances_of(const Call& c, PyObject* rows, PyObject* account, PyObject* as_of);

// The bodies of the methods of the same names.
Ref aggregated_active_holdings(const Call& c);
Ref create_new_active_holding(const Call& c);
Ref map_holdings_with_info(const Call& c);
Ref get_ticker_with_suffix(const Call& c);
// self._aggregated_active_holdings(<the rows, flattened>), where our own
// method takes the rows as they are.
Ref holdings_of_rows(const Call& c, PyObject* self, PyObject* rows);
// The positions of DEGIRO's rows: the same selection and join as
// _aggregated_active_holdings's own (whatever that method is on self), the
// rows' worth kept alongside.
Ref positions_of_rows(const Call& c, PyObject* self, PyObject* rows, Valuation& valuation);

}  // namespace morbex::keelson
