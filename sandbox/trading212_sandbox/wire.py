"""Trading 212's public API as the sandbox serves it: endpoints, scopes, rate limits, headers, error bodies.

Source, unless a line says otherwise: the official reference of the Trading 212
Public API (v0, beta), https://docs.trading212.com/api, and the OpenAPI
document it is rendered from (its "Authentication" and "Rate Limiting"
sections, and each path's responses; read as mirrored in
github.com/api-evangelist/trading212, openapi/_original/openapi.yaml).  Where that reference is silent the
choice below is marked ASSUMPTION.
"""

import base64
import binascii
import json
import secrets
from dataclasses import dataclass

import sandbox_http

# The two environments; every path below hangs off either.  A client pointed
# at the sandbox swaps only this prefix.
LIVE_URL = "https://live.trading212.com"
DEMO_URL = "https://demo.trading212.com"


@dataclass(frozen=True)
class Endpoint:
    name: str
    path: str
    scope: str  # as the 403 names it: "Scope( portfolio ) missing for API key"
    limit: int  # requests per period, per account
    period: int  # seconds
    query: tuple = ()  # the query keys it takes


# GET only.  Limits from each path's "Rate limit: 1 req / 5s" line; scopes from
# its 403 description.  The key-settings screen calls these permissions
# "Account data", "Portfolio" and "Metadata" (as key-setup guides name them).
ENDPOINTS = (
    Endpoint("account_summary", "/api/v0/equity/account/summary", "account", 1, 5),
    Endpoint("positions", "/api/v0/equity/positions", "portfolio", 1, 1, ("ticker",)),
    Endpoint("instruments", "/api/v0/equity/metadata/instruments", "metadata", 1, 50),
    Endpoint("exchanges", "/api/v0/equity/metadata/exchanges", "metadata", 1, 30),
)
ENDPOINTS_BY_PATH = {endpoint.path: endpoint for endpoint in ENDPOINTS}

# "Every API response includes the following headers"; reset is "a Unix
# timestamp indicating the exact time when the limit will be fully reset".
# Limits are "applied on a per-account basis, regardless of which API key is
# used", and a window may be spent in one burst, then waits for the reset.
RATE_LIMIT_HEADERS = ("x-ratelimit-limit", "x-ratelimit-period", "x-ratelimit-remaining", "x-ratelimit-reset",
                      "x-ratelimit-used")

# Every endpoint documents 401 "Bad API key", 403 "Scope( x ) missing for API
# key", 408 "Timed-out" and 429 "Limited: 1 / 5s"; those descriptions are the
# details below.  The JSON body around them is the problem shape Trading 212
# answers a missing ticker with ({"type": "/api-errors/entity-not-found",
# "title", "status", "detail", "traceId"}), as users have shown it.
# ASSUMPTION: every other status answers in that shape too, with the types and
# titles below; the reference lists no 5xx at all.
BAD_API_KEY = "Bad API key"
TIMED_OUT = "Timed-out"


def scope_missing(scope):
    return f"Scope( {scope} ) missing for API key"


def limited(endpoint):
    return f"Limited: {endpoint.limit} / {endpoint.period}s"


# The members of each object the endpoints answer with, by the reference's schema names.
SCHEMAS = {
    "AccountSummary": ("cash", "currency", "id", "investments", "totalValue"),
    "Cash": ("availableToTrade", "inPies", "reservedForOrders"),
    "Investments": ("currentValue", "realizedProfitLoss", "totalCost", "unrealizedProfitLoss"),
    "Position": ("averagePricePaid", "createdAt", "currentPrice", "instrument", "quantity",
                 "quantityAvailableForTrading", "quantityInPies", "walletImpact"),
    "Instrument": ("currency", "isin", "name", "ticker"),  # currentPrice and averagePricePaid are in its currency
    "PositionWalletImpact": ("currency", "currentValue", "fxImpact", "totalCost", "unrealizedProfitLoss"),
    "TradableInstrument": ("addedOn", "currencyCode", "extendedHours", "isin", "maxOpenQuantity", "name",
                           "shortName", "ticker", "type", "workingScheduleId"),
    "Exchange": ("id", "name", "workingSchedules"),
    "WorkingSchedule": ("id", "timeEvents"),  # an instrument's workingScheduleId names one of these
    "TimeEvent": ("date", "type"),
}


@dataclass(frozen=True)
class RequestRecord:
    """One request as the server saw it, credentials left out.

    ``auth`` is the scheme the request used: "basic", "legacy" (a bare key in
    the Authorization header) or None; ``status`` is None for a request that
    was never answered.
    """

    method: str
    path: str
    query: dict
    endpoint: str | None
    auth: str | None
    status: int | None = None


@dataclass
class Reply(sandbox_http.Reply):
    content_type: str = "application/json"


def json_reply(status, payload, headers=()):
    return Reply(status, json.dumps(payload, ensure_ascii=False).encode("utf-8"), headers=headers)


_PROBLEM_TYPES = {
    400: ("/api-errors/bad-request", "Bad request"),
    401: ("/api-errors/unauthorized", "Unauthorized"),
    403: ("/api-errors/forbidden", "Forbidden"),
    404: ("/api-errors/entity-not-found", "Requested entity not found"),
    405: ("/api-errors/method-not-allowed", "Method not allowed"),
    408: ("/api-errors/timeout", "Request timed out"),
    429: ("/api-errors/too-many-requests", "Too many requests"),
    500: ("/api-errors/internal", "Internal server error"),
    503: ("/api-errors/unavailable", "Service unavailable"),
}


def problem_reply(status, detail, headers=()):
    kind, title = _PROBLEM_TYPES[status]
    body = {"type": kind, "title": title, "status": status, "detail": detail, "traceId": secrets.token_hex(16)}
    return json_reply(status, body, headers)


def cdn_page_reply():
    """The edge network's own refusal: an HTML 403 instead of the API's JSON.

    Clients have met it in front of trading212.com ("Access Denied ... You do
    not have access to trading212.com", github.com/HellAmbro/Trading212API
    issue 40); this page has that shape, not its exact bytes.
    """
    page = ("<!DOCTYPE html><html><head><title>Access Denied</title></head><body>"
            "<h1>Access Denied</h1><p>You do not have access to trading212.com.</p>"
            "<p>The site owner may have set restrictions that prevent you from accessing the site.</p>"
            f"<p>Reference: {secrets.token_hex(8)}</p></body></html>")
    return Reply(403, page.encode("utf-8"), "text/html; charset=UTF-8")


def credentials(header):
    """(scheme, key, secret) from an Authorization header value; (None, None, None) if unusable.

    Current keys: HTTP Basic, "API Key as the username and API Secret as the
    password".  Older keys went bare in the header (the reference's
    legacyApiKeyHeader); those have no secret.
    """
    if not header:
        return None, None, None
    scheme, _, value = header.partition(" ")
    if scheme.lower() == "basic":
        try:
            decoded = base64.b64decode(value.strip(), validate=True).decode("utf-8")
        except (binascii.Error, UnicodeDecodeError):
            return "basic", None, None
        key, colon, secret = decoded.partition(":")
        return ("basic", key, secret) if colon else ("basic", None, None)
    if " " not in header.strip():
        return "legacy", header.strip(), None
    return None, None, None
