"""The demo account: its keys, positions, cash, and the instruments and exchanges metadata around them.

Field names and shapes are the reference's schemas (Position, Instrument,
PositionWalletImpact, AccountSummary, Cash, Investments, TradableInstrument,
Exchange, WorkingSchedule, TimeEvent; https://docs.trading212.com/api).
Tickers follow Trading 212's pattern: SYMBOL_US_EQ for US listings, a
lower-case market letter otherwise (VODl_EQ London, SAPd_EQ Xetra, MCp_EQ
Paris, ASMLa_EQ Amsterdam, NOVNs_EQ Swiss).  Exchange names are as the
exchanges endpoint spells them in the wild ("Deutsche Börse Xetra").
"""

import json
from dataclasses import dataclass

API_KEY = "demo"
API_SECRET = "sandbox-secret"
# A key of the older kind: sent bare in the Authorization header, no secret.
LEGACY_API_KEY = "sandbox-legacy-key"
ACCOUNT_ID = 31337212
CURRENCY = "EUR"

# Units of each instrument currency one euro buys, now and when the positions
# were opened: the difference is the positions' fxImpact.  GBX is pence.
_FX_NOW = {"EUR": 1.0, "USD": 1.08, "GBX": 85.0, "GBP": 0.85, "CHF": 0.94}


@dataclass(frozen=True)
class Scenario:
    """How the server treats an API key."""

    missing_scope: str | None = None
    # rate_limited | server_error | unavailable | html | hang | timeout
    failure: str | None = None
    positions: str = "demo"  # demo | empty


# Every API key the sandbox knows; all take API_SECRET.  Each counts as an
# account of its own against the rate limits (the server's _authenticate), but
# all show the one demo account's data (ACCOUNT_ID).
SCENARIOS = {
    API_KEY: Scenario(),
    "no-portfolio": Scenario(missing_scope="portfolio"),
    "no-metadata": Scenario(missing_scope="metadata"),
    "no-account-data": Scenario(missing_scope="account"),
    "rate-limited": Scenario(failure="rate_limited"),
    "server-error": Scenario(failure="server_error"),
    "unavailable": Scenario(failure="unavailable"),
    "html": Scenario(failure="html"),
    "hang": Scenario(failure="hang"),
    "timeout-408": Scenario(failure="timeout"),
    "empty-portfolio": Scenario(positions="empty"),
}

# id -> name and working schedules.  Schedule ids deliberately differ from
# exchange ids: instruments name a schedule, never an exchange.
_EXCHANGES = [
    (60, "NASDAQ", (71, 72)),
    (61, "NYSE", (73,)),
    (62, "London Stock Exchange", (74,)),
    (63, "Deutsche Börse Xetra", (75,)),
    (64, "Euronext Paris", (76,)),
    (65, "Euronext Amsterdam", (77,)),
    (66, "SIX Swiss Exchange", (78,)),
]
_US_SCHEDULES = (71, 72, 73)

