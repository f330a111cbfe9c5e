// morbex.keelson: the DEGIRO broker.
//
//     import json
//     import logging
//     import time
//     from functools import partial
//     from degiro_connector.trading.api import API as DegiroAPI
//     from degiro_connector.trading.models.credentials import Credentials
//     from degiro_connector.trading.models.account import UpdateOption, UpdateRequest
//     from morbex.pactum import BrokerBase
//     from morbex.errors import LoginRefused, ApprovalTimeout, BrokerUnavailable, RateLimited, SessionExpired
//     from morbex.utils import get_exchange_mic_to_suffix_dict
//
//     def _bounded_session(build_session, timeout, **kwargs): ...     # the shared one (http.hpp)
//     def _bounded_send(send, bound, request, **kwargs): ...          # keelson/requests.cpp
//
//     class BrokerDeGiro(BrokerBase):
//         def __init__(self):
//             self.int_account = None
//             self.trading_api = None
//
//         def _create_and_connect_api(self, username, password, **kwargs): ...   # keelson/login.cpp
//
//         def authenticate_with_username_password(self, **kwargs) -> "None":
//             username = kwargs.get("username")
//             password = kwargs.get("password")
//             self.int_account = kwargs.get("int_account")
//             if not username or not password:
//                 raise ValueError("Both 'username' and 'password' must be provided.")
//             options = {key: kwargs[key] for key in LOGIN_OPTIONS if key in kwargs}
//             trading_api = self._create_and_connect_api(username, password, **options)
//             if not self.int_account:
//                 <read it from the client details, in this session>        # keelson/login.cpp
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
//             request_list = [UpdateRequest(option=UpdateOption.PORTFOLIO, last_updated=0)]
//             update = <self.trading_api.get_update(request_list=request_list, raw=True), or a typed error>
//             all_holdings = <update["portfolio"]["value"], each row as {name: value}, numbers as floats>
//             holdings = self._aggregated_active_holdings(all_holdings)
//             return json.dumps(holdings)
//
//         def get_positions(self) -> "list[dict]":
//             <update, all_holdings: as above>
//             account = None if self.int_account is None else str(self.int_account)
//             as_of = <the time now, values.hpp utc_now()>
//             <the selection and join of _aggregated_active_holdings's own body (whatever that method is
//              on self), each kept holding's row kept beside it; then for each holding and its row, in
//              order, a position>                                  # keelson/selection.cpp, positions.cpp
//
//         def get_cash_balances(self) -> "list[dict]":
//             request_list = [UpdateRequest(option=UpdateOption.CASH_FUNDS, last_updated=0)]
//             update = <self.trading_api.get_update(request_list=request_list, raw=True), or a typed error>
//             account, as_of = <as in get_positions>
//             return _cash_balances(update["cashFunds"]["value"], account, as_of)   # keelson/positions.cpp
//
//         def _aggregated_active_holdings(self, all_holdings): ...   # keelson/selection.cpp
//         def _create_new_active_holding(self, id, size): ...
//
//         def _get_stock_info(self, ids):
//             return <self.trading_api.get_products_info(product_list=ids, raw=True), or a typed error>
//
//         def _map_holdings_with_info(self, holdings, holdings_info, exchanges_info): ...   # keelson/join.cpp
//         def _get_ticker_with_suffix(self, ticker_name, exchange_mic, exchange_country,
//                                     exchange_mic_to_suffix_dict): ...   # keelson/ticker.cpp
//
//         def _can_cast_to_int(self, value):
//             try:
//                 int(value)
//                 return True
//             except ValueError:
//                 return False
//
// The connector answers None where a data request failed; here that is a
// typed error saying what could not be read (keelson/requests.cpp).
#include "classes.hpp"
#include "methods.hpp"
#include "connection.hpp"
#include "errors.hpp"
#include "handler.hpp"
#include "holdings.hpp"
#include "json_text.hpp"
#include "keywords.hpp"
#include "rows.hpp"
#include "values.hpp"

