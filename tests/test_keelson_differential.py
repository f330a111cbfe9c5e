"""The holdings and positions pipelines against the same algorithms in plain
Python: same JSON text, or the same exception, over random portfolios,
products and exchange lists, plain and exotic."""

import builtins
import collections.abc
import math
import sys
import types

import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st
from fuzz_budget import examples
from keelson_fakes import Connector
from keelson_reference import Reference

import morbex.keelson as keelson
from morbex.keelson import BrokerDeGiro


class Record(collections.abc.MutableMapping):
    """A mapping that is not a dict, and logs every read and write."""

    def __init__(self, data, log):
        self._data, self._log = dict(data), log

    def __getitem__(self, key):
        self._log.append(("get", key))
        return self._data[key]

    def __setitem__(self, key, value):
        self._log.append(("set", key))
        self._data[key] = value

    def __delitem__(self, key):
        del self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


class Id:
    """An exchange id that is not an int: it compares (and mutates) as told."""

    def __init__(self, value, mutation, exchanges, log):
        self.value, self.mutation, self.exchanges, self.log = value, mutation, exchanges, log

    def __eq__(self, other):
        self.log.append(("eq", self.value, other))
        if self.mutation == "reverse":
            self.exchanges.reverse()
        elif self.mutation == "pop" and self.exchanges:
            self.exchanges.pop()
        elif self.mutation == "renumber" and self.exchanges and isinstance(self.exchanges[0], dict):
            self.exchanges[0]["id"] = 200
        self.mutation = None
        return self.value == other

    __hash__ = None


class Suffixes(collections.abc.Mapping):
    """A suffix mapping that is not a dict, and logs every lookup."""

    def __init__(self, data, log):
        self._data, self._log = data, log

    def __getitem__(self, key):
        self._log.append(("suffix", key))
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


# --- what is drawn: plain data, built into objects afresh for each run ---------------

ids = st.sampled_from(["1", "2", "3", "17", "0663", " 5 ", "1_0", "EUR", "", "x", 4, 7.9]) | st.integers(0, 30)
exchange_ids = st.sampled_from(["663", "0663", "200", " 200", 663, 200, "abc", "194", 194.0]) | st.integers(190, 205)


