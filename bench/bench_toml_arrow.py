"""Arrow records benchmark: the reader's records="arrow" against the other roads into Arrow.

Run with ``make bench-arrow`` (or ``.venv/bin/python bench/bench_toml_arrow.py --help``).

What it does:

1. Builds the writer benchmark's model (``bench_toml.build_workload``: 100,000 records over
   three tables) and writes it with ``write_unified_data(model, path, escape_strings=True)``;
   the same records go to one NDJSON file per table (``json.dumps(record, ensure_ascii=False)``
   a line). Every contender reads from these files:
   - ``read_unified_data(path, records="arrow")`` and ``pyarrow.table()`` of every table's
     records, each column built as its declared type: the reference of the ratios;
   - the same with ``schema="inferred"``, every type inferred from the values (the declared
     read must be no slower);
   - ``read_unified_data(path)`` into dicts;
   - ``pyarrow.json.read_json`` of the NDJSON files, on one thread and threaded;
   - the dict reader and ``pyarrow.Table.from_pylist`` of every table;
   - for information, the Arrow read and ``polars.DataFrame`` of every table (when installed).
2. Checks every contender once before timing: the dict reader's result against the model's
   content; the Arrow tables against the one oracle of the tests (``tests/_arrow_oracle.py``,
   built from the dict reader's records: schema and values, floats bit for bit); every other
   contender's tables against that oracle (``_harness.table_difference``: ``Table.equals``,
   or the values as Python objects where a contender infers other types, as NDJSON does).
3. Times the checked contenders in interleaved rounds, results freed after the clock stops.
4. Peak memory, in a fresh process per contender: the RSS high-water rise during the call
   above the RSS before it, minus the result. For an Arrow result that is its buffers'
   bytes, ``Table.nbytes`` summed over the tables (whoever allocated them: our builders,
   pyarrow's pool); for the dicts, the objects the allocators hold live after the call
   (pymalloc blocks and glibc malloc in use, as in bench_toml_read.py). What is left is the
   contender's working memory, as a multiple of the input file(s).
5. The targets, each PASS or FAIL with the measured value; the moonshots on lines of their own.
"""

from __future__ import annotations

import argparse
import functools
import gc
import json
import os
import shutil
import sys
import tempfile
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

import pyarrow as pa
import pyarrow.json as pa_json

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _harness as h  # noqa: E402
import bench_toml  # noqa: E402  (puts src/ and tests/ on sys.path too)

import _arrow_oracle as oracle  # noqa: E402

MB = h.MB
DOC = "doc.toml"
WARM = "warm"  # the small document's folder, inside the large one's
ARROW = "read_unified_data(path, records='arrow') + pyarrow.table"
INFERRED = "read_unified_data(path, records='arrow', schema='inferred') + pyarrow.table"
DICTS = "read_unified_data(path)"
JSON1 = "pyarrow.json.read_json(NDJSON), 1 thread"
JSONT = "pyarrow.json.read_json(NDJSON), threaded"
PYLIST = "read_unified_data(path) + Table.from_pylist"
POLARS = "read_unified_data(path, records='arrow') + polars.DataFrame"
DISTS = ("pyarrow", "polars")


def contenders(directory: str) -> dict[str, Callable[[], Any]]:
    """The zero-argument calls, each reading the files in `directory`."""
    from ondrel.datastore.adapter.toml.decoder import read_unified_data

    doc = os.path.join(directory, DOC)
    ndjson = {p.stem: str(p) for p in sorted(Path(directory).glob("*.ndjson"))}

    def arrow(schema: str = "declared") -> dict[str, pa.Table]:
        tables = read_unified_data(doc, records="arrow", schema=schema)["tables"]
        return {n: pa.table(t["records"]) for n, t in tables.items()}

    def from_json(threads: bool) -> dict[str, pa.Table]:
        opts = pa_json.ReadOptions(use_threads=threads)
        return {n: pa_json.read_json(p, read_options=opts) for n, p in ndjson.items()}

    def from_pylist() -> dict[str, pa.Table]:
        tables = read_unified_data(doc)["tables"]
        return {n: pa.Table.from_pylist(t["records"]) for n, t in tables.items()}

    calls = {
        ARROW: arrow,
        INFERRED: functools.partial(arrow, "inferred"),
        DICTS: functools.partial(read_unified_data, doc),
        JSON1: functools.partial(from_json, False),
        JSONT: functools.partial(from_json, True),
        PYLIST: from_pylist,
    }
    try:
        import polars as pl
    except ImportError:
        return calls

    def polars() -> dict[str, Any]:
        tables = read_unified_data(doc, records="arrow")["tables"]
        return {n: pl.DataFrame(t["records"]) for n, t in tables.items()}

    return {**calls, POLARS: polars}


