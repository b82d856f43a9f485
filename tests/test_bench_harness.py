"""The benchmarks' harness: a contender is timed only when its first call checks out, and
targets compare the right figures the right way round."""

from __future__ import annotations

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))
import _harness as h


def _entry(name: str, samples: list[float], nbytes: int = 100) -> h.Entry:
    return h.Entry(name, call=lambda: None, nbytes=nbytes, samples=samples)


ENTRIES = {
    "fast": _entry("fast", [1.0, 2.0, 9.0]),  # median 2, min 1
    "slow": _entry("slow", [6.0, 8.0, 8.0]),  # median 8, min 6
    "long": _entry("long", [2.0, 3.0, 3.0], nbytes=200),  # twice the bytes of "fast"
    "unmeasured": h.Entry("unmeasured"),
}


@pytest.mark.parametrize(
    ("target", "want"),
    [
        (h.TimeRatio("t", "fast", "slow", 0.25), (True, "0.25x")),
        (h.TimeRatio("t", "fast", "slow", 0.2), (False, "0.25x")),
        (h.TimeRatio("t", "slow", "fast", 4, at_most=False), (True, "4.00x")),
        (h.TimeRatio("t", "slow", "fast", 5, at_most=False), (False, "4.00x")),
        (h.TimeRatio("t", "slow", "fast", 5, minima=True), (True, "4.00x (of the minima: 6.00x)")),
        # 3 s for 200 bytes against 2 s for 100: 0.75x the time per byte.
        (h.TimeRatio("t", "long", "fast", 0.75, per_byte=True), (True, "0.75x")),
        (h.TimeRatio("t", "unmeasured", "fast", 1), (None, "not measured")),
        (h.TimeRatio("t", "missing", "fast", 1), (None, "not measured")),
        (h.Figure("f", "mem", 1.5), (True, "1.50x")),
        (h.Figure("f", "mem", 1.4), (False, "1.50x")),
        (h.Figure("f", "mem", 2, at_most=False, digits=3), (False, "1.500x")),
        (h.Figure("f", "other", 1), (None, "not measured")),
    ],
)
def test_targets(target, want):
    [(label, ok, detail)] = h.evaluate([target], ENTRIES, {"mem": 1.5})
    assert (label, ok, detail) == (target.label, *want)
    [line] = h.target_lines([(label, ok, detail)])
    assert line.startswith({True: "- PASS", False: "- FAIL", None: "- N/A "}[ok])


def _boom():
    raise ValueError("no")


@pytest.mark.parametrize(
    ("call", "check", "status"),
    [
        (lambda: 1, lambda r: None, "ok"),
        (lambda: 1, lambda r: f"got {r}", "RESULT DIFFERS, not timed: got 1"),
        (_boom, lambda r: None, "failed: ValueError: no"),
        (lambda: 1, lambda r: 1 / 0, "failed: ZeroDivisionError: division by zero"),
    ],
)
def test_only_a_checked_contender_is_timed(call, check, status):
    e = h.Entry("c")
    armed = h.arm(e, call, check)
    assert (armed, e.status, e.call is call) == (status == "ok", status, status == "ok")
    h.run_rounds([e], budget_s=0.01, min_runs=3, max_runs=5, min_sample_s=0.001)
    assert (3 <= len(e.samples) <= 5) if armed else not e.samples


def test_contenders_meet_the_rounds_behind_different_neighbours():
    # Whoever runs first after another workload meets its data cold: that must not always be
    # the same contender, nor anyone always behind the same one.
    log: list[str] = []
    entries = [h.Entry(n, call=lambda n=n: log.append(n), first=1.0) for n in "abcd"]
    h.run_rounds(entries, budget_s=0, min_runs=8, max_runs=8)
    rounds = [log[i : i + 4] for i in range(len(log) - 32, len(log), 4)]
    behind = {n: {r[r.index(n) - 1] for r in rounds if r.index(n)} for n in "abcd"}
    assert len({r[0] for r in rounds}) > 1 and all(len(b) > 1 for b in behind.values())


WANT = {"a": [1, 2], "b": "null", "c": ["x", "y"]}


def _table(columns):
    """A pyarrow table of two rows; a column given as a type name is all nulls of that type."""
    pa = pytest.importorskip("pyarrow")
    return pa.table(
        {
            k: pa.nulls(2, getattr(pa, v)()) if isinstance(v, str) else pa.array(v)
            for k, v in columns.items()
        }
    )


@pytest.mark.parametrize(
    ("got", "want"),
    [
        (WANT, None),
        # Inferred types: no column where no record has a value, or one of another type.
        ({"a": [1, 2], "c": ["x", "y"]}, None),
        ({"a": [1, 2], "b": "large_string", "c": ["x", "y"]}, None),
        ({"a": [1, 3], "b": "null", "c": ["x", "y"]}, "[1]/a: 3 != 2"),
        ({"a": [1.0, 2.0], "c": ["x", "y"]}, "[0]/a: 1.0 != 1"),
        ({"a": ["1", "2"], "c": ["x", "y"]}, "[0]/a: str != int"),
        ({"a": [1, 2], "b": "null", "c": ["x", None]}, "[1]/c: NoneType != str"),
        ({"a": [1, 2], "b": "int64", "c": ["x", "y"]}, None),
        ({"a": [1, 2, 3], "c": ["x", "y", "z"]}, "rows 3 != 2"),
        ({"a": [1, 2]}, "columns ['a'] != ['a', 'c']"),
        ({"c": ["x", "y"], "a": [1, 2]}, "columns ['c', 'a'] != ['a', 'c']"),
        ({"a": [1, 2], "c": ["x", "y"], "d": [0, 0]}, "columns ['a', 'c', 'd'] != ['a', 'c']"),
    ],
)
def test_table_difference(got, want):
    assert h.table_difference(_table(got), _table(WANT)) == want
