"""The native function type against plain Python functions of the same signatures."""
import copy
import gc
import importlib.util
import inspect
import pickle
import subprocess
import sys
import textwrap
import types
import weakref
from abc import ABCMeta

import pytest

import morbex.pactum
from morbex.pactum import BrokerBase

PLAIN_SOURCE = '''
class BrokerBase:
    def authenticate_with_token(self, **kwargs) -> "None":
        return None

    def get_current_stock_holdings(self):
        return None
'''
plain = {}
exec(PLAIN_SOURCE, plain)
PlainBase = plain["BrokerBase"]

KWARGS_SHAPES = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3), {}),
    ((), {"self": 1}),
    ((1,), {"self": 2}),
    ((1,), {"token": 2, "other": 3}),
    ((), {"token": 2}),
    ((1, 2, 3, 4), {"d": 5}),
    ((1, 2), {"self": 5}),
]
SELF_ONLY_SHAPES = KWARGS_SHAPES + [
    ((1,), {"x": 1}),
    ((1, 2), {"x": 1, "y": 2}),
    ((), {"x": 1}),
]


def outcome(f, args, kwargs):
    try:
        return ("ok", f(*args, **kwargs))
    except Exception as e:
        return (type(e), str(e))


@pytest.mark.parametrize("args, kwargs", KWARGS_SHAPES)
def test_kwargs_call_shapes_match_python(args, kwargs):
    native = BrokerBase.authenticate_with_token
    assert outcome(native, args, kwargs) == outcome(PlainBase.authenticate_with_token, args, kwargs)


@pytest.mark.parametrize("args, kwargs", SELF_ONLY_SHAPES)
def test_self_only_call_shapes_match_python(args, kwargs):
    native = BrokerBase.get_current_stock_holdings
    assert outcome(native, args, kwargs) == outcome(PlainBase.get_current_stock_holdings, args, kwargs)


class StrSub(str):
    pass


def test_keyword_names_may_be_str_subclasses():
    kwargs = {StrSub("self"): 1}
    assert BrokerBase.get_current_stock_holdings(**kwargs) is None


def test_kwargs_is_a_new_dict_each_call():
    seen = []

    class Spy(BrokerBase):
        authenticate_with_email_password = authenticate_with_username_password = None
        logout_with_username_password = get_current_stock_holdings = None

        def authenticate_with_token(self, **kwargs):
            seen.append(kwargs)
            return super().authenticate_with_token(**kwargs)

    given = {"token": "t"}
    assert Spy().authenticate_with_token(**given) is None
    assert seen == [given] and seen[0] is not given


@pytest.mark.parametrize("name", ["authenticate_with_token", "get_current_stock_holdings"])
def test_function_attributes_match_python(name):
    native, python = getattr(BrokerBase, name), getattr(PlainBase, name)
    assert str(inspect.signature(native)) == str(inspect.signature(python))
    assert native.__name__ == python.__name__
    assert native.__qualname__ == python.__qualname__
    assert native.__annotations__ == python.__annotations__
    assert native.__doc__ is None
    assert native.__defaults__ is None and native.__kwdefaults__ is None
    assert native.__closure__ is None and native.__type_params__ == ()
    assert isinstance(native.__code__, types.CodeType)
    assert native.__code__.co_varnames == python.__code__.co_varnames
    assert native.__code__.co_flags & inspect.CO_VARKEYWORDS == python.__code__.co_flags & inspect.CO_VARKEYWORDS
    assert native.__globals__ is vars(morbex.pactum)
    assert native.__module__ == "morbex.pactum"
    assert repr(native).startswith(f"<function BrokerBase.{name} at 0x")
    assert type(native).__name__ == "function" and type(native).__module__ == "builtins"


def test_binding_mirrors_functions():
    f = vars(BrokerBase)["authenticate_with_token"]
    obj = object()
    bound = f.__get__(obj, type(obj))
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is obj and bound.__func__ is f
    assert f.__get__(None, BrokerBase) is f
    assert BrokerBase.authenticate_with_token is f
    assert str(inspect.signature(bound)) == "(**kwargs) -> 'None'"


def test_writable_attributes():
    f = vars(BrokerBase)["get_current_stock_holdings"]
    snapshot = (f.__name__, f.__qualname__, f.__module__, f.__doc__, dict(f.__dict__))
    try:
        f.__doc__ = "documented"
        f.__module__ = "elsewhere"
        f.__name__ = "renamed"
        f.custom = 1
        assert (f.__doc__, f.__module__, f.__name__, f.custom) == ("documented", "elsewhere", "renamed", 1)
        assert f.__dict__["custom"] == 1
        del f.__doc__
        assert f.__doc__ is None
        with pytest.raises(TypeError, match="__name__ must be set to a string object"):
            f.__name__ = 3
        with pytest.raises(TypeError, match="__qualname__ must be set to a string object"):
            del f.__qualname__
        with pytest.raises(AttributeError):
            f.__code__ = None
    finally:
        f.__name__, f.__qualname__, f.__module__, f.__doc__ = snapshot[:4]
        f.__dict__.clear()
        f.__dict__.update(snapshot[4])
    assert f.__isabstractmethod__ is True


def test_staticmethod_and_abstractmethod_wrap_it():
    f = vars(BrokerBase)["get_current_stock_holdings"]
    s = staticmethod(f)
    assert s.__name__ == f.__name__ and s.__qualname__ == f.__qualname__
    assert s.__get__(None, object) is f

    class C:
        m = s

    assert C().m(1) is None
    assert BrokerBase.__abstractmethods__ == frozenset(
        {
            "authenticate_with_email_password",
            "authenticate_with_username_password",
            "authenticate_with_token",
            "logout_with_username_password",
            "get_current_stock_holdings",
        }
    )


def test_pickle_and_copy_by_reference():
    f = BrokerBase.authenticate_with_token
    assert pickle.loads(pickle.dumps(f)) is f
    assert copy.deepcopy(f) is f


def test_cycles_through_the_function_are_collected():
    f = vars(BrokerBase)["get_current_stock_holdings"]
    holder = type("Holder", (), {})()
    f.cycle = holder
    holder.f = f
    ref = weakref.ref(holder)
    del f.cycle, holder
    gc.collect()
    assert ref() is None


def test_a_second_module_instance_is_independent_and_collected():
    spec = importlib.util.find_spec("morbex.pactum")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    assert module.BrokerBase is not BrokerBase
    assert type(module.BrokerBase.authenticate_with_token) is not type(BrokerBase.authenticate_with_token)
    ref = weakref.ref(module.BrokerBase)
    del module, spec
    gc.collect()
    assert ref() is None


def test_class_is_built_through_its_metaclass():
    assert type(BrokerBase) is ABCMeta
    assert BrokerBase.__qualname__ == "BrokerBase"
    assert BrokerBase.__module__ == "morbex.pactum"
    assert "__doc__" in vars(BrokerBase) and BrokerBase.__doc__ is None
    assert list(vars(BrokerBase))[:1] == ["__module__"]


def run_fresh(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)


def test_missing_name_in_from_import_is_pythons_import_error():
    result = run_fresh(
        """
        import enum
        del enum.StrEnum
        try:
            from enum import StrEnum
        except ImportError as e:
            expected = (str(e), e.name, e.path)
        try:
            import morbex.utils
        except ImportError as e:
            assert (str(e), e.name, e.path) == expected, ((str(e), e.name, e.path), expected)
            assert e.name_from == "StrEnum"
            print("ok")
        """
    )
    assert result.stdout.strip() == "ok", result.stderr
