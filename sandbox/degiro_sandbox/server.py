"""The sandbox's HTTP server: the request handler, the server thread, and Sandbox, its public face."""

import contextlib
import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

from .broker import CONNECTOR_URLS, LOGIN_ENDPOINTS, ROUTES, Broker
from .login import SCENARIOS, totp_now
from .wire import HANG, REDACTED, Reply, RequestRecord, SessionRecord, errors_reply, redact

__all__ = ["CONNECTOR_URLS", "REDACTED", "SCENARIOS", "RequestRecord", "Sandbox", "SessionRecord", "run_bounded",
           "totp_now"]


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
        for name, route_method, pattern in ROUTES:
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
        # Secrets never reach a record: a login body that is not a JSON object
        # may hold one verbatim, and so may an unparseable body sent to no known route.
        login_not_object = endpoint in LOGIN_ENDPOINTS and body is not None and not isinstance(body, dict)
        shown = REDACTED if login_not_object or (malformed and endpoint is None) else redact(body)

        index = broker.record(RequestRecord(method, url.path, redact(query), shown, dict(self.headers.items()), endpoint))

        if endpoint is None:
            reply = Reply(405, b"", headers=(("Allow", allowed),)) if allowed else errors_reply(404, "Not found")
        elif method == "POST" and not self.headers.get("Content-Type", "").startswith("application/json"):
            reply = errors_reply(415, "Unsupported media type")
        elif len(pairs) != len(query):
            reply = errors_reply(400, "Bad request: repeated query parameter")
        elif malformed:
            reply = errors_reply(400, f"Bad request: {malformed}")
        else:
            reply = broker.handle(endpoint, params, query, body)

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

    ``port`` 0 (the default) takes any free port.  ``in_app_polls``: the
    in-app login request that approves an "in-app-approval" login (the first
    is 1); set it on a sandbox before or while it serves.
    """

    in_app_polls = 3

    def __init__(self, port=0):
        # Read at each in-app request, so a change applies to pending logins too.
        self._broker = Broker(in_app_polls=lambda: self.in_app_polls)
        self._port = port
        self._closing = threading.Event()
        self._server = None
        self._thread = None
        self._saved_urls = None

    # -- lifecycle ---------------------------------------------------------

    def start(self):
        if self._server is not None:
            raise RuntimeError("sandbox already started")
        self._server = _Server(("127.0.0.1", self._port), _Handler)
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
        """Snapshot of every request received, oldest first (secrets redacted)."""
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
