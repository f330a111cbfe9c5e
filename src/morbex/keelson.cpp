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
// hundreds of entries, so the join must not scan the list per record. When
// the data is plain (exact dicts and lists, str and int keys and ids) the
// repeated lookups and int() conversions of the scan give the same answer
// every time and run no Python code, so the product's exchange id is
// converted once and found in an index built from the list. The index is
// trusted only while nothing but the interpreter's own code on built-in types
// has run since it was built ("pure" below); anything else — a user mapping,
// an overridden method, an exotic id — takes the literal path, which does
// exactly what the Python above does.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <optional>
#include <vector>
#include <utility>
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

extern const FunctionSpec _create_new_active_holding_spec;
extern const FunctionSpec _get_ticker_with_suffix_spec;
extern const FunctionSpec _can_cast_to_int_spec;

// ---------------------------------------------------------------------------
// Knowing when Python code may have run.

// Counts the points where Python code may have run: anything but the
// interpreter's built-in operations on plain data, that is exact dicts read
// with str or int keys, exact lists, and str, int, float, bool and None
// compared, tested, converted by int() or formatted. While the count stands
// still, nothing can have changed what an earlier lookup read.
struct Stillness {
    std::size_t epoch = 1;
    void disturb() { ++epoch; }
};

// A lookup's result, reused while the epoch it was made in lasts. A lookup
// that itself ran Python code ends that epoch and so is never reused: asked
// again, that code might answer otherwise.
template <class T>
class Kept {
public:
    template <class Fetch>
    T& get(Stillness& still, Fetch&& fetch) {
        if (!value_ || epoch_ != still.epoch) {
            const std::size_t before = still.epoch;
            value_.reset();
            value_.emplace(fetch());
            epoch_ = before;
        }
        return *value_;
    }
    // A result computed in the current epoch by other means.
    void put(Stillness& still, T value) {
        value_.reset();
        value_.emplace(std::move(value));
        epoch_ = still.epoch;
    }
    bool holds(const Stillness& still) const { return value_ && epoch_ == still.epoch; }

private:
    std::optional<T> value_;
    std::size_t epoch_ = 0;
};

bool plain_key(PyObject* key) { return PyUnicode_CheckExact(key) || PyLong_CheckExact(key); }

bool plain_value(PyObject* v) {
    return v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) ||
           PyBool_Check(v);
}

// obj[key]
Ref item(PyObject* obj, PyObject* key, Stillness& still) {
    if (PyDict_CheckExact(obj) && plain_key(key)) {
        if (PyObject* found = PyDict_GetItemWithError(obj, key)) return Ref::borrow(found);
        if (PyErr_Occurred()) throw PyError{};
        // Missing: the dict raises its own KeyError below.
    } else {
        still.disturb();
    }
    return getitem(obj, key);
}

// obj.get(key)
Ref mapping_get(PyObject* obj, PyObject* key, PyObject* get_name, Stillness& still) {
    if (PyDict_CheckExact(obj) && (plain_key(key) || key == Py_None)) {
        if (PyObject* found = PyDict_GetItemWithError(obj, key)) return Ref::borrow(found);
        if (PyErr_Occurred()) throw PyError{};
        return none();
    }
    still.disturb();
    return check(PyObject_CallMethodOneArg(obj, get_name, key));
}

// seq[i], for the position enumerate() gave.
Ref at(PyObject* seq, Py_ssize_t i, Stillness& still) {
    if (PyList_CheckExact(seq)) {
        PyObject* found = PyList_GetItem(seq, i);  // IndexError as list[i] words it
        if (found == nullptr) throw PyError{};
        return Ref::borrow(found);
    }
    still.disturb();
    Ref index = check(PyLong_FromSsize_t(i));
    return getitem(seq, index.get());
}

// `a == b` as an `if` takes it.
bool equal(PyObject* a, PyObject* b, Stillness& still) {
    if (!plain_value(a) || !plain_value(b)) still.disturb();
    return eq(a, b);
}

// bool(v)
bool is_true(PyObject* v, Stillness& still) {
    if (!plain_value(v)) still.disturb();
    return truth(v);
}

// `value == 0.0`
bool is_zero(PyObject* value, PyObject* zero, Stillness& still) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) == 0.0;
    return equal(value, zero, still);
}

