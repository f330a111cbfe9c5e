"""The Trading 212 and Flex Web Service sandboxes, checked directly: what they accept, answer and record.

The clients' end-to-end tables run against them in tests/test_trading212.py and tests/test_ibkr.py."""

import base64
import http.client
import json
import os
import re
import subprocess
import sys
import time
import urllib.error
import urllib.request
import xml.etree.ElementTree as ET
from pathlib import Path
from urllib.parse import urlencode, urlsplit

import pytest

import ibkr_sandbox as ibkr
from degiro_sandbox import run_bounded
import trading212_sandbox as t212
from trading212_sandbox.wire import SCHEMAS

SANDBOX_DIR = Path(__file__).resolve().parent.parent / "sandbox"


def sandbox_env(**extra):
    env = {k: v for k, v in os.environ.items() if k not in ("DEGIRO_USERNAME", "DEGIRO_PASSWORD")}
    return {**env, "PYTHONPATH": str(SANDBOX_DIR), **extra}


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
