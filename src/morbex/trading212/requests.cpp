// Trading 212's side of the wire: every GET through the bounded session, and
// each answer that is not the data told for what it was, by type first.
//
//     def <fetch>(session, base_url, endpoint, login):
//         response = session.get(base_url + endpoint.path)    # bounded; requests' errors dropped
//         <no answer in time, or no connection>                -> BrokerUnavailable
//         <an HTML page, whatever its status: the edge network> -> BrokerUnavailable
//         200 -> response.content
//         401 -> LoginRefused; 403 -> LoginRefused naming the permission the key lacks
//         429 -> RateLimited(retry_after=<x-ratelimit-reset - time.time(), never negative>)
//
// Once logged in, a read whose limit's window ends within two seconds waits
// for it (time.sleep) and asks once more; a longer limit is the caller's.
//         408, 5xx, anything else -> BrokerUnavailable
//
// Trading 212 sends no Retry-After with a 429; its x-ratelimit-reset is the
// Unix time the limit's window ends.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include "http.hpp"
#include "state.hpp"

namespace morbex::trading212 {

using brokerage::Outcome;

const Endpoint account_summary{"/api/v0/equity/account/summary", "the account summary"};
const Endpoint open_positions{"/api/v0/equity/positions", "the portfolio"};
const Endpoint instrument_list{"/api/v0/equity/metadata/instruments", "the instrument list"};
const Endpoint exchange_list{"/api/v0/equity/metadata/exchanges", "the exchange list"};

void failed(const Call& c, Failure kind, bool login, const char* what, PyObject* why, PyObject* retry_after) {
    Ref message = login ? brokerage::message("Failed to authenticate with Trading 212 API: %U", why)
                        : brokerage::message("Could not read %s from Trading 212 (%U)", what, why);
    brokerage::raise_failure_alone(c, kind, message.get(), retry_after);
}

void not_understood(const Call& c, bool login, const char* what) {
    Ref why = str("an answer that was not understood");
    failed(c, Failure::broker_unavailable, login, what, why.get());
}

namespace {

// The bytes of a bytes object.
std::string_view bytes_of(PyObject* body) {
    if (!PyBytes_Check(body)) return {};
    return {PyBytes_AS_STRING(body), static_cast<std::size_t>(PyBytes_GET_SIZE(body))};
}

// headers.get(name): a str, or null.
Ref header(PyObject* response, const char* name) {
    Ref headers = getattr(response, "headers");
    Ref key = str(name);
    Ref value = call_method(headers.get(), "get", {key.get()});
    return PyUnicode_Check(value.get()) ? value : Ref();
}

// An HTML page: said so by its type, or starting as one whatever it says.
bool html(PyObject* response, std::string_view body) {
    if (Ref type = header(response, "Content-Type")) {
        const char* text = PyUnicode_AsUTF8(type.get());
        if (text == nullptr) throw PyError{};
        std::string lowered(text);
        for (char& ch : lowered) ch = static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
        if (lowered.find("html") != std::string::npos) return true;
    }
    const std::size_t start = body.find_first_not_of(" \t\r\n");
    return start != std::string_view::npos && body[start] == '<';
}

// Trading 212's 403 names the scope the key lacks: "Scope( portfolio )
// missing for API key". The key's settings call the scopes permissions, by
// these names.
Ref refusal(std::string_view body) {
    static constexpr struct {
        std::string_view scope;
        const char* permission;
    } permissions[] = {{"account", "Account data"}, {"portfolio", "Portfolio"}, {"metadata", "Metadata"}};
    const std::size_t at = body.find("Scope(");
    if (at == std::string_view::npos) return str("access was refused (HTTP 403)");
    std::string_view rest = body.substr(at + 6);
    const std::size_t start = rest.find_first_not_of(' ');
    rest = start == std::string_view::npos ? std::string_view() : rest.substr(start);
    std::size_t length = 0;
    while (length < rest.size() && length < 40 &&
           ((rest[length] >= 'a' && rest[length] <= 'z') || rest[length] == '_' || rest[length] == ':')) {
        ++length;
    }
    const std::string_view scope = rest.substr(0, length);
    for (const auto& p : permissions) {
        if (scope == p.scope) return brokerage::message("the API key lacks the \"%s\" permission", p.permission);
    }
    if (scope.empty()) return str("access was refused (HTTP 403)");
    Ref named = check(PyUnicode_FromStringAndSize(scope.data(), static_cast<Py_ssize_t>(scope.size())));
    return brokerage::message("the API key lacks the permission of scope \"%U\"", named.get());
}

// Seconds until the rate limit's window ends, by x-ratelimit-reset; else by a
// Retry-After, should one come; null when neither says.
Ref wait_for(const Call& c, PyObject* response, const Outcome& outcome) {
    if (Ref reset = header(response, "x-ratelimit-reset")) {
        const char* text = PyUnicode_AsUTF8(reset.get());
        if (text == nullptr) throw PyError{};
        char* end = nullptr;
        const double at = std::strtod(text, &end);
        if (end != text && *end == '\0' && std::isfinite(at)) {
            Ref time = c.global("time");
            Ref now = call_method(time.get(), "time");
            const double seconds = at - PyFloat_AsDouble(now.get());
            if (PyErr_Occurred()) throw PyError{};
            return check(PyFloat_FromDouble(seconds > 0 ? seconds : 0.0));
        }
    }
    return outcome.retry_after;
}

[[noreturn]] void rate_limited(const Call& c, bool login, const char* what, PyObject* response,
                               const Outcome& outcome) {
    Ref retry_after = wait_for(c, response, outcome);
    Ref why = retry_after ? brokerage::message("too many requests (HTTP 429); try again in %ld s",
                                               static_cast<long>(std::ceil(PyFloat_AsDouble(retry_after.get()))))
                          : str("too many requests (HTTP 429); try again later");
    failed(c, Failure::rate_limited, login, what, why.get(), retry_after.get());
}

}  // namespace

Ref fetch(const Call& c, PyObject* session, PyObject* base_url, const Endpoint& endpoint, bool login) {
    const char* what = endpoint.what;
    Ref url = brokerage::message("%U%s", base_url, endpoint.path);
    Outcome outcome;
    Ref response = brokerage::request(session, "GET", url.get(), {}, outcome);
    if (!response) {
        Ref why = outcome.kind == Outcome::timed_out
                      ? brokerage::message("no answer within %S s", outcome.timeout.get())
                      : brokerage::message("could not connect (%S)", outcome.what.get());
        failed(c, Failure::broker_unavailable, login, what, why.get());
    }
    Ref status_code = getattr(response.get(), "status_code");
    const long status = PyLong_AsLong(status_code.get());
    if (status == -1 && PyErr_Occurred()) throw PyError{};
    Ref body = getattr(response.get(), "content");
    const std::string_view bytes = bytes_of(body.get());

    if (html(response.get(), bytes)) {
        Ref why = brokerage::message("an HTML page instead of the API's answer (HTTP %ld)", status);
        failed(c, Failure::broker_unavailable, login, what, why.get());
    }
    switch (status) {
    case 200:
        if (!PyBytes_Check(body.get())) not_understood(c, login, what);
        return body;
    case 401: {
        Ref why = str("the API key or secret was refused");
        failed(c, Failure::login_refused, login, what, why.get());
    }
    case 403: {
        Ref why = refusal(bytes);
        failed(c, Failure::login_refused, login, what, why.get());
    }
    case 408: {
        Ref why = str("Trading 212 timed out (HTTP 408)");
        failed(c, Failure::broker_unavailable, login, what, why.get());
    }
    case 429:
        rate_limited(c, login, what, response.get(), outcome);
    default: {
        Ref why = brokerage::message("Trading 212 answered HTTP %ld", status);
        failed(c, Failure::broker_unavailable, login, what, why.get());
    }
    }
}

Ref decoded(const Call& c, PyObject* body, const Endpoint& endpoint, bool login, bool object) {
    Ref json = c.global("json");
    Ref loads = getattr(json.get(), "loads");
    Ref data = Ref::steal(PyObject_CallOneArg(loads.get(), body));
    if (!data) {
        // json's errors quote the answer, which is Trading 212's, not the
        // caller's; they are dropped all the same, as the answer is not
        // what a caller can act on.
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw PyError{};
        PyErr_Clear();
        not_understood(c, login, endpoint.what);
    }
    if (object ? !PyDict_CheckExact(data.get()) : !PyList_CheckExact(data.get())) {
        not_understood(c, login, endpoint.what);
    }
    return data;
}

Ref session_of(const Call& c, PyObject* self, const char* what) {
    Ref session = getattr(self, "_session");
    if (session.get() == Py_None) {
        Ref why = str("not logged in");
        failed(c, Failure::session_expired, false, what, why.get());
    }
    return session;
}

namespace {

// The longest wait a read sits out by itself: the portfolio's limit is one
// request a second, so reading the holdings and then the positions would
// otherwise fail for a window that ends a moment later.
constexpr double longest_wait = 2.0;

// After a failed fetch: the seconds to wait when the error is a RateLimited
// whose window ends within longest_wait (the error dropped); otherwise the
// error stays pending and -1 is returned.
double short_wait(const Call& c) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    double wait = -1;
    // Nothing here may lose `error`: a lookup that fails only means no wait.
    PyObject* rate_limited = PyDict_GetItemString(c.fn->globals, "RateLimited");
    if (rate_limited != nullptr && PyObject_IsInstance(error.get(), rate_limited) == 1) {
        Ref retry_after = Ref::steal(PyObject_GetAttrString(error.get(), "retry_after"));
        if (retry_after && PyFloat_Check(retry_after.get()) && PyFloat_AS_DOUBLE(retry_after.get()) <= longest_wait) {
            wait = PyFloat_AS_DOUBLE(retry_after.get());
        }
    }
    PyErr_Clear();
    if (wait < 0) PyErr_SetRaisedException(error.release());
    return wait;
}

}  // namespace

Ref read(const Call& c, PyObject* self, const Endpoint& endpoint) {
    Ref session = session_of(c, self, endpoint.what);
    Ref base_url = getattr(self, "_base_url");
    Ref body;
    try {
        body = fetch(c, session.get(), base_url.get(), endpoint, false);
    } catch (const PyError&) {
        const double wait = short_wait(c);
        if (wait < 0) throw;
        // time.sleep, as looked up now: Ctrl-C ends the wait at once.
        Ref time = c.global("time");
        Ref seconds = check(PyFloat_FromDouble(wait));
        call_method(time.get(), "sleep", {seconds.get()});
        body = fetch(c, session.get(), base_url.get(), endpoint, false);
    }
    return decoded(c, body.get(), endpoint, false);
}

}  // namespace morbex::trading212
