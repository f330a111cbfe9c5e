import abc
import sys
import inspect
import json
import math

import pytest
from fuzz_budget import examples
from hypothesis import given, settings
from hypothesis import strategies as st
from degiro_connector.trading.api import API
from degiro_connector.trading.models.account import UpdateOption, UpdateRequest
from degiro_connector.trading.models.credentials import Credentials
from keelson_fakes import CASH_FUNDS, PORTFOLIO, Connector
from schemas import check_cash_balances, check_positions

import morbex.keelson as keelson
import morbex.utils
from morbex.keelson import BrokerDeGiro
from morbex.errors import BrokerUnavailable
from morbex.pactum import BrokerBase
from morbex.records import HOLDING_KEYS

METHODS = [
    ("__init__", "(self)", {}),
    ("_create_and_connect_api", "(self, username, password, **kwargs)", {}),
    ("authenticate_with_username_password", "(self, **kwargs) -> 'None'", {"return": "None"}),
    ("authenticate_with_email_password", "(self, **kwargs)", {}),
    ("authenticate_with_token", "(self, **kwargs)", {}),
    ("logout_with_username_password", "(self, **kwargs)", {}),
    ("get_current_stock_holdings", "(self)", {}),
    ("get_positions", "(self) -> 'list[dict]'", {"return": "list[dict]"}),
    ("get_cash_balances", "(self) -> 'list[dict]'", {"return": "list[dict]"}),
    ("_aggregated_active_holdings", "(self, all_holdings)", {}),
    ("_create_new_active_holding", "(self, id, size)", {}),
    ("_get_stock_info", "(self, ids)", {}),
    ("_map_holdings_with_info", "(self, holdings, holdings_info, exchanges_info)", {}),
    (
        "_get_ticker_with_suffix",
        "(self, ticker_name, exchange_mic, exchange_country, exchange_mic_to_suffix_dict)",
        {},
    ),
    ("_can_cast_to_int", "(self, value)", {}),
]

KEYS = [
    "internal_id", "isin", "ticker", "ticker_suffix", "company", "exchange_id",
    "exchange_name", "exchange_city", "exchange_country", "currency", "quantity",
]  # fmt: skip


@pytest.fixture
def connector(monkeypatch):
    return Connector().install(monkeypatch)


def connected(connector):
    broker = BrokerDeGiro()
    broker.authenticate_with_username_password(username="jdoe", password="secret", int_account=1234567)
    connector.log.clear()
    broker.trading_api.calls.clear()
    return broker


# --- the module and the class ---------------------------------------------------


def test_module_namespace_in_import_order():
    public = [name for name in vars(keelson) if not name.startswith("__")]
    assert public == [
        "json", "logging", "time", "partial", "DegiroAPI", "Credentials", "UpdateOption", "UpdateRequest",
        "BrokerBase", "LoginRefused", "ApprovalTimeout", "BrokerUnavailable", "RateLimited", "SessionExpired",
        "get_exchange_mic_to_suffix_dict", "_bounded_session", "_bounded_send", "BrokerDeGiro",
    ]  # fmt: skip
    assert keelson.json is json
    assert keelson.DegiroAPI is API
    assert (keelson.Credentials, keelson.UpdateOption, keelson.UpdateRequest) == (Credentials, UpdateOption, UpdateRequest)
    assert keelson.BrokerBase is BrokerBase
    assert keelson.get_exchange_mic_to_suffix_dict is morbex.utils.get_exchange_mic_to_suffix_dict


def test_class_shape():
    assert BrokerDeGiro.__bases__ == (BrokerBase,)
    assert type(BrokerDeGiro) is abc.ABCMeta
    assert (BrokerDeGiro.__module__, BrokerDeGiro.__qualname__) == ("morbex.keelson", "BrokerDeGiro")
    assert BrokerDeGiro.__doc__ is None
    assert BrokerDeGiro.__abstractmethods__ == frozenset()
    bookkeeping = ("__module__", "__doc__", "__abstractmethods__", "_abc_impl", "__firstlineno__", "__static_attributes__")
    own = [name for name in vars(BrokerDeGiro) if name not in bookkeeping]
    assert own == [name for name, _, _ in METHODS]
    if sys.version_info >= (3, 13):
        assert BrokerDeGiro.__static_attributes__ == ("int_account", "trading_api")


@pytest.mark.parametrize("name, signature, annotations", METHODS)
def test_methods_are_function_like(name, signature, annotations):
    f = vars(BrokerDeGiro)[name]
    assert str(inspect.signature(f)) == signature
    assert f.__annotations__ == annotations
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"BrokerDeGiro.{name}", "morbex.keelson")
    assert f.__doc__ is None and f.__defaults__ is None


