"""Construction: argument conversion, the default budget, and the state a pool starts with."""

import fractions
import math

import pytest

from conftest import GIB, RaisingIndex


class Indexable:
    def __index__(self):
        return 77


class IntLike:
    def __int__(self):
        return 78


class FloatOnly:
    def __float__(self):
        return 1.0


class IntSubclass(int):
    pass


@pytest.mark.parametrize("value, expected", [
    (1073741824, 1073741824),
    (0, 0),
    (-1, -1),
    (True, 1),
    (False, 0),
    (2.9, 2),
    (-2.9, -2),
    (10**40, 10**40),
    (IntSubclass(12), 12),
    (Indexable(), 77),
    (IntLike(), 78),
    (fractions.Fraction(7, 2), 3),
])
def test_budget_argument_conversion(impl, value, expected):
    pool = impl.PinnedMemoryPool(value)
    assert pool.max_bytes == expected
    assert type(pool.max_bytes) is int


@pytest.mark.parametrize("value, error, message", [
    ("1024", TypeError, "Argument 'max_bytes' has incorrect type (expected int, got str)"),
    (b"1", TypeError, "Argument 'max_bytes' has incorrect type (expected int, got bytes)"),
    ([1], TypeError, "Argument 'max_bytes' has incorrect type (expected int, got list)"),
    (object(), TypeError, "Argument 'max_bytes' has incorrect type (expected int, got object)"),
    (math.inf, OverflowError, "cannot convert float infinity to integer"),
    (math.nan, ValueError, "cannot convert float NaN to integer"),
    (1j, TypeError, None),
    (FloatOnly(), TypeError, None),
    (RaisingIndex(), ZeroDivisionError, "index refused"),
])
def test_budget_argument_errors_set_nothing(impl, value, error, message):
    cls = impl.PinnedMemoryPool
    pool = cls.__new__(cls)
    with pytest.raises(error) as caught:
        pool.__init__(value)
    if message is not None:
        assert str(caught.value) == message
    assert vars(pool) == {}


@pytest.mark.parametrize("call", [
    lambda cls: cls(1, 2),
    lambda cls: cls(budget=1),
    lambda cls: cls(1, max_bytes=1),
])
def test_binding_errors(impl, call):
    with pytest.raises(TypeError):
        call(impl.PinnedMemoryPool)


def counting_subclass(impl, result):
    class Counting(impl.PinnedMemoryPool):
        calls = 0

        @staticmethod
        def _compute_default_budget():
            Counting.calls += 1
            return result

    return Counting


@pytest.mark.parametrize("make", [
    lambda cls: cls(),
    lambda cls: cls(None),
    lambda cls: cls(max_bytes=None),
])
def test_default_budget_is_computed_once_through_the_instance(impl, make):
    cls = counting_subclass(impl, 12345)
    pool = make(cls)
    assert cls.calls == 1
    assert pool.max_bytes == 12345


def test_instance_override_of_the_default_budget(impl):
    cls = impl.PinnedMemoryPool
    pool = cls.__new__(cls)
    pool._compute_default_budget = lambda: 321
    pool.__init__()
    assert pool.max_bytes == 321


def test_explicit_budget_never_asks_for_the_default(impl):
    cls = counting_subclass(impl, 1)
    cls(10 * GIB)
    assert cls.calls == 0


@pytest.mark.parametrize("result, expected", [
    (None, None),
    (2.5, 2),
    (True, 1),
    (IntSubclass(5), 5),
])
def test_default_budget_result_conversion(impl, result, expected):
    pool = counting_subclass(impl, result)()
    assert pool.max_bytes == expected
    assert type(pool.max_bytes) is type(expected)


@pytest.mark.parametrize("result, name", [("7", "str"), ([7], "list"), (object(), "object")])
def test_default_budget_that_is_no_number(impl, result, name):
    cls = counting_subclass(impl, result)
    pool = cls.__new__(cls)
    with pytest.raises(TypeError) as caught:
        pool.__init__()
    assert str(caught.value) == f"Expected int, got {name}"
    assert vars(pool) == {}


def test_failing_default_budget_propagates(impl):
    class Failing(impl.PinnedMemoryPool):
        @staticmethod
        def _compute_default_budget():
            raise LookupError("no memory information")

    with pytest.raises(LookupError, match="no memory information"):
        Failing()


def test_fresh_state(impl):
    cls = impl.PinnedMemoryPool
    pool = cls(GIB)
    assert list(vars(pool)) == ["max_bytes", "_buckets", "_leased", "_stats"]
    assert list(pool._buckets) == cls.BUCKET_SIZES_BYTES
    assert all(bucket == [] for bucket in pool._buckets.values())
    assert len({id(bucket) for bucket in pool._buckets.values()}) == 5
    assert pool._leased == {}
    assert list(pool._stats.items()) == [("leases", 0), ("evictions", 0), ("hits", 0), ("misses", 0)]
    other = cls(GIB)
    for name in ("_buckets", "_leased", "_stats"):
        assert getattr(pool, name) is not getattr(other, name)
    assert not {id(b) for b in pool._buckets.values()} & {id(b) for b in other._buckets.values()}


def test_attributes_assigned_in_order_with_whole_values(impl):
    seen = []

    class Recording(impl.PinnedMemoryPool):
        def __setattr__(self, name, value):
            seen.append((name, value if name != "_buckets" else dict(value)))
            super().__setattr__(name, value)

    Recording(5)
    assert [name for name, _ in seen] == ["max_bytes", "_buckets", "_leased", "_stats"]
    assert seen[1][1] == {size: [] for size in impl.PinnedMemoryPool.BUCKET_SIZES_BYTES}
    assert seen[3][1] == {"leases": 0, "evictions": 0, "hits": 0, "misses": 0}


def test_subclass_bucket_sizes(impl):
    class Single(impl.PinnedMemoryPool):
        BUCKET_SIZES_BYTES = [4096]

    assert Single(1)._buckets == {4096: []}


@pytest.mark.parametrize("sizes, error", [(5, TypeError), ([[1]], TypeError), ("missing", AttributeError)])
def test_bad_bucket_sizes_fail_after_the_budget_is_set(impl, sizes, error):
    class Broken(impl.PinnedMemoryPool):
        pass

    if sizes == "missing":
        Broken.BUCKET_SIZES_BYTES = property(lambda self: self.no_such_attribute)
    else:
        Broken.BUCKET_SIZES_BYTES = sizes
    pool = Broken.__new__(Broken)
    with pytest.raises(error):
        pool.__init__(9)
    assert vars(pool) == {"max_bytes": 9}
