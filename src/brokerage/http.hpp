// Bounded HTTP through requests: every request a broker sends has a
// timeout, on whatever thread sends it, and what became of the last one is
// kept in plain values only, so a failure can be told for what it was
// without keeping the request (a login's carries the password, a URL may
// carry a token) or its frames.
//
//     def _bounded_session(build_session, timeout, **kwargs):
//         session = build_session(**kwargs)
//         session.send = partial(_bounded_send, session.send, timeout)
//         return session
//
//     def _bounded_send(send, bound, request, **kwargs):
//         if kwargs.get("timeout") is None:
//             kwargs["timeout"] = bound
//         try:
//             response = send(request, **kwargs)
//         except Exception as e:
//             send.__self__._morbex_outcome = (TIMED_OUT or UNREACHABLE, bound, type(e).__name__, None)
//             raise
//         send.__self__._morbex_outcome = (ANSWERED, bound, response.status_code, <Retry-After in s>)
//         return response
//
// A broker module binds both names at module level (its _bounded_send may
// add a rule of its broker's) and builds its sessions through them. The
// bound is not called `timeout`: Session.request hands send a timeout=
// keyword of its own, which must land in kwargs.
#pragma once
#include <Python.h>
#include <initializer_list>
#include "function.hpp"
#include "ops.hpp"

namespace morbex::brokerage {

// What became of the last request sent through a session: nothing known, no
// answer in time, no connection, or an answer.
struct Outcome {
    enum Kind { unknown, timed_out, unreachable, answered };
    Kind kind = unknown;
    Ref timeout;      // the bound it was sent with
    Ref what;         // the HTTP status, or the name of the exception's type
    long status = 0;  // the response's HTTP status
    Ref retry_after;  // seconds (float) a 429 or 503 asked to wait for, by its Retry-After; null when not said
};

// The bodies of _bounded_session and _bounded_send (the partial binds the
// module's global _bounded_send, looked up at the call).
Ref bounded_session(const Call& c);
Ref bounded_send(const Call& c);

// _bounded_session(requests.Session, timeout): a new session whose every
// request is bounded by `timeout`.
Ref new_bounded_session(const Call& c, PyObject* timeout);

// The outcome of the last request sent through `session`; unknown when
// nothing was remembered. Raises nothing.
Outcome last_outcome(PyObject* session);

// Whether an exception raised while sending is the server not answering in
// time (requests wraps a read that timed out mid-body in a ConnectionError of
// its own, around urllib3's timeout).
bool timed_out(PyObject* exc);

// session.request(method, url, **kwargs) through a bounded session (whose
// _bounded_send names its second parameter other than `timeout`:
// Session.request passes send() a timeout= of its own): the
// response (whatever its status), or, when no answer came, an empty Ref with
// the error cleared: the outcome says why. requests' own errors quote the
// URL, which may carry a secret, so none of them is kept.
Ref request(PyObject* session, const char* method, PyObject* url, std::initializer_list<Kw> kwargs,
            Outcome& outcome);

}  // namespace morbex::brokerage
