"""Command line: serve the sandbox until Ctrl-C, or run one command against a sandbox of its own.

    python -m degiro_sandbox [--port N] [--in-app-polls N]
    python -m degiro_sandbox [--port N] [--in-app-polls N] run -- CMD [ARGS...]

The first prints the sandbox's base URL on stdout and serves until Ctrl-C.
The second runs CMD with MORBEX_DEGIRO_URL set to the base URL and, unless the
environment already has them, DEGIRO_USERNAME=demo and DEGIRO_PASSWORD set to
the sandbox password; it closes the sandbox when CMD ends and exits with CMD's
exit code (128 + N when a signal N ended it).
"""

import argparse
import contextlib
import os
import signal
import subprocess
import sys
import time

from .account import PASSWORD, USERNAME
from .server import Sandbox

PROG = "python -m degiro_sandbox"


def _parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="A local DEGIRO trader API for tests and demos.",
        usage=f"{PROG} [--port N] [--in-app-polls N] [run -- CMD [ARGS...]]",
    )
    parser.add_argument("mode", nargs="?", choices=("serve", "run"), default="serve",
                        help="serve until Ctrl-C (the default), or run CMD against the sandbox")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    parser.add_argument("--in-app-polls", type=int, default=Sandbox.in_app_polls, metavar="N",
                        help="the in-app login request that approves an in-app-approval login (default: %(default)s)")
    return parser


def _terminal_interrupted_us():
    """Whether a SIGINT most likely came from the terminal's Ctrl-C.

    Ctrl-C signals the terminal's whole foreground process group, which then
    holds the child too: forwarding would hand it a second interrupt.
    """
    try:
        fd = os.open("/dev/tty", os.O_RDONLY | os.O_NOCTTY)
    except OSError:
        return False  # no controlling terminal: someone signalled us alone
    try:
        return os.tcgetpgrp(fd) == os.getpgrp()
    except OSError:
        return False
    finally:
        os.close(fd)


@contextlib.contextmanager
def _signals_handled_by(handler, signums):
    previous = {signum: signal.signal(signum, handler) for signum in signums}
    try:
        yield
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)


def _stop(signum, frame):
    raise KeyboardInterrupt


def _serve(sandbox):
    print(sandbox.base_url, flush=True)
    print(f"{PROG}: serving at {sandbox.base_url}; log in as {USERNAME!r} with "
          "degiro_sandbox.PASSWORD; Ctrl-C stops it", file=sys.stderr, flush=True)
    # SIGTERM stops the server as cleanly as Ctrl-C does.
    with _signals_handled_by(_stop, [signal.SIGTERM]):
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            return 0


def _run(sandbox, command):
    env = dict(os.environ, MORBEX_DEGIRO_URL=sandbox.base_url)
    env.setdefault("DEGIRO_USERNAME", USERNAME)
    env.setdefault("DEGIRO_PASSWORD", PASSWORD)
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
            print(f"{PROG}: cannot run {command[0]!r}: {exc.strerror}", file=sys.stderr)
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

    sandbox = Sandbox(port=args.port)
    sandbox.in_app_polls = args.in_app_polls
    try:
        sandbox.start()
    except OSError as exc:  # the port is taken, or not ours to bind
        print(f"{PROG}: cannot serve on port {args.port}: {exc.strerror}", file=sys.stderr)
        return 1
    try:
        return _serve(sandbox) if args.mode == "serve" else _run(sandbox, command)
    finally:
        sandbox.close()


if __name__ == "__main__":
    sys.exit(main())