def test_new_broker():
    broker = BrokerDeGiro()
    assert vars(broker) == {"int_account": None, "trading_api": None}
    assert isinstance(broker, BrokerBase)
    with pytest.raises(TypeError, match=r"BrokerDeGiro.__init__\(\) takes 1 positional argument but 2 were given"):
        BrokerDeGiro("degiro")


# --- authentication -------------------------------------------------------------


def test_login_with_account_number(connector):
    broker = BrokerDeGiro()
    assert broker.authenticate_with_username_password(username="jdoe", password="secret", int_account=42) is None
    assert connector.events() == ["Credentials", "DegiroAPI", "connect"]
    assert connector.log[0][1] == {"username": "jdoe", "password": "secret", "int_account": 42}
    [api] = connector.apis
    assert api.calls == [("connect", (), {})]
    # Every request of the API object is bounded by the default timeout.
    bounded = api.session_storage.build_session
    assert bounded.func is keelson._bounded_session and bounded.args == (api.build_session, 30)
    assert api.credentials is not None and broker.trading_api is api
    assert broker.int_account == 42


@pytest.mark.parametrize("given", [{}, {"int_account": None}, {"int_account": 0}])
def test_login_learns_the_account_number_in_the_same_session(connector, given):
    broker = BrokerDeGiro()
    broker.authenticate_with_username_password(username="jdoe", password="secret", extra="ignored", **given)
    [api] = connector.apis
    assert connector.events() == ["Credentials", "DegiroAPI", "connect", "get_client_details"]
    assert connector.log[0][1] == {"username": "jdoe", "password": "secret", "int_account": given.get("int_account")}
    assert api.credentials.int_account == 7654321
    assert broker.trading_api is api and broker.int_account == 7654321


@pytest.mark.parametrize(
    "kwargs, int_account",
    [
        ({}, None),
        ({"username": "jdoe"}, None),
        ({"password": "secret"}, None),
        ({"username": "jdoe", "password": ""}, None),
        ({"username": "", "password": "secret"}, None),
        ({"username": None, "password": None, "int_account": 9}, 9),
        ({"username": "jdoe", "int_account": 7}, 7),
    ],
)
def test_missing_credentials(connector, kwargs, int_account):
    broker = BrokerDeGiro()
    broker.trading_api = sentinel = object()
    with pytest.raises(ValueError) as caught:
        broker.authenticate_with_username_password(**kwargs)
    assert caught.value.args == ("Both 'username' and 'password' must be provided.",)
    assert broker.int_account == int_account and broker.trading_api is sentinel
    assert connector.log == []


def test_username_is_tested_first():
    class Loud:
        def __init__(self, log, name):
            self.log, self.name = log, name

        def __bool__(self):
            self.log.append(self.name)
            return False

    log = []
    with pytest.raises(ValueError):
        BrokerDeGiro().authenticate_with_username_password(username=Loud(log, "u"), password=Loud(log, "p"))
    assert log == ["u"]


def test_positional_arguments_are_refused_before_anything_changes(connector):
    broker = BrokerDeGiro()
    broker.int_account = 5
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 3 were given"):
        broker.authenticate_with_username_password("jdoe", "secret")
    assert broker.int_account == 5 and connector.log == []


@pytest.mark.parametrize(
    "error, text",
    [
        (ConnectionError("refused"), "refused"),
        (ConnectionRefusedError(111, "Connection refused"), "[Errno 111] Connection refused"),
        (ConnectionError(), ""),
        (ConnectionError(ValueError("400 Client Error")), "400 Client Error"),
    ],
)
def test_connection_errors_are_rewrapped(connector, error, text):
    connector.connect_errors = [error]
    broker = BrokerDeGiro()
    with pytest.raises(ConnectionError) as caught:
        broker.authenticate_with_username_password(username="jdoe", password="secret", int_account=3)
    assert type(caught.value) is BrokerUnavailable
    assert caught.value.args == ("Failed to authenticate with Degiro API: " + text,)
    assert caught.value.__context__ is error
    assert caught.value.__cause__ is None and caught.value.__suppress_context__ is False
    assert broker.trading_api is None and broker.int_account == 3


def test_other_connect_errors_pass_unchanged(connector):
    error = RuntimeError("boom")
    connector.connect_errors = [error]
    with pytest.raises(RuntimeError) as caught:
        BrokerDeGiro().authenticate_with_username_password(username="jdoe", password="secret", int_account=3)
    assert caught.value is error and caught.value.__context__ is None


