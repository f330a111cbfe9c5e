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
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "answers.hpp"
#include "exchanges.hpp"
#include "state.hpp"
#include "values.hpp"
#include "yahoo.hpp"

namespace morbex::trading212 {
namespace {

using brokerage::holding_size;
using brokerage::position_size;

Ref or_none(PyObject* v) { return Ref::borrow(v != nullptr ? v : Py_None); }

Ref text_or_none(const char* text) { return text != nullptr ? str(text) : none(); }

// An exchange of Trading 212's list and what the exchange table says of it.
struct Venue {
    Ref id;                   // Trading 212's id as text
    Ref name;                 // as Trading 212 spells it
    Ref city, country, mic;   // None where the table does not know the venue
    Ref suffix;               // Yahoo's suffix; null for none
    std::string suffix_text;  // the same, as text
    bool hong_kong = false;   // the suffix is HK: ticker_for pads numeric codes
    // The text of exchange_id, _name, _city and _country, written once for
    // all the records of the venue (for the text only).
    brokerage::RecordsWriter::Piece shown;
};

// What the instrument list says of a position's instrument.
struct Listing {
    PyObject* listed = nullptr;  // its entry; null when the list lacks it
    PyObject* symbol = nullptr;  // its shortName; null for none
    const Venue* venue = nullptr;
    Ref ticker_suffix;           // null for none; made for records only
    // The text of ticker and ticker_suffix (for the text only).
    brokerage::RecordsWriter::Piece shown;
};

// What a position's dicts point to, found by lookups alone: nothing it
// points to read yet.
struct Found {
    PyObject* position = nullptr;
    PyObject* ticker = nullptr;
    PyObject* quantity = nullptr;
    PyObject* isin = nullptr;
    PyObject* name = nullptr;
    PyObject* currency = nullptr;
};

// A position's values in key order, borrowed from the answers, the venues,
// the listings, or `owned`.
struct Values {
    PyObject* v[position_size];
    Ref owned[4];  // what is made for the record: a float quantity, value, major_currency, unit_scale
};

// The positions are read in one pass, their instruments found in one pass
// over the instrument list, then each record written.
class Mapping {
public:
    // `positions` an exact list. With `hold`, what is found in the lists is
    // held strongly and each position looked up again as it is read: making
    // dicts may run a collection, and any finalizer with it.
    // `writer` when the records are written as text, which writes what
    // records share once.
    Mapping(const Call& c, PyObject* positions, PyObject* instruments, PyObject* exchanges, bool hold,
            brokerage::RecordsWriter* writer = nullptr);

    // The values of the position at `index` of the list in key order: the
    // holding's first holding_size, then (with `full`) the rest of the
    // position's.
    void read(std::size_t index, PyObject* position, Values& values, bool full);
    // The pieces of the text of that position's record, by key (size 0 for
    // the values written as they are).
    void pieces(std::size_t index, brokerage::RecordsWriter::Piece* text) const;

    PyObject* base_currency = Py_None;  // borrowed, for `full`
    Ref account = none();
    PyObject* as_of = Py_None;  // borrowed

private:
    void find(PyObject* position, Found& found);
    void index_exchanges(PyObject* exchanges);
    void find_instruments(PyObject* instruments, Tickers& tickers);
    void match(Tickers& tickers, PyObject* listed, std::uint32_t first);
    void write_symbol(Listing& listing, const Venue* venue);
    const Venue* venue_of(PyObject* schedule) const;

