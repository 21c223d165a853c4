"""Files written whole or not at all: the text or image goes to a temporary
name in the same directory and is renamed over the final name only when it
is complete, so a full disk or an interrupt never leaves an empty or partial
file that looks finished."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path


def _replace_with(path, write) -> None:
    path = Path(path)
    fd, tmp = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".part", dir=path.parent or ".")
    try:
        with os.fdopen(fd, "wb") as out:
            write(out)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def write_text(path, text: str, encoding: str = "utf-8") -> None:
    """Write ``text`` to ``path`` whole or not at all."""
    data = text.encode(encoding)
    _replace_with(path, lambda out: out.write(data))


def save_figure(figure, path, **options) -> None:
    """Save a matplotlib figure to ``path`` whole or not at all (the format
    from the file name's suffix)."""
    fmt = Path(path).suffix.lstrip(".") or "png"
    _replace_with(path, lambda out: figure.savefig(out, format=fmt, **options))
