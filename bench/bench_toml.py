"""TOML writer benchmark: the native encoder against the Python TOML and JSON writers.

Run with ``make bench`` (or ``.venv/bin/python bench/bench_toml.py --help``).

What it does, in one process (peak memory excepted):

1. Builds one ``UnifiedDataFormat`` model from seeded random data (100,000 records over three
   tables, eight columns: int, float, short str, non-ASCII str, bool, None, list of ints, small
   nested dict) and a small one (1,000 records), plus the same content as plain dicts for the
   peers, with None values dropped from records the way the encoder drops them.
2. Calls every contender once and reads its output back (``tomllib`` for TOML, ``json.loads``
   for JSON); a contender whose content differs from the model's is reported and never timed.
3. Times the contenders in interleaved rounds (garbage collector off inside the timed region,
   a collection between samples), and reports the median, MB/s of each contender's own output
   and the ratio of its time to ``encode_unified_data``'s.
4. Per-call overhead: per-record cost on the small case against the large case.
5. Peak memory (RSS high-water above a baseline, in a fresh subprocess per contender) as a
   multiple of the document size.
6. The performance targets of the project, each PASS or FAIL with the measured value.

Before the native encoder exists (or when its holder class is missing), the model cannot be
built; the benchmark then runs the peers and a pure-Python writer of the same layout
(``tests/_toml_layout.py``) in its place, and skips the targets.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import random
import sys
import tempfile
import time
import tomllib
from collections.abc import Callable
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
# The layout oracle lives with the tests.
sys.path.insert(0, str(HERE.parent / "tests"))
SRC = HERE.parent / "src"
if SRC.is_dir() and str(SRC) not in sys.path:
    sys.path.insert(1, str(SRC))

import _harness as h  # noqa: E402

import _toml_layout as layout  # noqa: E402

SEED = 20240605
LARGE_RECORDS = 100_000
SMALL_RECORDS = 1_000
# Share of the records per table (three tables).
TABLE_SHARES = (("users", 0.5), ("orders", 0.3), ("events", 0.2))
MB = h.MB

# ---------------------------------------------------------------------------------------------
# Workload
# ---------------------------------------------------------------------------------------------

_WORDS = ("alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "theta", "zeta", "rho")
# Non-ASCII words. "mixed" holds text beyond Latin-1, up to a non-BMP emoji, so a document
# returned as str takes 4 bytes per character in CPython; "latin1" keeps it at 1 byte per
# character (the text is still non-ASCII UTF-8, 2 bytes per accented letter).
TEXTS = {
    "mixed": (
        "Zürich",
        "straße",
        "東京",
        "Ελλάδα",
        "Kraków",
        "naïve café",
        "Москва",
        "😀 ok",
        "São Paulo",
        "Ñandú",
    ),
    "latin1": (
        "Zürich",
        "straße",
        "Genève",
        "Ærøskøbing",
        "Þórshöfn",
        "naïve café",
        "Málaga",
        "çà ok",
        "São Paulo",
        "Ñandú",
    ),
}
_NON_ASCII = TEXTS["mixed"]


def _column_defs(table: str) -> list[dict[str, Any]]:
    """Keyword arguments of the eight ``Column`` models of one table (every flag used once).

    The types hold every value the records give (64-bit ids, doubles), the keys and unique
    columns are unique, and the foreign key names a table and column that exist.
    """
    return [
        dict(name="id", type="BIGINT", primary_key=True, autoincrement=True),
        dict(name="score", type="DOUBLE", nullable=True, default=0.0),
        dict(name="code", type="VARCHAR", unique=True, default="none"),
        dict(name="label", type="VARCHAR", comment=f"Libellé de {table}"),
        dict(name="active", type="BOOLEAN", default=False),
        dict(name="missing", type="BIGINT", nullable=True, foreign_key="users.id"),
        dict(name="tags", type="BIGINT[]", default=[0, 1]),
        dict(name="meta", type="STRUCT(x BIGINT, y VARCHAR, ok BOOLEAN)", comment="nested"),
    ]


def _float(rng: random.Random, i: int) -> float:
    k = i % 8
    if k == 0:
        return rng.uniform(-1e6, 1e6)
    if k == 1:
        return rng.random() * 1e-7  # e-notation with a negative exponent
    if k == 2:
        return float(rng.randint(-1000, 1000))  # integral: 12.0
    if k == 3:
        return rng.random() * 1e17  # e-notation with a positive exponent
    if k == 4:
        return round(rng.uniform(0, 100), 2)
    return rng.random()


def _int(rng: random.Random, i: int) -> int:
    """A unique id per record: large ones of either sign, small negative ones, and i."""
    k = i % 4
    if k == 0:  # beyond any other id: at least 2**40 in magnitude
        return rng.choice((-1, 1)) * rng.randint(2**40, 2**63 - 1)
    if k == 1:
        return -i
    return i


def _record(rng: random.Random, i: int) -> dict[str, Any]:
    w = _WORDS[rng.randrange(len(_WORDS))]
    return {
        "id": _int(rng, i),
        "score": _float(rng, i),
        "code": f"{w[:3]}{i}",
        # A tab is legal raw in a TOML basic string and escaped as \t with escape_strings=True,
        # so both modes read back to the same text while the escaping path does real work.
        "label": f"{_NON_ASCII[rng.randrange(len(_NON_ASCII))]}{chr(9) if i % 16 == 0 else ' '}{w} #{i}",
        "active": rng.random() < 0.5,
        "missing": None,
        "tags": [rng.randrange(-50, 10_000) for _ in range(rng.randrange(6))],
        "meta": {"x": rng.randrange(100_000), "y": w, "ok": rng.random() < 0.3},
    }


def laid_out(records: list[Any]) -> tuple[list[Any], list[Any]]:
    """Our copy of the records and the peers' (None left out, as they read back).

    Generated records lie scattered between the generator's temporaries, and a walk over
    scattered objects misses the cache far more often (orjson took over twice as long over the
    generated nested records as over copies of them). Each copy is made in one pass while the
    generated records still hold their memory, so both copies lie alike, each in its own run.
    """

    def copy(v: Any) -> Any:
        if isinstance(v, dict):
            return {k: copy(x) for k, x in v.items()}
        if isinstance(v, list):
            return [copy(x) for x in v]
        return v

    ours = [copy(r) for r in records]
    theirs = [layout.expected_value(r) for r in records]
    return ours, theirs


@dataclass
class Workload:
    n_records: int
    version: str
    schema_version: str
    tables: list[
        tuple[str, list[dict[str, Any]], list[dict[str, Any]]]
    ]  # name, column kwargs, records
    doc: dict[str, Any] = field(default_factory=dict)  # plain-dict content, what the peers get
    model: Any = None
    model_error: str | None = None


def build_workload(n_records: int, seed: int = SEED) -> Workload:
    rng = random.Random(seed + n_records)
    tables = []
    peer_records = []
    start = 0
    for t, (name, share) in enumerate(TABLE_SHARES):
        n = n_records - start if t == len(TABLE_SHARES) - 1 else int(n_records * share)
        ours, theirs = laid_out([_record(rng, i) for i in range(start, start + n)])
        tables.append((name, _column_defs(name), ours))
        peer_records.append(theirs)
        start += n
    wl = Workload(n_records, "1.0", "3", tables)
    wl.doc = {
        "header": {
            "version": wl.version,
            "schema_version": wl.schema_version,
            "tables": [t[0] for t in tables],
        },
        "tables": {
            name: {
                "columns": [layout.expected_column(c) for c in cols],
                "records": theirs,
            }
            for (name, cols, _), theirs in zip(tables, peer_records, strict=True)
        },
    }
    try:
        wl.model = build_model(wl)
    except Exception as e:  # the holder class or the model may not exist yet
        wl.model_error = f"{type(e).__name__}: {e}"
    return wl


def build_model(wl: Workload) -> Any:
    from ondrel.datastore.tables.data import Column, TableData
    from ondrel.datastore.tables.grimsel import TablesHolder
    from ondrel.datastore.unified_data import UnifiedDataFormat

    tables = {}
    for name, cols, records in wl.tables:
        columns = [Column(**c) for c in cols]
        # The record dicts are shared with nothing else (the peers get None-free copies).
        tables[name] = TableData.model_construct(columns=columns, records=records)
    holder = TablesHolder(tables)
    return UnifiedDataFormat.model_construct(
        version=wl.version, schema_version=wl.schema_version, tables=holder
    )


# ---------------------------------------------------------------------------------------------
# Contenders
# ---------------------------------------------------------------------------------------------


@dataclass
class Contender:
    name: str
    kind: str  # "toml", "json", "file" (TOML written to a file) or "json-file"
    make: Callable[
        [Workload, str], Callable[[], Any]
    ]  # (workload, temp path) -> zero-argument call
    small_only: bool = False
    ours: bool = False
    available: str | None = None  # None when available, else why not


def _ours():
    try:
        from ondrel.datastore.adapter.toml import pentock

        return pentock.encode_unified_data, pentock.write_unified_data, None
    except Exception as e:
        return None, None, f"{type(e).__name__}: {e}"


def _try_import(name: str):
    try:
        return __import__(name), None
    except Exception as e:
        return None, f"not installed ({type(e).__name__})"


def contenders(no_ours: bool = False) -> list[Contender]:
    encode, write, why = _ours()
    if no_ours:
        encode = write = None
        why = "disabled by --no-ours"
    out: list[Contender] = []

    def needs_model(wl: Workload) -> None:
        if wl.model is None:
            raise RuntimeError(f"model not built: {wl.model_error}")

    if encode is not None:

        def mk_encode(escape: bool):
            def make(wl, _path):
                needs_model(wl)
                m = wl.model
                if escape:
                    return lambda: encode(m, escape_strings=True)
                return lambda: encode(m)

            return make

        def mk_write(wl, path):
            needs_model(wl)
            m = wl.model
            return lambda: write(m, path)

        out.append(Contender("encode_unified_data", "toml", mk_encode(False), ours=True))
        out.append(
            Contender(
                "encode_unified_data(escape_strings=True)", "toml", mk_encode(True), ours=True
            )
        )
        out.append(Contender("write_unified_data", "file", mk_write, ours=True))
    else:
        # Stand-in while the native encoder is missing: same layout, pure Python.
        out.append(
            Contender(
                "STUB _toml_layout.dumps",
                "toml",
                lambda wl, _p: lambda d=wl.doc: layout.dumps(d),
                ours=True,
                available=None,
            )
        )
        out[-1].why_stub = why  # type: ignore[attr-defined]

    tomli_w, why = _try_import("tomli_w")
    out.append(
        Contender(
            "tomli_w.dumps", "toml", lambda wl, _p: lambda d=wl.doc: tomli_w.dumps(d), available=why
        )
    )
    rtoml, why = _try_import("rtoml")
    out.append(
        Contender(
            "rtoml.dumps", "toml", lambda wl, _p: lambda d=wl.doc: rtoml.dumps(d), available=why
        )
    )
    toml_rs, why = _try_import("toml_rs")
    out.append(
        Contender(
            "toml_rs.dumps", "toml", lambda wl, _p: lambda d=wl.doc: toml_rs.dumps(d), available=why
        )
    )
    toml, why = _try_import("toml")
    out.append(
        Contender(
            "toml.dumps", "toml", lambda wl, _p: lambda d=wl.doc: toml.dumps(d), available=why
        )
    )
    tomlkit, why = _try_import("tomlkit")
    out.append(
        Contender(
            "tomlkit.dumps",
            "toml",
            lambda wl, _p: lambda d=wl.doc: tomlkit.dumps(d),
            small_only=True,
            available=why,
        )
    )
    orjson, why = _try_import("orjson")
    out.append(
        Contender(
            "orjson.dumps", "json", lambda wl, _p: lambda d=wl.doc: orjson.dumps(d), available=why
        )
    )
    if orjson is not None:
        # The peers of the targets: the document as a str, and written to a file in
        # write_unified_data's temporary directory (open, write, close: no rename, no sync).
        def mk_orjson_file(wl, path):
            d, out = wl.doc, peer_file(path)

            def call():
                with open(out, "wb") as f:
                    f.write(orjson.dumps(d))

            return call

        # write_unified_data's own promise: a new file beside the target, then os.replace.
        def mk_orjson_atomic(wl, path):
            d, out = wl.doc, peer_file(path)
            tmp = out + ".tmp"

            def call():
                with open(tmp, "wb") as f:
                    f.write(orjson.dumps(d))
                os.replace(tmp, out)

            return call

        out.append(
            Contender(ORJSON_STR, "json", lambda wl, _p: lambda d=wl.doc: orjson.dumps(d).decode())
        )
        out.append(Contender(ORJSON_FILE, "json-file", mk_orjson_file))
        out.append(Contender(ORJSON_ATOMIC, "json-file", mk_orjson_atomic))
    out.append(
        Contender(
            "json.dumps(ensure_ascii=False)",
            "json",
            lambda wl, _p: lambda d=wl.doc: json.dumps(d, ensure_ascii=False),
        )
    )
    return out


# ---------------------------------------------------------------------------------------------
# Content check
# ---------------------------------------------------------------------------------------------


def peer_file(path: str) -> str:
    """The file a JSON peer writes, next to write_unified_data's."""
    return os.path.join(os.path.dirname(path), "peer.json")


