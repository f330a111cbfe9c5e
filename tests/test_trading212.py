"""morbex.trading212 end to end: requests through the real HTTP stack to the local Trading 212 sandbox.

The key pair shows nowhere: each case checks its messages, tracebacks, log
records and the broker's repr for the secret (and a refused key).
"""

import base64
import json
import os
import re
import time

import pytest
import requests
import trading212_reference
from schemas import check_cash_balances, check_positions
from test_secrets import logs, shown  # noqa: F401  (logs: a fixture)
from trading212_sandbox import ACCOUNT_ID, API_KEY, API_SECRET, POSITIONS, Sandbox

import morbex.trading212 as trading212
from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers
from morbex.errors import BrokerUnavailable, LoginRefused, RateLimited, SessionExpired
from morbex.records import HOLDING_KEYS

TOKEN = AuthenticationMethods.TOKEN
PREFIX = "Failed to authenticate with Trading 212 API: "
# Keys and secrets a caller might try: distinctive, so finding one anywhere is no coincidence.
OTHER_KEY = "Kx9-other-api-key"
OTHER_SECRET = "Sx9-other-api-secret"
FULL = ["account_summary", "positions", "instruments", "exchanges"]
WARM = ["account_summary", "positions"]


@pytest.fixture(scope="module")
def server():
    with Sandbox() as sandbox:
        yield sandbox


class Served:
    """The module's sandbox for one test: limits forgotten, its requests counted from here."""

    def __init__(self, sandbox):
        sandbox.reset_rate_limits()
        self.sandbox, self.base_url, self.seen = sandbox, sandbox.base_url, len(sandbox.requests)

    def endpoints(self):
        """The endpoints asked for since the last call."""
        new = self.sandbox.requests[self.seen :]
        self.seen += len(new)
        return [r.endpoint for r in new]

    @property
    def folder_name(self):
        return "live@" + self.base_url.removeprefix("http://").replace(":", "_")


@pytest.fixture
def sb(server):
    return Served(server)


@pytest.fixture
def cache(tmp_path):
    return tmp_path / "cache"


def login(sb, cache, key=API_KEY, secret=API_SECRET, **extra):
    extra = {"base_url": sb.base_url, "cache_dir": cache, **extra}
    return authenticate(Brokers.TRADING212, TOKEN, api_key=key, api_secret=secret, **extra)


def hidden(*texts):
    basic = base64.b64encode(f"{API_KEY}:{API_SECRET}".encode()).decode()
    text = "\n".join(texts)
    for secret in (API_SECRET, OTHER_KEY, OTHER_SECRET, basic):
        assert secret not in text


def record(*values):
    return dict(zip(HOLDING_KEYS, values))


DEMO = [
    record("AAPL_US_EQ", "US0378331005", "AAPL", "AAPL", "Apple", "60", "NASDAQ", "New York", "US", "USD", 12.0),
    record("KO_US_EQ", "US1912161007", "KO", "KO", "Coca-Cola", "61", "NYSE", "New York", "US", "USD", 0.5321),
    record("VODl_EQ", "GB00BH4HKS39", "VOD", "VOD.L", "Vodafone Group", "62", "London Stock Exchange", "London", "GB",
           "GBX", 1500.0),
    record("SAPd_EQ", "DE0007164600", "SAP", "SAP.DE", "SAP", "63", "Deutsche Börse Xetra", "Frankfurt", "DE", "EUR",
           8.0),
    record("MCp_EQ", "FR0000121014", "MC", "MC.PA", "LVMH Moët Hennessy Louis Vuitton", "64", "Euronext Paris",
           "Paris", "FR", "EUR", 3.0),
    # 1.75 of the 4.25 shares are in a pie: quantity counts them already.
    record("ASMLa_EQ", "NL0010273215", "ASML", "ASML.AS", "ASML Holding", "65", "Euronext Amsterdam", "Amsterdam",
           "NL", "EUR", 4.25),
    # Not in the instrument list: what the position says, the rest null.
    record("ARM_US_EQ", "US0420682058", None, None, "Arm Holdings", None, None, None, None, "USD", 5.0),
]  # fmt: skip


