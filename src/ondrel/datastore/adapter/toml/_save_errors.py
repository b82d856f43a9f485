"""The error a save raises when its file cannot be opened or made.

Its text stays "Could not open file for writing: <path>", while its class (FileNotFoundError,
PermissionError, ...), ``errno``, ``strerror`` and ``filename`` give the cause, as open() would.
The classes live here, by name, so that the error pickles across processes.
"""

from __future__ import annotations

import builtins
import os


def _str(self: OSError) -> str:
    return str(self.args[0]) if self.args else ""


def _reduce(self: OSError) -> tuple[type[OSError], tuple[object, ...], dict[str, object]]:
    state = {"errno": self.errno, "strerror": self.strerror, "filename": self.filename}
    return (type(self), self.args, state)


def _keeping_text(base: type[OSError]) -> type[OSError]:
    doc = f"{base.__name__} of a save, whose message names the file it could not open."
    attrs = {"__module__": __name__, "__doc__": doc, "__str__": _str, "__reduce__": _reduce}
    cls = type(base.__name__, (base,), attrs)
    globals()[base.__name__] = cls
    return cls


# The classes below take these names in this module, so the built-ins are named through
# `builtins` from here on.
_BASES = (
    "OSError",
    "BlockingIOError",
    "FileExistsError",
    "FileNotFoundError",
    "InterruptedError",
    "IsADirectoryError",
    "NotADirectoryError",
    "PermissionError",
    "TimeoutError",
)
_BY_BASE = {getattr(builtins, n): _keeping_text(getattr(builtins, n)) for n in _BASES}


def could_not_open(err: int, filename: str) -> OSError:
    """The exception for a file that could not be opened or made, with ``err`` as its cause."""
    cls = _BY_BASE.get(type(builtins.OSError(err, "")), _BY_BASE[builtins.OSError])
    exc = cls(f"Could not open file for writing: {filename}")
    exc.errno, exc.strerror, exc.filename = err, os.strerror(err), filename
    return exc
