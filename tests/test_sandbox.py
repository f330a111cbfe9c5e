"""The sandboxes: DEGIRO's driven by the real degiro_connector (3.0.35+); Trading 212's and IB's Flex Web
Service checked directly: what they accept, answer and record."""

import base64
import http.client
import json
import os
import re
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET
from pathlib import Path
from types import SimpleNamespace
from urllib.parse import urlencode, urlsplit

import pytest
import requests
from degiro_connector.core.constants import urls
from degiro_connector.trading.api import API
from degiro_connector.trading.models.account import UpdateOption, UpdateRequest
from degiro_connector.trading.models.credentials import Credentials

import trading212_sandbox as t212
from trading212_sandbox.wire import SCHEMAS

from degiro_sandbox import (
    CLIENT_ID,
    DEMO_KEPT_POSITIONS,
    INT_ACCOUNT,
    LEADING_ZERO_CODE,
    PASSWORD,
    REDACTED,
    TOTP_SECRET,
    USERNAME,
    Sandbox,
    run_bounded,
    totp_now,
)
from degiro_sandbox.server import CONNECTOR_URLS

import ibkr_sandbox as ibkr

SANDBOX_DIR = Path(__file__).resolve().parent.parent / "sandbox"
DEGIRO = "https://trader.degiro.nl"
FORBIDDEN = {"errors": [{"text": "Request is forbidden"}]}


@pytest.fixture(autouse=True)
def no_trip_to_degiro(monkeypatch):
    """After an HTTP 405 the connector fetches DEGIRO's real login page, with no
    timeout, and swallows any error doing it: refuse, and fail the test."""
    fetched = []

    def refuse(url, *args, **kwargs):
        fetched.append(url)
        raise AssertionError(f"a test reached for {url}")

    monkeypatch.setattr(requests, "get", refuse)
    yield
    assert fetched == []


class Bounded:
    """An API object whose every call runs under sb.run_bounded, so no test can hang."""

    def __init__(self, sb, api):
        self._sb, self._api = sb, api

    def __getattr__(self, name):
        member = getattr(self._api, name)
        if not callable(member):
            return member
        return lambda timeout=5.0, **kwargs: self._sb.run_bounded(member, timeout=timeout, **kwargs)


def connector(sb, username=USERNAME, password=PASSWORD, int_account=INT_ACCOUNT, **two_factor):
    credentials = Credentials(username=username, password=password, int_account=int_account, **two_factor)
    return Bounded(sb, API(credentials=credentials))


def attempt(call, **kwargs):
    """The call's result, or the exception it raised."""
    try:
        return call(**kwargs)
    except Exception as exc:
        return exc


def flatten(positionrow):
    """A positionrow as a holdings reader sees it: {name: value}, valueless attributes left out."""
    return {attribute["name"]: attribute["value"] for attribute in positionrow["value"] if "value" in attribute}


def portfolio(api, timeout=5.0):
    """DEGIRO's positionrows, or None when the call failed."""
    request_list = [UpdateRequest(option=UpdateOption.PORTFOLIO, last_updated=0)]
    update = api.get_update(request_list=request_list, raw=True, timeout=timeout)
    return None if update is None else update["portfolio"]["value"]


def portfolio_rows(api):
    raw = portfolio(api)
    return None if raw is None else [flatten(row) for row in raw]


def products_info(api, ids, timeout=5.0):
    return api.get_products_info(product_list=ids, raw=True, timeout=timeout)


def is_product_id(text):
    try:
        int(text)
    except ValueError:
        return False
    return True


def kept(rows):
    return [row for row in rows if row["value"] != 0 and is_product_id(row["id"])]


@pytest.fixture
def sb():
    with Sandbox() as sb, sb.pointed_connector():
        yield sb


@pytest.fixture(scope="module")
def demo():
    """The demo account as the connector delivers it: positionrows, product details, exchanges."""
    with Sandbox() as sb, sb.pointed_connector():
        api = connector(sb)
        api.connect()
        raw = portfolio(api)
        rows = [flatten(row) for row in raw]
        info = products_info(api, [int(row["id"]) for row in rows if is_product_id(row["id"])])["data"]
        exchanges = api.get_products_config()["exchanges"]
        cash = api.get_update(request_list=[UpdateRequest(option=UpdateOption.CASH_FUNDS)], raw=True)["cashFunds"]
        api.logout()
    by_id = {exchange["id"]: exchange for exchange in exchanges}
    held = [by_id.get(int(info[row["id"]]["exchangeId"])) for row in kept(rows)]
    return SimpleNamespace(raw=raw, rows=rows, info=info, exchanges=exchanges, by_id=by_id, held=held,
                           cash=[flatten(row) for row in cash["value"]], raw_cash=cash["value"])  # fmt: skip


