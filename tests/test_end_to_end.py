"""The whole job through morbex.broker, the real degiro_connector and the local DEGIRO sandbox."""
import json
import traceback
from pathlib import Path

import pytest
from degiro_sandbox import INT_ACCOUNT, PASSWORD, USERNAME, Sandbox

from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers
from morbex.keelson import BrokerDeGiro

EXPECTED = Path(__file__).resolve().parent / "data" / "demo_holdings.json"
LOGIN = AuthenticationMethods.USERNAME_PASSWORD

pytestmark = pytest.mark.filterwarnings(
    r"ignore:datetime\.datetime\.utcnow\(\) is deprecated:DeprecationWarning:google\.protobuf"
)


@pytest.fixture
def sb():
    with Sandbox() as sandbox, sandbox.pointed_connector():
        yield sandbox


def login(sb, username=USERNAME, password=PASSWORD, **extra):
    # The connector sends requests without a timeout: every call is bounded.
    return sb.run_bounded(authenticate, Brokers.DEGIRO, LOGIN, username=username, password=password, **extra)


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


def test_account_number_discovery_logs_out_the_first_session(sb):
    broker = login(sb)

    assert broker.int_account == INT_ACCOUNT
    assert endpoints(sb) == ["login", "client_details", "logout", "login"]
    assert [s.state for s in sb.sessions] == ["closed", "live"]
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
    assert tickers["700"]["ticker_suffix"] == "700.HK"
    assert "WDI" not in tickers  # still held, but worth nothing
    fund = tickers["RGPED"]
    assert (fund["exchange_name"], fund["ticker_suffix"]) == ("FundShare Matching", "RGPED")
    assert tickers["ROGz"]["exchange_city"] is None
    unlisted = tickers["NSRGY"]
    assert (unlisted["exchange_name"], unlisted["exchange_city"], unlisted["exchange_country"]) == (None, None, None)
    assert unlisted["exchange_id"] == "1999" and unlisted["ticker_suffix"] == "NSRGY"
    assert "\\u00c9" in text and "É" not in text  # json.dumps escapes non-ASCII


def test_holdings_twice_and_after_logout(sb):
    broker = login(sb, int_account=INT_ACCOUNT)
    first = holdings(sb, broker)
    assert holdings(sb, broker) == first

    assert sb.run_bounded(logout, broker, LOGIN) is None
    assert [s.state for s in sb.sessions] == ["closed"]
    # The connector answers a closed session's requests with None; the
    # holdings call then fails on the missing update instead of returning.
    with pytest.raises(AttributeError):
        holdings(sb, broker)


# login name -> what the caller gets from authenticate: exception type, message
LOGIN_FAULTS = [
    (USERNAME, "wrong", ConnectionError, "Failed to authenticate with Degiro API: 400 Client Error"),
    ("totp-needed", PASSWORD, ConnectionError,
     'Failed to authenticate with Degiro API: 2FA is enabled, please provide the "totp_secret".'),
    ("in-app-approval", PASSWORD, ConnectionError, "Failed to authenticate with Degiro API: No session id returned."),
    ("rate-limited", PASSWORD, ConnectionError, "Failed to authenticate with Degiro API: 429 Client Error"),
    ("maintenance", PASSWORD, ConnectionError, "Failed to authenticate with Degiro API: 405 Client Error"),
    ("server-error", PASSWORD, ConnectionError, "Failed to authenticate with Degiro API: 500 Server Error"),
    ("html", PASSWORD, ConnectionError, "Failed to authenticate with Degiro API: "),
    (USERNAME, "", ValueError, "Both 'username' and 'password' must be provided."),
]


@pytest.mark.parametrize("username, password, error, message", LOGIN_FAULTS)
@pytest.mark.parametrize("int_account", [None, INT_ACCOUNT])
def test_login_faults(sb, username, password, error, message, int_account):
    with pytest.raises(error) as caught:
        login(sb, username=username, password=password, int_account=int_account)

    exc = caught.value
    assert type(exc) is error and str(exc).startswith(message)
    if error is ConnectionError:
        assert isinstance(exc.__context__, ConnectionError) and exc.__cause__ is None
    shown = "".join(traceback.format_exception(exc)) + repr(exc) + repr(sb.requests)
    assert password not in shown or password == ""
    assert [s.state for s in sb.sessions] == []


def test_expired_session(sb):
    broker = login(sb, username="expired", int_account=INT_ACCOUNT)
    with pytest.raises(AttributeError):
        holdings(sb, broker)


def test_discovery_on_an_expired_session_fails_on_the_missing_details(sb):
    with pytest.raises(TypeError):
        login(sb, username="expired")


def test_a_server_that_never_answers_does_not_hang_the_caller(sb):
    with pytest.raises(TimeoutError) as caught:
        sb.run_bounded(authenticate, Brokers.DEGIRO, LOGIN, username="hang", password=PASSWORD, timeout=1.0)
    sb.close()  # drops the held connection: the blocked login now fails
    caught.value.thread.join(5)
    assert not caught.value.thread.is_alive()
