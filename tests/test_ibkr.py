"""morbex.ibkr end to end: authenticate through the facade, then the real requests stack against the local
Flex Web Service (ibkr_sandbox), which answers with IB's error codes and keeps IB's limits on a clock the
tests move: morbex.ibkr's `time` is replaced, so its waits between polls take no time."""

import logging
import traceback

import ibkr_reference as reference
import ibkr_sandbox as ib
import pytest
from ibkr_sandbox import statement as demo
from schemas import check_cash_balances, check_positions

import morbex.ibkr as ibkr
from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers
from morbex.errors import BrokerUnavailable, LoginRefused, RateLimited, SessionExpired

LOGIN = "Failed to authenticate with Interactive Brokers: "
READ = "Could not read the statement from Interactive Brokers: "


class Clock:
    """time.monotonic and time.sleep as morbex.ibkr sees them: a sleep moves the clock on at once. The
    sandbox reads the same clock for IB's limits (`served`), once for each request it counts."""

    def __init__(self):
        self.now = 1000.0
        self.sleeps = []
        self.requests = []  # the time of each request the sandbox counted
        self.interrupted = False

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        if self.interrupted:
            raise KeyboardInterrupt
        self.sleeps.append(seconds)
        self.now += seconds

    def served(self):
        self.requests.append(self.now)
        return self.now


@pytest.fixture
def clock(monkeypatch):
    clock = Clock()
    monkeypatch.setattr(ibkr, "time", clock)
    return clock


class Records(logging.Handler):
    def emit(self, record):
        self.records.append(record)


@pytest.fixture
def logs():
    """Every record of every logger at DEBUG and up while the test runs (urllib3 logs each request line)."""
    handler, root = Records(logging.DEBUG), logging.getLogger()
    handler.records = []
    level = root.level
    root.setLevel(logging.DEBUG)
    root.addHandler(handler)
    yield handler.records
    root.removeHandler(handler)
    root.setLevel(level)


def shown(error):
    """Everything an exception shows of itself and of what it chains."""
    parts = ["".join(traceback.format_exception(error))]
    while error is not None:
        parts += [repr(error), str(error), repr(error.args)]
        error = error.__cause__ or error.__context__
    return "\n".join(parts)


def assert_hidden(logs, *texts, secrets=(ib.TOKEN, ib.QUERY_ID)):
    logged = "\n".join(logging.Formatter().format(r) + repr(vars(r)) for r in logs)
    for secret in secrets:
        assert secret not in logged
        assert all(secret not in text for text in texts)


def log_in(sb, token=ib.TOKEN, query_id=ib.QUERY_ID, **kwargs):
    return authenticate(Brokers.IBKR, AuthenticationMethods.TOKEN, token=token, query_id=query_id,
                        base_url=sb.base_url, **kwargs)


# -- a whole session ------------------------------------------------------------

@pytest.mark.parametrize("query_id", [ib.QUERY_ID, int(ib.QUERY_ID)], ids=["str", "int"])
def test_a_session_reads_the_statement_once(clock, logs, query_id):
    with ib.Sandbox(clock=clock.served) as sb:  # its Url names IB's host: base_url takes its place
        broker = log_in(sb, query_id=query_id)
        holdings = broker.get_current_stock_holdings()
        assert broker.get_current_stock_holdings() == holdings
        positions, cash = broker.get_positions(), broker.get_cash_balances()
        seen = [(r.endpoint, r.error_code) for r in sb.requests]
        logout(broker, AuthenticationMethods.TOKEN)
        with pytest.raises(SessionExpired) as after:
            broker.get_positions()
        assert len(sb.requests) == len(seen)  # logging out sends nothing

    # SendRequest, then GetStatement through two "generation in progress", within IB's limits.
    assert seen == [("SendRequest", None), ("GetStatement", 1019), ("GetStatement", 1019), ("GetStatement", None)]
    assert {r.user_agent for r in sb.requests} == {"morbex/0.1.0"}
    assert all(pause >= 1 for pause in clock.sleeps) and len(clock.sleeps) == 3
    xml = demo.statement_xml()
    assert holdings == reference.holdings_text(xml)
    assert positions == reference.positions(xml) and cash == reference.cash_balances(xml)
    check_positions(positions)
    check_cash_balances(cash)
    # Stocks only, summaries only: no option, no lot, no cash row; BRK B in Yahoo's form.
    assert len(positions) == ib.DEMO_KEPT_POSITIONS and [p["account"] for p in positions].count("U1234567") == 12
    assert {p["ticker_suffix"] for p in positions} >= {"BRK-B", "RR.L", "0700.HK", "7203.T", "NSRGY"}
    # A listing exchange the table lacks: its code kept, the rest of the exchange null, the ticker bare.
    lumi = next(p for p in positions if p["ticker"] == "LUMI")
    assert (lumi["exchange_id"], lumi["exchange_name"], lumi["exchange_city"], lumi["exchange_country"],
            lumi["mic"], lumi["ticker_suffix"]) == ("TASE", None, None, None, None, "LUMI")
    assert (str(after.value), after.value.__context__) == (
        READ + "not logged in; log in with AuthenticationMethods.TOKEN first", None)
    # The token and the query id are in no log record (urllib3's request lines are redacted) nor the broker.
    assert any("/SendRequest?t=<redacted>&q=<redacted>&v=3" in str(r.args) for r in logs)
    assert_hidden(logs, repr(broker), repr(vars(broker)))