# ticker, type, schedule, isin, currency, name, shortName, maxOpenQuantity, extendedHours, addedOn
_INSTRUMENTS = [
    ("AAPL_US_EQ", "STOCK", 71, "US0378331005", "USD", "Apple", "AAPL", 7800.0, True,
     "2018-07-10T09:47:53.000+03:00"),
    ("KO_US_EQ", "STOCK", 73, "US1912161007", "USD", "Coca-Cola", "KO", 32000.0, True,
     "2018-07-10T09:48:12.000+03:00"),
    ("VODl_EQ", "STOCK", 74, "GB00BH4HKS39", "GBX", "Vodafone Group", "VOD", 2500000.0, False,
     "2018-07-10T10:02:41.000+03:00"),
    ("SAPd_EQ", "STOCK", 75, "DE0007164600", "EUR", "SAP", "SAP", 9400.0, False,
     "2019-02-18T11:15:30.000+02:00"),
    ("MCp_EQ", "STOCK", 76, "FR0000121014", "EUR", "LVMH Moët Hennessy Louis Vuitton", "MC", 1700.0, False,
     "2019-06-03T12:20:04.000+03:00"),
    ("ASMLa_EQ", "STOCK", 77, "NL0010273215", "EUR", "ASML Holding", "ASML", 1900.0, False,
     "2019-06-03T12:21:47.000+03:00"),
    # Held by nobody: the rest of the catalogue.
    ("MSFT_US_EQ", "STOCK", 71, "US5949181045", "USD", "Microsoft", "MSFT", 4900.0, True,
     "2018-07-10T09:47:55.000+03:00"),
    ("QQQ_US_EQ", "ETF", 72, "US46090E1038", "USD", "Invesco QQQ Trust Series 1", "QQQ", 3900.0, True,
     "2020-01-14T16:05:09.000+02:00"),
    ("BPl_EQ", "STOCK", 74, "GB0007980591", "GBX", "BP", "BP.", 600000.0, False,
     "2018-07-10T10:02:13.000+03:00"),
    ("VUSAl_EQ", "ETF", 74, "IE00B3XXRP09", "GBP", "Vanguard S&P 500 UCITS ETF", "VUSA", 52000.0, False,
     "2019-11-21T13:40:22.000+02:00"),
    ("NOVNs_EQ", "STOCK", 78, "CH0012005267", "CHF", "Novartis", "NOVN", 25000.0, False,
     "2021-03-09T10:12:55.000+02:00"),
]

# ticker, quantity, quantityInPies, averagePricePaid, currentPrice (both in the
# instrument's currency), units per euro at purchase, createdAt.  Whole
# quantities go out as JSON integers, as any number may.
_POSITIONS = [
    ("AAPL_US_EQ", 12, 0, 151.2, 189.84, 1.1, "2023-05-17T14:32:05.000+03:00"),
    ("KO_US_EQ", 0.5321, 0, 58.4, 61.25, 1.07, "2024-01-09T16:45:10.000+02:00"),
    ("VODl_EQ", 1500, 0, 72.36, 69.9, 86.5, "2022-11-02T10:05:41.000+02:00"),
    ("SAPd_EQ", 8, 0, 118.4, 176.52, 1.0, "2023-02-27T09:12:33.000+02:00"),
    ("MCp_EQ", 3, 0, 702.3, 688.9, 1.0, "2024-03-14T11:58:02.000+02:00"),
    # Shares in a pie: quantity already counts them.
    ("ASMLa_EQ", 4.25, 1.75, 612.0, 845.6, 1.0, "2023-09-21T15:20:48.000+03:00"),
    # Missing from the instruments metadata (listed after the last refresh).
    ("ARM_US_EQ", 5, 0, 98.1, 131.45, 1.09, "2024-02-12T17:31:27.000+02:00"),
]
_UNLISTED = {"ARM_US_EQ": ("US0420682058", "USD", "Arm Holdings")}

_CASH = {"availableToTrade": 1523.47, "reservedForOrders": 0, "inPies": 38.2}
_REALIZED = 212.35


def _instrument(row):
    keys = ("ticker", "type", "workingScheduleId", "isin", "currencyCode", "name", "shortName", "maxOpenQuantity",
            "extendedHours", "addedOn")
    return dict(zip(keys, row))


def _position(ticker, quantity, in_pies, average, price, fx_then, created):
    listed = {row[0]: row for row in _INSTRUMENTS}
    if ticker in listed:
        _, _, _, isin, currency, name, *_ = listed[ticker]
    else:
        isin, currency, name = _UNLISTED[ticker]
    fx_now = _FX_NOW[currency]
    value = round(quantity * price / fx_now, 2)
    cost = round(quantity * average / fx_then, 2)
    return {
        "instrument": {"ticker": ticker, "name": name, "isin": isin, "currency": currency},
        "createdAt": created,
        "quantity": quantity,
        # ASSUMPTION: shares in a pie are traded by the pie, not on their own.
        "quantityAvailableForTrading": round(quantity - in_pies, 10),
        "quantityInPies": in_pies,
        "currentPrice": price,
        "averagePricePaid": average,
        "walletImpact": {
            "currency": CURRENCY,
            "totalCost": cost,
            "currentValue": value,
            "unrealizedProfitLoss": round(value - cost, 2),
            "fxImpact": round(value - quantity * price / fx_then, 2),
        },
    }


