"""The sandbox's HTTP server: the request handler, the server thread, and Sandbox, its public face."""

import contextlib
import json
import threading

import sandbox_http

from .broker import CONNECTOR_URLS, LOGIN_ENDPOINTS, ROUTES, Broker
from .login import SCENARIOS, totp_now
from .wire import REDACTED, Reply, RequestRecord, SessionRecord, errors_reply, redact

__all__ = ["CONNECTOR_URLS", "REDACTED", "SCENARIOS", "RequestRecord", "Sandbox", "SessionRecord", "run_bounded",
           "totp_now"]


class _Handler(sandbox_http.Handler):
    def do_PATCH(self):
        self.serve("PATCH")

    def serve(self, method):
        broker = self.server.sandbox._broker
        path, pairs = self.split_target()
        query = dict(pairs)
        raw = self.read_body()

        endpoint, params, allowed = None, {}, None
        for name, route_method, pattern in ROUTES:
            match = pattern.fullmatch(path)
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

        index = broker.record(RequestRecord(method, path, redact(query), shown, dict(self.headers.items()), endpoint))

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

        self.answer(reply, broker, index)


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


class Sandbox(sandbox_http.Sandbox):
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
    handler = _Handler
    thread_name = "degiro-sandbox"

    def __init__(self, port=0):
        super().__init__(port)
        # Read at each in-app request, so a change applies to pending logins too.
        self._broker = Broker(in_app_polls=lambda: self.in_app_polls)
        self._saved_urls = None

    def close(self):
        self.restore_connector()
        super().close()

    # -- addresses and the connector ---------------------------------------

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
