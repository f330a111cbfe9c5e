"""Where each credential comes from: the broker's row says, this reads it.

Secrets come from the environment or a prompt that does not echo, never from
an option: options end up in shell history and process lists.
"""

from __future__ import annotations

import argparse
import getpass
import os
import sys
from collections.abc import Callable
from typing import Any, NoReturn

from morbex.cli.arguments import dest
from morbex.cli.console import Console
from morbex.cli.logins import Credential, Login


def env(name: str | None) -> str | None:
    if name is None:
        return None
    return os.environ.get(name) or None  # set but empty counts as unset


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


def option_value(args: argparse.Namespace, flag: str | None) -> Any:
    return getattr(args, dest(flag)) if flag else None


def credentials_from(
    login: Login, args: argparse.Namespace, console: Console, fail: Callable[[str], NoReturn]
) -> dict[str, Any]:
    """The keywords `authenticate` gets: the row's credentials, then the waits.

    Everything that needs no person is read and checked before anything is
    asked, so a usage error never follows a typed password.
    """

    def wanted(c: Credential) -> bool:
        # A credential asked with a switch is not read at all without it.
        return c.asked_with is None or bool(option_value(args, c.asked_with))

    def missing(c: Credential) -> NoReturn:
        if c.asked_with is not None:
            fail(f"{c.asked_with} needs {c.noun}")
        sources = [s for s in (c.option, c.variable, c.prompt and "the prompt") if s]
        fail(f"{c.noun} is needed: {' or '.join(sources)}")

    def converted(c: Credential, text: str) -> Any:
        if c.convert is None:
            return text
        try:
            return c.convert(text)
        except ValueError:
            fail(c.invalid)

    wanted_credentials = [c for c in login.credentials if wanted(c)]
    values: dict[str, Any] = {}
    for c in wanted_credentials:
        text = None if c.asked_with else option_value(args, c.option) or env(c.variable)
        if c.secret:
            console.redact.add(text)
        if text:
            values[c.keyword] = converted(c, text)
        elif c.required and c.prompt is None:
            missing(c)

    # What will be asked counts as given already.
    offered = {c.keyword for c in wanted_credentials if c.keyword in values or c.asked_with}
    for conflict in login.conflicts:
        if {conflict.first, conflict.second} <= offered:
            fail(conflict.message)

    for c in wanted_credentials:
        if c.keyword in values or c.prompt is None:
            continue
        text = ask(c.prompt)
        if c.secret:
            console.redact.add(text)
        if not text:
            if c.required:
                missing(c)
            continue
        values[c.keyword] = converted(c, text)

    # In the row's order, whichever way each was given.
    credentials = {c.keyword: values[c.keyword] for c in login.credentials if c.keyword in values}
    if args.timeout is not None:
        credentials["timeout"] = args.timeout
    for option in login.options:
        if option.keyword is not None and option.given(args):
            credentials[option.keyword] = getattr(args, option.dest)
    return credentials


def use_server(login: Login, credentials: dict[str, Any], console: Console) -> None:
    """Put the test server of the row's variable, when set, in place of the broker's own."""
    server = login.server
    if server is None or not (base_url := os.environ.get(server.variable)):
        return
    if server.point is not None:
        server.point(base_url)
    if server.keyword is not None:
        credentials[server.keyword] = base_url.rstrip("/")
    console.say(f"using the {login.name} server at {base_url.rstrip('/')} ({server.variable})")
