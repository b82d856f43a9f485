"""Immutable, hashable forms of Python data."""
