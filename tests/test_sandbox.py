"""The sandbox driven by the real degiro_connector: what it accepts, answers and records."""

import json
import time
import urllib.error
import urllib.request
from types import SimpleNamespace

import pytest
from degiro_connector.core.constants import urls
from degiro_connector.core.helpers import pb_handler
from degiro_connector.trading.api import API
from degiro_connector.trading.models.trading_pb2 import Credentials, ProductsInfo, Update

from degiro_sandbox import (
    CLIENT_ID,
    DEMO_KEPT_POSITIONS,
    INT_ACCOUNT,
    PASSWORD,
    REDACTED,
    TOTP_SECRET,
    USERNAME,
    Sandbox,
)
from degiro_sandbox.server import CONNECTOR_URLS

# protobuf 4.25 calls datetime.utcnow() in every get_update (Timestamp.GetCurrentTime).
pytestmark = pytest.mark.filterwarnings(r"ignore:datetime\.datetime\.utcnow\(\) is deprecated:DeprecationWarning:google\.protobuf")

FORBIDDEN = {"errors": [{"text": "Request is forbidden"}]}


class Bounded:
    """An API object whose every call runs under sb.run_bounded, so no test can hang."""

    def __init__(self, sb, api):
        self._sb, self._api = sb, api

    def __getattr__(self, name):
        method = getattr(self._api, name)
        return lambda **kwargs: self._sb.run_bounded(method, **kwargs)


def connector(sb, username=USERNAME, password=PASSWORD, int_account=INT_ACCOUNT, **two_factor):
    credentials = Credentials(username=username, password=password, int_account=int_account, **two_factor)
    return Bounded(sb, API(credentials))


def portfolio_rows(api):
    request_list = Update.RequestList()
    request_list.values.extend([Update.Request(option=Update.Option.PORTFOLIO, last_updated=0)])
    update = api.get_update(request_list=request_list)
    return None if update is None else pb_handler.message_to_dict(message=update)["portfolio"]["values"]


def products_info(api, ids):
    request = ProductsInfo.Request()
    request.products.extend(ids)
    return api.get_products_info(request=request, raw=True)


def is_product_id(text):
    try:
        int(text)
    except ValueError:
        return False
    return True


def kept(rows):
    return [row for row in rows if row["value"] != 0.0 and is_product_id(row["id"])]


@pytest.fixture
def sb():
    with Sandbox() as sb, sb.pointed_connector():
        yield sb


@pytest.fixture(scope="module")
def demo():
    """The demo account as the connector delivers it: rows, product details, exchanges."""
    with Sandbox() as sb, sb.pointed_connector():
        api = connector(sb)
        api.connect()
        rows = portfolio_rows(api)
        info = products_info(api, [int(row["id"]) for row in rows if is_product_id(row["id"])])["data"]
        exchanges = api.get_products_config(raw=True)["exchanges"]
        api.logout()
    by_id = {exchange["id"]: exchange for exchange in exchanges}
    held = [by_id.get(int(info[row["id"]]["exchangeId"])) for row in kept(rows)]
    return SimpleNamespace(rows=rows, info=info, exchanges=exchanges, by_id=by_id, held=held)


def test_demo_session_through_the_connector(sb):
    api = connector(sb)
    sid = api.connect()
    details = api.get_client_details()["data"]
    rows = portfolio_rows(api)
    ids = [int(row["id"]) for row in kept(rows)]
    info = products_info(api, ids)["data"]
    config = api.get_products_config(raw=True)

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
    update = sb.requests[2]
    assert update.path == f"/trading/secure/v5/update/{INT_ACCOUNT};jsessionid={sid}"
    assert update.query == {"portfolio": "0", "intAccount": str(INT_ACCOUNT), "sessionId": sid}
    assert sb.requests[3].body == [str(i) for i in ids]
    assert sb.requests[0].body["password"] == REDACTED
    assert PASSWORD not in repr(sb.requests)