@st.composite
def plans(draw):
    wide = draw(st.booleans())  # rarely missing keys when False
    positions = draw(
        st.lists(
            st.fixed_dictionaries(
                {
                    "value": st.sampled_from([0, 0.0, -0.0, 1.5, -2.0, math.nan, 3, "0", None]),
                    "id": ids | st.sampled_from([None]) if wide else ids,
                    # and what json.dumps writes its own way
                    "size": st.sampled_from([1.0, 10.0, 0.0, 2, "7", math.nan, -math.inf, 1e16, 1.5e-7, 2**70, True]),
                },
                optional={
                    "extra": st.just(1),
                    # what positions read of worth, and what they make of odd values
                    "price": st.sampled_from([12.5, 81.34, 0.1, 3, 1e-7, "12.5", None, True]),
                    "breakEvenPrice": st.sampled_from([10.0, 7, None]),
                    "plBase": st.sampled_from([{"EUR": -1.0}, {"USD": 2}, {}, {"EUR": 1, "USD": 2}, {5: 1}, "EUR"]),
                },
            ).map(lambda d: d if not wide or d["size"] != "7" else {k: v for k, v in d.items() if k != "size"}),
            max_size=8,
        )
    )
    # Mostly the products of the positions held, keyed as the portfolio gave them.
    known = [p["id"] for p in positions if p["id"] is not None and draw(st.integers(0, 19)) > 0]
    known += draw(st.lists(ids, max_size=3))
    product_keys = ["isin", "symbol", "name", "currency", "exchangeId"]
    products = {}
    for key in known:
        product = {
            "isin": draw(st.sampled_from(["NL0000000001", "US02079K3059"])),
            "symbol": draw(st.sampled_from(["ABC", "GOOGL", 123, "Ä", "BP.", "NOVO B", "BRK.B", "700", "0700", "."])),
            "name": draw(st.sampled_from(["Company", "Société Générale", 'Q "\\ \t\x7f\x00 𝄞 — ｢'])),
            "currency": draw(st.sampled_from(["EUR", "USD", "GBX", None])),
            "exchangeId": draw(exchange_ids),
        }
        if wide and draw(st.integers(0, 9)) == 0:
            del product[draw(st.sampled_from(product_keys))]
        products[key] = product
    exchanges = []
    for _ in range(draw(st.integers(0, 6))):
        exchange = {
            "id": draw(st.sampled_from([663, 200, 194, "663", 663.0, 10000]) | st.integers(190, 205)),
            "name": draw(st.sampled_from(["NASDAQ", "Euronext Amsterdam", "Xetra"])),
            "country": draw(st.sampled_from(["US", "NL", "us", "DE", None])),
            "city": draw(st.sampled_from(["New York", "Amsterdam"])),
            "micCode": draw(st.sampled_from(["XNAS", "XAMS", "XETR", "CATS", None])),
        }
        for key in ("city", "micCode"):
            if draw(st.booleans()):
                del exchange[key]
        if wide and draw(st.integers(0, 9)) == 0:
            del exchange[draw(st.sampled_from(["id", "name", "country"]))]
        exchanges.append(exchange)
    exotic = {
        "weird_ids": draw(
            st.lists(
                st.tuples(st.integers(0, 5), st.sampled_from([663, 200]), st.sampled_from([None, "reverse", "pop", "renumber"])),
                max_size=2,
            )
        )
        if wide
        else [],
        "mapping_positions": wide and draw(st.booleans()),
        "mapping_exchanges": wide and draw(st.booleans()),
        "tuple_exchanges": draw(st.booleans()),
        "mapping_suffixes": draw(st.integers(0, 3)) == 0,
        # Methods written in Python, so the native broker cannot take its own paths.
        "python_ticker": draw(st.booleans()),
        "python_create": draw(st.integers(0, 3)) == 0,
        "python_map": draw(st.integers(0, 3)) == 0,
        # Something that changes while the query runs.
        "switch": draw(st.sampled_from([None, None, None, "int", "ticker", "map", "midway"])),
    }
    suffixes = draw(st.sampled_from([{"XAMS": "AS", "XETR": "DE", "XNAS": ""}, {}, {"XAMS": 7, "CATS": "L"},
                                     {"XAMS": "HK", "XNAS": "HK"}]))
    return positions, products, exchanges, suffixes, exotic


def build(plan, log):
    positions, products, exchanges, suffixes, exotic = plan
    positions = [Record(p, log) if exotic["mapping_positions"] else dict(p) for p in positions]
    products = {key: dict(value) for key, value in products.items()}
    built = [Record(e, log) if exotic["mapping_exchanges"] else dict(e) for e in exchanges]
    for at, value, mutation in exotic["weird_ids"]:
        if at < len(built):
            built[at]["id"] = Id(value, mutation, built, log)
    if exotic["tuple_exchanges"]:
        built = tuple(built)
    suffixes = Suffixes(suffixes, log) if exotic["mapping_suffixes"] else dict(suffixes)
    return positions, products, built, suffixes


def logged(name, method, log):
    """`method`, logging each call with its first argument (but the records)."""

    def logging(self, *args):
        log.append((name,) if name == "map" else (name, args[0]))
        return method(self, *args)

    return logging


def variant(base, exotic, log):
    """A subclass of `base` with the methods the plan writes in Python."""
    namespace = {}
    if exotic["python_ticker"]:
        namespace["_get_ticker_with_suffix"] = logged("ticker", Reference._get_ticker_with_suffix, log)
    if exotic["python_create"]:
        namespace["_create_new_active_holding"] = logged("create", Reference._create_new_active_holding, log)
    if exotic["python_map"]:
        namespace["_map_holdings_with_info"] = logged("map", Reference._map_holdings_with_info, log)
    if exotic["switch"] == "midway":
        # At the second position checked, record making moves to Python, and
        # the first record made there moves the check to Python too.
        def create(self, id, size):
            type(self)._can_cast_to_int = logged("can_cast", Reference._can_cast_to_int, log)
            return Reference._create_new_active_holding(self, id, size)

        def can_cast(self, value):
            if sum(entry[0] == "can_cast" for entry in log) == 2:
                type(self)._create_new_active_holding = logged("create", create, log)
            return Reference._can_cast_to_int(self, value)

        namespace["_can_cast_to_int"] = logged("can_cast", can_cast, log)
    return type(base.__name__, (base,), namespace)


