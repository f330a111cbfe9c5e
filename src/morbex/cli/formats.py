"""The output: the holdings as JSON, CSV or a table, written to stdout or safely to a file."""

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
from typing import Any

from morbex.records import HOLDING_KEYS

# The keys of every holding, in the order the broker writes them.
FIELDS = HOLDING_KEYS

FORMATS = ("json", "csv", "table")

# -- formats ----------------------------------------------------------------------


def as_json(text: str, indent: int | None) -> str:
    if indent is None:
        return text + "\n"
    # Escaped or not, non-ASCII stays as the library wrote it.
    return json.dumps(json.loads(text), indent=indent, ensure_ascii=text.isascii()) + "\n"


def as_csv(holdings: list[dict[str, Any]]) -> str:
    out = io.StringIO()
    writer = csv.writer(out)
    writer.writerow(FIELDS)
    # csv writes None as an empty cell.
    writer.writerows([holding.get(key) for key in FIELDS] for holding in holdings)
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


def quantity_text(value: Any) -> str:
    if isinstance(value, float) and value.is_integer():
        return f"{value:.0f}"
    return "" if value is None else str(value)


def as_table(holdings: list[dict[str, Any]], columns: int) -> str:
    def text(value: Any) -> str:
        return "" if value is None else str(value)

    headers = ("TICKER", "COMPANY", "QUANTITY", "CURRENCY", "EXCHANGE", "ISIN")
    rows = [
        (
            text(h.get("ticker_suffix")),
            text(h.get("company")),
            quantity_text(h.get("quantity")),
            text(h.get("currency")),
            text(h.get("exchange_name") if h.get("exchange_name") is not None else h.get("exchange_id")),
            text(h.get("isin")),
        )
        for h in holdings
    ]
    widths = [max(cell_width(cell) for cell in column) for column in zip(headers, *rows)]
    # Too wide for the terminal: the company and exchange names give way,
    # the wider first, down to a floor that keeps them recognisable.
    gap = 2
    shrinkable = {1: 12, 4: 10}  # column: narrowest width
    excess = sum(widths) + gap * (len(widths) - 1) - columns
    while excess > 0:
        index = max(shrinkable, key=lambda i: widths[i] - shrinkable[i])
        if widths[index] <= shrinkable[index]:
            break
        widths[index] -= 1
        excess -= 1
    right_aligned = {2}
    lines = []
    for row in (headers, *rows):
        cells = []
        for i, cell in enumerate(row):
            cell = fit(cell, widths[i])
            if i in right_aligned:
                cell = cell.strip(" ").rjust(widths[i])
            cells.append(cell)
        lines.append((" " * gap).join(cells).rstrip())
    count = len(holdings)
    lines.append(f"{count} holding{'' if count == 1 else 's'}")
    return "\n".join(lines) + "\n"


def render(text: str, fmt: str, indent: int | None) -> tuple[str, int]:
    """The output for a format, and the number of holdings."""
    holdings: list[dict[str, Any]] = json.loads(text)
    if fmt == "csv":
        return as_csv(holdings), len(holdings)
    if fmt == "table":
        return as_table(holdings, shutil.get_terminal_size().columns), len(holdings)
    return as_json(text, indent), len(holdings)


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
