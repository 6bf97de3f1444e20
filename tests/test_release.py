"""Release, and the guard against objects that took over a dropped buffer's identity."""

import gc
import os
import weakref

import pytest
import torch

from conftest import GIB, MIB


def test_release_pools_at_the_end(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    first, buf = pool.lease(1), pool.lease(1)
    pool.release(first)
    assert pool.release(buf=buf) is None
    assert pool._leased == {}
    assert pool._buckets[MIB] == [first, buf]
    assert pool._stats == {"leases": 2, "evictions": 0, "hits": 0, "misses": 2}


@pytest.mark.parametrize("stranger", [None, 12, "buf", object(), torch.empty(MIB, dtype=torch.uint8)])
def test_unknown_objects_are_ignored(impl, fake_torch, stranger):
    pool = impl.PinnedMemoryPool(GIB)
    kept = pool.lease(1)
    before = repr(vars(pool))
    assert pool.release(stranger) is None
    assert repr(vars(pool)) == before
    assert kept is not None


def test_release_twice_pools_once(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    pool.release(buf)
    pool.release(buf)
    assert pool._buckets[MIB] == [buf]


def test_views_and_other_pools_are_ignored(impl):
    pool, other = impl.PinnedMemoryPool(GIB), impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    pool.release(buf[:10])
    other.release(buf)
    assert pool._leased == {id(buf): MIB}
    assert other._buckets[MIB] == [] and other._leased == {}


@pytest.mark.parametrize("new_size, pooled_in", [(1000, None), (4 * MIB, 4 * MIB)])
def test_release_files_by_the_element_count_read_now(impl, new_size, pooled_in):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    buf.resize_(new_size)
    pool.release(buf)
    assert pool._leased == {}
    pooled = [b for bucket in pool._buckets.values() for b in bucket]
    assert pooled == ([] if pooled_in is None else [buf])
    assert pool._total_allocated() == (pooled_in or 0)


def test_release_over_budget_still_pools(impl, fake_torch):
    pool = impl.PinnedMemoryPool(0)
    buf = pool.lease(1)
    pool.release(buf)
    assert pool._buckets[MIB] == [buf]
    assert pool._stats["evictions"] == 1


def test_failing_numel_leaves_the_entry_removed(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)

    def broken():
        raise RuntimeError("numel failed")

    buf.numel = broken
    with pytest.raises(RuntimeError, match="numel failed"):
        pool.release(buf)
    assert pool._leased == {} and pool._buckets[MIB] == []


def test_entries_put_in_from_outside_are_honoured(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    stranger = fake_torch.empty(MIB, dtype=None, pin_memory=False)
    pool._leased[id(stranger)] = MIB
    pool.release(stranger)
    assert pool._buckets[MIB] == [stranger] and pool._leased == {}


def test_an_identity_kept_by_a_registry_key_keeps_its_value(impl):
    """The id() that release looks up with must not change after a key's __eq__ kept it."""
    kept = []

    class Colliding:
        def __init__(self, target):
            self.target = target

        def __hash__(self):
            return hash(id(self.target))

        def __eq__(self, other):
            kept.append(other)
            return False

    pool = impl.PinnedMemoryPool(GIB)
    first, second = object(), object()
    pool._leased[Colliding(first)] = MIB
    pool.release(first)
    pool.release(second)
    # The dict's probing may compare with the same key more than once.
    assert kept and all(value == id(first) for value in kept)


def test_buffers_without_weak_references_are_honoured(impl, monkeypatch):
    class Plain:
        __slots__ = ("size",)

        def __init__(self, size):
            self.size = size

        def numel(self):
            return self.size

    class PlainTorch:
        uint8 = "uint8"
        cuda = type("cuda", (), {"is_available": staticmethod(lambda: False)})

        @staticmethod
        def empty(size, dtype, pin_memory):
            return Plain(size)

    monkeypatch.setattr(impl, "torch", PlainTorch)
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    pool.release(buf)
    assert pool._buckets[MIB] == [buf]
    assert pool.lease(1) is buf


def reuse_identity(of_id, make):
    """Makes objects until one takes the identity `of_id`; keeps the others alive meanwhile."""
    made = []
    for _ in range(100000):
        candidate = make()
        if id(candidate) == of_id:
            return candidate
        made.append(candidate)
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("AddressSanitizer holds freed memory back, so no identity is reused")
    pytest.fail("the interpreter did not reuse the identity")


def test_dropped_buffer_identity_taken_over(impl):
    pool = impl.PinnedMemoryPool(GIB)
    dropped = pool.lease(1)
    dropped_id = id(dropped)
    del dropped  # freed at once: nothing else refers to it
    impostor = reuse_identity(dropped_id, lambda: torch.empty(MIB, dtype=torch.uint8))
    pool.release(impostor)
    assert pool._leased == {dropped_id: MIB}
    assert pool._buckets[MIB] == []
    assert pool._total_allocated() == MIB
    # A lease that gets the same identity takes the entry over and releases normally.
    pool._buckets[MIB].append(impostor)
    pool._leased.clear()
    assert pool.lease(1) is impostor
    pool.release(impostor)
    assert pool._buckets[MIB] == [impostor] and pool._leased == {}


def test_sweeps_keep_the_record_of_a_buffer_dropped_while_leased(impl, monkeypatch):
    class Buffer:
        # Sizes that no other object made meanwhile has, so that only a Buffer may take the
        # dropped one's memory, and no Keeper.
        __slots__ = ("size", "__weakref__", *"abcdefghi")

        def __init__(self, size):
            self.size = size

        def numel(self):
            return self.size

    class Keeper(Buffer):
        __slots__ = tuple("jklmnopqrstuvwxyz")

    made = [Buffer]
    fake = type("torch", (), {"uint8": "uint8", "empty": staticmethod(
        lambda size, dtype, pin_memory: made[0](size)), "cuda": type("cuda", (), {
            "is_available": staticmethod(lambda: False)})})
    monkeypatch.setattr(impl, "torch", fake)
    pool = impl.PinnedMemoryPool(GIB)
    made[0] = Keeper
    keepers = [pool.lease(1) for _ in range(62)]
    made[0] = Buffer
    dropped = pool.lease(1)
    dropped_id = id(dropped)
    del dropped
    made[0] = Keeper
    keepers += [pool.lease(1) for _ in range(3)]  # the guard sweeps its records at 64
    impostor = reuse_identity(dropped_id, lambda: Buffer(MIB))
    pool.release(impostor)
    assert pool._leased.get(dropped_id) == MIB and pool._buckets[MIB] == []
    for keeper in keepers:
        pool.release(keeper)
    assert pool._buckets[MIB] == keepers and list(pool._leased) == [dropped_id]


def test_reinit_forgets_the_leases(impl, fake_torch):
    pool = impl.PinnedMemoryPool(GIB)
    pool.release(pool.lease(1))
    kept = pool.lease(1)
    before = dict(vars(pool))
    pool.__init__(2 * GIB)
    assert pool.max_bytes == 2 * GIB
    for name in ("_buckets", "_leased", "_stats"):
        assert getattr(pool, name) is not before[name]
    assert pool._leased == {} and pool._stats["leases"] == 0
    pool.release(kept)
    assert pool._buckets[MIB] == []


def test_guard_made_by_a_finalizer_during_the_first_lease(ext, fake_torch):
    """The first lease of a pool makes its guard; a collection set off while it does so may run
    a finalizer that leases from the same pool and makes the guard first."""
    pool = ext.PinnedMemoryPool(GIB)
    pool._buckets[MIB].append(fake_torch.empty(MIB, dtype=None, pin_memory=False))

    class Leaser:
        """Cyclic garbage whose finalizer leases from the pool and leaves more such garbage."""

        def __init__(self):
            self.cycle = self

        def __del__(self):
            if pool._stats["leases"] < 3:
                Leaser()
                pool.lease(1)

    thresholds = gc.get_threshold()
    gc.collect()
    Leaser()
    gc.set_threshold(1)
    try:
        buf = pool.lease(1)
    finally:
        gc.set_threshold(*thresholds)
    gc.collect()
    pool.release(buf)
    assert pool._buckets[MIB][-1] is buf and id(buf) not in pool._leased


class Rebinding(dict):
    """A dict whose membership test replaces the pool's state, as caller code run by a key's
    comparison may do in the middle of a release."""

    def __init__(self, contents, pool, rebind):
        super().__init__(contents)
        self.pool, self.rebind = pool, rebind

    def __contains__(self, key):
        self.rebind(self.pool)
        return super().__contains__(key)


def replace_buckets(pool):
    pool._buckets = {MIB: []}


@pytest.mark.parametrize("attribute, rebind, error", [
    ("_leased", lambda pool: pool.__init__(GIB), KeyError),
    ("_buckets", replace_buckets, None),
])
def test_release_reads_its_state_at_each_step(impl, fake_torch, attribute, rebind, error):
    """The membership test and the change that follows it each read the attribute anew."""
    pool = impl.PinnedMemoryPool(GIB)
    buf = pool.lease(1)
    setattr(pool, attribute, Rebinding(getattr(pool, attribute), pool, rebind))
    if error is None:
        pool.release(buf)
    else:
        with pytest.raises(error):
            pool.release(buf)
    assert pool._buckets[MIB] == ([] if error else [buf])
    assert not isinstance(pool._buckets, Rebinding)


def test_the_guard_outlives_calls_of_its_weak_reference_callback(ext):
    """The guard's weak reference to its pool has a callback that Python code can reach and
    call while the pool lives, even from a collection that a lease sets off: it changes
    nothing then."""
    pool = ext.PinnedMemoryPool(GIB)
    pool.release(pool.lease(1))

    def call_the_pool_callbacks(phase, info):
        for ref in weakref.getweakrefs(pool):
            ref.__callback__(ref)

    thresholds = gc.get_threshold()
    gc.callbacks.append(call_the_pool_callbacks)
    gc.set_threshold(1)
    try:
        dropped = pool.lease(4 * MIB)
    finally:
        gc.set_threshold(*thresholds)
        gc.callbacks.remove(call_the_pool_callbacks)
    dropped_id = id(dropped)
    del dropped
    impostor = reuse_identity(dropped_id, lambda: torch.empty(4 * MIB, dtype=torch.uint8))
    pool.release(impostor)
    assert pool._leased == {dropped_id: 4 * MIB} and pool._buckets[4 * MIB] == []
