"""TOML reader benchmark: the native decoder against the Python TOML readers and JSON parsers.

Run with ``make bench-read`` (or ``.venv/bin/python bench/bench_toml_read.py --help``).

What it does:

1. Builds the writer benchmark's model (``bench_toml.build_workload``: 100,000 records over
   three tables) and writes it with ``encode_unified_data(model, escape_strings=True)``. That
   document is the input: as ``str``, as UTF-8 ``bytes`` and as a file in the temp directory.
   The JSON parsers get the same content as JSON, ``json.dumps(content, ensure_ascii=False)``
   as a ``str``. The multi-line case reads (as a ``str``) the same records written as TOML 1.1
   multi-line inline tables, one key/value pair a line with a trailing comma.
2. Calls every contender once and compares its result with ``tomllib.loads``'s (values and
   types); a contender whose result differs is reported and never timed. The multi-line form
   is checked against ``tomli.loads`` (2.4 and later read TOML 1.1; tomllib reads 1.0 only),
   whose result must equal the single-line form's; a reader that refuses it is reported as
   skipped.
3. Times the contenders in interleaved rounds with a rotating order (garbage collector off
   inside the timed region, a collection between samples) from the call to the returned dict;
   the result is released after the clock stops, so its deallocation is not timed. Reports the
   median, min, spread, MB/s of each contender's own input and the ratio of its time to
   ``decode_unified_data(str)``'s.
4. Peak memory, in a fresh subprocess per contender that only reads the input files:
   - the input is loaded (``str``, ``bytes``, the path, or the JSON ``str``), then
     ``malloc_trim`` and a collection; the RSS high-water mark is reset (Linux ``clear_refs``)
     and the RSS taken as the baseline; the contender runs once; the rise is ``VmHWM`` minus
     the baseline.
   - The result's own objects are measured with the allocators' counters, not by RSS: bytes
     in allocated pymalloc blocks (``sys._debugmallocstats``, size classes included) plus
     bytes in use in glibc malloc (``mallinfo2``: heap and mmapped chunks) after the call,
     with the input released, minus the same counters before the input was loaded. That is
     exactly what the result holds live, object headers and rounding included; memory kept
     by a contender after the call on the caller's input (a cached UTF-8 copy of a ``str``)
     is released with the input and so counts as the contender's overhead, as do pools and
     arenas left fragmented by its transient allocations.
   - The figure checked against the target is the rise minus the result's own objects, as a
     multiple of the UTF-8 size of the contender's input. It can under-report by the free
     memory the interpreter already holds at the baseline (a few hundred kB, reused without
     raising RSS): it matters only for small documents, where it can even turn negative.
5. The performance targets of the reader, each PASS or FAIL with the measured value; the
   multi-line form's is on the time per byte of input.
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
import tomllib
from collections.abc import Callable
from dataclasses import dataclass
from importlib import metadata
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _harness as h  # noqa: E402
import bench_toml  # noqa: E402  (puts src/ and tests/ on sys.path too)
from bench_toml import TEXTS, build_workload  # noqa: E402

import _toml_layout as layout  # noqa: E402

MB = h.MB
REF = "decode_unified_data(str)"
MULTI = "decode_unified_data(str, multi-line)"
FILES = {"json": "doc.json", "multiline": "doc_multiline.toml"}  # any other source: doc.toml
DISTS = ("rtoml", "pytomlpp", "toml-rs", "orjson", "ssrjson", "tomli")


@dataclass
class Reader:
    name: str
    # "str", "bytes", "file" (the TOML document), "multiline" (its TOML 1.1 multi-line form, a
    # str) or "json" (JSON str)
    source: str
    fn: Callable[[Any], Any] | None
    available: str | None = None  # None when available, else why not


def readers() -> list[Reader]:
    try:
        from ondrel.datastore.adapter.toml import decoder

        why = None
    except Exception as e:
        decoder, why = None, f"not built ({type(e).__name__}: {e})"
    out = [
        Reader(name, source, getattr(decoder, fn, None), why)
        for name, source, fn in (
            (REF, "str", "decode_unified_data"),
            ("decode_unified_data(bytes)", "bytes", "decode_unified_data"),
            ("read_unified_data(path)", "file", "read_unified_data"),
            (MULTI, "multiline", "decode_unified_data"),
        )
    ]
    out.append(Reader("tomllib.loads", "str", tomllib.loads))
    for mod, name, source in (
        ("rtoml", "rtoml.loads", "str"),
        ("pytomlpp", "pytomlpp.loads", "str"),
        ("toml_rs", "toml_rs.loads", "str"),
        ("orjson", "orjson.loads(JSON)", "json"),
        ("ssrjson", "ssrjson.loads(JSON)", "json"),
    ):
        try:
            out.append(Reader(name, source, __import__(mod).loads))
        except Exception as e:
            out.append(Reader(name, source, None, f"not installed ({type(e).__name__})"))
    out.append(Reader("json.loads(JSON)", "json", json.loads))
    return out


def _path(source: str, directory: str) -> str:
    return os.path.join(directory, FILES.get(source, "doc.toml"))


def load_input(source: str, directory: str) -> Any:
    path = _path(source, directory)
    if source == "file":
        return path
    data = Path(path).read_bytes()
    return data if source == "bytes" else data.decode("utf-8")


def input_bytes(source: str, directory: str) -> int:
    return os.path.getsize(_path(source, directory))


def multiline_oracle(doc: str, expected: dict[str, Any]) -> tuple[Any, str | None]:
    """tomli's reading of the multi-line document (tomllib reads only TOML 1.0), or None and
    why the case cannot be checked."""
    try:
        import tomli

        version = tuple(int(x) for x in metadata.version("tomli").split(".")[:2])
    except Exception as e:
        return None, f"skipped: tomli is not installed ({type(e).__name__})"
    if version < (2, 4):
        return None, f"skipped: tomli {metadata.version('tomli')} does not read TOML 1.1"
    got = tomli.loads(doc)
    diff = h.first_difference(got, expected)
    if diff:  # the generator's fault: the two forms must hold the same records
        return None, f"skipped: the multi-line form reads differently: {diff}"
    return got, None


# ---------------------------------------------------------------------------------------------
# Peak memory (child process)
# ---------------------------------------------------------------------------------------------


def mem_child(name: str, directory: str) -> None:
    """Run one contender once in this fresh process; print JSON with the RSS rise."""
    r = {x.name: x for x in readers()}[name]
    load_input(r.source, directory)  # warm the I/O path
    h.allocated_bytes()  # and the counters' own caches
    gc.collect()
    before = h.allocated_bytes()
    arg = load_input(r.source, directory)
    gc.collect()
    h.libc().malloc_trim(0)
    call = functools.partial(r.fn, arg)
    del arg
    result, rise = h.rss_rise(call)
    del call  # the input goes with it
    gc.collect()
    own = h.allocated_bytes() - before
    del result
    print(
        json.dumps(
            {
                "rise_bytes": rise["rise_bytes"],
                "result_bytes": own,
                "doc_bytes": input_bytes(r.source, directory),
                "hwm_reset": rise["hwm_reset"],
            }
        )
    )


# ---------------------------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------------------------

OURS = (REF, "decode_unified_data(bytes)", "read_unified_data(path)")
TARGETS = (
    h.TimeRatio(
        f"{REF} time <= 1.0x orjson.loads(JSON)", REF, "orjson.loads(JSON)", 1.0, minima=True
    ),
    h.TimeRatio(
        f"{REF} time <= 1.0x ssrjson.loads(JSON)", REF, "ssrjson.loads(JSON)", 1.0, minima=True
    ),
    h.TimeRatio(
        f"{REF} >= 14x faster than tomllib.loads",
        "tomllib.loads",
        REF,
        14,
        at_most=False,
        minima=True,
    ),
    h.TimeRatio(
        f"{REF} >= 5x faster than rtoml.loads", "rtoml.loads", REF, 5, at_most=False, minima=True
    ),
    h.TimeRatio(
        f"read_unified_data(path) time <= 1.1x {REF}",
        "read_unified_data(path)",
        REF,
        1.1,
        minima=True,
    ),
    *(
        h.Figure(
            f"{name} peak memory above the result's own objects <= 1.5x document",
            f"{name} memory",
            1.5,
        )
        for name in OURS
    ),
    h.TimeRatio(
        "multi-line form reads within 1.1x the time per byte of the single-line form",
        MULTI,
        REF,
        1.1,
        per_byte=True,
        minima=True,
    ),
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
    ap.add_argument(
        "--text",
        choices=sorted(TEXTS),
        default="mixed",
        help="non-ASCII words of the string column",
    )
    ap.add_argument(
        "--tmpdir", help="directory of the document's temporary files (default: the system's)"
    )
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
    log(f"building the document ({args.records} records, text '{args.text}') ...")
    bench_toml._NON_ASCII = TEXTS[args.text]
    wl = build_workload(args.records)
    if wl.model is None:
        log(f"the model cannot be built: {wl.model_error}")
        return 1
    from ondrel.datastore.adapter.toml.pentock import encode_unified_data

    doc = encode_unified_data(wl.model, escape_strings=True)
    multi_doc = layout.dumps(wl.doc, escape_strings=True, multiline_records=True)
    del wl
    expected = tomllib.loads(doc)
    log("reading the multi-line form with tomli ...")
    expected_multi, multi_skip = multiline_oracle(multi_doc, expected)
    tmpdir = tempfile.mkdtemp(prefix="bench_toml_read_", dir=args.tmpdir)
    try:
        Path(tmpdir, "doc.toml").write_bytes(doc.encode("utf-8"))
        Path(_path("multiline", tmpdir)).write_bytes(multi_doc.encode("utf-8"))
        Path(_path("json", tmpdir)).write_bytes(
            json.dumps(expected, ensure_ascii=False).encode("utf-8")
        )
        del doc, multi_doc
        rs = readers()
        inputs = {s: load_input(s, tmpdir) for s in ("str", "bytes", "file", "json", "multiline")}

        log("content checks against tomllib.loads (the multi-line form: tomli.loads) ...")
        entries = []
        for r in rs:
            e = h.Entry(r.name, nbytes=input_bytes(r.source, tmpdir))
            entries.append(e)
            if r.available:
                e.status = r.available
                continue
            want = expected_multi if r.source == "multiline" else expected
            if want is None:
                e.status = multi_skip or "skipped"
                continue

            call = lambda fn=r.fn, a=inputs[r.source]: fn(a)  # noqa: E731
            if h.arm(e, call, lambda got, w=want: h.first_difference(got, w)):
                log(
                    f"  checked {r.name:<28} {e.nbytes / MB:7.2f} MB  first call {e.first * 1e3:8.1f} ms"
                )
            elif r.source == "multiline":
                log(f"  {r.name}: {e.status}")
        log("timing ...")
        h.run_rounds(entries, budget, 3, 25, free_untimed=True)
        del inputs

        mem: dict[str, dict[str, Any]] = {}
        if not args.no_memory:
            log("peak memory (fresh subprocess per contender) ...")
            names = [e.name for e in entries if e.call]
            mem = h.measure_memory(__file__, names, ["--mem-dir", tmpdir], log)
    finally:
        shutil.rmtree(tmpdir)

    byname = {e.name: e for e in entries}
    multi = byname[MULTI]
    out = h.header(
        "TOML reader benchmark", "bench/bench_toml_read.py", argv, DISTS, load0, os.getloadavg()
    )
    out += [
        f"- document: {args.records} records, 3 tables x 8 columns, non-ASCII text '{args.text}', "
        "written by encode_unified_data(escape_strings=True); JSON parsers read the same content "
        "as JSON; MB = 10^6 bytes of each contender's own input; GC off inside timed calls",
        "- multi-line form: the same document with each record a multi-line inline table (TOML "
        "1.1), checked against tomli.loads: "
        + ("the reader's result equals tomli's" if multi.call else multi.status),
        "",
    ]
    out += h.table(
        f"Reading ({args.records} records)",
        entries,
        byname.get(REF),
        size_label="input MB",
        ratio_label="time / decode(str)",
    )
    out.append("")
    out += h.memory_lines(
        "Peak memory (RSS high-water above the loaded input, fresh process each)", mem
    )
    figures = {
        f"{name} memory": (m["rise_bytes"] - m["result_bytes"]) / m["doc_bytes"]
        for name, m in mem.items()
        if "error" not in m
    }
    targets = h.evaluate(TARGETS, byname, figures)
    out += ["### Targets", "", *h.target_lines(targets)]
    out += ["", f"(total run time {time.perf_counter() - t_start:.0f} s)"]
    print("\n".join(out))

    if args.json:
        results = {
            e.name: {"status": e.status, "samples_s": e.samples, "in_bytes": e.nbytes}
            for e in entries
        }
        h.write_json(args.json, {"reading": results, "memory": mem, "targets": targets})
    return 0


if __name__ == "__main__":
    sys.exit(main())
