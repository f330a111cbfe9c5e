from typing import Any

from morbex.brokers import Brokers as Brokers
from morbex.minter import BrokerFactory as BrokerFactory
from morbex.pactum import BrokerBase as BrokerBase
from morbex.utils import BaseEnum as BaseEnum

class AuthenticationMethods(BaseEnum):
    USERNAME_PASSWORD = "username and password"
    EMAIL_PASSWORD = "email and password"
    TOKEN = "token"

def authenticate(broker_name: Brokers, auth_method: AuthenticationMethods, **kwargs: Any) -> BrokerBase: ...
def logout(broker_connection: BrokerBase, auth_method: AuthenticationMethods, **kwargs: Any) -> None: ...
