"""Native TOML reader (1.1, or 1.0 on request): documents to dicts, as tomllib reads them."""

from collections.abc import Buffer, Callable
from os import PathLike
from tomllib import TOMLDecodeError as TOMLDecodeError
from typing import Any, Literal, Protocol, final, overload, type_check_only

type _TomlVersion = Literal["1.1.0", "1.0.0"]
type _Path = str | bytes | PathLike[str] | PathLike[bytes]

@type_check_only
class _BinaryReader(Protocol):
    def read(self) -> bytes: ...

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

@overload
def decode_unified_data(
    data: str | Buffer,
    *,
    parse_float: Callable[[str], Any] = ...,
    toml_version: _TomlVersion = "1.1.0",
    records: Literal["dicts"] = "dicts",
    schema: Literal["declared", "inferred"] = "declared",
) -> dict[str, Any]:
    """Read a TOML document from a str or from UTF-8 bytes, as ``tomllib.loads`` reads it."""

@overload
def decode_unified_data(
    data: str | Buffer,
    *,
    parse_float: type[float] = ...,
    toml_version: _TomlVersion = "1.1.0",
    records: Literal["arrow"],
    schema: Literal["declared", "inferred"] = "declared",
) -> dict[str, Any]:
    """As above, with each ``tables.<name>.records`` an ``ArrowRecords``: its columns built as
    their declared types (``schema="declared"``) or as the types their values have
    (``schema="inferred"``)."""

@overload
def read_unified_data(
    filepath: _Path,
    *,
    parse_float: Callable[[str], Any] = ...,
    toml_version: _TomlVersion = "1.1.0",
    records: Literal["dicts"] = "dicts",
    schema: Literal["declared", "inferred"] = "declared",
) -> dict[str, Any]:
    """Read a TOML file in one go and decode it as ``decode_unified_data`` does."""

@overload
def read_unified_data(
    filepath: _Path,
    *,
    parse_float: type[float] = ...,
    toml_version: _TomlVersion = "1.1.0",
    records: Literal["arrow"],
    schema: Literal["declared", "inferred"] = "declared",
) -> dict[str, Any]:
    """As above, with each ``tables.<name>.records`` an ``ArrowRecords``: its columns built as
    their declared types (``schema="declared"``) or as the types their values have
    (``schema="inferred"``)."""