# No positions, no need of the lists.
@pytest.mark.parametrize("key, expected, asked", [(API_KEY, DEMO, FULL), ("empty-portfolio", [], WARM)],
                         ids=["demo", "empty"])
def test_holdings_then_logout(sb, cache, logs, key, expected, asked):  # noqa: F811
    broker = login(sb, cache, key)
    assert broker.get_current_stock_holdings() == json.dumps(expected)
    assert sb.endpoints() == asked
    hidden(repr(broker), repr(vars(broker)), logs.text())

    logout(broker, TOKEN)
    assert sb.endpoints() == []  # forgetting the key pair asks nothing
    with pytest.raises(SessionExpired) as caught:
        broker.get_current_stock_holdings()
    assert str(caught.value) == "Could not read the portfolio from Trading 212 (not logged in)"
    assert sb.endpoints() == []


def test_positions_and_cash(sb, cache):
    broker = login(sb, cache)
    positions = broker.get_positions()
    cash = broker.get_cash_balances()
    # The summary read at login gives the account and the cash: no request of its own.
    assert sb.endpoints() == FULL
    check_positions(positions)
    check_cash_balances(cash)

    assert [{k: p[k] for k in HOLDING_KEYS} for p in positions] == DEMO
    wire = {p["instrument"]["ticker"]: p for p in POSITIONS["demo"]}
    as_of = positions[0]["as_of"]
    for p in positions:
        w = wire[p["internal_id"]]
        assert (p["price"], p["average_price"], p["base_value"]) == (
            w["currentPrice"], w["averagePricePaid"], w["walletImpact"]["currentValue"])
        assert p["value"] == p["quantity"] * p["price"]
        assert (p["base_currency"], p["account"], p["as_of"]) == ("EUR", str(ACCOUNT_ID), as_of)
    vodafone = positions[2]
    assert (vodafone["mic"], vodafone["major_currency"], vodafone["unit_scale"]) == ("XLON", "GBP", 100)
    assert positions[-1]["mic"] is None
    assert cash == [{"currency": "EUR", "amount": 1523.47, "account": str(ACCOUNT_ID), "as_of": cash[0]["as_of"]}]

    logout(broker, TOKEN)
    for read in (broker.get_positions, broker.get_cash_balances):
        with pytest.raises(SessionExpired):
            read()


def test_a_short_limit_is_waited_out(sb, cache):
    broker = login(sb, cache)
    first = broker.get_current_stock_holdings()
    seen = len(sb.sandbox.requests)
    assert broker.get_current_stock_holdings() == first  # the portfolio: one request a second
    assert [(r.endpoint, r.status) for r in sb.sandbox.requests[seen:]] == [("positions", 429), ("positions", 200)]


def test_a_long_limit_is_the_callers(sb):
    first = login(sb, False)  # no cache: each session reads the lists
    sb.sandbox.reset_rate_limits()  # the account summary: one login per 5 s
    second = login(sb, False)
    first.get_positions()
    with pytest.raises(RateLimited) as caught:
        second.get_positions()  # the instrument list: one request per 50 s
    assert 45 <= caught.value.retry_after <= 50
    assert str(caught.value) in {
        f"Could not read the instrument list from Trading 212 (too many requests (HTTP 429); try again in {s} s)"
        for s in (49, 50)
    }


