"""Every path repeated thousands of times: each reference taken on the way is given back.

A leak of one object per call would show as thousands of blocks and hundreds of kilobytes;
what the bounds allow is the noise of caches the interpreter fills once.
"""

import math
import sys
import weakref

import pytest
import torch

from conftest import FakePsutil, FakeTorch, RaisingIndex, RaisingInt, raising, soak

MAX_BLOCKS = 100
MAX_TRACED_BYTES = 32 * 1024


def paths(ext, torch, psutil):
    """name -> (action, objects whose reference counts must not move)."""
    cls = ext.PinnedMemoryPool
    pool, tight, blank = cls(1 << 30), cls(0), cls.__new__(cls)
    stranger, text, bad_index, bad_int = object(), "1024", RaisingIndex(), RaisingInt()

    class Raising(cls):
        def _round_to_bucket(self, nbytes):
            raise LookupError("override failed")

        @staticmethod
        def _compute_default_budget():
            raise LookupError("no budget")

    class TextBudget(cls):
        @staticmethod
        def _compute_default_budget():
            return "many"

    raising_pool = Raising(1 << 30)
    pooled = pool.lease(1)  # every hit below leases this one buffer again
    pool.release(pooled)
    released = pool.lease(4 << 20)
    pool.release(released)

    def round_trip():
        pool.release(pool.lease(1))

    def misses_with_evictions():
        tight.release(tight.lease(1))
        tight.release(tight.lease(4 << 20))

    def failing_allocation():
        def refuse(*args, **kwargs):
            raise MemoryError("no pinned memory")
        torch.empty = refuse
        try:
            pool.lease(64 << 20)
        finally:
            del torch.empty

    def failing_psutil():
        psutil.virtual_memory = lambda: (_ for _ in ()).throw(OSError("no /proc"))
        try:
            cls()
        finally:
            del psutil.virtual_memory

    return {
        "hit": (round_trip, [pool, pooled]),
        "release of a released buffer": (lambda: pool.release(released), [pool, released]),
        "misses with evictions": (misses_with_evictions, [tight]),
        "release of a stranger": (lambda: pool.release(stranger), [pool, stranger]),
        "stats": (pool.stats, [pool]),
        "pressure": (lambda: pool.is_under_pressure, [pool]),
        "evict": (pool._evict_oldest, [pool]),
        "total": (pool._total_allocated, [pool]),
        "default budget": (lambda: cls(), []),
        "budget as text": (raising(lambda: cls(text), TypeError), [text]),
        "infinite budget": (raising(lambda: cls(math.inf), OverflowError), []),
        "NaN request": (raising(lambda: pool.lease(math.nan), ValueError), [pool]),
        "complex request": (raising(lambda: pool.lease(1j), TypeError), [pool]),
        "raising __index__": (raising(lambda: pool.lease(bad_index), ZeroDivisionError),
                              [pool, bad_index]),
        "raising __int__": (raising(lambda: cls(bad_int), ArithmeticError), [bad_int]),
        "over-large request": (raising(lambda: pool.lease(300 << 20), ValueError), [pool]),
        "huge request": (raising(lambda: pool._round_to_bucket(10**400), OverflowError), [pool]),
        "surplus argument": (raising(lambda: pool.lease(1, 2), TypeError), [pool]),
        "unexpected keyword": (raising(lambda: cls(budget=1), TypeError), []),
        "duplicated argument": (raising(lambda: cls.__init__(blank, 1, max_bytes=1), TypeError),
                                [blank]),
        "missing argument": (raising(lambda: cls.__init__(), TypeError), []),
        "failing torch.empty": (raising(failing_allocation, MemoryError), [pool]),
        "failing psutil": (raising(failing_psutil, OSError), []),
        "raising override": (raising(lambda: raising_pool.lease(1), LookupError), [raising_pool]),
        "raising default budget": (raising(Raising, LookupError), []),
        "default budget as text": (raising(TextBudget, TypeError), []),
        "bad __defaults__": (raising(lambda: setattr(cls.lease, "__defaults__", [1]), TypeError),
                             [cls.lease]),
        "bad __name__": (raising(lambda: setattr(cls.lease, "__name__", 1), TypeError),
                         [cls.lease]),
        "argument to _detect_vram_gb": (raising(lambda: ext._detect_vram_gb(1), TypeError), []),
    }


PATHS = [
    "hit", "release of a released buffer", "misses with evictions", "release of a stranger", "stats", "pressure", "evict",
    "total", "default budget", "budget as text", "infinite budget", "NaN request",
    "complex request", "raising __index__", "raising __int__", "over-large request",
    "huge request", "surplus argument", "unexpected keyword", "duplicated argument",
    "missing argument", "failing torch.empty", "failing psutil", "raising override",
    "raising default budget", "default budget as text", "bad __defaults__", "bad __name__",
    "argument to _detect_vram_gb",
]


@pytest.mark.parametrize("path", PATHS)
def test_path_gives_back_what_it_takes(ext, monkeypatch, path):
    torch, psutil = FakeTorch(), FakePsutil(16 << 30, 8 << 30)
    monkeypatch.setattr(ext, "torch", torch)
    monkeypatch.setattr(ext, "psutil", psutil)
    action, watched = paths(ext, torch, psutil)[path]

    def run():
        action()
        torch.allocations.clear()  # the fake remembers its buffers; only the pools may keep them

    grown = soak(run, watched)
    assert grown["blocks"] < MAX_BLOCKS, grown
    assert grown["traced bytes"] < MAX_TRACED_BYTES, grown
    assert grown["references"] == [0] * len(watched), grown


def test_missing_module_name(ext, monkeypatch):
    monkeypatch.delattr(ext, "torch")
    grown = soak(raising(ext._detect_vram_gb, NameError))
    assert grown["blocks"] < MAX_BLOCKS and grown["traced bytes"] < MAX_TRACED_BYTES


def cycle(pool, sizes, depth, rounds):
    """Leases `depth` buffers of each size and releases them in reverse, `rounds` times."""
    for _ in range(rounds):
        for size in sizes:
            held = [pool.lease(size) for _ in range(depth)]
            while held:
                pool.release(held.pop())


def test_buffers_die_once_evicted(impl):
    """Buffers cycled many times through buckets that hold several of them are held by the
    bucket lists alone, and die once evicted."""
    pool = impl.PinnedMemoryPool(1 << 30)
    cycle(pool, [1, 4 << 20], depth=4, rounds=1)
    bufs = pool._buckets[1 << 20] + pool._buckets[4 << 20]
    references = [sys.getrefcount(buf) for buf in bufs]
    cycle(pool, [1, 4 << 20], depth=3, rounds=1000)
    assert [sys.getrefcount(buf) for buf in bufs] == references
    assert pool._stats["hits"] == 6000 and pool._stats["misses"] == 8
    probes = [weakref.ref(buf) for buf in bufs]
    del bufs
    for _ in probes:
        pool._evict_oldest()
    assert [probe() for probe in probes] == [None] * len(probes)
