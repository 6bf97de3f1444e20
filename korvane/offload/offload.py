"""Running a module whose layers keep their weights in pooled host buffers between their calls."""

from __future__ import annotations

import contextlib
import itertools
import weakref
from typing import Iterable, Optional, Union

import torch
from torch import nn
from torch.utils.weak import WeakIdKeyDictionary

from korvane.offload.engines import CpuEngine, CudaEngine
from korvane.offload.policy import StreamingPolicy
from korvane.offload.staging import BufferPool, stage_many

__all__ = ["offload_module", "OffloadedModule"]

# Layers and weights staged now, so that a second offload cannot stage their placeholders (a
# weight may be shared with another module); weakly held, so that a module dropped without
# close() is still collected.
_streamed = WeakIdKeyDictionary()


def offload_module(module: nn.Module, pool: BufferPool, device: Union[str, int, torch.device], *,
                   layers: Optional[Iterable[nn.Module]] = None,
                   prefetch: int = 1) -> "OffloadedModule":
    """Streams the weights of ``module``'s layers from buffers leased from ``pool`` to ``device``,
    each layer's weights on the device only around its calls, and returns the ``OffloadedModule``
    that undoes it.

    ``layers`` are the submodules to stream; by default the direct children that hold parameters
    or buffers, with the items of a ``ModuleList`` or ``ModuleDict`` in place of the container.
    Everything else moves to ``device`` and stays there. Each layer's parameters and buffers are
    packed into pooled buffers (a tensor that several layers share is packed once, in a group of
    its own) and point at empty placeholders between calls; they stay the same objects, so
    references, hooks and ``state_dict()`` keys keep working. While a layer runs, the weights of the next ``prefetch``
    layers (in the order of the first forward) are copied to the device, on a copy stream of their
    own on CUDA; the device holds the streamed weights of at most ``1 + prefetch`` layers.

    The module runs inference only (under ``torch.no_grad()`` or ``torch.inference_mode()``): a
    call that would need gradients of streamed weights raises ``RuntimeError``. In-place changes to
    streamed weights during a call are not kept.
    """
    if not isinstance(module, nn.Module):
        raise TypeError(f"module must be a torch.nn.Module, not {type(module).__name__}")
    if not all(callable(getattr(pool, name, None)) for name in ("lease", "release")):
        raise TypeError(f"pool must have lease() and release(), which {type(pool).__name__} lacks")
    device = check_device(device)
    if isinstance(prefetch, bool) or not isinstance(prefetch, int):
        raise TypeError(f"prefetch must be an int, not {type(prefetch).__name__}")
    if prefetch < 0:
        raise ValueError(f"prefetch must be 0 or more, not {prefetch}")
    weights = list(itertools.chain(module.parameters(), module.buffers()))
    if any(item in _streamed for item in itertools.chain(module.modules(), weights)):
        raise ValueError("module already has offloaded layers or weights: close() their "
                         "OffloadedModule first")
    if any(weight.is_inference() for weight in weights):
        raise ValueError("module has weights made under torch.inference_mode(), which would stop "
                         "working once moved: make them outside it to offload the module")
    layers = _default_layers(module) if layers is None else _check_layers(module, layers)
    if not layers:
        raise ValueError(f"{type(module).__name__} has no submodules holding parameters or "
                         "buffers to stream: pass layers=")
    kept = _tensors_outside(module, layers)
    staged = []
    try:
        for readers, tensors in _group_by_readers(layers, kept):
            staged.append((readers, tensors, stage_many(pool, tensors)))
        return OffloadedModule(module, device, layers, kept, staged, prefetch)
    except BaseException:
        with contextlib.ExitStack() as releases:
            for _, _, group in staged:
                releases.callback(group.release)
        raise