def test_demo_session_through_the_connector(sb):
    api = connector(sb)
    sid = api.connect()
    details = api.get_client_details()["data"]
    rows = portfolio_rows(api)
    ids = [int(row["id"]) for row in kept(rows)]
    info = products_info(api, ids)["data"]
    config = api.get_products_config()

    assert (details["intAccount"], details["id"]) == (INT_ACCOUNT, CLIENT_ID)
    assert len(ids) == DEMO_KEPT_POSITIONS
    assert set(info) == {str(i) for i in ids}
    assert {"exchanges", "countries", "productTypes"} <= set(config)
    assert [(s.id, s.state) for s in sb.sessions] == [(sid, "live")]

    assert api.logout() is True
    assert portfolio_rows(api) is None  # the session is gone
    assert [(s.id, s.state) for s in sb.sessions] == [(sid, "closed")]
    assert [(r.method, r.endpoint, r.status) for r in sb.requests] == [
        ("POST", "login", 200),
        ("GET", "client_details", 200),
        ("GET", "update", 200),
        ("POST", "products_info", 200),
        ("GET", "products_config", 200),
        ("PUT", "logout", 200),
        ("GET", "update", 401),
    ]
    update, dictionary = sb.requests[2], sb.requests[4]
    assert update.path == f"/trading/secure/v5/update/{INT_ACCOUNT};jsessionid={sid}"
    assert update.query == {"portfolio": "0", "intAccount": str(INT_ACCOUNT), "sessionId": sid}
    assert dictionary.path == "/productsearch/secure/v1/config/dictionary"
    assert sb.requests[3].body == ids  # posted as given
    assert sb.requests[0].body == {"username": USERNAME, "password": REDACTED, "isPassCodeReset": False,
                                   "isRedirectToMobile": False, "queryTarams": {}}
    assert PASSWORD not in repr(sb.requests)


DEMO_SHAPES = {
    "kept positions span at least eight exchanges": lambda d: len({e["id"] for e in d.held if e}) >= 8,
    "held: a fund without MIC, an exchange without city, an unlisted exchange": lambda d: (
        any(e and "micCode" not in e for e in d.held)
        and any(e and "city" not in e for e in d.held)
        and None in d.held
    ),
    "ISO MICs of the held exchanges": lambda d: {e.get("micCode") for e in d.held if e}
    >= {"XNAS", "XNYS", "XAMS", "XPAR", "XETR", "XLON", "XTSE", "XHKG", "XHEL", "XCSE"},
    "cash rows with FLATEX ids": lambda d: {r["id"] for r in d.rows if r["positionType"] == "CASH"}
    >= {"FLATEX_EUR", "FLATEX_USD"},
    "cash rows have a value": lambda d: all(r["value"] != 0 for r in d.rows if r["positionType"] == "CASH"),
    "cash funds: rows of name/value attributes": lambda d: all(r["name"] == "cashFund" for r in d.raw_cash),
    "cash funds: three currencies, one more at zero": lambda d: [f["currencyCode"] for f in d.cash if f["value"]]
    == ["EUR", "USD", "GBP"] and any(f["value"] == 0 for f in d.cash),
    "the portfolio's cash rows add up to the cash funds": lambda d: {
        f["currencyCode"]: f["value"] for f in d.cash if f["value"]
    } == {c: round(sum(r["size"] for r in d.rows if r["positionType"] == "CASH" and r["id"].endswith(c)), 2)
          for c in ("EUR", "USD", "GBP")},
    "a closed position": lambda d: any(r["size"] == 0 and r["value"] == 0 for r in d.rows),
    "zero value with non-zero size": lambda d: any(r["value"] == 0 and r["size"] != 0 for r in d.rows),
    "negative value (short)": lambda d: any(r["value"] < 0 for r in kept(d.rows)),
    "one product in two rows": lambda d: len(kept(d.rows)) - len({r["id"] for r in kept(d.rows)}) == 1,
    "positionrows of name/value attributes": lambda d: all(
        r["name"] == "positionrow" and r["id"] == flatten(r)["id"] for r in d.raw
    ),
    "numbers on the wire: ints and floats": lambda d: {type(r["size"]) for r in d.rows} == {int, float},
    "attributes without a value": lambda d: all(
        any("value" not in attribute for attribute in r["value"]) for r in d.raw
    ),
    "fund on FundShare Matching without micCode": lambda d: d.by_id[10000]["name"] == "FundShare Matching"
    and "micCode" not in d.by_id[10000]
    and any(p["exchangeId"] == "10000" and p["productType"] == "FUND" for p in d.info.values()),
    "an exchange without city": lambda d: any("city" not in e for e in d.exchanges),
    "a product on an unlisted exchange": lambda d: any(int(p["exchangeId"]) not in d.by_id for p in d.info.values()),
    "numeric symbols": lambda d: {"700", "9988"} <= {p["symbol"] for p in d.info.values()},
    "non-ASCII names": lambda d: {"NESTLÉ SA", "Société Générale SA", "Ørsted A/S"} <= {p["name"] for p in d.info.values()},
    "wire types: id text keys, exchangeId text, exchange id int": lambda d: all(
        k == p["id"] and isinstance(p["exchangeId"], str) for k, p in d.info.items()
    )
    and all(type(e["id"]) is int for e in d.exchanges),
}


