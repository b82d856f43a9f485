"""Run modes: under the sanitizer build (ONDREL_SANITIZED=1), tests marked no_sanitizer skip."""

import os

import pytest

# The SQL adapter's databases (session-scoped PostgreSQL cluster, per-test SQLite/DuckDB files).
from _sql_databases import database, pg_cluster  # noqa: F401

SANITIZED = os.environ.get("ONDREL_SANITIZED") == "1"


def pytest_configure(config):
    config.addinivalue_line(
        "markers",
        "no_sanitizer: cannot run under ASan (address-space limits, RSS figures, mypy)",
    )


def pytest_collection_modifyitems(config, items):
    if not SANITIZED:
        return
    skip = pytest.mark.skip(reason="ONDREL_SANITIZED=1: not meaningful under ASan")
    for item in items:
        if item.get_closest_marker("no_sanitizer"):
            item.add_marker(skip)
