"""A local Trading 212 public API (v0, beta) for tests and demos.

Standard library only.  Usage::

    with Sandbox() as sb:
        url = sb.base_url + "/api/v0/equity/positions"  # Basic auth: API_KEY, API_SECRET
        ...
        assert [(r.endpoint, r.status) for r in sb.requests] == [("positions", 200)]

From a shell (with ``sandbox/`` on ``sys.path``)::

    python -m trading212_sandbox                 # prints the base URL, serves until Ctrl-C
    python -m trading212_sandbox run -- CMD ...  # CMD gets MORBEX_TRADING212_URL=<base URL> and,
                                                 # unless set, TRADING212_API_KEY and
                                                 # TRADING212_API_SECRET of the demo account;
                                                 # exits with CMD's exit code

Every path is Trading 212's own, so a client pointed here only swaps the
``https://live.trading212.com`` (or ``demo.``) prefix.  Served, GET only
(anything else: 404; another method: 405; a repeated or unexpected query
key: 400), each with its rate limit per account::

    /api/v0/equity/account/summary         scope "account",   1 per 5 s
    /api/v0/equity/positions[?ticker=]     scope "portfolio", 1 per 1 s
    /api/v0/equity/metadata/instruments    scope "metadata",  1 per 50 s
    /api/v0/equity/metadata/exchanges      scope "metadata",  1 per 30 s

Every request needs ``Authorization: Basic base64(key:API_SECRET)`` with one
of the keys below, or the older kind of key, ``LEGACY_API_KEY``, bare in the
header; else 401.  Every answer to an account's request carries
x-ratelimit-limit, -period, -remaining, -reset (Unix time) and -used; past
the limit the answer is 429 until the reset.  Trading 212 counts limits
per account whichever key is used; here each key below counts as an account
of its own, and LEGACY_API_KEY shares the demo key's count.  Every key shows
the one demo account (ACCOUNT_ID, currency EUR).  ``sb.reset_rate_limits()``
forgets every count.  Errors are JSON
``{"type", "title", "status", "detail", "traceId"}``, a missing scope's
detail being ``"Scope( portfolio ) missing for API key"``.

API keys (secret ``API_SECRET`` for all); the key picks how the server behaves:

    demo              API_KEY: every scope, the demo account (account.py)
    no-portfolio      positions: 403, scope "portfolio"
    no-metadata       instruments and exchanges: 403, scope "metadata"
    no-account-data   account summary: 403, scope "account"
    rate-limited      429 on every endpoint, with headers of a spent window
    server-error      500
    unavailable       503 with Retry-After: 30
    html              403 text/html: the edge network's "Access Denied" page
    hang              never answered; closing the sandbox drops the connection
    timeout-408       408 "Timed-out"
    empty-portfolio   as demo, but no positions

The demo account holds, in EUR: Apple (NASDAQ, USD), Coca-Cola (NYSE, USD,
0.5321 shares), Vodafone (London, GBX), SAP (Xetra), LVMH (Euronext Paris),
ASML (Euronext Amsterdam, 1.75 of its 4.25 shares in a pie) and Arm
Holdings (USD), which the instruments metadata lacks.  ``Sandbox(
filler_instruments=N)`` adds N made-up instruments to that metadata (4000
make a megabyte).

``sb.requests`` lists every request (RequestRecord: method, path, query,
endpoint, auth scheme, status; never a key or secret); ``status`` is None for
a request that was never answered.
"""

from .account import ACCOUNT_ID, API_KEY, API_SECRET, CURRENCY, LEGACY_API_KEY, POSITIONS, SCENARIOS
from .server import RequestRecord, Sandbox
from .wire import DEMO_URL, ENDPOINTS, LIVE_URL

__all__ = [
    "ACCOUNT_ID",
    "API_KEY",
    "API_SECRET",
    "CURRENCY",
    "DEMO_URL",
    "ENDPOINTS",
    "LEGACY_API_KEY",
    "LIVE_URL",
    "POSITIONS",
    "SCENARIOS",
    "RequestRecord",
    "Sandbox",
]
