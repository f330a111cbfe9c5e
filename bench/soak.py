"""Leak soak: every public operation of morbex, called over and over.

Each operation (one call on one path: a success, an error, an introspection)
is warmed up, then called ROUNDS times in two passes:

  rss     resident set size (/proc/self/statm) and, with glibc, the bytes
          malloc has handed out (mallinfo2): memory the interpreter does not
          see, e.g. C++ containers
  traced  tracemalloc's traced memory: every Python object and buffer

After each pass the reference counts of the objects the operation is handed
(its arguments, the module functions, the fakes) must be back where they
were: a leaked reference to a long-lived object costs no memory but keeps it
alive for ever. The broker's connector is replaced by stateless fakes that
answer at once, so nothing but morbex accumulates.

Run: .venv/bin/python bench/soak.py [--rounds N] [--only SUBSTRING] [--no-rss] [--no-traced]
Exits 1 when an operation grows past the bounds below.
"""

import argparse
import contextlib
import ctypes
import ctypes.util
import gc
import inspect
import json
import os
import resource
import sys
import time
import tracemalloc
import types
from dataclasses import dataclass, field
from decimal import Decimal
from fractions import Fraction

import morbex.keelson as keelson
from morbex.broker import AuthenticationMethods, authenticate, logout
from morbex.brokers import Brokers
from morbex.compiled import harmonic_mean
from morbex.keelson import BrokerDeGiro
from morbex.minter import BrokerFactory
from morbex.pactum import BrokerBase

ROUNDS = 100_000

# Growth allowed over the measured rounds, whatever their number: a leak of
# one small object per call exceeds each of these within a few thousand
# calls. Measured without a leak, at 5 000 and at 100 000 rounds: traced
# growth at most 32 B, malloc growth at most 80 B, RSS growth at most one
# 4 KiB page (the interpreter's free lists and caches settling).
TRACED_BOUND = 16 * 1024
MALLOC_BOUND = 64 * 1024
RSS_BOUND = 512 * 1024

LOGIN = AuthenticationMethods.USERNAME_PASSWORD
PASSWORD = "soak-password"


# --- measuring ----------------------------------------------------------------

_PAGE = os.sysconf("SC_PAGE_SIZE") if hasattr(os, "sysconf") else 4096


def rss():
    """Resident set size in bytes, now (peak where /proc is missing)."""
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * _PAGE
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


class _Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost",
    )]  # fmt: skip


def _mallinfo2():
    """glibc's mallinfo2, or None."""
    libc_name = ctypes.util.find_library("c")
    function = getattr(ctypes.CDLL(libc_name), "mallinfo2", None) if libc_name else None
    if function is not None:
        function.restype = _Mallinfo2
    return function


_MALLINFO2 = _mallinfo2()


