"""Staging tensors through pooled buffers, and the leased() context manager."""

import gc

import pytest
import torch

from conftest import load_extension
from korvane.offload.staging import StagedTensor, leased, stage_to_host


@pytest.fixture
def pool():
    class SmallBuckets(load_extension().PinnedMemoryPool):
        BUCKET_SIZES_BYTES = [256, 1024]  # so that a few KiB already take several chunks

    return SmallBuckets(1 << 30)


def all_returned(pool):
    return pool._leased == {} and pool.stats()["leases"] == sum(
        len(bufs) for bufs in pool._buckets.values()) + pool._stats["hits"]


TENSORS = {
    "float32 matrix": lambda: torch.randn(37, 100),
    "transposed view": lambda: torch.randn(50, 60).t(),
    "strided slice": lambda: torch.arange(3000, dtype=torch.int16)[::3],
    "scalar": lambda: torch.tensor(3.5, dtype=torch.float64),
    "empty": lambda: torch.empty(0, 4),
    "conjugate view": lambda: torch.randn(30, 2, dtype=torch.complex64).conj(),
    "bool": lambda: torch.rand(999) > 0.5,
    "bfloat16": lambda: torch.randn(513).to(torch.bfloat16),
}


@pytest.mark.parametrize("name", TENSORS)
def test_round_trip(pool, name):
    tensor = TENSORS[name]()
    staged = stage_to_host(pool, tensor)
    assert len(staged._chunks) == -(-tensor.numel() * tensor.element_size() // 1024)
    restored = staged.restore()
    assert restored.dtype == tensor.dtype and restored.shape == tensor.shape
    assert torch.equal(restored, tensor)
    assert staged.released and pool._leased == {}


@pytest.mark.parametrize("contiguous", [True, False])
def test_restore_into_out(pool, contiguous):
    tensor = torch.randn(40, 30)
    out = torch.zeros(40, 30) if contiguous else torch.zeros(30, 40).t()
    assert stage_to_host(pool, tensor).restore(out=out) is out
    assert torch.equal(out, tensor) and pool._leased == {}


@pytest.mark.parametrize("out, error", [
    ("not a tensor", TypeError),
    (torch.zeros(40, 30, dtype=torch.float64), TypeError),
    (torch.zeros(30, 40), ValueError),
])
def test_bad_out_leaves_the_handle_usable(pool, out, error):
    tensor = torch.randn(40, 30)
    staged = stage_to_host(pool, tensor)
    with pytest.raises(error):
        staged.restore(out=out)
    assert not staged.released and len(pool._leased) == len(staged._chunks)
    assert torch.equal(staged.restore(), tensor)


def test_a_released_handle_cannot_be_used_again(pool):
    staged = stage_to_host(pool, torch.randn(100))
    staged.restore()
    with pytest.raises(RuntimeError, match="already restored or released"):
        staged.restore()
    staged.release()  # releasing again does nothing
    with stage_to_host(pool, torch.randn(100)) as other:
        pass
    assert other.released and pool._leased == {}


@pytest.mark.parametrize("value, error", [
    ([1.0, 2.0], TypeError),
    (torch.randn(4, 4).to_sparse(), TypeError),
])
def test_bad_input(pool, value, error):
    with pytest.raises(error):
        stage_to_host(pool, value)
    assert pool._leased == {}


def test_failure_while_staging_returns_the_buffers_already_leased(pool):
    class Failing(type(pool)):
        def lease(self, nbytes):
            if len(self._leased) == 2:
                raise MemoryError("no more pinned memory")
            return super().lease(nbytes)

    failing = Failing(1 << 30)
    with pytest.raises(MemoryError):
        stage_to_host(failing, torch.randn(2000))
    assert failing._leased == {} and len(failing._buckets[1024]) == 2


def test_dropped_handle_gives_its_buffers_back(pool):
    stage_to_host(pool, torch.randn(1000))
    gc.collect()
    assert pool._leased == {} and len(pool._buckets[1024]) == 4


def test_leased_releases_on_exceptions(pool):
    with pytest.raises(KeyError):
        with leased(pool, 300) as buf:
            assert buf.numel() == 1024
            raise KeyError("inside")
    assert pool._leased == {} and pool._buckets[1024] == [buf]


def test_repr_tells_the_state(pool):
    staged = stage_to_host(pool, torch.zeros(3, dtype=torch.int8))
    assert "1 buffers" in repr(staged)
    staged.release()
    assert isinstance(staged, StagedTensor) and "released" in repr(staged)


@pytest.mark.skipif(not torch.cuda.is_available(), reason="needs CUDA")
def test_cuda_round_trip_is_pinned_and_waits_for_its_copies():
    pool = load_extension().PinnedMemoryPool(1 << 30)
    tensor = torch.randn(3 << 20, device="cuda")
    staged = stage_to_host(pool, tensor)
    assert all(buf.is_pinned() for buf, _ in staged._chunks)
    restored = staged.restore()
    assert restored.is_cuda and torch.equal(restored, tensor)
    assert pool._leased == {}
