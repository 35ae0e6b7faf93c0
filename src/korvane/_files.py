"""Writing output files whole or not at all."""

from __future__ import annotations

import os
import secrets
from contextlib import contextmanager
from typing import IO, Any, Iterator


@contextmanager
def atomic_output(path: str | os.PathLike[str], mode: str = "wb",
                  fsync: bool = False) -> Iterator[IO[Any]]:
    """A file handle whose content replaces `path` only when the block ends
    without an exception; otherwise `path` is left as it was.

    The data goes to a temporary file beside the target (same directory, so
    the final rename is atomic on POSIX) created with the permissions a plain
    open() would give; it is renamed over the target on success and removed
    on failure, Ctrl-C included. Text mode writes UTF-8, with backslash
    escapes for the lone surrogates that non-UTF-8 file names decode to."""
    target = os.fspath(path)
    directory, name = os.path.split(target)
    temp = os.path.join(directory, f".{name}.{secrets.token_hex(4)}.tmp")
    fd = os.open(temp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
    try:
        if mode not in ("w", "wb"):
            raise ValueError(f"mode must be 'w' or 'wb', not {mode!r}")
        handle: IO[Any] = (os.fdopen(fd, "w", encoding="utf-8", errors="backslashreplace")
                           if mode == "w" else os.fdopen(fd, "wb"))
    except BaseException:
        os.close(fd)
        os.unlink(temp)
        raise
    try:
        with handle:
            yield handle
            handle.flush()
            if fsync:
                os.fsync(handle.fileno())
        os.replace(temp, target)
    except BaseException:
        try:
            os.unlink(temp)
        except FileNotFoundError:
            pass
        raise
