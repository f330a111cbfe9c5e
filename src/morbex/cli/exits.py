"""How a failure ends the command: its exit status, decided by type in one place, and its one line."""

from __future__ import annotations

import re

from morbex.cli.formats import WriteError
from morbex.errors import BrokerUnavailable, LoginRefused, SessionExpired

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2  # argparse's own
EXIT_REFUSED = 3
EXIT_UNREACHABLE = 4
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it

# The broker's failures by kind, most specific first: ApprovalTimeout is a
# LoginRefused, RateLimited a BrokerUnavailable. Any other ConnectionError is
# a broker that could not be reached or answered wrongly.
EXIT_BY_TYPE: tuple[tuple[type[BaseException], int], ...] = (
    (KeyboardInterrupt, EXIT_INTERRUPTED),
    (LoginRefused, EXIT_REFUSED),
    (BrokerUnavailable, EXIT_UNREACHABLE),
    (SessionExpired, EXIT_UNREACHABLE),
    (ConnectionError, EXIT_UNREACHABLE),
)

# How every broker words a failed login: "Failed to authenticate with <broker
# API>: <why>"; its one line says "login failed: <why>".
LOGIN_FAILED = re.compile(r"Failed to authenticate with [^:]+: ")


def exit_code(error: BaseException) -> int:
    """The exit status for a failure."""
    for kind, status in EXIT_BY_TYPE:
        if isinstance(error, kind):
            return status
    return EXIT_FAILURE


def one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    if isinstance(error, ConnectionError) and (prefix := LOGIN_FAILED.match(text)):
        return "login failed: " + text[prefix.end() :]
    if isinstance(error, (ConnectionError, WriteError)):
        return text
    return f"{type(error).__name__}: {text}" if text else type(error).__name__
