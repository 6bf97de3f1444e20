"""Statistics and the pressure flag."""

import pytest

from conftest import GIB, MIB

KEYS = ["leases", "evictions", "hits", "misses", "total_allocated_bytes", "max_bytes",
        "leased_count", "is_under_pressure"]


def test_fresh_pool(impl):
    pool = impl.PinnedMemoryPool(12345)
    report = pool.stats()
    assert list(report) == KEYS
    assert list(report.values()) == [0, 0, 0, 0, 0, 12345, 0, False]
    assert pool.is_under_pressure is False


def test_report_follows_the_pool(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    a, still_leased = pool.lease(1), pool.lease(4 * MIB)
    pool.release(a)
    pool.release("not leased")
    report = pool.stats()
    assert report == {"leases": 2, "evictions": 0, "hits": 0, "misses": 2,
                      "total_allocated_bytes": 5 * MIB, "max_bytes": GIB,
                      "leased_count": 1, "is_under_pressure": False}
    assert report["is_under_pressure"] == pool.is_under_pressure
    assert pool._leased == {id(still_leased): 4 * MIB}


def test_reports_are_new_dicts(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    first, second = pool.stats(), pool.stats()
    assert first is not second
    first["leases"] = 99
    pool.lease(1)
    assert second["leases"] == 0 and pool._stats["leases"] == 1


@pytest.mark.parametrize("leases, evictions, pressure", [
    (10, 1, False), (9, 1, True), (10, 2, True), (1, 5, True), (0, 5, False), (0, 0, False),
    (100, 10, False), (100, 11, True),
])
def test_pressure(impl, leases, evictions, pressure):
    pool = impl.PinnedMemoryPool(GIB)
    pool._stats.update(leases=leases, evictions=evictions)
    assert pool.is_under_pressure is pressure
    assert pool.stats()["is_under_pressure"] is pressure


def test_pressure_from_real_evictions(impl, fake_torch):
    pool = impl.PinnedMemoryPool(0)
    pool.lease(1)
    assert pool.is_under_pressure is True


def test_missing_counters(impl):
    pool = impl.PinnedMemoryPool(GIB)
    del pool._stats["evictions"]
    assert pool.is_under_pressure is False  # no leases: the evictions are never read
    pool._stats["leases"] = 3
    with pytest.raises(KeyError):
        pool.is_under_pressure
    with pytest.raises(KeyError):
        pool.stats()


def test_counters_in_another_mapping(impl):
    class Counters(dict):
        pass

    pool = impl.PinnedMemoryPool(GIB)
    pool._stats = Counters(pool._stats)
    report = pool.stats()
    assert type(report) is dict and list(report) == KEYS


def test_failures_leave_no_partial_report(impl):
    class Broken(impl.PinnedMemoryPool):
        def _total_allocated(self):
            raise ArithmeticError("cannot count")

    with pytest.raises(ArithmeticError, match="cannot count"):
        Broken(GIB).stats()


def test_counter_values_seen_elsewhere_keep_their_value(impl, fake_torch):
    """Counting may reuse an int that only the counters hold; one held anywhere else, or one at
    the end of its digit's range, is left as it is."""
    pool = impl.PinnedMemoryPool(GIB)
    pool.release(pool.lease(1))
    pool._stats["hits"] = int("1073741820")  # 2**30 - 4, made at run time: held by the dict only
    report = pool.stats()
    held = []
    for expected in range(2**30 - 3, 2**30 + 3):
        pool.release(pool.lease(1))
        assert pool._stats["hits"] == expected
        if expected % 2:
            held.append(pool._stats["hits"])
    assert held == [2**30 - 3, 2**30 - 1, 2**30 + 1]
    assert report["hits"] == 2**30 - 4 and report["leases"] == 1
    assert pool._stats["leases"] == 7 and type(pool._stats["hits"]) is int
