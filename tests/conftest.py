import gc
import importlib
import sys
import threading
import tracemalloc
import types

import pytest

import reference_pool

MIB = 1 << 20
GIB = 1 << 30


EXTENSION = "korvane.offload.pinned_pool"

# Interpreters without an installable torch run the suite against the stand-in in
# tests/stand_in_torch; these files need what only the real one does.
STAND_IN_TORCH = importlib.import_module("torch").__version__ == "0+stand.in"
NEEDS_REAL_TORCH = {"test_staging.py", "test_offload.py", "test_offload_models.py", "test_demo.py",
                    "test_bench_runs.py", "test_cuda_order.py", "test_offload_misuse.py"}


class _NeedsRealTorch(pytest.Module):
    def collect(self):
        reason = f"{self.path.name} needs the real torch, not the stand-in"
        pytest.skip(reason, allow_module_level=True)


def pytest_pycollect_makemodule(module_path, parent):
    if STAND_IN_TORCH and module_path.name in NEEDS_REAL_TORCH:
        return _NeedsRealTorch.from_parent(parent, path=module_path)
    return None


def pytest_report_header():
    return "torch: the stand-in in tests/stand_in_torch" if STAND_IN_TORCH else None


def load_extension():
    return importlib.import_module(EXTENSION)


def fresh_import():
    """Runs the module body again; the module that tests share stays the one imported."""
    shared = load_extension()
    package = importlib.import_module("korvane.offload")
    del sys.modules[EXTENSION]
    try:
        return importlib.import_module(EXTENSION)
    finally:
        sys.modules[EXTENSION] = shared
        package.pinned_pool = shared


@pytest.fixture
def ext():
    return load_extension()


@pytest.fixture(params=["extension", "reference"])
def impl(request):
    """The compiled module or its plain-Python twin: behaviour tests run against both."""
    return load_extension() if request.param == "extension" else reference_pool


class RaisingIndex:
    def __index__(self):
        raise ZeroDivisionError("index refused")


class RaisingInt:
    def __int__(self):
        raise ArithmeticError("int refused")


class FakeMemory:
    def __init__(self, total, available):
        self.total = total
        self.available = available


class FakePsutil:
    """psutil.virtual_memory() answering from a script of (total, available) snapshots."""

    def __init__(self, total, available):
        self.total = total
        self.available = available
        self.calls = 0

    def virtual_memory(self):
        self.calls += 1
        # Each snapshot knows only the field of its own call, to show which call was read.
        if self.calls % 2:
            return FakeMemory(self.total, None)
        return FakeMemory(None, self.available)


class FakeCuda:
    def __init__(self, available, total_memory=0):
        self.available = available
        self.total_memory = total_memory
        self.property_calls = []

    def is_available(self):
        return self.available

    def get_device_properties(self, device):
        self.property_calls.append(device)
        return types.SimpleNamespace(total_memory=self.total_memory)


class FakeTorch:
    """Just what the pool asks of torch; buffers are FakeBuffer objects numbered in order."""

    uint8 = "uint8"

    def __init__(self, cuda_available=False, total_memory=0):
        self.cuda = FakeCuda(cuda_available, total_memory)
        self.allocations = []

    def empty(self, size, *, dtype, pin_memory):
        buf = FakeBuffer(size, len(self.allocations), dtype, pin_memory)
        self.allocations.append(buf)
        return buf


class FakeBuffer:
    def __init__(self, size, serial, dtype, pin_memory):
        self.size = size
        self.serial = serial
        self.dtype = dtype
        self.pin_memory = pin_memory

    def numel(self):
        return self.size

    def __repr__(self):
        return f"FakeBuffer#{self.serial}({self.size})"


@pytest.fixture
def fake_torch(impl, monkeypatch):
    fake = FakeTorch()
    monkeypatch.setattr(impl, "torch", fake)
    return fake


def soak(action, watched=(), rounds=5000):
    """Runs `action` `rounds` more times after a warm-up and reports what grew meanwhile: the
    interpreter's allocated blocks, the bytes tracemalloc traces, and the reference counts of
    the `watched` objects."""
    for _ in range(200):
        action()
    gc.collect()
    tracemalloc.start()
    blocks = sys.getallocatedblocks()
    traced = tracemalloc.get_traced_memory()[0]
    references = [sys.getrefcount(obj) for obj in watched]
    try:
        for _ in range(rounds):
            action()
        gc.collect()
        # Counted as before, with nothing else holding the objects for the moment.
        after = [sys.getrefcount(obj) for obj in watched]
        return {
            "blocks": sys.getallocatedblocks() - blocks,
            "traced bytes": tracemalloc.get_traced_memory()[0] - traced,
            "references": [now - then for now, then in zip(after, references)],
        }
    finally:
        tracemalloc.stop()


def raising(call, *errors):
    """An action that runs `call` and requires it to raise one of `errors`."""
    def action():
        try:
            call()
        except errors:
            return
        raise AssertionError(f"{call} did not raise {errors}")
    return action


@pytest.fixture
def cuda_order(monkeypatch):
    """Two CUDA devices played on the CPU by the stream-order stand-in (tests/cuda_order.py) for
    one test, which fails if any access was out of order; on a machine with CUDA, the real one
    (``None``: checked, under TORCH_CUDA_SANITIZER=1, by PyTorch)."""
    torch = pytest.importorskip("torch")
    if torch.cuda.is_available():
        yield None
        return
    from cuda_order import CudaOrder

    order = CudaOrder()
    order.install(monkeypatch)
    with order:
        yield order
    gc.collect()
    assert not order.violations, "\n".join(order.violations)


def check_releases(order, pool):
    """Makes ``pool.release()`` first check, under the stand-in, that no copy through the buffer
    may still run; returns ``pool``."""
    if order is not None:
        release = pool.release

        def checked(buf):
            order.check_idle(buf, "a buffer released to the pool")
            release(buf)

        pool.release = checked
    return pool


def run_in_threads(target, calls) -> None:
    """Runs ``target(*args)`` for each ``args`` of ``calls``, each in a thread of its own, all at
    once, with the interpreter switching threads every 10 microseconds so that races show."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=target, args=args) for args in calls]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
