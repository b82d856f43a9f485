"""The reader against the reference readers (tomli for the default TOML 1.1 mode, tomllib for
toml_version="1.0.0"): documents written by tomli_w and by our writer, hand-written documents
using every TOML feature (and every 1.1 addition), and byte-level mutations of those. Where the
reference accepts, the results are equal with equal types; where it rejects, we reject, with
the error's details consistent."""

import contextlib
import datetime
import decimal
import random
import tomllib

import pytest
import tomli
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _toml_models import Model, Table, col
from _toml_oracle import FEATURES, FEATURES_11, VERSIONS, check, mutate, reproducer
from ondrel.datastore.adapter.toml.decoder import decode_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data

try:
    import tomli_w
except ImportError:  # pragma: no cover - listed in requirements-dev.txt
    tomli_w = None


class Text(str):
    pass


PARSE_FLOATS = {
    "float": float,
    "Decimal": decimal.Decimal,
    "str": str,
    "str_subclass": Text,
    "tagged": lambda s: ("float", s),
}


def boom(s):
    raise ZeroDivisionError(s)


# Each must fail the same way in both readers on a valid document holding floats.
FAILING_PARSE_FLOATS = {"raises": boom, "list": lambda s: [s], "dict": lambda s: {}}

SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

text = st.text(st.characters(exclude_categories=("Cs",)), max_size=10)
tricky = st.one_of(
    text, st.sampled_from(['"', "'''", '"""', "\\", "\r\n", "\x00", "\x7f", "a.b", "é😀", "\ufeff"])
)
offsets = st.one_of(
    st.none(),
    st.just(datetime.UTC),
    st.integers(-1439, 1439).map(lambda m: datetime.timezone(datetime.timedelta(minutes=m))),
)
scalars = st.one_of(
    st.booleans(),
    st.integers(),
    st.integers(-(2**200), 2**200),
    st.floats(),
    tricky,
    st.dates(),
    st.times(),
    st.builds(lambda dt, tz: dt.replace(tzinfo=tz), st.datetimes(), offsets),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.dictionaries(tricky, inner, max_size=4)
    ),
    max_leaves=16,
)
# Lists of dicts at the top are written as arrays of tables.
documents = st.dictionaries(
    tricky,
    st.one_of(
        values, st.lists(st.dictionaries(tricky, values, max_size=3), min_size=1, max_size=3)
    ),
    max_size=6,
)


def assert_agrees(data, parse_float=float, versions=VERSIONS):
    for version in versions:
        if problem := reproducer(data, parse_float, version):
            pytest.fail(problem, pytrace=False)


@pytest.mark.skipif(
    tomli_w is None, reason="tomli_w is missing: pip install -r requirements-dev.txt"
)
@SETTINGS
@given(documents, st.booleans(), st.sampled_from(list(PARSE_FLOATS.values())))
def test_tomli_w_documents(doc, multiline, parse_float):
    assert_agrees(tomli_w.dumps(doc, multiline_strings=multiline).encode(), parse_float)


writer_values = st.recursive(
    st.one_of(st.booleans(), st.integers(-(2**70), 2**70), st.floats(), tricky),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4), st.dictionaries(tricky, inner, max_size=4)
    ),
    max_leaves=12,
)
columns = st.builds(
    col,
    tricky,
    tricky,
    unique=st.booleans(),
    comment=st.one_of(st.none(), tricky),
    default=st.one_of(st.none(), writer_values),
    nullable=st.booleans(),
)
tables = st.builds(
    Table,
    st.lists(columns, max_size=3),
    st.lists(st.dictionaries(tricky, st.one_of(st.none(), writer_values), max_size=5), max_size=4),
)


@SETTINGS
@given(tricky, st.dictionaries(tricky, tables, max_size=3), st.booleans())
def test_own_writer_documents(version, layout, escape):
    try:
        text = encode_unified_data(Model(layout, version=version), escape)
    except ValueError:
        # Raw text that no reader would load is refused by the writer (the readers' refusals
        # of broken documents are the conformance suite's invalid cases).
        assert not escape
        return
    assert_agrees(text.encode())


