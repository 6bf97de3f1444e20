"""Leasing and bucket rounding."""

import collections
import types

import pytest
import torch

from conftest import GIB, MIB, FakeTorch

SIZES = [1 * MIB, 4 * MIB, 16 * MIB, 64 * MIB, 256 * MIB]


@pytest.mark.parametrize("nbytes, bucket", [
    (-5, MIB), (0, MIB), (1, MIB), (MIB, MIB), (MIB + 1, 4 * MIB), (3000000, 4 * MIB),
    (4 * MIB, 4 * MIB), (16 * MIB, 16 * MIB), (16 * MIB + 1, 64 * MIB), (256 * MIB, 256 * MIB),
    (2.9, MIB), (float(MIB), MIB), (True, MIB), (-10**30, MIB),
])
def test_rounding(impl, fake_torch, nbytes, bucket):
    pool = impl.PinnedMemoryPool(GIB)
    rounded = pool._round_to_bucket(nbytes)
    assert rounded == bucket and type(rounded) is int
    buf = pool.lease(nbytes)
    assert buf.size == bucket
    assert pool._leased == {id(buf): bucket}


@pytest.mark.parametrize("nbytes, message", [
    (256 * MIB + 1, "Requested 256.0MB exceeds max bucket 256MB. Caller must split tensor into chunks."),
    (300 * MIB, "Requested 300.0MB exceeds max bucket 256MB. Caller must split tensor into chunks."),
    (10**9, "Requested 953.7MB exceeds max bucket 256MB. Caller must split tensor into chunks."),
    (10**9 + 0.5, "Requested 953.7MB exceeds max bucket 256MB. Caller must split tensor into chunks."),
])
def test_over_large_request_changes_nothing(impl, fake_torch, nbytes, message):
    pool = impl.PinnedMemoryPool(GIB)
    before = repr(vars(pool))
    for call in (pool.lease, pool._round_to_bucket):
        with pytest.raises(ValueError) as caught:
            call(nbytes)
        assert caught.value.args == (message,)
    assert repr(vars(pool)) == before
    assert fake_torch.allocations == []


