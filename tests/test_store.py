"""No lost updates: open_store holds one lock from the load to the save, between processes and
threads; plain saves wait for it; a killed holder frees it; bad use changes nothing."""

from __future__ import annotations

import datetime
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from ondrel.datastore.adapter.toml.decoder import TOMLDecodeError, read_unified_data
from ondrel.datastore.adapter.toml.pentock import write_unified_data
from ondrel.datastore.store import open_store
from ondrel.datastore.tables.data import TableData
from ondrel.datastore.unified_data import UnifiedDataFormat

COUNTER = """
import sys, threading
from ondrel.datastore.store import open_store
from ondrel.datastore.tables.data import TableData
path, threads, increments = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def work():
    for _ in range(increments):
        with open_store(path) as model:
            if "counter" not in model.tables:
                model.tables["counter"] = TableData(records=[{"n": 0}])
            model.tables["counter"].records[0]["n"] += 1
ts = [threading.Thread(target=work) for _ in range(threads)]
for t in ts: t.start()
for t in ts: t.join()
"""


def count(path) -> int:
    return read_unified_data(str(path))["tables"]["counter"]["records"][0]["n"]


@pytest.mark.parametrize(("processes", "threads", "increments"), [(4, 1, 40), (2, 3, 15)])
def test_concurrent_load_modify_save_loses_nothing(tmp_path, processes, threads, increments):
    path = tmp_path / "db.toml"
    procs = [
        subprocess.Popen([sys.executable, "-c", COUNTER, str(path), str(threads), str(increments)])
        for _ in range(processes)
    ]
    assert [p.wait(timeout=300) for p in procs] == [0] * processes
    assert count(path) == processes * threads * increments
    assert os.listdir(tmp_path) == ["db.toml"]


HOLDER = """
import sys, time
from ondrel.datastore.store import open_store
from ondrel.datastore.tables.data import TableData
with open_store(sys.argv[1]) as model:
    model.tables["t"] = TableData(records=[{"new": True}])
    print("locked", flush=True)
    time.sleep(float(sys.argv[2]))
"""


def holder(path, seconds: float) -> subprocess.Popen[str]:
    proc = subprocess.Popen(
        [sys.executable, "-c", HOLDER, str(path), str(seconds)], stdout=subprocess.PIPE, text=True
    )
    assert proc.stdout.readline() == "locked\n"
    return proc


def old_store(path) -> bytes:
    write_unified_data(UnifiedDataFormat(tables={"t": {"records": [{"old": True}]}}), str(path))
    return Path(path).read_bytes()


def test_a_killed_holder_frees_the_lock_at_once(tmp_path):
    path = tmp_path / "db.toml"
    old = old_store(path)
    proc = holder(path, 60)
    with pytest.raises(TimeoutError) as info, open_store(path, timeout=0.2):
        pass
    assert info.value.filename == str(path) and "0.2 s" in str(info.value)
    proc.send_signal(signal.SIGKILL)
    proc.communicate(timeout=60)
    start = time.monotonic()
    with open_store(path, timeout=1) as model:
        assert model.tables.keys() == ["t"]
    assert time.monotonic() - start < 1
    assert path.read_bytes() == old  # the old document, saved back unchanged


def test_a_plain_save_during_a_handle_waits_then_wins(tmp_path):
    path = tmp_path / "db.toml"
    old_store(path)
    plain = UnifiedDataFormat(tables={"t": {"records": [{"plain": True}]}})
    proc = holder(path, 0.5)
    start = time.monotonic()
    write_unified_data(plain, str(path))
    assert time.monotonic() - start > 0.2
    proc.communicate(timeout=60)
    assert proc.returncode == 0
    assert read_unified_data(str(path))["tables"]["t"]["records"] == [{"plain": True}]
    # The same between threads of one process.
    saved = threading.Event()
    with open_store(path) as model:
        t = threading.Thread(target=lambda: (write_unified_data(plain, str(path)), saved.set()))
        t.start()
        assert not saved.wait(0.3)
        model.tables["t"] = TableData(records=[{"handle": True}])
    t.join(60)
    assert read_unified_data(str(path))["tables"]["t"]["records"] == [{"plain": True}]