# Decimal numbers around the limits of the exactly rounded float path (19 digits, 2**53, 10**22)
# and of the one-product path (every double's own text, any 19 digits at any exponent, zeros
# after the point, long exponents), with '_' inside the runs that are read eight digits at a time.
digit_runs = st.text("0123456789", min_size=1, max_size=22)
number_texts = st.one_of(
    st.builds(
        lambda sign, whole, frac, exp: f"{sign}{whole}{frac}{exp}",
        st.sampled_from(["", "-", "+"]),
        st.one_of(st.integers(0, 2**64), st.integers(2**52, 2**54), st.just(10**19)).map(str),
        st.one_of(st.just(""), digit_runs.map(".".__add__)),
        st.one_of(st.just(""), st.integers(-40, 40).map(lambda e: f"e{e:+}")),
    ),
    st.floats(allow_nan=False, allow_infinity=False).map(repr),
    st.builds("{}e{}".format, st.integers(1, 10**19 - 1), st.integers(-360, 330)),
    st.builds("0.{}{}".format, st.integers(0, 30).map("0".__mul__), st.integers(1, 10**19)),
    st.builds("1{}_{}.{}_{}".format, digit_runs, digit_runs, digit_runs, digit_runs),
    # Zeros after the point against an exponent past the reader's cap of five digits.
    st.builds(
        lambda n, d, k, sign: f"0.{'0' * n}1e{sign}{n + 1 + d}{k}",
        st.integers(10000, 20000),
        st.integers(-30, 30),
        st.integers(0, 9),
        st.sampled_from(["", "+", "-"]),
    ),
)


@SETTINGS
@given(
    number_texts,
    st.sampled_from(["\u0101", "\U0001f600"]),
    digit_runs,
    st.sampled_from(["\u0131", "\U00010031"]),
)
def test_decimal_numbers(text, wide, run, after):
    # The comment makes the str form a two- or four-byte str; bytes read as UTF-8.
    assert_agrees(f"# {wide}\nv = {text}\nw = [{text}, {{ x = {text} }}]\n".encode())
    # A character whose low byte is a digit ends a run of digits read eight at a time.
    assert_agrees(f"# {wide}\nv = 1{run}{after}\n".encode())


# Bare keys that are prefixes of each other, in orders that change from record to record: the
# reader guesses each key from the one before it. The separators around them, the writer's own
# (" = ", ", ") and others, with trailing commas: the writer's take a shorter path.
bare_keys = st.lists(
    st.sampled_from(["a", "ab", "abc", "b", "a-b", "a_", "A", "é", '"q"']), max_size=5
)


@SETTINGS
@given(
    st.lists(bare_keys, min_size=1, max_size=6),
    st.sampled_from(["=", " = ", "= ", " =\t", " = \t"]),
    st.sampled_from([", ", ",", " , ", ",  ", ",\t"]),
    st.sampled_from(["", ",", ", "]),
)
def test_repeated_bare_keys(records, eq, sep, trail):
    items = sep.join(
        "{" + sep.join(f"{k}{eq}{i}" for i, k in enumerate(r)) + trail + "}" for r in records
    )
    ends = (
        f"x{eq}[{items}{trail}]\n"
        + f"y{eq}[1{sep}'s'{sep}#c\n2{sep}[3]{sep}{{}}{trail}]\n"
        + "".join(f"{k}{eq}1\n" for k in records[-1])
    )
    assert_agrees(ends.encode())
    assert_agrees(ends.rstrip("\n").encode())


# Records of one key order and records that leave it (a key dropped or quoted, the last ones
# left out, two swapped, a dotted key, a repeat): a table whose keys keep to an order seen
# before is filled in a copy, and one that leaves it goes on in a table of its own.
EDITS = {
    "same": lambda o, at: o,
    "drop": lambda o, at: o[:at] + o[at + 1 :],
    "cut": lambda o, at: o[:at],
    "swap": lambda o, at: o[:at] + o[at : at + 2][::-1] + o[at + 2 :],
    "dot": lambda o, at: [*o[:at], o[at] + ".z", *o[at + 1 :]],
    "quote": lambda o, at: [*o[:at], f'"{o[at]}"', *o[at + 1 :]],
    "repeat": lambda o, at: [*o, o[at]],
}


