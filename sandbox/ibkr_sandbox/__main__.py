"""Command line: serve the sandbox until Ctrl-C, or run one command against a sandbox of its own.

    python -m ibkr_sandbox [--port N] [--polls N] [--positions N] [--own-url]
    python -m ibkr_sandbox [...] run -- CMD [ARGS...]

The first prints the sandbox's base URL on stdout and serves until Ctrl-C.
The second runs CMD with MORBEX_IBKR_URL set to the base URL and, unless the
environment already has them, IBKR_FLEX_TOKEN and IBKR_FLEX_QUERY_ID of the
demo account; it closes the sandbox when CMD ends and exits with CMD's exit
code (128 + N when a signal N ended it).
"""

import argparse
import contextlib
import os
import signal
import subprocess
import sys
import time

# The signal handling DEGIRO's sandbox runner already has; run_command and
# serve below have the signatures of the shared runner's, which replaces them.
from degiro_sandbox.__main__ import _signals_handled_by, _stop, _terminal_interrupted_us

from .server import Sandbox
from .service import QUERY_ID, TOKEN

PROG = "python -m ibkr_sandbox"


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="A local Interactive Brokers Flex Web Service for tests and demos.",
        usage=f"{PROG} [--port N] [--polls N] [--positions N] [--own-url] [run -- CMD [ARGS...]]",
    )
    parser.add_argument("mode", nargs="?", choices=("serve", "run"), default="serve",
                        help="serve until Ctrl-C (the default), or run CMD against the sandbox")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    parser.add_argument("--polls", type=int, default=2, metavar="N",
                        help="GetStatement answers 1019 this many times before the statement (default: %(default)s)")
    parser.add_argument("--positions", type=int, default=None, metavar="N",
                        help="N generated holdings instead of the demo ones")
    parser.add_argument("--own-url", action="store_true",
                        help="SendRequest's Url names the sandbox, not IB's GetStatement address")
    return parser


def serve(base_url, prog, note):
    """Print ``base_url`` on stdout and ``note`` on stderr, then wait for Ctrl-C or SIGTERM; 0."""
    print(base_url, flush=True)
    print(f"{prog}: serving at {base_url}; {note}; Ctrl-C stops it", file=sys.stderr, flush=True)
    with _signals_handled_by(_stop, [signal.SIGTERM]):
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            return 0


def run_command(env, command, prog):
    """Run ``command`` with ``env``, forwarding signals to it; its exit code, shell style."""
    children = []

    def forward(signum, frame):
        # The child decides how to end; we wait for it, then close the sandbox.
        if not children or (signum == signal.SIGINT and _terminal_interrupted_us()):
            return
        with contextlib.suppress(ProcessLookupError):
            children[0].send_signal(signum)

    forwarded = [signal.SIGINT, signal.SIGTERM] + ([signal.SIGHUP] if hasattr(signal, "SIGHUP") else [])
    with _signals_handled_by(forward, forwarded):
        try:
            children.append(subprocess.Popen(command, env=env))
        except OSError as exc:
            print(f"{prog}: cannot run {command[0]!r}: {exc.strerror}", file=sys.stderr)
            return 127 if isinstance(exc, FileNotFoundError) else 126
        returncode = children[0].wait()
    return returncode if returncode >= 0 else 128 - returncode


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    head, command = (argv[: argv.index("--")], argv[argv.index("--") + 1 :]) if "--" in argv else (argv, None)
    parser = _parser()
    args = parser.parse_args(head)
    if args.mode == "run" and not command:
        parser.error("run needs a command: run -- CMD [ARGS...]")
    if args.mode == "serve" and command is not None:
        parser.error("a command after '--' needs the run mode: run -- CMD [ARGS...]")

    sandbox = Sandbox(port=args.port, polls_before_ready=args.polls, positions=args.positions,
                      own_url=args.own_url)
    try:
        sandbox.start()
    except OSError as exc:  # the port is taken, or not ours to bind
        print(f"{PROG}: cannot serve on port {args.port}: {exc.strerror}", file=sys.stderr)
        return 1
    try:
        if args.mode == "serve":
            return serve(sandbox.base_url, PROG, "token and query id: ibkr_sandbox.TOKEN, ibkr_sandbox.QUERY_ID")
        env = dict(os.environ, MORBEX_IBKR_URL=sandbox.base_url)
        env.setdefault("IBKR_FLEX_TOKEN", TOKEN)
        env.setdefault("IBKR_FLEX_QUERY_ID", QUERY_ID)
        return run_command(env, command, PROG)
    finally:
        sandbox.close()


if __name__ == "__main__":
    sys.exit(main())
