"""BrokerDeGiro's holdings, positions and cash queries written in plain Python,
over morbex.keelson's module globals: what the differential tests and the
holdings benchmark hold the native broker to."""

import decimal
import math
import time

import morbex.keelson as keelson
from morbex.records import HOLDING_KEYS

# Listings quoted in a minor unit: the ISO 4217 currency, and how many make one.
MINOR_UNITS = {"GBX": ("GBP", 100), "GBp": ("GBP", 100), "ZAc": ("ZAR", 100), "ZAC": ("ZAR", 100), "ILA": ("ILS", 100)}


class Reference:
    """The pipeline as plain Python, over the same module globals."""

    int_account = None

    def get_current_stock_holdings(self):
        request_list = [keelson.UpdateRequest(option=keelson.UpdateOption.PORTFOLIO, last_updated=0)]
        update = self.trading_api.get_update(request_list=request_list, raw=True)
        all_holdings = [flattened(row) for row in update["portfolio"]["value"]]
        holdings = self._aggregated_active_holdings(all_holdings)
        return keelson.json.dumps(holdings)

    def get_positions(self):
        request_list = [keelson.UpdateRequest(option=keelson.UpdateOption.PORTFOLIO, last_updated=0)]
        update = self.trading_api.get_update(request_list=request_list, raw=True)
        all_holdings = [flattened(row) for row in update["portfolio"]["value"]]
        account = None if self.int_account is None else str(self.int_account)
        as_of = utc_now()
        active_holdings, active_holding_ids, kept = self._selected(all_holdings)
        info = self._get_stock_info(active_holding_ids)["data"]
        exchanges = self.trading_api.get_products_config()["exchanges"]
        holdings = list(self._map_holdings_with_info(active_holdings, info, exchanges))
        if len(holdings) != len(kept):
            raise ValueError(f"_map_holdings_with_info gave {len(holdings)} records for {len(kept)} positions")
        return [
            position(holding, listing_mic(info, exchanges, row["id"]), row, account, as_of)
            for holding, row in zip(holdings, kept)
        ]

    def get_cash_balances(self):
        request_list = [keelson.UpdateRequest(option=keelson.UpdateOption.CASH_FUNDS, last_updated=0)]
        update = self.trading_api.get_update(request_list=request_list, raw=True)
        account = None if self.int_account is None else str(self.int_account)
        as_of = utc_now()
        totals = {}
        for row in update["cashFunds"]["value"]:
            fund = flattened(row)
            totals[fund["currencyCode"]] = totals.get(fund["currencyCode"], 0.0) + fund["value"]
        return [
            {"currency": currency, "amount": amount, "account": account, "as_of": as_of}
            for currency, amount in totals.items()
            if amount
        ]

    def _selected(self, all_holdings):
        """The selection: the kept positions' records, their ids, and their rows."""
        active_holdings = []
        active_holding_ids = []
        kept = []
        for holding in all_holdings:
            if holding["value"] == 0.0:
                continue
            if not self._can_cast_to_int(holding["id"]):
                continue
            active_holdings.append(self._create_new_active_holding(holding["id"], holding["size"]))
            active_holding_ids.append(int(holding["id"]))
            kept.append(holding)
        return active_holdings, active_holding_ids, kept

    def _aggregated_active_holdings(self, all_holdings):
        active_holdings, active_holding_ids, _ = self._selected(all_holdings)
        active_holdings_info = self._get_stock_info(active_holding_ids)["data"]
        exchange_info = self.trading_api.get_products_config()["exchanges"]
        return self._map_holdings_with_info(active_holdings, active_holdings_info, exchange_info)

    def _create_new_active_holding(self, id, size):
        return {"internal_id": id, "isin": None, "ticker": None, "ticker_suffix": None, "company": None,
                "exchange_id": None, "exchange_name": None, "exchange_city": None, "exchange_country": None,
                "currency": None, "quantity": size}  # fmt: skip

    def _get_stock_info(self, ids):
        return self.trading_api.get_products_info(product_list=ids, raw=True)

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
                    "ticker_suffix": yahoo(holding_info["symbol"]),
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
        ticker_name = yahoo(ticker_name)
        if not suffix or exchange_country == "US":
            return ticker_name
        if suffix == "HK" and isinstance(ticker_name, str) and ticker_name.isascii() and ticker_name.isdigit():
            ticker_name = ticker_name.zfill(4)
        return f"{ticker_name}.{suffix}"

    def _can_cast_to_int(self, value):
        try:
            int(value)
            return True
        except ValueError:
            return False


def as_read(value):
    """A JSON value as the holdings see it: every number (not a bool) a float."""
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return float(value)
    if isinstance(value, dict):
        return {key: as_read(item) for key, item in value.items()}
    if isinstance(value, list):
        return [as_read(item) for item in value]
    return value


def flattened(row):
    return {a["name"]: as_read(a["value"]) for a in row["value"] if "value" in a}


def yahoo(ticker_name):
    """Yahoo's form of a symbol: no trailing dot, a dash for an inner dot or blank."""
    if not isinstance(ticker_name, str) or not ticker_name.rstrip("."):
        return ticker_name
    return ticker_name.rstrip(".").replace(".", "-").replace(" ", "-")


def utc_now():
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime())


def number(value):
    """A number as a position takes it: every number of a row is a float by now."""
    return value if type(value) is float else None


def decimal_product(a, b):
    """a x b as the decimal numbers the floats print as, rounded once."""
    plain = a * b
    if plain == 0 or not math.isfinite(plain):
        return plain
    with decimal.localcontext(prec=40):
        return float(decimal.Decimal(repr(a)) * decimal.Decimal(repr(b)))


def listing_mic(holdings_info, exchanges_info, product_id):
    """The MIC of the product's exchange, found as the join finds it."""
    product = holdings_info[product_id]
    for exchange in exchanges_info:
        if exchange["id"] == int(product["exchangeId"]):
            mic = exchange.get("micCode")
            return mic if type(mic) is str and mic else None
    return None


def position(holding, mic, row, account, as_of):
    price = number(row.get("price"))
    size = number(row["size"])
    pl_base = row.get("plBase")
    base = next(iter(pl_base)) if isinstance(pl_base, dict) and len(pl_base) == 1 else None
    currency = holding["currency"]
    major, scale = MINOR_UNITS.get(currency, (currency, 1)) if isinstance(currency, str) else (currency, 1)
    return {
        **{key: holding[key] for key in HOLDING_KEYS},
        "mic": mic,
        "price": price,
        "value": decimal_product(size, price) if size is not None and price is not None else None,
        "average_price": number(row.get("breakEvenPrice")),
        "base_currency": base if type(base) is str else None,
        "base_value": number(row["value"]),
        "account": account,
        "as_of": as_of,
        "major_currency": major,
        "unit_scale": scale,
    }
