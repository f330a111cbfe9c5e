"""The shipped JSON Schemas, for every broker's tests: each record valid, keys in the records' order."""

import json
from importlib import resources

import jsonschema

from morbex.records import CASH_BALANCE_KEYS, POSITION_KEYS


def _validator(name):
    schema = json.loads(resources.files("morbex").joinpath("schemas", name).read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


POSITION = _validator("position.schema.json")
CASH_BALANCE = _validator("cash-balance.schema.json")


def check_positions(positions):
    assert isinstance(positions, list)
    for position in positions:
        POSITION.validate(position)
        assert tuple(position) == POSITION_KEYS


def check_cash_balances(balances):
    assert isinstance(balances, list)
    for balance in balances:
        CASH_BALANCE.validate(balance)
        assert tuple(balance) == CASH_BALANCE_KEYS
