// The specs every broker module shares: its class's operations, and the
// bounded HTTP functions it binds at module level.
#pragma once
#include "function.hpp"

namespace morbex::brokerage {

// def name(self, **kwargs) -> returns (no annotation when null)
constexpr FunctionSpec keyword_method(const char* name, Body body, const char* returns = nullptr) {
    FunctionSpec spec{.name = name, .params = {"self"}, .varkw = true, .body = body};
    if (returns != nullptr) spec.annotations = {{{"return", returns}}};
    return spec;
}

// def name(self) -> returns (no annotation when null)
constexpr FunctionSpec query_method(const char* name, Body body, const char* returns = nullptr) {
    FunctionSpec spec{.name = name, .params = {"self"}, .body = body};
    if (returns != nullptr) spec.annotations = {{{"return", returns}}};
    return spec;
}

// def _bounded_session(build_session, timeout, **kwargs)
constexpr FunctionSpec bounded_session_spec(Body body) {
    return {.name = "_bounded_session", .params = {"build_session", "timeout"}, .varkw = true, .body = body};
}

// def _bounded_send(send, bound, request, **kwargs): the bound is not named
// timeout, as Session.request hands send() a timeout= of its own (None
// unless given), which the partial's call would otherwise bind twice.
constexpr FunctionSpec bounded_send_spec(Body body) {
    return {.name = "_bounded_send", .params = {"send", "bound", "request"}, .varkw = true, .body = body};
}

}  // namespace morbex::brokerage
