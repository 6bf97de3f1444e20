"""Running a module whose layers keep their weights in pooled host buffers between their calls."""

from __future__ import annotations

import functools
import itertools
import threading
import weakref
from typing import Any, Callable, Iterable, Optional, Union

import torch
from torch import nn
from torch.overrides import TorchFunctionMode
from torch.utils.weak import WeakIdKeyDictionary

from korvane.offload.engines import CpuEngine, CudaEngine
from korvane.offload.layers import check_layers, default_layers, group_by_readers, tensors_outside
from korvane.offload.placeholders import (NOT_CAPTURED, GuardedWeights, Placeholder,
                                          outside_inference_mode, reset_word, storage_free)
from korvane.offload.policy import StreamingPolicy
from korvane.offload.staging import BufferPool, PackedRun, StagedGroup, check_pool, host_tensors

__all__ = ["offload_module", "OffloadedModule"]

# Layers and weights staged now, so that a second offload cannot stage their placeholders (a
# weight may be shared with another module); weakly held, so that a module dropped without
# close() is still collected.
_streamed = WeakIdKeyDictionary()
# Weights an offload keeps on its device (outside its layers), with how many offloads keep each:
# another offload may keep them too, not stream them from under the first.
_kept = WeakIdKeyDictionary()

# Where CUDA is available the pool pins what it leases: buffers no larger than this keep the host
# memory leased ahead of the bytes staged small.
_LARGEST_PINNED_BUCKET = 64 << 20

Device = Union[str, int, torch.device]

_MISSING = object()


def offload_module(module: nn.Module, pool: BufferPool, device: Device, *,
                   layers: Optional[Iterable[nn.Module]] = None,
                   prefetch: int = 1) -> "OffloadedModule":
    """Streams the weights of ``module``'s layers from buffers leased from ``pool`` to ``device``,
    each layer's weights on the device only around its calls, and returns the ``OffloadedModule``
    that undoes it.

    ``layers`` are the submodules to stream; by default the repeated blocks (the items of a
    ``ModuleList`` or ``nn.Sequential`` of one class, or the classes a Hugging Face model names
    in ``_no_split_modules``) and every other submodule that holds weights and is called (see
    ``korvane.offload.layers.default_layers``). Weights outside the layers move to ``device``
    and stay there. The layers' weights are staged one group after another, packed end to end
    into shared pool buffers, each group's originals freed before the next is staged, so the
    host holds the model about once. A weight several layers share is staged once.

    Between calls the parameters and buffers stay the same objects with their shapes and dtypes
    (see ``korvane.offload.placeholders``); while a layer runs they hold its weights. While a
    layer runs, the weights of the next ``prefetch`` layers (in the order of the first forward)
    are copied to the device, on a copy stream of their own on CUDA, and attached only when
    their layer starts. A weight several layers read stays on the device from its first reader
    to its last in a forward. On the CPU the weights are used in place, as views of the pool
    buffers. The device holds at most ``(1 + prefetch) * largest_layer_bytes + shared_bytes``
    of streamed weights (see ``OffloadedModule.stats()``).

    The module runs inference only (under ``torch.no_grad()`` or ``torch.inference_mode()``): a
    call that would need gradients of streamed weights raises ``RuntimeError``. In-place changes
    to streamed weights during a call reach the staged copy where the CPU uses it in place
    (``stats()['bytes_in_place']``) and are lost where it was copied. A wrong argument
    raises a one-line ``TypeError`` or ``ValueError`` before anything is leased or moved; a
    failure on the way leaves the module as it was.
    """
    device, layers = check_offload(module, pool, device, layers, prefetch)
    kept = tensors_outside(module, layers)
    grouped = group_by_readers(layers, kept)
    # Used in place on the CPU, tensors are best inside one buffer each; that scatters a group
    # over buffers leased ahead, which costs host memory only where the pool pins (touches) them.
    run = PackedRun(pool, [tensors for _, tensors in grouped], *run_layout(device))
    return OffloadedModule._offload(module, device, layers, kept, grouped, run, prefetch)


