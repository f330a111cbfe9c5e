"""The holdings pipeline against the same algorithm in plain Python: same JSON
text, or the same exception, over random portfolios, products and exchange
lists, plain and exotic."""

import collections.abc
import math

import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st
from fuzz_budget import examples
from keelson_fakes import Connector

import morbex.keelson as keelson
from morbex.keelson import BrokerDeGiro


class Reference:
    """The pipeline as plain Python, over the same module globals."""

    def get_current_stock_holdings(self):
        request_list = keelson.Update.RequestList()
        request_list.values.extend([keelson.Update.Request(option=keelson.Update.Option.PORTFOLIO, last_updated=0)])
        update = self.trading_api.get_update(request_list=request_list)
        all_holdings = keelson.pb_handler.message_to_dict(message=update)["portfolio"]["values"]
        holdings = self._aggregated_active_holdings(all_holdings)
        return keelson.json.dumps(holdings)

    def _aggregated_active_holdings(self, all_holdings):
        active_holdings = []
        active_holding_ids = []
        for holding in all_holdings:
            if holding["value"] == 0.0:
                continue
            if not self._can_cast_to_int(holding["id"]):
                continue
            active_holdings.append(self._create_new_active_holding(holding["id"], holding["size"]))
            active_holding_ids.append(int(holding["id"]))
        active_holdings_info = self._get_stock_info(active_holding_ids)["data"]
        exchange_info = self.trading_api.get_products_config(raw=True)["exchanges"]
        return self._map_holdings_with_info(active_holdings, active_holdings_info, exchange_info)

    def _create_new_active_holding(self, id, size):
        return {"internal_id": id, "isin": None, "ticker": None, "ticker_suffix": None, "company": None,
                "exchange_id": None, "exchange_name": None, "exchange_city": None, "exchange_country": None,
                "currency": None, "quantity": size}  # fmt: skip

    def _get_stock_info(self, ids):
        request = keelson.ProductsInfo.Request()
        request.products.extend(ids)
        return self.trading_api.get_products_info(request=request, raw=True)

    def _map_holdings_with_info(self, holdings, holdings_info, exchanges_info):
        exchange_mic_to_suffix_dict = keelson.get_exchange_mic_to_suffix_dict()
        for holding in holdings:
            holding_info = holdings_info[holding["internal_id"]]
            exchange_index = None
            for index, exchange in enumerate(exchanges_info):
                if exchange["id"] == int(holdings_info[holding["internal_id"]]["exchangeId"]):
                    exchange_index = index
                    break
            if exchange_index is None:
                holding.update({
                    "isin": holding_info["isin"],
                    "ticker": holding_info["symbol"],
                    "company": holding_info["name"],
                    "exchange_id": holding_info["exchangeId"],
                    "exchange_name": None,
                    "exchange_city": None,
                    "exchange_country": None,
                    "currency": holding_info["currency"],
                    "ticker_suffix": holding_info["symbol"],
                    "internal_id": int(holding["internal_id"]),
                })  # fmt: skip
                continue
            holding.update({
                "isin": holding_info["isin"],
                "ticker": holding_info["symbol"],
                "company": holding_info["name"],
                "exchange_id": holding_info["exchangeId"],
                "exchange_name": exchanges_info[exchange_index]["name"],
                "exchange_city": exchanges_info[exchange_index].get("city"),
                "exchange_country": exchanges_info[exchange_index]["country"],
                "currency": holding_info["currency"],
                "ticker_suffix": self._get_ticker_with_suffix(
                    holding_info["symbol"],
                    exchanges_info[exchange_index].get("micCode"),
                    exchanges_info[exchange_index]["country"],
                    exchange_mic_to_suffix_dict,
                ),
                "internal_id": int(holding["internal_id"]),
            })  # fmt: skip
        return holdings

    def _get_ticker_with_suffix(self, ticker_name, exchange_mic, exchange_country, exchange_mic_to_suffix_dict):
        suffix = exchange_mic_to_suffix_dict.get(exchange_mic)
        if not suffix or exchange_country == "US":
            return ticker_name
        return f"{ticker_name}.{suffix}"

    def _can_cast_to_int(self, value):
        try:
            int(value)
            return True
        except ValueError:
            return False