    const Call& c_;
    PyObject* const* k_;
    Keys wire_;    // as the positions' answer holds them
    Keys listed_;  // as the instrument list holds them
    Place quantity_, instrument_, ticker_, isin_, name_, currency_;  // of positions and their instruments
    Place listed_ticker_, short_name_, schedule_;                    // of the instrument list
    bool hold_;
    std::vector<Venue> venues_;
    std::vector<std::pair<long long, std::size_t>> by_schedule_;  // sorted
    std::vector<std::uint32_t> by_small_schedule_;  // by id, while ids are small; venue + 1, 0 for none
    std::vector<Found> found_;       // by position
    std::vector<Listing> listings_;  // by position
    brokerage::RecordsWriter* writer_;  // of the text; null for records
    std::string scratch_[4];
    std::vector<Ref> held_;
};

Mapping::Mapping(const Call& c, PyObject* positions, PyObject* instruments, PyObject* exchanges, bool hold,
                 brokerage::RecordsWriter* writer)
    : c_(c), k_(names(c)), wire_(k_), listed_(k_), hold_(hold), writer_(writer) {
    const auto count = static_cast<std::size_t>(PyList_GET_SIZE(positions));
    if (count > 0) {
        PyObject* first = PyList_GET_ITEM(positions, 0);
        wire_.learn(first);
        if (PyDict_CheckExact(first)) {
            wire_.learn(field(first, wire_[k_instrument]));
            wire_.learn(field(first, wire_[k_walletImpact]));
        }
    }
    if (PyList_CheckExact(instruments) && PyList_GET_SIZE(instruments) > 0) {
        listed_.learn(PyList_GET_ITEM(instruments, 0));
    }
    index_exchanges(exchanges);
    quantity_ = Place(wire_[k_quantity]);
    instrument_ = Place(wire_[k_instrument]);
    ticker_ = Place(wire_[k_ticker]);
    isin_ = Place(wire_[k_isin]);
    name_ = Place(wire_[k_name]);
    currency_ = Place(wire_[k_currency]);
    listed_ticker_ = Place(listed_[k_ticker]);
    short_name_ = Place(listed_[k_shortName]);
    schedule_ = Place(listed_[k_workingScheduleId]);

    found_.resize(count);
    listings_.resize(count);
    if (count >= Tickers::none) return;
    Tickers tickers(count);
    for (std::size_t i = 0; i < count; ++i) {
        Found& found = found_[i];
        find(PyList_GET_ITEM(positions, static_cast<Py_ssize_t>(i)), found);
        if (found.ticker != nullptr && PyUnicode_CheckExact(found.ticker)) {
            tickers.add(found.ticker, static_cast<std::uint32_t>(i));
        }
    }
    if (PyList_CheckExact(instruments)) find_instruments(instruments, tickers);
}

void Mapping::find(PyObject* position, Found& found) {
    found = Found{};
    found.position = position;
    if (!PyDict_CheckExact(position)) return;
    found.quantity = quantity_.in(position);
    PyObject* instrument = instrument_.in(position);
    if (instrument == nullptr || !PyDict_CheckExact(instrument)) return;
    found.ticker = ticker_.in(instrument);
    found.isin = isin_.in(instrument);
    found.name = name_.in(instrument);
    found.currency = currency_.in(instrument);
}

// Entries of either list that are not what the list holds are passed over:
// a position whose instrument is not found keeps what it says itself.
void Mapping::find_instruments(PyObject* instruments, Tickers& tickers) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(instruments); ++i) {
        PyObject* listed = PyList_GET_ITEM(instruments, i);
        PyObject* ticker = PyDict_CheckExact(listed) ? listed_ticker_.in(listed) : nullptr;
        if (ticker == nullptr || !PyUnicode_CheckExact(ticker)) continue;
        const std::uint32_t first = tickers.find(ticker);
        // The first entry of a ticker is its instrument.
        if (first == Tickers::none || listings_[first].listed != nullptr) continue;
        match(tickers, listed, first);
    }
}

// The listing of the instrument `listed`, for the positions from `first` on.
void Mapping::match(Tickers& tickers, PyObject* listed, std::uint32_t first) {
    Listing found;
    found.listed = listed;
    found.symbol = short_name_.in(listed);
    found.venue = venue_of(schedule_.in(listed));
    if (found.symbol != nullptr && PyUnicode_Check(found.symbol)) {
        if (hold_) {
            found.ticker_suffix =
                brokerage::ticker_for(found.symbol, found.venue != nullptr ? found.venue->suffix.get() : nullptr);
        } else if (writer_ != nullptr) {
            write_symbol(found, found.venue);
        }
    }
    if (hold_) {
        held_.push_back(Ref::borrow(listed));
        if (found.symbol != nullptr) held_.push_back(Ref::borrow(found.symbol));
    }
    for (std::uint32_t p = first; p != Tickers::none; p = tickers.next(p)) listings_[p] = found;
}

