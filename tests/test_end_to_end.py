"""The whole job through morbex.broker, the real degiro_connector and the local DEGIRO sandbox:
logins of every kind DEGIRO has today, their failures, the holdings, positions and cash."""
import json
import logging
import time
import traceback
import types
from pathlib import Path

import pytest
from degiro_sandbox import INT_ACCOUNT, LEADING_ZERO_CODE, PASSWORD, SCENARIOS, TOTP_SECRET, USERNAME, Sandbox, totp_now

import morbex.keelson as keelson
from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers
from morbex.errors import ApprovalTimeout, BrokerUnavailable, LoginRefused, RateLimited, SessionExpired
from morbex.keelson import BrokerDeGiro
from morbex.records import HOLDING_KEYS
from schemas import check_cash_balances, check_positions

EXPECTED = Path(__file__).resolve().parent / "data" / "demo_holdings.json"
LOGIN = AuthenticationMethods.USERNAME_PASSWORD
PREFIX = "Failed to authenticate with Degiro API: "


@pytest.fixture
def sb():
    with Sandbox() as sandbox, sandbox.pointed_connector():
        yield sandbox


def login(sb, username=USERNAME, password=PASSWORD, **extra):
    # Bounded here as well: a test that hangs must fail, not stall the suite.
    return sb.run_bounded(
        lambda: authenticate(Brokers.DEGIRO, LOGIN, username=username, password=password, **extra), timeout=10
    )


def holdings(sb, broker):
    return sb.run_bounded(broker.get_current_stock_holdings)


def endpoints(sb):
    return [r.endpoint for r in sb.requests]


def test_holdings_with_the_account_number(sb):
    broker = login(sb, int_account=INT_ACCOUNT)
    text = holdings(sb, broker)

    assert isinstance(broker, BrokerDeGiro)
    assert text == EXPECTED.read_text().rstrip("\n")
    assert endpoints(sb) == ["login", "update", "products_info", "products_config"]
    assert [s.state for s in sb.sessions] == ["live"]


def test_account_number_is_read_in_the_same_session(sb):
    broker = login(sb)

    assert broker.int_account == INT_ACCOUNT
    assert endpoints(sb) == ["login", "client_details"]
    assert [s.state for s in sb.sessions] == ["live"]
    assert holdings(sb, broker) == EXPECTED.read_text().rstrip("\n")


def by_ticker(text):
    return {h["ticker"]: h for h in json.loads(text)}


def test_seeded_account_cases(sb):
    text = holdings(sb, login(sb, int_account=INT_ACCOUNT))
    records = json.loads(text)
    tickers = by_ticker(text)

    assert [list(r) for r in records] == [
        [
            "internal_id", "isin", "ticker", "ticker_suffix", "company", "exchange_id", "exchange_name",
            "exchange_city", "exchange_country", "currency", "quantity",
        ]
    ] * len(records)
    assert sum(r["ticker"] == "ASML" for r in records) == 2  # two lots, never merged
    assert not {"FLATEX_EUR", "FLATEX_USD", "EUR"} & {str(r["internal_id"]) for r in records}
    assert tickers["ASML"]["ticker_suffix"] == "ASML.AS"
    assert tickers["AAPL"]["ticker_suffix"] == "AAPL"  # US: no suffix
    # Yahoo's form of DEGIRO's symbols; the ticker stays DEGIRO's own
    yahoo = {"BP.": "BP.L", "NOVO B": "NOVO-B.CO", "700": "0700.HK", "BRK.B": "BRK-B", "BBD.B": "BBD-B.TO"}
    assert {ticker: tickers[ticker]["ticker_suffix"] for ticker in yahoo} == yahoo
    assert "WDI" not in tickers  # still held, but worth nothing
    fund = tickers["RGPED"]
    assert (fund["exchange_name"], fund["ticker_suffix"]) == ("FundShare Matching", "RGPED")
    assert tickers["ROGz"]["exchange_city"] is None
    unlisted = tickers["NSRGY"]
    assert (unlisted["exchange_name"], unlisted["exchange_city"], unlisted["exchange_country"]) == (None, None, None)
    assert unlisted["exchange_id"] == "1999" and unlisted["ticker_suffix"] == "NSRGY"
    assert "\\u00c9" in text and "É" not in text  # json.dumps escapes non-ASCII


