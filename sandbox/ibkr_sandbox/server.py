"""The sandbox's HTTP server: the request handler, the server thread, and Sandbox, its public face."""

import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit

from .service import FlexService
from .wire import (
    GET_STATEMENT_PATH,
    GET_STATEMENT_URL,
    HANG,
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


class _Handler(BaseHTTPRequestHandler):
    # HTTP/1.0: one request per connection, so no handler thread idles on a
    # kept-alive socket when the sandbox shuts down, and a streamed answer
    # without Content-Length ends where the connection does.
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

    def log_message(self, format, *args):
        pass

    def _serve(self, method):
        sandbox = self.server.sandbox
        service = sandbox._service
        url = urlsplit(self.path)
        pairs = parse_qsl(url.query, keep_blank_values=True)
        endpoint = _ENDPOINTS.get(url.path)
        user_agent = self.headers.get("User-Agent")
        index = service.record(RequestRecord(method, url.path, endpoint, redact(dict(pairs)), user_agent))

        if endpoint is None:
            reply = html_reply(404, "Not Found")
        elif method != "GET":
            reply = Reply(405, b"", headers=(("Allow", "GET"),))
        else:
            reply = service.handle(endpoint, pairs, user_agent)

        if reply is HANG:
            # Hold the request until the sandbox closes, then drop the
            # connection without an answer, as a dead upstream would.
            sandbox._closing.wait()
            self.close_connection = True
            return

        # Recorded before the answer goes out: the caller may look as soon as it has it.
        service.set_outcome(index, reply.status, reply.error_code)
        streamed = not isinstance(reply.body, bytes)
        self.send_response(reply.status)
        self.send_header("Content-Type", reply.content_type)
        if not streamed:
            self.send_header("Content-Length", str(len(reply.body)))
        for name, value in reply.headers:
            self.send_header(name, value)
        self.end_headers()
        if not streamed:
            self.wfile.write(reply.body)
            return
        try:
            for piece in reply.body:
                if sandbox._closing.is_set():
                    break
                self.wfile.write(piece)
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client stopped reading, as a size-capped one should


class _Server(ThreadingHTTPServer):
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that gives up mid-answer (a bounded call timing out) is not
        # the sandbox's failure; keep test output clean.
        pass


class Sandbox:
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

    def __init__(self, port=0, *, polls_before_ready=2, positions=None, own_url=False, huge_bytes=256 * 2**20,
                 per_second=PER_SECOND, per_minute=PER_MINUTE, clock=time.monotonic):
        self.polls_before_ready = polls_before_ready
        self.positions = positions
        self.own_url = own_url
        self.huge_bytes = huge_bytes
        self.per_second = per_second
        self.per_minute = per_minute
        self.clock = clock
        self._service = FlexService(self)
        self._port = port
        self._closing = threading.Event()
        self._server = None
        self._thread = None

    # -- lifecycle ---------------------------------------------------------

    def start(self):
        if self._server is not None:
            raise RuntimeError("sandbox already started")
        self._server = _Server(("127.0.0.1", self._port), _Handler)
        self._server.sandbox = self
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name="ibkr-sandbox", daemon=True
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

    # -- addresses ------------------------------------------------------------

    @property
    def base_url(self):
        if self._server is None:
            raise RuntimeError("sandbox not started")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

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
