import importlib.util
import inspect
import json
import subprocess
import sys
import textwrap

import pytest
from conftest import RecordingBroker

from morbex.brokers import Brokers
from morbex.utils import BaseEnum

USER = "authenticate_with_username_password"
EMAIL = "authenticate_with_email_password"
TOKEN = "authenticate_with_token"
LOGOUT = "logout_with_username_password"
LOGOUT_TOKEN = "logout_with_token"

# The same functions in plain Python: their signatures and argument errors
# are what the native ones must match.
REFERENCE = '''
def authenticate(broker_name: "Brokers", auth_method: "AuthenticationMethods", **kwargs) -> "BrokerBase":
    pass

def logout(broker_connection: "BrokerBase", auth_method: "AuthenticationMethods", **kwargs) -> "None":
    pass
'''


@pytest.fixture(scope="module")
def reference():
    namespace = {"__name__": "morbex.broker"}
    exec(REFERENCE, namespace)
    return namespace


@pytest.fixture
def methods(facade):
    return facade.broker.AuthenticationMethods


class Formatted:
    def __format__(self, spec):
        return f"formatted[{spec}]"


class Other(BaseEnum):
    USERNAME_PASSWORD = "USERNAME_PASSWORD"


def test_authentication_methods(facade, methods):
    assert [(m.name, m.value) for m in methods] == [
        ("USERNAME_PASSWORD", "username and password"),
        ("EMAIL_PASSWORD", "email and password"),
        ("TOKEN", "token"),
    ]
    assert issubclass(methods, BaseEnum)
    assert (methods.__module__, methods.__qualname__, methods.__doc__) == ("morbex.broker", "AuthenticationMethods", None)
    public = [name for name in vars(facade.broker) if not name.startswith("__")]
    assert public == ["BrokerBase", "BrokerFactory", "Brokers", "BaseEnum", "AuthenticationMethods", "authenticate", "logout"]


@pytest.mark.parametrize(
    "method, operation",
    [
        ("USERNAME_PASSWORD", USER),
        ("EMAIL_PASSWORD", EMAIL),
        ("username and password", USER),  # members are str: the plain value selects too
        ("email and password", EMAIL),
        ("TOKEN", TOKEN),
        ("token", TOKEN),
    ],
)
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_authenticate_dispatch(facade, methods, made, method, operation, by_keyword):
    auth_method = getattr(methods, method, method)
    credentials = {"username": "u", "password": "p", "int_account": 7, "other": None}
    if by_keyword:
        broker = facade.broker.authenticate(broker_name=Brokers.DEGIRO, auth_method=auth_method, **credentials)
    else:
        broker = facade.broker.authenticate(Brokers.DEGIRO, auth_method, **credentials)
    assert made == [broker]
    assert broker.calls == [(operation, (), credentials)]


def test_authenticate_without_keywords_calls_with_nothing(facade, methods, made):
    broker = facade.broker.authenticate(Brokers.DEGIRO, methods.USERNAME_PASSWORD)
    assert broker.calls == [(USER, (), {})]


@pytest.mark.parametrize(
    "auth_method",
    [None, 0, "USERNAME_PASSWORD", "Username and password", "username and password ", "Token", Other.USERNAME_PASSWORD,
     Brokers.DEGIRO, Formatted()],
    ids=repr,
)
def test_unsupported_authentication_method(facade, made, auth_method):
    with pytest.raises(ValueError) as info:
        facade.broker.authenticate(Brokers.DEGIRO, auth_method, username="u", password="p")
    assert info.value.args == (f"Unsupported authentication method: {auth_method}",)
    # The broker was made, then dropped untouched.
    assert len(made) == 1 and made[0].calls == []


class Unexamined:
    def __eq__(self, other):
        raise AssertionError("the method must not be examined")

    __hash__ = object.__hash__


@pytest.mark.parametrize("name", [None, "DEGIRO", 3])
def test_unsupported_broker_comes_first(facade, made, name):
    with pytest.raises(ValueError) as info:
        facade.broker.authenticate(name, Unexamined())
    assert info.value.args == (f"Unsupported broker: {name}",)
    assert made == []


@pytest.mark.parametrize(
    "auth_method, operation",
    [("USERNAME_PASSWORD", LOGOUT), ("username and password", LOGOUT), ("TOKEN", LOGOUT_TOKEN), ("token", LOGOUT_TOKEN)],
)
def test_logout_dispatch(facade, methods, auth_method, operation):
    broker = RecordingBroker()
    assert facade.broker.logout(broker, getattr(methods, auth_method, auth_method), session="s") is None
    assert broker.calls == [(operation, (), {"session": "s"})]
    member = methods(getattr(methods, auth_method, auth_method))
    assert facade.broker.logout(broker_connection=broker, auth_method=member) is None
    assert broker.calls[1] == (operation, (), {})


