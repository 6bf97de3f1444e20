"""The native methods behave like the Python functions they stand for."""

import copy
import functools
import gc
import inspect
import pickle
import weakref

import pytest

from conftest import fresh_import

Py_TPFLAGS_HAVE_VECTORCALL = 1 << 11
Py_TPFLAGS_METHOD_DESCRIPTOR = 1 << 17


def python_twin():
    """A def with the same signature as PinnedMemoryPool.__init__."""

    def __init__(self, max_bytes=None):
        return None

    return __init__


@pytest.fixture
def init(ext, monkeypatch):
    function = ext.PinnedMemoryPool.__init__
    # Tests below rebind attributes; put them back afterwards.
    for name in ("__name__", "__qualname__", "__module__", "__doc__", "__defaults__",
                 "__kwdefaults__", "__annotations__", "__dict__"):
        monkeypatch.setattr(function, name, getattr(function, name))
    return function


def same_outcome(action, native, python):
    """Runs `action` on both functions; both must succeed or fail alike."""
    outcomes = []
    for function in (native, python):
        try:
            action(function)
            outcomes.append(None)
        except Exception as error:  # noqa: BLE001 - the point is to compare any failure
            outcomes.append((type(error), str(error)))
    assert outcomes[0] == outcomes[1]
    return outcomes[0]


SETTER_CASES = [
    ("__name__", "renamed", True),
    ("__name__", 5, False),
    ("__qualname__", "Other.renamed", True),
    ("__qualname__", None, False),
    ("__defaults__", (1,), True),
    ("__defaults__", None, True),
    ("__defaults__", [1], False),
    ("__kwdefaults__", {"x": 1}, True),
    ("__kwdefaults__", None, True),
    ("__kwdefaults__", (1,), False),
    ("__annotations__", {"x": "int"}, True),
    ("__annotations__", None, True),
    ("__annotations__", [], False),
    ("__doc__", "text", True),
    ("__doc__", 5, True),
    ("__module__", "elsewhere", True),
    ("__dict__", {"a": 1}, True),
    ("__dict__", 5, False),
]


@pytest.mark.parametrize("name, value, accepted", SETTER_CASES)
def test_setters_check_like_a_python_function(init, name, value, accepted):
    twin = python_twin()
    outcome = same_outcome(lambda f: setattr(f, name, value), init, twin)
    assert (outcome is None) == accepted
    if accepted:
        assert getattr(init, name) == getattr(twin, name)


@pytest.mark.parametrize("name", ["__name__", "__qualname__", "__defaults__", "__kwdefaults__",
                                  "__annotations__", "__doc__", "__module__", "__dict__"])
def test_deleting_attributes_like_a_python_function(init, name):
    twin = python_twin()
    init.__annotations__ = {}
    if same_outcome(lambda f: delattr(f, name), init, twin) is None:
        assert getattr(init, name) == getattr(twin, name)


@pytest.mark.parametrize("name", ["__globals__", "__builtins__", "__closure__"])
def test_read_only_attributes(init, name):
    for function in (init, python_twin()):
        with pytest.raises(AttributeError):
            setattr(function, name, {})


def test_function_attributes_live_in_its_dict(init):
    init.marker = 42
    try:
        assert init.__dict__ == {"marker": 42}
    finally:
        del init.marker


def test_rebound_defaults_take_effect(ext, init):
    init.__defaults__ = (4096,)
    assert ext.PinnedMemoryPool().max_bytes == 4096
    init.__defaults__ = None
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'max_bytes'"):
        ext.PinnedMemoryPool()


CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((), {"max_bytes": 3}),
    ((1,), {"max_bytes": 3}),
    ((), {"budget": 3}),
    ((), {"self": 1}),
    ((), {"max_bytes": 1, "other": 2}),
]


@pytest.mark.parametrize("args, kwargs", CALLS)
def test_binding_errors_match_a_python_function(ext, args, kwargs):
    """Called unbound with a pool first, the native __init__ fails exactly where a def fails."""
    cls = ext.PinnedMemoryPool
    twin = python_twin()
    twin.__qualname__ = "PinnedMemoryPool.__init__"
    pool = cls.__new__(cls)
    same_outcome(lambda f: f(pool, *args, **kwargs), cls.__init__, twin)
    try:
        twin(*args, **kwargs)
    except TypeError:
        same_outcome(lambda f: f(*args, **kwargs), cls.__init__, twin)


class RebindingKeyword(str):
    """A keyword name whose every comparison with a parameter name rebinds an attribute of the
    function being called, as caller code may while the call binds its arguments."""

    def __eq__(self, other):
        setattr(self.function, self.attribute, self.value)
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.mark.parametrize("keyword, attribute, value", [
    ("self", "__defaults__", (4096,)),
    ("self", "__defaults__", None),
    ("budget", "__qualname__", "Renamed.__init__"),
])
def test_attributes_rebound_while_binding(ext, init, keyword, attribute, value):
    """The binding reads the defaults and the name as they are when it needs them."""
    cls = ext.PinnedMemoryPool

    def twin(self, max_bytes=None):
        self.max_bytes = max_bytes

    twin.__qualname__ = init.__qualname__
    outcomes = []
    for function in (init, twin):
        # Held by nothing else, so a stale pointer would see them freed.
        function.__defaults__ = (object(),)
        function.__qualname__ = "".join(["PinnedMemoryPool.", "__init__"])
        name = RebindingKeyword(keyword)
        name.function, name.attribute, name.value = function, attribute, value
        pool = cls.__new__(cls)
        try:
            function(**{name: pool})
            outcomes.append(pool.max_bytes)
        except TypeError as error:
            outcomes.append(str(error))
    assert outcomes[0] == outcomes[1]