@pytest.mark.parametrize(
    "details, error",
    [(None, ConnectionError), ({}, KeyError), ({"data": {}}, KeyError), ({"data": None}, TypeError)],
)
def test_client_details_failures_log_out(connector, details, error):
    connector.client_details = details
    broker = BrokerDeGiro()
    with pytest.raises(error) as caught:
        broker.authenticate_with_username_password(username="jdoe", password="secret", int_account=0)
    if details is None:
        assert str(caught.value) == "Could not read the client details from DEGIRO; logging in again may help"
    assert broker.int_account == 0 and broker.trading_api is None
    assert [name for name, *_ in connector.apis[0].calls] == ["connect", "get_client_details", "logout"]


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        ({"totp_secret_key": "JBSWY3DP", "one_time_password": "123456"}, ValueError,
         "Give 'totp_secret_key' or 'one_time_password', not both."),
        ({"totp_secret_key": "JBSW!3DP"}, ValueError, "'totp_secret_key' is not a base32 secret"),
        ({"totp_secret_key": "JBSWY3"}, ValueError, "'totp_secret_key' is not a base32 secret"),
        ({"totp_secret_key": b"JBSWY3DP"}, TypeError, "'totp_secret_key' must be str, not bytes"),
        ({"one_time_password": "12345"}, ValueError, "'one_time_password' must be the 6-digit code of the authenticator app"),
        ({"one_time_password": "1234567"}, ValueError, "'one_time_password' must be the 6-digit code of the authenticator app"),
        ({"one_time_password": 1234567}, ValueError, "'one_time_password' must be the 6-digit code of the authenticator app"),
        ({"one_time_password": 12.5}, TypeError, "'one_time_password' must be str or int, not float"),
        ({"one_time_password": True}, TypeError, "'one_time_password' must be str or int, not bool"),
        ({"timeout": 0}, ValueError, "'timeout' must be a number of seconds, more than 0"),
        ({"timeout": "30"}, TypeError, "'timeout' must be a number of seconds, not str"),
        ({"in_app_timeout": -1}, ValueError, "'in_app_timeout' must be a number of seconds, 0 or more"),
        ({"in_app_timeout": math.nan}, ValueError, "'in_app_timeout' must be a number of seconds, 0 or more"),
    ],
)  # fmt: skip
def test_login_options_are_refused_by_name(connector, kwargs, error, message):
    with pytest.raises(error) as caught:
        BrokerDeGiro().authenticate_with_username_password(username="jdoe", password="secret", **kwargs)
    assert type(caught.value) is error and str(caught.value) == message
    assert caught.value.__context__ is None and connector.apis == []


@pytest.mark.parametrize(
    "kwargs, secret, code, timeout",
    [
        ({"totp_secret_key": "jbsw y3dp ehpk 3pxp"}, "JBSWY3DPEHPK3PXP", None, 30),
        ({"totp_secret_key": "JBSWY3DPEHPK3PXP====", "timeout": 2.5}, "JBSWY3DPEHPK3PXP", None, 2.5),
        ({"one_time_password": "012345"}, None, "012345", 30),
        ({"one_time_password": "012 345", "totp_secret_key": None}, None, "012345", 30),
        ({"one_time_password": 12345, "timeout": None}, None, "012345", 30),
    ],
)
def test_two_factor_credentials(connector, kwargs, secret, code, timeout):
    BrokerDeGiro().authenticate_with_username_password(username="jdoe", password="secret", int_account=1, **kwargs)
    [api] = connector.apis
    assert connector.log[0][1].get("totp_secret_key") == secret
    assert getattr(api.credentials, "one_time_password", None) == code
    assert api.session_storage.build_session.args[1] == timeout


@pytest.mark.parametrize("target", ["Credentials", "DegiroAPI"])
def test_building_failures_pass_unchanged(connector, monkeypatch, target):
    error = TypeError("int_account must be an int")

    def refuse(*args, **kwargs):
        raise error

    monkeypatch.setattr(keelson, target, refuse)
    with pytest.raises(TypeError) as caught:
        BrokerDeGiro().authenticate_with_username_password(username="jdoe", password="secret", int_account=1)
    assert caught.value is error


class Text(str):
    pass


# A credential protobuf cannot take is refused before it gets there, by name:
# protobuf's own errors would quote the value.
@pytest.mark.parametrize(
    "username, password, error, message",
    [
        ("jdoe", 12345678, TypeError, "'password' must be str or bytes, not int"),
        ("jdoe", bytearray(b"secret"), TypeError, "'password' must be str or bytes, not bytearray"),
        ("jdoe", b"\xffsecret", ValueError, "'password' is not valid UTF-8 text"),
        ("jdoe", "secret\udcff", ValueError, "'password' is not valid UTF-8 text"),
        (["jdoe"], "secret", TypeError, "'username' must be str or bytes, not list"),
        ("jdoe\ud800", "secret", ValueError, "'username' is not valid UTF-8 text"),
    ],
)
def test_unusable_credentials_are_refused_by_name(connector, username, password, error, message):
    broker = BrokerDeGiro()
    with pytest.raises(error) as caught:
        broker.authenticate_with_username_password(username=username, password=password, int_account=7)
    assert type(caught.value) is error and str(caught.value) == message
    assert caught.value.__context__ is None and caught.value.__cause__ is None
    assert connector.apis == [] and broker.int_account == 7 and broker.trading_api is None


