// morbex.keelson: the DEGIRO broker.
//
//     import json
//     import degiro_connector.core.helpers.pb_handler as pb_handler
//     from degiro_connector.trading.api import API as DegiroAPI
//     from degiro_connector.trading.models.trading_pb2 import Credentials, ProductsInfo, Update
//     from morbex.pactum import BrokerBase
//     from morbex.utils import get_exchange_mic_to_suffix_dict
//
//     class BrokerDeGiro(BrokerBase):
//         def __init__(self):
//             self.int_account = None
//             self.trading_api = None
//
//         def _create_and_connect_api(self, username, password):
//             _check_credential("username", username)   # see check_credential below
//             _check_credential("password", password)
//             credentials = Credentials(username=username, password=password, int_account=self.int_account)
//             trading_api = DegiroAPI(credentials)
//             try:
//                 trading_api.connect()
//             except ConnectionError as e:
//                 raise ConnectionError(f"Failed to authenticate with Degiro API: {e}")
//             return trading_api
//
//         def authenticate_with_username_password(self, **kwargs) -> "None":
//             username = kwargs.get("username")
//             password = kwargs.get("password")
//             self.int_account = kwargs.get("int_account")
//             if not username or not password:
//                 raise ValueError("Both 'username' and 'password' must be provided.")
//             trading_api = self._create_and_connect_api(username, password)
//             if not self.int_account:
//                 client_details = trading_api.get_client_details()
//                 self.int_account = client_details["data"]["intAccount"]
//                 trading_api.logout()
//                 trading_api = self._create_and_connect_api(username, password)
//             self.trading_api = trading_api
//
//         def authenticate_with_email_password(self, **kwargs):
//             raise NotImplementedError("DEGIRO does not support authentication with email and password.")
//
//         def authenticate_with_token(self, **kwargs):
//             raise NotImplementedError("DEGIRO does not support authentication with tokens.")
//
//         def logout_with_username_password(self, **kwargs):
//             self.trading_api.logout()
//
//         def get_current_stock_holdings(self):
//             request_list = Update.RequestList()
//             request_list.values.extend([Update.Request(option=Update.Option.PORTFOLIO, last_updated=0)])
//             update = self.trading_api.get_update(request_list=request_list)
//             all_holdings = pb_handler.message_to_dict(message=update)["portfolio"]["values"]
//             holdings = self._aggregated_active_holdings(all_holdings)
//             return json.dumps(holdings)
//
//         def _aggregated_active_holdings(self, all_holdings):
//             active_holdings = []
//             active_holding_ids = []
//             for holding in all_holdings:
//                 if holding["value"] == 0.0:
//                     continue
//                 if not self._can_cast_to_int(holding["id"]):
//                     continue
//                 active_holdings.append(self._create_new_active_holding(holding["id"], holding["size"]))
//                 active_holding_ids.append(int(holding["id"]))
//             active_holdings_info = self._get_stock_info(active_holding_ids)["data"]
//             exchange_info = self.trading_api.get_products_config(raw=True)["exchanges"]
//             return self._map_holdings_with_info(active_holdings, active_holdings_info, exchange_info)
//
//         def _create_new_active_holding(self, id, size):
//             return {"internal_id": id, "isin": None, "ticker": None, "ticker_suffix": None,
//                     "company": None, "exchange_id": None, "exchange_name": None, "exchange_city": None,
//                     "exchange_country": None, "currency": None, "quantity": size}
//
//         def _get_stock_info(self, ids):
//             request = ProductsInfo.Request()
//             request.products.extend(ids)
//             return self.trading_api.get_products_info(request=request, raw=True)
//
//         def _map_holdings_with_info(self, holdings, holdings_info, exchanges_info):
//             exchange_mic_to_suffix_dict = get_exchange_mic_to_suffix_dict()
//             for holding in holdings:
//                 holding_info = holdings_info[holding["internal_id"]]
//                 exchange_index = None
//                 for index, exchange in enumerate(exchanges_info):
//                     if exchange["id"] == int(holdings_info[holding["internal_id"]]["exchangeId"]):
//                         exchange_index = index
//                         break
//                 if exchange_index is None:
//                     holding.update({
//                         "isin": holding_info["isin"],
//                         "ticker": holding_info["symbol"],
//                         "company": holding_info["name"],
//                         "exchange_id": holding_info["exchangeId"],
//                         "exchange_name": None,
//                         "exchange_city": None,
//                         "exchange_country": None,
//                         "currency": holding_info["currency"],
//                         "ticker_suffix": holding_info["symbol"],
//                         "internal_id": int(holding["internal_id"]),
//                     })
//                     continue
//                 holding.update({
//                     "isin": holding_info["isin"],
//                     "ticker": holding_info["symbol"],
//                     "company": holding_info["name"],
//                     "exchange_id": holding_info["exchangeId"],
//                     "exchange_name": exchanges_info[exchange_index]["name"],
//                     "exchange_city": exchanges_info[exchange_index].get("city"),
//                     "exchange_country": exchanges_info[exchange_index]["country"],
//                     "currency": holding_info["currency"],
//                     "ticker_suffix": self._get_ticker_with_suffix(
//                         holding_info["symbol"],
//                         exchanges_info[exchange_index].get("micCode"),
//                         exchanges_info[exchange_index]["country"],
//                         exchange_mic_to_suffix_dict,
//                     ),
//                     "internal_id": int(holding["internal_id"]),
//                 })
//             return holdings
//
//         def _get_ticker_with_suffix(self, ticker_name, exchange_mic, exchange_country,
//                                     exchange_mic_to_suffix_dict):
//             suffix = exchange_mic_to_suffix_dict.get(exchange_mic)
//             if not suffix or exchange_country == "US":
//                 return ticker_name
//             return f"{ticker_name}.{suffix}"
//
//         def _can_cast_to_int(self, value):
//             try:
//                 int(value)
//                 return True
//             except ValueError:
//                 return False
//
// A product whose exchange is missing from the configuration keeps its record,
// with the exchange fields null, instead of failing the whole query; and
// DEGIRO leaves out "city" and "micCode" for some exchanges (fund matching
// venues), so those two read as None when absent.
//
// Speed. Portfolios run to thousands of positions and the exchange list to
// hundreds of entries. On plain data (exact dicts and lists, str and int ids
// and keys) with the class's own methods, every step above is the
// interpreter's own code on built-in types: it runs no Python code and gives
// the same answer however often it is asked. There each step is taken once:
// an id is converted once, the exchange is found in an index of the list
// instead of by a scan, what records read of an exchange is read once, and a
// record that only our own code makes and completes is made once, with its
// final values (nothing else can see it before). Anything else (a mapping
// that is not a dict, an overridden method, an id that is not plain) is done
// as written, for that position or record; and as that may have run Python
// code, which may change anything, nothing read before is trusted after it.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>
#include "classes.hpp"
#include "error.hpp"
#include "handler.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::keelson {
namespace {

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
    X(get_ticker_with_suffix, "_get_ticker_with_suffix") X(int_, "int") X(get, "get")                 \
    X(update, "update") X(US, "US")

enum Name : std::size_t {
#define KEELSON_ENUM(id, text) k_##id,
    KEELSON_NAMES(KEELSON_ENUM)
#undef KEELSON_ENUM
    name_count
};

constexpr const char* name_texts[] = {
#define KEELSON_TEXT(id, text) text,
    KEELSON_NAMES(KEELSON_TEXT)
#undef KEELSON_TEXT
};
static_assert(sizeof(name_texts) / sizeof(name_texts[0]) == name_count);

// The module's interned names (a tuple in its state), borrowed, in their order.
PyObject* const* names(const Call& c) {
    auto* state = static_cast<ModuleState*>(c.module_state());
    return &PyTuple_GET_ITEM(state->extra, 0);
}

Ref intern_names() {
    Ref tuple = check(PyTuple_New(name_count));
    for (std::size_t i = 0; i < name_count; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), intern(name_texts[i]).release());
    }
    return tuple;
}