// int(s) for ASCII digits that fit in a long long (what product ids are),
// without the general parser; empty when `s` is anything else.
Ref small_int_from_digits(PyObject* s) {
    if (!PyUnicode_IS_ASCII(s)) return Ref();
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    if (length == 0 || length > 18) return Ref();
    const auto* digits = static_cast<const unsigned char*>(PyUnicode_DATA(s));
    long long value = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return Ref();
        value = value * 10 + (digits[i] - '0');
    }
    return check(PyLong_FromLongLong(value));
}

// int(x), with `int` as the caller looked it up.
Ref to_int(PyObject* int_type, PyObject* x, Stillness& still) {
    if (int_type == reinterpret_cast<PyObject*>(&PyLong_Type)) {
        // int(x) with one argument is exactly PyNumber_Long(x).
        if (PyUnicode_CheckExact(x)) {
            if (Ref value = small_int_from_digits(x)) return value;
        } else if (!PyLong_CheckExact(x) && !PyFloat_CheckExact(x)) {
            still.disturb();
        }
        return check(PyNumber_Long(x));
    }
    still.disturb();
    return call(int_type, {x});
}

// One replacement field of an f-string: text as it is, anything else formatted.
Ref text(PyObject* v, Stillness& still) {
    if (PyUnicode_CheckExact(v)) return Ref::borrow(v);
    if (!plain_value(v)) still.disturb();
    return format(v);
}

// next(it), or an empty Ref at the end.
Ref next(PyObject* iterator) {
    Ref item = Ref::steal(PyIter_Next(iterator));
    if (!item && PyErr_Occurred()) throw PyError{};
    return item;
}

// self.<name>, as a method call loads it.
Method& load_method(Kept<Method>& kept, Stillness& still, const Call& c, PyObject* self, PyObject* name,
                    const FunctionSpec& spec) {
    Method& method = kept.get(still, [&] { return Method(c, self, name, spec); });
    if (!method.own()) still.disturb();  // attribute lookup and the call run Python code
    return method;
}

// `int`, as a call of it looks it up.
PyObject* load_int(Kept<Ref>& kept, Stillness& still, const Call& c) {
    return kept.get(still, [&] { return c.global(names(c)[k_int_]); }).get();
}

// ---------------------------------------------------------------------------
// Building blocks of the class's bodies.

// _can_cast_to_int's body; on success also hands back int(value).
bool can_cast_to_int(const Call& c, Kept<Ref>& int_type, PyObject* value, Stillness& still, Ref& converted) {
    try {
        converted = to_int(load_int(int_type, still, c), value, still);
    } catch (const PyError&) {
        Handler caught;
        Ref value_error = c.global("ValueError");
        if (!caught.matches(value_error.get())) caught.reraise();
        return false;
    }
    return true;
}

// {"internal_id": id, "isin": None, ..., "quantity": size}, copied from a
// record made once per call: a copy clones the key table in one go.
Ref new_holding(PyObject* const* k, Ref& blank, PyObject* id, PyObject* size) {
    if (!blank) {
        blank = check(PyDict_New());
        for (Name key : {k_internal_id, k_isin, k_ticker, k_ticker_suffix, k_company, k_exchange_id,
                         k_exchange_name, k_exchange_city, k_exchange_country, k_currency, k_quantity}) {
            check(PyDict_SetItem(blank.get(), k[key], Py_None));
        }
    }
    Ref record = check(PyDict_Copy(blank.get()));
    check(PyDict_SetItem(record.get(), k[k_internal_id], id));
    check(PyDict_SetItem(record.get(), k[k_quantity], size));
    return record;
}

// The first half of _get_ticker_with_suffix: the suffix to append, or an
// empty Ref when the ticker stays bare.
Ref suffix_for(PyObject* const* k, PyObject* exchange_mic, PyObject* exchange_country,
               PyObject* exchange_mic_to_suffix_dict, Stillness& still) {
    Ref suffix = mapping_get(exchange_mic_to_suffix_dict, exchange_mic, k[k_get], still);
    if (!is_true(suffix.get(), still) || equal(exchange_country, k[k_US], still)) return Ref();
    return suffix;
}

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

// The second half: f"{ticker_name}.{suffix}", or ticker_name itself.
Ref with_suffix(PyObject* ticker_name, PyObject* suffix, Stillness& still) {
    if (suffix == nullptr) return Ref::borrow(ticker_name);
    Ref head = text(ticker_name, still);
    Ref tail = text(suffix, still);
    return dotted(head.get(), tail.get());
}