// The JSON of a listing's symbol and ticker_suffix, written while the symbol
// is at hand: the text of a record then reads neither. ticker_for's
// f"{yahoo}.{suffix}" is written as yahoo's text with the suffix put inside
// its quotes (a suffix is letters only), with no str made for it; Hong Kong's
// four digits are ticker_for's own.
void Mapping::write_symbol(Listing& listing, const Venue* venue) {
    std::string& symbol = scratch_[0];
    std::string& suffixed = scratch_[1];
    symbol.clear();
    suffixed.clear();
    if (!brokerage::append_json(symbol, listing.symbol)) return;
    const bool hong_kong = venue != nullptr && venue->hong_kong;
    const bool suffix = venue != nullptr && venue->suffix && !hong_kong;
    Ref yahoo = hong_kong ? brokerage::ticker_for(listing.symbol, venue->suffix.get())
                          : brokerage::yahoo_symbol(listing.symbol);
    if (yahoo.get() == listing.symbol) {
        suffixed = symbol;
    } else {
        brokerage::append_json(suffixed, yahoo.get());
    }
    if (suffix) {
        suffixed.pop_back();  // the closing quote
        suffixed += '.';
        suffixed += venue->suffix_text;
        suffixed += '"';
    }
    listing.shown = writer_->piece(brokerage::key_ticker, {symbol, suffixed});
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
        if (row != nullptr && row->suffix != nullptr && row->suffix[0] != '\0') {
            venue.suffix = str(row->suffix);
            venue.suffix_text = row->suffix;
            venue.hong_kong = venue.suffix_text == "HK";
        }
        if (writer_ != nullptr) {
            const Ref* shown[] = {&venue.id, &venue.name, &venue.city, &venue.country};
            bool plain = true;
            for (std::size_t k = 0; k < 4; ++k) {
                scratch_[k].clear();
                plain = plain && brokerage::append_json(scratch_[k], shown[k]->get());
            }
            if (plain) {
                venue.shown = writer_->piece(brokerage::key_exchange_id,
                                             {scratch_[0], scratch_[1], scratch_[2], scratch_[3]});
            }
        }

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
            if (overflow == 0) by_schedule_.emplace_back(key, at);
        }
    }
    // The first exchange of a schedule wins, as the first entry of a key does.
    std::stable_sort(by_schedule_.begin(), by_schedule_.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    // Trading 212's schedule ids are small numbers: a table by id then.
    constexpr long long small = 1 << 16;
    if (!by_schedule_.empty() && by_schedule_.front().first >= 0 && by_schedule_.back().first < small) {
        by_small_schedule_.assign(static_cast<std::size_t>(by_schedule_.back().first) + 1, 0);
        for (auto it = by_schedule_.rbegin(); it != by_schedule_.rend(); ++it) {  // the first of an id last
            by_small_schedule_[static_cast<std::size_t>(it->first)] = static_cast<std::uint32_t>(it->second + 1);
        }
    }
}

const Venue* Mapping::venue_of(PyObject* schedule) const {
    if (schedule == nullptr || !PyLong_CheckExact(schedule)) return nullptr;
    int overflow = 0;
    const long long key = PyLong_AsLongLongAndOverflow(schedule, &overflow);
    if (key == -1 && PyErr_Occurred()) throw PyError{};
    if (overflow != 0) return nullptr;
    if (!by_small_schedule_.empty()) {
        if (key < 0 || static_cast<std::size_t>(key) >= by_small_schedule_.size()) return nullptr;
        const std::uint32_t at = by_small_schedule_[static_cast<std::size_t>(key)];
        return at == 0 ? nullptr : &venues_[at - 1];
    }
    const auto found = std::lower_bound(by_schedule_.begin(), by_schedule_.end(), key,
                                        [](const auto& entry, long long k) { return entry.first < k; });
    return found == by_schedule_.end() || found->first != key ? nullptr : &venues_[found->second];
}

void Mapping::pieces(std::size_t index, brokerage::RecordsWriter::Piece* text) const {
    const Listing& listing = listings_[index];
    text[brokerage::key_ticker] = listing.shown;
    text[brokerage::key_exchange_id] = listing.venue != nullptr ? listing.venue->shown : brokerage::RecordsWriter::Piece{};
}

