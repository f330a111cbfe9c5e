"""The leak soak (bench/soak.py) with a few thousand calls per operation, and
proof that it notices each kind of leak it is there to catch."""

import ctypes
import importlib.util
import os
from pathlib import Path

import pytest

SOAK = Path(__file__).resolve().parent.parent / "bench" / "soak.py"
ROUNDS = 5000

spec = importlib.util.spec_from_file_location("soak", SOAK)
soak = importlib.util.module_from_spec(spec)
spec.loader.exec_module(soak)

# A sanitizer's allocator keeps freed memory in quarantine: resident size
# says nothing there (its own leak and use-after-free checks do).
SANITIZED = os.environ.get("MORBEX_SANITIZE") == "ON"
RSS_BOUND = None if SANITIZED else soak.RSS_BOUND


@pytest.mark.parametrize("operation", soak.operations(), ids=lambda op: op.name)
def test_no_growth(operation):
    result = soak.measure(operation, ROUNDS)
    assert result.failures(rss_bound=RSS_BOUND) == []


def leak_one_object(kept):
    def call():
        kept.append(object())

    return call


libc = ctypes.CDLL(None)
libc.malloc.restype = ctypes.c_void_p
libc.malloc.argtypes = [ctypes.c_size_t]


def leak_malloc():
    libc.malloc(64)


def leak_reference(obj):
    def call():
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(obj))

    return call


watched = object()
LEAKS = [
    ("one object per call", soak.Operation("leak", leak_one_object([])), "traced memory grew"),
    ("64 B of malloc per call", soak.Operation("leak", leak_malloc), "malloc'd memory grew"),
    ("a reference per call", soak.Operation("leak", leak_reference(watched), (watched,)), "refcount of object #0"),
]


@pytest.mark.parametrize("operation, expected", [leak[1:] for leak in LEAKS], ids=[leak[0] for leak in LEAKS])
def test_the_soak_sees_a_leak(operation, expected):
    if expected.startswith("malloc") and (soak.malloc_in_use() is None or SANITIZED):
        pytest.skip("malloc statistics need glibc's own allocator")
    result = soak.measure(operation, ROUNDS)
    assert any(problem.startswith(expected) for problem in result.failures(rss_bound=None)), result