def test_load_and_save_change_nothing_the_user_did_not(tmp_path):
    path = tmp_path / "db.toml"
    text = (
        '[header]\nversion = "1.0"\nschema_version = "1"\ntables = ["t"]\n\n'
        "[tables.t]\ncolumns = [\n]\nrecords = [\n"
        '    { born = 1990-05-01, at = 2024-01-02T03:04:05Z, quote = "say \\"hi\\"" },\n]\n'
    )
    path.write_text(text)
    with open_store(path) as model:
        assert model.tables["t"].records[0]["born"] == datetime.date(1990, 5, 1)
    assert path.read_text() == text


def test_a_missing_file_starts_empty_and_a_failed_block_leaves_nothing(tmp_path):
    path = tmp_path / "db.toml"
    with pytest.raises(KeyError), open_store(path) as model:
        assert model.tables.keys() == []
        raise KeyError("x")
    assert os.listdir(tmp_path) == []
    with open_store(path) as model:
        model.tables["t"] = TableData()
    assert read_unified_data(str(path))["header"]["tables"] == ["t"]


def bad_nested(path):
    with open_store(path), open_store(path):
        pass


def bad_reused(path):
    handle = open_store(path)
    with handle:
        pass
    with handle:
        pass


def bad_raise_inside(path):
    with open_store(path) as model:
        model.tables.clear()
        raise LookupError("the block failed")


@pytest.mark.parametrize(
    ("content", "use", "error", "match"),
    [
        (None, bad_nested, RuntimeError, "already open in a store handle of this thread"),
        (None, bad_reused, RuntimeError, "used already"),
        (None, bad_raise_inside, LookupError, "the block failed"),
        ("dir", bad_nested, IsADirectoryError, "this is a directory"),
        (b"[tables.t\n", bad_nested, TOMLDecodeError, None),
        (b'[project]\nname = "x"\n', bad_nested, ValueError, r"not a store: .*\['project'\]"),
    ],
    ids=["nested", "reused", "block_raises", "directory", "not_toml", "not_a_store"],
)
def test_bad_use_raises_and_changes_nothing(tmp_path, content, use, error, match):
    path = tmp_path / "db.toml"
    if content == "dir":
        path.mkdir()
    elif content is not None:
        path.write_bytes(content)
    else:
        old_store(path)
    before = path.read_bytes() if path.is_file() else None
    with pytest.raises(error, match=match):
        use(path)
    assert (path.read_bytes() if path.is_file() else None) == before
    assert os.listdir(tmp_path) == ["db.toml"]


def test_a_save_inside_the_callers_own_flock_does_not_wait_for_itself(tmp_path):
    import fcntl

    path = tmp_path / "db.toml"
    old_store(path)
    plain = UnifiedDataFormat(tables={"t": {"records": [{"plain": True}]}})
    with open(path) as f:
        fcntl.flock(f, fcntl.LOCK_EX)  # what users wrapped their saves in before open_store
        write_unified_data(plain, str(path))
    assert read_unified_data(str(path))["tables"]["t"]["records"] == [{"plain": True}]


def test_readme_example_runs(tmp_path, monkeypatch):
    text = (Path(__file__).resolve().parent.parent / "README.md").read_text(encoding="utf-8")
    section = text.split("\n## Many writers: the store handle\n", 1)[1].split("\n## ", 1)[0]
    code = section.split("```python\n", 1)[1].split("```", 1)[0]
    monkeypatch.chdir(tmp_path)
    for _ in range(2):
        exec(compile(code, "README.md", "exec"), {})
    assert read_unified_data("db.toml")["tables"]["users"]["records"] == [{"id": 3}, {"id": 3}]
