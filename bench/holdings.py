"""Local cost of the brokers' holdings, network left out: DEGIRO's, Trading 212's and Interactive Brokers'.

DEGIRO: the connector is replaced by objects that answer at once from
prepared dicts (shaped as DEGIRO's JSON gives them: position rows of
name/value attributes), so what is measured is reading the rows, the
selection, the product and exchange join, and json.dumps or the position
records. Side by side:

  baseline  the same algorithm written in plain Python, on the same fakes
  morbex    BrokerDeGiro.get_current_stock_holdings(), or get_positions()
  floor     json.dumps alone on the records morbex builds (the holdings text is that text)

Interactive Brokers: a Flex statement's XML bytes (the sandbox's, with
generated positions and their lots) to the holdings text. Side by side:

  baseline  xml.etree.ElementTree and plain Python (tests/ibkr_reference.py)
  morbex    morbex.ibkr._holdings_of_statement, what get_current_stock_holdings
            does with a statement (expat through pyexpat's capsule)
  expat     pyexpat parsing the same bytes with no handler at all: what any
            reader built on expat pays before it keeps anything

Trading 212: the mapping behind BrokerTrading212.get_current_stock_holdings
(morbex.trading212._holdings_of), from the three answers as response.json()
gives them (decoded from their JSON text): 10 000 positions, an instrument
list of 18 000 (about what Trading 212 lists) and its exchanges. Side by side:

  baseline  the same mapping in plain Python (tests/trading212_reference.py), then json.dumps
  morbex    _holdings_of(positions, instruments, exchanges)
  floor     json.dumps alone on the records (its result is that text)

Run: .venv/bin/python bench/holdings.py
"""

import json
import random
import sys
import time
from pathlib import Path

import pyexpat

import morbex.ibkr as ibkr
import morbex.keelson as keelson
import morbex.trading212 as trading212

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "sandbox")]
import ibkr_reference  # noqa: E402  (the plain-Python reading the tests compare with)
import trading212_reference  # noqa: E402  (the plain-Python Trading 212 mapping the tests use)
from ibkr_sandbox.statement import generated_positions, statement_xml  # noqa: E402
from keelson_reference import Reference, flattened  # noqa: E402  (the plain-Python version the tests use)

EXCHANGES = 200
SIZES = (100, 10_000)
IBKR_SIZES = (100, 10_000)


# (name, city, country, MIC) as DEGIRO's products configuration lists them.
VENUES = [
    ("Euronext Amsterdam", "Amsterdam", "NL", "XAMS"), ("NASDAQ", "New York", "US", "XNAS"),
    ("NYSE", "New York", "US", "XNYS"), ("Xetra", "Frankfurt", "DE", "XETR"),
    ("Euronext Paris", "Paris", "FR", "XPAR"), ("London Stock Exchange", "London", "GB", "XLON"),
    ("Nasdaq Helsinki", "Helsinki", "FI", "XHEL"), ("Nasdaq Copenhagen", "Copenhagen", "DK", "XCSE"),
    ("Borsa Italiana", "Milan", "IT", "XMIL"), ("SIX Swiss Exchange", "Zurich", "CH", "XSWX"),
    ("Euronext Brussels", "Brussels", "BE", "XBRU"), ("Bolsa de Madrid", "Madrid", "ES", "XMAD"),
    ("Toronto Stock Exchange", "Toronto", "CA", "XTSE"), ("Cboe Europe", None, "GB", "CATS"),
    ("FundShare Matching", None, "NL", None),
]  # fmt: skip
COMPANIES = [
    "ALPHABET INC. - CLASS", "ASML HOLDING", "ROYAL DUTCH SHELL PLC", "SAP SE", "NOVO NORDISK A/S",
    "APPLE INC. - COMMON ST", "KONINKLIJKE PHILIPS N.V.", "UNILEVER PLC", "NOKIA CORPORATION",
    "MICROSOFT CORPORATION -", "LVMH MOET HENNESSY LOUI", "ADYEN N.V.", "ING GROEP N.V.",
]  # fmt: skip


