"""Before/after timing for two built source trees, sample by sample in turn.

Usage: python bench/bench_ab.py OLD_TREE NEW_TREE [--what write|read|call] [--rounds N]
Each tree (a checkout with its modules built in place) gets one worker process that imports
the modules from its own src/ and sets up the same seeded data. The workers take turns sample
by sample, so both see the same machine; the table gives the medians and NEW/OLD.

- write: encode_unified_data and write_unified_data of the benchmark model, escaped and raw;
- read: decode_unified_data of that model's document as UTF-8 bytes, into dicts and into Arrow;
- arrow-write: encode_unified_data and write_unified_data of bench_toml_arrow_write.py's pyarrow
  tables (--records gives the rows of each);
- call: one tiny call through the shared function type, 200,000 at a time (the call's own cost);
- kinds: encode_unified_data (escape_strings off and on) of each one-kind model of
  bench_kinds.py (--records 40000 gives its size).
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

# Every worker prints a line that must be the same in both trees and the names of its calls
# (JSON), then answers each name read from stdin with the seconds one call took (its garbage
# collected outside the clock).
COMMON = r"""
import gc, json, sys, time
sys.path[:0] = [sys.argv[1], sys.argv[2]]
records, path = int(sys.argv[3]), sys.argv[4]
def serve(calls, number=1):
    print(json.dumps(list(calls)), flush=True)
    gc.disable()
    for line in sys.stdin:
        call = calls[line.strip()]
        t = time.perf_counter()
        for _ in range(number):
            result = call()
        elapsed = time.perf_counter() - t
        del result
        gc.collect()
        print(elapsed / number, flush=True)
"""

WORKERS = {
    "write": r"""
import zlib, bench_toml as b
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
model = b.build_workload(records).model
text = encode_unified_data(model, escape_strings=True)
print(len(text), zlib.crc32(text.encode()), flush=True)
serve({
    "encode_unified_data": lambda: encode_unified_data(model, escape_strings=True),
    "write_unified_data": lambda: write_unified_data(model, path, escape_strings=True),
    "encode_unified_data, raw": lambda: encode_unified_data(model),
    "write_unified_data, raw": lambda: write_unified_data(model, path),
})
""",
    "read": r"""
import zlib, bench_toml as b
from ondrel.datastore.adapter.toml.pentock import encode_unified_data
from ondrel.datastore.adapter.toml.decoder import decode_unified_data
data = encode_unified_data(b.build_workload(records).model, escape_strings=True).encode()
print(len(data), zlib.crc32(data), flush=True)
calls = {"decode_unified_data(bytes)": lambda: decode_unified_data(data)}
try:  # a tree from before records="arrow" times the dicts only
    decode_unified_data(b"", records="arrow")
    calls["decode_unified_data(bytes, records='arrow')"] = (
        lambda: decode_unified_data(data, records="arrow")
    )
except TypeError:
    pass
serve(calls)
""",
    "kinds": r"""
import zlib, bench_kinds as k
from ondrel.datastore.adapter.toml.pentock import encode_unified_data
calls, crc = {}, 0
for label, ctype, make in k.KINDS:
    m = k.workload(records, ctype, make).model
    for esc in (False, True):
        crc = zlib.crc32(encode_unified_data(m, escape_strings=esc).encode(), crc)
        calls[label + (" (escape_strings)" if esc else "")] = (
            lambda m=m, esc=esc: encode_unified_data(m, escape_strings=esc)
        )
print(crc, flush=True)
serve(calls)
""",
    "arrow-write": r"""
import zlib, bench_toml_arrow_write as b
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
from ondrel.datastore.tables.data import TableData
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat
tables = {n: TableData(records=t) for n, t in b.build_tables(records).items()}
model = UnifiedDataFormat(tables=TablesHolder(tables))
# The records only: a tree whose frames declare their columns writes those too.
print(zlib.crc32("".join(b.records_of(encode_unified_data(model))).encode()), flush=True)
serve({
    "encode_unified_data(pyarrow tables)": lambda: encode_unified_data(model),
    "write_unified_data(pyarrow tables)": lambda: write_unified_data(model, path),
})
""",
    "call": r"""
from ondrel.datastore.adapter.toml.decoder import decode_unified_data
from ondrel.datastore.tables.grimsel import TablesHolder
holder = TablesHolder({"a": 1})
print(decode_unified_data("a = 1"), flush=True)
serve({
    "decode_unified_data('a = 1')": lambda: decode_unified_data("a = 1"),
    "decode_unified_data(b'a = 1')": lambda: decode_unified_data(b"a = 1"),
    "holder.get('a')": lambda: holder.get("a"),
}, number=200_000)
""",
}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("old", type=Path)
    parser.add_argument("new", type=Path)
    parser.add_argument("--what", choices=sorted(WORKERS), default="write")
    parser.add_argument("--rounds", type=int, default=40)
    parser.add_argument("--records", type=int, default=100_000)
    args = parser.parse_args()
    script = COMMON + WORKERS[args.what]
    with tempfile.TemporaryDirectory() as tmp:
        procs = [
            subprocess.Popen(
                [
                    sys.executable,
                    "-c",
                    script,
                    str(tree.resolve() / "src"),
                    str(HERE),
                    str(args.records),
                    os.path.join(tmp, f"{i}.toml"),
                ],
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                text=True,
                cwd=tree,
            )
            for i, tree in enumerate((args.old, args.new))
        ]
        checks = [p.stdout.readline().strip() for p in procs]
        if not checks[0] or checks[0] != checks[1]:
            raise SystemExit(f"the two trees do not agree on the data: {checks}")
        names = [json.loads(p.stdout.readline()) for p in procs]
        calls = [c for c in names[0] if c in names[1]]  # what both trees can do
        times: dict[tuple[int, str], list[float]] = {}
        for r in range(args.rounds):
            for call in calls:
                for i in (0, 1) if r % 2 == 0 else (1, 0):
                    procs[i].stdin.write(call + "\n")
                    procs[i].stdin.flush()
                    times.setdefault((i, call), []).append(float(procs[i].stdout.readline()))
        for p in procs:
            p.stdin.close()
            p.wait()
    unit, scale = ("ns", 1e9) if args.what == "call" else ("ms", 1e3)
    print(f"--what {args.what}: {args.rounds} interleaved samples each")
    print(f"| call | old median {unit} | new median {unit} | new / old |\n|---|---:|---:|---:|")
    for call in calls:
        old, new = (statistics.median(times[(i, call)]) * scale for i in (0, 1))
        print(f"| `{call}` | {old:.2f} | {new:.2f} | {new / old:.3f}x |")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
