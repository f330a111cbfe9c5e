import csv
from pathlib import Path

import pytest

from morbex.utils import BaseEnum, _exchange, get_exchange_mic_to_suffix_dict

TSV = Path(__file__).resolve().parent.parent / "data" / "exchanges.tsv"

# The MIC -> suffix map as it stood before the exchange table replaced its
# data file: DEGIRO's tickers are formed from it, so it must not drift.
MIC_SUFFIXES = {
    "AQXE": "AQ", "ARCX": "", "ASEX": "AT", "BATS": "", "BMEX": "MC", "BVMF": "SA", "CECS": "CMX", "CEUX": "XD",
    "CNSX": "CN", "EUTL": "TI", "IFUS": "NYB", "ILSE": "IL", "KQKS": "KQ", "MTAA": "MI", "NEOE": "NE", "ROCO": "TWO",
    "XAMS": "AS", "XASE": "", "XASX": "AX", "XATH": "AT", "XAUS": "XA", "XBER": "BE", "XBKK": "BK", "XBMS": "BM",
    "XBOG": "CL", "XBOM": "BO", "XBRU": "BR", "XBSE": "RO", "XBUD": "BD", "XBUE": "BA", "XCAI": "CA", "XCAR": "CR",
    "XCBT": "CBT", "XCHI": "XC", "XCME": "CME", "XCSE": "CO", "XDFM": "AE", "XDUB": "IR", "XDUS": "DU", "XETR": "DE",
    "XFRA": "F", "XHAM": "HM", "XHAN": "HA", "XHEL": "HE", "XHKG": "HK", "XICE": "IC", "XIDX": "JK", "XIST": "IS",
    "XJPX": "T", "XJSE": "JO", "XKFE": "KW", "XKLS": "KL", "XKRX": "KS", "XLIS": "LS", "XLON": "L", "XMAD": "MC",
    "XMEX": "MX", "XMIL": "MI", "XMUN": "MU", "XNAS": "", "XNCM": "", "XNGS": "", "XNMS": "", "XNSE": "NS",
    "XNYM": "NYM", "XNYS": "", "XNZE": "NZ", "XOSL": "OL", "XPAR": "PA", "XPHS": "PS", "XPRA": "PR", "XQAT": "QA",
    "XRIS": "RG", "XSAU": "SR", "XSES": "SI", "XSGO": "SN", "XSHE": "SZ", "XSHG": "SS", "XSTC": "VN", "XSTO": "ST",
    "XSTU": "SG", "XSWX": "SW", "XTAE": "TA", "XTAI": "TW", "XTAL": "TL", "XTKS": "T", "XTSE": "TO", "XTSX": "V",
    "XVIE": "VI", "XVIL": "VS", "XVTX": "SW", "XWAR": "WA", "XWBO": "VI",
}


def table_rows():
    with TSV.open(newline="", encoding="utf-8") as f:
        lines = [line for line in f if line.strip() and not line.startswith("#")]
    return list(csv.DictReader(lines, delimiter="\t", quoting=csv.QUOTE_NONE))


class Colour(BaseEnum):
    RED = "red"
    DARK_RED = "dark red"


def test_mic_table_is_the_data_file():
    rows = {row["mic"]: row["suffix"] for row in table_rows() if row["suffix"] != "-"}
    assert get_exchange_mic_to_suffix_dict() == rows
    assert len(rows) == 93


def test_mic_table_is_unchanged():
    assert get_exchange_mic_to_suffix_dict() == MIC_SUFFIXES


def test_every_row_is_compiled_as_written():
    for row in table_rows():
        suffix = None if row["suffix"] == "-" else row["suffix"]
        expected = (row["mic"], suffix, row["name"], row["city"], row["country"])
        assert _exchange("mic", row["mic"]) == expected
        for by in ("degiro", "trading212", "ibkr"):
            for code in filter(None, row[by].split("|")):
                assert _exchange(by, code) == expected, (by, code)


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


@pytest.mark.parametrize(
    "by, code, mic, name",
    [
        ("trading212", "Deutsche Börse Xetra", "XETR", "Xetra"),
        ("trading212", "London Stock Exchange AIM", "XLON", "London Stock Exchange"),
        ("trading212", "Wiener Börse", "XWBO", "Wiener Börse"),
        ("ibkr", "IBIS2", "XETR", "Xetra"),
        ("ibkr", "TSE", "XTSE", "Toronto Stock Exchange"),  # Toronto in IB's codes; Tokyo is TSEJ
        ("ibkr", "TSEJ", "XTKS", "Tokyo Stock Exchange"),
        ("ibkr", "ENEXT.BE", "XBRU", "Euronext Brussels"),
        ("ibkr", "GETTEX", "MUNC", "gettex"),
        ("degiro", "XAMS", "XAMS", "Euronext Amsterdam"),
        ("mic", "BVMF", "BVMF", "B3"),
    ],
)
def test_brokers_codes_name_their_venue(by, code, mic, name):
    row = _exchange(by, code)
    assert (row[0], row[2]) == (mic, name)


@pytest.mark.parametrize(
    "by, code",
    [("mic", "xams"), ("mic", "XAM"), ("mic", ""), ("ibkr", "ibis"), ("degiro", "MUNC"), ("trading212", "Xetra")],
)
def test_unknown_codes_name_nothing(by, code):
    assert _exchange(by, code) is None


def test_venues_outside_the_map_have_no_suffix():
    assert _exchange("ibkr", "PINK")[:2] == ("OTCM", None)
    assert "OTCM" not in get_exchange_mic_to_suffix_dict()


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
