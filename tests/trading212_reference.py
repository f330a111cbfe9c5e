"""Trading 212's holdings mapping in plain Python, written as it reads: the
text morbex.trading212._holdings_of must give, character for character, and
the baseline bench/holdings.py measures it against. Also made-up answers of
Trading 212's shapes, for both."""

import json
import random
import struct
from pathlib import Path

from keelson_reference import yahoo

DATA = Path(__file__).resolve().parent.parent / "data" / "exchanges.tsv"


def _venues():
    """The exchange table's rows by the names Trading 212 gives its exchanges."""
    lines = [line.rstrip("\n").split("\t") for line in DATA.read_text(encoding="utf-8").splitlines(True)
             if line.strip() and not line.startswith("#")]  # fmt: skip
    header, *rows = lines
    venues = {}
    for cells in rows:
        row = dict(zip(header, cells))
        for name in filter(None, row["trading212"].split("|")):
            venues[name] = row
    return venues


VENUES = _venues()


def _either(own, listed, key):
    return own if own is not None else (listed or {}).get(key)


def holdings(positions, instruments, exchanges):
    by_ticker = {}
    for instrument in instruments:
        by_ticker.setdefault(instrument["ticker"], instrument)
    by_schedule = {}
    for exchange in exchanges:
        for schedule in exchange["workingSchedules"]:
            by_schedule.setdefault(schedule["id"], exchange)

    records = []
    for position in positions:
        instrument = position["instrument"]
        listed = by_ticker.get(instrument["ticker"])
        exchange = by_schedule.get(listed.get("workingScheduleId")) if listed else None
        venue = VENUES.get(exchange["name"]) if exchange else None
        symbol = listed.get("shortName") if listed else None
        suffix = venue["suffix"] if venue and venue["suffix"] not in ("", "-") else None
        ticker_suffix = None
        if isinstance(symbol, str):
            ticker_suffix = f"{yahoo(symbol)}.{suffix}" if suffix else yahoo(symbol)
        records.append({
            "internal_id": instrument["ticker"],
            "isin": _either(instrument.get("isin"), listed, "isin"),
            "ticker": symbol,
            "ticker_suffix": ticker_suffix,
            "company": _either(instrument.get("name"), listed, "name"),
            "exchange_id": str(exchange["id"]) if exchange else None,
            "exchange_name": exchange["name"] if exchange else None,
            "exchange_city": venue["city"] if venue else None,
            "exchange_country": venue["country"] if venue else None,
            "currency": _either(instrument.get("currency"), listed, "currencyCode"),
            "quantity": float(position["quantity"]),
        })  # fmt: skip
    return json.dumps(records)


# (exchange id, name, working schedule ids): a few the exchange table knows,
# one it does not.
EXCHANGES = [
    (60, "NASDAQ", (71, 72)), (61, "NYSE", (73,)), (62, "London Stock Exchange", (74,)),
    (63, "Deutsche Börse Xetra", (75,)), (64, "Euronext Paris", (76,)), (65, "Euronext Amsterdam", (77,)),
    (66, "SIX Swiss Exchange", (78,)), (67, "OTC Markets", (79,)), (68, "Unlisted Exchange", (80,)),
]  # fmt: skip
# Names as the instrument list gives them, nearly all ASCII; the exotic ones
# only with `exotic`.
NAMES = ["Apple", "Microsoft", "Vodafone Group", "SAP", "ASML Holding", "Coca-Cola", "Invesco QQQ Trust Series 1",
         "Vanguard S&P 500 UCITS ETF", "Novartis", "LVMH Moët Hennessy Louis Vuitton"]  # fmt: skip
SYMBOLS = ["AAPL", "BP.", "BRK.B", "NOVO B", "VOD", "SAP", "MC", "ASML", "NOVN", "Ünï", 'Q"u\\ote', "Tab\there"]
EXOTIC_NAMES = ["Ørsted A/S", "Emoji 📈 Ltd", "Line\nBreak plc", "Quote \"Co\"", "Back\\slash", "\x7fDEL"]
CURRENCIES = ["USD", "GBX", "EUR", "CHF", "GBP"]


def answers(positions, instruments=None, seed=1, exotic=False):
    """Decoded answers of the positions, instruments and exchanges endpoints.

    Every tenth position's instrument is missing from the list; with
    `exotic`, quantities are any finite double (from random bits), some ISINs
    and names are left to the list, and schedules point nowhere.
    """
    rng = random.Random(seed)
    instruments = max(instruments or 0, positions)
    exchanges = [{"id": ident, "name": name, "workingSchedules": [{"id": s, "timeEvents": []} for s in schedules]}
                 for ident, name, schedules in EXCHANGES]  # fmt: skip
    schedules = [s for _, _, group in EXCHANGES for s in group] + ([99] if exotic else [])
    listed = []
    for i in range(instruments):
        symbol = f"{rng.choice(SYMBOLS)}{i}" if exotic else f"S{i}"
        listed.append({
            "ticker": f"{symbol}_EQ", "type": "STOCK", "workingScheduleId": rng.choice(schedules),
            "isin": f"XS{i:010d}", "currencyCode": rng.choice(CURRENCIES),
            "name": rng.choice(NAMES + EXOTIC_NAMES if exotic else NAMES),
            "shortName": symbol, "maxOpenQuantity": 1000.0, "extendedHours": False,
            "addedOn": "2024-06-03T12:00:00.000+03:00",
        })  # fmt: skip
    held = []
    for i, instrument in enumerate(rng.sample(listed, positions)):
        ticker = instrument["ticker"] if i % 10 else f"GONE{i}_US_EQ"
        if exotic:
            quantity = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
            while quantity != quantity or quantity in (float("inf"), float("-inf")):
                quantity = struct.unpack("<d", struct.pack("<Q", rng.getrandbits(64)))[0]
            quantity = rng.choice([quantity, rng.randint(1, 10**6), round(rng.uniform(0, 1e4), rng.randint(0, 6))])
        else:
            quantity = rng.choice([rng.randint(1, 500), round(rng.uniform(0.01, 500), 4)])
        price = round(rng.uniform(1, 900), 2)
        own = {"ticker": ticker, "name": instrument["name"], "isin": instrument["isin"],
               "currency": instrument["currencyCode"]}  # fmt: skip
        if exotic and i % 7 == 3:
            own["isin"] = own["name"] = None
        held.append({
            "instrument": own, "createdAt": "2023-05-17T14:32:05.000+03:00", "quantity": quantity,
            "quantityAvailableForTrading": quantity, "quantityInPies": 0, "currentPrice": price,
            "averagePricePaid": round(price * 0.9, 2),
            "walletImpact": {"currency": "EUR", "totalCost": 1.0, "currentValue": 2.0, "unrealizedProfitLoss": 1.0,
                             "fxImpact": 0.0},
        })  # fmt: skip
    return held, listed, exchanges