def test_account_number_discovery_logs_out_the_first_session(sb):
    first = connector(sb, int_account=None)
    first.connect()
    learned = first.get_client_details()["data"]["intAccount"]
    assert first.logout() is True
    second = connector(sb, int_account=learned)
    second.connect()

    assert len(kept(portfolio_rows(second))) == DEMO_KEPT_POSITIONS
    assert [s.state for s in sb.sessions] == ["closed", "live"]
    assert [r.endpoint for r in sb.requests if r.endpoint.startswith("log")] == ["login", "logout", "login"]


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
    "a closed position": lambda d: any(r["size"] == 0 and r["value"] == 0 for r in d.rows),
    "zero value with non-zero size": lambda d: any(r["value"] == 0 and r["size"] != 0 for r in d.rows),
    "negative value (short)": lambda d: any(r["value"] < 0 for r in kept(d.rows)),
    "one product in two rows": lambda d: len(kept(d.rows)) - len({r["id"] for r in kept(d.rows)}) == 1,
    "numbers arrive as floats": lambda d: all(isinstance(r["size"], float) for r in d.rows),
    "valueless attributes are dropped": lambda d: all("accruedInterest" not in r for r in d.rows),
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


# Portfolio variants: login name, kept positions, what the exchange of the last (added) position lacks
VARIANTS = [
    ("empty-portfolio", 0, None),
]


@pytest.mark.parametrize("username, count, lacks", VARIANTS)
def test_portfolio_variants(sb, username, count, lacks):
    api = connector(sb, username)
    api.connect()
    rows = kept(portfolio_rows(api))
    info = products_info(api, [int(row["id"]) for row in rows])["data"]
    by_id = {exchange["id"]: exchange for exchange in api.get_products_config(raw=True)["exchanges"]}

    assert len(rows) == count
    if rows:
        assert lacks(by_id.get(int(info[rows[-1]["id"]]["exchangeId"])))
    else:
        assert info == {} and sb.requests[-2].body == []


# username, password, 2FA credentials, connect outcome (None: success), status of the login answer
LOGINS = [
    (USERNAME, PASSWORD, {}, None, 200),
    (USERNAME, "not-the-password", {}, "400 Client Error", 400),
    ("nobody", PASSWORD, {}, "400 Client Error", 400),
    (USERNAME, PASSWORD, {"totp_secret_key": TOTP_SECRET}, "400 Client Error", 400),
    ("totp-needed", PASSWORD, {}, '2FA is enabled, please provide the "totp_secret".', 202),
    ("totp-needed", PASSWORD, {"totp_secret_key": TOTP_SECRET}, None, 200),
    ("totp-needed", PASSWORD, {"one_time_password": 1}, "400 Client Error", 400),
    ("totp-needed", "not-the-password", {"totp_secret_key": TOTP_SECRET}, "400 Client Error", 400),
    ("in-app-approval", PASSWORD, {}, "No session id returned.", 202),
    ("rate-limited", PASSWORD, {}, "429 Client Error", 429),
    ("maintenance", PASSWORD, {}, "405 Client Error", 405),
    ("server-error", PASSWORD, {}, "500 Server Error", 500),
    ("html", PASSWORD, {}, "Expecting value", 200),
    ("expired", PASSWORD, {}, None, 200),
]


@pytest.mark.parametrize("username, password, two_factor, error, status", LOGINS)
def test_login_outcomes(sb, username, password, two_factor, error, status):
    api = connector(sb, username, password, **two_factor)
    if error is None:
        assert api.connect() == sb.sessions[0].id
    else:
        with pytest.raises(ConnectionError, match=error):
            api.connect()
        assert sb.sessions == []
    (login,) = sb.requests
    assert (login.endpoint, login.status) == ("login_totp" if two_factor else "login", status)


def test_consecutive_bad_passwords_are_counted_until_a_success(sb):
    def attempt(password):
        try:
            connector(sb, password=password).connect()
        except ConnectionError:
            pass
        return sb.requests[-1].status

    assert [attempt(p) for p in ("x", "y", PASSWORD, "z")] == [400, 400, 200, 400]
    raw_failures = [call(sb, "POST", "/login/secure/login", {**LOGIN, "password": "w"})[1]["loginFailures"]]
    assert raw_failures == [2]


def test_hanging_login_is_bounded_and_released_by_close():
    sb = Sandbox().start()
    sb.patch_connector()
    api = API(Credentials(username="hang", password=PASSWORD, int_account=INT_ACCOUNT))
    with pytest.raises(TimeoutError) as timed_out:
        sb.run_bounded(api.connect, timeout=0.5)

    started = time.monotonic()
    sb.close()
    assert time.monotonic() - started < 2
    timed_out.value.thread.join(2)
    assert not timed_out.value.thread.is_alive()
    assert [(r.endpoint, r.status) for r in sb.requests] == [("login", None)]
    assert urls.LOGIN == "https://trader.degiro.nl/login/secure/login"


