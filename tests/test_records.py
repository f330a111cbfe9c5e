import json

import pytest
from schemas import CASH_BALANCE, POSITION, check_positions

from morbex.records import CASH_BALANCE_KEYS, HOLDING_KEYS, POSITION_KEYS


def test_the_keys_and_the_schemas_agree():
    assert HOLDING_KEYS == (
        "internal_id", "isin", "ticker", "ticker_suffix", "company", "exchange_id", "exchange_name",
        "exchange_city", "exchange_country", "currency", "quantity",
    )  # fmt: skip
    assert POSITION_KEYS[: len(HOLDING_KEYS)] == HOLDING_KEYS
    assert tuple(POSITION.schema["properties"]) == POSITION_KEYS == tuple(POSITION.schema["required"])
    assert tuple(CASH_BALANCE.schema["properties"]) == CASH_BALANCE_KEYS == ("currency", "amount", "account", "as_of")


GOOD = dict.fromkeys(POSITION_KEYS) | {
    "internal_id": "AAPL_US_EQ", "quantity": 0.5, "as_of": "2026-05-04T08:30:12Z", "unit_scale": 1,
}  # fmt: skip


@pytest.mark.parametrize(
    "change, valid",
    [
        ({}, True),
        ({"internal_id": 331868, "as_of": "2026-05-04", "currency": "GBX", "major_currency": "GBP", "unit_scale": 100}, True),
        ({"as_of": "2026-05-04 08:30"}, False),  # not ISO 8601 UTC
        ({"quantity": None}, False),
        ({"mic": "xlon"}, False),
        ({"unit_scale": 0}, False),
    ],
)
def test_what_the_position_schema_takes(change, valid):
    assert POSITION.is_valid(GOOD | change) is valid


def test_a_position_with_a_key_missing_or_added_is_refused():
    assert not POSITION.is_valid({k: v for k, v in GOOD.items() if k != "mic"})
    assert not POSITION.is_valid(GOOD | {"extra": 1})
    assert not CASH_BALANCE.is_valid({"currency": "EUR", "amount": 0.0, "account": None, "as_of": "2026-05-04"})


def test_the_default_positions_are_the_holdings():
    from morbex.pactum import BrokerBase

    class Holdings(BrokerBase):
        authenticate_with_email_password = authenticate_with_username_password = authenticate_with_token = None
        logout_with_username_password = None

        def get_current_stock_holdings(self):
            return json.dumps([dict.fromkeys(HOLDING_KEYS)])

    assert Holdings().get_positions() == [dict.fromkeys(HOLDING_KEYS)]
    with pytest.raises(NotImplementedError, match="^Holdings does not report cash balances$"):
        Holdings().get_cash_balances()
