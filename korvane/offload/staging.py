"""Moving tensors to host memory and back through a PinnedMemoryPool.

``leased(pool, nbytes)`` lends one buffer for the length of a ``with`` block.
``stage_to_host(pool, tensor)`` copies any tensor into leased buffers, chunk by chunk, and
returns a ``StagedTensor`` whose ``restore()`` copies it back and returns every buffer.
"""

from __future__ import annotations

import contextlib
from typing import Iterator, Optional, Union

import torch

__all__ = ["leased", "stage_to_host", "StagedTensor"]


@contextlib.contextmanager
def leased(pool, nbytes: int) -> Iterator[torch.Tensor]:
    """A buffer of at least ``nbytes`` bytes from ``pool``, released when the block ends."""
    buf = pool.lease(nbytes)
    try:
        yield buf
    finally:
        pool.release(buf)


class StagedTensor:
    """A tensor's bytes held in buffers leased from a pool.

    Buffers go back to the pool once ``restore()`` has copied them out, or on ``release()``;
    copies to or from a CUDA device are waited for before any buffer is handed back.
    """

    def __init__(self, pool, like: torch.Tensor):
        self._pool = pool
        self.shape = like.shape
        self.dtype = like.dtype
        self.device = like.device
        self.nbytes = like.numel() * like.element_size()
        self._chunks: list[tuple[torch.Tensor, int]] = []  # (buffer, bytes used)
        self._copies_done: Optional[torch.cuda.Event] = None
        self._released = False

    @property
    def released(self) -> bool:
        return self._released

    def restore(
        self,
        device: Union[str, torch.device, None] = None,
        *,
        out: Optional[torch.Tensor] = None,
    ) -> torch.Tensor:
        """Copies the bytes back into ``out``, or into a new tensor on ``device`` (by default
        the device the tensor came from), and returns every buffer to the pool."""
        self._check_usable()
        if out is None:
            out = torch.empty(self.shape, dtype=self.dtype, device=device or self.device)
        else:
            self._check_out(out, device)
        try:
            target = out if out.is_contiguous() else torch.empty(self.shape, dtype=self.dtype,
                                                                 device=out.device)
            self._copy_out(_bytes_of(target))
            if target is not out:
                out.copy_(target)
        finally:
            self.release()
        return out

    def release(self) -> None:
        """Returns every buffer to the pool without restoring; later calls do nothing."""
        if self._released:
            return
        self._released = True
        self._wait_for_copies()
        chunks, self._chunks = self._chunks, []
        for buf, _ in chunks:
            self._pool.release(buf)

    def __del__(self) -> None:
        # A handle dropped unrestored gives its buffers back rather than leave them leased.
        if not getattr(self, "_released", True):
            self.release()

    def __enter__(self) -> "StagedTensor":
        return self

    def __exit__(self, *exc_info) -> None:
        self.release()

    def __repr__(self) -> str:
        state = "released" if self._released else f"{len(self._chunks)} buffers"
        return (f"StagedTensor(shape={tuple(self.shape)}, dtype={self.dtype}, "
                f"device={self.device}, nbytes={self.nbytes}, {state})")

    def _copy_in(self, source: torch.Tensor, chunk_bytes: int) -> None:
        cuda = source.is_cuda
        for start in range(0, self.nbytes, chunk_bytes):
            length = min(chunk_bytes, self.nbytes - start)
            buf = self._pool.lease(length)
            self._chunks.append((buf, length))
            buf[:length].copy_(source[start:start + length], non_blocking=cuda)
        if cuda:
            self._record_copies(source.device)

    def _copy_out(self, target: torch.Tensor) -> None:
        cuda = target.is_cuda
        if cuda and self._copies_done is not None:
            torch.cuda.current_stream(target.device).wait_event(self._copies_done)
        start = 0
        for buf, length in self._chunks:
            target[start:start + length].copy_(buf[:length], non_blocking=cuda)
            start += length
        if cuda:
            self._record_copies(target.device)

    def _record_copies(self, device: torch.device) -> None:
        self._copies_done = torch.cuda.Event()
        self._copies_done.record(torch.cuda.current_stream(device))

    def _wait_for_copies(self) -> None:
        if self._copies_done is not None:
            self._copies_done.synchronize()
            self._copies_done = None

    def _check_usable(self) -> None:
        if self._released:
            raise RuntimeError("this staged tensor was already restored or released")

    def _check_out(self, out, device) -> None:
        if not isinstance(out, torch.Tensor):
            raise TypeError(f"out must be a torch.Tensor, not {type(out).__name__}")
        if out.dtype != self.dtype:
            raise TypeError(f"out has dtype {out.dtype}, the staged tensor {self.dtype}")
        if out.shape != self.shape:
            raise ValueError(f"out has shape {tuple(out.shape)}, the staged tensor "
                             f"{tuple(self.shape)}")
        if device is not None and out.device != torch.device(device):
            raise ValueError(f"out is on {out.device}, not on the requested {device}")


def _bytes_of(tensor: torch.Tensor) -> torch.Tensor:
    """A flat uint8 view of a contiguous tensor's bytes."""
    return tensor.reshape(-1).view(torch.uint8)


def stage_to_host(pool, tensor: torch.Tensor) -> StagedTensor:
    """Copies ``tensor`` (any size, dtype, layout and device) into buffers leased from
    ``pool``, in chunks no larger than the pool's largest bucket. Copies from a CUDA device
    are asynchronous; the returned handle waits for them before it gives a buffer back."""
    if not isinstance(tensor, torch.Tensor):
        raise TypeError(f"expected a torch.Tensor, not {type(tensor).__name__}")
    if tensor.layout != torch.strided:
        raise TypeError(f"only strided tensors can be staged, not {tensor.layout}")
    staged = StagedTensor(pool, tensor)
    # Conjugate and negative views keep their flag beside the data: materialize them.
    source = tensor.detach().resolve_conj().resolve_neg().contiguous()
    try:
        staged._copy_in(_bytes_of(source), max(pool.BUCKET_SIZES_BYTES))
    except BaseException:
        staged.release()
        raise
    return staged
