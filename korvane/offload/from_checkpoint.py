"""Offloading a module straight from a safetensors checkpoint.

``offload_checkpoint`` reads a module's weights from the checkpoint into pooled host buffers
(the module, built on the meta device, never holds them) and streams them to the device as
``offload_module`` does. Under a host budget the pool keeps only some layers; the others stay in
the checkpoint and are read again, ahead of their calls, by a background reader.
"""

from __future__ import annotations

import functools
import itertools
import os
from typing import Callable, Iterable, Optional, Sequence, Union

import torch
from torch import nn

from korvane.offload.checkpoint import (
    Checkpoint, CheckpointReader, Piece, TensorInfo, assign_tensors, held_layers, match_module)
from korvane.offload.engines import ReadingEngine
from korvane.offload.layers import group_by_readers, tensors_outside
from korvane.offload.offload import Device, OffloadedModule, _Weights, check_offload, run_layout
from korvane.offload.placeholders import outside_inference_mode
from korvane.offload.staging import BufferPool, PackedRun, StagedGroup, host_tensors

__all__ = ["offload_checkpoint"]

Source = Union[str, os.PathLike, Sequence[Union[str, os.PathLike]], Checkpoint]


def offload_checkpoint(module: nn.Module, checkpoint: Source, pool: BufferPool, device: Device,
                       *, layers: Optional[Iterable[nn.Module]] = None, prefetch: int = 1,
                       host_budget: Optional[int] = None, strict: bool = True) -> OffloadedModule:
    """Reads ``module``'s weights from a safetensors ``checkpoint`` straight into buffers leased
    from ``pool`` and streams them to ``device`` layer by layer, as ``offload_module`` does
    (same ``layers`` and ``prefetch``, same bound on the device), returning the
    ``OffloadedModule`` that undoes it.

    ``module`` is built on the meta device (under ``korvane.offload.meta_parameters()``, so
    that buffers computed at construction stay real), or with real weights that the checkpoint
    replaces. ``checkpoint`` is a ``.safetensors`` file, a folder holding ``model.safetensors``
    or a sharded ``model.safetensors.index.json``, a list of files, or a ``Checkpoint``. Keys
    are matched as ``load_state_dict`` matches them, except that a tied weight stored once is
    found under any of its names; with ``strict=False`` unexpected keys are ignored and a
    missing weight keeps the module's own value. A shape or dtype that differs, or a weight on
    meta that the checkpoint does not provide, is refused, naming it. Weights kept outside the
    layers are read and moved to ``device``.

    With ``host_budget=None`` every streamed weight is read once into the pool. With
    ``host_budget=N`` bytes the pool holds at most ``N``: the groups several layers share and
    those with weights not in the checkpoint stay held, then the layers first in the module's
    order (for Hugging Face models, the order a forward reads them) as long as the budget keeps
    room for the reads of ``1 + prefetch`` of the rest, which a forward reads from the
    checkpoint on a background thread, ``prefetch`` layers ahead, into pool buffers it gives
    back after the layer's call. ``stats()`` adds ``read_bytes`` (read from the checkpoint)
    and ``read_wait_seconds`` (the forward waited for reads). A read that fails in a forward
    raises ``OSError`` naming the file and key from that forward; the module stays usable.

    ``close()`` puts weights that were on meta on the CPU (``close(device=...)`` chooses).
    Bad arguments or a checkpoint that does not fit the module raise one line before anything
    is leased; any failure leaves the module as it was, every buffer back in the pool.
    """
    device, layers = check_offload(module, pool, device, layers, prefetch)
    if isinstance(host_budget, bool) or not isinstance(host_budget, (int, type(None))):
        raise TypeError(f"host_budget must be an int (bytes) or None, not "
                        f"{type(host_budget).__name__}")
    if host_budget is not None and host_budget < 0:
        raise ValueError(f"host_budget must be 0 or more bytes, not {host_budget}")
    if not isinstance(strict, bool):
        raise TypeError(f"strict must be a bool, not {type(strict).__name__}")
    if not isinstance(checkpoint, Checkpoint):
        checkpoint = Checkpoint(checkpoint)
    infos = {id(tensor): info for _, tensor, info in match_module(module, checkpoint,
                                                                  strict=strict)}
    return _Loading(module, checkpoint, pool, device, prefetch, infos).offload(layers,
                                                                             host_budget)


