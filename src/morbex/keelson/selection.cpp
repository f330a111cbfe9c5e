// The selection: the portfolio's rows kept as open positions, each made a
// record, as _aggregated_active_holdings does; then the join (join.cpp).
//
// Speed. Portfolios run to thousands of positions. On plain data (exact
// dicts and lists, str and int ids and keys) with the class's own methods,
// every step is the interpreter's own code on built-in types: it runs no
// Python code and gives the same answer however often it is asked. There an
// id is converted once, and a record that only our own code makes and
// completes is made once, with its final values (nothing else can see it
// before). Anything else is done as written, for that position; and as that
// may have run Python code, nothing read before is trusted after it.
#include <optional>
#include <utility>
#include <vector>
#include "connection.hpp"
#include "holdings.hpp"
#include "rows.hpp"

namespace morbex::keelson {
namespace {

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
    explicit ActiveHoldings(PyObject* const* keys) : records_(keys), list_(check(PyList_New(0))) {}

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
    // when that is ours, and no record is made yet; with a valuation, each
    // record made a position at once, with the worth of its row.
    Ref map_unmade(const Call& c, PyObject* self, PyObject* holdings_info, PyObject* exchanges_info,
                   const Valuation* valuation) {
        // Every kept row is unmade here, and has its worth, in the same order.
        if (valuation != nullptr && valuation->kept.size() != unmade_.size()) {
            raise(PyExc_SystemError, "positions: the kept rows and their worth differ in number");
        }
        Ref source = c.global("get_exchange_mic_to_suffix_dict");
        Ref suffixes = call(source.get());
        Join join(c, self, holdings_info, exchanges_info, suffixes.get());
        for (std::size_t i = 0; i < unmade_.size(); ++i) {
            const Unmade& position = unmade_[i];
            Fields f;
            Ref record, mic;
            if (join.plainly(nullptr, position.id.get(), position.product_id.get(), f, valuation ? &mic : nullptr)) {
                record = valuation ? records_.completed_position(f, position.size.get(), mic.get(),
                                                                 valuation->kept[i], *valuation)
                                   : records_.completed(f, position.size.get());
            } else {
                record = records_.holding(position.id.get(), position.size.get());
                complete_literally(c, self, record.get(), holdings_info, exchanges_info, suffixes.get());
                join.forget();
                if (valuation) record = position_of(c, record.get(), i, *valuation, holdings_info, exchanges_info);
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

// select_fields for one of DEGIRO's rows, read as its flattened dict would
// be; with `worth` (for positions), what the row says of value as well.
Verdict select_raw(PyObject* const* k, PyObject* row, Unmade& kept, Worth* worth) {
    RowFields fields;
    if (!raw_fields(k, row, worth != nullptr, fields)) return Verdict::unknown;
    const Verdict verdict = select_fields(fields.value.get(), fields.id.get(), fields.size.get(), kept);
    if (worth != nullptr && verdict == Verdict::kept) *worth = worth_of(fields);
    return verdict;
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

// The loop body of _aggregated_active_holdings as written; whether the
// position was kept.
bool select_literally(const Call& c, PyObject* self, PyObject* holding, PyObject* zero,
                      ActiveHoldings& active_holdings, PyObject* active_holding_ids) {
    PyObject* const* k = names(c);
    // if holding["value"] == 0.0: continue
    Ref value = getitem(holding, k[k_value]);
    if (eq(value.get(), zero)) return false;
    // if not self._can_cast_to_int(holding["id"]): continue
    Method can_cast_to_int(c, self, k[k_can_cast_to_int], _can_cast_to_int_spec);
    Ref id = getitem(holding, k[k_id]);
    if (!truth(can_cast_to_int({id.get()}).get())) return false;
    keep_literally(c, self, holding, active_holdings, active_holding_ids);
    return true;
}

}  // namespace

namespace {

// The body of _aggregated_active_holdings over `rows`: flattened rows, or,
// when `raw`, DEGIRO's rows as the update gave them, each flattened only
// where the code as written is to see it. With a valuation (raw rows only),
// the worth of each kept row goes into it, and the records are positions.
Ref aggregate(const Call& c, PyObject* self, PyObject* rows, bool raw, Valuation* valuation) {
    PyObject* const* k = names(c);
    ActiveHoldings active_holdings(keys(c));
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
            Worth worth;
            const Verdict verdict = !ours->selection ? Verdict::unknown
                                    : raw            ? select_raw(k, row, kept, valuation ? &worth : nullptr)
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
                if (valuation) valuation->kept.push_back(std::move(worth));
                return;
            case Verdict::unknown:
                if (select_literally(c, self, holding, zero.get(), active_holdings, active_holding_ids.get()) &&
                    valuation) {
                    valuation->kept.push_back(worth_of(k, holding));
                }
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
        return active_holdings.map_unmade(c, self, active_holdings_info.get(), exchange_info.get(), valuation);
    }
    Ref holdings =
        map_holdings_with_info({active_holdings.list(), active_holdings_info.get(), exchange_info.get()});
    if (!valuation) return holdings;
    return positions_of(c, holdings.get(), *valuation, active_holdings_info.get(), exchange_info.get());
}

}  // namespace

Ref aggregated_active_holdings(const Call& c) { return aggregate(c, c[0], c[1], false, nullptr); }

Ref holdings_of_rows(const Call& c, PyObject* self, PyObject* rows) {
    PyObject* const* k = names(c);
    if (finds_own_method(c, self, k[k_aggregated_active_holdings], _aggregated_active_holdings_spec)) {
        return aggregate(c, self, rows, true, nullptr);
    }
    Ref all_holdings = flatten_rows(rows);
    return call_method(self, "_aggregated_active_holdings", {all_holdings.get()});
}

Ref positions_of_rows(const Call& c, PyObject* self, PyObject* rows, Valuation& valuation) {
    return aggregate(c, self, rows, true, &valuation);
}

Ref create_new_active_holding(const Call& c) { return Records(keys(c)).holding(c[1], c[2]); }

}  // namespace morbex::keelson
