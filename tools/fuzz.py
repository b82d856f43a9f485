"""Seeded random fuzzing of the TOML encoder and the table holder, for a bounded time.

Each round builds a random model (names, columns with every flag, records with nested values),
encodes it both ways and writes it to a file; documents encoded with escape_strings=True must
read back through tomllib to the same data, raw ones load or are refused where the layout
oracle refuses them. Some rounds mix in hostile values (raising or odd
__str__, None inside arrays, self references, non-str keys, subclasses, deep nesting) that must
give a clean exception or a document. Holder operations run in between with random arguments.
A crash ends the process: rerun with the printed seed to reproduce it.

    python tools/fuzz.py --seconds 60 [--seed N]
"""

from __future__ import annotations

import argparse
import math
import os
import random
import sys
import tempfile
import time
import tomllib
from typing import Any

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

import contextlib

import _toml_layout as layout
from _toml_models import Model, Table, col
from ondrel.datastore.adapter.toml.pentock import (
    encode_unified_data,
    write_unified_data,
)
from ondrel.datastore.tables.grimsel import TablesHolder

TRICKY = [
    '"',
    "\\",
    "\n",
    "\r\n",
    "\x00",
    "\x7f",
    "\x1b",
    "'''",
    '"""',
    "é€😀",
    "\u2028",
    "a.b",
    " ",
    "",
    "=",
    "[x]",
    "#",
    "\t",
    "\ufeff",
    "\U0010ffff",
]
FLOAT_EDGES = [
    0.0,
    -0.0,
    math.inf,
    -math.inf,
    math.nan,
    5e-324,
    1e16,
    1e-5,
    1.5e-7,
    1e308,
    -1.7976931348623157e308,
    0.1,
    123456789012345680.0,
]
INT_EDGES = [
    0,
    -1,
    2**31,
    -(2**31) - 1,
    2**63 - 1,
    -(2**63),
    2**63,
    2**64 - 1,
    2**64,
    -(2**64),
    10**30,
    -(10**30),
]


class Gen:
    def __init__(self, rng: random.Random):
        self.r = rng

    def text(self) -> str:
        r = self.r
        roll = r.random()
        if roll < 0.3:
            return r.choice(TRICKY)
        if roll < 0.6:
            return "".join(r.choice("abcXYZ019_-") for _ in range(r.randint(1, 10)))
        alphabet = [chr(r.randint(0, 0x7F)) for _ in range(4)] + [
            chr(r.choice([r.randint(0x80, 0xD7FF), r.randint(0xE000, 0x10FFFF)])) for _ in range(2)
        ]
        return "".join(r.choice(alphabet) for _ in range(r.randint(0, 12)))

    def scalar(self) -> Any:
        r = self.r
        kind = r.randrange(6)
        if kind == 0:
            return r.random() < 0.5
        if kind == 1:
            return (
                r.choice(INT_EDGES) + r.randint(-2, 2)
                if r.random() < 0.4
                else r.randint(-(10**6), 10**6)
            )
        if kind == 2:
            if r.random() < 0.4:
                return r.choice(FLOAT_EDGES)
            return r.uniform(-1e6, 1e6) * 10.0 ** r.randint(-30, 30)
        return self.text()

    def value(self, depth: int = 0) -> Any:
        r = self.r
        if depth > 4 or r.random() < 0.6:
            return self.scalar()
        if r.random() < 0.5:
            items = [self.value(depth + 1) for _ in range(r.randint(0, 4))]
            return tuple(items) if r.random() < 0.2 else items
        return {self.text(): self.value_or_none(depth + 1) for _ in range(r.randint(0, 4))}

    def value_or_none(self, depth: int = 0) -> Any:
        return None if self.r.random() < 0.15 else self.value(depth)

    def flag(self) -> Any:
        return self.r.choice([True, False, 0, 1, "", "y", None])

    def column(self) -> tuple[Any, ...]:
        r = self.r
        return col(
            self.text(),
            self.text(),
            unique=self.flag(),
            comment=self.text() if r.random() < 0.3 else None,
            foreign_key=self.text() if r.random() < 0.3 else None,
            default=self.value() if r.random() < 0.3 else None,
            nullable=self.flag(),
            primary_key=self.flag(),
            autoincrement=self.flag(),
        )

    def record(self) -> dict[str, Any]:
        return {self.text(): self.value_or_none(1) for _ in range(self.r.randint(0, 6))}

    def tables(self) -> dict[str, tuple[list[Any], list[Any]]]:
        r = self.r
        return {
            self.text(): (
                [self.column() for _ in range(r.randint(0, 3))],
                [self.record() for _ in range(r.randint(0, 5))],
            )
            for _ in range(r.randint(0, 4))
        }


