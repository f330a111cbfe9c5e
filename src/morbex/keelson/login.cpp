// Logging in to DEGIRO: the credentials, two-factor authentication, approval
// in the DEGIRO app, and a failed login told for what it was.
//
//     def _create_and_connect_api(self, username, password, **kwargs):
//         <username and password: str, or bytes of UTF-8 text>
//         <totp_secret_key, one_time_password, timeout, in_app_timeout read and checked>
//         credentials = Credentials(username=username, password=password, int_account=self.int_account)
//             # with totp_secret_key=secret when one was given
//         if code is not None:
//             credentials.one_time_password = code      # the text: a leading zero must reach DEGIRO
//         trading_api = DegiroAPI(credentials)
//         <every request of trading_api bounded by timeout>
//         try:
//             trading_api.connect()
//         except ConnectionError as e:
//             if <DEGIRO asks for approval in the app>:
//                 <wait for it: see wait_for_approval>
//             else:
//                 raise <LoginRefused, RateLimited or BrokerUnavailable>(f"Failed to authenticate with Degiro API: {<why>}")
//         return trading_api
#include <string>
#include "connection.hpp"
#include "errors.hpp"
#include "handler.hpp"
#include "keywords.hpp"
#include "plain.hpp"

namespace morbex::keelson {
namespace {

using brokerage::Failure;
using brokerage::keyword;
using brokerage::refuse;
using brokerage::seconds;

constexpr const char* prefix = "Failed to authenticate with Degiro API: ";

// A credential must reach the login as text. Whatever else is refused here,
// naming the parameter, never the value, and with no exception chained: the
// errors of a codec or of a validating model quote the value they refuse.
void check_credential(const Call& c, const char* name, PyObject* value) {
    if (!PyUnicode_Check(value) && !PyBytes_Check(value)) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value)));
        refuse(c, "TypeError", "'%s' must be str or bytes, not %U", name, type_name.get());
    }
    Ref text = Ref::steal(PyUnicode_Check(value) ? PyUnicode_AsUTF8String(value)
                                                 : PyUnicode_DecodeUTF8(PyBytes_AS_STRING(value),
                                                                        PyBytes_GET_SIZE(value), "strict"));
    if (text) return;
    if (!PyErr_ExceptionMatches(PyExc_UnicodeError)) throw PyError{};
    PyErr_Clear();
    refuse(c, "ValueError", "'%s' is not valid UTF-8 text", name);
}

// The base32 secret an authenticator app is given, as the connector's TOTP
// takes it: blanks (apps show it in groups) and padding dropped, upper case.
// Lengths that base32 cannot end on are refused, as the decoder would.
Ref totp_secret(const Call& c, PyObject* value) {
    if (!PyUnicode_Check(value)) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value)));
        refuse(c, "TypeError", "'totp_secret_key' must be str, not %U", type_name.get());
    }
    std::string secret;
    bool valid = true;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(value, i);
        if (ch == ' ' || ch == '\t' || ch == '-') continue;
        if (ch == '=' ) {
            // Padding ends the secret.
            for (Py_ssize_t j = i; j < length; ++j) valid &= PyUnicode_READ_CHAR(value, j) == '=';
            break;
        }
        const Py_UCS4 upper = (ch >= 'a' && ch <= 'z') ? ch - 'a' + 'A' : ch;
        valid &= (upper >= 'A' && upper <= 'Z') || (upper >= '2' && upper <= '7');
        secret.push_back(static_cast<char>(upper & 0x7F));
    }
    const std::size_t tail = secret.size() % 8;
    if (!valid || secret.empty() || tail == 1 || tail == 3 || tail == 6) {
        refuse(c, "ValueError", "'totp_secret_key' is not a base32 secret");
    }
    return check(PyUnicode_FromStringAndSize(secret.data(), static_cast<Py_ssize_t>(secret.size())));
}

