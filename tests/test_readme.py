"""The README's usage example runs as written, against the stand-in connector."""
import json
import re
from pathlib import Path

from keelson_fakes import Connector

README = Path(__file__).resolve().parent.parent / "README.md"


def usage_example():
    usage = README.read_text().split("## Usage", 1)[1]
    return re.search(r"```python\n(.*?)```", usage, re.S).group(1)


def test_usage_example_runs_as_written(monkeypatch):
    connector = Connector().install(monkeypatch)
    connector.positions = [{"id": "1153605", "value": 125.0, "size": 10.0}, {"id": "FLATEX_EUR", "value": 5.0}]
    connector.products = {
        "1153605": {"isin": "NL0010273215", "symbol": "ASML", "name": "ASML HOLDING", "exchangeId": "200", "currency": "EUR"}
    }
    connector.exchanges = [{"id": 200, "name": "Euronext Amsterdam", "city": "Amsterdam", "country": "NL", "micCode": "XAMS"}]
    connector.cash_funds = [{"id": 2, "currencyCode": "EUR", "value": 5.0}, {"id": 3, "currencyCode": "USD", "value": 0}]

    namespace = {}
    exec(usage_example(), namespace)

    assert namespace["holdings"] == [
        {
            "internal_id": 1153605, "isin": "NL0010273215", "ticker": "ASML", "ticker_suffix": "ASML.AS",
            "company": "ASML HOLDING", "exchange_id": "200", "exchange_name": "Euronext Amsterdam",
            "exchange_city": "Amsterdam", "exchange_country": "NL", "currency": "EUR", "quantity": 10.0,
        }
    ]  # fmt: skip
    assert [p["mic"] for p in namespace["positions"]] == ["XAMS"]
    assert [(c["currency"], c["amount"]) for c in namespace["cash"]] == [("EUR", 5.0)]
    assert connector.events()[0] == "Credentials" and connector.events()[-1] == "logout"
    assert json.loads(json.dumps(namespace["holdings"])) == namespace["holdings"]
