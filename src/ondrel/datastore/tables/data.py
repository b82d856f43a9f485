"""Table models: column definitions and records of one table."""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Annotated, Any, Protocol

from pydantic import (
    BaseModel,
    Field,
    SerializerFunctionWrapHandler,
    WrapValidator,
    field_serializer,
)
from pydantic_core.core_schema import ValidatorFunctionWrapHandler

__all__ = ["ArrowStreamExportable", "Column", "TableData"]


class ArrowStreamExportable(Protocol):
    """Any table with the Arrow PyCapsule Interface's stream export (pyarrow, polars, pandas,
    DuckDB, the reader's ArrowRecords)."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...


def _is_arrow(value: object) -> bool:
    return hasattr(type(value), "__arrow_c_stream__")


def _keep_arrow(value: Any, handler: ValidatorFunctionWrapHandler) -> Any:
    # Arrow records stay the caller's object: no copy, no dicts; the encoder reads its stream.
    return value if _is_arrow(value) else handler(value)


def _pyarrow() -> Any:
    try:
        return importlib.import_module("pyarrow")
    except ImportError as exc:
        raise ImportError(
            "model_dump() of Arrow records needs pyarrow (pip install ondrel-datastore[arrow])"
        ) from exc


def _arrow_to_pylist(value: Any) -> list[dict[str, Any]]:
    rows: list[dict[str, Any]] = _pyarrow().table(value).to_pylist()
    return rows


if TYPE_CHECKING:
    # Any, not the protocol: code that reads records as a list keeps type-checking.
    _Records = list[dict[str, Any]] | Any
else:
    _Records = Annotated[list[dict[str, Any]], WrapValidator(_keep_arrow)]


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
    records: _Records = Field(default_factory=list)

    def model_dump(self, *args: Any, **kwargs: Any) -> dict[str, Any]:
        if _is_arrow(self.records):
            _pyarrow()  # the ImportError itself, before pydantic wraps it in its own error
        return super().model_dump(*args, **kwargs)

    def model_dump_json(self, *args: Any, **kwargs: Any) -> str:
        if _is_arrow(self.records):
            _pyarrow()
        return super().model_dump_json(*args, **kwargs)

    @field_serializer("records", mode="wrap")
    def _dump_records(self, value: Any, handler: SerializerFunctionWrapHandler) -> Any:
        return handler(_arrow_to_pylist(value) if _is_arrow(value) else value)

    def tuple_values(
        self,
    ) -> tuple[tuple[tuple[Any, ...], ...], tuple[dict[str, Any], ...] | ArrowStreamExportable]:
        """(column 11-tuples, records), the shape the TOML encoder reads: the record dicts as
        a tuple, or Arrow records as they are."""
        records: Any = self.records
        return tuple(c.as_tuple() for c in self.columns), (
            records if _is_arrow(records) else tuple(records)
        )
