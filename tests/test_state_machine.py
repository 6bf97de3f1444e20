"""Random call sequences on the extension and on the plain-Python twin must agree at every step."""

from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, rule

import reference_pool
from conftest import MIB, FakeBuffer, FakeTorch, load_extension

SIZES = [MIB, 4 * MIB, 16 * MIB, 64 * MIB, 256 * MIB]
BOUNDARIES = [size + delta for size in SIZES for delta in (-1, 0, 1)]

requests = st.one_of(
    st.sampled_from(BOUNDARIES + [0, -5, 2.9, 1048576.0, 10**9, 10**30, True, -(10**30)]),
    st.integers(min_value=-(2**21), max_value=2**29),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([None, "1024", b"1", [1], 1j]),
)
budgets = st.sampled_from([0, -1, MIB, 5 * MIB, 100 * MIB, 1 << 30, 10**20])


def outcome(call, *args):
    try:
        return ("returned", call(*args))
    except Exception as error:  # noqa: BLE001 - any failure must be the same on both sides
        return ("raised", type(error), str(error))


class PoolsAgree(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.ext = load_extension()
        self.saved = [(module, module.torch) for module in (self.ext, reference_pool)]
        self.torches = [FakeTorch(), FakeTorch()]
        self.ext.torch, reference_pool.torch = self.torches
        self.pools = [self.ext.PinnedMemoryPool(100 * MIB), reference_pool.PinnedMemoryPool(100 * MIB)]
        # Every object either side ever saw stays alive, so no identity is reused.
        self.strangers = []

    def teardown(self):
        for module, torch in self.saved:
            module.torch = torch

    def both(self, action):
        results = [outcome(action, pool) for pool in self.pools]
        assert self.plain(results[0], 0) == self.plain(results[1], 1), results
        return results

    def plain(self, value, side):
        """`value` with each buffer replaced by its allocation number on that side."""
        if isinstance(value, tuple):
            return tuple(self.plain(item, side) for item in value)
        if isinstance(value, dict):
            return {self.plain(k, side): self.plain(v, side) for k, v in value.items()}
        if isinstance(value, list):
            return [self.plain(item, side) for item in value]
        if type(value).__name__ == "FakeBuffer":
            return ("buffer", value.serial, value.size)
        return value

    def registry(self, side):
        by_id = {id(buf): buf.serial for buf in self.torches[side].allocations}
        return {by_id.get(key, key): size for key, size in self.pools[side]._leased.items()}

    @rule(nbytes=requests)
    def lease(self, nbytes):
        self.both(lambda pool: pool.lease(nbytes))

    @rule(nbytes=requests)
    def round_to_bucket(self, nbytes):
        self.both(lambda pool: pool._round_to_bucket(nbytes))

    @rule(pick=st.integers(min_value=0))
    def release_allocated(self, pick):
        """Releases a buffer the pool made: leased, pooled or already released."""
        allocations = [torch.allocations for torch in self.torches]
        if allocations[0]:
            index = pick % len(allocations[0])
            self.both(lambda pool: pool.release(allocations[self.pools.index(pool)][index]))

    @rule(stranger=st.sampled_from([None, 0, "buf", 1.5]), size=st.sampled_from(SIZES))
    def release_stranger(self, stranger, size):
        buffers = [FakeBuffer(size, -1, None, False) for _ in self.pools]
        self.strangers.append(buffers)
        self.both(lambda pool: pool.release(buffers[self.pools.index(pool)]))
        self.both(lambda pool: pool.release(stranger))

    @rule(budget=budgets)
    def set_budget(self, budget):
        for pool in self.pools:
            pool.max_bytes = budget

    @rule()
    def evict(self):
        self.both(lambda pool: pool._evict_oldest())

    @rule()
    def stats(self):
        self.both(lambda pool: pool.stats())
        self.both(lambda pool: pool._total_allocated())

    @invariant()
    def same_state(self):
        ext, ref = self.pools
        assert ext.max_bytes == ref.max_bytes
        assert self.plain(ext._buckets, 0) == self.plain(ref._buckets, 1)
        assert self.registry(0) == self.registry(1)
        assert list(ext._stats.items()) == list(ref._stats.items())
        assert ext._stats["leases"] == ext._stats["hits"] + ext._stats["misses"]
        assert ext._total_allocated() == sum(
            size * len(bufs) for size, bufs in ext._buckets.items()) + sum(ext._leased.values())


PoolsAgree.TestCase.settings = settings(max_examples=150, stateful_step_count=40, deadline=None)
test_pools_agree = PoolsAgree.TestCase