def test_over_large_message_reads_the_sizes_through_the_instance(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    pool.BUCKET_SIZES_BYTES = [MIB, 3 * MIB + MIB // 2]
    with pytest.raises(ValueError, match=r"^Requested 4\.0MB exceeds max bucket 4MB\. "):
        pool._round_to_bucket(4 * MIB)
    with pytest.raises(OverflowError):
        pool._round_to_bucket(10**400)


@pytest.mark.parametrize("value, name", [
    (None, "NoneType"), ("5", "str"), ([5], "list"),
    (collections.OrderedDict(), "collections.OrderedDict"),
])
def test_bad_request_types(impl, fake_torch, value, name):
    pool = impl.PinnedMemoryPool(GIB)
    for call in (pool.lease, pool._round_to_bucket):
        with pytest.raises(TypeError) as caught:
            call(value)
        assert str(caught.value) == f"Argument 'nbytes' has incorrect type (expected int, got {name})"
    assert pool._stats["leases"] == 0 and pool._leased == {}


def test_keyword_argument(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    assert pool.lease(nbytes=MIB).size == MIB
    assert pool._round_to_bucket(nbytes=MIB + 1) == 4 * MIB


def test_real_buffers(impl):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(3000000)
    assert isinstance(buf, torch.Tensor)
    assert buf.dtype == torch.uint8 and buf.dim() == 1 and buf.numel() == 4 * MIB
    assert buf.is_pinned() == torch.cuda.is_available()
    buf[:5] = 7
    pool.release(buf)
    again = pool.lease(4 * MIB)
    assert again is buf and again[:5].tolist() == [7] * 5  # reused, not cleared


def test_allocation_call(impl, monkeypatch):
    calls = []

    class Recording(FakeTorch):
        def empty(self, *args, **kwargs):
            calls.append((args, kwargs))
            return super().empty(*args, **kwargs)

    for available in (False, True):
        monkeypatch.setattr(impl, "torch", Recording(cuda_available=available))
        impl.PinnedMemoryPool(GIB).lease(1)
        assert calls.pop() == ((MIB,), {"dtype": "uint8", "pin_memory": available})


def test_hits_are_last_in_first_out(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    first, second = pool.lease(1), pool.lease(1)
    pool.release(first)
    pool.release(second)
    assert pool.lease(1) is second
    assert pool.lease(1) is first
    assert pool._stats == {"leases": 4, "evictions": 0, "hits": 2, "misses": 2}
    assert len(fake_torch.allocations) == 2


def test_empty_bucket_misses_even_when_others_are_pooled(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    pool.release(pool.lease(64 * MIB))
    pool.lease(1)
    assert pool._stats["misses"] == 2 and pool._stats["hits"] == 0
    assert len(pool._buckets[64 * MIB]) == 1


def test_budget_smaller_than_a_bucket_evicts_once_per_miss(impl, fake_torch):
    pool = impl.PinnedMemoryPool(0)
    a = pool.lease(1)  # over budget with nothing pooled: counted, nothing removed
    pool.release(a)
    b = pool.lease(4 * MIB)  # over budget: evicts a, allocates all the same
    c = pool.lease(4 * MIB)
    assert pool._buckets[MIB] == []
    assert pool._stats == {"leases": 3, "evictions": 3, "hits": 0, "misses": 3}
    assert pool._total_allocated() == 8 * MIB
    assert {id(b), id(c)} == set(pool._leased)


def test_exactly_at_budget_does_not_evict(impl, fake_torch):
    pool = impl.PinnedMemoryPool(2 * MIB)
    pool.lease(1)
    pool.lease(1)  # 1 MiB accounted + 1 MiB new == budget
    assert pool._stats["evictions"] == 0
    pool.lease(1)  # 2 MiB + 1 MiB > budget
    assert pool._stats["evictions"] == 1


def test_hit_on_an_over_budget_pool_evicts_nothing(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    pool.lease(256 * MIB)
    pool.release(buf)
    pool.max_bytes = 0
    pool._total_allocated = lambda: pytest.fail("a hit must not compute totals")
    assert pool.lease(1) is buf
    assert pool._stats["evictions"] == 0


def test_evicted_buffer_is_not_reused_by_the_lease_that_evicted_it(impl, fake_torch):
    pool = impl.PinnedMemoryPool(MIB)
    old = pool.lease(64 * MIB)
    pool.release(old)
    new = pool.lease(1)
    assert new is not old and pool._buckets[64 * MIB] == []


def test_allocation_failure_keeps_the_eviction(impl, fake_torch):
    pool = impl.PinnedMemoryPool(0)
    pool.release(pool.lease(1))

    def fail(*args, **kwargs):
        raise RuntimeError("out of pinned memory")

    fake_torch.empty = fail
    with pytest.raises(RuntimeError, match="out of pinned memory"):
        pool.lease(4 * MIB)
    assert pool._stats == {"leases": 1, "evictions": 2, "hits": 0, "misses": 1}
    assert pool._buckets[MIB] == [] and pool._leased == {}


def test_missing_budget_fails_at_the_first_miss(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    pool.release(buf)
    pool.max_bytes = None
    assert pool.lease(1) is buf  # hits never look at the budget
    with pytest.raises(TypeError):
        pool.lease(1)
    assert pool._stats["misses"] == 1 and pool._stats["evictions"] == 0


def test_bucket_size_without_a_list(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    pool.BUCKET_SIZES_BYTES = [12345]
    with pytest.raises(KeyError):
        pool.lease(1)
    assert pool._stats["leases"] == 0 and fake_torch.allocations == []


def test_failing_registration_keeps_the_hit(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    pool.release(buf)

    class Refusing(dict):
        def __setitem__(self, key, value):
            raise PermissionError("read-only registry")

    pool._leased = Refusing()
    with pytest.raises(PermissionError):
        pool.lease(1)
    assert pool._buckets[MIB] == [] and pool._stats["hits"] == 1 and pool._stats["leases"] == 1


class Fits:
    def __ge__(self, other):
        return True


def test_bucket_entries_that_are_numbers_are_returned_as_int(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    pool.BUCKET_SIZES_BYTES = [2.5, 8.0]
    assert pool._round_to_bucket(2) == 2 and type(pool._round_to_bucket(2)) is int
    assert pool._round_to_bucket(3) == 8
    pool.BUCKET_SIZES_BYTES = [Fits()]
    with pytest.raises(TypeError) as caught:
        pool._round_to_bucket(1)
    assert str(caught.value) == "Expected int, got Fits"
    pool.BUCKET_SIZES_BYTES = (size for size in [MIB, 2 * MIB])
    assert pool._round_to_bucket(MIB + 1) == 2 * MIB


def test_over_large_message_indexes_the_sizes_as_python_does(impl, fake_torch):
    class Sizes(dict):
        """A mapping that iterates over its values and knows the key -1."""

        def __iter__(self):
            return iter(self.values())

    pool = impl.PinnedMemoryPool(GIB)
    pool.BUCKET_SIZES_BYTES = Sizes({-1: 2 * MIB, 0: MIB})
    with pytest.raises(ValueError, match=r"^Requested 3\.0MB exceeds max bucket 2MB\. "):
        pool._round_to_bucket(3 * MIB)


def test_torch_as_a_module_is_read_in_order_and_through_its_getattr(impl, monkeypatch):
    """A real module as torch: names in its namespace are read as Python reads them, and one it
    lacks comes from the module's __getattr__, at every allocation."""
    fake, looked_up = FakeTorch(), []
    module = types.ModuleType("torch")
    module.empty = fake.empty
    cuda = module.cuda = types.ModuleType("torch.cuda")
    cuda.is_available = lambda: looked_up.append("is_available()") or False

    def module_getattr(name):
        looked_up.append(name)
        if name == "uint8":
            return "uint8"
        raise AttributeError(name)

    module.__getattr__ = module_getattr
    monkeypatch.setattr(impl, "torch", module)
    pool = impl.PinnedMemoryPool(GIB)
    pool.lease(1)
    module.empty = lambda *args, **kwargs: "rebound"
    assert pool.lease(1) == "rebound"
    assert looked_up == ["uint8", "is_available()"] * 2
    assert fake.allocations[0].pin_memory is False and fake.allocations[0].dtype == "uint8"