// The six digits an authenticator app shows, as text: a code typed as an int
// has lost its leading zeros, which are put back.
Ref one_time_code(const Call& c, PyObject* value) {
    constexpr const char* malformed = "'one_time_password' must be the 6-digit code of the authenticator app";
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        int overflow = 0;
        const long long code = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (code == -1 && PyErr_Occurred()) throw PyError{};
        if (overflow != 0 || code < 0 || code > 999999) refuse(c, "ValueError", malformed);
        return check(PyUnicode_FromFormat("%06d", static_cast<int>(code)));
    }
    if (!PyUnicode_Check(value)) {
        Ref type_name = check(PyType_GetName(Py_TYPE(value)));
        refuse(c, "TypeError", "'one_time_password' must be str or int, not %U", type_name.get());
    }
    std::string code;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 ch = PyUnicode_READ_CHAR(value, i);
        if (ch == ' ') continue;  // apps show it as two groups of three
        if (ch < '0' || ch > '9' || code.size() == 6) refuse(c, "ValueError", malformed);
        code.push_back(static_cast<char>(ch));
    }
    if (code.size() != 6) refuse(c, "ValueError", malformed);
    return check(PyUnicode_FromStringAndSize(code.data(), 6));
}

// What a login takes besides the username and password.
struct Options {
    Ref secret;          // null: none given
    Ref code;            // null: none given
    Ref timeout;         // seconds, for every request
    Ref in_app_timeout;  // seconds, for an approval in the app
    bool two_factor() const { return secret || code; }
};

Options options(const Call& c, PyObject* kwargs) {
    Options o;
    Ref secret = keyword(kwargs, "totp_secret_key");
    Ref code = keyword(kwargs, "one_time_password");
    if (secret.get() != Py_None && code.get() != Py_None) {
        refuse(c, "ValueError", "Give 'totp_secret_key' or 'one_time_password', not both.");
    }
    if (secret.get() != Py_None) o.secret = totp_secret(c, secret.get());
    if (code.get() != Py_None) o.code = one_time_code(c, code.get());
    o.timeout = seconds(c, kwargs, "timeout", 30, false);
    o.in_app_timeout = seconds(c, kwargs, "in_app_timeout", 120, true);
    return o;
}

// The connector's account of a refused login (its LoginError), if any.
struct Refusal {
    long status = -1;  // DEGIRO's "status"; -1 when none was given
    bool captcha = false;
    Ref in_app_token;  // null when none
};

Refusal refusal(PyObject* error) {
    Refusal r;
    Ref details;
    Ref details_name = intern("error_details");
    if (!lookup_attr(error, details_name.get(), details) || details.get() == Py_None) return r;
    Ref status, captcha, token;
    Ref status_name = intern("status"), captcha_name = intern("captcha_required"), token_name = intern("in_app_token");
    if (lookup_attr(details.get(), status_name.get(), status) && PyLong_Check(status.get())) {
        r.status = PyLong_AsLong(status.get());
        if (r.status == -1 && PyErr_Occurred()) throw PyError{};
    }
    r.captcha = lookup_attr(details.get(), captcha_name.get(), captcha) && captcha.get() == Py_True;
    if (lookup_attr(details.get(), token_name.get(), token) && PyUnicode_Check(token.get()) &&
        PyUnicode_GET_LENGTH(token.get()) > 0) {
        r.in_app_token = token;
    }
    return r;
}

// DEGIRO asks for the login to be approved in its app (status 12).
bool approval_asked(const Refusal& r) { return r.status == 12; }

// Why the login failed: what DEGIRO said, or what became of the request;
// the connector's own text when neither tells more. A refusal is the user's
// to act on; anything else is DEGIRO not answering as it should.
struct Reason {
    Failure kind;
    Ref text;
    Ref retry_after;  // for a rate limit: what DEGIRO asked to wait, if it said
};

Reason refused_because(const char* text) { return {Failure::login_refused, str(text), Ref()}; }