@pytest.mark.parametrize("check", DEMO_SHAPES.values(), ids=DEMO_SHAPES.keys())
def test_demo_account_shapes(demo, check):
    assert check(demo)


def test_consecutive_bad_passwords_are_counted_until_a_success(sb):
    def failures(password):
        result = attempt(connector(sb, password=password).connect)
        return None if isinstance(result, str) else result.error_details.login_failures

    assert [failures(p) for p in ("x", "y", PASSWORD, "z")] == [1, 2, None, 1]


def totp_login(sb, username, code):
    return call(sb, "POST", "/login/secure/login/totp", {**LOGIN, "username": username, "oneTimePassword": code})[0]


def test_two_factor_codes_are_exact_text_and_open_one_session(sb):
    if time.time() % 30 > 28:  # the previous step's code must stay within the drift allowed
        time.sleep(30 - time.time() % 30 + 0.1)
    code = f"{totp_now(TOTP_SECRET):06d}"
    previous = f"{totp_now(TOTP_SECRET, time.time() - 30):06d}"
    stale = f"{totp_now(TOTP_SECRET, time.time() - 90):06d}"
    tries = [
        ("totp-needed", stale, 400),
        ("totp-needed", int(code), 400),
        ("totp-needed", previous, 200),
        ("totp-needed", code, 200),
        ("totp-needed", code, 400),  # already opened a session
        (USERNAME, code, 400),  # 2FA off
        ("totp-leading-zero", LEADING_ZERO_CODE.lstrip("0"), 400),
        ("totp-leading-zero", LEADING_ZERO_CODE, 200),
        ("totp-leading-zero", LEADING_ZERO_CODE, 400),
    ]

    assert [totp_login(sb, name, c) for name, c, _ in tries] == [status for *_, status in tries]
    assert [s.username for s in sb.sessions] == ["totp-needed", "totp-needed", "totp-leading-zero"]
    assert all(r.body["oneTimePassword"] == REDACTED for r in sb.requests)
    assert code not in repr(sb.requests)


# username, intAccount in the credentials, what happens before, statuses of:
# client details, update, products info, products config, logout (None: never answered)
DATA_CALLS = [
    (USERNAME, INT_ACCOUNT, None, (200, 200, 200, 200, 200)),
    (USERNAME, None, None, (200, 400, 403, 403, 200)),
    (USERNAME, 27182818, None, (200, 403, 403, 403, 403)),
    (USERNAME, INT_ACCOUNT, "logout", (401, 401, 401, 401, 401)),
    (USERNAME, INT_ACCOUNT, "expire", (401, 401, 401, 401, 401)),
    ("expired", INT_ACCOUNT, None, (401, 401, 401, 401, 401)),
    ("hang-portfolio", INT_ACCOUNT, None, (200, None, 200, 200, 200)),
]


@pytest.mark.parametrize("username, int_account, before, statuses", DATA_CALLS)
def test_data_call_outcomes(sb, username, int_account, before, statuses):
    api = connector(sb, username, int_account=int_account)
    api.connect()
    if before == "logout":
        api.logout()
    elif before == "expire":
        sb.expire_sessions()
    skip = len(sb.requests)
    # A call that is never answered gets half a second.
    timeouts = [0.5 if status is None else 5.0 for status in statuses]

    results = [
        attempt(api.get_client_details, timeout=timeouts[0]),
        attempt(portfolio, api=api, timeout=timeouts[1]),
        attempt(products_info, api=api, ids=[331868], timeout=timeouts[2]),
        attempt(api.get_products_config, timeout=timeouts[3]),
        attempt(api.logout, timeout=timeouts[4]),
    ]
    assert tuple(r.status for r in sb.requests[skip:]) == statuses
    # The connector turns every failed data call into None, and logout's 200 into True.
    expected = [None if s is None else s == 200 for s in statuses]
    assert [None if isinstance(r, TimeoutError) else r is not None for r in results] == expected


LOGIN = {"username": USERNAME, "password": PASSWORD, "isPassCodeReset": False, "isRedirectToMobile": False,
         "queryTarams": {}}
JSON = "application/json;charset=UTF-8"
UPDATE = "/trading/secure/v5/update/{ia};jsessionid={sid}?portfolio=0&intAccount={ia}&sessionId={sid}"
INFO = "/product_search/secure/v5/products/info?intAccount={ia}&sessionId={sid}"
DICTIONARY = "/productsearch/secure/v1/config/dictionary?intAccount={ia}&sessionId={sid}"