def make_portfolio(positions, seed=1):
    """Shaped as the connector delivers them with raw=True: DEGIRO's position
    rows, product details and products configuration."""
    rng = random.Random(seed)
    exchanges = []
    for i in range(EXCHANGES):
        name, city, country, mic = VENUES[i % len(VENUES)]
        exchange = {"id": 100 + 7 * i, "name": name, "code": name[:3].upper(), "hiqAbbr": name[:3].upper(),
                    "country": country, "city": city, "micCode": mic}  # fmt: skip
        for key in ("city", "micCode"):  # DEGIRO leaves these out for some venues
            if exchange[key] is None:
                del exchange[key]
        exchanges.append(exchange)

    rows, products = [], {}
    for i in range(positions):
        product_id = str(1_000_000 + 37 * i)
        size = rng.randint(1, 500)
        price = round(rng.uniform(1, 500), 2)
        value = round(size * price, 2)
        rows.append({
            "id": product_id, "positionType": "PRODUCT", "size": size, "price": price, "value": value,
            "plBase": {"EUR": -round(value * 0.9, 2)}, "todayPlBase": {"EUR": -value},
            "portfolioValueCorrection": 0.0, "breakEvenPrice": round(price * 0.9, 2), "averageFxRate": 1.0,
            "realizedProductPl": 0.0, "realizedFxPl": 0.0, "todayRealizedProductPl": 0.0, "todayRealizedFxPl": 0.0,
        })  # fmt: skip
        products[product_id] = {
            "id": product_id, "name": rng.choice(COMPANIES), "isin": f"NL{rng.randrange(10**10):010d}",
            "symbol": f"C{i % 997}", "contractSize": 1.0, "productType": "STOCK", "productTypeId": 1,
            "tradable": True, "category": "A", "currency": rng.choice(["EUR", "USD", "GBP"]), "active": True,
            "exchangeId": str(rng.choice(exchanges)["id"]), "onlyEodPrices": False,
            "orderTimeTypes": ["DAY", "GTC"], "buyOrderTypes": ["LIMIT", "MARKET", "STOPLOSS", "STOPLIMIT"],
            "sellOrderTypes": ["LIMIT", "MARKET", "STOPLOSS", "STOPLIMIT"], "closePrice": price,
            "closePriceDate": "2024-01-05", "feedQuality": "R", "orderBookDepth": 0,
            "vwdIdentifierType": "issueid", "vwdId": str(350_000_000 + i), "qualitySwitchable": False,
            "qualitySwitchFree": False, "vwdModuleId": 1,
        }  # fmt: skip
    # Cash and closed positions are dropped by the selection.
    rows.insert(0, {"id": "FLATEX_EUR", "positionType": "CASH", "size": 1520.5, "value": 1520.5})
    rows.insert(len(rows) // 2, {"id": "1", "positionType": "PRODUCT", "size": 0, "price": 3.0, "value": 0})
    rows = [{"name": "positionrow", "id": row["id"], "isAdded": True,
             "value": [{"name": name, "value": value, "isAdded": True} for name, value in row.items()]}
            for row in rows]  # fmt: skip
    update = {"portfolio": {"lastUpdated": 42, "name": "portfolio", "isAdded": True, "value": rows}}
    return update, {"data": products}, {"exchanges": exchanges}


class InstantAPI:
    def __init__(self, update, products_info, products_config):
        self.update, self.products_info, self.products_config = update, products_info, products_config

    def get_update(self, request_list, raw):
        return self.update

    def get_products_info(self, product_list, raw):
        return self.products_info

    def get_products_config(self):
        return self.products_config


def best_of(fn, seconds=1.0, rounds=5):
    """Fastest time of one call: each round runs fn for about seconds / rounds."""
    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-6)
    loops = max(1, int(seconds / rounds / once))
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        for _ in range(loops):
            fn()
        best = min(best, (time.perf_counter() - start) / loops)
    return best


def trading212_row(positions=10_000, instruments=18_000):
    """Trading 212's mapping, printed as a row of the table; its speed-up."""
    answers = [json.loads(json.dumps(answer)) for answer in trading212_reference.answers(positions, instruments)]
    text = trading212._holdings_of(*answers)
    assert text == trading212_reference.holdings(*answers), "results differ"
    records = json.loads(text)
    t_base = best_of(lambda: trading212_reference.holdings(*answers), seconds=3.0)
    t_ours = best_of(lambda: trading212._holdings_of(*answers))
    t_json = best_of(lambda: json.dumps(records))
    speedup, overhead = t_base / t_ours, t_ours / t_json
    print(f"{'t212':>9} {positions:>9} {t_base * 1e3:>9.3f}ms {t_ours * 1e3:>9.3f}ms {t_json * 1e3:>9.3f}ms "
          f"{speedup:>15.1f}x {overhead:>17.2f}x  Trading 212, {instruments} instruments")
    return speedup


