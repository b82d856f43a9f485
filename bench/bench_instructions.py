"""Instructions per record of one whole encode, under callgrind, for ours and the JSON peers.

Run with ``.venv/bin/python bench/bench_instructions.py`` (``--help`` for the options; needs
valgrind, which ``make system-deps`` installs).

For each one-kind model of ``bench_kinds.py``, a child process builds the records, calls the
contender once, then K more times; valgrind's callgrind counts the whole process with
``PYTHONHASHSEED=0``. The figure is (count at K=3 - count at K=1) / 2 / records, so the set-up,
the imports and the first call cancel out and one steady call remains. Timings on a shared
machine move by tens of percent; these counts move by a few instructions. valgrind runs no
AVX-512, so it counts the peers' other paths; ours follows ``ONDREL_SIMD`` as usual.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import bench_kinds as bk  # noqa: E402

CONTENDERS = ("encode", "orjson", "ssrjson")


def child(kind: str, who: str, calls: int, records: int) -> None:
    _name, ctype, make = next(k for k in bk.KINDS if k[0] == kind)
    wl = bk.workload(records, ctype, make)
    if who == "encode":
        from ondrel.datastore.adapter.toml.pentock import encode_unified_data

        call = lambda: encode_unified_data(wl.model)  # noqa: E731
    else:
        dumps = __import__(who).dumps
        call = (lambda: dumps(wl.doc).decode()) if who == "orjson" else lambda: dumps(wl.doc)
    for _ in range(calls + 1):
        call()


def count(kind: str, who: str, calls: int, records: int) -> int:
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable]
    cmd += [__file__, "--child", kind, who, str(calls), str(records)]
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True).stderr
    return int(re.search(r"Collected : (\d+)", out).group(1))


def per_record(kind: str, who: str, records: int) -> int:
    return (count(kind, who, 3, records) - count(kind, who, 1, records)) // 2 // records


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", type=int, default=2000, help="records per model")
    ap.add_argument("--jobs", type=int, default=os.cpu_count() or 1, help="valgrind runs at once")
    ap.add_argument("--child", nargs=4, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.child:
        kind, who, calls, records = args.child
        child(kind, who, int(calls), int(records))
        return 0
    if shutil.which("valgrind") is None:
        print("skipped: valgrind is not installed (make system-deps installs it)")
        return 0
    whos = [w for w in CONTENDERS if w == "encode" or bk.bt._try_import(w)[0] is not None]
    cells = [(k[0], w) for k in bk.KINDS for w in whos]
    with ThreadPoolExecutor(args.jobs) as pool:
        got = list(pool.map(lambda c: per_record(*c, args.records), cells))
    ir = dict(zip(cells, got, strict=True))
    print(f"Instructions per record, {args.records} records, one steady call (callgrind)\n")
    print("| kind | " + " | ".join(whos) + " |")
    print("|---|" + "---:|" * len(whos))
    for k in bk.KINDS:
        print(f"| {k[0]} | " + " | ".join(str(ir[k[0], w]) for w in whos) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
