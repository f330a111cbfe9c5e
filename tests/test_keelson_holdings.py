"""morbex.keelson's holdings, positions and cash against the recording stand-ins (keelson_fakes): the
selection, the join, tickers, and what each method is looked up as."""

import json
import math

import pytest
from fuzz_budget import examples
from hypothesis import given, settings
from hypothesis import strategies as st
from keelson_fakes import CASH_FUNDS, PORTFOLIO, connected
from schemas import check_cash_balances, check_positions

import morbex.keelson as keelson
from morbex.keelson import BrokerDeGiro
from morbex.records import HOLDING_KEYS



# --- holdings ---------------------------------------------------------------------

EXCHANGES = [
    {"id": 200, "name": "Euronext Amsterdam", "code": "EAM", "country": "NL", "city": "Amsterdam", "micCode": "XAMS"},
    {"id": 663, "name": "NASDAQ", "country": "US", "city": "New York", "micCode": "XNAS"},
    {"id": 194, "name": "Xetra", "country": "DE", "city": "Frankfurt", "micCode": "XETR"},
    {"id": 10000, "name": "FundShare Matching", "country": "NL"},
]


def product(pid, exchange_id, symbol="ABC", **extra):
    return {
        "id": pid, "name": f"Company {pid}", "isin": f"NL{pid:0>10}", "symbol": symbol,
        "currency": "EUR", "exchangeId": exchange_id, "productType": "STOCK", **extra,
    }  # fmt: skip


def position(pid, value=125.0, size=10.0):
    return {"id": pid, "positionType": "PRODUCT", "size": size, "price": 12.5, "value": value}


def record(internal_id, quantity, **values):
    return {key: values.get(key, internal_id if key == "internal_id" else quantity if key == "quantity" else None)
            for key in HOLDING_KEYS}  # fmt: skip


def holdings_of(connector, positions, products, exchanges=EXCHANGES):
    connector.positions, connector.products, connector.exchanges = positions, products, exchanges
    return connector


def test_holdings_end_to_end(connector):
    broker = connected(connector)
    holdings_of(
        connector,
        [position("332111"), position("FLATEX_EUR", 1520.5), position("1153605", 0.0), position("8066561", -3.5, 2.0)],
        {"332111": product("332111", "200"), "8066561": product("8066561", "663", symbol="GOOGL")},
    )
    text = broker.get_current_stock_holdings()
    assert json.loads(text) == [
        record(332111, 10.0, isin="NL0000332111", ticker="ABC", ticker_suffix="ABC.AS", company="Company 332111",
               exchange_id="200", exchange_name="Euronext Amsterdam", exchange_city="Amsterdam",
               exchange_country="NL", currency="EUR"),
        record(8066561, 2.0, isin="NL0008066561", ticker="GOOGL", ticker_suffix="GOOGL", company="Company 8066561",
               exchange_id="663", exchange_name="NASDAQ", exchange_city="New York", exchange_country="US",
               currency="EUR"),
    ]  # fmt: skip
    assert text == json.dumps(json.loads(text))  # json.dumps's defaults, keys in record order
    api = broker.trading_api
    assert [name for name, *_ in api.calls] == ["get_update", "get_products_info", "get_products_config"]
    request = ("request", {"option": PORTFOLIO, "last_updated": 0})
    assert api.calls[0] == ("get_update", (), {"request_list": [request], "raw": True})
    assert api.calls[1] == ("get_products_info", (), {"product_list": [332111, 8066561], "raw": True})
    assert api.calls[2] == ("get_products_config", (), {})
    assert connector.events().count("get_exchange_mic_to_suffix_dict") == 1


def test_json_is_looked_up_and_called_at_call_time(connector, monkeypatch):
    broker = connected(connector)
    seen = []
    monkeypatch.setattr(keelson, "json", type("J", (), {"dumps": staticmethod(lambda *a, **k: seen.append((a, k)) or "T")}))
    assert broker.get_current_stock_holdings() == "T"
    [(args, kwargs)] = seen
    assert args == ([],) and kwargs == {}


