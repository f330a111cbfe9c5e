// Logging in to Trading 212: the key pair, the server, the cache's folder,
// and one authenticated call that checks the pair.
//
//     def authenticate_with_token(self, **kwargs):
//         api_key, api_secret = <str, printable ASCII>    # refused by name, never by value
//         demo = kwargs.get("demo", False)                 # a bool
//         timeout = kwargs.get("timeout", 30)              # seconds, for every request
//         base_url = kwargs.get("base_url") or ("https://demo.trading212.com" if demo
//                                               else "https://live.trading212.com")
//         cache = <cache_dir (or the user's cache folder)/live|demo[@host]>, or None for cache_dir=False
//         session = _bounded_session(requests.Session, timeout)
//         session.auth = requests.auth.HTTPBasicAuth(api_key, api_secret)
//         session.headers["Accept"] = "application/json"
//         summary = <GET /api/v0/equity/account/summary: the key pair checked, or a typed error>
//         self._session, self._summary, ... = session, summary, ...
//
// The pair lives in the session's auth alone: the broker's attributes show a
// session, whose repr shows nothing of it.
#include <string>
#include "keywords.hpp"
#include "handler.hpp"
#include "http.hpp"
#include "state.hpp"
#include "values.hpp"

namespace morbex::trading212 {
namespace {

using brokerage::keyword;
using brokerage::refuse;

// A key or secret goes into an HTTP header: a character there that is not
// printable ASCII would be refused by the encoder or by http.client, and
// both quote the value they refuse.
Ref credential(const Call& c, const char* name) {
    const std::string missing = std::string("'") + name + "' must be provided.";
    Ref value = brokerage::text_credential(c, c.kwargs, name, missing.c_str());
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value.get());
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(value.get(), i);
        if (ch < 0x20 || ch > 0x7e) refuse(c, "ValueError", "'%s' must be printable ASCII text", name);
    }
    return value;
}

// demo: a bool (None or absent: False).
bool demo_flag(const Call& c) {
    Ref value = keyword(c.kwargs, "demo");
    if (value.get() == Py_None) return false;
    if (!PyBool_Check(value.get())) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value.get())));
        refuse(c, "TypeError", "'demo' must be bool, not %U", type_name.get());
    }
    return value.get() == Py_True;
}

// The server's scheme and host, and what names it in the cache: base_url
// (http or https, a host, perhaps a path; no query) with no trailing slash,
// else Trading 212's own for the environment.
struct Server {
    Ref base_url;
    std::string cache_name;  // live or demo, then "@<host>" for a base_url
};

Server server(const Call& c, bool demo) {
    Server s;
    s.cache_name = demo ? "demo" : "live";
    Ref value = keyword(c.kwargs, "base_url");
    if (value.get() == Py_None) {
        s.base_url = str(demo ? "https://demo.trading212.com" : "https://live.trading212.com");
        return s;
    }
    if (!PyUnicode_Check(value.get())) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value.get())));
        refuse(c, "TypeError", "'base_url' must be str, not %U", type_name.get());
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        refuse(c, "ValueError", "'base_url' must be an http:// or https:// URL");
    }
    std::string url(utf8, static_cast<std::size_t>(size));
    const std::size_t scheme = url.rfind("https://", 0) == 0 ? 8 : url.rfind("http://", 0) == 0 ? 7 : 0;
    const std::size_t host_end = url.find('/', scheme);
    const std::string host = url.substr(scheme, host_end == std::string::npos ? std::string::npos : host_end - scheme);
    if (scheme == 0 || host.empty() || url.find_first_of("?# \t\r\n") != std::string::npos) {
        refuse(c, "ValueError", "'base_url' must be an http:// or https:// URL");
    }
    while (url.size() > scheme + host.size() && url.back() == '/') url.pop_back();
    s.base_url = check(PyUnicode_FromStringAndSize(url.data(), static_cast<Py_ssize_t>(url.size())));
    // A folder name from the host (a port or an IPv6 address included); any
    // user information before an '@' stays out of it.
    s.cache_name += '@';
    for (char ch : host.substr(host.rfind('@') == std::string::npos ? 0 : host.rfind('@') + 1)) {
        const bool kept = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') ||
                          ch == '.' || ch == '-';
        s.cache_name += kept ? ch : '_';
    }
    return s;
}

