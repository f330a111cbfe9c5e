"""morbex on the command line: log in to a broker, write the account's holdings, log out.

    morbex holdings [--format json|csv|table] [--output FILE] [--username NAME] ...

The password, and a TOTP secret if the account has one, come from the
environment (DEGIRO_PASSWORD, DEGIRO_TOTP_SECRET) or a prompt that does not
echo, never from an option: options end up in shell history and process lists.

Exit status: 0 done; 1 any other failure; 2 a usage error; 3 the broker
refused the login; 4 the broker could not be reached or answered wrongly;
130 interrupted.
"""

from __future__ import annotations

import argparse
import contextlib
import csv
import getpass
import io
import json
import logging
import os
import re
import shutil
import stat
import sys
import tempfile
import threading
import time
import traceback
import unicodedata
import urllib.parse
from collections.abc import Callable, Iterator, Sequence
from importlib import metadata
from typing import Any, NoReturn, TextIO

from morbex.brokers import Brokers

PROG = "morbex"

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2  # argparse's own
EXIT_REFUSED = 3
EXIT_UNREACHABLE = 4
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it

# The keys of every holding, in the order the broker writes them.
FIELDS = (
    "internal_id",
    "isin",
    "ticker",
    "ticker_suffix",
    "company",
    "exchange_id",
    "exchange_name",
    "exchange_city",
    "exchange_country",
    "currency",
    "quantity",
)

LOGIN_FAILED = "Failed to authenticate with Degiro API: "
REFUSALS = ("DEGIRO refused the login", "the login was not approved in the DEGIRO app")
READ_FAILED = "Could not read "

DEGIRO_URL = "https://trader.degiro.nl"
URL_VARIABLE = "MORBEX_DEGIRO_URL"


def exit_code(error: BaseException) -> int:
    """The exit status for a failure: the one place that reads the library's messages."""
    if isinstance(error, KeyboardInterrupt):
        return EXIT_INTERRUPTED
    if isinstance(error, ConnectionError):
        message = str(error)
        if message.startswith(LOGIN_FAILED):
            reason = message.removeprefix(LOGIN_FAILED)
            return EXIT_REFUSED if reason.startswith(REFUSALS) else EXIT_UNREACHABLE
        if message.startswith(READ_FAILED):
            return EXIT_UNREACHABLE
    return EXIT_FAILURE


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