def call(sb, method, target, body=None, content_type=JSON):
    data = body if body is None or isinstance(body, bytes) else json.dumps(body).encode()
    request = urllib.request.Request(sb.base_url + target, data=data, method=method,
                                     headers={"Content-Type": content_type})
    try:
        with urllib.request.urlopen(request, timeout=5) as response:
            status, payload = response.status, response.read()
    except urllib.error.HTTPError as error:
        with error:
            status, payload = error.code, error.read()
    try:
        return status, json.loads(payload)
    except ValueError:
        return status, payload


# Requests the connector never sends, next to the ones it does: method, target, body, content type, status
RAW = [
    ("GET", UPDATE, None, JSON, 200),
    ("POST", "/login/secure/login", {**LOGIN, "remember": True}, JSON, 400),
    ("POST", "/login/secure/login", {**{k: v for k, v in LOGIN.items() if k != "queryTarams"}, "queryParams": {}},
     JSON, 400),
    ("POST", "/login/secure/login", {**LOGIN, "password": 1234}, JSON, 400),
    ("POST", "/login/secure/login", b"username=demo&password=x", "application/x-www-form-urlencoded", 415),
    ("POST", "/login/secure/login", b"username=demo", JSON, 400),
    ("POST", "/login/secure/login", {**LOGIN, "username": "maintenance"}, JSON, 405),
    ("POST", "/login/secure/login/totp", LOGIN, JSON, 400),
    ("POST", "/login/secure/login/totp", {**LOGIN, "username": "totp-needed", "oneTimePassword": 123456}, JSON, 400),
    ("POST", "/login/secure/login/in-app", LOGIN, JSON, 400),
    ("POST", "/login/secure/login/in-app", {**LOGIN, "inAppToken": "not-a-token"}, JSON, 400),
    ("GET", "/login/secure/login", None, JSON, 405),
    ("GET", "/trader/", None, JSON, 404),
    ("GET", "/pa/secure/client", None, JSON, 401),
    ("GET", "/pa/secure/client?sessionId={sid}&intAccount={ia}", None, JSON, 400),
    ("GET", UPDATE.replace(";jsessionid={sid}", ";jsessionid=OTHER"), None, JSON, 401),
    ("GET", UPDATE.replace(";jsessionid={sid}", ""), None, JSON, 404),
    ("GET", UPDATE.replace("{ia}", "0"), None, JSON, 403),
    ("GET", UPDATE.replace("&intAccount={ia}", ""), None, JSON, 403),
    ("GET", UPDATE.replace("{ia};", "27182818;"), None, JSON, 400),
    ("GET", UPDATE.replace("{ia};", "None;").replace("&intAccount={ia}", ""), None, JSON, 400),
    ("GET", UPDATE.replace("portfolio=0", "portfolio=zero"), None, JSON, 400),
    ("GET", UPDATE.replace("portfolio=0", "positions=0"), None, JSON, 400),
    ("POST", INFO, ["331868", "-1"], JSON, 200),
    ("POST", INFO, [331868, "332111"], JSON, 200),
    ("POST", INFO, [], JSON, 200),
    ("POST", INFO, [True], JSON, 400),
    ("POST", INFO, [331868.0], JSON, 400),
    ("POST", INFO, [2147483648], JSON, 400),
    ("POST", INFO, {"ids": ["331868"]}, JSON, 400),
    ("POST", INFO.replace("{ia}", "0"), ["331868"], JSON, 403),
    ("GET", DICTIONARY, None, JSON, 200),
    ("GET", "/product_search/config/dictionary?intAccount={ia}&sessionId={sid}", None, JSON, 404),
    ("GET", DICTIONARY + "&sessionId={sid}", None, JSON, 400),
    ("GET", DICTIONARY.replace("{ia}", "27182818"), None, JSON, 403),
    ("PUT", "/trading/secure/logout?intAccount={ia}&sessionId={sid}", None, JSON, 404),
    ("DELETE", "/trading/secure/logout;jsessionid={sid}?intAccount={ia}&sessionId={sid}", None, JSON, 405),
]


@pytest.mark.parametrize("method, target, body, content_type, status", RAW)
def test_raw_requests(sb, method, target, body, content_type, status):
    _, login = call(sb, "POST", "/login/secure/login", LOGIN)
    answer_status, answer = call(sb, method, target.format(sid=login["sessionId"], ia=INT_ACCOUNT), body, content_type)
    assert answer_status == status
    if status == 403:
        assert answer == FORBIDDEN
    assert PASSWORD not in repr(sb.requests)


def test_connector_urls_are_degiros_paths():
    assert {name: getattr(urls, name) for name in CONNECTOR_URLS} == {
        name: DEGIRO + path for name, path in CONNECTOR_URLS.items()
    }


