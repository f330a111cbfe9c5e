"""The demo Activity Flex statement: two accounts as XML, CSV or text, generated ones, and hostile variants.

Shape, as IB sends an Activity Flex query's XML (see wire.py for sources)::

    <FlexQueryResponse queryName="..." type="AF">
    <FlexStatements count="2">
    <FlexStatement accountId="U1234567" fromDate="20260504" toDate="20260504"
                   period="LastBusinessDay" whenGenerated="20260505;083012">
    <AccountInformation accountId="U1234567" currency="EUR" .../>   currency: the base
    <CashReport>
    <CashReportCurrency ... currency="BASE_SUMMARY" levelOfDetail="BaseCurrency" endingCash=.../>
    <CashReportCurrency ... currency="EUR" levelOfDetail="Currency" endingCash=.../>
    </CashReport>
    <OpenPositions>
    <OpenPosition ... levelOfDetail="SUMMARY"/>    one per holding
    <OpenPosition ... levelOfDetail="LOT"/>        its lots, when the query asks for them
    </OpenPositions>
    </FlexStatement>
    ...

Money fields are in the position's own currency: positionValue = position x
markPrice x multiplier, costBasisMoney = position x costBasisPrice x
multiplier; fxRateToBase converts them to the account's base currency.  LSE
shares are in GBP with GBP prices (ASSUMED: IB reports pounds, not pence).
Dates follow the query's Date Format setting: yyyyMMdd ("20260504", IB's
default) or yyyy-MM-dd ("2026-05-04"), among others; date and time are joined
by ";" (whenGenerated="20260505;083012").  ASSUMED: which formats the setting
offers; these two are the ones seen in IB's answers.  Prices and rates are a
made-up snapshot of 4 May 2026, conids are made up, ISINs are the real ones.
"""

import datetime
from dataclasses import dataclass
from xml.sax.saxutils import escape

QUERY_NAME = "morbex holdings"
REPORT_DATE = datetime.date(2026, 5, 4)
GENERATED = datetime.datetime(2026, 5, 5, 8, 30, 12)
DATE_FORMATS = {"yyyyMMdd": "%Y%m%d", "yyyy-MM-dd": "%Y-%m-%d"}


@dataclass(frozen=True)
class Account:
    account_id: str
    currency: str  # the base currency
    alias: str
    cash: tuple  # (currency, endingCash), one CashReportCurrency row each


ACCOUNTS = (
    Account("U1234567", "EUR", "Dépôt EUR", (("EUR", 4215.38), ("USD", 812.55), ("GBP", 0.0), ("HKD", -1250.40))),
    Account("U7654321", "USD", "", (("USD", 15320.07), ("CAD", 410.0), ("EUR", -85.12))),
)

# EUR per unit of each currency; every fxRateToBase is derived from it.
_EUR_PER = {"EUR": 1.0, "USD": 0.8772, "GBP": 1.1650, "HKD": 0.11232, "CAD": 0.6381, "JPY": 0.005882, "ILS": 0.2481}


def fx_to_base(currency, base):
    """IB's fxRateToBase: units of ``base`` per unit of ``currency``, six decimals."""
    return round(_EUR_PER[currency] / _EUR_PER[base], 6)


@dataclass(frozen=True)
class Position:
    account: str
    symbol: str
    description: str
    conid: int
    isin: str
    exchange: str  # listingExchange
    currency: str
    position: float
    mark: float  # markPrice
    cost: float  # costBasisPrice, per unit (per share for an option)
    category: str = "STK"
    sub: str = "COMMON"
    multiplier: int = 1
    lots: tuple = ()  # (position, costBasisPrice, opened), adding up to the summary
    option: tuple = ()  # (underlyingConid, underlyingSymbol, strike, expiry, putCall)


_EUR, _USD = ACCOUNTS[0].account_id, ACCOUNTS[1].account_id


def _when(text):
    return datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S")


