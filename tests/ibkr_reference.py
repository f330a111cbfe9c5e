"""An IB Flex statement read in plain Python with xml.etree.ElementTree: what morbex.ibkr must give, and
the benchmark's baseline (bench/holdings.py), written as one would without morbex."""

import json
import xml.etree.ElementTree as ET
from functools import lru_cache

from morbex.utils import _exchange

MINOR_UNITS = {"GBX": ("GBP", 100), "GBp": ("GBP", 100), "ZAc": ("ZAR", 100), "ZAC": ("ZAR", 100), "ILA": ("ILS", 100)}


@lru_cache(maxsize=None)
def venue(code):
    """(mic, Yahoo suffix or None, name, city, country) of IB's listingExchange code."""
    return _exchange("ibkr", code) or (None, None, None, None, None)


def yahoo_ticker(symbol, suffix):
    """IB's symbol as Yahoo writes it: "BRK B" is "BRK-B", "RR." on LSE is "RR.L", "700" in Hong Kong "0700.HK"."""
    name = symbol.rstrip(".") or symbol
    name = name.replace(" ", "-").replace(".", "-")
    if not suffix:
        return name
    if suffix == "HK" and name.isascii() and name.isdigit():
        name = name.zfill(4)
    return f"{name}.{suffix}"


def iso_date(text):
    if len(text) == 8 and text.isdigit():
        return f"{text[:4]}-{text[4:6]}-{text[6:]}"
    return text


def number(text):
    return float(text) if text else None


def _rows(statement):
    root = ET.fromstring(statement)
    for account in root.iter("FlexStatement"):
        info = account.find("AccountInformation")
        yield account, info, account.iter("OpenPosition"), account.iter("CashReportCurrency")


def _holding(row):
    symbol, exchange = row.get("symbol") or None, row.get("listingExchange") or None
    mic, suffix, name, city, country = venue(exchange)
    return {
        "internal_id": int(row.get("conid")),
        "isin": row.get("isin") or None,
        "ticker": symbol,
        "ticker_suffix": yahoo_ticker(symbol, suffix) if symbol else None,
        "company": row.get("description") or None,
        "exchange_id": exchange,
        "exchange_name": name,
        "exchange_city": city,
        "exchange_country": country,
        "currency": row.get("currency") or None,
        "quantity": float(row.get("position")),
    }


def _stock(row):
    return row.get("levelOfDetail", "SUMMARY") == "SUMMARY" and row.get("assetCategory") == "STK"


def holdings_text(statement):
    """get_current_stock_holdings() of a statement's XML bytes."""
    return json.dumps([_holding(row) for _, _, rows, _ in _rows(statement) for row in rows if _stock(row)])


def positions(statement):
    """get_positions() of a statement's XML bytes."""
    out = []
    for account, info, rows, _ in _rows(statement):
        base = info.get("currency") if info is not None else None
        for row in filter(_stock, rows):
            record = _holding(row)
            value, fx = number(row.get("positionValue")), number(row.get("fxRateToBase"))
            record.update(
                mic=venue(record["exchange_id"])[0],
                price=number(row.get("markPrice")),
                value=value,
                average_price=number(row.get("costBasisPrice")),
                base_currency=base,
                base_value=value * fx if value is not None and fx is not None else None,
                account=row.get("accountId"),
                as_of=iso_date(row.get("reportDate") or account.get("toDate")),
            )
            unit = MINOR_UNITS.get(record["currency"], (record["currency"], 1))
            record["major_currency"], record["unit_scale"] = unit
            out.append(record)
    return out


def cash_balances(statement):
    """get_cash_balances() of a statement's XML bytes."""
    return [
        {"currency": row.get("currency"), "amount": float(row.get("endingCash")), "account": row.get("accountId"),
         "as_of": iso_date(row.get("toDate") or account.get("toDate"))}
        for account, _, _, cash in _rows(statement)
        for row in cash
        if row.get("levelOfDetail") == "Currency" and row.get("currency") != "BASE_SUMMARY"
        and float(row.get("endingCash")) != 0
    ]  # fmt: skip