def test_empty_portfolio_still_asks_for_products_and_config(connector):
    broker = connected(connector)
    assert broker.get_current_stock_holdings() == "[]"
    assert [name for name, *_ in broker.trading_api.calls] == ["get_update", "get_products_info", "get_products_config"]
    assert connector.log[-1][0] == "get_exchange_mic_to_suffix_dict"


def test_not_authenticated(connector):
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'get_update'"):
        BrokerDeGiro().get_current_stock_holdings()


# --- positions and cash ------------------------------------------------------------

WORTH = {"price": 12.5, "breakEvenPrice": 10.0, "plBase": {"EUR": -90.0}}
# row, product -> mic, price, value, average_price, base_currency, base_value, major_currency, unit_scale
POSITIONS = {
    "listed": ({**position("1"), **WORTH}, product("1", "200"), ("XAMS", 12.5, 125.0, 10.0, "EUR", 125.0, "EUR", 1)),
    "pence, ints on the wire": (
        {"id": "2", "size": 40, "value": 3081, "price": 8134, "breakEvenPrice": 9520, "plBase": {"EUR": 1}},
        product("2", "194", currency="GBX"), ("XETR", 8134.0, 325360.0, 9520.0, "EUR", 3081.0, "GBP", 100),
    ),
    "decimal product": ({**position("3", size=40.0), "price": 81.34}, product("3", "663", currency="USD"),
                        ("XNAS", 81.34, 3253.6, None, None, 125.0, "USD", 1)),
    "fund without MIC, nothing usable": ({**position("4"), "price": "n/a", "plBase": {"EUR": 1.0, "USD": 2.0}},
                                         product("4", "10000"), (None, None, None, None, None, 125.0, "EUR", 1)),
    "unlisted exchange": (position("5"), product("5", "1999"), (None, 12.5, 125.0, None, None, 125.0, "EUR", 1)),
}  # fmt: skip


def test_positions(connector):
    broker = connected(connector)
    rows = [row for row, _, _ in POSITIONS.values()]
    holdings_of(connector, [position("FLATEX_EUR", 1520.5), *rows], {p["id"]: p for _, p, _ in POSITIONS.values()})
    positions = broker.get_positions()

    check_positions(positions)
    assert [name for name, *_ in broker.trading_api.calls] == ["get_update", "get_products_info", "get_products_config"]
    assert [tuple(p[key] for key in list(p)[len(HOLDING_KEYS) :] if key not in ("account", "as_of")) for p in positions] == [
        expected for *_, expected in POSITIONS.values()
    ]
    assert [{key: p[key] for key in HOLDING_KEYS} for p in positions] == json.loads(broker.get_current_stock_holdings())
    assert {(p["account"], p["as_of"]) for p in positions} == {("1234567", positions[0]["as_of"])}


def fund(fund_id, currency, value):
    return {"id": fund_id, "currencyCode": currency, "value": value}


def test_cash_balances(connector):
    broker = connected(connector)
    connector.cash_funds = [fund(2, "EUR", 1535.5), fund(3, "USD", 312.9), fund(4, "CHF", 0), fund(5, "EUR", -35.5),
                            fund(6, "GBP", 86)]  # fmt: skip
    balances = broker.get_cash_balances()

    check_cash_balances(balances)
    assert [(b["currency"], b["amount"], b["account"]) for b in balances] == [
        ("EUR", 1500.0, "1234567"), ("USD", 312.9, "1234567"), ("GBP", 86.0, "1234567")
    ]  # fmt: skip
    request = ("request", {"option": CASH_FUNDS, "last_updated": 0})
    assert broker.trading_api.calls == [("get_update", (), {"request_list": [request], "raw": True})]


@pytest.mark.parametrize("funds, error", [([{"id": 1, "value": 5.0}], KeyError), ([fund(1, "EUR", "5")], TypeError)])
def test_cash_failures(connector, funds, error):
    connector.cash_funds = funds
    with pytest.raises(error):
        connected(connector).get_cash_balances()


