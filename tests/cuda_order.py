"""A stand-in for CUDA on the CPU that checks the order of every access to device and pinned memory.

``CudaOrder`` replaces ``torch.cuda``'s streams, events, ``current_stream``, ``stream()``,
``synchronize``, ``is_available``/``device_count``/``current_device`` and memory statistics, and,
as a ``TorchFunctionMode``, every tensor operation: a tensor on ``"cuda:i"`` is CPU memory that the
stand-in allocated for device ``i``, pinned memory is CPU memory it allocated as pinned, and
``.device``/``.is_cuda``/``is_pinned()`` say so. Operations run at once, in program order, so values
are always right; what the stand-in checks is whether they would be right on a GPU, where work
queued on a stream runs later. Each access is logged with a vector clock of its timeline (the host,
or one stream); an access that conflicts with an earlier one (one of them a write, their byte spans
overlapping) must be ordered after it: by the stream's own order, an event waited for, or the host
waiting for the stream before queuing the access. Device memory freed while a stream other than the
one it was allocated on may still use it, without ``record_stream``, and a pool buffer released
while a copy through it may still run, are reported too. Reports collect in ``violations``.

Copies follow torch's own ``copy_`` for CUDA (aten/src/ATen/native/cuda/Copy.cu, ``copy_kernel_cuda``
and ``copy_requires_temporaries``) and CUDA's rules for ``cudaMemcpyAsync``: which side runs on the
host, which is queued, and which goes through a temporary.
"""

from __future__ import annotations

import contextlib
import itertools
import types
import weakref
from typing import Any, Optional

import torch
from torch.overrides import TorchFunctionMode
from torch.utils import _pytree

HOST = "host"
_BASE = torch._C.TensorBase
_ALIGN = 512  # torch's caching allocator rounds every block up to 512 bytes
_COPY_BYTES_PER_SECOND = 25e9  # simulated time: a PCIe copy
_KERNEL_BYTES_PER_SECOND = 1e12  # and a kernel reading device memory

# Calls that only look at a tensor's metadata or storage: no access to its bytes.
_METADATA = frozenset([
    "size", "stride", "dim", "numel", "nelement", "ndimension", "is_contiguous", "data_ptr",
    "element_size", "is_conj", "is_neg", "storage_offset", "untyped_storage", "is_complex",
    "is_floating_point", "is_inference", "get_device", "__len__", "is_set_to", "requires_grad_",
    "_is_view", "_parse_to", "_has_compatible_shallow_copy_type",
])
_IN_PLACE_DUNDERS = frozenset(["__setitem__", "__iadd__", "__isub__", "__imul__", "__itruediv__",
                               "__ifloordiv__", "__imod__", "__ipow__", "__iand__", "__ior__",
                               "__ixor__", "__ilshift__", "__irshift__"])


class _Memory(bytearray):
    """The bytes of one allocation; weakly referable, so that its end can be observed."""


class Stream:
    """``torch.cuda.Stream``: a queue of work on one device, with a vector clock."""

    def __init__(self, device=None, priority: int = 0, *, _order: Optional["CudaOrder"] = None):
        self._order = _order or CudaOrder.active
        self.device_index = self._order.index(device)
        self.device = torch.device("cuda", self.device_index)
        self.name = f"stream {next(self._order.names)} of cuda:{self.device_index}"
        self.clock: dict = {self.name: 0}
        self.time = 0.0
        self._order.streams.append(self)

    def wait_event(self, event: "Event") -> None:
        self._order.join(self.clock, self._order.host)
        self._order.join(self.clock, event.clock)
        self.time = max(self.time, event.time)

    def wait_stream(self, stream: "Stream") -> None:
        self.wait_event(stream.record_event())

    def record_event(self, event: Optional["Event"] = None) -> "Event":
        event = event or Event()
        event.record(self)
        return event

    def synchronize(self) -> None:
        self._order.join(self._order.host, self.clock)

    def query(self) -> bool:
        return self._order.covers(self._order.host, self.clock)

    def __repr__(self) -> str:
        return f"<{self.name}>"


