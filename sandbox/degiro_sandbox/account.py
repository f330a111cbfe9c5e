"""The sandbox's one client: credentials, portfolio, cash, product details, exchange dictionary.

Everything the server answers with is built here from the tables below, in the
shapes DEGIRO's trader API uses on the wire: portfolio rows and cash funds as
name/value attribute lists, products keyed by id text with ``exchangeId`` as
text, and exchanges with integer ``id`` and optional ``city``/``micCode``/``code``.
Prices are a late-November snapshot; values and cost bases are derived from
them so that every row is internally consistent.

A portfolio row's ``price`` and ``breakEvenPrice`` are in the product's
currency (pence for GBX), its ``value`` in the account's currency (EUR), and
``plBase``/``todayPlBase`` are keyed by that currency.
"""

USERNAME = "demo"
PASSWORD = "sandbox-password"
INT_ACCOUNT = 31415926
CLIENT_ID = 2718281
# Base32, 32 characters (160 bits), as DEGIRO shows it when 2FA is switched
# on; the connector's pyotp refuses secrets under 112 bits.  Only the
# "totp-needed" login checks codes against it.
TOTP_SECRET = "DEMOSANDBOXTOTPSECRETFORMORBEX23"

PORTFOLIO_LAST_UPDATED = 1873

# Open positions of the demo portfolio that a holdings reader keeps: every row
# with a non-zero value whose id is an integer product id.  ASML is held in two
# rows (two lots), so it counts twice; 40 distinct products.
DEMO_KEPT_POSITIONS = 41

# EUR per unit, used to turn position size x price into DEGIRO's EUR "value".
# GBX is pence: LSE lines are quoted in it.
EUR_PER_UNIT = {
    "EUR": 1.0,
    "USD": 0.9470,
    "GBX": 0.012060,
    "CAD": 0.6760,
    "HKD": 0.1217,
    "DKK": 0.1341,
    "CHF": 1.0750,
    "GBP": 1.2060,
}

