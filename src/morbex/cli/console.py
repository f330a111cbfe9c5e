"""What a person sees on stderr: progress and errors one line each, log records, secrets hidden."""

from __future__ import annotations

import contextlib
import json
import logging
import re
import threading
import time
import urllib.parse
from collections.abc import Callable, Iterator
from typing import TextIO

PROG = "morbex"

# -- keeping secrets out of everything a person or a log sees -------------------

# Session ids are bearer tokens: the connector logs them in its login answer and
# in every data URL (";jsessionid=...", "sessionId=..."), and requests' errors
# quote those URLs.
SESSION_ID = re.compile(r"""(?i)(j?session_?id['"]?\s*[=:]\s*['"]?)[^'"&;,?/\s}]+""")


class Redactor:
    """Replaces every secret it was told about, and every session id, by '***'."""

    def __init__(self) -> None:
        self.secrets: list[str] = []

    def add(self, secret: str | None) -> None:
        if not secret:
            return
        # As it is, and as a JSON string or a URL would carry it.
        self.secrets += {secret, json.dumps(secret)[1:-1], urllib.parse.quote(secret, safe="")}
        # Longest first, so a secret holding another is hidden whole.
        self.secrets.sort(key=len, reverse=True)

    def __call__(self, text: str) -> str:
        for secret in self.secrets:
            text = text.replace(secret, "***")
        return SESSION_ID.sub(r"\1***", text)


class RedactingFormatter(logging.Formatter):
    def __init__(self, redact: Redactor) -> None:
        super().__init__("%(name)s %(levelname)s: %(message)s")
        self.redact = redact

    def format(self, record: logging.LogRecord) -> str:
        # The whole text, traceback included, after formatting: arguments are
        # where the secrets are.
        return self.redact(super().format(record))


@contextlib.contextmanager
def logging_to(stream: TextIO, redact: Redactor, debug: bool) -> Iterator[None]:
    """Route every log record of the process for the length of a command.

    Without --debug nothing is shown: the connector logs its login answer,
    session id included, at INFO, and failed requests with their URLs at
    CRITICAL; the NullHandler keeps logging's last-resort handler from printing
    those to stderr.  With --debug everything is shown, redacted.
    """
    root = logging.getLogger()
    handler: logging.Handler
    if debug:
        handler = logging.StreamHandler(stream)
        handler.setFormatter(RedactingFormatter(redact))
    else:
        handler = logging.NullHandler()
    level = root.level
    root.addHandler(handler)
    if debug:
        root.setLevel(logging.DEBUG)
    try:
        yield
    finally:
        root.removeHandler(handler)
        root.setLevel(level)


# -- progress and errors ----------------------------------------------------------


class Console:
    """Progress and errors, one line each, on stderr."""

    def __init__(self, stream: TextIO, redact: Redactor) -> None:
        self.stream = stream
        self.redact = redact
        self.lock = threading.Lock()
        self.live = False  # a line refreshed in place is on screen, unterminated

    @property
    def is_terminal(self) -> bool:
        isatty: Callable[[], bool] | None = getattr(self.stream, "isatty", None)
        return bool(isatty and isatty())

    def say(self, text: str) -> None:
        with self.lock:
            self._end_live_line()
            self.stream.write(f"{PROG}: {self.redact(text)}\n")
            self.stream.flush()

    def refresh(self, text: str) -> None:
        """Rewrite the current line (on a terminal only)."""
        with self.lock:
            self.stream.write(f"\r\x1b[K{PROG}: {text}")
            self.stream.flush()
            self.live = True

    def end_line(self) -> None:
        with self.lock:
            self._end_live_line()

    def _end_live_line(self) -> None:
        if self.live:
            self.stream.write("\n")
            self.live = False


class ApprovalWatch(logging.Handler):
    """Shows, from the broker's first warning on, how long the login has waited.

    The broker logs one warning on the "morbex" logger when the login waits for
    approval in its app, then polls until approved or out of time; the call
    blocks all the while, so a thread keeps the count moving.
    """

    def __init__(self, console: Console, broker: str) -> None:
        super().__init__(logging.WARNING)
        self.console = console
        self.broker = broker
        self.text = f"waiting for approval in the {broker} app"
        self.started: float | None = None
        self.stopped = threading.Event()
        self.thread: threading.Thread | None = None

    def emit(self, record: logging.LogRecord) -> None:
        if self.started is not None:
            return
        self.started = time.monotonic()
        if self.console.is_terminal:
            self.thread = threading.Thread(target=self._tick, name="morbex-approval", daemon=True)
            self.thread.start()
        else:
            self.console.say(f"{self.text}...")

    def _tick(self) -> None:
        while True:
            self.console.refresh(f"{self.text}... {self.elapsed()} s")
            if self.stopped.wait(1.0):
                return

    def elapsed(self) -> int:
        return 0 if self.started is None else int(time.monotonic() - self.started)

    def stop(self, approved: bool) -> None:
        self.stopped.set()
        if self.thread is not None:
            self.thread.join()
        if self.started is None:
            return
        if self.thread is not None:
            self.console.refresh(f"{self.text}... {self.elapsed()} s")
            self.console.end_line()
        if approved:
            self.console.say(f"approved in the {self.broker} app after {self.elapsed()} s")


@contextlib.contextmanager
def watching_approval(console: Console, broker: str) -> Iterator[None]:
    logger = logging.getLogger("morbex")
    watch = ApprovalWatch(console, broker)
    logger.addHandler(watch)
    approved = False
    try:
        yield
        approved = True
    finally:
        logger.removeHandler(watch)
        watch.stop(approved)
