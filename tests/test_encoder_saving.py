"""Saving never loses the store: a save that fails, is killed or races another leaves the old
document or the new one, whole; links, permissions and special files are honoured; durable
saves sync in order; refusals name where they were found."""

from __future__ import annotations

import os
import random
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import pytest

import _isolated
from _toml_models import Model, Table, col, records_model
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data

# The documents every saver writes, the same in the test and in its children.
DOCS = """
from _toml_models import records_model
from ondrel.datastore.adapter.toml.pentock import encode_unified_data, write_unified_data
def store(n, tag):
    return records_model([{"i": i, "tag": tag, "text": "x" * 40} for i in range(n)])
OLD, A, B = store(10, "old"), store(20_000, "a"), store(20_000, "b")
C = store(3000, "c")
"""
ns: dict = {}
exec(DOCS, ns)
OLD, A, B, C = (encode_unified_data(ns[k]).encode() for k in ("OLD", "A", "B", "C"))


def saver(code: str) -> subprocess.Popen[str]:
    """One saver in its own interpreter, with the documents above, reporting on stdout."""
    source = "\n".join(
        [f"import sys; sys.path.insert(0, {str(_isolated.TESTS_DIR)!r})", DOCS, code]
    )
    return subprocess.Popen(
        [sys.executable, "-c", source], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )


def finished(proc: subprocess.Popen[str]) -> str:
    out, err = proc.communicate(timeout=120)
    assert proc.returncode == 0, out[-2000:] + err[-3000:]
    return out


def leftovers(directory) -> list[str]:
    return sorted(n for n in os.listdir(directory) if n != "store.toml")


# ---- faults ---------------------------------------------------------------------------------


def test_save_past_the_file_size_limit_keeps_the_old_document(tmp_path):
    path = str(tmp_path / "store.toml")
    out = finished(
        saver(f"""
import resource
write_unified_data(OLD, {path!r})
resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))  # SIGXFSZ is ignored
try:
    write_unified_data(A, {path!r})
except OSError as e:
    print(e.errno, e.filename)
""")
    )
    assert out.split() == ["27", path]  # EFBIG
    assert Path(path).read_bytes() == OLD
    assert leftovers(tmp_path) == []


def test_killed_saver_leaves_a_whole_document(tmp_path):
    path = str(tmp_path / "store.toml")
    rng = random.Random(19)
    for _ in range(4):
        proc = saver(f"""
write_unified_data(A, {path!r})
print("saved", flush=True)
while True:
    write_unified_data(B, {path!r})
    write_unified_data(A, {path!r})
""")
        assert proc.stdout.readline() == "saved\n"
        time.sleep(rng.uniform(0, 0.05))
        proc.send_signal(signal.SIGKILL)
        proc.communicate(timeout=60)
        assert Path(path).read_bytes() in (A, B)


# Saves in a tight loop (the last row, for seconds) race often enough for a saver to open the
# file that another one's rename has just unlinked: written in place, readers holding it would
# see it cut.
@pytest.mark.parametrize(
    ("docs", "then", "loop"),
    [
        (("A",), "OLD", "range(15)"),
        (("A", "B"), "OLD", "range(15)"),
        (("C",) * 4, "C", "iter(lambda: time.monotonic() < end, False)"),
    ],
)
def test_readers_see_whole_documents_while_others_save(tmp_path, docs, then, loop):
    path = str(tmp_path / "store.toml")
    write_unified_data(ns["OLD"], path)
    procs = [
        saver(f"""
import time
end = time.monotonic() + 3
for _ in {loop}:
    write_unified_data({doc}, {path!r})
    write_unified_data({then}, {path!r})
write_unified_data(OLD, {path!r})
""")
        for doc in docs
    ]
    reads = 0
    while any(p.poll() is None for p in procs):
        with open(path, "rb") as f:
            assert f.read() in (OLD, A, B, C)
        reads += 1
    for p in procs:
        finished(p)
    assert reads > 0 and Path(path).read_bytes() == OLD
    assert leftovers(tmp_path) == []