// ---------------------------------------------------------------------------
// Finding a product's exchange.

// What the exchange scan reads of one holding, each read reused while it holds.
struct ProductReads {
    const Call& c;
    PyObject* const* k;
    Stillness& still;
    PyObject* holding;
    PyObject* holdings_info;
    Kept<Ref> internal_id_, product_, exchange_id_, target_;

    // holding["internal_id"]
    PyObject* internal_id() {
        return internal_id_.get(still, [&] { return item(holding, k[k_internal_id], still); }).get();
    }
    // holdings_info[holding["internal_id"]]
    PyObject* product() {
        return product_.get(still, [&] { return item(holdings_info, internal_id(), still); }).get();
    }
    // holdings_info[holding["internal_id"]]["exchangeId"]
    PyObject* exchange_id() {
        return exchange_id_.get(still, [&] { return item(product(), k[k_exchangeId], still); }).get();
    }
    // int(holdings_info[holding["internal_id"]]["exchangeId"])
    PyObject* target(Kept<Ref>& int_type) {
        return target_
            .get(still,
                 [&] {
                     PyObject* convert = load_int(int_type, still, c);
                     return to_int(convert, exchange_id(), still);
                 })
            .get();
    }
};

// The value of an exact int, or of ASCII digits, that fits in a long long.
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

// Exchange id -> position of its first entry, over the leading entries that
// are exact dicts with an exact int "id" (within a long long). The first
// entry that is not ends the index (the barrier): a scan that gets that far
// goes on literally from there. Open addressing over a power-of-two table:
// a few hundred exchanges, looked up once per holding.
class ExchangeIndex {
public:
    Py_ssize_t barrier = 0;
    bool complete = false;  // every entry indexed: no match means none at all
    std::size_t epoch = 0;  // built in this epoch

    void build(PyObject* exchanges, PyObject* id_key, const Stillness& still) {
        const Py_ssize_t size = PyList_GET_SIZE(exchanges);
        std::size_t capacity = 8;
        while (capacity < 2 * static_cast<std::size_t>(size)) capacity *= 2;
        slots_.assign(capacity, Slot{});
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(capacity));
        Py_ssize_t i = 0;
        for (; i < size; ++i) {
            PyObject* exchange = PyList_GET_ITEM(exchanges, i);
            if (!PyDict_CheckExact(exchange)) break;
            PyObject* id = PyDict_GetItemWithError(exchange, id_key);
            if (id == nullptr) {
                if (PyErr_Occurred()) throw PyError{};
                break;
            }
            long long value;
            if (!PyLong_CheckExact(id) || !small_int_value(id, value)) break;
            Slot& slot = probe(value);
            if (slot.position < 0) slot = Slot{value, i};  // the first entry wins
        }
        barrier = i;
        complete = i == size;
        epoch = still.epoch;
    }

    // The position of the first indexed entry with this id, or -1.
    Py_ssize_t find(long long id) const { return const_cast<ExchangeIndex*>(this)->probe(id).position; }

private:
    struct Slot {
        long long id = 0;
        Py_ssize_t position = -1;  // -1: empty
    };

    Slot& probe(long long id) {
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>((static_cast<unsigned long long>(id) * 0x9E3779B97F4A7C15ULL) >> shift_);
        while (slots_[i].position >= 0 && slots_[i].id != id) i = (i + 1) & mask;
        return slots_[i];
    }

    std::vector<Slot> slots_;
    unsigned shift_ = 61;
};

// The scan as written, from position `start` on: each entry's "id" against
// the product's exchangeId, converted by int().
Py_ssize_t scan_exchanges(ProductReads& reads, Kept<Ref>& int_type, PyObject* exchanges_info, Py_ssize_t start) {
    Stillness& still = reads.still;
    PyObject* id_key = reads.k[k_id];
    auto matches = [&](PyObject* exchange) {
        Ref exchange_id = item(exchange, id_key, still);
        return equal(exchange_id.get(), reads.target(int_type), still);
    };
    if (PyList_CheckExact(exchanges_info)) {
        // As a list iterator walks: the length is read again at every step.
        for (Py_ssize_t i = start; i < PyList_GET_SIZE(exchanges_info); ++i) {
            Ref exchange = Ref::borrow(PyList_GET_ITEM(exchanges_info, i));
            if (matches(exchange.get())) return i;
        }
        return -1;
    }
    still.disturb();
    Ref iterator = check(PyObject_GetIter(exchanges_info));
    Py_ssize_t index = 0;
    while (Ref exchange = next(iterator.get())) {
        if (matches(exchange.get())) return index;
        ++index;
    }
    return -1;
}

