"""The three databases the SQL adapter loads into, for the tests: SQLite files, DuckDB files and
fresh databases on a throwaway PostgreSQL cluster (started once per session)."""

from __future__ import annotations

import itertools
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
from pg_cluster import Cluster, find_bin_dir

DATABASES = ("sqlite", "duckdb", "postgresql")
_numbers = itertools.count()


@pytest.fixture(scope="session")
def pg_cluster():
    pytest.importorskip("adbc_driver_postgresql", reason="adbc-driver-postgresql is not installed")
    bin_dir = find_bin_dir()
    if bin_dir is None:
        pytest.skip("no PostgreSQL server (apt-get install postgresql): PostgreSQL tests skip")
    try:
        cluster = Cluster(bin_dir)
    except (OSError, RuntimeError, subprocess.SubprocessError) as exc:
        pytest.skip(f"the PostgreSQL server in {bin_dir} did not start: {exc}")
    try:
        yield cluster
    finally:
        cluster.stop()


class Opener:
    """Makes empty databases of one kind and connections to them."""

    def __init__(self, kind: str, tmp_path: Path, request: pytest.FixtureRequest) -> None:
        self.kind = kind
        self.tmp_path = tmp_path
        self.cluster = request.getfixturevalue("pg_cluster") if kind == "postgresql" else None
        if kind == "sqlite":
            pytest.importorskip("adbc_driver_sqlite", reason="adbc-driver-sqlite is not installed")
        if kind == "duckdb":
            pytest.importorskip("duckdb", reason="duckdb is not installed")

    def new_uri(self) -> str:
        n = next(_numbers)
        if self.kind == "sqlite":
            return f"sqlite:///{self.tmp_path}/db{n}.sqlite"
        if self.kind == "duckdb":
            return f"duckdb:///{self.tmp_path}/db{n}.duckdb"
        name = f"t{n}"
        self.cluster.psql("-c", f"CREATE DATABASE {name}")
        return self.cluster.uri.replace("postgresql:///postgres", f"postgresql:///{name}")

    def connect(self, uri: str, **adbc_options):
        if self.kind == "sqlite":
            import adbc_driver_sqlite.dbapi

            return adbc_driver_sqlite.dbapi.connect(uri[len("sqlite:///") :], **adbc_options)
        if self.kind == "duckdb":
            import duckdb

            return duckdb.connect(uri[len("duckdb:///") :])
        import adbc_driver_postgresql.dbapi

        return adbc_driver_postgresql.dbapi.connect(uri, **adbc_options)


@pytest.fixture(params=DATABASES)
def database(request, tmp_path):
    return Opener(request.param, tmp_path, request)