# ---- what a path is -------------------------------------------------------------------------


def save_new(path) -> bytes:
    write_unified_data(ns["A"], str(path))
    return A


def case_symlink_chain(tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "real" / "store.toml").write_bytes(OLD)
    os.symlink("real/store.toml", tmp_path / "hop")
    os.symlink(str(tmp_path / "hop"), tmp_path / "link.toml")
    assert save_new(tmp_path / "link.toml") == (tmp_path / "real" / "store.toml").read_bytes()
    assert os.readlink(tmp_path / "link.toml") == str(tmp_path / "hop")
    assert os.listdir(tmp_path / "real") == ["store.toml"]


def case_dangling_symlink(tmp_path):
    (tmp_path / "real").mkdir()
    os.symlink("real/new.toml", tmp_path / "link.toml")
    assert save_new(tmp_path / "link.toml") == (tmp_path / "real" / "new.toml").read_bytes()
    assert os.path.islink(tmp_path / "link.toml")


def case_mode_and_owner_kept(tmp_path):
    path = tmp_path / "store.toml"
    path.write_bytes(OLD)
    os.chmod(path, 0o640)
    owner = (12345, 23456) if os.geteuid() == 0 else (os.getuid(), os.getgid())
    os.chown(path, *owner)
    save_new(path)
    st = os.stat(path)
    assert (stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid) == (0o640, *owner)


def case_new_file_under_umask(tmp_path):
    old = os.umask(0o027)
    try:
        save_new(tmp_path / "store.toml")
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "store.toml").st_mode) == 0o640


def case_fifo_written_in_place(tmp_path):
    path = tmp_path / "store.toml"
    os.mkfifo(path)
    got = []
    reader = threading.Thread(target=lambda: got.append(path.read_bytes()))
    reader.start()
    save_new(path)
    reader.join(60)
    assert got == [A] and stat.S_ISFIFO(os.lstat(path).st_mode)


def case_device_node_written_in_place(tmp_path):
    path = tmp_path / "store.toml"
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.makedev(1, 3))  # the null device
    except PermissionError:
        pytest.skip("mknod needs CAP_MKNOD")
    save_new(path)
    st = os.lstat(path)
    assert stat.S_ISCHR(st.st_mode) and st.st_rdev == os.makedev(1, 3)


# Without rights on the directory, a writable file is written in place, as before; a file
# without write rights stays as it is. Run as nobody when root (root may write anywhere).
DROPPED = """
import os, tempfile
d = tempfile.mkdtemp()
os.chmod(d, 0o755)
print(d)
for name, mode in (("store.toml", 0o644), ("locked.toml", 0o444)):
    with open(os.path.join(d, name), "wb") as f:
        f.write(b"old")
    os.chmod(os.path.join(d, name), mode)
if os.geteuid() == 0:
    for name in ("store.toml", "locked.toml"):
        os.chown(os.path.join(d, name), 65534, 65534)
    os.setgid(65534)
    os.setuid(65534)
else:
    os.chmod(d, 0o555)
inode = os.stat(os.path.join(d, "store.toml")).st_ino
write_unified_data(A, os.path.join(d, "store.toml"))
same = os.stat(os.path.join(d, "store.toml")).st_ino == inode
try:
    write_unified_data(A, os.path.join(d, "locked.toml"))
except OSError as e:
    print(same, e.errno, str(e).startswith("Could not open file for writing: "))
"""


def case_directory_without_rights(tmp_path):
    out = finished(saver(DROPPED)).split("\n")
    d = out[0]
    try:
        assert out[1] == "True 13 True"  # EACCES, with the old text
        assert Path(os.path.join(d, "store.toml")).read_bytes() == A
        assert Path(os.path.join(d, "locked.toml")).read_bytes() == b"old"
        assert sorted(os.listdir(d)) == ["locked.toml", "store.toml"]
    finally:
        os.chmod(d, 0o755)
        shutil.rmtree(d)