# id, symbol, name, isin, currency, exchangeId, productType, closePrice
_PRODUCTS = [
    # NASDAQ
    ("331868", "AAPL", "Apple Inc.", "US0378331005", "USD", "663", "STOCK", 237.33),
    ("332111", "MSFT", "Microsoft Corp", "US5949181045", "USD", "663", "STOCK", 423.46),
    ("8066561", "GOOGL", "ALPHABET INC. - CLASS A", "US02079K3059", "USD", "663", "STOCK", 168.95),
    ("331822", "AMZN", "Amazon.com Inc", "US0231351067", "USD", "663", "STOCK", 207.89),
    ("1147582", "NVDA", "NVIDIA Corp", "US67066G1040", "USD", "663", "STOCK", 138.25),
    ("15883474", "TSLA", "Tesla Inc", "US88160R1014", "USD", "663", "STOCK", 345.16),
    # NYSE
    ("332206", "KO", "Coca-Cola Co", "US1912161007", "USD", "676", "STOCK", 64.05),
    ("332014", "JNJ", "Johnson & Johnson", "US4781601046", "USD", "676", "STOCK", 155.03),
    ("5218307", "V", "Visa Inc. - Class A", "US92826C8394", "USD", "676", "STOCK", 315.10),
    ("331979", "BRK.B", "Berkshire Hathaway Inc. - Class B", "US0846707026", "USD", "676", "STOCK", 482.73),
    ("332010", "IBM", "International Business Machines Corp", "US4592001014", "USD", "676", "STOCK", 227.41),
    ("332185", "BF.B", "Brown-Forman Corp. - Class B", "US1156372096", "USD", "676", "STOCK", 43.27),
    # Euronext Amsterdam
    ("1153605", "ASML", "ASML Holding NV", "NL0010273215", "EUR", "200", "STOCK", 640.30),
    ("11653468", "INGA", "ING Groep NV", "NL0011821202", "EUR", "200", "STOCK", 14.61),
    ("11754152", "AD", "Koninklijke Ahold Delhaize NV", "NL0011794037", "EUR", "200", "STOCK", 32.66),
    ("20025345", "SHELL", "Shell PLC", "GB00BP6MXD84", "EUR", "200", "STOCK", 31.17),
    # Euronext Paris
    ("360148977", "MC", "LVMH Moët Hennessy Louis Vuitton SE", "FR0000121014", "EUR", "710", "STOCK", 600.00),
    ("360114940", "GLE", "Société Générale SA", "FR0000130809", "EUR", "710", "STOCK", 26.36),
    ("360015511", "AIR", "Airbus SE", "NL0000235190", "EUR", "710", "STOCK", 151.66),
    ("360114884", "OR", "L'Oréal SA", "FR0000120321", "EUR", "710", "STOCK", 335.20),
    # Xetra
    ("1533610", "SAP", "SAP SE", "DE0007164600", "EUR", "194", "STOCK", 223.90),
    ("1533625", "SIE", "Siemens AG", "DE0007236101", "EUR", "194", "STOCK", 182.22),
    ("1533600", "ALV", "Allianz SE", "DE0008404005", "EUR", "194", "STOCK", 295.10),
    ("1533736", "WDI", "Wirecard AG", "DE0007472060", "EUR", "194", "STOCK", 0.0),
    # London Stock Exchange; note BP's trailing dot, as LSE prints it
    ("4584127", "ULVR", "Unilever PLC", "GB00B10RZP78", "GBX", "570", "STOCK", 4665.0),
    ("4584034", "HSBA", "HSBC Holdings PLC", "GB0005405286", "GBX", "570", "STOCK", 726.4),
    ("4583990", "BP.", "BP PLC", "GB0007980591", "GBX", "570", "STOCK", 386.05),
    # Toronto
    ("16237648", "SHOP", "Shopify Inc. - Class A", "CA82509L1076", "CAD", "892", "STOCK", 162.11),
    ("4770437", "RY", "Royal Bank of Canada", "CA7800871021", "CAD", "892", "STOCK", 174.25),
    ("4770262", "ENB", "Enbridge Inc.", "CA29250N1050", "CAD", "892", "STOCK", 59.85),
    ("4770375", "BBD.B", "Bombardier Inc. - Class B", "CA0977518616", "CAD", "892", "STOCK", 101.85),
    # Hong Kong: numeric symbols
    ("8301495", "700", "Tencent Holdings Ltd", "KYG875721634", "HKD", "454", "STOCK", 391.40),
    ("18053364", "9988", "Alibaba Group Holding Ltd", "KYG017191142", "HKD", "454", "STOCK", 85.85),
    ("8301672", "1299", "AIA Group Ltd", "HK0000069689", "HKD", "454", "STOCK", 60.50),
    # Helsinki
    ("1525003", "NOKIA", "Nokia Oyj", "FI0009000681", "EUR", "1001", "STOCK", 4.02),
    ("1524989", "KNEBV", "KONE Oyj - Class B", "FI0009013403", "EUR", "1001", "STOCK", 49.43),
    # Copenhagen; Novo's symbol carries a blank
    ("11980296", "NOVO B", "Novo Nordisk A/S - Class B", "DK0062498333", "DKK", "508", "STOCK", 757.20),
    ("10935066", "ORSTED", "Ørsted A/S", "DK0060094928", "DKK", "508", "STOCK", 406.60),
    # SIX Swiss Exchange
    ("950226", "NESN", "NESTLÉ SA", "CH0038863350", "CHF", "947", "STOCK", 77.02),
    # Cboe Europe, whose dictionary entry has no city
    ("12080113", "ROGz", "Roche Holding AG", "CH0012032048", "CHF", "1005", "STOCK", 251.30),
    # Quoted on an exchange the dictionary does not list
    ("5964210", "NSRGY", "NESTLÉ SA - ADR", "US6410694060", "USD", "1999", "STOCK", 81.34),
    # FundShare Matching: funds, no MIC
    ("15692145", "RGPED", "Robeco Global Premium Equities D EUR", "LU0203975437", "EUR", "10000", "FUND", 612.84),
]

_PRODUCT_TYPE_IDS = {"STOCK": 1, "FUND": 13}

