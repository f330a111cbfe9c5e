// Logging in to the Flex Web Service: the keywords read and checked, the
// session kept out of Python's sight, and urllib3's request log kept from
// showing the token.
//
//     def authenticate_with_token(self, **kwargs):
//         token, query_id = <kwargs["token"]: str>, <kwargs["query_id"]: str of digits, or int>
//         timeout, statement_timeout = kwargs.get("timeout", 30), kwargs.get("statement_timeout", 120)
//         base_url = kwargs.get("base_url")    # "http://host:port": in place of IB's scheme and host
//         self._session = None
//         logging.getLogger("urllib3.connectionpool").addFilter(_redact_flex_query)
//         session = <a bounded requests.Session, User-Agent morbex/<version>>
//         <SendRequest, its reference code and the statement's address kept>    # flex.cpp
//         self._session = <that session, in a capsule>
//
// Every value is refused naming its keyword, never quoting it.
#include <cstring>
#include <memory>
#include <string>
#include "errors.hpp"
#include "handler.hpp"
#include "http.hpp"
#include "keywords.hpp"
#include "state.hpp"

#ifndef MORBEX_VERSION
#define MORBEX_VERSION ""
#endif

namespace morbex::ibkr {
namespace {

using brokerage::keyword;
using brokerage::refuse;

constexpr const char* capsule_name = "morbex.ibkr.Session";
constexpr const char* redacted = "<redacted>";

// The Flex Web Service token: IB's are 24 digits. Whatever is printable
// ASCII is taken (it goes into a query string as it is); the rest refused.
Ref token(const Call& c, PyObject* kwargs) {
    constexpr const char* missing =
        "'token' must be provided: the Flex Web Service token from IB's client portal";
    Ref value = brokerage::text_credential(c, kwargs, "token", missing);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(value.get(), i);
        if (ch <= ' ' || ch > '~') refuse(c, "ValueError", "'token' must be printable ASCII without blanks");
    }
    return value;
}

// The Flex query's id: digits, as text or as an int.
Ref query_id(const Call& c, PyObject* kwargs) {
    constexpr const char* digits_only = "'query_id' must be the Flex query's id: digits only";
    Ref value = keyword(kwargs, "query_id");
    if (value.get() == Py_None) {
        refuse(c, "ValueError", "'query_id' must be provided: the id of the Flex query in IB's client portal");
    }
    if (PyLong_Check(value.get()) && !PyBool_Check(value.get())) {
        Ref zero = check(PyLong_FromLong(0));
        if (check(PyObject_RichCompareBool(value.get(), zero.get(), Py_LT))) refuse(c, "ValueError", digits_only);
        return check(PyObject_Str(value.get()));
    }
    if (!PyUnicode_Check(value.get())) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value.get())));
        refuse(c, "TypeError", "'query_id' must be str or int, not %U", type_name.get());
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value.get());
    if (length == 0) refuse(c, "ValueError", digits_only);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(value.get(), i);
        if (ch < '0' || ch > '9') refuse(c, "ValueError", digits_only);
    }
    return check(PyUnicode_FromObject(value.get()));  // an exact str, whatever subclass was given
}

// base_url: "http://host[:port]" or "https://...", perhaps a path for a
// proxy, no query or fragment; kept without its trailing '/'. Empty: none.
std::string base_url(const Call& c, PyObject* kwargs) {
    constexpr const char* malformed =
        "'base_url' must be an http:// or https:// address without a query, such as http://127.0.0.1:8080";
    Ref value = keyword(kwargs, "base_url");
    if (value.get() == Py_None) return {};
    if (!PyUnicode_Check(value.get())) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value.get())));
        refuse(c, "TypeError", "'base_url' must be str, not %U", type_name.get());
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (text == nullptr) {
        PyErr_Clear();  // a lone surrogate: the codec's error would quote the value
        refuse(c, "ValueError", malformed);
    }
    std::string url(text, static_cast<std::size_t>(size));
    const std::size_t scheme = url.starts_with("http://") ? 7 : url.starts_with("https://") ? 8 : 0;
    const bool printable = url.find_first_of(" \t\r\n?#") == std::string::npos;
    if (scheme == 0 || !printable || url.size() == scheme || url[scheme] == '/') refuse(c, "ValueError", malformed);
    while (url.back() == '/') url.pop_back();
    return url;
}

void drop_session(PyObject* capsule) {
    delete static_cast<Session*>(PyCapsule_GetPointer(capsule, capsule_name));
}

}  // namespace

Session& session_of(const Call& c, PyObject* self, Ref& capsule) {
    Ref name = intern("_session");
    if (!lookup_attr(self, name.get(), capsule) || !PyCapsule_IsValid(capsule.get(), capsule_name)) {
        Ref message = str("Could not read the statement from Interactive Brokers: not logged in; log in with "
                          "AuthenticationMethods.TOKEN first");
        brokerage::raise_failure_alone(c, brokerage::Failure::session_expired, message.get());
    }
    return *static_cast<Session*>(PyCapsule_GetPointer(capsule.get(), capsule_name));
}