// The position of the product's exchange in `exchanges_info`, or -1.
Py_ssize_t find_exchange(ProductReads& reads, Kept<Ref>& int_type, ExchangeIndex& index, PyObject* exchanges_info) {
    Stillness& still = reads.still;
    Py_ssize_t start = 0;
    // With plain data, the reads and the conversion below run no Python code
    // and raise nothing, so making them before the scan would have is not
    // seen; whatever is not plain, or would raise, is left to the scan.
    if (PyList_CheckExact(exchanges_info) && PyList_GET_SIZE(exchanges_info) > 0 &&
        PyDict_CheckExact(reads.holding) && PyDict_CheckExact(reads.holdings_info) &&
        plain_key(reads.internal_id()) && PyDict_CheckExact(reads.product())) {
        PyObject* product = reads.product();
        PyObject* exchange_id = PyDict_GetItemWithError(product, reads.k[k_exchangeId]);
        if (exchange_id == nullptr && PyErr_Occurred()) throw PyError{};
        long long target;
        if (exchange_id != nullptr && small_int_value(exchange_id, target) &&
            load_int(int_type, still, reads.c) == reinterpret_cast<PyObject*>(&PyLong_Type)) {
            reads.exchange_id_.put(still, Ref::borrow(exchange_id));
            if (index.epoch != still.epoch) index.build(exchanges_info, reads.k[k_id], still);
            const Py_ssize_t found = index.find(target);
            if (found >= 0 || index.complete) return found;
            start = index.barrier;
        }
    }
    return scan_exchanges(reads, int_type, exchanges_info, start);
}

// What a record reads of its exchange, kept per position: every holding on
// the same exchange reads the same entry.
struct ExchangeReads {
    Ref name, city, country, mic, suffix;  // suffix: empty when tickers stay bare
    bool has_suffix = false;              // `suffix` was worked out
    std::size_t epoch = 0;
};

// ---------------------------------------------------------------------------
// class BrokerDeGiro(BrokerBase)

// __init__
Ref init(const Call& c) {
    setattr(c[0], "int_account", Py_None);
    setattr(c[0], "trading_api", Py_None);
    return none();
}

Ref _create_and_connect_api(const Call& c) {
    PyObject* self = c[0];
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
    Ref active_holdings = check(PyList_New(0));
    Ref active_holding_ids = check(PyList_New(0));
    Ref zero = check(PyFloat_FromDouble(0.0));

    Stillness still;
    Kept<Ref> int_type;
    Kept<Method> can_cast, create;
    Ref blank;
    const bool walking_list = PyList_CheckExact(c[1]);
    Ref iterator = check(PyObject_GetIter(c[1]));
    while (Ref holding = next(iterator.get())) {
        if (!walking_list) still.disturb();
        Kept<Ref> id;
        auto holding_id = [&] { return id.get(still, [&] { return item(holding.get(), k[k_id], still); }).get(); };

        // if holding["value"] == 0.0: continue
        Ref value = item(holding.get(), k[k_value], still);
        if (is_zero(value.get(), zero.get(), still)) continue;

        // if not self._can_cast_to_int(holding["id"]): continue
        Method& castable = load_method(can_cast, still, c, self, k[k_can_cast_to_int], _can_cast_to_int_spec);
        Kept<Ref> product_id;  // int(holding["id"]), as the check computed it
        if (castable.own()) {
            PyObject* id_value = holding_id();
            const std::size_t before = still.epoch;
            Ref converted;
            if (!can_cast_to_int(c, int_type, id_value, still, converted)) continue;
            if (still.epoch == before) product_id.put(still, std::move(converted));
        } else {
            Ref result = castable({holding_id()});
            if (!truth(result.get())) continue;
        }

        // active_holdings.append(self._create_new_active_holding(holding["id"], holding["size"]))
        Method& create_new_active_holding =
            load_method(create, still, c, self, k[k_create_new_active_holding], _create_new_active_holding_spec);
        PyObject* id_value = holding_id();
        Ref size = item(holding.get(), k[k_size], still);
        Ref record = create_new_active_holding.own() ? new_holding(k, blank, id_value, size.get())
                                                     : create_new_active_holding({id_value, size.get()});
        check(PyList_Append(active_holdings.get(), record.get()));

        // active_holding_ids.append(int(holding["id"]))
        Ref& as_int = product_id.get(still, [&] {
            PyObject* convert = load_int(int_type, still, c);
            return to_int(convert, holding_id(), still);
        });
        check(PyList_Append(active_holding_ids.get(), as_int.get()));
    }

    Ref stock_info = call_method(self, "_get_stock_info", {active_holding_ids.get()});
    Ref active_holdings_info = getitem(stock_info.get(), "data");
    Ref trading_api = getattr(self, "trading_api");
    Ref products_config = call_method(trading_api.get(), "get_products_config", {}, {{"raw", Py_True}});
    Ref exchange_info = getitem(products_config.get(), "exchanges");
    return call_method(self, "_map_holdings_with_info",
                       {active_holdings.get(), active_holdings_info.get(), exchange_info.get()});
}

