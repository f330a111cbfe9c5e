"""morbex on the command line: log in to a broker, write the account's holdings (and what they
are worth) or its cash, log out.

    morbex holdings [--values] [--format json|csv|table] [--output FILE] [--username NAME] ...
    morbex cash [--format json|csv|table] [--output FILE] [--username NAME] ...

The password, and a TOTP secret if the account has one, come from the
environment (DEGIRO_PASSWORD, DEGIRO_TOTP_SECRET) or a prompt that does not
echo, never from an option: options end up in shell history and process lists.

Exit status: 0 done; 1 any other failure; 2 a usage error; 3 the broker
refused the login; 4 the broker could not be reached or answered wrongly;
130 interrupted.

The parts: arguments (the parser), logins (the broker table: one row per
broker), credentials (where each credential comes from), console (stderr,
secrets hidden), formats (the output and writing it safely), exits (exit
statuses by exception type).
"""

from __future__ import annotations

import argparse
import contextlib
import os
import sys
import traceback
from collections.abc import Sequence
from typing import Any, NoReturn

from morbex.brokers import Brokers
from morbex.cli.arguments import broker_options, build_parser
from morbex.cli.console import Console, Redactor, logging_to, watching_approval
from morbex.cli.credentials import credentials_from, use_server
from morbex.cli.exits import EXIT_FAILURE, EXIT_INTERRUPTED, EXIT_OK, exit_code, one_line
from morbex.cli.formats import KINDS, check_writable, counted, render, write_output
from morbex.cli.logins import BROKERS, Login


# What a command reads of the broker once logged in: (what the progress line
# names, the operation, the kind of records it gives).
READS: dict[tuple[str, bool], tuple[str, str, str]] = {
    ("holdings", False): ("the holdings", "get_current_stock_holdings", "holdings"),
    ("holdings", True): ("the holdings and their values", "get_positions", "positions"),
    ("cash", False): ("the cash balances", "get_cash_balances", "cash"),
}


def fetch(
    login: Login, credentials: dict[str, Any], broker: Brokers, console: Console, what: str, operation: str
) -> Any:
    """Log in, read, log out: logged out whatever fails once logged in."""
    from morbex.broker import AuthenticationMethods, authenticate, logout

    # The row's method for both: a token broker logs out with TOKEN too.
    method = AuthenticationMethods[login.method]
    console.say(f"logging in to {login.name}...")
    waiting = watching_approval(console, login.name) if login.in_app_approval else contextlib.nullcontext()
    with waiting:
        session = authenticate(broker, method, **credentials)
    try:
        console.say(f"reading {what}...")
        read = getattr(session, operation)()
    finally:
        try:
            logout(session, method)
        except Exception as error:
            # The session ends on its own when the broker times it out; what
            # was read is still good.
            console.say(f"warning: could not log out: {one_line(error)}")
        else:
            console.say("logged out")
    return read


def command(args: argparse.Namespace, console: Console) -> int:
    parser: argparse.ArgumentParser = args.command_parser

    def fail(message: str) -> NoReturn:
        parser.error(message)

    broker = Brokers(args.broker)
    login = BROKERS[broker]
    if args.indent is not None and args.format != "json":
        fail("--indent applies to --format json only")
    for option, brokers in broker_options(BROKERS).values():
        if broker not in brokers and option.given(args):
            fail(f"{option.flag} applies to --broker {' or '.join(map(str, brokers))} only")
    to_file = args.output not in (None, "-")
    if to_file:
        check_writable(args.output)
    credentials = credentials_from(login, args, console, fail)
    use_server(login, credentials, console)
    what, operation, kind = READS[args.command, getattr(args, "values", False)]
    read = fetch(login, credentials, broker, console, what, operation)
    output, count = render(read, kind, args.format, args.indent)
    noun = KINDS[kind].noun
    write_output(args.output, output)
    if to_file:
        console.say(f"wrote {counted(count, noun)} to {args.output}")
    elif args.format != "table":  # the table ends with its own count
        console.say(counted(count, noun))
    return EXIT_OK


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; the exit status is returned, for sys.exit."""
    redact = Redactor()
    console = Console(sys.stderr, redact)
    debug = False
    try:
        args = build_parser(BROKERS).parse_args(argv)
        debug = args.debug
        with logging_to(sys.stderr, redact, debug):
            return command(args, console)
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
