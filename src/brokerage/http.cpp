// Bounded HTTP through requests (see http.hpp).
#include "http.hpp"
#include <cmath>
#include <cstdlib>
#include "handler.hpp"

namespace morbex::brokerage {
namespace {

// isinstance(exc, module.name), the class imported as an import statement
// would (from sys.modules once loaded).
bool is_instance(PyObject* exc, const char* module, const char* name) {
    Ref imported = check(PyImport_ImportModule(module));
    Ref cls = getattr(imported.get(), name);
    return check(PyObject_IsInstance(exc, cls.get())) != 0;
}

// Retry-After in seconds: a number of seconds (the form rate limiters use);
// an HTTP date or anything else is not taken.
Ref retry_after(PyObject* response) {
    Ref headers = getattr(response, "headers");
    Ref name = str("Retry-After");
    Ref value = check(PyObject_CallMethodOneArg(headers.get(), intern("get").get(), name.get()));
    if (!PyUnicode_Check(value.get())) return Ref();
    const char* text = PyUnicode_AsUTF8(value.get());
    if (text == nullptr) throw PyError{};
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v < 0) return Ref();
    return check(PyFloat_FromDouble(v));
}

void remember(PyObject* send, Outcome::Kind kind, PyObject* timeout, PyObject* what, PyObject* wait) {
    Ref session = getattr(send, "__self__");
    Ref kind_number = check(PyLong_FromLong(kind));
    Ref outcome = check(PyTuple_Pack(4, kind_number.get(), timeout, what, wait != nullptr ? wait : Py_None));
    setattr(session.get(), "_morbex_outcome", outcome.get());
}

Outcome read_outcome(PyObject* session) {
    Outcome outcome;
    Ref remembered;
    Ref outcome_name = intern("_morbex_outcome");
    if (!lookup_attr(session, outcome_name.get(), remembered) || !PyTuple_Check(remembered.get()) ||
        PyTuple_GET_SIZE(remembered.get()) != 4) {
        return outcome;
    }
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(remembered.get(), 0));
    if (kind == -1 && PyErr_Occurred()) throw PyError{};
    outcome.kind = static_cast<Outcome::Kind>(kind);
    outcome.timeout = Ref::borrow(PyTuple_GET_ITEM(remembered.get(), 1));
    outcome.what = Ref::borrow(PyTuple_GET_ITEM(remembered.get(), 2));
    if (PyObject* wait = PyTuple_GET_ITEM(remembered.get(), 3); wait != Py_None) outcome.retry_after = Ref::borrow(wait);
    if (outcome.kind == Outcome::answered) {
        outcome.status = PyLong_AsLong(outcome.what.get());
        if (outcome.status == -1 && PyErr_Occurred()) throw PyError{};
    }
    return outcome;
}

}  // namespace

bool timed_out(PyObject* exc) {
    if (PyErr_GivenExceptionMatches(exc, PyExc_TimeoutError)) return true;
    if (is_instance(exc, "requests.exceptions", "Timeout")) return true;
    if (!is_instance(exc, "requests.exceptions", "ConnectionError")) return false;
    Ref args = getattr(exc, "args");
    return PyTuple_Check(args.get()) && PyTuple_GET_SIZE(args.get()) > 0 &&
           is_instance(PyTuple_GET_ITEM(args.get(), 0), "urllib3.exceptions", "TimeoutError");
}

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
    PyObject* given = PyDict_GetItemWithError(c.kwargs, key.get());
    if (given == nullptr && PyErr_Occurred()) throw PyError{};
    if (given == nullptr || given == Py_None) check(PyDict_SetItem(c.kwargs, key.get(), timeout));
    Ref args = check(PyTuple_Pack(1, c[2]));
    Ref response = Ref::steal(PyObject_Call(send, args.get(), c.kwargs));
    if (!response) {
        Handler caught;
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        Ref type_name = check(PyType_GetName(Py_TYPE(caught.exception())));
        remember(send, timed_out(caught.exception()) ? Outcome::timed_out : Outcome::unreachable, timeout,
                 type_name.get(), nullptr);
        caught.reraise();
    }
    Ref status = getattr(response.get(), "status_code");
    const long code = PyLong_Check(status.get()) ? PyLong_AsLong(status.get()) : 0;
    if (code == -1 && PyErr_Occurred()) throw PyError{};
    Ref wait = code == 429 || code == 503 ? retry_after(response.get()) : Ref();
    remember(send, Outcome::answered, timeout, status.get(), wait.get());
    return response;
}

Ref new_bounded_session(const Call& c, PyObject* timeout) {
    Ref requests = check(PyImport_ImportModule("requests"));
    Ref session_type = getattr(requests.get(), "Session");
    Ref bounded_session = c.global("_bounded_session");
    return call(bounded_session.get(), {session_type.get(), timeout});
}

Outcome last_outcome(PyObject* session) {
    // Only ever asked while a failure is being explained: whatever cannot be
    // read here leaves the outcome unknown, and the failure is told as it is.
    try {
        return read_outcome(session);
    } catch (const PyError&) {
        PyErr_Clear();
        return Outcome{};
    }
}

Ref request(PyObject* session, const char* method, PyObject* url, std::initializer_list<Kw> kwargs,
            Outcome& outcome) {
    Ref verb = str(method);
    // What the last request left is no answer of this one.
    Ref outcome_name = intern("_morbex_outcome");
    if (PyObject_SetAttr(session, outcome_name.get(), nullptr) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError{};
        PyErr_Clear();
    }
    try {
        return call_method(session, "request", {verb.get(), url}, kwargs);
    } catch (const PyError&) {
        Handler caught;
        if (!caught.matches(PyExc_Exception)) caught.reraise();
        outcome = last_outcome(session);
        if (outcome.kind == Outcome::unknown || outcome.kind == Outcome::answered) {
            // Failed before or after the send: the error is no network's.
            caught.reraise();
        }
        return Ref();  // the handler drops the error as it ends
    }
}

}  // namespace morbex::brokerage