@pytest.mark.parametrize("auth_method", ["EMAIL_PASSWORD", "email and password", None, 1, "Token", Formatted()], ids=repr)
def test_unsupported_logout_method(facade, methods, auth_method):
    auth_method = getattr(methods, auth_method, auth_method) if isinstance(auth_method, str) else auth_method
    broker = RecordingBroker()
    with pytest.raises(ValueError) as info:
        facade.broker.logout(broker, auth_method)
    assert info.value.args == (f"Unsupported logout method: {auth_method}",)
    assert broker.calls == []


def test_logout_serves_any_object_and_ignores_the_factory(facade, methods, monkeypatch):
    monkeypatch.setattr(facade.broker, "BrokerFactory", None)
    seen = []

    class Duck:
        def logout_with_username_password(self, **kwargs):
            seen.append(kwargs)
            return "ignored"

    assert facade.broker.logout(Duck(), methods.USERNAME_PASSWORD, a=1) is None
    assert seen == [{"a": 1}]
    with pytest.raises(AttributeError, match=LOGOUT):
        facade.broker.logout(object(), methods.USERNAME_PASSWORD)


def test_keywords_reach_each_call_in_a_new_dict(facade, methods, made):
    credentials = {"username": "u", "password": "p"}
    first = facade.broker.authenticate(Brokers.DEGIRO, methods.USERNAME_PASSWORD, **credentials)
    second = facade.broker.authenticate(Brokers.DEGIRO, methods.USERNAME_PASSWORD, **credentials)
    facade.broker.logout(first, methods.USERNAME_PASSWORD, **credentials)
    # Each broker changed the dict it got; neither the caller nor a later call sees it.
    assert credentials == {"username": "u", "password": "p"}
    assert first.calls == [(USER, (), credentials), (LOGOUT, (), credentials)]
    assert second.calls == [(USER, (), credentials)]


def test_operation_errors_pass_through(facade, methods, monkeypatch):
    failure = NotImplementedError("no e-mail here")

    def refuse(self, **kwargs):
        raise failure

    monkeypatch.setattr(RecordingBroker, EMAIL, refuse)
    with pytest.raises(NotImplementedError) as info:
        facade.broker.authenticate(Brokers.DEGIRO, methods.EMAIL_PASSWORD, email="e")
    assert info.value is failure
    assert info.value.__context__ is None


class Probe:
    def __init__(self, *answers):
        self.answers = list(answers)
        self.seen = []

    def __eq__(self, other):
        self.seen.append(other)
        return self.answers.pop(0)

    __hash__ = object.__hash__


@pytest.mark.parametrize(
    "answers, operation",
    [((True,), USER), ((1,), USER), ((0, [1]), EMAIL), ((False, True), EMAIL), ((0, False, "t"), TOKEN),
     ((NotImplemented,) * 3, None)],
    ids=str,
)
def test_argument_decides_equality_in_member_order(facade, methods, made, answers, operation):
    probe = Probe(*answers)
    if operation is None:
        with pytest.raises(ValueError):
            facade.broker.authenticate(Brokers.DEGIRO, probe)
        assert made[0].calls == []
    else:
        broker = facade.broker.authenticate(Brokers.DEGIRO, probe)
        assert [call[0] for call in broker.calls] == [operation]
    # Left operand is the argument; members are tried in order, first match wins.
    assert probe.seen == [methods.USERNAME_PASSWORD, methods.EMAIL_PASSWORD, methods.TOKEN][: len(answers)]


class Never:
    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


def test_globals_are_read_at_call_time(facade, made, monkeypatch):
    class Custom(Exception):
        pass

    member = Never()
    made_here = RecordingBroker()
    module = facade.broker
    monkeypatch.setattr(module, "BrokerFactory", type("F", (), {"create_broker": staticmethod(lambda name: made_here)}))
    monkeypatch.setattr(module, "AuthenticationMethods", type("M", (), {"USERNAME_PASSWORD": "u", "EMAIL_PASSWORD": member, "TOKEN": member}))
    monkeypatch.setattr(module, "ValueError", Custom, raising=False)
    assert module.authenticate("anything", "u") is made_here
    # No identity shortcut: the member itself is not equal to itself here.
    with pytest.raises(Custom, match="^Unsupported authentication method: "):
        module.authenticate("anything", member)
    with pytest.raises(Custom, match="^Unsupported logout method: e$"):
        module.logout(made_here, "e")
    assert made_here.calls == [(USER, (), {})]


def test_signatures_match_plain_python(facade, reference):
    for name in ("authenticate", "logout"):
        native, plain = getattr(facade.broker, name), reference[name]
        assert str(inspect.signature(native)) == str(inspect.signature(plain))
        assert native.__annotations__ == plain.__annotations__
        assert list(native.__annotations__) == list(plain.__annotations__)
        assert (native.__name__, native.__qualname__, native.__doc__) == (name, name, None)
        assert native.__module__ == "morbex.broker"


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1,), {}),
        ((1, 2, 3), {}),
        ((1, 2, 3), {"x": 4}),
        ((), {"auth_method": 2, "x": 1}),
        ((1, 2), {"auth_method": 3}),
        ((), {"auth_method": 2}),
    ],
    ids=str,
)
@pytest.mark.parametrize("name", ["authenticate", "logout"])
def test_argument_errors_match_plain_python(facade, reference, made, name, args, kwargs):
    with pytest.raises(TypeError) as expected:
        reference[name](*args, **kwargs)
    with pytest.raises(TypeError) as got:
        getattr(facade.broker, name)(*args, **kwargs)
    assert str(got.value) == str(expected.value)
    assert made == []


