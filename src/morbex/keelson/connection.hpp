// DEGIRO's side of the wire: logging in (login.cpp) and reading once logged
// in (requests.cpp), every request bounded and its outcome kept.
#pragma once
#include <Python.h>
#include <initializer_list>
#include "function.hpp"
#include "http.hpp"
#include "ops.hpp"

namespace morbex::keelson {

using brokerage::Outcome;

// The body of _bounded_send: the shared one, and a 405 (DEGIRO's
// maintenance) made a failure of the send.
Ref bounded_send(const Call& c);
// Every request the API object's sessions send, on any thread, through
// _bounded_session with `timeout`.
void bound_requests(const Call& c, PyObject* trading_api, PyObject* timeout);
// What became of the last request the calling thread sent through an API object.
Outcome last_outcome(PyObject* trading_api);

// trading_api.method(**kwargs) for a connector call that answers None on any
// failure: a typed error instead, saying what could not be read.
Ref read_from(const Call& c, PyObject* trading_api, const char* method, std::initializer_list<Kw> kwargs,
              const char* what);

// The body of _create_and_connect_api, and what
// authenticate_with_username_password does once connected.
Ref create_and_connect_api(const Call& c);
void learn_account_number(const Call& c, PyObject* self, PyObject* trading_api);

}  // namespace morbex::keelson
