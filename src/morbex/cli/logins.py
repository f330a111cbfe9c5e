"""The broker table: what the command line knows of each broker, one row per `Brokers` member.

A row is data: how the facade is called (the authentication method), where
each credential keyword comes from (an option, an environment variable, a
prompt that does not echo), the broker's own options, how a test server is
put in place of the real one, and the name a person reads in progress lines.
Supporting another broker on the command line is adding its row.
"""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

from morbex.brokers import Brokers
from morbex.cli.arguments import Option, seconds


@dataclass(frozen=True)
class Credential:
    """One keyword of the login and where its value comes from, tried in this order:
    the option, the environment variable (set but empty counts as unset), the prompt."""

    keyword: str  # what `authenticate` gets it as
    noun: str  # in messages: "a password is needed: ..."
    option: str | None = None  # the flag of one of the row's options; never for a secret
    variable: str | None = None
    prompt: str | None = None  # asked without echo (a line of stdin when it is a pipe)
    asked_with: str | None = None  # asked only when this switch of the row's options is given
    secret: bool = False  # hidden as *** in everything the command prints
    required: bool = True
    convert: Callable[[str], Any] | None = None  # the text to the keyword's value; ValueError if it cannot
    invalid: str = ""  # the usage error when convert refuses the text


@dataclass(frozen=True)
class Conflict:
    """Two credentials that must not both be given, and the usage error when they are."""

    first: str
    second: str
    message: str


@dataclass(frozen=True)
class Server:
    """Another server in place of the broker's own, for testing: its URL from `variable`."""

    variable: str  # MORBEX_<BROKER>_URL
    keyword: str | None = None  # passed to `authenticate` as this keyword...
    point: Callable[[str], None] | None = None  # ...or the broker's library is pointed at it


@dataclass(frozen=True)
class Login:
    """One row of the broker table."""

    name: str  # as a person reads it: "logging in to DEGIRO..."
    method: str  # the AuthenticationMethods member's name, for authenticate and logout alike
    help: str  # the sentence `morbex holdings --help` says about the credentials
    credentials: tuple[Credential, ...]  # read, then asked for, in this order
    options: tuple[Option, ...] = ()
    conflicts: tuple[Conflict, ...] = ()
    server: Server | None = None
    in_app_approval: bool = False  # the login may wait for approval in the broker's app


DEGIRO_URL = "https://trader.degiro.nl"


def point_connector_at(base_url: str) -> None:
    """Send every DEGIRO request of the connector to base_url instead."""
    from degiro_connector.core.constants import urls

    base = base_url.rstrip("/")
    for name, value in list(vars(urls).items()):
        if isinstance(value, str) and value.startswith(DEGIRO_URL):
            setattr(urls, name, base + value.removeprefix(DEGIRO_URL))


BROKERS: dict[Brokers, Login] = {
    Brokers.DEGIRO: Login(
        name="DEGIRO",
        method="USERNAME_PASSWORD",
        help="The password comes from DEGIRO_PASSWORD or a prompt, a TOTP secret from DEGIRO_TOTP_SECRET.",
        credentials=(
            Credential("username", "a username", option="--username", variable="DEGIRO_USERNAME"),
            Credential(
                "int_account",
                "the account number",
                option="--int-account",
                variable="DEGIRO_INT_ACCOUNT",
                required=False,
                convert=int,
                invalid="the account number must be a whole number",
            ),
            Credential("password", "a password", variable="DEGIRO_PASSWORD", prompt="Password: ", secret=True),
            Credential("totp_secret_key", "a TOTP secret", variable="DEGIRO_TOTP_SECRET", secret=True, required=False),
            # As typed but for blanks around it: a leading zero is part of the code.
            Credential(
                "one_time_password",
                "a one-time code",
                prompt="One-time code: ",
                asked_with="--otp",
                secret=True,
                convert=str.strip,
            ),
        ),
        options=(
            Option("--username", help="the login name (default: $DEGIRO_USERNAME)"),
            Option(
                "--int-account",
                metavar="NUMBER",
                help="the account number (default: $DEGIRO_INT_ACCOUNT; without it, it is read once logged in)",
            ),
            Option("--otp", switch=True, help="ask for a one-time code from an authenticator app"),
            Option(
                "--in-app-timeout",
                type=seconds,
                metavar="S",
                help="seconds to wait for approval in the DEGIRO app",
                keyword="in_app_timeout",
                waits=True,
            ),
        ),
        conflicts=(
            Conflict(
                "totp_secret_key",
                "one_time_password",
                "--otp asks for a code, but DEGIRO_TOTP_SECRET makes codes: use one or the other",
            ),
        ),
        server=Server("MORBEX_DEGIRO_URL", point=point_connector_at),
        in_app_approval=True,
    ),
    Brokers.TRADING212: Login(
        name="Trading 212",
        method="TOKEN",
        help="The API key comes from TRADING212_API_KEY or a prompt, its secret from TRADING212_API_SECRET or a "
        "prompt.",
        credentials=(
            Credential("api_key", "an API key", variable="TRADING212_API_KEY", prompt="API key: ", secret=True),
            Credential("api_secret", "an API secret", variable="TRADING212_API_SECRET", prompt="API secret: ",
                       secret=True),
        ),
        options=(Option("--demo", switch=True, keyword="demo", help="the paper-trading account"),),
        server=Server("MORBEX_TRADING212_URL", keyword="base_url"),
    ),
    Brokers.IBKR: Login(
        name="Interactive Brokers",
        method="TOKEN",
        help="The Flex Web Service token comes from IBKR_FLEX_TOKEN or a prompt, the Flex query's id from "
        "IBKR_FLEX_QUERY_ID or a prompt.",
        credentials=(
            Credential("token", "a Flex Web Service token", variable="IBKR_FLEX_TOKEN", prompt="Flex token: ",
                       secret=True),
            # Not a password, but it names the account's statement: shown nowhere either.
            Credential("query_id", "a Flex query id", variable="IBKR_FLEX_QUERY_ID", prompt="Flex query id: ",
                       secret=True),
        ),
        options=(
            Option(
                "--statement-timeout",
                type=seconds,
                metavar="S",
                help="seconds to wait for Interactive Brokers to make the statement",
                keyword="statement_timeout",
                waits=True,
            ),
        ),
        server=Server("MORBEX_IBKR_URL", keyword="base_url"),
    ),
}
