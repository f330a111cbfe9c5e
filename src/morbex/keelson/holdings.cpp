// Holdings: selecting the positions, making the records, and joining them
// with their products and exchanges.
//
// Speed. Portfolios run to thousands of positions and the exchange list to
// hundreds of entries. On plain data (exact dicts and lists, str and int ids
// and keys) with the class's own methods, every step is the interpreter's own
// code on built-in types: it runs no Python code and gives the same answer
// however often it is asked. There each step is taken once: an id is
// converted once, the exchange is found in an index of the list instead of by
// a scan, what records read of an exchange is read once, and a record that
// only our own code makes and completes is made once, with its final values
// (nothing else can see it before). Anything else (a mapping that is not a
// dict, an overridden method, an id that is not plain) is done as written,
// for that position or record; and as that may have run Python code, which
// may change anything, nothing read before is trusted after it.
#include <array>
#include <optional>
#include <utility>
#include <vector>
#include "handler.hpp"
#include "keelson.hpp"
#include "records.hpp"

namespace morbex::keelson {
namespace {

// ---------------------------------------------------------------------------
// Completing records

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

// The last two values of the update as written: ticker_suffix and
// internal_id. `exchange_index` is null for None; the record's internal_id is
// read from `holding`, or is `id` for a record not made yet.
void ticker_and_id_as_written(const Call& c, PyObject* self, PyObject* holding, PyObject* id, PyObject* holding_info,
                              PyObject* exchanges_info, PyObject* exchange_index, PyObject* suffixes, Fields& f) {
    PyObject* const* k = names(c);
    if (exchange_index != nullptr) {
        // self._get_ticker_with_suffix(holding_info["symbol"], exchanges_info[exchange_index].get("micCode"),
        //                              exchanges_info[exchange_index]["country"], exchange_mic_to_suffix_dict)
        Method get_ticker_with_suffix(c, self, k[k_get_ticker_with_suffix], _get_ticker_with_suffix_spec);
        Ref ticker_name = getitem(holding_info, k[k_symbol]);
        Ref exchange = getitem(exchanges_info, exchange_index);
        Ref exchange_mic = check(PyObject_CallMethodOneArg(exchange.get(), k[k_get], k[k_micCode]));
        exchange = getitem(exchanges_info, exchange_index);
        Ref exchange_country = getitem(exchange.get(), k[k_country]);
        f[f_ticker_suffix] =
            get_ticker_with_suffix({ticker_name.get(), exchange_mic.get(), exchange_country.get(), suffixes});
    } else {
        Ref symbol = getitem(holding_info, k[k_symbol]);
        f[f_ticker_suffix] = yahoo_symbol(symbol.get());
    }
    // int(holding["internal_id"])
    Ref int_type = c.global(k[k_int_]);
    Ref internal_id = holding != nullptr ? getitem(holding, k[k_internal_id]) : Ref::borrow(id);
    f[f_internal_id] = to_int(int_type.get(), internal_id.get());
}

// _map_holdings_with_info's loop body as written, for one record.
void complete_literally(const Call& c, PyObject* self, PyObject* holding, PyObject* holdings_info,
                        PyObject* exchanges_info, PyObject* suffixes) {
    PyObject* const* k = names(c);
    auto internal_id = [&] { return getitem(holding, k[k_internal_id]); };

    // holding_info = holdings_info[holding["internal_id"]]
    Ref holding_info = getitem(holdings_info, internal_id().get());

    // for index, exchange in enumerate(exchanges_info):
    //     if exchange["id"] == int(holdings_info[holding["internal_id"]]["exchangeId"]): ...
    Ref exchange_index;  // None until one matches
    Ref iterator = check(PyObject_GetIter(exchanges_info));
    for (Py_ssize_t index = 0; Ref exchange = next(iterator.get()); ++index) {
        Ref exchange_id = getitem(exchange.get(), k[k_id]);
        Ref int_type = c.global(k[k_int_]);
        Ref product = getitem(holdings_info, internal_id().get());
        Ref product_exchange_id = getitem(product.get(), k[k_exchangeId]);
        Ref target = to_int(int_type.get(), product_exchange_id.get());
        if (eq(exchange_id.get(), target.get())) {
            exchange_index = check(PyLong_FromSsize_t(index));
            break;
        }
    }
    // exchanges_info[exchange_index], afresh for each use
    auto exchange = [&] { return getitem(exchanges_info, exchange_index.get()); };

    // holding.update({...}): the method is looked up before the values.
    Ref update = check(PyObject_GetAttr(holding, k[k_update]));
    Fields f;
    f[f_isin] = getitem(holding_info.get(), k[k_isin]);
    f[f_ticker] = getitem(holding_info.get(), k[k_symbol]);
    f[f_company] = getitem(holding_info.get(), k[k_name]);
    f[f_exchange_id] = getitem(holding_info.get(), k[k_exchangeId]);
    if (exchange_index) {
        f[f_exchange_name] = getitem(exchange().get(), k[k_name]);
        f[f_exchange_city] = check(PyObject_CallMethodOneArg(exchange().get(), k[k_get], k[k_city]));
        f[f_exchange_country] = getitem(exchange().get(), k[k_country]);
    } else {
        f[f_exchange_name] = f[f_exchange_city] = f[f_exchange_country] = none();
    }
    f[f_currency] = getitem(holding_info.get(), k[k_currency]);
    ticker_and_id_as_written(c, self, holding, nullptr, holding_info.get(), exchanges_info, exchange_index.get(),
                             suffixes, f);

    Ref changes = check(PyDict_New());
    for (std::size_t i = 0; i < field_count; ++i) check(PyDict_SetItem(changes.get(), k[field_keys[i]], f[i].get()));
    call(update.get(), {changes.get()});
}

// _map_holdings_with_info's loop body on plain data, with what stays the same
// from record to record worked out once. What it keeps holds only while no
// Python code runs: forget() after anything that may have run some.
class Join {
public:
    Join(const Call& c, PyObject* self, PyObject* holdings_info, PyObject* exchanges_info, PyObject* suffixes)
        : c_(c), k_(names(c)), self_(self), holdings_info_(holdings_info), exchanges_info_(exchanges_info),
          suffixes_(suffixes) {}