# case: (key, secret, keywords, what fails: "login" or a call on the broker, error, message)
FAILURES = {
    "wrong key": (OTHER_KEY, API_SECRET, {}, "login", LoginRefused, PREFIX + "the API key or secret was refused"),
    "wrong secret": (API_KEY, OTHER_SECRET, {}, "login", LoginRefused, PREFIX + "the API key or secret was refused"),
    "no account data": ("no-account-data", API_SECRET, {}, "login", LoginRefused,
                        PREFIX + 'the API key lacks the "Account data" permission'),
    "no portfolio": ("no-portfolio", API_SECRET, {}, "get_current_stock_holdings", LoginRefused,
                     'Could not read the portfolio from Trading 212 (the API key lacks the "Portfolio" permission)'),
    "no metadata": ("no-metadata", API_SECRET, {}, "get_positions", LoginRefused,
                    'Could not read the instrument list from Trading 212 (the API key lacks the "Metadata" '
                    "permission)"),
    "rate limited": ("rate-limited", API_SECRET, {}, "login", RateLimited,
                     re.compile(re.escape(PREFIX) + r"too many requests \(HTTP 429\); try again in [56] s")),
    "408": ("timeout-408", API_SECRET, {}, "login", BrokerUnavailable, PREFIX + "Trading 212 timed out (HTTP 408)"),
    "500": ("server-error", API_SECRET, {}, "login", BrokerUnavailable, PREFIX + "Trading 212 answered HTTP 500"),
    "503": ("unavailable", API_SECRET, {}, "login", BrokerUnavailable, PREFIX + "Trading 212 answered HTTP 503"),
    "html": ("html", API_SECRET, {}, "login", BrokerUnavailable,
             PREFIX + "an HTML page instead of the API's answer (HTTP 403)"),
    "hang": ("hang", API_SECRET, {"timeout": 0.5}, "login", BrokerUnavailable, PREFIX + "no answer within 0.5 s"),
    "unreachable": (OTHER_KEY, OTHER_SECRET, {"base_url": "http://127.0.0.1:9"}, "login", BrokerUnavailable,
                    PREFIX + "could not connect (ConnectionError)"),
}  # fmt: skip


@pytest.mark.parametrize("key, secret, extra, stage, error, message", FAILURES.values(), ids=FAILURES)
def test_failures(sb, cache, logs, key, secret, extra, stage, error, message):  # noqa: F811
    with pytest.raises(error) as caught:
        broker = login(sb, cache, key, secret, **extra)
        stage(broker) if callable(stage) else getattr(broker, stage)()
    assert type(caught.value) is error
    if error is RateLimited:
        assert 0 < caught.value.retry_after <= 6
    if isinstance(message, re.Pattern):
        assert message.fullmatch(str(caught.value)), str(caught.value)
    else:
        assert str(caught.value) == message
    # Nothing chained could quote the request.
    assert caught.value.__cause__ is None and caught.value.__context__ is None
    hidden(shown(caught.value), logs.text())


@pytest.mark.parametrize("offset, expected", [(0, (4.0, 6.0)), (1000, (0.0, 0.0))], ids=["now", "clock ahead"])
def test_retry_after_is_when_the_window_resets(sb, cache, monkeypatch, offset, expected):
    # Trading 212 sends x-ratelimit-reset (a Unix time), no Retry-After; a
    # clock past the reset waits 0 s, never less.
    monkeypatch.setattr(trading212, "time", type("Clock", (), {"time": staticmethod(lambda: time.time() + offset)}))
    with pytest.raises(RateLimited) as caught:
        login(sb, cache, "rate-limited")
    assert expected[0] <= caught.value.retry_after <= expected[1]


def age(folder, hours):
    then = time.time() - hours * 3600
    for name in ("instruments.json", "exchanges.json"):
        os.utime(folder / name, (then, then))


def corrupt(folder):
    (folder / "instruments.json").write_bytes(b'[{"ticker": ')


# case: (cache_dir or None for the test's folder, what changes between the logins, second login's requests)
CACHES = {
    "cold then warm": (None, None, WARM),
    "stale": (None, lambda folder: age(folder, 25), FULL),
    "unreadable": (None, corrupt, WARM + ["instruments"]),
    "no cache": (False, None, FULL),
}