def key_orders(value):
    if isinstance(value, dict):
        return [(k, key_orders(v)) for k, v in value.items()]
    return [key_orders(v) for v in value] if isinstance(value, list) else None


@SETTINGS
@given(
    st.permutations(["a", "ab", "abc", "b", "a-b", "a_", "A", "c"]),
    st.lists(st.tuples(st.sampled_from(list(EDITS)), st.integers(0, 7)), max_size=12),
)
def test_records_that_leave_a_key_order(order, edits):
    records = [EDITS[edit](order, at) for edit, at in [("same", 0), *edits]]
    items = ", ".join("{" + ", ".join(f"{k} = {i}" for k in r) + "}" for i, r in enumerate(records))
    doc = f"# \u0101\nx = [{items}]\n"
    assert_agrees(doc.encode())
    with contextlib.suppress(tomllib.TOMLDecodeError):
        # Equal dicts may still differ in their order.
        want = key_orders(tomllib.loads(doc))
        assert key_orders(decode_unified_data(doc, toml_version="1.0.0")) == want


A, B, C = list("abcdefg"), ["a", *"gfedcb"], list("abcdefgh")


@pytest.mark.parametrize(
    "runs",
    [[(A, 80), (B, 80), (A, 80), (C, 80), (A, 5)], [(A, 1), (B, 100), (A, 3)], [(A, 100)]],
    ids=["long", "short", "one"],
)
@pytest.mark.parametrize("inner", [None, B, C])
def test_runs_of_key_orders(runs, inner):
    # Tables of one first key in runs of other orders, and runs of tables in them with the same
    # first key: an order gives way to the next run's, never while a table is filled from it.
    def table(keys, i, inner=None):
        pairs = [f"{k} = {i}" for k in keys]
        if inner:
            pairs[1] = f"{keys[1]} = [{', '.join(table(inner, j) for j in range(70))}]"
        return "{" + ", ".join(pairs) + "}"

    records = [order for order, n in runs for _ in range(n)]
    half = len(records) // 2
    doc = "x = [" + ", ".join(table(r, i, i >= half and inner) for i, r in enumerate(records)) + "]"
    got, want = decode_unified_data(doc), tomllib.loads(doc)
    assert got == want
    assert key_orders(got) == key_orders(want)


def line_ends(doc: str) -> dict[str, bytes]:
    return {"lf": doc.encode(), "crlf": doc.replace("\n", "\r\n").encode()}


CASES = [
    pytest.param(data, id=f"{name}-{end}")
    for name, doc in {**FEATURES, **FEATURES_11}.items()
    for end, data in line_ends(doc).items()
]


@pytest.mark.parametrize("data", CASES)
@pytest.mark.parametrize("parse_float", PARSE_FLOATS.values(), ids=PARSE_FLOATS)
def test_feature_documents(data, parse_float):
    tomli.loads(data.decode())  # the seed itself must be valid TOML 1.1
    assert_agrees(data, parse_float)
    assert_agrees(b"\xef\xbb\xbf" + data, parse_float)


@pytest.mark.parametrize("parse_float", FAILING_PARSE_FLOATS.values(), ids=FAILING_PARSE_FLOATS)
def test_failing_parse_float(parse_float):
    assert_agrees(FEATURES["numbers"], parse_float)


MUTANTS = 1500


@pytest.mark.parametrize("data", CASES)
def test_mutations(data, request):
    r = random.Random(request.node.callspec.id)
    floats = list(PARSE_FLOATS.values())
    failures = []
    for i in range(MUTANTS):
        mutant = mutate(r, data)
        parse_float = float if i % 4 else floats[i // 4 % len(floats)]
        for version in VERSIONS:
            if check(mutant, parse_float, version) is not None:
                failures.append(reproducer(mutant, parse_float, version))
        if len(failures) >= 3:
            break
    if failures:
        pytest.fail("\n\n".join(failures), pytrace=False)


# Faults the fuzzer found, kept as they were cut down.
FOUND = [
    b'a = """\xc3\\\n\xa9"""',  # bad UTF-8 split by a line-ending backslash
    b'a = """x\xe2\\\n  \x82\xacy"""',
]


@pytest.mark.parametrize("data", FOUND)
def test_found_by_fuzzing(data):
    assert_agrees(data)
