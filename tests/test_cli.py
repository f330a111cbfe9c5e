"""The morbex command, run as its own process against the local DEGIRO sandbox (and, for what
only a stand-in broker can stage, called in this process)."""
import csv
import importlib
import io
import json
import os
import signal
import subprocess
import sys
import time
from importlib import metadata
from pathlib import Path

import pytest
from degiro_sandbox import DEMO_KEPT_POSITIONS, PASSWORD, TOTP_SECRET, Sandbox, totp_now

from morbex.brokers import Brokers
from morbex.cli import main
from morbex.cli.arguments import Option
from morbex.cli.exits import one_line
from morbex.cli.formats import totals
from morbex.cli.logins import BROKERS, Credential, Login, Server
from morbex.errors import ApprovalTimeout, BrokerUnavailable, LoginRefused, RateLimited, SessionExpired
from morbex.pactum import BrokerBase
from morbex.records import CASH_BALANCE_KEYS, HOLDING_KEYS, POSITION_KEYS

EXPECTED = (Path(__file__).resolve().parent / "data" / "demo_holdings.json").read_text().rstrip("\n")
COMMAND = [sys.executable, "-m", "morbex"]


@pytest.fixture
def sb():
    with Sandbox() as sandbox:
        yield sandbox


def environment(sb, **variables):
    env = {k: v for k, v in os.environ.items() if not k.startswith(("DEGIRO_", "MORBEX_", "COLUMNS"))}
    env.update(PYTHONUTF8="1", COLUMNS="80", MORBEX_DEGIRO_URL=sb.base_url + "/", DEGIRO_USERNAME="demo")
    env.update(DEGIRO_PASSWORD=PASSWORD)
    env.update(variables)
    return env


def morbex(sb, *args, stdin="", wrapper=(), command="holdings", **variables):
    return subprocess.run(
        [*wrapper, *COMMAND, command, *args],
        env=environment(sb, **variables),
        input=stdin,
        capture_output=True,
        text=True,
        encoding="utf-8",
        timeout=60,
    )


def secrets(sb):
    return [PASSWORD, TOTP_SECRET, *(s.id for s in sb.sessions)]


def assert_logged_out(sb):
    # Once logged in, always logged out: no session is left open.
    assert "live" not in [s.state for s in sb.sessions]


def test_formats(sb):
    holdings = json.loads(EXPECTED)

    plain = morbex(sb)
    assert plain.returncode == 0, plain.stderr
    assert plain.stdout == EXPECTED + "\n"
    assert plain.stderr.splitlines()[-1] == f"morbex: {DEMO_KEPT_POSITIONS} holdings"

    pretty = morbex(sb, "--indent", "2")
    assert pretty.stdout == json.dumps(holdings, indent=2) + "\n"

    table = morbex(sb, "--format", "table")
    lines = table.stdout.splitlines()
    assert lines[0].split() == ["TICKER", "COMPANY", "QUANTITY", "CURRENCY", "EXCHANGE", "ISIN"]
    assert [line.split()[-1] for line in lines[1:-1]] == [h["isin"] for h in holdings]
    assert lines[-1] == f"{DEMO_KEPT_POSITIONS} holdings"
    assert max(map(len, lines)) <= 80

    rows = list(csv.reader(io.StringIO(morbex(sb, "--format", "csv").stdout, newline="")))
    assert rows[0] == list(holdings[0])
    assert rows[1:] == [["" if v is None else str(v) for v in h.values()] for h in holdings]

    assert_logged_out(sb)
    assert sb.sessions and all(s.state == "closed" for s in sb.sessions)


def table_says(*lines):
    return lambda out: all(line.split() in [row.split() for row in out.splitlines()] for line in lines)