# A file mounted on its own (as containers mount a configuration file) cannot be renamed
# over: it is written in place, into the file mounted there.
MOUNTED = """
import ctypes, os
try:
    os.unshare(os.CLONE_NEWNS)
except (OSError, AttributeError) as e:
    print("skip", e)
    raise SystemExit
libc = ctypes.CDLL(None, use_errno=True)
MS_BIND, MS_REC, MS_PRIVATE = 4096, 16384, 1 << 18
if libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0 or libc.mount(
    SRC.encode(), DST.encode(), None, MS_BIND, None
) != 0:
    print("skip mount:", os.strerror(ctypes.get_errno()))
    raise SystemExit
write_unified_data(A, DST)
with open(DST, "rb") as f:
    print("saved", f.read() == encode_unified_data(A).encode())
"""


def case_file_mounted_on_its_own(tmp_path):
    src, dst = tmp_path / "source.toml", tmp_path / "store.toml"
    src.write_bytes(OLD)
    dst.write_bytes(OLD)
    out = finished(saver(f"SRC, DST = {str(src)!r}, {str(dst)!r}\n" + MOUNTED)).strip()
    if out.startswith("skip"):
        pytest.skip(f"needs a mount namespace: {out}")
    assert out == "saved True"
    assert src.read_bytes() == A and dst.read_bytes() == OLD
    assert sorted(os.listdir(tmp_path)) == ["source.toml", "store.toml"]


# The directory's sync fails after the rename (strace injects EIO into the second fsync): the
# file holds the new document, and the error says so rather than reading as a failed save.
def case_directory_sync_fails_after_the_rename(tmp_path):
    if shutil.which("strace") is None:
        pytest.skip("needs strace (apt-get install strace)")
    path = tmp_path / "store.toml"
    path.write_bytes(OLD)
    code = f"""
try:
    write_unified_data(A, {str(path)!r}, durable=True)
except OSError as e:
    print(e.errno, e.filename == {str(path)!r}, "holds the new document" in e.strerror)
"""
    source = "\n".join(
        [f"import sys; sys.path.insert(0, {str(_isolated.TESTS_DIR)!r})", DOCS, code]
    )
    env = dict(os.environ)
    preload = env.pop("LD_PRELOAD", None)
    cmd = ["strace", "-f", "-qq", "-o", os.devnull, "-e", "trace=fsync"]
    cmd += ["-e", "inject=fsync:error=EIO:when=2"]
    cmd += ["-E", f"LD_PRELOAD={preload}"] if preload else []
    proc = subprocess.run(
        [*cmd, sys.executable, "-c", source], env=env, capture_output=True, text=True, timeout=120
    )
    if proc.returncode != 0 and "ptrace" in proc.stderr:
        pytest.skip(f"strace cannot trace here: {proc.stderr.strip()[:200]}")
    assert proc.stdout.strip() == "5 True True", proc.stdout + proc.stderr[-3000:]
    assert path.read_bytes() == A


# ---- the kernel's own checks, and paths that are not a plain file in a folder ---------------


@pytest.fixture
def sysctl():
    """Sets fs.protected_* values where this machine lets the test, restoring them after."""
    saved = {}

    def set_(name, value):
        knob = Path("/proc/sys/fs") / name
        try:
            saved.setdefault(knob, knob.read_text())
            knob.write_text(str(value))
        except OSError as e:
            pytest.skip(f"cannot set fs.{name}: {e}")

    yield set_
    for knob, value in saved.items():
        knob.write_text(value)


def sticky_folder(tmp_path) -> Path:
    """A world-writable sticky folder that other users can reach (pytest's folders are 0700)."""
    if os.geteuid() != 0:
        pytest.skip("needs root to make files of another user")
    os.chmod(tmp_path, 0o755)
    d = tmp_path / "sticky"
    d.mkdir()
    os.chmod(d, 0o1777)
    for parent in tmp_path.parents:
        if parent == Path(tempfile.gettempdir()):
            break
        os.chmod(parent, os.stat(parent).st_mode | 0o111)
    return d


