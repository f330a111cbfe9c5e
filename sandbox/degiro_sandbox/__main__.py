"""Command line: serve the sandbox until Ctrl-C, or run one command against a sandbox of its own.

    python -m degiro_sandbox [--port N] [--in-app-polls N]
    python -m degiro_sandbox [--port N] [--in-app-polls N] run -- CMD [ARGS...]

The first prints the sandbox's base URL on stdout and serves until Ctrl-C.
The second runs CMD with MORBEX_DEGIRO_URL set to the base URL and, unless the
environment already has them, DEGIRO_USERNAME=demo and DEGIRO_PASSWORD set to
the sandbox password; it closes the sandbox when CMD ends and exits with CMD's
exit code (128 + N when a signal N ended it).  The serving and running are
sandbox_runner's, shared with the other sandboxes.
"""

import sys

import sandbox_runner

from .account import PASSWORD, USERNAME
from .server import Sandbox

PROG = "python -m degiro_sandbox"


def _parser():
    parser = sandbox_runner.parser(PROG, "A local DEGIRO trader API for tests and demos.", "[--in-app-polls N]")
    parser.add_argument("--in-app-polls", type=int, default=Sandbox.in_app_polls, metavar="N",
                        help="the in-app login request that approves an in-app-approval login (default: %(default)s)")
    return parser


def _sandbox(args):
    sandbox = Sandbox(port=args.port)
    sandbox.in_app_polls = args.in_app_polls
    return sandbox


def main(argv=None):
    return sandbox_runner.main(
        argv, _parser(), _sandbox,
        url_variable="MORBEX_DEGIRO_URL",
        credentials={"DEGIRO_USERNAME": USERNAME, "DEGIRO_PASSWORD": PASSWORD},
        hint=f"log in as {USERNAME!r} with degiro_sandbox.PASSWORD",
    )


if __name__ == "__main__":
    sys.exit(main())
