"""The local stand-in for trader.degiro.nl: request checks, sessions, replies, and the server thread."""

import base64
import contextlib
import hashlib
import hmac
import json
import re
import secrets
import struct
import threading
import time
from dataclasses import dataclass, replace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

from . import account

REDACTED = "<redacted>"

# Attribute of degiro_connector.core.constants.urls -> path on the server.
CONNECTOR_URLS = {
    "LOGIN": "/login/secure/login",
    "LOGOUT": "/trading/secure/logout",
    "CLIENT_DETAILS": "/pa/secure/client",
    "UPDATE": "/trading/secure/v5/update",
    "PRODUCTS_INFO": "/product_search/secure/v5/products/info",
    "PRODUCTS_CONFIG": "/product_search/config/dictionary",
}

# endpoint, method, path pattern.  Matrix parameters (";jsessionid=") are part
# of the path, exactly as the connector builds them.
_ROUTES = [
    ("login", "POST", re.compile(r"/login/secure/login")),
    ("login_totp", "POST", re.compile(r"/login/secure/login/totp")),
    ("client_details", "GET", re.compile(r"/pa/secure/client")),
    ("update", "GET", re.compile(r"/trading/secure/v5/update/(?P<account>[^/;]*);jsessionid=(?P<jsid>[^/;]*)")),
    ("products_info", "POST", re.compile(r"/product_search/secure/v5/products/info")),
    ("products_config", "GET", re.compile(r"/product_search/config/dictionary")),
    ("logout", "PUT", re.compile(r"/trading/secure/logout;jsessionid=(?P<jsid>[^/;]*)")),
]

# Query keys each endpoint may carry; anything else is a malformed request.
_UPDATE_OPTIONS = ("alerts", "cashFunds", "historicalOrders", "orders", "portfolio", "totalPortfolio", "transactions")
_QUERY_KEYS = {
    "login": (),
    "login_totp": (),
    "client_details": ("sessionId",),
    "update": ("intAccount", "sessionId") + _UPDATE_OPTIONS,
    "products_info": ("intAccount", "sessionId"),
    "products_config": ("intAccount", "sessionId"),
    "logout": ("intAccount", "sessionId"),
}
_LOGIN_KEYS = {"username", "password", "isPassCodeReset", "isRedirectToMobile", "queryParams"}
_INT32_MAX = 2**31 - 1


@dataclass(frozen=True)
class Scenario:
    """How the server treats a login name: its login outcome, portfolio, and session fate."""

    login: str = "ok"  # ok | totp | in_app | rate_limited | maintenance | server_error | html | hang
    portfolio: str = "demo"
    expired: bool = False


# Every login name the sandbox knows; all of them use account.PASSWORD and,
# once in, are the demo client (same intAccount and client details).
SCENARIOS = {
    account.USERNAME: Scenario(),
    "totp-needed": Scenario(login="totp"),
    "in-app-approval": Scenario(login="in_app"),
    "rate-limited": Scenario(login="rate_limited"),
    "maintenance": Scenario(login="maintenance"),
    "server-error": Scenario(login="server_error"),
    "html": Scenario(login="html"),
    "hang": Scenario(login="hang"),
    "expired": Scenario(expired=True),
    "empty-portfolio": Scenario(portfolio="empty"),
}


@dataclass(frozen=True)
class RequestRecord:
    """One request as the server saw it; ``status`` is None when no answer was sent."""

    method: str
    path: str
    query: dict
    body: object
    headers: dict
    endpoint: str | None
    status: int | None = None


@dataclass(frozen=True)
class SessionRecord:
    id: str
    username: str
    state: str  # live | closed | expired


@dataclass
class _Reply:
    status: int
    body: bytes = b""
    content_type: str = "application/json;charset=UTF-8"
    headers: tuple = ()


_HANG = object()


def _json(status, payload, headers=()):
    return _Reply(status, json.dumps(payload, ensure_ascii=False).encode("utf-8"), headers=headers)


def _errors(status, text):
    return _json(status, {"errors": [{"text": text}]})


def _html(status, text):
    page = f"<!DOCTYPE html><html><head><title>DEGIRO</title></head><body><h1>{text}</h1></body></html>"
    return _Reply(status, page.encode("utf-8"), "text/html;charset=UTF-8")


class _Malformed(Exception):
    pass


