"""BrokerDeGiro driving the real degiro_connector (its pydantic models and HTTP
through requests) against a small local DEGIRO stand-in of its own."""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

import pytest
from degiro_connector.core.constants import urls

from morbex.keelson import BrokerDeGiro

INT_ACCOUNT = 7654321
PASSWORD = "correct horse"

POSITIONS = [
    {"id": "332111", "positionType": "PRODUCT", "size": 10, "price": 12.5, "value": 125.0},
    {"id": "FLATEX_EUR", "positionType": "CASH", "size": 1520.5, "value": 1520.5},
    {"id": "1153605", "positionType": "PRODUCT", "size": 0, "price": 30.0, "value": 0},
    {"id": "8066561", "positionType": "PRODUCT", "size": 3, "price": 140.0, "value": 420.0},
    {"id": "5462588", "positionType": "PRODUCT", "size": 1.5, "price": 10.0, "value": 15.0},
]
PRODUCTS = {
    "332111": {"id": "332111", "name": "ASML HOLDING", "isin": "NL0010273215", "symbol": "ASML",
               "currency": "EUR", "exchangeId": "200", "productType": "STOCK"},
    "8066561": {"id": "8066561", "name": "ALPHABET INC. - CLASS", "isin": "US02079K3059", "symbol": "GOOGL",
                "currency": "USD", "exchangeId": "663", "productType": "STOCK"},
    "5462588": {"id": "5462588", "name": "Robeco Global Fund", "isin": "NL0000289783", "symbol": "RGF",
                "currency": "EUR", "exchangeId": "10000", "productType": "FUND"},
}  # fmt: skip
EXCHANGES = [
    {"id": 663, "name": "NASDAQ", "code": "NDQ", "country": "US", "city": "New York", "micCode": "XNAS"},
    {"id": 200, "name": "Euronext Amsterdam", "code": "EAM", "country": "NL", "city": "Amsterdam", "micCode": "XAMS"},
    {"id": 10000, "name": "FundShare Matching", "country": "NL"},
]


def position_row(position):
    return {"name": "positionrow", "id": position["id"], "isAdded": True,
            "value": [{"name": key, "value": value, "isAdded": True} for key, value in position.items()]}  # fmt: skip


class Degiro(BaseHTTPRequestHandler):
    """Answers the six requests the broker makes, and records them."""

    def log_message(self, *args):
        pass

    def answer(self, status, body=None):
        data = json.dumps(body).encode() if body is not None else b""
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def handle_one(self, method):
        url = urlsplit(self.path)
        query = {key: values[-1] for key, values in parse_qs(url.query).items()}
        length = int(self.headers.get("Content-Length") or 0)
        body = json.loads(self.rfile.read(length)) if length else None
        state = self.server.state
        state["requests"].append((method, url.path.split(";")[0], query, body))
        if url.path == "/login/secure/login":
            if body["password"] != PASSWORD:
                return self.answer(400, {"loginFailures": 1, "status": 3, "statusText": "badCredentials"})
            state["sessions"] += 1
            return self.answer(200, {"sessionId": f"SID{state['sessions']}", "status": 0, "statusText": "success"})
        if url.path == "/pa/secure/client":
            return self.answer(200, {"data": {"id": 1, "intAccount": INT_ACCOUNT, "clientRole": "basic"}})
        if query.get("intAccount") != str(INT_ACCOUNT):
            return self.answer(403, {"errors": [{"text": "Request is forbidden"}]})
        if url.path.startswith("/trading/secure/v5/update/"):
            return self.answer(200, {"portfolio": {"lastUpdated": 42, "value": [position_row(p) for p in POSITIONS]}})
        if url.path == "/product_search/secure/v5/products/info":
            return self.answer(200, {"data": {str(pid): PRODUCTS[str(pid)] for pid in body if str(pid) in PRODUCTS}})
        if url.path == "/productsearch/secure/v1/config/dictionary":
            return self.answer(200, {"exchanges": EXCHANGES, "countries": []})
        if url.path.startswith("/trading/secure/logout"):
            return self.answer(200)
        return self.answer(404, {"errors": [{"text": "not found"}]})

    def do_GET(self):
        self.handle_one("GET")

    def do_POST(self):
        self.handle_one("POST")

    def do_PUT(self):
        self.handle_one("PUT")


