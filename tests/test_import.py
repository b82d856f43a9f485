import importlib
import os
import platform
import subprocess
import sys

import pytest


@pytest.mark.parametrize(
    "name",
    [
        "ondrel.datastore.tables.grimsel",
        "ondrel.datastore.adapter.toml.pentock",
        "ondrel.datastore.c_unified_data",
    ],
)
def test_extension_modules_import(name):
    assert importlib.import_module(name).__name__ == name


# ONDREL_SIMD lowers the byte kernels' vector level (the suite reruns at each level with it);
# it never raises the level past the CPU's, and a name it does not know changes nothing.
@pytest.mark.parametrize("wanted", ["portable", "sse2", "avx2", "avx512", "neon", "no-such-level"])
def test_simd_variable_selects_the_level(wanted):
    code = (
        "from ondrel.datastore.adapter.toml import pentock, decoder\n"
        "print(pentock._simd_level, decoder._simd_level)"
    )
    env = {k: v for k, v in os.environ.items() if k != "ONDREL_SIMD"}
    best = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True
    ).stdout.split()
    got = subprocess.run(
        [sys.executable, "-c", code],
        env={**env, "ONDREL_SIMD": wanted},
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    # The levels of this machine's architecture; another's names are unknown here.
    arm = platform.machine() in ("aarch64", "arm64")
    order = ["portable", "neon"] if arm else ["portable", "sse2", "avx2", "avx512"]
    assert best[0] == best[1] and got[0] == got[1]
    expected = (
        best[0] if wanted not in order else order[min(order.index(wanted), order.index(best[0]))]
    )
    assert got[0] == expected