    void forget() { fresh_ = false; }

    // The ten values for the record of product `id`: the record is `holding`,
    // or is not made yet (null); `product_id` is int(id) when the caller has
    // it. False, with nothing but the interpreter's own code run, when the
    // data is not plain: the record is then to be done as written. When the
    // ticker is not ours to work out, everything before it is taken plainly,
    // and the call and what follows it as written.
    bool plainly(PyObject* holding, PyObject* id, PyObject* product_id, Fields& f) {
        if (!fresh_) refresh();
        if (!plain_ || !plain_key(id)) return false;
        PyObject* const* k = k_;
        // holding_info = holdings_info[holding["internal_id"]]
        PyObject* product = lookup(holdings_info_, id);
        if (product == nullptr || !PyDict_CheckExact(product)) return false;
        // The scan converts the exchangeId only when there is an entry to compare.
        Py_ssize_t position = -1;
        const Exchange* exchange = nullptr;
        if (PyList_GET_SIZE(exchanges_info_) > 0) {
            PyObject* exchange_id = lookup(product, k[k_exchangeId]);
            long long target;
            if (exchange_id == nullptr || !small_int_value(exchange_id, target)) return false;
            position = index_.find(target);
            if (position == ExchangeIndex::unknown) return false;
            if (position >= 0 && (exchange = exchange_at(position)) == nullptr) return false;
        }
        PyObject* isin = lookup(product, k[k_isin]);
        PyObject* symbol = lookup(product, k[k_symbol]);
        PyObject* company = lookup(product, k[k_name]);
        PyObject* exchange_id = lookup(product, k[k_exchangeId]);
        PyObject* currency = lookup(product, k[k_currency]);
        if (!isin || !symbol || !company || !exchange_id || !currency) return false;
        const bool suffix_known = exchange == nullptr || (ticker_is_ours_ && exchange->suffix_known);
        if (suffix_known) {
            f[f_internal_id] = product_id != nullptr ? Ref::borrow(product_id) : int_of(id);
            if (!f[f_internal_id]) return false;
            if (exchange != nullptr && exchange->suffix && !plain_value(symbol)) return false;  // formatted below
        }

        f[f_isin] = Ref::borrow(isin);
        f[f_ticker] = Ref::borrow(symbol);
        f[f_company] = Ref::borrow(company);
        f[f_exchange_id] = Ref::borrow(exchange_id);
        f[f_currency] = Ref::borrow(currency);
        if (exchange == nullptr) {
            f[f_exchange_name] = f[f_exchange_city] = f[f_exchange_country] = none();
            f[f_ticker_suffix] = yahoo_symbol(symbol);
            return true;
        }
        f[f_exchange_name] = exchange->name;
        f[f_exchange_city] = exchange->city;
        f[f_exchange_country] = exchange->country;
        if (suffix_known) {
            f[f_ticker_suffix] = ticker_for(symbol, exchange->suffix.get());
            return true;
        }
        // Somebody's _get_ticker_with_suffix, or a suffix mapping that is not
        // plain: that may run Python code, so the rest is done as written.
        Ref holding_info = Ref::borrow(product);
        Ref exchange_index = check(PyLong_FromSsize_t(position));
        forget();
        ticker_and_id_as_written(c_, self_, holding, id, holding_info.get(), exchanges_info_, exchange_index.get(),
                                 suffixes_, f);
        return true;
    }

private:
    // What records read of one exchange, and the suffix our own
    // _get_ticker_with_suffix gives its tickers (empty: none).
    struct Exchange {
        std::size_t read = 0;  // the refresh() it was read after; 0: never
        bool complete = false, suffix_known = false;
        Ref name, city, country, suffix;
    };