@pytest.mark.parametrize("username, password", [("jdoe", b"s\xc3\xa9cret"), (Text("jdoe"), Text("secret"))])
def test_usable_credentials_pass_as_given(connector, username, password):
    BrokerDeGiro().authenticate_with_username_password(username=username, password=password, int_account=7)
    assert connector.log[0] == ("Credentials", {"username": username, "password": password, "int_account": 7})
    assert connector.log[0][1]["password"] is password


@pytest.mark.parametrize(
    "name, call, raised, message",
    [
        ("ValueError", lambda b: b.authenticate_with_username_password(), ValueError, "Both"),
        ("NotImplementedError", lambda b: b.authenticate_with_token(), NotImplementedError, "DEGIRO"),
        (
            "ConnectionError",
            lambda b: b.authenticate_with_username_password(username="u", password="p", int_account=1),
            ConnectionError,
            "Failed",
        ),
        (
            "BrokerUnavailable",
            lambda b: b.authenticate_with_username_password(username="u", password="p", int_account=1),
            BrokerUnavailable,
            "Failed",
        ),
    ],
)
def test_exception_classes_are_looked_up_at_call_time(connector, monkeypatch, name, call, raised, message):
    class Replacement(raised):
        pass

    monkeypatch.setattr(keelson, name, Replacement, raising=False)
    connector.connect_errors = [Replacement("caught by the replacement")]
    # What `except ConnectionError` catches is raised as a BrokerUnavailable.
    with pytest.raises(BrokerUnavailable if name == "ConnectionError" else Replacement, match=message):
        call(BrokerDeGiro())
    # A builtin ConnectionError is no longer what `except ConnectionError` names.
    if name == "ConnectionError":
        connector.connect_errors = [ConnectionError("plain")]
        with pytest.raises(ConnectionError, match="^plain$"):
            call(BrokerDeGiro())


@pytest.mark.parametrize(
    "method, message",
    [
        ("authenticate_with_email_password", "DEGIRO does not support authentication with email and password."),
        ("authenticate_with_token", "DEGIRO does not support authentication with tokens."),
    ],
)
@pytest.mark.parametrize("kwargs", [{}, {"email": "a@b.c", "password": "secret", "token": 1}])
def test_refused_methods(connector, method, message, kwargs):
    broker = BrokerDeGiro()
    broker.int_account, broker.trading_api = 1, 2
    with pytest.raises(NotImplementedError) as caught:
        getattr(broker, method)(**kwargs)
    assert caught.value.args == (message,)
    assert vars(broker) == {"int_account": 1, "trading_api": 2} and connector.log == []


def test_logout(connector):
    broker = connected(connector)
    api = broker.trading_api
    assert broker.logout_with_username_password(anything="ignored") is None
    assert broker.logout_with_username_password() is None
    assert api.calls[-2:] == [("logout", (), {}), ("logout", (), {})]
    assert broker.trading_api is api and broker.int_account == 1234567


def test_logout_failures():
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'logout'"):
        BrokerDeGiro().logout_with_username_password()

    class Failing:
        def logout(self):
            raise OSError("network down")

    broker = BrokerDeGiro()
    broker.trading_api = Failing()
    with pytest.raises(OSError, match="network down"):
        broker.logout_with_username_password()


def test_password_is_not_kept(connector):
    broker = BrokerDeGiro()
    broker.authenticate_with_username_password(username="jdoe", password="hunter2")
    assert vars(broker) == {"int_account": 7654321, "trading_api": connector.apis[-1]}
    assert "hunter2" not in repr(broker)


# --- holdings ---------------------------------------------------------------------

EXCHANGES = [
    {"id": 200, "name": "Euronext Amsterdam", "code": "EAM", "country": "NL", "city": "Amsterdam", "micCode": "XAMS"},
    {"id": 663, "name": "NASDAQ", "country": "US", "city": "New York", "micCode": "XNAS"},
    {"id": 194, "name": "Xetra", "country": "DE", "city": "Frankfurt", "micCode": "XETR"},
    {"id": 10000, "name": "FundShare Matching", "country": "NL"},
]


def product(pid, exchange_id, symbol="ABC", **extra):
    return {
        "id": pid, "name": f"Company {pid}", "isin": f"NL{pid:0>10}", "symbol": symbol,
        "currency": "EUR", "exchangeId": exchange_id, "productType": "STOCK", **extra,
    }  # fmt: skip


def position(pid, value=125.0, size=10.0):
    return {"id": pid, "positionType": "PRODUCT", "size": size, "price": 12.5, "value": value}