def totp_now(secret, at=None):
    """The RFC 6238 code (SHA-1, 30 s, 6 digits) for ``secret`` at ``at`` (default: now)."""
    key = base64.b32decode(secret.replace(" ", "").upper())
    counter = int((time.time() if at is None else at) // 30)
    digest = hmac.new(key, struct.pack(">Q", counter), hashlib.sha1).digest()
    offset = digest[-1] & 15
    return (struct.unpack(">I", digest[offset : offset + 4])[0] & 0x7FFFFFFF) % 1_000_000


def _totp_matches(code):
    # The connector sends str(int(code)), so a code with a leading zero arrives
    # one digit short; compare numerically, and allow one step of clock drift.
    if not (isinstance(code, str) and code.isdigit() and len(code) <= 6):
        return False
    now = time.time()
    return any(int(code) == totp_now(account.TOTP_SECRET, now + drift) for drift in (-30, 0, 30))


class _Broker:
    """Server state and the request -> reply logic, independent of sockets."""

    def __init__(self):
        self.lock = threading.Lock()
        self.records = []
        self.sessions = {}  # id -> SessionRecord, in creation order
        self.login_failures = {}

    # -- bookkeeping -------------------------------------------------------

    def record(self, record):
        with self.lock:
            self.records.append(record)
            return len(self.records) - 1

    def set_status(self, index, status):
        with self.lock:
            self.records[index] = replace(self.records[index], status=status)

    def _set_state(self, sid, state):
        with self.lock:
            self.sessions[sid] = replace(self.sessions[sid], state=state)

    def expire_all(self):
        with self.lock:
            for sid, session in self.sessions.items():
                if session.state == "live":
                    self.sessions[sid] = replace(session, state="expired")

    # -- dispatch ----------------------------------------------------------

    def handle(self, endpoint, params, query, body):
        try:
            self._check_query(endpoint, query)
            if endpoint in ("login", "login_totp"):
                return self._login(endpoint, body)
            if endpoint == "products_info":
                ids = self._product_ids(body)
            elif body is not None:
                raise _Malformed(f"{endpoint} takes no body")
        except _Malformed as exc:
            return _errors(400, f"Bad request: {exc}")

        session, denied = self._authorise(endpoint, params, query)
        if denied is not None:
            return denied

        scenario = SCENARIOS[session.username]
        if endpoint == "client_details":
            return _json(200, account.client_details(session.username))
        if endpoint == "update":
            return self._update(scenario, query)
        if endpoint == "products_info":
            return _json(200, {"data": {i: account.PRODUCTS[i] for i in ids if i in account.PRODUCTS}})
        if endpoint == "products_config":
            return _json(200, account.PRODUCTS_CONFIG)
        if endpoint == "logout":
            self._set_state(session.id, "closed")
            return _Reply(200, b"", "text/plain;charset=UTF-8")
        raise AssertionError(endpoint)

    # -- request shape -----------------------------------------------------

    @staticmethod
    def _check_query(endpoint, query):
        unexpected = sorted(set(query) - set(_QUERY_KEYS[endpoint]))
        if unexpected:
            raise _Malformed(f"unexpected query parameter(s) {unexpected}")
        if endpoint == "update":
            for option in _UPDATE_OPTIONS:
                if option in query and not re.fullmatch(r"-?\d+", query[option]):
                    raise _Malformed(f"{option} must be an integer")

    @staticmethod
    def _product_ids(body):
        # The connector turns int32 product ids into text; anything else did not come from it.
        if not isinstance(body, list):
            raise _Malformed("products info takes a JSON array of product ids")
        for item in body:
            if not (isinstance(item, str) and re.fullmatch(r"-?\d+", item) and abs(int(item)) <= _INT32_MAX):
                raise _Malformed(f"product id {item!r} is not int32 text")
        return body

    @staticmethod
    def _login_body(endpoint, body):
        expected = _LOGIN_KEYS | ({"oneTimePassword"} if endpoint == "login_totp" else set())
        if not isinstance(body, dict) or set(body) != expected:
            raise _Malformed(f"login takes exactly the keys {sorted(expected)}")
        types = {"username": str, "password": str, "isPassCodeReset": bool, "isRedirectToMobile": bool,
                 "queryParams": dict, "oneTimePassword": str}
        for key, value in body.items():
            if not isinstance(value, types[key]):
                raise _Malformed(f"{key} must be {types[key].__name__}")

    # -- login -------------------------------------------------------------

    def _login(self, endpoint, body):
        self._login_body(endpoint, body)
        username = body["username"]
        scenario = SCENARIOS.get(username)

        # Front-door failures: DEGIRO's edge answers these before looking at credentials.
        if scenario is not None:
            if scenario.login == "hang":
                return _HANG
            if scenario.login == "rate_limited":
                return _Reply(429, b"Too Many Requests", "text/plain;charset=UTF-8", (("Retry-After", "60"),))
            if scenario.login == "maintenance":
                return _html(405, "DEGIRO is undergoing maintenance")
            if scenario.login == "server_error":
                return _errors(500, "Internal server error")
            if scenario.login == "html":
                return _html(200, "Please enable JavaScript to continue")

        if scenario is None or not hmac.compare_digest(body["password"].encode(), account.PASSWORD.encode()):
            return self._bad_credentials(username)
        if endpoint == "login_totp":
            # Only an account with 2FA switched on may use the 2FA login.
            if scenario.login != "totp" or not _totp_matches(body["oneTimePassword"]):
                return self._bad_credentials(username)
        elif scenario.login == "totp":
            return _json(202, {"status": 6, "statusText": "totpNeeded"})
        elif scenario.login == "in_app":
            return _json(202, {"status": 12, "statusText": "inAppTOTPNeeded"})

        sid = secrets.token_hex(16).upper() + ".prod_b_112_1"
        with self.lock:
            self.login_failures.pop(username, None)
            self.sessions[sid] = SessionRecord(sid, username, "expired" if scenario.expired else "live")
        return _json(200, {
            "isPassCodeEnabled": False,
            "locale": "nl_NL",
            "redirectUrl": "https://trader.degiro.nl/trader/",
            "sessionId": sid,
            "status": 0,
            "statusText": "success",
        })

    def _bad_credentials(self, username):
        with self.lock:
            failures = self.login_failures[username] = self.login_failures.get(username, 0) + 1
        return _json(400, {"loginFailures": failures, "status": 3, "statusText": "badCredentials"})

    # -- data calls --------------------------------------------------------

    def _authorise(self, endpoint, params, query):
        """(session, None) when the call may proceed, else (None, reply)."""
        sid = query.get("sessionId")
        with self.lock:
            session = self.sessions.get(sid) if sid else None
        # The path's jsessionid and the query's sessionId are one session; a
        # mismatch means the caller mixed up sessions.
        if session is None or session.state != "live" or params.get("jsid", sid) != sid:
            return None, _errors(401, "Unauthorized")
        if endpoint == "client_details":
            return session, None

        ia = query.get("intAccount")
        if endpoint == "logout" and ia == "0":
            # Logging out needs only the session: a caller that is still
            # discovering its account number logs out with intAccount 0.
            return session, None
        if ia is None:
            return None, _errors(403, "Request is forbidden")
        if not re.fullmatch(r"-?\d+", ia) or ("account" in params and params["account"] != ia):
            return None, _errors(400, "Bad request: intAccount malformed, or path and query disagree")
        # 0, what the connector sends while the account is unknown, is just another wrong number.
        if int(ia) != account.INT_ACCOUNT:
            return None, _errors(403, "Request is forbidden")
        return session, None

    @staticmethod
    def _update(scenario, query):
        reply = {}
        for option in _UPDATE_OPTIONS:
            if option not in query:
                continue
            section = {"lastUpdated": account.PORTFOLIO_LAST_UPDATED, "name": option, "isAdded": True, "value": []}
            # A caller that is already up to date gets an empty delta, as DEGIRO does.
            if option == "portfolio" and int(query[option]) < account.PORTFOLIO_LAST_UPDATED:
                section["value"] = account.PORTFOLIOS[scenario.portfolio]
            reply[option] = section
        return _json(200, reply)


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
        raw = self.rfile.read(int(self.headers.get("Content-Length") or 0))

        endpoint, params, allowed = None, {}, None
        for name, route_method, pattern in _ROUTES:
            match = pattern.fullmatch(url.path)
            if match:
                if route_method == method:
                    endpoint, params = name, match.groupdict()
                    break
                allowed = route_method

        body, malformed = None, None
        if raw:
            try:
                body = json.loads(raw.decode("utf-8"))
            except ValueError:
                body, malformed = raw.decode("utf-8", "replace"), "body is not JSON"
        shown = body
        if endpoint in ("login", "login_totp"):
            if isinstance(body, dict) and "password" in body:
                shown = {**body, "password": REDACTED}
            elif body is not None:
                shown = REDACTED  # an unparseable login body may hold the password verbatim

        index = broker.record(RequestRecord(method, url.path, query, shown, dict(self.headers.items()), endpoint))

        if endpoint is None:
            reply = _Reply(405, b"", headers=(("Allow", allowed),)) if allowed else _errors(404, "Not found")
        elif method == "POST" and not self.headers.get("Content-Type", "").startswith("application/json"):
            reply = _errors(415, "Unsupported media type")
        elif len(pairs) != len(query):
            reply = _errors(400, "Bad request: repeated query parameter")
        elif malformed:
            reply = _errors(400, f"Bad request: {malformed}")
        else:
            reply = broker.handle(endpoint, params, query, body)

        if reply is _HANG:
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


def run_bounded(fn, /, *args, timeout=5.0, **kwargs):
    """Call ``fn(*args, **kwargs)`` in a worker thread and wait at most ``timeout`` seconds.

    Returns its result or re-raises its exception.  If it is still running,
    raises TimeoutError whose ``thread`` attribute is the still-running worker.
    """
    outcome = {}

    def work():
        try:
            outcome["value"] = fn(*args, **kwargs)
        except BaseException as exc:  # handed over to the caller's thread
            outcome["error"] = exc

    worker = threading.Thread(target=work, name=f"bounded-{getattr(fn, '__name__', 'call')}", daemon=True)
    worker.start()
    worker.join(timeout)
    if worker.is_alive():
        error = TimeoutError(f"{getattr(fn, '__qualname__', fn)!s} did not finish within {timeout} s")
        error.thread = worker
        raise error
    if "error" in outcome:
        raise outcome["error"]
    return outcome.get("value")


class Sandbox:
    """A local DEGIRO trader API on 127.0.0.1, served from a daemon thread.

    ``with Sandbox() as sb:`` starts it and closes it on exit; ``start()`` and
    ``close()`` do the same by hand.  Closing releases any held ("hang")
    request, stops the server, waits for its handler threads and undoes
    ``patch_connector()``.
    """

    def __init__(self):
        self._broker = _Broker()
        self._closing = threading.Event()
        self._server = None
        self._thread = None
        self._saved_urls = None

    # -- lifecycle ---------------------------------------------------------

    def start(self):
        if self._server is not None:
            raise RuntimeError("sandbox already started")
        self._server = _Server(("127.0.0.1", 0), _Handler)
        self._server.sandbox = self
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="degiro-sandbox", daemon=True
        )
        self._thread.start()
        return self

    def close(self):
        self.restore_connector()
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

    # -- addresses and the connector ---------------------------------------

    @property
    def base_url(self):
        if self._server is None:
            raise RuntimeError("sandbox not started")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def urls(self):
        """Replacement values for degiro_connector.core.constants.urls."""
        return {name: self.base_url + path for name, path in CONNECTOR_URLS.items()}

    def patch_connector(self):
        """Point degiro_connector at this sandbox until restore_connector() or close()."""
        from degiro_connector.core.constants import urls as connector_urls

        if self._saved_urls is None:
            self._saved_urls = {name: getattr(connector_urls, name) for name in CONNECTOR_URLS}
        for name, url in self.urls.items():
            setattr(connector_urls, name, url)

    def restore_connector(self):
        if self._saved_urls is None:
            return
        from degiro_connector.core.constants import urls as connector_urls

        for name, url in self._saved_urls.items():
            setattr(connector_urls, name, url)
        self._saved_urls = None

    @contextlib.contextmanager
    def pointed_connector(self):
        self.patch_connector()
        try:
            yield self
        finally:
            self.restore_connector()

    # -- what the server saw ------------------------------------------------

    @property
    def requests(self):
        """Snapshot of every request received, oldest first (passwords redacted)."""
        with self._broker.lock:
            return list(self._broker.records)

    @property
    def sessions(self):
        """Snapshot of every session ever opened, oldest first."""
        with self._broker.lock:
            return list(self._broker.sessions.values())

    def expire_sessions(self):
        """Expire every live session, as DEGIRO's idle timeout would."""
        self._broker.expire_all()

    def run_bounded(self, fn, /, *args, timeout=5.0, **kwargs):
        return run_bounded(fn, *args, timeout=timeout, **kwargs)