def round_trip(gen: Gen, path: str) -> None:
    version, schema, layout_tables = gen.text(), gen.text(), gen.tables()
    model = Model(
        {name: Table(cols, recs) for name, (cols, recs) in layout_tables.items()},
        version=version,
        schema_version=schema,
    )
    plain = layout.document(version, schema, layout_tables)
    doc = encode_unified_data(model, True)
    if doc != layout.dumps(plain, escape_strings=True):
        raise AssertionError(f"document differs from the layout oracle:\n{doc}")
    got = tomllib.loads(doc)
    if not layout.same(got, layout.expected(plain)):
        raise AssertionError(f"read back differs:\n{doc}\n{got!r}")
    # Without escaping, strings that cannot stand raw are refused, exactly where the oracle
    # refuses them; whatever is written loads.
    try:
        raw_want: str | None = layout.dumps(plain)
    except ValueError:
        raw_want = None
    try:
        raw: str | None = encode_unified_data(model)
    except ValueError:
        raw = None
    if raw != raw_want:
        raise AssertionError(f"raw document differs from the layout oracle:\n{raw}\n{raw_want}")
    if raw is not None:
        tomllib.loads(raw)
    write_unified_data(model, path, True)
    with open(path, encoding="utf-8") as f:
        if f.read() != doc:
            raise AssertionError("write_unified_data differs from encode_unified_data")


# ---- hostile values -------------------------------------------------------------------------


class Boom(Exception):
    pass


def hostile(gen: Gen, model_ref: list[Any]) -> Any:
    r = gen.r
    kind = r.randrange(14)
    if kind == 0:

        class Raising:
            def __str__(self) -> str:
                raise r.choice([Boom, KeyboardInterrupt, MemoryError, RecursionError])("str")

        return Raising()
    if kind == 1:

        class NotStr:
            def __str__(self) -> Any:
                return r.choice([5, b"x", None, [1]])

        return NotStr()
    if kind == 2:

        class Surrogate:
            def __str__(self) -> str:
                return "a\ud800b"

        return Surrogate()
    if kind == 3:

        class Reenter:
            def __str__(self) -> str:
                return encode_unified_data(model_ref[0]) if model_ref else "x"

        return Reenter()
    if kind == 4:
        return 10 ** r.randint(4300, 5000)  # past the int-to-str limit
    if kind == 5:
        return {r.choice([1, 2.5, None, (1,), b"k"]): 1}
    if kind == 6:
        x: list[Any] = [1]
        x.append(x)
        return x
    if kind == 7:
        d: dict[str, Any] = {"a": 1}
        d["d"] = d
        return d
    if kind == 8:
        v: Any = 0
        for _ in range(r.choice([50, 5000, 100_000])):
            v = [v] if r.random() < 0.5 else {"k": v}
        return v
    if kind == 9:
        return [None, 1, None]
    if kind == 10:

        class MyInt(int):
            pass

        class MyStr(str):
            pass

        class MyFloat(float):
            pass

        class MyList(list):  # type: ignore[type-arg]
            pass

        class MyDict(dict):  # type: ignore[type-arg]
            pass

        return r.choice(
            [
                MyInt(7),
                MyStr('s"'),
                MyFloat(1.5),
                MyList([1, "a"]),
                MyDict(a=1),
                object(),
                b"bytes",
                1j,
                range(3),
            ]
        )
    if kind == 11:
        target: list[Any] = [gen.scalar() for _ in range(5)]

        class Clear:
            def __str__(self) -> str:
                target.clear()
                if model_ref:
                    model_ref[0].tables.clear()
                return "c"

        target.insert(1, Clear())
        return target
    if kind == 12:

        class Grow:
            def __str__(self) -> str:
                if model_ref:
                    for i in range(20):
                        model_ref[0].tables.set("g" + str(i), Table())
                return "g"

        return [Grow(), Grow()]
    return gen.value()


