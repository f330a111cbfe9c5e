"""The command line every sandbox shares: serve until Ctrl-C, or run one command against a sandbox of its own.

A sandbox package's ``__main__`` builds its parser with :func:`parser`, adds its
own options, and hands the rest to :func:`main`::

    python -m SANDBOX [--port N] [OPTIONS]                  # prints the base URL, serves until Ctrl-C
    python -m SANDBOX [--port N] [OPTIONS] run -- CMD ...   # CMD gets the URL and, unless set, credentials

The run mode closes the sandbox when CMD ends and exits with CMD's exit code
(128 + N when a signal N ended it; 127 when CMD is not found, 126 when it
cannot be run).
"""

import argparse
import contextlib
import os
import signal
import subprocess
import sys
import time


def parser(prog, description, options_usage=""):
    """The parser every sandbox starts from: the serve/run mode and --port."""
    options = f" {options_usage}" if options_usage else ""
    result = argparse.ArgumentParser(
        prog=prog,
        description=description,
        usage=f"{prog} [--port N]{options} [run -- CMD [ARGS...]]",
    )
    result.add_argument("mode", nargs="?", choices=("serve", "run"), default="serve",
                        help="serve until Ctrl-C (the default), or run CMD against the sandbox")
    result.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: any free one)")
    return result


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


def serve(sandbox, prog, hint):
    """Print the base URL on stdout, ``hint`` on stderr, and serve until Ctrl-C or SIGTERM."""
    print(sandbox.base_url, flush=True)
    print(f"{prog}: serving at {sandbox.base_url}; {hint}; Ctrl-C stops it", file=sys.stderr, flush=True)
    # SIGTERM stops the server as cleanly as Ctrl-C does.
    with _signals_handled_by(_stop, [signal.SIGTERM]):
        try:
            while True:
                time.sleep(3600)
        except KeyboardInterrupt:
            return 0


def run(command, env, prog):
    """Run ``command`` with ``env``, forwarding the signals meant for it; its exit code."""
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


def main(argv, parser, make_sandbox, url_variable, credentials, hint):
    """Parse ``argv``, start the sandbox ``make_sandbox(args)`` builds, serve it or run the command.

    The command's environment gets ``url_variable`` set to the base URL and
    each of ``credentials`` ({variable: value}) the environment lacks.
    """
    argv = sys.argv[1:] if argv is None else list(argv)
    head, command = (argv[: argv.index("--")], argv[argv.index("--") + 1 :]) if "--" in argv else (argv, None)
    args = parser.parse_args(head)
    if args.mode == "run" and not command:
        parser.error("run needs a command: run -- CMD [ARGS...]")
    if args.mode == "serve" and command is not None:
        parser.error("a command after '--' needs the run mode: run -- CMD [ARGS...]")

    sandbox = make_sandbox(args)
    try:
        sandbox.start()
    except OSError as exc:  # the port is taken, or not ours to bind
        print(f"{parser.prog}: cannot serve on port {args.port}: {exc.strerror}", file=sys.stderr)
        return 1
    try:
        if args.mode == "serve":
            return serve(sandbox, parser.prog, hint)
        env = {**credentials, **os.environ, url_variable: sandbox.base_url}
        return run(command, env, parser.prog)
    finally:
        sandbox.close()