@pytest.mark.parametrize(
    "positions, kept",
    [
        ([position("1", 0), position("2", 0.0), position("3", -0.0)], []),
        ([position("1", -5.0), position("2", math.nan), position("3", 1)], ["1", "2", "3"]),
        ([position("1", None), position("2", "0")], ["1", "2"]),
        ([position("EUR"), position("FLATEX_EUR"), position("12.5"), position("")], []),
        ([position("7"), position(" 7 "), position("-7"), position("1_000"), position(7), position(7.9)],
         ["7", " 7 ", "-7", "1_000", 7, 7.9]),
        ([position("5"), position("5"), position("4")], ["5", "5", "4"]),
    ],
)  # fmt: skip
def test_position_selection(connector, positions, kept):
    broker = connected(connector)
    holdings_of(connector, positions, {pid: product(pid, 200) for pid in kept})
    result = json.loads(broker.get_current_stock_holdings())
    assert [r["internal_id"] for r in result] == [int(pid) for pid in kept]
    assert broker.trading_api.calls[1][2]["product_list"] == [int(pid) for pid in kept]


@pytest.mark.parametrize(
    "positions, error",
    [
        ([{"id": "1", "size": 1.0}], KeyError),
        ([{"value": 1.0, "size": 1.0}], KeyError),
        ([{"value": 1.0, "id": "1"}], KeyError),
        ([position(None)], TypeError),
        ([position([1])], TypeError),
        ([position(math.inf)], OverflowError),
        ([None], TypeError),
    ],
)
def test_position_failures(connector, positions, error):
    broker = connected(connector)
    holdings_of(connector, positions, {})
    with pytest.raises(error):
        broker.get_current_stock_holdings()
    assert [name for name, *_ in broker.trading_api.calls] == ["get_update"]


@pytest.mark.parametrize(
    "value, expected",
    [(7, True), ("7", True), ("-7", True), ("1_000", True), (" 7 ", True), (7.9, True), (True, True),
     ("7.9", False), ("abc", False), ("", False), ("٣", True)],
)  # fmt: skip
def test_can_cast_to_int(value, expected):
    assert BrokerDeGiro()._can_cast_to_int(value) is expected


@pytest.mark.parametrize("value, error", [(None, TypeError), ([], TypeError), (math.inf, OverflowError)])
def test_can_cast_to_int_passes_other_errors(value, error):
    with pytest.raises(error):
        BrokerDeGiro()._can_cast_to_int(value)


def test_create_new_active_holding():
    size = [10]
    holding = BrokerDeGiro()._create_new_active_holding("332111", size)
    assert tuple(holding) == HOLDING_KEYS and type(holding) is dict
    assert holding["internal_id"] == "332111" and holding["quantity"] is size
    assert [holding[key] for key in HOLDING_KEYS[1:-1]] == [None] * 9


@pytest.mark.parametrize(
    "ticker, mic, country, mapping, expected",
    [
        ("ABC", "XAMS", "NL", {"XAMS": "AS"}, "ABC.AS"),
        ("ABC", "XAMS", "US", {"XAMS": "AS"}, "ABC"),
        ("ABC", "XNYS", "NL", {"XAMS": "AS"}, "ABC"),
        ("ABC", "XAMS", "NL", {"XAMS": ""}, "ABC"),
        ("ABC", "XAMS", "NL", {"XAMS": 0}, "ABC"),
        ("ABC", "XAMS", "us", {"XAMS": "AS"}, "ABC.AS"),
        ("ABC", "XAMS", "USA", {"XAMS": "AS"}, "ABC.AS"),
        ("ABC", "XAMS", "NL", {"XAMS": " as "}, "ABC. as "),
        (123, "XAMS", "NL", {"XAMS": "AS"}, "123.AS"),
        ("ABC", "XAMS", "NL", {"XAMS": 4}, "ABC.4"),
        ("ABC", None, None, {"XAMS": "AS"}, "ABC"),
        # Yahoo's form: LSE's trailing dot dropped, share classes after a dash, Hong Kong's four digits
        ("BP.", "XLON", "GB", {"XLON": "L"}, "BP.L"),
        ("NOVO B", "XCSE", "DK", {"XCSE": "CO"}, "NOVO-B.CO"),
        ("BT.A", "XLON", "GB", {"XLON": "L"}, "BT-A.L"),
        ("BRK.B", "XNYS", "US", {"XNYS": ""}, "BRK-B"),
        ("BBD.B", None, "CA", {}, "BBD-B"),
        ("700", "XHKG", "HK", {"XHKG": "HK"}, "0700.HK"),
        ("9988", "XHKG", "HK", {"XHKG": "HK"}, "9988.HK"),
        ("700", "XAMS", "NL", {"XAMS": "AS"}, "700.AS"),
        ("700", "XHKG", "US", {"XHKG": "HK"}, "700"),
        (700, "XHKG", "HK", {"XHKG": "HK"}, "700.HK"),
        ("Ä B.", "XHEL", "FI", {"XHEL": "HE"}, "Ä-B.HE"),
    ],
)
def test_ticker_with_suffix(ticker, mic, country, mapping, expected):
    assert BrokerDeGiro()._get_ticker_with_suffix(ticker, mic, country, mapping) == expected