def test_the_statement_in_each_form_is_read_as_plain_python_reads_it():
    for xml in (demo.statement_xml(), demo.statement_xml(date_format="yyyy-MM-dd"), demo.statement_xml(()),
                demo.statement_xml(demo.generated_positions(300))):
        assert ibkr._holdings_of_statement(xml) == reference.holdings_text(xml)


def test_polls_keep_within_the_limits_and_back_off(clock):
    with ib.Sandbox(clock=clock.served, polls_before_ready=14) as sb:
        broker = log_in(sb)
        assert broker.get_positions() == reference.positions(demo.statement_xml())
    assert [r.error_code for r in sb.requests] == [None] + [1019] * 14 + [None]  # never 1018
    gaps = [later - earlier for earlier, later in zip(clock.requests, clock.requests[1:])]
    # A second after SendRequest, then growing by half up to ten seconds, unless ten in a minute holds them back.
    assert gaps[:8] == pytest.approx([1.1, 1.1, 1.5, 2.25, 3.375, 5.0625, 7.59375, 10])
    assert min(gaps) >= 1 and max(gaps[10:]) == pytest.approx(10)
    assert all(clock.requests[i + 10] - clock.requests[i] >= 60 for i in range(len(clock.requests) - 10))


def test_ctrl_c_ends_a_wait_at_once_and_leaves_the_session_usable(clock):
    with ib.Sandbox(clock=clock.served) as sb:
        broker = log_in(sb)
        clock.interrupted = True
        with pytest.raises(KeyboardInterrupt):
            broker.get_current_stock_holdings()
        clock.interrupted = False
        assert broker.get_current_stock_holdings() == reference.holdings_text(demo.statement_xml())


# -- failures -------------------------------------------------------------------

HANG = {"timeout": 1}

# (token, query id, login keywords, sandbox keywords) -> type, when, what the message says after its prefix
FAILURES = {
    "expired-token": (ib.TOKEN_EXPIRED, ib.QUERY_ID, {}, {}, LoginRefused, "login",
                      "the Flex Web Service token has expired (IB error 1012: Token has expired.); generate a new "
                      "one in the client portal (Performance & Reports > Flex Queries > Flex Web Service "
                      "Configuration)"),
    "invalid-token": (ib.TOKEN_INVALID, ib.QUERY_ID, {}, {}, LoginRefused, "login",
                      "IB does not accept this Flex Web Service token (IB error 1015: Token is invalid.); check it,"),
    "unknown-query": (ib.TOKEN, ib.QUERY_UNKNOWN, {}, {}, LoginRefused, "login",
                      "IB does not know this Flex query (IB error 1014: Query is invalid.); check the query id in "
                      "the client portal (Performance & Reports > Flex Queries)"),
    "rate-limited": (ib.TOKEN_RATE_LIMITED, ib.QUERY_ID, {}, {}, RateLimited, "login",
                     "IB takes one request a second and ten a minute with a token (IB error 1018: Too many requests"),
    "server-error": (ib.TOKEN_SERVER_ERROR, ib.QUERY_ID, {}, {}, BrokerUnavailable, "login",
                     "IB answered HTTP 500; try again later"),
    "hang": (ib.TOKEN_HANG, ib.QUERY_ID, HANG, {}, BrokerUnavailable, "login", "IB did not answer within 1 s"),
    "never-ready": (ib.TOKEN_NEVER_READY, ib.QUERY_ID, {"statement_timeout": 30}, {}, BrokerUnavailable, "read",
                    "IB had not made the statement within 30 s (IB error 1019: Statement generation in progress. "
                    "Please try again shortly.); try again later, or give a longer statement_timeout"),
    "hang-statement": (ib.TOKEN_HANG_STATEMENT, ib.QUERY_ID, HANG, {}, BrokerUnavailable, "read",
                       "IB did not answer within 1 s"),
    "csv": (ib.TOKEN, ib.QUERY_CSV, {}, {}, BrokerUnavailable, "read",
            "the Flex query delivers CSV, not XML; set its format to XML in the client portal"),
    "text": (ib.TOKEN, ib.QUERY_TEXT, {}, {}, BrokerUnavailable, "read", "the Flex query delivers text, not XML;"),
    "malformed": (ib.TOKEN, ib.QUERY_MALFORMED, {}, {}, BrokerUnavailable, "read",
                  "IB's answer is not well-formed XML (unclosed token at line"),
    "billion-laughs": (ib.TOKEN, ib.QUERY_BILLION_LAUGHS, {}, {}, BrokerUnavailable, "read",
                       "IB's answer declares a document type, which a Flex statement never does; refused unread"),
    "huge": (ib.TOKEN, ib.QUERY_HUGE, {}, {"huge_bytes": 2**23}, BrokerUnavailable, "read",
             "IB's answer is larger than 1048576 bytes (MAX_STATEMENT_BYTES); refused"),
}


