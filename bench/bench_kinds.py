"""The TOML writer one kind of value at a time, against the fastest JSON writers.

Run with ``make bench-kinds`` (or ``.venv/bin/python bench/bench_kinds.py --help``).

Per kind (ints, 17-digit floats, short floats, ASCII strings, non-ASCII strings, nested lists
and tables) one table of seeded random records is built once; ``encode_unified_data`` (escape
off and on) gets it as a model, ``orjson.dumps(...).decode()`` and ``ssrjson.dumps`` get the
same content as plain dicts, so every contender returns a ``str`` of the whole document. Each
output is read back and compared with the records once; the contenders of all kinds are then
timed in interleaved rounds and the table gives medians and ratios from that one run.

With ``--read`` the same documents go the other way: ``decode_unified_data`` reads the
writer's TOML text, ``orjson.loads`` and ``ssrjson.loads`` the same content as JSON text (a
``str`` each), and every result is compared with the records before it is timed.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import time
from collections.abc import Callable
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import _harness as h  # noqa: E402
import bench_toml as bt  # noqa: E402

layout = bt.layout
SEED = 20261208
RECORDS = 40_000
_ASCII_WORDS = ("alpha", "beta", "gamma", "delta", "omega", "kappa", "sigma", "theta", "zeta")


# Records share their key objects, as records built from one schema do.
_I = tuple(f"i{k}" for k in range(8))
_F = tuple(f"f{k}" for k in range(8))
_S = tuple(f"s{k}" for k in range(6))


def _ints(rng: random.Random, i: int) -> dict[str, Any]:
    # Small, medium and full 64-bit magnitudes, as ids, counters and hashes mix them.
    return {
        _I[k]: (i, rng.randrange(-1000, 1000), rng.getrandbits(63) - 2**62)[k % 3] for k in range(8)
    }


def _floats(rng: random.Random, _i: int) -> dict[str, Any]:
    # 17 significant digits mostly, in and out of repr's fixed range.
    return {_F[k]: rng.random() * 10.0 ** rng.randrange(-8, 20) for k in range(8)}


def _short_floats(rng: random.Random, _i: int) -> dict[str, Any]:
    return {_F[k]: round(rng.uniform(-1000, 1000), 2) for k in range(8)}


def _ascii(rng: random.Random, i: int) -> dict[str, Any]:
    return {
        _S[k]: f"{_ASCII_WORDS[rng.randrange(len(_ASCII_WORDS))]} {i} {rng.randrange(10**6)}"
        for k in range(6)
    }


def _non_ascii(rng: random.Random, i: int) -> dict[str, Any]:
    words = bt.TEXTS["mixed"]
    return {_S[k]: f"{words[rng.randrange(len(words))]} {i}" for k in range(6)}


def _nested(rng: random.Random, i: int) -> dict[str, Any]:
    w = _ASCII_WORDS[rng.randrange(len(_ASCII_WORDS))]
    return {
        "tags": [rng.randrange(1000) for _ in range(4)],
        "meta": {"x": i, "y": w, "ok": rng.random() < 0.5},
        "pts": [{"a": rng.randrange(100), "b": w}, {"a": i, "b": [1, 2]}],
        "m": {"in": {"k": rng.randrange(10), "v": [w, w]}},
    }


KINDS: tuple[tuple[str, str, Callable[[random.Random, int], dict[str, Any]]], ...] = (
    ("ints (8 per record)", "BIGINT", _ints),
    ("floats (8 per record, 17 digits)", "DOUBLE", _floats),
    ("short floats (2 decimals)", "DOUBLE", _short_floats),
    ("ASCII strings (6 per record)", "VARCHAR", _ascii),
    ("non-ASCII strings", "VARCHAR", _non_ascii),
    ("nested lists and tables", "JSON", _nested),
)


def workload(n: int, ctype: str, make: Callable[[random.Random, int], dict[str, Any]]):
    rng = random.Random(SEED)
    records, theirs = bt.laid_out([make(rng, i) for i in range(n)])
    cols = [dict(name=k, type=ctype) for k in records[0]]
    wl = bt.Workload(n, "1.0", "3", [("t", cols, records)])
    wl.doc = {
        "header": {"version": "1.0", "schema_version": "3", "tables": ["t"]},
        "tables": {
            "t": {
                "columns": [layout.expected_column(c) for c in cols],
                "records": theirs,
            }
        },
    }
    wl.model = bt.build_model(wl)
    return wl


def contenders(wl) -> list[tuple[str, str, Callable[[], Any] | None, str | None]]:
    """(name, kind of output, call or None, why not)."""
    from ondrel.datastore.adapter.toml import pentock

    m, doc = wl.model, wl.doc
    out = [
        ("encode", "toml", lambda: pentock.encode_unified_data(m), None),
        ("encode esc", "toml", lambda: pentock.encode_unified_data(m, escape_strings=True), None),
    ]
    orjson, why = bt._try_import("orjson")
    out.append(("orjson", "json", orjson and (lambda: orjson.dumps(doc).decode()), why))
    ssrjson, why = bt._try_import("ssrjson")
    out.append(("ssrjson", "json", ssrjson and (lambda: ssrjson.dumps(doc)), why))
    return out


PEERS = ("orjson", "ssrjson")


def read_contenders(wl) -> list[tuple[str, Callable[[], Any] | None, str | None]]:
    """(name, call or None, why not) reading the kind's document back."""
    from ondrel.datastore.adapter.toml import decoder, pentock

    text = pentock.encode_unified_data(wl.model)
    json_text = json.dumps(wl.doc, ensure_ascii=False)
    out = [("decode", lambda: decoder.decode_unified_data(text), None)]
    for peer in PEERS:
        mod, why = bt._try_import(peer)
        out.append((peer, mod and (lambda m=mod: m.loads(json_text)), why))
    return out