def output_bytes(kind: str, result: Any, path: str) -> bytes:
    if kind == "file":
        return Path(path).read_bytes()
    if kind == "json-file":
        return Path(peer_file(path)).read_bytes()
    if isinstance(result, str):
        return result.encode("utf-8")
    return bytes(result)


def check_content(kind: str, raw: bytes, expected: dict[str, Any]) -> str | None:
    """None when the output reads back to ``expected``, else what differs."""
    try:
        text = raw.decode("utf-8")
        got = json.loads(text) if kind == "json" else tomllib.loads(text)
    except Exception as e:
        return f"does not read back: {type(e).__name__}: {str(e)[:160]}"
    return h.first_difference(got, expected)


# ---------------------------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------------------------


def prepare(entries: list[h.Entry], cs: dict[str, Contender], wl: Workload, path: str, log) -> None:
    """First call of each contender: content check, output size, first time estimate."""
    for e in entries:
        c = cs[e.name]
        if c.available:
            e.status = c.available
            continue
        try:
            call = c.make(wl, path)
        except Exception as ex:
            e.status = h.failure(ex)
            continue

        def check(result: Any, c: Contender = c, e: h.Entry = e) -> str | None:
            raw = output_bytes(c.kind, result, path)
            diff = check_content(
                {"file": "toml", "json-file": "json"}.get(c.kind, c.kind), raw, wl.doc
            )
            if not diff:
                e.nbytes = len(raw)
            return diff

        if h.arm(e, call, check, "CONTENT DIFFERS"):
            log(
                f"  checked {c.name:<42} {e.nbytes / MB:8.2f} MB  first call {e.first * 1e3:9.1f} ms"
            )