@pytest.mark.parametrize("token, query_id, keywords, settings, error, when, text", FAILURES.values(), ids=FAILURES)
def test_failures(clock, logs, monkeypatch, token, query_id, keywords, settings, error, when, text):
    monkeypatch.setattr(ibkr, "MAX_STATEMENT_BYTES", 2**20)
    with ib.Sandbox(clock=clock.served, **settings) as sb:
        with pytest.raises(error) as caught:
            broker = log_in(sb, token, query_id, **keywords)
            assert when == "read"
            broker.get_current_stock_holdings()
    assert type(caught.value) is error
    message = str(caught.value)
    assert message.startswith(LOGIN if when == "login" or error is LoginRefused else READ)
    assert text in message
    # Nothing chained (requests' errors quote the address, token and all), nothing shown of the secrets.
    assert (caught.value.__cause__, caught.value.__context__) == (None, None)
    assert_hidden(logs, shown(caught.value), secrets=(token, query_id))


STATEMENT = demo.statement_xml()
OPEN = b'<FlexQueryResponse><FlexStatements><FlexStatement accountId="U1" toDate="20260504"><OpenPositions>'
CLOSE = b"</OpenPositions></FlexStatement></FlexStatements></FlexQueryResponse>"
ROW = b'<OpenPosition assetCategory="STK" levelOfDetail="SUMMARY" conid="1" symbol="X" position="%s" reportDate="%s"/>'

# An answer as it arrives -> what reading it says, after the prefix (None: read, as plain Python reads it).
ANSWERS = [
    (b"\xef\xbb\xbf<?xml version='1.0'?>\n<!-- IB -->" + STATEMENT, None),
    (b'<?xml version="1.0"?><!DOCTYPE FlexQueryResponse SYSTEM "x.dtd">' + STATEMENT, "declares a document type"),
    (b"<!-- <!DOCTYPE is only a comment here --> <!---->" + STATEMENT, None),
    (b"<!doctype html><html><body>Maintenance</body></html>", "IB answered with an HTML page"),
    (b"<html><body>Maintenance</body></html>", "IB's answer is not a Flex statement (a document of <html>)"),
    (b"", "IB's answer is not a Flex statement (an empty answer)"),
    (b" \n", "IB's answer is not XML"),
    (b"Maintenance", "IB's answer is not XML"),
    (b'"Symbol","Quantity"\n"AAPL","25"\n', "the Flex query delivers CSV, not XML"),
    (b"Symbol\tQuantity\nAAPL\t25\n", "the Flex query delivers text, not XML"),
    (STATEMENT[:-40], "IB's answer is not well-formed XML (no element found at line"),
    (STATEMENT.replace(b"APPLE INC", b"APPLE &undefined; INC"), "not well-formed XML (undefined entity at line"),
    (OPEN + ROW % (b"25", b"05/04/2026") + CLOSE, 'dates are in a format morbex does not read ("05/04/2026")'),
    (OPEN + ROW % (b"n/a", b"20260504") + CLOSE, 'an open position whose quantity is not a number ("n/a")'),
    (b"<FlexStatementResponse><Status>Warn</Status><ErrorCode>1019</ErrorCode>"
     b"<ErrorMessage>Statement generation in progress.</ErrorMessage></FlexStatementResponse>",
     "IB error 1019: Statement generation in progress."),
]


