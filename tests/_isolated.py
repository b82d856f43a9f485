"""Code run in a fresh interpreter, so that a crash fails one test instead of the whole run.

The child has faulthandler on (a crash prints where it happened) and this directory first on
sys.path, found from this file rather than the current directory, so the test helpers import
wherever pytest was started. It inherits the environment (PYTHONPATH of a sanitizer build).
"""

from __future__ import annotations

import subprocess
import sys
import textwrap
from pathlib import Path

TESTS_DIR = Path(__file__).resolve().parent


def run_python(
    code: str, *, prelude: str = "", timeout: float = 120
) -> subprocess.CompletedProcess[str]:
    """Runs `prelude` then `code` (each dedented) with the current interpreter."""
    source = "\n".join(
        [
            f"import sys; sys.path.insert(0, {str(TESTS_DIR)!r})",
            textwrap.dedent(prelude),
            textwrap.dedent(code),
        ]
    )
    return subprocess.run(
        [sys.executable, "-X", "faulthandler", "-c", source],
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def run_ok(code: str, *, prelude: str = "", timeout: float = 120, marker: str | None = "OK") -> str:
    """Like run_python, for code that must exit with status 0 and, unless `marker` is None,
    end its output with `marker`. Returns the output."""
    proc = run_python(code, prelude=prelude, timeout=timeout)
    assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-3000:]
    if marker is not None:
        assert proc.stdout.strip().endswith(marker), proc.stdout[-2000:] + proc.stderr[-2000:]
    return proc.stdout
