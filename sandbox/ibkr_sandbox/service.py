"""The stand-in for IB's Flex Web Service, independent of sockets: tokens, queries, reference codes, limits."""

import collections
import itertools
from dataclasses import dataclass

import sandbox_http
from sandbox_http import HANG

from . import statement
from .wire import TEXT_TYPE, VERSION, Reply, error_reply, html_reply, success_reply

# The demo account's token and query id.  Tokens are 24 digits and query ids
# six, as IB issues them; neither may ever appear in what a client prints.
TOKEN = "271828182845904523536028"
QUERY_ID = "987654"

# Tokens that make the service misbehave; each runs every query below.
TOKEN_EXPIRED = "100000000000000000001012"  # 1012 at once
TOKEN_INVALID = "100000000000000000001015"  # unknown to IB, as any other token: 1015
TOKEN_RATE_LIMITED = "100000000000000000001018"  # 1018 at once, however slowly it asks
TOKEN_NEVER_READY = "100000000000000000001019"  # GetStatement answers 1019 forever
TOKEN_SERVER_ERROR = "100000000000000000000500"  # HTTP 500 with an HTML page
TOKEN_HANG = "100000000000000000000001"  # SendRequest is never answered
TOKEN_HANG_STATEMENT = "100000000000000000000002"  # GetStatement is never answered

# Queries whose statement is something else than the demo XML.
QUERY_DASHED_DATES = "987655"  # the demo statement, dates as yyyy-MM-dd
QUERY_EMPTY = "987656"  # both accounts, cash only, no open position
QUERY_CSV = "987660"  # configured for CSV output
QUERY_TEXT = "987661"  # configured for text output, pipe delimited
QUERY_MALFORMED = "987662"  # XML cut off mid-element
QUERY_BILLION_LAUGHS = "987663"  # XML whose entities expand to 3 GB
QUERY_HUGE = "987664"  # XML of Sandbox.huge_bytes, streamed without Content-Length
QUERY_UNKNOWN = "111111"  # no such query: 1014

_TOKENS = {
    TOKEN: "ok",
    TOKEN_EXPIRED: "expired",
    TOKEN_RATE_LIMITED: "rate-limited",
    TOKEN_NEVER_READY: "never-ready",
    TOKEN_SERVER_ERROR: "server-error",
    TOKEN_HANG: "hang",
    TOKEN_HANG_STATEMENT: "hang-statement",
}
_QUERIES = {
    QUERY_ID: "xml",
    QUERY_DASHED_DATES: "xml-dashed",
    QUERY_EMPTY: "empty",
    QUERY_CSV: "csv",
    QUERY_TEXT: "text",
    QUERY_MALFORMED: "malformed",
    QUERY_BILLION_LAUGHS: "billion-laughs",
    QUERY_HUGE: "huge",
}

# Every case by name: (token, query id).  The token picks how the service
# behaves, the query id what statement comes back.
SCENARIOS = {
    "demo": (TOKEN, QUERY_ID),
    "dashed-dates": (TOKEN, QUERY_DASHED_DATES),
    "empty": (TOKEN, QUERY_EMPTY),
    "csv": (TOKEN, QUERY_CSV),
    "text": (TOKEN, QUERY_TEXT),
    "malformed": (TOKEN, QUERY_MALFORMED),
    "billion-laughs": (TOKEN, QUERY_BILLION_LAUGHS),
    "huge": (TOKEN, QUERY_HUGE),
    "unknown-query": (TOKEN, QUERY_UNKNOWN),
    "expired-token": (TOKEN_EXPIRED, QUERY_ID),
    "invalid-token": (TOKEN_INVALID, QUERY_ID),
    "rate-limited": (TOKEN_RATE_LIMITED, QUERY_ID),
    "never-ready": (TOKEN_NEVER_READY, QUERY_ID),
    "server-error": (TOKEN_SERVER_ERROR, QUERY_ID),
    "hang": (TOKEN_HANG, QUERY_ID),
    "hang-statement": (TOKEN_HANG_STATEMENT, QUERY_ID),
}


@dataclass
class _Reference:
    token: str
    query: str
    polls: int = 0  # GetStatement requests answered 1019 so far


