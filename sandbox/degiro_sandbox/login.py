"""The login names and the three login endpoints: passwords, 2FA codes, in-app approvals."""

import base64
import hashlib
import hmac
import secrets
import struct
import time
from dataclasses import dataclass

from sandbox_http import HANG

from . import account
from .wire import Malformed, Reply, errors_reply, html_reply, json_reply

# The one code the "totp-leading-zero" login accepts: six characters, the first a zero.
LEADING_ZERO_CODE = "012345"


@dataclass(frozen=True)
class Scenario:
    """How the server treats a login name: its login outcome, portfolio, and session fate."""

    # ok | totp | totp_leading_zero | in_app | in_app_never | sms | captcha
    # | rate_limited | maintenance | server_error | html | hang
    login: str = "ok"
    portfolio: str = "demo"
    portfolio_hangs: bool = False
    expired: bool = False


# Every login name the sandbox knows; all of them use account.PASSWORD and,
# once in, are the demo client (same intAccount and client details).
SCENARIOS = {
    account.USERNAME: Scenario(),
    "totp-needed": Scenario(login="totp"),
    "totp-leading-zero": Scenario(login="totp_leading_zero"),
    "in-app-approval": Scenario(login="in_app"),
    "in-app-never": Scenario(login="in_app_never"),
    "sms-needed": Scenario(login="sms"),
    "captcha": Scenario(login="captcha"),
    "rate-limited": Scenario(login="rate_limited"),
    "maintenance": Scenario(login="maintenance"),
    "server-error": Scenario(login="server_error"),
    "html": Scenario(login="html"),
    "hang": Scenario(login="hang"),
    "expired": Scenario(expired=True),
    "empty-portfolio": Scenario(portfolio="empty"),
    "hang-portfolio": Scenario(portfolio_hangs=True),
}

_TWO_FACTOR = ("totp", "totp_leading_zero")
_IN_APP = ("in_app", "in_app_never")

# The body degiro_connector sends (Login.model_dump(by_alias=True, exclude_none=True)),
# key for key: "queryTarams" is the connector's spelling, and the one DEGIRO gets.
_LOGIN_KEYS = {"username": str, "password": str, "isPassCodeReset": bool, "isRedirectToMobile": bool,
               "queryTarams": dict}
_ENDPOINT_KEYS = {"login": {}, "login_totp": {"oneTimePassword": str}, "login_in_app": {"inAppToken": str}}


def _hotp(key, counter):
    digest = hmac.new(key, struct.pack(">Q", counter), hashlib.sha1).digest()
    offset = digest[-1] & 15
    return (struct.unpack(">I", digest[offset : offset + 4])[0] & 0x7FFFFFFF) % 1_000_000


def _key(secret):
    return base64.b32decode(secret.replace(" ", "").upper())


