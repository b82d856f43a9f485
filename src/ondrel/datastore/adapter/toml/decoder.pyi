"""Native TOML 1.0 reader: documents to dicts, as tomllib reads them."""

from collections.abc import Buffer, Callable
from os import PathLike
from tomllib import TOMLDecodeError as TOMLDecodeError
from typing import Any, Literal, final, overload

@final
class ArrowRecords:
    """A table's records as Arrow columns (Arrow PyCapsule Interface)."""

    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __len__(self) -> int: ...
    @property
    def num_rows(self) -> int: ...
    @property
    def column_names(self) -> list[str]: ...

@overload
def decode_unified_data(
    data: str | Buffer,
    *,
    parse_float: Callable[[str], Any] = ...,
    records: Literal["dicts"] = "dicts",
) -> dict[str, Any]:
    """Read a TOML document from a str or from UTF-8 bytes, as ``tomllib.loads`` reads it."""

@overload
def decode_unified_data(
    data: str | Buffer, *, parse_float: type[float] = ..., records: Literal["arrow"]
) -> dict[str, Any]:
    """As above, with each ``tables.<name>.records`` an ``ArrowRecords``."""

@overload
def read_unified_data(
    filepath: str | bytes | PathLike[str] | PathLike[bytes],
    *,
    parse_float: Callable[[str], Any] = ...,
    records: Literal["dicts"] = "dicts",
) -> dict[str, Any]:
    """Read a TOML file in one go and decode it as ``decode_unified_data`` does."""

@overload
def read_unified_data(
    filepath: str | bytes | PathLike[str] | PathLike[bytes],
    *,
    parse_float: type[float] = ...,
    records: Literal["arrow"],
) -> dict[str, Any]:
    """As above, with each ``tables.<name>.records`` an ``ArrowRecords``."""
