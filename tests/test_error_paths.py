"""Error paths repeated many times: every reference taken on the way must be given back."""

import math

import pytest

from conftest import FakePsutil, FakeTorch, allocation_growth, raising

# One leaked object per call would show as thousands of blocks; noise stays far below this.
MAX_GROWTH = 100


class BadIndex:
    def __index__(self):
        raise ZeroDivisionError("refused")


def constructor_errors(ext):
    cls = ext.PinnedMemoryPool
    pool = cls.__new__(cls)

    class FailingBudget(cls):
        @staticmethod
        def _compute_default_budget():
            raise LookupError("no budget")

    class TextBudget(cls):
        @staticmethod
        def _compute_default_budget():
            return "many"

    return [
        raising(lambda: cls("1024"), TypeError),
        raising(lambda: cls(math.inf), OverflowError),
        raising(lambda: cls(math.nan), ValueError),
        raising(lambda: cls(1j), TypeError),
        raising(lambda: cls(BadIndex()), ZeroDivisionError),
        raising(lambda: cls(1, 2), TypeError),
        raising(lambda: cls(budget=1), TypeError),
        raising(lambda: cls(1, max_bytes=1), TypeError),
        raising(lambda: cls.__init__(), TypeError),
        raising(lambda: cls.__init__(pool, self=pool), TypeError),
        raising(lambda: FailingBudget(), LookupError),
        raising(lambda: TextBudget(), TypeError),
        raising(lambda: ext._detect_vram_gb(1), TypeError),
        raising(lambda: setattr(cls.lease, "__defaults__", [1]), TypeError),
        raising(lambda: setattr(cls.lease, "__name__", 1), TypeError),
    ]


@pytest.mark.parametrize("index", range(15))
def test_constructor_error_paths_do_not_leak(ext, index):
    action = constructor_errors(ext)[index]
    assert allocation_growth(action) < MAX_GROWTH


def test_budget_error_paths_do_not_leak(ext, monkeypatch):
    torch = FakeTorch(cuda_available=True)
    torch.cuda.get_device_properties = lambda device: (_ for _ in ()).throw(RuntimeError("gone"))
    monkeypatch.setattr(ext, "torch", torch)
    monkeypatch.setattr(ext, "psutil", FakePsutil(64 << 30, 32 << 30))
    assert allocation_growth(raising(ext.PinnedMemoryPool, RuntimeError)) < MAX_GROWTH
    monkeypatch.delattr(ext, "torch")
    assert allocation_growth(raising(ext._detect_vram_gb, NameError)) < MAX_GROWTH


def test_successful_construction_does_not_leak(ext, monkeypatch):
    monkeypatch.setattr(ext, "torch", FakeTorch())
    monkeypatch.setattr(ext, "psutil", FakePsutil(16 << 30, 8 << 30))
    assert allocation_growth(lambda: ext.PinnedMemoryPool()) < MAX_GROWTH
    assert allocation_growth(lambda: ext.PinnedMemoryPool(2.5)) < MAX_GROWTH


def pool_actions(ext, torch):
    """Each pool path once: successful ones and failing ones."""
    pool = ext.PinnedMemoryPool(1 << 30)
    tight = ext.PinnedMemoryPool(0)
    stranger = object()

    def round_trip():
        pool.release(pool.lease(1))

    def miss_with_eviction():
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

    class Raising(ext.PinnedMemoryPool):
        def _round_to_bucket(self, nbytes):
            raise LookupError("override failed")

    raising_pool = Raising(1 << 30)
    return {
        "hit": round_trip,
        "miss with eviction": miss_with_eviction,
        "release of a stranger": lambda: pool.release(stranger),
        "stats": pool.stats,
        "pressure": lambda: pool.is_under_pressure,
        "evict": pool._evict_oldest,
        "total": pool._total_allocated,
        "bad request": raising(lambda: pool.lease("1"), TypeError),
        "NaN request": raising(lambda: pool.lease(float("nan")), ValueError),
        "over-large": raising(lambda: pool.lease(300 << 20), ValueError),
        "huge": raising(lambda: pool._round_to_bucket(10**400), OverflowError),
        "surplus": raising(lambda: pool.lease(1, 2), TypeError),
        "failing torch.empty": raising(failing_allocation, MemoryError),
        "raising override": raising(lambda: raising_pool.lease(1), LookupError),
    }


POOL_PATHS = [
    "hit", "miss with eviction", "release of a stranger", "stats", "pressure", "evict", "total",
    "bad request", "NaN request", "over-large", "huge", "surplus", "failing torch.empty",
    "raising override",
]


@pytest.mark.parametrize("path", POOL_PATHS)
def test_pool_paths_do_not_leak(ext, monkeypatch, path):
    torch = FakeTorch()
    monkeypatch.setattr(ext, "torch", torch)
    action = pool_actions(ext, torch)[path]

    # The fake torch remembers its buffers; forget them so only the pool's own holdings remain.
    def run():
        action()
        torch.allocations.clear()
    assert allocation_growth(run, rounds=3000) < MAX_GROWTH
