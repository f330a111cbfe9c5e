// The Flex Web Service (version 3): SendRequest at login, then GetStatement
// until the statement is made, within IB's limits; every answer read as it
// streams in, and every failure raised as its type.
//
//     SEND_REQUEST = "https://ndcdyn.interactivebrokers.com/AccountManagement/FlexWebService/SendRequest"
//
//     <send_request>(session):
//         answer = <GET SEND_REQUEST ?t=token&q=query_id&v=3, again while IB says "try again shortly">
//         session.reference_code = answer.ReferenceCode
//         session.statement_url = answer.Url     # with base_url's scheme and host in place of IB's
//
//     <read_statement>(session):
//         answer = <GET statement_url ?t=token&q=reference_code&v=3, again while IB says
//                   "Statement generation in progress", for at most statement_timeout seconds>
//         session.holdings_text, session.positions, session.cash = <its records>
//
// IB takes one request a second and ten a minute per token (1018 past
// that): the polls start a second apart and grow by half each time up to
// ten seconds, never more than ten in a minute, and time.sleep (looked up at
// the call) waits between them, so Ctrl-C ends a wait at once.
#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include "errors.hpp"
#include "handler.hpp"
#include "http.hpp"
#include "reader.hpp"

namespace morbex::ibkr {

using brokerage::Failure;
using brokerage::Outcome;

namespace {

constexpr const char* login_prefix = "Failed to authenticate with Interactive Brokers: ";
constexpr const char* read_prefix = "Could not read the statement from Interactive Brokers: ";
constexpr const char* send_request_url =
    "https://ndcdyn.interactivebrokers.com/AccountManagement/FlexWebService/SendRequest";
constexpr const char* send_request_path = "/AccountManagement/FlexWebService/SendRequest";
constexpr const char* get_statement_url =
    "https://gdcdyn.interactivebrokers.com/AccountManagement/FlexWebService/GetStatement";
constexpr const char* get_statement_path = "/AccountManagement/FlexWebService/GetStatement";
constexpr const char* portal_token =
    "in the client portal (Performance & Reports > Flex Queries > Flex Web Service Configuration)";

constexpr long piece_size = 65536;  // what iter_content hands over at a time
// IB's limits per token, with a margin for the time a request takes to arrive.
constexpr double spacing = 1.1;        // one a second
constexpr std::size_t per_window = 10;  // ten ...
constexpr double window = 61.0;         // ... a minute
constexpr double first_pause = 1.0, growth = 1.5, longest_pause = 10.0;
constexpr std::size_t quoted_cap = 200;  // the most of IB's own text a message quotes

// IB's codes for "Please try again shortly" (1018 aside: that is its limit).
bool try_again(long code) {
    switch (code) {
    case 1001: case 1004: case 1005: case 1006: case 1007: case 1008: case 1009: case 1019: case 1021:
        return true;
    }
    return false;
}

double as_double(PyObject* number) {
    const double v = PyFloat_AsDouble(number);
    if (v == -1.0 && PyErr_Occurred()) throw PyError{};
    return v;
}

double monotonic(const Call& c) {
    Ref time = c.global("time");
    return as_double(call_method(time.get(), "monotonic").get());
}

void sleep(const Call& c, double seconds) {
    Ref time = c.global("time");
    Ref pause = check(PyFloat_FromDouble(seconds));
    call_method(time.get(), "sleep", {pause.get()});
}

// raise <kind>(prefix + why) with nothing chained: what a failure quotes
// never includes the token or the query id, even where a server echoed them.
[[noreturn]] void fail(const Call& c, const Session* s, Phase phase, Failure kind, Ref why,
                       PyObject* retry_after = nullptr) {
    const char* prefix = kind == Failure::login_refused || phase == Phase::login ? login_prefix : read_prefix;
    Ref message = check(PyUnicode_Concat(str(prefix).get(), why.get()));
    if (s != nullptr) {
        Ref hidden = str("<redacted>");
        for (PyObject* secret : {s->token.get(), s->query_id.get()}) {
            message = check(PyUnicode_Replace(message.get(), secret, hidden.get(), -1));
        }
    }
    brokerage::raise_failure_alone(c, kind, message.get(), retry_after);
}

// Text from IB's answer, for a message: cut short, undecodable bytes replaced.
Ref quoted(const std::string& text) {
    const std::size_t size = std::min(text.size(), quoted_cap);
    return check(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(size), "replace"));
}

[[noreturn]] void no_answer(const Call& c, const Session& s, Phase phase, const Outcome& outcome) {
    if (outcome.kind == Outcome::timed_out) {
        fail(c, &s, phase, Failure::broker_unavailable,
             brokerage::message("IB did not answer within %S s", outcome.timeout.get()));
    }
    if (outcome.kind == Outcome::unreachable) {
        fail(c, &s, phase, Failure::broker_unavailable,
             brokerage::message("could not reach IB (%S)", outcome.what.get()));
    }
    fail(c, &s, phase, Failure::broker_unavailable, str("IB did not answer"));
}

// An answer refused as it was read.
[[noreturn]] void unreadable(const Call& c, const Session* s, Phase phase, const Reader& reader, long long cap) {
    const std::string& detail = reader.detail();
    Ref why;
    switch (reader.problem()) {
    case Problem::csv:
    case Problem::text:
        why = brokerage::message(
            "the Flex query delivers %s, not XML; set its format to XML in the client portal (Performance & "
            "Reports > Flex Queries: edit the query, Delivery Configuration, Format)",
            reader.problem() == Problem::csv ? "CSV" : "text");
        break;
    case Problem::html:
        why = str("IB answered with an HTML page, not a Flex Web Service answer");
        break;
    case Problem::doctype:
        why = str("IB's answer declares a document type, which a Flex statement never does; refused unread (its "
                  "entities could expand without bound)");
        break;
    case Problem::too_large:
        why = brokerage::message("IB's answer is larger than %lld bytes (MAX_STATEMENT_BYTES); refused", cap);
        break;
    case Problem::malformed:
        why = brokerage::message("IB's answer is not well-formed XML (%U)", quoted(detail).get());
        break;
    case Problem::dates:
        why = brokerage::message("the statement's dates are in a format morbex does not read (\"%U\"); set the "
                                 "query's Date Format to yyyyMMdd in the client portal",
                                 quoted(detail).get());
        break;
    case Problem::quantity:
        why = brokerage::message("the statement has an open position whose quantity is not a number (\"%U\")",
                                 quoted(detail).get());
        break;
    case Problem::not_flex:
        why = detail.empty() ? str("IB's answer is neither a statement nor a Flex Web Service answer")
                             : brokerage::message("IB's answer is not a Flex statement (%U)", quoted(detail).get());
        break;
    case Problem::not_xml:
    case Problem::none:
        why = str("IB's answer is not XML");
        break;
    }
    fail(c, s, phase, Failure::broker_unavailable, why);
}

// IB's error code in an answer; 0 when it has none that is a number.
long error_code(const Response& r) {
    if (r.error_code.empty()) return 0;
    char* end = nullptr;
    const long code = std::strtol(r.error_code.c_str(), &end, 10);
    return *end == '\0' ? code : 0;
}

// A FlexStatementResponse that is not what the request was for: IB's
// error code told as the failure it is.
[[noreturn]] void refused_by_ib(const Call& c, const Session* s, Phase phase, const Response& r,
                                PyObject* waited = nullptr) {
    const long code = error_code(r);
    if (code == 0) {
        fail(c, s, phase, Failure::broker_unavailable,
             brokerage::message("IB's answer was not understood (status \"%U\", no error code)",
                                quoted(r.status).get()));
    }
    Ref text = quoted(r.error_message);
    switch (code) {
    case 1012:
        fail(c, s, phase, Failure::login_refused,
             brokerage::message("the Flex Web Service token has expired (IB error 1012: %U); generate a new one %s",
                                text.get(), portal_token));
    case 1015:
        fail(c, s, phase, Failure::login_refused,
             brokerage::message("IB does not accept this Flex Web Service token (IB error 1015: %U); check it, or "
                                "generate a new one %s",
                                text.get(), portal_token));
    case 1014:
        fail(c, s, phase, Failure::login_refused,
             brokerage::message("IB does not know this Flex query (IB error 1014: %U); check the query id in the "
                                "client portal (Performance & Reports > Flex Queries)",
                                text.get()));
    case 1010: case 1011: case 1013: case 1016:
        fail(c, s, phase, Failure::login_refused,
             brokerage::message("IB refused the request (IB error %ld: %U)", code, text.get()));
    case 1018:
        fail(c, s, phase, Failure::rate_limited,
             brokerage::message("IB takes one request a second and ten a minute with a token (IB error 1018: %U); "
                                "wait a minute before trying again",
                                text.get()));
    case 1017:
        fail(c, s, phase, Failure::session_expired,
             brokerage::message("IB no longer knows the statement's reference code (IB error 1017: %U); log in "
                                "again",
                                text.get()));
    }
    if (try_again(code) && waited != nullptr) {
        fail(c, s, phase, Failure::broker_unavailable,
             brokerage::message("IB had not made the statement within %S s (IB error %ld: %U); try again later, "
                                "or give a longer statement_timeout",
                                waited, code, text.get()));
    }
    fail(c, s, phase, Failure::broker_unavailable, brokerage::message("IB error %ld: %U", code, text.get()));
}

// response.close() however the reading ends: the connection is given back,
// and what is left of a refused answer is not read.
class Closing {
public:
    explicit Closing(PyObject* response) : response_(response) {}
    ~Closing() {
        PyObject* pending = PyErr_GetRaisedException();
        if (!Ref::steal(PyObject_CallMethod(response_, "close", nullptr))) PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    Closing(const Closing&) = delete;
    Closing& operator=(const Closing&) = delete;

private:
    PyObject* response_;  // borrowed: the caller holds it
};

IbkrState& parsing_state(const Call& c) {
    IbkrState& st = state(c);
    if (st.expat == nullptr) {
        Ref capsule;
        st.expat = load_expat(capsule);
        st.expat_capsule = capsule.release();
    }
    return st;
}

long long size_cap(const Call& c) {
    Ref cap = c.global("MAX_STATEMENT_BYTES");
    const long long v = PyLong_AsLongLong(cap.get());
    if (v == -1 && PyErr_Occurred()) throw PyError{};
    return v;
}

// One GET with the token, its answer read as it streams in.
std::unique_ptr<Reader> get(const Call& c, Session& s, PyObject* url, PyObject* q, Phase phase, bool positions) {
    Ref params = check(PyDict_New());
    check(PyDict_SetItemString(params.get(), "t", s.token.get()));
    check(PyDict_SetItemString(params.get(), "q", q));
    check(PyDict_SetItemString(params.get(), "v", str("3").get()));
    Outcome outcome;
    Ref response = brokerage::request(s.http.get(), "GET", url, {{"params", params.get()}, {"stream", Py_True}},
                                      outcome);
    if (!response) no_answer(c, s, phase, outcome);
    Closing closing(response.get());
    Ref status_code = getattr(response.get(), "status_code");
    const long status = PyLong_AsLong(status_code.get());
    if (status == -1 && PyErr_Occurred()) throw PyError{};
    if (status == 429) {
        fail(c, &s, phase, Failure::rate_limited,
             str("IB is limiting requests (HTTP 429 Too Many Requests); wait a minute before trying again"),
             brokerage::last_outcome(s.http.get()).retry_after.get());
    }
    if (status >= 400) {
        fail(c, &s, phase, Failure::broker_unavailable,
             status >= 500 ? brokerage::message("IB answered HTTP %ld; try again later", status)
                           : brokerage::message("IB answered HTTP %ld", status));
    }

    const long long cap = size_cap(c);
    auto reader = std::make_unique<Reader>(parsing_state(c), cap, positions);
    Ref chunk_size = check(PyLong_FromLong(piece_size));
    Ref pieces = call_method(response.get(), "iter_content", {}, {{"chunk_size", chunk_size.get()}});
    Ref iterator = check(PyObject_GetIter(pieces.get()));
    bool going = true;
    while (going) {
        Ref piece = Ref::steal(PyIter_Next(iterator.get()));
        if (!piece) {
            if (!PyErr_Occurred()) break;
            Handler caught;
            if (!caught.matches(PyExc_Exception)) caught.reraise();  // Ctrl-C, and the like
            if (brokerage::timed_out(caught.exception())) {
                fail(c, &s, phase, Failure::broker_unavailable,
                     brokerage::message("IB did not go on answering within %S s", s.timeout.get()));
            }
            Ref type_name = check(PyType_GetName(Py_TYPE(caught.exception())));
            fail(c, &s, phase, Failure::broker_unavailable,
                 brokerage::message("the connection to IB failed while reading (%U)", type_name.get()));
        }
        char* data = nullptr;
        Py_ssize_t size = 0;
        check(PyBytes_AsStringAndSize(piece.get(), &data, &size));
        going = reader->feed(data, static_cast<std::size_t>(size));
    }
    if (going) reader->finish();
    if (reader->problem() != Problem::none) unreadable(c, &s, phase, *reader, cap);
    return reader;
}

// The earliest time IB's limits let the token be used again.
double earliest(const Session& s) {
    double at = 0;
    if (!s.sent.empty()) at = s.sent.back() + spacing;
    if (s.sent.size() >= per_window) at = std::max(at, s.sent[s.sent.size() - per_window] + window);
    return at;
}

// GET until IB stops saying "try again shortly", for at most
// statement_timeout seconds: the answer that ends it.
std::unique_ptr<Reader> until_answered(const Call& c, Session& s, PyObject* url, PyObject* q, Phase phase,
                                       bool positions) {
    const double deadline = monotonic(c) + as_double(s.statement_timeout.get());
    double pause = first_pause;
    for (;;) {
        if (const double wait = earliest(s) - monotonic(c); wait > 0) sleep(c, wait);
        s.sent.push_back(monotonic(c));
        if (s.sent.size() > per_window) s.sent.erase(s.sent.begin());
        auto reader = get(c, s, url, q, phase, positions);
        if (reader->kind() != Reader::Kind::response) return reader;
        const Response& r = reader->response();
        if (!try_again(error_code(r))) return reader;
        const double next = std::max(monotonic(c) + pause, earliest(s));
        if (next > deadline) refused_by_ib(c, &s, phase, r, s.statement_timeout.get());
        if (const double wait = next - monotonic(c); wait > 0) sleep(c, wait);
        pause = std::min(pause * growth, longest_pause);
    }
}

// IB's address `url`, or `path` under base_url.
Ref address(const Session& s, const char* url, const char* path) {
    return str(s.base.empty() ? url : (s.base + path).c_str());
}

// The statement's address the answer names: with base_url, its path under
// base_url; else the address itself, on IB's own hosts only (the token goes
// wherever it points).
Ref statement_address(const Call& c, const Session& s, std::string url) {
    if (url.empty()) return address(s, get_statement_url, get_statement_path);
    const std::size_t scheme = url.starts_with("https://") ? 8 : url.starts_with("http://") ? 7 : 0;
    const std::size_t slash = url.find('/', scheme);
    std::string host = url.substr(scheme, slash == std::string::npos ? std::string::npos : slash - scheme);
    const std::string path = slash == std::string::npos ? get_statement_path : url.substr(slash);
    if (!s.base.empty()) return str((s.base + path).c_str());
    for (char& ch : host) ch = ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch;
    host = host.substr(0, host.find(':'));
    constexpr std::string_view ib = "interactivebrokers.com";
    const bool ours = host == ib || (host.ends_with(ib) && host[host.size() - ib.size() - 1] == '.');
    if (scheme != 8 || !ours || host.find('@') != std::string::npos) {
        fail(c, &s, Phase::login, Failure::broker_unavailable,
             str("IB's answer names a statement address that is not IB's own (https, interactivebrokers.com); "
                 "not followed"));
    }
    return str(url.c_str());
}

}  // namespace

void send_request(const Call& c, Session& s) {
    Ref url = address(s, send_request_url, send_request_path);
    auto reader = until_answered(c, s, url.get(), s.query_id.get(), Phase::login, false);
    if (reader->kind() != Reader::Kind::response) {
        fail(c, &s, Phase::login, Failure::broker_unavailable,
             str("IB answered SendRequest with a statement, not a reference code"));
    }
    const Response& r = reader->response();
    if (r.status != "Success" || r.reference_code.empty()) refused_by_ib(c, &s, Phase::login, r);
    s.reference_code = quoted(r.reference_code);
    s.statement_url = statement_address(c, s, r.url);
}

void read_statement(const Call& c, Session& s, Section wanted) {
    if (!s.holdings_text) {
        auto reader = until_answered(c, s, s.statement_url.get(), s.reference_code.get(), Phase::read, true);
        if (reader->kind() != Reader::Kind::statement) refused_by_ib(c, &s, Phase::read, reader->response());
        Statement& statement = reader->statement();
        Ref json = c.global("json");
        s.holdings_text = brokerage::records_text(json.get(), state(c).json, statement.holdings.get());
        s.positions = statement.positions;
        s.cash = statement.cash;
        s.open_positions = statement.open_positions;
        s.cash_report = statement.cash_report;
    }
    // A query without the section would read as an account without positions, or without cash.
    const bool positions = wanted == Section::open_positions;
    if (!(positions ? s.open_positions : s.cash_report)) {
        fail(c, &s, Phase::read, Failure::broker_unavailable,
             brokerage::message("the Flex query has no %s section; add it to the query in the client portal "
                                "(Performance & Reports > Flex Queries)",
                                positions ? "Open Positions" : "Cash Report"));
    }
}

Ref holdings_of_statement(const Call& c, PyObject* data) {
    Py_buffer view;
    check(PyObject_GetBuffer(data, &view, PyBUF_SIMPLE));
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const long long cap = size_cap(c);
    Reader reader(parsing_state(c), cap, false);
    if (reader.feed(static_cast<const char*>(view.buf), static_cast<std::size_t>(view.len))) reader.finish();
    if (reader.problem() != Problem::none) unreadable(c, nullptr, Phase::read, reader, cap);
    if (reader.kind() != Reader::Kind::statement) refused_by_ib(c, nullptr, Phase::read, reader.response());
    Ref json = c.global("json");
    return brokerage::records_text(json.get(), state(c).json, reader.statement().holdings.get());
}

}  // namespace morbex::ibkr