class PythonTicker:
    """Puts the suffix rule in Python, so the native broker cannot take its own path."""

    _get_ticker_with_suffix = Reference._get_ticker_with_suffix


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
                    "size": st.sampled_from([1.0, 10.0, 0.0, 2, "7"]),
                },
                optional={"extra": st.just(1)},
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
            "symbol": draw(st.sampled_from(["ABC", "GOOGL", 123, "Ä"])),
            "name": draw(st.sampled_from(["Company", "Société Générale"])),
            "currency": draw(st.sampled_from(["EUR", "USD"])),
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
        "python_ticker": draw(st.booleans()),
    }
    suffixes = draw(st.sampled_from([{"XAMS": "AS", "XETR": "DE", "XNAS": ""}, {}, {"XAMS": 7, "CATS": "L"}]))
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
    return positions, products, built, dict(suffixes)


def run(broker_class, plan, monkeypatch):
    log = []
    connector = Connector().install(monkeypatch)
    connector.positions, connector.products, connector.exchanges, connector.suffixes = build(plan, log)
    broker = broker_class()
    broker.trading_api = connector.api(None)
    try:
        outcome = ("result", broker.get_current_stock_holdings())
    except Exception as error:  # noqa: BLE001 - the outcome is what is compared
        outcome = ("raised", type(error), str(error))
    return outcome, connector.events(), log


@settings(max_examples=examples(400), deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(plans())
def test_same_result_as_plain_python(plan):
    python_ticker = plan[4]["python_ticker"]
    native = type("Native", (PythonTicker, BrokerDeGiro), {}) if python_ticker else BrokerDeGiro
    reference = type("Reference", (PythonTicker, Reference), {}) if python_ticker else Reference
    with pytest.MonkeyPatch.context() as mp:
        ours = run(native, plan, mp)
    with pytest.MonkeyPatch.context() as mp:
        theirs = run(reference, plan, mp)
    event(ours[0][0] if ours[0][0] == "result" else ours[0][1].__name__)
    assert ours == theirs


@pytest.mark.parametrize(
    "mutation, expected",
    [("renumber", '"exchange_name": "first"'), ("reverse", '"exchange_name": "third"'), ("pop", '"exchange_name": "second"')],
)
def test_the_join_sees_an_exchange_list_changed_mid_way(monkeypatch, mutation, expected):
    """An exchange id compared by Python code changes the list while the first
    record is joined; the second record must see the list as changed."""
    positions = [{"id": "1", "value": 1.0, "size": 1.0}, {"id": "2", "value": 1.0, "size": 1.0}]
    products = {"1": {"isin": "A", "symbol": "S", "name": "N", "currency": "EUR", "exchangeId": "5"},
                "2": {"isin": "B", "symbol": "T", "name": "M", "currency": "EUR", "exchangeId": "200"}}  # fmt: skip
    exchanges = [{"id": 1, "name": "first", "country": "NL"}, {"id": 5, "name": "odd", "country": "NL"},
                 {"id": 200, "name": "second", "country": "NL"}, {"id": 200, "name": "third", "country": "NL"}]  # fmt: skip
    plan = (positions, products, exchanges, {},
            {"weird_ids": [(1, 5, mutation)], "mapping_positions": False, "mapping_exchanges": False,
             "tuple_exchanges": False, "python_ticker": False})  # fmt: skip
    ours = run(BrokerDeGiro, plan, monkeypatch)
    theirs = run(Reference, plan, monkeypatch)
    assert ours == theirs
    assert expected in ours[0][1]
