"""What IB's Flex Web Service (version 3) looks like on the wire, each fact with its source.

Sources, IB's own published pages:

  [FWS] https://www.interactivebrokers.com/campus/ibkr-api-page/flex-web-service/
        the two-step flow: SendRequest answers a reference code, GetStatement
        fetches the statement with it, after a delay that grows with its size.
  [CFG] https://www.ibkrguides.com/clientportal/performanceandstatements/flex3.htm
        (and .../brokerportal/performanceandstatements/flex3.htm, the same text)
        SendRequest's address; "Programmatic access requires the User-Agent HTTP
        header to be set. Set the value to the Technology/Version used to access
        the service. Examples: Java/1.8, Python/3.4.1"; v=3 selects version 3,
        and leaving v out selects version 2; Status is Success or Fail; a token
        is valid for 6 hours by default and may be tied to one IP address.
  [ERR] https://www.ibkrguides.com/clientportal/performanceandstatements/flex3error.htm
        the error codes and their texts; 1018's limit: one request per second
        and 10 requests per minute, per token.
  [OP]  https://www.ibkrguides.com/reportingreference/reportguide/open%20positionsfq.htm
        the Open Positions fields (Level of Detail "Summary or Lot"; FX Rate to
        Base "the conversion rate from asset currency to base currency"; Mark
        Price "the closing price of the position as of the report date";
        Position Value "quantity and the close price" multiplied).
  [DEL] https://www.ibkrguides.com/reportingreference/reportguide/delivery%20configuration%20and%20general%20configuration.htm
        a query's output format is XML, CSV or text (pipe or tab delimited);
        its generation stamp reads like 20071106;110031.

IB's pages show their sample answers as pictures, so the exact markup below
follows answers IB sent, as public Flex clients keep them in their test data:
FlexStatementResponse with a single-quoted timestamp such as '16 February,
2021 04:50 PM EST', then Status, ReferenceCode and Url (or ErrorCode and
ErrorMessage); and the statement's element and attribute names, in IB's order.
Every line marked ASSUMED is this sandbox's choice where no source says.
"""

import datetime
from dataclasses import dataclass

import sandbox_http

# -- addresses [CFG] ------------------------------------------------------------

SEND_REQUEST_PATH = "/AccountManagement/FlexWebService/SendRequest"
GET_STATEMENT_PATH = "/AccountManagement/FlexWebService/GetStatement"
SEND_REQUEST_URL = "https://ndcdyn.interactivebrokers.com" + SEND_REQUEST_PATH
# What IB's SendRequest answers name in Url: another host than SendRequest's,
# same path.  A client must follow Url, not assume SendRequest's host.
GET_STATEMENT_URL = "https://gdcdyn.interactivebrokers.com" + GET_STATEMENT_PATH
VERSION = "3"

# Both requests take t=TOKEN and v=3; SendRequest's q is the query id,
# GetStatement's the reference code.  [CFG]
QUERY_KEYS = ("t", "q", "v")

# -- limits [ERR] -----------------------------------------------------------------

PER_SECOND = 1
PER_MINUTE = 10

# -- error codes [ERR] --------------------------------------------------------------

# 1002 is not in IB's list.  "Account in invalid." is IB's own wording.
ERRORS = {
    1001: "Statement could not be generated at this time. Please try again shortly.",
    1003: "Statement is not available.",
    1004: "Statement is incomplete at this time. Please try again shortly.",
    1005: "Settlement data is not ready at this time. Please try again shortly.",
    1006: "FIFO P/L data is not ready at this time. Please try again shortly.",
    1007: "MTM P/L data is not ready at this time. Please try again shortly.",
    1008: "MTM and FIFO P/L data is not ready at this time. Please try again shortly.",
    1009: "The server is under heavy load. Statement could not be generated at this time. Please try again shortly.",
    1010: "Legacy Flex Queries are no longer supported. Please convert over to Activity Flex.",
    1011: "Service account is inactive.",
    1012: "Token has expired.",
    1013: "IP restriction.",
    1014: "Query is invalid.",
    1015: "Token is invalid.",
    1016: "Account in invalid.",
    1017: "Reference code is invalid.",
    1018: "Too many requests have been made from this token. Please try again shortly.",
    1019: "Statement generation in progress. Please try again shortly.",
    1020: "Invalid request or unable to validate request.",
    1021: "Statement could not be retrieved at this time. Please try again shortly.",
}
# The "Please try again shortly" codes: the same request may succeed later.
# 1018 among them, but only after the per-token window has passed.
TRY_AGAIN = frozenset(code for code, text in ERRORS.items() if text.endswith("Please try again shortly."))