namespace morbex::keelson {
namespace {

using brokerage::bounded_send_spec;
using brokerage::bounded_session_spec;
using brokerage::keyword_method;
using brokerage::query_method;

// What authenticate_with_username_password hands on to _create_and_connect_api.
constexpr const char* login_options[] = {"totp_secret_key", "one_time_password", "timeout", "in_app_timeout"};

using brokerage::keyword;

// ---------------------------------------------------------------------------
// class BrokerDeGiro(BrokerBase)

Ref init(const Call& c) {
    setattr(c[0], "int_account", Py_None);
    setattr(c[0], "trading_api", Py_None);
    return none();
}

Ref _create_and_connect_api(const Call& c) { return create_and_connect_api(c); }

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
    Ref options = check(PyDict_New());
    for (const char* key : login_options) {
        Ref name = intern(key);
        if (PyObject* value = lookup(c.kwargs, name.get())) check(PyDict_SetItem(options.get(), name.get(), value));
    }
    Ref create_and_connect_api = getattr(self, "_create_and_connect_api");
    Ref args = check(PyTuple_Pack(2, username.get(), password.get()));
    Ref trading_api = check(PyObject_Call(create_and_connect_api.get(), args.get(), options.get()));
    Ref known_account = getattr(self, "int_account");
    if (!truth(known_account.get())) learn_account_number(c, self, trading_api.get());
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

// self.trading_api.get_update(request_list=[UpdateRequest(option=UpdateOption.<option>, last_updated=0)],
// raw=True)[section]["value"]: the section's rows, or a typed error saying `what` could not be read.
Ref rows_of_update(const Call& c, PyObject* self, const char* option, Name section, const char* what) {
    PyObject* const* k = names(c);
    Ref request_type = c.global("UpdateRequest");
    Ref option_type = c.global("UpdateOption");
    Ref chosen = getattr(option_type.get(), option);
    Ref zero = check(PyLong_FromLong(0));
    Ref request = call(request_type.get(), {}, {{"option", chosen.get()}, {"last_updated", zero.get()}});
    Ref request_list = check(PyList_New(1));
    PyList_SET_ITEM(request_list.get(), 0, request.release());

    Ref trading_api = getattr(self, "trading_api");
    Ref update = read_from(c, trading_api.get(), "get_update",
                           {{"request_list", request_list.get()}, {"raw", Py_True}}, what);
    Ref found = getitem(update.get(), k[section]);
    return getitem(found.get(), k[k_value]);
}

// What every record of a read shares: the account as text, and the time of the read.
void account_and_time(PyObject* self, Ref& account, Ref& as_of) {
    Ref int_account = getattr(self, "int_account");
    account = int_account.get() == Py_None ? none() : check(PyObject_Str(int_account.get()));
    as_of = brokerage::utc_now();
}

Ref get_current_stock_holdings(const Call& c) {
    PyObject* self = c[0];
    Ref rows = rows_of_update(c, self, "PORTFOLIO", k_portfolio, "the portfolio");
    Ref holdings = holdings_of_rows(c, self, rows.get());
    Ref json = c.global("json");
    return brokerage::records_text(json.get(), state(c).json, holdings.get());
}

Ref get_positions(const Call& c) {
    PyObject* self = c[0];
    Ref rows = rows_of_update(c, self, "PORTFOLIO", k_portfolio, "the portfolio");
    Valuation valuation;
    account_and_time(self, valuation.account, valuation.as_of);
    return positions_of_rows(c, self, rows.get(), valuation);
}

Ref get_cash_balances(const Call& c) {
    PyObject* self = c[0];
    Ref rows = rows_of_update(c, self, "CASH_FUNDS", k_cashFunds, "the cash funds");
    Ref account, as_of;
    account_and_time(self, account, as_of);
    return cash_balances_of(c, rows.get(), account.get(), as_of.get());
}

Ref _aggregated_active_holdings(const Call& c) { return aggregated_active_holdings(c); }

Ref _create_new_active_holding(const Call& c) { return create_new_active_holding(c); }

Ref _get_stock_info(const Call& c) {
    Ref trading_api = getattr(c[0], "trading_api");
    return read_from(c, trading_api.get(), "get_products_info", {{"product_list", c[1]}, {"raw", Py_True}},
                     "the product details");
}

Ref _map_holdings_with_info(const Call& c) { return map_holdings_with_info(c); }

Ref _get_ticker_with_suffix(const Call& c) { return get_ticker_with_suffix(c); }

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

const FunctionSpec _bounded_session_spec = bounded_session_spec(brokerage::bounded_session);

const FunctionSpec _bounded_send_spec = bounded_send_spec(bounded_send);

const FunctionSpec init_spec{.name = "__init__", .params = {"self"}, .body = init};

const FunctionSpec _create_and_connect_api_spec{
    .name = "_create_and_connect_api",
    .params = {"self", "username", "password"},
    .varkw = true,
    .body = _create_and_connect_api,
};

const FunctionSpec authenticate_with_username_password_spec =
    keyword_method("authenticate_with_username_password", authenticate_with_username_password, "None");
const FunctionSpec authenticate_with_email_password_spec =
    keyword_method("authenticate_with_email_password", authenticate_with_email_password);
const FunctionSpec authenticate_with_token_spec = keyword_method("authenticate_with_token", authenticate_with_token);
const FunctionSpec logout_with_username_password_spec =
    keyword_method("logout_with_username_password", logout_with_username_password);

const FunctionSpec get_current_stock_holdings_spec =
    query_method("get_current_stock_holdings", get_current_stock_holdings);

const FunctionSpec get_positions_spec = query_method("get_positions", get_positions, "list[dict]");

const FunctionSpec get_cash_balances_spec = query_method("get_cash_balances", get_cash_balances, "list[dict]");

const FunctionSpec _get_stock_info_spec{
    .name = "_get_stock_info",
    .params = {"self", "ids"},
    .body = _get_stock_info,
};

void module_body(Module& m) {
    m.import("json");
    m.state_as<KeelsonState>().make(m.name("json").get());
    m.import("logging");
    m.import("time");
    m.from_import("functools", {"partial"});
    m.from_import("degiro_connector.trading.api", {{"API", "DegiroAPI"}});
    m.from_import("degiro_connector.trading.models.credentials", {"Credentials"});
    m.from_import("degiro_connector.trading.models.account", {"UpdateOption", "UpdateRequest"});
    m.from_import("morbex.pactum", {"BrokerBase"});
    brokerage::import_errors(m);
    m.from_import("morbex.utils", {"get_exchange_mic_to_suffix_dict"});

    m.bind("_bounded_session", m.def(_bounded_session_spec).get());
    m.bind("_bounded_send", m.def(_bounded_send_spec).get());

    ClassBody cls(m, "BrokerDeGiro", {"BrokerBase"});
    cls.def(init_spec);
    cls.def(_create_and_connect_api_spec);
    cls.def(authenticate_with_username_password_spec);
    cls.def(authenticate_with_email_password_spec);
    cls.def(authenticate_with_token_spec);
    cls.def(logout_with_username_password_spec);
    cls.def(get_current_stock_holdings_spec);
    cls.def(get_positions_spec);
    cls.def(get_cash_balances_spec);
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

// The specs the other parts look methods up by.
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

}  // namespace morbex::keelson

MORBEX_MODULE_STATE(keelson, morbex::keelson::KeelsonState, morbex::keelson::module_body)