# Another user's link or file in a sticky world-writable folder: root may not follow or open
# it when the sysctl says so, and the save is refused as open() is; the victim stays whole.
@pytest.mark.parametrize("knob", ["protected_symlinks", "protected_regular"])
def test_protected_paths_are_refused_as_open_refuses_them(tmp_path, sysctl, knob):
    d = sticky_folder(tmp_path)
    victim = tmp_path / "victim"
    victim.write_bytes(OLD)
    path = d / "db.toml"
    if knob == "protected_symlinks":
        os.symlink(victim, path)
        os.lchown(path, 65534, 65534)
    else:
        path.write_bytes(OLD)
        os.chown(path, 65534, 65534)
        os.chmod(path, 0o666)
    sysctl(knob, 1)
    with pytest.raises(PermissionError):
        open(path, "ab")  # noqa: SIM115 - the kernel's verdict the save must share
    with pytest.raises(PermissionError) as info:
        save_new(path)
    assert str(info.value) == f"Could not open file for writing: {path}"
    assert victim.read_bytes() == OLD and Path(os.path.realpath(path)).read_bytes() == OLD
    assert os.stat(os.path.realpath(path)).st_uid == (0 if knob == "protected_symlinks" else 65534)
    assert sorted(os.listdir(d)) == ["db.toml"]


# Another user's 0666 file in a sticky folder may be written, not renamed over: in place.
STICKY_IN_PLACE = """
import os
os.setgid(65534)
os.setuid(65534)
write_unified_data(A, PATH)
"""


def case_sticky_folder_written_in_place(tmp_path):
    d = sticky_folder(tmp_path)
    path = d / "store.toml"
    path.write_bytes(OLD)
    os.chown(path, 12345, 12345)
    os.chmod(path, 0o666)
    inode = os.stat(path).st_ino
    finished(saver(f"PATH = {str(path)!r}\n" + STICKY_IN_PLACE))
    st = os.stat(path)
    assert path.read_bytes() == A and (st.st_ino, st.st_uid) == (inode, 12345)
    assert os.listdir(d) == ["store.toml"]


def acl(path) -> str:
    out = subprocess.run(["getfacl", "-cp", str(path)], capture_output=True, text=True)
    return out.stdout


# The ACL's extra reader keeps reading, and the mask does not become the group's bits; a
# folder's default ACL gives nothing to a file that had no ACL.
@pytest.mark.parametrize("inherited", [False, True], ids=["kept", "not_inherited"])
def test_acls_and_xattrs_are_carried_over(tmp_path, inherited):
    if shutil.which("setfacl") is None:
        pytest.skip("needs setfacl (apt-get install acl)")
    path = tmp_path / "store.toml"
    path.write_bytes(OLD)
    os.chmod(path, 0o600)
    if inherited:
        subprocess.run(["setfacl", "-d", "-m", "u:1234:rw,o::rw", str(tmp_path)], check=True)
    else:
        subprocess.run(["setfacl", "-m", "u:1234:r", str(path)], check=True)
    os.setxattr(path, "user.origin", b"kept")
    before, mode = acl(path), os.stat(path).st_mode
    save_new(path)
    assert (acl(path), os.stat(path).st_mode) == (before, mode)
    assert os.getxattr(path, "user.origin") == b"kept"
    assert ("user:1234:r--" in before) is not inherited


# Writing to stdout as a path: the pipe or the log file stays what it is and gets the document.
STDOUT = """
import os
before = os.fstat(1).st_ino
write_unified_data(A, "/dev/stdout")
assert os.fstat(1).st_ino == before
"""


@pytest.mark.parametrize("into", ["pipe", "file"])
def test_dev_stdout_is_written_in_place(tmp_path, into):
    source = "\n".join([f"import sys; sys.path.insert(0, {str(_isolated.TESTS_DIR)!r})", DOCS])
    log = tmp_path / "log"
    with open(log, "wb") as f:
        out = subprocess.run(
            [sys.executable, "-c", source + STDOUT],
            stdout=subprocess.PIPE if into == "pipe" else f,
            stderr=subprocess.PIPE,
            timeout=120,
        )
    assert out.returncode == 0, out.stderr[-3000:]
    got = out.stdout if into == "pipe" else log.read_bytes()
    assert got == A and sorted(os.listdir(tmp_path)) == ["log"]