def check_offload(module: nn.Module, pool: BufferPool, device: Device,
                  layers: Optional[Iterable[nn.Module]], prefetch: int
                  ) -> tuple[torch.device, list[nn.Module]]:
    """The checks ``offload_module`` makes before anything is leased or moved: the device and
    the layers to stream, else a one-line ``TypeError`` or ``ValueError``."""
    if not isinstance(module, nn.Module):
        raise TypeError(f"module must be a torch.nn.Module, not {type(module).__name__}")
    check_pool(pool, "pool")
    device = check_device(device)
    if isinstance(prefetch, bool) or not isinstance(prefetch, int):
        raise TypeError(f"prefetch must be an int, not {type(prefetch).__name__}")
    if prefetch < 0:
        raise ValueError(f"prefetch must be 0 or more, not {prefetch}")
    weights = list(itertools.chain(module.parameters(), module.buffers()))
    if any(item in _streamed for item in itertools.chain(module.modules(), weights)):
        raise ValueError("module already has offloaded layers or weights: close() their "
                         "OffloadedModule first")
    if any(isinstance(weight, nn.parameter.UninitializedTensorMixin) for weight in weights):
        raise ValueError("module has uninitialized (lazy) parameters or buffers: run it once "
                         "before offloading it")
    if any(weight.is_inference() for weight in weights):
        raise ValueError("module has weights made under torch.inference_mode(), which would stop "
                         "working once moved: make them outside it to offload the module")
    layers = default_layers(module) if layers is None else check_layers(module, layers)
    if not layers:
        raise ValueError(f"{type(module).__name__} has no submodules holding parameters or "
                         "buffers to stream: pass layers=")
    grouped = group_by_readers(layers, tensors_outside(module, layers))
    if not grouped:
        raise ValueError("layers hold no weights to stream: every weight they read stays on the "
                         "device, so there is nothing to offload")
    if any(tensor in _kept for _, tensors in grouped for tensor in tensors):
        raise ValueError("layers read a weight another offloaded module keeps on its device: "
                         "close() that OffloadedModule first")
    return device, layers


def run_layout(device: torch.device) -> tuple[Optional[int], bool]:
    """``PackedRun``'s ``largest_bucket`` and ``whole`` for weights streamed to ``device``."""
    pinned = torch.cuda.is_available()
    return _LARGEST_PINNED_BUCKET if pinned else None, device.type == "cpu" and not pinned


