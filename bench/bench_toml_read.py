"""TOML reader benchmark: the native decoder against the Python TOML readers and JSON parsers.

Run with ``make bench-read`` (or ``.venv/bin/python bench/bench_toml_read.py --help``).

What it does:

1. Builds the writer benchmark's model (``bench_toml.build_workload``: 100,000 records over
   three tables) and writes it with ``encode_unified_data(model, escape_strings=True)``. That
   document is the input: as ``str``, as UTF-8 ``bytes`` and as a file in the temp directory.
   The JSON parsers get the same content as JSON, ``json.dumps(content, ensure_ascii=False)``
   as a ``str``.
2. Calls every contender once and compares its result with ``tomllib.loads``'s (values and
   types); a contender whose result differs is reported and never timed.
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
5. The performance targets of the reader, each PASS or FAIL with the measured value.
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import json
import os
import platform
import re
import shutil
import subprocess
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

import bench_toml  # noqa: E402  (puts src/ on sys.path too)
from bench_toml import MB, TEXTS, Entry, _cpu, _first_difference, build_workload  # noqa: E402

REF = "decode_unified_data(str)"
TOML_FILE, JSON_FILE = "doc.toml", "doc.json"


@dataclass
class Reader:
    name: str
    source: str  # "str", "bytes", "file" (the TOML document) or "json" (JSON str)
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
        )
    ]
    out.append(Reader("tomllib.loads", "str", tomllib.loads))
    for mod, name, source in (
        ("rtoml", "rtoml.loads", "str"),
        ("pytomlpp", "pytomlpp.loads", "str"),
        ("toml_rs", "toml_rs.loads", "str"),
        ("orjson", "orjson.loads(JSON)", "json"),
    ):
        try:
            out.append(Reader(name, source, __import__(mod).loads))
        except Exception as e:
            out.append(Reader(name, source, None, f"not installed ({type(e).__name__})"))
    out.append(Reader("json.loads(JSON)", "json", json.loads))
    return out


def load_input(source: str, directory: str) -> Any:
    path = os.path.join(directory, JSON_FILE if source == "json" else TOML_FILE)
    if source == "file":
        return path
    data = Path(path).read_bytes()
    return data if source == "bytes" else data.decode("utf-8")


def input_bytes(source: str, directory: str) -> int:
    return os.path.getsize(os.path.join(directory, JSON_FILE if source == "json" else TOML_FILE))


# ---------------------------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------------------------


def sample(call: Callable[[], Any]) -> float:
    gc.collect()
    gc.disable()
    try:
        t0 = time.perf_counter()
        result = call()
        t1 = time.perf_counter()
    finally:
        gc.enable()
    del result  # freed outside the timed region
    return t1 - t0


def run_rounds(entries: list[Entry], budget_s: float, min_runs: int, max_runs: int) -> None:
    """Interleaved rounds with a rotating order, as in bench_toml.run_rounds (one call per
    sample: every contender takes milliseconds here)."""
    live = [e for e in entries if e.call is not None]
    for e in live:
        t = sample(e.call)  # untimed warm-up that also sizes the sample count
        e.runs_wanted = int(min(max_runs, max(min_runs, budget_s // max(t, 1e-9))))
    for r in range(max((e.runs_wanted for e in live), default=0)):
        k = r % len(live)
        for e in live[k:] + live[:k]:
            if len(e.samples) < e.runs_wanted:
                e.samples.append(sample(e.call))


# ---------------------------------------------------------------------------------------------
# Peak memory (child process)
# ---------------------------------------------------------------------------------------------


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (n, ctypes.c_size_t)
        for n in (
            "arena",
            "ordblks",
            "smblks",
            "hblks",
            "hblkhd",
            "usmblks",
            "fsmblks",
            "uordblks",
            "fordblks",
            "keepcost",
        )
    ]


def _allocated_bytes(libc: ctypes.CDLL) -> int:
    """Bytes live in pymalloc blocks plus bytes in use in glibc malloc."""
    with tempfile.TemporaryFile() as f:
        sys.stderr.flush()
        saved = os.dup(2)
        os.dup2(f.fileno(), 2)
        try:
            sys._debugmallocstats()
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        f.seek(0)
        stats = f.read().decode()
    m = re.search(r"# bytes in allocated blocks\s*=\s*([\d,]+)", stats)
    if m is None:
        raise RuntimeError("sys._debugmallocstats() reports no pymalloc blocks")
    mi = libc.mallinfo2()
    return int(m.group(1).replace(",", "")) + mi.uordblks + mi.hblkhd


def mem_child(name: str, directory: str) -> None:
    """Run one contender once in this fresh process; print JSON with the RSS rise."""
    r = {x.name: x for x in readers()}[name]
    libc = ctypes.CDLL(None)
    libc.mallinfo2.restype = _MallInfo2
    load_input(r.source, directory)  # warm the I/O path
    _allocated_bytes(libc)  # and the counters' own caches
    gc.collect()
    before = _allocated_bytes(libc)
    arg = load_input(r.source, directory)
    gc.collect()
    libc.malloc_trim(0)
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # reset the RSS high-water mark to the current RSS
        reset = True
    except OSError:
        reset = False
    base = bench_toml._status_kb("VmRSS")
    if not reset:
        base = max(base, bench_toml._status_kb("VmHWM"))  # can only under-report the rise
    result = r.fn(arg)
    peak = bench_toml._status_kb("VmHWM")
    del arg
    gc.collect()
    own = _allocated_bytes(libc) - before
    del result
    print(
        json.dumps(
            {
                "rise_bytes": max(0, peak - base) * 1024,
                "result_bytes": own,
                "doc_bytes": input_bytes(r.source, directory),
                "hwm_reset": reset,
            }
        )
    )


def measure_memory(names: list[str], directory: str, log) -> dict[str, dict[str, Any]]:
    out = {}
    for name in names:
        proc = subprocess.run(
            [sys.executable, __file__, "--mem-child", name, "--mem-dir", directory],
            capture_output=True,
            text=True,
        )
        if proc.returncode != 0:
            out[name] = {"error": (proc.stderr.strip().splitlines() or ["?"])[-1]}
        else:
            out[name] = json.loads(proc.stdout.strip().splitlines()[-1])
        log(f"  memory {name}: {out[name]}")
    return out


# ---------------------------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------------------------


def evaluate_targets(byname: dict[str, Entry], mem) -> list[tuple[str, bool | None, str]]:
    res: list[tuple[str, bool | None, str]] = []

    def ratio(label: str, num: str, den: str, limit: float, at_most: bool) -> None:
        a, b = byname.get(num), byname.get(den)
        if a is None or b is None or not (a.samples and b.samples):
            res.append((label, None, "not measured"))
        else:
            r = a.median / b.median  # the target is on medians; the minima show the noise
            detail = f"{r:.2f}x (of the minima: {min(a.samples) / min(b.samples):.2f}x)"
            res.append((label, r <= limit if at_most else r >= limit, detail))

    ratio(f"{REF} time <= 1.0x orjson.loads(JSON)", REF, "orjson.loads(JSON)", 1.0, True)
    ratio(f"{REF} >= 14x faster than tomllib.loads", "tomllib.loads", REF, 14, False)
    ratio(f"{REF} >= 5x faster than rtoml.loads", "rtoml.loads", REF, 5, False)
    ratio(f"read_unified_data(path) time <= 1.1x {REF}", "read_unified_data(path)", REF, 1.1, True)
    for name in (REF, "decode_unified_data(bytes)", "read_unified_data(path)"):
        label = f"{name} peak memory above the result's own objects <= 1.5x document"
        m = mem.get(name)
        if not m or "error" in m:
            res.append((label, None, "not measured"))
        else:
            r = (m["rise_bytes"] - m["result_bytes"]) / m["doc_bytes"]
            res.append((label, r <= 1.5, f"{r:.2f}x"))
    return res


def _versions() -> str:
    parts = []
    for dist in ("rtoml", "pytomlpp", "toml-rs", "orjson"):
        try:
            parts.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            parts.append(f"{dist} -")
    return ", ".join(parts)


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

    def log(msg: str) -> None:
        print(msg, file=sys.stderr, flush=True)

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
    del wl
    expected = tomllib.loads(doc)
    tmpdir = tempfile.mkdtemp(prefix="bench_toml_read_", dir=args.tmpdir)
    try:
        Path(tmpdir, TOML_FILE).write_bytes(doc.encode("utf-8"))
        Path(tmpdir, JSON_FILE).write_bytes(
            json.dumps(expected, ensure_ascii=False).encode("utf-8")
        )
        del doc
        rs = readers()
        inputs = {s: load_input(s, tmpdir) for s in ("str", "bytes", "file", "json")}

        log("content checks against tomllib.loads ...")
        entries = []
        for r in rs:
            e = Entry(r)  # type: ignore[arg-type]  (Entry only needs .name)
            entries.append(e)
            e.out_bytes = input_bytes(r.source, tmpdir)
            if r.available:
                e.status = r.available
                continue
            arg = inputs[r.source]
            try:
                t0 = time.perf_counter()
                got = r.fn(arg)
                t_first = time.perf_counter() - t0
                diff = _first_difference(got, expected)
            except Exception as ex:
                e.status = f"failed: {type(ex).__name__}: {str(ex)[:160]}"
                continue
            del got
            if diff:
                e.status = f"RESULT DIFFERS, not timed: {diff}"
                continue
            e.call = lambda fn=r.fn, a=arg: fn(a)
            log(
                f"  checked {r.name:<28} {e.out_bytes / MB:7.2f} MB  first call {t_first * 1e3:8.1f} ms"
            )
        log("timing ...")
        run_rounds(entries, budget, 3, 25)
        del inputs

        mem: dict[str, dict[str, Any]] = {}
        if not args.no_memory:
            log("peak memory (fresh subprocess per contender) ...")
            mem = measure_memory([e.contender.name for e in entries if e.call], tmpdir, log)
    finally:
        shutil.rmtree(tmpdir)

    byname = {e.contender.name: e for e in entries}
    load1 = os.getloadavg()
    cmd = " ".join([Path(sys.executable).name, "bench/bench_toml_read.py", *(argv or sys.argv[1:])])
    out = [
        "## TOML reader benchmark",
        "",
        f"- command: `{cmd}`",
        f"- machine: {_cpu()}, {os.cpu_count()} cores, {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}; {_versions()}",
        f"- load average {load0[0]:.2f} at start, {load1[0]:.2f} at end "
        "(other processes on a shared machine make the numbers noisy)",
        f"- document: {args.records} records, 3 tables x 8 columns, non-ASCII text '{args.text}', "
        "written by encode_unified_data(escape_strings=True); JSON parsers read the same content "
        "as JSON; MB = 10^6 bytes of each contender's own input; GC off inside timed calls",
        "",
    ]
    table = bench_toml.table(f"Reading ({args.records} records)", entries, byname.get(REF))
    table[2] = (
        table[2].replace("output MB", "input MB").replace("time / encode", "time / decode(str)")
    )
    out += [*table, ""]
    if mem:
        out += ["### Peak memory (RSS high-water above the loaded input, fresh process each)", ""]
        for name, m in mem.items():
            if "error" in m:
                out.append(f"- {name}: failed: {m['error']}")
                continue
            rise, own, doc_b = m["rise_bytes"], m["result_bytes"], m["doc_bytes"]
            out.append(
                f"- {name}: +{rise / MB:.1f} MB, the result's own objects {own / MB:.1f} MB, "
                f"above them {(rise - own) / MB:.1f} MB = {(rise - own) / doc_b:.2f}x "
                f"the {doc_b / MB:.1f} MB input"
                + ("" if m["hwm_reset"] else " (high-water mark not resettable: may under-report)")
            )
        out.append("")
    targets = evaluate_targets(byname, mem)
    out += ["### Targets", ""]
    for name, ok, detail in targets:
        out.append(f"- {'PASS' if ok else 'FAIL' if ok is False else 'N/A '} {name}: {detail}")
    out += ["", f"(total run time {time.perf_counter() - t_start:.0f} s)"]
    print("\n".join(out))

    if args.json:
        Path(args.json).parent.mkdir(parents=True, exist_ok=True)
        results = {
            e.contender.name: {"status": e.status, "samples_s": e.samples, "in_bytes": e.out_bytes}
            for e in entries
        }
        Path(args.json).write_text(
            json.dumps({"reading": results, "memory": mem, "targets": targets}, indent=1)
        )
    return 0


if __name__ == "__main__":
    sys.exit(main())