def record(internal_id, quantity, **values):
    return {key: values.get(key, internal_id if key == "internal_id" else quantity if key == "quantity" else None)
            for key in KEYS}  # fmt: skip


def holdings_of(connector, positions, products, exchanges=EXCHANGES):
    connector.positions, connector.products, connector.exchanges = positions, products, exchanges
    return connector


def test_holdings_end_to_end(connector):
    broker = connected(connector)
    holdings_of(
        connector,
        [position("332111"), position("FLATEX_EUR", 1520.5), position("1153605", 0.0), position("8066561", -3.5, 2.0)],
        {"332111": product("332111", "200"), "8066561": product("8066561", "663", symbol="GOOGL")},
    )
    text = broker.get_current_stock_holdings()
    assert json.loads(text) == [
        record(332111, 10.0, isin="NL0000332111", ticker="ABC", ticker_suffix="ABC.AS", company="Company 332111",
               exchange_id="200", exchange_name="Euronext Amsterdam", exchange_city="Amsterdam",
               exchange_country="NL", currency="EUR"),
        record(8066561, 2.0, isin="NL0008066561", ticker="GOOGL", ticker_suffix="GOOGL", company="Company 8066561",
               exchange_id="663", exchange_name="NASDAQ", exchange_city="New York", exchange_country="US",
               currency="EUR"),
    ]  # fmt: skip
    assert text == json.dumps(json.loads(text))  # json.dumps's defaults, keys in record order
    api = broker.trading_api
    assert [name for name, *_ in api.calls] == ["get_update", "get_products_info", "get_products_config"]
    request = ("request", {"option": PORTFOLIO, "last_updated": 0})
    assert api.calls[0] == ("get_update", (), {"request_list": [request], "raw": True})
    assert api.calls[1] == ("get_products_info", (), {"product_list": [332111, 8066561], "raw": True})
    assert api.calls[2] == ("get_products_config", (), {})
    assert connector.events().count("get_exchange_mic_to_suffix_dict") == 1


def test_json_is_looked_up_and_called_at_call_time(connector, monkeypatch):
    broker = connected(connector)
    seen = []
    monkeypatch.setattr(keelson, "json", type("J", (), {"dumps": staticmethod(lambda *a, **k: seen.append((a, k)) or "T")}))
    assert broker.get_current_stock_holdings() == "T"
    [(args, kwargs)] = seen
    assert args == ([],) and kwargs == {}


def test_empty_portfolio_still_asks_for_products_and_config(connector):
    broker = connected(connector)
    assert broker.get_current_stock_holdings() == "[]"
    assert [name for name, *_ in broker.trading_api.calls] == ["get_update", "get_products_info", "get_products_config"]
    assert connector.log[-1][0] == "get_exchange_mic_to_suffix_dict"


def test_not_authenticated(connector):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get_update'"):
        BrokerDeGiro().get_current_stock_holdings()


# --- positions and cash ------------------------------------------------------------

WORTH = {"price": 12.5, "breakEvenPrice": 10.0, "plBase": {"EUR": -90.0}}
# row, product -> mic, price, value, average_price, base_currency, base_value, major_currency, unit_scale
POSITIONS = {
    "listed": ({**position("1"), **WORTH}, product("1", "200"), ("XAMS", 12.5, 125.0, 10.0, "EUR", 125.0, "EUR", 1)),
    "pence, ints on the wire": (
        {"id": "2", "size": 40, "value": 3081, "price": 8134, "breakEvenPrice": 9520, "plBase": {"EUR": 1}},
        product("2", "194", currency="GBX"), ("XETR", 8134.0, 325360.0, 9520.0, "EUR", 3081.0, "GBP", 100),
    ),
    "decimal product": ({**position("3", size=40.0), "price": 81.34}, product("3", "663", currency="USD"),
                        ("XNAS", 81.34, 3253.6, None, None, 125.0, "USD", 1)),
    "fund without MIC, nothing usable": ({**position("4"), "price": "n/a", "plBase": {"EUR": 1.0, "USD": 2.0}},
                                         product("4", "10000"), (None, None, None, None, None, 125.0, "EUR", 1)),
    "unlisted exchange": (position("5"), product("5", "1999"), (None, 12.5, 125.0, None, None, 125.0, "EUR", 1)),
}  # fmt: skip


def test_positions(connector):
    broker = connected(connector)
    rows = [row for row, _, _ in POSITIONS.values()]
    holdings_of(connector, [position("FLATEX_EUR", 1520.5), *rows], {p["id"]: p for _, p, _ in POSITIONS.values()})
    positions = broker.get_positions()

    check_positions(positions)
    assert [name for name, *_ in broker.trading_api.calls] == ["get_update", "get_products_info", "get_products_config"]
    assert [tuple(p[key] for key in list(p)[len(HOLDING_KEYS) :] if key not in ("account", "as_of")) for p in positions] == [
        expected for *_, expected in POSITIONS.values()
    ]
    assert [{key: p[key] for key in HOLDING_KEYS} for p in positions] == json.loads(broker.get_current_stock_holdings())
    assert {(p["account"], p["as_of"]) for p in positions} == {("1234567", positions[0]["as_of"])}


