"""BrokerDeGiro's holdings query written in plain Python, over morbex.keelson's
module globals: what the differential tests and the holdings benchmark hold
the native broker to."""

import morbex.keelson as keelson


class Reference:
    """The pipeline as plain Python, over the same module globals."""

    def get_current_stock_holdings(self):
        request_list = [keelson.UpdateRequest(option=keelson.UpdateOption.PORTFOLIO, last_updated=0)]
        update = self.trading_api.get_update(request_list=request_list, raw=True)
        all_holdings = [flattened(row) for row in update["portfolio"]["value"]]
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