class _Loading:
    """One call of ``offload_checkpoint``: what it changed in the module, to undo on failure."""

    def __init__(self, module: nn.Module, checkpoint: Checkpoint, pool: BufferPool,
                 device: torch.device, prefetch: int, infos: dict[int, TensorInfo]):
        self.module = module
        self.checkpoint = checkpoint
        self.pool = pool
        self.device = device
        self.prefetch = prefetch
        self.infos = infos
        # Used in place on the CPU, each tensor lies inside one buffer, whatever that wastes.
        largest, whole = run_layout(device)
        self.layout_args = (largest, False, whole)
        self.swapped: list[tuple[torch.Tensor, torch.Tensor]] = []   # (on meta, its stand-in)
        self.replaced: list[tuple[torch.Tensor, torch.Tensor]] = []  # (kept weight, its data)

    def offload(self, layers: list[nn.Module], host_budget: Optional[int]) -> OffloadedModule:
        run = None
        try:
            self._swap_meta()
            kept = tensors_outside(self.module, layers)
            grouped = group_by_readers(layers, kept)
            layout = [[_layout_like(tensor) for tensor in tensors] for _, tensors in grouped]
            held = self._choose_held(grouped, layout, layers, host_budget)
            run = _CheckpointRun(PackedRun(self.pool, [layout[i] for i in held],
                                           *self.layout_args), CheckpointReader(self.checkpoint))
            self._read_kept(kept, run)
            groups = self._read_groups(grouped, layout, held, run)
            return OffloadedModule._offload(
                self.module, self.device, layers, kept, grouped, run, self.prefetch,
                stage=lambda index, tensors, owner: groups[index](owner),
                engine=lambda inner: ReadingEngine(inner, self.prefetch, run.read_stats))
        except BaseException:
            try:
                if run is not None:
                    run.release()
            finally:
                self._undo()
            raise

    def _swap_meta(self) -> None:
        """Puts a stand-in without memory, on the CPU, in every place that holds a weight on
        meta, whose ``.data`` cannot be set."""
        seen: set[int] = set()
        for tensor in itertools.chain(self.module.parameters(), self.module.buffers()):
            if tensor.is_meta and id(tensor) not in seen:
                seen.add(id(tensor))
                stand_in = torch.zeros((), dtype=tensor.dtype).expand(tensor.shape)
                if isinstance(tensor, nn.Parameter):
                    stand_in = nn.Parameter(stand_in, requires_grad=tensor.requires_grad)
                self.swapped.append((tensor, stand_in))
                self.infos[id(stand_in)] = self.infos[id(tensor)]
        assign_tensors(self.module, self.swapped)

    def _undo(self) -> None:
        for tensor, data in self.replaced:
            tensor.data = data
        assign_tensors(self.module, [(stand_in, meta) for meta, stand_in in self.swapped])

    def _choose_held(self, grouped: list, layout: list[list[torch.Tensor]],
                     layers: list[nn.Module], host_budget: Optional[int]) -> list[int]:
        """The indexes of the groups held in the pool; the others are read when fetched."""
        if host_budget is None:
            return list(range(len(grouped)))
        own = {id(readers[0]): index for index, (readers, tensors) in enumerate(grouped)
               if len(readers) == 1 and all(id(t) in self.infos for t in tensors)}
        candidates = [own[id(layer)] for layer in layers if id(layer) in own]
        always = [index for index in range(len(grouped)) if index not in candidates]
        read_bytes = [PackedRun(self.pool, [layout[i]], *self.layout_args).leased_bytes
                      for i in candidates]

        def reads(count: int) -> int:  # the largest reads that may be under way at once
            return sum(sorted(read_bytes[count:], reverse=True)[:1 + self.prefetch])

        def held_bytes(count: int) -> int:
            indexes = sorted(always + candidates[:count])
            return PackedRun(self.pool, [layout[i] for i in indexes],
                             *self.layout_args).leased_bytes

        def fits(count: int) -> bool:
            return held_bytes(count) + reads(count) <= host_budget

        if not fits(0):
            raise ValueError(f"host_budget of {host_budget} bytes is too small: the weights "
                             f"that stay held need {held_bytes(0)} and the reads of 1 + prefetch "
                             f"layers at once {reads(0)}")
        # Counted one by one, the layers held take more than packed together: start from that
        # count, then adjust it to the packed bytes.
        count = held_layers(read_bytes, host_budget - held_bytes(0), self.prefetch)
        while count and not fits(count):
            count -= 1
        while count < len(candidates) and fits(count + 1):
            count += 1
        return sorted(always + candidates[:count])

    def _read_kept(self, kept: list[torch.Tensor], run: "_CheckpointRun") -> None:
        """Reads each kept weight the checkpoint holds; ``_offload`` moves it to the device."""
        for tensor in kept:
            info = self.infos.get(id(tensor))
            if info is not None:
                self.replaced.append((tensor, tensor.data))
                tensor.data = self.checkpoint.read_tensor(info.key).to(tensor.device)
                run.loaded_bytes += info.nbytes

    def _read_groups(self, grouped: list, layout: list[list[torch.Tensor]], held: list[int],
                     run: "_CheckpointRun") -> list[Callable[[OffloadedModule], _Weights]]:
        """What makes each group's ``_Weights`` for its owner: those held are read into the
        packed run now, the others read when fetched."""
        position = {index: place for place, index in enumerate(held)}
        groups: list[Callable[[OffloadedModule], _Weights]] = []
        for index, (_, tensors) in enumerate(grouped):
            infos = [self.infos.get(id(tensor)) for tensor in tensors]
            if index not in position:
                groups.append(functools.partial(_ReadWeights, tensors, self.device,
                                                layout[index], infos, run, self.pool,
                                                self.layout_args))
                continue
            staged, pieces = run.packed.lay_out(position[index])
            for tensor, info, slices in zip(tensors, infos, pieces):
                if info is None:
                    _fill(slices, tensor)
                else:
                    self.checkpoint.read_into(info.key, slices)
                    run.loaded_bytes += info.nbytes
            groups.append(functools.partial(_Weights, staged, tensors, self.device))
        return groups


