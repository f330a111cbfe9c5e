import abc
import sys
import inspect
import json
import math

import pytest
from degiro_connector.trading.api import API
from degiro_connector.trading.models.account import UpdateOption, UpdateRequest
from degiro_connector.trading.models.credentials import Credentials
from keelson_fakes import connected

import morbex.keelson as keelson
import morbex.utils
from morbex.keelson import BrokerDeGiro
from morbex.errors import BrokerUnavailable
from morbex.pactum import BrokerBase

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