class OffloadedModule:
    """A module whose layers' weights live in pooled host buffers, made by ``offload_module``.

    Call it, or the module itself, as before. ``stats()`` reports the device bytes of streamed
    weights and the copies made; ``state_dict()`` of the module reads streamed weights from the
    host copies (as CPU tensors). ``close()``, or leaving a ``with`` block, puts every weight back
    on the device as an ordinary resident module, removes the hooks and returns every buffer;
    later calls do nothing.
    """

    def __init__(self, module: nn.Module, device: torch.device, layers: list[nn.Module],
                 kept: list[torch.Tensor], staged: list, prefetch: int):
        self.module = module
        self.device = device
        self._groups = [_Weights(group, tensors, device) for _, tensors, group in staged]
        needs: dict[nn.Module, list[_Weights]] = {layer: [] for layer in layers}
        for (readers, _, _), group in zip(staged, self._groups):
            for layer in readers:
                needs[layer].append(group)
        self._needs = needs
        self._engine = CudaEngine(device) if device.type == "cuda" else CpuEngine()
        self._policy = StreamingPolicy(needs, self._engine, prefetch)
        self._streamed = {layer: [t for group in groups for t in group.targets]
                          for layer, groups in needs.items()}
        self._all_streamed = [t for group in self._groups for t in group.targets]
        self._handles: list = []
        self._closed = False
        self._take_over(kept)
        # Dropped without close(), the module may leave weights that live on elsewhere (tied to
        # another module, held by an optimizer): they get their values back, as close() would.
        self._finalizer = weakref.finalize(
            self, _restore_survivors, device,
            [(group.staged, [weakref.ref(t) for t in group.targets]) for group in self._groups])
        self._finalizer.atexit = False

    def __call__(self, *args, **kwargs):
        return self.module(*args, **kwargs)

    def stats(self) -> dict:
        """Device bytes of streamed weights now and at most, the largest layer's, all streamed and
        held in pool buffers; copies, bytes copied, seconds spent copying and seconds the forward
        stood waiting for copies (on CUDA, the compute stream; this syncs the device)."""
        stats = {
            "resident_bytes": self._policy.resident_bytes,
            "peak_resident_bytes": self._policy.peak_resident_bytes,
            "largest_layer_bytes": max(sum(group.nbytes for group in groups)
                                       for groups in self._needs.values()),
            "streamed_bytes": sum(group.nbytes for group in self._groups),
            "host_bytes": sum(group.staged.held_bytes for group in self._groups),
        }
        stats.update(self._engine.stats())
        return stats

    def close(self) -> None:
        """Loads every streamed weight onto the device for good, removes the hooks and returns
        every buffer to the pool. A failure (out of device memory) leaves it offloaded."""
        if self._closed:
            return
        self._policy.release_all()
        loaded = [group.restore(self.device) for group in self._groups]
        for handle in self._handles:
            handle.remove()
        self._handles.clear()
        for group, tensors in zip(self._groups, loaded):
            group.attach(tensors)
        for item in itertools.chain(self._needs, self._all_streamed):
            _streamed.pop(item, None)
        self._closed = True
        self._finalizer.detach()
        # Every group goes back even if the pool refuses a buffer of one: the weights are loaded.
        with contextlib.ExitStack() as releases:
            for group in self._groups:
                releases.callback(group.staged.release)

    def __enter__(self) -> "OffloadedModule":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __deepcopy__(self, memo) -> "OffloadedModule":
        # Reached through the hooks when the module is copied: the copy would share the buffers.
        raise TypeError("an offloaded module cannot be copied: copy it before offload_module() "
                        "or after close()")

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._needs)} layers streamed"
        return f"OffloadedModule({type(self.module).__name__} on {self.device}, {state})"

    def _take_over(self, kept: list[torch.Tensor]) -> None:
        """Moves the kept weights to the device, frees the streamed ones and hooks the module;
        on failure puts every weight back as it was."""
        originals = [(tensor, tensor.data) for tensor in kept]
        originals += [(tensor, tensor.data) for group in self._groups for tensor in group.targets]
        try:
            with torch.inference_mode(False):
                for tensor in kept:
                    tensor.data = tensor.data.to(self.device)
            for group in self._groups:
                group.unload()
            self._hook()
        except BaseException:
            for handle in self._handles:
                handle.remove()
            for tensor, data in originals:
                tensor.data = data
            raise
        for item in itertools.chain(self._needs, self._all_streamed):
            _streamed[item] = True

    def _hook(self) -> None:
        # Ours run before and after the hooks registered so far, so those see the weights loaded;
        # forward hooks added later, and pre-hooks added later with prepend=True, do not.
        add = self._handles.append
        add(self.module.register_forward_pre_hook(self._begin_forward, prepend=True))
        add(self.module.register_forward_hook(self._end_forward, always_call=True))
        for layer in self._needs:
            add(layer.register_forward_pre_hook(self._before_layer, prepend=True))
            add(layer.register_forward_hook(self._after_layer, always_call=True))
            add(layer.register_state_dict_post_hook(self._state_dict_hook(layer)))

    def _begin_forward(self, module, args) -> None:
        _refuse_gradients(self._all_streamed)
        self._policy.begin_forward()

    def _end_forward(self, module, args, output) -> None:
        self._policy.end_forward()

    def _before_layer(self, layer, args) -> None:
        _refuse_gradients(self._streamed[layer])
        self._policy.before(layer)

    def _after_layer(self, layer, args, output) -> None:
        self._policy.after(layer)

    def _state_dict_hook(self, layer: nn.Module):
        where = {id(tensor): (group, index) for group in self._needs[layer]
                 for index, tensor in enumerate(group.targets)}
        named = itertools.chain(layer.named_parameters(remove_duplicate=False),
                                layer.named_buffers(remove_duplicate=False))
        entries = [(name, *where[id(tensor)]) for name, tensor in named if id(tensor) in where]

        def read_host_copies(module, state_dict, prefix, local_metadata) -> None:
            host: dict = {}
            for name, group, index in entries:
                if prefix + name in state_dict:
                    if group not in host:
                        host[group] = group.staged.restore(torch.device("cpu"))
                    state_dict[prefix + name] = host[group][index].detach()

        return read_host_copies