void log_in(const Call& c, PyObject* self) {
    auto s = std::make_unique<Session>();
    s->token = token(c, c.kwargs);
    s->query_id = query_id(c, c.kwargs);
    s->timeout = brokerage::seconds(c, c.kwargs, "timeout", 30, false);
    s->statement_timeout = brokerage::seconds(c, c.kwargs, "statement_timeout", 120, true);
    s->base = base_url(c, c.kwargs);
    setattr(self, "_session", Py_None);

    Ref logging = c.global("logging");
    Ref logger = call_method(logging.get(), "getLogger", {str("urllib3.connectionpool").get()});
    Ref filter = c.global("_redact_flex_query");
    call_method(logger.get(), "addFilter", {filter.get()});

    s->http = brokerage::new_bounded_session(c, s->timeout.get());
    Ref headers = getattr(s->http.get(), "headers");
    const std::string agent = std::strlen(MORBEX_VERSION) ? std::string("morbex/") + MORBEX_VERSION : "morbex";
    check(PyObject_SetItem(headers.get(), str("User-Agent").get(), str(agent.c_str()).get()));
    try {
        send_request(c, *s);
    } catch (const PyError&) {
        Handler caught;
        try {
            call_method(s->http.get(), "close");
        } catch (const PyError&) {
            PyErr_Clear();
        }
        caught.reraise();
    }
    Ref capsule = check(PyCapsule_New(s.get(), capsule_name, drop_session));
    s.release();  // the capsule's now
    setattr(self, "_session", capsule.get());
}

void log_out(const Call&, PyObject* self) {
    Ref capsule = getattr(self, "_session");
    setattr(self, "_session", Py_None);
    if (!PyCapsule_IsValid(capsule.get(), capsule_name)) return;
    Session& s = *static_cast<Session*>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    call_method(s.http.get(), "close");
}

Ref copies(PyObject* records) {
    const Py_ssize_t count = PyList_GET_SIZE(records);
    Ref out = check(PyList_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyList_SET_ITEM(out.get(), i, check(PyDict_Copy(PyList_GET_ITEM(records, i))).release());
    }
    return out;
}

// ---------------------------------------------------------------------------
// The request log.
//
//     def _redact_flex_query(record):
//         record.args = tuple(<arg with the values of t= and q= redacted, if it is
//                              the address of a Flex Web Service request> for arg in record.args)
//         return True
//
// urllib3 logs each request line at DEBUG, query string and all; the Flex
// Web Service takes the token and the query id nowhere else. A record that
// cannot be looked at is dropped rather than let through.

namespace {

// "…/FlexWebService/GetStatement?t=…&q=…&v=3" with t and q redacted.
bool redact_address(std::string& text) {
    const std::size_t path = text.find("/FlexWebService/");
    const std::size_t query = path == std::string::npos ? path : text.find('?', path);
    if (query == std::string::npos) return false;
    std::string out = text.substr(0, query + 1);
    std::size_t at = query + 1;
    while (at <= text.size()) {
        std::size_t end = text.find_first_of("&# ", at);
        if (end == std::string::npos) end = text.size();
        const std::string_view pair(text.data() + at, end - at);
        out += pair.starts_with("t=") || pair.starts_with("q=") ? std::string(pair.substr(0, 2)) + redacted
                                                                : std::string(pair);
        if (end == text.size()) break;
        out += text[end];
        if (text[end] != '&') {  // the query string has ended
            out.append(text, end + 1);
            break;
        }
        at = end + 1;
    }
    text = std::move(out);
    return true;
}

Ref redacted_args(PyObject* args) {
    const Py_ssize_t count = PyTuple_GET_SIZE(args);
    Ref out = check(PyTuple_New(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* arg = PyTuple_GET_ITEM(args, i);
        Ref kept = Ref::borrow(arg);
        if (PyUnicode_Check(arg)) {
            Py_ssize_t size = 0;
            const char* utf8 = PyUnicode_AsUTF8AndSize(arg, &size);
            if (utf8 == nullptr) throw PyError{};
            std::string text(utf8, static_cast<std::size_t>(size));
            if (redact_address(text)) {
                kept = check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            }
        }
        PyTuple_SET_ITEM(out.get(), i, kept.release());
    }
    return out;
}

}  // namespace

Ref redact_flex_query(const Call& c) {
    try {
        Ref args = getattr(c[0], "args");
        if (PyTuple_Check(args.get())) {
            Ref redacted_tuple = redacted_args(args.get());
            setattr(c[0], "args", redacted_tuple.get());
        }
        return Ref::borrow(Py_True);
    } catch (const PyError&) {
        PyErr_Clear();
        return Ref::borrow(Py_False);
    }
}

}  // namespace morbex::ibkr