def test_connector_urls_are_restored():
    original = {name: getattr(urls, name) for name in CONNECTOR_URLS}
    with Sandbox() as sb:
        with sb.pointed_connector():
            assert {name: getattr(urls, name) for name in CONNECTOR_URLS} == sb.urls
            assert urls.PRODUCT_SEARCH_DICTIONARY == sb.base_url + "/productsearch/secure/v1/config/dictionary"
        assert {name: getattr(urls, name) for name in CONNECTOR_URLS} == original
        sb.patch_connector()
    assert {name: getattr(urls, name) for name in CONNECTOR_URLS} == original


# -- the command line --------------------------------------------------------

def sandbox_command(*args):
    return [sys.executable, "-m", "degiro_sandbox", *args]


def sandbox_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("DEGIRO_USERNAME", "DEGIRO_PASSWORD")}
    return {**env, "PYTHONPATH": str(SANDBOX_DIR), **extra}


def test_run_a_command_against_a_sandbox():
    # What `bash scripts/dev holdings` does: the morbex command, pointed at the sandbox by the runner.
    done = subprocess.run(sandbox_command("run", "--", sys.executable, "-m", "morbex", "holdings", "--format", "csv"),
                          env=sandbox_env(), capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert len(done.stdout.splitlines()) == 1 + DEMO_KEPT_POSITIONS
    assert PASSWORD not in done.stdout + done.stderr


def test_run_forwards_an_interrupt_to_the_command():
    child = "import sys, time\ntry:\n print('ready', flush=True)\n time.sleep(30)\nexcept KeyboardInterrupt:\n sys.exit(42)"
    # A session of its own: no terminal, so the interrupt reaches the sandbox alone.
    process = subprocess.Popen(sandbox_command("run", "--", sys.executable, "-c", child), env=sandbox_env(),
                               stdout=subprocess.PIPE, text=True, start_new_session=True)
    try:
        assert run_bounded(process.stdout.readline, timeout=20) == "ready\n"
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=20) == 42
    finally:
        process.kill()
        process.wait()
        process.stdout.close()



# -- the Trading 212 sandbox ---------------------------------------------------
# Direct checks of the server; the client's end-to-end tables run against it elsewhere.

SUMMARY, HOLDINGS = "/api/v0/equity/account/summary", "/api/v0/equity/positions"
INSTRUMENTS, EXCHANGES = "/api/v0/equity/metadata/instruments", "/api/v0/equity/metadata/exchanges"


def basic(key, secret=t212.API_SECRET):
    return "Basic " + base64.b64encode(f"{key}:{secret}".encode()).decode()


def t212_call(sb, path, authorization=basic(t212.API_KEY), method="GET", timeout=5):
    """(status, headers, JSON or text body) of one request to the Trading 212 sandbox."""
    request = urllib.request.Request(sb.base_url + path, method=method, headers={"Authorization": authorization})
    try:
        with urllib.request.urlopen(request, timeout=timeout) as response:
            status, headers, payload = response.status, response.headers, response.read()
    except urllib.error.HTTPError as error:
        with error:
            status, headers, payload = error.code, error.headers, error.read()
    if headers.get_content_type() == "application/json":
        return status, headers, json.loads(payload)
    return status, headers, payload.decode()


# Authorization, method, path, status (None: never answered), the detail of a JSON
# error, whether the answer carries the x-ratelimit-* headers
T212_CALLS = [
    (basic(t212.API_KEY), "GET", SUMMARY, 200, None, True),
    (t212.LEGACY_API_KEY, "GET", HOLDINGS, 200, None, True),
    (basic(t212.LEGACY_API_KEY), "GET", HOLDINGS, 401, "Bad API key", False),  # a legacy key has no secret
    (basic(t212.API_KEY, "wrong"), "GET", HOLDINGS, 401, "Bad API key", False),
    (basic("nobody"), "GET", HOLDINGS, 401, "Bad API key", False),
    ("Basic !!", "GET", HOLDINGS, 401, "Bad API key", False),
    (basic("no-portfolio"), "GET", HOLDINGS, 403, "Scope( portfolio ) missing for API key", True),
    (basic("no-portfolio"), "GET", SUMMARY, 200, None, True),
    (basic("no-metadata"), "GET", EXCHANGES, 403, "Scope( metadata ) missing for API key", True),
    (basic("no-account-data"), "GET", SUMMARY, 403, "Scope( account ) missing for API key", True),
    (basic("rate-limited"), "GET", INSTRUMENTS, 429, "Limited: 1 / 50s", True),
    (basic("server-error"), "GET", SUMMARY, 500, "Internal server error", False),
    (basic("unavailable"), "GET", SUMMARY, 503, "Service temporarily unavailable", False),
    (basic("timeout-408"), "GET", HOLDINGS, 408, "Timed-out", False),
    (basic("html"), "GET", HOLDINGS, 403, None, False),
    (basic("hang"), "GET", HOLDINGS, None, None, False),
    (basic(t212.API_KEY), "GET", HOLDINGS + "?ticker=KO_US_EQ&ticker=SAPd_EQ", 400, "Repeated query parameter", False),
    (basic(t212.API_KEY), "GET", SUMMARY + "?ticker=KO_US_EQ", 400, "Unexpected query parameter(s) ['ticker']", True),
    (basic(t212.API_KEY), "GET", "/api/v0/equity/portfolio", 404, "No endpoint at /api/v0/equity/portfolio", False),
    (basic(t212.API_KEY), "POST", HOLDINGS, 405, "POST is not allowed here", False),
]


