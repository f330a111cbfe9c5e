HOLDING_KEYS: tuple[str, ...]
POSITION_KEYS: tuple[str, ...]
CASH_BALANCE_KEYS: tuple[str, ...]
