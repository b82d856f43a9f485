"""Round trips through tomllib, and native number text against str()."""

import math
import struct
import tomllib

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _toml_layout as layout
from _toml_models import Model, Table, col, records_model
from ondrel.datastore.adapter.toml.pentock import encode_unified_data

# Any text the interpreter can encode as UTF-8 (no lone surrogates).
text = st.text(st.characters(exclude_categories=("Cs",)), max_size=12)
tricky_text = st.one_of(
    text,
    st.sampled_from(
        [
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
            # Escaped beforehand: valid raw, or not (a lone backslash, bad hex, a surrogate).
            'a\\"b',
            "\\u00e9\\U0001F600",
            "\\",
            "\\x41",
            "\\u12G4",
            "\\uD800",
            "\\U00110000",
            "\t",
        ]
    ),
)
keys = st.one_of(st.from_regex(r"[A-Za-z0-9_-]{1,8}", fullmatch=True), tricky_text)
floats = st.one_of(
    st.floats(),
    st.sampled_from([0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1e16, 1e-5, 1.5e-7]),
)
scalars = st.one_of(
    st.booleans(), st.integers(min_value=-(2**70), max_value=2**70), floats, tricky_text
)
# None appears only where TOML can carry it: as a record value, which is dropped.
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(keys, inner, max_size=4)),
    max_leaves=12,
)
# None anywhere, inside arrays too, where the encoder must refuse it.
values_with_none = st.recursive(
    st.one_of(scalars, st.none()),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(keys, inner, max_size=4)),
    max_leaves=12,
)
flags = st.one_of(st.booleans(), st.sampled_from([0, 1, "", "y", None]))


@st.composite
def columns(draw, values):
    return col(
        draw(tricky_text),
        draw(tricky_text),
        unique=draw(flags),
        comment=draw(st.one_of(st.none(), tricky_text)),
        foreign_key=draw(st.one_of(st.none(), tricky_text)),
        default=draw(st.one_of(st.none(), values)),
        nullable=draw(flags),
        primary_key=draw(flags),
        autoincrement=draw(flags),
    )


def models_of(values):
    records = st.dictionaries(keys, st.one_of(st.none(), values), max_size=6)
    return st.builds(
        lambda version, schema, tables: (version, schema, tables),
        tricky_text,
        tricky_text,
        st.dictionaries(
            keys,
            st.tuples(st.lists(columns(values), max_size=3), st.lists(records, max_size=4)),
            max_size=3,
        ),
    )


models = models_of(values)


def model_of(parts):
    version, schema, tables = parts
    return Model(
        {name: Table(cols, recs) for name, (cols, recs) in tables.items()},
        version=version,
        schema_version=schema,
    )


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(models)
def test_escaped_documents_read_back_equal(parts):
    version, schema, tables = parts
    model = Model(
        {name: Table(cols, recs) for name, (cols, recs) in tables.items()},
        version=version,
        schema_version=schema,
    )
    got = tomllib.loads(encode_unified_data(model, escape_strings=True))
    assert layout.same(got, layout.expected(layout.document(version, schema, tables)))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(models, st.booleans())
def test_documents_match_the_layout_oracle_byte_for_byte(parts, escape):
    version, schema, tables = parts
    model = Model(
        {name: Table(cols, recs) for name, (cols, recs) in tables.items()},
        version=version,
        schema_version=schema,
    )
    try:
        want = layout.dumps(layout.document(version, schema, tables), escape_strings=escape)
    except ValueError:  # a string that cannot stand raw: refused, never written
        with pytest.raises(ValueError, match="escape_strings=True"):
            encode_unified_data(model, escape)
        return
    assert encode_unified_data(model, escape) == want


# Strings of every width (ASCII, Latin-1, BMP, astral) and of every length around the word
# sizes the copy works in, with or without a character that needs escaping at any place.
ALPHABETS = ("az09 _-.", "azé\xffÆ", "aé€中\u2028", "a😀\U0010fffd€", '"\\\t\n\x00\x7f\x1f')
wide_text = st.lists(
    st.sampled_from(ALPHABETS).flatmap(lambda a: st.text(st.sampled_from(a), max_size=40)),
    min_size=1,
    max_size=3,
).map("".join)


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(
        st.one_of(wide_text, st.from_regex(r"[a-z_]{1,40}", fullmatch=True)),
        min_size=1,
        max_size=5,
        unique=True,
    ),
    st.lists(
        st.lists(st.one_of(wide_text, st.lists(wide_text, max_size=3)), min_size=5, max_size=5),
        min_size=1,
        max_size=4,
    ),
    st.booleans(),
)
def test_string_copies_match_the_layout_oracle(key_list, rows, escape):
    # Records share their key objects, as the records of one table do: the key cache's path.
    records = [dict(zip(key_list, row, strict=False)) for row in rows]
    tables = {"t": ([col("v", "TEXT")], records)}
    try:
        want = layout.dumps(layout.document("1", "2", tables), escape_strings=escape)
    except ValueError:
        with pytest.raises(ValueError, match="escape_strings=True"):
            encode_unified_data(model_of(("1", "2", tables)), escape)
        return
    assert encode_unified_data(model_of(("1", "2", tables)), escape) == want


