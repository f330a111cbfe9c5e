// What morbex.ibkr keeps per module and per login, and how its parts meet:
// the login and its keywords (login.cpp), the Flex Web Service's two requests
// and their pacing (flex.cpp), the reading of an answer (reader.cpp) and of a
// statement's records (statement.cpp).
#pragma once
#include <Python.h>
#include <string>
#include <vector>
#include "function.hpp"
#include "json_text.hpp"
#include "module.hpp"
#include "ops.hpp"
#include "records.hpp"

struct PyExpat_CAPI;

namespace morbex::ibkr {

struct IbkrState : ModuleState {
    brokerage::RecordKeys keys;
    brokerage::JsonModule json;
    // pyexpat's table of expat functions, and the capsule that owns it (the
    // table lives as long as the capsule does); loaded at the first read.
    PyObject* expat_capsule = nullptr;
    const PyExpat_CAPI* expat = nullptr;

    template <class F>
    void visit(F&& f) {
        ModuleState::visit(f);
        keys.visit(f);
        json.visit(f);
        f(expat_capsule);
    }
};

inline IbkrState& state(const Call& c) { return state_of<IbkrState>(c); }

// The two halves of a broker's life a failure is told in.
enum class Phase { login, read };

// What one login holds, kept in a capsule on the broker (`self._session`):
// nothing of it, the token least of all, is reachable from Python code.
struct Session {
    Ref token;              // str
    Ref query_id;           // str of digits
    Ref timeout;            // seconds for every request, as given
    Ref statement_timeout;  // seconds to wait for a statement, as given
    Ref http;               // a bounded requests.Session
    std::string base;       // base_url without its trailing '/'; empty: IB's own hosts
    Ref reference_code;     // what SendRequest answered: the statement to fetch
    Ref statement_url;      // where to fetch it, with base_url's scheme and host
    std::vector<double> sent;  // time.monotonic() of the last requests with the token, oldest first

    // The statement, once read: the holdings text and the records.
    Ref holdings_text, positions, cash;
    bool open_positions = false, cash_report = false;  // the query has these sections
};

// self._session as the login left it; SessionExpired when there is none.
Session& session_of(const Call& c, PyObject* self, Ref& capsule);

// The body of authenticate_with_token: the keywords read and checked, then
// SendRequest. The new session replaces any earlier one.
void log_in(const Call& c, PyObject* self);
// The body of logout_with_token: the session forgotten, nothing sent (a
// token stays valid until it expires).
void log_out(const Call& c, PyObject* self);
// The first login's request (flex.cpp): SendRequest, its reference code and
// the statement's address kept.
void send_request(const Call& c, Session& s);
// The sections of a Flex query a read needs.
enum class Section { open_positions, cash_report };
// The statement of the session, fetched (GetStatement until it is made) and
// read at the first call, kept after that; BrokerUnavailable when the query
// lacks the section `wanted`.
void read_statement(const Call& c, Session& s, Section wanted);
// The holdings text of a statement's XML bytes (the body of _holdings_of_statement).
Ref holdings_of_statement(const Call& c, PyObject* data);

// A filter for urllib3's request log: the token and the query id out of any
// Flex Web Service address a record carries (the body of _redact_flex_query).
Ref redact_flex_query(const Call& c);

// Fresh copies of kept records, for a caller to do with as it likes.
Ref copies(PyObject* records);

}  // namespace morbex::ibkr