# What the values and the cash give, by format: (command, options, a check of stdout)
VALUES = {
    "positions, json": ("holdings", ["--values"], lambda out: [
        {key: p[key] for key in HOLDING_KEYS} for p in json.loads(out) if tuple(p) == POSITION_KEYS
    ] == json.loads(EXPECTED)),
    "positions, csv": ("holdings", ["--values", "--format", "csv"], lambda out: out.splitlines()[0].split(",")
                       == list(POSITION_KEYS) and len(out.splitlines()) == DEMO_KEPT_POSITIONS + 1),
    "positions, table": ("holdings", ["--values", "--format", "table"], table_says(
        "TICKER COMPANY QUANTITY CURRENCY PRICE VALUE COST EXCHANGE ISIN",
        "BP.L BP PLC 800 GBX 386.05 308,840.00 364,240.00 London Stock Exchange GB0007980591",
        "total GBP 9,519.40 9,170.40", "total all in base EUR 136,035.85", f"{DEMO_KEPT_POSITIONS} holdings",
    )),
    "cash, json": ("cash", [], lambda out: [(b["currency"], b["amount"], b["account"]) for b in json.loads(out)]
                   == [("EUR", 1535.82, "31415926"), ("USD", 312.9, "31415926"), ("GBP", 86.4, "31415926")]),
    "cash, csv": ("cash", ["--format", "csv"], lambda out: out.splitlines()[0].split(",") == list(CASH_BALANCE_KEYS)
                  and [line.split(",")[:2] for line in out.splitlines()[1:]] == [["EUR", "1535.82"], ["USD", "312.9"],
                                                                                 ["GBP", "86.4"]]),
    "cash, table": ("cash", ["--format", "table"], table_says("CURRENCY AMOUNT ACCOUNT AS OF", "3 balances")),
}  # fmt: skip


@pytest.mark.parametrize(("command", "options", "check"), VALUES.values(), ids=VALUES.keys())
def test_values_and_cash(sb, command, options, check):
    result = morbex(sb, *options, command=command, COLUMNS="200")
    assert result.returncode == 0, result.stderr
    assert check(result.stdout), result.stdout
    assert_logged_out(sb)


def test_totals_count_minor_units_in_major_and_leave_unknowns_blank():
    pence = {"currency": "GBX", "major_currency": "GBP", "unit_scale": 100, "quantity": 10.0, "value": 1000.0,
             "average_price": 90.0, "base_currency": "EUR", "base_value": 12.0}
    unpriced = {"currency": "GBP", "major_currency": "GBP", "unit_scale": 1, "quantity": 1.0, "value": None,
                "average_price": 5.0, "base_currency": "EUR", "base_value": 6.0}
    assert totals([pence, unpriced])[1:] == [
        ("total", "", "", "GBP", "", "", "14.00", "", ""),
        ("total", "all in base", "", "EUR", "", "18.00", "", "", ""),
    ]  # fmt: skip


# (login name, options, environment, stdin, exit status, what stderr says)
CASES = [
    ("demo", ["--int-account", "31415926"], {}, "", 0, "morbex: logged out"),
    ("totp-needed", [], {"DEGIRO_TOTP_SECRET": TOTP_SECRET}, "", 0, f"{DEMO_KEPT_POSITIONS} holdings"),
    ("totp-needed", ["--otp"], {}, "CODE\n", 0, f"{DEMO_KEPT_POSITIONS} holdings"),
    ("in-app-approval", [], {}, "", 0, "waiting for approval in the DEGIRO app"),
    ("demo", [], {"DEGIRO_PASSWORD": "not-the-password"}, "", 3, "login failed: DEGIRO refused the login"),
    ("totp-needed", [], {}, "", 3, "login failed: DEGIRO refused the login"),
    ("totp-needed", ["--otp"], {}, "000000\n", 3, "login failed: DEGIRO refused the login"),
    ("in-app-never", ["--in-app-timeout", "1"], {}, "", 3, "not approved in the DEGIRO app"),
    ("hang", ["--timeout", "1"], {}, "", 4, "login failed:"),
    ("maintenance", [], {}, "", 4, "login failed:"),
    ("rate-limited", [], {}, "", 4, "login failed:"),
    ("expired", [], {}, "", 4, "error: Could not read "),
    ("hang-portfolio", ["--timeout", "1"], {}, "", 4, "error: Could not read the portfolio"),
    ("demo", [], {"DEGIRO_TOTP_SECRET": "not base32!"}, "", 1, "totp_secret_key"),
    ("demo", ["--int-account", "x"], {}, "", 2, "whole number"),
    ("demo", [], {"DEGIRO_PASSWORD": ""}, "", 2, "a password is needed"),
    ("demo", ["--format", "csv", "--indent", "2"], {}, "", 2, "--indent"),
]