class Event:
    """``torch.cuda.Event``: a point in one stream's work. ``query()`` is true only once the host
    has waited past it, as the slowest device allowed would answer."""

    def __init__(self, enable_timing: bool = False, blocking: bool = False,
                 interprocess: bool = False):
        self._order = CudaOrder.active
        self.clock: dict = {}
        self.time = 0.0

    def record(self, stream: Optional[Stream] = None) -> None:
        stream = stream or self._order.current_stream()
        self._order.join(stream.clock, self._order.host)
        self.clock = dict(stream.clock)
        self.time = stream.time

    def wait(self, stream: Optional[Stream] = None) -> None:
        (stream or self._order.current_stream()).wait_event(self)

    def synchronize(self) -> None:
        self._order.join(self._order.host, self.clock)

    def query(self) -> bool:
        return self._order.covers(self._order.host, self.clock)

    def elapsed_time(self, end: "Event") -> float:
        """Milliseconds of simulated device time between the two events."""
        return (end.time - self.time) * 1e3


class _Block:
    """One allocation the stand-in made: device memory of one device, or pinned host memory."""

    def __init__(self, kind: str, device: Optional[int], stream: Optional[Stream], nbytes: int):
        self.kind = kind
        self.device = device
        self.stream = stream
        self.size = -(-nbytes // _ALIGN) * _ALIGN
        self.accesses: list = []  # (timeline, tick, write, first byte, end byte, what)
        self.recorded: set = set()  # streams named by record_stream

    def __repr__(self) -> str:
        where = f"cuda:{self.device}" if self.kind == "device" else "pinned host memory"
        return f"{self.size} bytes of {where}"


class CudaOrder(TorchFunctionMode):
    """The stand-in; ``install(monkeypatch)`` puts it in place of ``torch.cuda``, and entering it
    routes every tensor operation through it. ``violations`` holds what it found out of order,
    ``log`` every operation by timeline ("host: ..." or "stream N of cuda:i: ..."), in order.

    The caching allocator is modelled as far as its statistics go: blocks rounded to 512 bytes,
    reused by the next allocation on their stream (split if larger), and, for streams named by
    ``record_stream``, only once the host has waited past the work queued there at the free."""

    active: "CudaOrder"

    def __init__(self, device_count: int = 2):
        super().__init__()
        CudaOrder.active = self
        self.names = itertools.count()
        self.device_count = device_count
        self.host: dict = {HOST: 0}
        self.violations: list[str] = []
        self.log: list[str] = []
        self.streams: list[Stream] = []
        self._blocks: dict[int, _Block] = {}  # by the address of the storage
        self._device = 0
        self._default = [Stream(d, _order=self) for d in range(device_count)]
        self._current = list(self._default)
        self._allocated = [0] * device_count
        self._peak = [0] * device_count
        self._reserved = [0] * device_count
        self._cached: list[list] = [[] for _ in range(device_count)]  # (size, stream, pending)

    # -- torch.cuda ---------------------------------------------------------------------------

    def install(self, monkeypatch) -> None:
        cuda = torch.cuda
        for name, value in {
            "is_available": lambda: True, "is_initialized": lambda: True,
            "device_count": lambda: self.device_count, "current_device": lambda: self._device,
            "set_device": self.set_device, "Stream": Stream, "Event": Event,
            "current_stream": self.current_stream, "default_stream": self.default_stream,
            "stream": self.stream, "synchronize": self.synchronize,
            "memory_allocated": lambda device=None: self._allocated[self.index(device)],
            "max_memory_allocated": lambda device=None: self._peak[self.index(device)],
            "memory_reserved": lambda device=None: self._reserved[self.index(device)],
            "reset_peak_memory_stats": self.reset_peak_memory_stats,
            "get_device_name": lambda device=None: "the stream-order stand-in",
            "get_device_properties": lambda device=None: types.SimpleNamespace(
                name="the stream-order stand-in", total_memory=80 << 30, major=9, minor=0),
        }.items():
            monkeypatch.setattr(cuda, name, value)
        # Tensor.record_stream parses its argument as a torch.Stream before any override is asked.
        monkeypatch.setattr(torch.Tensor, "record_stream",
                            lambda tensor, stream: self._record_stream(tensor, stream))

    def index(self, device=None) -> int:
        if device is None:
            return self._device
        if isinstance(device, int):
            index = device
        else:
            device = torch.device(device)
            if device.type != "cuda":
                raise ValueError(f"expected a CUDA device, not {device}")
            index = self._device if device.index is None else device.index
        if not 0 <= index < self.device_count:
            raise RuntimeError(f"CUDA error: invalid device ordinal {index}")
        return index

    def set_device(self, device) -> None:
        self._device = self.index(device)

    def current_stream(self, device=None) -> Stream:
        return self._current[self.index(device)]

    def default_stream(self, device=None) -> Stream:
        return self._default[self.index(device)]

    @contextlib.contextmanager
    def stream(self, stream: Optional[Stream]):
        """``torch.cuda.stream``: makes ``stream`` current, and its device too."""
        if stream is None:
            yield
            return
        device, current = self._device, self._current[stream.device_index]
        self._device = stream.device_index
        self._current[stream.device_index] = stream
        try:
            yield
        finally:
            self._current[stream.device_index] = current
            self._device = device

    def synchronize(self, device=None) -> None:
        index = self.index(device)
        for stream in self.streams:
            if stream.device_index == index:
                stream.synchronize()

    def reset_peak_memory_stats(self, device=None) -> None:
        index = self.index(device)
        self._peak[index] = self._allocated[index]

    # -- checks -------------------------------------------------------------------------------

    @staticmethod
    def join(clock: dict, other: dict) -> None:
        for name, tick in other.items():
            if clock.get(name, 0) < tick:
                clock[name] = tick

    @staticmethod
    def covers(clock: dict, other: dict) -> bool:
        return all(clock.get(name, 0) >= tick for name, tick in other.items())

    def check_idle(self, tensor: torch.Tensor, what: str) -> None:
        """Reports every access to ``tensor``'s memory that the host has not waited for."""
        block = self._block(tensor)
        if block is None:
            return
        for timeline, tick, write, _, _, label in block.accesses:
            if self.host.get(timeline, 0) < tick:
                self._report(f"{what} while {label} on {timeline} may still run")

    def _report(self, message: str) -> None:
        self.violations.append(message)

    def _block(self, tensor: torch.Tensor) -> Optional[_Block]:
        with torch._C.DisableTorchFunction():
            try:
                return self._blocks.get(tensor.untyped_storage().data_ptr())
            except RuntimeError:  # a wrapper subclass without storage of its own
                return None

    def _access(self, timeline: dict, name: str, tensor: torch.Tensor, write: bool,
                what: str) -> None:
        block = self._block(tensor)
        if block is None:
            return
        first, end = _span(tensor)
        for other, tick, other_write, lo, hi, label in block.accesses:
            if (write or other_write) and lo < end and first < hi and timeline.get(other, 0) < tick:
                kind = "write" if write else "read"
                self._report(f"{what} on {name} ({kind} of {block}) is not ordered after "
                             f"{label} on {other}")
        block.accesses.append((name, timeline[name], write, first, end, what))

    # -- the timelines ------------------------------------------------------------------------

    def _on_host(self, what: str, reads=(), writes=()) -> None:
        self.host[HOST] += 1
        self.log.append(f"host: {what}")
        for tensor in reads:
            self._access(self.host, HOST, tensor, False, what)
        for tensor in writes:
            self._access(self.host, HOST, tensor, True, what)

    def _on_stream(self, stream: Stream, what: str, reads=(), writes=(), copy=False) -> None:
        self.join(stream.clock, self.host)  # queued after what the host did so far
        stream.clock[stream.name] += 1
        nbytes = sum(t.numel() * t.element_size() for t in itertools.chain(reads, writes))
        stream.time += nbytes / (_COPY_BYTES_PER_SECOND if copy else _KERNEL_BYTES_PER_SECOND)
        self.log.append(f"{stream.name}: {what}")
        for tensor in reads:
            self._access(stream.clock, stream.name, tensor, False, what)
        for tensor in writes:
            self._access(stream.clock, stream.name, tensor, True, what)

    # -- memory -------------------------------------------------------------------------------

    def _allocate(self, shape, strides, dtype: torch.dtype, kind: str,
                  device: Optional[int]) -> torch.Tensor:
        """An empty tensor in new memory of the stand-in: on ``device``, or pinned host memory."""
        itemsize = dtype.itemsize
        numel = 1
        for size in shape:
            numel *= size
        extent = sum((size - 1) * stride for size, stride in zip(shape, strides))
        nbytes = (extent + 1) * itemsize if numel else 0
        block = _Block(kind, device, self._current[device] if kind == "device" else None, nbytes)
        memory = _Memory(nbytes + 64)
        with torch._C.DisableTorchFunction():
            # Storage of its own from a 64-byte boundary, as torch's allocators give.
            start = -torch.frombuffer(memory, dtype=torch.uint8).data_ptr() % 64
            raw = torch.frombuffer(memory, dtype=torch.uint8, count=max(nbytes, 1), offset=start)
            tensor = raw[:nbytes].view(dtype).as_strided(shape, strides)
            key = raw.untyped_storage().data_ptr()
        self._blocks[key] = block
        weakref.finalize(memory, self._free, key, block)
        if kind == "device":
            self._take(block)
        return tensor

    def _take(self, block: _Block) -> None:
        index = block.device
        fits = [entry for entry in self._cached[index]
                if entry[0] >= block.size and entry[1] is block.stream
                and self.covers(self.host, entry[2])]
        if fits:  # the smallest that fits, split as the caching allocator splits blocks
            best = min(fits, key=lambda entry: entry[0])
            self._cached[index].remove(best)
            if best[0] > block.size:
                self._cached[index].append((best[0] - block.size, *best[1:]))
        else:
            self._reserved[index] += block.size
        self._allocated[index] += block.size
        self._peak[index] = max(self._peak[index], self._allocated[index])

    def _free(self, key: int, block: _Block) -> None:
        """The memory of ``block`` is no longer referenced: the caching allocator may hand it to
        the next allocation on its stream at once, or, for the streams named by record_stream,
        once the work they had queued by now is done."""
        del self._blocks[key]
        if block.kind != "device":
            return
        safe = {block.stream.name} | {s.name for s in block.recorded}
        for timeline, tick, _, _, _, label in block.accesses:
            if timeline not in safe and self.host.get(timeline, 0) < tick:
                self._report(f"{block} allocated on {block.stream.name} was freed while {label} "
                             f"on {timeline} may still run (no record_stream)")
        pending: dict = {}
        for recorded in block.recorded:
            pending[recorded.name] = recorded.clock[recorded.name]
        self._allocated[block.device] -= block.size
        self._cached[block.device].append((block.size, block.stream, pending))

    def _rehome(self, tensor: torch.Tensor, kind: str, device: Optional[int]) -> torch.Tensor:
        """``tensor``'s values in new memory of the stand-in, in its strides if dense."""
        strides = tensor.stride() if _dense(tensor) else _contiguous(tensor.shape)
        moved = self._allocate(tensor.shape, strides, tensor.dtype, kind, device)
        _copy_values(moved, tensor)
        with torch._C.DisableTorchFunction():
            moved.requires_grad_(tensor.requires_grad)
        return moved

    # -- operations ---------------------------------------------------------------------------

    def __torch_function__(self, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        name = getattr(func, "__name__", "")
        if type(func).__name__ == "method-wrapper":  # a property of a tensor
            return self._property(func, args)
        if name == "copy_":
            return self._copy(args[0], args[1], _flag(args, kwargs, 2, "non_blocking"))
        if name in ("to", "cuda", "cpu"):
            return self._to(func, name, args, kwargs)
        if name == "is_pinned":
            block = self._block(args[0])
            return block is not None and block.kind == "pinned"
        if name == "pin_memory":
            return self._to_pinned(args[0])
        if func is torch.device:  # an index alone names a device of the accelerator
            index = args[0] if len(args) == 1 and not kwargs else None
            if isinstance(index, int) and not isinstance(index, bool):
                return torch.device("cuda", self.index(index))
            return func(*args, **kwargs)
        if name in _METADATA:
            return func(*args, **kwargs)
        return self._op(func, name, args, kwargs)

    def _property(self, func, args):
        descriptor = func.__self__
        if func.__name__ == "__get__" and descriptor in (_BASE.device, _BASE.is_cuda,
                                                          _BASE.is_cpu):
            device = self.device_of(args[0])
            if descriptor is _BASE.device:
                return func(*args) if device is None else torch.device("cuda", device)
            return (device is not None) == (descriptor is _BASE.is_cuda)
        return func(*args)

    def device_of(self, tensor: torch.Tensor) -> Optional[int]:
        """The CUDA device whose memory ``tensor`` is in, or ``None`` for host memory."""
        block = self._block(tensor)
        return block.device if block is not None and block.kind == "device" else None

    def _record_stream(self, tensor: torch.Tensor, stream: Stream) -> None:
        block = self._block(tensor)
        if block is None or block.kind != "device":
            raise RuntimeError("record_stream() needs a CUDA tensor")
        if stream.device_index != block.device:
            raise RuntimeError(f"record_stream(): {stream} is not on cuda:{block.device}")
        block.recorded.add(stream)
        self.log.append(f"host: record_stream({stream.name})")

    def _op(self, func, name: str, args, kwargs):
        """Any other operation: on the host, or queued on the current stream of the device its
        tensors are on; new tensors it returns are moved into memory of the stand-in there."""
        tensors = [leaf for leaf in _pytree.tree_leaves((args, kwargs))
                   if isinstance(leaf, torch.Tensor)]
        device, kwargs = self._device_of_call(name, tensors, kwargs)
        pinned = bool(kwargs.get("pin_memory"))
        if pinned:
            kwargs = {**kwargs, "pin_memory": False}
        inputs = {self._storage(t) for t in tensors}
        with torch._C.DisableTorchFunction():
            result = func(*args, **kwargs)
        written = [t for t in _pytree.tree_leaves(kwargs.get("out")) if isinstance(t, torch.Tensor)]
        if tensors and ((name.endswith("_") and not name.startswith("_"))
                        or name in _IN_PLACE_DUNDERS):
            written.append(tensors[0])
        fresh: list = []
        touched = bool(written)

        def home(value):
            nonlocal touched
            if not isinstance(value, torch.Tensor) or self._storage(value) in inputs:
                return value
            allocation = name.startswith(("empty", "new_empty"))
            touched = touched or not allocation
            if device is None and not pinned:
                return value
            moved = self._rehome(value, "pinned" if device is None else "device", device)
            if not allocation:
                fresh.append(moved)
            return moved

        result = _pytree.tree_map(home, result)
        if not touched and isinstance(result, torch.Tensor):
            return result  # a view, or memory only allocated: no byte touched
        if device is None:
            if tensors:
                self._on_host(name, tensors, written + fresh)
            return result
        self._on_stream(self._current[device], name, tensors, written + fresh)
        if result is not None and not any(
                isinstance(leaf, torch.Tensor) for leaf in _pytree.tree_leaves(result)):
            self.synchronize(device)  # a Python value read back from the device
        return result

    def _device_of_call(self, name: str, tensors: list, kwargs: dict):
        """The device an operation runs on (``None``: the host), refusing tensors of several, as
        torch does; a ``device=`` naming CUDA becomes the CPU for the call itself."""
        devices = {self.device_of(t) for t in tensors if t.dim() or self.device_of(t) is not None}
        target = kwargs.get("device")
        if target is not None:  # it decides, whatever the tensors passed
            if torch.device(target).type != "cuda":
                return None, kwargs
            return self.index(target), {**kwargs, "device": "cpu"}
        on_device = devices - {None}
        if len(on_device) > 1 or (on_device and None in devices and name != "__getitem__"):
            raise RuntimeError(f"Expected all tensors to be on the same device, but {name} got "
                               f"tensors on {sorted(map(str, devices))}")
        return next(iter(on_device), None), kwargs

    def _storage(self, tensor: torch.Tensor) -> int:
        with torch._C.DisableTorchFunction():
            try:
                return tensor.untyped_storage().data_ptr()
            except RuntimeError:  # a wrapper subclass without storage of its own
                return id(tensor)

    # -- copies -------------------------------------------------------------------------------

    def _to(self, func, name: str, args, kwargs):
        tensor, rest = args[0], args[1:]
        dtype, layout = None, None
        non_blocking = bool(kwargs.get("non_blocking", False))
        if name == "cpu":
            there = None
        elif name == "cuda":
            there = self.index(rest[0] if rest else kwargs.get("device"))
        elif rest and isinstance(rest[0], torch.Tensor):
            there, dtype = self.device_of(rest[0]), rest[0].dtype
            non_blocking = bool(rest[1]) if len(rest) > 1 else non_blocking
        else:
            device, dtype, non_blocking, layout = torch._C._nn._parse_to(*rest, **kwargs)
            there = self.device_of(tensor) if device is None else (
                None if device.type == "cpu" else self.index(device))
        if there == self.device_of(tensor):  # at most a new dtype or layout, where it is
            options = {"dtype": dtype or tensor.dtype}
            if layout is not None:
                options["memory_format"] = layout
            return self._op(_BASE.to, "to", (tensor,), options)
        # aten/src/ATen/native/TensorConversions.cpp, _to_copy: the result keeps the strides of a
        # dense source, and a non-blocking copy from CUDA to the CPU lands in pinned memory.
        if layout not in (None, torch.preserve_format):
            strides = torch.empty(tensor.shape, device="meta", memory_format=layout).stride()
        else:
            strides = tensor.stride() if _dense(tensor) else _contiguous(tensor.shape)
        dtype = dtype or tensor.dtype
        if there is None and not non_blocking:
            with torch._C.DisableTorchFunction():
                out = torch.empty_strided(tensor.shape, strides, dtype=dtype)
        else:
            out = self._allocate(tensor.shape, strides, dtype,
                                 "pinned" if there is None else "device", there)
        return self._copy(out, tensor, non_blocking)

    def _to_pinned(self, tensor: torch.Tensor) -> torch.Tensor:
        strides = tensor.stride() if _dense(tensor) else _contiguous(tensor.shape)
        return self._copy(self._allocate(tensor.shape, strides, tensor.dtype, "pinned", None),
                          tensor, False)

    def _copy(self, dst: torch.Tensor, src: torch.Tensor, non_blocking: bool) -> torch.Tensor:
        """``dst.copy_(src, non_blocking)``, logged as torch runs it; the values are copied at
        once."""
        to, frm = self.device_of(dst), self.device_of(src)
        _copy_values(dst, src)
        if dst.numel() == 0:  # aten/src/ATen/native/Copy.cpp, copy_impl: nothing to copy
            return dst
        if to is None and frm is None:
            self._on_host("copy_", [src], [dst])
        elif to is not None and frm is not None:
            self._copy_between_devices(dst, src, to, frm)
        else:
            self._copy_across(dst, src, to, frm, non_blocking)
        return dst

    def _copy_between_devices(self, dst, src, to: int, frm: int) -> None:
        # Copy.cu, copy_device_to_device: on the source's current stream, behind a two-way
        # barrier with the destination's current stream when the devices differ.
        stream = self._current[frm]
        if to != frm:
            stream.wait_stream(self._current[to])
        self._on_stream(stream, "copy_ on the device", [src], [dst])
        if to != frm:
            self._current[to].wait_stream(stream)

    def _copy_across(self, dst, src, to: Optional[int], frm: Optional[int],
                     non_blocking: bool) -> None:
        """A copy between the host and a device, on the device's current stream."""
        stream = self._current[frm if to is None else to]
        direction = "host to device" if to is not None else "device to host"
        src_temp = dst_temp = False
        if _needs_temporaries(dst, src):
            # Copy.cu, copy_kernel_cuda: a non-blocking copy converts on the device, a blocking
            # one on the host; each side is made contiguous where it lies (a host temporary is
            # pageable memory), one contiguous copy crosses, and a destination temporary is
            # copied into the destination where that lies.
            if (to is None) == non_blocking:  # the source lies where the conversion runs
                src_temp = src.dtype != dst.dtype or not src.is_contiguous()
                dst_temp = not dst.is_contiguous()
            else:
                src_temp = not src.is_contiguous()
                dst_temp = not (dst.is_contiguous() and dst.dtype == src.dtype)
            if src_temp:
                self._on(to is None, stream, "making a copy's source contiguous", [src], [])
        reads, writes = [] if src_temp else [src], [] if dst_temp else [dst]
        host_side, host_temp = (src, src_temp) if to is not None else (dst, dst_temp)
        # cudaMemcpyAsync: with pinned host memory the host returns at once; from pageable memory
        # the source is read into a staging buffer before it returns, and into pageable memory it
        # returns once the copy is done. A blocking copy then synchronizes the stream
        # (memcpy_and_sync).
        if non_blocking and not host_temp and self._is_pinned(host_side):
            self._on_stream(stream, f"copy {direction}", reads, writes, copy=True)
        elif to is not None:
            self._on_host(f"read for a copy {direction}", reads)
            self._on_stream(stream, f"copy {direction}", [], writes, copy=True)
            if not non_blocking:
                stream.synchronize()
        else:
            self._on_stream(stream, f"copy {direction}", reads, [], copy=True)
            stream.synchronize()
            self._on_host(f"write of a copy {direction}", [], writes)
        # Copy.cu ends by resolving the conjugate and negative bits on the destination in place:
        # on the host, at once, when that is host memory.
        for bit in ("conj", "neg"):
            if not dst_temp and getattr(dst, f"is_{bit}")() != getattr(src, f"is_{bit}")():
                self._on(to is not None, stream, f"resolving the {bit} bit of a copy {direction}",
                         [dst], [dst])
        if dst_temp:
            self._on(to is not None, stream, "copy_ into the destination", [], [dst])

    def _on(self, on_device: bool, stream: Stream, what: str, reads, writes) -> None:
        if on_device:
            self._on_stream(stream, what, reads, writes)
        else:
            self._on_host(what, reads, writes)

    def _is_pinned(self, tensor) -> bool:
        block = self._block(tensor)
        return block is not None and block.kind == "pinned"

def _copy_values(dst: torch.Tensor, src: torch.Tensor) -> None:
    """``dst.copy_(src)`` on the CPU; bit-packed dtypes, which have no copy kernel there (CUDA
    copies them as bytes), are copied as bytes."""
    with torch._C.DisableTorchFunction():
        try:
            dst.copy_(src)
        except NotImplementedError:
            dst.view(torch.uint8).copy_(src.view(torch.uint8))


def _span(tensor: torch.Tensor) -> tuple[int, int]:
    """The bytes of its storage that ``tensor`` may touch: first, and one past the last."""
    with torch._C.DisableTorchFunction():
        first = tensor.storage_offset() * tensor.element_size()
        if tensor.numel() == 0:
            return first, first
        extent = sum((size - 1) * abs(stride) for size, stride in zip(tensor.shape,
                                                                      tensor.stride()))
        return first, first + (extent + 1) * tensor.element_size()


def _dense(tensor: torch.Tensor) -> bool:
    expected = 1
    for size, stride in sorted(zip(tensor.shape, tensor.stride()), key=lambda dim: dim[1]):
        if size == 1:
            continue
        if stride != expected:
            return False
        expected *= size
    return True


def _contiguous(shape) -> tuple[int, ...]:
    strides, step = [], 1
    for size in reversed(shape):
        strides.append(step)
        step *= max(size, 1)
    return tuple(reversed(strides))


def _needs_temporaries(dst: torch.Tensor, src: torch.Tensor) -> bool:
    """Copy.cu, copy_requires_temporaries, between the host and a device: unless the dtypes agree
    and TensorIterator sees one contiguous run (same dense layout on both sides), the copy goes
    through contiguous temporaries."""
    if dst.dtype != src.dtype:
        return True
    if dst.numel() <= 1:
        return False
    dims = [(size, a, b) for size, a, b in zip(dst.shape, dst.stride(), src.stride()) if size > 1]
    return not (_dense(dst) and all(a == b for _, a, b in dims))


def _flag(args, kwargs, position: int, name: str) -> bool:
    return bool(args[position] if len(args) > position else kwargs.get(name, False))