def write_inputs(records: int, directory: str) -> dict[str, Any]:
    """The document and its NDJSON files; returns the model's content, as the dicts read it."""
    from ondrel.datastore.adapter.toml.pentock import write_unified_data

    wl = bench_toml.build_workload(records)
    if wl.model is None:
        raise RuntimeError(f"the model cannot be built: {wl.model_error}")
    os.makedirs(directory, exist_ok=True)
    write_unified_data(wl.model, os.path.join(directory, DOC), escape_strings=True)
    for name, t in wl.doc["tables"].items():
        with open(os.path.join(directory, f"{name}.ndjson"), "w", encoding="utf-8") as f:
            f.writelines(json.dumps(r, ensure_ascii=False) + "\n" for r in t["records"])
    return wl.doc


# The Arrow type of each declared column of the workload (bench_toml._column_defs): the
# declared read builds these, whatever the values; the check below holds the names to them.
DECLARED_TYPES = {
    "id": pa.int64(),
    "score": pa.float64(),
    "code": pa.string(),
    "label": pa.string(),
    "active": pa.bool_(),
    "missing": pa.int64(),
    "tags": pa.list_(pa.int64()),
    "meta": pa.struct([("x", pa.int64()), ("y", pa.string()), ("ok", pa.bool_())]),
}


def declared_expected(table: dict[str, Any]) -> pa.Table:
    """The oracle's table of the records, each declared column as its declared type."""
    inferred = oracle.expected_table(table["records"], oracle.declared_names(table))
    columns = []
    for c in table["columns"]:
        t = DECLARED_TYPES[c["name"]]
        if oracle.vocabulary(t)[0] != c["type"]:
            raise AssertionError(f"column {c['name']}: {c['type']} is not {t}")
        columns.append(inferred.column(c["name"]).cast(t))
    return pa.Table.from_arrays(columns, names=[c["name"] for c in table["columns"]])


def input_bytes(name: str, directory: str) -> int:
    pattern = "*.ndjson" if name in (JSON1, JSONT) else DOC
    return sum(p.stat().st_size for p in Path(directory).glob(pattern))


def tables_difference(got: dict[str, Any], want: dict[str, pa.Table], *, exact: bool) -> str | None:
    """Where a contender's tables differ from the oracle's: `exact` through the oracle's own
    comparison (schema included, floats bit for bit), else through h.table_difference."""
    if sorted(got) != sorted(want):
        return f"tables {sorted(got)} != {sorted(want)}"
    for name, w in want.items():
        g = got[name] if isinstance(got[name], pa.Table) else got[name].to_arrow()
        if not exact:
            diff = h.table_difference(g, w)
        else:
            try:
                oracle.same_table(g, w)
                diff = None
            except AssertionError as e:
                diff = str(e)[:300]
        if diff:
            return f"{name}: {diff}"
    return None


# ---------------------------------------------------------------------------------------------
# Peak memory (child process)
# ---------------------------------------------------------------------------------------------


def mem_child(name: str, directory: str) -> None:
    """Run one contender once in this fresh process; print JSON with the RSS rise."""
    # One call on a small document first: the libraries' imports and one-time set-up (the
    # first pyarrow.table() imports pandas, some 50 MB) are no part of any later call.
    contenders(os.path.join(directory, WARM))[name]()
    call = contenders(directory)[name]
    h.allocated_bytes()  # warm the counters' own caches
    gc.collect()
    h.libc().malloc_trim(0)
    before = h.allocated_bytes()
    result, rise = h.rss_rise(call)
    gc.collect()
    if all(isinstance(t, pa.Table) for t in result.values()):
        own, counted = sum(t.nbytes for t in result.values()), "Arrow buffers"
    else:
        own, counted = h.allocated_bytes() - before, "objects"
    print(
        json.dumps(
            {
                "rise_bytes": rise["rise_bytes"],
                "result_bytes": own,
                "counted": counted,
                "doc_bytes": input_bytes(name, directory),
                "hwm_reset": rise["hwm_reset"],
            }
        )
    )


# ---------------------------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------------------------