class OffloadedModule:
    """A module whose layers' weights live in pooled host buffers, made by ``offload_module``.

    Call it, or the module itself, as before. ``stats()`` reports the device bytes of streamed
    weights and what was copied or used in place. ``state_dict()`` of the module reads streamed
    weights from the host copies (as CPU tensors, tied entries tied). ``close()``, or leaving a
    ``with`` block, puts every weight back on the device it was on before (or on the device
    given to ``close``), removes the hooks and returns every buffer; later calls do nothing.

    Until then the module does what the resident module does or refuses in one line, before
    anything changes: a forward ends whatever it raises (``KeyboardInterrupt`` included); calls
    from several threads run one at a time; ``load_state_dict()`` and in-place writes through
    the module's attributes reach the staged copies; conversions that would change a streamed
    weight (``half()``, ``cpu()``...), replacing one, pickling, copying, ``torch.jit.trace``
    and ``torch.export`` are refused; under ``torch.compile`` the forward runs eagerly.
    """

    module: nn.Module
    device: torch.device

    def __init__(self) -> None:
        raise TypeError("an OffloadedModule is made by offload_module()")

    @classmethod
    def _offload(cls, module: nn.Module, device: torch.device, layers: list[nn.Module],
                 kept: list[torch.Tensor], grouped: list, run: PackedRun, prefetch: int,
                 stage: Optional[Callable[[int, list, "OffloadedModule"], "_Weights"]] = None,
                 engine: Optional[Callable[[Any], Any]] = None) -> "OffloadedModule":
        # ``stage(index, tensors, owner)`` makes group ``index``'s ``_Weights`` (by default
        # staged from the tensors into ``run``); ``engine`` wraps the engine that moves them.
        self = object.__new__(cls)
        self.module = module
        self.device = device
        self._device_type = device.type
        self._run = run
        self._kept = [(tensor, tensor.device) for tensor in kept]
        self._groups: list[_Weights] = []
        self._handles: list = []
        self._guarded: list[nn.Module] = []
        self._host_copies: tuple = (None, {})
        self._overridden: list[tuple[nn.Module, str, object, object]] = []
        # Reentrant: a hook of a layer called on its own may close the module.
        self._lock = threading.RLock()
        self._owner: Optional[int] = None   # the thread whose forward, or lone layer call, runs
        self._alone = False                 # whether that is a layer called on its own
        self._closed = False
        kept_data = [(tensor, tensor.data) for tensor in kept]
        try:
            self._stage(grouped, stage or (lambda index, tensors, owner: _Weights(
                run.stage(index, tensors), tensors, device, owner)))
            needs: dict[nn.Module, list[_Weights]] = {layer: [] for layer in layers}
            for (readers, _), group in zip(grouped, self._groups):
                for layer in readers:
                    needs[layer].append(group)
            self._needs = needs
            self._engine = CudaEngine(device) if device.type == "cuda" else CpuEngine()
            if engine is not None:
                self._engine = engine(self._engine)
            self._policy = StreamingPolicy(needs, self._engine, prefetch)
            self._streamed = {layer: [t for group in groups for t in group.targets]
                              for layer, groups in needs.items()}
            self._all_streamed = [t for group in self._groups for t in group.targets]
            self._guard(_qualified_names(module))
            self._hook()
        except BaseException:
            self._put_back(kept_data)
            raise
        for item in itertools.chain(self._needs, self._all_streamed):
            _streamed[item] = True
        _count_kept(kept, 1)
        # Dropped without close(), the module may leave weights that live on elsewhere (tied to
        # another module, held by an optimizer): they get their values back, as close() would.
        self._finalizer = weakref.finalize(
            self, _restore_survivors, run,
            [(group.staged, [weakref.ref(t) for t in group.targets]) for group in self._groups],
            [weakref.ref(tensor) for tensor in kept])
        self._finalizer.atexit = False
        return self

    def __call__(self, *args, **kwargs):
        return self.module(*args, **kwargs)

    def stats(self) -> dict:
        """Bytes of streamed weights on the device now (``resident_bytes``) and at most
        (``peak_resident_bytes``); the bytes read by the largest layer (``largest_layer_bytes``),
        of the groups several layers read, held from first reader to last
        (``shared_bytes``), of all streamed weights (``streamed_bytes``), of the pool buffers
        held (``host_bytes``). Group fetches (``fetches``), fetches that copied (``copies``),
        bytes copied and bytes used in place on the CPU (``bytes_copied``, ``bytes_in_place``),
        seconds spent copying and seconds the forward stood waiting for copies (on CUDA, the
        compute stream; this syncs the device). The peak is at most
        ``(1 + prefetch) * largest_layer_bytes + shared_bytes``."""
        stats = {
            "resident_bytes": self._policy.resident_bytes,
            "peak_resident_bytes": self._policy.peak_resident_bytes,
            "largest_layer_bytes": max(sum(group.nbytes for group in groups)
                                       for groups in self._needs.values()),
            "shared_bytes": sum(group.nbytes for group in self._policy.shared),
            "streamed_bytes": sum(group.nbytes for group in self._groups),
            "host_bytes": self._run.held_bytes,
        }
        stats.update(self._engine.stats())
        return stats

    def close(self, device: Optional[Device] = None) -> None:
        """Puts every weight back on the device it was on before ``offload_module``, or on
        ``device``, removes the hooks and returns every buffer to the pool. A failure (out of
        memory) leaves it offloaded and usable."""
        target = None if device is None else check_device(device)
        if self._closed:
            return
        if not self._alone:  # a hook of a layer called on its own may close the module
            self._refuse_while_running("close()")
        with self._lock:
            if not self._closed:
                self._close(target)

    def _close(self, target: Optional[torch.device]) -> None:
        self._policy.release_all()
        with torch.no_grad(), outside_inference_mode():
            loaded = [group.staged.restore(target) for group in self._groups]
            kept = [tensor.data.to(target or original) for tensor, original in self._kept]
        self._unhook()
        for group, tensors in zip(self._groups, loaded):
            group.attach(tensors)
        for (tensor, _), data in zip(self._kept, kept):
            tensor.data = data
        for item in itertools.chain(self._needs, self._all_streamed):
            _streamed.pop(item, None)
        _count_kept([tensor for tensor, _ in self._kept], -1)
        self._closed = True
        self._finalizer.detach()
        for group in self._groups:
            group.drop_views()
        self._run.release()

    def __enter__(self) -> "OffloadedModule":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def __deepcopy__(self, memo) -> "OffloadedModule":
        # The copy would share the buffers.
        _refuse_pickling()

    def __repr__(self) -> str:
        state = "closed" if self._closed else f"{len(self._needs)} layers streamed"
        return f"OffloadedModule({type(self.module).__name__} on {self.device}, {state})"

    def _stage(self, grouped: list,
               stage: Callable[[int, list, "OffloadedModule"], "_Weights"]) -> None:
        """Moves the kept weights to the device, then stages each group and frees its originals
        before the next."""
        with torch.no_grad(), outside_inference_mode():
            for tensor, _ in self._kept:
                tensor.data = tensor.data.to(self.device)
            for index, (_, tensors) in enumerate(grouped):
                group = stage(index, tensors, self)
                self._groups.append(group)
                group.detach()

    def _put_back(self, kept_data: list) -> None:
        """Undoes a partial offload: every weight as it was, no hook or guard, no buffer held."""
        self._unhook()
        with torch.no_grad(), outside_inference_mode():
            for group in self._groups:
                group.attach(group.staged.restore())
        for tensor, data in kept_data:
            tensor.data = data
        self._run.release()

    def _guard(self, names: dict[int, str]) -> None:
        """Makes a streamed weight read by name outside its layers' calls its placeholder."""
        group_of = {id(t): (group, index) for group in self._groups
                    for index, t in enumerate(group.targets)}
        # One placeholder per weight, which every module holding it gives: tied attributes
        # stay one object, as on the resident module.
        placeholders = {id(t): Placeholder(t, names[id(t)], self.device, _StagedWeight(
            group, index)) for group in self._groups for index, t in enumerate(group.targets)}
        seen: set[int] = set()
        for sub in itertools.chain.from_iterable(layer.modules() for layer in self._needs):
            if id(sub) in seen:
                continue
            seen.add(id(sub))
            guards = [{name: (group_of[id(t)][0], placeholders[id(t)])
                       for name, t in weights.items() if t is not None and id(t) in group_of}
                      for weights in (sub._parameters, sub._buffers)]
            if any(guards):
                sub._parameters = GuardedWeights(sub._parameters, guards[0])
                sub._buffers = GuardedWeights(sub._buffers, guards[1])
                self._guarded.append(sub)
                for weights, named in zip((sub._parameters, sub._buffers), guards):
                    for name, (group, placeholder) in named.items():
                        group.name_in(sub.__dict__, name, dict.__getitem__(weights, name),
                                      placeholder)

    def _hook(self) -> None:
        # Each layer's weights are attached around its whole call, outside its hooks, so that
        # those see them loaded whenever they were registered.
        add = self._handles.append
        for layer in self._needs:
            self._override(layer, "_call_impl", self._call_of(layer, layer._call_impl))
            compiled = layer.__dict__.get("_compiled_call_impl")
            if compiled is not None:  # layer.compile() before offloading: calling it runs this
                self._override(layer, "_compiled_call_impl", self._call_of(layer, compiled))
            add(layer.register_state_dict_post_hook(self._state_dict_hook(layer)))
        # The module's forward brackets the forward, so that any exception ends it, and
        # serializes calls from several threads. The modules that hold streamed weights
        # refuse conversions and pickling, and load state dicts into the staged copies.
        self._override(self.module, "forward", self._forward_of(self.module.forward))
        streamed = {id(t) for t in self._all_streamed}
        for sub in _holding(self.module, streamed):
            forget = functools.partial(type(self)._forget_host_copies, self)
            add(sub.register_state_dict_post_hook(forget))
            self._override(sub, "_apply", functools.partial(self._checked_apply, sub))
            self._override(sub, "load_state_dict", self._load_state_dict_of(sub))
            self._override(sub, "__reduce_ex__", _refuse_pickling)

    def _override(self, module: nn.Module, name: str, value: Callable) -> None:
        self._overridden.append((module, name, module.__dict__.get(name, _MISSING), value))
        module.__dict__[name] = value

    def _unhook(self) -> None:
        for handle in self._handles:
            handle.remove()
        self._handles.clear()
        for group in self._groups:
            group.forget_names()
        for sub in self._guarded:
            sub._parameters, sub._buffers = dict(sub._parameters), dict(sub._buffers)
        for module, name, previous, ours in reversed(self._overridden):
            if module.__dict__.get(name) is not ours:
                continue  # set by the caller since, maybe around ours: theirs stays
            if previous is _MISSING:
                del module.__dict__[name]
            else:
                module.__dict__[name] = previous
        self._overridden.clear()

    def _forward_of(self, forward: Callable) -> Callable:
        def run(*args, **kwargs):
            me = threading.get_ident()
            if self._owner == me:
                raise RuntimeError("an offloaded module was called while its forward runs in "
                                   "the same thread (from a hook or a gc callback): call it "
                                   "after that forward returns")
            with self._lock:
                if self._closed:  # by another thread while this one waited
                    return forward(*args, **kwargs)
                self._owner = me
                try:
                    _refuse_gradients(self._all_streamed)
                    # A layer called on its own and interrupted may have left its weights.
                    self._policy.release_running()
                    self._policy.begin_forward()
                    return forward(*args, **kwargs)
                finally:
                    self._policy.end_forward()
                    self._owner = None

        eager: list[Callable] = []

        @functools.wraps(forward)
        def offloaded_forward(*args, **kwargs):
            if self._closed:  # kept, or wrapped by the caller, before close()
                return forward(*args, **kwargs)
            if torch.jit.is_tracing() or torch.compiler.is_exporting():
                raise RuntimeError(NOT_CAPTURED)
            if torch.compiler.is_compiling():
                # torch.compile runs the forward as it is, eagerly, in a graph break; made on
                # first use, since it imports dynamo.
                if not eager:
                    eager.append(torch.compiler.disable(run))
                return eager[0](*args, **kwargs)
            return run(*args, **kwargs)

        return offloaded_forward

    def _refuse_while_running(self, what: str) -> None:
        if self._owner == threading.get_ident():
            raise RuntimeError(f"{what} was called on an offloaded module while its forward "
                               f"runs: call it after that forward returns")

    def _idle(self) -> bool:
        """Whether no forward and no layer runs."""
        return self._owner is None and not self._policy.running and not self._closed

    def _checked_apply(self, module: nn.Module, fn: Callable, recurse: bool = True):
        """``Module._apply`` (behind ``to``, ``half``, ``cuda``...) where ``fn`` leaves the
        streamed weights' dtypes and device as they are; else refused, before anything moves."""
        probes = [torch.zeros((2,) * dim, dtype=dtype, device=self.device)
                  for dtype, dim in {(t.dtype, t.dim()) for t in self._all_streamed}]
        try:
            # Nor may it move their storage (share_memory): they share one word of it.
            unchanged = all(fn(probe) is probe and probe.data_ptr() == word
                            for probe, word in [(probe, probe.data_ptr()) for probe in probes])
        except Exception:
            unchanged = False
        if not unchanged:
            raise RuntimeError("an offloaded module's streamed weights cannot be converted or "
                               "moved (to, half, float, cuda, cpu, share_memory, ...): close() "
                               "it first, or close(device=...) to move it")
        return nn.Module._apply(module, fn, recurse)

    def _load_state_dict_of(self, module: nn.Module) -> Callable:
        load = module.load_state_dict

        @functools.wraps(load)
        def load_state_dict(state_dict, strict: bool = True, assign: bool = False):
            if self._closed:  # kept before close()
                return load(state_dict, strict=strict, assign=assign)
            if assign:
                raise RuntimeError("load_state_dict(assign=True) would replace offloaded "
                                   "weights: load without assign=True, or close() first")
            self._refuse_while_running("load_state_dict()")
            targets = {id(t) for t in itertools.chain(module.parameters(), module.buffers())}
            with self._lock:
                if self._closed:  # by another thread while this one waited
                    return load(state_dict, strict=strict, assign=assign)
                with _DeferredCopies(targets) as deferred:
                    result = load(state_dict, strict=strict, assign=assign)
                self._write(deferred.copies)
            return result

        return load_state_dict

    def _write(self, copies: list[tuple[torch.Tensor, torch.Tensor]]) -> None:
        """Writes each ``(target, source)`` pair: into the staged copy of a streamed target,
        into a kept one in place."""
        where = {id(t): (group, index) for group in self._groups
                 for index, t in enumerate(group.targets)}
        by_group: dict[_Weights, dict[int, torch.Tensor]] = {}
        kept = []
        held: dict[_Weights, list[torch.Tensor]] = {}
        for target, source in copies:
            source = _value_of(source, where, held)
            if id(target) in where:
                group, index = where[id(target)]
                by_group.setdefault(group, {})[index] = source
            else:
                kept.append((target, source))
        # Every new value is made first, so that a copy that fails (a refused group, a source
        # on meta) leaves every weight as it was.
        with torch.no_grad(), outside_inference_mode():
            updates = [(group, group.updated(values)) for group, values in by_group.items()]
            kept = [(target, torch.empty_like(target).copy_(source)) for target, source in kept]
        for group, tensors in updates:
            group.overwrite(tensors)
        with torch.no_grad():
            for target, value in kept:
                target.copy_(value)

    def _call_of(self, layer: nn.Module, call: Callable) -> Callable:
        """``call`` (what calling ``layer`` runs: its hooks and forward) with the layer's weights
        attached around it."""
        # One partial object per layer, not a closure's cells: less memory to reach per call.
        return functools.partial(_offloaded_call, self, layer, call)

    def _state_dict_hook(self, layer: nn.Module):
        where = {id(tensor): (group, index) for group in self._needs[layer]
                 for index, tensor in enumerate(group.targets)}
        named = itertools.chain(layer.named_parameters(remove_duplicate=False),
                                layer.named_buffers(remove_duplicate=False))
        entries = [(name, *where[id(tensor)]) for name, tensor in named if id(tensor) in where]

        def read_host_copies(module, state_dict, prefix, local_metadata) -> None:
            for name, group, index in entries:
                if prefix + name in state_dict:
                    state_dict[prefix + name] = self._host_copy(state_dict, group)[index]

        return read_host_copies

    def _host_copy(self, state_dict: dict, group: "_Weights") -> list[torch.Tensor]:
        """The group's values as CPU tensors, made once per ``state_dict()`` call, so that the
        entries of a tied weight are one tensor."""
        if self._host_copies[0] is not state_dict:
            self._host_copies = (state_dict, {})
        copies = self._host_copies[1]
        if group not in copies:
            with torch.no_grad(), outside_inference_mode():
                copies[group] = [t.detach() for t in group.staged.restore(torch.device("cpu"))]
        return copies[group]

    def _forget_host_copies(self, module, state_dict, prefix, local_metadata) -> None:
        # The module state_dict() was called on ends its call last, and only it has no prefix.
        if not prefix:
            self._host_copies = (None, {})