@pytest.mark.parametrize("authorization, method, path, status, detail, counted", T212_CALLS)
def test_trading212_answers(authorization, method, path, status, detail, counted):
    with t212.Sandbox() as sb:
        try:
            answered, headers, body = t212_call(sb, path, authorization, method, timeout=0.5 if status is None else 5)
        except (TimeoutError, urllib.error.URLError):
            answered, headers, body = None, {}, None
        assert (answered, sb.requests[-1].status) == (status, status)
        assert ("x-ratelimit-reset" in headers) == counted
        if detail is not None:
            assert (body["status"], body["detail"]) == (status, detail)
        elif status == 403:
            assert headers.get_content_type() == "text/html" and "Access Denied" in body
    assert t212.API_SECRET not in repr(sb.requests) and t212.LEGACY_API_KEY not in repr(sb.requests)


def test_trading212_rate_limits_per_account_with_headers():
    with t212.Sandbox() as sb:
        before = time.time()
        first, spent = t212_call(sb, SUMMARY), t212_call(sb, SUMMARY)
        positions = t212_call(sb, HOLDINGS)
        legacy = t212_call(sb, HOLDINGS, t212.LEGACY_API_KEY)  # another key of the same account
        other = t212_call(sb, HOLDINGS, basic("empty-portfolio"))  # another account
        sb.reset_rate_limits()
        again = t212_call(sb, SUMMARY)

    assert [r[0] for r in (first, spent, positions, legacy, other, again)] == [200, 429, 200, 429, 200, 200]
    assert spent[2]["detail"] == "Limited: 1 / 5s" and other[2] == []
    limits = {name: int(spent[1][name]) for name in ("x-ratelimit-limit", "x-ratelimit-period",
                                                     "x-ratelimit-remaining", "x-ratelimit-used")}
    assert limits == {"x-ratelimit-limit": 1, "x-ratelimit-period": 5, "x-ratelimit-remaining": 0,
                      "x-ratelimit-used": 1}
    assert before + 5 <= int(spent[1]["x-ratelimit-reset"]) <= time.time() + 6  # a Unix time
    assert first[1]["x-ratelimit-reset"] == spent[1]["x-ratelimit-reset"]
    assert [(r.endpoint, r.auth, r.status) for r in sb.requests][2:4] == [("positions", "basic", 200),
                                                                         ("positions", "legacy", 429)]


def test_trading212_demo_account_data():
    with t212.Sandbox(filler_instruments=50) as sb:
        summary = t212_call(sb, SUMMARY)[2]
        positions = t212_call(sb, HOLDINGS)[2]
        instruments = t212_call(sb, INSTRUMENTS)[2]
        exchanges = t212_call(sb, EXCHANGES)[2]
        only_ko = t212_call(sb, HOLDINGS + "?ticker=KO_US_EQ", basic("no-metadata"))[2]  # a window of its own

    listed = {i["ticker"]: i for i in instruments}
    schedules = {s["id"]: e["name"] for e in exchanges for s in e["workingSchedules"]}
    held = {p["instrument"]["ticker"]: p for p in positions}
    assert (summary["id"], summary["currency"]) == (t212.ACCOUNT_ID, t212.CURRENCY)
    assert len(instruments) == len(listed) == 50 + 11
    assert all(i["workingScheduleId"] in schedules for i in instruments)
    assert {schedules[listed[t]["workingScheduleId"]] for t in held if t in listed} == {
        "NASDAQ", "NYSE", "London Stock Exchange", "Deutsche Börse Xetra", "Euronext Paris", "Euronext Amsterdam"}
    assert [t for t in held if t not in listed] == ["ARM_US_EQ"]
    assert {p["instrument"]["currency"] for p in positions} == {"USD", "GBX", "EUR"}
    assert {p["walletImpact"]["currency"] for p in positions} == {"EUR"}
    pie = held["ASMLa_EQ"]
    assert 0 < pie["quantityInPies"] < pie["quantity"] == 4.25
    assert held["KO_US_EQ"]["quantity"] == 0.5321
    assert summary["investments"]["currentValue"] == pytest.approx(sum(p["walletImpact"]["currentValue"]
                                                                       for p in positions))
    assert [p["instrument"]["ticker"] for p in only_ko] == ["KO_US_EQ"]

    # Every object has exactly the members of its schema in the reference.
    shapes = [(summary, "AccountSummary"), (summary["cash"], "Cash"), (summary["investments"], "Investments")]
    shapes += [(p, "Position") for p in positions] + [(p["instrument"], "Instrument") for p in positions]
    shapes += [(p["walletImpact"], "PositionWalletImpact") for p in positions]
    shapes += [(i, "TradableInstrument") for i in instruments] + [(e, "Exchange") for e in exchanges]
    shapes += [(s, "WorkingSchedule") for e in exchanges for s in e["workingSchedules"]]
    shapes += [(t, "TimeEvent") for e in exchanges for s in e["workingSchedules"] for t in s["timeEvents"]]
    assert [(name, sorted(value)) for value, name in shapes] == [(name, sorted(SCHEMAS[name])) for _, name in shapes]


