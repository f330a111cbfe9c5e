import importlib
import sys
import types
from pathlib import Path

import pytest
from hypothesis import settings

# The local DEGIRO sandbox the end-to-end tests run against.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "sandbox"))

import morbex  # noqa: E402
from morbex.pactum import BrokerBase  # noqa: E402

# A longer fuzzing run: `pytest --hypothesis-profile=long` runs every property
# test 30 times its usual number of examples (fuzz_budget.examples), about
# five minutes in all.
settings.register_profile("long", max_examples=3000, deadline=None)


class RecordingBroker(BrokerBase):
    """Stands in for the DEGIRO broker: records every operation it is asked
    for, then changes the dict it was handed, as a careless broker might."""

    made = []

    def __init__(self, *args, **kwargs):
        self.init = (args, kwargs)
        self.calls = []
        RecordingBroker.made.append(self)

    def _record(self, name, args, kwargs):
        self.calls.append((name, args, dict(kwargs)))
        kwargs["changed_by_broker"] = True
        return "result to discard"

    def authenticate_with_email_password(self, *args, **kwargs):
        return self._record("authenticate_with_email_password", args, kwargs)

    def authenticate_with_username_password(self, *args, **kwargs):
        return self._record("authenticate_with_username_password", args, kwargs)

    def authenticate_with_token(self, *args, **kwargs):
        return self._record("authenticate_with_token", args, kwargs)

    def logout_with_username_password(self, *args, **kwargs):
        return self._record("logout_with_username_password", args, kwargs)

    def logout_with_token(self, *args, **kwargs):
        return self._record("logout_with_token", args, kwargs)

    def get_current_stock_holdings(self):
        return "[]"


@pytest.fixture(scope="module")
def facade():
    """morbex.minter and morbex.broker freshly imported over a stand-in
    morbex.keelson whose BrokerDeGiro is the RecordingBroker; the previous
    state of sys.modules and of the package is restored afterwards."""
    keelson = types.ModuleType("morbex.keelson")
    keelson.BrokerDeGiro = RecordingBroker
    with pytest.MonkeyPatch.context() as mp:
        mp.setitem(sys.modules, "morbex.keelson", keelson)
        for name in ("minter", "broker"):
            mp.delitem(sys.modules, f"morbex.{name}", raising=False)
            # The import binds the package attribute; undoing this puts the
            # previous one back (or removes it), so `from morbex import
            # minter` afterwards does not see the stand-in's module.
            mp.setattr(morbex, name, None, raising=False)
        yield types.SimpleNamespace(
            broker=importlib.import_module("morbex.broker"),
            minter=importlib.import_module("morbex.minter"),
            brokers=importlib.import_module("morbex.brokers"),
        )


@pytest.fixture
def made(facade):
    """The brokers constructed during one test, in order."""
    RecordingBroker.made.clear()
    yield RecordingBroker.made
    RecordingBroker.made.clear()


@pytest.fixture
def connector(monkeypatch):
    """The recording stand-ins for degiro_connector, installed in morbex.keelson."""
    from keelson_fakes import Connector

    return Connector().install(monkeypatch)
