"""Native TOML reader (1.1, or 1.0 on request): documents to dicts, as tomllib reads them."""

from collections.abc import Buffer, Callable
from os import PathLike
from tomllib import TOMLDecodeError as TOMLDecodeError
from typing import Any, Literal, Protocol, type_check_only

type _TomlVersion = Literal["1.1.0", "1.0.0"]

@type_check_only
class _BinaryReader(Protocol):
    def read(self) -> bytes: ...

def loads(
    s: str,
    /,
    *,
    parse_float: Callable[[str], Any] = ...,
    toml_version: _TomlVersion = "1.1.0",
) -> dict[str, Any]:
    """Parse TOML from a str, as ``tomllib.loads`` does."""

def load(
    fp: _BinaryReader,
    /,
    *,
    parse_float: Callable[[str], Any] = ...,
    toml_version: _TomlVersion = "1.1.0",
) -> dict[str, Any]:
    """Parse TOML from a binary file, as ``tomllib.load`` does: ``fp.read()`` is called once."""

def decode_unified_data(
    data: str | Buffer,
    *,
    parse_float: Callable[[str], Any] = ...,
    toml_version: _TomlVersion = "1.1.0",
) -> dict[str, Any]:
    """Read a TOML document from a str or from UTF-8 bytes, as ``tomllib.loads`` reads it."""

def read_unified_data(
    filepath: str | bytes | PathLike[str] | PathLike[bytes],
    *,
    parse_float: Callable[[str], Any] = ...,
    toml_version: _TomlVersion = "1.1.0",
) -> dict[str, Any]:
    """Read a TOML file in one go and decode it as ``decode_unified_data`` does."""
