"""Command line: serve the sandbox until Ctrl-C, or run one command against a sandbox of its own.

    python -m trading212_sandbox [--port N] [--filler-instruments N]
    python -m trading212_sandbox [--port N] [--filler-instruments N] run -- CMD [ARGS...]

The first prints the sandbox's base URL on stdout and serves until Ctrl-C.
The second runs CMD with MORBEX_TRADING212_URL set to the base URL and, unless
the environment already has them, TRADING212_API_KEY and TRADING212_API_SECRET
of the demo account; it closes the sandbox when CMD ends and exits with CMD's
exit code (128 + N when a signal N ended it).
"""

import sys

import sandbox_runner

from .account import API_KEY, API_SECRET
from .server import Sandbox

PROG = "python -m trading212_sandbox"


def _parser():
    parser = sandbox_runner.parser(PROG, "A local Trading 212 public API for tests and demos.",
                                   "[--filler-instruments N]")
    parser.add_argument("--filler-instruments", type=int, default=0, metavar="N",
                        help="made-up instruments added to the instruments metadata (default: %(default)s)")
    return parser


def main(argv=None):
    return sandbox_runner.main(
        argv, _parser(), lambda args: Sandbox(port=args.port, filler_instruments=args.filler_instruments),
        url_variable="MORBEX_TRADING212_URL",
        credentials={"TRADING212_API_KEY": API_KEY, "TRADING212_API_SECRET": API_SECRET},
        hint="authenticate with trading212_sandbox.API_KEY and API_SECRET",
    )


if __name__ == "__main__":
    sys.exit(main())