def case_deleted_file_through_proc(tmp_path):
    with open(tmp_path / "scratch.toml", "w+b") as f:
        os.unlink(tmp_path / "scratch.toml")
        save_new(f"/proc/self/fd/{f.fileno()}")
        assert os.pread(f.fileno(), len(A) + 1, 0) == A
    assert os.listdir(tmp_path) == []


def case_name_that_is_not_utf8(tmp_path):
    save_new(tmp_path / "bad\udcff.toml")
    assert os.listdir(os.fsencode(tmp_path)) == [b"bad\xff.toml"]
    assert (tmp_path / "bad\udcff.toml").read_bytes() == A


# A signal while the FIFO's open waits for a reader: the handler runs and the open goes on
# (PEP 475); a handler that raises stops the save at once.
FIFO_SIGNAL = """
import os, signal, threading, time
fifo = PATH
os.mkfifo(fifo)
calls = []
def handler(signum, frame):
    calls.append(signum)
    if RAISE:
        raise KeyboardInterrupt
signal.signal(signal.SIGALRM, handler)
got = []
if not RAISE:
    threading.Thread(target=lambda: (time.sleep(0.6), got.append(open(fifo, "rb").read()))).start()
signal.setitimer(signal.ITIMER_REAL, 0.2)
start = time.monotonic()
try:
    write_unified_data(A, fifo)
    while not got:
        time.sleep(0.01)
    print(calls == [signal.SIGALRM], got[0] == encode_unified_data(A).encode())
except KeyboardInterrupt:
    print("interrupted", time.monotonic() - start < 5)
"""


@pytest.mark.parametrize("raising", [False, True])
def test_fifo_open_survives_or_stops_on_a_signal(tmp_path, raising):
    code = f"PATH, RAISE = {str(tmp_path / 'store.toml')!r}, {raising}\n" + FIFO_SIGNAL
    out = finished(saver(code)).strip()
    assert out == ("interrupted True" if raising else "True True")


DELETED_FDS = """
import os
def deleted():
    out = []
    for n in os.listdir("/proc/self/fd"):
        try:
            out += [n] if os.readlink(f"/proc/self/fd/{n}").endswith("(deleted)") else []
        except FileNotFoundError:  # the listing's own descriptor
            pass
    return out
"""

# The replaced file's last descriptor may close on a thread of its own: a fork right after the
# saves waits for them, so the child inherits no descriptor of those files and Python sees no
# thread. More saves than closes may wait at once: the rest close in the save itself.
FORK_AFTER_SAVE = """
import warnings
write_unified_data(A, PATH)
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    for i in range(12):
        write_unified_data((A, B)[i % 2], PATH)
    pid = os.fork()
    if pid == 0:
        os._exit(len(deleted()))
    _, status = os.waitpid(pid, 0)
same = open(PATH, "rb").read() == encode_unified_data(B).encode()
print(os.waitstatus_to_exitcode(status), [str(w.message) for w in caught], deleted(), same)
"""


def test_fork_after_a_large_save_inherits_no_descriptor_and_no_thread(tmp_path):
    code = f"PATH = {str(tmp_path / 'store.toml')!r}\n" + DELETED_FDS + FORK_AFTER_SAVE
    assert finished(saver(code)).strip() == "0 [] [] True"