extern const FunctionSpec _can_cast_to_int_spec;
extern const FunctionSpec _create_new_active_holding_spec;
extern const FunctionSpec _map_holdings_with_info_spec;
extern const FunctionSpec _get_ticker_with_suffix_spec;

// ---------------------------------------------------------------------------
// Plain data: what the interpreter hashes, compares, tests, converts and
// formats with its own code alone.

// A dict key or an id: hashing and comparing it runs no Python code.
bool plain_key(PyObject* key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

// A value that compares, tests and formats without Python code.
bool plain_value(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v);
}

// dict[key] for an exact dict and a plain key: borrowed, or null if missing.
PyObject* lookup(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found == nullptr && PyErr_Occurred()) throw PyError{};
    return found;
}

// Whether LOAD_GLOBAL `name` would give `expected`; raises nothing when the
// name is missing.
bool global_is(const Call& c, PyObject* name, PyObject* expected) {
    if (c.fn->globals == nullptr || c.fn->builtins == nullptr) return false;
    PyObject* found = lookup(c.fn->globals, name);
    return (found != nullptr ? found : lookup(c.fn->builtins, name)) == expected;
}

bool int_is_ours(const Call& c) {
    return global_is(c, names(c)[k_int_], reinterpret_cast<PyObject*>(&PyLong_Type));
}

