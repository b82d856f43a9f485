"""Seeded random fuzzing of the TOML reader against the reference readers, for a bounded time.

Each round makes a document: random TOML text from a grammar (every string, key, number and
date-time form, headers, arrays of tables, inline tables, comments, CRLF, and the TOML 1.1
additions), data written by tomli_w or by our writer, or a hand-written feature document; most
are then mutated byte by byte. Our reader must agree in both modes: with tomli by default
(TOML 1.1) and with tomllib under toml_version="1.0.0" (equal results with equal types, or both
reject, with consistent error details).
Some rounds feed hostile inputs (nesting 200,000 deep, 100,000-part dotted keys and headers,
huge strings, duplicate keys, random bytes) that must give a result, TOMLDecodeError,
UnicodeDecodeError, RecursionError or MemoryError within a time linear in their size, and
repeat documents to catch leaks. A crash ends the process: rerun with the printed seed (and
--verbose to see the last input) to reproduce it.

    python tools/fuzz_decoder.py --seconds 60 [--seed N] [--verbose]
"""

from __future__ import annotations

import argparse
import contextlib
import datetime
import decimal
import faulthandler
import gc
import os
import random
import sys
import time
import tomllib
from collections.abc import Callable
from typing import Any

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))

from _toml_models import Model, Table, col
from _toml_oracle import FEATURES, FEATURES_11, VERSIONS, check, mutate, reproducer
from ondrel.datastore.adapter.toml.decoder import decode_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data

try:
    import tomli_w
except ImportError:
    tomli_w = None
try:  # records="arrow" is compared with its oracle only where pyarrow is importable
    import pyarrow

    from _arrow_oracle import declared_names, expected_table, same_table
except ImportError:
    pyarrow = None

PARSE_FLOATS: list[Callable[[str], Any]] = [float, float, float, decimal.Decimal, str]
BARE = "abcxyzABZ019_-"
NAMES = ["a", "b", "t", "x", "1", "true", "inf", "-", "é", "", "a.b", "k k"]
ESCAPES = ["\\b", "\\t", "\\n", "\\f", "\\r", '\\"', "\\\\", "\\u00e9", "\\U0001F600", "\\u0000"]
ESCAPES += ["\\e", "\\x41", "\\xe9", "\\xFF", "\\x0"]  # TOML 1.1 (the last one too short)
CHARS = ["a", " ", "\t", "é", "€", "😀", "#", "=", "'", '"', "[", "]", "{", ",", "\u2028", "\x7f"]
PLAIN = CHARS[:6]