def malloc_in_use():
    """Bytes malloc has handed out and not had back (glibc), else None.

    Under a sanitizer or with another allocator preloaded this reads zero,
    which compares as no growth."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


@dataclass
class Operation:
    name: str
    call: object  # one call, checking its own outcome
    watched: tuple = ()  # objects whose reference count must not drift


@dataclass
class Result:
    name: str
    rounds: int
    seconds: float = 0.0
    rss: int = 0
    malloc: int = 0
    traced: int = 0
    drift: dict = field(default_factory=dict)  # description -> refcount change

    def failures(self, traced_bound=TRACED_BOUND, malloc_bound=MALLOC_BOUND, rss_bound=RSS_BOUND):
        """What grew past its bound (None: not bounded), then every refcount that drifted."""
        growth = (("traced memory", self.traced, traced_bound), ("malloc'd memory", self.malloc, malloc_bound),
                  ("RSS", self.rss, rss_bound))  # fmt: skip
        found = [f"{what} grew by {grew} B (bound {bound})" for what, grew, bound in growth
                 if bound is not None and grew > bound]  # fmt: skip
        return found + [f"refcount of {what} changed by {change:+d}" for what, change in self.drift.items() if change]


def _refcounts(watched):
    return {f"{type(obj).__name__} #{i}": sys.getrefcount(obj) for i, obj in enumerate(watched)}


def _pass(operation, rounds, warmup, reading):
    """Warm up, then call `rounds` times: (seconds, `reading()` before, after, refcount drift)."""
    call = operation.call
    for _ in range(warmup):
        call()
    gc.collect()
    refs = _refcounts(operation.watched)
    before = reading()
    started = time.perf_counter()
    for _ in range(rounds):
        call()
    seconds = time.perf_counter() - started
    gc.collect()
    after = reading()
    drift = {what: count - refs[what] for what, count in _refcounts(operation.watched).items() if count != refs[what]}
    return seconds, before, after, drift


def measure(operation, rounds, warmup=None, traced=True):
    """Warm `operation` up, then call it `rounds` times in each pass."""
    warmup = max(200, rounds // 20) if warmup is None else warmup
    result = Result(operation.name, rounds)

    result.seconds, before, after, result.drift = _pass(operation, rounds, warmup, lambda: (rss(), malloc_in_use()))
    result.rss = after[0] - before[0]
    if before[1] is not None:
        result.malloc = after[1] - before[1]
    if not traced:
        return result

    tracemalloc.start()
    try:
        # Warmed up again: what the first calls under tracing allocate for good.
        _, before, after, drift = _pass(operation, rounds, warmup, lambda: tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    result.traced = after - before
    for what, change in drift.items():
        result.drift[what] = result.drift.get(what, 0) + change
    return result


# --- one call, checked -----------------------------------------------------------


def returns(expected, function, *args, **kwargs):
    def call():
        got = function(*args, **kwargs)
        if got != expected:
            raise AssertionError(f"{function.__name__}: {got!r} != {expected!r}")

    return call


def raises(error, function, *args, **kwargs):
    def call():
        try:
            function(*args, **kwargs)
        except error:
            return
        raise AssertionError(f"{function.__name__} did not raise {error.__name__}")

    return call


def expression(nums):
    return len(nums) / sum(1 / x for x in nums)


class StopsIteration:
    """An element whose reciprocal raises StopIteration (a RuntimeError out of
    the generator expression)."""

    def __rtruediv__(self, other):
        raise StopIteration


class Reciprocal:
    """An element with a Python-level __rtruediv__."""

    def __init__(self, value):
        self.value = value

    def __rtruediv__(self, other):
        return other / self.value


def harmonic_mean_operations():
    families = {
        "floats": [0.5, 1.25, 3.0, 7.75, 1e3, 2.5e-3, 9.0, 11.5],
        "floats 1000": [1.0 + i / 7 for i in range(1000)],
        "ints": [1, 2, 3, 4, 5, 6, 7],
        "big ints": [2**64 + 1, 2**70, 3, 2**100 - 1],
        "mixed": [1, 2.5, True, 2**65, Fraction(1, 3)],
        "fractions": [Fraction(1, 3), Fraction(2, 7), Fraction(5, 2)],
        "decimals": [Decimal("1.5"), Decimal("2.25"), Decimal(4)],
        "python __rtruediv__": [Reciprocal(2.0), Reciprocal(4.0)],
    }
    operations = []
    for family, nums in families.items():
        operations.append(Operation(
            f"harmonic_mean {family}",
            returns(expression(nums), harmonic_mean, nums),
            (harmonic_mean, nums, *nums),
        ))  # fmt: skip
    not_a_list = (1.0, 2.0)
    stops = [1.0, StopsIteration(), 2.0]
    zero_late = [1.0, 2.0, 0]
    errors = {
        "[]": (ZeroDivisionError, ([],), {}),
        "[0]": (ZeroDivisionError, ([0],), {}),
        "0 late": (ZeroDivisionError, (zero_late,), {}),
        "tuple": (TypeError, (not_a_list,), {}),
        "None": (TypeError, (None,), {}),
        "str element": (TypeError, (["1.0"],), {}),
        "no arguments": (TypeError, (), {}),
        "two arguments": (TypeError, ([1.0], [2.0]), {}),
        "unknown keyword": (TypeError, (), {"numbers": [1.0]}),
        "twice": (TypeError, ([1.0],), {"nums": [1.0]}),
        "StopIteration element": (RuntimeError, (stops,), {}),
    }
    for case, (error, args, kwargs) in errors.items():
        operations.append(Operation(
            f"harmonic_mean error: {case}",
            raises(error, harmonic_mean, *args, **kwargs),
            (harmonic_mean, *args, *kwargs.values(), *stops, *zero_late, *not_a_list),
        ))  # fmt: skip
    operations.append(Operation(
        "harmonic_mean keyword", returns(2.0, harmonic_mean, nums=[2.0, 2.0]), (harmonic_mean,),
    ))  # fmt: skip
    return operations


# --- the broker, over stateless fakes ------------------------------------------------

# Shaped as the connector delivers them: DEGIRO's position rows (name/value
# attribute lists), raw product details and products configuration. One position worth
# nothing, one cash row, one on an exchange the configuration does not list,
# one on a US exchange (no suffix), one on a venue without city and MIC.
POSITIONS = [
    {"id": "332111", "positionType": "PRODUCT", "size": 10.0, "price": 600.0, "value": 6000.0,
     "breakEvenPrice": 512.2, "plBase": {"EUR": -5122.0}},
    {"id": "332111", "positionType": "PRODUCT", "size": 2.0, "price": 600.0, "value": 1200.0},
    {"id": "331868", "positionType": "PRODUCT", "size": 5.0, "price": 150.0, "value": 750.0},
    {"id": "1533610", "positionType": "PRODUCT", "size": 3.0, "price": 0.0, "value": 0.0},
    {"id": "FLATEX_EUR", "positionType": "CASH", "size": 100.0, "price": 1.0, "value": 100.0},
    {"id": "999", "positionType": "PRODUCT", "size": 1.0, "price": 9.0, "value": 9.0},
    {"id": "777", "positionType": "PRODUCT", "size": 4.0, "price": 9.0, "value": 36.0},
]  # fmt: skip
PRODUCTS = {
    "332111": {"isin": "NL0010273215", "symbol": "ASML", "name": "ASML HOLDING", "exchangeId": "200", "currency": "EUR"},
    "331868": {"isin": "US0378331005", "symbol": "AAPL", "name": "APPLE INC.", "exchangeId": "663", "currency": "USD"},
    "1533610": {"isin": "DE0007472060", "symbol": "WDI", "name": "WIRECARD", "exchangeId": "194", "currency": "EUR"},
    "999": {"isin": "US6410694060", "symbol": "NSRGY", "name": "NESTLE ADR", "exchangeId": "1999", "currency": "USD"},
    "777": {"isin": "NL0000000777", "symbol": "RGPED", "name": "FUND", "exchangeId": "608", "currency": "GBX"},
}  # fmt: skip
EXCHANGES = [
    {"id": 194, "name": "Xetra", "city": "Frankfurt", "country": "DE", "micCode": "XETR"},
    {"id": 200, "name": "Euronext Amsterdam", "city": "Amsterdam", "country": "NL", "micCode": "XAMS"},
    {"id": 663, "name": "NASDAQ", "city": "New York", "country": "US", "micCode": "XNAS"},
    {"id": 608, "name": "FundShare Matching", "country": "NL"},
]  # fmt: skip
CLIENT_DETAILS = {"data": {"intAccount": 7654321, "clientRole": "basic"}}
CASH_FUNDS = [{"id": 2, "currencyCode": "EUR", "value": 100.0}, {"id": 3, "currencyCode": "USD", "value": 0}]
PORTFOLIO_UPDATE = {"portfolio": {"lastUpdated": 42, "value": [
    {"name": "positionrow", "id": p["id"], "value": [{"name": k, "value": v} for k, v in p.items()]} for p in POSITIONS
]}, "cashFunds": {"lastUpdated": 42, "value": [
    {"name": "cashFund", "id": str(f["id"]), "value": [{"name": k, "value": v} for k, v in f.items()]} for f in CASH_FUNDS
]}}  # fmt: skip
PRODUCTS_INFO = {"data": PRODUCTS}
PRODUCTS_CONFIG = {"exchanges": EXCHANGES, "countries": []}


def fake_connector(connect_error=None):
    """The module attributes morbex.keelson looks up, answering from the
    constants above and keeping nothing. `connect_error`: what connect()
    raises (a new one each time, so no traceback piles up on one object)."""

    class FakeAPI:
        def __init__(self, credentials):
            self.credentials = credentials
            self.session_storage = types.SimpleNamespace(build_session=dict)

        def connect(self):
            if connect_error is not None:
                raise connect_error()

        def get_client_details(self):
            return CLIENT_DETAILS

        def logout(self):
            return True

        def get_update(self, request_list, raw):
            return PORTFOLIO_UPDATE

        def get_products_info(self, product_list, raw):
            return PRODUCTS_INFO

        def get_products_config(self):
            return PRODUCTS_CONFIG

    return {
        "Credentials": types.SimpleNamespace,
        "DegiroAPI": FakeAPI,
        "UpdateRequest": dict,
        "UpdateOption": types.SimpleNamespace(PORTFOLIO="portfolio", CASH_FUNDS="cashFunds"),
    }


@contextlib.contextmanager
def installed(attributes):
    """morbex.keelson's attributes replaced, and put back afterwards."""
    saved = {name: getattr(keelson, name) for name in attributes}
    try:
        for name, value in attributes.items():
            setattr(keelson, name, value)
        yield
    finally:
        for name, value in saved.items():
            setattr(keelson, name, value)