    void refresh() {
        fresh_ = true;
        plain_ = PyDict_CheckExact(holdings_info_) && PyList_CheckExact(exchanges_info_) && int_is_ours(c_);
        if (!plain_) return;
        ticker_is_ours_ = finds_own_method(c_, self_, k_[k_get_ticker_with_suffix], _get_ticker_with_suffix_spec);
        index_.reset(exchanges_info_, k_[k_id]);
        ++reads_;  // what was read of the exchanges before is not trusted
        const auto size = static_cast<std::size_t>(PyList_GET_SIZE(exchanges_info_));
        if (exchanges_.size() < size) exchanges_.resize(size);
    }

    // The exchange at a position the index gave; null when it lacks a field
    // that the code as written then reports.
    const Exchange* exchange_at(Py_ssize_t position) {
        // An exact dict, as the index found it; checked again all the same,
        // since a finalizer that a collection runs could change the list.
        const auto at = static_cast<std::size_t>(position);
        if (position >= PyList_GET_SIZE(exchanges_info_) || at >= exchanges_.size()) return nullptr;
        Exchange& e = exchanges_[at];
        if (e.read != reads_) {
            e = Exchange{};
            e.read = reads_;
            PyObject* entry = PyList_GET_ITEM(exchanges_info_, position);
            if (!PyDict_CheckExact(entry)) return nullptr;
            PyObject* name = lookup(entry, k_[k_name]);
            PyObject* city = lookup(entry, k_[k_city]);  // .get("city")
            PyObject* country = lookup(entry, k_[k_country]);
            PyObject* mic = lookup(entry, k_[k_micCode]);  // .get("micCode")
            if (name == nullptr || country == nullptr) return nullptr;
            e.complete = true;
            e.name = Ref::borrow(name);
            e.city = Ref::borrow(city != nullptr ? city : Py_None);
            e.country = Ref::borrow(country);
            e.suffix_known = plain_suffix(k_, mic != nullptr ? mic : Py_None, country, suffixes_, e.suffix);
        }
        return e.complete ? &e : nullptr;
    }

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

// ---------------------------------------------------------------------------
// Selecting positions

// A kept position whose record is not made yet: its id and size, and int(id)
// when our own code worked it out.
struct Unmade {
    Ref id, size, product_id;
};

// active_holdings, with the making of our own records put off: while every
// record is _create_new_active_holding's own, nothing else sees one before
// _map_holdings_with_info has completed it (when that is ours too), so each
// can be made once, with its final values.
class ActiveHoldings {
public:
    explicit ActiveHoldings(PyObject* const* k) : records_(k), list_(check(PyList_New(0))) {}

    // self._create_new_active_holding(id, size), ours.
    void add_own(Unmade position) {
        if (deferring_) {
            unmade_.push_back(std::move(position));
        } else {
            append(records_.holding(position.id.get(), position.size.get()));
        }
    }
    // A record made by somebody else's _create_new_active_holding.
    void add(const Ref& record) {
        make_all();
        append(record);
    }
    // The list as written, every record made.
    PyObject* list() {
        make_all();
        return list_.get();
    }

    // Whether no record is made yet.
    bool none_made() const { return deferring_; }
    // self._map_holdings_with_info(active_holdings, holdings_info, exchanges_info)
    // when that is ours, and no record is made yet.
    Ref map_unmade(const Call& c, PyObject* self, PyObject* holdings_info, PyObject* exchanges_info) {
        Ref source = c.global("get_exchange_mic_to_suffix_dict");
        Ref suffixes = call(source.get());
        Join join(c, self, holdings_info, exchanges_info, suffixes.get());
        for (const Unmade& position : unmade_) {
            Fields f;
            Ref record;
            if (join.plainly(nullptr, position.id.get(), position.product_id.get(), f)) {
                record = records_.completed(f, position.size.get());
            } else {
                record = records_.holding(position.id.get(), position.size.get());
                complete_literally(c, self, record.get(), holdings_info, exchanges_info, suffixes.get());
                join.forget();
            }
            append(record);
        }
        unmade_.clear();
        deferring_ = false;
        return list_;
    }

private:
    void append(const Ref& record) { check(PyList_Append(list_.get(), record.get())); }
    void make_all() {
        for (const Unmade& position : unmade_) append(records_.holding(position.id.get(), position.size.get()));
        unmade_.clear();
        deferring_ = false;
    }