def test_trading212_runner_hands_the_command_url_and_keys():
    show = "import os; print(os.environ['MORBEX_TRADING212_URL'], os.environ['TRADING212_API_KEY'])"
    done = subprocess.run([sys.executable, "-m", "trading212_sandbox", "run", "--", sys.executable, "-c", show],
                          env=sandbox_env(TRADING212_API_KEY="no-portfolio"), capture_output=True, text=True,
                          timeout=60)
    url, key = done.stdout.split()
    assert (done.returncode, url.startswith("http://127.0.0.1:"), key) == (0, True, "no-portfolio")


# -- the IBKR Flex Web Service sandbox -----------------------------------------

def flex(sb, endpoint, t=ibkr.TOKEN, q=ibkr.QUERY_ID, v="3", user_agent="morbex-tests/1"):
    """One GET, as a client sends it: (HTTP status, headers, body)."""
    connection = http.client.HTTPConnection(urlsplit(sb.base_url).hostname, urlsplit(sb.base_url).port, timeout=5)
    try:
        connection.request("GET", f"/AccountManagement/FlexWebService/{endpoint}?{urlencode(dict(t=t, q=q, v=v))}",
                           headers={"User-Agent": user_agent} if user_agent else {})
        response = connection.getresponse()
        return response.status, dict(response.getheaders()), response.read()
    finally:
        connection.close()


def fetch_statement(sb, t=ibkr.TOKEN, q=ibkr.QUERY_ID):
    """SendRequest, then GetStatement until it stops answering 1019: (headers, body)."""
    code = ET.fromstring(flex(sb, "SendRequest", t, q)[2]).findtext("ReferenceCode")
    while True:
        _, headers, body = flex(sb, "GetStatement", t, code)
        if b"<ErrorCode>1019</ErrorCode>" not in body:
            return headers, body


def test_flex_statement_after_two_polls():
    with ibkr.Sandbox(per_second=None) as sb:
        answer = ET.fromstring(flex(sb, "SendRequest")[2])
        assert (answer.findtext("Status"), answer.findtext("Url")) == ("Success", ibkr.GET_STATEMENT_URL)
        polls = [ET.fromstring(flex(sb, "GetStatement", q=answer.findtext("ReferenceCode"))[2]) for _ in range(3)]
        assert [(p.findtext("Status"), p.findtext("ErrorCode")) for p in polls[:2]] == [("Warn", "1019")] * 2
        assert [(r.endpoint, r.error_code) for r in sb.requests] == [
            ("SendRequest", None), ("GetStatement", 1019), ("GetStatement", 1019), ("GetStatement", None)]
        assert ibkr.TOKEN not in repr(sb.requests) and ibkr.QUERY_ID not in repr(sb.requests)

    statement = polls[2]
    assert [(a.get("accountId"), a.get("currency")) for a in statement.iter("AccountInformation")] == [
        ("U1234567", "EUR"), ("U7654321", "USD")]
    rows = list(statement.iter("OpenPosition"))
    summary = [r for r in rows if r.get("levelOfDetail") == "SUMMARY"]
    assert len([r for r in summary if r.get("assetCategory") == "STK"]) == ibkr.DEMO_KEPT_POSITIONS
    number = lambda row, name: float(row.get(name))  # noqa: E731
    for row in summary:  # the money fields agree with quantity x price x multiplier
        size = number(row, "position") * number(row, "multiplier")
        assert number(row, "positionValue") == pytest.approx(size * number(row, "markPrice"), abs=1e-3)
        assert number(row, "costBasisMoney") == pytest.approx(size * number(row, "costBasisPrice"), abs=1e-3)
        lots = [r for r in rows if r.get("levelOfDetail") == "LOT" and
                (r.get("accountId"), r.get("conid")) == (row.get("accountId"), row.get("conid"))]
        assert not lots or sum(number(lot, "position") for lot in lots) == pytest.approx(number(row, "position"))
    assert {"NASDAQ", "NYSE", "ARCA", "LSE", "IBIS", "SBF", "AEB", "SEHK", "TSE", "TSEJ", "PINK", "TASE", "CBOE"} == {
        r.get("listingExchange") for r in summary}
    assert {r.get("currency") for r in statement.iter("CashReportCurrency") if r.get("levelOfDetail") == "BaseCurrency"
            } == {"BASE_SUMMARY"}


