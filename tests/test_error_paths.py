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