// The value of an exact int, or of ASCII digits (what ids are), that fits in
// a long long.
bool small_int_value(PyObject* v, long long& out) {
    if (PyLong_CheckExact(v)) {
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (out == -1 && PyErr_Occurred()) throw PyError{};
        return overflow == 0;
    }
    if (!PyUnicode_CheckExact(v) || !PyUnicode_IS_ASCII(v)) return false;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(v);
    if (length == 0 || length > 18) return false;
    const auto* digits = static_cast<const unsigned char*>(PyUnicode_DATA(v));
    out = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        out = out * 10 + (digits[i] - '0');
    }
    return true;
}

// int(id) for a plain id, without the general parser when it is plain
// digits; empty, with no error set, where int() raises ValueError.
Ref int_of(PyObject* id) {
    if (PyLong_CheckExact(id)) return Ref::borrow(id);  // int(i) is i itself
    long long value;
    if (small_int_value(id, value)) return check(PyLong_FromLongLong(value));
    Ref converted = Ref::steal(PyLong_FromUnicodeObject(id, 10));
    if (!converted) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        PyErr_Clear();
    }
    return converted;
}

// int_type(x), `int` as the caller looked it up: for the built-in int and a
// plain id, without the call.
Ref to_int(PyObject* int_type, PyObject* x) {
    if (int_type == reinterpret_cast<PyObject*>(&PyLong_Type) && plain_key(x)) {
        if (Ref value = int_of(x)) return value;  // else int() raises its ValueError below
    }
    return call(int_type, {x});
}

// next(it), or an empty Ref at the end.
Ref next(PyObject* iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw PyError{};
    return item;
}

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
// Holding records

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
void update_record(PyObject* const* k, PyObject* holding, const Fields& f) {
    for (std::size_t i = 0; i < field_count; ++i) check(PyDict_SetItem(holding, k[field_keys[i]], f[i].get()));
}

