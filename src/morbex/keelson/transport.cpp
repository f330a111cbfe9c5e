// Every request the connector sends for a broker: bounded in time, and what
// became of the last one remembered, so that a failure the connector only
// reports as None (or as "No session id returned.") can be told for what it
// was.
//
//     def _bounded_session(build_session, timeout, **kwargs):
//         session = build_session(**kwargs)
//         session.send = partial(_bounded_send, session.send, timeout)
//         return session
//
//     def _bounded_send(send, timeout, request, **kwargs):
//         if kwargs.get("timeout") is None:
//             kwargs["timeout"] = timeout
//         try:
//             response = send(request, **kwargs)
//         except Exception as e:
//             send.__self__._morbex_outcome = (TIMED_OUT or UNREACHABLE, timeout, type(e).__name__)
//             raise
//         send.__self__._morbex_outcome = (ANSWERED, timeout, response.status_code)
//         if response.status_code == 405:
//             raise ConnectionError("DEGIRO is down for maintenance")
//         return response
//
// The connector sends with no timeout at all, on a requests.Session of its
// own per thread (built by its session storage's build_session): the
// storage's builder is replaced on the API object, so a session built on any
// thread is bounded. Only plain values are kept of the outcome: a response or
// an exception would keep the request sent (a login's carries the password)
// and the frames it passed through.
//
// After a 405 the connector would fetch DEGIRO's public login page, with no
// timeout, for a maintenance text: the 405 is turned into a failure of the
// send, which the connector takes as any other.
#include "handler.hpp"
#include "keelson.hpp"

namespace morbex::keelson {
namespace {

// isinstance(exc, module.name), the class imported as an import statement
// would (from sys.modules once loaded).
bool is_instance(PyObject* exc, const char* module, const char* name) {
    Ref imported = check(PyImport_ImportModule(module));
    Ref cls = getattr(imported.get(), name);
    return check(PyObject_IsInstance(exc, cls.get())) != 0;
}

// A requests failure that is the server not answering in time. requests
// wraps a read that timed out while the body arrived in a ConnectionError
// of its own, whose argument is urllib3's timeout.
bool timed_out(PyObject* exc) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_TimeoutError)) return true;
    if (is_instance(exc, "requests.exceptions", "Timeout")) return true;
    if (!is_instance(exc, "requests.exceptions", "ConnectionError")) return false;
    Ref args = getattr(exc, "args");
    return PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0 &&
           is_instance(PyTuple_GET_ITEM(args.get(), 0), "urllib3.exceptions", "TimeoutError");
}

void remember(PyObject* send, Outcome::Kind kind, PyObject* timeout, PyObject* what) {
    // `what`: the HTTP status, or the name of the exception's type.
    Ref session = getattr(send, "__self__");
    Ref kind_number = check(PyLong_FromLong(kind));
    Ref outcome = check(PyTuple_Pack(3, kind_number.get(), timeout, what));
    setattr(session.get(), "_morbex_outcome", outcome.get());
}

}  // namespace

Ref bounded_session(const Call& c) {
    Ref build_session = Ref::borrow(c[0]);
    Ref no_args = check(PyTuple_New(0));
    Ref session = check(PyObject_Call(build_session.get(), no_args.get(), c.kwargs));
    Ref send = getattr(session.get(), "send");
    Ref partial = c.global("partial");
    Ref bounded_send = c.global("_bounded_send");
    Ref bounded = call(partial.get(), {bounded_send.get(), send.get(), c[1]});
    setattr(session.get(), "send", bounded.get());
    return session;
}

Ref bounded_send(const Call& c) {
    PyObject* send = c[0];
    PyObject* timeout = c[1];
    Ref key = intern("timeout");
    PyObject* given = lookup(c.kwargs, key.get());
    if (given == nullptr || given == Py_None) check(PyDict_SetItem(c.kwargs, key.get(), timeout));
    Ref args = check(PyTuple_Pack(1, c[2]));
    Ref response = Ref::steal(PyObject_Call(send, args.get(), c.kwargs));
    if (!response) {
        Handler caught;
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        Ref type_name = check(PyType_GetName(Py_TYPE(caught.exception())));
        remember(send, timed_out(caught.exception()) ? Outcome::timed_out : Outcome::unreachable, timeout,
                 type_name.get());
        caught.reraise();
    }
    Ref status = getattr(response.get(), "status_code");
    remember(send, Outcome::answered, timeout, status.get());
    if (PyLong_Check(status.get()) && PyLong_AsLong(status.get()) == 405) {
        raise(PyExc_ConnectionError, "DEGIRO is down for maintenance");
    }
    return response;
}

void bound_requests(const Call& c, PyObject* trading_api, PyObject* timeout) {
    Ref storage = getattr(trading_api, "session_storage");
    Ref build_session = getattr(storage.get(), "build_session");
    Ref partial = c.global("partial");
    Ref bounded_session = c.global("_bounded_session");
    Ref bounded = call(partial.get(), {bounded_session.get(), build_session.get(), timeout});
    setattr(storage.get(), "build_session", bounded.get());
}

namespace {

Outcome read_outcome(PyObject* trading_api) {
    Outcome outcome;
    Ref storage, session, remembered;
    Ref storage_name = intern("session_storage"), session_name = intern("session");
    Ref outcome_name = intern("_morbex_outcome");
    const bool found = lookup_attr(trading_api, storage_name.get(), storage) &&
                       lookup_attr(storage.get(), session_name.get(), session) &&
                       lookup_attr(session.get(), outcome_name.get(), remembered);
    if (!found || !PyTuple_Check(remembered.get()) || PyTuple_GET_SIZE(remembered.get()) != 3) return outcome;
    outcome.kind = static_cast<Outcome::Kind>(PyLong_AsLong(PyTuple_GET_ITEM(remembered.get(), 0)));
    outcome.timeout = Ref::borrow(PyTuple_GET_ITEM(remembered.get(), 1));
    outcome.what = Ref::borrow(PyTuple_GET_ITEM(remembered.get(), 2));
    if (outcome.kind == Outcome::answered) {
        outcome.status = PyLong_AsLong(outcome.what.get());
        if (outcome.status == -1 && PyErr_Occurred()) throw PyError{};
    }
    return outcome;
}

}  // namespace

Outcome last_outcome(PyObject* trading_api) {
    // Only ever asked while a failure is being explained: whatever cannot be
    // read here leaves the outcome unknown, and the failure is told as it is.
    try {
        return read_outcome(trading_api);
    } catch (const PyError&) {
        PyErr_Clear();
        return Outcome{};
    }
}

}  // namespace morbex::keelson