# -- what a person sees on stderr -----------------------------------------------


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
    approval in the DEGIRO app, then polls until approved or out of time; the
    call blocks all the while, so a thread keeps the count moving.
    """

    TEXT = "waiting for approval in the DEGIRO app"

    def __init__(self, console: Console) -> None:
        super().__init__(logging.WARNING)
        self.console = console
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
            self.console.say(f"{self.TEXT}...")

    def _tick(self) -> None:
        while True:
            self.console.refresh(f"{self.TEXT}... {self.elapsed()} s")
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
            self.console.refresh(f"{self.TEXT}... {self.elapsed()} s")
            self.console.end_line()
        if approved:
            self.console.say(f"approved in the DEGIRO app after {self.elapsed()} s")


@contextlib.contextmanager
def watching_approval(console: Console) -> Iterator[None]:
    logger = logging.getLogger("morbex")
    watch = ApprovalWatch(console)
    logger.addHandler(watch)
    approved = False
    try:
        yield
        approved = True
    finally:
        logger.removeHandler(watch)
        watch.stop(approved)


# -- formats ----------------------------------------------------------------------


def as_json(text: str, indent: int | None) -> str:
    if indent is None:
        return text + "\n"
    # Escaped or not, non-ASCII stays as the library wrote it.
    return json.dumps(json.loads(text), indent=indent, ensure_ascii=text.isascii()) + "\n"


def as_csv(holdings: list[dict[str, Any]]) -> str:
    out = io.StringIO()
    writer = csv.writer(out)
    writer.writerow(FIELDS)
    # csv writes None as an empty cell.
    writer.writerows([holding.get(key) for key in FIELDS] for holding in holdings)
    return out.getvalue()


def cell_width(text: str) -> int:
    """Columns a terminal gives the text: wide East Asian characters take two, combining marks none."""
    return sum(
        0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text
    )


def fit(text: str, width: int) -> str:
    """The text cut to the width (ending in '…' when cut), padded with spaces to it."""
    if cell_width(text) > width:
        kept = []
        used = 0
        for c in text:
            w = cell_width(c)
            if used + w > width - 1:
                break
            kept.append(c)
            used += w
        text = "".join(kept) + "…"
    return text + " " * (width - cell_width(text))


def quantity_text(value: Any) -> str:
    if isinstance(value, float) and value.is_integer():
        return f"{value:.0f}"
    return "" if value is None else str(value)


def as_table(holdings: list[dict[str, Any]], columns: int) -> str:
    def text(value: Any) -> str:
        return "" if value is None else str(value)

    headers = ("TICKER", "COMPANY", "QUANTITY", "CURRENCY", "EXCHANGE", "ISIN")
    rows = [
        (
            text(h.get("ticker_suffix")),
            text(h.get("company")),
            quantity_text(h.get("quantity")),
            text(h.get("currency")),
            text(h.get("exchange_name") if h.get("exchange_name") is not None else h.get("exchange_id")),
            text(h.get("isin")),
        )
        for h in holdings
    ]
    widths = [max(cell_width(cell) for cell in column) for column in zip(headers, *rows)]
    # Too wide for the terminal: the company and exchange names give way,
    # the wider first, down to a floor that keeps them recognisable.
    gap = 2
    shrinkable = {1: 12, 4: 10}  # column: narrowest width
    excess = sum(widths) + gap * (len(widths) - 1) - columns
    while excess > 0:
        index = max(shrinkable, key=lambda i: widths[i] - shrinkable[i])
        if widths[index] <= shrinkable[index]:
            break
        widths[index] -= 1
        excess -= 1
    right_aligned = {2}
    lines = []
    for row in (headers, *rows):
        cells = []
        for i, cell in enumerate(row):
            cell = fit(cell, widths[i])
            if i in right_aligned:
                cell = cell.strip(" ").rjust(widths[i])
            cells.append(cell)
        lines.append((" " * gap).join(cells).rstrip())
    count = len(holdings)
    lines.append(f"{count} holding{'' if count == 1 else 's'}")
    return "\n".join(lines) + "\n"


def render(text: str, fmt: str, indent: int | None) -> tuple[str, int]:
    """The output for a format, and the number of holdings."""
    holdings: list[dict[str, Any]] = json.loads(text)
    if fmt == "csv":
        return as_csv(holdings), len(holdings)
    if fmt == "table":
        return as_table(holdings, shutil.get_terminal_size().columns), len(holdings)
    return as_json(text, indent), len(holdings)


# -- output -----------------------------------------------------------------------


class WriteError(Exception):
    """Writing the output failed; the message says where and why."""


def check_writable(path: str) -> None:
    """Refuse early, before a login, a target that could never be written."""
    folder = os.path.dirname(os.path.realpath(path))
    if not os.path.isdir(folder):
        raise WriteError(f"cannot write {path}: no such folder {folder}")
    if os.path.isdir(path):
        raise WriteError(f"cannot write {path}: it is a folder")


def write_atomically(path: str, text: str) -> None:
    """Write a whole new file, then rename it over the target.

    A reader sees the old file or the new one, never part of one; on any
    failure, an interrupt included, the old file is left as it was and the
    temporary file is removed.
    """
    target = os.path.realpath(path)  # a symlink keeps pointing at the new file
    folder, name = os.path.split(target)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
    try:
        with open(fd, "w", encoding="utf-8", newline="") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_output(path: str | None, text: str) -> None:
    if path is None or path == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    try:
        write_atomically(path, text)
    except OSError as error:
        raise WriteError(f"cannot write {path}: {error.strerror or error}") from error


# -- the broker -------------------------------------------------------------------


def point_connector_at(base_url: str) -> None:
    """Send every DEGIRO request of the connector to base_url instead."""
    from degiro_connector.core.constants import urls

    base = base_url.rstrip("/")
    for name, value in list(vars(urls).items()):
        if isinstance(value, str) and value.startswith(DEGIRO_URL):
            setattr(urls, name, base + value.removeprefix(DEGIRO_URL))


def fetch_holdings(credentials: dict[str, Any], broker_name: str, console: Console) -> str:
    """Log in, read the holdings, log out: logged out whatever fails once logged in."""
    from morbex.broker import AuthenticationMethods, authenticate, logout

    method = AuthenticationMethods.USERNAME_PASSWORD
    console.say("logging in to DEGIRO...")
    with watching_approval(console):
        broker = authenticate(Brokers(broker_name), method, **credentials)
    try:
        console.say("reading the holdings...")
        text: str = broker.get_current_stock_holdings()
    finally:
        try:
            logout(broker, method)
        except Exception as error:
            # The session ends on its own when DEGIRO times it out; what was
            # read is still good.
            console.say(f"warning: could not log out: {one_line(error)}")
        else:
            console.say("logged out")
    return text


# -- the command line ---------------------------------------------------------------


def version() -> str:
    try:
        return metadata.version("morbex")
    except metadata.PackageNotFoundError:
        return "unknown"


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    # Whole seconds stay whole in the broker's messages ("within 3 s").
    return int(value) if value.is_integer() else value


def indent_width(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value <= 16:
        raise argparse.ArgumentTypeError(f"must be from 0 to 16: {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read a broker account's current stock holdings.",
        epilog="Exit status: 0 done, 1 failure, 2 usage error, 3 login refused, "
        "4 broker unreachable or answering wrongly, 130 interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    holdings = commands.add_parser(
        "holdings",
        help="log in, write the account's current stock holdings, log out",
        description="Log in, write the account's current stock holdings, log out. "
        "The password comes from DEGIRO_PASSWORD or a prompt, a TOTP secret from DEGIRO_TOTP_SECRET.",
    )
    holdings.set_defaults(command_parser=holdings)
    holdings.add_argument("--broker", choices=[str(b) for b in Brokers], default=str(Brokers.DEGIRO))
    holdings.add_argument("--username", help="the login name (default: $DEGIRO_USERNAME)")
    holdings.add_argument(
        "--int-account",
        metavar="NUMBER",
        help="the account number (default: $DEGIRO_INT_ACCOUNT; without it, it is read once logged in)",
    )
    holdings.add_argument("--otp", action="store_true", help="ask for a one-time code from an authenticator app")
    holdings.add_argument("--format", choices=("json", "csv", "table"), default="json")
    holdings.add_argument("--indent", type=indent_width, metavar="N", help="pretty JSON, N spaces deep")
    holdings.add_argument("--output", metavar="FILE", help="write to FILE (replaced whole) instead of stdout")
    holdings.add_argument("--timeout", type=seconds, metavar="S", help="seconds to wait for each answer")
    holdings.add_argument(
        "--in-app-timeout",
        type=seconds,
        metavar="S",
        help="seconds to wait for approval in the DEGIRO app",
    )
    holdings.add_argument("--debug", action="store_true", help="log everything (secrets hidden) and show tracebacks")
    return parser


def ask(prompt: str) -> str | None:
    """A line typed without echo; from a pipe, its next line. None at end of input."""
    if sys.stdin is None:
        return None
    if sys.stdin.isatty():
        try:
            return getpass.getpass(prompt)
        except EOFError:
            return None
    # No prompt for a pipe (`pass show degiro | morbex holdings`): nobody reads it.
    line = sys.stdin.readline()
    return line.rstrip("\r\n") if line else None


def credentials_from(
    args: argparse.Namespace, console: Console, fail: Callable[[str], NoReturn]
) -> dict[str, Any]:
    def env(name: str) -> str | None:
        return os.environ.get(name) or None  # set but empty counts as unset

    username = args.username or env("DEGIRO_USERNAME")
    if not username:
        fail("a username is needed: --username or DEGIRO_USERNAME")
    credentials: dict[str, Any] = {"username": username}

    account = args.int_account or env("DEGIRO_INT_ACCOUNT")
    if account is not None:
        try:
            credentials["int_account"] = int(account)
        except ValueError:
            fail("the account number must be a whole number")

    totp_secret = env("DEGIRO_TOTP_SECRET")
    if totp_secret and args.otp:
        fail("--otp asks for a code, but DEGIRO_TOTP_SECRET makes codes: use one or the other")

    password = env("DEGIRO_PASSWORD") or ask("Password: ")
    console.redact.add(password)
    if not password:
        fail("a password is needed: DEGIRO_PASSWORD or the prompt")
    credentials["password"] = password

    if totp_secret:
        console.redact.add(totp_secret)
        credentials["totp_secret_key"] = totp_secret
    if args.otp:
        code = ask("One-time code: ")
        console.redact.add(code)
        if not code:
            fail("--otp needs a one-time code")
        # As typed: a leading zero is part of the code.
        credentials["one_time_password"] = code.strip()
    if args.timeout is not None:
        credentials["timeout"] = args.timeout
    if args.in_app_timeout is not None:
        credentials["in_app_timeout"] = args.in_app_timeout
    return credentials


def one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    if isinstance(error, ConnectionError) and text.startswith(LOGIN_FAILED):
        return "login failed: " + text.removeprefix(LOGIN_FAILED)
    if isinstance(error, (ConnectionError, WriteError)):
        return text
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def holdings_command(args: argparse.Namespace, console: Console) -> int:
    parser: argparse.ArgumentParser = args.command_parser

    def fail(message: str) -> NoReturn:
        parser.error(message)

    if args.indent is not None and args.format != "json":
        fail("--indent applies to --format json only")
    to_file = args.output not in (None, "-")
    if to_file:
        check_writable(args.output)
    credentials = credentials_from(args, console, fail)
    if base_url := os.environ.get(URL_VARIABLE):
        point_connector_at(base_url)
        console.say(f"using the DEGIRO server at {base_url.rstrip('/')} ({URL_VARIABLE})")
    text = fetch_holdings(credentials, args.broker, console)
    output, count = render(text, args.format, args.indent)
    write_output(args.output, output)
    noun = "holding" if count == 1 else "holdings"
    if to_file:
        console.say(f"wrote {count} {noun} to {args.output}")
    elif args.format != "table":  # the table ends with its own count
        console.say(f"{count} {noun}")
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; the exit status is returned, for sys.exit."""
    redact = Redactor()
    console = Console(sys.stderr, redact)
    debug = False
    try:
        args = build_parser().parse_args(argv)
        debug = args.debug
        with logging_to(sys.stderr, redact, debug):
            return holdings_command(args, console)
    except KeyboardInterrupt:
        console.say("interrupted")
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`morbex holdings | head`): nothing left to tell
        # it, and nothing for the interpreter to flush at exit either.
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FAILURE
    except Exception as error:
        if debug:
            console.end_line()
            sys.stderr.write(redact("".join(traceback.format_exception(error))))
        console.say(f"error: {one_line(error)}")
        return exit_code(error)
