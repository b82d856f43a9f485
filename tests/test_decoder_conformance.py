"""Both lists of the public conformance corpus: the TOML 1.1 cases in the default mode, the
TOML 1.0 cases with toml_version="1.0.0". Every valid file decodes to its expected value
(compared by value and by TOML type), every invalid file is rejected."""

import datetime
import json
import os
import tomllib
from pathlib import Path

import pytest
import tomli

from _toml_layout import same
from ondrel.datastore.adapter.toml.decoder import decode_unified_data, read_unified_data


def _corpus() -> Path | None:
    env = os.environ.get("ONDREL_TOML_TEST")
    for candidate in (env, Path(__file__).resolve().parents[2] / "shared" / "toml-test"):
        if candidate and (Path(candidate) / "valid").is_dir():
            return Path(candidate)
    return None


CORPUS = _corpus()
SKIP = "toml-test corpus not found: set ONDREL_TOML_TEST or provide ../shared/toml-test"


def _cases(kind: str) -> list:
    """(toml_version, path) for every file of `kind` that each version's list names."""
    if CORPUS is None:
        return [pytest.param("1.1.0", None, marks=pytest.mark.skip(reason=SKIP))]
    cases = []
    for version in ("1.1.0", "1.0.0"):
        names = (CORPUS / f"files-toml-{version}").read_text(encoding="utf-8").split()
        for name in sorted(n for n in names if n.startswith(kind + "/") and n.endswith(".toml")):
            cases.append(pytest.param(version, CORPUS / name, id=f"{version}:{name}"))
    return cases


# The reference reader of each mode, for document order.
_ORACLE = {"1.1.0": tomli, "1.0.0": tomllib}


def _datetime(text: str):
    # Fractions past microseconds are cut, as the reader does.
    head, dot, rest = text.partition(".")
    if dot:
        digits = len(rest) - len(rest.lstrip("0123456789"))
        rest = rest[: min(digits, 6)] + rest[digits:]
        text = head + "." + rest
    return datetime.datetime.fromisoformat(text.replace("z", "Z"))


_UNTAG = {
    "string": str,
    "integer": int,
    "float": float,
    "bool": lambda v: v == "true",
    "datetime": _datetime,
    "datetime-local": _datetime,
    "date-local": datetime.date.fromisoformat,
    "time-local": lambda v: _datetime("2000-01-01T" + v).time(),
}


def untag(tagged):
    if isinstance(tagged, list):
        return [untag(v) for v in tagged]
    if set(tagged) == {"type", "value"} and isinstance(tagged["type"], str):
        return _UNTAG[tagged["type"]](tagged["value"])
    return {k: untag(v) for k, v in tagged.items()}


@pytest.mark.parametrize(("version", "path"), _cases("valid"))
def test_valid_file_decodes_to_expected(version, path):
    data = path.read_bytes()
    expected = untag(json.loads(path.with_suffix(".json").read_text(encoding="utf-8")))
    for got in (
        decode_unified_data(data, toml_version=version),
        decode_unified_data(data.decode(), toml_version=version),
        read_unified_data(path, toml_version=version),
    ):
        assert same(_keys_sorted(got), _keys_sorted(expected)), got


def _keys_sorted(v):
    # The expected JSON does not keep document order; order is checked against tomllib below.
    if isinstance(v, dict):
        return {k: _keys_sorted(v[k]) for k in sorted(v)}
    if isinstance(v, list):
        return [_keys_sorted(x) for x in v]
    return v


@pytest.mark.parametrize(("version", "path"), _cases("valid"))
def test_valid_file_matches_reference_in_order(version, path):
    text = path.read_bytes().decode()
    oracle = _ORACLE[version]
    try:
        expected = oracle.loads(text)
    except oracle.TOMLDecodeError:
        pytest.skip(f"{oracle.__name__} refuses this file (a byte-order mark)")
    assert same(decode_unified_data(text, toml_version=version), expected)


@pytest.mark.parametrize(("version", "path"), _cases("invalid"))
def test_invalid_file_is_rejected(version, path):
    data = path.read_bytes()
    with pytest.raises((tomllib.TOMLDecodeError, UnicodeDecodeError)):
        decode_unified_data(data, toml_version=version)
    try:
        text = data.decode()
    except UnicodeDecodeError:
        return
    with pytest.raises(tomllib.TOMLDecodeError, match=r"\(at line \d+, column \d+\)$"):
        decode_unified_data(text, toml_version=version)
