"""Eviction order and the accounted total."""

import pytest

from conftest import GIB, MIB


def released(pool, *sizes):
    """Leases one buffer per size, then releases them in that order."""
    bufs = [pool.lease(size) for size in sizes]
    for buf in bufs:
        pool.release(buf)
    return bufs


def test_new_pool(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    assert pool._total_allocated() == 0
    assert pool._evict_oldest() is None
    assert all(bucket == [] for bucket in pool._buckets.values())


def test_largest_bucket_first_then_oldest(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    x, y, z = released(pool, 1, 1, 64 * MIB)
    stats = dict(pool._stats)
    expected_totals = [64 * MIB + 2 * MIB, 2 * MIB, MIB, 0, 0]
    remaining = [[x, y], [y], [], [], []]
    for total, left in zip(expected_totals, remaining):
        assert pool._total_allocated() == total
        assert pool._evict_oldest() is None
        assert pool._buckets[MIB] == left
        assert pool._buckets[64 * MIB] == []
    assert pool._stats == stats


def test_eviction_takes_the_front_and_lease_the_end(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    x, y, z = released(pool, 1, 1, 1)
    pool._evict_oldest()
    assert pool._buckets[MIB] == [y, z]
    assert pool.lease(1) is z


def test_leased_buffers_count_and_are_never_evicted(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    kept = [pool.lease(4 * MIB), pool.lease(64 * MIB)]
    assert pool._total_allocated() == 68 * MIB
    pool._evict_oldest()
    assert pool._total_allocated() == 68 * MIB
    assert len(kept) == len(pool._leased) == 2


def test_mixed_total(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    released(pool, 16 * MIB, 16 * MIB)
    pool.lease(1)
    assert pool._total_allocated() == 2 * 16 * MIB + MIB


def test_release_keeps_the_total(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    before = pool._total_allocated()
    pool.release(buf)
    assert pool._total_allocated() == before


def test_eviction_walks_the_sizes_through_the_instance(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    small, large = released(pool, 1, 256 * MIB)
    pool.BUCKET_SIZES_BYTES = [256 * MIB, MIB]  # walked from the end, not sorted
    pool._evict_oldest()
    assert pool._buckets[MIB] == [] and pool._buckets[256 * MIB] == [large]


def test_eviction_of_a_size_without_a_bucket(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    released(pool, 1)
    pool.BUCKET_SIZES_BYTES = [MIB, 3]
    with pytest.raises(KeyError):
        pool._evict_oldest()
    assert len(pool._buckets[MIB]) == 1


@pytest.mark.parametrize("leased, expected", [
    ({1: 2.5}, 2),        # a float sum becomes an int
    ({1: True}, 1),
    ({1: 10**30}, 10**30),
])
def test_totals_of_foreign_values(impl, fake_torch, leased, expected):
    pool = impl.PinnedMemoryPool(GIB)
    pool._leased = leased
    total = pool._total_allocated()
    assert total == expected and type(total) is int


@pytest.mark.parametrize("buckets, leased, error", [
    ({MIB: None}, {}, TypeError),          # len(None)
    ({MIB: []}, {1: "x"}, TypeError),      # 0 + "x"
    ({}, {1: [1]}, TypeError),             # int + list
    ({MIB: [1]}, {1: 1j}, TypeError),      # a complex total is no int
])
def test_totals_of_foreign_values_that_fail(impl, fake_torch, buckets, leased, error):
    pool = impl.PinnedMemoryPool(GIB)
    pool._buckets, pool._leased = buckets, leased
    with pytest.raises(error):
        pool._total_allocated()


def test_total_that_is_no_number(impl, fake_torch):
    class Text(str):
        def __radd__(self, other):
            return Text("total")

    pool = impl.PinnedMemoryPool(GIB)
    pool._leased = {1: Text("x")}
    with pytest.raises(TypeError) as caught:
        pool._total_allocated()
    assert str(caught.value) == "Expected int, got Text"
