// Every request the connector sends for a broker goes through the shared
// bounded session (http.hpp); here what is DEGIRO's about it, and reading
// from DEGIRO once logged in.
//
//     def _bounded_send(send, bound, request, **kwargs):
//         response = <the shared _bounded_send>
//         if response.status_code == 405:
//             raise ConnectionError("DEGIRO is down for maintenance")
//         return response
//
// After a 405 the connector would fetch DEGIRO's public login page, with no
// timeout, for a maintenance text: the 405 is turned into a failure of the
// send, which the connector takes as any other.
//
// The connector's data calls answer None on any failure: each is made to fail
// with a typed error that says what could not be read and why.
#include "connection.hpp"
#include "errors.hpp"
#include "handler.hpp"

namespace morbex::keelson {

using brokerage::Failure;

Ref bounded_send(const Call& c) {
    Ref response = brokerage::bounded_send(c);
    Ref status = getattr(response.get(), "status_code");
    const long code = PyLong_Check(status.get()) ? PyLong_AsLong(status.get()) : 0;
    if (code == -1 && PyErr_Occurred()) throw PyError{};
    if (code == 405) {
        raise(PyExc_ConnectionError, "DEGIRO is down for maintenance");
    }
    return response;
}

void bound_requests(const Call& c, PyObject* trading_api, PyObject* timeout) {
    // The connector keeps a requests.Session of its own per thread, built by
    // its session storage's build_session: that builder is replaced on the
    // API object, so a session built on any thread is bounded.
    Ref storage = getattr(trading_api, "session_storage");
    Ref build_session = getattr(storage.get(), "build_session");
    Ref partial = c.global("partial");
    Ref bounded_session = c.global("_bounded_session");
    Ref bounded = call(partial.get(), {bounded_session.get(), build_session.get(), timeout});
    setattr(storage.get(), "build_session", bounded.get());
}

Outcome last_outcome(PyObject* trading_api) {
    Ref storage, session;
    Ref storage_name = intern("session_storage"), session_name = intern("session");
    try {
        if (!lookup_attr(trading_api, storage_name.get(), storage) ||
            !lookup_attr(storage.get(), session_name.get(), session)) {
            return Outcome{};
        }
    } catch (const PyError&) {
        PyErr_Clear();
        return Outcome{};
    }
    return brokerage::last_outcome(session.get());
}

namespace {

// Why the last request of this thread through `trading_api` failed, for a
// message (empty when nothing is known), and what kind of failure that is.
Ref reason(PyObject* trading_api, Failure& kind) {
    const Outcome outcome = last_outcome(trading_api);
    kind = Failure::broker_unavailable;
    switch (outcome.kind) {
    case Outcome::timed_out:
        return check(PyUnicode_FromFormat("no answer within %S s", outcome.timeout.get()));
    case Outcome::unreachable:
        return str("the connection failed");
    case Outcome::answered:
        if (outcome.status == 401) {
            kind = Failure::session_expired;
            return str("HTTP 401: the session has expired or was closed");
        }
        if (outcome.status >= 400) return check(PyUnicode_FromFormat("HTTP %ld", outcome.status));
        return str("an answer that was not understood");
    case Outcome::unknown:
        break;
    }
    return Ref();
}

[[noreturn]] void could_not_read(const Call& c, Failure kind, const char* what, PyObject* why) {
    Ref message = why != nullptr ? brokerage::message("Could not read %s from DEGIRO (%U); logging in again may help",
                                                      what, why)
                                 : brokerage::message("Could not read %s from DEGIRO; logging in again may help",
                                                      what);
    brokerage::raise_failure(c, kind, message.get());
}

}  // namespace

Ref read_from(const Call& c, PyObject* trading_api, const char* method, std::initializer_list<Kw> kwargs,
              const char* what) {
    Ref result;
    try {
        result = call_method(trading_api, method, {}, kwargs);
    } catch (const PyError&) {
        // The connector's own idle expiry: it refuses to send at all.
        Handler caught;
        Ref timeout_error = c.global("TimeoutError");
        if (!caught.matches(timeout_error.get())) caught.reraise();
        Ref why = str("the session has expired");
        could_not_read(c, Failure::session_expired, what, why.get());
    }
    if (result.get() != Py_None) return result;
    Failure kind;
    Ref why = reason(trading_api, kind);
    could_not_read(c, kind, what, why.get());
}

}  // namespace morbex::keelson
