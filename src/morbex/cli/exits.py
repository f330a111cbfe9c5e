"""How a failure ends the command: its exit status, decided by type in one place, and its one line."""

from __future__ import annotations

from morbex.cli.formats import WriteError
from morbex.errors import BrokerUnavailable, LoginRefused, SessionExpired

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2  # argparse's own
EXIT_REFUSED = 3
EXIT_UNREACHABLE = 4
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports it

# The broker's failures by kind, most specific first: ApprovalTimeout is a
# LoginRefused, RateLimited a BrokerUnavailable.
EXIT_BY_TYPE: tuple[tuple[type[BaseException], int], ...] = (
    (KeyboardInterrupt, EXIT_INTERRUPTED),
    (LoginRefused, EXIT_REFUSED),
    (BrokerUnavailable, EXIT_UNREACHABLE),
    (SessionExpired, EXIT_UNREACHABLE),
)

# DEGIRO's message texts: how a failed login shows on its one line, and how an
# untyped ConnectionError is still sorted (see untyped_exit_code).
LOGIN_FAILED = "Failed to authenticate with Degiro API: "
REFUSALS = ("DEGIRO refused the login", "the login was not approved in the DEGIRO app")


def exit_code(error: BaseException) -> int:
    """The exit status for a failure."""
    for kind, status in EXIT_BY_TYPE:
        if isinstance(error, kind):
            return status
    if isinstance(error, ConnectionError):
        return untyped_exit_code(error)
    return EXIT_FAILURE


def untyped_exit_code(error: ConnectionError) -> int:
    """The fallback for a ConnectionError that is none of morbex.errors' types.

    A broker that still raises plain ConnectionError says what happened only
    in its text: a refusal after the login prefix is the user's to fix;
    anything else (a failed login, a read that failed, a connection lost) is
    a broker that could not be reached or answered wrongly. This is the only
    place that reads a message to decide a status; it goes once every broker
    raises the typed errors.
    """
    message = str(error)
    if message.startswith(LOGIN_FAILED):
        reason = message.removeprefix(LOGIN_FAILED)
        return EXIT_REFUSED if reason.startswith(REFUSALS) else EXIT_UNREACHABLE
    return EXIT_UNREACHABLE


def one_line(error: BaseException) -> str:
    text = " ".join(str(error).split())
    if isinstance(error, ConnectionError) and text.startswith(LOGIN_FAILED):
        return "login failed: " + text.removeprefix(LOGIN_FAILED)
    if isinstance(error, (ConnectionError, WriteError)):
        return text
    return f"{type(error).__name__}: {text}" if text else type(error).__name__
