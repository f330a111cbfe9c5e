// morbex.trading212: the Trading 212 broker, through Trading 212's public
// REST API (v0) and an API key pair.
//
//     import json
//     import logging
//     import os
//     import tempfile
//     import time
//     from functools import partial
//     from morbex.pactum import BrokerBase
//     from morbex.errors import LoginRefused, ApprovalTimeout, BrokerUnavailable, RateLimited, SessionExpired
//
//     def _bounded_session(build_session, timeout, **kwargs): ...     # the shared one (http.hpp)
//     def _bounded_send(send, bound, request, **kwargs): ...          # the shared one
//     def _holdings_of(positions, instruments, exchanges): ...        # trading212/holdings.cpp
//
//     class BrokerTrading212(BrokerBase):
//         def __init__(self):
//             self._session = None          # a requests.Session, its auth the key pair
//             self._base_url = None
//             self._cache = None            # the folder of the cached lists, or None
//             self._summary = None          # the account summary read at login
//             self._summary_as_of = None
//             self._instruments = None      # (list, time fetched) while held
//             self._exchanges = None
//
//         def authenticate_with_username_password(self, **kwargs):
//             raise NotImplementedError("Trading 212 does not support authentication with username and password.")
//
//         def authenticate_with_email_password(self, **kwargs):
//             raise NotImplementedError("Trading 212 does not support authentication with email and password.")
//
//         def authenticate_with_token(self, **kwargs): ...            # trading212/login.cpp
//
//         def logout_with_username_password(self, **kwargs):
//             raise NotImplementedError("Trading 212 does not support authentication with username and password.")
//
//         def logout_with_token(self, **kwargs):
//             if self._session is not None:
//                 self._session.close()
//             self._session = self._summary = self._summary_as_of = None
//             self._instruments = self._exchanges = None
//
//         def get_current_stock_holdings(self):
//             positions = <GET /api/v0/equity/positions, or a typed error>     # SessionExpired logged out
//             if not positions:
//                 return "[]"
//             return _holdings_of(positions, <the instrument list>, <the exchange list>)   # trading212/cache.cpp
//
//         def get_positions(self):
//             positions = <as above>
//             as_of = <the time now, UTC>
//             if not positions:
//                 return []
//             return <the position records: the holdings' keys, then prices and values>
//
//         def get_cash_balances(self):
//             <SessionExpired when logged out>
//             return <[the account's free cash], as the summary read at login says>
//
// No request is made but to Trading 212 (or base_url); every one is bounded
// by the login's timeout and carries the key pair as HTTP Basic auth.
#include <initializer_list>
#include "classes.hpp"
#include "methods.hpp"
#include "http.hpp"
#include "state.hpp"
#include "values.hpp"

