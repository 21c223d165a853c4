"""Files the toolkit writes and the text files it reads.

Writing: every file is written under a temporary name in its own directory
and renamed to its name only when complete, so a full disk, an error or an
interrupt never leaves an empty or half-written file under the final name
(and never destroys an earlier complete one).  The temporary name is
``.NAME.XXXXXXXX.part``: hidden, and never a name the program or the toolkit
gives a result file.

Reading: tables (sweep tables, measured curves) are UTF-8 text, with or
without the byte-order mark a spreadsheet's "CSV UTF-8" export puts first.
:func:`csv_rows` numbers the rows by the line of the file an editor shows
(a line ends at LF, CR LF or CR, and nowhere else).
"""

from __future__ import annotations

import contextlib
import csv
import os
import tempfile
from pathlib import Path

from .errors import QuestrandError


class InputFileError(QuestrandError, ValueError):
    """A text file that cannot be read as UTF-8 text."""


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


@contextlib.contextmanager
def replacing(path):
    """``with replacing(PATH) as partial:`` write the whole file to the path
    ``partial``; on a normal exit it is renamed to ``PATH``, on any
    exception (a full disk, an interrupt) it is removed and ``PATH`` is left
    as it was."""
    path = Path(path)
    try:
        fd, partial = tempfile.mkstemp(dir=path.parent, prefix=f".{path.name}.", suffix=".part")
    except OSError as exc:
        raise OSError(exc.errno, exc.strerror, str(path)) from None
    os.close(fd)
    try:
        os.chmod(partial, 0o666 & ~_umask())
        yield Path(partial)
        os.replace(partial, path)
    except BaseException as exc:
        with contextlib.suppress(OSError):
            os.unlink(partial)
        if isinstance(exc, OSError) and exc.errno is not None:
            # named by the file being written, not by its temporary name
            raise OSError(exc.errno, exc.strerror, str(path)) from None
        raise


def write_bytes(path, data: bytes) -> Path:
    """Write ``data`` as the whole file ``path`` (see :func:`replacing`)."""
    with replacing(path) as partial, open(partial, "wb") as out:
        out.write(data)
    return Path(path)


def write_text(path, text: str, encoding: str = "utf-8") -> Path:
    """Write ``text`` as the whole file ``path`` (see :func:`replacing`)."""
    return write_bytes(path, text.encode(encoding))


def save_figure(figure, path, **options) -> Path:
    """``figure.savefig(path)`` as a whole file; the format is the file
    name's extension (PNG when it has none)."""
    path = Path(path)
    fmt = options.pop("format", None) or (path.suffix[1:].lower() or "png")
    with replacing(path) as partial:
        figure.savefig(partial, format=fmt, **options)
    return path


# -- reading ---------------------------------------------------------------------
def read_text(path, what: str) -> str:
    """The text of a UTF-8 file (a leading byte-order mark dropped).

    Raises :class:`InputFileError` naming the file and ``what`` it should
    be when it cannot be read, and the line of the first byte that is not
    UTF-8."""
    path = Path(path)
    try:
        data = path.read_bytes()
    except OSError as exc:
        raise InputFileError(f"{path}: cannot read the {what}: {exc.strerror}") from None
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as exc:
        line = data[:exc.start].count(b"\n") + 1
        raise InputFileError(f"{path}: line {line}: expected UTF-8 text ({what}), found the byte "
                             f"0x{data[exc.start]:02X}; save the file as UTF-8") from None


def read_spreadsheet_text(path, what: str, warn=None) -> str:
    """The text of a file a spreadsheet may have saved: UTF-8 when the bytes
    are valid UTF-8 (a leading byte-order mark dropped), else Windows-1252
    (what a spreadsheet on Windows saves as "CSV"), said in one line to
    ``warn`` (a callable; None: nothing said).  A file neither reads as is
    refused as :func:`read_text` refuses it."""
    path = Path(path)
    try:
        return read_text(path, what)
    except InputFileError as exc:
        refused = exc
    try:
        text = path.read_bytes().decode("cp1252")
    except (OSError, UnicodeDecodeError):
        raise refused from None
    if warn is not None:
        warn(f"{path}: not UTF-8 text; read as Windows-1252 (the encoding of a spreadsheet's CSV "
             "on Windows); save it as UTF-8 to silence this")
    return text


def lines(text: str) -> list:
    """The lines of ``text`` as an editor shows them: ``(number, line)``,
    numbered from 1, the line ends (LF, CR LF, CR) removed."""
    return list(enumerate(text.replace("\r\n", "\n").replace("\r", "\n").split("\n"), 1))


def csv_rows(text: str) -> list:
    """The CSV records of ``text`` as ``(line number, cells)``: the line of
    the file where the record starts, blank lines included (as ``[]``)."""
    physical = [line for _, line in lines(text)]
    if physical and physical[-1] == "":
        physical.pop()
    reader = csv.reader(physical)
    rows, start = [], 1
    try:
        for cells in reader:
            rows.append((start, cells))
            start = reader.line_num + 1
    except csv.Error as exc:
        raise InputFileError(f"line {start}: {exc}") from None
    return rows