class Grammar:
    """Random TOML text, mostly valid; name collisions make redefinition errors on purpose."""

    def __init__(self, rng: random.Random):
        self.r = rng

    def pick(self, *options: Callable[[], str]) -> str:
        return self.r.choice(options)()

    def ws(self) -> str:
        return self.r.choice(["", "", " ", "  ", "\t", " \t"])

    def comment(self) -> str:
        r = self.r
        if r.random() < 0.8:
            return ""
        return self.ws() + "#" + "".join(r.choice([*PLAIN, "#", "'''"]) for _ in range(4))

    def key_part(self) -> str:
        r = self.r
        roll = r.random()
        name = r.choice(NAMES) if r.random() < 0.6 else "".join(r.choices(BARE, k=r.randint(1, 6)))
        if roll < 0.5 and name and all(c in BARE for c in name):
            return name
        if roll < 0.75 and "'" not in name:
            return "'" + name + "'"
        return (
            '"' + name.replace("\\", "\\\\").replace('"', '\\"') + r.choice(["", "\\u00e9"]) + '"'
        )

    def key(self) -> str:
        parts = [self.key_part() for _ in range(self.r.choice([1, 1, 1, 2, 3]))]
        return (self.ws() + "." + self.ws()).join(parts)

    def basic(self) -> str:
        r = self.r
        body = "".join(
            r.choice(ESCAPES) if r.random() < 0.3 else r.choice([*PLAIN, "'"])
            for _ in range(r.randint(0, 6))
        )
        return '"' + body + '"'

    def literal(self) -> str:
        return "'" + "".join(self.r.choices([*PLAIN, '"', "\\"], k=self.r.randint(0, 6))) + "'"

    def multi_basic(self) -> str:
        r = self.r
        pieces = ["\n"] if r.random() < 0.5 else []
        for _ in range(r.randint(0, 5)):
            pieces.append(
                r.choice(
                    [
                        *ESCAPES,
                        "a",
                        "\n",
                        '"',
                        '""',
                        "\\\n",
                        "\\  \n  ",
                        "\\\n\n  ",
                        "é",
                        "\t",
                        "'''",
                    ]
                )
            )
        return '"""' + "".join(pieces) + r.choice(["", '"', '""']) + '"""'

    def multi_literal(self) -> str:
        r = self.r
        pieces = ["\n"] if r.random() < 0.5 else []
        pieces += r.choices(["a", "\n", "'", "''", "\\", '"""', "é", "\t", " "], k=r.randint(0, 5))
        return "'''" + "".join(pieces) + r.choice(["", "'", "''"]) + "'''"

    def digits(self, alphabet: str = "0123456789", first: str = "123456789") -> str:
        r = self.r
        out = r.choice(first)
        for _ in range(r.choice([0, 0, 1, 2, 5, 20])):
            out += ("_" if r.random() < 0.15 else "") + r.choice(alphabet)
        return out

    def integer(self) -> str:
        r = self.r
        kind = r.randrange(5)
        if kind == 0:
            return r.choice(["", "+", "-"]) + r.choice(["0", self.digits()])
        prefix, alphabet = r.choice(
            [("0x", "0123456789abcdefABCDEF"), ("0o", "01234567"), ("0b", "01")]
        )
        return prefix + self.digits(alphabet, alphabet)

    def float_(self) -> str:
        r = self.r
        if r.random() < 0.15:
            return r.choice(["", "+", "-"]) + r.choice(["inf", "nan"])
        out = r.choice(["", "+", "-"]) + r.choice(["0", self.digits()])
        if r.random() < 0.7:
            out += "." + self.digits(first="0123456789")
        if r.random() < 0.4 or "." not in out:
            out += r.choice("eE") + r.choice(["", "+", "-"]) + self.digits(first="0123456789")
        return out

    def datetime_(self) -> str:
        r = self.r
        day = datetime.date(1, 1, 1) + datetime.timedelta(days=r.randrange(3652058))
        date = day.isoformat()
        if r.random() < 0.05:  # out of range on purpose: Feb 30, hour 24, minute 60
            date = r.choice(["2023-02-29", "2024-02-30", "2024-13-01", "2024-00-10", "2024-04-31"])
        clock = "%02d:%02d:%02d" % (r.randrange(24), r.randrange(60), r.randrange(60))
        if r.random() < 0.05:
            clock = r.choice(["24:00:00", "23:60:00", "23:59:60", "7:32:00", "24:00", "7:32"])
        if r.random() < 0.2:
            clock = clock[:5]  # seconds left out: TOML 1.1
        if r.random() < 0.4:
            clock += "." + "".join(r.choices("0123456789", k=r.randint(1, 9)))
        offset = r.choice(["Z", "z", "", "-00:00", "+05:30", "-07:00", "+23:59", "+24:00"])
        kind = r.randrange(4)
        if kind == 0:
            return date
        if kind == 1:
            return clock
        return date + r.choice("TTt ") + clock + (offset if kind == 2 else "")

    def array(self, depth: int) -> str:
        r = self.r
        sep = lambda: self.ws() + r.choice(["", "", "\n", self.comment() + "\n"])  # noqa: E731
        items = [sep() + self.value(depth + 1) + sep() for _ in range(r.randint(0, 4))]
        return "[" + ",".join(items) + (r.choice(["", ","]) if items else "") + sep() + "]"

    def inline(self, depth: int) -> str:
        r = self.r
        # Line breaks, comments and a trailing comma are TOML 1.1; most tables stay on one line.
        split = r.random() < 0.3
        sep = lambda: self.ws() + (r.choice(["", "\n", self.comment() + "\n"]) if split else "")  # noqa: E731
        pairs = [
            sep() + self.key() + self.ws() + "=" + self.ws() + self.value(depth + 1) + sep()
            for _ in range(r.randint(0, 3))
        ]
        trailing = "," if pairs and r.random() < 0.15 else ""
        return "{" + ",".join(pairs) + trailing + sep() + "}"

    def value(self, depth: int = 0) -> str:
        r = self.r
        if depth < 4 and r.random() < 0.25:
            return self.array(depth) if r.random() < 0.5 else self.inline(depth)
        return self.pick(
            self.basic,
            self.literal,
            self.multi_basic,
            self.multi_literal,
            self.integer,
            self.float_,
            self.datetime_,
            lambda: r.choice(["true", "false"]),
        )

    def document(self) -> str:
        r = self.r
        lines = []
        for _ in range(r.randint(1, 12)):
            roll = r.random()
            if roll < 0.15:
                head = self.key()
                line = "[" + self.ws() + head + self.ws() + "]"
                if r.random() < 0.4:
                    line = "[" + line + "]"
            elif roll < 0.25:
                line = self.comment().lstrip() or "#"
            elif roll < 0.3:
                line = ""
            else:
                line = self.key() + self.ws() + "=" + self.ws() + self.value()
            lines.append(self.ws() + line + self.comment())
        text = "\n".join(lines) + r.choice(["", "\n"])
        return text.replace("\n", "\r\n") if r.random() < 0.2 else text