Reason why(PyObject* trading_api, PyObject* error, const Options& o) {
    const Refusal r = refusal(error);
    const Outcome outcome = last_outcome(trading_api);
    auto unavailable = [](Ref text) { return Reason{Failure::broker_unavailable, std::move(text), Ref()}; };
    if (outcome.kind == Outcome::timed_out) {
        return unavailable(brokerage::message("DEGIRO did not answer within %S s", outcome.timeout.get()));
    }
    if (outcome.kind == Outcome::unreachable) {
        return unavailable(brokerage::message("could not reach DEGIRO (%S)", outcome.what.get()));
    }
    if (outcome.kind == Outcome::answered && outcome.status == 405) {
        return unavailable(str("DEGIRO is down for maintenance; try again later"));
    }
    if (r.captcha) {
        return refused_because("DEGIRO refused the login: it asks for a captcha after failed logins; log in once "
                               "in a web browser, then try again");
    }
    switch (r.status) {
    case 3:
        return refused_because(o.two_factor() ? "DEGIRO refused the login: wrong username, password or one-time code"
                                              : "DEGIRO refused the login: wrong username or password");
    case 6:
        return refused_because("DEGIRO refused the login: two-factor authentication is on for this account; give "
                               "totp_secret_key or one_time_password");
    case 7:
        return refused_because("DEGIRO refused the login: it asks for a code sent by SMS, which morbex cannot "
                               "give; switch the account to the DEGIRO app or an authenticator app");
    default:
        break;
    }
    if (outcome.kind == Outcome::answered && outcome.status == 429) {
        return {Failure::rate_limited,
                str("DEGIRO is limiting logins (HTTP 429 Too Many Requests); wait a few minutes before trying "
                    "again"),
                outcome.retry_after};
    }
    if (r.status >= 0) {
        return {Failure::login_refused, brokerage::message("DEGIRO refused the login (status %ld)", r.status), Ref()};
    }
    if (outcome.kind == Outcome::answered && outcome.status >= 400) {
        return unavailable(brokerage::message("DEGIRO answered HTTP %ld", outcome.status));
    }
    if (outcome.kind == Outcome::answered) {
        return unavailable(brokerage::message("DEGIRO's answer (HTTP %ld) was not understood", outcome.status));
    }
    return unavailable(format(error));
}

// raise <kind>(f"Failed to authenticate with Degiro API: {reason}"), inside
// the handler of the connector's error: it becomes __context__.
[[noreturn]] void failed(const Call& c, const Reason& reason) {
    Ref head = str(prefix);
    Ref message = check(PyUnicode_Concat(head.get(), reason.text.get()));
    brokerage::raise_failure(c, reason.kind, message.get(), reason.retry_after.get());
}

// trading_api.connect(): true once logged in; false, with nothing raised,
// when DEGIRO asks for approval in the app (`refused` then holds its answer).
// Any other ConnectionError is raised as a failed login.
bool connect(const Call& c, PyObject* trading_api, const Options& o, Refusal& refused) {
    try {
        call_method(trading_api, "connect");
        return true;
    } catch (const PyError&) {
        Handler caught;
        Ref connection_error = c.global("ConnectionError");
        if (!caught.matches(connection_error.get())) caught.reraise();
        refused = refusal(caught.exception());
        if (approval_asked(refused)) return false;
        failed(c, why(trading_api, caught.exception(), o));
    }
}

