"""Build the wheel with pip, check what it holds, install it into a fresh venv and smoke-test it.

Usage: python tools/wheel_check.py [--allow-pending] [--keep]
The fresh venv uses the CPython 3.13 that tools/find-python313 finds (PYTHON overrides).
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]

EXTENSIONS = [
    "ondrel/datastore/tables/grimsel",
    "ondrel/datastore/adapter/toml/pentock",
    "ondrel/datastore/adapter/toml/decoder",
    "ondrel/datastore/c_unified_data",
]
REQUIRED = [
    *(f"{ext}.pyi" for ext in EXTENSIONS),
    "ondrel/py.typed",
    "slumbrel/py.typed",
    "glacine/py.typed",
    "ondrel/datastore/unified_data.py",
    "ondrel/datastore/tables/data.py",
    "slumbrel/__init__.py",
    "glacine/frozen.py",
]
# All the packages ship: modules, stubs, extension modules and py.typed markers. Anything else
# (a source file of any suffix, a stray data file) is a packaging fault.
SHIPPED = re.compile(r"\.(py|pyi)$|\.cpython-313-[^/]+\.so$|(^|/)py\.typed$")
TOP_LEVEL = re.compile(r"^(ondrel|slumbrel|glacine)/|^ondrel_datastore-[^/]+\.dist-info/")
# Sources, objects and build-tree files that must never ship.
LEFTOVER = re.compile(
    r"\.(c|cc|cpp|cxx|h|hh|hpp|hxx|ipp|inl|inc|tpp|tcc|o|obj|a|pyc|ninja|cmake|log)$"
    r"|(^|/)(__pycache__|CMakeFiles|_deps)/"
    r"|(^|/)(CMakeCache\.txt|compile_commands\.json|build\.ninja|Makefile|\.ninja_\w+)$"
)


def run(cmd: list[str], log: Path | None = None, cwd: Path | None = None) -> None:
    """Run a command; with `log`, keep its output there and show the tail only on failure."""
    print("+", " ".join(cmd), flush=True)
    if log is None:
        subprocess.run(cmd, check=True, cwd=cwd)
        return
    with log.open("w") as out:
        proc = subprocess.run(cmd, stdout=out, stderr=subprocess.STDOUT, cwd=cwd)
    if proc.returncode != 0:
        sys.stdout.write(log.read_text()[-20000:])
        raise SystemExit(f"wheel check: command failed ({proc.returncode}), log in {log}")


def check_contents(wheel: Path) -> list[str]:
    names = zipfile.ZipFile(wheel).namelist()
    problems = [f"unexpected top-level entry: {n}" for n in names if not TOP_LEVEL.search(n)]
    problems += [f"build leftover or source file: {n}" for n in names if LEFTOVER.search(n)]
    problems += [
        f"not a module, stub or marker (a source file?): {n}"
        for n in names
        if not n.endswith("/")
        and not n.startswith("ondrel_datastore-")
        and not SHIPPED.search(n)
        and not LEFTOVER.search(n)
    ]
    problems += [f"missing: {n}" for n in REQUIRED if n not in names]
    for ext in EXTENSIONS:
        pattern = re.compile(re.escape(ext) + r"\.cpython-313-[^/]+\.so$")
        if not any(pattern.match(n) for n in names):
            problems.append(f"missing extension module: {ext}.cpython-313-*.so")
    if any(n.startswith(("tests/", "test_")) or "/test_" in n for n in names):
        problems.append("test programs in the wheel")
    return problems


def find_python313() -> str:
    proc = subprocess.run(
        [str(REPO / "tools/find-python313")], capture_output=True, text=True, env=os.environ
    )
    if proc.returncode != 0:
        raise SystemExit(proc.stderr.strip())
    return proc.stdout.strip()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--allow-pending", action="store_true", help="passed to the smoke test")
    parser.add_argument("--keep", action="store_true", help="keep the temporary directory")
    args = parser.parse_args()

    tmp = Path(tempfile.mkdtemp(prefix="ondrel-wheel-check-"))
    try:
        dist = tmp / "dist"
        run(
            [sys.executable, "-m", "pip", "wheel", str(REPO), "--no-deps", "-w", str(dist)],
            log=tmp / "build.log",
            cwd=REPO,
        )
        wheels = sorted(dist.glob("ondrel_datastore-*.whl"))
        if len(wheels) != 1:
            raise SystemExit(f"wheel check: expected one wheel, found {wheels}")
        wheel = wheels[0]
        print(f"wheel check: built {wheel.name}")
        problems = check_contents(wheel)
        if problems:
            print("\n".join(problems))
            raise SystemExit(f"wheel check: {len(problems)} problem(s) in {wheel.name}")
        print("wheel check: contents ok (extension modules, stubs, py.typed; no leftovers)")

        venv = tmp / "venv"
        run([find_python313(), "-m", "venv", str(venv)])
        vpy = str(venv / "bin/python")
        run([vpy, "-m", "pip", "install", "-q", str(wheel)], log=tmp / "install.log")

        # Run from the temporary directory in isolated mode: only site-packages is importable.
        smoke = [vpy, "-I", str(REPO / "tools/wheel_smoke.py")]
        run(smoke + (["--allow-pending"] if args.allow_pending else []), cwd=tmp)

        # The installed stubs and py.typed markers serve a type checker with no source tree.
        example = tmp / "typing_example.py"
        shutil.copy(REPO / "tests/typing_example.py", example)
        mypy = [sys.executable, "-m", "mypy", "--strict", "--no-incremental"]
        run([*mypy, "--python-executable", vpy, example.name], cwd=tmp)
        print("wheel check: passed")
        return 0
    finally:
        if args.keep:
            print(f"wheel check: kept {tmp}")
        else:
            shutil.rmtree(tmp, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