def fund(fund_id, currency, value):
    return {"id": fund_id, "currencyCode": currency, "value": value}


def test_cash_balances(connector):
    broker = connected(connector)
    connector.cash_funds = [fund(2, "EUR", 1535.5), fund(3, "USD", 312.9), fund(4, "CHF", 0), fund(5, "EUR", -35.5),
                            fund(6, "GBP", 86)]  # fmt: skip
    balances = broker.get_cash_balances()

    check_cash_balances(balances)
    assert [(b["currency"], b["amount"], b["account"]) for b in balances] == [
        ("EUR", 1500.0, "1234567"), ("USD", 312.9, "1234567"), ("GBP", 86.0, "1234567")
    ]  # fmt: skip
    request = ("request", {"option": CASH_FUNDS, "last_updated": 0})
    assert broker.trading_api.calls == [("get_update", (), {"request_list": [request], "raw": True})]


@pytest.mark.parametrize("funds, error", [([{"id": 1, "value": 5.0}], KeyError), ([fund(1, "EUR", "5")], TypeError)])
def test_cash_failures(connector, funds, error):
    connector.cash_funds = funds
    with pytest.raises(error):
        connected(connector).get_cash_balances()


@pytest.mark.parametrize(
    "positions, kept",
    [
        ([position("1", 0), position("2", 0.0), position("3", -0.0)], []),
        ([position("1", -5.0), position("2", math.nan), position("3", 1)], ["1", "2", "3"]),
        ([position("1", None), position("2", "0")], ["1", "2"]),
        ([position("EUR"), position("FLATEX_EUR"), position("12.5"), position("")], []),
        ([position("7"), position(" 7 "), position("-7"), position("1_000"), position(7), position(7.9)],
         ["7", " 7 ", "-7", "1_000", 7, 7.9]),
        ([position("5"), position("5"), position("4")], ["5", "5", "4"]),
    ],
)  # fmt: skip
def test_position_selection(connector, positions, kept):
    broker = connected(connector)
    holdings_of(connector, positions, {pid: product(pid, 200) for pid in kept})
    result = json.loads(broker.get_current_stock_holdings())
    assert [r["internal_id"] for r in result] == [int(pid) for pid in kept]
    assert broker.trading_api.calls[1][2]["product_list"] == [int(pid) for pid in kept]


@pytest.mark.parametrize(
    "positions, error",
    [
        ([{"id": "1", "size": 1.0}], KeyError),
        ([{"value": 1.0, "size": 1.0}], KeyError),
        ([{"value": 1.0, "id": "1"}], KeyError),
        ([position(None)], TypeError),
        ([position([1])], TypeError),
        ([position(math.inf)], OverflowError),
        ([None], TypeError),
    ],
)
def test_position_failures(connector, positions, error):
    broker = connected(connector)
    holdings_of(connector, positions, {})
    with pytest.raises(error):
        broker.get_current_stock_holdings()
    assert [name for name, *_ in broker.trading_api.calls] == ["get_update"]


@pytest.mark.parametrize(
    "value, expected",
    [(7, True), ("7", True), ("-7", True), ("1_000", True), (" 7 ", True), (7.9, True), (True, True),
     ("7.9", False), ("abc", False), ("", False), ("٣", True)],
)  # fmt: skip
def test_can_cast_to_int(value, expected):
    assert BrokerDeGiro()._can_cast_to_int(value) is expected


@pytest.mark.parametrize("value, error", [(None, TypeError), ([], TypeError), (math.inf, OverflowError)])
def test_can_cast_to_int_passes_other_errors(value, error):
    with pytest.raises(error):
        BrokerDeGiro()._can_cast_to_int(value)


def test_create_new_active_holding():
    size = [10]
    holding = BrokerDeGiro()._create_new_active_holding("332111", size)
    assert list(holding) == KEYS and type(holding) is dict
    assert holding["internal_id"] == "332111" and holding["quantity"] is size
    assert [holding[key] for key in KEYS[1:-1]] == [None] * 9