    Records records_;
    Ref list_;
    std::vector<Unmade> unmade_;
    bool deferring_ = true;
};

enum class Verdict { dropped, kept, unknown };

// The loop body of _aggregated_active_holdings for a plain position (its
// value an exact float or int, its id an exact str or int that int() takes),
// our own methods and int given, from the three values it reads (null where
// missing). `unknown`, with nothing but the interpreter's own code run, for
// any other position.
Verdict select_fields(PyObject* value, PyObject* id, PyObject* size, Unmade& kept) {
    // if holding["value"] == 0.0: continue
    if (value == nullptr) return Verdict::unknown;
    if (PyFloat_CheckExact(value)) {
        if (PyFloat_AS_DOUBLE(value) == 0.0) return Verdict::dropped;
    } else if (PyLong_CheckExact(value)) {
        if (!truth(value)) return Verdict::dropped;
    } else {
        return Verdict::unknown;
    }
    // if not self._can_cast_to_int(holding["id"]): continue -- the handler's
    // lookup of ValueError is left to the code as written.
    if (id == nullptr || !plain_key(id)) return Verdict::unknown;
    Ref product_id = int_of(id);
    if (!product_id || size == nullptr) return Verdict::unknown;
    kept = Unmade{Ref::borrow(id), Ref::borrow(size), std::move(product_id)};
    return Verdict::kept;
}

// select_fields for a flattened row, an exact dict.
Verdict select_plainly(PyObject* const* k, PyObject* holding, Unmade& kept) {
    if (!PyDict_CheckExact(holding)) return Verdict::unknown;
    return select_fields(lookup(holding, k[k_value]), lookup(holding, k[k_id]), lookup(holding, k[k_size]), kept);
}

// select_fields for one of DEGIRO's rows, read as its flattened dict would be.
Verdict select_raw(PyObject* const* k, PyObject* row, Unmade& kept) {
    Ref value, id, size;
    if (!raw_fields(k, row, value, id, size)) return Verdict::unknown;
    return select_fields(value.get(), id.get(), size.get(), kept);
}

// The second half of the loop body as written, for a position that passed:
//     active_holdings.append(self._create_new_active_holding(holding["id"], holding["size"]))
//     active_holding_ids.append(int(holding["id"]))
void keep_literally(const Call& c, PyObject* self, PyObject* holding, ActiveHoldings& active_holdings,
                    PyObject* active_holding_ids) {
    PyObject* const* k = names(c);
    Method create_new_active_holding(c, self, k[k_create_new_active_holding], _create_new_active_holding_spec);
    Ref id = getitem(holding, k[k_id]);
    Ref size = getitem(holding, k[k_size]);
    if (create_new_active_holding.own()) {
        active_holdings.add_own(Unmade{id, size, Ref()});
    } else {
        active_holdings.add(create_new_active_holding({id.get(), size.get()}));
    }
    Ref int_type = c.global(k[k_int_]);
    Ref product_id = getitem(holding, k[k_id]);
    Ref as_int = to_int(int_type.get(), product_id.get());
    check(PyList_Append(active_holding_ids, as_int.get()));
}

// The loop body of _aggregated_active_holdings as written.
void select_literally(const Call& c, PyObject* self, PyObject* holding, PyObject* zero,
                      ActiveHoldings& active_holdings, PyObject* active_holding_ids) {
    PyObject* const* k = names(c);
    // if holding["value"] == 0.0: continue
    Ref value = getitem(holding, k[k_value]);
    if (eq(value.get(), zero)) return;
    // if not self._can_cast_to_int(holding["id"]): continue
    Method can_cast_to_int(c, self, k[k_can_cast_to_int], _can_cast_to_int_spec);
    Ref id = getitem(holding, k[k_id]);
    if (!truth(can_cast_to_int({id.get()}).get())) return;
    keep_literally(c, self, holding, active_holdings, active_holding_ids);
}

}  // namespace

namespace {

// The body of _aggregated_active_holdings over `rows`: flattened rows, or,
// when `raw`, DEGIRO's rows as the update gave them, each flattened only
// where the code as written is to see it.
Ref aggregate(const Call& c, PyObject* self, PyObject* rows, bool raw) {
    PyObject* const* k = names(c);
    ActiveHoldings active_holdings(k);
    Ref active_holding_ids = check(PyList_New(0));
    Ref zero = check(PyFloat_FromDouble(0.0));

    // Whether _can_cast_to_int and int, and _create_new_active_holding, are
    // ours: asked again after anything that may have run Python code.
    struct Ours {
        bool selection, creation;
    };
    std::optional<Ours> ours;
    auto forget = [&] { ours.reset(); };
    for_each(
        rows,
        [&](PyObject* row) {
            if (!ours) {
                ours = Ours{finds_own_method(c, self, k[k_can_cast_to_int], _can_cast_to_int_spec) && int_is_ours(c),
                            finds_own_method(c, self, k[k_create_new_active_holding],
                                             _create_new_active_holding_spec)};
            }
            Unmade kept;
            const Verdict verdict = !ours->selection ? Verdict::unknown
                                    : raw            ? select_raw(k, row, kept)
                                                     : select_plainly(k, row, kept);
            Ref flat = raw && !(verdict == Verdict::dropped || (verdict == Verdict::kept && ours->creation))
                           ? flatten_row(row)
                           : Ref::borrow(row);
            PyObject* holding = flat.get();
            switch (verdict) {
            case Verdict::dropped:
                return;
            case Verdict::kept:
                if (ours->creation) {
                    check(PyList_Append(active_holding_ids.get(), kept.product_id.get()));
                    active_holdings.add_own(std::move(kept));
                } else {
                    keep_literally(c, self, holding, active_holdings, active_holding_ids.get());
                    forget();
                }
                return;
            case Verdict::unknown:
                select_literally(c, self, holding, zero.get(), active_holdings, active_holding_ids.get());
                forget();
                return;
            }
        },
        forget);

    Ref stock_info = call_method(self, "_get_stock_info", {active_holding_ids.get()});
    Ref active_holdings_info = getitem(stock_info.get(), "data");
    Ref trading_api = getattr(self, "trading_api");
    Ref products_config = read_from(c, trading_api.get(), "get_products_config", {}, "the exchange list");
    Ref exchange_info = getitem(products_config.get(), "exchanges");
    Method map_holdings_with_info(c, self, k[k_map_holdings_with_info], _map_holdings_with_info_spec);
    if (map_holdings_with_info.own() && active_holdings.none_made()) {
        return active_holdings.map_unmade(c, self, active_holdings_info.get(), exchange_info.get());
    }
    return map_holdings_with_info({active_holdings.list(), active_holdings_info.get(), exchange_info.get()});
}

}  // namespace

Ref aggregated_active_holdings(const Call& c) { return aggregate(c, c[0], c[1], false); }

Ref holdings_of_rows(const Call& c, PyObject* self, PyObject* rows) {
    PyObject* const* k = names(c);
    if (finds_own_method(c, self, k[k_aggregated_active_holdings], _aggregated_active_holdings_spec)) {
        return aggregate(c, self, rows, true);
    }
    Ref all_holdings = flatten_rows(rows);
    return call_method(self, "_aggregated_active_holdings", {all_holdings.get()});
}

Ref create_new_active_holding(const Call& c) { return Records(names(c)).holding(c[1], c[2]); }

Ref map_holdings_with_info(const Call& c) {
    PyObject* self = c[0];
    PyObject* holdings = c[1];
    PyObject* holdings_info = c[2];
    PyObject* exchanges_info = c[3];
    PyObject* const* k = names(c);

    Ref source = c.global("get_exchange_mic_to_suffix_dict");
    Ref exchange_mic_to_suffix_dict = call(source.get());

    Join join(c, self, holdings_info, exchanges_info, exchange_mic_to_suffix_dict.get());
    for_each(
        holdings,
        [&](PyObject* holding) {
            Fields f;
            if (plain_record(holding)) {
                PyObject* internal_id = lookup(holding, k[k_internal_id]);
                if (internal_id != nullptr && join.plainly(holding, internal_id, nullptr, f)) {
                    update_record(k, holding, f);
                    return;
                }
            }
            complete_literally(c, self, holding, holdings_info, exchanges_info, exchange_mic_to_suffix_dict.get());
            join.forget();
        },
        [&] { join.forget(); });
    return Ref::borrow(holdings);
}

}  // namespace morbex::keelson