@pytest.mark.parametrize("cache_dir, change, second", CACHES.values(), ids=CACHES)
def test_metadata_cache(sb, cache, cache_dir, change, second):
    cache_dir = cache if cache_dir is None else cache_dir
    texts = []
    for expected in (FULL, second):
        sb.sandbox.reset_rate_limits()
        broker = login(sb, cache, cache_dir=cache_dir)
        texts.append(broker.get_current_stock_holdings())
        logout(broker, TOKEN)
        assert sb.endpoints() == expected
        folder = cache / sb.folder_name
        if cache_dir is not False:
            # Written whole, renamed into place: nothing else is left in the folder.
            assert sorted(os.listdir(folder)) == ["exchanges.json", "instruments.json"]
            if change:
                change(folder)
                change = None
    assert texts[0] == texts[1] == json.dumps(DEMO)
    assert cache_dir is not False or not cache.exists()


def refuse(*args, **kwargs):
    raise OSError(28, "No space left on device")


# case: (the call that fails once the temporary file is made, or None for a folder that is a file), the reason logged
UNWRITABLE = {
    "folder is a file": (None, "Not a directory"),
    "open": ("open", "No space left on device"),
    "fsync": ("fsync", "No space left on device"),
    "replace": ("replace", "No space left on device"),
}


@pytest.mark.parametrize("failing, reason", UNWRITABLE.values(), ids=UNWRITABLE)
def test_cache_folder_that_cannot_be_written(sb, cache, caplog, monkeypatch, failing, reason):
    if failing is None:
        cache.write_text("a file where the folder would be")
    else:
        # The temporary file goes, and its descriptor with it.
        if failing == "open":
            monkeypatch.setattr(trading212, "open", refuse, raising=False)
        else:
            monkeypatch.setattr(os, failing, refuse)
    descriptors = len(os.listdir("/proc/self/fd"))
    broker = login(sb, cache)
    assert broker.get_current_stock_holdings() == json.dumps(DEMO)
    warnings = [r.getMessage() for r in caplog.records if r.name == "morbex"]
    assert warnings == [f"Could not write the {what} list of Trading 212 to the cache folder "
                        f"{cache / sb.folder_name} ({reason})" for what in ("instrument", "exchange")]
    assert failing is None or os.listdir(cache / sb.folder_name) == []
    assert len(os.listdir("/proc/self/fd")) <= descriptors


@pytest.mark.parametrize(
    "extra, environment, folder",
    [
        ({"demo": True}, {}, "{cache}/demo@{host}"),
        ({"cache_dir": None}, {"XDG_CACHE_HOME": "{tmp}/xdg"}, "{tmp}/xdg/morbex/trading212/live@{host}"),
        ({"cache_dir": None}, {"XDG_CACHE_HOME": "relative", "HOME": "{tmp}"},
         "{tmp}/.cache/morbex/trading212/live@{host}"),
    ],
    ids=["demo", "XDG_CACHE_HOME", "relative XDG_CACHE_HOME"],
)
def test_cache_folder(sb, cache, tmp_path, monkeypatch, extra, environment, folder):
    fill = {"cache": cache, "tmp": tmp_path, "host": sb.folder_name.removeprefix("live@")}
    for name, value in environment.items():
        monkeypatch.setenv(name, value.format(**fill))
    broker = login(sb, cache, **extra)
    broker.get_current_stock_holdings()
    assert sorted(os.listdir(folder.format(**fill))) == ["exchanges.json", "instruments.json"]


@pytest.mark.parametrize("demo, host", [(False, "live.trading212.com"), (True, "demo.trading212.com")])
def test_the_server_of_each_environment(cache, monkeypatch, demo, host):
    sent = []

    def send(session, request, **kwargs):
        sent.append((request.url, request.headers["Authorization"]))
        raise requests.ConnectionError(f"no network in tests: {request.url} {request.headers}")

    monkeypatch.setattr(requests.Session, "send", send)
    with pytest.raises(BrokerUnavailable) as caught:
        authenticate(Brokers.TRADING212, TOKEN, api_key=API_KEY, api_secret=API_SECRET, demo=demo, cache_dir=False)
    basic = "Basic " + base64.b64encode(f"{API_KEY}:{API_SECRET}".encode()).decode()
    assert sent == [(f"https://{host}/api/v0/equity/account/summary", basic)]
    hidden(shown(caught.value))


