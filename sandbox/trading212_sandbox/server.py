"""The sandbox's HTTP server: keys, rate limits, the request handler, and Sandbox, its public face."""

import math
import time

import sandbox_http
from sandbox_http import HANG

from . import account
from .account import LEGACY_API_KEY, SCENARIOS
from .wire import (BAD_API_KEY, ENDPOINTS_BY_PATH, RATE_LIMIT_HEADERS, TIMED_OUT, Reply, RequestRecord,
                   cdn_page_reply, credentials, json_reply, limited, problem_reply, scope_missing)

__all__ = ["RequestRecord", "Sandbox"]


class RateLimiter:
    """Trading 212's limiter: per account and endpoint, ``limit`` requests per window.

    A window opens with the first request after the previous one ended and
    lasts ``period`` seconds, so a burst spends it at once.  ASSUMPTION: a
    refused request does not count as used.
    """

    def __init__(self, clock=time.time):
        self._clock = clock
        self._windows = {}  # (account, endpoint name) -> (opened at, used)

    def take(self, account_id, endpoint):
        """(allowed, rate-limit headers after this request)."""
        now = self._clock()
        opened, used = self._windows.get((account_id, endpoint.name), (None, 0))
        if opened is None or now >= opened + endpoint.period:
            opened, used = now, 0
        allowed = used < endpoint.limit
        if allowed:
            used += 1
            self._windows[(account_id, endpoint.name)] = (opened, used)
        return allowed, self.headers(endpoint, used, opened + endpoint.period)

    @staticmethod
    def headers(endpoint, used, reset_at):
        values = (endpoint.limit, endpoint.period, endpoint.limit - used, math.ceil(reset_at), used)
        return tuple((name, str(value)) for name, value in zip(RATE_LIMIT_HEADERS, values))

    def reset(self):
        self._windows.clear()


class Broker(sandbox_http.RequestLog):
    """Server state and the request -> reply logic, independent of sockets."""

    def __init__(self, filler_instruments):
        super().__init__()
        self.limiter = RateLimiter()
        self._instruments = account.instruments_body(filler_instruments)

    def handle(self, endpoint, scheme, key, secret, query):
        """The reply to one GET of ``endpoint``, or HANG."""
        holder = self._authenticate(scheme, key, secret)
        if holder is None:
            # ASSUMPTION: no rate-limit headers: no account to count against.
            return problem_reply(401, BAD_API_KEY)

        scenario = SCENARIOS[holder]
        # The failure keys stand for trouble in front of the API (the edge
        # network, an overloaded gateway), which answers before any limiter.
        failure = scenario.failure
        if failure == "hang":
            return HANG
        if failure == "html":
            return cdn_page_reply()
        if failure == "timeout":
            return problem_reply(408, TIMED_OUT)
        if failure == "server_error":
            return problem_reply(500, "Internal server error")
        if failure == "unavailable":
            return problem_reply(503, "Service temporarily unavailable", (("Retry-After", "30"),))
        if failure == "rate_limited":
            spent = self.limiter.headers(endpoint, endpoint.limit, time.time() + endpoint.period)
            return problem_reply(429, limited(endpoint), spent)

        with self.lock:
            allowed, headers = self.limiter.take(holder, endpoint)
        if not allowed:
            return problem_reply(429, limited(endpoint), headers)
        # ASSUMPTION: the limiter counts a request before its key's scopes are
        # checked, so a 403 carries the headers like every other answer.
        if scenario.missing_scope == endpoint.scope:
            return problem_reply(403, scope_missing(endpoint.scope), headers)
        # ASSUMPTION: query keys an endpoint does not take are refused, not ignored.
        unexpected = sorted(set(query) - set(endpoint.query))
        if unexpected:
            return problem_reply(400, f"Unexpected query parameter(s) {unexpected}", headers)

        if endpoint.name == "account_summary":
            return json_reply(200, account.summary(), headers)
        if endpoint.name == "positions":
            held = account.POSITIONS[scenario.positions]
            if "ticker" in query:
                # ASSUMPTION: a ticker not held gives an empty list, not 404.
                held = [p for p in held if p["instrument"]["ticker"] == query["ticker"]]
            return json_reply(200, held, headers)
        if endpoint.name == "instruments":
            return Reply(200, self._instruments, headers=headers)
        if endpoint.name == "exchanges":
            return json_reply(200, account.exchanges(), headers)
        raise AssertionError(endpoint)

    @staticmethod
    def _authenticate(scheme, key, secret):
        """The account the key opens, named by its Basic key; None for an unknown key or a wrong secret.

        Trading 212 counts limits per account, whichever key is used.  Here
        each Basic key stands for an account of its own, so one test's key
        never spends another's quota; the legacy key is a second key of the
        demo account and shares its limits.
        """
        if scheme == "basic" and key in SCENARIOS and secret == account.API_SECRET:
            return key
        if scheme == "legacy" and key == LEGACY_API_KEY:
            return account.API_KEY
        return None


class _Handler(sandbox_http.Handler):
    def do_PATCH(self):
        self.serve("PATCH")

    def serve(self, method):
        broker = self.server.sandbox._broker
        path, pairs = self.split_target()
        query = dict(pairs)
        self.read_body()
        # The credentials stay in this frame: the record keeps the scheme alone.
        scheme, key, secret = credentials(self.headers.get("Authorization"))
        endpoint = ENDPOINTS_BY_PATH.get(path)

        index = broker.record(RequestRecord(method, path, query, endpoint and endpoint.name, scheme))
        if endpoint is None:
            reply = problem_reply(404, f"No endpoint at {path}")
        elif method != "GET":
            reply = problem_reply(405, f"{method} is not allowed here", (("Allow", "GET"),))
        elif len(pairs) != len(query):
            reply = problem_reply(400, "Repeated query parameter")
        else:
            reply = broker.handle(endpoint, scheme, key, secret, query)

        self.answer(reply, broker, index)


class Sandbox(sandbox_http.Sandbox):
    """A local Trading 212 public API on 127.0.0.1, served from a daemon thread.

    ``with Sandbox() as sb:`` starts it and closes it on exit; ``start()`` and
    ``close()`` do the same by hand.  Closing releases any held ("hang")
    request, stops the server and waits for its handler threads.
    ``base_url`` is what replaces https://live.trading212.com (or demo.) in a
    client's URLs.

    ``port`` 0 (the default) takes any free port.  ``filler_instruments``
    adds that many made-up instruments to the instruments metadata (about 270
    bytes each: 4000 make a megabyte).
    """

    handler = _Handler
    thread_name = "trading212-sandbox"

    def __init__(self, port=0, filler_instruments=0):
        super().__init__(port)
        self._broker = Broker(filler_instruments)

    @property
    def requests(self):
        """Snapshot of every request received, oldest first (no credentials)."""
        with self._broker.lock:
            return list(self._broker.records)

    def reset_rate_limits(self):
        """Forget every rate-limit window, as if each limit's period had passed."""
        with self._broker.lock:
            self._broker.limiter.reset()
