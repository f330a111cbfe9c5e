"""The output: holdings, positions or cash balances as JSON, CSV or a table, written to stdout or safely to a file."""

from __future__ import annotations

import contextlib
import csv
import io
import json
import os
import shutil
import stat
import sys
import tempfile
import unicodedata
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

from morbex.records import CASH_BALANCE_KEYS, HOLDING_KEYS, POSITION_KEYS

# The keys of every holding, in the order the broker writes them.
FIELDS = HOLDING_KEYS

FORMATS = ("json", "csv", "table")

# -- formats ----------------------------------------------------------------------


def as_json(text: str, indent: int | None) -> str:
    if indent is None:
        return text + "\n"
    # Escaped or not, non-ASCII stays as the library wrote it.
    return json.dumps(json.loads(text), indent=indent, ensure_ascii=text.isascii()) + "\n"


def as_csv(holdings: list[dict[str, Any]], keys: Sequence[str]) -> str:
    out = io.StringIO()
    writer = csv.writer(out)
    writer.writerow(keys)
    # csv writes None as an empty cell.
    writer.writerows([holding.get(key) for key in keys] for holding in holdings)
    return out.getvalue()


def cell_width(text: str) -> int:
    """Columns a terminal gives the text: wide East Asian characters take two, combining marks none."""
    return sum(
        0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text
    )


def fit(text: str, width: int) -> str:
    """The text cut to the width (ending in '…' when cut), padded with spaces to it."""
    if cell_width(text) > width:
        kept = []
        used = 0
        for c in text:
            w = cell_width(c)
            if used + w > width - 1:
                break
            kept.append(c)
            used += w
        text = "".join(kept) + "…"
    return text + " " * (width - cell_width(text))


def text(value: Any) -> str:
    return "" if value is None else str(value)


def quantity_text(value: Any) -> str:
    if isinstance(value, float) and value.is_integer():
        return f"{value:.0f}"
    return text(value)


def amount_text(value: Any, places: int = 2) -> str:
    return "" if value is None else f"{value:,.{places}f}"


def price_text(value: Any) -> str:
    # Cents where that says it all; sub-cent prices keep four places.
    return amount_text(value, 2 if value is None or round(value, 2) == value else 4)


@dataclass(frozen=True)
class Column:
    """One column of a table: its header, its cell for a record, and how it gives way."""

    header: str
    cell: Callable[[dict[str, Any]], str]
    numeric: bool = False  # right-aligned
    floor: int | None = None  # too wide for the terminal: shrinks down to this width


def cost(position: dict[str, Any]) -> float | None:
    """What the position cost: quantity x average price, in its currency."""
    quantity, average = position.get("quantity"), position.get("average_price")
    return None if quantity is None or average is None else quantity * average


TICKER = Column("TICKER", lambda h: text(h.get("ticker_suffix")))
COMPANY = Column("COMPANY", lambda h: text(h.get("company")), floor=12)
QUANTITY = Column("QUANTITY", lambda h: quantity_text(h.get("quantity")), numeric=True)
CURRENCY = Column("CURRENCY", lambda h: text(h.get("currency")))
EXCHANGE = Column(
    "EXCHANGE",
    lambda h: text(h.get("exchange_name") if h.get("exchange_name") is not None else h.get("exchange_id")),
    floor=10,
)
ISIN = Column("ISIN", lambda h: text(h.get("isin")))
PRICE = Column("PRICE", lambda p: price_text(p.get("price")), numeric=True)
VALUE = Column("VALUE", lambda p: amount_text(p.get("value")), numeric=True)
COST = Column("COST", lambda p: amount_text(cost(p)), numeric=True)

HOLDING_COLUMNS = (TICKER, COMPANY, QUANTITY, CURRENCY, EXCHANGE, ISIN)
POSITION_COLUMNS = (TICKER, COMPANY, QUANTITY, CURRENCY, PRICE, VALUE, COST, EXCHANGE, ISIN)
CASH_COLUMNS = (
    Column("CURRENCY", lambda b: text(b.get("currency"))),
    Column("AMOUNT", lambda b: amount_text(b.get("amount")), numeric=True),
    Column("ACCOUNT", lambda b: text(b.get("account"))),
    Column("AS OF", lambda b: text(b.get("as_of"))),
)


def grid(columns: Sequence[Column], rows: list[tuple[str, ...]], footer: str, width: int) -> str:
    """The rows under the headers, fitted to the terminal's width, then the footer line."""
    headers = tuple(column.header for column in columns)
    widths = [max(cell_width(cell) for cell in column) for column in zip(headers, *rows)]
    # Too wide for the terminal: the columns that may give way do, the wider
    # first, down to a floor that keeps them recognisable.
    gap = 2
    shrinkable = {i: column.floor for i, column in enumerate(columns) if column.floor is not None}
    excess = sum(widths) + gap * (len(widths) - 1) - width
    while excess > 0:
        index = max(shrinkable, key=lambda i: widths[i] - shrinkable[i])
        if widths[index] <= shrinkable[index]:
            break
        widths[index] -= 1
        excess -= 1
    lines = []
    for row in (headers, *rows):
        cells = []
        for i, cell in enumerate(row):
            cell = fit(cell, widths[i])
            if columns[i].numeric:
                cell = cell.strip(" ").rjust(widths[i])
            cells.append(cell)
        lines.append((" " * gap).join(cells).rstrip())
    lines.append(footer)
    return "\n".join(lines) + "\n"


