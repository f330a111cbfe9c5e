"""Command line: serve the sandbox until Ctrl-C, or run one command against a sandbox of its own.

    python -m ibkr_sandbox [--port N] [--polls N] [--positions N] [--own-url]
    python -m ibkr_sandbox [...] run -- CMD [ARGS...]

The first prints the sandbox's base URL on stdout and serves until Ctrl-C.
The second runs CMD with MORBEX_IBKR_URL set to the base URL and, unless the
environment already has them, IBKR_FLEX_TOKEN and IBKR_FLEX_QUERY_ID of the
demo account; it closes the sandbox when CMD ends and exits with CMD's exit
code (128 + N when a signal N ended it).
"""

import sys

import sandbox_runner

from .server import Sandbox
from .service import QUERY_ID, TOKEN

PROG = "python -m ibkr_sandbox"


def _parser():
    parser = sandbox_runner.parser(PROG, "A local Interactive Brokers Flex Web Service for tests and demos.",
                                   "[--polls N] [--positions N] [--own-url]")
    parser.add_argument("--polls", type=int, default=2, metavar="N",
                        help="GetStatement answers 1019 this many times before the statement (default: %(default)s)")
    parser.add_argument("--positions", type=int, default=None, metavar="N",
                        help="N generated holdings instead of the demo ones")
    parser.add_argument("--own-url", action="store_true",
                        help="SendRequest's Url names the sandbox, not IB's GetStatement address")
    return parser


def main(argv=None):
    return sandbox_runner.main(
        argv, _parser(),
        lambda args: Sandbox(port=args.port, polls_before_ready=args.polls, positions=args.positions,
                             own_url=args.own_url),
        url_variable="MORBEX_IBKR_URL",
        credentials={"IBKR_FLEX_TOKEN": TOKEN, "IBKR_FLEX_QUERY_ID": QUERY_ID},
        hint="token and query id: ibkr_sandbox.TOKEN, ibkr_sandbox.QUERY_ID",
    )


if __name__ == "__main__":
    sys.exit(main())