// An exact dict with str keys and plain values: reading it and replacing its
// values runs no Python code.
bool plain_record(PyObject* holding) {
    if (!PyDict_CheckExact(holding)) return false;
    Py_ssize_t position = 0;
    PyObject *key, *value;
    while (PyDict_Next(holding, &position, &key, &value)) {
        if (!PyUnicode_CheckExact(key) || !plain_value(value)) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Tickers

// One replacement field of an f-string: text as it is, anything else formatted.
Ref text(PyObject* v) { return PyUnicode_CheckExact(v) ? Ref::borrow(v) : format(v); }

// f"{head}.{tail}" for two str, made in one piece as the f-string's join
// makes it.
Ref dotted(PyObject* head, PyObject* tail) {
    const Py_ssize_t head_length = PyUnicode_GET_LENGTH(head);
    const Py_ssize_t tail_length = PyUnicode_GET_LENGTH(tail);
    const Py_UCS4 widest = std::max(PyUnicode_MAX_CHAR_VALUE(head), PyUnicode_MAX_CHAR_VALUE(tail));
    Ref joined = check(PyUnicode_New(head_length + 1 + tail_length, widest));
    if (PyUnicode_KIND(joined.get()) == PyUnicode_1BYTE_KIND) {  // and so are both pieces
        Py_UCS1* out = PyUnicode_1BYTE_DATA(joined.get());
        std::memcpy(out, PyUnicode_1BYTE_DATA(head), static_cast<std::size_t>(head_length));
        out[head_length] = '.';
        std::memcpy(out + head_length + 1, PyUnicode_1BYTE_DATA(tail), static_cast<std::size_t>(tail_length));
    } else {
        check(static_cast<int>(PyUnicode_CopyCharacters(joined.get(), 0, head, 0, head_length)));
        check(PyUnicode_WriteChar(joined.get(), head_length, '.'));
        check(static_cast<int>(PyUnicode_CopyCharacters(joined.get(), head_length + 1, tail, 0, tail_length)));
    }
    return joined;
}

// f"{ticker_name}.{suffix}"
Ref suffixed(PyObject* ticker_name, PyObject* suffix) {
    Ref head = text(ticker_name);
    Ref tail = text(suffix);
    return dotted(head.get(), tail.get());
}

// What _get_ticker_with_suffix appends for an exchange, worked out on plain
// data: `suffix` is left empty when the ticker stays bare. False when the
// data is not plain.
bool plain_suffix(PyObject* const* k, PyObject* mic, PyObject* country, PyObject* suffixes, Ref& suffix) {
    if (!PyDict_CheckExact(suffixes) || !(mic == Py_None || plain_key(mic)) || !plain_value(country)) return false;
    PyObject* found = lookup(suffixes, mic);  // .get(mic): None when missing, and None is falsy
    if (found != nullptr && !plain_value(found)) return false;
    const bool bare = found == nullptr || !truth(found) || eq(country, k[k_US]);
    suffix = bare ? Ref() : Ref::borrow(found);
    return true;
}

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
        f[f_ticker_suffix] = getitem(holding_info, k[k_symbol]);
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
            f[f_ticker_suffix] = Ref::borrow(symbol);
            return true;
        }
        f[f_exchange_name] = exchange->name;
        f[f_exchange_city] = exchange->city;
        f[f_exchange_country] = exchange->country;
        if (suffix_known) {
            f[f_ticker_suffix] = exchange->suffix ? suffixed(symbol, exchange->suffix.get()) : Ref::borrow(symbol);
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

// The loop body of _aggregated_active_holdings for a plain position (an exact
// dict whose value is an exact float or int, and whose id is an exact str or
// int that int() takes), our own methods and int given. `unknown`, with
// nothing but the interpreter's own code run, for any other position.
Verdict select_plainly(PyObject* const* k, PyObject* holding, Unmade& kept) {
    if (!PyDict_CheckExact(holding)) return Verdict::unknown;
    // if holding["value"] == 0.0: continue
    PyObject* value = lookup(holding, k[k_value]);
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
    PyObject* id = lookup(holding, k[k_id]);
    if (id == nullptr || !plain_key(id)) return Verdict::unknown;
    Ref product_id = int_of(id);
    PyObject* size = lookup(holding, k[k_size]);
    if (!product_id || size == nullptr) return Verdict::unknown;
    kept = Unmade{Ref::borrow(id), Ref::borrow(size), std::move(product_id)};
    return Verdict::kept;
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

// ---------------------------------------------------------------------------
// class BrokerDeGiro(BrokerBase)

// __init__
Ref init(const Call& c) {
    setattr(c[0], "int_account", Py_None);
    setattr(c[0], "trading_api", Py_None);
    return none();
}

// A credential goes into a protobuf string field, which takes str and UTF-8
// bytes. Anything else must not reach protobuf: its codec errors carry the
// whole value (in repr() and .object), and its pure-Python build quotes a
// refused value in the message. Refused here instead, naming the parameter,
// never the value, and with no exception chained.
void check_credential(const Call& c, const char* name, PyObject* value) {
    if (!PyUnicode_Check(value) && !PyBytes_Check(value)) {
        Ref type_error = c.global("TypeError");
        Ref type_name = check(PyType_GetName(Py_TYPE(value)));
        Ref message = check(PyUnicode_FromFormat("'%s' must be str or bytes, not %U", name, type_name.get()));
        raise_new(type_error.get(), message.get());
    }
    Ref text = Ref::steal(PyUnicode_Check(value) ? PyUnicode_AsUTF8String(value)
                                                 : PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value),
                                                                        PyBytes_GET_SIZE(value), "strict"));
    if (text) return;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw PyError{};
    PyErr_Clear();
    Ref value_error = c.global("ValueError");
    Ref message = check(PyUnicode_FromFormat("'%s' is not valid UTF-8 text", name));
    raise_new(value_error.get(), message.get());
}

Ref _create_and_connect_api(const Call& c) {
    PyObject* self = c[0];
    check_credential(c, "username", c[1]);
    check_credential(c, "password", c[2]);
    Ref credentials_type = c.global("Credentials");
    Ref int_account = getattr(self, "int_account");
    Ref credentials = call(credentials_type.get(), {},
                           {{"username", c[1]}, {"password", c[2]}, {"int_account", int_account.get()}});
    Ref api_type = c.global("DegiroAPI");
    Ref trading_api = call(api_type.get(), {credentials.get()});
    try {
        call_method(trading_api.get(), "connect");
    } catch (const PyError&) {
        Handler caught;
        Ref connection_error = c.global("ConnectionError");
        if (!caught.matches(connection_error.get())) caught.reraise();
        // Raised while the caught error is handled: it becomes __context__,
        // and there is no __cause__.
        Ref error_type = c.global("ConnectionError");
        Ref prefix = str("Failed to authenticate with Degiro API: ");
        Ref reason = format(caught.exception());
        Ref message = check(PyUnicode_Concat(prefix.get(), reason.get()));
        raise_new(error_type.get(), message.get());
    }
    return trading_api;
}

// kwargs.get(key)
Ref keyword(PyObject* kwargs, const char* key) {
    Ref name = intern(key);
    PyObject* found = PyDict_GetItemWithError(kwargs, name.get());
    if (found == nullptr && PyErr_Occurred()) throw PyError{};
    return found ? Ref::borrow(found) : none();
}

Ref authenticate_with_username_password(const Call& c) {
    PyObject* self = c[0];
    Ref username = keyword(c.kwargs, "username");
    Ref password = keyword(c.kwargs, "password");
    Ref int_account = keyword(c.kwargs, "int_account");
    setattr(self, "int_account", int_account.get());
    if (!truth(username.get()) || !truth(password.get())) {
        Ref value_error = c.global("ValueError");
        raise_new(value_error.get(), str("Both 'username' and 'password' must be provided.").get());
    }
    Ref trading_api = call_method(self, "_create_and_connect_api", {username.get(), password.get()});
    Ref known_account = getattr(self, "int_account");
    if (!truth(known_account.get())) {
        // Every data request carries the account number, and only a logged-in
        // client can read it: log in once to learn it, then again with it.
        Ref client_details = call_method(trading_api.get(), "get_client_details");
        Ref data = getitem(client_details.get(), "data");
        Ref learned = getitem(data.get(), "intAccount");
        setattr(self, "int_account", learned.get());
        call_method(trading_api.get(), "logout");
        trading_api = call_method(self, "_create_and_connect_api", {username.get(), password.get()});
    }
    setattr(self, "trading_api", trading_api.get());
    return none();
}

Ref authenticate_with_email_password(const Call& c) {
    Ref not_implemented = c.global("NotImplementedError");
    raise_new(not_implemented.get(), str("DEGIRO does not support authentication with email and password.").get());
}

Ref authenticate_with_token(const Call& c) {
    Ref not_implemented = c.global("NotImplementedError");
    raise_new(not_implemented.get(), str("DEGIRO does not support authentication with tokens.").get());
}

Ref logout_with_username_password(const Call& c) {
    Ref trading_api = getattr(c[0], "trading_api");
    call_method(trading_api.get(), "logout");
    return none();
}

Ref get_current_stock_holdings(const Call& c) {
    PyObject* self = c[0];
    Ref update_type = c.global("Update");
    Ref request_list = call_method(update_type.get(), "RequestList");

    // request_list.values.extend([Update.Request(option=Update.Option.PORTFOLIO, last_updated=0)])
    Ref values = getattr(request_list.get(), "values");
    Ref extend = getattr(values.get(), "extend");
    Ref request_type = getattr(c.global("Update").get(), "Request");
    Ref option = getattr(c.global("Update").get(), "Option");
    Ref portfolio = getattr(option.get(), "PORTFOLIO");
    Ref zero = check(PyLong_FromLong(0));
    Ref request = call(request_type.get(), {}, {{"option", portfolio.get()}, {"last_updated", zero.get()}});
    Ref requests = check(PyList_New(1));
    PyList_SET_ITEM(requests.get(), 0, request.release());
    call(extend.get(), {requests.get()});

    Ref trading_api = getattr(self, "trading_api");
    Ref update = call_method(trading_api.get(), "get_update", {}, {{"request_list", request_list.get()}});
    Ref converter = c.global("pb_handler");
    Ref update_dict = call_method(converter.get(), "message_to_dict", {}, {{"message", update.get()}});
    Ref portfolio_dict = getitem(update_dict.get(), "portfolio");
    Ref all_holdings = getitem(portfolio_dict.get(), "values");

    Ref holdings = call_method(self, "_aggregated_active_holdings", {all_holdings.get()});
    Ref json = c.global("json");
    return call_method(json.get(), "dumps", {holdings.get()});
}

Ref _aggregated_active_holdings(const Call& c) {
    PyObject* self = c[0];
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
        c[1],
        [&](PyObject* holding) {
            if (!ours) {
                ours = Ours{finds_own_method(c, self, k[k_can_cast_to_int], _can_cast_to_int_spec) && int_is_ours(c),
                            finds_own_method(c, self, k[k_create_new_active_holding],
                                             _create_new_active_holding_spec)};
            }
            Unmade kept;
            switch (ours->selection ? select_plainly(k, holding, kept) : Verdict::unknown) {
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
    Ref products_config = call_method(trading_api.get(), "get_products_config", {}, {{"raw", Py_True}});
    Ref exchange_info = getitem(products_config.get(), "exchanges");
    Method map_holdings_with_info(c, self, k[k_map_holdings_with_info], _map_holdings_with_info_spec);
    if (map_holdings_with_info.own() && active_holdings.none_made()) {
        return active_holdings.map_unmade(c, self, active_holdings_info.get(), exchange_info.get());
    }
    return map_holdings_with_info({active_holdings.list(), active_holdings_info.get(), exchange_info.get()});
}

Ref _create_new_active_holding(const Call& c) { return Records(names(c)).holding(c[1], c[2]); }

Ref _get_stock_info(const Call& c) {
    Ref products_info = c.global("ProductsInfo");
    Ref request = call_method(products_info.get(), "Request");
    Ref products = getattr(request.get(), "products");
    call_method(products.get(), "extend", {c[1]});
    Ref trading_api = getattr(c[0], "trading_api");
    return call_method(trading_api.get(), "get_products_info", {}, {{"request", request.get()}, {"raw", Py_True}});
}

Ref _map_holdings_with_info(const Call& c) {
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

Ref _get_ticker_with_suffix(const Call& c) {
    PyObject* const* k = names(c);
    PyObject* ticker_name = c[1];
    Ref suffix = check(PyObject_CallMethodOneArg(c[4], k[k_get], c[2]));
    if (!truth(suffix.get()) || eq(c[3], k[k_US])) return Ref::borrow(ticker_name);
    return suffixed(ticker_name, suffix.get());
}

Ref _can_cast_to_int(const Call& c) {
    try {
        Ref int_type = c.global(names(c)[k_int_]);
        to_int(int_type.get(), c[1]);
    } catch (const PyError&) {
        Handler caught;
        Ref value_error = c.global("ValueError");
        if (!caught.matches(value_error.get())) caught.reraise();
        return Ref::borrow(Py_False);
    }
    return Ref::borrow(Py_True);
}

// ---------------------------------------------------------------------------

const FunctionSpec init_spec{.name = "__init__", .params = {"self"}, .body = init};

const FunctionSpec _create_and_connect_api_spec{
    .name = "_create_and_connect_api",
    .params = {"self", "username", "password"},
    .body = _create_and_connect_api,
};

// def name(self, **kwargs)
constexpr FunctionSpec keyword_method(const char* name, Body body) {
    return {.name = name, .params = {"self"}, .varkw = true, .body = body};
}

const FunctionSpec authenticate_with_username_password_spec = [] {
    FunctionSpec spec = keyword_method("authenticate_with_username_password", authenticate_with_username_password);
    spec.annotations = {{{"return", "None"}}};
    return spec;
}();
const FunctionSpec authenticate_with_email_password_spec =
    keyword_method("authenticate_with_email_password", authenticate_with_email_password);
const FunctionSpec authenticate_with_token_spec = keyword_method("authenticate_with_token", authenticate_with_token);
const FunctionSpec logout_with_username_password_spec =
    keyword_method("logout_with_username_password", logout_with_username_password);

const FunctionSpec get_current_stock_holdings_spec{
    .name = "get_current_stock_holdings",
    .params = {"self"},
    .body = get_current_stock_holdings,
};

const FunctionSpec _aggregated_active_holdings_spec{
    .name = "_aggregated_active_holdings",
    .params = {"self", "all_holdings"},
    .body = _aggregated_active_holdings,
};

const FunctionSpec _create_new_active_holding_spec{
    .name = "_create_new_active_holding",
    .params = {"self", "id", "size"},
    .body = _create_new_active_holding,
};

const FunctionSpec _get_stock_info_spec{
    .name = "_get_stock_info",
    .params = {"self", "ids"},
    .body = _get_stock_info,
};

const FunctionSpec _map_holdings_with_info_spec{
    .name = "_map_holdings_with_info",
    .params = {"self", "holdings", "holdings_info", "exchanges_info"},
    .body = _map_holdings_with_info,
};

const FunctionSpec _get_ticker_with_suffix_spec{
    .name = "_get_ticker_with_suffix",
    .params = {"self", "ticker_name", "exchange_mic", "exchange_country", "exchange_mic_to_suffix_dict"},
    .body = _get_ticker_with_suffix,
};

const FunctionSpec _can_cast_to_int_spec{
    .name = "_can_cast_to_int",
    .params = {"self", "value"},
    .body = _can_cast_to_int,
};

void module_body(Module& m) {
    m.state().extra = intern_names().release();

    m.import("json");
    m.import("degiro_connector.core.helpers.pb_handler", "pb_handler");
    m.from_import("degiro_connector.trading.api", {{"API", "DegiroAPI"}});
    m.from_import("degiro_connector.trading.models.trading_pb2", {"Credentials", "ProductsInfo", "Update"});
    m.from_import("morbex.pactum", {"BrokerBase"});
    m.from_import("morbex.utils", {"get_exchange_mic_to_suffix_dict"});

    ClassBody cls(m, "BrokerDeGiro", {"BrokerBase"});
    cls.def(init_spec);
    cls.def(_create_and_connect_api_spec);
    cls.def(authenticate_with_username_password_spec);
    cls.def(authenticate_with_email_password_spec);
    cls.def(authenticate_with_token_spec);
    cls.def(logout_with_username_password_spec);
    cls.def(get_current_stock_holdings_spec);
    cls.def(_aggregated_active_holdings_spec);
    cls.def(_create_new_active_holding_spec);
    cls.def(_get_stock_info_spec);
    cls.def(_map_holdings_with_info_spec);
    cls.def(_get_ticker_with_suffix_spec);
    cls.def(_can_cast_to_int_spec);
    cls.static_attributes({"int_account", "trading_api"});
    m.bind("BrokerDeGiro", cls.create().get());
}

}  // namespace
}  // namespace morbex::keelson

MORBEX_MODULE(keelson, morbex::keelson::module_body)
