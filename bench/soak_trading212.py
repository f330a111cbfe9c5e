"""The leak soak's operations of the Trading 212 broker (bench/soak.py runs them).

requests.Session is replaced by a stateless fake that answers each endpoint
at once from prepared bytes, so a whole session (login, holdings, positions,
cash, logout) runs without a network, and nothing but morbex accumulates.
"""

import contextlib
import json
import sys
import types
from pathlib import Path

import requests

import morbex.trading212 as trading212
from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers
from morbex.errors import BrokerUnavailable, LoginRefused, RateLimited, SessionExpired

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import trading212_reference  # noqa: E402

TOKEN = AuthenticationMethods.TOKEN
SECRET = "soak-api-secret"
SUMMARY = {"id": 31337212, "currency": "EUR", "cash": {"availableToTrade": 1523.47, "reservedForOrders": 0},
           "investments": {}, "totalValue": 1.0}  # fmt: skip
POSITIONS, INSTRUMENTS, EXCHANGES = trading212_reference.answers(20, 40, seed=3, exotic=True)
JSON = {"Content-Type": "application/json"}
BODIES = {
    "/api/v0/equity/account/summary": json.dumps(SUMMARY).encode(),
    "/api/v0/equity/positions": json.dumps(POSITIONS).encode(),
    "/api/v0/equity/metadata/instruments": json.dumps(INSTRUMENTS).encode(),
    "/api/v0/equity/metadata/exchanges": json.dumps(EXCHANGES).encode(),
}
REFUSALS = {
    "401": (401, JSON, b'{"status": 401, "detail": "Bad API key"}'),
    "403": (403, JSON, b'{"status": 403, "detail": "Scope( portfolio ) missing for API key"}'),
    "429": (429, {**JSON, "x-ratelimit-reset": "4102444800"}, b'{"status": 429}'),
}


def fake_session(refusal=None, only=""):
    """A requests.Session stand-in: every endpoint answered, or those ending in `only` refused as `refusal` says."""

    class Session:
        def __init__(self):
            self.headers, self.auth = {}, None

        def request(self, method, url, **kwargs):
            refused = refusal is not None and url.endswith(only)
            status, headers, body = REFUSALS[refusal] if refused else (200, JSON, BODIES[url[url.index("/api") :]])
            return types.SimpleNamespace(status_code=status, headers=headers, content=body)

        def send(self, request, **kwargs):
            raise AssertionError("requests are made through request()")

        def close(self):
            pass

    return Session


@contextlib.contextmanager
def sessions(session_type):
    saved = requests.Session
    requests.Session = session_type
    try:
        yield
    finally:
        requests.Session = saved


def operations(Operation, raises):
    """The operations, made with the soak's Operation and raises."""
    answering, refusing, refused_scope, limited = (fake_session(), fake_session("401"), fake_session("403", "/positions"),
                                                   fake_session("429"))  # fmt: skip
    holdings = trading212_reference.holdings(POSITIONS, INSTRUMENTS, EXCHANGES)
    shared = (authenticate, logout, Brokers.TRADING212, TOKEN, trading212.BrokerTrading212, *POSITIONS,
              *INSTRUMENTS, *EXCHANGES)  # fmt: skip
    not_plain = [dict(POSITIONS[0], instrument=dict(POSITIONS[0]["instrument"], isin=["not", "plain"]))]

    def login(session_type, **extra):
        with sessions(session_type):
            return authenticate(Brokers.TRADING212, TOKEN, api_key="soak", api_secret=SECRET, cache_dir=False, **extra)

    def whole_session():
        with sessions(answering):
            broker = authenticate(Brokers.TRADING212, TOKEN, api_key="soak", api_secret=SECRET, cache_dir=False)
            assert broker.get_current_stock_holdings() == holdings
            assert len(broker.get_positions()) == len(POSITIONS)
            assert broker.get_cash_balances()[0]["amount"] == 1523.47
            logout(broker, TOKEN)
            raises(SessionExpired, broker.get_positions)()

    def refused_read():
        broker = login(refused_scope)
        raises(LoginRefused, broker.get_current_stock_holdings)()

    return [
        Operation("Trading 212 whole session", whole_session, (answering, *shared)),
        Operation("Trading 212 _holdings_of", lambda: trading212._holdings_of(POSITIONS, INSTRUMENTS, EXCHANGES),
                  shared),
        Operation("Trading 212 _holdings_of via json.dumps",
                  lambda: trading212._holdings_of(not_plain, INSTRUMENTS, EXCHANGES), shared),
        Operation("Trading 212 positions not understood",
                  raises(BrokerUnavailable, trading212._holdings_of, [{"quantity": 1}], INSTRUMENTS, EXCHANGES),
                  shared),
        Operation("Trading 212 login refused (401)", raises(LoginRefused, login, refusing), (refusing, *shared)),
        Operation("Trading 212 login rate limited (429)", raises(RateLimited, login, limited), (limited, *shared)),
        Operation("Trading 212 read refused (403)", refused_read, (refused_scope, *shared)),
        Operation("Trading 212 login ValueError (no secret)",
                  raises(ValueError, authenticate, Brokers.TRADING212, TOKEN, api_key="soak"), shared),
    ]  # fmt: skip