class _Weights:
    """Tensors staged together, and the parameters and buffers that point at their values."""

    # Compact, since every layer call reads a few of them.
    __slots__ = ("owner", "staged", "nbytes", "targets", "tensors", "attached", "_reused",
                 "_in_place", "_blanks", "_versions", "_names",
                 "__weakref__")

    def __init__(self, staged: StagedGroup, targets: list[torch.Tensor], device: torch.device,
                 owner: OffloadedModule):
        self.owner = owner
        self.staged = staged
        self.nbytes = staged.nbytes
        self.targets = targets
        self.tensors: list[torch.Tensor] = []   # the device tensors while loaded
        self.attached = False
        self._reused: dict[int, torch.Tensor] = {}
        self._in_place: Optional[list[torch.Tensor]] = None
        # (weight, its storage-free placeholder, the word that placeholder points at) of each
        # target, in one tuple: fewer objects for each layer call to reach.
        self._blanks = tuple((t, blank, blank.data_ptr())
                             for t, blank in ((t, storage_free(t, device)) for t in targets))
        self._versions: list[int] = []  # of each when detached
        # (module __dict__, name, weight, placeholder) of each name a module reads a weight by:
        # the instance attribute, which attribute lookup finds before the module's guarded
        # dicts, is the weight while attached and its placeholder between calls.
        self._names: list[tuple[dict, str, torch.Tensor, Placeholder]] = []

    def load(self, device: torch.device) -> int:
        """Makes the device tensors; returns the bytes copied. On the CPU the weights are used
        in place where they lie in one buffer."""
        if device.type == "cpu":
            if self._in_place is not None:
                self.tensors = self._in_place
                return 0
            self.tensors, copied = host_tensors(self.staged, self._reused)
            if not copied:  # every weight lies in one buffer: the views serve every load
                self._in_place = self.tensors
            return copied
        # Never inference tensors, whatever the caller's mode: the module keeps its weights.
        with outside_inference_mode():
            self.tensors = self.staged.restore(device)
        return self.nbytes

    def unload(self) -> None:
        self.tensors = []

    def drop_views(self) -> None:
        """Forgets the views of the pool buffers, once they went back to the pool."""
        self.tensors, self._in_place, self._reused = [], None, {}

    def name_in(self, attributes: dict, name: str, weight: torch.Tensor,
                placeholder: Placeholder) -> None:
        """Makes ``attributes[name]`` (a module's ``__dict__``) follow ``weight``."""
        self._names.append((attributes, name, weight, placeholder))
        attributes[name] = weight if self.attached else placeholder

    def forget_names(self) -> None:
        for attributes, name, weight, placeholder in self._names:
            value = attributes.get(name)
            if value is weight or value is placeholder:
                del attributes[name]
        self._names = []

    def attach(self, tensors: Optional[list[torch.Tensor]] = None) -> None:
        """Points the weights at ``tensors``, or at the loaded device tensors after checking
        that nothing wrote through a weight since it was detached."""
        if tensors is None:
            tensors = self.tensors
            for (target, _, word), version in zip(self._blanks, self._versions):
                if target._version != version or target.data_ptr() != word:
                    self._refuse_changed()
        for (target, _, _), tensor in zip(self._blanks, tensors):
            target.data = tensor
        for attributes, name, weight, _ in self._names:
            attributes[name] = weight
        self.attached = True

    def detach(self) -> None:
        versions = []
        for target, blank, _ in self._blanks:
            target.data = blank
            versions.append(target._version)
        for attributes, name, _, placeholder in self._names:
            attributes[name] = placeholder
        self._versions = versions
        self.attached = False

    def read(self, index: int, device: torch.device) -> torch.Tensor:
        with torch.no_grad(), outside_inference_mode():
            return self.staged.restore(device)[index]

    def write(self, values: dict[int, torch.Tensor]) -> None:
        """Copies ``values`` (by index) into the staged copies, as ``Tensor.copy_`` would."""
        self.overwrite(self.updated(values))

    def updated(self, values: dict[int, torch.Tensor]) -> list[torch.Tensor]:
        """The group's values on the CPU with ``values`` (by index) copied in; nothing staged
        changes."""
        with torch.no_grad(), outside_inference_mode():
            tensors = self.staged.restore(torch.device("cpu"))
            for index, value in values.items():
                tensors[index].copy_(value)
        return tensors

    def overwrite(self, tensors: list[torch.Tensor]) -> None:
        """Puts ``tensors`` (from ``updated``) in the staged copies."""
        # Copies fetched ahead for the next forward would keep the old values.
        self.owner._policy.release_all()
        self.staged.overwrite(tensors)

    def _refuse_changed(self) -> None:
        """Refuses to attach over a write through a parameter or buffer object between its
        layers' calls, which went to its placeholder, not to the staged copy (once: the
        placeholder is set back)."""
        for (target, blank, word), version in zip(self._blanks, self._versions):
            if (target._version, target.data_ptr()) != (version, word):
                name = _qualified_names(self.owner.module).get(id(target), "a weight")
                reset_word(blank)  # the word all placeholders of its dtype share
                self.detach()
                raise RuntimeError(
                    f"{name} was changed through its parameter or buffer object while "
                    f"offloaded, which does not reach its staged copy: write through "
                    f"model.{name} or load_state_dict(), or change it after close()")


