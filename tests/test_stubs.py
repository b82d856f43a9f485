"""The .pyi stubs: strict type checking of user code, and agreement with the built modules."""

from __future__ import annotations

import ast
import importlib
import re
import subprocess
import sys
from functools import cache
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[1]
SRC = REPO / "src"
TESTS = Path(__file__).resolve().parent
EXAMPLE = TESTS / "typing_example.py"
MISUSE = TESTS / "typing_misuse.py"

STUBS = {
    "ondrel.datastore.tables.grimsel": SRC / "ondrel/datastore/tables/grimsel.pyi",
    "ondrel.datastore.adapter.toml.pentock": SRC / "ondrel/datastore/adapter/toml/pentock.pyi",
    "ondrel.datastore.adapter.toml.decoder": SRC / "ondrel/datastore/adapter/toml/decoder.pyi",
    "ondrel.datastore.c_unified_data": SRC / "ondrel/datastore/c_unified_data.pyi",
}
# Plain-Python modules the example imports; they must pass --strict as they are.
PLAIN_FILES = [
    SRC / "ondrel/datastore/tables/data.py",
    SRC / "ondrel/datastore/unified_data.py",
    SRC / "ondrel/datastore/store.py",
    SRC / "ondrel/datastore/adapter/toml/_save_errors.py",
    SRC / "slumbrel/__init__.py",
    SRC / "glacine/__init__.py",
    SRC / "glacine/frozen.py",
]

# Members every class dict carries, and ordering slots that only return NotImplemented:
# a stub must not promise `<` on holders.
CLASS_DICT_NOISE = {"__doc__", "__module__", "__new__", "__lt__", "__le__", "__gt__", "__ge__"}
PYDANTIC_HOOKS = {"_validate", "_serialize"}

MYPY_LINE = re.compile(r"^(?P<path>[^:]+\.pyi?):(?P<line>\d+): error: (?P<msg>.*)$")


@cache
def mypy_errors() -> dict[str, list[tuple[int, str]]]:
    """One strict mypy run over the stubs, the plain packages, the example and the misuse file."""
    cmd = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--hide-error-context"]
    files = [*STUBS.values(), *PLAIN_FILES, EXAMPLE, MISUSE]
    cmd += [path.relative_to(REPO).as_posix() for path in files]
    proc = subprocess.run(cmd, cwd=REPO, capture_output=True, text=True)
    errors: dict[str, list[tuple[int, str]]] = {}
    for line in proc.stdout.splitlines():
        if m := MYPY_LINE.match(line):
            # mypy ran in REPO: its paths are relative to it, not to our directory.
            name = (REPO / m["path"]).resolve().relative_to(REPO).as_posix()
            errors.setdefault(name, []).append((int(m["line"]), m["msg"]))
    if proc.returncode not in (0, 1) or (proc.returncode == 1 and not errors):
        pytest.fail(f"mypy did not run cleanly ({proc.returncode}):\n{proc.stdout}{proc.stderr}")
    return errors


@pytest.mark.no_sanitizer
def test_strict_mypy_accepts_stubs_stand_ins_and_example() -> None:
    misuse = MISUSE.relative_to(REPO).as_posix()
    unexpected = {path: errs for path, errs in mypy_errors().items() if path != misuse}
    assert unexpected == {}


@pytest.mark.no_sanitizer
def test_strict_mypy_rejects_each_marked_misuse() -> None:
    lines = MISUSE.read_text().splitlines()
    expected = {n for n, text in enumerate(lines, 1) if text.rstrip().endswith("# error")}
    reported = {n for n, _ in mypy_errors().get(MISUSE.relative_to(REPO).as_posix(), [])}
    assert expected, "the misuse file marks no line"
    assert reported == expected


def test_example_runs() -> None:
    proc = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


# --- stubs against the built modules -------------------------------------------------------


def _declared(body: list[ast.stmt]) -> dict[str, ast.stmt]:
    """Names a stub body declares or explicitly re-exports (``import x as x``)."""
    names: dict[str, ast.stmt] = {}
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = node
        elif isinstance(node, ast.ImportFrom):
            for alias in node.names:
                if alias.asname is not None and alias.asname == alias.name:
                    names[alias.name] = node
    return names


@cache
def stub_names(module: str) -> dict[str, ast.stmt]:
    return _declared(ast.parse(STUBS[module].read_text()).body)


def stub_class_names(module: str, cls: str) -> dict[str, ast.stmt]:
    node = stub_names(module)[cls]
    assert isinstance(node, ast.ClassDef)
    return _declared(node.body)


def runtime_module_names(module: str) -> set[str]:
    namespace = vars(importlib.import_module(module))
    return {n for n in namespace if not n.startswith("_")} | ({"__capi__"} & namespace.keys())


@pytest.mark.parametrize("module", STUBS)
def test_module_names_match_stub(module: str) -> None:
    runtime = runtime_module_names(module)
    # Stub-only helpers (protocols marked @type_check_only) are private.
    stub = {n for n in stub_names(module) if not n.startswith("_") or n == "__capi__"}
    assert sorted(runtime - stub) == [], "public names missing from the stub"
    assert sorted(stub - runtime) == [], "stub declares names the module lacks"


def test_tables_holder_members_match_stub() -> None:
    from ondrel.datastore.tables.grimsel import TablesHolder

    runtime = {
        n
        for n in vars(TablesHolder)
        if n not in CLASS_DICT_NOISE and (not n.startswith("_") or n.startswith("__"))
    } | (PYDANTIC_HOOKS & vars(TablesHolder).keys())
    stub = set(stub_class_names("ondrel.datastore.tables.grimsel", "TablesHolder"))
    assert sorted(runtime - stub) == [], "members missing from the stub"
    assert sorted(stub - runtime) == [], "stub declares members the class does not define"


def _stub_functions_with_defaults() -> list[object]:
    """Every stubbed function with default values, except the constructor (a slot wrapper)."""
    found = []
    for module in STUBS:
        for name, node in stub_names(module).items():
            members = _declared(node.body) if isinstance(node, ast.ClassDef) else {"": node}
            for member, fnode in members.items():
                if isinstance(fnode, ast.FunctionDef) and fnode.args.defaults:
                    if member.startswith("__"):
                        continue
                    qualname = f"{name}.{member}" if member else name
                    found.append(pytest.param(module, qualname, fnode, id=qualname))
    return found


@pytest.mark.parametrize(("module", "qualname", "node"), _stub_functions_with_defaults())
def test_stub_defaults_match_runtime(module: str, qualname: str, node: ast.FunctionDef) -> None:
    obj: object = importlib.import_module(module)
    for part in qualname.split("."):
        obj = getattr(obj, part)
    stub_defaults = tuple(ast.literal_eval(d) for d in node.args.defaults)
    assert getattr(obj, "__defaults__", None) == stub_defaults
