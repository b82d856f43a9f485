"""The benchmarks' shared harness: contenders as zero-argument callables checked once, then timed
in interleaved rounds; peak memory in a fresh process; the results table; targets as data.

A benchmark makes one ``Entry`` per contender, arms it with ``arm`` (one checked call), times
the armed ones with ``run_rounds``, and reports with ``header``, ``table`` and
``target_lines(evaluate(TARGETS, entries_by_name, figures))``. For peak memory its script
takes a hidden ``--mem-child NAME`` option: ``measure_memory`` runs the script once per name in
a fresh process, whose ``mem_child`` calls ``rss_rise`` and prints one JSON line.
"""

from __future__ import annotations

import ctypes
import functools
import gc
import json
import math
import os
import platform
import random
import re
import statistics
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable, Iterable, Mapping
from dataclasses import dataclass, field
from importlib import metadata
from pathlib import Path
from typing import Any

MB = 1e6

# ---------------------------------------------------------------------------------------------
# Contenders and timing
# ---------------------------------------------------------------------------------------------


@dataclass
class Entry:
    """One contender: `call` is what is timed, set by `arm` once a first call checked out."""

    name: str
    call: Callable[[], Any] | None = None
    nbytes: int = 0  # the contender's own output or input, for MB/s
    status: str = "ok"  # "ok", or why it is not timed
    first: float = 0.0  # seconds of the checked first call
    number: int = 1  # calls per sample
    runs_wanted: int = 0
    samples: list[float] = field(default_factory=list)  # seconds per call

    @property
    def median(self) -> float:
        return statistics.median(self.samples)


def failure(ex: BaseException) -> str:
    return f"failed: {type(ex).__name__}: {str(ex)[:160]}"


def arm(
    e: Entry,
    call: Callable[[], Any],
    check: Callable[[Any], str | None],
    differs: str = "RESULT DIFFERS",
) -> bool:
    """Calls `call` once and passes the result to `check` (None when right, else what
    differs). Only a contender that returns and checks out is timed; otherwise `e.status`
    says why. Returns whether it was armed."""
    try:
        t0 = time.perf_counter()
        result = call()
        e.first = time.perf_counter() - t0
        diff = check(result)
    except Exception as ex:
        e.status = failure(ex)
        return False
    del result
    if diff:
        e.status = f"{differs}, not timed: {diff}"
        return False
    e.call = call
    return True


def sample(call: Callable[[], Any], number: int = 1, *, free_untimed: bool = False) -> float:
    """Seconds per call of `number` calls, the garbage collector off. With `free_untimed`
    (one call) the result is released after the clock stops, so its deallocation is not
    timed; otherwise each result is released as the loop goes."""
    gc.collect()
    gc.disable()
    result = None
    try:
        if free_untimed:
            t0 = time.perf_counter()
            result = call()
            t1 = time.perf_counter()
        else:
            t0 = time.perf_counter()
            for _ in range(number):
                call()
            t1 = time.perf_counter()
    finally:
        gc.enable()
    del result
    return (t1 - t0) / number


