"""The DEGIRO sandbox, driven by the real degiro_connector (3.0.35+): what it accepts, answers and records; and
the runner every sandbox shares."""

import json
import os
import signal
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path
from types import SimpleNamespace

import pytest
import requests
from degiro_connector.core.constants import urls
from degiro_connector.trading.api import API
from degiro_connector.trading.models.account import UpdateOption, UpdateRequest
from degiro_connector.trading.models.credentials import Credentials

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
