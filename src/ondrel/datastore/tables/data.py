"""Table models: column definitions and records of one table."""

from __future__ import annotations

from typing import Any

from pydantic import BaseModel, Field

__all__ = ["Column", "TableData"]


class Column(BaseModel):
    """One column definition."""

    name: str
    type: str
    unique: bool = False
    comment: str | None = None
    foreign_key: str | None = None
    default: Any = None
    ondelete: str | None = None
    onupdate: str | None = None
    nullable: bool = False
    primary_key: bool = False
    autoincrement: bool = False

    def as_tuple(self) -> tuple[Any, ...]:
        return (
            self.name,
            self.type,
            self.unique,
            self.comment,
            self.foreign_key,
            self.default,
            self.ondelete,
            self.onupdate,
            self.nullable,
            self.primary_key,
            self.autoincrement,
        )


class TableData(BaseModel):
    """Columns and records of one table."""

    columns: list[Column] = Field(default_factory=list)
    records: list[dict[str, Any]] = Field(default_factory=list)

    def tuple_values(self) -> tuple[tuple[tuple[Any, ...], ...], tuple[dict[str, Any], ...]]:
        """(column 11-tuples, record dicts), the shape the TOML encoder reads."""
        return tuple(c.as_tuple() for c in self.columns), tuple(self.records)