@pytest.mark.parametrize(("user", "options", "env", "stdin", "status", "says"), CASES)
def test_exit_status(sb, user, options, env, stdin, status, says):
    stdin = stdin.replace("CODE", f"{totp_now(TOTP_SECRET):06d}")
    result = morbex(sb, *options, stdin=stdin, DEGIRO_USERNAME=user, **env)

    assert result.returncode == status, result.stderr
    assert says in result.stderr
    assert "Traceback" not in result.stderr
    if status:
        assert result.stdout == ""
        assert len([line for line in result.stderr.splitlines() if "error:" in line]) == 1
    else:
        assert json.loads(result.stdout) == json.loads(EXPECTED)
    if user == "in-app-approval":
        assert [r.endpoint for r in sb.requests].count("login_in_app") == sb.in_app_polls
    if sb.sessions:
        assert sb.requests[-1].endpoint == "logout"
    assert_logged_out(sb)
    assert not any(secret in result.stdout + result.stderr for secret in secrets(sb))


@pytest.mark.parametrize(
    ("user", "env"), [("demo", {}), ("expired", {}), ("totp-needed", {"DEGIRO_TOTP_SECRET": TOTP_SECRET})]
)
def test_debug_output_holds_no_secret(sb, user, env):
    result = morbex(sb, "--debug", DEGIRO_USERNAME=user, **env)

    assert "DEBUG" in result.stderr  # the connector's and urllib3's records are there...
    assert not any(secret in result.stdout + result.stderr for secret in secrets(sb))  # ...redacted
    assert ("Traceback" in result.stderr) == (result.returncode != 0)


# (how the run fails, extra arguments to morbex, exit status)
OUTPUT_FAILURES = [
    ("login refused", {"DEGIRO_PASSWORD": "not-the-password"}, (), 3),
    # Files may not grow past a few KiB: the holdings (10 KiB) cannot be written.
    ("write fails", {}, ("sh", "-c", 'ulimit -f 4 && exec "$@"', "sh"), 1),
]


@pytest.mark.parametrize(("failure", "env", "wrapper", "status"), OUTPUT_FAILURES, ids=[f[0] for f in OUTPUT_FAILURES])
def test_output_file_is_replaced_whole_or_not_at_all(sb, tmp_path, failure, env, wrapper, status):
    target = tmp_path / "holdings.json"
    target.write_text("old\n")

    failed = morbex(sb, "--output", str(target), wrapper=wrapper, **env)
    assert failed.returncode == status, failed.stderr
    assert target.read_text() == "old\n"
    assert os.listdir(tmp_path) == ["holdings.json"]
    assert_logged_out(sb)

    done = morbex(sb, "--output", str(target))
    assert done.returncode == 0, done.stderr
    assert target.read_text() == EXPECTED + "\n"
    assert os.listdir(tmp_path) == ["holdings.json"]
    assert done.stdout == ""


def test_interrupt_logs_out(sb):
    process = subprocess.Popen(
        [*COMMAND, "holdings"],
        env=environment(sb, DEGIRO_USERNAME="hang-portfolio"),
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        deadline = time.monotonic() + 30
        while "update" not in [r.endpoint for r in sb.requests]:  # logged in, reading: never answered
            assert time.monotonic() < deadline and process.poll() is None
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=30)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 130
    assert err.splitlines()[-2:] == ["morbex: logged out", "morbex: interrupted"]
    assert out == ""
    assert [s.state for s in sb.sessions] == ["closed"]


def test_console_script_is_the_same_program():
    script = Path(sys.executable).with_name("morbex")
    version = f"morbex {metadata.version('morbex')}\n"
    for command in ([str(script)], COMMAND):
        result = subprocess.run([*command, "--version"], capture_output=True, text=True, timeout=30)
        assert result.stdout == version


# -- in this process, a stand-in broker behind the facade ----------------------------


