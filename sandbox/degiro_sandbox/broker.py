"""The stand-in for trader.degiro.nl, independent of sockets: routes, request checks, sessions, replies."""

import re
import secrets
from dataclasses import replace

import sandbox_http
from sandbox_http import HANG

from . import account
from .login import SCENARIOS, LoginDesk
from .wire import Malformed, Reply, SessionRecord, errors_reply, json_reply

# Attribute of degiro_connector.core.constants.urls -> its path on trader.degiro.nl,
# which is the path on the sandbox too: pointing the connector here only swaps
# the "https://trader.degiro.nl" prefix.
CONNECTOR_URLS = {
    "LOGIN": "/login/secure/login",
    "LOGOUT": "/trading/secure/logout",
    "CLIENT_DETAILS": "/pa/secure/client",
    "UPDATE": "/trading/secure/v5/update",
    "PRODUCTS_INFO": "/product_search/secure/v5/products/info",
    "PRODUCT_SEARCH_DICTIONARY": "/productsearch/secure/v1/config/dictionary",
}

_JSID = r";jsessionid=(?P<jsid>[^/;]*)"

# endpoint, method, path pattern, built from the connector's own URLs.  Matrix
# parameters (";jsessionid=") are part of the path, exactly as the connector builds them.
_ROUTE_PATTERNS = [
    ("login", "POST", re.escape(CONNECTOR_URLS["LOGIN"])),
    ("login_totp", "POST", re.escape(CONNECTOR_URLS["LOGIN"] + "/totp")),
    ("login_in_app", "POST", re.escape(CONNECTOR_URLS["LOGIN"] + "/in-app")),
    ("client_details", "GET", re.escape(CONNECTOR_URLS["CLIENT_DETAILS"])),
    ("update", "GET", re.escape(CONNECTOR_URLS["UPDATE"]) + r"/(?P<account>[^/;]*)" + _JSID),
    ("products_info", "POST", re.escape(CONNECTOR_URLS["PRODUCTS_INFO"])),
    ("products_config", "GET", re.escape(CONNECTOR_URLS["PRODUCT_SEARCH_DICTIONARY"])),
    ("logout", "PUT", re.escape(CONNECTOR_URLS["LOGOUT"]) + _JSID),
]
ROUTES = [(name, method, re.compile(pattern)) for name, method, pattern in _ROUTE_PATTERNS]
LOGIN_ENDPOINTS = ("login", "login_totp", "login_in_app")

# Query keys each endpoint may carry; anything else is a malformed request.
_UPDATE_OPTIONS = ("alerts", "cashFunds", "historicalOrders", "orders", "portfolio", "totalPortfolio", "transactions")
_QUERY_KEYS = {
    "login": (),
    "login_totp": (),
    "login_in_app": (),
    "client_details": ("sessionId",),
    "update": ("intAccount", "sessionId") + _UPDATE_OPTIONS,
    "products_info": ("intAccount", "sessionId"),
    "products_config": ("intAccount", "sessionId"),
    "logout": ("intAccount", "sessionId"),
}
_INT32 = range(-(2**31), 2**31)


def _is_integer_text(text):
    # ASCII digits only: str.isdigit and int() also take other scripts' digits.
    return re.fullmatch(r"-?[0-9]+", text) is not None