def totp_now(secret, at=None):
    """The RFC 6238 code (SHA-1, 30 s, 6 digits) for ``secret`` at ``at`` (default: now), as an int.

    On the wire it is the six-character text ``f"{code:06d}"``; the sandbox accepts nothing shorter.
    """
    return _hotp(_key(secret), int((time.time() if at is None else at) // 30))


def _totp_step(code):
    """The time step whose code is exactly the text ``code``, allowing one step of clock drift; else None."""
    if not (isinstance(code, str) and len(code) == 6 and code.isascii() and code.isdigit()):
        return None
    key = _key(account.TOTP_SECRET)
    now = int(time.time() // 30)
    for step in (now, now - 1, now + 1):
        if hmac.compare_digest(code, f"{_hotp(key, step):06d}"):
            return step
    return None


def check_login_body(endpoint, body):
    expected = _LOGIN_KEYS | _ENDPOINT_KEYS[endpoint]
    if not isinstance(body, dict) or set(body) != set(expected):
        raise Malformed(f"login takes exactly the keys {sorted(expected)}")
    for key, kind in expected.items():
        # bool is an int, and an int is not text: type() rather than isinstance.
        if type(body[key]) is not kind:
            raise Malformed(f"{key} must be {kind.__name__}")


@dataclass
class _Pending:
    """A password login waiting for approval in the app."""

    username: str
    polls: int = 0


class LoginDesk:
    """Answers the login endpoints; opens sessions through ``open_session(username) -> session id``."""

    def __init__(self, lock, open_session, in_app_polls):
        self._lock = lock
        self._open_session = open_session
        self._in_app_polls = in_app_polls  # () -> the in-app request that approves a pending login
        self._failures = {}  # username -> consecutive bad logins
        self._pending = {}  # in-app token -> _Pending
        self._used = set()  # (username, TOTP step or the fixed code) that already opened a session

    def login(self, endpoint, body):
        """The reply to a login request (or HANG); raises Malformed for a body the connector never sends."""
        check_login_body(endpoint, body)
        username = body["username"]
        scenario = SCENARIOS.get(username)

        # DEGIRO's edge answers these before looking at credentials.
        front = None if scenario is None else self._front_door(scenario)
        if front is not None:
            return front
        if scenario is None or not hmac.compare_digest(body["password"].encode(), account.PASSWORD.encode()):
            return self._bad_credentials(username)

        if endpoint == "login_totp":
            return self._two_factor(username, scenario, body["oneTimePassword"])
        if endpoint == "login_in_app":
            return self._in_app(username, body["inAppToken"])
        if scenario.login in _TWO_FACTOR:
            return json_reply(202, {"status": 6, "statusText": "totpNeeded"})
        if scenario.login in _IN_APP:
            token = secrets.token_urlsafe(24)
            with self._lock:
                self._pending[token] = _Pending(username)
            return self._awaiting_approval(token)
        if scenario.login == "sms":
            return json_reply(202, {"status": 7, "statusText": "smsNeeded"})
        return self._success(username)

    @staticmethod
    def _front_door(scenario):
        if scenario.login == "hang":
            return HANG
        if scenario.login == "rate_limited":
            return Reply(429, b"Too Many Requests", "text/plain;charset=UTF-8", (("Retry-After", "60"),))
        if scenario.login == "maintenance":
            return html_reply(405, "DEGIRO is undergoing maintenance")
        if scenario.login == "server_error":
            return errors_reply(500, "Internal server error")
        if scenario.login == "html":
            return html_reply(200, "Please enable JavaScript to continue")
        if scenario.login == "captcha":
            return json_reply(400, {"loginFailures": 5, "status": 3, "statusText": "badCredentials",
                                    "captchaRequired": True})
        return None

    def _two_factor(self, username, scenario, code):
        # Only an account with 2FA switched on may use the 2FA login.
        if scenario.login == "totp":
            step = _totp_step(code)
        elif scenario.login == "totp_leading_zero":
            step = "fixed" if hmac.compare_digest(code.encode(), LEADING_ZERO_CODE.encode()) else None
        else:
            step = None
        if step is None:
            return self._bad_credentials(username)
        with self._lock:
            # A code opens one session: a replayed (or concurrently resent) one is refused.
            replayed = (username, step) in self._used
            self._used.add((username, step))
        return self._bad_credentials(username) if replayed else self._success(username)

    def _in_app(self, username, token):
        with self._lock:
            pending = self._pending.get(token)
            if pending is not None and pending.username == username:
                pending.polls += 1
                approved = SCENARIOS[username].login == "in_app" and pending.polls >= self._in_app_polls()
                if approved:
                    del self._pending[token]  # a token opens one session
        if pending is None or pending.username != username:
            return self._bad_credentials(username)
        return self._success(username) if approved else self._awaiting_approval(token)

    @staticmethod
    def _awaiting_approval(token):
        return json_reply(202, {"status": 12, "statusText": "inAppTOTPNeeded", "inAppToken": token})

    def _success(self, username):
        sid = self._open_session(username)
        with self._lock:
            self._failures.pop(username, None)
        return json_reply(200, {
            "isPassCodeEnabled": False,
            "locale": "nl_NL",
            "redirectUrl": "https://trader.degiro.nl/trader/",
            "sessionId": sid,
            "status": 0,
            "statusText": "success",
        })

    def _bad_credentials(self, username):
        with self._lock:
            failures = self._failures[username] = self._failures.get(username, 0) + 1
        return json_reply(400, {"loginFailures": failures, "status": 3, "statusText": "badCredentials"})