class _StagedWeight:
    """One streamed weight's staged values, which its placeholder reads and writes between
    forwards."""

    def __init__(self, group: _Weights, index: int):
        # Weakly: a placeholder kept by the caller must not keep the offloaded module alive.
        self._group = weakref.ref(group)
        self._index = index

    def writable(self) -> bool:
        group = self._group()
        return group is not None and group.owner._idle()

    def read(self, device: torch.device) -> torch.Tensor:
        return self._live().read(self._index, device)

    def write(self, value: torch.Tensor) -> None:
        self._live().write({self._index: value})

    def weight_after_close(self) -> Optional[torch.Tensor]:
        """The weight itself, with its values back, once its module was closed."""
        group = self._group()
        if group is None:
            self._live()  # raises: the module went without close(), and its weights with it
        return group.targets[self._index] if group.owner._closed else None

    def weight(self) -> Optional[torch.Tensor]:
        group = self._group()
        return None if group is None else group.targets[self._index]

    def _live(self) -> _Weights:
        group = self._group()
        if group is None:
            raise RuntimeError("the offloaded module this weight belonged to was dropped "
                               "without close()")
        return group


class _DeferredCopies(TorchFunctionMode):
    """Records ``Tensor.copy_`` into the given tensors instead of running it (what
    ``load_state_dict`` does to each weight), so that they are written only once the whole
    load has passed its checks."""

    def __init__(self, targets: set[int]):
        super().__init__()
        self._targets = targets
        self.copies: list[tuple[torch.Tensor, torch.Tensor]] = []

    def __torch_function__(self, func, types, args=(), kwargs=None):
        if func is torch.Tensor.copy_ and args and id(args[0]) in self._targets:
            self.copies.append((args[0], args[1]))
            return args[0]
        return func(*args, **(kwargs or {}))


