"""The reader checked against the reference readers (tomli for TOML 1.1, the default mode;
tomllib of 3.13 for toml_version="1.0.0"): value comparison, one differential check, byte-level
mutations and a shrinker that cuts a failing document down to a short reproducer. Shared by the
decoder tests and tools/fuzz_decoder.py."""

from __future__ import annotations

import random
import re
import tomllib
from collections.abc import Callable
from typing import Any

import tomli

from _toml_layout import same
from ondrel.datastore.adapter.toml.decoder import decode_unified_data

POSITION = re.compile(r"\(at line (\d+), column (\d+)\)$")
VERSIONS = ("1.1.0", "1.0.0")
ORACLES = {"1.1.0": tomli, "1.0.0": tomllib}


def error_details_problem(e: Exception, given: bytes | str | memoryview) -> str | None:
    """What is wrong with the details of one of our TOMLDecodeErrors, or None."""
    doc = given if isinstance(given, str) else bytes(given).decode("utf-8", "replace")
    m = POSITION.search(str(e))
    if m is None:
        return "error message without a position"
    attrs = {k: getattr(e, k, None) for k in ("msg", "doc", "pos", "lineno", "colno")}
    if (
        attrs["doc"] != doc
        or not isinstance(attrs["pos"], int)
        or not 0 <= attrs["pos"] <= len(doc)
    ):
        return f"error doc/pos wrong: {attrs!r}"
    pos = attrs["pos"]
    lineno = doc.count("\n", 0, pos) + 1
    colno = pos + 1 if lineno == 1 else pos - doc.rindex("\n", 0, pos)
    if (attrs["lineno"], attrs["colno"]) != (lineno, colno) or m.groups() != (
        str(lineno),
        str(colno),
    ):
        return f"error line/column disagree with doc and pos: {attrs!r}"
    if str(e) != f"{attrs['msg']} (at line {lineno}, column {colno})":
        return f"error msg is not the message without its position: {attrs!r}"
    return None


def _run(call: Callable[[], Any]) -> tuple[str, Any]:
    try:
        return "ok", call()
    except Exception as e:
        return type(e).__name__, e


def check(
    data: bytes | str, parse_float: Callable[[str], Any] = float, version: str = "1.1.0"
) -> str | None:
    """What is wrong with the reader on one document (str, or bytes read both ways) in the mode
    `version`, or None. The first line names the kind of fault, the rest shows the values."""
    if isinstance(data, bytes):
        try:
            text = data.decode()
        except UnicodeDecodeError:
            raised: list[Exception] = []

            def spy(s: str) -> Any:
                try:
                    return parse_float(s)
                except Exception as e:
                    raised.append(e)
                    raise

            kind, got = _run(
                lambda: decode_unified_data(data, parse_float=spy, toml_version=version)
            )
            # Text before the bad bytes is read first: its own errors may come out first.
            earlier = kind == "RecursionError" or (kind == "ValueError" and "digits" in str(got))
            if kind == "TOMLDecodeError" and (problem := error_details_problem(got, data)):
                return f"bytes: {problem}"
            if kind in ("UnicodeDecodeError", "TOMLDecodeError") or earlier or got in raised:
                return None
            return f"bytes: invalid UTF-8 gave {kind}\n  ours: {got!r}"
        inputs: list[bytes | str | memoryview] = [text, data, memoryview(data)]
    else:
        text, inputs = data, [data]
    # A leading byte-order mark is skipped on purpose; tomllib refuses it.
    oracle_text = text.removeprefix("\ufeff")
    oracle = ORACLES[version]
    name = oracle.__name__
    want_kind, want = _run(lambda: oracle.loads(oracle_text, parse_float=parse_float))
    for given in inputs:
        kind, got = _run(
            lambda given=given: decode_unified_data(
                given, parse_float=parse_float, toml_version=version
            )
        )
        form = f"{type(given).__name__} ({version})"
        values = f"\n  ours:    {kind} {got!r}\n  {name}: {want_kind} {want!r}"
        if want_kind == "RecursionError":
            if kind not in ("ok", "RecursionError", "TOMLDecodeError"):
                return f"{form}: {name} ran out of stack, ours raised {kind}" + values
        elif want_kind == "ok":
            if kind != "ok":
                return f"{form}: {name} accepts, ours raised {kind}" + values
            if not same(got, want):
                return f"{form}: results differ" + values
        elif kind != want_kind:
            return f"{form}: {name} raised {want_kind}, ours gave {kind}" + values
        elif kind == "TOMLDecodeError" and (problem := error_details_problem(got, given)):
            return f"{form}: {problem}" + values
    return None