# id, positionType, size, price, breakEvenPrice -- in DEGIRO's own order: cash first.
_DEMO_POSITIONS = [
    ("FLATEX_EUR", "CASH", 1523.47, 1.0, 1.0),
    ("FLATEX_USD", "CASH", 312.90, 1.0, 1.0),
    ("FLATEX_GBP", "CASH", 86.40, 1.0, 1.0),
    ("EUR", "CASH", 12.35, 1.0, 1.0),
    ("331868", "PRODUCT", 25, 237.33, 148.20),
    ("332111", "PRODUCT", 12, 423.46, 301.10),
    ("1153605", "PRODUCT", 8, 640.30, 512.20),
    ("8066561", "PRODUCT", 30, 168.95, 102.40),
    ("331822", "PRODUCT", 18, 207.89, 131.75),
    ("1147582", "PRODUCT", 40, 138.25, 47.30),
    ("15883474", "PRODUCT", 0, 345.16, 0.0),  # sold out: closed
    ("332206", "PRODUCT", 50, 64.05, 58.90),
    ("332014", "PRODUCT", 15, 155.03, 162.40),
    ("5218307", "PRODUCT", 10, 315.10, 214.30),
    ("331979", "PRODUCT", 6, 482.73, 301.55),
    ("332010", "PRODUCT", -20, 227.41, 229.80),  # short: negative size and value
    ("11653468", "PRODUCT", 400, 14.61, 11.02),
    ("11754152", "PRODUCT", 120, 32.66, 27.48),
    ("20025345", "PRODUCT", 150, 31.17, 29.90),
    ("360148977", "PRODUCT", 5, 600.00, 690.40),
    ("360114940", "PRODUCT", 200, 26.36, 22.80),
    ("360015511", "PRODUCT", 20, 151.66, 121.15),
    ("360114884", "PRODUCT", 7, 335.20, 402.60),
    ("1533610", "PRODUCT", 22, 223.90, 118.35),
    ("1533625", "PRODUCT", 14, 182.22, 139.90),
    ("1533600", "PRODUCT", 9, 295.10, 210.50),
    ("1533736", "PRODUCT", 50, 0.0, 104.20),  # delisted: still held, worth nothing
    ("4584127", "PRODUCT", 60, 4665.0, 4120.0),
    ("4584034", "PRODUCT", 500, 726.4, 611.2),
    ("4583990", "PRODUCT", 800, 386.05, 455.30),
    ("16237648", "PRODUCT", 25, 162.11, 74.80),
    ("4770437", "PRODUCT", 20, 174.25, 128.60),
    ("4770262", "PRODUCT", 90, 59.85, 52.10),
    ("8301495", "PRODUCT", 100, 391.40, 305.00),
    ("18053364", "PRODUCT", 300, 85.85, 79.40),
    ("8301672", "PRODUCT", 400, 60.50, 72.35),
    ("15692145", "PRODUCT", 3.5, 612.84, 580.10),  # fund on FundShare Matching: no MIC
    ("1525003", "PRODUCT", 1500, 4.02, 3.61),
    ("1524989", "PRODUCT", 60, 49.43, 45.20),
    ("11980296", "PRODUCT", 45, 757.20, 640.00),
    ("10935066", "PRODUCT", 30, 406.60, 710.00),
    ("12080113", "PRODUCT", 4, 251.30, 262.00),  # on Cboe Europe, which has no city
    ("950226", "PRODUCT", 35, 77.02, 98.10),
    ("5964210", "PRODUCT", 40, 81.34, 95.20),  # on an exchange the dictionary lacks
    ("1153605", "PRODUCT", 2, 640.30, 688.00),  # second ASML lot: same id again
    ("332185", "PRODUCT", 70, 43.27, 51.90),  # share classes: a dot in the symbol
    ("4770375", "PRODUCT", 35, 101.85, 64.20),
]

# Portfolio variants, each selected by its own login name (see the package docs).
_POSITIONS = {
    "demo": _DEMO_POSITIONS,
    "empty": [],
}

