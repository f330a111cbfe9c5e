"""Recording stand-ins for what morbex.keelson takes from degiro_connector and
morbex.utils, installed as the module's attributes (it looks them up at call
time)."""

import types

import morbex.keelson as keelson

PORTFOLIO = object()  # Update.Option.PORTFOLIO


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

    def request_list(self):
        request_list = types.SimpleNamespace(values=[])
        self.log.append(("Update.RequestList", request_list))
        return request_list

    def update_request(self, **kwargs):
        self.log.append(("Update.Request", kwargs))
        return ("request", kwargs)

    def message_to_dict(self, **kwargs):
        self.log.append(("message_to_dict", kwargs))
        return {"portfolio": {"last_updated": 42, "values": self.positions}}

    def products_request(self):
        request = types.SimpleNamespace(products=[])
        self.log.append(("ProductsInfo.Request", request))
        return request

    def mic_suffixes(self, *args, **kwargs):
        self.log.append(("get_exchange_mic_to_suffix_dict", (args, kwargs)))
        return self.suffixes

    def install(self, monkeypatch):
        monkeypatch.setattr(keelson, "Credentials", self.credentials)
        monkeypatch.setattr(keelson, "DegiroAPI", self.api)
        monkeypatch.setattr(
            keelson,
            "Update",
            types.SimpleNamespace(
                RequestList=self.request_list,
                Request=self.update_request,
                Option=types.SimpleNamespace(PORTFOLIO=PORTFOLIO),
            ),
        )
        monkeypatch.setattr(keelson, "pb_handler", types.SimpleNamespace(message_to_dict=self.message_to_dict))
        monkeypatch.setattr(keelson, "ProductsInfo", types.SimpleNamespace(Request=self.products_request))
        monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", self.mic_suffixes)
        return self

    def events(self):
        return [name for name, _ in self.log]


class FakeAPI:
    def __init__(self, connector, credentials):
        self.connector = connector
        self.credentials = credentials
        self.calls = []

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
        return "update message"

    def get_products_info(self, *args, **kwargs):
        self._record("get_products_info", args, kwargs)
        return {"data": self.connector.products}

    def get_products_config(self, *args, **kwargs):
        self._record("get_products_config", args, kwargs)
        return {"exchanges": self.connector.exchanges, "countries": []}
