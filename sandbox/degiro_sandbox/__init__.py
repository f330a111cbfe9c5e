"""A local DEGIRO trader API for tests and demos, driven by the real degiro_connector.

Standard library only.  Usage::

    with Sandbox() as sb, sb.pointed_connector():
        api = API(Credentials(username=USERNAME, password=PASSWORD, int_account=INT_ACCOUNT))
        sb.run_bounded(api.connect)          # the connector has no timeouts
        ...
        assert [s.state for s in sb.sessions] == ["closed", "live"]

Served, exactly as the connector calls them (anything else: 404; wrong method: 405;
unexpected query keys, bodies of the wrong shape, repeated keys: 400; a POST that
is not application/json: 415)::

    POST /login/secure/login                     {username, password, isPassCodeReset, isRedirectToMobile, queryParams}
    POST /login/secure/login/totp                the same plus oneTimePassword
    GET  /pa/secure/client?sessionId=
    GET  /trading/secure/v5/update/{ia};jsessionid={sid}?portfolio=0&intAccount=&sessionId=
    POST /product_search/secure/v5/products/info?intAccount=&sessionId=   ["id", ...]  (unknown ids are left out)
    GET  /product_search/config/dictionary?intAccount=&sessionId=
    PUT  /trading/secure/logout;jsessionid={sid}?intAccount=&sessionId=

Data calls need a live session id (and, in the update and logout paths, the same
id after ";jsessionid="), else 401 ``{"errors":[{"text":"Unauthorized"}]}``.  Those
that carry intAccount need the account's number: missing, 0 or another number
gives 403 ``{"errors":[{"text":"Request is forbidden"}]}``.  Logout alone accepts
intAccount 0, so a caller that logs in first to learn its account number can
close that session.  Logout closes the session; later calls with it get 401.

Login names (password ``PASSWORD`` for all; any other password, or an unknown
name, gives 400 ``{"loginFailures":n,"status":3,"statusText":"badCredentials"}``
with n counting consecutive failures).  Once in, every name is the same client
(``INT_ACCOUNT``, ``CLIENT_ID``); the name picks how the server behaves:

    demo                the seeded account (account.py); DEMO_KEPT_POSITIONS open positions
    totp-needed         2FA on: /login answers 202 {"status":6,"statusText":"totpNeeded"};
                        /login/totp accepts the current code of TOTP_SECRET (any other: 400)
    in-app-approval     202 {"status":12,"statusText":"inAppTOTPNeeded"}
    rate-limited        429 Too Many Requests (Retry-After: 60)
    maintenance         405 with an HTML maintenance page
    server-error        500
    html                200 text/html instead of JSON
    hang                the login request is never answered; closing the sandbox
                        drops the connection, so a blocked caller gets a connection error
    expired             login succeeds, the session is already expired: data calls get 401
    empty-portfolio     the portfolio has no rows

The rate-limit, maintenance, server-error, html and hang answers come before the
password is checked.  ``sb.expire_sessions()`` expires every live session on demand.
The 2FA login is accepted only for "totp-needed"; other names get 400 there.

``sb.requests`` lists every request (RequestRecord: method, path, query, body,
headers, endpoint, status), the login password replaced by REDACTED; ``status``
is None for a request that was never answered.  ``sb.sessions`` lists every
session opened (SessionRecord: id, username, state "live" | "closed" | "expired").
"""

from .account import CLIENT_ID, DEMO_KEPT_POSITIONS, INT_ACCOUNT, PASSWORD, TOTP_SECRET, USERNAME
from .server import REDACTED, SCENARIOS, RequestRecord, Sandbox, SessionRecord, run_bounded, totp_now

__all__ = [
    "CLIENT_ID",
    "DEMO_KEPT_POSITIONS",
    "INT_ACCOUNT",
    "PASSWORD",
    "REDACTED",
    "SCENARIOS",
    "TOTP_SECRET",
    "USERNAME",
    "RequestRecord",
    "Sandbox",
    "SessionRecord",
    "run_bounded",
    "totp_now",
]