def switch_when_products_are_fetched(broker, switch, log, monkeypatch):
    """Changes what the join uses, between the selection and the join."""
    fetch = broker.trading_api.get_products_info
    exchanges = broker.trading_api.connector.exchanges

    def logged_int(value):
        log.append(("int", value))
        return builtins.int(value)

    def ticker_renaming_exchanges(self, *args):
        if isinstance(exchanges, list):  # new entries, renamed, for every ticker made
            renamed = [dict(e, name=f"{e['name']}'") if isinstance(e, dict) and "name" in e else e for e in exchanges]
            exchanges[:] = renamed
        return Reference._get_ticker_with_suffix(self, *args)

    def get_products_info(*args, **kwargs):
        if switch == "int":  # for both: the native code and the code written here
            monkeypatch.setattr(keelson, "int", logged_int, raising=False)
            monkeypatch.setattr(sys.modules[Reference.__module__], "int", logged_int, raising=False)
        elif switch == "ticker":
            ticker = logged("ticker", ticker_renaming_exchanges, log)
            broker._get_ticker_with_suffix = types.MethodType(ticker, broker)
        elif switch == "map":
            join = logged("map", Reference._map_holdings_with_info, log)
            broker._map_holdings_with_info = types.MethodType(join, broker)
        return fetch(*args, **kwargs)

    broker.trading_api.get_products_info = get_products_info


def run(base, plan, monkeypatch, positions=False):
    log = []
    connector = Connector().install(monkeypatch)
    connector.positions, connector.products, connector.exchanges, connector.suffixes = build(plan, log)
    broker = variant(base, plan[4], log)()
    broker.trading_api = connector.api(None)
    broker.int_account = 1234567
    switch_when_products_are_fetched(broker, plan[4]["switch"], log, monkeypatch)
    # Positions that are not dicts are not what DEGIRO sends: they go to the
    # selection as they are.
    if positions:
        # The time of the read aside, as text: NaN is not equal to itself.
        query = lambda: keelson.json.dumps([{**p, "as_of": None} for p in broker.get_positions()])  # noqa: E731
    elif plan[4]["mapping_positions"]:
        query = lambda: keelson.json.dumps(broker._aggregated_active_holdings(connector.positions))  # noqa: E731
    else:
        query = broker.get_current_stock_holdings
    try:
        outcome = ("result", query())
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        outcome = ("raised", type(error), str(error))
    return outcome, connector.events(), log


PLAIN = {"weird_ids": [], "mapping_positions": False, "mapping_exchanges": False, "tuple_exchanges": False,
         "mapping_suffixes": False, "python_ticker": False, "python_create": False, "python_map": False, "switch": None}
SAME_EXCHANGE = (
    [{"id": "1", "value": 1.0, "size": 1.0}, {"id": "2", "value": 1.0, "size": 2.0}],
    {key: {"isin": "A", "symbol": "S", "name": "N", "currency": "EUR", "exchangeId": "200"} for key in ("1", "2")},
    [{"id": 200, "name": "X", "country": "NL", "micCode": "XAMS"}],
    {"XAMS": "AS"},
)