void Mapping::read(std::size_t index, PyObject* position, Values& values, bool full) {
    using namespace brokerage;
    if (index >= found_.size()) not_understood(c_, false, open_positions.what);
    Found again;
    if (hold_) find(position, again);
    const Found& found = hold_ ? again : found_[index];
    PyObject** v = values.v;
    PyObject* ticker = found.ticker;
    PyObject* quantity = found.quantity;
    double amount = 0;
    if (ticker == nullptr || !PyUnicode_CheckExact(ticker) || !is_number(quantity) || !as_double(quantity, amount)) {
        not_understood(c_, false, open_positions.what);
    }
    const Listing& listing = listings_[index];
    PyObject* listed = listing.listed;
    const Venue* venue = listing.venue;
    auto either = [&](PyObject* own, Name listed_name) {
        PyObject* value = own != nullptr || listed == nullptr ? own : field(listed, listed_[listed_name]);
        return value != nullptr ? value : Py_None;
    };

    v[key_internal_id] = ticker;
    v[key_isin] = either(found.isin, k_isin);
    v[key_ticker] = listing.symbol != nullptr ? listing.symbol : Py_None;
    v[key_ticker_suffix] = listing.ticker_suffix ? listing.ticker_suffix.get() : Py_None;
    v[key_company] = either(found.name, k_name);
    v[key_exchange_id] = venue != nullptr ? venue->id.get() : Py_None;
    v[key_exchange_name] = venue != nullptr ? venue->name.get() : Py_None;
    v[key_exchange_city] = venue != nullptr ? venue->city.get() : Py_None;
    v[key_exchange_country] = venue != nullptr ? venue->country.get() : Py_None;
    v[key_currency] = either(found.currency, k_currencyCode);
    if (PyFloat_CheckExact(quantity)) {
        v[key_quantity] = quantity;
    } else {
        values.owned[0] = check(PyFloat_FromDouble(amount));
        v[key_quantity] = values.owned[0].get();
    }
    if (!full) return;

    position = found.position;
    PyObject* price = field(position, wire_[k_currentPrice]);
    PyObject* average = field(position, wire_[k_averagePricePaid]);
    PyObject* impact = field(position, wire_[k_walletImpact]);
    PyObject* base_value =
        impact != nullptr && PyDict_CheckExact(impact) ? field(impact, wire_[k_currentValue]) : nullptr;
    double each = 0;
    values.owned[1] = is_number(price) && as_double(price, each) ? check(PyFloat_FromDouble(amount * each)) : none();
    major_currency(v[key_currency], values.owned[2], values.owned[3]);
    v[key_mic] = venue != nullptr ? venue->mic.get() : Py_None;
    v[key_price] = is_number(price) ? price : Py_None;
    v[key_value] = values.owned[1].get();
    v[key_average_price] = is_number(average) ? average : Py_None;
    v[key_base_currency] = base_currency;
    v[key_base_value] = is_number(base_value) ? base_value : Py_None;
    v[key_account] = account.get();
    v[key_as_of] = as_of;
    v[key_major_currency] = values.owned[2].get();
    v[key_unit_scale] = values.owned[3].get();
}

// A record of `count` keys per position of `positions`, a list of its own
// that nothing else changes while dicts are made.
Ref records_of(const Call& c, Mapping& mapping, PyObject* positions, std::size_t count) {
    brokerage::Records records(keys(c), count);
    Ref list = check(PyList_New(0));
    Values values;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(positions); ++i) {
        mapping.read(static_cast<std::size_t>(i), PyList_GET_ITEM(positions, i), values, count == position_size);
        Ref record = records.make(values.v);
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
    Ref json = c.global("json");
    if (brokerage::standard_json(json.get(), state(c).json)) {
        // Writing runs no Python code and makes no container (no
        // collection): the lists stay as they are until the text is done.
        brokerage::RecordsWriter writer(keys(c), holding_size, static_cast<std::size_t>(PyList_GET_SIZE(positions)));
        Mapping mapping(c, positions, instruments, exchanges, false, &writer);
        Values values;
        std::array<brokerage::RecordsWriter::Piece, holding_size> pieces{};
        bool plain = true;
        for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(positions); ++i) {
            mapping.read(static_cast<std::size_t>(i), PyList_GET_ITEM(positions, i), values, false);
            mapping.pieces(static_cast<std::size_t>(i), pieces.data());
            plain = writer.add(values.v, pieces.data());
        }
        if (plain) return writer.text();
    }
    Ref own = check(PyList_GetSlice(positions, 0, PyList_GET_SIZE(positions)));
    Mapping mapping(c, own.get(), instruments, exchanges, true);
    Ref records = records_of(c, mapping, own.get(), holding_size);
    return brokerage::records_text(json.get(), state(c).json, records.get());
}

Ref position_records(const Call& c, PyObject* positions, PyObject* instruments, PyObject* exchanges,
                     PyObject* summary, PyObject* as_of) {
    if (!PyList_CheckExact(positions)) not_understood(c, false, open_positions.what);
    Ref own = check(PyList_GetSlice(positions, 0, PyList_GET_SIZE(positions)));
    Mapping mapping(c, own.get(), instruments, exchanges, true);
    PyObject* currency = PyDict_CheckExact(summary) ? field(summary, names(c)[k_currency]) : nullptr;
    mapping.base_currency = currency != nullptr ? currency : Py_None;
    mapping.account = account_text(summary, names(c)[k_id]);
    mapping.as_of = as_of;
    return records_of(c, mapping, own.get(), position_size);
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