TARGETS = (
    h.TimeRatio(
        f"declared types: arrow read + pyarrow.table <= 1.0x {INFERRED}",
        ARROW,
        INFERRED,
        1.0,
        minima=True,
    ),
    h.TimeRatio(f"arrow read + pyarrow.table <= 0.5x {DICTS}", ARROW, DICTS, 0.5, minima=True),
    h.TimeRatio(f"arrow read + pyarrow.table <= 1.0x {JSON1}", ARROW, JSON1, 1.0, minima=True),
    h.TimeRatio(f"arrow read + pyarrow.table <= 0.2x {PYLIST}", ARROW, PYLIST, 0.2, minima=True),
    h.Figure("arrow read peak memory above the Arrow result <= 1.5x document", "memory", 1.5),
)
MOONSHOTS = (
    h.TimeRatio(f"moonshot: declared types <= 0.8x {INFERRED}", ARROW, INFERRED, 0.8),
    h.TimeRatio(f"moonshot: arrow read + pyarrow.table <= 0.3x {DICTS}", ARROW, DICTS, 0.3),
    h.TimeRatio(f"moonshot: arrow read + pyarrow.table <= 0.6x {JSON1}", ARROW, JSON1, 0.6),
)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument(
        "--records", type=int, default=bench_toml.LARGE_RECORDS, help="records in the document"
    )
    ap.add_argument("--budget", type=float, default=3.0, help="seconds of samples per contender")
    ap.add_argument("--quick", action="store_true", help="fewer samples (budget 1 s)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    ap.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    ap.add_argument("--tmpdir", help="directory of the input files (default: the system's)")
    ap.add_argument("--mem-child", metavar="NAME", help=argparse.SUPPRESS)
    ap.add_argument("--mem-dir", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.mem_child:
        mem_child(args.mem_child, args.mem_dir)
        return 0
    budget = 1.0 if args.quick else args.budget

    log = h.log

    load0 = os.getloadavg()
    t_start = time.perf_counter()
    log(f"building the document ({args.records} records) ...")
    from ondrel.datastore.adapter.toml.decoder import read_unified_data

    tmpdir = tempfile.mkdtemp(prefix="bench_toml_arrow_", dir=args.tmpdir)
    try:
        content = write_inputs(args.records, tmpdir)
        write_inputs(10, os.path.join(tmpdir, WARM))
        doc = os.path.join(tmpdir, DOC)
        log("checks: the dicts against the model's content, the tables against the oracle ...")
        read = read_unified_data(doc)["tables"]
        want = {
            n: oracle.expected_table(t["records"], oracle.declared_names(t))
            for n, t in read.items()
        }
        want_declared = {n: declared_expected(t) for n, t in read.items()}
        del read
        entries = []
        for name, call in contenders(tmpdir).items():
            e = h.Entry(name, nbytes=input_bytes(name, tmpdir))
            entries.append(e)
            if name == DICTS:
                check = functools.partial(h.first_difference, b=content)
            elif name == ARROW:
                check = functools.partial(tables_difference, want=want_declared, exact=True)
            else:
                check = functools.partial(tables_difference, want=want, exact=name == INFERRED)
            if h.arm(e, call, check):
                log(f"  checked {name:<62} first call {e.first * 1e3:8.1f} ms")
            else:
                log(f"  {name}: {e.status}")
        del content, want, want_declared
        log("timing ...")
        h.run_rounds(entries, budget, 3, 25, free_untimed=True)

        mem: dict[str, dict[str, Any]] = {}
        if not args.no_memory:
            log("peak memory (fresh subprocess per contender) ...")
            names = [e.name for e in entries if e.call and e.name != POLARS]
            mem = h.measure_memory(__file__, names, ["--mem-dir", tmpdir], log)
    finally:
        shutil.rmtree(tmpdir)

    byname = {e.name: e for e in entries}
    out = h.header(
        "Arrow records benchmark", "bench/bench_toml_arrow.py", argv, DISTS, load0, os.getloadavg()
    )
    out += [
        f"- document: {args.records} records, 3 tables x 8 columns, written by "
        "write_unified_data(escape_strings=True); the NDJSON contenders read the same records, "
        "one file per table; MB = 10^6 bytes of each contender's own input; GC off inside "
        "timed calls",
        "",
    ]
    out += h.table(
        f"Reading into Arrow ({args.records} records)",
        entries,
        byname.get(ARROW),
        size_label="input MB",
        ratio_label="time / arrow",
    )
    out.append("")
    out += h.memory_lines(
        "Peak memory (RSS high-water rise during the call, fresh process each)", mem
    )
    m = mem.get(ARROW, {})
    figures = (
        {}
        if "error" in m or not m
        else {"memory": (m["rise_bytes"] - m["result_bytes"]) / m["doc_bytes"]}
    )
    targets = h.evaluate(TARGETS, byname, figures)
    moonshots = h.evaluate(MOONSHOTS, byname, figures)
    out += ["### Targets", "", *h.target_lines(targets), "", *h.target_lines(moonshots)]
    out += ["", f"(total run time {time.perf_counter() - t_start:.0f} s)"]
    print("\n".join(out))

    if args.json:
        results = {
            e.name: {"status": e.status, "samples_s": e.samples, "in_bytes": e.nbytes}
            for e in entries
        }
        h.write_json(
            args.json,
            {"reading": results, "memory": mem, "targets": targets, "moonshots": moonshots},
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
