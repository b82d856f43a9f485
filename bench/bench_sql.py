"""A store into PostgreSQL, DuckDB and SQLite, and out of PostgreSQL, against the databases'
own loaders reading files prepared beforehand.

Run with ``make bench-sql`` (or ``.venv/bin/python bench/bench_sql.py --help``).

The records are the ``make bench`` document's (100,000 records in three tables, with a list
and a struct column), declared with types that hold their values. Each figure is a whole call,
timed in interleaved rounds, and each ratio is ours over the peer's median, from one run:

- into PostgreSQL: ``load_store`` from the TOML file against ``psql`` running ``\\copy … FROM``
  of the same records as CSV (tables made in the same script), on a throwaway cluster;
- into DuckDB: against ``read_json`` of the same records as NDJSON;
- into SQLite: against the ``sqlite3`` shell's ``.import`` of the CSV, and against the stdlib's
  ``executemany`` of the document's records read as dicts (nested values through json.dumps);
- out of PostgreSQL: ``dump_store`` plus ``write_unified_data`` against ``\\copy … TO`` CSV.
"""

from __future__ import annotations

import argparse
import json
import shutil
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))
sys.path.insert(0, str(HERE.parent / "tools"))
SRC = HERE.parent / "src"
if str(SRC) not in sys.path:
    sys.path.insert(1, str(SRC))

import _harness as h  # noqa: E402
import bench_toml  # noqa: E402
import pyarrow as pa  # noqa: E402
import pyarrow.compute as pc  # noqa: E402
import pyarrow.csv as pa_csv  # noqa: E402

from ondrel.datastore.adapter.sql import dump_store, load_store  # noqa: E402
from ondrel.datastore.adapter.sql._arrow_json import to_json  # noqa: E402
from ondrel.datastore.adapter.sql._targets import quote  # noqa: E402
from ondrel.datastore.adapter.sql._types import canonical, dialect_type  # noqa: E402
from ondrel.datastore.adapter.toml.pentock import write_unified_data  # noqa: E402
from ondrel.datastore.tables.data import Column, TableData  # noqa: E402
from ondrel.datastore.unified_data import UnifiedDataFormat  # noqa: E402

COLUMNS = [
    ("id", "BIGINT"),
    ("score", "DOUBLE"),
    ("code", "VARCHAR"),
    ("label", "VARCHAR"),
    ("active", "BOOLEAN"),
    ("missing", "VARCHAR"),
    ("tags", "BIGINT[]"),
    ("meta", "STRUCT(x BIGINT, y VARCHAR, ok BOOLEAN)"),
]
TARGETS = (
    ("into PostgreSQL", "load_store pg", "psql \\copy CSV", 1.5),
    ("into DuckDB", "load_store duckdb", "duckdb read_json", 0.7),
    ("into SQLite", "load_store sqlite", "sqlite3 .import CSV", 1.0),
    ("into SQLite", "load_store sqlite", "stdlib executemany", 0.2),
    ("out of PostgreSQL", "dump_store pg + write", "psql \\copy TO CSV", 1.5),
)


def honest_store(n_records: int) -> tuple[UnifiedDataFormat, str]:
    """The bench document's records under columns whose types hold them. Duplicate ids (the
    document's random ids repeat) are replaced by the record's position, so the key holds."""
    wl = bench_toml.build_workload(n_records)
    tables, note = {}, ""
    for name, _cols, records in wl.tables:
        ids = [r["id"] for r in records]
        if len(set(ids)) != len(ids):
            records = [{**r, "id": i} for i, r in enumerate(records)]
            note = "ids replaced by positions (the document's ids repeat)"
        columns = [
            Column(name=c, type=t, primary_key=c == "id", nullable=c not in ("id", "code"))
            for c, t in COLUMNS
        ]
        columns[2].unique = False
        tables[name] = TableData(columns=columns, records=records)
    return UnifiedDataFormat(
        version=wl.version, schema_version=wl.schema_version, tables=tables
    ), note


