"""Moving tensors to host memory and back through a pool of host buffers.

``leased(pool, nbytes)`` lends one buffer for the length of a ``with`` block.
``stage_many(pool, tensors)`` lays any number of tensors end to end in one run of leased buffers
and returns a ``StagedGroup`` that copies them back, as often as needed, until it is released.
``stage_to_host(pool, tensor)`` does the same for one tensor and returns a ``StagedTensor``,
whose ``restore()`` copies it back and returns every buffer.
``PackedRun(pool, groups)`` lays several groups end to end in one run of buffers, leased as the
groups staged one after another reach them, so that small groups share buffers.
"""

from __future__ import annotations

import contextlib
import weakref
from collections.abc import Iterable, Iterator, Mapping, Sequence
from typing import Any, Optional, Protocol, Union

import torch

from korvane.offload.checks import (Device, _check_device, _check_stageable, _check_targets,
                                    _names, _unpack, check_pool)
from korvane.offload.copies import _copies_for, _wait_for_devices
from korvane.offload.copies import _HostCopies as _HostCopies  # tests subclass it from here
from korvane.offload.packing import (ALIGNMENT, _contiguous_strides, _Entry, _fit_whole, _Run,
                                     _run_of_buckets, _starts_whole)

__all__ = ["BufferPool", "leased", "stage_many", "StagedGroup", "stage_to_host", "StagedTensor",
           "PackedRun", "host_tensors"]

Tensors = Union[Sequence[torch.Tensor], Mapping[Any, torch.Tensor]]


class BufferPool(Protocol):
    """What the staging helpers need of a pool: buffers of the bucket sizes it names, leased
    as one-dimensional ``torch.uint8`` tensors and released when done."""

    @property
    def BUCKET_SIZES_BYTES(self) -> Sequence[int]: ...

    def lease(self, nbytes: int) -> torch.Tensor: ...

    def release(self, buf: torch.Tensor) -> None: ...


@contextlib.contextmanager
def leased(pool: BufferPool, nbytes: int) -> Iterator[torch.Tensor]:
    """A buffer of at least ``nbytes`` bytes from ``pool``, released when the block ends, once
    the work queued on every CUDA device by then (a copy into or out of it among it) is done."""
    buf = _lease_for_good(pool, nbytes)
    try:
        yield buf
    finally:
        # A failed wait leaves the buffer leased rather than lend it out again under a copy.
        _wait_for_devices()
        pool.release(buf)