DEMO_POSITIONS = (
    Position(_EUR, "AAPL", "APPLE INC", 265598, "US0378331005", "NASDAQ", "USD", 25, 201.45, 148.20,
             lots=((15, 139.10, _when("2023-03-14 10:15:02")), (10, 161.85, _when("2024-08-22 15:30:44")))),
    Position(_EUR, "MSFT", "MICROSOFT CORP", 272093, "US5949181045", "NASDAQ", "USD", 3.2751, 431.20, 385.40),
    # IB writes a share class after a blank.
    Position(_EUR, "BRK B", "BERKSHIRE HATHAWAY INC-CL B", 72063691, "US0846707026", "NYSE", "USD", 8, 498.10, 402.75),
    Position(_EUR, "VTI", "VANGUARD TOTAL STOCK MKT ETF", 12340056, "US9229087690", "ARCA", "USD", 40, 298.60, 231.10,
             sub="ETF"),
    Position(_EUR, "VOD", "VODAFONE GROUP PLC", 81123470, "GB00BH4HKS39", "LSE", "GBP", 3000, 0.7124, 0.8036),
    Position(_EUR, "SAP", "SAP SE", 14204, "DE0007164600", "IBIS", "EUR", 30, 262.35, 181.40),
    Position(_EUR, "MC", "LVMH MOET HENNESSY LOUIS VUI", 40125, "FR0000121014", "SBF", "EUR", 6, 548.90, 702.15),
    Position(_EUR, "ASML", "ASML HOLDING NV", 117902840, "NL0010273215", "AEB", "EUR", 9, 698.40, 612.80),
    Position(_EUR, "700", "TENCENT HOLDINGS LTD", 52424577, "KYG875721634", "SEHK", "HKD", 200, 487.60, 355.20),
    Position(_EUR, "SHOP", "SHOPIFY INC - CLASS A", 195014116, "CA82509L1076", "TSE", "CAD", 15, 142.80, 88.45),
    # Tokyo, under IB's code for it: an exchange a short table is likely to lack.
    Position(_EUR, "7203", "TOYOTA MOTOR CORP", 13905742, "JP3633400001", "TSEJ", "JPY", 100, 2841.5, 2630.0),
    # Tel Aviv: a listing exchange morbex's table does not have at all.
    Position(_EUR, "LUMI", "BANK LEUMI LE-ISRAEL", 40390738, "IL0006046119", "TASE", "ILS", 120, 54.12, 41.30),
    Position(_EUR, "AAPL  260619C00220000", "AAPL 19JUN26 220 C", 791205537, "", "CBOE", "USD", 2, 6.85, 4.10,
             category="OPT", sub="C", multiplier=100,
             option=(265598, "AAPL", 220, datetime.date(2026, 6, 19), "C")),
    Position(_USD, "AAPL", "APPLE INC", 265598, "US0378331005", "NASDAQ", "USD", 40, 201.45, 175.30),
    Position(_USD, "NVDA", "NVIDIA CORP", 4815747, "US67066G1040", "NASDAQ", "USD", 10.5, 118.72, 96.40,
             lots=((8, 91.25, _when("2024-02-07 09:41:10")), (2.5, 112.88, _when("2025-01-16 14:02:55")))),
    Position(_USD, "KO", "COCA-COLA CO/THE", 8894, "US1912161007", "NYSE", "USD", 60, 70.85, 61.20),
    Position(_USD, "TSLA", "TESLA INC", 76792991, "US88160R1014", "NASDAQ", "USD", -20, 284.10, 301.55),
    # LSE prints some symbols with a trailing dot.
    Position(_USD, "RR.", "ROLLS-ROYCE HOLDINGS PLC", 39456791, "GB00B63H8491", "LSE", "GBP", 500, 8.204, 5.312),
    Position(_USD, "AIR", "AIRBUS SE", 11767180, "NL0000235190", "SBF", "EUR", 14, 152.36, 138.90),
    Position(_USD, "RY", "ROYAL BANK OF CANADA", 12442620, "CA7800871021", "TSE", "CAD", 25, 171.40, 140.25),
    Position(_USD, "9988", "ALIBABA GROUP HOLDING LTD", 395456110, "KYG017191142", "SEHK", "HKD", 400, 124.30, 86.10),
    # OTC Pink: a listing exchange only a longer table has.
    Position(_USD, "NSRGY", "NESTLE SA-SPONS ADR", 10470081, "US6410694060", "PINK", "USD", 30, 99.42, 104.80,
             sub="ADR"),
)