def _offloaded_call(self: OffloadedModule, layer: nn.Module, call: Callable, *args, **kwargs):
    """Calls ``layer`` through ``call`` with its weights attached."""
    if self._closed:  # a call compiled or kept before close(): the layer as it is now
        return call(*args, **kwargs)
    if self._owner != threading.get_ident():
        return _call_alone(self, layer, call, args, kwargs)
    if torch.is_grad_enabled():
        _refuse_gradients(self._streamed[layer])
    policy = self._policy
    try:
        policy.before(layer)
        return call(*args, **kwargs)
    finally:
        policy.after(layer)  # nothing, if a hook of this very call closed the module
        # The autocast cache would keep a cast of each streamed weight until the region ends.
        if torch.is_autocast_enabled(self._device_type) and torch.is_autocast_cache_enabled():
            torch.clear_autocast_cache()


def _call_alone(self: OffloadedModule, layer: nn.Module, call: Callable, args: tuple,
                kwargs: dict):
    """A layer called outside a forward of its thread: run as a forward of its own, one thread
    at a time, so that no other call detaches its weights while it runs."""
    with self._lock:
        self._owner, self._alone = threading.get_ident(), True
        try:
            return _offloaded_call(self, layer, call, *args, **kwargs)
        finally:
            self._owner, self._alone = None, False


