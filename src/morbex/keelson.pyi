import json as json
import logging as logging
import time as time
from functools import partial as partial
from typing import Any

from degiro_connector.trading.api import API as DegiroAPI
from degiro_connector.trading.models.account import UpdateOption as UpdateOption
from degiro_connector.trading.models.account import UpdateRequest as UpdateRequest
from degiro_connector.trading.models.credentials import Credentials as Credentials
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
