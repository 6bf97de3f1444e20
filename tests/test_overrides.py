"""Internal calls go through the instance: overrides on a subclass or an instance are called."""

import functools

import pytest

from conftest import GIB, MIB


class Calls(list):
    pass


def overriding_subclass(impl, calls):
    base = impl.PinnedMemoryPool

    class Sub(base):
        BUCKET_SIZES_BYTES = [MIB, 2 * MIB]

        def _round_to_bucket(self, nbytes):
            calls.append(("round", nbytes))
            return base._round_to_bucket(self, nbytes)

        def _total_allocated(self):
            calls.append("total")
            return base._total_allocated(self)

        def _evict_oldest(self):
            calls.append("evict")
            return base._evict_oldest(self)

        @property
        def is_under_pressure(self):
            calls.append("pressure")
            return "custom"

        @staticmethod
        def _compute_default_budget():
            calls.append("budget")
            return 3 * MIB

    return Sub


def test_subclass_overrides_are_called(impl, fake_torch):
    calls = Calls()
    pool = overriding_subclass(impl, calls)()
    assert calls == ["budget"] and pool.max_bytes == 3 * MIB
    assert list(pool._buckets) == [MIB, 2 * MIB]
    del calls[:]
    a = pool.lease(2 * MIB)
    b = pool.lease(2 * MIB)  # 2 + 2 > 3 MiB: over budget
    assert calls == [("round", 2 * MIB), "total", ("round", 2 * MIB), "total", "evict"]
    del calls[:]
    pool.release(a)
    assert pool.lease(MIB + 1) is a and calls == [("round", MIB + 1)]
    del calls[:]
    report = pool.stats()
    assert calls == ["total", "pressure"] and report["is_under_pressure"] == "custom"
    assert b is not None


def test_instance_overrides_are_called(impl, fake_torch):
    pool = impl.PinnedMemoryPool(0)
    calls = Calls()
    pool._round_to_bucket = lambda nbytes: calls.append("round") or MIB
    pool._total_allocated = lambda: calls.append("total") or 0
    pool._evict_oldest = lambda: calls.append("evict")
    pool.BUCKET_SIZES_BYTES = []
    buf = pool.lease(10**12)
    assert buf.size == MIB
    assert calls == ["round", "total", "evict"]
    assert pool.stats()["total_allocated_bytes"] == 0


def test_overrides_on_the_class_itself(impl, fake_torch, monkeypatch):
    cls = impl.PinnedMemoryPool
    monkeypatch.setattr(cls, "_round_to_bucket", lambda self, nbytes: 4 * MIB)
    assert cls(GIB).lease(1).size == 4 * MIB


@pytest.mark.parametrize("name", ["_round_to_bucket", "_total_allocated", "_evict_oldest"])
def test_exceptions_from_overrides_propagate_and_the_pool_stays_usable(impl, fake_torch, name):
    pool = impl.PinnedMemoryPool(0)

    def broken(*args):
        raise LookupError(name)

    setattr(pool, name, broken)
    with pytest.raises(LookupError, match=name):
        pool.lease(1)
    assert pool._stats["leases"] == 0 and pool._leased == {}
    delattr(pool, name)
    buf = pool.lease(1)
    pool.release(buf)
    assert pool.lease(1) is buf
    assert pool._stats["leases"] == 2 and pool._stats["hits"] == 1


def test_rebinding_torch_takes_effect_on_the_next_call(impl, fake_torch, monkeypatch):
    from conftest import FakeTorch

    pool = impl.PinnedMemoryPool(GIB)
    first = pool.lease(1)
    other = FakeTorch(cuda_available=True)
    monkeypatch.setattr(impl, "torch", other)
    second = pool.lease(1)
    assert first in fake_torch.allocations and second in other.allocations
    assert second.pin_memory is True


def recursing_call(impl, wiring):
    """A call that never ends because an override is wired back to the pool's own methods."""
    cls = impl.PinnedMemoryPool
    if wiring == "subclass":
        class Sub(cls):
            _round_to_bucket = cls.lease
        return Sub(GIB).lease, (1,)
    pool = cls(GIB)
    if wiring == "instance":
        pool._total_allocated = pool.stats
        return pool.stats, ()
    pool._compute_default_budget = functools.partial(cls.__init__, pool)
    return pool.__init__, ()


@pytest.mark.parametrize("wiring", ["subclass", "instance", "partial"])
def test_runaway_recursion_ends_in_recursion_error(impl, fake_torch, wiring):
    call, args = recursing_call(impl, wiring)
    for _ in range(3):  # the depth is given back each time
        with pytest.raises(RecursionError):
            call(*args)
    pool = impl.PinnedMemoryPool(GIB)
    pool.release(pool.lease(1))
    assert pool._stats["hits"] == 0 and len(pool._buckets[MIB]) == 1