@pytest.mark.parametrize("n_keys", [3, 70, 300])
def test_records_with_more_keys_than_the_key_cache_holds(n_keys):
    # Keys that share cache slots evict each other record after record; each must still be
    # written as its own text.
    keys = [f"k{i}" for i in range(n_keys)]
    records = [{k: f"{k}-{r}" for k in keys[r % 3 :]} for r in range(4)]
    tables = {"t": ([col("v", "TEXT")], records)}
    want = layout.dumps(layout.document("1", "2", tables), escape_strings=False)
    assert encode_unified_data(model_of(("1", "2", tables)), False) == want


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(models_of(values_with_none), st.booleans())
def test_every_document_loads_or_is_refused(parts, escape):
    try:
        text = encode_unified_data(model_of(parts), escape)
    except (ValueError, TypeError):
        return
    got = tomllib.loads(text)
    if escape:
        assert layout.same(got, layout.expected(layout.document(*parts)))


def encoded_list(items):
    out = encode_unified_data(records_model([{"v": list(items)}]))
    return out.split("{ v = [ ", 1)[1].split(" ] },\n", 1)[0].split(", ")


INT_EDGES = [
    0,
    1,
    -1,
    9,
    10,
    99,
    100,
    2**30 - 1,
    2**30,
    -(2**30),
    2**31,
    2**32,
    10**15,
    10**18,
    10**19,
    2**62,
    2**63 - 1,
    2**63,
    -(2**63),
    -(2**63) - 1,
    2**64 - 1,
    2**64,
    -(2**64),
    10**30,
    -(10**30),
    2**1000,
]


@pytest.mark.parametrize("chunk", [INT_EDGES, [n + d for n in INT_EDGES for d in (-1, 1)]])
def test_int_text_matches_str_at_the_edges(chunk):
    assert encoded_list(chunk) == [str(n) for n in chunk]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.one_of(st.integers(), st.integers(-(2**64), 2**64), st.integers(-(2**200), 2**200)),
        min_size=1,
        max_size=50,
    )
)
def test_int_text_matches_str(items):
    assert encoded_list(items) == [str(n) for n in items]


FLOAT_EDGES = [
    0.0,
    -0.0,
    1.0,
    -1.0,
    0.1,
    1 / 3,
    1e16,
    1e15,
    9999999999999998.0,
    1e-4,
    1e-5,
    0.0001234,
    1.5e-7,
    1e22,
    1e23,
    1.7976931348623157e308,
    2.2250738585072014e-308,
    2.225073858507201e-308,
    5e-324,
    1e-323,
    123456789012345678.0,
    0.30000000000000004,
    math.inf,
    -math.inf,
    math.nan,
    -math.nan,
    1e100,
    1.234e-100,
]


def test_float_text_matches_repr_at_the_edges():
    assert encoded_list(FLOAT_EDGES) == [repr(x) for x in FLOAT_EDGES]


def _around(xs):
    """Each double with its two neighbours, both signs."""
    out = []
    for x in xs:
        for y in (math.nextafter(x, 0), x, math.nextafter(x, math.inf)):
            out += [y, -y]
    return out


# Where the shortest digits are hard to get (powers of two, whose interval below is half as
# wide; the smallest subnormals, with fewer than three digits) and where the layout switches.
@pytest.mark.parametrize(
    "values",
    [
        _around([2.0**e for e in range(-1074, 1024, 7)]),
        _around([float(f"1e{e}") for e in range(-323, 309, 3)]),
        [struct.unpack("<d", struct.pack("<Q", b))[0] for b in range(1, 40)],
        _around([1e-5, 1e-4, 1e15, 1e16, 2.0**53, 2.0**52, 2.2250738585072014e-308]),
        _around([123.0, 0.5, 99.99, 1234.5678, 9007199254740991.0, 1.7976931348623157e308]),
        # Below a power of ten the one-product step's quotient crosses from 16 to 15 digits,
        # where the longer candidate's last digit moves, and meets its ends and ties.
        [
            -math.ulp(p) * i + p
            for e in range(-300, 301, 13)
            for p in [float(f"1e{e}")]
            for i in range(64)
        ],
        [
            9.9999999999995808e-301,
            1.0000000000000741e-220,
            1.0000000000000971e-140,
            9.9999999999998925e-301,
            9.9999999999996115e-261,
            1.0000000000000112e-180,
            99999999999999792.0,
            99999999999999392.0,
        ],
        [i / 2 for i in range(-4001, 4002)],
        # Every digit count in every layout: the count stops at the last digit that is not
        # zero, with zeros before it or none.
        [
            float(f"{d[0]}.{d[1:n]}e{e}")
            for d in ("12345678912345678", "10000000000000001")
            for n in range(1, 18)
            for e in range(-7, 19)
        ],
    ],
    ids=[
        "powers-of-two",
        "powers-of-ten",
        "smallest-subnormals",
        "switches",
        "ordinary",
        "below-powers-of-ten",
        "ends-and-ties",
        "halves-and-whole-numbers",
        "digit-counts-by-layout",
    ],
)
def test_float_text_matches_repr_at_boundaries(values):
    assert encoded_list(values) == [repr(x) for x in values]


@settings(max_examples=300, deadline=None)
@given(
    st.lists(
        st.one_of(
            st.floats(), st.floats(allow_subnormal=True, min_value=-1e-300, max_value=1e-300)
        ),
        min_size=1,
        max_size=50,
    )
)
def test_float_text_matches_repr(items):
    assert encoded_list(items) == [repr(x) for x in items]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.integers(0, 2**64 - 1), min_size=1, max_size=50))
def test_float_text_matches_repr_for_any_bit_pattern(bits):
    items = [struct.unpack("<d", struct.pack("<Q", b))[0] for b in bits]
    assert encoded_list(items) == [repr(x) for x in items]