def peer_files(store: UnifiedDataFormat, folder: Path) -> dict[str, pa.Table]:
    """CSV (nested values as JSON text) and NDJSON of each table, written before any timing."""
    arrow = {}
    for name, data in store.tables.items():
        dump = UnifiedDataFormat(tables={name: data})
        path = folder / f"{name}.toml"
        write_unified_data(dump, str(path), True)
        from ondrel.datastore.adapter.toml.decoder import read_unified_data

        table = pa.table(read_unified_data(path, records="arrow")["tables"][name]["records"])
        table = table.select([c for c, _ in COLUMNS if c in table.column_names])
        arrow[name] = table
        flat = pa.table(
            [
                to_json(table.column(c)) if c in ("tags", "meta") else table.column(c)
                for c in table.column_names
            ],
            names=table.column_names,
        )
        pa_csv.write_csv(flat, folder / f"{name}.csv")
        # PostgreSQL's CSV spells a BIGINT[] as {1,2}.
        tags = flat.column("tags")
        braces = pc.replace_substring(pc.replace_substring(tags, "[", "{"), "]", "}")
        pg = flat.set_column(flat.column_names.index("tags"), "tags", braces)
        pa_csv.write_csv(pg, folder / f"{name}.pg.csv")
        with open(folder / f"{name}.ndjson", "w", encoding="utf-8") as out:
            for row in table.to_pylist():
                out.write(json.dumps(row, ensure_ascii=False) + "\n")
    return arrow