@settings(max_examples=examples(300))
@given(st.text(alphabet="AB7 .Ä", max_size=6), st.sampled_from(["AS", "HK", "", "L"]), st.sampled_from(["NL", "US"]))
def test_only_yahoos_rules_change_a_ticker(symbol, suffix, country):
    ours = BrokerDeGiro()._get_ticker_with_suffix(symbol, "M", country, {"M": suffix})
    as_joined = symbol if not suffix or country == "US" else f"{symbol}.{suffix}"
    hong_kong = suffix == "HK" and country != "US" and symbol.isdigit() and len(symbol) < 4
    if not ("." in symbol or " " in symbol or hong_kong):
        assert ours == as_joined


def test_ticker_without_suffix_is_the_same_object():
    ticker = 123
    assert BrokerDeGiro()._get_ticker_with_suffix(ticker, "X", "NL", {}) is ticker


def test_suffix_mapping_is_read_through_get_only():
    class OnlyGet:
        def __init__(self):
            self.asked = []

        def get(self, *args):
            self.asked.append(args)
            return "DE"

    mapping = OnlyGet()
    assert BrokerDeGiro()._get_ticker_with_suffix("SAP", "XETR", "US", mapping) == "SAP"
    assert mapping.asked == [("XETR",)]


def map_one(products, exchanges, pid="1", suffixes=None, monkeypatch=None):
    holdings = [BrokerDeGiro()._create_new_active_holding(pid, 3.0)]
    if monkeypatch is not None:
        monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", lambda: suffixes or {"XAMS": "AS"})
    result = BrokerDeGiro()._map_holdings_with_info(holdings, products, exchanges)
    assert result is holdings
    return result[0]


