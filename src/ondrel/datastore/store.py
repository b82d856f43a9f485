"""A store that several processes and threads can change at once: ``open_store`` locks the
file, loads it, and saves the model atomically when the block ends, all under one lock."""

from __future__ import annotations

import errno
import fcntl
import os
import stat
import time
from types import TracebackType
from typing import Any, Literal

from ondrel.datastore.adapter.toml import pentock
from ondrel.datastore.adapter.toml.decoder import decode_unified_data
from ondrel.datastore.adapter.toml.pentock import write_unified_data
from ondrel.datastore.unified_data import UnifiedDataFormat

__all__ = ["StoreHandle", "open_store"]

_STORE_KEYS = frozenset({"header", "tables"})


def open_store(
    path: str | os.PathLike[str],
    *,
    timeout: float | None = None,
    records: Literal["dicts", "arrow"] = "dicts",
    schema: Literal["declared", "inferred"] = "declared",
    toml_version: Literal["1.1.0", "1.0.0"] = "1.1.0",
    escape_strings: bool = True,
    durable: bool = False,
    datetimes: Literal["str", "toml"] = "toml",
) -> StoreHandle:
    """Lock the store at ``path``, load it, and save it when the ``with`` block ends cleanly.

    ``with open_store("db.toml") as model:`` yields the ``UnifiedDataFormat``; nothing is saved
    if the block raises. A missing file (or an empty one) starts an empty model. ``timeout``
    (seconds, None: wait as long as it takes) bounds the wait for the lock, then
    ``TimeoutError``. The defaults save back what was loaded unchanged: ``datetimes="toml"``,
    ``escape_strings=True``.
    """
    return StoreHandle(
        path,
        timeout=timeout,
        read={"records": records, "schema": schema, "toml_version": toml_version},
        write={"escape_strings": escape_strings, "durable": durable, "datetimes": datetimes},
    )


class StoreHandle:
    """One load-change-save of a store under its lock; used once, as a context manager."""

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        timeout: float | None,
        read: dict[str, Any],
        write: dict[str, Any],
    ) -> None:
        raw = os.fspath(path)
        self.path: str = os.fsdecode(raw)
        if timeout is not None and not timeout >= 0:
            raise ValueError(f"timeout must be None or a number of seconds >= 0, not {timeout!r}")
        self._timeout = timeout
        self._read, self._write = read, write
        self._fd: int | None = None
        self._made = False  # the file did not exist: this handle made it, empty, to lock it
        self._used = False
        self._model: UnifiedDataFormat | None = None

    def __enter__(self) -> UnifiedDataFormat:
        if self._used:
            raise RuntimeError(
                f"this handle of {self.path!r} was used already: a handle loads and saves once; "
                "call open_store() again"
            )
        self._used = True
        self._fd, self._made = _lock(self.path, self._timeout)
        try:
            self._model = _load(self._fd, self.path, self._read)
        except BaseException:
            self._release(remove_made=True)
            raise
        return self._model

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        model, self._model = self._model, None
        try:
            if exc_type is None and model is not None:
                write_unified_data(model, self.path, **self._write)
        finally:
            self._release(remove_made=exc_type is not None or model is None)

    def _release(self, *, remove_made: bool) -> None:
        fd, self._fd = self._fd, None
        if fd is None:
            return
        try:
            if remove_made and self._made:
                _remove_if_still_empty(fd, self.path)
        finally:
            pentock._store_lock(fd, False)
            os.close(fd)  # the flock goes with the last descriptor of its open file


def _lock(path: str, timeout: float | None) -> tuple[int, bool]:
    """An open descriptor of the file that ``path`` names, locked; and whether it was made."""
    deadline = None if timeout is None else time.monotonic() + timeout
    while True:
        fd, made = _open(path)
        try:
            st = os.fstat(fd)
            if not stat.S_ISREG(st.st_mode):
                raise OSError(errno.EINVAL, "open_store needs a regular file", path)
            if not pentock._store_lock(fd, True):
                raise RuntimeError(
                    f"{path!r} is already open in a store handle of this thread: a handle "
                    "inside it would wait for itself; change the outer handle's model instead"
                )
        except BaseException:
            os.close(fd)
            raise
        try:
            _flock(fd, path, timeout, deadline)
            # A save renamed a new file over the name while we waited: lock that one instead.
            if _same_file(path, st):
                return fd, made
        except BaseException:
            pentock._store_lock(fd, False)
            os.close(fd)
            raise
        pentock._store_lock(fd, False)
        os.close(fd)


def _open(path: str) -> tuple[int, bool]:
    flags = os.O_RDWR | os.O_CLOEXEC | os.O_NOCTTY
    while True:
        try:
            return os.open(path, flags), False
        except FileNotFoundError:
            pass
        except IsADirectoryError:
            raise IsADirectoryError(
                errno.EISDIR, "open_store needs a store file, and this is a directory", path
            ) from None
        try:
            return os.open(path, flags | os.O_CREAT | os.O_EXCL, 0o666), True
        except FileExistsError:
            continue  # made by another process meanwhile: open that one


def _flock(fd: int, path: str, timeout: float | None, deadline: float | None) -> None:
    try:
        if deadline is None:
            fcntl.flock(fd, fcntl.LOCK_EX)
            return
        pause = 0.001
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
                return
            except BlockingIOError:
                left = deadline - time.monotonic()
                if left <= 0:
                    raise TimeoutError(
                        errno.ETIMEDOUT,
                        f"another writer held the store's lock for all of the {timeout} s waited",
                        path,
                    ) from None
                time.sleep(min(pause, left))
                pause = min(pause * 2, 0.05)
    except OSError as e:
        if e.errno in (errno.ENOLCK, errno.EOPNOTSUPP, errno.EINVAL):
            raise OSError(e.errno, "the file system gives no lock for this store", path) from e
        raise


def _same_file(path: str, st: os.stat_result) -> bool:
    try:
        now = os.stat(path)
    except FileNotFoundError:
        return False
    return (now.st_dev, now.st_ino) == (st.st_dev, st.st_ino)


def _remove_if_still_empty(fd: int, path: str) -> None:
    st = os.fstat(fd)
    if st.st_size == 0 and _same_file(path, st):
        os.unlink(path)


def _load(fd: int, path: str, read: dict[str, Any]) -> UnifiedDataFormat:
    with open(fd, "rb", closefd=False) as f:
        data = f.read()
    if not data.strip():
        return UnifiedDataFormat()  # a new store
    doc = decode_unified_data(data, **read)
    others = sorted(k for k in doc if k not in _STORE_KEYS)
    if others:
        raise ValueError(
            f"{path!r} is not a store: it has top-level keys {others} besides 'header' and "
            "'tables'; open_store leaves it as it is"
        )
    return UnifiedDataFormat.model_validate(doc)