def run_rounds(
    entries: list[Entry],
    budget_s: float,
    min_runs: int,
    max_runs: int,
    min_sample_s: float = 0.0,
    *,
    free_untimed: bool = False,
    settle_s: float = 0.0,
) -> None:
    """Interleaved rounds: each round runs one sample of every armed contender still short of
    its count, so load from other processes falls on all contenders alike. A sample repeats a
    fast call until it lasts `min_sample_s`; the count fits `budget_s`, within the bounds.
    `settle_s` is slept after every sample, so that work a call leaves running (a save's
    close on a thread of its own) ends before the next contender's clock starts."""
    live = [e for e in entries if e.call is not None]
    for e in live:
        t = max(e.first, 1e-7)
        e.number = 1 if free_untimed else max(1, math.ceil(min_sample_s / t))
        # One untimed calibration sample, which also warms caches for the timed ones.
        t = sample(e.call, e.number, free_untimed=free_untimed)
        if not free_untimed:
            e.number = max(1, math.ceil(min_sample_s / max(t, 1e-7)))
        e.runs_wanted = int(min(max_runs, max(min_runs, budget_s // max(t * e.number, 1e-9))))
    rounds = max((e.runs_wanted for e in live), default=0)
    order = list(live)
    shuffle = random.Random(len(live)).shuffle
    for _ in range(rounds):
        # A new order each round, so no contender always runs right after the same neighbour
        # (whose freed memory and cache state it would otherwise inherit every time). Rotating
        # the list keeps every neighbour: the first of a workload's contenders had always
        # followed the last of another's and met its data cold.
        shuffle(order)
        for e in order:
            if len(e.samples) < e.runs_wanted:
                e.samples.append(sample(e.call, e.number, free_untimed=free_untimed))
                time.sleep(settle_s)


def first_difference(a: Any, b: Any, path: str = "") -> str | None:
    """Where two results differ in value or type (int and float compare by value), or None."""
    if type(a) is not type(b) and not (isinstance(a, (int, float)) and isinstance(b, (int, float))):
        return f"{path or '/'}: {type(a).__name__} != {type(b).__name__}"
    if isinstance(a, dict):
        if a.keys() != b.keys():
            return f"{path or '/'}: keys {sorted(a.keys() ^ b.keys())[:5]} differ"
        for k in a:
            d = first_difference(a[k], b[k], f"{path}/{k}")
            if d:
                return d
        return None
    if isinstance(a, list):
        if len(a) != len(b):
            return f"{path}: length {len(a)} != {len(b)}"
        for i, (x, y) in enumerate(zip(a, b, strict=True)):
            d = first_difference(x, y, f"{path}[{i}]")
            if d:
                return d
        return None
    if type(a) is not type(b) or a != b:
        return f"{path}: {a!r} != {b!r}"
    return None


def table_difference(got: Any, want: Any) -> str | None:
    """Where pyarrow table `got` differs from the reference `want`, or None. A contender that
    infers its types from the values (NDJSON, from_pylist, polars' large strings) may lack a
    column in which `want` holds no value at all, and may type a column otherwise: its values
    are then compared as Python objects (where an int never equals a float)."""
    names = [
        n
        for n in want.column_names
        if n in got.column_names or want.column(n).null_count < want.num_rows
    ]
    if got.column_names != names:
        return f"columns {got.column_names} != {names}"
    want = want.select(names)
    if got.num_rows != want.num_rows:
        return f"rows {got.num_rows} != {want.num_rows}"
    if got.schema == want.schema and got.equals(want):
        return None
    diff = first_difference(got.to_pylist(), want.to_pylist())
    return diff or ("values differ" if got.schema == want.schema else None)


# ---------------------------------------------------------------------------------------------
# Peak memory
# ---------------------------------------------------------------------------------------------


def status_kb(field_name: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    raise KeyError(field_name)


def rss_rise(call: Callable[[], Any]) -> tuple[Any, dict[str, Any]]:
    """Runs `call` once; returns its result and the RSS high-water rise above the RSS before
    it (base_kb, peak_kb, rise_bytes, hwm_reset)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # reset the RSS high-water mark to the current RSS (Linux)
        reset = True
    except OSError:
        reset = False
    base = status_kb("VmRSS")
    hwm_before = status_kb("VmHWM")
    if not reset:
        base = max(base, hwm_before)  # can only under-report the rise
    result = call()
    peak = status_kb("VmHWM")
    return result, {
        "base_kb": base,
        "peak_kb": peak,
        "rise_bytes": max(0, peak - base) * 1024,
        "hwm_reset": reset,
    }


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


@functools.cache
def libc() -> ctypes.CDLL:
    lib = ctypes.CDLL(None)
    lib.mallinfo2.restype = _MallInfo2
    return lib


def allocated_bytes() -> int:
    """Bytes live in pymalloc blocks plus bytes in use in glibc malloc: what objects hold,
    headers and rounding included, whatever RSS the allocators keep."""
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
    mi = libc().mallinfo2()
    return int(m.group(1).replace(",", "")) + mi.uordblks + mi.hblkhd


def measure_memory(
    script: str, names: Iterable[str], args: list[str], log: Callable[[str], None]
) -> dict[str, dict[str, Any]]:
    """`script --mem-child NAME *args` in a fresh process per name: the JSON of its last
    output line, or {"error": the last line of its stderr}."""
    out = {}
    for name in names:
        proc = subprocess.run(
            [sys.executable, script, "--mem-child", name, *args],
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


def cpu() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "?"


def versions(dists: Iterable[str]) -> str:
    parts = []
    for dist in dists:
        try:
            parts.append(f"{dist} {metadata.version(dist)}")
        except metadata.PackageNotFoundError:
            parts.append(f"{dist} -")
    return ", ".join(parts)


def log(msg: str) -> None:
    """Progress for the person running a benchmark (stderr, so stdout stays the report)."""
    print(msg, file=sys.stderr, flush=True)


def memory_lines(title: str, mem: Mapping[str, Mapping[str, Any]]) -> list[str]:
    """The peak-memory section of ``measure_memory`` results: each contender's RSS rise, the
    result's own bytes (``counted`` names them; own objects by default) and the rest as a
    multiple of its input."""
    if not mem:
        return []
    out = [f"### {title}", ""]
    for name, m in mem.items():
        if "error" in m:
            out.append(f"- {name}: failed: {m['error']}")
            continue
        rise, own, doc_b = m["rise_bytes"], m["result_bytes"], m["doc_bytes"]
        out.append(
            f"- {name}: +{rise / MB:.1f} MB, the result's {m.get('counted', 'own objects')} "
            f"{own / MB:.1f} MB, above them {(rise - own) / MB:.1f} MB = "
            f"{(rise - own) / doc_b:.2f}x the {doc_b / MB:.1f} MB input"
            + ("" if m["hwm_reset"] else " (high-water mark not resettable: may under-report)")
        )
    return [*out, ""]


def header(
    title: str,
    script: str,
    argv: list[str] | None,
    dists: Iterable[str],
    load0: tuple[float, ...],
    load1: tuple[float, ...],
) -> list[str]:
    """The report's title, command, machine, versions and load lines."""
    cmd = " ".join([Path(sys.executable).name, script, *(argv or sys.argv[1:])])
    return [
        f"## {title}",
        "",
        f"- command: `{cmd}`",
        f"- machine: {cpu()}, {os.cpu_count()} cores, {platform.system()} {platform.release()}",
        f"- Python {platform.python_version()}; {versions(dists)}",
        f"- load average {load0[0]:.2f} at start, {load1[0]:.2f} at end "
        "(other processes on a shared machine make the numbers noisy)",
    ]


def table(
    title: str,
    entries: list[Entry],
    ref: Entry | None,
    size_label: str = "output MB",
    ratio_label: str = "time / encode",
) -> list[str]:
    lines = [f"### {title}", ""]
    lines.append(
        f"| contender | median ms | min ms | spread | {size_label} | MB/s | {ratio_label} |"
    )
    lines.append("|---|---:|---:|---:|---:|---:|---:|")
    ref_t = ref.median if ref is not None and ref.samples else None
    for e in entries:
        if not e.samples:
            lines.append(f"| {e.name} | – | – | – | – | – | {e.status} |")
            continue
        med = e.median
        q = (
            statistics.quantiles(e.samples, n=4)
            if len(e.samples) >= 4
            else [min(e.samples), 0, max(e.samples)]
        )
        spread = (q[2] - q[0]) / med if med else 0.0
        ratio = f"{med / ref_t:.2f}x" if ref_t else "–"
        lines.append(
            f"| {e.name} | {med * 1e3:.2f} | {min(e.samples) * 1e3:.2f} | ±{spread * 50:.0f}% "
            f"| {e.nbytes / MB:.2f} | {e.nbytes / MB / med:.0f} | {ratio} |"
        )
    lines.append("")
    lines.append(
        f"(median of {'/'.join(sorted({str(len(e.samples)) for e in entries if e.samples}))} samples; "
        "spread = half the interquartile range / median)"
    )
    return lines


@dataclass(frozen=True)
class TimeRatio:
    """The median time of contender `num` over that of `den`, per byte of each one's own
    input or output when `per_byte`; passes at most (or, not `at_most`, at least) `limit`.
    `minima` also shows the ratio of the minima, which moves less on a loaded machine."""

    label: str
    num: str
    den: str
    limit: float
    at_most: bool = True
    per_byte: bool = False
    minima: bool = False


@dataclass(frozen=True)
class Figure:
    """A figure the benchmark computes itself (memory, overhead), found under `key`."""

    label: str
    key: str
    limit: float
    at_most: bool = True
    digits: int = 2


Result = tuple[str, bool | None, str]  # label, passed (None: not measured), the value


def evaluate(
    targets: Iterable[TimeRatio | Figure],
    entries: Mapping[str, Entry],
    figures: Mapping[str, float],
) -> list[Result]:
    res: list[Result] = []
    for t in targets:
        if isinstance(t, Figure):
            r = figures.get(t.key)
            if r is None:
                res.append((t.label, None, "not measured"))
            else:
                ok = r <= t.limit if t.at_most else r >= t.limit
                res.append((t.label, ok, f"{r:.{t.digits}f}x"))
            continue
        a, b = entries.get(t.num), entries.get(t.den)
        if a is None or b is None or not (a.samples and b.samples):
            res.append((t.label, None, "not measured"))
            continue
        if t.per_byte and not (a.nbytes and b.nbytes):
            res.append((t.label, None, "not measured"))
            continue
        scale = b.nbytes / a.nbytes if t.per_byte else 1.0
        r = a.median / b.median * scale
        detail = f"{r:.2f}x"
        if t.minima:
            detail += f" (of the minima: {min(a.samples) / min(b.samples) * scale:.2f}x)"
        res.append((t.label, r <= t.limit if t.at_most else r >= t.limit, detail))
    return res


def target_lines(results: Iterable[Result]) -> list[str]:
    return [
        f"- {'PASS' if ok else 'FAIL' if ok is False else 'N/A '} {label}: {detail}"
        for label, ok, detail in results
    ]


def write_json(path: str, data: Any) -> None:
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    Path(path).write_text(json.dumps(data, indent=1))