Ref _create_new_active_holding(const Call& c) {
    Ref blank;
    return new_holding(names(c), blank, c[1], c[2]);
}

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

    Ref suffix_source = c.global("get_exchange_mic_to_suffix_dict");
    Ref exchange_mic_to_suffix_dict = call(suffix_source.get());

    Stillness still;
    Kept<Ref> int_type;
    Kept<Method> get_ticker;
    ExchangeIndex index;
    std::vector<ExchangeReads> exchange_reads;  // by position, for an exact list
    const bool walking_list = PyList_CheckExact(holdings);
    Ref iterator = check(PyObject_GetIter(holdings));
    while (Ref holding = next(iterator.get())) {
        if (!walking_list) still.disturb();
        ProductReads reads{c, k, still, holding.get(), holdings_info, {}, {}, {}, {}};

        // holding_info = holdings_info[holding["internal_id"]]
        Ref holding_info = Ref::borrow(reads.product());
        const Py_ssize_t exchange_index = find_exchange(reads, int_type, index, exchanges_info);
        const bool listed = exchange_index >= 0;

        // exchanges_info[exchange_index][...], read afresh each time unless
        // the position's earlier read still holds.
        ExchangeReads* kept = nullptr;
        if (listed && PyList_CheckExact(exchanges_info)) {
            if (exchange_reads.size() <= static_cast<std::size_t>(exchange_index)) {
                exchange_reads.resize(static_cast<std::size_t>(PyList_GET_SIZE(exchanges_info)) + 1);
            }
            kept = &exchange_reads[static_cast<std::size_t>(exchange_index)];
        }
        auto exchange_field = [&](Ref ExchangeReads::*field, auto&& fetch) -> Ref {
            if (kept != nullptr && kept->epoch == still.epoch && kept->*field) return kept->*field;
            const std::size_t before = still.epoch;
            Ref value = fetch(at(exchanges_info, exchange_index, still).get());
            if (kept != nullptr && still.epoch == before) {
                if (kept->epoch != before) *kept = ExchangeReads{};
                kept->epoch = before;
                kept->*field = value;
            }
            return value;
        };
        auto exchange_item = [&](Ref ExchangeReads::*field, Name key) {
            return exchange_field(field, [&](PyObject* exchange) { return item(exchange, k[key], still); });
        };
        auto exchange_get = [&](Ref ExchangeReads::*field, Name key) {
            return exchange_field(field,
                                  [&](PyObject* exchange) { return mapping_get(exchange, k[key], k[k_get], still); });
        };
        Kept<Ref> symbol;
        auto product_symbol = [&] {
            return symbol.get(still, [&] { return item(holding_info.get(), k[k_symbol], still); }).get();
        };

        // holding.update({...}): the method is looked up before the values.
        const bool plain_holding = PyDict_CheckExact(holding.get());
        Ref update;
        if (!plain_holding) {
            still.disturb();
            update = check(PyObject_GetAttr(holding.get(), k[k_update]));
        }

        Ref isin = item(holding_info.get(), k[k_isin], still);
        Ref ticker = Ref::borrow(product_symbol());
        Ref company = item(holding_info.get(), k[k_name], still);
        // The same read as the scan's when the product is the one it read.
        Ref exchange_id = reads.product_.holds(still) && reads.product() == holding_info.get()
                              ? Ref::borrow(reads.exchange_id())
                              : item(holding_info.get(), k[k_exchangeId], still);
        Ref exchange_name = none(), exchange_city = none(), exchange_country = none();
        if (listed) {
            exchange_name = exchange_item(&ExchangeReads::name, k_name);
            exchange_city = exchange_get(&ExchangeReads::city, k_city);
            exchange_country = exchange_item(&ExchangeReads::country, k_country);
        }
        Ref currency = item(holding_info.get(), k[k_currency], still);
        Ref ticker_suffix;
        if (listed) {
            Method& get_ticker_with_suffix =
                load_method(get_ticker, still, c, self, k[k_get_ticker_with_suffix], _get_ticker_with_suffix_spec);
            PyObject* ticker_name = product_symbol();
            Ref mic = exchange_get(&ExchangeReads::mic, k_micCode);
            Ref country = exchange_item(&ExchangeReads::country, k_country);
            if (get_ticker_with_suffix.own()) {
                // Its first half depends on the exchange alone.
                Ref suffix;
                if (kept != nullptr && kept->epoch == still.epoch && kept->has_suffix) {
                    suffix = kept->suffix;
                } else {
                    const std::size_t before = still.epoch;
                    suffix = suffix_for(k, mic.get(), country.get(), exchange_mic_to_suffix_dict.get(), still);
                    if (kept != nullptr && kept->epoch == before && still.epoch == before) {
                        kept->suffix = suffix;
                        kept->has_suffix = true;
                    }
                }
                ticker_suffix = with_suffix(ticker_name, suffix.get(), still);
            } else {
                ticker_suffix = get_ticker_with_suffix(
                    {ticker_name, mic.get(), country.get(), exchange_mic_to_suffix_dict.get()});
            }
        } else {
            ticker_suffix = Ref::borrow(product_symbol());
        }
        PyObject* convert = load_int(int_type, still, c);
        Ref product_id = to_int(convert, reads.internal_id(), still);

        // The ten values, in the order they were computed.
        const std::pair<Name, PyObject*> fields[] = {
            {k_isin, isin.get()},
            {k_ticker, ticker.get()},
            {k_company, company.get()},
            {k_exchange_id, exchange_id.get()},
            {k_exchange_name, exchange_name.get()},
            {k_exchange_city, exchange_city.get()},
            {k_exchange_country, exchange_country.get()},
            {k_currency, currency.get()},
            {k_ticker_suffix, ticker_suffix.get()},
            {k_internal_id, product_id.get()},
        };
        if (plain_holding) {
            // dict.update from a dict sets the keys in its order; all of them
            // exist already, so the record keeps its key order.
            for (const auto& [key, value] : fields) check(PyDict_SetItem(holding.get(), k[key], value));
        } else {
            Ref changes = check(PyDict_New());
            for (const auto& [key, value] : fields) check(PyDict_SetItem(changes.get(), k[key], value));
            call(update.get(), {changes.get()});
        }
    }
    return Ref::borrow(holdings);
}