class StagedGroup:
    """Tensors' bytes held end to end in buffers leased from a pool; ``stage_many`` makes one::

        group = stage_many(pool, layer.state_dict())   # a list or a dict of tensors
        tensors = group.restore()                       # new tensors, a dict with the same keys
        group.restore_into(layer.state_dict())          # or copied into existing tensors
        group.release()                                 # or use the group in a with block

    ``restore()`` returns new tensors and ``restore_into()`` copies into existing ones, as
    often as needed; neither gives a buffer back. ``release()``, leaving a ``with`` block or
    dropping the group does, once every copy into or out of the buffers has finished.
    A restore that fails leaves the group as it was.
    """

    def __init__(self, pool: BufferPool, entries: list[_Entry], keys: Optional[list]):
        self._pool = pool
        self._entries = entries
        self._keys = keys
        self._buffers: list[torch.Tensor] = []
        self._copied_in: list = []  # events behind the copies into the buffers
        self._in_flight: list = []  # events behind every copy that may still touch them
        # The buffers go back through a finalizer that holds them rather than through __del__:
        # a group collected in a reference cycle would otherwise find its buffers already dead
        # to the pool's weak references, and the pool would refuse them.
        self._give_back = weakref.finalize(self, _give_back, pool, self._buffers, self._in_flight)
        self._give_back.atexit = False

    def __len__(self) -> int:
        return len(self._entries)

    @property
    def nbytes(self) -> int:
        """The bytes of the staged tensors."""
        return sum(entry.nbytes for entry in self._entries)

    @property
    def held_bytes(self) -> int:
        """The bytes of the pool buffers held now."""
        return sum(buf.numel() for buf in self._buffers)

    @property
    def released(self) -> bool:
        """Whether the buffers went back to the pool."""
        return not self._give_back.alive

    def restore(self, device: Optional[Device] = None) -> Union[list, dict]:
        """New tensors with the staged values, shapes, dtypes, strides and ``requires_grad``:
        a list, or a dict with the keys the tensors were staged under. ``device`` (only
        ``None`` means "not given") overrides each tensor's own device."""
        self._check_usable()
        target = None if device is None else _check_device(device, "device")
        tensors = [entry.empty(entry.device if target is None else target)
                   for entry in self._entries]
        self._copy_out(zip(self._entries, tensors))
        for entry, tensor in zip(self._entries, tensors):
            tensor.requires_grad_(entry.requires_grad)
        return tensors if self._keys is None else dict(zip(self._keys, tensors))

    def restore_into(self, tensors: Tensors) -> None:
        """Copies the staged values into ``tensors``, in place: tensors of the same shapes and
        dtypes, in a sequence, or a mapping with the same keys. Everything is checked first."""
        self._check_usable()
        keys, targets = _unpack(tensors, "tensors")
        if self._keys is None:
            if keys is not None or len(targets) != len(self._entries):
                raise ValueError(f"tensors must be a sequence of {len(self)} tensors, as staged")
        else:
            by_key = dict(zip(keys or (), targets))
            if keys is None or len(by_key) != len(self._keys) or not all(
                    key in by_key for key in self._keys):
                raise ValueError(f"tensors must be a mapping with the {len(self)} keys staged")
            targets = [by_key[key] for key in self._keys]
        _check_targets(targets, self._entries, _names("tensors", self._keys))
        self._copy_out(zip(self._entries, targets))

    def overwrite(self, tensors: Sequence[torch.Tensor]) -> None:
        """Copies ``tensors`` (the staged shapes and dtypes, in order) into the buffers in place
        of the staged values, once every copy out of them has finished."""
        self._check_usable()
        tensors = list(tensors)
        if len(tensors) != len(self._entries):
            raise ValueError(f"tensors must be a sequence of {len(self)} tensors, as staged")
        _check_targets(tensors, self._entries, _names("tensors", None))
        for event in self._in_flight:
            event.synchronize()
        self._copy_in(tensors)

    def release(self) -> None:
        """Returns every buffer to the pool once the copies through them are done; later calls
        do nothing."""
        try:
            self._give_back()
        finally:
            # The entries' views would keep the buffers' memory alive for as long as the group.
            for entry in self._entries:
                entry.view, entry.pieces = None, []

    def __enter__(self) -> "StagedGroup":
        return self

    def __exit__(self, *exc_info) -> None:
        self.release()

    def __reduce_ex__(self, protocol):
        # A copy would share the leased buffers and give them back a second time.
        raise TypeError("a StagedGroup holds leased pool buffers and cannot be pickled or "
                        "copied: pickle the tensors restore() returns instead")

    def __repr__(self) -> str:
        state = "released" if self.released else f"{len(self._buffers)} buffers"
        return f"StagedGroup({len(self)} tensors, nbytes={self.nbytes}, {state})"

    def _lease(self, bucket_sizes: Sequence[int]) -> None:
        """Leases the run and places every tensor in it."""
        starts = []
        end = 0
        for entry in self._entries:
            start = -(-end // ALIGNMENT) * ALIGNMENT
            starts.append(start)
            end = start + entry.nbytes
        sizes = _run_of_buckets(end, bucket_sizes)
        for size in sizes:
            self._buffers.append(_checked_lease(self._pool, size))
        run = _Run(self._buffers, sizes)
        for entry, start in zip(self._entries, starts):
            entry.place(run, start)

    @torch.no_grad()
    def _copy_in(self, tensors: list[torch.Tensor]) -> None:
        devices: dict[torch.device, Any] = {}
        try:
            for entry, tensor in zip(self._entries, tensors):
                if tensor.device not in devices:
                    devices[tensor.device] = _copies_for(tensor.device)
                entry.copy_in(tensor, devices[tensor.device])
        finally:
            self._copied_in = self._record(devices)
            self._in_flight[:] = self._copied_in

    @torch.no_grad()
    def _copy_out(self, pairs: Iterable[tuple[_Entry, torch.Tensor]]) -> None:
        devices: dict[torch.device, Any] = {}
        try:
            for entry, target in pairs:
                if target.device not in devices:
                    devices[target.device] = _copies_for(target.device)
                    devices[target.device].wait_for(target.device, self._copied_in)
                entry.copy_out(target, devices[target.device])
        finally:
            self._in_flight[:] = [event for event in self._in_flight if not event.query()]
            self._in_flight += self._record(devices)

    @staticmethod
    def _record(devices: dict) -> list:
        events = (copies.record(device) for device, copies in devices.items())
        return [event for event in events if event is not None]

    def _check_usable(self) -> None:
        if self.released:
            raise RuntimeError("this staged group was already released")


def _lease_for_good(pool: BufferPool, nbytes: int) -> torch.Tensor:
    """``pool.lease(nbytes)``, outside inference mode: a buffer the pool allocates there would
    be an inference tensor for all its life, which no later write outside the mode could fill."""
    if not torch.is_inference_mode_enabled():
        return pool.lease(nbytes)
    with torch.inference_mode(False), torch.no_grad():
        return pool.lease(nbytes)


def _checked_lease(pool: BufferPool, nbytes: int) -> torch.Tensor:
    """A buffer leased from ``pool``, refused unless it keeps to the buffer protocol."""
    buf = _lease_for_good(pool, nbytes)
    try:
        _check_buffer(pool, buf, nbytes)
    except TypeError:
        # Offered back, though a pool that broke its own protocol may refuse it.
        with contextlib.suppress(Exception):
            pool.release(buf)
        raise
    return buf


def _check_buffer(pool: BufferPool, buf: Any, nbytes: int) -> None:
    """Refuses what a pool's ``lease(nbytes)`` returned unless it is a buffer of at least
    ``nbytes`` bytes: a one-dimensional ``torch.uint8`` tensor on the CPU."""
    if not (isinstance(buf, torch.Tensor) and buf.dtype == torch.uint8 and buf.dim() == 1
            and buf.device.type == "cpu" and buf.numel() >= nbytes):
        what = (f"a {buf.dim()}-d {buf.dtype} tensor of {buf.numel()} elements on {buf.device}"
                if isinstance(buf, torch.Tensor) else f"a {type(buf).__name__}")
        raise TypeError(f"{type(pool).__name__}.lease({nbytes}) returned {what}: a pool must "
                        f"lease one-dimensional torch.uint8 CPU tensors of at least the bytes "
                        f"asked")


def _give_back(pool: BufferPool, buffers: list[torch.Tensor], in_flight: list) -> None:
    """Returns a group's buffers to ``pool`` once the copies through them are done."""
    for event in in_flight:
        event.synchronize()
    in_flight.clear()
    returned = buffers[:]
    buffers.clear()
    # Every buffer goes back to the pool even if it refuses one of them.
    with contextlib.ExitStack() as releases:
        for buf in reversed(returned):
            releases.callback(pool.release, buf)


def stage_many(pool: BufferPool, tensors: Tensors) -> StagedGroup:
    """Copies ``tensors`` (a sequence, or a mapping such as a ``state_dict``) end to end into
    one run of buffers leased from ``pool``, and returns the ``StagedGroup`` that holds them.

    The run is cut into the pool's bucket sizes, largest first, so that it wastes less than
    one smallest bucket; each tensor starts at a multiple of 64 bytes and may straddle two
    buffers. Tensors on the CPU or on CUDA of any dtype and strides are taken; a tensor whose
    bytes are not its values (quantized, nested, sparse, meta, a wrapper subclass) raises
    ``TypeError`` before anything is leased. Copies from CUDA are queued on the device's
    current stream; the group waits for them before a buffer goes back.
    """
    check_pool(pool, "pool")
    keys, values = _unpack(tensors, "tensors")
    _check_stageable(values, _names("tensors", keys))
    return _stage(pool, values, keys)


def _stage(pool: BufferPool, tensors: list[torch.Tensor], keys: Optional[list]) -> StagedGroup:
    group = StagedGroup(pool, [_Entry(tensor) for tensor in tensors], keys)
    try:
        group._lease(pool.BUCKET_SIZES_BYTES)
        group._copy_in(tensors)
    except BaseException:
        group.release()
        raise
    return group


class PackedRun:
    """Groups of tensors laid end to end, one group after another, in one run of buffers leased
    from ``pool``: small groups share buffers, and the run wastes less than one smallest bucket
    in all.

    ``groups`` gives each group's tensors (or tensors of their shapes, dtypes and strides) so
    that the layout is known before anything is leased; ``stage(index, tensors)`` leases the
    buffers that group reaches, copies the tensors in and returns a ``StagedGroup`` that shares
    the run's buffers (its ``held_bytes`` is 0). ``release()`` releases every staged group, then
    returns the buffers; later calls do nothing. ``largest_bucket`` caps the buffer size, so
    that at most that many bytes are leased ahead of the bytes staged.

    With ``fit=True`` the run is not the fewest bytes but as many buffers as it takes for each
    tensor no larger than the largest bucket to lie inside one: largest first, each into the
    first buffer with room, else into a new buffer of the smallest bucket that holds it (those
    larger end to end from the run's start).

    With ``whole=True`` each tensor no larger than a buffer is placed inside one buffer where
    the run's buffers can hold them all that way (largest first, each into the first buffer with
    room), so that ``host_tensors`` views them all in place; a group's tensors may then lie in
    buffers far apart, and staging it leases every buffer up to the last of them.
    """

    def __init__(self, pool: BufferPool, groups: Sequence[Sequence[torch.Tensor]],
                 largest_bucket: Optional[int] = None, whole: bool = False, fit: bool = False):
        self._pool = pool
        for index, group in enumerate(groups):
            _check_stageable(list(group), lambda position: f"groups[{index}][{position}]")
        self._entries = [[_Entry(tensor) for tensor in group] for group in groups]
        self._starts: list[list[int]] = []
        end = 0
        for entries in self._entries:
            starts = []
            for entry in entries:
                start = -(-end // ALIGNMENT) * ALIGNMENT
                starts.append(start)
                end = start + entry.nbytes
            self._starts.append(starts)
        buckets = [size for size in pool.BUCKET_SIZES_BYTES
                   if largest_bucket is None or size <= largest_bucket]
        self._sizes = _run_of_buckets(end, buckets or pool.BUCKET_SIZES_BYTES[:1])
        self._buffers: list[torch.Tensor] = []
        self._run = _Run(self._buffers, self._sizes)
        if fit:
            self._sizes, self._starts = _fit_whole(self._entries, buckets or
                                                   pool.BUCKET_SIZES_BYTES[:1])
            self._run = _Run(self._buffers, self._sizes)
        elif whole:
            self._starts = _starts_whole(self._entries, self._sizes) or self._starts
        self._groups: list[StagedGroup] = []
        self._give_back = weakref.finalize(self, _give_back, pool, self._buffers, [])
        self._give_back.atexit = False

    @property
    def held_bytes(self) -> int:
        """The bytes of the pool buffers held now."""
        return sum(buf.numel() for buf in self._buffers)

    @property
    def leased_bytes(self) -> int:
        """The bytes of the pool buffers the run leases once every group is staged."""
        return sum(self._sizes)

    def stage(self, index: int, tensors: Sequence[torch.Tensor]) -> StagedGroup:
        """Copies ``tensors`` into the place of group ``index`` and returns its group."""
        group = self._place(index)
        group._copy_in(list(tensors))
        return group

    def lay_out(self, index: int) -> tuple[StagedGroup, list[list[tuple[torch.Tensor, int, int]]]]:
        """Leases the buffers group ``index`` reaches and returns its group, with nothing copied
        in, and for each tensor the ``(buffer, offset, nbytes)`` slices its bytes take, in
        order, for a reader to fill. The group's tensors must be laid out in contiguous strides
        (given as tensors that are contiguous or own no memory), so that their bytes are their
        values in row-major order."""
        for entry in self._entries[index]:
            if entry.nbytes and any(size > 1 and stride != step for size, stride, step in zip(
                    entry.shape, entry.stride, _contiguous_strides(entry.shape))):
                raise ValueError(f"group {index} has a tensor of strides {entry.stride}: a group "
                                 "filled by a reader is laid out in contiguous strides")
        group = self._place(index)
        pieces = [[(buffer, 0, end - first)
                   for buffer, first, end in self._run.slices(start, entry.nbytes)]
                  for entry, start in zip(self._entries[index], self._starts[index])]
        return group, pieces

    def _place(self, index: int) -> StagedGroup:
        entries = self._entries[index]
        if entries:
            starts = self._starts[index]
            last = max(start + entry.nbytes for start, entry in zip(starts, entries))
            self._lease_through(last)
        group = StagedGroup(self._pool, entries, None)
        self._groups.append(group)
        for entry, start in zip(entries, self._starts[index]):
            entry.place(self._run, start)
        return group

    def release(self) -> None:
        """Releases every group staged in the run, then returns its buffers to the pool."""
        try:
            with contextlib.ExitStack() as releases:
                for group in self._groups:
                    releases.callback(group.release)
        finally:
            self._give_back()

    def _lease_through(self, end: int) -> None:
        """Leases the buffers that hold the run's bytes up to ``end``."""
        if end <= 0:
            return
        needed = self._run.locate(end - 1)[0] + 1
        while len(self._buffers) < needed:
            size = self._sizes[len(self._buffers)]
            self._buffers.append(_checked_lease(self._pool, size))


def host_tensors(group: StagedGroup, reused: dict[int, torch.Tensor]
                 ) -> tuple[list[torch.Tensor], int]:
    """Each tensor of ``group`` on the host, and the bytes copied to make them: a view of the
    buffer that holds it, in its shape, dtype and strides, where it lies in one buffer (writes
    through it reach the staged bytes); else a copy into ``reused[index]``, made on first use
    and kept by the caller for the next call."""
    group._check_usable()
    cpu = torch.device("cpu")
    _copies_for(cpu).wait_for(cpu, group._copied_in)  # staged from CUDA: the views wait too
    tensors: list[torch.Tensor] = []
    pairs = []
    for index, entry in enumerate(group._entries):
        if entry.view is not None or not entry.nbytes:
            tensors.append(entry.view if entry.nbytes else entry.empty(cpu))
            continue
        if index not in reused:
            reused[index] = entry.empty(cpu)
        tensors.append(reused[index])
        pairs.append((entry, reused[index]))
    if pairs:
        group._copy_out(pairs)
    return tensors, sum(entry.nbytes for entry, _ in pairs)


class StagedTensor:
    """One tensor's bytes held in buffers leased from a pool; ``stage_to_host`` makes one::

        staged = stage_to_host(pool, weight)   # any size, dtype and strides, CPU or CUDA
        del weight                             # the device memory can go now
        weight = staged.restore()              # back on its device, buffers back to the pool

    Buffers go back to the pool once ``restore()`` has copied them out, or on ``release()``;
    copies to or from a CUDA device are waited for before any buffer is handed back.
    """

    def __init__(self, group: StagedGroup):
        self._group = group
        (entry,) = group._entries
        self.shape = entry.shape
        self.dtype = entry.dtype
        self.device = entry.device
        self.nbytes = entry.nbytes

    @property
    def released(self) -> bool:
        """Whether the buffers went back to the pool."""
        return self._group.released

    @property
    def held_bytes(self) -> int:
        """The bytes of the pool buffers held now."""
        return self._group.held_bytes

    def restore(self, device: Optional[Device] = None, *,
                out: Optional[torch.Tensor] = None) -> torch.Tensor:
        """Copies the bytes back into ``out``, or into a new tensor on ``device`` (by default
        the device the tensor came from), then returns every buffer to the pool. If the copy
        fails, the buffers stay staged."""
        if self.released:
            raise RuntimeError("this staged tensor was already restored or released")
        if out is None:
            (tensor,) = self._group.restore(device)
        else:
            (entry,) = self._group._entries
            _check_targets([out], [entry], lambda index: "out")
            if device is not None and out.device != _check_device(device, "device"):
                raise ValueError(f"out is on {out.device}, not on the requested {device}")
            self._group._copy_out([(entry, out)])
            tensor = out
        self._group.release()
        return tensor

    def release(self) -> None:
        """Returns every buffer to the pool without restoring; later calls do nothing."""
        self._group.release()

    def __enter__(self) -> "StagedTensor":
        return self

    def __exit__(self, *exc_info) -> None:
        self.release()

    def __reduce_ex__(self, protocol):
        raise TypeError("a StagedTensor holds leased pool buffers and cannot be pickled or "
                        "copied: pickle the tensor restore() returns instead")

    def __repr__(self) -> str:
        state = "released" if self.released else f"{len(self._group._buffers)} buffers"
        return (f"StagedTensor(shape={tuple(self.shape)}, dtype={self.dtype}, "
                f"device={self.device}, nbytes={self.nbytes}, {state})")


def stage_to_host(pool: BufferPool, tensor: torch.Tensor) -> StagedTensor:
    """Copies ``tensor`` (any size, dtype, strides, CPU or CUDA) into buffers leased from
    ``pool``, cut into the pool's bucket sizes; what ``stage_many`` refuses it refuses too.
    Copies from a CUDA device are asynchronous; the returned handle waits for them before it
    gives a buffer back."""
    check_pool(pool, "pool")
    _check_stageable([tensor], lambda index: "tensor")
    return StagedTensor(_stage(pool, [tensor], None))