# ---------------------------------------------------------------------------------------------
# Peak memory (child process)
# ---------------------------------------------------------------------------------------------


def mem_child(name: str, n_records: int, tmpdir: str | None) -> None:
    """Run one contender once on a fresh process's model; print JSON with the RSS rise."""
    wl = build_workload(n_records)
    cs = {c.name: c for c in contenders()}
    c = cs[name]
    fd, path = tempfile.mkstemp(prefix="bench_toml_mem_", suffix=".toml", dir=tmpdir)
    os.close(fd)
    try:
        call = c.make(wl, path)
        gc.collect()
        result, rise = h.rss_rise(call)
        raw = output_bytes(c.kind, result, path)
        result_size = sys.getsizeof(result) if result is not None else 0
        del result
        print(
            json.dumps(
                {
                    "name": name,
                    "base_kb": rise["base_kb"],
                    "peak_kb": rise["peak_kb"],
                    "rise_bytes": rise["rise_bytes"],
                    "doc_bytes": len(raw),
                    "result_bytes": result_size,
                    "hwm_reset": rise["hwm_reset"],
                }
            )
        )
    finally:
        os.unlink(path)


# ---------------------------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------------------------

DISTS = ("tomli-w", "rtoml", "toml-rs", "toml", "tomlkit", "orjson", "pydantic")
ENC, ESC, WRITE = (
    "encode_unified_data",
    "encode_unified_data(escape_strings=True)",
    "write_unified_data",
)
ORJSON_STR = "orjson.dumps().decode()"
ORJSON_FILE = "orjson.dumps() + file write"
ORJSON_ATOMIC = "orjson.dumps() + atomic save"
# Times are of the large case; the figures are computed in main.
TARGETS = (
    h.TimeRatio(f"{ENC} >= 25x faster than tomli_w.dumps", "tomli_w.dumps", ENC, 25, at_most=False),
    h.TimeRatio(f"{ENC} >= 6x faster than rtoml.dumps", "rtoml.dumps", ENC, 6, at_most=False),
    h.TimeRatio(f"{ENC} <= 0.8x orjson.dumps time", ENC, "orjson.dumps", 0.8),
    h.TimeRatio(f"{ESC} <= 1.0x orjson.dumps time", ESC, "orjson.dumps", 1.0),
    h.TimeRatio(f"{ENC} <= 0.8x {ORJSON_STR} time", ENC, ORJSON_STR, 0.8),
    h.TimeRatio(f"{WRITE} <= 1.1x {ENC} time", WRITE, ENC, 1.1),
    h.TimeRatio(f"{WRITE} <= 0.9x {ORJSON_FILE} time", WRITE, ORJSON_FILE, 0.9),
    h.TimeRatio(f"{WRITE} <= 0.9x {ORJSON_ATOMIC} time", WRITE, ORJSON_ATOMIC, 0.9),
    h.Figure(f"{ENC} peak memory <= 2.5x document", f"{ENC} memory", 2.5),
    h.Figure(f"{WRITE} peak memory <= 1.5x document", f"{WRITE} memory", 1.5),
    h.Figure("small case per-record cost <= 1.10x large case's", "per-record cost", 1.10, digits=3),
)


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", type=int, default=LARGE_RECORDS, help="records in the large case")
    ap.add_argument("--small", type=int, default=SMALL_RECORDS, help="records in the small case")
    ap.add_argument(
        "--budget", type=float, default=3.0, help="seconds of samples per contender and case"
    )
    ap.add_argument("--quick", action="store_true", help="fewer samples (budget 1 s)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory subprocesses")
    ap.add_argument(
        "--no-ours", action="store_true", help="run the stand-in instead of the native encoder"
    )
    ap.add_argument("--json", metavar="PATH", help="also write the results as JSON")
    ap.add_argument(
        "--text",
        choices=sorted(TEXTS),
        default="mixed",
        help="non-ASCII words of the string column",
    )
    ap.add_argument(
        "--tmpdir", help="directory of write_unified_data's temporary file (default: the system's)"
    )
    ap.add_argument("--mem-child", metavar="NAME", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    global _NON_ASCII
    _NON_ASCII = TEXTS[args.text]
    if args.mem_child:
        mem_child(args.mem_child, args.records, args.tmpdir)
        return 0
    budget = 1.0 if args.quick else args.budget

    log = h.log

    load0 = os.getloadavg()
    t_start = time.perf_counter()
    log(f"building workloads ({args.records} and {args.small} records) ...")
    large = build_workload(args.records)
    small = build_workload(args.small)
    cs = contenders(no_ours=args.no_ours)
    have_ours = any(c.ours and not c.name.startswith("STUB") for c in cs)
    if have_ours and large.model is None:
        log(f"  model cannot be built: {large.model_error}")

    tmpdir = tempfile.mkdtemp(prefix="bench_toml_", dir=args.tmpdir)
    path = os.path.join(tmpdir, "doc.toml")
    results: dict[str, list[h.Entry]] = {}
    try:
        for label, wl, min_runs, max_runs, min_sample, settle in (
            ("large", large, 3, 25, 0.0, 0.05),
            ("small", small, 7, 25, 0.02, 0.0),
        ):
            log(f"{label} case: content checks ...")
            entries = [h.Entry(c.name) for c in cs if label == "small" or not c.small_only]
            prepare(entries, {c.name: c for c in cs}, wl, path, log)
            log(f"{label} case: timing ...")
            # A large save's replaced file is closed on a thread: let it end between samples.
            h.run_rounds(entries, budget, min_runs, max_runs, min_sample, settle_s=settle)
            results[label] = entries
    finally:
        for f in os.listdir(tmpdir):
            os.unlink(os.path.join(tmpdir, f))
        os.rmdir(tmpdir)

    byname = {label: {e.name: e for e in es} for label, es in results.items()}
    ref_name = "encode_unified_data" if have_ours else "STUB _toml_layout.dumps"

    # Byte-for-byte cross-check of the native output against the pure-Python layout writer.
    cross = []
    for name, escape in (
        ("encode_unified_data", False),
        ("encode_unified_data(escape_strings=True)", True),
    ):
        e = byname["small"].get(name)
        if not (have_ours and e is not None and e.call is not None):
            continue
        ours_b = output_bytes("toml", e.call(), "")
        ref_b = layout.dumps(small.doc, escape_strings=escape).encode("utf-8")
        if ours_b == ref_b:
            cross.append(
                f"{name} byte-identical to the layout oracle (tests/_toml_layout.py) on the small case"
            )
        else:
            i = next(
                (k for k, (a, b) in enumerate(zip(ours_b, ref_b, strict=False)) if a != b),
                min(len(ours_b), len(ref_b)),
            )
            cross.append(
                f"{name} differs from the layout oracle (tests/_toml_layout.py) at byte {i}: "
                f"{ours_b[max(0, i - 30) : i + 30]!r} vs {ref_b[max(0, i - 30) : i + 30]!r}"
            )

    mem: dict[str, dict[str, Any]] = {}
    if not args.no_memory:
        names = [
            c.name
            for c in cs
            if c.ours and not c.name.startswith("STUB") and large.model is not None
        ]
        names += [
            n
            for n in ("orjson.dumps", "rtoml.dumps")
            if any(c.name == n and not c.available for c in cs)
        ]
        log("peak memory (fresh subprocess per contender) ...")
        child_args = ["--records", str(args.records), "--text", args.text]
        child_args += ["--tmpdir", args.tmpdir] if args.tmpdir else []
        mem = h.measure_memory(str(Path(__file__).resolve()), names, child_args, log)

    load1 = os.getloadavg()
    out = h.header("TOML writer benchmark", "bench/bench_toml.py", argv, DISTS, load0, load1)
    out.append(
        f"- large case: {args.records} records, small case: {args.small} records, 3 tables x 8 columns, "
        f"non-ASCII text '{args.text}'; "
        "MB = 10^6 bytes of each contender's own output; GC off inside timed loops"
    )
    if not have_ours:
        why = next((getattr(c, "why_stub", "") for c in cs if c.name.startswith("STUB")), "")
        out.append(
            f"- NATIVE ENCODER NOT AVAILABLE ({why}); the pure-Python stand-in takes its row"
        )
    elif large.model is None:
        out.append(f"- MODEL NOT BUILT ({large.model_error}); the native encoder was not run")
    for c in cross:
        out.append(f"- layout cross-check: {c}")
    out.append("")
    for label, n in (("large", args.records), ("small", args.small)):
        out += h.table(f"{label} case ({n} records)", results[label], byname[label].get(ref_name))
        out.append("")

    # Per-call overhead.
    overhead: dict[str, float] = {}
    out.append("### Per-call overhead (per-record cost, small case against large case)")
    out.append("")
    for e in results["small"]:
        el = byname["large"].get(e.name)
        if not (e.samples and el and el.samples):
            continue
        per_small = e.median / args.small
        per_large = el.median / args.records
        overhead[e.name] = per_small / per_large - 1
        out.append(
            f"- {e.name}: {per_small * 1e9:.0f} ns/record small, {per_large * 1e9:.0f} ns/record large "
            f"-> {overhead[e.name] * 100:+.1f}%"
        )
    out.append("")

    if mem:
        out.append(
            "### Peak memory, large case (RSS high-water above baseline, fresh process each)"
        )
        out.append("")
        for name, m in mem.items():
            if "error" in m:
                out.append(f"- {name}: failed: {m['error']}")
            else:
                out.append(
                    f"- {name}: +{m['rise_bytes'] / MB:.1f} MB for a {m['doc_bytes'] / MB:.1f} MB document "
                    f"= {m['rise_bytes'] / m['doc_bytes']:.2f}x"
                    + (
                        f" (the returned object alone: {m['result_bytes'] / MB:.1f} MB"
                        f" = {m['result_bytes'] / m['doc_bytes']:.2f}x)"
                        if m.get("result_bytes")
                        else ""
                    )
                    + (
                        ""
                        if m["hwm_reset"]
                        else " (high-water mark not resettable: may under-report)"
                    )
                )
        out.append("")

    # Targets.
    out.append("### Targets")
    out.append("")
    figures = {
        f"{name} memory": m["rise_bytes"] / m["doc_bytes"]
        for name, m in mem.items()
        if "error" not in m
    }
    if ENC in overhead:
        figures["per-record cost"] = 1 + overhead[ENC]
    targets = (
        h.evaluate(TARGETS, byname["large"], figures)
        if have_ours and large.model is not None
        else []
    )
    if not targets:
        out.append("- not evaluated: the native encoder did not run")
    out += h.target_lines(targets)
    out.append("")
    out.append(f"(total run time {time.perf_counter() - t_start:.0f} s)")
    print("\n".join(out))

    if args.json:
        h.write_json(
            args.json,
            {
                label: {
                    e.name: {"status": e.status, "samples_s": e.samples, "out_bytes": e.nbytes}
                    for e in es
                }
                for label, es in results.items()
            }
            | {"memory": mem, "overhead": overhead, "targets": targets},
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