# id, currencyCode, value: the update's "cashFunds", one fund per currency
# the account can hold, zero or not. The portfolio's cash rows above add up
# to these (EUR: FLATEX_EUR and EUR).
_CASH_FUNDS = {
    "demo": [(2, "EUR", 1535.82), (3, "USD", 312.90), (4, "GBP", 86.40), (5, "CHF", 0)],
    "empty": [(2, "EUR", 0)],
}

EXCHANGES = [
    {"id": 663, "name": "NASDAQ", "code": "NDQ", "hiqAbbr": "NDQ", "country": "US", "city": "New York", "micCode": "XNAS"},
    {"id": 676, "name": "NYSE", "code": "NSY", "hiqAbbr": "NSY", "country": "US", "city": "New York", "micCode": "XNYS"},
    {"id": 200, "name": "Euronext Amsterdam", "code": "EAM", "hiqAbbr": "EAM", "country": "NL", "city": "Amsterdam", "micCode": "XAMS"},
    {"id": 710, "name": "Euronext Paris", "code": "EPA", "hiqAbbr": "EPA", "country": "FR", "city": "Paris", "micCode": "XPAR"},
    {"id": 520, "name": "Euronext Brussels", "code": "EBR", "hiqAbbr": "EBR", "country": "BE", "city": "Brussels", "micCode": "XBRU"},
    {"id": 194, "name": "Xetra", "code": "XET", "hiqAbbr": "XET", "country": "DE", "city": "Frankfurt", "micCode": "XETR"},
    {"id": 570, "name": "London Stock Exchange", "code": "LSE", "hiqAbbr": "LSE", "country": "GB", "city": "London", "micCode": "XLON"},
    {"id": 892, "name": "Toronto Stock Exchange", "code": "TOR", "hiqAbbr": "TOR", "country": "CA", "city": "Toronto", "micCode": "XTSE"},
    {"id": 454, "name": "Hong Kong Exchanges", "code": "HKS", "hiqAbbr": "HKS", "country": "HK", "city": "Hong Kong", "micCode": "XHKG"},
    {"id": 1001, "name": "Nasdaq Helsinki", "code": "HSE", "hiqAbbr": "HSE", "country": "FI", "city": "Helsinki", "micCode": "XHEL"},
    {"id": 508, "name": "Nasdaq Copenhagen", "code": "OMK", "hiqAbbr": "OMK", "country": "DK", "city": "Copenhagen", "micCode": "XCSE"},
    {"id": 947, "name": "SIX Swiss Exchange", "code": "SWX", "hiqAbbr": "SWX", "country": "CH", "city": "Zurich", "micCode": "XSWX"},
    {"id": 1005, "name": "Cboe Europe", "code": "CXE", "hiqAbbr": "CXE", "country": "GB", "micCode": "CATS"},
    {"id": 10000, "name": "FundShare Matching", "hiqAbbr": "FSM", "country": "NL", "city": "Amsterdam"},
]

_COUNTRIES = [
    (846, "US", 2), (978, "NL", 1), (250, "FR", 1), (56, "BE", 1), (276, "DE", 1),
    (826, "GB", 1), (124, "CA", 2), (344, "HK", 3), (246, "FI", 1), (208, "DK", 1), (756, "CH", 1),
]
_REGIONS = {1: "europe", 2: "america", 3: "asia"}


def _product(pid, symbol, name, isin, currency, exchange_id, product_type, close_price):
    return {
        "id": pid,
        "name": name,
        "isin": isin,
        "symbol": symbol,
        "contractSize": 1.0,
        "productType": product_type,
        "productTypeId": _PRODUCT_TYPE_IDS[product_type],
        "tradable": close_price > 0,
        "category": "B",
        "currency": currency,
        "exchangeId": exchange_id,
        "onlyEodPrices": product_type == "FUND",
        "orderTimeTypes": ["DAY", "GTC"],
        "buyOrderTypes": ["LIMIT", "MARKET", "STOPLOSS", "STOPLIMIT"],
        "sellOrderTypes": ["LIMIT", "MARKET", "STOPLOSS", "STOPLIMIT"],
        "closePrice": close_price,
        "closePriceDate": "2024-11-29",
        "feedQuality": "D15",
        "vwdId": isin if product_type == "FUND" else f"{350000000 + int(pid) % 9999991}",
    }