def _holding(module: nn.Module, streamed: set[int]) -> list[nn.Module]:
    """The submodules of ``module`` (itself included) that hold a streamed tensor."""
    holds: dict[int, bool] = {}
    found: list[nn.Module] = []

    def visit(sub: nn.Module) -> bool:
        if id(sub) not in holds:
            own = any(t is not None and id(t) in streamed
                      for t in itertools.chain(sub._parameters.values(), sub._buffers.values()))
            holds[id(sub)] = any([visit(child) for child in sub.children()]) or own
            if holds[id(sub)]:
                found.append(sub)
        return holds[id(sub)]

    visit(module)
    return found


def _refuse_pickling(*args) -> None:
    raise TypeError("an offloaded module cannot be pickled, saved whole or copied: save its "
                    "state_dict(), or close() its OffloadedModule first")


def _qualified_names(module: nn.Module) -> dict[int, str]:
    names: dict[int, str] = {}
    for name, tensor in itertools.chain(module.named_parameters(remove_duplicate=False),
                                        module.named_buffers(remove_duplicate=False)):
        names.setdefault(id(tensor), name)
    return names


def _value_of(source: torch.Tensor, where: dict, held: dict) -> torch.Tensor:
    """What ``load_state_dict`` copies from ``source``: for a streamed weight of the module
    (its parameter object, from ``named_parameters()``), its staged values, read once per group
    into ``held``; a streamed weight of another offloaded module, whose object holds no values,
    is refused."""
    if id(source) in where:
        group, index = where[id(source)]
        if group not in held:
            with torch.no_grad(), outside_inference_mode():
                held[group] = group.staged.restore(torch.device("cpu"))
        return held[group][index]
    if source in _streamed:
        raise RuntimeError("load_state_dict() was given a weight of another offloaded module, "
                           "which holds no values between its calls: load that module's "
                           "state_dict() instead")
    return source


