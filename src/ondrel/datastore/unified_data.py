"""The unified data format model: header values and the tables of one document."""

from __future__ import annotations

from pydantic import BaseModel, Field

from ondrel.datastore.tables.grimsel import TablesHolder

__all__ = ["UnifiedDataFormat"]


class UnifiedDataFormat(BaseModel):
    """One document: format version, schema version and named tables."""

    version: str = "1.0"
    schema_version: str = "1"
    tables: TablesHolder = Field(default_factory=TablesHolder)

    @property
    def tuple_output(self) -> tuple[str, str, TablesHolder]:
        """(version, schema_version, tables), the shape the TOML encoder reads."""
        return (self.version, self.schema_version, self.tables)
