// morbex.pactum: the abstract interface every broker implements.
//
//     from abc import ABC, abstractmethod
//     import json
//
//     class BrokerBase(ABC):
//         @abstractmethod
//         def authenticate_with_email_password(self, **kwargs) -> "None": ...
//         ...
//         @abstractmethod
//         def get_current_stock_holdings(self): ...
//
//         def logout_with_token(self, **kwargs) -> "None":
//             return None
//
//         def get_positions(self) -> "list[dict]":
//             return json.loads(self.get_current_stock_holdings())
//
//         def get_cash_balances(self) -> "list[dict]":
//             raise NotImplementedError(f"{type(self).__name__} does not report cash balances")
#include "classes.hpp"
#include "error.hpp"
#include "methods.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::pactum {
namespace {

// The base bodies do nothing: a subclass reaching them through super() gets None.
Ref nothing(const Call&) { return none(); }

// def name(self, **kwargs) -> "None"
constexpr FunctionSpec keyword_operation(const char* name) {
    return {.name = name, .params = {"self"}, .varkw = true, .annotations = {{{"return", "None"}}}, .body = nothing};
}

const FunctionSpec authenticate_with_email_password = keyword_operation("authenticate_with_email_password");
const FunctionSpec authenticate_with_username_password = keyword_operation("authenticate_with_username_password");
const FunctionSpec authenticate_with_token = keyword_operation("authenticate_with_token");
const FunctionSpec logout_with_username_password = keyword_operation("logout_with_username_password");

const FunctionSpec get_current_stock_holdings{
    .name = "get_current_stock_holdings",
    .params = {"self"},
    .body = nothing,
};

// Not abstract: a broker whose session ends by itself (a token stays valid)
// has nothing to do here, and the brokers written before it stay complete.
const FunctionSpec logout_with_token = keyword_operation("logout_with_token");

// The holdings as records. The names are read in the order the expression
// reads them: json and its loads first, then the broker's own method, so a
// subclass's get_current_stock_holdings is the one called.
Ref get_positions(const Call& c) {
    Ref json = c.global("json");
    Ref loads = getattr(json.get(), "loads");
    Ref text = call_method(c[0], "get_current_stock_holdings");
    return call(loads.get(), {text.get()});
}

const FunctionSpec get_positions_spec = brokerage::query_method("get_positions", get_positions, "list[dict]");

// A broker that can report cash overrides this; the message names the
// subclass, so a caller sees which broker cannot.
Ref get_cash_balances(const Call& c) {
    Ref not_implemented = c.global("NotImplementedError");
    Ref type = c.global("type");
    Ref cls = call(type.get(), {c[0]});
    Ref name = getattr(cls.get(), "__name__");
    Ref text = format(name.get());
    Ref message = check(PyUnicode_FromFormat("%U does not report cash balances", text.get()));
    raise_new(not_implemented.get(), message.get());
}

const FunctionSpec get_cash_balances_spec = brokerage::query_method("get_cash_balances", get_cash_balances, "list[dict]");

void module_body(Module& m) {
    m.from_import("abc", {"ABC", "abstractmethod"});
    m.import("json");

    ClassBody cls(m, "BrokerBase", {"ABC"});
    cls.def(authenticate_with_email_password, "abstractmethod");
    cls.def(authenticate_with_username_password, "abstractmethod");
    cls.def(authenticate_with_token, "abstractmethod");
    cls.def(logout_with_username_password, "abstractmethod");
    cls.def(get_current_stock_holdings, "abstractmethod");
    cls.def(logout_with_token);
    cls.def(get_positions_spec);
    cls.def(get_cash_balances_spec);
    m.bind("BrokerBase", cls.create().get());
}

}  // namespace
}  // namespace morbex::pactum

MORBEX_MODULE(pactum, morbex::pactum::module_body)