PRODUCTS = {row[0]: _product(*row) for row in _PRODUCTS}


def _attribute(name, value):
    return {"name": name, "value": value, "isAdded": True}


def _position_row(pid, position_type, size, price, break_even):
    currency = pid.rsplit("_", 1)[-1] if position_type == "CASH" else PRODUCTS[pid]["currency"]
    rate = EUR_PER_UNIT[currency]
    value = round(size * price * rate, 2)
    cost = round(size * break_even * rate, 2)
    return {
        "name": "positionrow",
        "id": pid,
        "isAdded": True,
        "value": [
            _attribute("id", pid),
            _attribute("positionType", position_type),
            _attribute("size", size),
            _attribute("price", price),
            _attribute("value", value),
            # DEGIRO sends some attributes without a value; the connector drops them.
            {"name": "accruedInterest", "isAdded": True},
            _attribute("plBase", {"EUR": -cost}),
            _attribute("todayPlBase", {"EUR": -value}),
            _attribute("portfolioValueCorrection", 0),
            _attribute("breakEvenPrice", break_even),
            _attribute("averageFxRate", round(1 / rate, 4)),
            _attribute("realizedProductPl", 0),
            _attribute("realizedFxPl", 0),
            _attribute("todayRealizedProductPl", 0),
            _attribute("todayRealizedFxPl", 0),
        ],
    }


PORTFOLIOS = {name: [_position_row(*row) for row in rows] for name, rows in _POSITIONS.items()}


def _cash_fund(fund_id, currency, value):
    return {
        "id": str(fund_id),
        "name": "cashFund",
        "isAdded": True,
        "value": [_attribute("id", fund_id), _attribute("currencyCode", currency), _attribute("value", value)],
    }


CASH_FUNDS = {name: [_cash_fund(*fund) for fund in funds] for name, funds in _CASH_FUNDS.items()}

PRODUCTS_CONFIG = {
    "exchanges": EXCHANGES,
    "countries": [
        {"id": cid, "name": code, "region": {"id": rid, "name": _REGIONS[rid]}, "translation": f"list.country.{cid}"}
        for cid, code, rid in _COUNTRIES
    ],
    "regions": [{"id": rid, "name": name, "translation": f"list.region.{name}"} for rid, name in _REGIONS.items()],
    "productTypes": [
        {"id": tid, "name": name, "contractType": name, "translation": f"list.producttype.{name.lower()}"}
        for name, tid in _PRODUCT_TYPE_IDS.items()
    ],
}


def client_details(username):
    """The body of /pa/secure/client for a session opened by ``username``."""
    return {
        "data": {
            "id": CLIENT_ID,
            "intAccount": INT_ACCOUNT,
            "loggedInPersonId": CLIENT_ID + 1,
            "clientRole": "basic",
            "effectiveClientRole": "basic",
            "contractType": "PRIVATE",
            "username": username,
            "displayName": "D. Émo",
            "email": "demo@example.invalid",
            "firstContact": {
                "firstName": "Dana",
                "lastName": "Émo",
                "displayName": "D. Émo",
                "nationality": "NL",
                "gender": "X",
                "dateOfBirth": "1980-02-29",
                "placeOfBirth": "Utrecht",
                "countryOfBirth": "NL",
            },
            "address": {
                "streetAddress": "Damrak",
                "streetAddressNumber": "1",
                "zip": "1012 LG",
                "city": "Amsterdam",
                "country": "NL",
            },
            "cellphoneNumber": "+31 6 00000000",
            "locale": "nl_NL",
            "language": "nl",
            "culture": "NL",
            "bankAccount": {"bankAccountId": 1, "bic": "ABNANL2A", "iban": "NL02ABNA0123456789", "status": "VERIFIED"},
            "memberCode": "DEGIRO",
            "isWithdrawalAvailable": True,
            "isAllocationAvailable": True,
            "isIskClient": False,
            "isCollectivePortfolio": False,
            "isAmClientActive": False,
            "canUpgrade": True,
        }
    }
