// Raising the typed errors of morbex.errors from a broker module.
#include "errors.hpp"

namespace morbex::brokerage {
namespace {

const char* type_name(Failure type) {
    switch (type) {
    case Failure::login_refused: return "LoginRefused";
    case Failure::approval_timeout: return "ApprovalTimeout";
    case Failure::broker_unavailable: return "BrokerUnavailable";
    case Failure::rate_limited: return "RateLimited";
    case Failure::session_expired: return "SessionExpired";
    }
    return "ConnectionError";
}

Ref failure(const Call& c, Failure type, PyObject* message, PyObject* retry_after) {
    Ref cls = c.global(type_name(type));
    Ref exc = call(cls.get(), {message});
    if (type == Failure::rate_limited) setattr(exc.get(), "retry_after", retry_after ? retry_after : Py_None);
    return exc;
}

}  // namespace

void import_errors(const Module& m) {
    m.from_import("morbex.errors",
                  {"LoginRefused", "ApprovalTimeout", "BrokerUnavailable", "RateLimited", "SessionExpired"});
}

void raise_failure(const Call& c, Failure type, PyObject* message, PyObject* retry_after) {
    Ref exc = failure(c, type, message, retry_after);
    raise_exception(exc.get());
}

void raise_failure_alone(const Call& c, Failure type, PyObject* message, PyObject* retry_after) {
    Ref exc = failure(c, type, message, retry_after);
    // PyErr_SetRaisedException chains nothing, where PyErr_SetObject would
    // take the exception being handled as __context__.
    PyException_SetContext(exc.get(), nullptr);
    PyErr_SetRaisedException(exc.release());
    throw PyError{};
}

}  // namespace morbex::brokerage