class FakeBroker(BrokerBase):
    failures: dict[str, BaseException] = {}
    calls: list[tuple[str, dict]] = []

    def _do(self, name, kwargs):
        FakeBroker.calls.append((name, kwargs))
        if name in FakeBroker.failures:
            raise FakeBroker.failures[name]
        return "[]"

    def authenticate_with_username_password(self, **kwargs):
        self._do("login", kwargs)

    def authenticate_with_token(self, **kwargs):
        self._do("login", kwargs)

    def get_current_stock_holdings(self):
        return self._do("read", {})

    def logout_with_username_password(self, **kwargs):
        self._do("logout", kwargs)

    def logout_with_token(self, **kwargs):
        self._do("token logout", kwargs)

    authenticate_with_email_password = authenticate_with_username_password


@pytest.fixture
def fake(monkeypatch):
    monkeypatch.setattr(importlib.import_module("morbex.minter"), "BrokerDeGiro", FakeBroker)
    for name in [n for n in os.environ if n.startswith(("DEGIRO_", "MORBEX_"))]:
        monkeypatch.delenv(name)
    monkeypatch.setenv("DEGIRO_USERNAME", "demo")
    monkeypatch.setenv("DEGIRO_PASSWORD", PASSWORD)
    monkeypatch.setattr(FakeBroker, "failures", {})
    monkeypatch.setattr(FakeBroker, "calls", [])
    return FakeBroker


# The status follows the error's type, whatever its text says.
# (where the broker fails, with what, exit status)
TYPED = [
    ("login", ApprovalTimeout("the login was not approved in the app within 1 s"), 3),
    ("login", LoginRefused("wrong password"), 3),
    ("login", RateLimited("Failed to authenticate with Degiro API: DEGIRO refused the login"), 4),
    ("read", SessionExpired("the session has expired"), 4),
    ("read", BrokerUnavailable("no answer within 1 s"), 4),
    ("read", ConnectionError("connection reset"), 4),  # untyped: a broker that answered wrongly
]


@pytest.mark.parametrize(("where", "error", "status"), TYPED, ids=lambda v: type(v).__name__ if isinstance(v, Exception) else None)
def test_exit_status_by_error_type(fake, capsys, where, error, status):
    fake.failures[where] = error
    assert main(["holdings"]) == status
    err = capsys.readouterr().err
    assert err.splitlines()[-1] == f"morbex: error: {one_line(error)}"
    assert [name for name, _ in fake.calls][-1] == ("logout" if where == "read" else "login")


def test_a_broker_without_cash_balances(fake, capsys):
    assert main(["cash"]) == 1
    err = capsys.readouterr().err
    assert err.splitlines()[-1] == "morbex: error: NotImplementedError: FakeBroker does not report cash balances"
    assert [name for name, _ in fake.calls] == ["login", "logout"]


def test_a_token_broker_is_a_row_of_the_table(fake, capsys, monkeypatch):
    row = Login(
        name="Tokens",
        method="TOKEN",
        help="The API key comes from TOKENS_API_KEY or a prompt.",
        credentials=(Credential("api_key", "an API key", variable="TOKENS_API_KEY", prompt="API key: ", secret=True),),
        options=(Option("--demo", switch=True, keyword="demo", help="the demo account"),),
        server=Server("MORBEX_TOKENS_URL", keyword="base_url"),
    )
    monkeypatch.setitem(BROKERS, Brokers.DEGIRO, row)
    monkeypatch.setenv("MORBEX_TOKENS_URL", "http://127.0.0.1:9/")
    monkeypatch.setattr(sys, "stdin", io.StringIO("key-31415\n"))

    assert main(["holdings", "--demo", "--timeout", "2"]) == 0
    assert fake.calls == [
        ("login", {"api_key": "key-31415", "timeout": 2, "demo": True, "base_url": "http://127.0.0.1:9"}),
        ("read", {}),
        ("token logout", {}),
    ]
    err = capsys.readouterr().err
    assert "morbex: logging in to Tokens...\n" in err and "key-31415" not in err
    with pytest.raises(SystemExit):
        main(["holdings", "--otp"])  # DEGIRO's options went with its row


@pytest.mark.parametrize("broker", list(BROKERS))
def test_table_rows_are_consistent(broker):
    login = BROKERS[broker]
    # Options end up in shell history and process lists: no secret comes from one.
    assert [c.keyword for c in login.credentials if c.secret and c.option] == []
    flags = {option.flag for option in login.options}
    assert {c.option or c.asked_with for c in login.credentials} - {None} <= flags
    assert login.method in importlib.import_module("morbex.broker").AuthenticationMethods.__members__
