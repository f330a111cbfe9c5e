import json as json
from typing import Any

from degiro_connector.core.helpers import pb_handler as pb_handler
from degiro_connector.trading.api import API as DegiroAPI
from degiro_connector.trading.models.trading_pb2 import Credentials as Credentials
from degiro_connector.trading.models.trading_pb2 import ProductsInfo as ProductsInfo
from degiro_connector.trading.models.trading_pb2 import Update as Update
from morbex.pactum import BrokerBase as BrokerBase
from morbex.utils import get_exchange_mic_to_suffix_dict as get_exchange_mic_to_suffix_dict

class BrokerDeGiro(BrokerBase):
    int_account: Any
    trading_api: DegiroAPI | None
    def __init__(self) -> None: ...
    def authenticate_with_username_password(self, **kwargs: Any) -> None: ...
    def authenticate_with_email_password(self, **kwargs: Any) -> None: ...
    def authenticate_with_token(self, **kwargs: Any) -> None: ...
    def logout_with_username_password(self, **kwargs: Any) -> None: ...
    def get_current_stock_holdings(self) -> str: ...