def test_positions_and_cash(sb):
    broker = login(sb, int_account=INT_ACCOUNT)
    positions = sb.run_bounded(broker.get_positions)
    assert endpoints(sb) == ["login", "update", "products_info", "products_config"]  # the holdings' reads alone
    cash = sb.run_bounded(broker.get_cash_balances)

    check_positions(positions)
    check_cash_balances(cash)
    assert [{key: p[key] for key in HOLDING_KEYS} for p in positions] == json.loads(EXPECTED.read_text())
    bp = next(p for p in positions if p["ticker"] == "BP.")
    assert (bp["mic"], bp["price"], bp["value"], bp["average_price"]) == ("XLON", 386.05, 308840.0, 455.3)
    assert (bp["base_currency"], bp["base_value"], bp["major_currency"], bp["unit_scale"]) == ("EUR", 3724.61, "GBP", 100)
    assert {p["account"] for p in positions + cash} == {str(INT_ACCOUNT)}
    assert [p["ticker"] for p in positions if p["mic"] is None] == ["RGPED", "NSRGY"]  # a fund; an unlisted exchange
    assert [(c["currency"], c["amount"]) for c in cash] == [("EUR", 1535.82), ("USD", 312.9), ("GBP", 86.4)]


def test_holdings_twice_and_after_logout(sb):
    broker = login(sb, int_account=INT_ACCOUNT)
    first = holdings(sb, broker)
    assert holdings(sb, broker) == first

    assert sb.run_bounded(logout, broker, LOGIN) is None
    assert [s.state for s in sb.sessions] == ["closed"]
    with pytest.raises(SessionExpired) as caught:
        holdings(sb, broker)
    assert str(caught.value) == (
        "Could not read the portfolio from DEGIRO (HTTP 401: the session has expired or was closed); "
        "logging in again may help"
    )


def wrong_code():
    now = time.time()
    current = {totp_now(TOTP_SECRET, now + drift) for drift in (-30, 0, 30)}
    return next(f"{code:06d}" for code in range(1, 10) if code not in current)


# How each kind of login that DEGIRO has today succeeds.
LOGINS = {
    "2FA secret": ("totp-needed", lambda: {"totp_secret_key": TOTP_SECRET}),
    "2FA code": ("totp-needed", lambda: {"one_time_password": f"{totp_now(TOTP_SECRET):06d}"}),
    "code with a leading zero": ("totp-leading-zero", lambda: {"one_time_password": LEADING_ZERO_CODE}),
    "leading zero lost to an int": ("totp-leading-zero", lambda: {"one_time_password": int(LEADING_ZERO_CODE)}),
    "approved in the app": ("in-app-approval", lambda: {}),
}


@pytest.mark.parametrize("username, extra", LOGINS.values(), ids=LOGINS.keys())
def test_logins_of_today(sb, caplog, username, extra):
    sb.in_app_polls = 1
    with caplog.at_level(logging.DEBUG, logger="morbex"):
        broker = login(sb, username=username, **extra())
    assert holdings(sb, broker) == EXPECTED.read_text().rstrip("\n")
    assert [s.state for s in sb.sessions] == ["live"]
    approvals = [r for r in caplog.records if r.name == "morbex"]
    if username == "in-app-approval":
        [warning] = approvals
        assert warning.levelno == logging.WARNING and "DEGIRO app" in warning.getMessage()
        assert endpoints(sb)[:3] == ["login", "login_in_app", "client_details"]
    else:
        assert approvals == []


# login name, extra keywords -> the type and message of the error authenticate raises
LOGIN_FAULTS = {
    "wrong password": (LoginRefused, USERNAME, {"password": "not-the-password"}, "DEGIRO refused the login: wrong username or password"),
    "2FA, no code": (LoginRefused, "totp-needed", {}, "DEGIRO refused the login: two-factor authentication is on for this "
                     "account; give totp_secret_key or one_time_password"),
    "2FA, wrong code": (LoginRefused, "totp-needed", {"one_time_password": wrong_code},
                        "DEGIRO refused the login: wrong username, password or one-time code"),
    "not approved": (ApprovalTimeout, "in-app-never", {"in_app_timeout": 1},
                     "the login was not approved in the DEGIRO app within 1 s"),
    "SMS code": (LoginRefused, "sms-needed", {}, "DEGIRO refused the login: it asks for a code sent by SMS, which morbex "
                 "cannot give; switch the account to the DEGIRO app or an authenticator app"),
    "captcha": (LoginRefused, "captcha", {}, "DEGIRO refused the login: it asks for a captcha after failed logins; log in once "
                "in a web browser, then try again"),
    "rate limit": (RateLimited, "rate-limited", {}, "DEGIRO is limiting logins (HTTP 429 Too Many Requests); wait a few "
                   "minutes before trying again"),
    "maintenance": (BrokerUnavailable, "maintenance", {}, "DEGIRO is down for maintenance; try again later"),
    "server error": (BrokerUnavailable, "server-error", {}, "DEGIRO answered HTTP 500"),
    "HTML page": (BrokerUnavailable, "html", {}, "DEGIRO's answer (HTTP 200) was not understood"),
    "no answer": (BrokerUnavailable, "hang", {"timeout": 1}, "DEGIRO did not answer within 1 s"),
}