def counted(count: int, noun: str) -> str:
    return f"{count} {noun}{'' if count == 1 else 's'}"


def totals(positions: list[dict[str, Any]]) -> list[tuple[str, ...]]:
    """Rows of totals, after a blank one: value and cost per currency (minor units counted in their major
    currency: pence in pounds), then value per base currency where the broker gives one.
    A total some position has no figure for is left blank."""
    by_currency: dict[Any, list[float | None]] = {}
    for p in positions:
        scale = p.get("unit_scale") or 1
        major = p.get("major_currency") or p.get("currency")
        sums = by_currency.setdefault(major, [0.0, 0.0])
        for i, figure in enumerate((p.get("value"), cost(p))):
            so_far = sums[i]
            sums[i] = None if figure is None or so_far is None else so_far + figure / scale
    by_base: dict[Any, float] = {}
    if positions and all(p.get("base_value") is not None and p.get("base_currency") for p in positions):
        for p in positions:
            by_base[p["base_currency"]] = by_base.get(p["base_currency"], 0.0) + p["base_value"]
    rows: list[tuple[str, ...]] = [("",) * len(POSITION_COLUMNS)]  # a blank line before them
    for currency, (value, paid) in sorted(by_currency.items(), key=lambda item: text(item[0])):
        rows.append(("total", "", "", text(currency), "", amount_text(value), amount_text(paid), "", ""))
    for currency, value in by_base.items():
        rows.append(("total", "all in base", "", text(currency), "", amount_text(value), "", "", ""))
    return rows


@dataclass(frozen=True)
class Kind:
    """A kind of record list and how it is written."""

    keys: Sequence[str]  # the CSV's columns
    columns: Sequence[Column]  # the table's
    noun: str  # what its records are counted in
    totals: Callable[[list[dict[str, Any]]], list[tuple[str, ...]]] | None = None  # rows after the records


KINDS: dict[str, Kind] = {
    "holdings": Kind(FIELDS, HOLDING_COLUMNS, "holding"),
    "positions": Kind(POSITION_KEYS, POSITION_COLUMNS, "holding", totals),
    "cash": Kind(CASH_BALANCE_KEYS, CASH_COLUMNS, "balance"),
}


def as_table(records: list[dict[str, Any]], kind: Kind, width: int) -> str:
    rows = [tuple(column.cell(r) for column in kind.columns) for r in records]
    if kind.totals is not None:
        rows += kind.totals(records)
    return grid(kind.columns, rows, counted(len(records), kind.noun), width)


def render(read: str | list[dict[str, Any]], kind: str, fmt: str, indent: int | None) -> tuple[str, int]:
    """The output for a format, and the number of records.

    The holdings come as the library's JSON text, written as it is; other
    records (positions, cash balances) as lists, written as json.dumps's
    defaults write them, as the holdings text is.
    """
    records: list[dict[str, Any]] = json.loads(read) if isinstance(read, str) else read
    if fmt == "csv":
        return as_csv(records, KINDS[kind].keys), len(records)
    if fmt == "table":
        return as_table(records, KINDS[kind], shutil.get_terminal_size().columns), len(records)
    return as_json(read if isinstance(read, str) else json.dumps(records), indent), len(records)


# -- output -----------------------------------------------------------------------


class WriteError(Exception):
    """Writing the output failed; the message says where and why."""


def check_writable(path: str) -> None:
    """Refuse early, before a login, a target that could never be written."""
    folder = os.path.dirname(os.path.realpath(path))
    if not os.path.isdir(folder):
        raise WriteError(f"cannot write {path}: no such folder {folder}")
    if os.path.isdir(path):
        raise WriteError(f"cannot write {path}: it is a folder")


def write_atomically(path: str, text: str) -> None:
    """Write a whole new file, then rename it over the target.

    A reader sees the old file or the new one, never part of one; on any
    failure, an interrupt included, the old file is left as it was and the
    temporary file is removed.
    """
    target = os.path.realpath(path)  # a symlink keeps pointing at the new file
    folder, name = os.path.split(target)
    try:
        mode = stat.S_IMODE(os.stat(target).st_mode)
    except FileNotFoundError:
        umask = os.umask(0)
        os.umask(umask)
        mode = 0o666 & ~umask
    fd, temporary = tempfile.mkstemp(dir=folder, prefix=f".{name}.", suffix=".tmp")
    try:
        with open(fd, "w", encoding="utf-8", newline="") as file:
            file.write(text)
            file.flush()
            os.fsync(file.fileno())
        os.chmod(temporary, mode)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def write_output(path: str | None, text: str) -> None:
    if path is None or path == "-":
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    try:
        write_atomically(path, text)
    except OSError as error:
        raise WriteError(f"cannot write {path}: {error.strerror or error}") from error
