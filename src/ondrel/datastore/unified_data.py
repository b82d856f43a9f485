"""The unified data format model: header values and the tables of one document."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, Field, model_validator

from ondrel.datastore.tables.grimsel import TablesHolder

__all__ = ["UnifiedDataFormat"]

_HEADER_FIELDS = ("version", "schema_version")


class UnifiedDataFormat(BaseModel):
    """One document: format version, schema version and named tables.

    Takes the document's own shape too (what the reader returns): a ``header`` table supplies
    ``version`` and ``schema_version``, and its ``tables`` list must name the tables present.
    """

    version: str = "1.0"
    schema_version: str = "1"
    tables: TablesHolder = Field(default_factory=TablesHolder)

    @model_validator(mode="before")
    @classmethod
    def _from_document(cls, data: Any) -> Any:
        """Lifts the header's values to the fields; only table names are read, never records
        (they may be Arrow tables)."""
        if not isinstance(data, dict) or "header" not in data:
            return data
        header = data["header"]
        if not isinstance(header, dict):
            raise ValueError(f"header must be a table, not {type(header).__name__}")
        out = {k: v for k, v in data.items() if k != "header"}
        for name in _HEADER_FIELDS:
            if name not in header:
                continue
            if name in out and out[name] != header[name]:
                raise ValueError(
                    f"header.{name} {header[name]!r} conflicts with {name} {out[name]!r}"
                )
            out[name] = header[name]
        if "tables" in header:
            _check_table_list(header["tables"], out.get("tables"))
        return out

    @property
    def tuple_output(self) -> tuple[str, str, TablesHolder]:
        """(version, schema_version, tables), the shape the TOML encoder reads."""
        return (self.version, self.schema_version, self.tables)


def _check_table_list(listed: Any, tables: Any) -> None:
    """A header whose table list disagrees with the tables present marks a damaged store."""
    if not isinstance(listed, list) or not all(isinstance(n, str) for n in listed):
        raise ValueError("header.tables must be a list of table names")
    if isinstance(tables, dict):
        present = list(tables)
    elif isinstance(tables, TablesHolder):
        present = tables.keys()
    else:
        present = []
    listed_set, present_set = set(listed), set(present)
    missing = [n for n in listed if n not in present_set]
    unlisted = [n for n in present if n not in listed_set]
    if missing or unlisted:
        parts = []
        if missing:
            parts.append(f"listed but absent: {missing}")
        if unlisted:
            parts.append(f"present but not listed: {unlisted}")
        raise ValueError(f"header.tables disagrees with the tables: {'; '.join(parts)}")
