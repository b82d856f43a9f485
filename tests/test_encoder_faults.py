"""Faults the encoder must survive: hostile models, bad shapes, odd keys, memory limits."""

import tomllib

import pytest

import _isolated
from _toml_models import Model, Table, col, records_model
from ondrel.datastore.adapter.toml.pentock import encode_unified_data
from ondrel.datastore.tables.grimsel import TablesHolder

PRELUDE = """
from _toml_models import Model, Table, col, records_model
from ondrel.datastore.adapter.toml.pentock import encode_unified_data
"""


def run_ok(code):
    return _isolated.run_ok(code, prelude=PRELUDE, marker=None)


# ---- the snapshot keeps what it points at alive --------------------------------------------


def test_snapshot_survives_tuple_values_that_empties_the_holder():
    out = run_ok("""
        class Clearing:
            def __init__(self, n):
                self.n = n
            def tuple_values(self):
                model.tables.clear()  # drops the only references to names and tables
                cols = tuple(col("c" + str(i) * 3, "T" + str(i) * 3) for i in range(3))
                recs = tuple({"k" + str(i) * 2: "v" + str(i) * 40} for i in range(50))
                return (cols, recs)
        model = Model({"name" + str(i) * 5: Clearing(i) for i in range(4)})
        import tomllib
        doc = tomllib.loads(encode_unified_data(model))
        print(sorted(doc["tables"]), len(doc["tables"]["name00000"]["records"]))
    """)
    assert out.strip() == "['name00000', 'name11111', 'name22222', 'name33333'] 50"


def test_tables_added_while_dumping_are_not_walked():
    out = run_ok("""
        class Adding:
            def tuple_values(self):
                for i in range(50):
                    model.tables.set("extra" + str(i), Table())
                return ((), ())
        model = Model({"a": Adding(), "b": Table()})
        import tomllib
        print(tomllib.loads(encode_unified_data(model))["header"]["tables"])
    """)
    assert out.strip() == "['a', 'b']"


def test_flag_truth_test_that_mutates_the_holder():
    out = run_ok("""
        class Flag:
            def __bool__(self):
                model.tables.clear()
                return True
        model = Model({"t" + "x" * 30: Table([col("id", unique=Flag())], [{"a": 1}])})
        print(encode_unified_data(model).count("unique = true"))
    """)
    assert out.strip() == "1"


def test_str_that_mutates_its_own_containers():
    out = run_ok("""
        class Shrink:
            def __init__(self, target):
                self.target = target
            def __str__(self):
                self.target.clear()
                return "s"
        items = ["a" * 50]
        items.append(Shrink(items))
        items.extend(["b" * 50] * 5)
        rec = {}
        rec["x"] = Shrink(rec)
        rec.update({"k%d" % i: "v" * 50 for i in range(20)})
        print(encode_unified_data(records_model([{"l": items}, rec])))
    """)
    assert '{ l = [ "' + "a" * 50 + '", "s" ] },' in out


# ---- shapes are checked ---------------------------------------------------------------------


def holder():
    return TablesHolder()


@pytest.mark.parametrize(
    ("output", "exc", "message"),
    [
        (None, TypeError, "Expected tuple, got NoneType"),
        ((), ValueError, "tuple_output must hold .* got 0 item"),
        (("1", "2"), ValueError, "got 2 item"),
        (("1", "2", {}), TypeError, r"tuple_output\[2\] must be a TablesHolder, got dict"),
    ],
)
def test_output_tuple_shape(output, exc, message):
    with pytest.raises(exc, match=message):
        encode_unified_data(Model(output=output))


@pytest.mark.parametrize(
    ("values", "exc", "message"),
    [
        (
            [(), ()],
            TypeError,
            "tuple_values\\(\\) of table 't' must return a \\(columns, records\\) tuple, got list",
        ),
        (((),), ValueError, "got 1 item"),
        (([], ()), TypeError, "columns of table 't' must be a tuple, got list"),
        (((), [{}]), TypeError, "records of table 't' must be a tuple, got list"),
        (
            ((col("a"), ["x"] * 11), ()),
            TypeError,
            "column 1 of table 't' must be a tuple, got list",
        ),
        (
            ((col("a")[:10],), ()),
            ValueError,
            "column 0 of table 't' has 10 item\\(s\\), expected 11",
        ),
    ],
)
def test_tuple_values_shape(values, exc, message):
    class Fixed:
        def tuple_values(self):
            return values

    with pytest.raises(exc, match=message):
        encode_unified_data(Model({"t": Fixed()}))


def test_table_without_tuple_values():
    with pytest.raises(AttributeError):
        encode_unified_data(Model({"t": 1}))


