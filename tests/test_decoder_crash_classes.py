"""Inputs that could crash, hang or leak the reader, each in a fresh interpreter: deep nesting
(also on a small thread stack), huge keys and headers, parse_float that re-enters or raises,
an input changed while it is read, memory limits, and repeated calls on every path."""

import sys

import pytest

from _isolated import run_ok

PRELUDE = """
import tomllib
from ondrel.datastore.adapter.toml.decoder import decode_unified_data as decode
N = 200_000
"""

NESTING = {
    "arrays": "'a = ' + '[' * N + ']' * N",
    "inline tables": "'a = ' + '{b = ' * N + '1' + '}' * N",
    "unclosed arrays": "'a = ' + '[' * N",
    "mixed": "'a = ' + '[{b = ' * (N // 2) + '1' + '}]' * (N // 2)",
}


@pytest.mark.parametrize("stack_kib", [0, 256])
@pytest.mark.parametrize("doc", NESTING.values(), ids=NESTING)
def test_deep_nesting_raises_recursion_error(doc, stack_kib):
    run_ok(
        f"""
        import threading
        doc = {doc}
        out = []
        def work():
            for data in (doc, doc.encode()):
                try:
                    decode(data)
                except RecursionError:
                    out.append(1)
        threading.stack_size({stack_kib} * 1024)
        t = threading.Thread(target=work)
        t.start(); t.join()
        assert out == [1, 1], out
        print("OK")
        """,
        prelude=PRELUDE,
    )


@pytest.mark.parametrize(
    "doc",
    [
        "'.'.join(['a'] * 99_999) + '.b = 1'",
        "'[' + '.'.join(['a'] * 100_000) + ']'",
        "'[[' + '.'.join([f'k{i}' for i in range(100_000)]) + ']]'",
    ],
)
def test_long_dotted_keys_and_headers_give_the_whole_tree(doc):
    run_ok(
        f"""
        result = decode({doc})
        depth, node = 0, result
        while isinstance(node, dict) and node:
            (key, node), = node.items()
            if isinstance(node, list):
                node = node[-1]
            depth += 1
        assert depth == 100_000, depth
        del result  # a deep tree must free without overflowing the stack
        print("OK")
        """,
        prelude=PRELUDE,
    )


def test_parse_float_reentering_and_raising():
    run_ok(
        """
        def nested(text):
            return decode(f"x = {text}", parse_float=float)["x"]
        assert decode("a = [1.5, 2.5]", parse_float=nested) == {"a": [1.5, 2.5]}

        def interrupt(text):
            raise KeyboardInterrupt
        try:
            decode("a = [1, {b = 'x'}, 2.5]", parse_float=interrupt)
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("KeyboardInterrupt swallowed")

        data = bytearray(b"a = 1.5\\nb = 2.5")
        def grow(text):
            data.extend(b"#" * 1000)  # the buffer is exported while it is read
        try:
            decode(data, parse_float=grow)
        except BufferError:
            pass
        print("OK")
        """,
        prelude=PRELUDE,
    )


@pytest.mark.no_sanitizer
@pytest.mark.skipif(sys.platform != "linux", reason="RLIMIT_AS")
def test_memory_limit_gives_memory_error():
    run_ok(
        """
        import resource
        doc = "a = [" + "'xxxxxxxxxxxxxxxx', " * 20_000_000 + "]"  # ~400 MB of text
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        try:
            decode(doc)
        except MemoryError:
            pass
        else:
            raise AssertionError("no MemoryError")
        assert decode("a = 1") == {"a": 1}
        print("OK")
        """,
        prelude=PRELUDE.replace("import tomllib\n", ""),
    )


def test_repeated_calls_leak_nothing():
    run_ok(
        """
        import gc, os, tempfile
        path = os.path.join(tempfile.mkdtemp(), "d.toml")
        with open(path, "w") as f:
            f.write("[t]\\na = [1, 2.5, 'x']\\n")
        good = 'a = "é\\\\u4e00"\\n[[t]]\\nb = {c.d = 1979-05-27T07:32:00+01:00}\\n'
        calls = [
            lambda: decode(good),
            lambda: decode(good.encode()),
            lambda: decode(good, parse_float=str),
            lambda: decode("a = 1\\n[t]\\nb = [1, 'x', {c = 2}]\\nb = 3"),
            lambda: decode("a = [1, 2, " + "{x = 'é'}, " * 50),
            lambda: decode(b'a = "\\xff"'),
            lambda: decode("a = 1.5", parse_float=lambda s: {}),
            lambda: decode("a = " + "[" * 20_000),
            lambda: decode(3),
            lambda: decode_file(path),
            lambda: decode_file(path + ".missing"),
        ]
        from ondrel.datastore.adapter.toml.decoder import read_unified_data as decode_file
        for call in calls:
            for _ in range(50):
                try:
                    call()
                except Exception:
                    pass
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(300):
                try:
                    call()
                except Exception:
                    pass
            gc.collect()
            grown = sys.getallocatedblocks() - before
            assert grown < 50, (calls.index(call), grown)
        print("OK")
        """,
        prelude=PRELUDE,
    )
