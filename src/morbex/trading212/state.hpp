// What morbex.trading212 keeps per module: Trading 212's field names,
// interned once, the records' keys and the json module's own dumps; and what
// its parts call of one another.
#pragma once
#include <Python.h>
#include <cstddef>
#include "errors.hpp"
#include "function.hpp"
#include "json_text.hpp"
#include "module.hpp"
#include "records.hpp"

namespace morbex::trading212 {

using brokerage::Failure;

// The fields of Trading 212's answers the records are read from.
#define TRADING212_NAMES(X)                                                                                 \
    X(instrument) X(ticker) X(isin) X(name) X(currency) X(quantity) X(currentPrice) X(averagePricePaid)     \
    X(walletImpact) X(currentValue) X(shortName) X(workingScheduleId) X(currencyCode) X(id)                 \
    X(workingSchedules) X(cash) X(availableToTrade)

enum Name : std::size_t {
#define TRADING212_ENUM(id) k_##id,
    TRADING212_NAMES(TRADING212_ENUM)
#undef TRADING212_ENUM
    name_count
};

struct Trading212State : ModuleState {
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

inline Trading212State& state(const Call& c) { return state_of<Trading212State>(c); }
// The interned names, borrowed, in their order; the records' keys likewise.
inline PyObject* const* names(const Call& c) { return state(c).names; }
inline PyObject* const* keys(const Call& c) { return state(c).keys.position; }

// ---------------------------------------------------------------------------
// The wire (requests.cpp)

// One of the endpoints read, and what a message calls its answer.
struct Endpoint {
    const char* path;
    const char* what;
};
extern const Endpoint account_summary;
extern const Endpoint open_positions;
extern const Endpoint instrument_list;
extern const Endpoint exchange_list;

// raise <kind>(message): "Failed to authenticate with Trading 212 API: <why>"
// for a login, "Could not read <what> from Trading 212 (<why>)" for a read;
// nothing chained, as requests' errors quote the request.
[[noreturn]] void failed(const Call& c, Failure kind, bool login, const char* what, PyObject* why,
                         PyObject* retry_after = nullptr);
// An answer that is not what the endpoint gives.
[[noreturn]] void not_understood(const Call& c, bool login, const char* what);

// The body (bytes) of a 200 answer to GET <base_url><path> through `session`;
// a typed error for anything else.
Ref fetch(const Call& c, PyObject* session, PyObject* base_url, const Endpoint& endpoint, bool login);
// json.loads(body), which must be a list (or a dict, for `object`).
Ref decoded(const Call& c, PyObject* body, const Endpoint& endpoint, bool login, bool object = false);

// The session of a logged-in broker; SessionExpired, saying what could not be
// read, when there is none.
Ref session_of(const Call& c, PyObject* self, const char* what);
// A read once logged in: the answer of `endpoint`, decoded.
Ref read(const Call& c, PyObject* self, const Endpoint& endpoint);

// ---------------------------------------------------------------------------
// The parts of the class

// The body of authenticate_with_token (login.cpp).
Ref log_in(const Call& c);
// The instrument or exchange list, from memory, the cache or Trading 212 (cache.cpp).
Ref instruments(const Call& c, PyObject* self);
Ref exchanges(const Call& c, PyObject* self);

// The records (holdings.cpp): the holdings text, the positions, the cash.
Ref holdings_text(const Call& c, PyObject* positions, PyObject* instruments, PyObject* exchanges);
Ref position_records(const Call& c, PyObject* positions, PyObject* instruments, PyObject* exchanges,
                     PyObject* summary, PyObject* as_of);
Ref cash_records(const Call& c, PyObject* summary, PyObject* as_of);

}  // namespace morbex::trading212
