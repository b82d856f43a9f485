"""Before/after timing of the writer on the benchmark document, for two built source trees.

Usage: python bench/bench_ab.py OLD_TREE NEW_TREE [--rounds N] [--records N]
Each tree (a checkout with its modules built in place) gets one worker process that imports
the modules from its own src/ and builds the same seeded model. The workers take turns sample by
sample, so both see the same machine; the table gives the medians and NEW/OLD.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

WORKER = r"""
import os, sys, time, zlib
sys.path[:0] = [sys.argv[1], sys.argv[2]]
import bench_toml as b
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
model = b.build_workload(int(sys.argv[3])).model
path = sys.argv[4]
calls = {
    "encode": lambda: encode_unified_data(model, escape_strings=True),
    "write": lambda: write_unified_data(model, path, escape_strings=True),
}
digest = encode_unified_data(model, escape_strings=True)
print(len(digest), zlib.crc32(digest.encode()), flush=True)
for line in sys.stdin:
    t = time.perf_counter()
    calls[line.strip()]()
    print(time.perf_counter() - t, flush=True)
"""


def worker(tree: Path, records: int, path: str) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-c", WORKER, str(tree / "src"), str(HERE), str(records), path],
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
    parser.add_argument("--records", type=int, default=100_000)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        procs = [
            worker(tree.resolve(), args.records, os.path.join(tmp, f"{i}.toml"))
            for i, tree in enumerate((args.old, args.new))
        ]
        digests = [p.stdout.readline().split() for p in procs]
        if digests[0] != digests[1]:
            raise SystemExit(f"the two trees write different documents: {digests}")
        times: dict[tuple[int, str], list[float]] = {}
        for r in range(args.rounds):
            for kind in ("encode", "write"):
                order = procs if r % 2 == 0 else procs[::-1]
                for p in order:
                    p.stdin.write(kind + "\n")
                    p.stdin.flush()
                    times.setdefault((procs.index(p), kind), []).append(float(p.stdout.readline()))
        for p in procs:
            p.stdin.close()
            p.wait()
    print(f"{args.records} records, {args.rounds} interleaved samples each, escape_strings=True")
    print("| call | old median ms | new median ms | new / old |\n|---|---:|---:|---:|")
    for kind in ("encode", "write"):
        old, new = (statistics.median(times[(i, kind)]) * 1e3 for i in (0, 1))
        print(f"| {kind}_unified_data | {old:.2f} | {new:.2f} | {new / old:.3f}x |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
