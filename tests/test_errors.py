import pickle

import pytest

import morbex.errors
from morbex.errors import ApprovalTimeout, BrokerUnavailable, LoginRefused, RateLimited, SessionExpired

# (class, its base, retry_after set on the instance or None)
ERRORS = [
    (LoginRefused, ConnectionError, None),
    (ApprovalTimeout, LoginRefused, None),
    (BrokerUnavailable, ConnectionError, None),
    (RateLimited, BrokerUnavailable, 2.5),
    (RateLimited, BrokerUnavailable, None),  # the broker did not say: the class's None
    (SessionExpired, ConnectionError, None),
]


def test_module_namespace():
    public = [k for k in vars(morbex.errors) if not k.startswith("__")]
    assert public == ["LoginRefused", "ApprovalTimeout", "BrokerUnavailable", "RateLimited", "SessionExpired"]


@pytest.mark.parametrize(("cls", "base", "retry_after"), ERRORS)
def test_error_types(cls, base, retry_after):
    assert cls.__bases__ == (base,)
    assert (cls.__module__, cls.__qualname__, cls.__doc__) == ("morbex.errors", cls.__name__, None)
    error = cls("DEGIRO is down for maintenance; try again later")
    if retry_after is not None:
        error.retry_after = retry_after
    # One argument: the message, not an errno and strerror.
    assert str(error) == "DEGIRO is down for maintenance; try again later"
    assert error.errno is None
    with pytest.raises(ConnectionError) as caught:
        raise error
    assert caught.value is error

    copy = pickle.loads(pickle.dumps(error))
    assert type(copy) is cls
    assert (copy.args, str(copy)) == (error.args, str(error))
    if cls is RateLimited:
        assert copy.retry_after == retry_after
        assert "retry_after" not in vars(RateLimited("x"))


def test_kinds_do_not_overlap():
    kinds = [LoginRefused, BrokerUnavailable, SessionExpired]
    assert [[issubclass(a, b) for b in kinds] for a in kinds] == [[a is b for b in kinds] for a in kinds]
    assert issubclass(ApprovalTimeout, LoginRefused) and not issubclass(RateLimited, LoginRefused)
