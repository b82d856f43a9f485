"""Arrow writing benchmark: the writer's records straight from Arrow against the other roads
from a data frame to text.

Run with ``make bench-arrow-write`` (or ``.venv/bin/python bench/bench_toml_arrow_write.py
--help``).

What it does:

1. Builds three pyarrow tables of 33,000 rows each (seeded), eight columns: int64, float64,
   bool, ASCII string, non-ASCII string, list<int64>, struct<x: int64, y: double> and
   timestamp[us, tz=UTC], with some nulls; the same tables as polars DataFrames, and their
   ``to_pylist()`` records as ready-made dicts.
2. Contenders, each checked once before timing:
   - ``encode_unified_data`` of a model holding the pyarrow tables: the reference of the ratios;
     its document must equal the dict path's for ``to_pylist()``;
   - ``to_pylist()`` of each table, then ``encode_unified_data`` (the road before Arrow
     records); polars ``to_dicts()`` then encode, for information;
   - ``encode_unified_data`` of the ready-made dicts (dict-making excluded);
   - polars ``write_ndjson()`` to a str, and to a path;
   - ``write_unified_data`` of a model holding the polars DataFrames, to a path.
3. Times them in interleaved rounds; peak memory of ``write_unified_data`` from the pyarrow
   tables in a fresh process: the RSS rise during the call, as a multiple of the document.
4. The targets, PASS or FAIL with the measured value; the moonshots on lines of their own.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import shutil
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import polars as pl
import pyarrow as pa

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
SRC = HERE.parent / "src"
if SRC.is_dir() and str(SRC) not in sys.path:
    sys.path.insert(1, str(SRC))

import _harness as h  # noqa: E402

MB = h.MB
SEED = 20261208
ROWS = 33_000
TABLES = ("users", "orders", "events")
DISTS = ("pyarrow", "polars")

ARROW = "encode_unified_data(pyarrow tables)"
PYLIST = "to_pylist() + encode_unified_data"
POLARS_DICTS = "polars to_dicts() + encode_unified_data"
DICTS = "encode_unified_data(ready-made dicts)"
NDJSON_STR = "polars write_ndjson() to str"
NDJSON_PATH = "polars write_ndjson(path)"
WRITE_POLARS = "write_unified_data(polars DataFrames, path)"


def records_of(document: str) -> list[str]:
    """Each table's records section."""
    return [part.split("records = [", 1)[1] for part in document.split("[tables.")[1:]]


def build_tables(rows: int, seed: int = SEED) -> dict[str, pa.Table]:
    rnd = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "theta"]
    texts = ["Zürich", "straße", "東京", "Ελλάδα", "Kraków", "naïve café", "Москва", "São Paulo"]
    out = {}
    for t, name in enumerate(TABLES):
        maybe = lambda v: None if rnd.random() < 0.05 else v  # noqa: E731
        out[name] = pa.table(
            {
                "id": pa.array([t * 10**6 + i for i in range(rows)], pa.int64()),
                "score": [maybe(rnd.uniform(-1e6, 1e6)) for _ in range(rows)],
                "active": [maybe(rnd.random() < 0.5) for _ in range(rows)],
                "name": [maybe(f"{rnd.choice(words)}_{rnd.randrange(10**6)}") for _ in range(rows)],
                "city": [maybe(rnd.choice(texts)) for _ in range(rows)],
                "tags": [
                    maybe([rnd.randrange(1000) for _ in range(rnd.randrange(5))])
                    for _ in range(rows)
                ],
                "pos": [maybe({"x": rnd.randrange(10**4), "y": rnd.random()}) for _ in range(rows)],
                "seen": pa.array(
                    [maybe(1_700_000_000_000_000 + rnd.randrange(10**13)) for _ in range(rows)],
                    pa.timestamp("us", "UTC"),
                ),
            }
        )
    return out


def model_of(tables: dict[str, Any]) -> Any:
    from ondrel.datastore.tables.data import TableData
    from ondrel.datastore.tables.grimsel import TablesHolder
    from ondrel.datastore.unified_data import UnifiedDataFormat

    return UnifiedDataFormat(
        tables=TablesHolder({n: TableData(records=r) for n, r in tables.items()})
    )


def contenders(arrow: dict[str, pa.Table], directory: str) -> dict[str, Callable[[], Any]]:
    from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data

    frames = {n: pl.DataFrame(t) for n, t in arrow.items()}
    dicts = {n: t.to_pylist() for n, t in arrow.items()}
    arrow_model = model_of(arrow)
    dict_model = model_of(dicts)
    polars_model = model_of(frames)
    toml_path = os.path.join(directory, "db.toml")

    def pylist() -> str:
        return encode_unified_data(model_of({n: t.to_pylist() for n, t in arrow.items()}))

    def polars_dicts() -> str:
        return encode_unified_data(model_of({n: f.to_dicts() for n, f in frames.items()}))

    def ndjson_str() -> list[str]:
        return [f.write_ndjson() for f in frames.values()]

    def ndjson_path() -> None:
        for n, f in frames.items():
            f.write_ndjson(os.path.join(directory, f"{n}.ndjson"))

    return {
        ARROW: lambda: encode_unified_data(arrow_model),
        PYLIST: pylist,
        POLARS_DICTS: polars_dicts,
        DICTS: lambda: encode_unified_data(dict_model),
        NDJSON_STR: ndjson_str,
        NDJSON_PATH: ndjson_path,
        WRITE_POLARS: lambda: write_unified_data(polars_model, toml_path),
    }


