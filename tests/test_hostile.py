"""Arbitrary objects as arguments and as the pool's state: every call either does what the rules
say (the plain-Python twin says what that is) or raises, and nothing crashes."""

import contextlib
import copy
import decimal
import fractions
import gc
import math
import weakref

from hypothesis import given, settings, strategies as st

import reference_pool
from conftest import FakeTorch, RaisingIndex, RaisingInt, load_extension

MIB = 1 << 20
GIB = 1 << 30


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



class Hook:
    """Caller code run in the middle of a call: each firing makes the next of the chosen
    changes, unless one is under way."""

    changes, fired, busy = (), 0, False

    @classmethod
    def fire(cls):
        if cls.busy or not cls.changes:
            return
        cls.busy = True
        try:
            cls.changes[cls.fired % len(cls.changes)]()
        finally:
            cls.fired += 1
            cls.busy = False


class HookKeyword(str):
    def __eq__(self, other):
        Hook.fire()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


class HookIndex:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        Hook.fire()
        return self.value


def hooked(base, *methods):
    """A subclass of `base` whose `methods` fire the hook before doing their work."""
    def wrap(name):
        return lambda self, *args: Hook.fire() or getattr(base, name)(self, *args)
    return type("Hooked", (base,), {name: wrap(name) for name in methods})


HookedDict = hooked(dict, "__getitem__", "__setitem__", "__delitem__", "__contains__")
HookedList = hooked(list, "pop", "append")
RIGS = {  # where the pool's own state runs the hook
    "registry": lambda pool: setattr(pool, "_leased", HookedDict(pool._leased)),
    "buckets": lambda pool: setattr(pool, "_buckets", HookedDict(pool._buckets)),
    "counters": lambda pool: setattr(pool, "_stats", HookedDict(pool._stats)),
    "bucket lists": lambda pool: setattr(pool, "_buckets", {
        size: HookedList(bufs) for size, bufs in pool._buckets.items()}),
}


def changes(module, pool, kept):
    cls = module.PinnedMemoryPool
    return {
        "reinit": lambda: pool.__init__(GIB),
        "new registry": lambda: setattr(pool, "_leased", {}),
        "new buckets": lambda: setattr(pool, "_buckets", {MIB: [], 4 * MIB: []}),
        "new counters": lambda: setattr(pool, "_stats", dict.fromkeys(
            ["leases", "evictions", "hits", "misses"], 0)),
        "lease": lambda: kept.append(pool.lease(1)),
        "release": lambda: pool.release(kept[0]),
        "defaults": lambda: setattr(cls.__init__, "__defaults__", (2 * GIB,)),
        "no defaults": lambda: setattr(cls.__init__, "__defaults__", None),
        "qualname": lambda: setattr(cls.lease, "__qualname__", "Other.lease"),
        "name": lambda: setattr(cls.lease, "__name__", "other"),
        "override": lambda: setattr(pool, "_round_to_bucket", lambda nbytes: 4 * MIB),
        "guard callback": lambda: [ref.__callback__(ref) for ref in weakref.getweakrefs(pool)],
    }


CHANGES = sorted(changes(reference_pool, None, []))
# name -> (method, its arguments after self)
CALLS = {
    "lease": ("lease", lambda kept: {"nbytes": MIB}),
    "release": ("release", lambda kept: {"buf": kept[-1]}),
    "stats": ("stats", lambda kept: {}),
    "total": ("_total_allocated", lambda kept: {}),
    "evict": ("_evict_oldest", lambda kept: {}),
    "round": ("_round_to_bucket", lambda kept: {"nbytes": 3 * MIB}),
    "init": ("__init__", lambda kept: {}),
}


def call(module, pool, name, kept, trigger):
    method, arguments = CALLS[name]
    function = getattr(module.PinnedMemoryPool, method)
    arguments = {"self": pool, **arguments(kept)}
    if trigger == "keyword":
        return function(**{HookKeyword(key): value for key, value in arguments.items()})
    if trigger == "index":
        arguments = {key: HookIndex(value) if type(value) is int else value
                     for key, value in arguments.items()}
    return function(*arguments.values())


@contextlib.contextmanager
def hooked_pool(module, chosen):
    """A pool with buffers leased and pooled, whose hook makes the `chosen` changes; the
    functions and the module's torch are put back afterwards."""
    cls = module.PinnedMemoryPool
    saved = [(f, name, getattr(f, name)) for f in (cls.__init__, cls.lease)
             for name in ("__defaults__", "__qualname__", "__name__")]
    torch, module.torch = module.torch, FakeTorch()
    cls.__init__.__defaults__ = (GIB,)
    try:
        pool = cls(4 * MIB)
        kept = [pool.lease(1), pool.lease(4 * MIB)]
        pool.release(pool.lease(1))
        Hook.changes, Hook.fired = [changes(module, pool, kept)[name] for name in chosen], 0
        yield pool, kept
    finally:
        Hook.changes = ()
        module.torch = torch
        for function, name, value in saved:
            setattr(function, name, value)


def comparable(call):
    """The outcome of `call`, less the message of a KeyError, which names an id()."""
    result = outcome(call)
    return plain(result[:2] if result[1:2] == (KeyError,) else result)


def summary(pool):
    return (pool.stats(), len(pool._leased),
            {size: len(bufs) for size, bufs in dict(pool._buckets).items()})


@settings(max_examples=400, deadline=None)
@given(trigger=st.sampled_from(["keyword", "index", *RIGS]), calls=st.permutations(sorted(CALLS)),
       chosen=st.lists(st.sampled_from(CHANGES), min_size=1, max_size=3))
def test_changes_made_while_a_call_is_under_way(trigger, calls, chosen):
    """Caller code run in the middle of a call (a keyword's comparison, an argument's
    __index__, a foreign container of the pool's state) changes the function or the pool:
    the call goes on from what it finds, as the plain-Python rendering does."""
    results = []
    for module in (load_extension(), reference_pool):
        with hooked_pool(module, chosen) as (pool, kept):
            RIGS.get(trigger, lambda pool: None)(pool)
            outcomes = [comparable(lambda: call(module, pool, name, kept, trigger))
                        for name in calls]
            Hook.changes = ()
            results.append((outcomes, Hook.fired, comparable(lambda: summary(pool))))
    assert results[0] == results[1]


@settings(max_examples=40, deadline=None)
@given(calls=st.permutations(sorted(CALLS)),
       chosen=st.lists(st.sampled_from(CHANGES), min_size=1, max_size=3))
def test_changes_made_by_collections_during_calls(calls, chosen):
    """The same changes made by gc callbacks, at any allocation the extension makes."""
    thresholds = gc.get_threshold()

    def callback(phase, info):
        with contextlib.suppress(Exception):  # a collection has nowhere to raise to
            Hook.fire()

    with hooked_pool(load_extension(), chosen) as (pool, kept):
        gc.callbacks.append(callback)
        gc.set_threshold(1)
        try:
            for name in calls:
                outcome(lambda: call(load_extension(), pool, name, kept, "positional"))
        finally:
            gc.set_threshold(*thresholds)
            gc.callbacks.remove(callback)
    vars(pool).pop("_round_to_bucket", None)
    pool.__init__(GIB)
    buf = pool.lease(1)
    pool.release(buf)
    assert pool._buckets[MIB] == [buf] and pool._leased == {}