@pytest.mark.parametrize("bad", [5, None, [("a", 1)], "text"])
def test_non_dict_record_names_table_and_index(bad):
    with pytest.raises(
        TypeError, match=f"record 2 of table 'users' must be a dict, not {type(bad).__name__}"
    ):
        encode_unified_data(records_model([{"a": 1}, {"a": 2}, bad], name="users"))


def test_longer_column_tuples_are_accepted():
    model = Model({"t": Table([(*col("id"), "extra")])})
    assert '{ name = "id", type = "TEXT" }' in encode_unified_data(model)


# ---- bounded recursion ----------------------------------------------------------------------


def self_list():
    x = [1]
    x.append(x)
    return x


def self_dict():
    d = {"a": 1}
    d["d"] = d
    return d


def deep(n):
    v = 0
    for _ in range(n):
        v = [v]
    return v


@pytest.mark.parametrize("make", [self_list, self_dict, lambda: deep(100_000)])
def test_recursion_is_bounded(make):
    with pytest.raises(RecursionError):
        encode_unified_data(records_model([{"v": make()}]))


def test_self_referencing_default_is_bounded():
    with pytest.raises(RecursionError):
        encode_unified_data(Model({"t": Table([col("c", default=self_list())])}))


# ---- keys that are not bare are quoted -----------------------------------------------------


@pytest.mark.parametrize("key", ["a.b", "my key", "", "é", "a=b", 'q"k', "tab\tkey", "[x]"])
@pytest.mark.parametrize("escape", [False, True])
def test_non_bare_keys_read_back(key, escape):
    model = Model({key: Table([col("id")], [{key: 1, "plain-key_1": 2}])})
    if not escape and '"' in key:
        # Raw, the quote would end the key: refused at the first place it is quoted.
        with pytest.raises(ValueError, match=r"^header\.tables\[0\]: .*escape_strings=True"):
            encode_unified_data(model, escape)
        return
    doc = tomllib.loads(encode_unified_data(model, escape))
    assert doc["header"]["tables"] == [key]
    assert doc["tables"][key]["records"] == [{key: 1, "plain-key_1": 2}]


@pytest.mark.parametrize(
    ("key", "written"),
    [("abc-_09AZ", "abc-_09AZ"), ("a.b", '"a.b"'), ("my key", '"my key"'), ("", '""')],
)
def test_key_forms(key, written):
    out = encode_unified_data(Model({key: Table([], [{key: 1}])}))
    assert f"[tables.{written}]\n" in out
    assert f"    {{ {written} = 1 }},\n" in out


# ---- escaping reaches every quoted string --------------------------------------------------


def test_escape_covers_header_and_column_strings():
    name = 'tbl"\n'
    model = Model(
        {name: Table([col('n"1', "T\\EXT", foreign_key="o\n.id", comment="c\x7f")], [])},
        version='1"0',
        schema_version="2\x01",
    )
    out = encode_unified_data(model, True)
    assert 'version = "1\\"0"' in out and 'schema_version = "2\\u0001"' in out
    assert 'comment = "c\\u007F"' in out
    doc = tomllib.loads(out)
    assert doc["header"] == {"version": '1"0', "schema_version": "2\x01", "tables": [name]}
    assert doc["tables"][name]["columns"] == [
        {"name": 'n"1', "type": "T\\EXT", "foreign_key": "o\n.id", "comment": "c\x7f"}
    ]


def test_raw_mode_leaves_header_strings_alone():
    out = encode_unified_data(Model(version='1\\"0', schema_version="2\t"))
    assert 'version = "1\\"0"\nschema_version = "2\t"\n' in out


# ---- memory limits ---------------------------------------------------------------------------


@pytest.mark.no_sanitizer
def test_estimate_that_cannot_be_allocated_falls_back():
    # 10**6 records ask for a 2 GB starting buffer; the address space allows far less.
    out = run_ok("""
        import resource
        rec = {"a": 1}
        model = Model({"t": Table([], (rec,) * 10**6)})
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        s = encode_unified_data(model)
        print(s.count("{ a = 1 },"))
    """)
    assert out.strip() == "1000000"


# Written in place while ASCII, else decoded into a str as wide as its text; the next encode
# on the thread starts from what the failed one left.
@pytest.mark.no_sanitizer
@pytest.mark.parametrize("text", ["x", "é", "\U0001f600"])
def test_document_too_large_for_memory_is_memory_error(text):
    out = run_ok(f"""
        import resource
        big = {text!r} * (1 << 20)
        model = Model({{"t": Table([], ({{"a": big}},) * 4096)}})  # a 4 to 16 GB document
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.RLIM_INFINITY))
        try:
            encode_unified_data(model)
        except MemoryError:
            print("MemoryError")
        print(encode_unified_data(records_model([{{"a": {text!r} * 100_000}}])).count({text!r}))
    """)
    assert out.split() == ["MemoryError", "100000"]