@pytest.mark.parametrize("error, username, extra, message", LOGIN_FAULTS.values(), ids=LOGIN_FAULTS.keys())
@pytest.mark.parametrize("int_account", [None, INT_ACCOUNT])
def test_login_faults(sb, caplog, monkeypatch, error, username, extra, message, int_account):
    # The connector would fetch DEGIRO's real login page after a 405.
    monkeypatch.setattr("requests.get", lambda *a, **k: pytest.fail("reached for the internet"))
    kwargs = {key: value() if callable(value) else value for key, value in extra.items()}
    password = kwargs.pop("password", PASSWORD)
    with caplog.at_level(logging.DEBUG), pytest.raises(ConnectionError) as caught:
        login(sb, username=username, password=password, int_account=int_account, **kwargs)

    exc = caught.value
    assert type(exc) is error and str(exc) == PREFIX + message
    assert getattr(exc, "retry_after", None) == (60.0 if error is RateLimited else None)  # the sandbox's Retry-After
    assert exc.__cause__ is None
    shown = "".join(traceback.format_exception(exc)) + repr(exc) + repr(sb.requests)
    shown += "".join(r.getMessage() for r in caplog.records if r.name.startswith("morbex"))
    for secret in (password, TOTP_SECRET, kwargs.get("one_time_password")):
        assert secret is None or str(secret) not in shown
    assert [s.state for s in sb.sessions] == []


def test_a_code_is_good_for_one_login(sb):
    code = f"{totp_now(TOTP_SECRET):06d}"
    login(sb, username="totp-needed", one_time_password=code, int_account=INT_ACCOUNT)
    with pytest.raises(ConnectionError, match="wrong username, password or one-time code"):
        login(sb, username="totp-needed", one_time_password=code, int_account=INT_ACCOUNT)


def test_ctrl_c_while_waiting_for_approval(sb, monkeypatch):
    def sleep(seconds):
        raise KeyboardInterrupt

    monkeypatch.setattr(keelson, "time", types.SimpleNamespace(monotonic=time.monotonic, sleep=sleep))
    with pytest.raises(KeyboardInterrupt):
        login(sb, username="in-app-never")
    assert endpoints(sb) == ["login"]


# A session that DEGIRO no longer knows, or that does not answer, once logged in: the read that fails.
EXPIRED = "HTTP 401: the session has expired or was closed"
HOLDINGS = "get_current_stock_holdings"
DATA_FAULTS = {
    "expired, holdings": (SessionExpired, "expired", INT_ACCOUNT, {}, HOLDINGS, "the portfolio", EXPIRED),
    "expired, positions": (SessionExpired, "expired", INT_ACCOUNT, {}, "get_positions", "the portfolio", EXPIRED),
    "expired, cash": (SessionExpired, "expired", INT_ACCOUNT, {}, "get_cash_balances", "the cash funds", EXPIRED),
    "expired, account number": (SessionExpired, "expired", None, {}, HOLDINGS, "the client details", EXPIRED),
    "portfolio never sent": (BrokerUnavailable, "hang-portfolio", INT_ACCOUNT, {"timeout": 1}, HOLDINGS, "the portfolio",
                             "no answer within 1 s"),
}


@pytest.mark.parametrize("error, username, int_account, extra, read, what, why", DATA_FAULTS.values(), ids=DATA_FAULTS.keys())
def test_data_faults(sb, error, username, int_account, extra, read, what, why):
    with pytest.raises(ConnectionError) as caught:
        # The login and the read on two threads: each thread's requests are bounded.
        broker = login(sb, username=username, int_account=int_account, **extra)
        sb.run_bounded(getattr(broker, read))
    assert type(caught.value) is error
    assert str(caught.value) == f"Could not read {what} from DEGIRO ({why}); logging in again may help"
    assert "live" not in [s.state for s in sb.sessions] or username == "hang-portfolio"


def test_every_sandbox_login_is_covered():
    tables = [*LOGINS.values(), *[row[1:] for row in (*LOGIN_FAULTS.values(), *DATA_FAULTS.values())]]
    # The demo account and its empty variant: the tests above and tests/test_secrets.py.
    assert {row[0] for row in tables} | {USERNAME, "empty-portfolio"} == set(SCENARIOS)
