"""Log in to DEGIRO, print the account's current stock holdings as pretty JSON, log out.

By default this runs against the bundled DEGIRO sandbox (sandbox/), offline, with
its seeded demo account.  Given a username it talks to the real DEGIRO instead:

    python examples/holdings.py                          # the sandbox
    python examples/holdings.py --username jdoe          # the real DEGIRO; asks for the password
    DEGIRO_USERNAME=jdoe DEGIRO_PASSWORD=... DEGIRO_INT_ACCOUNT=1234567 python examples/holdings.py

The environment variables are this example's own; the library reads none.  Without
an account number the broker looks it up itself (one extra login).
"""

import argparse
import getpass
import json
import os
import sys
from contextlib import ExitStack
from pathlib import Path
from typing import Any

from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers


def parse_args() -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--username", default=os.environ.get("DEGIRO_USERNAME"))
    parser.add_argument(
        "--password",
        default=os.environ.get("DEGIRO_PASSWORD"),
        help="prefer DEGIRO_PASSWORD or the prompt: arguments end up in shell history",
    )
    parser.add_argument("--int-account", type=int, default=os.environ.get("DEGIRO_INT_ACCOUNT"))
    return parser.parse_args()


def fetch_holdings(credentials: dict[str, Any]) -> list[dict[str, Any]]:
    broker = authenticate(Brokers.DEGIRO, AuthenticationMethods.USERNAME_PASSWORD, **credentials)
    try:
        holdings: list[dict[str, Any]] = json.loads(broker.get_current_stock_holdings())
        return holdings
    finally:
        logout(broker, AuthenticationMethods.USERNAME_PASSWORD)


def main() -> None:
    args = parse_args()
    with ExitStack() as stack:
        if args.username:
            credentials: dict[str, Any] = {"username": args.username, "password": args.password or getpass.getpass("Password: ")}
            if args.int_account:
                credentials["int_account"] = int(args.int_account)
        else:
            sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "sandbox"))
            from degiro_sandbox import PASSWORD, USERNAME, Sandbox

            sandbox = stack.enter_context(Sandbox())
            stack.enter_context(sandbox.pointed_connector())
            print(f"Using the DEGIRO sandbox at {sandbox.base_url} (account {USERNAME!r})", file=sys.stderr)
            credentials = {"username": USERNAME, "password": PASSWORD}
        holdings = fetch_holdings(credentials)
    print(json.dumps(holdings, indent=2, ensure_ascii=False))
    print(f"{len(holdings)} holdings", file=sys.stderr)


if __name__ == "__main__":
    main()