def shrink(data: bytes, fails: Callable[[bytes], bool]) -> bytes:
    """Deletes lines, then ever smaller chunks, while the document still fails; repeats until
    nothing more can go."""
    while True:
        before = data
        lines = data.splitlines(keepends=True)
        i = 0
        while i < len(lines):
            candidate = b"".join(lines[:i] + lines[i + 1 :])
            if fails(candidate):
                del lines[i]
            else:
                i += 1
        data = b"".join(lines)
        chunk = max(len(data) // 2, 1)
        while True:
            i = 0
            while i < len(data):
                candidate = data[:i] + data[i + chunk :]
                if fails(candidate):
                    data = candidate
                else:
                    i += chunk
            if chunk == 1:
                break
            chunk //= 2
        if data == before:
            return data


def reproducer(
    data: bytes | str, parse_float: Callable[[str], Any] = float, version: str = "1.1.0"
) -> str:
    """The fault of a document with the document and a short form of it, or "" if none."""
    problem = check(data, parse_float, version)
    if problem is None:
        return ""
    kind = problem.partition("\n")[0]

    # str documents may hold lone surrogates: keep them through the byte-level shrinking.
    as_bytes = isinstance(data, bytes)
    raw = data if as_bytes else data.encode("utf-8", "surrogatepass")

    def back(candidate: bytes) -> bytes | str:
        return candidate if as_bytes else candidate.decode("utf-8", "surrogatepass")

    def fails(candidate: bytes) -> bool:
        try:
            return (check(back(candidate), parse_float, version) or "").startswith(kind + "\n")
        except UnicodeDecodeError:
            return False

    short = back(shrink(raw, fails))
    again = check(short, parse_float, version)
    return f"{problem}\n  document: {data!r}\n  shrunk:   {short!r}\n  {again}"


# Pieces that break or bend TOML when dropped into a document.
INSERTS = [
    *(bytes([c]) for c in b"\"'\\=.,#[]{}\n\r\t _+-:TZe0189xobn"),
    b'"""',
    b"'''",
    b"\r\n",
    b"\\u",
    b"\\U0001",
    b"\\x41",
    b"\\xe9",
    b"\\e",
    b"{\n",
    b",\n}",
    b"07:32",
    b"\\\n",
    b"\\ \n",
    b"[[",
    b"]]",
    b"inf",
    b"nan",
    b"true",
    b"1979-05-27",
    b"T07:32:00",
    b".5",
    b"+01:00",
    *(bytes([c]) for c in (0, 1, 8, 0x0B, 0x0C, 0x1B, 0x1F, 0x7F)),
    *(ch.encode() for ch in ("é", "€", "😀", "\u2028", "\ufeff", "\u0085", "\U0010ffff")),
    b"\xff",
    b"\x80",
    b"\xc0\x80",
    b"\xc3",
    b"\xe2\x82",
    b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80",
    b"\xe0\x80\xaf",
]
BRACKETS = b"[]{}"


def mutate(r: random.Random, data: bytes) -> bytes:
    """One to three random edits of bytes or lines."""
    for _ in range(r.choice((1, 1, 2, 3))):
        n = len(data)
        i = r.randint(0, n)
        j = min(n, i + r.choice((1, 1, 2, 4, 16)))
        kind = r.randrange(10)
        if kind == 0:
            data = data[:i] + r.choice(INSERTS) + data[i:]
        elif kind == 1:
            data = data[:i] + data[j:]
        elif kind == 2 and i < n:
            data = data[:i] + r.choice(INSERTS) + data[i + 1 :]
        elif kind == 3:
            data = data[:j] + data[i:j] + data[j:]
        elif kind == 4:
            data = data[:i] + bytes([r.randrange(256)]) + data[i + 1 :]
        elif kind == 5:
            spots = [k for k, c in enumerate(data) if c in BRACKETS]
            if spots:
                k = r.choice(spots)
                data = data[:k] + bytes([r.choice(BRACKETS)]) + data[k + 1 :]
        elif kind == 9:
            # Cut a multi-byte character, or put a break or an escape inside it.
            spots = [k for k, c in enumerate(data) if c >= 0x80]
            if spots:
                k = r.choice(spots)
                piece = r.choice([b"", b"\\\n", b"\\\n  ", b"\\t", b"\n"])
                data = data[:k] + piece + data[k + (not piece) :]
        else:
            lines = data.splitlines(keepends=True) or [b""]
            k = r.randrange(len(lines))
            if kind == 6:
                lines.insert(k, lines[k])
            elif kind == 7:
                del lines[k]
            else:
                m = r.randrange(len(lines))
                lines[k], lines[m] = lines[m], lines[k]
            data = b"".join(lines)
    return data


# Hand-written documents that together use every TOML feature; the seeds of the mutations.
FEATURES = {
    "basic_strings": r'''
basic = "tab\t quote\" back\\ \b\f\n\r \u00e9 \U0001F600 \u0000 \u007F"
empty = ""
multi = """
Roses are red é€😀
  Violets are "blue" ""\"
"""
multi_trim = """\
    The quick \
    brown “fox” \

    jumps."""
multi_quotes = """""a"" """""
one_line = """x"""
non_ascii = "é€😀" # ü in a comment
''',
    "literal_strings": r"""
literal = 'C:\Users\path "quoted" \n'
empty_literal = ''
multi_literal = '''
first newline dropped\nkept raw \\ "
'quoted' '''''
tab_inside = '	x	'
""",
    "keys": r"""
bare-key_1 = 1
1234 = "digits"
-- = "dashes"
"quoted key" = 1
'literal key' = 2
"" = "empty key"
"é" = 'ñ'
"\u00e9\n" = 'escaped key'
a.b.c = 1
a . "b.x" . 'd' = 2
a.e = { f = 3 }
site."google.com" = true
3.14159 = "pi"
true = "bool-like key"
inf = "inf-like key"
[dotted]
x.y = 1
x.z = 2
[dotted.x.w]
v = 3
""",
    "tables": """
# comment line
[table]   # after a header
key = "value"

[ table . sub ]
k = 1
["quoted.header".'lit']
q = 1

[x.y.z.w] # implicit parents
[x]
direct = 1

[[fruits]]
name = "apple"
[fruits.physical]
color = "red"
[[fruits.variety]]
name = "red delicious"
[[fruits.variety]]
name = "granny smith"
[[fruits]]
name = "banana"
[[fruits.variety]]
name = "plantain"
[[ spaced . 'out' ]]
""",
    "inline": """
point = { x = 1, y = 2 }
nested = { a = { b = { c = [1, { d = 2 }] } }, e.f = 3, "g h" = 'i' }
empty = {}
arrays = [ [], [[]], [1, 2,], ["a", 'b', \"\"\"c\"\"\", \'\'\'d\'\'\'], [1, "mixed", 2.5, true, {}] ]
multiline_array = [
  1, # one
  2,
  # between
  3
  ,
]
tables = [ { a = 1 }, { b = [ { c = 2 } ] } ]
""",
    "numbers": """
int = [+99, 42, 0, -17, +0, -0, 1_000, 5_349_221, 53_49_221, 1_2_3_4_5]
hex = [0xDEADBEEF, 0xdeadbeef, 0xdead_beef, 0x0, 0x00ff]
oct = [0o01234567, 0o755, 0o0]
bin = [0b11010110, 0b0, 0b1_0]
big = [9223372036854775807, -9223372036854775808, 9223372036854775808, 0x7fffffffffffffffffff, 123456789012345678901234567890]
float = [+1.0, 3.1415, -0.01, 5e+22, 1e06, -2E-2, 6.626e-34, 224_617.445_991_228, 0.0, -0.0, +0.0, 1e-400, 1e400, 0e0, 4.9e-324]
digits = [0.1, 0.30000000000000004, 1.7976931348623157e308, 2.2250738585072014e-308, 9007199254740993.0, 1.00000000000000011102230246251565404236316680908203125]
special = [inf, +inf, -inf, nan, +nan, -nan]
bools = [true, false]
""",
    "datetimes": """
odt = [1979-05-27T07:32:00Z, 1979-05-27T00:32:00-07:00, 1979-05-27T00:32:00.999999-07:00, 1979-05-27 07:32:00z]
frac = [1979-05-27T07:32:00.1Z, 1979-05-27T07:32:00.1234567891+05:30, 1979-05-27T07:32:00.000001-00:00, 2000-01-01T00:00:00+23:59]
ldt = [1979-05-27T07:32:00, 1979-05-27T00:32:00.999999, 1979-05-27 07:32:00.5, 1979-05-27t07:32:00]
ld = [1979-05-27, 2000-02-29, 1900-02-28, 0001-01-01, 9999-12-31]
lt = [07:32:00, 00:32:00.999999, 23:59:59.1234567, 00:00:00]
leap = 2024-02-29T23:59:59Z
""",
}

# TOML 1.1 only: every addition, in one document (the 1.0 mode must refuse it).
FEATURES_11 = {
    "toml_1_1": r'''
record = {
    id = 1, # a comment inside
    name = "ada",

    tags = [ "x", "y", ],
    nested = { a.b = 1, c = {
        d = 2,
    }, },
}
empty = {
}
one_line = { a = 1, b = 2, }
escapes = "\e[1m \x00\x41\xe9\xFF \u00e9"
multi_escapes = """\e \x7f\
    tail"""
no_seconds = [1979-05-27T07:32Z, 1979-05-27 07:32-07:00, 1979-05-27T07:32, 07:32, 23:59]
[table]
inline = { x = 1,
    y = 2 }
''',
}
