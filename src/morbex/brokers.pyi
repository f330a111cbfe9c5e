from morbex.utils import BaseEnum as BaseEnum

class Brokers(BaseEnum):
    DEGIRO = "degiro"
    TRADING212 = "trading212"
    IBKR = "ibkr"