def random_data(r: random.Random, depth: int = 0) -> Any:
    kind = r.randrange(12 if depth < 3 else 8)
    if kind == 0:
        return r.random() < 0.5
    if kind == 1:
        return r.randint(-(2**70), 2**70)
    if kind == 2:
        return r.choice(
            [0.0, -0.0, 1e300, 5e-324, float("inf"), float("nan"), r.uniform(-1e9, 1e9)]
        )
    if kind in (3, 4):
        return "".join(r.choices([*CHARS, "\\", "\n", "\x00", "'''"], k=r.randint(0, 8)))
    if kind == 5:
        tz = r.choice([None, datetime.UTC, datetime.timezone(datetime.timedelta(minutes=-90))])
        return datetime.datetime(2000, 1, 1, tzinfo=tz) + datetime.timedelta(
            seconds=r.uniform(-1e10, 1e10)
        )
    if kind == 6:
        return datetime.date(1, 1, 1) + datetime.timedelta(days=r.randrange(3652058))
    if kind == 7:
        return datetime.time(r.randrange(24), r.randrange(60), r.randrange(60), r.randrange(10**6))
    if kind in (8, 9):
        return [random_data(r, depth + 1) for _ in range(r.randint(0, 4))]
    if kind == 10:
        return [{"k": random_data(r, depth + 1)} for _ in range(r.randint(1, 3))]
    return {r.choice(NAMES) + str(i): random_data(r, depth + 1) for i in range(r.randint(0, 4))}


def written(r: random.Random) -> str:
    data = {r.choice(NAMES) + str(i): random_data(r) for i in range(r.randint(0, 6))}
    records = [v if isinstance(v, dict) else {"v": v} for v in data.values()]
    if tomli_w is not None and r.random() < 0.5:
        if r.random() < 0.5:  # records with dates and times too, for records="arrow"
            data = {"tables": {"t": {"columns": [{"name": "v"}], "records": records}}}
        return tomli_w.dumps(data, multiline_strings=r.random() < 0.5)
    # The writer quotes dates and times as text; it writes numbers, strings and containers.
    model = Model({"t": Table([col("v", default=r.choice([None, 1, "x"]))], records)})
    try:
        return encode_unified_data(model, r.random() < 0.8)
    except ValueError:  # raw text the writer refuses (it would not load): written escaped
        return encode_unified_data(model, True)


# ---- hostile inputs: no crash, no hang, only clean exceptions --------------------------------

ALLOWED = (tomllib.TOMLDecodeError, UnicodeDecodeError, RecursionError, MemoryError)