class FlexService(sandbox_http.RequestLog):
    """Server state and the request -> reply logic; ``config`` (the Sandbox) is read at each request."""

    def __init__(self, config):
        super().__init__()
        self._config = config
        self._references = {}  # reference code -> _Reference
        self._admitted = collections.defaultdict(collections.deque)  # token -> clock() of admitted requests
        self._codes = itertools.count(4672968268)  # ten digits, as IB's reference codes
        self._statements = {}  # (kind, positions) -> body

    # -- bookkeeping -------------------------------------------------------

    def answered(self, index, reply):
        self.update(index, status=reply.status, error_code=reply.error_code)

    # -- requests ----------------------------------------------------------

    def handle(self, endpoint, pairs, user_agent):
        """The Reply to one GET of ``endpoint`` ("SendRequest" or "GetStatement"), or HANG."""
        if not (user_agent or "").strip():
            # ASSUMED: IB turns away a request without a User-Agent before reading it,
            # with a bare HTML page rather than a FlexStatementResponse.
            return html_reply(403, "Forbidden")
        query = dict(pairs)
        if len(query) != len(pairs) or not query.get("t") or not query.get("q") or query.get("v") != VERSION:
            # ASSUMED: 1020 for anything but one t, one q and v=3; IB would answer a
            # request without v in version 2's format, which no client here reads.
            return error_reply(1020)
        token, q = query["t"], query["q"]
        behaviour = _TOKENS.get(token)
        if behaviour is None:
            return error_reply(1015)
        if behaviour == "expired":
            return error_reply(1012)
        if behaviour == "server-error":
            return html_reply(500, "Internal Server Error")
        if behaviour == "rate-limited" or not self._admit(token):
            return error_reply(1018)
        if endpoint == "SendRequest":
            return self._send_request(token, q, behaviour)
        return self._get_statement(token, q, behaviour)

    def _admit(self, token):
        """Whether the token is within its limits; an admitted request counts towards them, a refused one not.

        ASSUMED: refused requests do not count.  IB says only "one request per
        second, 10 requests per minute", per token, over both requests.
        """
        config = self._config
        now = config.clock()
        with self.lock:
            times = self._admitted[token]
            while times and now - times[0] >= 60.0:
                times.popleft()
            last_second = sum(1 for when in times if now - when < 1.0)
            if config.per_second is not None and last_second >= config.per_second:
                return False
            if config.per_minute is not None and len(times) >= config.per_minute:
                return False
            times.append(now)
            return True

    def _send_request(self, token, query_id, behaviour):
        if behaviour == "hang":
            return HANG
        if query_id not in _QUERIES:
            return error_reply(1014)
        with self.lock:
            code = str(next(self._codes))
            self._references[code] = _Reference(token, query_id)
        return success_reply(code, self._config.statement_url)

    def _get_statement(self, token, code, behaviour):
        with self.lock:
            reference = self._references.get(code)
            if reference is None:
                return error_reply(1017)
            if reference.token != token:
                # ASSUMED: a reference code asked for with another token than the one
                # that made it is not IB's 1017 (the code exists) but 1020.
                return error_reply(1020)
            if behaviour == "hang-statement":
                return HANG
            if behaviour == "never-ready" or reference.polls < self._config.polls_before_ready:
                reference.polls += 1
                return error_reply(1019)
        # A reference code stays valid once ready: asked again, it answers the statement again.
        return self._statement(_QUERIES[reference.query])

    def _statement(self, kind):
        config = self._config
        if kind == "huge":
            return Reply(200, statement.huge_statement(config.huge_bytes))
        key = (kind, config.positions)
        with self.lock:
            body = self._statements.get(key)
        if body is None:
            rows = statement.DEMO_POSITIONS if config.positions is None else (
                statement.generated_positions(config.positions))
            body = {
                "xml": lambda: statement.statement_xml(rows),
                "xml-dashed": lambda: statement.statement_xml(rows, date_format="yyyy-MM-dd"),
                "empty": lambda: statement.statement_xml(()),
                "csv": lambda: statement.statement_csv(rows),
                "text": lambda: statement.statement_text(rows),
                "malformed": lambda: statement.malformed_xml(rows),
                "billion-laughs": statement.billion_laughs,
            }[kind]()
            with self.lock:
                self._statements[key] = body
        return Reply(200, body, TEXT_TYPE) if kind in ("csv", "text") else Reply(200, body)