@settings(max_examples=examples(400), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(plans())
# A Python ticker that renames the exchanges: the second record must see the new name.
@example((*SAME_EXCHANGE, {**PLAIN, "switch": "ticker"}))
def test_same_result_as_plain_python(plan):
    with pytest.MonkeyPatch.context() as mp:
        ours = run(BrokerDeGiro, plan, mp)
    with pytest.MonkeyPatch.context() as mp:
        theirs = run(Reference, plan, mp)
    event(ours[0][0] if ours[0][0] == "result" else ours[0][1].__name__)
    assert ours == theirs


# Positions take their MIC from the exchange the join found, where the plain
# Python looks it up again: exchange lists that change under the join are left out.
STEADY = {"weird_ids": [], "mapping_positions": False, "switch": None}


@settings(max_examples=examples(200), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(plans().map(lambda plan: (*plan[:4], {**plan[4], **STEADY})))
@example((*SAME_EXCHANGE, {**PLAIN, "python_map": True}))
def test_same_positions_as_plain_python(plan):
    with pytest.MonkeyPatch.context() as mp:
        ours = run(BrokerDeGiro, plan, mp, positions=True)
    with pytest.MonkeyPatch.context() as mp:
        theirs = run(Reference, plan, mp, positions=True)
    event(ours[0][0] if ours[0][0] == "result" else ours[0][1].__name__)
    assert ours[:2] == theirs[:2]


@pytest.mark.parametrize("python_create", [False, True])
@pytest.mark.parametrize(
    "mutation, expected",
    [("renumber", '"exchange_name": "first"'), ("reverse", '"exchange_name": "third"'), ("pop", '"exchange_name": "second"')],
)
def test_the_join_sees_an_exchange_list_changed_mid_way(monkeypatch, mutation, expected, python_create):
    """An exchange id compared by Python code changes the list while the first
    record is joined; the records after it must see the list as changed."""
    positions = [{"id": str(i), "value": 1.0, "size": 1.0} for i in (1, 2, 3)]
    products = {"1": {"isin": "A", "symbol": "S", "name": "N", "currency": "EUR", "exchangeId": "5"},
                "2": {"isin": "B", "symbol": "T", "name": "M", "currency": "EUR", "exchangeId": "200"},
                "3": {"isin": "C", "symbol": "U", "name": "L", "currency": "EUR", "exchangeId": "1"}}  # fmt: skip
    exchanges = [{"id": 1, "name": "first", "country": "NL"}, {"id": 5, "name": "odd", "country": "NL"},
                 {"id": 200, "name": "second", "country": "NL"}, {"id": 200, "name": "third", "country": "NL"}]  # fmt: skip
    plan = (positions, products, exchanges, {},
            {"weird_ids": [(1, 5, mutation)], "mapping_positions": False, "mapping_exchanges": False,
             "tuple_exchanges": False, "mapping_suffixes": False, "python_ticker": False,
             "python_create": python_create, "python_map": False, "switch": None})  # fmt: skip
    ours = run(BrokerDeGiro, plan, monkeypatch)
    theirs = run(Reference, plan, monkeypatch)
    assert ours == theirs
    assert expected in ours[0][1]


class Hooked(collections.abc.Mapping):
    """A position that is not a dict: reading it runs `hook` first."""

    def __init__(self, data, hook):
        self._data, self._hook = data, hook

    def __getitem__(self, key):
        hook, self._hook = self._hook, None
        if hook is not None:
            hook()
        return self._data[key]

    def __iter__(self):
        return iter(self._data)

    def __len__(self):
        return len(self._data)


@pytest.mark.parametrize("then_the_check", [False, True])
def test_methods_changed_while_positions_are_read(monkeypatch, then_the_check):
    """Reading the second position runs Python code that puts record making
    in Python, whose second record puts the check in Python too: every
    position after such a change must be handled by the methods it installed."""

    def outcome(base):
        log = []
        cls = type(base.__name__, (base,), {})

        def create(self, id, size):
            if then_the_check and sum(entry[0] == "create" for entry in log) == 2:
                cls._can_cast_to_int = logged("can_cast", Reference._can_cast_to_int, log)
            return Reference._create_new_active_holding(self, id, size)

        def hook():
            cls._create_new_active_holding = logged("create", create, log)

        positions = [{"id": str(i), "value": 1.0, "size": float(i)} for i in range(1, 6)]
        positions[1] = Hooked(positions[1], hook)
        product = {"isin": "A", "symbol": "S", "name": "N", "currency": "EUR", "exchangeId": "200"}
        with pytest.MonkeyPatch.context() as mp:
            connector = Connector().install(mp)
            connector.positions = positions
            connector.products = {str(i): dict(product) for i in range(1, 6)}
            connector.exchanges = [{"id": 200, "name": "X", "country": "NL", "micCode": "XAMS"}]
            broker = cls()
            broker.trading_api = connector.api(None)
            return keelson.json.dumps(broker._aggregated_active_holdings(positions)), log

    ours, theirs = outcome(BrokerDeGiro), outcome(Reference)
    assert ours == theirs
    assert [entry[1] for entry in ours[1] if entry[0] == "create"] == ["2", "3", "4", "5"]
    assert [entry[1] for entry in ours[1] if entry[0] == "can_cast"] == (["4", "5"] if then_the_check else [])
