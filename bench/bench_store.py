"""The store handle's lock: what it costs alone and under contention.

Run with ``make bench-store`` (or ``.venv/bin/python bench/bench_store.py --help``).

1. Uncontended: the lock and unlock of one handle (open, flock, the check that the name is
   still the file, close), in µs, against the load and save of a small store and of the
   ``make bench`` document, measured in interleaved rounds in one process.
2. Contention: P processes each do N load-add-save increments of one counter through
   ``open_store``; the wall time, and how many increments were lost (0 is the promise).
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, os.path.dirname(__file__))

import _harness as h
import bench_toml

from ondrel.datastore.adapter.toml.decoder import read_unified_data
from ondrel.datastore.adapter.toml.pentock import write_unified_data
from ondrel.datastore.store import _lock, open_store
from ondrel.datastore.tables.data import TableData
from ondrel.datastore.unified_data import UnifiedDataFormat

COUNTER = """
import sys
from ondrel.datastore.store import open_store
from ondrel.datastore.tables.data import TableData
for _ in range(int(sys.argv[2])):
    with open_store(sys.argv[1]) as model:
        if "counter" not in model.tables:
            model.tables["counter"] = TableData(records=[{"n": 0}])
        model.tables["counter"].records[0]["n"] += 1
"""


def lock_unlock(path: str) -> None:
    from ondrel.datastore.adapter.toml import pentock

    fd, _ = _lock(path, None)
    pentock._store_lock(fd, False)
    os.close(fd)


def load_save(path: str) -> None:
    with open_store(path):
        pass


def median_us(call, rounds: int) -> float:
    return statistics.median(h.sample(call) for _ in range(rounds)) * 1e6


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--records", type=int, default=100_000, help="records of the big document")
    ap.add_argument("--processes", type=int, default=4)
    ap.add_argument("--increments", type=int, default=200)
    ap.add_argument("--rounds", type=int, default=15)
    args = ap.parse_args(argv)

    print(f"CPU: {h.cpu()}; Python {sys.version.split()[0]}")
    with tempfile.TemporaryDirectory() as tmp:
        small = os.path.join(tmp, "small.toml")
        big = os.path.join(tmp, "big.toml")
        write_unified_data(
            UnifiedDataFormat(tables={"t": TableData(records=[{"id": i} for i in range(10)])}),
            small,
        )
        model = bench_toml.build_model(bench_toml.build_workload(args.records))
        write_unified_data(model, big, True, datetimes="toml")
        size = Path(big).stat().st_size
        lock_small = median_us(lambda: lock_unlock(small), args.rounds * 20)
        small_us = median_us(lambda: load_save(small), args.rounds * 5)
        lock_big = median_us(lambda: lock_unlock(big), args.rounds)
        big_us = median_us(lambda: load_save(big), args.rounds)
        print("\nUncontended (median of interleaved samples)")
        print("| store | lock + unlock µs | load + save µs | lock share |")
        print("|---|---|---|---|")
        print(f"| 10 records | {lock_small:.1f} | {small_us:.0f} | {lock_small / small_us:.2%} |")
        print(
            f"| `make bench` document ({size / 1e6:.1f} MB) | {lock_big:.1f} | {big_us:.0f} |"
            f" {lock_big / big_us:.4%} |"
        )

        counter = os.path.join(tmp, "counter.toml")
        start = time.perf_counter()
        procs = [
            subprocess.Popen([sys.executable, "-c", COUNTER, counter, str(args.increments)])
            for _ in range(args.processes)
        ]
        codes = [p.wait() for p in procs]
        wall = time.perf_counter() - start
        n = read_unified_data(counter)["tables"]["counter"]["records"][0]["n"]
        want = args.processes * args.increments
        print(f"\nContention: {args.processes} processes x {args.increments} increments")
        print(f"wall {wall:.2f} s, count {n} of {want}, lost {want - n}, exit codes {codes}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
