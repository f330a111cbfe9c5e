"""The sandbox's HTTP server: the request handler, the server thread, and Sandbox, its public face."""

import time

import sandbox_http

from .service import FlexService
from .wire import (
    GET_STATEMENT_PATH,
    GET_STATEMENT_URL,
    PER_MINUTE,
    PER_SECOND,
    SEND_REQUEST_PATH,
    Reply,
    RequestRecord,
    html_reply,
    redact,
)

__all__ = ["Sandbox"]

_ENDPOINTS = {SEND_REQUEST_PATH: "SendRequest", GET_STATEMENT_PATH: "GetStatement"}


class _Handler(sandbox_http.Handler):
    def serve(self, method):
        service = self.server.sandbox._service
        path, pairs = self.split_target()
        endpoint = _ENDPOINTS.get(path)
        user_agent = self.headers.get("User-Agent")
        index = service.record(RequestRecord(method, path, endpoint, redact(dict(pairs)), user_agent))

        if endpoint is None:
            reply = html_reply(404, "Not Found")
        elif method != "GET":
            reply = Reply(405, b"", headers=(("Allow", "GET"),))
        else:
            reply = service.handle(endpoint, pairs, user_agent)

        self.answer(reply, service, index)


class Sandbox(sandbox_http.Sandbox):
    """A local Flex Web Service on 127.0.0.1, served from a daemon thread.

    ``with Sandbox() as sb:`` starts it and closes it on exit; ``start()`` and
    ``close()`` do the same by hand.  Closing releases any held ("hang")
    request, stops the server and waits for its handler threads.

    Settings, keywords of the constructor and attributes read at each request:

    ``polls_before_ready``  GetStatement answers 1019 to this many requests for
                            a reference code, then the statement (default 2)
    ``positions``           None: the demo holdings; N: N generated holdings
                            instead (statement.generated_positions)
    ``own_url``             False: SendRequest's Url names IB's GetStatement
                            address, so a client must swap in the sandbox's
                            scheme and host; True: the sandbox's own
    ``huge_bytes``          the size of QUERY_HUGE's statement (default 256 MiB)
    ``per_second``, ``per_minute``  the per-token limits, IB's 1 and 10;
                            None lifts one
    ``clock``               monotonic seconds for the limits (time.monotonic)
    """

    handler = _Handler
    thread_name = "ibkr-sandbox"

    def __init__(self, port=0, *, polls_before_ready=2, positions=None, own_url=False, huge_bytes=256 * 2**20,
                 per_second=PER_SECOND, per_minute=PER_MINUTE, clock=time.monotonic):
        self.polls_before_ready = polls_before_ready
        self.positions = positions
        self.own_url = own_url
        self.huge_bytes = huge_bytes
        self.per_second = per_second
        self.per_minute = per_minute
        self.clock = clock
        super().__init__(port)
        self._service = FlexService(self)

    # -- addresses ------------------------------------------------------------

    @property
    def send_request_url(self):
        return self.base_url + SEND_REQUEST_PATH

    @property
    def statement_url(self):
        """What SendRequest answers in Url."""
        return self.base_url + GET_STATEMENT_PATH if self.own_url else GET_STATEMENT_URL

    # -- what the server saw ------------------------------------------------

    @property
    def requests(self):
        """Snapshot of every request received, oldest first (tokens and query ids redacted)."""
        with self._service.lock:
            return list(self._service.records)
