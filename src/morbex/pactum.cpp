// morbex.pactum: the abstract interface every broker implements.
//
//     from abc import ABC, abstractmethod
//
//     class BrokerBase(ABC):
//         @abstractmethod
//         def authenticate_with_email_password(self, **kwargs) -> "None": ...
//         ...
#include "classes.hpp"
#include "module.hpp"

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

void module_body(Module& m) {
    m.from_import("abc", {"ABC", "abstractmethod"});

    ClassBody cls(m, "BrokerBase", {"ABC"});
    cls.def(authenticate_with_email_password, "abstractmethod");
    cls.def(authenticate_with_username_password, "abstractmethod");
    cls.def(authenticate_with_token, "abstractmethod");
    cls.def(logout_with_username_password, "abstractmethod");
    cls.def(get_current_stock_holdings, "abstractmethod");
    m.bind("BrokerBase", cls.create().get());
}

}  // namespace
}  // namespace morbex::pactum

MORBEX_MODULE(pactum, morbex::pactum::module_body)