class Broker(sandbox_http.RequestLog):
    """Server state and the request -> reply logic."""

    def __init__(self, in_app_polls):
        super().__init__()
        self.sessions = {}  # id -> SessionRecord, in creation order
        self.logins = LoginDesk(self.lock, self._open_session, in_app_polls)

    # -- bookkeeping -------------------------------------------------------

    def _open_session(self, username):
        sid = secrets.token_hex(16).upper() + ".prod_b_112_1"
        with self.lock:
            self.sessions[sid] = SessionRecord(sid, username, "expired" if SCENARIOS[username].expired else "live")
        return sid

    def _set_state(self, sid, state):
        with self.lock:
            self.sessions[sid] = replace(self.sessions[sid], state=state)

    def expire_all(self):
        with self.lock:
            for sid, session in self.sessions.items():
                if session.state == "live":
                    self.sessions[sid] = replace(session, state="expired")

    # -- dispatch ----------------------------------------------------------

    def handle(self, endpoint, params, query, body):
        """The reply to one routed request, or HANG."""
        try:
            self._check_query(endpoint, query)
            if endpoint in LOGIN_ENDPOINTS:
                return self.logins.login(endpoint, body)
            if endpoint == "products_info":
                ids = self._product_ids(body)
            elif body is not None:
                raise Malformed(f"{endpoint} takes no body")
        except Malformed as exc:
            return errors_reply(400, f"Bad request: {exc}")

        session, denied = self._authorise(endpoint, params, query)
        if denied is not None:
            return denied

        scenario = SCENARIOS[session.username]
        if endpoint == "client_details":
            return json_reply(200, account.client_details(session.username))
        if endpoint == "update":
            if scenario.portfolio_hangs and "portfolio" in query:
                return HANG
            return self._update(scenario, query)
        if endpoint == "products_info":
            return json_reply(200, {"data": {i: account.PRODUCTS[i] for i in ids if i in account.PRODUCTS}})
        if endpoint == "products_config":
            return json_reply(200, account.PRODUCTS_CONFIG)
        if endpoint == "logout":
            self._set_state(session.id, "closed")
            return Reply(200, b"", "text/plain;charset=UTF-8")
        raise AssertionError(endpoint)

    # -- request shape -----------------------------------------------------

    @staticmethod
    def _check_query(endpoint, query):
        unexpected = sorted(set(query) - set(_QUERY_KEYS[endpoint]))
        if unexpected:
            raise Malformed(f"unexpected query parameter(s) {unexpected}")
        if endpoint == "update":
            for option in _UPDATE_OPTIONS:
                if option in query and not _is_integer_text(query[option]):
                    raise Malformed(f"{option} must be an integer")

    @staticmethod
    def _product_ids(body):
        """The ids as DEGIRO keys them (text): the connector posts them as given, int32 numbers or their text."""
        if not isinstance(body, list):
            raise Malformed("products info takes a JSON array of product ids")
        ids = []
        for item in body:
            # bool is an int, but no product id.
            if type(item) is int and item in _INT32:
                ids.append(str(item))
            elif isinstance(item, str) and _is_integer_text(item) and int(item) in _INT32:
                ids.append(item)
            else:
                raise Malformed(f"product id {item!r} is neither an int32 nor its text")
        return ids

    # -- data calls --------------------------------------------------------

    def _authorise(self, endpoint, params, query):
        """(session, None) when the call may proceed, else (None, reply)."""
        sid = query.get("sessionId")
        with self.lock:
            session = self.sessions.get(sid) if sid else None
        # The path's jsessionid and the query's sessionId are one session; a
        # mismatch means the caller mixed up sessions.
        if session is None or session.state != "live" or params.get("jsid", sid) != sid:
            return None, errors_reply(401, "Unauthorized")
        if endpoint == "client_details":
            return session, None

        ia = query.get("intAccount")
        if endpoint == "logout" and ia in (None, "0"):
            # Logging out needs only the session: a caller that is still
            # discovering its account number logs out without one (the
            # connector leaves out an intAccount of None).
            return session, None
        if "account" in params and not _is_integer_text(params["account"]):
            # The connector puts an intAccount of None into the update path as "None".
            return None, errors_reply(400, "Bad request: the account in the path is not a number")
        if ia is None:
            return None, errors_reply(403, "Request is forbidden")
        if not _is_integer_text(ia) or params.get("account", ia) != ia:
            return None, errors_reply(400, "Bad request: intAccount malformed, or path and query disagree")
        # 0 is just another account that is not this client's.
        if int(ia) != account.INT_ACCOUNT:
            return None, errors_reply(403, "Request is forbidden")
        return session, None

    @staticmethod
    def _update(scenario, query):
        reply = {}
        for option in _UPDATE_OPTIONS:
            if option not in query:
                continue
            section = {"lastUpdated": account.PORTFOLIO_LAST_UPDATED, "name": option, "isAdded": True, "value": []}
            # A caller that is already up to date gets an empty delta, as DEGIRO does.
            if int(query[option]) < account.PORTFOLIO_LAST_UPDATED:
                if option == "portfolio":
                    section["value"] = account.PORTFOLIOS[scenario.portfolio]
                elif option == "cashFunds":
                    section["value"] = account.CASH_FUNDS[scenario.portfolio]
            reply[option] = section
        return json_reply(200, reply)