# The holdings a reader keeps from the demo statement: every stock's SUMMARY row (ETFs are
# stocks to IB); the option is left out.
DEMO_KEPT_POSITIONS = sum(1 for row in DEMO_POSITIONS if row.category == "STK")

# Where generated positions are listed, and a price there.
_GENERATED_LINES = (
    ("NASDAQ", "USD", 123.45), ("NYSE", "USD", 87.60), ("ARCA", "USD", 412.30), ("LSE", "GBP", 3.215),
    ("IBIS", "EUR", 54.32), ("SBF", "EUR", 101.50), ("AEB", "EUR", 22.75), ("SEHK", "HKD", 38.40),
    ("TSE", "CAD", 61.20), ("TSEJ", "JPY", 1840.0),
)


def generated_positions(count):
    """``count`` made-up holdings over both accounts and every exchange above; every fifth has two lots."""
    rows = []
    for i in range(count):
        exchange, currency, price = _GENERATED_LINES[i % len(_GENERATED_LINES)]
        quantity = 2 + i % 97 + (0.5 if i % 7 == 0 else 0)
        mark = round(price * (1 + (i % 13) / 100), 4)
        cost = round(mark * (0.8 + (i % 5) / 10), 4)
        lots = ((quantity - 1, cost, GENERATED - datetime.timedelta(days=400 + i % 300)),
                (1, cost, GENERATED - datetime.timedelta(days=30 + i % 200))) if i % 5 == 0 else ()
        rows.append(Position(ACCOUNTS[(i // len(_GENERATED_LINES)) % 2].account_id, f"G{i:05d}",
                             f"GENERATED HOLDING {i}", 700000000 + i, f"XS{i:010d}", exchange, currency,
                             quantity, mark, cost, lots=lots))
    return tuple(rows)


# -- one row's fields, in IB's order --------------------------------------------

def _num(value, places):
    text = f"{value:.{places}f}".rstrip("0").rstrip(".")
    return "0" if text == "-0" else text


def _money(value):
    return _num(value, 4)


class _Dates:
    def __init__(self, date_format):
        self.pattern = DATE_FORMATS[date_format]

    def date(self, day):
        return day.strftime(self.pattern)

    def stamp(self, moment):
        return moment.strftime(self.pattern) + ";" + moment.strftime("%H%M%S")


# (XML attribute, CSV column).  ASSUMED: the CSV column names.
_POSITION_FIELDS = (
    ("accountId", "ClientAccountID"), ("acctAlias", "AccountAlias"), ("model", "Model"),
    ("currency", "CurrencyPrimary"), ("fxRateToBase", "FXRateToBase"), ("assetCategory", "AssetClass"),
    ("subCategory", "SubCategory"), ("symbol", "Symbol"), ("description", "Description"), ("conid", "Conid"),
    ("securityID", "SecurityID"), ("securityIDType", "SecurityIDType"), ("cusip", "CUSIP"), ("isin", "ISIN"),
    ("listingExchange", "ListingExchange"), ("underlyingConid", "UnderlyingConid"),
    ("underlyingSymbol", "UnderlyingSymbol"), ("issuer", "Issuer"), ("multiplier", "Multiplier"),
    ("strike", "Strike"), ("expiry", "Expiry"), ("putCall", "Put/Call"),
    ("principalAdjustFactor", "PrincipalAdjustFactor"), ("reportDate", "ReportDate"), ("position", "Quantity"),
    ("markPrice", "MarkPrice"), ("positionValue", "PositionValue"), ("openPrice", "OpenPrice"),
    ("costBasisPrice", "CostBasisPrice"), ("costBasisMoney", "CostBasisMoney"), ("percentOfNAV", "PercentOfNAV"),
    ("fifoPnlUnrealized", "FifoPnlUnrealized"), ("side", "Side"), ("levelOfDetail", "LevelOfDetail"),
    ("openDateTime", "OpenDateTime"), ("holdingPeriodDateTime", "HoldingPeriodDateTime"), ("code", "Code"),
)


def _position_rows(row, account, nav, dates):
    """The SUMMARY row of a holding and its LOT rows, each a tuple of field values in _POSITION_FIELDS order."""
    fx = fx_to_base(row.currency, account.currency)
    us = row.isin.startswith("US")
    underlying, symbol, strike, expiry, put_call = row.option or ("", "", "", None, "")

    def fields(quantity, cost, level, opened):
        value = quantity * row.mark * row.multiplier
        money = quantity * cost * row.multiplier
        share = "" if level == "LOT" else _num(100 * value * fx / nav, 2)
        return (
            row.account, account.alias, "", row.currency, _num(fx, 6), row.category, row.sub, row.symbol,
            row.description, str(row.conid), row.isin, "ISIN" if row.isin else "", row.isin[2:11] if us else "",
            row.isin, row.exchange, str(underlying), symbol, "", str(row.multiplier), _num(strike, 4) if strike else "",
            dates.date(expiry) if expiry else "", put_call, "", dates.date(REPORT_DATE), _num(quantity, 6),
            _num(row.mark, 6), _money(value), _num(cost, 6), _num(cost, 6), _money(money), share,
            _money(value - money), "Long" if quantity >= 0 else "Short", level,
            dates.stamp(opened) if opened else "", "", "",
        )

    yield fields(row.position, row.cost, "SUMMARY", None)
    for quantity, cost, opened in row.lots:
        yield fields(quantity, cost, "LOT", opened)


def _cash_base(account):
    return sum(amount * fx_to_base(currency, account.currency) for currency, amount in account.cash)


def _nav(account, positions):
    held = sum(row.position * row.mark * row.multiplier * fx_to_base(row.currency, account.currency)
               for row in positions if row.account == account.account_id)
    return held + _cash_base(account)


# -- XML ------------------------------------------------------------------------

def _attrs(names, values):
    return " ".join(f'{name}="{escape(value, {chr(34): "&quot;"})}"' for name, value in zip(names, values))


_POSITION_ATTRS = tuple(attr for attr, _ in _POSITION_FIELDS)


def _statement_head(account, dates):
    period = dates.date(REPORT_DATE)
    info = _attrs(
        ("accountId", "currency", "acctAlias", "name", "accountType", "customerType", "accountCapabilities",
         "tradingPermissions", "masterName"),
        (account.account_id, account.currency, account.alias, "Demo Investor", "Individual", "Individual",
         "Margin", "Stocks,Options,Forex", ""),
    )
    lines = [
        f'<FlexStatement accountId="{account.account_id}" fromDate="{period}" toDate="{period}" '
        f'period="LastBusinessDay" whenGenerated="{dates.stamp(GENERATED)}">',
        f"<AccountInformation {info} />",
        "<CashReport>",
    ]
    cash_names = ("accountId", "acctAlias", "model", "currency", "levelOfDetail", "fromDate", "toDate",
                  "startingCash", "endingCash", "endingSettledCash")
    rows = [("BASE_SUMMARY", "BaseCurrency", _cash_base(account))]
    rows += [(currency, "Currency", amount) for currency, amount in account.cash]
    for currency, level, amount in rows:
        money = _money(amount)
        values = (account.account_id, account.alias, "", currency, level, period, period, money, money, money)
        lines.append(f"<CashReportCurrency {_attrs(cash_names, values)} />")
    lines.append("</CashReport>")
    return lines


def _document(positions, date_format):
    """The statement's XML lines: each account's statement, its positions in table order."""
    dates = _Dates(date_format)
    lines = [f'<FlexQueryResponse queryName="{QUERY_NAME}" type="AF">', f'<FlexStatements count="{len(ACCOUNTS)}">']
    for account in ACCOUNTS:
        nav = _nav(account, positions)
        lines += _statement_head(account, dates)
        lines.append("<OpenPositions>")
        for row in positions:
            if row.account == account.account_id:
                lines += [f"<OpenPosition {_attrs(_POSITION_ATTRS, values)} />"
                          for values in _position_rows(row, account, nav, dates)]
        lines += ["</OpenPositions>", "</FlexStatement>"]
    lines += ["</FlexStatements>", "</FlexQueryResponse>"]
    return lines


def statement_xml(positions=DEMO_POSITIONS, date_format="yyyyMMdd"):
    """The statement as IB's XML; ``positions`` from DEMO_POSITIONS or generated_positions(n)."""
    return ("\n".join(_document(positions, date_format)) + "\n").encode("utf-8")


# -- CSV and text ------------------------------------------------------------------

def _delimited(positions, quote, delimiter):
    # ASSUMED: a query with the Open Positions section alone: one header line, then its rows.
    dates = _Dates("yyyyMMdd")
    cell = (lambda text: '"' + text.replace('"', '""') + '"') if quote else (lambda text: text)
    lines = [delimiter.join(cell(column) for _, column in _POSITION_FIELDS)]
    for account in ACCOUNTS:
        nav = _nav(account, positions)
        for row in positions:
            if row.account == account.account_id:
                lines += [delimiter.join(map(cell, values)) for values in _position_rows(row, account, nav, dates)]
    return ("\n".join(lines) + "\n").encode("utf-8")


def statement_csv(positions=DEMO_POSITIONS):
    return _delimited(positions, quote=True, delimiter=",")


def statement_text(positions=DEMO_POSITIONS):
    """The text format, pipe delimited [DEL]."""
    return _delimited(positions, quote=False, delimiter="|")


# -- hostile statements -------------------------------------------------------------

def malformed_xml(positions=DEMO_POSITIONS):
    """The statement cut off two thirds of the way in, mid-element: not well-formed."""
    whole = statement_xml(positions)
    return whole[: len(whole) * 2 // 3]


def billion_laughs():
    """The statement with ten nested entities of ten references each, the innermost in a description.

    Expanding it all would take 3 x 10**9 characters: a parser must refuse it.
    """
    entities = ['<!ENTITY lol0 "lol">'] + [f'<!ENTITY lol{i} "{f"&lol{i - 1};" * 10}">' for i in range(1, 10)]
    doctype = "<!DOCTYPE FlexQueryResponse [\n" + "\n".join(entities) + "\n]>\n"
    body = statement_xml().decode("utf-8").replace('description="APPLE INC"', 'description="&lol9;"', 1)
    return ('<?xml version="1.0" encoding="UTF-8"?>\n' + doctype + body).encode("utf-8")


def huge_statement(size):
    """A well-formed statement of about ``size`` bytes, made on the fly in 64 KiB pieces."""
    account, dates = ACCOUNTS[0], _Dates("yyyyMMdd")
    lines = [f'<FlexQueryResponse queryName="{QUERY_NAME}" type="AF">', '<FlexStatements count="1">']
    lines += _statement_head(account, dates) + ["<OpenPositions>", ""]
    head = "\n".join(lines).encode("utf-8")
    tail = b"</OpenPositions>\n</FlexStatement>\n</FlexStatements>\n</FlexQueryResponse>\n"
    first = next(_position_rows(DEMO_POSITIONS[0], account, 1e9, dates))
    row = f"<OpenPosition {_attrs(_POSITION_ATTRS, first)} />\n".encode("utf-8")
    rows = max(0, size - len(head) - len(tail)) // len(row)
    per_piece = max(1, 65536 // len(row))
    piece = row * per_piece
    yield head
    for _ in range(rows // per_piece):
        yield piece
    yield row * (rows % per_piece) + tail
