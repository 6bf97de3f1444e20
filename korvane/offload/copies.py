"""How bytes move between a tensor's device and the pool's buffers.

``_copies_for(device)`` picks the copy mechanism for a device: ``_HostCopies`` copies host memory
synchronously, ``_CudaCopies`` queues copies on the device's current stream and orders them with
events rather than by waiting on the host. Each offers the same four steps (``use`` a caller's
tensor, ``copy`` between same-layout tensors, ``record`` an event, ``wait_for`` events), so that
the staging helpers move bytes the same way whatever the device. ``_copy_values`` copies values
for every dtype, bit-packed ones included, and ``_wait_for_devices`` waits on the host for the
work queued on every CUDA device before a buffer is lent again.
"""

from __future__ import annotations

import torch


def _wait_for_devices() -> None:
    """Waits on the host for the work queued on every CUDA device this process has used."""
    if torch.cuda.is_initialized():
        for index in range(torch.cuda.device_count()):
            torch.cuda.synchronize(index)


class _HostCopies:
    """Copies between host memory and the pool's buffers: done when ``copy_`` returns."""

    @staticmethod
    def use(tensor: torch.Tensor) -> None:
        return None

    @staticmethod
    def copy(dst: torch.Tensor, src: torch.Tensor) -> None:
        dst.copy_(src)

    @staticmethod
    def record(device: torch.device) -> None:
        return None

    @staticmethod
    def wait_for(device: torch.device, events: list) -> None:
        for event in events:
            event.synchronize()


class _CudaCopies:
    """Copies between a CUDA device and pinned buffers: queued on the device's current stream,
    ordered by events rather than by waiting on the host.

    Each crossing is a plain copy between the same layout on both sides. ``copy_`` would
    otherwise change the layout through a host temporary (reading the buffer on the host at
    once) or resolve conjugate and negative bits on the buffer on the host at once, both before
    the queued copy has landed; here a device temporary takes that work on the device instead.
    """

    @staticmethod
    def use(tensor: torch.Tensor) -> None:
        """Keeps the caching allocator from reusing the memory of ``tensor``, the caller's, which
        may have been allocated on another stream (and be dropped at once), until the copies now
        queued on the current stream have run."""
        tensor.record_stream(torch.cuda.current_stream(tensor.device))

    @staticmethod
    def copy(dst: torch.Tensor, src: torch.Tensor) -> None:
        if dst.is_cuda and dst.stride() != src.stride():
            staged = torch.empty_strided(src.shape, src.stride(), dtype=src.dtype,
                                         device=dst.device)
            staged.copy_(src, non_blocking=True)
            dst.copy_(staged)
            return
        if src.is_cuda and (src.stride() != dst.stride() or src.is_conj() or src.is_neg()):
            resolved = torch.empty_strided(dst.shape, dst.stride(), dtype=dst.dtype,
                                           device=src.device)
            src = resolved.copy_(src)
        dst.copy_(src, non_blocking=True)

    @staticmethod
    def record(device: torch.device) -> torch.cuda.Event:
        event = torch.cuda.Event()
        event.record(torch.cuda.current_stream(device))
        return event

    @staticmethod
    def wait_for(device: torch.device, events: list) -> None:
        stream = torch.cuda.current_stream(device)
        for event in events:
            stream.wait_event(event)


def _copies_for(device: torch.device):
    """How bytes move between ``device`` and the pool's buffers."""
    return _CudaCopies if device.type == "cuda" else _HostCopies


def _copies_by_value(dtype: torch.dtype) -> bool:
    """Whether ``copy_`` copies this dtype element by element (not so bit-packed ones)."""
    return dtype.is_floating_point or dtype.is_complex or dtype in _INTEGER_DTYPES


def _copy_values(dst: torch.Tensor, src: torch.Tensor) -> None:
    """``dst.copy_(src)`` between tensors on one device, for every dtype: ``copy_`` has no
    kernel for bit-packed dtypes such as ``torch.uint4``, so they move as integers of their
    width."""
    if not _copies_by_value(dst.dtype):
        word = _WORDS[dst.element_size()]
        dst, src = dst.view(word), src.view(word)
    dst.copy_(src)


_WORDS = {1: torch.uint8, 2: torch.int16, 4: torch.int32, 8: torch.int64}

_INTEGER_DTYPES = frozenset([torch.bool, torch.uint8, torch.int8, torch.int16, torch.int32,
                             torch.int64, torch.uint16, torch.uint32, torch.uint64])