class _Weights:
    """Tensors staged together, and the parameters and buffers that point at their values."""

    def __init__(self, staged, targets: list[torch.Tensor], device: torch.device):
        self.staged = staged
        self.nbytes = staged.nbytes
        self.targets = targets
        self.tensors: list[torch.Tensor] = []   # the device copies while loaded
        with torch.inference_mode(False):
            self._placeholders = [torch.empty(0, dtype=t.dtype, device=device) for t in targets]

    def restore(self, device: torch.device) -> list[torch.Tensor]:
        """New tensors on ``device`` with the staged values, in the weights' own layouts (a
        transposed or channels-last weight keeps the layout its kernels were chosen for)."""
        # Never inference tensors, whatever the caller's mode: the module keeps its weights.
        with torch.inference_mode(False):
            return self.staged.restore(device)

    def load(self, device: torch.device) -> None:
        tensors = self.restore(device)
        self.attach(tensors)
        self.tensors = tensors

    def unload(self) -> None:
        self.attach(self._placeholders)
        self.tensors = []

    def attach(self, tensors: list[torch.Tensor]) -> None:
        for target, tensor in zip(self.targets, tensors):
            target.data = tensor


def _restore_survivors(device: torch.device, groups: list) -> None:
    """Loads the staged values into those weights of a dropped offloaded module that are still
    referenced, and lets them be offloaded again."""
    for staged, refs in groups:
        alive = [(index, ref()) for index, ref in enumerate(refs)]
        alive = [(index, tensor) for index, tensor in alive if tensor is not None]
        if alive:
            with torch.inference_mode(False):
                loaded = staged.restore(device)
            for index, tensor in alive:
                tensor.data = loaded[index]
                _streamed.pop(tensor, None)


def _refuse_gradients(weights: list[torch.Tensor]) -> None:
    if torch.is_grad_enabled() and any(weight.requires_grad for weight in weights):
        raise RuntimeError("an offloaded module runs inference only: call it under torch.no_grad() "
                           "or torch.inference_mode(), or set requires_grad=False on its weights")


