from enum import StrEnum as StrEnum

# A base for enumerations, so it has no members of its own.
class BaseEnum(StrEnum): ...  # type: ignore[misc]

def get_exchange_mic_to_suffix_dict() -> dict[str, str]: ...