class Staged(Operation):
    """An operation that needs module attributes replaced while it runs."""

    def __init__(self, name, attributes, call, watched=()):
        def staged():
            with installed(attributes):
                call()

        super().__init__(name, staged, tuple(watched) + tuple(attributes.values()))


def expected_holdings():
    with installed(fake_connector()):
        broker = authenticate(Brokers.DEGIRO, LOGIN, username="jdoe", password=PASSWORD, int_account=1)
        text = broker.get_current_stock_holdings()
    records = json.loads(text)
    assert [r["ticker_suffix"] for r in records] == ["ASML.AS", "ASML.AS", "AAPL", "NSRGY", "RGPED"], records
    return text


def broker_operations():
    ok = fake_connector()
    refused = fake_connector(lambda: ConnectionError("401 Client Error: Unauthorized"))
    other = fake_connector(lambda: RuntimeError("connector failure"))
    holdings = expected_holdings()
    shared = (authenticate, logout, Brokers.DEGIRO, LOGIN, BrokerDeGiro, CLIENT_DETAILS, *POSITIONS,
              *PRODUCTS.values(), *EXCHANGES)  # fmt: skip

    def login_with_account():
        broker = authenticate(Brokers.DEGIRO, LOGIN, username="jdoe", password=PASSWORD, int_account=1234567)
        assert broker.int_account == 1234567

    def login_learning_the_account():
        broker = authenticate(Brokers.DEGIRO, LOGIN, username="jdoe", password=PASSWORD)
        assert broker.int_account == 7654321

    def whole_session():
        broker = authenticate(Brokers.DEGIRO, LOGIN, username="jdoe", password=PASSWORD, int_account=1234567)
        assert broker.get_current_stock_holdings() == holdings
        assert logout(broker, LOGIN) is None

    connected = BrokerDeGiro()
    with installed(ok):
        connected.authenticate_with_username_password(username="jdoe", password=PASSWORD, int_account=1234567)
    fresh = BrokerDeGiro()

    def holdings_call():
        if connected.get_current_stock_holdings() != holdings:
            raise AssertionError("holdings changed")

    def logout_call():
        logout(connected, LOGIN)

    def positions_call():
        # The plain path; then, with a record made by Python code, the one that pairs records and rows.
        if [p["internal_id"] for p in connected.get_positions()] != [332111, 332111, 331868, 999, 777]:
            raise AssertionError("positions changed")
        connected._create_new_active_holding = lambda id, size: {"internal_id": id, "quantity": size}
        try:
            connected.get_positions()
        finally:
            del connected._create_new_active_holding

    def cash_call():
        if [(c["currency"], c["amount"]) for c in connected.get_cash_balances()] != [("EUR", 100.0)]:
            raise AssertionError("cash changed")

    def missing_field():
        # A product without "currency": KeyError out of the join.
        saved = PRODUCTS["777"].pop("currency")
        try:
            raises(KeyError, connected.get_current_stock_holdings)()
        finally:
            PRODUCTS["777"]["currency"] = saved

    return [
        Staged("authenticate with int_account", ok, login_with_account, shared),
        Staged("authenticate learning int_account", ok, login_learning_the_account, shared),
        Staged("authenticate, holdings, logout", ok, whole_session, shared),
        Staged("get_current_stock_holdings", ok, holdings_call, (connected, *shared)),
        Staged("get_current_stock_holdings KeyError", ok, missing_field, (connected, *shared)),
        Staged("get_positions", ok, positions_call, (connected, *shared)),
        Staged("get_cash_balances", ok, cash_call, (connected, *shared)),
        Staged("logout", ok, logout_call, (connected, *shared)),
        Staged("authenticate ConnectionError rewrap", refused,
               raises(ConnectionError, authenticate, Brokers.DEGIRO, LOGIN, username="u", password=PASSWORD), shared),
        Staged("authenticate other connect error", other,
               raises(RuntimeError, authenticate, Brokers.DEGIRO, LOGIN, username="u", password=PASSWORD), shared),
        Staged("authenticate ValueError (no password)", ok,
               raises(ValueError, authenticate, Brokers.DEGIRO, LOGIN, username="u"), shared),
        Staged("authenticate ValueError (empty username)", ok,
               raises(ValueError, authenticate, Brokers.DEGIRO, LOGIN, username="", password=PASSWORD), shared),
        Operation("authenticate NotImplementedError (email)",
                  raises(NotImplementedError, authenticate, Brokers.DEGIRO, AuthenticationMethods.EMAIL_PASSWORD,
                         email="a@b.c", password=PASSWORD), shared),
        Operation("authenticate_with_token NotImplementedError",
                  raises(NotImplementedError, fresh.authenticate_with_token, token="t"), (fresh, *shared)),
        Operation("authenticate unsupported broker",
                  raises(ValueError, authenticate, "nobroker", LOGIN, username="u", password=PASSWORD), shared),
        Operation("authenticate unsupported method",
                  raises(ValueError, authenticate, Brokers.DEGIRO, "by magic", username="u"), shared),
        Operation("logout unsupported method",
                  raises(ValueError, logout, fresh, AuthenticationMethods.EMAIL_PASSWORD), (fresh, *shared)),
        Operation("holdings before login (AttributeError)",
                  raises(AttributeError, fresh.get_current_stock_holdings), (fresh, *shared)),
        Operation("authenticate bad call shape",
                  raises(TypeError, authenticate, Brokers.DEGIRO, LOGIN, "jdoe"), shared),
        *transport_operations(),
    ]  # fmt: skip


