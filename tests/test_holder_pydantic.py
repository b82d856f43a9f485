"""TablesHolder as a pydantic field type, UnifiedDataFormat loading a document as the reader
returns it, and the refusal to be pickled or copied."""

import copy
import pickle

import pytest
from pydantic import BaseModel, ValidationError

from ondrel.datastore.adapter.toml.decoder import decode_unified_data, read_unified_data
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
from ondrel.datastore.tables import grimsel
from ondrel.datastore.tables.data import TableData
from ondrel.datastore.tables.grimsel import TablesHolder
from ondrel.datastore.unified_data import UnifiedDataFormat

USERS = {"columns": [{"name": "id", "type": "int", "primary_key": True}], "records": [{"id": 1}]}


class Model(BaseModel):
    tables: TablesHolder


class SubHolder(TablesHolder):
    calls: list = []

    @classmethod
    def _validate(cls, value):
        cls.calls.append(("validate", value))
        return super()._validate(value)

    def _serialize(self):
        SubHolder.calls.append(("serialize", self))
        return {"sub": True}


class SubModel(BaseModel):
    tables: SubHolder


def test_validates_dict_into_table_data():
    m = Model(tables={"users": USERS})
    assert type(m.tables) is TablesHolder
    assert isinstance(m.tables["users"], TableData) and m.tables["users"].records == [{"id": 1}]


def test_validates_existing_holder_into_new_equal_holder():
    given = TablesHolder({"users": USERS})
    m = Model(tables=given)
    assert m.tables is not given and m.tables == given
    assert m.tables["users"] is given["users"]


@pytest.mark.parametrize("junk", [42, None, [1, 2], "text"])
def test_junk_gives_empty_holder(junk):
    assert len(Model(tables=junk).tables) == 0


def _skip_unless_table_data_holds_arrow():
    pytest.importorskip("pyarrow", reason="records='arrow' is read for pyarrow")
    doc = decode_unified_data("[tables.t]\nrecords = [{a = 1}]", records="arrow")
    try:
        TableData(records=doc["tables"]["t"]["records"])
    except ValidationError:
        pytest.skip("TableData does not hold Arrow records yet: records='arrow' loads once it does")


# How the reader's document is changed before loading, and the error expected (None: loads).
LOAD_SHAPES = {
    "dicts": ({}, None),
    "arrow": ({"records": "arrow"}, None),
    "conflicting-header": (
        {"top": {"schema_version": "3"}},
        r"header\.schema_version '2' conflicts",
    ),
    "header-lists-other-tables": (
        {"listed": ["users", "ghost"]},
        r"listed but absent: \['ghost'\]; present but not listed: \['tags'\]",
    ),
}


@pytest.mark.parametrize(("change", "error"), LOAD_SHAPES.values(), ids=LOAD_SHAPES.keys())
def test_model_loads_the_document_shape(tmp_path, change, error):
    """The header supplies version and schema_version (not the defaults) and must agree with
    the input's own fields and tables; a clean document loads in one call and encodes back to
    the file's text."""
    tables = TablesHolder({"users": USERS, "tags": {"records": [{"t": 'a"b'}]}})
    model = UnifiedDataFormat(version="1.1", schema_version="2", tables=tables)
    path = tmp_path / "db.toml"
    write_unified_data(model, str(path), escape_strings=True)
    records = change.get("records", "dicts")
    if records == "arrow":
        _skip_unless_table_data_holds_arrow()
    doc = read_unified_data(path, records=records)
    doc.update(change.get("top", {}))
    if "listed" in change:
        doc["header"]["tables"] = change["listed"]
    if error:
        with pytest.raises(ValidationError, match=error):
            UnifiedDataFormat.model_validate(doc)
        return
    loaded = UnifiedDataFormat.model_validate(doc)
    assert (loaded.version, loaded.schema_version, loaded.tables.keys()) == (
        "1.1",
        "2",
        ["users", "tags"],
    )
    if records == "dicts":
        assert loaded == model
        assert encode_unified_data(loaded, escape_strings=True) == path.read_text(encoding="utf-8")


def test_invalid_table_fails_validation_and_leaves_input_alone():
    data = {"users": {"columns": "bad"}}
    with pytest.raises(ValidationError):
        Model(tables=data)
    assert data == {"users": {"columns": "bad"}}


def test_dump_round_trip():
    m = UnifiedDataFormat(tables={"users": USERS, "empty": {}})
    dumped = m.model_dump()
    assert dumped["tables"]["users"]["records"] == [{"id": 1}]
    assert dumped["tables"]["empty"] == {"columns": [], "records": []}
    again = UnifiedDataFormat.model_validate_json(m.model_dump_json())
    assert again.tables == m.tables and again == m


def test_serialize_returns_the_root_itself():
    h = TablesHolder({"a": 1})
    assert h._serialize() is h.as_dict()


def test_subclass_field_uses_its_own_hooks():
    SubHolder.calls = []
    m = SubModel(tables={"users": USERS})
    assert type(m.tables) is SubHolder and isinstance(m.tables["users"], TableData)
    assert m.model_dump() == {"tables": {"sub": True}}
    assert [c[0] for c in SubHolder.calls] == ["validate", "serialize"]
    assert SubHolder.calls[1][1] is m.tables  # the holder is the only argument