Ref _get_ticker_with_suffix(const Call& c) {
    Stillness still;
    PyObject* const* k = names(c);
    Ref suffix = suffix_for(k, c[2], c[3], c[4], still);
    return with_suffix(c[1], suffix.get(), still);
}

Ref _can_cast_to_int(const Call& c) {
    Stillness still;
    Kept<Ref> int_type;
    Ref converted;
    return Ref::borrow(can_cast_to_int(c, int_type, c[1], still, converted) ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------

constexpr Annotation returns_none{"return", "None"};

const FunctionSpec init_spec{.name = "__init__", .params = {"self"}, .body = init};

const FunctionSpec _create_and_connect_api_spec{
    .name = "_create_and_connect_api",
    .params = {"self", "username", "password"},
    .body = _create_and_connect_api,
};

const FunctionSpec authenticate_with_username_password_spec{
    .name = "authenticate_with_username_password",
    .params = {"self"},
    .varkw = true,
    .annotations = {returns_none},
    .body = authenticate_with_username_password,
};

const FunctionSpec authenticate_with_email_password_spec{
    .name = "authenticate_with_email_password",
    .params = {"self"},
    .varkw = true,
    .body = authenticate_with_email_password,
};

const FunctionSpec authenticate_with_token_spec{
    .name = "authenticate_with_token",
    .params = {"self"},
    .varkw = true,
    .body = authenticate_with_token,
};

const FunctionSpec logout_with_username_password_spec{
    .name = "logout_with_username_password",
    .params = {"self"},
    .varkw = true,
    .body = logout_with_username_password,
};

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