@pytest.fixture
def degiro(monkeypatch):
    server = ThreadingHTTPServer(("127.0.0.1", 0), Degiro)
    server.state = {"requests": [], "sessions": 0}
    base = f"http://127.0.0.1:{server.server_address[1]}"
    for name, path in [
        ("LOGIN", "/login/secure/login"),
        ("CLIENT_DETAILS", "/pa/secure/client"),
        ("UPDATE", "/trading/secure/v5/update"),
        ("PRODUCTS_INFO", "/product_search/secure/v5/products/info"),
        ("PRODUCT_SEARCH_DICTIONARY", "/productsearch/secure/v1/config/dictionary"),
        ("LOGOUT", "/trading/secure/logout"),
    ]:
        monkeypatch.setattr(urls, name, base + path)
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    yield server.state
    server.shutdown()
    server.server_close()
    thread.join()


def test_login_holdings_logout(degiro):
    broker = BrokerDeGiro()
    broker.authenticate_with_username_password(username="jdoe", password=PASSWORD)
    assert broker.int_account == INT_ACCOUNT

    holdings = json.loads(broker.get_current_stock_holdings())
    broker.logout_with_username_password()

    assert holdings == [
        {"internal_id": 332111, "isin": "NL0010273215", "ticker": "ASML", "ticker_suffix": "ASML.AS",
         "company": "ASML HOLDING", "exchange_id": "200", "exchange_name": "Euronext Amsterdam",
         "exchange_city": "Amsterdam", "exchange_country": "NL", "currency": "EUR", "quantity": 10.0},
        {"internal_id": 8066561, "isin": "US02079K3059", "ticker": "GOOGL", "ticker_suffix": "GOOGL",
         "company": "ALPHABET INC. - CLASS", "exchange_id": "663", "exchange_name": "NASDAQ",
         "exchange_city": "New York", "exchange_country": "US", "currency": "USD", "quantity": 3.0},
        {"internal_id": 5462588, "isin": "NL0000289783", "ticker": "RGF", "ticker_suffix": "RGF",
         "company": "Robeco Global Fund", "exchange_id": "10000", "exchange_name": "FundShare Matching",
         "exchange_city": None, "exchange_country": "NL", "currency": "EUR", "quantity": 1.5},
    ]  # fmt: skip
    made = [(method, path) for method, path, _, _ in degiro["requests"]]
    assert made == [
        ("POST", "/login/secure/login"),
        ("GET", "/pa/secure/client"),
        ("GET", "/trading/secure/v5/update/7654321"),
        ("POST", "/product_search/secure/v5/products/info"),
        ("GET", "/productsearch/secure/v1/config/dictionary"),
        ("PUT", "/trading/secure/logout"),
    ]
    # One session: the account number is read in it, then sent with everything after.
    assert degiro["sessions"] == 1 and degiro["requests"][-1][2]["intAccount"] == str(INT_ACCOUNT)
    assert degiro["requests"][3][3] == [332111, 8066561, 5462588]


def test_bad_password(degiro):
    broker = BrokerDeGiro()
    message = "^Failed to authenticate with Degiro API: DEGIRO refused the login: wrong username or password$"
    with pytest.raises(ConnectionError, match=message) as caught:
        broker.authenticate_with_username_password(username="jdoe", password="hunter2", int_account=INT_ACCOUNT)
    assert isinstance(caught.value.__context__, ConnectionError) and caught.value.__cause__ is None
    assert "hunter2" not in str(caught.value)
    assert broker.trading_api is None and len(degiro["requests"]) == 1
