from morbex.brokers import Brokers as Brokers
from morbex.ibkr import BrokerIBKR as BrokerIBKR
from morbex.keelson import BrokerDeGiro as BrokerDeGiro
from morbex.pactum import BrokerBase as BrokerBase

class BrokerFactory:
    @staticmethod
    def create_broker(broker_name: Brokers) -> BrokerBase: ...