def transport_operations():
    """Every request the connector sends goes through these two."""
    import requests

    class Session:
        def __init__(self, answer):
            self.answer = answer

        def send(self, request, **kwargs):
            if isinstance(self.answer, type):
                raise self.answer("no answer")
            return self.answer

    answered = Session(types.SimpleNamespace(status_code=200))
    maintenance = Session(types.SimpleNamespace(status_code=405))
    silent = Session(requests.ConnectTimeout)
    return [
        Operation("request answered", lambda: keelson._bounded_send(answered.send, 30, "request"), (answered,)),
        Operation("request: maintenance", raises(ConnectionError, keelson._bounded_send, maintenance.send, 30, "r"),
                  (maintenance,)),
        Operation("request timed out", raises(requests.ConnectTimeout, keelson._bounded_send, silent.send, 1, "r"),
                  (silent,)),
        Operation("session bounded", lambda: keelson._bounded_session(lambda **kw: Session(None), 30, headers=None),
                  ()),
    ]  # fmt: skip


# --- introspection ---------------------------------------------------------------------


def introspection_operations():
    broker = BrokerDeGiro()
    functions = (harmonic_mean, authenticate, logout, vars(BrokerDeGiro)["get_current_stock_holdings"],
                 vars(BrokerDeGiro)["authenticate_with_username_password"])  # fmt: skip
    create_broker = vars(BrokerFactory)["create_broker"]

    def signatures():
        for function in functions:
            inspect.signature(function)

    def attributes():
        for function in functions:
            _ = (function.__name__, function.__qualname__, function.__module__, function.__doc__,
             function.__defaults__, function.__kwdefaults__, function.__annotations__, function.__code__,
             function.__globals__, function.__builtins__, function.__dict__, function.__type_params__)  # fmt: skip

    def class_namespace():
        for cls in (BrokerDeGiro, BrokerBase, BrokerFactory, AuthenticationMethods, Brokers):
            dict(cls.__dict__)
            vars(cls)
        vars(broker)
        assert isinstance(broker, BrokerBase) and issubclass(BrokerDeGiro, BrokerBase)

    def binding():
        method = broker.get_current_stock_holdings
        assert method.__self__ is broker
        vars(BrokerDeGiro)["_can_cast_to_int"].__get__(broker, BrokerDeGiro)
        assert broker._can_cast_to_int("12") is True and broker._can_cast_to_int("x") is False

    def static():
        assert BrokerFactory.create_broker(Brokers.DEGIRO).int_account is None
        assert BrokerFactory().create_broker("degiro").trading_api is None
        assert create_broker.__func__ is BrokerFactory.create_broker
        inspect.signature(BrokerFactory.create_broker)

    def members():
        assert list(Brokers)[0] is Brokers("degiro") and AuthenticationMethods("username and password") is LOGIN
        _ = (repr(LOGIN), str(LOGIN), format(LOGIN), hash(LOGIN))

    watched = (*functions, broker, BrokerDeGiro, BrokerFactory, create_broker)
    return [
        Operation("inspect.signature", signatures, watched),
        Operation("function attributes", attributes, watched),
        Operation("class __dict__ / vars / isinstance", class_namespace, watched),
        Operation("method binding", binding, watched),
        Operation("staticmethod create_broker", static, watched),
        Operation("enum members and values", members, watched),
    ]  # fmt: skip


