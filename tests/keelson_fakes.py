"""Recording stand-ins for what morbex.keelson takes from degiro_connector and
morbex.utils, installed as the module's attributes (it looks them up at call
time)."""

import types

import morbex.keelson as keelson

PORTFOLIO = object()  # UpdateOption.PORTFOLIO
CASH_FUNDS = object()  # UpdateOption.CASH_FUNDS


def positionrow(position, kind="positionrow"):
    """A position (or a cash fund) as DEGIRO sends it: a row of name/value attributes."""
    if not isinstance(position, dict):
        return position
    return {"name": kind, "id": position.get("id"), "isAdded": True,
            "value": [{"name": name, "value": value, "isAdded": True} for name, value in position.items()]}  # fmt: skip


class Connector:
    """Everything the broker can reach, and a log of what it did, in order."""

    def __init__(self):
        self.log = []
        self.apis = []
        self.connect_errors = []  # per connect() call: an exception to raise, or None
        self.client_details = {"data": {"intAccount": 7654321, "clientRole": "basic"}}
        self.positions = []
        self.products = {}
        self.exchanges = []
        self.cash_funds = []  # {"id", "currencyCode", "value"} each
        self.suffixes = {"XAMS": "AS", "XETR": "DE", "XNAS": ""}

    # -- the stand-ins -------------------------------------------------------

    def credentials(self, **kwargs):
        self.log.append(("Credentials", kwargs))
        return types.SimpleNamespace(**kwargs)

    def api(self, credentials):
        api = FakeAPI(self, credentials)
        self.apis.append(api)
        self.log.append(("DegiroAPI", api))
        return api

    def update_request(self, **kwargs):
        self.log.append(("UpdateRequest", kwargs))
        return ("request", kwargs)

    def mic_suffixes(self, *args, **kwargs):
        self.log.append(("get_exchange_mic_to_suffix_dict", (args, kwargs)))
        return self.suffixes

    def install(self, monkeypatch):
        monkeypatch.setattr(keelson, "Credentials", self.credentials)
        monkeypatch.setattr(keelson, "DegiroAPI", self.api)
        monkeypatch.setattr(keelson, "UpdateRequest", self.update_request)
        monkeypatch.setattr(keelson, "UpdateOption", types.SimpleNamespace(PORTFOLIO=PORTFOLIO, CASH_FUNDS=CASH_FUNDS))
        monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", self.mic_suffixes)
        return self

    def events(self):
        return [name for name, _ in self.log]


class FakeAPI:
    def __init__(self, connector, credentials):
        self.connector = connector
        self.credentials = credentials
        self.calls = []
        self.session_storage = types.SimpleNamespace(build_session=self.build_session, session=types.SimpleNamespace())

    @staticmethod
    def build_session(headers=None, hooks=None):
        return types.SimpleNamespace(send=None)

    def _record(self, name, args, kwargs):
        self.calls.append((name, args, kwargs))
        self.connector.log.append((name, (self, args, kwargs)))

    def connect(self, *args, **kwargs):
        self._record("connect", args, kwargs)
        errors = self.connector.connect_errors
        error = errors.pop(0) if errors else None
        if error is not None:
            raise error

    def get_client_details(self, *args, **kwargs):
        self._record("get_client_details", args, kwargs)
        return self.connector.client_details

    def logout(self, *args, **kwargs):
        self._record("logout", args, kwargs)
        return True

    def get_update(self, *args, **kwargs):
        self._record("get_update", args, kwargs)
        return {
            "portfolio": {"lastUpdated": 42, "value": [positionrow(p) for p in self.connector.positions]},
            "cashFunds": {"lastUpdated": 42, "value": [positionrow(f, "cashFund") for f in self.connector.cash_funds]},
        }

    def get_products_info(self, *args, **kwargs):
        self._record("get_products_info", args, kwargs)
        return {"data": self.connector.products}

    def get_products_config(self, *args, **kwargs):
        self._record("get_products_config", args, kwargs)
        return {"exchanges": self.connector.exchanges, "countries": []}


def connected(connector):
    """A BrokerDeGiro logged in through the stand-ins, their records cleared."""
    broker = keelson.BrokerDeGiro()
    broker.authenticate_with_username_password(username="jdoe", password="secret", int_account=1234567)
    connector.log.clear()
    broker.trading_api.calls.clear()
    return broker