def _count_kept(tensors: Iterable[torch.Tensor], change: int) -> None:
    for tensor in tensors:
        count = _kept.get(tensor, 0) + change
        if count:
            _kept[tensor] = count
        else:
            _kept.pop(tensor, None)


def _restore_survivors(run: PackedRun, groups: list, kept: list) -> None:
    """Loads the staged values into those weights of a dropped offloaded module that are still
    referenced, on the devices they came from, lets them and the kept weights still referenced
    be offloaded again and returns the buffers."""
    _count_kept([tensor for tensor in (ref() for ref in kept) if tensor is not None], -1)
    for staged, refs in groups:
        alive = [(index, ref()) for index, ref in enumerate(refs)]
        alive = [(index, tensor) for index, tensor in alive if tensor is not None]
        if alive:
            with torch.no_grad(), outside_inference_mode():
                loaded = staged.restore()
            for index, tensor in alive:
                tensor.data = loaded[index]
                _streamed.pop(tensor, None)
    run.release()


def _refuse_gradients(weights: list[torch.Tensor]) -> None:
    if torch.is_grad_enabled() and any(weight.requires_grad for weight in weights):
        raise RuntimeError("an offloaded module runs inference only: call it under torch.no_grad() "
                           "or torch.inference_mode(), or set requires_grad=False on its weights")


def check_device(device) -> torch.device:
    """``device`` as a torch.device that names its index, if it is the CPU or a CUDA device
    of this machine; else ``ValueError`` (``TypeError`` for what is not a device at all)."""
    if not isinstance(device, (str, int, torch.device)) or isinstance(device, bool):
        raise TypeError(f"device must be a str, int or torch.device, not {type(device).__name__}")
    if isinstance(device, int) and device >= 0:
        device = f"cuda:{device}"  # as torch reads a bare index
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
