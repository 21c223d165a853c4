"""The one reading rule of every table the toolkit reads (measured curves,
sweep tables, design tables).

* the file is UTF-8 text (a leading byte-order mark dropped), or, where the
  caller allows it, a spreadsheet's Windows-1252 CSV (said in one line);
* a line whose first non-blank character is ``#`` is a comment, and a line
  of blanks (or of empty cells, ``,,,``) is skipped;
* the first line left is the header; each further line is one CSV record;
* every record keeps the number of its line as an editor shows it, so an
  error names the line the user sees.
"""

from __future__ import annotations

import csv

from . import files


def is_comment(line: str) -> bool:
    """A comment line: its first non-blank character is ``#``."""
    return line.lstrip().startswith("#")


def table_records(text: str) -> list:
    """The CSV records of a table's ``text`` as ``(line number, cells)``,
    comment lines and blank lines (also lines of empty cells) left out."""
    kept = [(n, line) for n, line in files.lines(text) if line.strip() and not is_comment(line)]
    try:
        records = list(csv.reader([line for _, line in kept]))
    except csv.Error as exc:
        raise files.InputFileError(f"{exc}") from None
    return [(n, cells) for (n, _), cells in zip(kept, records) if any(cell.strip() for cell in cells)]


def read_table(path, what: str, warn=None, spreadsheet: bool = False) -> list:
    """The records of the table file ``path`` (see :func:`table_records`).
    ``spreadsheet``: a file that is not UTF-8 is read as Windows-1252 and
    ``warn`` told so.  Raises :class:`~questrand.files.InputFileError`
    naming the file."""
    text = (files.read_spreadsheet_text(path, what, warn) if spreadsheet
            else files.read_text(path, what))
    try:
        return table_records(text)
    except files.InputFileError as exc:
        raise files.InputFileError(f"{path}: {exc}") from None
