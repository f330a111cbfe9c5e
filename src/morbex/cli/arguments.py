"""The command line's arguments: the argparse parser, with each broker's own options from the broker table."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Mapping
from dataclasses import dataclass
from importlib import metadata
from typing import TYPE_CHECKING, Any

from morbex.brokers import Brokers
from morbex.cli.console import PROG
from morbex.cli.formats import FORMATS

if TYPE_CHECKING:
    from morbex.cli.logins import Login


def dest(flag: str) -> str:
    """Where argparse keeps an option's value: "--int-account" in args.int_account."""
    return flag.removeprefix("--").replace("-", "_")


@dataclass(frozen=True)
class Option:
    """An option of `morbex holdings` that one broker's row brings."""

    flag: str  # "--int-account"
    help: str
    metavar: str | None = None
    type: Callable[[str], Any] = str
    switch: bool = False  # on when given, with no value
    # The keyword `authenticate` gets the option's value as, when given; None
    # for an option a credential reads (or that makes one be asked for).
    keyword: str | None = None
    # Listed with --timeout, after the output options, rather than after --broker.
    waits: bool = False

    @property
    def dest(self) -> str:
        return dest(self.flag)

    def given(self, args: argparse.Namespace) -> bool:
        value = getattr(args, self.dest)
        return value is not None and value is not False  # a switch left off is False

    def add_to(self, parser: argparse.ArgumentParser) -> None:
        if self.switch:
            parser.add_argument(self.flag, action="store_true", help=self.help)
        else:
            parser.add_argument(self.flag, type=self.type, metavar=self.metavar, help=self.help)


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


def broker_options(brokers: Mapping[Brokers, Login]) -> dict[str, tuple[Option, list[Brokers]]]:
    """Every broker's options by flag, in table order, each with the brokers it applies to."""
    options: dict[str, tuple[Option, list[Brokers]]] = {}
    for broker, login in brokers.items():
        for option in login.options:
            options.setdefault(option.flag, (option, []))[1].append(broker)
    return options


def add_login_and_output(command: argparse.ArgumentParser, brokers: Mapping[Brokers, Login]) -> None:
    """What every command takes: the broker, its login options, the output and the waits."""
    command.set_defaults(command_parser=command)
    # The first broker of the table is the default.
    command.add_argument("--broker", choices=[str(b) for b in brokers], default=str(next(iter(brokers))))
    options = [option for option, _ in broker_options(brokers).values()]
    for option in options:
        if not option.waits:
            option.add_to(command)
    command.add_argument("--format", choices=FORMATS, default="json")
    command.add_argument("--indent", type=indent_width, metavar="N", help="pretty JSON, N spaces deep")
    command.add_argument("--output", metavar="FILE", help="write to FILE (replaced whole) instead of stdout")
    command.add_argument("--timeout", type=seconds, metavar="S", help="seconds to wait for each answer")
    for option in options:
        if option.waits:
            option.add_to(command)
    command.add_argument("--debug", action="store_true", help="log everything (secrets hidden) and show tracebacks")


def build_parser(brokers: Mapping[Brokers, Login]) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read a broker account's current stock holdings, what they are worth, and its cash.",
        epilog="Exit status: 0 done, 1 failure, 2 usage error, 3 login refused, "
        "4 broker unreachable or answering wrongly, 130 interrupted.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    credentials = [b.help for b in brokers.values()]
    holdings = commands.add_parser(
        "holdings",
        help="log in, write the account's current stock holdings, log out",
        description=" ".join(["Log in, write the account's current stock holdings, log out.", *credentials]),
    )
    add_login_and_output(holdings, brokers)
    holdings.add_argument(
        "--values",
        action="store_true",
        help="with each holding its price, value and cost, as the broker reports them (the table adds totals)",
    )
    cash = commands.add_parser(
        "cash",
        help="log in, write the account's cash balances, log out",
        description=" ".join(["Log in, write the account's cash balance in each currency, log out.", *credentials]),
    )
    add_login_and_output(cash, brokers)
    return parser
