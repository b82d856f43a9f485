"""Signed-size constants and the column-type vocabulary shared by the unified-data native modules."""

from types import CapsuleType

# Native exports: "ZERO", "ONE" and "TWO", capsules named "Py_ssize_t const ".
__capi__: dict[str, CapsuleType]

def canonical_column_type(text: str, /) -> str | None:
    """The canonical spelling of a column's type text, or None for a name that keeps inference."""