POSITIONS = {"demo": [_position(*row) for row in _POSITIONS], "empty": []}


def summary():
    held = POSITIONS["demo"]
    value = round(sum(p["walletImpact"]["currentValue"] for p in held), 2)
    cost = round(sum(p["walletImpact"]["totalCost"] for p in held), 2)
    return {
        "id": ACCOUNT_ID,
        "currency": CURRENCY,
        "cash": dict(_CASH),
        "investments": {"currentValue": value, "totalCost": cost, "realizedProfitLoss": _REALIZED,
                        "unrealizedProfitLoss": round(value - cost, 2)},
        # ASSUMPTION: the account's whole value, cash included (the reference
        # says only "investments value in your account's primary currency").
        "totalValue": round(sum(_CASH.values()) + value, 2),
    }


def exchanges():
    def events(schedule):
        us = schedule in _US_SCHEDULES
        day = []
        for date in ("2025-06-02", "2025-06-03"):
            if us:
                day += [(f"{date}T08:00:00.000+00:00", "PRE_MARKET_OPEN"), (f"{date}T13:30:00.000+00:00", "OPEN"),
                        (f"{date}T20:00:00.000+00:00", "CLOSE"), (f"{date}T20:00:00.000+00:00", "AFTER_HOURS_OPEN"),
                        (f"{date}T23:59:00.000+00:00", "AFTER_HOURS_CLOSE")]
            else:
                day += [(f"{date}T07:00:00.000+00:00", "OPEN"), (f"{date}T15:30:00.000+00:00", "CLOSE")]
        return [{"date": date, "type": kind} for date, kind in day]

    return [{"id": ident, "name": name, "workingSchedules": [{"id": s, "timeEvents": events(s)} for s in schedules]}
            for ident, name, schedules in _EXCHANGES]


def _isin(country, number):
    """A well-formed ISIN: country, nine characters, the Luhn check digit over their base-36 digits."""
    body = f"{country}{number:09d}"
    digits = "".join(str(int(c, 36)) for c in body)
    total = 0
    for i, d in enumerate(reversed(digits)):
        n = int(d) * (2 if i % 2 == 0 else 1)
        total += n - 9 if n > 9 else n
    return body + str((10 - total % 10) % 10)


# suffix, ISIN country, currency, schedule: one per market the filler spreads over.
_FILLER_MARKETS = [("_US_EQ", "US", "USD", 71), ("_US_EQ", "US", "USD", 73), ("l_EQ", "GB", "GBX", 74),
                   ("d_EQ", "DE", "EUR", 75), ("p_EQ", "FR", "EUR", 76), ("a_EQ", "NL", "EUR", 77),
                   ("s_EQ", "CH", "CHF", 78)]


def instruments(filler=0):
    """The instruments metadata: the demo's instruments, then ``filler`` made-up ones (about 270 bytes each)."""
    listed = [_instrument(row) for row in _INSTRUMENTS]
    for i in range(filler):
        suffix, country, currency, schedule = _FILLER_MARKETS[i % len(_FILLER_MARKETS)]
        symbol = f"FLR{i}"
        listed.append(_instrument((f"{symbol}{suffix}", "STOCK", schedule, _isin(country, 900000000 + i), currency,
                                   f"Filler Industries {i}", symbol, 10000.0, suffix == "_US_EQ",
                                   "2024-06-03T12:00:00.000+03:00")))
    return listed


def instruments_body(filler=0):
    """The instruments answer, encoded once: a big list is served many times."""
    return json.dumps(instruments(filler), ensure_ascii=False).encode("utf-8")