def main():
    print(f"{'query':>9} {'positions':>9} {'baseline':>11} {'morbex':>11} {'json.dumps':>11} "
          f"{'baseline/morbex':>16} {'morbex/json.dumps':>18}")
    ok = True
    for positions in SIZES:
        api = InstantAPI(*make_portfolio(positions))
        broker = keelson.BrokerDeGiro()
        broker.trading_api = api
        baseline = Reference()
        baseline.trading_api = api
        broker.int_account = baseline.int_account = 31415926

        text = broker.get_current_stock_holdings()
        assert text == baseline.get_current_stock_holdings(), "results differ"
        rows = api.update["portfolio"]["value"]
        records = broker._aggregated_active_holdings([flattened(row) for row in rows])
        assert json.dumps(records) == text

        t_base = best_of(baseline.get_current_stock_holdings, seconds=3.0 if positions > 1000 else 1.0)
        t_ours = best_of(broker.get_current_stock_holdings)
        t_json = best_of(lambda: json.dumps(records))
        speedup, overhead = t_base / t_ours, t_ours / t_json
        print(f"{'holdings':>9} {positions:>9} {t_base * 1e3:>9.3f}ms {t_ours * 1e3:>9.3f}ms {t_json * 1e3:>9.3f}ms "
              f"{speedup:>15.1f}x {overhead:>17.2f}x")

        def timeless(records):
            return [{**record, "as_of": None} for record in records]

        assert timeless(broker.get_positions()) == timeless(baseline.get_positions()), "positions differ"
        p_base = best_of(baseline.get_positions, seconds=3.0 if positions > 1000 else 1.0)
        p_ours = best_of(broker.get_positions)
        p_speedup = p_base / p_ours
        print(f"{'positions':>9} {positions:>9} {p_base * 1e3:>9.3f}ms {p_ours * 1e3:>9.3f}ms {'':>11} "
              f"{p_speedup:>15.1f}x {'':>18}")
        if positions == max(SIZES):
            ok = speedup >= 8 and overhead <= 1.0 and p_speedup >= 8
    print(f"targets at {max(SIZES)} positions (holdings and positions >= 8x the baseline, holdings <= 1.0x "
          f"json.dumps): {'met' if ok else 'MISSED'}")
    t212 = trading212_row()
    print(f"Trading 212 target at 10000 positions (>= 8x the baseline): {'met' if t212 >= 8 else 'MISSED'}")
    return ibkr_main() and ok and t212 >= 8


def expat_alone(statement):
    pyexpat.ParserCreate().Parse(statement, True)


def ibkr_main():
    print(f"\nInteractive Brokers, a Flex statement's XML to the holdings text\n"
          f"{'positions':>9} {'bytes':>10} {'baseline':>11} {'morbex':>11} {'expat':>11} "
          f"{'baseline/morbex':>16} {'baseline/expat':>15}")
    ok = True
    for positions in IBKR_SIZES:
        statement = statement_xml(generated_positions(positions))
        assert ibkr._holdings_of_statement(statement) == ibkr_reference.holdings_text(statement), "results differ"
        seconds = 3.0 if positions > 1000 else 1.0
        t_base = best_of(lambda: ibkr_reference.holdings_text(statement), seconds=seconds)
        t_ours = best_of(lambda: ibkr._holdings_of_statement(statement), seconds=seconds)
        t_expat = best_of(lambda: expat_alone(statement), seconds=seconds)
        speedup = t_base / t_ours
        print(f"{positions:>9} {len(statement):>10} {t_base * 1e3:>9.3f}ms {t_ours * 1e3:>9.3f}ms "
              f"{t_expat * 1e3:>9.3f}ms {speedup:>15.1f}x {t_base / t_expat:>14.1f}x")
        if positions == max(IBKR_SIZES):
            ok = speedup >= 5
    print(f"target at {max(IBKR_SIZES)} positions (>= 5x the baseline): {'met' if ok else 'MISSED'}; expat alone "
          f"bounds what any reader on it can reach (baseline/expat)")
    return ok


if __name__ == "__main__":
    main()
