"""Deferred imports: name a module attribute now, import the module on first use."""

from __future__ import annotations

import importlib
from typing import Any

__all__ = ["lazy"]

_UNSET: Any = object()


class _Lazy:
    """Stands for ``module_path.attr_name``; imports on first attribute access or call."""

    __slots__ = ("_module_path", "_attr_name", "_target")

    def __init__(self, module_path: str, attr_name: str) -> None:
        object.__setattr__(self, "_module_path", module_path)
        object.__setattr__(self, "_attr_name", attr_name)
        object.__setattr__(self, "_target", _UNSET)

    def _resolve(self) -> Any:
        target = object.__getattribute__(self, "_target")
        if target is _UNSET:
            # A failed import is not remembered: the next use tries again and raises again.
            module = importlib.import_module(object.__getattribute__(self, "_module_path"))
            target = getattr(module, object.__getattribute__(self, "_attr_name"))
            object.__setattr__(self, "_target", target)
        return target

    def __getattr__(self, name: str) -> Any:
        return getattr(self._resolve(), name)

    def __call__(self, *args: Any, **kwargs: Any) -> Any:
        return self._resolve()(*args, **kwargs)

    def __repr__(self) -> str:
        path = object.__getattribute__(self, "_module_path")
        attr = object.__getattribute__(self, "_attr_name")
        return f"lazy({path!r}, {attr!r})"


def lazy(module_path: str, attr_name: str) -> Any:
    """Return a proxy for ``attr_name`` of ``module_path``, imported at first use."""
    return _Lazy(module_path, attr_name)