def _layout_like(tensor: torch.Tensor) -> torch.Tensor:
    """A tensor without memory of ``tensor``'s shape and dtype on the device its values come
    back to (the CPU for one on meta), in contiguous strides, as a checkpoint lays it out."""
    device = torch.device("cpu") if tensor.is_meta else tensor.device
    return torch.zeros((), dtype=tensor.dtype, device=device).expand(tensor.shape)


def _fill(pieces: list[Piece], tensor: torch.Tensor) -> None:
    """Copies ``tensor``'s values, row-major, into the byte slices ``pieces``."""
    flat = tensor.detach().to("cpu").contiguous().reshape(-1).view(torch.uint8)
    done = 0
    for buffer, offset, nbytes in pieces:
        buffer[offset:offset + nbytes].copy_(flat[done:done + nbytes])
        done += nbytes


class _CheckpointRun:
    """The pool buffers of an offloaded checkpoint: those held (a ``PackedRun``) and those of
    the groups being read, with the reader that fills them."""

    def __init__(self, packed: PackedRun, reader: CheckpointReader):
        self.packed = packed
        self.reader = reader
        self.reading: dict[int, PackedRun] = {}  # id of a group -> the buffers it reads into
        self.loaded_bytes = 0

    @property
    def held_bytes(self) -> int:
        return self.packed.held_bytes + sum(run.held_bytes for run in self.reading.values())

    def read_stats(self) -> dict:
        stats = self.reader.stats()
        return {"read_bytes": self.loaded_bytes + stats["read_bytes"],
                "read_wait_seconds": stats["read_wait_seconds"]}

    def release(self) -> None:
        try:
            self.reader.close()
        finally:
            runs = list(self.reading.values())
            self.reading.clear()
            try:
                for run in runs:
                    run.release()
            finally:
                self.packed.release()


class _InCheckpoint:
    """Where a group that is read when fetched keeps its values: in the checkpoint."""

    def __init__(self, checkpoint: Checkpoint, infos: list[TensorInfo],
                 layout: list[torch.Tensor]):
        self._checkpoint = checkpoint
        self._infos = infos
        self._devices = [tensor.device for tensor in layout]
        self.nbytes = sum(info.nbytes for info in infos)

    def restore(self, device: Optional[torch.device] = None) -> list[torch.Tensor]:
        """The values read from the checkpoint, on ``device`` or each where it came from."""
        return [self._checkpoint.read_tensor(info.key).to(own if device is None else device)
                for info, own in zip(self._infos, self._devices)]


class _ReadWeights(_Weights):
    """A group read from the checkpoint into pool buffers when fetched, which go back when it
    is freed (see ``ReadingEngine``)."""

    reads = True

    def __init__(self, targets: list[torch.Tensor], device: torch.device,
                 layout: list[torch.Tensor], infos: list, run: _CheckpointRun,
                 pool: BufferPool, layout_args: tuple, owner: OffloadedModule):
        super().__init__(_InCheckpoint(run.reader.checkpoint, infos, layout),  # type: ignore
                         targets, device, owner)
        self._layout = layout
        self._keys = [info.key for info in infos]
        self._run = run
        self._pool = pool
        self._layout_args = layout_args
        self._leased: Optional[StagedGroup] = None

    def start_read(self):
        run = PackedRun(self._pool, [self._layout], *self._layout_args)
        try:
            staged, pieces = run.lay_out(0)
            request = self._run.reader.submit(zip(self._keys, pieces))
        except BaseException:
            run.release()
            raise
        self._leased = staged
        self._run.reading[id(self)] = run
        return request

    def end_read(self) -> None:
        # Copies of tensors that straddle buffers (larger than a bucket, or on CUDA machines)
        # go with the buffers, so that host memory outside the pool stays bounded too.
        self.tensors, self._reused = [], {}
        self._leased = None
        run = self._run.reading.pop(id(self), None)
        if run is not None:
            run.release()

    def updated(self, values: dict[int, torch.Tensor]) -> list[torch.Tensor]:
        raise RuntimeError("a weight that offload_checkpoint reads from the checkpoint when "
                           "needed (under host_budget) cannot be changed while offloaded: "
                           "close() first, or offload with a budget that holds its layer")

    def load(self, device: torch.device) -> int:
        assert self._leased is not None, "a group is loaded only once read"
        if device.type == "cpu":
            self.tensors, copied = host_tensors(self._leased, self._reused)
            return copied
        with outside_inference_mode():
            self.tensors = self._leased.restore(device)
        return self.nbytes
