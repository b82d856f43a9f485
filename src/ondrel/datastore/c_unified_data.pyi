"""Signed-size constants shared by the unified-data native modules."""

from types import CapsuleType

# Native exports: "ZERO", "ONE" and "TWO", capsules named "Py_ssize_t const ".
__capi__: dict[str, CapsuleType]
