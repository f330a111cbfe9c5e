// The join: each selected position's record completed with its product
// and its exchange, as _map_holdings_with_info does.
//
// Speed. The exchange list runs to hundreds of entries: on plain data (exact
// dicts and lists, str and int ids and keys) with the class's own methods,
// the exchange is found in an index of the list instead of by a scan, and
// what records read of an exchange is read once. Anything else (a mapping
// that is not a dict, an overridden method, an id that is not plain) is done
// as written, for that record; and as that may have run Python code, which
// may change anything, nothing read before is trusted after it.
#include "holdings.hpp"
#include "yahoo.hpp"

namespace morbex::keelson {

using brokerage::ticker_for;
using brokerage::yahoo_symbol;

namespace {

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
    Ref internal_id = holding != nullptr ? getitem(holding, keys(c)[brokerage::key_internal_id]) : Ref::borrow(id);
    f[f_internal_id] = to_int(int_type.get(), internal_id.get());
}

}  // namespace

// _map_holdings_with_info's loop body as written, for one record.
void complete_literally(const Call& c, PyObject* self, PyObject* holding, PyObject* holdings_info,
                        PyObject* exchanges_info, PyObject* suffixes) {
    PyObject* const* k = names(c);
    auto internal_id = [&] { return getitem(holding, keys(c)[brokerage::key_internal_id]); };

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
    for (std::size_t i = 0; i < field_count; ++i) check(PyDict_SetItem(changes.get(), keys(c)[field_keys[i]], f[i].get()));
    call(update.get(), {changes.get()});
}

Join::Join(const Call& c, PyObject* self, PyObject* holdings_info, PyObject* exchanges_info, PyObject* suffixes)
    : c_(c), k_(names(c)), self_(self), holdings_info_(holdings_info), exchanges_info_(exchanges_info),
      suffixes_(suffixes) {}

bool Join::plainly(PyObject* holding, PyObject* id, PyObject* product_id, Fields& f, Ref* mic) {
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
        if (mic != nullptr) *mic = exchange != nullptr ? exchange->mic : none();
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

void Join::refresh() {
        fresh_ = true;
        plain_ = PyDict_CheckExact(holdings_info_) && PyList_CheckExact(exchanges_info_) && int_is_ours(c_);
        if (!plain_) return;
        ticker_is_ours_ = finds_own_method(c_, self_, k_[k_get_ticker_with_suffix], _get_ticker_with_suffix_spec);
        index_.reset(exchanges_info_, k_[k_id]);
        ++reads_;  // what was read of the exchanges before is not trusted
        const auto size = static_cast<std::size_t>(PyList_GET_SIZE(exchanges_info_));
        if (exchanges_.size() < size) exchanges_.resize(size);
    }

const Join::Exchange* Join::exchange_at(Py_ssize_t position) {
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
            e.mic = listing_mic(mic != nullptr ? mic : Py_None);
        }
        return e.complete ? &e : nullptr;
    }

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
                PyObject* internal_id = lookup(holding, keys(c)[brokerage::key_internal_id]);
                if (internal_id != nullptr && join.plainly(holding, internal_id, nullptr, f)) {
                    update_record(keys(c), holding, f);
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