namespace morbex::trading212 {
namespace {

using brokerage::bounded_send_spec;
using brokerage::bounded_session_spec;
using brokerage::keyword_method;
using brokerage::query_method;

Ref _holdings_of(const Call& c) { return holdings_text(c, c[0], c[1], c[2]); }

// ---------------------------------------------------------------------------
// class BrokerTrading212(BrokerBase)

Ref init(const Call& c) {
    for (const char* name :
         {"_session", "_base_url", "_cache", "_summary", "_summary_as_of", "_instruments", "_exchanges"}) {
        setattr(c[0], name, Py_None);
    }
    return none();
}

[[noreturn]] void not_supported(const Call& c, const char* message) {
    Ref not_implemented = c.global("NotImplementedError");
    raise_new(not_implemented.get(), str(message).get());
}

Ref authenticate_with_username_password(const Call& c) {
    not_supported(c, "Trading 212 does not support authentication with username and password.");
}

Ref authenticate_with_email_password(const Call& c) {
    not_supported(c, "Trading 212 does not support authentication with email and password.");
}

Ref authenticate_with_token(const Call& c) { return log_in(c); }

Ref logout_with_username_password(const Call& c) {
    not_supported(c, "Trading 212 does not support authentication with username and password.");
}

Ref logout_with_token(const Call& c) {
    // The key pair has no session on Trading 212's side to end: forgetting
    // it is the logout, and no request is made.
    PyObject* self = c[0];
    Ref session = getattr(self, "_session");
    for (const char* name : {"_session", "_summary", "_summary_as_of", "_instruments", "_exchanges"}) {
        setattr(self, name, Py_None);
    }
    if (session.get() != Py_None) call_method(session.get(), "close");
    return none();
}

Ref get_current_stock_holdings(const Call& c) {
    PyObject* self = c[0];
    Ref positions = read(c, self, open_positions);
    // No positions, no need of the lists (one request per 50 s and per 30 s).
    if (PyList_GET_SIZE(positions.get()) == 0) return str("[]");
    Ref listed = instruments(c, self);
    Ref venues = exchanges(c, self);
    return holdings_text(c, positions.get(), listed.get(), venues.get());
}

Ref get_positions(const Call& c) {
    PyObject* self = c[0];
    Ref positions = read(c, self, open_positions);
    Ref as_of = brokerage::utc_now();
    if (PyList_GET_SIZE(positions.get()) == 0) return check(PyList_New(0));
    Ref listed = instruments(c, self);
    Ref venues = exchanges(c, self);
    Ref summary = getattr(self, "_summary");
    return position_records(c, positions.get(), listed.get(), venues.get(), summary.get(), as_of.get());
}

Ref get_cash_balances(const Call& c) {
    PyObject* self = c[0];
    session_of(c, self, "the cash balances");
    Ref summary = getattr(self, "_summary");
    Ref as_of = getattr(self, "_summary_as_of");
    return cash_records(c, summary.get(), as_of.get());
}

// ---------------------------------------------------------------------------

const FunctionSpec _bounded_session_spec = bounded_session_spec(brokerage::bounded_session);

const FunctionSpec _bounded_send_spec = bounded_send_spec(brokerage::bounded_send);

const FunctionSpec _holdings_of_spec{
    .name = "_holdings_of",
    .params = {"positions", "instruments", "exchanges"},
    .body = _holdings_of,
};

const FunctionSpec init_spec{.name = "__init__", .params = {"self"}, .body = init};

const FunctionSpec authenticate_with_username_password_spec =
    keyword_method("authenticate_with_username_password", authenticate_with_username_password, "None");
const FunctionSpec authenticate_with_email_password_spec =
    keyword_method("authenticate_with_email_password", authenticate_with_email_password, "None");
const FunctionSpec authenticate_with_token_spec = keyword_method("authenticate_with_token", authenticate_with_token, "None");
const FunctionSpec logout_with_username_password_spec =
    keyword_method("logout_with_username_password", logout_with_username_password, "None");
const FunctionSpec logout_with_token_spec = keyword_method("logout_with_token", logout_with_token, "None");

const FunctionSpec get_current_stock_holdings_spec =
    query_method("get_current_stock_holdings", get_current_stock_holdings, "str");

const FunctionSpec get_positions_spec = query_method("get_positions", get_positions, "list[dict]");

const FunctionSpec get_cash_balances_spec = query_method("get_cash_balances", get_cash_balances, "list[dict]");

void module_body(Module& m) {
    m.import("json");
    m.state_as<Trading212State>().make(m.name("json").get());
    m.import("logging");
    m.import("os");
    m.import("tempfile");
    m.import("time");
    m.from_import("functools", {"partial"});
    m.from_import("morbex.pactum", {"BrokerBase"});
    brokerage::import_errors(m);

    m.bind("_bounded_session", m.def(_bounded_session_spec).get());
    m.bind("_bounded_send", m.def(_bounded_send_spec).get());
    m.bind("_holdings_of", m.def(_holdings_of_spec).get());

    ClassBody cls(m, "BrokerTrading212", {"BrokerBase"});
    cls.def(init_spec);
    cls.def(authenticate_with_username_password_spec);
    cls.def(authenticate_with_email_password_spec);
    cls.def(authenticate_with_token_spec);
    cls.def(logout_with_username_password_spec);
    cls.def(logout_with_token_spec);
    cls.def(get_current_stock_holdings_spec);
    cls.def(get_positions_spec);
    cls.def(get_cash_balances_spec);
    cls.static_attributes({"_base_url", "_cache", "_exchanges", "_instruments", "_session", "_summary",
                           "_summary_as_of"});
    m.bind("BrokerTrading212", cls.create().get());
}

constexpr const char* name_texts[] = {
#define TRADING212_TEXT(id) #id,
    TRADING212_NAMES(TRADING212_TEXT)
#undef TRADING212_TEXT
};
static_assert(sizeof(name_texts) / sizeof(name_texts[0]) == name_count);

}  // namespace

void Trading212State::make(PyObject* json_module) {
    for (std::size_t i = 0; i < name_count; ++i) names[i] = intern(name_texts[i]).release();
    keys.make();
    json.keep(json_module);
}

}  // namespace morbex::trading212

MORBEX_MODULE_STATE(trading212, morbex::trading212::Trading212State, morbex::trading212::module_body)