@pytest.mark.parametrize(
    "ticker, mic, country, mapping, expected",
    [
        ("ABC", "XAMS", "NL", {"XAMS": "AS"}, "ABC.AS"),
        ("ABC", "XAMS", "US", {"XAMS": "AS"}, "ABC"),
        ("ABC", "XNYS", "NL", {"XAMS": "AS"}, "ABC"),
        ("ABC", "XAMS", "NL", {"XAMS": ""}, "ABC"),
        ("ABC", "XAMS", "NL", {"XAMS": 0}, "ABC"),
        ("ABC", "XAMS", "us", {"XAMS": "AS"}, "ABC.AS"),
        ("ABC", "XAMS", "USA", {"XAMS": "AS"}, "ABC.AS"),
        ("ABC", "XAMS", "NL", {"XAMS": " as "}, "ABC. as "),
        (123, "XAMS", "NL", {"XAMS": "AS"}, "123.AS"),
        ("ABC", "XAMS", "NL", {"XAMS": 4}, "ABC.4"),
        ("ABC", None, None, {"XAMS": "AS"}, "ABC"),
        # Yahoo's form: LSE's trailing dot dropped, share classes after a dash, Hong Kong's four digits
        ("BP.", "XLON", "GB", {"XLON": "L"}, "BP.L"),
        ("NOVO B", "XCSE", "DK", {"XCSE": "CO"}, "NOVO-B.CO"),
        ("BT.A", "XLON", "GB", {"XLON": "L"}, "BT-A.L"),
        ("BRK.B", "XNYS", "US", {"XNYS": ""}, "BRK-B"),
        ("BBD.B", None, "CA", {}, "BBD-B"),
        ("700", "XHKG", "HK", {"XHKG": "HK"}, "0700.HK"),
        ("9988", "XHKG", "HK", {"XHKG": "HK"}, "9988.HK"),
        ("700", "XAMS", "NL", {"XAMS": "AS"}, "700.AS"),
        ("700", "XHKG", "US", {"XHKG": "HK"}, "700"),
        (700, "XHKG", "HK", {"XHKG": "HK"}, "700.HK"),
        ("Ä B.", "XHEL", "FI", {"XHEL": "HE"}, "Ä-B.HE"),
    ],
)
def test_ticker_with_suffix(ticker, mic, country, mapping, expected):
    assert BrokerDeGiro()._get_ticker_with_suffix(ticker, mic, country, mapping) == expected


@settings(max_examples=examples(300))
@given(st.text(alphabet="AB7 .Ä", max_size=6), st.sampled_from(["AS", "HK", "", "L"]), st.sampled_from(["NL", "US"]))
def test_only_yahoos_rules_change_a_ticker(symbol, suffix, country):
    ours = BrokerDeGiro()._get_ticker_with_suffix(symbol, "M", country, {"M": suffix})
    as_joined = symbol if not suffix or country == "US" else f"{symbol}.{suffix}"
    hong_kong = suffix == "HK" and country != "US" and symbol.isdigit() and len(symbol) < 4
    if not ("." in symbol or " " in symbol or hong_kong):
        assert ours == as_joined


def test_ticker_without_suffix_is_the_same_object():
    ticker = 123
    assert BrokerDeGiro()._get_ticker_with_suffix(ticker, "X", "NL", {}) is ticker


def test_suffix_mapping_is_read_through_get_only():
    class OnlyGet:
        def __init__(self):
            self.asked = []

        def get(self, *args):
            self.asked.append(args)
            return "DE"

    mapping = OnlyGet()
    assert BrokerDeGiro()._get_ticker_with_suffix("SAP", "XETR", "US", mapping) == "SAP"
    assert mapping.asked == [("XETR",)]


def map_one(products, exchanges, pid="1", suffixes=None, monkeypatch=None):
    holdings = [BrokerDeGiro()._create_new_active_holding(pid, 3.0)]
    if monkeypatch is not None:
        monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", lambda: suffixes or {"XAMS": "AS"})
    result = BrokerDeGiro()._map_holdings_with_info(holdings, products, exchanges)
    assert result is holdings
    return result[0]


