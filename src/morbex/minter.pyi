from morbex.brokers import Brokers as Brokers
from morbex.ibkr import BrokerIBKR as BrokerIBKR
from morbex.keelson import BrokerDeGiro as BrokerDeGiro
from morbex.pactum import BrokerBase as BrokerBase
from morbex.trading212 import BrokerTrading212 as BrokerTrading212

class BrokerFactory:
    @staticmethod
    def create_broker(broker_name: Brokers) -> BrokerBase: ...
