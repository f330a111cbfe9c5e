// morbex.errors: what a broker raises when the failure is the broker's, by kind,
// so a caller (and the command line's exit status) decides by type, not text.
//
//     class LoginRefused(ConnectionError):
//         pass
//
//     class ApprovalTimeout(LoginRefused):
//         pass
//
//     class BrokerUnavailable(ConnectionError):
//         pass
//
//     class RateLimited(BrokerUnavailable):
//         retry_after = None
//
//     class SessionExpired(ConnectionError):
//         pass
//
// All are ConnectionError, so `except ConnectionError` still catches every one.
// ConnectionError is an OSError: a raiser gives one argument only, the message
// (two would be read as errno and strerror, and str() would show "[Errno ...]").
// RateLimited.retry_after is set on the instance after construction; it lives
// in the instance __dict__, which OSError's __reduce__ carries, so a pickled
// error keeps it.
#include "classes.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::errors {
namespace {

// `class name(base): pass`: built through the base's metaclass like any
// class statement, so __module__ is "morbex.errors" and pickle finds it.
void define(Module& m, const char* name, const char* base) {
    ClassBody cls(m, name, {base});
    m.bind(name, cls.create().get());
}

void module_body(Module& m) {
    // Each class is bound before the next names it as a base: bases are read
    // from the namespace (builtins for ConnectionError), as at module level.
    define(m, "LoginRefused", "ConnectionError");
    define(m, "ApprovalTimeout", "LoginRefused");
    define(m, "BrokerUnavailable", "ConnectionError");

    // The class attribute is the answer for a broker that did not say how long
    // to wait; a raiser that knows sets the instance's own.
    ClassBody rate_limited(m, "RateLimited", {"BrokerUnavailable"});
    rate_limited.assign("retry_after", Py_None);
    m.bind("RateLimited", rate_limited.create().get());

    define(m, "SessionExpired", "ConnectionError");
}

}  // namespace
}  // namespace morbex::errors

MORBEX_MODULE(errors, morbex::errors::module_body)