// DEGIRO asks the user to approve the login in its app, and answers with a
// token to log in with once they have:
//
//     logging.getLogger("morbex").warning(...)
//     deadline = time.monotonic() + in_app_timeout
//     while (remaining := deadline - time.monotonic()) > 0:
//         time.sleep(min(2, remaining))
//         trading_api.credentials.in_app_token = token
//         try:
//             trading_api.connect()
//             return
//         except ConnectionError as e:
//             <still waiting: the answer asks for approval again (with a new token, perhaps); else raise as above>
//     raise ApprovalTimeout(f"Failed to authenticate with Degiro API: the login was not approved ...")
void wait_for_approval(const Call& c, PyObject* trading_api, const Options& o, Refusal refused) {
    Ref logging = c.global("logging");
    Ref logger = call_method(logging.get(), "getLogger", {str("morbex").get()});
    call_method(logger.get(), "warning",
                {str("DEGIRO asks to approve this login in the DEGIRO app; waiting up to %s s").get(),
                 o.in_app_timeout.get()});
    Ref time = c.global("time");
    auto now = [&] {
        Ref t = call_method(time.get(), "monotonic");
        const double v = PyFloat_AsDouble(t.get());
        if (v == -1.0 && PyErr_Occurred()) throw PyError{};
        return v;
    };
    const double wait = PyFloat_AsDouble(o.in_app_timeout.get());
    if (wait == -1.0 && PyErr_Occurred()) throw PyError{};
    const double deadline = now() + wait;
    Ref token = refused.in_app_token;  // without one, there is nothing to log in with
    for (double remaining; token && (remaining = deadline - now()) > 0;) {
        Ref pause = check(PyFloat_FromDouble(remaining < 2.0 ? remaining : 2.0));
        call_method(time.get(), "sleep", {pause.get()});
        Ref credentials = getattr(trading_api, "credentials");
        setattr(credentials.get(), "in_app_token", token.get());
        if (connect(c, trading_api, o, refused)) return;
        if (refused.in_app_token) token = refused.in_app_token;
    }
    failed(c, {Failure::approval_timeout,
               brokerage::message("the login was not approved in the DEGIRO app within %S s", o.in_app_timeout.get()),
               Ref()});
}

}  // namespace

Ref create_and_connect_api(const Call& c) {
    PyObject* self = c[0];
    PyObject* username = c[1];
    PyObject* password = c[2];
    check_credential(c, "username", username);
    check_credential(c, "password", password);
    const Options o = options(c, c.kwargs);

    Ref credentials_type = c.global("Credentials");
    Ref int_account = getattr(self, "int_account");
    // The credentials model quotes a value it refuses: a password given as
    // the account number would show.
    if (int_account.get() != Py_None && !PyLong_Check(int_account.get())) {
        Ref type_name = check(PyType_GetName(Py_TYPE(int_account.get())));
        refuse(c, "TypeError", "'int_account' must be int, not %U", type_name.get());
    }
    Ref credentials = o.secret ? call(credentials_type.get(), {},
                                      {{"username", username}, {"password", password},
                                       {"int_account", int_account.get()}, {"totp_secret_key", o.secret.get()}})
                               : call(credentials_type.get(), {},
                                      {{"username", username}, {"password", password},
                                       {"int_account", int_account.get()}});
    // The connector's field is an int, which would drop a leading zero; it
    // sends str() of whatever the field holds.
    if (o.code) setattr(credentials.get(), "one_time_password", o.code.get());
    Ref api_type = c.global("DegiroAPI");
    Ref trading_api = call(api_type.get(), {credentials.get()});
    bound_requests(c, trading_api.get(), o.timeout.get());

    Refusal refused;
    if (!connect(c, trading_api.get(), o, refused)) wait_for_approval(c, trading_api.get(), o, refused);
    return trading_api;
}

void learn_account_number(const Call& c, PyObject* self, PyObject* trading_api) {
    // Every data request carries the account number, and only a logged-in
    // client can read it: read it in this session, and give it to the
    // session's credentials.
    try {
        Ref client_details = read_from(c, trading_api, "get_client_details", {}, "the client details");
        Ref data = getitem(client_details.get(), "data");
        Ref learned = getitem(data.get(), "intAccount");
        setattr(self, "int_account", learned.get());
        Ref credentials = getattr(trading_api, "credentials");
        setattr(credentials.get(), "int_account", learned.get());
    } catch (const PyError&) {
        // Not left logged in: the session is closed, and the error raised.
        Handler caught;
        try {
            call_method(trading_api, "logout");
        } catch (const PyError&) {
            PyErr_Clear();
        }
        caught.reraise();
    }
}

}  // namespace morbex::keelson
