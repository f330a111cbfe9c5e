import inspect

import pytest

import morbex.pactum
from morbex.pactum import BrokerBase

OPERATIONS = [
    "authenticate_with_email_password",
    "authenticate_with_username_password",
    "authenticate_with_token",
    "logout_with_username_password",
    "get_current_stock_holdings",
]
# Shared behaviour a broker may override; not abstract, so older brokers stay complete.
DEFAULTS = ["logout_with_token", "get_positions", "get_cash_balances"]


def broker_class(skip=None):
    body = {name: (lambda self, **kwargs: "own") for name in OPERATIONS if name != skip}
    return type("Broker", (BrokerBase,), body)


def test_module_namespace():
    public = {k for k in vars(morbex.pactum) if not k.startswith("__")}
    assert public == {"ABC", "abstractmethod", "json", "BrokerBase"}
    assert [k for k in vars(BrokerBase) if k in OPERATIONS + DEFAULTS] == OPERATIONS + DEFAULTS
    assert BrokerBase.__abstractmethods__ == frozenset(OPERATIONS)


def test_base_cannot_be_instantiated():
    with pytest.raises(TypeError, match="abstract class BrokerBase"):
        BrokerBase()


@pytest.mark.parametrize("missing", OPERATIONS)
def test_every_operation_must_be_overridden(missing):
    with pytest.raises(TypeError, match=missing):
        broker_class(skip=missing)()


def test_complete_subclass_constructs():
    assert isinstance(broker_class()(), BrokerBase)


@pytest.mark.parametrize(
    "name, signature, annotations",
    [(name, "(self, **kwargs) -> 'None'", {"return": "None"}) for name in OPERATIONS[:4] + DEFAULTS[:1]]
    + [("get_current_stock_holdings", "(self)", {})]
    + [(name, "(self) -> 'list[dict]'", {"return": "list[dict]"}) for name in DEFAULTS[1:]],
)
def test_signatures(name, signature, annotations):
    f = getattr(BrokerBase, name)
    assert str(inspect.signature(f)) == signature
    assert f.__annotations__ == annotations
    assert f.__qualname__ == f"BrokerBase.{name}"
    assert getattr(f, "__isabstractmethod__", False) is (name in OPERATIONS)


def test_base_bodies_return_none_through_super():
    class Broker(BrokerBase):
        authenticate_with_email_password = authenticate_with_username_password = None
        logout_with_username_password = get_current_stock_holdings = None

        def authenticate_with_token(self, **kwargs):
            return super().authenticate_with_token(**kwargs)

    kwargs = {"token": "t", "extra": [1]}
    assert Broker().authenticate_with_token(**kwargs) is None
    assert kwargs == {"token": "t", "extra": [1]}


def test_base_call_shapes():
    obj = object()
    assert BrokerBase.get_current_stock_holdings(obj) is None
    assert BrokerBase.authenticate_with_email_password(self=obj, token=1) is None
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        BrokerBase.authenticate_with_email_password(obj, 1)
    with pytest.raises(TypeError, match=r"got an unexpected keyword argument 'x'"):
        BrokerBase.get_current_stock_holdings(obj, x=1)


class Holding(BrokerBase):
    authenticate_with_email_password = authenticate_with_username_password = None
    authenticate_with_token = logout_with_username_password = None

    def get_current_stock_holdings(self):
        return '[{"isin": "NL0010273215", "quantity": 10.0}]'


@pytest.mark.parametrize(
    "call, outcome",
    [
        (lambda b: b.logout_with_token(token="t"), None),
        (lambda b: b.get_positions(), [{"isin": "NL0010273215", "quantity": 10.0}]),
        (lambda b: b.get_cash_balances(), NotImplementedError("Holding does not report cash balances")),
    ],
    ids=DEFAULTS,
)
def test_defaults(call, outcome):
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as info:
            call(Holding())
        assert info.value.args == outcome.args
    else:
        assert call(Holding()) == outcome


def test_defaults_read_globals_at_call_time(monkeypatch):
    monkeypatch.setattr(morbex.pactum, "json", type("J", (), {"loads": staticmethod(lambda text: ["read", text])}))
    monkeypatch.setattr(morbex.pactum, "NotImplementedError", LookupError, raising=False)
    assert Holding().get_positions() == ["read", Holding().get_current_stock_holdings()]
    with pytest.raises(LookupError, match="^Holding does not report"):
        Holding().get_cash_balances()