def ddl(name: str, dialect: str) -> str:
    cols = ", ".join(
        f"{quote(c, dialect)} {dialect_type(canonical(t) or t, dialect)}"
        + (" NOT NULL PRIMARY KEY" if c == "id" else "")
        for c, t in COLUMNS
    )
    return f"CREATE TABLE {quote(name, dialect)} ({cols})"


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--records", type=int, default=bench_toml.LARGE_RECORDS)
    ap.add_argument("--quick", action="store_true", help="one timed run per contender")
    args = ap.parse_args()
    from pg_cluster import Cluster, find_bin_dir

    store, note = honest_store(args.records)
    tmp = Path(tempfile.mkdtemp(prefix="ondrel-bench-sql-"))
    cluster = None
    try:
        toml_path = tmp / "store.toml"
        write_unified_data(store, str(toml_path), True)
        arrow = peer_files(store, tmp)
        names = list(arrow)
        entries: list[h.Entry] = []

        def add(name: str, call: Any) -> None:
            e = h.Entry(name)
            h.arm(e, call, lambda _r: None)
            entries.append(e)

        bin_dir = find_bin_dir()
        if bin_dir is not None:
            cluster = Cluster(bin_dir)
            for db in ("ours", "peer", "out"):
                cluster.psql("-c", f"CREATE DATABASE {db}")
            ours_uri = cluster.uri.replace("///postgres", "///ours")
            out_uri = cluster.uri.replace("///postgres", "///out")
            load_store(store, out_uri)
            script = tmp / "copy.sql"
            lines = ["BEGIN;", "DROP TABLE IF EXISTS " + ", ".join(names) + ";"]
            for n in names:
                lines += [
                    ddl(n, "postgresql") + ";",
                    f"\\copy {n} FROM '{tmp / (n + '.pg.csv')}' WITH (FORMAT csv, HEADER true)",
                ]
            lines.append("COMMIT;")
            script.write_text("\n".join(lines) + "\n")
            out_script = tmp / "copy_out.sql"
            out_script.write_text(
                "".join(
                    f"\\copy (SELECT * FROM {n} ORDER BY id) TO '{tmp / (n + '.out.csv')}' WITH (FORMAT csv, HEADER true)\n"
                    for n in names
                )
            )
            add("load_store pg", lambda: load_store(toml_path, ours_uri, if_exists="replace"))
            add("psql \\copy CSV", lambda: cluster.psql("-f", str(script), db="peer"))
            add(
                "dump_store pg + write",
                lambda: write_unified_data(dump_store(out_uri), str(tmp / "out.toml"), True),
            )
            add("psql \\copy TO CSV", lambda: cluster.psql("-f", str(out_script), db="out"))
        else:
            print("no PostgreSQL server (apt-get install postgresql): its figures are skipped")

        import duckdb

        duck_ours = duckdb.connect(str(tmp / "ours.duckdb"))
        duck_peer = duckdb.connect(str(tmp / "peer.duckdb"))

        def duck_read_json() -> None:
            duck_peer.execute("BEGIN")
            for n in names:
                duck_peer.execute(
                    f"CREATE OR REPLACE TABLE {n} AS SELECT * FROM read_json('{tmp / (n + '.ndjson')}')"
                )
            duck_peer.execute("COMMIT")

        add("load_store duckdb", lambda: load_store(toml_path, duck_ours, if_exists="replace"))
        add("duckdb read_json", duck_read_json)

        sqlite_uri = f"sqlite:///{tmp}/ours.sqlite"
        add("load_store sqlite", lambda: load_store(toml_path, sqlite_uri, if_exists="replace"))
        if shutil.which("sqlite3"):
            cli = tmp / "import.sql"
            cli.write_text(
                "BEGIN;\n"
                + "".join(f"DROP TABLE IF EXISTS {n};\n{ddl(n, 'sqlite')};\n" for n in names)
                + ".mode csv\n"
                + "".join(f".import --skip 1 '{tmp / (n + '.csv')}' {n}\n" for n in names)
                + "COMMIT;\n"
            )
            add(
                "sqlite3 .import CSV",
                lambda: subprocess.run(
                    ["sqlite3", str(tmp / "peer.sqlite")], stdin=cli.open("rb"), check=True
                ),
            )
        else:
            print("no sqlite3 shell (apt-get install sqlite3): its figure is skipped")

        def stdlib_executemany() -> None:
            from ondrel.datastore.adapter.toml.decoder import read_unified_data

            doc = read_unified_data(toml_path)
            con = sqlite3.connect(tmp / "stdlib.sqlite")
            try:
                with con:
                    for n in names:
                        con.execute(f"DROP TABLE IF EXISTS {n}")
                        con.execute(ddl(n, "sqlite"))
                        rows = (
                            tuple(
                                json.dumps(r.get(c))
                                if c in ("tags", "meta") and c in r
                                else r.get(c)
                                for c, _ in COLUMNS
                            )
                            for r in doc["tables"][n]["records"]
                        )
                        con.executemany(
                            f"INSERT INTO {n} VALUES ({', '.join('?' * len(COLUMNS))})", rows
                        )
            finally:
                con.close()

        add("stdlib executemany", stdlib_executemany)

        # The nested columns' JSON text alone (what SQLite and PostgreSQL get for them).
        nested = [arrow[n].column(c) for n in names for c in ("tags", "meta")]
        add("JSON text of the nested columns", lambda: [to_json(c) for c in nested])

        runs = (1, 1) if args.quick else (3, 5)
        h.run_rounds(entries, budget_s=60, min_runs=runs[0], max_runs=runs[1], free_untimed=True)
        by_name = {e.name: e for e in entries}
        print(f"# bench-sql: {args.records} records, 3 tables; {h.cpu()}")
        if note:
            print(f"# {note}")
        for e in entries:
            fig = f"{e.median:.3f} s" if e.samples else e.status
            print(f"{e.name:34} {fig}  ({len(e.samples)} runs)")
        for what, ours, peer, limit in TARGETS:
            a, b = by_name.get(ours), by_name.get(peer)
            if a is None or b is None or not a.samples or not b.samples:
                print(f"{what}: {ours} / {peer}: not measured")
                continue
            ratio = a.median / b.median
            verdict = "PASS" if ratio <= limit else "FAIL"
            print(f"{what}: {ours} / {peer} = {ratio:.2f}x (target <= {limit}x) {verdict}")
        duck_ours.close()
        duck_peer.close()
    finally:
        if cluster is not None:
            cluster.stop()
        shutil.rmtree(tmp, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
