"""Arbitrary objects as arguments and as the pool's state: every call either does what the rules
say (the plain-Python twin says what that is) or raises, and nothing crashes."""

import copy
import decimal
import fractions
import math

from hypothesis import given, settings, strategies as st

import reference_pool
from conftest import FakeTorch, RaisingIndex, RaisingInt, load_extension

MIB = 1 << 20


class IntSub(int):
    pass


class FloatSub(float):
    pass


class IndexOnly:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class FloatOnly:
    def __float__(self):
        return 1.5


class RaisingEq:
    def __eq__(self, other):
        raise RuntimeError("no comparing")

    __hash__ = object.__hash__


numbers = st.one_of(
    st.integers(),
    st.sampled_from([10**400, -(10**400), 2**63, -(2**63) - 1, 2**64, MIB, MIB + 1, 256 * MIB + 1]),
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.builds(IntSub, st.integers(min_value=-(2**70), max_value=2**70)),
    st.builds(FloatSub, st.floats(allow_nan=True)),
    st.builds(IndexOnly, st.integers(min_value=-(2**40), max_value=2**40)),
    st.builds(fractions.Fraction, st.integers(), st.integers(min_value=1, max_value=10**6)),
    st.sampled_from([decimal.Decimal("1.5"), decimal.Decimal("NaN"), decimal.Decimal("-Infinity"),
                     complex(1, 2)]),
)
others = st.sampled_from([None, "12", b"1", [1], (), {}, object(), RaisingIndex(), RaisingInt(),
                          FloatOnly(), RaisingEq(), math, len])
hostile = st.one_of(numbers, others, st.text(max_size=3))


def outcome(call):
    try:
        return ("returned", call())
    except Exception as error:  # noqa: BLE001 - any failure must be the same on both sides
        message = str(error)
        return ("raised", type(error), None if "0x" in message else message)


def plain(value):
    """A result with buffers replaced by their size and every other value by its type and
    repr, so that 2 and 2.0 (or two NaNs) compare as what they are."""
    if isinstance(value, type):
        return value
    if isinstance(value, tuple):
        return tuple(plain(item) for item in value)
    if isinstance(value, dict):
        return {plain(k): plain(v) for k, v in value.items()}
    if isinstance(value, list):
        return [plain(item) for item in value]
    if type(value).__name__ == "FakeBuffer":
        return ("buffer", value.size)
    return (type(value).__name__, repr(value))


def both(action, setup=lambda pool: None, budget=1 << 30):
    """Runs `action` on a fresh pool of each implementation; returns the two outcomes."""
    results = []
    for module in (load_extension(), reference_pool):
        saved = module.torch
        module.torch = FakeTorch()
        try:
            pool = module.PinnedMemoryPool(budget)
            setup(pool)
            results.append(plain(outcome(lambda: action(pool))))
        finally:
            module.torch = saved
    return results


@settings(max_examples=300, deadline=None)
@given(value=hostile)
def test_requests(value):
    for call in (lambda pool: pool.lease(value), lambda pool: pool._round_to_bucket(value)):
        ext, ref = both(call)
        assert ext == ref


@settings(max_examples=200, deadline=None)
@given(value=hostile)
def test_budgets(value):
    def construct(pool):
        pool.__init__(value)
        return pool.max_bytes, pool.lease(MIB)
    ext, ref = both(construct)
    assert ext == ref


@settings(max_examples=200, deadline=None)
@given(value=hostile)
def test_releases(value):
    def release(pool):
        pool.lease(1)
        return pool.release(value), pool._leased == {}, pool.stats()
    ext, ref = both(release)
    assert ext == ref


scalars = st.sampled_from([None, 0, -1, 2.5, math.nan, "x", b"y", 10**30, True, 1j,
                           fractions.Fraction(3, 2), MIB, 4 * MIB])
sizes = st.one_of(st.sampled_from([MIB, 4 * MIB]), scalars)
# (attribute, foreign value): each attribute gets values shaped like, or unlike, its own.
foreign = st.one_of(
    st.tuples(st.just("_buckets"), st.one_of(
        st.dictionaries(sizes, st.one_of(st.lists(scalars, max_size=3), scalars), max_size=4),
        scalars)),
    st.tuples(st.just("_leased"), st.one_of(
        st.dictionaries(st.integers(-2, 2), scalars, max_size=4), scalars)),
    st.tuples(st.just("_stats"), st.one_of(
        st.dictionaries(st.sampled_from(["leases", "evictions", "hits", "misses"]), scalars,
                        max_size=4), scalars)),
    st.tuples(st.just("BUCKET_SIZES_BYTES"), st.one_of(st.lists(sizes, max_size=4), scalars)),
    st.tuples(st.just("max_bytes"), scalars),
)
OPERATIONS = {
    "lease": lambda pool: pool.lease(MIB),
    "lease large": lambda pool: pool.lease(4 * MIB),
    "release": lambda pool: pool.release(pool._buckets),
    "stats": lambda pool: pool.stats(),
    "total": lambda pool: pool._total_allocated(),
    "evict": lambda pool: pool._evict_oldest(),
    "pressure": lambda pool: pool.is_under_pressure,
}


@settings(max_examples=500, deadline=None)
@given(state=foreign,
       operations=st.lists(st.sampled_from(sorted(OPERATIONS)), min_size=1, max_size=6))
def test_foreign_state(state, operations):
    attribute, value = state

    def setup(pool):
        setattr(pool, attribute, copy.deepcopy(value))

    def run(pool):
        return [outcome(lambda: OPERATIONS[name](pool)) for name in operations]

    ext, ref = both(run, setup)
    assert ext == ref
