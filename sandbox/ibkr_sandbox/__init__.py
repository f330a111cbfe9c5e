"""A local Interactive Brokers Flex Web Service (version 3) for tests and demos.

Standard library only.  Usage::

    with Sandbox() as sb:
        # GET sb.send_request_url?t=TOKEN&q=QUERY_ID&v=3, with a User-Agent:
        #   <FlexStatementResponse ...><Status>Success</Status>
        #   <ReferenceCode>4672968268</ReferenceCode><Url>https://gdcdyn...</Url>
        # then GET <Url with sb.base_url's scheme and host>?t=TOKEN&q=4672968268&v=3:
        #   ErrorCode 1019 twice, then the <FlexQueryResponse> statement
        ...
        assert [r.error_code for r in sb.requests] == [None, 1019, 1019, None]

From a shell (with ``sandbox/`` on ``sys.path``)::

    python -m ibkr_sandbox                   # prints the base URL, serves until Ctrl-C
    python -m ibkr_sandbox run -- CMD ...    # CMD gets MORBEX_IBKR_URL=<base URL> and, unless
                                             # set, IBKR_FLEX_TOKEN and IBKR_FLEX_QUERY_ID of the
                                             # demo account; exits with CMD's exit code

Served, under IB's own paths (the hosts differ: ndcdyn for SendRequest, gdcdyn
in the Url it answers; a client swaps in the sandbox's scheme and host)::

    GET /AccountManagement/FlexWebService/SendRequest?t=TOKEN&q=QUERY_ID&v=3
    GET /AccountManagement/FlexWebService/GetStatement?t=TOKEN&q=REFERENCE_CODE&v=3

Anything else is 404, another method 405.  A request without a User-Agent gets
HTTP 403 and an HTML page.  Every other answer is HTTP 200: a
FlexStatementResponse (Success with ReferenceCode and Url, or Fail/Warn with
ErrorCode and ErrorMessage, wire.ERRORS), or the statement (statement.py).  In
order: not exactly one t, one q and v=3: 1020; an unknown token: 1015; then
the token's own behaviour; more than one request a second or ten a minute for
a token: 1018.  SendRequest: an unknown query id: 1014.  GetStatement: an
unknown reference code: 1017, one made with another token: 1020; then 1019 for
the first ``sb.polls_before_ready`` polls (default 2), then the statement.

Cases by token (any query) and by query id (with TOKEN), also as SCENARIOS::

    TOKEN, QUERY_ID         the demo: two accounts (U1234567 base EUR, U7654321 base
                            USD), DEMO_KEPT_POSITIONS stock holdings plus LOT rows
                            and an option
    TOKEN_EXPIRED           1012            TOKEN_INVALID          1015
    TOKEN_RATE_LIMITED      1018 at once    TOKEN_NEVER_READY      1019 forever
    TOKEN_SERVER_ERROR      HTTP 500, HTML  TOKEN_HANG             SendRequest never answered
    TOKEN_HANG_STATEMENT    GetStatement never answered (until the sandbox closes, which
                            drops the connection)
    QUERY_UNKNOWN           1014            QUERY_DASHED_DATES     dates as 2026-05-04
    QUERY_EMPTY             no open position
    QUERY_CSV, QUERY_TEXT   the statement as CSV, or pipe-delimited text, not XML
    QUERY_MALFORMED         XML cut off mid-element
    QUERY_BILLION_LAUGHS    XML with nested entities expanding to 3 GB
    QUERY_HUGE              well-formed XML of sb.huge_bytes (default 256 MiB), made on
                            the fly and streamed without Content-Length

``sb.requests`` lists every request (RequestRecord: method, path, endpoint,
query with t and q REDACTED, user_agent, status, error_code); ``status`` is
None for a request that was never answered.
"""

from .server import Sandbox
from .service import (
    QUERY_BILLION_LAUGHS,
    QUERY_CSV,
    QUERY_DASHED_DATES,
    QUERY_EMPTY,
    QUERY_HUGE,
    QUERY_ID,
    QUERY_MALFORMED,
    QUERY_TEXT,
    QUERY_UNKNOWN,
    SCENARIOS,
    TOKEN,
    TOKEN_EXPIRED,
    TOKEN_HANG,
    TOKEN_HANG_STATEMENT,
    TOKEN_INVALID,
    TOKEN_NEVER_READY,
    TOKEN_RATE_LIMITED,
    TOKEN_SERVER_ERROR,
)
from .statement import ACCOUNTS, DEMO_KEPT_POSITIONS, DEMO_POSITIONS, generated_positions, statement_xml
from .wire import ERRORS, GET_STATEMENT_URL, REDACTED, SEND_REQUEST_URL, TRY_AGAIN, RequestRecord

__all__ = [
    "ACCOUNTS",
    "DEMO_KEPT_POSITIONS",
    "DEMO_POSITIONS",
    "ERRORS",
    "GET_STATEMENT_URL",
    "QUERY_BILLION_LAUGHS",
    "QUERY_CSV",
    "QUERY_DASHED_DATES",
    "QUERY_EMPTY",
    "QUERY_HUGE",
    "QUERY_ID",
    "QUERY_MALFORMED",
    "QUERY_TEXT",
    "QUERY_UNKNOWN",
    "REDACTED",
    "SCENARIOS",
    "SEND_REQUEST_URL",
    "TOKEN",
    "TOKEN_EXPIRED",
    "TOKEN_HANG",
    "TOKEN_HANG_STATEMENT",
    "TOKEN_INVALID",
    "TOKEN_NEVER_READY",
    "TOKEN_RATE_LIMITED",
    "TOKEN_SERVER_ERROR",
    "TRY_AGAIN",
    "RequestRecord",
    "Sandbox",
    "generated_positions",
    "statement_xml",
]