def test_validate_uses_replace_dict_override():
    class Sub(TablesHolder):
        def replace_dict(self, other):
            self.set("seen", other)

    h = Sub._validate({"a": 1})
    assert type(h) is Sub and TablesHolder.as_dict(h) == {"seen": {"a": 1}}


def test_schema_built_from_core_schema_functions(monkeypatch):
    calls = []

    class FakeCoreSchema:
        @staticmethod
        def no_info_plain_validator_function(fn, **kw):
            calls.append(("validator", fn, kw))
            return "schema"

        @staticmethod
        def plain_serializer_function_ser_schema(fn, **kw):
            calls.append(("serializer", fn, kw))
            return "ser"

    monkeypatch.setattr(grimsel, "core_schema", FakeCoreSchema)
    assert TablesHolder.__get_pydantic_core_schema__(None, None) == "schema"
    assert SubHolder.__get_pydantic_core_schema__(source_type=1, handler=2) == "schema"
    assert calls[0] == ("serializer", TablesHolder._serialize, {"info_arg": False})
    assert calls[1] == ("validator", TablesHolder._validate, {"serialization": "ser"})
    assert calls[3][1] == SubHolder._validate and calls[2][1] is SubHolder._serialize


def test_real_schema_shape():
    schema = TablesHolder.__get_pydantic_core_schema__(None, None)
    assert schema["type"] == "function-plain"
    assert schema["serialization"]["type"] == "function-plain"
    assert schema["serialization"]["info_arg"] is False


@pytest.mark.parametrize("mode", ["validation", "serialization"])
def test_json_schema_validates_the_json_dump(mode):
    """The holder's JSON schema is an object of TableData schemas: a populated model's JSON dump
    passes, a table of the wrong shape does not."""
    jsonschema = pytest.importorskip("jsonschema")
    users = TableData(
        columns=[{"name": "id", "type": "INTEGER", "primary_key": True, "default": [1]}],
        records=[{"id": 1, "nick": "ada", "tags": ["a", {"b": None}]}, {"id": 2}],
    )
    model = UnifiedDataFormat(schema_version="2", tables=TablesHolder({"users": users, "e": {}}))
    schema = UnifiedDataFormat.model_json_schema(mode=mode)
    jsonschema.Draft202012Validator.check_schema(schema)
    assert schema["properties"]["tables"]["additionalProperties"] == {"$ref": "#/$defs/TableData"}
    jsonschema.validate(model.model_dump(mode="json"), schema)
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.validate({"tables": {"t": {"columns": [{"name": "id"}]}}}, schema)


def test_missing_core_schema_is_name_error(monkeypatch):
    monkeypatch.delattr(grimsel, "core_schema")
    with pytest.raises(NameError, match="^name 'core_schema' is not defined$"):
        TablesHolder.__get_pydantic_core_schema__(None, None)


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: TablesHolder.__get_pydantic_core_schema__(None),
            "__get_pydantic_core_schema__() takes exactly 2 positional arguments (1 given)",
        ),
        (
            lambda: TablesHolder.__get_pydantic_core_schema__(None, handler=None, source=1),
            "__get_pydantic_core_schema__() got an unexpected keyword argument 'source'",
        ),
        (
            lambda: TablesHolder._validate(),
            "_validate() takes exactly 1 positional argument (0 given)",
        ),
        (
            lambda: TablesHolder()._serialize(1),
            "_serialize() takes exactly 0 positional arguments (1 given)",
        ),
    ],
)
def test_hook_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_serialize_of_non_holder_field_fails_cleanly():
    m = Model.model_construct(tables={"not": "a holder"})
    with pytest.raises(Exception, match="incorrect type"):
        m.model_dump()


# ---- pickling refusal ----

REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


@pytest.mark.parametrize(
    "op",
    [
        *(lambda h, p=p: pickle.dumps(h, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)),
        copy.copy,
        copy.deepcopy,
        lambda h: h.__reduce__(),
        lambda h: h.__reduce_ex__(2),
        lambda h: h.__setstate__({}),
    ],
)
@pytest.mark.parametrize("contents", [None, {"a": 1}])
def test_pickling_and_copying_refused(op, contents):
    h = TablesHolder(contents)
    with pytest.raises(TypeError) as info:
        op(h)
    assert info.value.args == (REFUSAL,)
    assert h.as_dict() == (contents or {})


def test_reduce_hooks_on_the_type():
    d = TablesHolder.__dict__
    assert "__reduce__" in d and "__setstate__" in d
    assert TablesHolder.__reduce__ is not object.__reduce__
    for name in ("__reduce_ex__", "__getstate__", "__copy__", "__deepcopy__"):
        assert name not in d
    with pytest.raises(
        TypeError, match=r"^__setstate__\(\) takes exactly 1 positional argument \(0 given\)$"
    ):
        TablesHolder().__setstate__()
    with pytest.raises(
        TypeError, match=r"^__reduce__\(\) takes exactly 0 positional arguments \(1 given\)$"
    ):
        TablesHolder().__reduce__(1)


class Picklable(TablesHolder):
    def __reduce__(self):
        return (Picklable, (TablesHolder.as_dict(self),))


def test_subclass_with_own_reduce_pickles():
    h = Picklable({"a": 1, "b": [2]})
    back = pickle.loads(pickle.dumps(h))
    assert type(back) is Picklable and back == h
    assert copy.deepcopy(h) == h