def hostile_round(gen: Gen, path: str) -> None:
    r = gen.r
    model_ref: list[Any] = []
    tables: dict[str, Any] = {}
    for _ in range(r.randint(1, 3)):
        cols = [gen.column() for _ in range(r.randint(0, 2))]
        if cols and r.random() < 0.3:
            c = list(cols[0])
            c[r.choice([0, 1, 3, 4, 5])] = hostile(gen, model_ref)
            cols[0] = tuple(c)
        recs: list[Any] = [gen.record() for _ in range(r.randint(0, 3))]
        recs.append({gen.text(): hostile(gen, model_ref)})
        if r.random() < 0.1:
            recs.append(r.choice([5, None, "x", [1]]))
        tables[gen.text()] = Table(cols, recs)
    model = Model(tables)
    model_ref.append(model)
    for call in (
        lambda: encode_unified_data(model, r.random() < 0.5),
        lambda: write_unified_data(model, path, r.random() < 0.5),
    ):
        try:
            result = call()
        except (Exception, KeyboardInterrupt):
            continue
        assert result is None or isinstance(result, str)


# ---- holder operations ----------------------------------------------------------------------


def holder_round(gen: Gen) -> None:
    r = gen.r

    class Sub(TablesHolder):
        def get(self, name: Any) -> Any:
            if r.random() < 0.2:
                self.clear()
            return super().get(name)

        def as_dict(self) -> Any:
            return r.choice([super().as_dict(), {"x": 1}, None, [1]])

    h: Any = r.choice([TablesHolder, Sub])({gen.text(): gen.value() for _ in range(3)})
    other = TablesHolder({gen.text(): {"columns": [], "records": []}})
    names = [gen.text() for _ in range(4)] + [None, 1, b"k"]
    ops = [
        lambda: h.set(r.choice(names), gen.value()),
        lambda: h.add(r.choice(names), h),
        lambda: h.get(r.choice(names)),
        lambda: h.remove(r.choice(names)),
        lambda: h.contains(r.choice(names)),
        lambda: h[r.choice(names)],
        lambda: h.__setitem__(r.choice(names), gen.value()),
        lambda: h.__delitem__(r.choice(names)),
        lambda: r.choice(names) in h,
        lambda: h.replace_dict(r.choice([other, {gen.text(): {"columns": []}}, {1: 2}, 5, h])),
        lambda: h.model_dump(r.random() < 0.5),
        lambda: (h.keys(), h.values(), h.items(), list(h.iterate())),
        lambda: h == r.choice([other, h, TablesHolder(h), 5]),
        lambda: h != other,
        lambda: hash(h),
        lambda: repr(h),
        lambda: (len(h), bool(h), h.empty, h.is_tables_holder()),
        lambda: h.clear(),
        lambda: TablesHolder(h),
        lambda: TablesHolder._validate(r.choice([{gen.text(): {"records": []}}, h, 3])),
        lambda: h._serialize(),
    ]
    for _ in range(r.randint(5, 30)):
        with contextlib.suppress(Exception):
            r.choice(ops)()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    print(f"fuzz: seed {seed}, {args.seconds:g} s", flush=True)
    rng = random.Random(seed)
    gen = Gen(rng)
    counts = {"round_trip": 0, "hostile": 0, "holder": 0}
    start = time.monotonic()
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "doc.toml")
        while time.monotonic() - start < args.seconds:
            roll = rng.random()
            if roll < 0.6:
                round_trip(gen, path)
                counts["round_trip"] += 1
            elif roll < 0.85:
                hostile_round(gen, path)
                counts["hostile"] += 1
            else:
                holder_round(gen)
                counts["holder"] += 1
    total = sum(counts.values())
    elapsed = time.monotonic() - start
    detail = ", ".join(f"{k} {v}" for k, v in counts.items())
    print(f"fuzz: {total} examples in {elapsed:.0f} s ({detail}), seed {seed}: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
