"""Before/after cost of one small call through our function type, for two built source trees.

Usage: python bench/bench_call_ab.py OLD_TREE NEW_TREE [--rounds N] [--number N]
Each tree (a checkout with its modules built in place) gets one worker process that imports
the modules from its own src/. A sample is N calls in a loop (timeit); the workers take turns
sample by sample, so both see the same machine; the table gives the medians per call and
NEW/OLD. The calls are tiny so that the call itself, not the work, is what is timed.
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
from pathlib import Path

CALLS = {
    "decode_unified_data('a = 1')": "decode('a = 1')",
    "decode_unified_data(b'a = 1')": "decode(b'a = 1')",
    "holder.get('a')": "holder.get('a')",
}

WORKER = r"""
import sys, timeit
sys.path.insert(0, sys.argv[1])
from ondrel.datastore.adapter.toml.decoder import decode_unified_data as decode
from ondrel.datastore.tables.grimsel import TablesHolder
holder = TablesHolder({"a": 1})
number = int(sys.argv[2])
timers = {}
print(decode("a = 1") == {"a": 1}, flush=True)
for line in sys.stdin:
    stmt = line.rstrip("\n")
    timer = timers.setdefault(stmt, timeit.Timer(stmt, globals=globals()))
    print(timer.timeit(number) / number, flush=True)
"""


def worker(tree: Path, number: int) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-c", WORKER, str(tree / "src"), str(number)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        cwd=tree,
    )


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("old", type=Path)
    parser.add_argument("new", type=Path)
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--number", type=int, default=200_000)
    args = parser.parse_args()
    procs = [worker(tree.resolve(), args.number) for tree in (args.old, args.new)]
    if [p.stdout.readline().strip() for p in procs] != ["True", "True"]:
        raise SystemExit("a tree's reader does not read the call's document")
    times: dict[tuple[int, str], list[float]] = {}
    for r in range(args.rounds):
        for stmt in CALLS.values():
            order = procs if r % 2 == 0 else procs[::-1]
            for p in order:
                p.stdin.write(stmt + "\n")
                p.stdin.flush()
                times.setdefault((procs.index(p), stmt), []).append(float(p.stdout.readline()))
    for p in procs:
        p.stdin.close()
        p.wait()
    print(f"{args.rounds} interleaved samples of {args.number} calls each")
    print("| call | old median ns | new median ns | new / old |\n|---|---:|---:|---:|")
    for label, stmt in CALLS.items():
        old, new = (statistics.median(times[(i, stmt)]) * 1e9 for i in (0, 1))
        print(f"| `{label}` | {old:.1f} | {new:.1f} | {new / old:.3f}x |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