# --- the import graph, each case in a fresh interpreter ----------------------

KEELSON_BUILT = importlib.util.find_spec("morbex.keelson") is not None
needs_keelson = pytest.mark.skipif(not KEELSON_BUILT, reason="morbex.keelson is not built in this tree")

FAKE_KEELSON = """
import sys, types
fake = types.ModuleType("morbex.keelson")
fake.BrokerDeGiro = type("BrokerDeGiro", (), {})
sys.modules["morbex.keelson"] = fake
"""

RECORD_IMPORTS = """
import builtins, json, sys
records = []
real_import = builtins.__import__
def recording_import(name, globals=None, locals=None, fromlist=(), level=0):
    importer = (globals or {}).get("__name__")
    if importer in ("morbex.broker", "morbex.minter", "morbex.brokers"):
        records.append([importer, name, list(fromlist or ()), level])
    return real_import(name, globals, locals, fromlist, level)
builtins.__import__ = recording_import
import morbex.broker
print(json.dumps({
    "imports": records,
    "modules": sorted(m for m in sys.modules if m == "morbex" or m.startswith("morbex.")),
    "connector": "degiro_connector" in sys.modules,
}))
"""


def run_fresh(code):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


@pytest.mark.parametrize(
    "setup", [pytest.param("", marks=needs_keelson, id="real-keelson"), pytest.param(FAKE_KEELSON, id="stand-in")]
)
def test_importing_the_facade_loads_the_package_but_compiled(setup):
    result = run_fresh(setup + RECORD_IMPORTS)
    assert result["imports"] == [
        ["morbex.broker", "morbex.pactum", ["BrokerBase"], 0],
        ["morbex.broker", "morbex.minter", ["BrokerFactory"], 0],
        ["morbex.minter", "morbex.pactum", ["BrokerBase"], 0],
        ["morbex.minter", "morbex.keelson", ["BrokerDeGiro"], 0],
        ["morbex.minter", "morbex.trading212", ["BrokerTrading212"], 0],
        ["morbex.minter", "morbex.ibkr", ["BrokerIBKR"], 0],
        ["morbex.minter", "morbex.brokers", ["Brokers"], 0],
        ["morbex.brokers", "morbex.utils", ["BaseEnum"], 0],
        ["morbex.broker", "morbex.brokers", ["Brokers"], 0],
        ["morbex.broker", "morbex.utils", ["BaseEnum"], 0],
    ]
    # The real brokers raise morbex's typed errors.
    assert result["modules"] == sorted(
        ["morbex", "morbex.broker", "morbex.brokers", "morbex.keelson", "morbex.minter", "morbex.pactum", "morbex.utils"]
        + ["morbex.errors", "morbex.trading212", "morbex.ibkr"]
    )
    assert result["connector"] == (setup == "")


@needs_keelson
def test_the_real_broker_behind_the_facade():
    result = run_fresh("""
        import json
        from morbex.broker import AuthenticationMethods, authenticate
        from morbex.brokers import Brokers
        from morbex.keelson import BrokerDeGiro
        from morbex.minter import BrokerFactory
        broker = BrokerFactory.create_broker(Brokers.DEGIRO)
        try:
            authenticate(Brokers.DEGIRO, AuthenticationMethods.EMAIL_PASSWORD, username="u", password="p")
        except NotImplementedError as e:
            error = str(e)
        print(json.dumps([type(broker) is BrokerDeGiro, broker.int_account, broker.trading_api, error]))
    """)
    assert result == [True, None, None, "DEGIRO does not support authentication with email and password."]


MISSING_IMPORT = """
import json, sys
try:
    import morbex.broker
except ImportError as e:
    outcome = [type(e).__name__, str(e)]
else:
    outcome = None
left = sorted(m for m in ("morbex.broker", "morbex.minter", "morbex.keelson") if sys.modules.get(m) is not None)
print(json.dumps([outcome, left]))
"""


@needs_keelson
def test_missing_connector_fails_the_facade_import():
    outcome, left = run_fresh('import sys\nsys.modules["degiro_connector"] = None\n' + MISSING_IMPORT)
    assert outcome[0] in ("ImportError", "ModuleNotFoundError")
    assert "degiro_connector" in outcome[1]
    assert left == []


def test_keelson_without_the_broker_fails_the_facade_import():
    setup = FAKE_KEELSON + "del fake.BrokerDeGiro\n"
    outcome, left = run_fresh(setup + MISSING_IMPORT)
    assert outcome == ["ImportError", "cannot import name 'BrokerDeGiro' from 'morbex.keelson' (unknown location)"]
    assert left == ["morbex.keelson"]  # only the stand-in itself