# Eight threads save large documents over three files, more closes than may wait at once,
# while the main thread forks again and again: no fork waits forever, no descriptor of a
# replaced file is left, and every file holds a whole document.
FORKS_WHILE_THREADS_SAVE = """
import threading, warnings
texts = {encode_unified_data(d).encode() for d in (A, B)}
paths = [os.path.join(DIR, f"{k}.toml") for k in range(3)]
errors = []
def save(k):
    try:
        for i in range(12):
            write_unified_data((A, B)[i % 2], paths[k % 3])
    except Exception as e:
        errors.append(e)
threads = [threading.Thread(target=save, args=(k,)) for k in range(8)]
for t in threads:
    t.start()
forks = 0
with warnings.catch_warnings():
    warnings.simplefilter("ignore")  # this process has threads of its own
    while any(t.is_alive() for t in threads):
        pid = os.fork()
        if pid == 0:
            os._exit(0)
        os.waitpid(pid, 0)
        forks += 1
for t in threads:
    t.join()
pid = os.fork()  # waits for the last closes
if pid == 0:
    os._exit(0)
os.waitpid(pid, 0)
print(errors, forks > 0, deleted(), all(open(p, "rb").read() in texts for p in paths))
"""


def test_forks_while_threads_save_large_documents(tmp_path):
    code = f"DIR = {str(tmp_path)!r}\n" + DELETED_FDS + FORKS_WHILE_THREADS_SAVE
    assert finished(saver(code)).strip() == "[] True [] True"


# A str's pages may come in on a helper thread while the document is made, when Python code
# may run: a fork from a __str__ waits for the helper, so the child inherits no thread and
# Python sees none to warn of; the child finishes its document.
FORK_WHILE_ENCODING = """
import os, warnings
class Forks:
    def __str__(self):
        PIDS.append(os.fork())
        return "v"
PIDS = []
# After a document of 10 million characters past ASCII the next one's str starts that large,
# made anew (past glibc's largest heap block) once its text needs four bytes a character, and
# a helper faults in its pages while the record's later values are written.
encode_unified_data(records_model([{"s": "\\U0001F600" * 10_000_000}]))
record = {"a": "\\U0001F600" * 20_000, "b": "x" * 70_000, "o": Forks()}
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    doc = encode_unified_data(records_model([record]))
if PIDS == [0]:
    os._exit(0 if 'o = "v"' in doc else 1)
_, status = os.waitpid(PIDS[0], 0)
print(os.waitstatus_to_exitcode(status), [str(w.message) for w in caught])
"""


def test_fork_while_a_str_is_written_waits_for_its_helper():
    assert finished(saver(FORK_WHILE_ENCODING)).strip() == "0 []"


@pytest.mark.parametrize(
    "case",
    [
        case_symlink_chain,
        case_dangling_symlink,
        case_mode_and_owner_kept,
        case_new_file_under_umask,
        case_fifo_written_in_place,
        case_device_node_written_in_place,
        case_directory_without_rights,
        case_file_mounted_on_its_own,
        case_directory_sync_fails_after_the_rename,
        case_sticky_folder_written_in_place,
        case_deleted_file_through_proc,
        case_name_that_is_not_utf8,
    ],
    ids=lambda case: case.__name__[5:],
)
def test_file_cases(tmp_path, case):
    case(tmp_path)
    # Nothing left beside the target.
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


# ---- durable ----------------------------------------------------------------------------------

SYSCALLS = "openat,fsync,fdatasync,rename,renameat,renameat2"


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace (apt-get install strace)")
@pytest.mark.parametrize("durable", [False, True])
def test_durable_syncs_the_file_then_renames_then_syncs_the_directory(tmp_path, durable):
    path = str(tmp_path / "store.toml")
    write_unified_data(ns["OLD"], path)
    log = tmp_path / "trace"
    env = dict(os.environ)
    # The sanitizer's preload is for the traced interpreter, not for strace itself.
    preload = env.pop("LD_PRELOAD", None)
    cmd = ["strace", "-f", "-qq", "-o", str(log), "-e", f"trace={SYSCALLS}"]
    cmd += ["-E", f"LD_PRELOAD={preload}"] if preload else []
    code = f"{DOCS}\nwrite_unified_data(OLD, {path!r}, durable={durable})"
    cmd += [sys.executable, "-c", f"import sys; sys.path.insert(0, {str(_isolated.TESTS_DIR)!r})\n"]
    cmd[-1] += code
    proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=120)
    if proc.returncode != 0 and "ptrace" in proc.stderr:
        pytest.skip(f"strace cannot trace here: {proc.stderr.strip()[:200]}")
    assert proc.returncode == 0, proc.stderr[-3000:]
    lines = log.read_text().splitlines()
    syncs = [i for i, line in enumerate(lines) if re.search(r"\b(fsync|fdatasync)\(", line)]
    if not durable:
        assert syncs == []
        return
    new = next(i for i, line in enumerate(lines) if "O_EXCL" in line and "store.toml" in line)
    fd = re.search(r"= (\d+)$", lines[new]).group(1)
    renamed = next(i for i, line in enumerate(lines) if re.search(r"\brename(at2?)?\(", line))
    dir_open = next(i for i in range(renamed, len(lines)) if "O_DIRECTORY" in lines[i])
    dir_fd = re.search(r"= (\d+)$", lines[dir_open]).group(1)
    assert [lines[i].split("(", 1)[1].split(")")[0] for i in syncs] == [fd, dir_fd], lines
    assert new < syncs[0] < renamed < dir_open < syncs[1]