def hostile(r: random.Random) -> tuple[str, bytes | str]:
    n = r.choice([1000, 10_000, 100_000, 200_000])
    kind = r.randrange(12)
    close = r.random() < 0.7
    if kind == 0:
        return f"arrays {n}", "a = " + "[" * n + ("]" * n if close else "")
    if kind == 1:
        return f"inline tables {n}", "a = " + "{b = " * n + ("1" + "}" * n if close else "")
    if kind == 2:
        return f"arrays of inline tables {n}", "a = " + "[{b = " * n + (
            "1" + "}]" * n if close else ""
        )
    if kind == 3:
        part = r.choice(["a", '"a"', "'a'", "a ", "1"])
        key = ".".join([part] * min(n, 100_000))
        return f"dotted key {n}", r.choice([key + " = 1", "x = {" + key + " = 1}"])
    if kind == 4:
        key = ".".join(r.choice(["a", "b"]) for _ in range(min(n, 100_000)))
        return f"headers {n}", r.choice(["[", "[["]) + key + r.choice(["]", "]]", ""]) + "\nx = 1"
    if kind == 5:
        size = r.choice([10**6, 10**7])
        body = r.choice(["x", "\\u00e9", "é", "\\\n", "\n"]) * (size // 6)
        quote = r.choice(['"', '"""', "'", "'''"])
        return f"huge string {size}", "a = " + quote + body + (quote if close else "")
    if kind == 6:
        line = r.choice(["a = 1\n", "[t]\n", "[[t]]\n", "a.b = 1\n", "t = {}\n[t.x]\n"])
        return f"repeated {line!r} {n}", line * n
    if kind == 7:
        return f"many keys {n}", "".join(f"k{i} = {i}\n" for i in range(n))
    if kind == 8:
        return f"random bytes {n}", r.randbytes(n)
    if kind == 9:
        data = bytes(r.choice(b"[]{}=\"'.,\n#abc1 \\") for _ in range(n))
        return f"random TOML bytes {n}", data
    if kind == 10:
        digits = r.choice(["9", "f", "1"]) * n
        return f"huge number {n}", "a = " + r.choice(["", "0x", "0b", "0o", "1."]) + digits
    return f"wide array {n}", "a = [" + "{x = [1, 'a']}," * n + "]"


def run_hostile(r: random.Random, verbose: bool) -> None:
    name, data = hostile(r)
    version = r.choice(VERSIONS)
    if verbose:
        print(f"  hostile: {name}", file=sys.stderr, flush=True)
    if r.random() < 0.5:
        data = data.encode() if isinstance(data, str) else data
    start = time.perf_counter()
    try:
        result = decode_unified_data(data, toml_version=version)
        assert isinstance(result, dict)
    except ALLOWED:
        pass
    except ValueError as e:  # the interpreter's digit limit
        if "digits" not in str(e):
            raise AssertionError(f"hostile {name}: {e!r}") from e
    took = time.perf_counter() - start
    # 1 µs a unit is far above linear work and far below quadratic work at these sizes.
    budget = 1.0 + len(data) * 1e-6
    if took > budget:
        raise AssertionError(f"hostile {name}: {took:.2f} s for {len(data)} units")


# ---- records="arrow" against its oracle -----------------------------------------------------


def _beyond_64_bits(v: Any) -> bool:
    if isinstance(v, bool):
        return False
    if isinstance(v, int):
        return not -(2**63) <= v < 2**63
    if isinstance(v, list):
        return any(map(_beyond_64_bits, v))
    if isinstance(v, dict):
        return any(map(_beyond_64_bits, v.values()))
    return False


def arrow_check(data: bytes) -> str | None:
    """None when arrow mode gives the oracle's tables (every type inferred, as the oracle
    does), or refuses exactly what it must."""
    try:
        dicts = decode_unified_data(data)
    except Exception as e:
        # The same refusal, or a records error met before the syntax error.
        try:
            decode_unified_data(data, records="arrow", schema="inferred")
        except Exception as got:
            same = type(got) is type(e) and str(got) == str(e)
            records_first = type(got) is ValueError and isinstance(e, ValueError)
            return None if same or records_first else f"arrow mode: {got!r}, dicts: {e!r}"
        return f"arrow mode accepted a document the dict reader refuses: {e!r}"
    tables = dicts.get("tables")
    with_records = (
        {n: t for n, t in tables.items() if isinstance(t, dict) and "records" in t}
        if isinstance(tables, dict)
        else {}
    )
    refuse = any(
        not isinstance(t["records"], list)
        or not all(isinstance(r, dict) for r in t["records"])
        or _beyond_64_bits(t["records"])
        for t in with_records.values()
    )
    try:
        arrow = decode_unified_data(data, records="arrow", schema="inferred")
    except ValueError as e:
        return None if refuse else f"arrow mode refused a readable document: {e!r}"
    if refuse:
        return "arrow mode accepted records it must refuse"
    for name, table in with_records.items():
        want = expected_table(table["records"], declared_names(table))
        try:
            same_table(pyarrow.table(arrow["tables"][name]["records"]), want)
        except AssertionError as e:
            return f"table {name!r}: {e}"
    return None


# ---- leaks -----------------------------------------------------------------------------------


def leaks(data: bytes | str, parse_float: Callable[[str], Any], version: str) -> int:
    """Memory blocks still held after repeating one decode (success or failure)."""

    def once() -> None:
        with contextlib.suppress(Exception):
            decode_unified_data(data, parse_float=parse_float, toml_version=version)

    for _ in range(5):
        once()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(50):
        once()
    gc.collect()
    return sys.getallocatedblocks() - before


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=300)
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--verbose", action="store_true", help="print each input before it runs")
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.SystemRandom().randrange(2**32)
    print(f"fuzz_decoder: seed {seed}, {args.seconds:g} s", flush=True)
    faulthandler.enable()
    r = random.Random(seed)
    grammar = Grammar(r)
    seeds = [doc.encode() for doc in (*FEATURES.values(), *FEATURES_11.values())]
    counts = dict.fromkeys(("grammar", "written", "feature", "hostile", "leak", "arrow"), 0)
    start = time.monotonic()
    while time.monotonic() - start < args.seconds:
        # Hangs in native code do not return to Python: let faulthandler end the run.
        faulthandler.dump_traceback_later(120, exit=True)
        roll = r.random()
        if roll < 0.02:
            run_hostile(r, args.verbose)
            counts["hostile"] += 1
            continue
        if roll < 0.45:
            data, kind = grammar.document().encode(), "grammar"
        elif roll < 0.6:
            data, kind = written(r).encode(), "written"
        else:
            data, kind = r.choice(seeds), "feature"
        for _ in range(r.choice([0, 1, 1, 1, 2, 4]) if kind != "feature" else r.randint(1, 6)):
            data = mutate(r, data)
        parse_float = r.choice(PARSE_FLOATS)
        if args.verbose:
            print(f"  {kind}: {data!r}", file=sys.stderr, flush=True)
        counts[kind] += 1
        for version in VERSIONS:
            if check(data, parse_float, version) is not None:
                problem = reproducer(data, parse_float, version)
                print(f"fuzz_decoder: seed {seed}: {kind} document ({version})\n{problem}")
                return 1
        if pyarrow is not None and kind != "grammar" and r.random() < 0.5:
            counts["arrow"] += 1
            problem = arrow_check(data)
            if problem is not None:
                print(f"fuzz_decoder: seed {seed}: records='arrow' on {data!r}: {problem}")
                return 1
        if r.random() < 0.01:
            counts["leak"] += 1
            grown = leaks(data, parse_float, r.choice(VERSIONS))
            if grown >= 50:
                print(f"fuzz_decoder: seed {seed}: {grown} blocks leaked by 50 calls on {data!r}")
                return 1
    faulthandler.cancel_dump_traceback_later()
    total = sum(counts.values())
    elapsed = time.monotonic() - start
    detail = ", ".join(f"{k} {v}" for k, v in counts.items())
    print(f"fuzz_decoder: {total} examples in {elapsed:.0f} s ({detail}), seed {seed}: OK")
    return 0


if __name__ == "__main__":
    sys.exit(main())
