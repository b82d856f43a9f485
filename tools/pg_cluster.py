"""A throwaway PostgreSQL cluster from Debian's server packages, in a temporary folder.

The server listens on a Unix socket in that folder only (no TCP port), and runs as an
unprivileged user when we are root, since postgres refuses to run as root. Used by the tests'
session fixture and by bench/bench_sql.py.
"""

from __future__ import annotations

import glob
import os
import pwd
import shutil
import subprocess
import tempfile
from pathlib import Path

__all__ = ["Cluster", "find_bin_dir"]


def _server_env() -> dict[str, str]:
    """The environment without a sanitizer's preload: the server is not ours to sanitize."""
    drop = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")
    return {k: v for k, v in os.environ.items() if k not in drop}


def find_bin_dir() -> Path | None:
    """The newest installed server's bin folder (Debian keeps them per major version)."""
    found = sorted(
        glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
        key=lambda p: (
            int(Path(p).parent.parent.name) if Path(p).parent.parent.name.isdigit() else 0
        ),
    )
    if found:
        return Path(found[-1]).parent
    on_path = shutil.which("pg_ctl")
    return Path(on_path).parent if on_path else None


class Cluster:
    """initdb + pg_ctl start on construction; stop() stops it and removes the folder."""

    def __init__(self, bin_dir: Path) -> None:
        self.bin_dir = bin_dir
        # /tmp rather than $TMPDIR: the server's account must reach the folder, and the
        # socket's path must stay short.
        shared = "/tmp" if os.path.isdir("/tmp") else None
        account = _unprivileged_account() if os.geteuid() == 0 else None
        self.root = Path(tempfile.mkdtemp(prefix="ondrel-pg-", dir=shared))
        self.user = "postgres"
        self._run_as: list[str] = []
        if account is not None:
            os.chown(self.root, account.pw_uid, account.pw_gid)
            self._run_as = ["runuser", "-u", account.pw_name, "--"]
        self._data = self.root / "data"
        try:
            self._start()
        except BaseException:
            shutil.rmtree(self.root, ignore_errors=True)
            raise
        self.uri = f"postgresql:///postgres?host={self.root}&user={self.user}"

    def _start(self) -> None:
        data = self._data
        self._pg(
            "initdb",
            "-D",
            str(data),
            "-U",
            self.user,
            "-A",
            "trust",
            "-E",
            "UTF8",
            "--no-sync",
            "--locale=C",
        )
        self._pg(
            "pg_ctl",
            "-D",
            str(data),
            "-l",
            str(self.root / "server.log"),
            "-w",
            "-t",
            "60",
            "-o",
            f"-k {self.root} -c listen_addresses='' -c fsync=off -c full_page_writes=off",
            "start",
        )

    def _pg(self, tool: str, *args: str) -> None:
        cmd = [*self._run_as, str(self.bin_dir / tool), *args]
        done = subprocess.run(
            cmd, capture_output=True, text=True, timeout=120, check=False, env=_server_env()
        )
        if done.returncode != 0:
            log = self.root / "server.log"
            tail = log.read_text()[-2000:] if log.exists() else ""
            raise RuntimeError(
                f"{tool} failed: {done.stderr.strip() or done.stdout.strip()}\n{tail}"
            )

    def psql(self, *args: str, db: str = "postgres", stdin: bytes | None = None) -> bytes:
        """Runs psql on the cluster (as root is fine: the client side needs no privilege)."""
        cmd = [
            str(self.bin_dir / "psql"),
            "-X",
            "-q",
            "-v",
            "ON_ERROR_STOP=1",
            "-h",
            str(self.root),
            "-U",
            self.user,
            "-d",
            db,
            *args,
        ]
        return subprocess.run(
            cmd, input=stdin, capture_output=True, check=True, timeout=600, env=_server_env()
        ).stdout

    def stop(self) -> None:
        try:
            self._pg("pg_ctl", "-D", str(self._data), "-m", "immediate", "-w", "stop")
        finally:
            shutil.rmtree(self.root, ignore_errors=True)


def _unprivileged_account() -> pwd.struct_passwd:
    for name in ("postgres", "nobody"):
        try:
            return pwd.getpwnam(name)
        except KeyError:
            continue
    raise RuntimeError("no unprivileged account (postgres or nobody) to run the server as")