// XDG_CACHE_HOME when it is an absolute path (the XDG base directory rules
// ignore any other), else ~/.cache; then morbex/trading212.
Ref default_cache_root(const Call& c) {
    Ref os = c.global("os");
    Ref environ = getattr(os.get(), "environ");
    Ref path = getattr(os.get(), "path");
    Ref variable = str("XDG_CACHE_HOME");
    Ref home = call_method(environ.get(), "get", {variable.get()});
    if (!PyUnicode_Check(home.get()) || !truth(call_method(path.get(), "isabs", {home.get()}).get())) {
        Ref user_cache = str("~/.cache");
        home = call_method(path.get(), "expanduser", {user_cache.get()});
    }
    Ref morbex = str("morbex"), trading212 = str("trading212");
    return call_method(path.get(), "join", {home.get(), morbex.get(), trading212.get()});
}

// The folder this server's lists are cached in; None for cache_dir=False.
Ref cache_folder(const Call& c, const Server& s) {
    Ref value = keyword(c.kwargs, "cache_dir");
    if (value.get() == Py_False) return none();
    Ref root;
    if (value.get() == Py_None) {
        root = default_cache_root(c);
    } else {
        root = Ref::steal(PyBool_Check(value.get()) ? nullptr : PyOS_FSPath(value.get()));
        if (!root || !PyUnicode_Check(root.get())) {
            if (!root && !PyErr_ExceptionMatches(PyExc_TypeError)) throw PyError{};
            PyErr_Clear();
            Ref type_name = check(PyType_GetName(Py_TYPE(value.get())));
            refuse(c, "TypeError", "'cache_dir' must be a path (str or os.PathLike) or False, not %U",
                   type_name.get());
        }
        if (PyUnicode_GET_LENGTH(root.get()) == 0) refuse(c, "ValueError", "'cache_dir' must not be empty");
    }
    Ref os = c.global("os");
    Ref path = getattr(os.get(), "path");
    Ref name = check(PyUnicode_FromStringAndSize(s.cache_name.data(), static_cast<Py_ssize_t>(s.cache_name.size())));
    return call_method(path.get(), "join", {root.get(), name.get()});
}

void close_quietly(PyObject* session) {
    try {
        call_method(session, "close");
    } catch (const PyError&) {
        PyErr_Clear();
    }
}

}  // namespace

Ref log_in(const Call& c) {
    PyObject* self = c[0];
    Ref api_key = credential(c, "api_key");
    Ref api_secret = credential(c, "api_secret");
    const bool demo = demo_flag(c);
    Ref timeout = brokerage::seconds(c, c.kwargs, "timeout", 30, false);
    const Server s = server(c, demo);
    Ref cache = cache_folder(c, s);

    Ref session = brokerage::new_bounded_session(c, timeout.get());
    Ref auth_module = check(PyImport_ImportModule("requests.auth"));
    Ref basic_auth = getattr(auth_module.get(), "HTTPBasicAuth");
    Ref auth = call(basic_auth.get(), {api_key.get(), api_secret.get()});
    setattr(session.get(), "auth", auth.get());
    Ref headers = getattr(session.get(), "headers");
    Ref accept = str("Accept"), json_type = str("application/json");
    check(PyObject_SetItem(headers.get(), accept.get(), json_type.get()));

    Ref summary;
    try {
        Ref body = fetch(c, session.get(), s.base_url.get(), account_summary, true);
        summary = decoded(c, body.get(), account_summary, true, true);
    } catch (const PyError&) {
        // Not logged in: the new session goes, and an earlier one stays.
        Handler caught;
        close_quietly(session.get());
        caught.reraise();
    }
    Ref as_of = brokerage::utc_now();

    Ref earlier = getattr(self, "_session");
    if (earlier.get() != Py_None) close_quietly(earlier.get());
    setattr(self, "_base_url", s.base_url.get());
    setattr(self, "_cache", cache.get());
    setattr(self, "_instruments", Py_None);
    setattr(self, "_exchanges", Py_None);
    setattr(self, "_summary", summary.get());
    setattr(self, "_summary_as_of", as_of.get());
    setattr(self, "_session", session.get());
    return none();
}

}  // namespace morbex::trading212
