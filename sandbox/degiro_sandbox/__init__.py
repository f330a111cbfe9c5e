"""A local DEGIRO trader API for tests and demos, driven by the real degiro_connector (3.0.35+).

Standard library only.  Usage::

    with Sandbox() as sb, sb.pointed_connector():
        api = API(Credentials(username=USERNAME, password=PASSWORD, int_account=INT_ACCOUNT))
        sb.run_bounded(api.connect)          # the connector has no timeouts
        ...
        assert [s.state for s in sb.sessions] == ["closed", "live"]

From a shell (with ``sandbox/`` on ``sys.path``)::

    python -m degiro_sandbox                 # prints the base URL, serves until Ctrl-C
    python -m degiro_sandbox run -- CMD ...  # CMD gets MORBEX_DEGIRO_URL=<base URL> and, unless
                                             # set, DEGIRO_USERNAME=demo, DEGIRO_PASSWORD=PASSWORD;
                                             # exits with CMD's exit code

Every path is DEGIRO's own, so pointing a client here only swaps the
``https://trader.degiro.nl`` prefix of the connector's URLs (``sb.urls``,
``sb.patch_connector()``).  Served, exactly as the connector calls them
(anything else, the old ``/product_search/config/dictionary`` included: 404;
wrong method: 405; unexpected query keys, bodies of the wrong shape, repeated
keys: 400; a POST that is not application/json: 415)::

    POST /login/secure/login          {username, password, isPassCodeReset, isRedirectToMobile, queryTarams}
    POST /login/secure/login/totp     the same plus oneTimePassword (text)
    POST /login/secure/login/in-app   the same plus inAppToken
    GET  /pa/secure/client?sessionId=
    GET  /trading/secure/v5/update/{ia};jsessionid={sid}?portfolio=0&intAccount=&sessionId=
                                      portfolio and cashFunds filled from 0 (rows of name/value
                                      attributes); the other sections empty
    POST /product_search/secure/v5/products/info?intAccount=&sessionId=
                                      [id, ...]: int32 numbers or their text; "data" keyed
                                      by id text, unknown ids left out
    GET  /productsearch/secure/v1/config/dictionary?intAccount=&sessionId=
    PUT  /trading/secure/logout;jsessionid={sid}?intAccount=&sessionId=

The login body's keys are exactly the connector's, "queryTarams" (its spelling)
included.  Data calls need a live session id (and, in the update and logout
paths, the same id after ";jsessionid="), else 401
``{"errors":[{"text":"Unauthorized"}]}``.  Those that carry intAccount need the
account's number: missing, 0 or another number gives 403
``{"errors":[{"text":"Request is forbidden"}]}``; an update path whose account
is not a number (the connector writes an intAccount of None as "None") gives
400.  Logout alone takes a missing intAccount or 0, so a caller that logs in
first to learn its account number can close that session.  Logout closes the
session; later calls with it get 401.

Login names (password ``PASSWORD`` for all; any other password, or an unknown
name, gives 400 ``{"loginFailures":n,"status":3,"statusText":"badCredentials"}``
with n counting consecutive failures).  Once in, every name is the same client
(``INT_ACCOUNT``, ``CLIENT_ID``); the name picks how the server behaves:

    demo                the seeded account (account.py); DEMO_KEPT_POSITIONS open positions,
                        cash in EUR, USD and GBP (and a CHF fund at zero)
    totp-needed         2FA on: /login answers 202 {"status":6,"statusText":"totpNeeded"};
                        /login/totp accepts the current code of TOTP_SECRET as its exact
                        six-character text (one step of clock drift either way)
    totp-leading-zero   2FA on, as above, but /login/totp accepts only LEADING_ZERO_CODE
                        ("012345"): "12345", what the connector makes of an int code, is refused
    in-app-approval     /login answers 202 {"status":12,"statusText":"inAppTOTPNeeded",
                        "inAppToken":<new token>}; /login/in-app with that token answers the
                        same while pending and opens a session on the sb.in_app_polls-th
                        in-app request (default 3)
    in-app-never        as in-app-approval, but never approved
    sms-needed          202 {"status":7,"statusText":"smsNeeded"}
    captcha             400 {"loginFailures":5,"status":3,"statusText":"badCredentials",
                        "captchaRequired":true}
    rate-limited        429 Too Many Requests (Retry-After: 60)
    maintenance         405 with an HTML maintenance page (the connector then fetches the
                        real trader.degiro.nl/login page, without a timeout)
    server-error        500
    html                200 text/html instead of JSON
    hang                the login request is never answered; closing the sandbox
                        drops the connection, so a blocked caller gets a connection error
    expired             login succeeds, the session is already expired: data calls get 401
    empty-portfolio     the portfolio has no rows, the one cash fund (EUR) is at zero
    hang-portfolio      as demo, but an update asking for the portfolio is never answered
                        until the sandbox closes

The captcha, rate-limit, maintenance, server-error, html and hang answers come
before the password is checked, at all three login endpoints.  A 2FA code or an
in-app token opens one session: used again it gets 400 badCredentials, as does
an unknown token, a token of another name, and /login/totp or /login/in-app for
a name without that kind of 2FA.  ``sb.expire_sessions()`` expires every live
session on demand.

``sb.requests`` lists every request (RequestRecord: method, path, query, body,
headers, endpoint, status), every password, oneTimePassword and inAppToken
replaced by REDACTED; ``status`` is None for a request that was never answered.
``sb.sessions`` lists every session opened (SessionRecord: id, username, state
"live" | "closed" | "expired").
"""

from .account import CLIENT_ID, DEMO_KEPT_POSITIONS, INT_ACCOUNT, PASSWORD, TOTP_SECRET, USERNAME
from .login import LEADING_ZERO_CODE
from .server import REDACTED, SCENARIOS, RequestRecord, Sandbox, SessionRecord, run_bounded, totp_now

__all__ = [
    "CLIENT_ID",
    "DEMO_KEPT_POSITIONS",
    "INT_ACCOUNT",
    "LEADING_ZERO_CODE",
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
