"""Native TOML 1.0 reader: documents to dicts, as tomllib reads them."""

from collections.abc import Buffer, Callable
from os import PathLike
from tomllib import TOMLDecodeError as TOMLDecodeError
from typing import Any

def decode_unified_data(
    data: str | Buffer, *, parse_float: Callable[[str], Any] = ...
) -> dict[str, Any]:
    """Read a TOML document from a str or from UTF-8 bytes, as ``tomllib.loads`` reads it."""

def read_unified_data(
    filepath: str | bytes | PathLike[str] | PathLike[bytes],
    *,
    parse_float: Callable[[str], Any] = ...,
) -> dict[str, Any]:
    """Read a TOML file in one go and decode it as ``decode_unified_data`` does."""
