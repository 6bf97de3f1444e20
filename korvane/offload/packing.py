"""Where staged tensors' bytes lie in a run of pool buffers.

A run (``_Run``) is leased buffers laid end to end, each used up to its bucket's size;
``_run_of_buckets`` cuts a number of bytes into the pool's bucket sizes, largest first. Each
tensor (``_Entry``) starts at a multiple of ``ALIGNMENT`` bytes and is viewed in its own dtype and
strides where it lies inside one buffer, else copied in flat pieces across the buffers it
straddles. ``_starts_whole`` and ``_fit_whole`` lay several groups out so that most tensors lie
inside one buffer. Nothing here leases or releases a buffer: the staging helpers do, and place
the entries in the run they lease.
"""

from __future__ import annotations

import bisect
import itertools
from collections.abc import Iterator, Sequence
from typing import Optional

import torch

from korvane.offload.copies import _copies_by_value, _copy_values


# Every tensor starts at a multiple of this many bytes into the run (a cache line), so that it
# can be viewed in its own dtype there and its copies start aligned whatever came before it.
ALIGNMENT = 64


class _Entry:
    """Where one tensor's bytes lie in the run, and what the tensor looked like.

    The buffers are viewed in the tensor's dtype where its elements' boundaries fall on theirs
    (always, with bucket sizes that are multiples of 64 bytes), else as bytes, as they are for
    bit-packed dtypes. A tensor in one buffer is copied through a view in its own strides, so
    that ``copy_`` converts any strides, conjugate or negative bits on the way; one that
    straddles buffers is copied in flat parts from and to a tensor in the staged strides.
    """

    __slots__ = ("shape", "stride", "dtype", "device", "requires_grad", "nbytes", "word",
                 "view", "pieces")

    def __init__(self, tensor: torch.Tensor):
        self.shape = tensor.shape
        # Dense tensors keep their strides (channels_last stays channels_last); others become
        # contiguous.
        self.stride = tensor.stride() if _is_dense(tensor) else _contiguous_strides(tensor.shape)
        self.dtype = tensor.dtype
        self.device = tensor.device
        self.requires_grad = tensor.requires_grad
        self.nbytes = tensor.nbytes
        self.word = tensor.dtype  # the dtype the buffers are viewed in
        self.view: Optional[torch.Tensor] = None
        # (slice of a buffer, first word, end word of the tensor's words it holds)
        self.pieces: list[tuple[torch.Tensor, int, int]] = []

    def place(self, run: "_Run", start: int) -> None:
        """Takes the bytes from ``start`` on in ``run``."""
        if not self.nbytes:
            return
        index, offset = run.locate(start)
        size = self.dtype.itemsize
        by_value = _copies_by_value(self.dtype) and offset % size == 0
        if by_value and offset + self.nbytes <= run.size(index):
            view = run.typed(index, self.dtype)
            # as_strided counts from the storage's start, and a buffer may begin inside it.
            self.view = view.as_strided(self.shape, self.stride,
                                        view.storage_offset() + offset // size)
            return
        pieces = run.slices(start, self.nbytes)
        if not by_value or any(first % size for _, first, _ in pieces):
            self.word, size = torch.uint8, 1
        self.pieces = [(piece.view(self.word), first // size, end // size)
                       for piece, first, end in pieces]

    def copy_in(self, tensor: torch.Tensor, copies) -> None:
        copies.use(tensor)
        if self.view is not None:
            copies.copy(self.view, tensor)
            return
        for piece, part in self._split(self._in_staged_strides(tensor)):
            copies.copy(piece, part)

    def copy_out(self, target: torch.Tensor, copies) -> None:
        copies.use(target)
        if self.view is not None:
            copies.copy(target, self.view)
            return
        dest = self._in_staged_strides(target, copy=False)
        for piece, part in self._split(dest):
            copies.copy(part, piece)
        if dest is not target:
            _copy_values(target, dest)

    def empty(self, device: torch.device) -> torch.Tensor:
        return torch.empty_strided(self.shape, self.stride, dtype=self.dtype, device=device)

    def _in_staged_strides(self, tensor: torch.Tensor, copy: bool = True) -> torch.Tensor:
        """``tensor`` if its bytes are its values in the staged strides, else a new tensor in
        those strides (holding its values if ``copy``)."""
        if tensor.stride() == self.stride and not (tensor.is_conj() or tensor.is_neg()):
            return tensor
        staged = self.empty(tensor.device)
        if copy:
            _copy_values(staged, tensor)
        return staged

    def _split(self, tensor: torch.Tensor) -> Iterator[tuple[torch.Tensor, torch.Tensor]]:
        """Each slice of a buffer with the words of ``tensor`` (dense, in the staged strides)
        it holds."""
        flat = tensor.as_strided((tensor.numel(),), (1,))
        if self.word != self.dtype:
            flat = flat.view(self.word)
        for piece, start, end in self.pieces:
            yield piece, flat[start:end]


class _Run:
    """Leased buffers laid end to end, each used up to its bucket's size."""

    def __init__(self, buffers: list[torch.Tensor], sizes: list[int]):
        self._buffers = buffers
        self._starts = [0, *itertools.accumulate(sizes)]
        self._typed: dict[tuple[int, torch.dtype], torch.Tensor] = {}

    def size(self, index: int) -> int:
        return self._starts[index + 1] - self._starts[index]

    def locate(self, start: int) -> tuple[int, int]:
        """The buffer that holds byte ``start`` of the run, and the offset there."""
        index = bisect.bisect_right(self._starts, start) - 1
        return index, start - self._starts[index]

    def typed(self, index: int, dtype: torch.dtype) -> torch.Tensor:
        """Buffer ``index`` viewed in ``dtype``; made once per group."""
        key = (index, dtype)
        if key not in self._typed:
            words = self.size(index) // dtype.itemsize
            self._typed[key] = self._buffers[index][:words * dtype.itemsize].view(dtype)
        return self._typed[key]

    def slices(self, start: int, nbytes: int) -> list[tuple[torch.Tensor, int, int]]:
        """The slices of buffers that hold ``nbytes`` bytes from ``start`` on, each with the
        first and the end byte of the span it holds."""
        index, offset = self.locate(start)
        slices = []
        done = 0
        while done < nbytes:
            length = min(nbytes - done, self.size(index) - offset)
            slices.append((self._buffers[index][offset:offset + length], done, done + length))
            done += length
            index += 1
            offset = 0
        return slices


def _starts_whole(groups: list[list[_Entry]], sizes: list[int]) -> Optional[list[list[int]]]:
    """Where each tensor starts in a run of buffers of ``sizes`` so that most lie inside one
    buffer: those larger than every buffer end to end from the run's start; the others, largest
    first, each into the first buffer with room among the first ``k``; what is left end to end
    in the buffers after them, which only those may straddle. ``k`` is the most buffers that
    leave room for the rest; None if no ``k`` does."""
    bounds = list(zip(itertools.accumulate([0, *sizes]), itertools.accumulate(sizes)))
    by_size = sorted(((entry.nbytes, group, index) for group, entries in enumerate(groups)
                      for index, entry in enumerate(entries)), reverse=True)
    larger = [item for item in by_size if item[0] > max(sizes)]
    for k in range(len(sizes), -1, -1):
        starts = [[0] * len(entries) for entries in groups]
        end = _lay_end_to_end(larger, 0, starts)
        free = [min(max(start, _aligned(end)), last) for start, last in bounds[:k]]
        left = []
        for item in by_size[len(larger):]:
            nbytes, group, index = item
            buffer = next((buffer for buffer, (_, last) in enumerate(bounds[:k])
                           if _aligned(free[buffer]) + nbytes <= last), None)
            if buffer is None:
                left.append(item)
                continue
            starts[group][index] = _aligned(free[buffer])
            free[buffer] = starts[group][index] + nbytes
        tail = max(bounds[k][0] if k < len(bounds) else bounds[-1][1], end)
        if _lay_end_to_end(left, tail, starts) <= bounds[-1][1]:
            return starts
    return None


def _fit_whole(groups: list[list[_Entry]], buckets: Sequence[int]
               ) -> tuple[list[int], list[list[int]]]:
    """Buffer sizes, and where each tensor starts, for ``PackedRun(fit=True)``."""
    largest = max(buckets)
    by_size = sorted(((entry.nbytes, group, index) for group, entries in enumerate(groups)
                      for index, entry in enumerate(entries) if entry.nbytes), reverse=True)
    starts = [[0] * len(entries) for entries in groups]
    larger = [item for item in by_size if item[0] > largest]
    end = _lay_end_to_end(larger, 0, starts)
    sizes = [largest] * -(-end // largest)
    free = [min(max(index * largest, end), (index + 1) * largest) for index in range(len(sizes))]
    bounds = list(itertools.accumulate(sizes))
    for nbytes, group, index in by_size[len(larger):]:
        buffer = next((buffer for buffer, last in enumerate(bounds)
                       if _aligned(free[buffer]) + nbytes <= last), None)
        if buffer is None:
            sizes.append(min(size for size in buckets if size >= nbytes))
            free.append(bounds[-1] if bounds else 0)
            bounds.append(free[-1] + sizes[-1])
            buffer = len(sizes) - 1
        starts[group][index] = _aligned(free[buffer])
        free[buffer] = starts[group][index] + nbytes
    return sizes, starts


def _lay_end_to_end(items: list[tuple[int, int, int]], start: int,
                    starts: list[list[int]]) -> int:
    """Places ``(nbytes, group, index)`` items one after another from ``start``; returns the end."""
    end = start
    for nbytes, group, index in items:
        starts[group][index] = _aligned(end)
        end = starts[group][index] + nbytes
    return end


def _aligned(offset: int) -> int:
    return -(-offset // ALIGNMENT) * ALIGNMENT


def _run_of_buckets(nbytes: int, bucket_sizes: Sequence[int]) -> list[int]:
    """Buffer sizes that hold ``nbytes``: as many of each bucket as fit, largest first, and
    the rest in one smallest bucket."""
    sizes = sorted((int(size) for size in bucket_sizes), reverse=True)
    if not sizes or sizes[-1] <= 0:
        raise ValueError(f"the pool's bucket sizes must be positive, not {list(bucket_sizes)}")
    run = []
    for size in sizes:
        count, nbytes = divmod(nbytes, size)
        run += [size] * count
    return run + [sizes[-1]] * (nbytes > 0)


def _contiguous_strides(shape: torch.Size) -> tuple[int, ...]:
    strides = []
    step = 1
    for size in reversed(shape):
        strides.append(step)
        step *= max(size, 1)
    return tuple(reversed(strides))


def _is_dense(tensor: torch.Tensor) -> bool:
    """Whether the elements fill one gap-free span of memory, in any order of dimensions."""
    if tensor.is_contiguous():
        return True
    expected = 1
    for size, stride in sorted(zip(tensor.shape, tensor.stride()), key=lambda dim: dim[1]):
        if size == 1:
            continue
        if stride != expected:
            return False
        expected *= size
    return True