FLEX_FAILURES = [
    # endpoint, token, query, version, user agent -> HTTP status, ErrorCode
    ("SendRequest", ibkr.TOKEN_EXPIRED, ibkr.QUERY_ID, "3", "Java/1.8", 200, 1012),
    ("SendRequest", ibkr.TOKEN_INVALID, ibkr.QUERY_ID, "3", "Java/1.8", 200, 1015),
    ("SendRequest", ibkr.TOKEN, ibkr.QUERY_UNKNOWN, "3", "Java/1.8", 200, 1014),
    ("SendRequest", ibkr.TOKEN_RATE_LIMITED, ibkr.QUERY_ID, "3", "Java/1.8", 200, 1018),
    ("SendRequest", ibkr.TOKEN, ibkr.QUERY_ID, "2", "Java/1.8", 200, 1020),
    ("SendRequest", ibkr.TOKEN, ibkr.QUERY_ID, "3", None, 403, None),
    ("SendRequest", ibkr.TOKEN_SERVER_ERROR, ibkr.QUERY_ID, "3", "Java/1.8", 500, None),
    ("GetStatement", ibkr.TOKEN, "1234567890", "3", "Java/1.8", 200, 1017),
]


@pytest.mark.parametrize("endpoint, token, query, version, user_agent, status, code", FLEX_FAILURES)
def test_flex_failures(endpoint, token, query, version, user_agent, status, code):
    with ibkr.Sandbox() as sb:
        answer_status, headers, body = flex(sb, endpoint, token, query, version, user_agent)
        assert (answer_status, sb.requests[0].error_code) == (status, code)
    if code is not None:
        answer = ET.fromstring(body)
        assert (answer.findtext("Status"), answer.findtext("ErrorMessage")) == ("Fail", ibkr.ERRORS[code])


def test_flex_limits_per_token():
    now = [0.0]
    with ibkr.Sandbox(clock=lambda: now[0]) as sb:
        for now[0] in (0.0, 0.5, *range(1, 11), 60.0):
            flex(sb, "SendRequest")
    # 0.5 s after the first: one a second; t=10 s: the eleventh in a minute; at 60 s the first has aged out.
    assert [r.error_code for r in sb.requests] == [None, 1018] + [None] * 9 + [1018, None]


def not_xml(body):
    try:
        ET.fromstring(body)
    except ET.ParseError:
        return True
    return False


@pytest.fixture(scope="module")
def quick_flex():
    with ibkr.Sandbox(per_second=None, per_minute=None, polls_before_ready=0, huge_bytes=2**20) as sb:
        yield sb


FLEX_STATEMENTS = {
    ibkr.QUERY_DASHED_DATES: lambda h, b: re.search(rb'reportDate="2026-05-04"', b) is not None,
    ibkr.QUERY_EMPTY: lambda h, b: ET.fromstring(b).find(".//OpenPosition") is None,
    ibkr.QUERY_CSV: lambda h, b: b.startswith(b'"ClientAccountID","AccountAlias",'),
    ibkr.QUERY_TEXT: lambda h, b: b.startswith(b"ClientAccountID|AccountAlias|"),
    ibkr.QUERY_MALFORMED: lambda h, b: not_xml(b),
    ibkr.QUERY_BILLION_LAUGHS: lambda h, b: b"<!ENTITY lol9 " in b and b"&lol9;" in b,
    ibkr.QUERY_HUGE: lambda h, b: "Content-Length" not in h and 2**20 - 2000 < len(b) <= 2**20
    and ET.fromstring(b).tag == "FlexQueryResponse",
}


@pytest.mark.parametrize("query, check", FLEX_STATEMENTS.items(), ids=[
    "dashed-dates", "empty", "csv", "text", "malformed", "billion-laughs", "huge"])
def test_flex_statement_variants(quick_flex, query, check):
    assert check(*fetch_statement(quick_flex, q=query))


def test_flex_hang_ends_when_the_sandbox_closes():
    sb = ibkr.Sandbox().start()
    try:
        with pytest.raises(TimeoutError):
            run_bounded(flex, sb, "SendRequest", ibkr.TOKEN_HANG, timeout=0.5)
    finally:
        sb.close()
    assert [r.status for r in sb.requests] == [None]


def test_flex_runner_hands_the_command_its_address_and_credentials():
    child = "import os, sys\nprint(os.environ['MORBEX_IBKR_URL'])\nsys.exit(os.environ['IBKR_FLEX_TOKEN'] != sys.argv[1])"
    env = {k: v for k, v in sandbox_env().items() if not k.startswith("IBKR_FLEX_")}
    done = subprocess.run([sys.executable, "-m", "ibkr_sandbox", "run", "--", sys.executable, "-c", child, ibkr.TOKEN],
                          env=env, capture_output=True, text=True, timeout=60)
    assert (done.returncode, done.stdout.startswith("http://127.0.0.1:")) == (0, True), done.stderr