def cell(e: h.Entry) -> str:
    return f"{e.median * 1e3:.1f} ms" if e.samples else e.status


def ratio(a: h.Entry, b: h.Entry) -> str:
    return f"{a.median / b.median:.2f}" if a.samples and b.samples else "–"


def emit(out: list[str], entries: dict[tuple[str, str], h.Entry], json_path: str | None) -> int:
    """Prints the report, and writes the samples as JSON when asked."""
    print("\n".join(out))
    if json_path:
        h.write_json(
            json_path,
            {e.name: {"status": e.status, "samples_s": e.samples} for e in entries.values()},
        )
    return 0


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--records", type=int, default=RECORDS, help="records per kind")
    ap.add_argument("--runs", type=int, default=7, help="interleaved samples per contender")
    ap.add_argument("--kinds", help="comma-separated prefixes of the kinds to run (default: all)")
    ap.add_argument("--json", metavar="PATH", help="also write the samples as JSON")
    ap.add_argument("--read", action="store_true", help="time reading instead of writing")
    args = ap.parse_args(argv)
    kinds = [
        k for k in KINDS if not args.kinds or any(k[0].startswith(p) for p in args.kinds.split(","))
    ]

    if args.read:
        return read_main(args, kinds, argv)
    load0 = os.getloadavg()
    entries: dict[tuple[str, str], h.Entry] = {}
    h.log(f"building {len(kinds)} workloads of {args.records} records ...")
    for label, ctype, make in kinds:
        wl = workload(args.records, ctype, make)
        for name, kind, call, why in contenders(wl):
            e = h.Entry(f"{label} / {name}")
            entries[label, name] = e
            if call is None:
                e.status = why or "unavailable"
                continue

            def check(result: Any, kind: str = kind, e: h.Entry = e, doc=wl.doc) -> str | None:
                raw = result.encode("utf-8")
                e.nbytes = len(raw)
                return bt.check_content(kind, raw, doc)

            h.arm(e, call, check, "CONTENT DIFFERS")
    h.log("timing (interleaved over all kinds) ...")
    h.run_rounds(list(entries.values()), 0.0, args.runs, args.runs)

    out = h.header(
        "TOML writer per kind of value",
        "bench/bench_kinds.py",
        argv,
        ("orjson", "ssrjson"),
        load0,
        os.getloadavg(),
    )
    out += [
        f"- {args.records} records of one kind per row, one table; medians of {args.runs} "
        "interleaved samples; every result a str of the whole document",
        "",
        "| kind | encode | encode (escape_strings) | `orjson.dumps().decode()` | `ssrjson.dumps` "
        "| encode / orjson | encode / ssrjson | encode / best | TOML / JSON bytes |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for label, _, _ in kinds:
        enc, esc = entries[label, "encode"], entries[label, "encode esc"]
        peers = [entries[label, p] for p in PEERS]
        timed = [p for p in peers if p.samples]
        best = min(timed, key=lambda p: p.median) if timed else None
        size = f"{enc.nbytes / peers[0].nbytes:.2f}" if peers[0].nbytes else "–"
        out.append(
            f"| {label} | {cell(enc)} | {cell(esc)} | {cell(peers[0])} | {cell(peers[1])} "
            f"| {ratio(enc, peers[0])} | {ratio(enc, peers[1])} "
            f"| {ratio(enc, best) if best else '–'} | {size} |"
        )
    return emit(out, entries, args.json)


def read_main(args, kinds, argv) -> int:
    load0 = os.getloadavg()
    entries: dict[tuple[str, str], h.Entry] = {}
    h.log(f"building {len(kinds)} documents of {args.records} records ...")
    for label, ctype, make in kinds:
        wl = workload(args.records, ctype, make)
        for name, call, why in read_contenders(wl):
            e = entries[label, name] = h.Entry(f"{label} / {name}")
            if call is None:
                e.status = why or "unavailable"
                continue
            h.arm(e, call, lambda got, doc=wl.doc: h.first_difference(got, doc))
    h.log("timing (interleaved over all kinds) ...")
    # As the reader benchmark does: each result is freed after its clock stops.
    h.run_rounds(list(entries.values()), 0.0, args.runs, args.runs, free_untimed=True)

    out = h.header(
        "TOML reader per kind of value", "bench/bench_kinds.py", argv, PEERS, load0, os.getloadavg()
    )
    out += [
        f"- {args.records} records of one kind per row, one table; medians of {args.runs} "
        "interleaved samples; every input a str of the whole document",
        "",
        "| kind | decode | `orjson.loads` | `ssrjson.loads` | decode / orjson | decode / ssrjson |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for label, _, _ in kinds:
        ours, orj, ssr = (entries[label, n] for n in ("decode", *PEERS))
        out.append(
            f"| {label} | {cell(ours)} | {cell(orj)} | {cell(ssr)} | {ratio(ours, orj)} "
            f"| {ratio(ours, ssr)} |"
        )
    return emit(out, entries, args.json)


if __name__ == "__main__":
    t0 = time.perf_counter()
    rc = main()
    h.log(f"(total run time {time.perf_counter() - t0:.0f} s)")
    sys.exit(rc)
