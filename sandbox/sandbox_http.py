"""The HTTP plumbing every sandbox shares: its request log, the handler's base, the server, Sandbox's life cycle.

A sandbox package keeps its broker's routes, wire data and behaviour and
builds on these: its replies subclass :class:`Reply`; its state subclasses
:class:`RequestLog`; its handler subclasses :class:`Handler` with a
``serve(method)`` that records the request, works out the reply (or HANG) and
hands it to :meth:`Handler.answer`; its ``Sandbox`` subclasses
:class:`Sandbox`, naming that handler and adding its own settings and views.
"""

import threading
from dataclasses import dataclass, replace
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qsl, urlsplit


@dataclass
class Reply:
    """What :meth:`Handler.answer` sends; a sandbox's subclass sets its broker's usual content type."""

    status: int
    body: object = b""  # bytes, or an iterable of bytes streamed without Content-Length
    content_type: str = "application/octet-stream"
    headers: tuple = ()


# The reply of a request the server holds until the sandbox closes, then drops unanswered.
HANG = object()


class RequestLog:
    """Every request a sandbox received, oldest first.

    ``lock`` guards ``records`` and whatever other state the subclass keeps:
    handler threads read and write both.
    """

    def __init__(self):
        self.lock = threading.Lock()
        self.records = []

    def record(self, record):
        """Append ``record``; its index, for :meth:`answered`."""
        with self.lock:
            self.records.append(record)
            return len(self.records) - 1

    def answered(self, index, reply):
        """Note on record ``index`` the status ``reply`` answers it with."""
        self.update(index, status=reply.status)

    def update(self, index, **fields):
        with self.lock:
            self.records[index] = replace(self.records[index], **fields)


class Handler(BaseHTTPRequestHandler):
    """The base of a sandbox's request handler: GET, POST, PUT and DELETE go to ``serve(method)``.

    A sandbox that also serves PATCH adds ``do_PATCH``; without it http.server
    answers PATCH with 501 before any record is made.
    """

    # HTTP/1.0: one request per connection, so no handler thread idles on a
    # kept-alive socket when the sandbox shuts down, and a streamed answer
    # without Content-Length ends where the connection does.
    protocol_version = "HTTP/1.0"
    timeout = 10  # bounds how long close() can wait on a client that never sends

    def do_GET(self):
        self.serve("GET")

    def do_POST(self):
        self.serve("POST")

    def do_PUT(self):
        self.serve("PUT")

    def do_DELETE(self):
        self.serve("DELETE")

    def log_message(self, format, *args):
        pass

    def serve(self, method):
        raise NotImplementedError

    def split_target(self):
        """(the request's path, its query's (key, value) pairs in order, blank values kept)."""
        url = urlsplit(self.path)
        return url.path, parse_qsl(url.query, keep_blank_values=True)

    def read_body(self):
        """The request's body: as many bytes as its Content-Length says."""
        return self.rfile.read(int(self.headers.get("Content-Length") or 0))

    def answer(self, reply, log, index):
        """Send ``reply`` to the request that ``log`` holds as record ``index``.

        A reply whose body is not bytes is an iterable of bytes, streamed
        without Content-Length until it ends or the sandbox closes.
        """
        closing = self.server.sandbox._closing
        if reply is HANG:
            # Hold the request until the sandbox closes, then drop the
            # connection without an answer, as a dead upstream would.
            closing.wait()
            self.close_connection = True
            return

        # Recorded before the answer goes out: the caller may look as soon as it has it.
        log.answered(index, reply)
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
                if closing.is_set():
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
    """A sandbox's life cycle: served on 127.0.0.1 from a daemon thread named ``thread_name``.

    ``with Sandbox() as sb:`` starts it and closes it on exit; ``start()`` and
    ``close()`` do the same by hand.  Closing releases any held ("hang")
    request, stops the server and waits for its handler threads.  ``port`` 0
    takes any free port.
    """

    handler = Handler  # a subclass names its own
    thread_name = "sandbox"

    def __init__(self, port=0):
        self._port = port
        self._closing = threading.Event()
        self._server = None
        self._thread = None

    def start(self):
        if self._server is not None:
            raise RuntimeError("sandbox already started")
        self._server = _Server(("127.0.0.1", self._port), self.handler)
        self._server.sandbox = self
        self._thread = threading.Thread(
            target=self._server.serve_forever, kwargs={"poll_interval": 0.05}, name=self.thread_name, daemon=True
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
        if self._server is None:
            raise RuntimeError("sandbox not started")
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"
