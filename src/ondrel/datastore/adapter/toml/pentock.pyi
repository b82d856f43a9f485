"""Fast TOML encoder for UnifiedDataFormat documents."""

from types import CapsuleType
from typing import Literal, Protocol, type_check_only

from ondrel.datastore.tables.grimsel import TablesHolder

# Native exports: the 31 "B_*" token constants, capsules named "char const *".
__capi__: dict[str, CapsuleType]

@type_check_only
class _UnifiedData(Protocol):
    """What the encoder reads of a model: ``UnifiedDataFormat`` satisfies it."""

    @property
    def tuple_output(self) -> tuple[str, str, TablesHolder]: ...

def encode_unified_data(
    data: _UnifiedData,
    escape_strings: bool = False,
    *,
    datetimes: Literal["str", "toml"] = "str",
) -> str:
    """Return the TOML document of ``data`` as a str."""

def write_unified_data(
    data: _UnifiedData,
    filepath: str,
    escape_strings: bool = False,
    *,
    durable: bool = False,
    datetimes: Literal["str", "toml"] = "str",
) -> None:
    """Write the TOML document of ``data`` to ``filepath`` (UTF-8), replacing it whole."""

def _store_lock(fd: int, hold: bool, /) -> bool:
    """open_store's record of the store locks this thread holds."""