@pytest.mark.parametrize("answer, text", ANSWERS)
def test_answers_are_refused_as_they_are_read(answer, text):
    if text is None:
        assert ibkr._holdings_of_statement(answer) == reference.holdings_text(STATEMENT)
        return
    with pytest.raises(BrokerUnavailable) as caught:
        ibkr._holdings_of_statement(answer)
    assert str(caught.value).startswith(READ) and text in str(caught.value)


@pytest.mark.parametrize("line, shown", [
    ("/AccountManagement/FlexWebService/SendRequest?t=123&q=456&v=3",
     "/AccountManagement/FlexWebService/SendRequest?t=<redacted>&q=<redacted>&v=3"),
    ("/proxy/AccountManagement/FlexWebService/GetStatement?v=3&q=789&t=123#x",
     "/proxy/AccountManagement/FlexWebService/GetStatement?v=3&q=<redacted>&t=<redacted>#x"),
    ("/elsewhere?t=123", "/elsewhere?t=123"),
])
def test_request_lines_are_logged_without_the_token(line, shown):
    record = logging.LogRecord("urllib3.connectionpool", logging.DEBUG, __file__, 1, '%s "%s" %s', ("GET", line, 200),
                               None)
    assert ibkr._redact_flex_query(record) is True
    assert record.args == ("GET", shown, 200)


# -- what is refused before anything is sent ------------------------------------

SECRET, OTHER = "314159265358979323846264", "271828"
ARGUMENTS = [
    ({"query_id": OTHER}, ValueError, "'token' must be provided: the Flex Web Service token from IB's client portal"),
    ({"token": 31415, "query_id": OTHER}, TypeError, "'token' must be str, not int"),
    ({"token": "", "query_id": OTHER}, ValueError, "'token' must be provided"),
    ({"token": SECRET + " ", "query_id": OTHER}, ValueError, "'token' must be printable ASCII without blanks"),
    ({"token": SECRET}, ValueError, "'query_id' must be provided: the id of the Flex query in IB's client portal"),
    ({"token": SECRET, "query_id": 2.5}, TypeError, "'query_id' must be str or int, not float"),
    ({"token": SECRET, "query_id": True}, TypeError, "'query_id' must be str or int, not bool"),
    ({"token": SECRET, "query_id": OTHER + "x"}, ValueError, "'query_id' must be the Flex query's id: digits only"),
    ({"token": SECRET, "query_id": -271828}, ValueError, "'query_id' must be the Flex query's id: digits only"),
    ({"token": SECRET, "query_id": OTHER, "timeout": 0}, ValueError, "'timeout' must be a number of seconds, more"),
    ({"token": SECRET, "query_id": OTHER, "statement_timeout": "9"}, TypeError, "'statement_timeout' must be a"),
    ({"token": SECRET, "query_id": OTHER, "base_url": "ftp://127.0.0.1"}, ValueError, "'base_url' must be an http"),
    ({"token": SECRET, "query_id": OTHER, "base_url": b"http://x"}, TypeError, "'base_url' must be str, not bytes"),
]


@pytest.mark.parametrize("kwargs, error, text", ARGUMENTS)
def test_arguments_are_refused_by_name(kwargs, error, text):
    with pytest.raises(error) as caught:
        authenticate(Brokers.IBKR, AuthenticationMethods.TOKEN, **{"base_url": "http://127.0.0.1:9", **kwargs})
    assert str(caught.value).startswith(text)
    assert SECRET not in shown(caught.value) and OTHER not in shown(caught.value)


@pytest.mark.parametrize("call, text", [
    (lambda b: b.authenticate_with_username_password(username="u", password=SECRET), "username and password"),
    (lambda b: b.authenticate_with_email_password(email="u@example.com", password=SECRET), "email and password"),
    (lambda b: b.logout_with_username_password(), "username and password"),
])
def test_password_logins_are_not_offered(call, text):
    with pytest.raises(NotImplementedError) as caught:
        call(ibkr.BrokerIBKR())
    assert str(caught.value) == f"Interactive Brokers does not support authentication with {text}."


def test_reads_before_a_login_are_refused():
    broker = ibkr.BrokerIBKR()
    for read in (broker.get_current_stock_holdings, broker.get_positions, broker.get_cash_balances):
        with pytest.raises(SessionExpired, match="not logged in"):
            read()
    assert broker.logout_with_token() is None