def operations():
    here = os.path.dirname(os.path.abspath(__file__))
    if here not in sys.path:
        sys.path.insert(0, here)
    import soak_trading212  # beside this file

    return (harmonic_mean_operations() + broker_operations() + soak_trading212.operations(Operation, raises)
            + introspection_operations())


# --- running ------------------------------------------------------------------------------


def run(rounds=ROUNDS, only=None, rss_bound=RSS_BOUND, traced=True, out=sys.stdout):
    """Measures every operation; returns the Results."""
    results = []
    if out is not None:
        print(f"{'operation':<44} {'calls':>8} {'µs/call':>8} {'RSS B':>9} {'malloc B':>9} {'traced B':>9}",
              file=out)  # fmt: skip
    for operation in operations():
        if only and only not in operation.name:
            continue
        result = measure(operation, rounds, traced=traced)
        results.append(result)
        if out is not None:
            problems = result.failures(rss_bound=rss_bound)
            print(f"{result.name:<44} {rounds:>8} {1e6 * result.seconds / rounds:>8.2f} {result.rss:>9}"
                  f" {result.malloc:>9} {result.traced:>9}  {'; '.join(problems) or 'ok'}", file=out, flush=True)  # fmt: skip
    return results


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=ROUNDS, help=f"calls per operation and pass (default {ROUNDS})")
    parser.add_argument("--only", help="run the operations whose name contains this")
    parser.add_argument("--no-rss", action="store_true",
                        help="do not bound RSS (under a sanitizer or valgrind, which keep freed memory)")
    parser.add_argument("--no-traced", action="store_true",
                        help="skip the tracemalloc pass (under valgrind, where its bookkeeping is noise)")
    args = parser.parse_args(argv)
    rss_bound = None if args.no_rss else RSS_BOUND
    results = run(args.rounds, args.only, rss_bound=rss_bound, traced=not args.no_traced)
    failed = [r for r in results if r.failures(rss_bound=rss_bound)]
    print(f"{len(results) - len(failed)}/{len(results)} operations within bounds "
          f"(traced ≤ {TRACED_BOUND} B, malloc ≤ {MALLOC_BOUND} B, RSS ≤ {RSS_BOUND} B, no refcount drift)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