ARGUMENTS = [
    ({}, ValueError, "'api_key' must be provided."),
    ({"api_key": API_KEY}, ValueError, "'api_secret' must be provided."),
    ({"api_key": "", "api_secret": OTHER_SECRET}, ValueError, "'api_key' must be provided."),
    ({"api_key": 12345, "api_secret": OTHER_SECRET}, TypeError, "'api_key' must be str, not int"),
    ({"api_key": API_KEY, "api_secret": OTHER_SECRET.encode()}, TypeError, "'api_secret' must be str, not bytes"),
    ({"api_key": API_KEY, "api_secret": OTHER_SECRET + "\n"}, ValueError, "'api_secret' must be printable ASCII text"),
    ({"demo": "yes"}, TypeError, "'demo' must be bool, not str"),
    ({"timeout": 0}, ValueError, "'timeout' must be a number of seconds, more than 0"),
    ({"base_url": "ftp://example.com"}, ValueError, "'base_url' must be an http:// or https:// URL"),
    ({"base_url": b"http://example.com"}, TypeError, "'base_url' must be str, not bytes"),
    ({"cache_dir": 3}, TypeError, "'cache_dir' must be a path (str or os.PathLike) or False, not int"),
]


@pytest.mark.parametrize("kwargs, error, message", ARGUMENTS, ids=[m for _, _, m in ARGUMENTS])
def test_argument_errors(sb, kwargs, error, message):
    if "api_key" not in kwargs and message.startswith(("'demo'", "'timeout'", "'base_url'", "'cache_dir'")):
        kwargs = {"api_key": API_KEY, "api_secret": OTHER_SECRET, **kwargs}
    with pytest.raises(error) as caught:
        authenticate(Brokers.TRADING212, TOKEN, **kwargs)
    assert str(caught.value) == message
    assert sb.endpoints() == []
    hidden(shown(caught.value))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda b: b.authenticate_with_username_password(username="u", password=OTHER_SECRET), "username and password"),
        (lambda b: b.authenticate_with_email_password(email="e", password=OTHER_SECRET), "email and password"),
        (lambda b: b.logout_with_username_password(), "username and password"),
    ],
    ids=["username", "email", "logout"],
)
def test_password_methods_are_not_offered(call, message):
    with pytest.raises(NotImplementedError) as caught:
        call(trading212.BrokerTrading212())
    assert str(caught.value) == f"Trading 212 does not support authentication with {message}."


# The mapping against plain Python on made-up answers: any finite double as a
# quantity, escapes of every kind, instruments and schedules not listed.
def test_the_text_is_json_dumps_of_the_records():
    answers = trading212_reference.answers(3000, 4000, seed=212, exotic=True)
    assert trading212._holdings_of(*answers) == trading212_reference.holdings(*answers)


def test_records_json_dumps_cannot_write_are_left_to_it(monkeypatch):
    positions, instruments, exchanges = trading212_reference.answers(40, 60, seed=7)
    positions[3]["instrument"]["isin"] = ["not", "plain"]
    expected = trading212_reference.holdings(positions, instruments, exchanges)
    assert trading212._holdings_of(positions, instruments, exchanges) == expected

    seen = []
    monkeypatch.setattr(json, "dumps", lambda records: seen.append(records) or "replaced")
    assert trading212._holdings_of(positions, instruments, exchanges) == "replaced"
    assert seen == [json.loads(expected)]


@pytest.mark.parametrize(
    "positions",
    [{"not": "a list"}, [{"instrument": {"ticker": "AAPL_US_EQ"}}], [{"quantity": 1}], ["a position"],
     [{"instrument": {"ticker": 5}, "quantity": 1}], [{"instrument": {"ticker": "A"}, "quantity": True}]],
    ids=["not a list", "no quantity", "no instrument", "not an object", "ticker not text", "quantity a bool"],
)  # fmt: skip
def test_positions_not_understood(positions):
    with pytest.raises(BrokerUnavailable) as caught:
        trading212._holdings_of(positions, [], [])
    assert str(caught.value) == "Could not read the portfolio from Trading 212 (an answer that was not understood)"