def check_device(device) -> torch.device:
    """``device`` as a torch.device that names its index, if it is the CPU or a CUDA device
    of this machine; else ``ValueError`` (``TypeError`` for what is not a device at all)."""
    if not isinstance(device, (str, int, torch.device)) or isinstance(device, bool):
        raise TypeError(f"device must be a str, int or torch.device, not {type(device).__name__}")
    try:
        device = torch.device(device)
    except (RuntimeError, ValueError):
        raise ValueError(f"device {device!r} is not a device torch knows") from None
    if device.type == "cpu":
        return torch.device("cpu")
    if device.type != "cuda":
        raise ValueError(f"device must be cpu or cuda, not {device}")
    if not torch.cuda.is_available():
        raise ValueError(f"device is {device} but CUDA is not available")
    index = torch.cuda.current_device() if device.index is None else device.index
    if index >= torch.cuda.device_count():
        raise ValueError(f"device is {device} but CUDA has {torch.cuda.device_count()} devices")
    return torch.device("cuda", index)


def _holds_weights(module: nn.Module) -> bool:
    return next(itertools.chain(module.parameters(), module.buffers()), None) is not None


def _default_layers(module: nn.Module) -> list[nn.Module]:
    layers = []
    for child in module.children():
        if isinstance(child, (nn.ModuleList, nn.ModuleDict)):
            layers += _default_layers(child)  # a container is never called itself
        elif _holds_weights(child):
            layers.append(child)
    return layers


def _check_layers(module: nn.Module, layers: Iterable[nn.Module]) -> list[nn.Module]:
    if not isinstance(layers, Iterable):
        raise TypeError(f"layers must be an iterable of submodules, not {type(layers).__name__}")
    layers = list(layers)
    members = {id(sub) for sub in module.modules() if sub is not module}
    for layer in layers:
        if not isinstance(layer, nn.Module):
            raise TypeError(f"layers must hold torch.nn.Modules, not {type(layer).__name__}")
        if id(layer) not in members:
            raise ValueError(f"layers must be submodules of module: {type(layer).__name__} is not")
        if isinstance(layer, (nn.ModuleList, nn.ModuleDict)):
            raise ValueError(f"a {type(layer).__name__} is never called: pass its items as layers")
    ids = [id(layer) for layer in layers]
    if len(set(ids)) != len(ids):
        raise ValueError("layers holds a submodule twice")
    for layer in layers:
        if any(id(sub) in ids for sub in layer.modules() if sub is not layer):
            raise ValueError(f"layers overlap: a {type(layer).__name__} holds another of them")
    return layers


def _tensors_outside(module: nn.Module, layers: list[nn.Module]) -> list[torch.Tensor]:
    """The parameters and buffers reachable from ``module`` without passing through a layer."""
    layer_ids = {id(layer) for layer in layers}
    found: dict[int, torch.Tensor] = {}
    seen: set[int] = set()
    stack = [module]
    while stack:
        sub = stack.pop()
        if id(sub) in layer_ids or id(sub) in seen:
            continue
        seen.add(id(sub))
        for tensor in itertools.chain(sub.parameters(recurse=False), sub.buffers(recurse=False)):
            found[id(tensor)] = tensor
        stack.extend(sub.children())
    return list(found.values())


def _group_by_readers(layers: list[nn.Module], kept: list[torch.Tensor]):
    """The streamed tensors, grouped by the set of layers that read them: ``(layers, tensors)``."""
    kept_ids = {id(tensor) for tensor in kept}
    readers: dict[int, tuple[torch.Tensor, list[nn.Module]]] = {}
    for layer in layers:
        for tensor in itertools.chain(layer.parameters(), layer.buffers()):
            if id(tensor) not in kept_ids:
                readers.setdefault(id(tensor), (tensor, []))[1].append(layer)
    groups: dict[tuple, tuple[list[nn.Module], list[torch.Tensor]]] = {}
    for tensor, readers_of in readers.values():
        key = tuple(id(layer) for layer in readers_of)
        groups.setdefault(key, (readers_of, []))[1].append(tensor)
    return list(groups.values())
