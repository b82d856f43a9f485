"""Fast TOML encoder for UnifiedDataFormat documents."""

from types import CapsuleType
from typing import Protocol, type_check_only

from ondrel.datastore.tables.grimsel import TablesHolder

# Native exports: the 31 "B_*" token constants, capsules named "char const *".
__capi__: dict[str, CapsuleType]

@type_check_only
class _UnifiedData(Protocol):
    """What the encoder reads of a model: ``UnifiedDataFormat`` satisfies it."""

    @property
    def tuple_output(self) -> tuple[str, str, TablesHolder]: ...

def encode_unified_data(data: _UnifiedData, escape_strings: bool = False) -> str:
    """Return the TOML document of ``data`` as a str."""

def write_unified_data(
    data: _UnifiedData, filepath: str, escape_strings: bool = False, *, durable: bool = False
) -> None:
    """Write the TOML document of ``data`` to ``filepath`` (UTF-8), replacing it whole."""
