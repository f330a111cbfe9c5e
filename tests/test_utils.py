import csv
from pathlib import Path

import pytest

from morbex.utils import BaseEnum, get_exchange_mic_to_suffix_dict

TSV = Path(__file__).resolve().parent.parent / "data" / "mic_yahoo_suffix.tsv"


class Colour(BaseEnum):
    RED = "red"
    DARK_RED = "dark red"


def test_mic_table_is_the_data_file():
    with TSV.open(newline="") as f:
        rows = {row["mic"]: row["suffix"] for row in csv.DictReader(f, delimiter="\t")}
    assert get_exchange_mic_to_suffix_dict() == rows
    assert len(rows) == 93


def test_each_call_gives_a_new_dict():
    first = get_exchange_mic_to_suffix_dict()
    first["XAMS"] = "changed"
    first.clear()
    assert get_exchange_mic_to_suffix_dict()["XAMS"] == "AS"


@pytest.mark.parametrize(
    "mic, suffix", [("XAMS", "AS"), ("XETR", "DE"), ("XLON", "L"), ("XNAS", ""), ("XNYS", "")]
)
def test_known_suffixes(mic, suffix):
    assert get_exchange_mic_to_suffix_dict().get(mic) == suffix


def test_members_are_their_values():
    assert "red" == Colour.RED
    assert Colour.RED == "red"
    assert Colour.DARK_RED != "DARK_RED"
    assert f"{Colour.DARK_RED}" == format(Colour.DARK_RED) == str(Colour.DARK_RED) == "dark red"
    assert f"Unsupported: {Colour.DARK_RED}" == "Unsupported: dark red"
    assert list(Colour) == [Colour.RED, Colour.DARK_RED]


def test_base_enum_is_defined_here():
    assert BaseEnum.__module__ == "morbex.utils"
    assert BaseEnum.__qualname__ == "BaseEnum"
    assert list(BaseEnum) == []