def mem_child(rows: int, directory: str) -> None:
    """write_unified_data of the pyarrow tables once, in this fresh process; prints the JSON
    of the RSS rise and the document's size."""
    from ondrel.datastore.adapter.toml.pentock import write_unified_data

    path = os.path.join(directory, "mem.toml")
    write_unified_data(model_of(build_tables(10)), path)  # imports and one-time set-up
    model = model_of(build_tables(rows))
    gc.collect()
    h.libc().malloc_trim(0)
    _, rise = h.rss_rise(lambda: write_unified_data(model, path))
    print(json.dumps({**rise, "doc_bytes": os.path.getsize(path)}))


TARGETS = (
    h.TimeRatio(f"Arrow encode <= 0.15x {PYLIST}", ARROW, PYLIST, 0.15, minima=True),
    h.TimeRatio(f"Arrow encode <= 1.0x {DICTS}", ARROW, DICTS, 1.0, minima=True),
    h.TimeRatio(f"Arrow encode <= 1.0x {NDJSON_STR}", ARROW, NDJSON_STR, 1.0, minima=True),
    h.TimeRatio(
        f"{WRITE_POLARS} <= 1.0x {NDJSON_PATH}", WRITE_POLARS, NDJSON_PATH, 1.0, minima=True
    ),
    h.Figure("write_unified_data peak memory above the Arrow data <= 1.1x document", "memory", 1.1),
)
MOONSHOTS = (
    h.TimeRatio(f"moonshot: Arrow encode <= 0.6x {DICTS}", ARROW, DICTS, 0.6),
    h.TimeRatio(f"moonshot: Arrow encode <= 0.6x {NDJSON_STR}", ARROW, NDJSON_STR, 0.6),
)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--rows", type=int, default=ROWS, help="rows per table (three tables)")
    ap.add_argument("--budget", type=float, default=3.0, help="seconds of samples per contender")
    ap.add_argument("--quick", action="store_true", help="fewer samples (budget 1 s)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocess")
    ap.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    ap.add_argument("--mem-child", metavar="NAME", help=argparse.SUPPRESS)
    ap.add_argument("--mem-dir", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.mem_child:
        mem_child(args.rows, args.mem_dir)
        return 0
    budget = 1.0 if args.quick else args.budget
    log = h.log
    load0 = os.getloadavg()
    t_start = time.perf_counter()
    log(f"building the tables (3 x {args.rows} rows) ...")
    arrow = build_tables(args.rows)
    tmpdir = tempfile.mkdtemp(prefix="bench_arrow_write_")
    try:
        calls = contenders(arrow, tmpdir)
        want = calls[PYLIST]()
        checks: dict[str, Callable[[Any], str | None]] = {
            # A frame declares its columns; the dicts declare none: the records must agree.
            ARROW: lambda got: (
                None if records_of(got) == records_of(want) else "records differ from to_pylist()'s"
            ),
            DICTS: lambda got: None if got == want else "document differs",
            POLARS_DICTS: lambda got: None if isinstance(got, str) else "no document",
            NDJSON_STR: lambda got: (
                None if sum(s.count("\n") for s in got) == 3 * args.rows else "wrong line count"
            ),
        }
        entries = []
        for name, call in calls.items():
            e = h.Entry(name, nbytes=len(want.encode()))
            entries.append(e)
            if h.arm(e, call, checks.get(name, lambda got: None)):
                log(f"  checked {name:<50} first call {e.first * 1e3:8.1f} ms")
            else:
                log(f"  {name}: {e.status}")
        log("timing ...")
        h.run_rounds(entries, budget, 3, 25, free_untimed=True)
        mem: dict[str, dict[str, Any]] = {}
        if not args.no_memory:
            log("peak memory (fresh subprocess) ...")
            mem = h.measure_memory(
                __file__, ["write"], ["--rows", str(args.rows), "--mem-dir", tmpdir], log
            )
    finally:
        shutil.rmtree(tmpdir)

    byname = {e.name: e for e in entries}
    out = h.header(
        "Arrow writing benchmark",
        "bench/bench_toml_arrow_write.py",
        argv,
        DISTS,
        load0,
        os.getloadavg(),
    )
    out += [
        f"- 3 tables x {args.rows} rows x 8 columns (int, float, bool, two strings, list, "
        "struct, timestamp; 5% nulls); MB = 10^6 bytes of the TOML document (the NDJSON "
        "contenders write their own, smaller text); GC off inside timed calls",
        "",
    ]
    out += h.table(
        "Data frames to text",
        entries,
        byname.get(ARROW),
        size_label="document MB",
        ratio_label="time / Arrow encode",
    )
    figures: dict[str, float] = {}
    m = mem.get("write", {})
    if m and "error" not in m:
        figures["memory"] = m["rise_bytes"] / m["doc_bytes"]
        out += [
            "",
            "### Peak memory",
            "",
            f"- write_unified_data(pyarrow tables): +{m['rise_bytes'] / MB:.1f} MB RSS for a "
            f"{m['doc_bytes'] / MB:.1f} MB document = {figures['memory']:.2f}x",
        ]
    elif m:
        out += ["", f"- peak memory: failed: {m['error']}"]
    out += ["", "### Targets", "", *h.target_lines(h.evaluate(TARGETS, byname, figures))]
    out += ["", *h.target_lines(h.evaluate(MOONSHOTS, byname, figures))]
    out += ["", f"(total run time {time.perf_counter() - t_start:.0f} s)"]
    print("\n".join(out))
    if args.json:
        h.write_json(
            args.json,
            {e.name: {"status": e.status, "samples_s": e.samples} for e in entries}
            | {"memory": mem},
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
