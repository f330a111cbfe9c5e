import inspect

import pytest
from conftest import RecordingBroker

from morbex.brokers import Brokers
from morbex.utils import BaseEnum


class Other(BaseEnum):
    DEGIRO = "DEGIRO"


class Formatted:
    def __format__(self, spec):
        return f"formatted[{spec}]"

    def __str__(self):
        return "str"


# The same class in plain Python: its behaviour is what the native one must match.
REFERENCE = '''
class BrokerFactory:
    @staticmethod
    def create_broker(broker_name: "Brokers") -> "BrokerBase":
        pass
'''


@pytest.fixture(scope="module")
def reference():
    namespace = {"__name__": "morbex.minter"}
    exec(REFERENCE, namespace)
    return namespace["BrokerFactory"]


def test_brokers_enum():
    assert list(Brokers) == [Brokers.DEGIRO, Brokers.TRADING212, Brokers.IBKR]
    assert Brokers.DEGIRO.value == "degiro"
    assert issubclass(Brokers, BaseEnum)
    assert (Brokers.__module__, Brokers.__qualname__, Brokers.__doc__) == ("morbex.brokers", "Brokers", None)
    assert Brokers("degiro") is Brokers.DEGIRO


def test_module_namespaces(facade):
    def public(module):
        return [name for name in vars(module) if not name.startswith("__")]

    assert public(facade.brokers) == ["BaseEnum", "Brokers"]
    assert public(facade.minter) == [
        "BrokerBase", "BrokerDeGiro", "BrokerTrading212", "BrokerIBKR", "Brokers", "BrokerFactory"
    ]
    assert facade.minter.BrokerDeGiro is RecordingBroker


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f.create_broker(Brokers.DEGIRO),
        lambda f: f.create_broker(broker_name=Brokers.DEGIRO),
        lambda f: f().create_broker(Brokers.DEGIRO),
        lambda f: f().create_broker(broker_name=Brokers.DEGIRO),
        # BaseEnum members are str, so the plain value names the broker too.
        lambda f: f.create_broker("degiro"),
    ],
    ids=["positional", "keyword", "instance", "instance-keyword", "plain-value"],
)
def test_create_broker_makes_a_new_broker_each_call(facade, made, call):
    first = call(facade.minter.BrokerFactory)
    second = call(facade.minter.BrokerFactory)
    assert made == [first, second]
    assert first is not second
    assert first.init == ((), {}) and first.calls == []


@pytest.mark.parametrize(
    "name",
    [None, 7, 1.5, "DEGIRO", "Degiro", " degiro", "degiro ", "", b"degiro", Other.DEGIRO, Formatted(), ["degiro"]],
    ids=repr,
)
def test_unsupported_broker(facade, made, name):
    with pytest.raises(ValueError) as info:
        facade.minter.BrokerFactory.create_broker(name)
    assert info.value.args == (f"Unsupported broker: {name}",)
    assert made == []


class Probe:
    """A broker name that decides equality itself and logs who asked."""

    def __init__(self, answer):
        self.answer = answer
        self.seen = []

    def __eq__(self, other):
        self.seen.append(other)
        return self.answer

    __hash__ = object.__hash__


class Falsy:
    def __bool__(self):
        return False


class Untruthful:
    def __bool__(self):
        raise ArithmeticError("no truth value")


@pytest.mark.parametrize(
    "answer, accepted",
    [(True, True), (1, True), ([0], True), (False, False), (0, False), (Falsy(), False), (NotImplemented, False)],
    ids=repr,
)
def test_caller_argument_decides_equality(facade, made, answer, accepted):
    probe = Probe(answer)
    if accepted:
        assert facade.minter.BrokerFactory.create_broker(probe) is made[0]
    else:
        with pytest.raises(ValueError):
            facade.minter.BrokerFactory.create_broker(probe)
        assert made == []
    # The argument is on the left: its __eq__ is asked first, with the member.
    assert probe.seen[0] is Brokers.DEGIRO


def test_errors_of_the_comparison_pass_through(facade, made):
    with pytest.raises(ArithmeticError, match="no truth value"):
        facade.minter.BrokerFactory.create_broker(Probe(Untruthful()))
    assert made == []


class Never:
    def __eq__(self, other):
        return False

    __hash__ = object.__hash__


class Always:
    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


def test_equality_is_asked_of_the_argument(facade, made, monkeypatch):
    # The member never claims equality: only the argument's own __eq__ can
    # accept it, and `==` asks it even for the very same object (no C-level
    # "same object means equal" shortcut).
    member = Never()
    monkeypatch.setattr(facade.minter, "Brokers", type("Brokers", (), {"DEGIRO": member, "TRADING212": member, "IBKR": member}))
    assert facade.minter.BrokerFactory.create_broker(Always()) is made[0]
    with pytest.raises(ValueError):
        facade.minter.BrokerFactory.create_broker(member)
    assert len(made) == 1


def test_globals_are_read_at_call_time(facade, monkeypatch):
    class Custom(Exception):
        pass

    class Made:
        pass

    m = facade.minter
    monkeypatch.setattr(m, "Brokers", type("Brokers", (), {"DEGIRO": "mine", "TRADING212": "theirs", "IBKR": "other"}))
    monkeypatch.setattr(m, "BrokerDeGiro", Made)
    monkeypatch.setattr(m, "ValueError", Custom, raising=False)
    assert type(m.BrokerFactory.create_broker("mine")) is Made
    with pytest.raises(Custom, match="^Unsupported broker: degiro$"):
        m.BrokerFactory.create_broker(Brokers.DEGIRO)


def test_constructor_errors_pass_through(facade, monkeypatch):
    failure = RuntimeError("cannot build")

    def broken():
        raise failure

    monkeypatch.setattr(facade.minter, "BrokerDeGiro", broken)
    with pytest.raises(RuntimeError) as info:
        facade.minter.BrokerFactory.create_broker(Brokers.DEGIRO)
    assert info.value is failure


def test_class_shape_matches_plain_python(facade, reference):
    factory = facade.minter.BrokerFactory
    assert list(vars(factory)) == list(vars(reference))
    assert (factory.__bases__, type(factory), factory.__doc__) == ((object,), type, None)
    assert factory.__module__ == "morbex.minter"
    assert isinstance(vars(factory)["create_broker"], staticmethod)
    create = factory.create_broker
    assert create is factory().create_broker
    assert (create.__name__, create.__qualname__, create.__doc__) == ("create_broker", "BrokerFactory.create_broker", None)
    assert create.__annotations__ == {"broker_name": "Brokers", "return": "BrokerBase"}
    assert str(inspect.signature(create)) == str(inspect.signature(reference.create_broker))


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), ((1, 2), {}), ((), {"name": 1}), ((1,), {"broker_name": 1}), ((1,), {"extra": 2}), ((1, 2), {"x": 3})],
    ids=str,
)
@pytest.mark.parametrize("through_instance", [False, True], ids=["class", "instance"])
def test_argument_errors_match_plain_python(facade, reference, args, kwargs, through_instance):
    native, plain = facade.minter.BrokerFactory, reference
    if through_instance:
        native, plain = native(), plain()
    with pytest.raises(TypeError) as expected:
        plain.create_broker(*args, **kwargs)
    with pytest.raises(TypeError) as got:
        native.create_broker(*args, **kwargs)
    assert str(got.value) == str(expected.value)