def test_text_signature_keeps_the_defaults_it_shows(init):
    class Dropping:
        def __repr__(self):
            init.__defaults__ = None
            return "dropped"

    init.__defaults__ = (Dropping(), 5)
    assert init.__text_signature__ == "(self=dropped, max_bytes=5)"
    assert init.__defaults__ is None


@pytest.mark.parametrize("name", ["__init__", "lease", "stats", "_compute_default_budget"])
def test_pickled_and_copied_by_name_like_a_python_function(ext, name):
    function = getattr(ext.PinnedMemoryPool, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    partial = pickle.loads(pickle.dumps(functools.partial(function, 1)))
    assert partial.func is function and partial.args == (1,)
    assert pickle.loads(pickle.dumps(ext._detect_vram_gb)) is ext._detect_vram_gb


def test_pickling_a_renamed_function_fails_like_a_python_function(init):
    init.__qualname__ = "PinnedMemoryPool.missing"
    with pytest.raises(pickle.PicklingError):
        pickle.dumps(init)


def test_every_parameter_by_keyword(ext):
    cls = ext.PinnedMemoryPool
    pool = cls.__new__(cls)
    assert cls.__init__(self=pool, max_bytes=7) is None
    assert pool.max_bytes == 7
    assert cls(max_bytes=9).max_bytes == 9


def test_binds_as_method_and_through_wrappers(ext):
    cls = ext.PinnedMemoryPool
    pool = cls(1)
    bound = pool.stats
    assert inspect.ismethod(bound) and bound.__self__ is pool and bound.__func__ is cls.stats
    assert cls.stats.__get__(None, cls) is cls.stats
    assert cls.stats.__get__(pool, cls).__self__ is pool

    class Holder:
        detect = staticmethod(ext._detect_vram_gb)
        budget = property(ext.PinnedMemoryPool.__dict__["_compute_default_budget"].__func__)

    assert Holder().detect() == ext._detect_vram_gb()
    with pytest.raises(TypeError):
        Holder().budget  # a property passes the instance, which the function does not take


def test_instance_attribute_wins_over_method(ext):
    pool = ext.PinnedMemoryPool(1)
    pool.stats = lambda: "instance"
    assert pool.stats() == "instance"


def test_type_flags_and_instantiation(ext):
    function_type = type(ext.PinnedMemoryPool.lease)
    assert function_type.__flags__ & Py_TPFLAGS_HAVE_VECTORCALL
    assert function_type.__flags__ & Py_TPFLAGS_METHOD_DESCRIPTOR
    assert not hasattr(function_type, "__set__")
    with pytest.raises(TypeError):
        function_type()
    with pytest.raises(TypeError):
        type("Sub", (function_type,), {})


def test_repr_hash_and_weak_references(ext):
    function = ext.PinnedMemoryPool.lease
    assert repr(function).startswith("<function PinnedMemoryPool.lease at 0x")
    assert hash(function) == hash(ext.PinnedMemoryPool.lease)
    assert weakref.ref(function)() is function


class BackReferencingName(str):
    """A name that refers back to the function it names."""


def test_functions_take_part_in_garbage_collection(ext):
    """A fresh import's functions, class and namespace form cycles that the collector frees,
    names that refer back to their function included."""
    fresh = fresh_import()
    lease = fresh.PinnedMemoryPool.lease
    for attribute in ("__name__", "__qualname__"):
        name = BackReferencingName(getattr(lease, attribute))
        name.function = lease
        setattr(lease, attribute, name)
    probes = [weakref.ref(fresh.PinnedMemoryPool), weakref.ref(lease),
              weakref.ref(fresh._detect_vram_gb), weakref.ref(lease.__name__),
              weakref.ref(lease.__qualname__)]
    assert gc.is_tracked(lease)
    del fresh, lease, name
    gc.collect()
    assert [probe() for probe in probes] == [None] * len(probes)


def test_a_function_called_after_the_collector_cleared_it(ext):
    """A finalizer in a fresh import's garbage makes a weak reference whose callback calls the
    import's lease once the collector has cleared it: the call meets the emptied namespace."""
    fresh = fresh_import()
    outcomes = []

    class Finalizer:
        def __del__(self):
            function = weakref.ref(self.function)

            def call_cleared(_):
                outcomes.append(function().__module__)
                try:
                    outcomes.append(function()(pool, 1))
                except NameError as error:
                    outcomes.append(error)

            self.trigger = weakref.ref(self.function.held, call_cleared)

    class Held:
        pass

    pool = ext.PinnedMemoryPool(1 << 30)
    finalizer, held = Finalizer(), Held()
    finalizer.function, held.finalizer = fresh.PinnedMemoryPool.lease, finalizer
    finalizer.function.held = held  # dies when the collector clears the function
    del fresh, finalizer, held
    gc.collect()
    assert outcomes[0] is None and len(outcomes) == 2
