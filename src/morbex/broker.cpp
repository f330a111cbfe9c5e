// morbex.broker: what a caller uses to log in to a broker and out again.
//
//     from morbex.pactum import BrokerBase
//     from morbex.minter import BrokerFactory
//     from morbex.brokers import Brokers
//     from morbex.utils import BaseEnum
//
//     class AuthenticationMethods(BaseEnum):
//         USERNAME_PASSWORD = "username and password"
//         EMAIL_PASSWORD = "email and password"
//         TOKEN = "token"
//
//     def authenticate(broker_name: "Brokers", auth_method: "AuthenticationMethods",
//                      **kwargs) -> "BrokerBase":
//         broker = BrokerFactory.create_broker(broker_name)
//         if auth_method == AuthenticationMethods.USERNAME_PASSWORD:
//             broker.authenticate_with_username_password(**kwargs)
//         elif auth_method == AuthenticationMethods.EMAIL_PASSWORD:
//             broker.authenticate_with_email_password(**kwargs)
//         elif auth_method == AuthenticationMethods.TOKEN:
//             broker.authenticate_with_token(**kwargs)
//         else:
//             raise ValueError(f"Unsupported authentication method: {auth_method}")
//         return broker
//
//     def logout(broker_connection: "BrokerBase", auth_method: "AuthenticationMethods",
//                **kwargs) -> "None":
//         if auth_method == AuthenticationMethods.USERNAME_PASSWORD:
//             broker_connection.logout_with_username_password(**kwargs)
//         elif auth_method == AuthenticationMethods.TOKEN:
//             broker_connection.logout_with_token(**kwargs)
//         else:
//             raise ValueError(f"Unsupported logout method: {auth_method}")
#include "classes.hpp"
#include "error.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::broker {
namespace {

// `auth_method == AuthenticationMethods.<member>`, the global read afresh at
// each test as LOAD_GLOBAL does. The caller's object is on the left, so its
// own __eq__ decides first, and the result's truth value is taken.
bool is_method(const Call& c, PyObject* auth_method, const char* member) {
    Ref methods = c.global("AuthenticationMethods");
    Ref wanted = getattr(methods.get(), member);
    return eq(auth_method, wanted.get());
}

// `obj.name(**kwargs)`: the interpreter merges the mapping into a new dict
// for the call, so whatever the broker does to the dict it is handed stays
// with that call. No positional arguments, the result discarded.
void call_with_kwargs(PyObject* obj, const char* name, PyObject* kwargs) {
    Ref method = getattr(obj, name);
    Ref merged = check(PyDict_Copy(kwargs));
    Ref no_args = check(PyTuple_New(0));
    check(PyObject_Call(method.get(), no_args.get(), merged.get()));
}

// `raise ValueError(f"<prefix>{value}")`: ValueError is looked up before the
// message is formatted, as in the statement.
[[noreturn]] void raise_unsupported(const Call& c, const char* prefix, PyObject* value) {
    Ref value_error = c.global("ValueError");
    Ref text = format(value);
    Ref message = check(PyUnicode_FromFormat("%s%U", prefix, text.get()));
    raise_new(value_error.get(), message.get());
}

Ref authenticate(const Call& c) {
    PyObject* broker_name = c[0];
    PyObject* auth_method = c[1];
    // The broker comes first: an unsupported name is reported even when the
    // method is unsupported too.
    Ref factory = c.global("BrokerFactory");
    Ref broker = call_method(factory.get(), "create_broker", {broker_name});
    if (is_method(c, auth_method, "USERNAME_PASSWORD")) {
        call_with_kwargs(broker.get(), "authenticate_with_username_password", c.kwargs);
    } else if (is_method(c, auth_method, "EMAIL_PASSWORD")) {
        call_with_kwargs(broker.get(), "authenticate_with_email_password", c.kwargs);
    } else if (is_method(c, auth_method, "TOKEN")) {
        call_with_kwargs(broker.get(), "authenticate_with_token", c.kwargs);
    } else {
        raise_unsupported(c, "Unsupported authentication method: ", auth_method);
    }
    return broker;
}

Ref logout(const Call& c) {
    PyObject* broker_connection = c[0];
    PyObject* auth_method = c[1];
    if (is_method(c, auth_method, "USERNAME_PASSWORD")) {
        call_with_kwargs(broker_connection, "logout_with_username_password", c.kwargs);
    } else if (is_method(c, auth_method, "TOKEN")) {
        call_with_kwargs(broker_connection, "logout_with_token", c.kwargs);
    } else {
        raise_unsupported(c, "Unsupported logout method: ", auth_method);
    }
    return none();
}

const FunctionSpec authenticate_spec{
    .name = "authenticate",
    .params = {"broker_name", "auth_method"},
    .varkw = true,
    .annotations = {{{"broker_name", "Brokers"},
                     {"auth_method", "AuthenticationMethods"},
                     {"return", "BrokerBase"}}},
    .body = authenticate,
};

const FunctionSpec logout_spec{
    .name = "logout",
    .params = {"broker_connection", "auth_method"},
    .varkw = true,
    .annotations = {{{"broker_connection", "BrokerBase"},
                     {"auth_method", "AuthenticationMethods"},
                     {"return", "None"}}},
    .body = logout,
};

void module_body(Module& m) {
    m.from_import("morbex.pactum", {"BrokerBase"});
    m.from_import("morbex.minter", {"BrokerFactory"});
    m.from_import("morbex.brokers", {"Brokers"});
    m.from_import("morbex.utils", {"BaseEnum"});

    // Built through BaseEnum's metaclass, members assigned in order through
    // the enum namespace's __setitem__.
    ClassBody cls(m, "AuthenticationMethods", {"BaseEnum"});
    cls.assign("USERNAME_PASSWORD", str("username and password").get());
    cls.assign("EMAIL_PASSWORD", str("email and password").get());
    cls.assign("TOKEN", str("token").get());
    m.bind("AuthenticationMethods", cls.create().get());

    m.bind("authenticate", m.def(authenticate_spec).get());
    m.bind("logout", m.def(logout_spec).get());
}

}  // namespace
}  // namespace morbex::broker

MORBEX_MODULE(broker, morbex::broker::module_body)
