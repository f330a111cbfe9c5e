"""The sandbox's HTTP server: keys, rate limits, the request handler, and Sandbox, its public face."""

import math
import threading
import time
from dataclasses import replace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

from . import account
from .account import LEGACY_API_KEY, SCENARIOS
from .wire import (BAD_API_KEY, ENDPOINTS_BY_PATH, HANG, RATE_LIMIT_HEADERS, TIMED_OUT, Reply, RequestRecord,
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


class Broker:
    """Server state and the request -> reply logic, independent of sockets."""

    def __init__(self, filler_instruments):
        self.lock = threading.Lock()
        self.records = []
        self.limiter = RateLimiter()
        self._instruments = account.instruments_body(filler_instruments)

    def record(self, record):
        with self.lock:
            self.records.append(record)
            return len(self.records) - 1

    def set_status(self, index, status):
        with self.lock:
            self.records[index] = replace(self.records[index], status=status)

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


class _Handler(BaseHTTPRequestHandler):
    # HTTP/1.0: one request per connection, so no handler thread idles on a
    # kept-alive socket when the sandbox shuts down.
    protocol_version = "HTTP/1.0"
    timeout = 10  # bounds how long close() can wait on a client that never sends

    def do_GET(self):
        self._serve("GET")

    def do_POST(self):
        self._serve("POST")

    def do_PUT(self):
        self._serve("PUT")

    def do_DELETE(self):
        self._serve("DELETE")

    def do_PATCH(self):
        self._serve("PATCH")

    def log_message(self, format, *args):
        pass

    def _serve(self, method):
        sandbox = self.server.sandbox
        broker = sandbox._broker
        url = urlsplit(self.path)
        pairs = parse_qsl(url.query, keep_blank_values=True)
        query = dict(pairs)
        self.rfile.read(int(self.headers.get("Content-Length") or 0))
        # The credentials stay in this frame: the record keeps the scheme alone.
        scheme, key, secret = credentials(self.headers.get("Authorization"))
        endpoint = ENDPOINTS_BY_PATH.get(url.path)

        index = broker.record(RequestRecord(method, url.path, query, endpoint and endpoint.name, scheme))
        if endpoint is None:
            reply = problem_reply(404, f"No endpoint at {url.path}")
        elif method != "GET":
            reply = problem_reply(405, f"{method} is not allowed here", (("Allow", "GET"),))
        elif len(pairs) != len(query):
            reply = problem_reply(400, "Repeated query parameter")
        else:
            reply = broker.handle(endpoint, scheme, key, secret, query)

        if reply is HANG:
            # Hold the request until the sandbox closes, then drop the
            # connection without an answer, as a dead upstream would.
            sandbox._closing.wait()
            self.close_connection = True
            return

        # Recorded before the answer goes out: the caller may look as soon as it has it.
        broker.set_status(index, reply.status)
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.content_type)
        self.send_header("Content-Length", str(len(reply.body)))
        for name, value in reply.headers:
            self.send_header(name, value)
        self.end_headers()
        self.wfile.write(reply.body)


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gives up mid-answer (a bounded call timing out) is not
        # the sandbox's failure; keep test output clean.
        pass


class Sandbox:
    """A local Trading 212 public API on 127.0.0.1, served from a daemon thread.

    ``with Sandbox() as sb:`` starts it and closes it on exit; ``start()`` and
    ``close()`` do the same by hand.  Closing releases any held ("hang")
    request, stops the server and waits for its handler threads.

    ``port`` 0 (the default) takes any free port.  ``filler_instruments``
    adds that many made-up instruments to the instruments metadata (about 270
    bytes each: 4000 make a megabyte).
    """

    def __init__(self, port=0, filler_instruments=0):
        self._broker = Broker(filler_instruments)
        self._port = port
        self._closing = threading.Event()
        self._server = None
        self._thread = None

    def start(self):
        if self._server is not None:
            raise RuntimeError("sandbox already started")
        self._server = _Server(("127.0.0.1", self._port), _Handler)
        self._server.sandbox = self
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="trading212-sandbox", daemon=True
        )
        self._thread.start()
        return self

    def close(self):
        if self._server is None or self._closing.is_set():
            return
        self._closing.set()
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.close()

    @property
    def base_url(self):
        """What replaces https://live.trading212.com (or demo.) in a client's URLs."""
        if self._server is None:
            raise RuntimeError("sandbox not started")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def requests(self):
        """Snapshot of every request received, oldest first (no credentials)."""
        with self._broker.lock:
            return list(self._broker.records)

    def reset_rate_limits(self):
        """Forget every rate-limit window, as if each limit's period had passed."""
        with self._broker.lock:
            self._broker.limiter.reset()