# username, intAccount in the credentials, what happens before, statuses of:
# client details, update, products info, products config, logout
DATA_CALLS = [
    (USERNAME, INT_ACCOUNT, None, (200, 200, 200, 200, 200)),
    (USERNAME, None, None, (200, 403, 403, 403, 200)),
    (USERNAME, 27182818, None, (200, 403, 403, 403, 403)),
    (USERNAME, INT_ACCOUNT, "logout", (401, 401, 401, 401, 401)),
    (USERNAME, INT_ACCOUNT, "expire", (401, 401, 401, 401, 401)),
    ("expired", INT_ACCOUNT, None, (401, 401, 401, 401, 401)),
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

    results = [
        api.get_client_details(),
        portfolio_rows(api),
        products_info(api, [331868]),
        api.get_products_config(raw=True),
        api.logout(),
    ]
    assert tuple(r.status for r in sb.requests[skip:]) == statuses
    # The connector turns every failed data call into None, and logout's 200 into True.
    assert [r is not None for r in results] == [s == 200 for s in statuses]


LOGIN = {"username": USERNAME, "password": PASSWORD, "isPassCodeReset": False, "isRedirectToMobile": False,
         "queryParams": {}}
JSON = "application/json;charset=UTF-8"
UPDATE = "/trading/secure/v5/update/{ia};jsessionid={sid}?portfolio=0&intAccount={ia}&sessionId={sid}"
INFO = "/product_search/secure/v5/products/info?intAccount={ia}&sessionId={sid}"
CONFIG = "/product_search/config/dictionary?intAccount={ia}&sessionId={sid}"


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
    ("POST", "/login/secure/login", {**LOGIN, "password": 1234}, JSON, 400),
    ("POST", "/login/secure/login", b"username=demo&password=x", "application/x-www-form-urlencoded", 415),
    ("POST", "/login/secure/login", b"username=demo", JSON, 400),
    ("POST", "/login/secure/login?lang=nl", LOGIN, JSON, 400),
    ("POST", "/login/secure/login/totp", LOGIN, JSON, 400),
    ("GET", "/login/secure/login", None, JSON, 405),
    ("GET", "/trader/", None, JSON, 404),
    ("GET", "/pa/secure/client", None, JSON, 401),
    ("GET", "/pa/secure/client?sessionId=NOT-A-SESSION", None, JSON, 401),
    ("GET", "/pa/secure/client?sessionId={sid}&intAccount={ia}", None, JSON, 400),
    ("GET", UPDATE.replace(";jsessionid={sid}", ";jsessionid=OTHER"), None, JSON, 401),
    ("GET", UPDATE.replace(";jsessionid={sid}", ""), None, JSON, 404),
    ("GET", UPDATE.replace("{ia}", "0"), None, JSON, 403),
    ("GET", UPDATE.replace("&intAccount={ia}", ""), None, JSON, 403),
    ("GET", UPDATE.replace("{ia};", "27182818;"), None, JSON, 400),
    ("GET", UPDATE.replace("portfolio=0", "portfolio=zero"), None, JSON, 400),
    ("GET", UPDATE.replace("portfolio=0", "positions=0"), None, JSON, 400),
    ("POST", INFO, ["331868", "-1"], JSON, 200),
    ("POST", INFO, [331868], JSON, 400),
    ("POST", INFO, ["2147483648"], JSON, 400),
    ("POST", INFO, {"ids": ["331868"]}, JSON, 400),
    ("POST", INFO, None, JSON, 400),
    ("POST", INFO.replace("{ia}", "0"), ["331868"], JSON, 403),
    ("GET", CONFIG + "&sessionId={sid}", None, JSON, 400),
    ("GET", CONFIG, [], JSON, 400),
    ("GET", CONFIG.replace("{ia}", "27182818"), None, JSON, 403),
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


def test_connector_urls_are_restored():
    original = {name: getattr(urls, name) for name in CONNECTOR_URLS}
    with Sandbox() as sb:
        with sb.pointed_connector():
            assert {name: getattr(urls, name) for name in CONNECTOR_URLS} == sb.urls
            assert urls.UPDATE == sb.base_url + "/trading/secure/v5/update"
        assert {name: getattr(urls, name) for name in CONNECTOR_URLS} == original
        sb.patch_connector()
    assert {name: getattr(urls, name) for name in CONNECTOR_URLS} == original
