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


def broker_class(skip=None):
    body = {name: (lambda self, **kwargs: "own") for name in OPERATIONS if name != skip}
    return type("Broker", (BrokerBase,), body)


def test_module_namespace():
    public = {k for k in vars(morbex.pactum) if not k.startswith("__")}
    assert public == {"ABC", "abstractmethod", "BrokerBase"}
    assert [k for k in vars(BrokerBase) if k in OPERATIONS] == OPERATIONS


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
    [(name, "(self, **kwargs) -> 'None'", {"return": "None"}) for name in OPERATIONS[:4]]
    + [("get_current_stock_holdings", "(self)", {})],
)
def test_signatures(name, signature, annotations):
    f = getattr(BrokerBase, name)
    assert str(inspect.signature(f)) == signature
    assert f.__annotations__ == annotations
    assert f.__qualname__ == f"BrokerBase.{name}"
    assert f.__isabstractmethod__ is True


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
