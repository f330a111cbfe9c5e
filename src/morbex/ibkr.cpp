// morbex.ibkr: the Interactive Brokers broker, through IB's Flex Web Service.
//
//     import json
//     import logging
//     import time
//     from functools import partial
//     from morbex.pactum import BrokerBase
//     from morbex.errors import LoginRefused, ApprovalTimeout, BrokerUnavailable, RateLimited, SessionExpired
//
//     MAX_STATEMENT_BYTES = 200 * 2**20    # the largest answer read; past it, refused
//
//     def _bounded_session(build_session, timeout, **kwargs): ...     # the shared ones (http.hpp)
//     def _bounded_send(send, bound, request, **kwargs): ...
//     def _redact_flex_query(record): ...                             # ibkr/login.cpp
//
//     def _holdings_of_statement(statement):
//         return json.dumps(<the holdings of a statement's XML bytes>)   # ibkr/statement.cpp
//
//     class BrokerIBKR(BrokerBase):
//         def __init__(self):
//             self._session = None
//
//         def authenticate_with_username_password(self, **kwargs):
//             raise NotImplementedError(
//                 "Interactive Brokers does not support authentication with username and password.")
//
//         def authenticate_with_email_password(self, **kwargs):
//             raise NotImplementedError("Interactive Brokers does not support authentication with email and password.")
//
//         def authenticate_with_token(self, **kwargs) -> "None":
//             <token, query_id, timeout, statement_timeout, base_url>; SendRequest   # ibkr/login.cpp, ibkr/flex.cpp
//
//         def logout_with_username_password(self, **kwargs):
//             raise NotImplementedError(
//                 "Interactive Brokers does not support authentication with username and password.")
//
//         def logout_with_token(self, **kwargs) -> "None":
//             session, self._session = self._session, None
//             if session is not None:
//                 session.http.close()
//
//         def get_current_stock_holdings(self):
//             session = <self._session, or SessionExpired>
//             <the statement read, once per login>                    # ibkr/flex.cpp, ibkr/statement.cpp
//             return session.holdings_text
//
//         def get_positions(self) -> "list[dict]":
//             return [dict(record) for record in <the statement's positions>]
//
//         def get_cash_balances(self) -> "list[dict]":
//             return [dict(record) for record in <the statement's cash balances>]
#include "classes.hpp"
#include "methods.hpp"
#include "errors.hpp"
#include "handler.hpp"
#include "http.hpp"
#include "state.hpp"

namespace morbex::ibkr {
namespace {

using brokerage::bounded_send_spec;
using brokerage::bounded_session_spec;
using brokerage::keyword_method;
using brokerage::query_method;

constexpr long max_statement_bytes = 200L << 20;

Ref _redact_flex_query(const Call& c) { return redact_flex_query(c); }

Ref _holdings_of_statement(const Call& c) { return holdings_of_statement(c, c[0]); }

// ---------------------------------------------------------------------------
// class BrokerIBKR(BrokerBase)

Ref init(const Call& c) {
    setattr(c[0], "_session", Py_None);
    return none();
}

[[noreturn]] void not_offered(const Call& c, const char* what) {
    Ref not_implemented = c.global("NotImplementedError");
    Ref message = brokerage::message("Interactive Brokers does not support authentication with %s.", what);
    raise_new(not_implemented.get(), message.get());
}

Ref authenticate_with_username_password(const Call& c) { not_offered(c, "username and password"); }

Ref authenticate_with_email_password(const Call& c) { not_offered(c, "email and password"); }

Ref authenticate_with_token(const Call& c) {
    log_in(c, c[0]);
    return none();
}

Ref logout_with_username_password(const Call& c) { not_offered(c, "username and password"); }

Ref logout_with_token(const Call& c) {
    log_out(c, c[0]);
    return none();
}

Ref get_current_stock_holdings(const Call& c) {
    Ref capsule;
    Session& s = session_of(c, c[0], capsule);
    read_statement(c, s, Section::open_positions);
    return s.holdings_text;
}

Ref get_positions(const Call& c) {
    Ref capsule;
    Session& s = session_of(c, c[0], capsule);
    read_statement(c, s, Section::open_positions);
    return copies(s.positions.get());
}

Ref get_cash_balances(const Call& c) {
    Ref capsule;
    Session& s = session_of(c, c[0], capsule);
    read_statement(c, s, Section::cash_report);
    return copies(s.cash.get());
}

// ---------------------------------------------------------------------------

const FunctionSpec _bounded_session_spec = bounded_session_spec(brokerage::bounded_session);

const FunctionSpec _bounded_send_spec = bounded_send_spec(brokerage::bounded_send);

const FunctionSpec _redact_flex_query_spec{
    .name = "_redact_flex_query",
    .params = {"record"},
    .body = _redact_flex_query,
};

const FunctionSpec _holdings_of_statement_spec{
    .name = "_holdings_of_statement",
    .params = {"statement"},
    .body = _holdings_of_statement,
};

const FunctionSpec init_spec{.name = "__init__", .params = {"self"}, .body = init};

const FunctionSpec authenticate_with_username_password_spec =
    keyword_method("authenticate_with_username_password", authenticate_with_username_password);
const FunctionSpec authenticate_with_email_password_spec =
    keyword_method("authenticate_with_email_password", authenticate_with_email_password);
const FunctionSpec authenticate_with_token_spec =
    keyword_method("authenticate_with_token", authenticate_with_token, "None");
const FunctionSpec logout_with_username_password_spec =
    keyword_method("logout_with_username_password", logout_with_username_password);
const FunctionSpec logout_with_token_spec = keyword_method("logout_with_token", logout_with_token, "None");

const FunctionSpec get_current_stock_holdings_spec =
    query_method("get_current_stock_holdings", get_current_stock_holdings);

const FunctionSpec get_positions_spec = query_method("get_positions", get_positions, "list[dict]");

const FunctionSpec get_cash_balances_spec = query_method("get_cash_balances", get_cash_balances, "list[dict]");

void module_body(Module& m) {
    IbkrState& st = m.state_as<IbkrState>();
    m.import("json");
    st.keys.make();
    st.json.keep(m.name("json").get());
    m.import("logging");
    m.import("time");
    m.from_import("functools", {"partial"});
    m.from_import("morbex.pactum", {"BrokerBase"});
    brokerage::import_errors(m);

    m.bind("MAX_STATEMENT_BYTES", Ref(check(PyLong_FromLong(max_statement_bytes))).get());
    m.bind("_bounded_session", m.def(_bounded_session_spec).get());
    m.bind("_bounded_send", m.def(_bounded_send_spec).get());
    m.bind("_redact_flex_query", m.def(_redact_flex_query_spec).get());
    m.bind("_holdings_of_statement", m.def(_holdings_of_statement_spec).get());

    ClassBody cls(m, "BrokerIBKR", {"BrokerBase"});
    cls.def(init_spec);
    cls.def(authenticate_with_username_password_spec);
    cls.def(authenticate_with_email_password_spec);
    cls.def(authenticate_with_token_spec);
    cls.def(logout_with_username_password_spec);
    cls.def(logout_with_token_spec);
    cls.def(get_current_stock_holdings_spec);
    cls.def(get_positions_spec);
    cls.def(get_cash_balances_spec);
    cls.static_attributes({"_session"});
    m.bind("BrokerIBKR", cls.create().get());
}

}  // namespace
}  // namespace morbex::ibkr

MORBEX_MODULE_STATE(ibkr, morbex::ibkr::IbkrState, morbex::ibkr::module_body)
