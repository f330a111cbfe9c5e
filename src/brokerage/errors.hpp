// Raising the typed errors of morbex.errors from a broker module.
//
// A broker module imports the five types by name at load time (import_errors)
// and each raise looks its type up among the module's globals at the time of
// the call, as a `raise LoginRefused(...)` in Python would.
#pragma once
#include <Python.h>
#include "function.hpp"
#include "module.hpp"
#include "ops.hpp"

namespace morbex::brokerage {

enum class Failure {
    login_refused,       // the broker refused the login; the user must act
    approval_timeout,    // the login was not approved in the broker's app in time
    broker_unavailable,  // no answer, a network failure, maintenance, 5xx, an answer not understood
    rate_limited,        // the broker asks to wait
    session_expired,     // a read refused because the session ended
};

// from morbex.errors import LoginRefused, ApprovalTimeout, BrokerUnavailable, RateLimited, SessionExpired
void import_errors(const Module& m);

// raise <type>(message), inside whatever handler is running: the exception
// being handled becomes its __context__. For RateLimited, `retry_after`
// (seconds, or null for None) is set on it.
[[noreturn]] void raise_failure(const Call& c, Failure type, PyObject* message, PyObject* retry_after = nullptr);

// The same with no exception chained at all (not even as a suppressed
// __context__): for failures whose cause quotes what must not be shown, such
// as a URL that carries a token.
[[noreturn]] void raise_failure_alone(const Call& c, Failure type, PyObject* message,
                                      PyObject* retry_after = nullptr);

// A str message made with PyUnicode_FromFormat.
template <class... Args>
Ref message(const char* format, Args... args) {
    return check(PyUnicode_FromFormat(format, args...));
}

}  // namespace morbex::brokerage