# ---- refusals ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("model", "where"),
    [
        (
            records_model([{"a": 1}, {"a": 1}, {"a": 1}, {"tags": [1, None]}]),
            "tables.t.records[3].tags[1]",
        ),
        (
            records_model([{"m": {"deep key": [[1, (2, None)]]}}], name="my t"),
            "tables['my t'].records[0].m['deep key'][0][1][1]",
        ),
        (Model({"t": Table([col("c", default=[None])])}), "tables.t.columns[0].default[0]"),
    ],
)
@pytest.mark.parametrize("escape", [False, True])
def test_none_inside_an_array_is_refused_where_it_is(model, where, escape):
    with pytest.raises(ValueError) as info:
        encode_unified_data(model, escape)
    assert str(info.value) == f"{where}: the value is None inside an array, and TOML has no null"


@pytest.mark.parametrize(
    ("model", "where", "what"),
    [
        (
            records_model([{"a": 'say "hi"'}]),
            "tables.t.records[0].a: the value",
            "an unescaped '\"'",
        ),
        (records_model([{'k"': 1}]), "tables.t.records[0]['k\"']: the key", "an unescaped '\"'"),
        (
            records_model([{"a": ["ok", "a\nb"]}]),
            "tables.t.records[0].a[1]: the value",
            "the control character U+000A",
        ),
        (
            records_model([{"a": "x\\q"}]),
            "tables.t.records[0].a: the value",
            "a backslash that starts no TOML 1.0 escape",
        ),
        (
            records_model([{"a": "\\uDFFF"}]),
            "tables.t.records[0].a: the value",
            "a backslash that starts no TOML 1.0 escape",
        ),
        (
            Model({"t": Table([col("c", comment="\x7f")])}),
            "tables.t.columns[0].comment: the value",
            "the control character DEL (U+007F)",
        ),
        (Model(version='1"'), "header.version: the value", "an unescaped '\"'"),
        (
            Model(schema_version="\x00"),
            "header.schema_version: the value",
            "the control character U+0000",
        ),
        (Model({'t"': Table()}), "header.tables[0]: the value", "an unescaped '\"'"),
        # Keys and table names that differ as written but read as one.
        (
            records_model([{"a": 1, "\\u0061": 2}]),
            "tables.t.records[0]['\\\\u0061']: the key",
            "escapes that read as 'a', a key the table has already",
        ),
        (
            records_model([{"m": {"\\U00000062": 1, "c": None, "b": [2]}}]),
            "tables.t.records[0].m['\\\\U00000062']: the key",
            "escapes that read as 'b', a key the table has already",
        ),
        (
            Model({"\\u0074": Table(), "t": Table()}),
            "tables['\\\\u0074']: the key",
            "escapes that read as 't', a table name the document has already",
        ),
    ],
)
def test_raw_strings_that_would_not_load_are_refused(model, where, what):
    with pytest.raises(ValueError) as info:
        encode_unified_data(model)
    assert str(info.value) == f"{where} holds {what}; pass escape_strings=True to have it escaped"
