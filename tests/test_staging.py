"""Staging tensors through pooled buffers, and the leased() context manager."""

import copy
import gc
import pickle
import itertools
import subprocess
import sys
from pathlib import Path

import pytest
import torch

from conftest import check_releases, load_extension
from korvane.offload import staging
from korvane.offload import offload_module
from korvane.offload.staging import StagedTensor, leased, stage_many, stage_to_host

ROOT = Path(__file__).resolve().parent.parent
SMALL, LARGE = 256, 1024


class SmallBuckets(load_extension().PinnedMemoryPool):
    BUCKET_SIZES_BYTES = [SMALL, LARGE]  # so that a few KiB already take several buffers


@pytest.fixture
def pool():
    return SmallBuckets(1 << 30)


def same_bytes(restored, original):
    """Equal in dtype, shape, requires_grad and every byte of the values (NaN payloads too)."""
    def flat(tensor):
        tensor = tensor.detach().resolve_conj().resolve_neg()
        if tensor.element_size() == 1:  # bit-packed dtypes such as uint4 have no copy kernel
            tensor = tensor.view(torch.uint8)
        return tensor.contiguous().view(-1).view(torch.uint8)

    return (restored.dtype == original.dtype and restored.shape == original.shape
            and restored.requires_grad == original.requires_grad
            and torch.equal(flat(restored), flat(original)))


def random_bits(*shape, dtype):
    """Any bytes at all: for floats, NaNs with payloads and signalling NaNs among them."""
    size = torch.empty(0, dtype=dtype).element_size()
    return torch.randint(0, 256, (*shape, size), dtype=torch.uint8).view(dtype).squeeze(-1)


class Plain(torch.Tensor):
    """A subclass without a dispatch of its own: its bytes are its values."""


TENSORS = {
    "float32 with NaN payloads": lambda: random_bits(37, 101, dtype=torch.float32),
    "float16 with NaN payloads": lambda: random_bits(3, 50, dtype=torch.float16),
    "transposed view": lambda: torch.randn(50, 60).t(),
    "strided slice": lambda: torch.arange(3001, dtype=torch.int16)[::3],
    "expanded": lambda: torch.randn(7, 1).expand(7, 9),
    "offset view": lambda: torch.randn(40, 33)[5:, 1:],
    "scalar": lambda: torch.tensor(3.5, dtype=torch.float64),
    "empty": lambda: torch.empty(0, 4),
    "conjugate view": lambda: torch.randn(300, 2, dtype=torch.complex64).conj(),
    "negative view": lambda: torch._neg_view(torch.randn(17, dtype=torch.complex128).conj()),
    "bool": lambda: torch.rand(999) > 0.5,
    "bfloat16": lambda: torch.randn(513).to(torch.bfloat16),
    "float8": lambda: random_bits(11, 3, dtype=torch.float8_e4m3fn),
    "uint64": lambda: random_bits(5, dtype=torch.uint64),
    "bits16": lambda: random_bits(33, dtype=torch.bits16),
    "uint4": lambda: random_bits(10, dtype=torch.uint4),
    "uint4 strided slice": lambda: random_bits(4, 12, dtype=torch.uint4)[:, ::2],
    "channels_last": lambda: torch.randn(2, 3, 5, 7).to(memory_format=torch.channels_last),
    "size-1 dimension of any stride": lambda: torch.randn(5, 7).as_strided((7, 1, 5), (1, 99, 7)),
    "transposed around a size-1 dimension": lambda: torch.randn(4, 1, 6).transpose(0, 2),
    "requires grad": lambda: torch.randn(9, 13, requires_grad=True),
    "parameter": lambda: torch.nn.Parameter(torch.randn(3, 100)),
    "plain subclass": lambda: torch.randn(4, 6).as_subclass(Plain),
}
# Kept in their own strides when restored: their elements fill one span of memory.
DENSE = {"float32 with NaN payloads", "float16 with NaN payloads", "transposed view", "scalar",
         "bool", "bfloat16", "float8", "uint64", "bits16", "uint4", "channels_last",
         "size-1 dimension of any stride", "transposed around a size-1 dimension",
         "requires grad", "parameter", "plain subclass"}