# Status of an answer with ErrorCode 1019: captured answers carry Warn (some
# clients have seen Fail); every other code comes with Fail.  ASSUMED: Warn.
_WARN = frozenset({1019})

# ASSUMED: IB sends every FlexStatementResponse, failures included, as HTTP 200,
# text/xml; clients read the outcome from Status alone.
XML_TYPE = "text/xml;charset=UTF-8"
# ASSUMED: CSV and text statements come as plain text.
TEXT_TYPE = "text/plain;charset=UTF-8"
HTML_TYPE = "text/html;charset=UTF-8"

REDACTED = "<redacted>"


@dataclass(frozen=True)
class RequestRecord:
    """One request as the server saw it, its token and query id or reference code redacted.

    ``error_code`` is the ErrorCode answered, or None; ``status`` the HTTP
    status, None for a request that was never answered.
    """

    method: str
    path: str
    endpoint: str | None  # "SendRequest" | "GetStatement" | None
    query: dict
    user_agent: str | None
    status: int | None = None
    error_code: int | None = None


@dataclass
class Reply(sandbox_http.Reply):
    content_type: str = XML_TYPE
    error_code: int | None = None  # the FlexStatementResponse's ErrorCode, for the request record


def _timestamp(now):
    # "04 May, 2026 08:30 AM EDT": IB stamps in New York time.  ASSUMED: the
    # zone is spelled by its abbreviation, as in every captured answer.
    try:
        from zoneinfo import ZoneInfo

        local = now.astimezone(ZoneInfo("America/New_York"))
    except Exception:  # no time zone database: a fixed offset reads the same
        local = now.astimezone(datetime.timezone(datetime.timedelta(hours=-5), "EST"))
    return local.strftime("%d %B, %Y %I:%M %p ") + local.tzname()


def _now():
    return datetime.datetime.now(datetime.timezone.utc)


def success_reply(reference_code, url, now=None):
    body = (
        f"<FlexStatementResponse timestamp='{_timestamp(now or _now())}'>\n"
        "<Status>Success</Status>\n"
        f"<ReferenceCode>{reference_code}</ReferenceCode>\n"
        f"<Url>{url}</Url>\n"
        "</FlexStatementResponse>\n"
    )
    return Reply(200, body.encode("utf-8"))


def error_reply(code, now=None):
    status = "Warn" if code in _WARN else "Fail"
    body = (
        f"<FlexStatementResponse timestamp='{_timestamp(now or _now())}'>\n"
        f"<Status>{status}</Status>\n"
        f"<ErrorCode>{code}</ErrorCode>\n"
        f"<ErrorMessage>{ERRORS[code]}</ErrorMessage>\n"
        "</FlexStatementResponse>\n"
    )
    return Reply(200, body.encode("utf-8"), error_code=code)


def html_reply(status, title):
    page = f"<!DOCTYPE html><html><head><title>{title}</title></head><body><h1>{title}</h1></body></html>"
    return Reply(status, page.encode("utf-8"), HTML_TYPE)


def redact(query):
    """The query with the token and the query id or reference code replaced by REDACTED."""
    return {key: REDACTED if key in ("t", "q") else value for key, value in query.items()}