@pytest.mark.parametrize(
    "exchange_id, exchanges, expected",
    [
        ("200", EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        ("0200", EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        (200, EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        (" 200 ", EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        (200.7, EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        ("200", [{"id": "200", "name": "text id", "country": "NL"}], (None, None, None, "ABC")),
        ("200", [{"id": 200.0, "name": "float id", "country": "NL"}], ("float id", None, "NL", "ABC")),
        ("200", [{"id": 200, "name": "first", "country": "NL", "micCode": "XAMS"},
                 {"id": 200, "name": "second", "country": "DE", "city": "X", "micCode": "XETR"}],
         ("first", None, "NL", "ABC.AS")),
        ("10000", EXCHANGES, ("FundShare Matching", None, "NL", "ABC")),
        ("4", EXCHANGES, (None, None, None, "ABC")),
        ("abc", [], (None, None, None, "ABC")),
    ],
)  # fmt: skip
def test_exchange_join(monkeypatch, exchange_id, exchanges, expected):
    done = map_one({"1": product("1", exchange_id)}, exchanges, monkeypatch=monkeypatch)
    assert list(done) == KEYS
    assert (done["exchange_name"], done["exchange_city"], done["exchange_country"], done["ticker_suffix"]) == expected
    assert done["exchange_id"] is exchange_id and done["internal_id"] == 1 and done["quantity"] == 3.0


@pytest.mark.parametrize(
    "products, exchanges, error",
    [
        ({}, EXCHANGES, KeyError("1")),
        ({1: product("1", "200")}, EXCHANGES, KeyError("1")),
        ({"1": product("1", "abc")}, EXCHANGES, ValueError),
        ({"1": product("1", None)}, EXCHANGES, TypeError),
        ({"1": {"isin": "X", "symbol": "S", "name": "N", "currency": "EUR"}}, EXCHANGES, KeyError("exchangeId")),
        ({"1": product("1", "abc")}, [{"name": "no id"}], KeyError("id")),
        ({"1": product("1", "200")}, [{"id": 1}, {"name": "no id"}], KeyError("id")),
        ({"1": product("1", "200")}, [{"id": 200, "country": "NL"}], KeyError("name")),
        ({"1": product("1", "200")}, [{"id": 200, "name": "E"}], KeyError("country")),
    ]
    + [({"1": {k: v for k, v in product("1", "200").items() if k != key}}, EXCHANGES, KeyError(key))
       for key in ("isin", "symbol", "name", "currency")],
)  # fmt: skip
def test_join_failures(monkeypatch, products, exchanges, error):
    with pytest.raises(error if isinstance(error, type) else type(error)) as caught:
        map_one(products, exchanges, monkeypatch=monkeypatch)
    if isinstance(error, KeyError):
        assert caught.value.args == error.args


def test_empty_holdings_read_nothing(monkeypatch):
    class Untouchable:
        def __getattribute__(self, name):
            raise AssertionError(f"read {name}")

    calls = []
    monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", lambda: calls.append(1) or {})
    holdings = []
    assert BrokerDeGiro()._map_holdings_with_info(holdings, Untouchable(), Untouchable()) is holdings
    assert calls == [1]


def test_suffix_mapping_failure_changes_nothing(monkeypatch):
    def broken():
        raise LookupError("no table")

    monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", broken)
    holdings = [BrokerDeGiro()._create_new_active_holding("1", 1.0)]
    with pytest.raises(LookupError):
        BrokerDeGiro()._map_holdings_with_info(holdings, {"1": product("1", "200")}, EXCHANGES)
    assert holdings == [record("1", 1.0)]


def test_records_before_a_failure_are_complete(monkeypatch):
    monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", dict)
    holdings = [BrokerDeGiro()._create_new_active_holding(pid, 1.0) for pid in ("1", "2", "3")]
    products = {"1": product("1", "200"), "3": product("3", "200")}
    with pytest.raises(KeyError):
        BrokerDeGiro()._map_holdings_with_info(holdings, products, EXCHANGES)
    assert holdings[0]["internal_id"] == 1 and holdings[0]["exchange_name"] == "Euronext Amsterdam"
    assert holdings[1:] == [record("2", 1.0), record("3", 1.0)]


class Overrides(BrokerDeGiro):
    def _can_cast_to_int(self, value):
        return value != "skip"

    def _create_new_active_holding(self, id, size):
        return {**super()._create_new_active_holding(id, size), "extra": "kept"}

    def _get_ticker_with_suffix(self, ticker_name, exchange_mic, exchange_country, exchange_mic_to_suffix_dict):
        return f"{ticker_name}@{exchange_mic}"


def test_methods_are_looked_up_on_self(connector):
    broker = Overrides()
    broker.trading_api = connected(connector).trading_api
    holdings_of(connector, [position("skip"), position("1")], {"1": product("1", "200")})
    [done] = json.loads(broker.get_current_stock_holdings())
    assert done["ticker_suffix"] == "ABC@XAMS" and list(done)[-1] == "extra"


def test_instance_attributes_shadow_methods(connector):
    broker = connected(connector)
    broker._get_ticker_with_suffix = lambda *args: "from the instance"
    holdings_of(connector, [position("1")], {"1": product("1", "200")})
    assert json.loads(broker.get_current_stock_holdings())[0]["ticker_suffix"] == "from the instance"


def test_int_is_looked_up_at_call_time(connector, monkeypatch):
    broker = connected(connector)
    holdings_of(connector, [position("1")], {"1": product("1", "200")})
    converted = []

    def recording_int(value):
        converted.append(value)
        return int(value)

    monkeypatch.setattr(keelson, "int", recording_int, raising=False)
    json.loads(broker.get_current_stock_holdings())
    # the check, the id list, the exchange scan (one entry compared), the record
    assert converted == ["1", "1", "200", "1"]
