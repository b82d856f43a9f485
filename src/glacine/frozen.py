"""Deterministic hashable forms of nested data."""

from __future__ import annotations

from typing import Any

__all__ = ["freeze"]


def freeze(obj: Any) -> Any:
    """Return a hashable form of ``obj`` that is equal for equal contents.

    Dicts become a tagged frozenset of (key, frozen value) pairs, so insertion order plays no
    part; lists and tuples become tuples; sets become frozensets; pydantic models become the
    frozen form of their fields. Other values are returned as they are (an unhashable one then
    fails when hashed).
    """
    if isinstance(obj, dict):
        return ("dict", frozenset((k, freeze(v)) for k, v in obj.items()))
    if isinstance(obj, (list, tuple)):
        return tuple(freeze(v) for v in obj)
    if isinstance(obj, (set, frozenset)):
        return frozenset(freeze(v) for v in obj)
    fields = getattr(type(obj), "model_fields", None)
    if isinstance(fields, dict):
        return (type(obj).__qualname__, freeze({name: getattr(obj, name) for name in fields}))
    return obj
