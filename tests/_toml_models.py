"""Small stand-ins for models and tables that the TOML encoder tests build."""

from __future__ import annotations

from typing import Any

from ondrel.datastore.tables.grimsel import TablesHolder


class Table:
    """A table object: tuple_values() returns whatever it was given."""

    def __init__(self, columns: Any = (), records: Any = ()):
        self.columns = tuple(columns) if isinstance(columns, list) else columns
        self.records = tuple(records) if isinstance(records, list) else records

    def tuple_values(self) -> Any:
        return (self.columns, self.records)


def col(
    name: Any,
    type: Any = "TEXT",
    *,
    unique: Any = False,
    comment: Any = None,
    foreign_key: Any = None,
    default: Any = None,
    ondelete: Any = None,
    onupdate: Any = None,
    nullable: Any = False,
    primary_key: Any = False,
    autoincrement: Any = False,
) -> tuple[Any, ...]:
    """A column 11-tuple in the order the encoder reads."""
    return (
        name,
        type,
        unique,
        comment,
        foreign_key,
        default,
        ondelete,
        onupdate,
        nullable,
        primary_key,
        autoincrement,
    )


class Model:
    """Anything with a tuple_output attribute is a model to the encoder."""

    def __init__(
        self,
        tables: dict[str, Any] | None = None,
        version: Any = "1.0",
        schema_version: Any = "2",
        output: Any = ...,
    ):
        self.tables = TablesHolder(tables or {})
        self.tuple_output = output if output is not ... else (version, schema_version, self.tables)


def records_model(records: list[Any], name: str = "t") -> Model:
    return Model({name: Table([col("v")], records)})