@pytest.mark.parametrize("name", TENSORS)
def test_every_byte_comes_back(pool, name):
    tensor = TENSORS[name]()
    staged = stage_to_host(pool, tensor)
    assert staged.held_bytes - staged.nbytes < SMALL
    restored = staged.restore()
    assert same_bytes(restored, tensor) and type(restored) is torch.Tensor
    expected = tensor.stride() if name in DENSE else torch.empty(tensor.shape).stride()
    assert restored.stride() == expected
    assert staged.released and pool._leased == {}


class OddBuckets(SmallBuckets):
    BUCKET_SIZES_BYTES = [100, 300]  # buffers end off every element boundary wider than a byte


def expected_starts(tensors):
    """Where each tensor with bytes starts in the run: at the first multiple of 64 bytes after
    the end of the one before."""
    starts, end = [], 0
    for tensor in tensors:
        start = -(-end // 64) * 64
        if tensor.nbytes:
            starts.append(start)
        end = start + tensor.nbytes
    return starts


def starts_in_run(group):
    """The byte of the run at which each staged tensor with bytes starts, read from where its
    bytes lie in the pool's buffers."""
    buffers, run_start = [], 0
    for buf in group._buffers:
        buffers.append((buf.data_ptr(), buf.numel(), run_start))
        run_start += buf.numel()
    starts = []
    for entry in group._entries:
        if entry.view is None and not entry.pieces:
            continue
        first = (entry.view if entry.view is not None else entry.pieces[0][0]).data_ptr()
        starts += [start + first - base for base, size, start in buffers
                   if base <= first < base + size]
    return starts


@pytest.mark.parametrize("as_mapping, pool_class", [
    (True, SmallBuckets), (False, SmallBuckets), (True, OddBuckets)])
def test_a_group_packs_tensors_and_restores_them_as_often_as_asked(as_mapping, pool_class):
    pool = pool_class(1 << 30)
    tensors = {name: make() for name, make in TENSORS.items()}
    group = stage_many(pool, tensors if as_mapping else list(tensors.values()))
    aligned = sum(-(-tensor.nbytes // 64) * 64 for tensor in tensors.values())
    smallest = min(pool.BUCKET_SIZES_BYTES)
    assert len(group) == len(tensors) and group.held_bytes < aligned + smallest
    assert group.nbytes == sum(tensor.nbytes for tensor in tensors.values())
    assert starts_in_run(group) == expected_starts(tensors.values())
    for _ in range(2):
        restored = group.restore()
        assert isinstance(restored, dict if as_mapping else list)
        restored = restored.values() if as_mapping else restored
        assert all(map(same_bytes, restored, tensors.values()))
    # Targets in other strides than the staged tensors, a parameter among them.
    targets = {name: torch.zeros(tensor.shape[::-1], dtype=tensor.dtype).permute(
        tuple(reversed(range(tensor.dim())))) for name, tensor in tensors.items()}
    targets["parameter"] = torch.nn.Parameter(torch.zeros(3, 100))
    group.restore_into(targets if as_mapping else list(targets.values()))
    assert all(same_bytes(targets[name].requires_grad_(tensor.requires_grad), tensor)
               for name, tensor in tensors.items())
    with group:
        pass
    assert group.held_bytes == 0 and pool._leased == {}


@pytest.mark.parametrize("dtype", [torch.int16, torch.float32, torch.float64, torch.complex128])
@pytest.mark.parametrize("end", [1, 2, 4, 8, 12])
def test_a_wide_dtype_straddling_a_buffer_end_comes_back(dtype, end):
    class Buckets(SmallBuckets):
        BUCKET_SIZES_BYTES = [64 + end]  # the second tensor, at byte 64, crosses `end` bytes in

    pool = Buckets(1 << 30)
    tensor = random_bits(3, 40, dtype=dtype).t()
    group = stage_many(pool, [torch.ones(1, dtype=torch.uint8), tensor])
    assert group._entries[1].view is None and len(group._buffers) > 2
    target = torch.zeros(40, 3, dtype=dtype)  # another layout than the staged one
    group.restore_into([torch.zeros(1, dtype=torch.uint8), target])
    (_, restored) = group.restore()
    assert same_bytes(restored, tensor) and restored.stride() == tensor.stride()
    assert same_bytes(target, tensor)
    group.release()
    assert pool._leased == {}


class LendsViews:
    """A pool whose buffers begin 64 bytes into a larger tensor, guarded on both sides."""

    BUCKET_SIZES_BYTES = [SMALL, LARGE]

    def __init__(self):
        self.bases = {}

    def lease(self, nbytes):
        size = min(size for size in self.BUCKET_SIZES_BYTES if size >= nbytes)
        base = torch.full((size + 128,), 0xAB, dtype=torch.uint8)
        buf = base[64:64 + size]
        self.bases[id(buf)] = base
        return buf

    def release(self, buf):
        base = self.bases.pop(id(buf))
        assert (base[:64] == 0xAB).all() and (base[64 + buf.numel():] == 0xAB).all()


def test_buffers_that_begin_inside_their_storage_are_used_from_where_they_begin():
    pool = LendsViews()
    tensors = [make() for make in TENSORS.values()]
    with stage_many(pool, tensors) as group:
        assert all(map(same_bytes, group.restore(), tensors))
    assert pool.bases == {}


@pytest.mark.parametrize("leading", [0, 1], ids=["alone", "behind a 1-byte tensor"])
@pytest.mark.parametrize("nbytes", [0, 1, LARGE - 1, LARGE, LARGE + 1, 3 * LARGE + 1,
                                    SMALL - 1, SMALL + 1, LARGE - SMALL + 1])
def test_runs_are_cut_into_bucket_sizes(pool, nbytes, leading):
    tensors = [torch.randint(0, 256, (n,), dtype=torch.uint8) for n in (leading, nbytes) if n]
    group = stage_many(pool, tensors)
    end = 64 + nbytes if leading and nbytes else leading or nbytes
    sizes = [buf.numel() for buf in group._buffers]
    assert sizes == sorted(sizes, reverse=True) and 0 <= sum(sizes) - end < SMALL
    assert all(map(same_bytes, group.restore(), tensors))


class Dispatching(torch.Tensor):
    @classmethod
    def __torch_dispatch__(cls, func, types, args=(), kwargs=None):
        return func(*args, **(kwargs or {}))


def dispatching_as_plain(tensor):
    """A Dispatching tensor whose class was then set to torch.Tensor: it still dispatches."""
    tensor = tensor.as_subclass(Dispatching)
    tensor.__class__ = torch.Tensor
    return tensor


def bad_targets():
    expanded = torch.zeros(1).expand(40 * 30).view(40, 30)
    with torch.inference_mode():
        inference = torch.zeros(40, 30)
    return [
        ("not a tensor", TypeError),
        (torch.zeros(40, 30, dtype=torch.float64), TypeError),
        (torch.zeros(30, 40), ValueError),
        (torch.zeros(40, 1).expand(40, 30), ValueError),
        (expanded, ValueError),
        (torch.zeros(40, 30, device="meta"), TypeError),
        (inference, ValueError),
        (dispatching_as_plain(torch.zeros(40, 30)), TypeError),
    ]


@pytest.mark.parametrize("out, error", bad_targets())
def test_a_failed_restore_keeps_the_data(pool, out, error):
    tensor = torch.randn(40, 30)
    staged = stage_to_host(pool, tensor)
    with pytest.raises(error):
        staged.restore(out=out)
    assert not staged.released and len(pool._leased) == len(staged._group._buffers)
    group = stage_many(pool, {"first": tensor, "second": tensor})
    first = torch.zeros(40, 30)
    with pytest.raises(error):
        group.restore_into({"first": first, "second": out})
    assert not first.any(), "nothing is copied before every target is checked"
    assert same_bytes(staged.restore(), tensor) and same_bytes(group.restore()["second"], tensor)


@pytest.mark.parametrize("targets", [
    [torch.zeros(3), torch.zeros(3)],
    {"x": torch.zeros(3)},
    {"x": torch.zeros(3), "z": torch.zeros(3)},
    {"x": torch.zeros(3), "y": torch.zeros(3), "extra": torch.zeros(3)},
    [torch.zeros(3), torch.zeros(3), torch.zeros(3)],
    torch.zeros(2, 3),
])
def test_restore_into_needs_the_staged_structure(pool, targets):
    group = stage_many(pool, {"x": torch.ones(3), "y": torch.ones(3)})
    with pytest.raises((TypeError, ValueError)):
        group.restore_into(targets)
    assert all(torch.equal(t, torch.ones(3)) for t in group.restore().values())


def test_a_copy_that_fails_keeps_the_data(pool, monkeypatch):
    tensor = torch.randn(2000)
    staged = stage_to_host(pool, tensor)

    class Failing(staging._HostCopies):
        @staticmethod
        def copy(dst, src):
            raise RuntimeError("copy failed")

    monkeypatch.setattr(staging, "_copies_for", lambda device: Failing)
    with pytest.raises(RuntimeError, match="copy failed"):
        staged.restore()
    monkeypatch.undo()
    assert not staged.released and same_bytes(staged.restore(), tensor)


def test_restore_to_device_zero_means_cuda_zero(pool):
    staged = stage_to_host(pool, torch.randn(4))
    if torch.cuda.is_available():
        assert staged.restore(0).device == torch.device("cuda", 0)
    else:
        with pytest.raises(RuntimeError):
            staged.restore(0)
        assert not staged.released and staged.restore(None).device.type == "cpu"


REFUSED = {
    "not a tensor": lambda: [1.0, 2.0],
    "quantized": lambda: torch.quantize_per_tensor(torch.randn(10), 0.1, 0, torch.quint8),
    "nested": lambda: torch.nested.nested_tensor([torch.randn(2), torch.randn(3)]),
    "meta": lambda: torch.empty(4, device="meta"),
    "sparse": lambda: torch.randn(4, 4).to_sparse(),
    "sparse csr": lambda: torch.randn(4, 4).to_sparse_csr(),
    "dispatching subclass": lambda: torch.randn(4).as_subclass(Dispatching),
    "dispatching, class reassigned": lambda: dispatching_as_plain(torch.randn(4)),
    "uninitialized": lambda: torch.nn.UninitializedParameter(),
}


@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("name", REFUSED)
def test_refused_kinds_lease_nothing(pool, name):
    value = REFUSED[name]()
    with pytest.raises(TypeError, match=r"^tensor (must be|is) [^\n]*$"):
        stage_to_host(pool, value)
    with pytest.raises(TypeError, match=r"^tensors\['b'\]"):
        stage_many(pool, {"a": torch.randn(3), "b": value})
    assert pool.stats()["leases"] == 0
    with stage_many(pool, [torch.ones(3)]) as group:
        with pytest.raises(TypeError, match=r"^tensors\[0\] (must be|is) "):
            group.restore_into([value])
        assert torch.equal(group.restore()[0], torch.ones(3))


def test_a_tensor_inside_a_transform_is_refused(pool):
    def stage(tensor):
        with pytest.raises(TypeError, match="torch.func transform"):
            stage_to_host(pool, tensor)
        return tensor

    torch.vmap(stage)(torch.randn(2, 3))
    assert pool.stats()["leases"] == 0


class RecordingCopies:
    """Stands in for the CUDA mechanism: logs copies, events and waits in order."""

    def __init__(self, log, events):
        self.log, self.events = log, events

    def use(self, tensor):
        pass

    def copy(self, dst, src):
        self.log.append("copy")
        dst.copy_(src)

    def record(self, device):
        log, name = self.log, f"event {next(self.events)}"
        log.append(f"record {name}")

        class Event:
            def query(self):
                return False

            def synchronize(self):
                log.append(f"host waits for {name}")

        return Event()

    def wait_for(self, device, events):
        self.log.extend("stream waits" for _ in events)


def test_buffers_go_back_only_after_the_copies_are_waited_for(pool, monkeypatch):
    log, events = [], itertools.count()
    monkeypatch.setattr(staging, "_copies_for", lambda device: RecordingCopies(log, events))
    monkeypatch.setattr(pool, "release", lambda buf: log.append("release"), raising=False)
    group = stage_many(pool, [torch.randn(300), torch.randn(10)])
    assert log == ["copy", "copy", "copy", "record event 0"]  # the first tensor straddles
    log.clear()
    group.restore_into([torch.zeros(300), torch.zeros(10)])
    assert log == ["stream waits", "copy", "copy", "copy", "record event 1"]
    log.clear()
    group.release()
    assert log == ["host waits for event 0", "host waits for event 1", "release", "release"]


def test_a_released_handle_cannot_be_used_again(pool):
    staged = stage_to_host(pool, torch.randn(100))
    staged.restore()
    with pytest.raises(RuntimeError, match="already restored or released"):
        staged.restore()
    staged.release()  # releasing again does nothing
    group = stage_many(pool, [torch.randn(100)])
    with group:
        pass
    with pytest.raises(RuntimeError, match="already released"):
        group.restore()
    with stage_to_host(pool, torch.randn(100)) as other:
        pass
    assert other.released and pool._leased == {}


def test_failure_while_staging_returns_the_buffers_already_leased(pool):
    class Failing(SmallBuckets):
        def lease(self, nbytes):
            if len(self._leased) == 2:
                raise MemoryError("no more pinned memory")
            return super().lease(nbytes)

    failing = Failing(1 << 30)
    with pytest.raises(MemoryError):
        stage_to_host(failing, torch.randn(2000))
    assert failing._leased == {} and len(failing._buckets[LARGE]) == 2


def test_a_pool_refusing_one_buffer_still_gets_every_other_back():
    class Refusing(SmallBuckets):
        refused = False

        def release(self, buf):
            if not self.refused and self.stats()["leased_count"] == 5:
                self.refused = True
                raise RuntimeError("release refused")
            super().release(buf)

    pool = Refusing(1 << 30)
    group = stage_many(pool, [torch.randn(2000)])  # 7 buffers
    with pytest.raises(RuntimeError, match="refused"):
        group.release()
    assert group.released and pool.stats()["leased_count"] == 1


class Forgetful:
    """Lends fresh buffers and forgets them when they come back."""

    BUCKET_SIZES_BYTES = [SMALL, LARGE]

    def __init__(self):
        self.storages = []

    def lease(self, nbytes):
        buf = torch.empty(nbytes, dtype=torch.uint8)
        self.storages.append(buf.untyped_storage()._weak_ref())
        return buf

    def release(self, buf):
        pass


def test_a_released_group_holds_no_buffer_memory():
    pool = Forgetful()
    group = stage_many(pool, [torch.randn(300), torch.randn(5, 7).t(), torch.tensor(1.0)])
    group.restore()
    group.release()
    gc.collect()
    assert all(map(torch.UntypedStorage._expired, pool.storages)) and group is not None


def test_dropped_handles_give_their_buffers_back(pool):
    stage_to_host(pool, torch.randn(1000))
    stage_many(pool, [torch.randn(1000)])
    cycle = [stage_many(pool, [torch.randn(1000)])]  # collected as a cycle, buffers included
    cycle.append(cycle)
    del cycle
    gc.collect()
    assert pool._leased == {} and pool.stats()["leases"] == 3 * (3 + 4)  # 3 large, 4 small


def test_leased_releases_on_exceptions(pool):
    with pytest.raises(KeyError):
        with leased(pool, 300) as buf:
            assert buf.numel() == LARGE
            raise KeyError("inside")
    assert pool._leased == {} and pool._buckets[LARGE] == [buf]


def test_repr_tells_the_state(pool):
    staged = stage_to_host(pool, torch.zeros(3, dtype=torch.int8))
    assert "1 buffers" in repr(staged)
    staged.release()
    assert isinstance(staged, StagedTensor) and "released" in repr(staged)


# Built on CUDA: each is copied to host memory with the queued copies of a CUDA device.
ON_CUDA = {
    "straddling buffers": lambda: torch.randn(700, device="cuda"),
    "transposed view": lambda: torch.randn(50, 60, device="cuda").t(),
    "strided slice": lambda: torch.arange(3001, dtype=torch.int16, device="cuda")[::3],
    "channels_last": lambda: torch.randn(2, 3, 5, 7, device="cuda").to(
        memory_format=torch.channels_last),
    "conjugate view": lambda: torch.randn(30, 2, dtype=torch.complex64, device="cuda").conj(),
    "negative view": lambda: torch._neg_view(torch.randn(17, 3, device="cuda")),
    "negative conjugate, transposed": lambda: torch._neg_view(
        torch.randn(9, 4, dtype=torch.complex128, device="cuda").conj()).t(),
    "bfloat16 over a buffer end": lambda: torch.randn(3, 300, device="cuda").bfloat16(),
    "uint4": lambda: torch.randint(0, 256, (40,), dtype=torch.uint8, device="cuda").view(
        torch.uint4),
}


def other_layout(tensor):
    """An empty tensor of ``tensor``'s shape and dtype on its device, laid out with the
    dimensions reversed."""
    order = tuple(reversed(range(tensor.dim())))
    return torch.empty(tensor.shape[::-1], dtype=tensor.dtype, device=tensor.device).permute(order)


@pytest.mark.parametrize("pool_class", [SmallBuckets, load_extension().PinnedMemoryPool],
                         ids=["cut across buffers", "in one buffer"])
@pytest.mark.parametrize("name", ON_CUDA)
def test_staging_from_cuda_is_ordered_by_the_current_stream_and_events(cuda_order, name,
                                                                       pool_class):
    pool = check_releases(cuda_order, pool_class(1 << 30))
    tensor = ON_CUDA[name]()
    expected = tensor.cpu()
    side = torch.cuda.Stream()
    with torch.cuda.stream(side):  # not the stream the tensor was made on
        group = stage_many(pool, [tensor, tensor])
        single = stage_to_host(pool, tensor)
    del tensor  # its memory may go now, though the copies out of it may still run
    assert all(buf.is_pinned() for buf in group._buffers)
    # Straight after the copies to host memory were queued, on the stream the tensor was made on,
    # into other layouts, before the host ever waited for the copies.
    targets = [other_layout(expected.cuda()), torch.empty_like(expected, device="cuda")]
    group.restore_into(targets)
    out = single.restore(out=other_layout(expected.cuda()))
    (on_device, _) = group.restore()
    back = group.restore("cpu")
    for restored in [*targets, on_device, *back, out]:
        assert same_bytes(restored.cpu(), expected)
    assert targets[0].stride() == other_layout(expected).stride() and out.is_cuda
    assert on_device.is_cuda and not back[0].is_cuda
    group.release()
    assert pool._leased == {}


@pytest.mark.parametrize("name", ["transposed view", "channels_last", "conjugate view"])
def test_staging_from_the_host_restores_to_cuda_in_any_layout(cuda_order, name):
    pool = check_releases(cuda_order, SmallBuckets(1 << 30))
    tensor = ON_CUDA[name]().cpu()
    staged = stage_to_host(pool, tensor)
    target = other_layout(tensor.cuda())
    assert staged.restore(out=target) is target and same_bytes(target.cpu(), tensor)
    restored = stage_to_host(pool, tensor).restore("cuda")
    assert restored.is_cuda and restored.stride() == tensor.stride()
    assert same_bytes(restored.cpu(), tensor.resolve_conj()) and pool._leased == {}


@pytest.mark.parametrize("device, out_device, agree", [
    ("cuda", "cuda:0", True), (1, "cuda:1", True), ("cpu", "cpu", True),
    ("cuda", "cuda:1", False), ("cpu", "cuda:0", False), ("cuda:0", "cpu", False),
    (0, "cuda:1", False),
])
def test_restore_to_a_device_and_out_must_agree(cuda_order, device, out_device, agree):
    if "1" in f"{device}{out_device}" and torch.cuda.device_count() < 2:
        pytest.skip("needs two CUDA devices")
    pool = check_releases(cuda_order, SmallBuckets(1 << 30))
    tensor = torch.randn(5, 6)
    staged = stage_to_host(pool, tensor)
    out = torch.zeros(5, 6, device=out_device)
    torch.cuda.set_device(0)
    if agree:
        assert staged.restore(device, out=out) is out and torch.equal(out.cpu(), tensor)
        assert staged.released
        return
    with pytest.raises(ValueError, match=r"^out is on .*, not on the requested"):
        staged.restore(device, out=out)
    assert not staged.released and not out.cpu().any()
    assert torch.equal(staged.restore(), tensor)


def test_leased_waits_for_copies_queued_on_the_buffer(cuda_order, pool):
    check_releases(cuda_order, pool)
    tensor = torch.arange(100, dtype=torch.int32, device="cuda")
    with leased(pool, tensor.nbytes) as buf:
        buf[:tensor.nbytes].view(torch.int32).copy_(tensor, non_blocking=True)
    assert torch.equal(buf[:tensor.nbytes].view(torch.int32), tensor.cpu())
    assert pool._leased == {}


def test_type_checkers_want_a_pool_for_the_pool(tmp_path):
    script = tmp_path / "use.py"
    script.write_text(
        "import torch\n"
        "from korvane.offload.pinned_pool import PinnedMemoryPool\n"
        "from korvane.offload.staging import stage_many, stage_to_host\n"
        "class Small(PinnedMemoryPool):\n"
        "    BUCKET_SIZES_BYTES = [256, 1024]\n"
        "stage_many(Small(), {'weight': torch.zeros(3)})\n"
        "stage_to_host(object(), torch.zeros(3))\n")
    result = subprocess.run(
        [sys.executable, "-I", "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
         "--cache-dir", str(tmp_path / "cache"), str(script)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert len(errors) == 1 and "use.py:7:" in errors[0], result.stdout
    assert "BufferPool" in errors[0]


class Misleasing(SmallBuckets):
    """Breaks the buffer protocol on its third lease in the way named by ``how``."""

    def __init__(self, how):
        super().__init__(1 << 30)
        self.how = how

    def lease(self, nbytes):
        buf = super().lease(nbytes)
        if len(self._leased) < 3:
            return buf
        return {"short": lambda: buf[:nbytes - 1], "float": lambda: buf.view(torch.float32),
                "2-d": lambda: buf.view(2, -1), "list": lambda: [0] * nbytes,
                "meta": lambda: torch.empty(nbytes, dtype=torch.uint8, device="meta")}[self.how]()


@pytest.mark.parametrize("how, what", [
    ("short", "1-d torch.uint8 tensor of 1023 elements on cpu"),
    ("float", "1-d torch.float32 tensor of 256 elements on cpu"),
    ("2-d", "2-d torch.uint8 tensor"), ("list", "a list"), ("meta", "on meta")])
@pytest.mark.parametrize("stage", ["stage_many", "offload_module"])
def test_a_pool_that_breaks_the_buffer_protocol_is_named_and_gets_every_buffer_back(
        how, what, stage):
    pool = Misleasing(how)
    model = torch.nn.Sequential(*(torch.nn.Linear(20, 20) for _ in range(5)))
    weights = [weight.detach().clone() for weight in model.parameters()]
    with pytest.raises(TypeError, match=rf"^Misleasing\.lease\(1024\) returned .*{what}.*: a pool "):
        if stage == "stage_many":
            stage_many(pool, list(model.parameters()))
        else:
            offload_module(model, pool, "cpu")
    # The two buffers leased before go back; the broken third one is not the pool's to count.
    assert pool.stats()["leases"] == 3 and len(pool._buckets[LARGE]) == 2
    assert len(pool._leased) == 1
    assert all(map(torch.equal, model.parameters(), weights))


@pytest.mark.parametrize("pool, lacks", [
    (None, "lease, release, BUCKET_SIZES_BYTES"),
    (type("Bucketless", (), dict(lease=print, release=print))(), "BUCKET_SIZES_BYTES"),
    (type("Fractional", (SmallBuckets,), dict(BUCKET_SIZES_BYTES=[256.5]))(), "BUCKET_SIZES"),
])
@pytest.mark.parametrize("stage", [stage_many, stage_to_host])
def test_what_is_not_a_pool_is_refused_in_one_line(pool, lacks, stage):
    with pytest.raises(TypeError, match=rf"^pool must be a buffer pool .* lacks {lacks}"):
        stage(pool, torch.zeros(3))


@pytest.mark.parametrize("duplicate", [pickle.dumps, copy.copy, copy.deepcopy])
@pytest.mark.parametrize("stage", [lambda pool, t: stage_many(pool, [t]), stage_to_host])
def test_live_staged_handles_refuse_to_be_copied(pool, duplicate, stage):
    staged = stage(pool, torch.arange(10.0))
    with pytest.raises(TypeError, match="holds leased pool buffers and cannot be pickled or copied"):
        duplicate(staged)
    assert not staged.released and len(pool._leased) == 1
    assert torch.equal(staged.restore()[0] if isinstance(staged, staging.StagedGroup)
                       else staged.restore(), torch.arange(10.0))


def test_buffers_leased_under_inference_mode_stay_writable_outside_it(pool):
    with torch.inference_mode():
        stage_many(pool, [torch.randn(2000)]).release()
        with leased(pool, 1000):
            pass
    pooled = [buf for bucket in pool._buckets.values() for buf in bucket]
    assert len(pooled) == pool.stats()["misses"] > 1
    assert not any(buf.is_inference() for buf in pooled)