@pytest.mark.parametrize(
    "exchange_id, exchanges, expected",
    [
        ("200", EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        ("0200", EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        (200, EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        (" 200 ", EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        (200.7, EXCHANGES, ("Euronext Amsterdam", "Amsterdam", "NL", "ABC.AS")),
        ("200", [{"id": "200", "name": "text id", "country": "NL"}], (None, None, None, "ABC")),
        ("200", [{"id": 200.0, "name": "float id", "country": "NL"}], ("float id", None, "NL", "ABC")),
        ("200", [{"id": 200, "name": "first", "country": "NL", "micCode": "XAMS"},
                 {"id": 200, "name": "second", "country": "DE", "city": "X", "micCode": "XETR"}],
         ("first", None, "NL", "ABC.AS")),
        ("10000", EXCHANGES, ("FundShare Matching", None, "NL", "ABC")),
        ("4", EXCHANGES, (None, None, None, "ABC")),
        ("abc", [], (None, None, None, "ABC")),
    ],
)  # fmt: skip
def test_exchange_join(monkeypatch, exchange_id, exchanges, expected):
    done = map_one({"1": product("1", exchange_id)}, exchanges, monkeypatch=monkeypatch)
    assert tuple(done) == HOLDING_KEYS
    assert (done["exchange_name"], done["exchange_city"], done["exchange_country"], done["ticker_suffix"]) == expected
    assert done["exchange_id"] is exchange_id and done["internal_id"] == 1 and done["quantity"] == 3.0


@pytest.mark.parametrize(
    "products, exchanges, error",
    [
        ({}, EXCHANGES, KeyError("1")),
        ({1: product("1", "200")}, EXCHANGES, KeyError("1")),
        ({"1": product("1", "abc")}, EXCHANGES, ValueError),
        ({"1": product("1", None)}, EXCHANGES, TypeError),
        ({"1": {"isin": "X", "symbol": "S", "name": "N", "currency": "EUR"}}, EXCHANGES, KeyError("exchangeId")),
        ({"1": product("1", "abc")}, [{"name": "no id"}], KeyError("id")),
        ({"1": product("1", "200")}, [{"id": 1}, {"name": "no id"}], KeyError("id")),
        ({"1": product("1", "200")}, [{"id": 200, "country": "NL"}], KeyError("name")),
        ({"1": product("1", "200")}, [{"id": 200, "name": "E"}], KeyError("country")),
    ]
    + [({"1": {k: v for k, v in product("1", "200").items() if k != key}}, EXCHANGES, KeyError(key))
       for key in ("isin", "symbol", "name", "currency")],
)  # fmt: skip
def test_join_failures(monkeypatch, products, exchanges, error):
    with pytest.raises(error if isinstance(error, type) else type(error)) as caught:
        map_one(products, exchanges, monkeypatch=monkeypatch)
    if isinstance(error, KeyError):
        assert caught.value.args == error.args


def test_empty_holdings_read_nothing(monkeypatch):
    class Untouchable:
        def __getattribute__(self, name):
            raise AssertionError(f"read {name}")

    calls = []
    monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", lambda: calls.append(1) or {})
    holdings = []
    assert BrokerDeGiro()._map_holdings_with_info(holdings, Untouchable(), Untouchable()) is holdings
    assert calls == [1]


def test_suffix_mapping_failure_changes_nothing(monkeypatch):
    def broken():
        raise LookupError("no table")

    monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", broken)
    holdings = [BrokerDeGiro()._create_new_active_holding("1", 1.0)]
    with pytest.raises(LookupError):
        BrokerDeGiro()._map_holdings_with_info(holdings, {"1": product("1", "200")}, EXCHANGES)
    assert holdings == [record("1", 1.0)]


def test_records_before_a_failure_are_complete(monkeypatch):
    monkeypatch.setattr(keelson, "get_exchange_mic_to_suffix_dict", dict)
    holdings = [BrokerDeGiro()._create_new_active_holding(pid, 1.0) for pid in ("1", "2", "3")]
    products = {"1": product("1", "200"), "3": product("3", "200")}
    with pytest.raises(KeyError):
        BrokerDeGiro()._map_holdings_with_info(holdings, products, EXCHANGES)
    assert holdings[0]["internal_id"] == 1 and holdings[0]["exchange_name"] == "Euronext Amsterdam"
    assert holdings[1:] == [record("2", 1.0), record("3", 1.0)]


class Overrides(BrokerDeGiro):
    def _can_cast_to_int(self, value):
        return value != "skip"

    def _create_new_active_holding(self, id, size):
        return {**super()._create_new_active_holding(id, size), "extra": "kept"}

    def _get_ticker_with_suffix(self, ticker_name, exchange_mic, exchange_country, exchange_mic_to_suffix_dict):
        return f"{ticker_name}@{exchange_mic}"


def test_methods_are_looked_up_on_self(connector):
    broker = Overrides()
    broker.trading_api = connected(connector).trading_api
    holdings_of(connector, [position("skip"), position("1")], {"1": product("1", "200")})
    [done] = json.loads(broker.get_current_stock_holdings())
    assert done["ticker_suffix"] == "ABC@XAMS" and list(done)[-1] == "extra"


def test_instance_attributes_shadow_methods(connector):
    broker = connected(connector)
    broker._get_ticker_with_suffix = lambda *args: "from the instance"
    holdings_of(connector, [position("1")], {"1": product("1", "200")})
    assert json.loads(broker.get_current_stock_holdings())[0]["ticker_suffix"] == "from the instance"


def test_int_is_looked_up_at_call_time(connector, monkeypatch):
    broker = connected(connector)
    holdings_of(connector, [position("1")], {"1": product("1", "200")})
    converted = []

    def recording_int(value):
        converted.append(value)
        return int(value)

    monkeypatch.setattr(keelson, "int", recording_int, raising=False)
    json.loads(broker.get_current_stock_holdings())
    # the check, the id list, the exchange scan (one entry compared), the record
    assert converted == ["1", "1", "200", "1"]
