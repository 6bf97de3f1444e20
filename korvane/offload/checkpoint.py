"""Reading safetensors checkpoints straight into pooled host buffers.

``Checkpoint(source)`` indexes a ``.safetensors`` file, a directory holding ``model.safetensors``
or a sharded ``model.safetensors.index.json``, or a list of files: every tensor's file, dtype,
shape and byte range, each header checked before anything is read. ``Checkpoint.read_into``
reads one tensor's bytes into slices of host buffers, and ``CheckpointReader`` does the same on
a thread of its own, in order, while the caller computes; ``held_layers`` decides which layers
stay in host memory under a byte budget. ``match_module`` pairs a module's
parameters and buffers with the checkpoint's tensors as ``load_state_dict`` would, ties
included, and ``meta_parameters()`` builds modules without memory for their parameters.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import ctypes
import itertools
import json
import math
import os
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Optional, Union

import torch
from torch import nn

__all__ = ["Checkpoint", "TensorInfo", "CheckpointReader", "ReadRequest", "held_layers",
           "match_module", "assign_tensors", "meta_parameters"]

PathLike = Union[str, os.PathLike]
# Where one tensor's bytes go, in order: (a one-dimensional torch.uint8 CPU buffer, the offset
# into it, the number of bytes), so that a tensor may straddle buffers.
Piece = tuple[torch.Tensor, int, int]

INDEX_NAME = "model.safetensors.index.json"
SINGLE_NAME = "model.safetensors"

# The safetensors format's dtype codes that torch has a dtype for.
_DTYPES = {code: getattr(torch, name) for code, name in [
    ("BOOL", "bool"), ("U8", "uint8"), ("I8", "int8"), ("I16", "int16"), ("U16", "uint16"),
    ("I32", "int32"), ("U32", "uint32"), ("I64", "int64"), ("U64", "uint64"),
    ("F16", "float16"), ("BF16", "bfloat16"), ("F32", "float32"), ("F64", "float64"),
    ("C64", "complex64"), ("F8_E4M3", "float8_e4m3fn"), ("F8_E5M2", "float8_e5m2"),
    ("F8_E4M3FNUZ", "float8_e4m3fnuz"), ("F8_E5M2FNUZ", "float8_e5m2fnuz"),
] if hasattr(torch, name)}

# The safetensors package refuses longer headers; so that a hostile length is not read whole.
_MAX_HEADER = 100 << 20
# Linux reads at most this many bytes in one call, and takes at most this many slices.
_MAX_READ = 0x7FFFF000
_MAX_SLICES = 1024


@dataclass(frozen=True)
class TensorInfo:
    """One tensor of a checkpoint: its key, file, dtype, shape, and where its bytes lie in the
    file (``offset``, counted from the start of the file, and ``nbytes``)."""

    key: str
    path: str
    dtype: torch.dtype
    shape: tuple[int, ...]
    offset: int
    nbytes: int


class _File:
    """A checkpoint file as it was indexed: its header and what ``stat`` said of it."""

    def __init__(self, path: str, header: bytes, stat: os.stat_result):
        self.path = path
        self.header = header
        self.size = stat.st_size
        self.identity = _identity(stat)

    def check_unchanged(self, fd: int) -> None:
        """Refuses a file whose size changed since it was indexed, or one rewritten (another
        file, or a newer time) with another header; a file put back as it was passes."""
        stat = os.fstat(fd)
        if stat.st_size != self.size:
            raise OSError(f"the file is now {stat.st_size} bytes, {self.size} when it was "
                          "indexed: it changed, index the checkpoint again")
        if _identity(stat) == self.identity:
            return
        prefix = bytearray(len(self.header))
        _read_exact(fd, [memoryview(prefix)], 0)
        if prefix != self.header:
            raise OSError("the file was rewritten with another header since it was indexed: "
                          "index the checkpoint again")
        self.identity = _identity(stat)


def _identity(stat: os.stat_result) -> tuple[int, int, int]:
    return stat.st_dev, stat.st_ino, stat.st_mtime_ns


class Checkpoint:
    """The tensors of a safetensors checkpoint, indexed without reading their bytes.

    ``source`` is a ``.safetensors`` file, a directory holding ``model.safetensors`` or a
    sharded ``model.safetensors.index.json`` (as ``save_pretrained`` writes), or a list of
    ``.safetensors`` files. Every header is checked here, so that a missing path, a header
    that is not JSON, a dtype unknown to torch, a byte count that is not the shape's, bytes
    that overlap or lie past the end of the file (a truncated file) each raise one line naming
    the path and key. The files are only ever read.
    """

    def __init__(self, source: Union[PathLike, Sequence[PathLike]]):
        paths, index = _find_files(source)
        self.source = str(source) if isinstance(source, (str, os.PathLike)) else str(paths)
        self._files: dict[str, _File] = {}
        self._tensors: dict[str, TensorInfo] = {}
        self.metadata: dict[str, str] = {}
        for path in paths:
            header, stat, infos, metadata = _index_file(path)
            self._files[path] = _File(path, header, stat)
            self.metadata.update(metadata)
            for info in infos:
                if info.key in self._tensors:
                    raise ValueError(f"key {info.key!r} is in both {self._tensors[info.key].path} "
                                     f"and {path}")
                self._tensors[info.key] = info
        if index is not None:
            _check_index(index, self._tensors)

    def __getitem__(self, key: str) -> TensorInfo:
        if key not in self._tensors:
            raise KeyError(f"the checkpoint {self.source} has no tensor {key!r}")
        return self._tensors[key]

    def __contains__(self, key: object) -> bool:
        return key in self._tensors

    def __iter__(self) -> Iterator[str]:
        return iter(self._tensors)

    def __len__(self) -> int:
        return len(self._tensors)

    @property
    def files(self) -> list[str]:
        """The files indexed, in the order they were read."""
        return list(self._files)

    @property
    def nbytes(self) -> int:
        """The bytes of every tensor."""
        return sum(info.nbytes for info in self._tensors.values())

    def read_into(self, key: str, pieces: Sequence[Piece]) -> None:
        """Reads the bytes of tensor ``key``, in order, into ``pieces``: ``(buffer, offset,
        nbytes)`` slices of one-dimensional ``torch.uint8`` CPU tensors, whose lengths add up
        to the tensor's bytes. The file is read straight into the buffers, without the GIL.
        A file that changed size since it was indexed, or that ends early, raises ``OSError``
        naming the path and key; the bytes already read into the buffers then mean nothing."""
        self._read([(self._check_read(key, pieces), pieces)])

    def read_tensor(self, key: str) -> torch.Tensor:
        """Tensor ``key`` read into a new CPU tensor of its dtype and shape."""
        info = self[key]
        buffer = torch.empty(info.nbytes, dtype=torch.uint8)
        self._read([(info, [(buffer, 0, info.nbytes)])])
        if not info.nbytes:
            return torch.empty(info.shape, dtype=info.dtype)
        return buffer.view(info.dtype).view(info.shape)

    def __repr__(self) -> str:
        return (f"Checkpoint({self.source!r}, {len(self)} tensors in {len(self._files)} files, "
                f"nbytes={self.nbytes})")

    def _check_read(self, key: str, pieces: Sequence[Piece]) -> TensorInfo:
        info = self[key]
        total = 0
        for buffer, offset, nbytes in pieces:
            if not (isinstance(buffer, torch.Tensor) and buffer.dtype == torch.uint8
                    and buffer.dim() == 1 and buffer.is_cpu and buffer.is_contiguous()):
                raise TypeError(f"pieces for {key!r} must be in one-dimensional contiguous "
                                f"torch.uint8 CPU tensors, not {_describe(buffer)}")
            if not (_is_count(offset) and _is_count(nbytes)) or offset + nbytes > buffer.numel():
                raise ValueError(f"piece ({offset}, {nbytes}) for {key!r} lies outside its "
                                 f"buffer of {buffer.numel()} bytes")
            total += nbytes
        if total != info.nbytes:
            raise ValueError(f"pieces for {key!r} hold {total} bytes, the tensor {info.nbytes}")
        return info

    def _read(self, reads: Sequence[tuple[TensorInfo, Sequence[Piece]]],
              counted: Callable[[int], None] = lambda nbytes: None) -> None:
        """Reads each tensor into its pieces, opening a file once for the reads in a row from
        it, and tells ``counted`` the bytes of each tensor read."""
        for path, in_a_row in itertools.groupby(reads, key=lambda read: read[0].path):
            run = list(in_a_row)
            file, info = self._files[path], run[0][0]
            try:
                fd = os.open(path, os.O_RDONLY)
                try:
                    file.check_unchanged(fd)
                    for info, pieces in run:
                        views = [_byte_view(buffer, offset, nbytes)
                                 for buffer, offset, nbytes in pieces]
                        _read_exact(fd, views, info.offset)
                        counted(info.nbytes)
                finally:
                    os.close(fd)
            except OSError as error:
                reason = error.strerror or str(error)
                raise OSError(f"reading {info.key!r} from {path}: {reason}") from error


def _describe(value: object) -> str:
    if isinstance(value, torch.Tensor):
        return f"a {value.dtype} tensor of shape {tuple(value.shape)} on {value.device}"
    return type(value).__name__


def _byte_view(buffer: torch.Tensor, offset: int, nbytes: int) -> memoryview:
    """The bytes ``offset`` to ``offset + nbytes`` of ``buffer``'s memory, writable, not copied;
    ``buffer`` must outlive the view."""
    if not nbytes:
        return memoryview(b"")
    array = (ctypes.c_ubyte * nbytes).from_address(buffer.data_ptr() + offset)
    return memoryview(array).cast("B")


def _read_exact(fd: int, views: list[memoryview], offset: int) -> None:
    """Fills ``views`` in order with the file's bytes from ``offset`` on, however the reads
    come back short; a file that ends first raises ``OSError``."""
    views = [view for view in views if len(view)]
    while views:
        batch, size = [], 0
        for view in views[:_MAX_SLICES]:
            if size + len(view) > _MAX_READ:
                break
            batch.append(view)
            size += len(view)
        batch = batch or [views[0][:_MAX_READ]]
        done = os.preadv(fd, batch, offset)
        if done == 0:
            raise OSError(f"the file ends at byte {offset}, before the tensor does: it was "
                          "truncated since it was indexed")
        offset += done
        while done:
            if done >= len(views[0]):
                done -= len(views.pop(0))
            else:
                views[0] = views[0][done:]
                done = 0


def _find_files(source) -> tuple[list[str], Optional[dict]]:
    """The files of a checkpoint, and the index that names them, if any."""
    if isinstance(source, (str, os.PathLike)):
        path = Path(source)
        if not path.exists():
            raise FileNotFoundError(f"checkpoint {str(path)!r} does not exist")
        if path.is_file():
            return _read_index(path) if path.name.endswith(".index.json") else ([str(path)], None)
        if (path / INDEX_NAME).is_file():
            return _read_index(path / INDEX_NAME)
        if (path / SINGLE_NAME).is_file():
            return [str(path / SINGLE_NAME)], None
        raise FileNotFoundError(f"checkpoint directory {str(path)!r} holds neither "
                                f"{SINGLE_NAME} nor {INDEX_NAME}")
    if isinstance(source, bytes) or not isinstance(source, Iterable):
        raise TypeError("checkpoint must be a path or a list of paths, not "
                        f"{type(source).__name__}")
    paths = []
    for item in source:
        if not isinstance(item, (str, os.PathLike)):
            raise TypeError(f"checkpoint files must be paths, not {type(item).__name__}")
        if not Path(item).is_file():
            raise FileNotFoundError(f"checkpoint file {str(item)!r} does not exist")
        paths.append(str(item))
    if not paths:
        raise ValueError("checkpoint is an empty list of files")
    return paths, None


def _read_index(path: Path) -> tuple[list[str], dict]:
    try:
        index = json.loads(path.read_text(encoding="utf-8"))
        weight_map = index["weight_map"]
        if not isinstance(weight_map, dict) or not all(
                isinstance(name, str) for name in weight_map.values()):
            raise TypeError
    except (ValueError, KeyError, TypeError):
        raise ValueError(f"{path} is not an index: it needs a JSON object with a "
                         "\"weight_map\" of keys to file names") from None
    files = []
    for name in dict.fromkeys(weight_map.values()):
        shard = path.parent / name
        if Path(name).name != name:
            raise ValueError(f"{path} names {name!r}, which is not a file beside it")
        if not shard.is_file():
            raise FileNotFoundError(f"{path} names {name!r}, which does not exist")
        files.append(str(shard))
    return files, {key: str(path.parent / name) for key, name in weight_map.items()}


def _check_index(index: dict[str, str], tensors: dict[str, TensorInfo]) -> None:
    for key, path in index.items():
        if key not in tensors or tensors[key].path != path:
            raise ValueError(f"the index puts key {key!r} in {path}, which does not hold it")


def _index_file(path: str) -> tuple[bytes, os.stat_result, list[TensorInfo], dict]:
    """Reads and checks one file's header: its bytes, the file's stat, its tensors and metadata."""
    with open(path, "rb") as file:
        stat = os.fstat(file.fileno())
        length_bytes = file.read(8)
        if len(length_bytes) < 8:
            raise ValueError(f"{path} is {stat.st_size} bytes, too short for a safetensors header")
        length = int.from_bytes(length_bytes, "little")
        if length > stat.st_size - 8:
            raise ValueError(f"{path} declares a header of {length} bytes, past the end of the "
                             f"file ({stat.st_size} bytes)")
        if length > _MAX_HEADER:
            raise ValueError(f"{path} declares a header of {length} bytes, more than the "
                             f"{_MAX_HEADER} that safetensors allows")
        header = file.read(length)
    try:
        entries = json.loads(header)
    except (ValueError, RecursionError) as error:
        raise ValueError(f"{path} has a header that is not JSON ({error})") from None
    if not isinstance(entries, dict):
        raise ValueError(f"{path} has a header that is not a JSON object")
    metadata = entries.pop("__metadata__", None) or {}
    if not isinstance(metadata, dict):
        raise ValueError(f"{path} has __metadata__ that is not a JSON object")
    data_start = 8 + length
    infos = [_tensor_info(path, key, entry, data_start, stat.st_size)
             for key, entry in entries.items()]
    _check_overlaps(path, infos)
    return length_bytes + header, stat, infos, metadata


def _tensor_info(path: str, key: str, entry, data_start: int, size: int) -> TensorInfo:
    if not isinstance(entry, dict) or not {"dtype", "shape", "data_offsets"} <= entry.keys():
        raise ValueError(f"{path}: key {key!r} needs dtype, shape and data_offsets")
    code, shape, offsets = entry["dtype"], entry["shape"], entry["data_offsets"]
    if not isinstance(code, str) or code not in _DTYPES:
        raise ValueError(f"{path}: key {key!r} has dtype {code!r}, which torch does not "
                         f"read here (known: {', '.join(_DTYPES)})")
    if not (isinstance(shape, list) and all(_is_count(size) for size in shape)):
        raise ValueError(f"{path}: key {key!r} has shape {shape!r}, not a list of sizes")
    if not (isinstance(offsets, list) and len(offsets) == 2 and all(map(_is_count, offsets))
            and offsets[0] <= offsets[1]):
        raise ValueError(f"{path}: key {key!r} has data_offsets {offsets!r}, not [begin, end] "
                         "with 0 <= begin <= end")
    dtype = _DTYPES[code]
    begin, end = offsets
    needed = math.prod(shape) * dtype.itemsize
    if end - begin != needed:
        raise ValueError(f"{path}: key {key!r} spans {end - begin} bytes, but shape "
                         f"{tuple(shape)} of {code} needs {needed}")
    if data_start + end > size:
        raise ValueError(f"{path}: key {key!r} ends at byte {data_start + end}, past the end "
                         f"of the file ({size} bytes): the file is truncated")
    return TensorInfo(key, path, dtype, tuple(shape), data_start + begin, needed)


def _is_count(value) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _check_overlaps(path: str, infos: list[TensorInfo]) -> None:
    spans = sorted((info for info in infos if info.nbytes), key=lambda info: info.offset)
    for before, after in zip(spans, spans[1:]):
        if after.offset < before.offset + before.nbytes:
            raise ValueError(f"{path}: the bytes of keys {before.key!r} and {after.key!r} "
                             "overlap")


class ReadRequest:
    """Reads queued on a ``CheckpointReader``; ``wait()`` returns once their bytes are in place."""

    def __init__(self, reader: "CheckpointReader", future: concurrent.futures.Future):
        self._reader = reader
        self._future = future

    def done(self) -> bool:
        """Whether the reads finished, failed or were cancelled."""
        return self._future.done()

    def succeeded(self) -> bool:
        """Whether the reads finished, every byte in place."""
        return self._future.done() and not self._future.cancelled() and (
            self._future.exception() is None)

    def wait(self) -> None:
        """Blocks until every byte is in place, counting the time in the reader's
        ``seconds_waited``; a failed read raises its ``OSError`` (naming the path and key)."""
        if not self._future.done():
            start = time.perf_counter()
            concurrent.futures.wait([self._future])
            self._reader._waited(time.perf_counter() - start)
        self._future.result()

    def cancel(self) -> None:
        """Drops the reads if they have not started, else waits for them to end (ignoring
        their failure), so that the buffers they read into are free to go back."""
        if not self._future.cancel():
            concurrent.futures.wait([self._future])


class CheckpointReader:
    """A thread that reads a checkpoint's tensors into host buffers, in the order asked.

    ``submit()`` queues the reads of some tensors and returns a ``ReadRequest`` to wait on.
    A read that fails raises from that request's ``wait()`` and leaves the reader working:
    later requests read the file again. ``stats()`` counts the bytes read and the seconds
    callers waited for them. ``close()``, or leaving a ``with`` block, drops the requests not
    started and waits for the one running; later calls do nothing.
    """

    def __init__(self, checkpoint: Checkpoint):
        if not isinstance(checkpoint, Checkpoint):
            raise TypeError(f"checkpoint must be a Checkpoint, not {type(checkpoint).__name__}")
        self.checkpoint = checkpoint
        self._executor = concurrent.futures.ThreadPoolExecutor(
            max_workers=1, thread_name_prefix="korvane-checkpoint-reader")
        self._lock = threading.Lock()
        self._bytes_read = 0
        self._seconds_waited = 0.0
        self._closed = False

    def submit(self, reads: Iterable[tuple[str, Sequence[Piece]]]) -> ReadRequest:
        """Queues reading each ``(key, pieces)`` as ``Checkpoint.read_into`` does, after the
        requests already queued; everything is checked here first."""
        if self._closed:
            raise RuntimeError("this checkpoint reader is closed")
        checked = [(self.checkpoint._check_read(key, pieces), list(pieces))
                   for key, pieces in reads]
        return ReadRequest(self, self._executor.submit(self._run, checked))

    def stats(self) -> dict:
        """``read_bytes``: the bytes read into buffers so far; ``read_wait_seconds``: the time
        callers stood in ``wait()`` for reads not yet done."""
        with self._lock:
            return {"read_bytes": self._bytes_read, "read_wait_seconds": self._seconds_waited}

    def close(self) -> None:
        """Drops the requests not started and waits for the running one to end."""
        self._closed = True
        self._executor.shutdown(wait=True, cancel_futures=True)

    def __enter__(self) -> "CheckpointReader":
        return self

    def __exit__(self, *exc_info) -> None:
        self.close()

    def _run(self, reads: list[tuple[TensorInfo, list[Piece]]]) -> None:
        self.checkpoint._read(reads, self._counted)

    def _counted(self, nbytes: int) -> None:
        with self._lock:
            self._bytes_read += nbytes

    def _waited(self, seconds: float) -> None:
        with self._lock:
            self._seconds_waited += seconds


def held_layers(layer_bytes: Sequence[int], host_budget: int, prefetch: int) -> int:
    """How many layers, counted in the order a forward first reads them, stay held in pool
    buffers under ``host_budget`` bytes; the others are read from the checkpoint when needed.

    ``layer_bytes`` are the pool bytes each layer's weights take. The layers held are the first
    ones: as many as leave room, within the budget, for the buffers of the ``1 + prefetch``
    largest layers not held, which a forward reads into at once (the layer it copies to the
    device and those read ahead). A budget that cannot hold even those raises ``ValueError``;
    one that is not a non-negative integer, ``TypeError`` or ``ValueError``.
    """
    if isinstance(host_budget, bool) or not isinstance(host_budget, int):
        raise TypeError(f"host_budget must be an int (bytes) or None, not "
                        f"{type(host_budget).__name__}")
    if host_budget < 0:
        raise ValueError(f"host_budget must be 0 or more bytes, not {host_budget}")
    for held in range(len(layer_bytes), -1, -1):
        streamed = sorted(layer_bytes[held:], reverse=True)
        if sum(layer_bytes[:held]) + sum(streamed[:1 + prefetch]) <= host_budget:
            return held
    needed = sum(sorted(layer_bytes, reverse=True)[:1 + prefetch])
    raise ValueError(f"host_budget of {host_budget} bytes cannot hold the reads of 1 + prefetch "
                     f"({1 + prefetch}) layers at once: it needs at least {needed}")


def match_module(module: nn.Module, checkpoint: Checkpoint, *,
                 strict: bool = True) -> list[tuple[str, torch.Tensor, TensorInfo]]:
    """Pairs each parameter and persistent buffer of ``module`` with the checkpoint tensor that
    holds its values: ``(name, tensor, info)``, once per tensor however many names it has.

    Keys are matched as ``load_state_dict`` matches them, except that a tensor tied to others
    (the same object under several names) needs only one of its names in the checkpoint, as
    ``save_pretrained`` stores tied weights once. With ``strict`` a missing or unexpected key
    raises ``ValueError``; without it an unexpected key is ignored and a missing tensor keeps
    its own value. A shape or dtype that differs from the module's raises, naming both
    (``ValueError``, ``TypeError``: there is no silent cast), as does a tensor on the meta
    device that the checkpoint does not provide, such as a non-persistent buffer.
    """
    if not isinstance(module, nn.Module):
        raise TypeError(f"module must be a torch.nn.Module, not {type(module).__name__}")
    if not isinstance(checkpoint, Checkpoint):
        raise TypeError(f"checkpoint must be a Checkpoint, not {type(checkpoint).__name__}")
    names = list(_state_names(module).values())
    expected = {name for _, tensor_names in names for name in tensor_names}
    missing = [name for _, tensor_names in names
               if not any(name in checkpoint for name in tensor_names) for name in tensor_names]
    unexpected = [key for key in checkpoint if key not in expected]
    if strict and (missing or unexpected):
        raise ValueError(f"the checkpoint {checkpoint.source} does not match "
                         f"{type(module).__name__}: {_keys_line(missing, unexpected)}")
    matched = []
    for tensor, tensor_names in names:
        present = [name for name in tensor_names if name in checkpoint]
        for name in present:
            _check_alike(name, tensor, checkpoint[name])
        if present:
            matched.append((present[0], tensor, checkpoint[present[0]]))
        elif tensor.is_meta:
            _refuse_meta(tensor_names[0],
                         "parameter" if isinstance(tensor, nn.Parameter) else "buffer")
    for name, buffer in _non_persistent_buffers(module):
        if buffer.is_meta:
            _refuse_meta(name, "non-persistent buffer")
    return matched


def _state_names(module: nn.Module) -> dict[int, tuple[torch.Tensor, list[str]]]:
    """Every tensor that ``state_dict()`` holds, by identity, with all of its names."""
    found: dict[int, tuple[torch.Tensor, list[str]]] = {}
    for prefix, sub in module.named_modules(remove_duplicate=False):
        dot = prefix + "." if prefix else ""
        tensors = itertools.chain(sub._parameters.items(), (
            (name, buffer) for name, buffer in sub._buffers.items()
            if name not in sub._non_persistent_buffers_set))
        for name, tensor in tensors:
            if tensor is not None:
                found.setdefault(id(tensor), (tensor, []))[1].append(dot + name)
    return found


def _non_persistent_buffers(module: nn.Module) -> Iterator[tuple[str, torch.Tensor]]:
    for prefix, sub in module.named_modules():
        for name, buffer in sub._buffers.items():  # in their order, not the set's
            if buffer is not None and name in sub._non_persistent_buffers_set:
                yield (f"{prefix}.{name}" if prefix else name), buffer


def _keys_line(missing: list[str], unexpected: list[str]) -> str:
    def listed(keys: list[str]) -> str:
        shown = ", ".join(map(repr, keys[:5]))
        return shown + (f" and {len(keys) - 5} more" if len(keys) > 5 else "")

    parts = [f"missing keys {listed(missing)}"] * bool(missing)
    parts += [f"unexpected keys {listed(unexpected)}"] * bool(unexpected)
    return "; ".join(parts)


def _check_alike(name: str, tensor: torch.Tensor, info: TensorInfo) -> None:
    if tuple(tensor.shape) != info.shape:
        raise ValueError(f"key {name!r} has shape {info.shape} in the checkpoint, "
                         f"{tuple(tensor.shape)} in the module")
    if tensor.dtype != info.dtype:
        raise TypeError(f"key {name!r} has dtype {info.dtype} in the checkpoint, {tensor.dtype} "
                        "in the module: build the module in the checkpoint's dtype")


def _refuse_meta(name: str, kind: str) -> None:
    way_out = ("build the module under korvane.offload.meta_parameters(), which keeps buffers "
               "real" if "buffer" in kind else
               "use a checkpoint that holds it, or build the module with real weights")
    raise ValueError(f"{kind} {name!r} is on the meta device and the checkpoint does not "
                     f"provide it: {way_out}")


def assign_tensors(module: nn.Module, pairs: Iterable[tuple[torch.Tensor, torch.Tensor]]) -> None:
    """Puts each ``new`` tensor of ``(old, new)`` pairs in every place of ``module`` that holds
    ``old``, as ``load_state_dict(assign=True)`` does: a parameter becomes a new parameter with
    the old one's ``requires_grad``, a buffer the tensor itself. Tied weights stay tied, and a
    parameter on the meta device, whose ``.data`` cannot be set, is replaced this way."""
    replacements: dict[int, torch.Tensor] = {}
    for old, new in pairs:
        if isinstance(old, nn.Parameter) and not isinstance(new, nn.Parameter):
            new = nn.Parameter(new, requires_grad=old.requires_grad)
        replacements[id(old)] = new
    for sub in module.modules():
        for slots in (sub._parameters, sub._buffers):
            for name, tensor in slots.items():
                if tensor is not None and id(tensor) in replacements:
                    slots[name] = replacements[id(tensor)]  # type: ignore[assignment]


@contextlib.contextmanager
def meta_parameters() -> Iterator[None]:
    """Modules built inside the block get their parameters on the meta device, without memory,
    while their buffers (such as rotary frequencies computed at construction) stay real.

    Parameters are moved as they are registered, so initialising them costs nothing; a
    parameter already on meta keeps its identity, so ties made at construction hold. The
    block patches ``nn.Module.register_parameter`` for every thread while it lasts.
    """
    original = nn.Module.register_parameter

    def register_parameter(self: nn.Module, name: str, param: Optional[nn.Parameter]) -> None:
        # A lazy module's uninitialized parameter has no shape to move yet.
        if param is not None and not param.is_meta and not isinstance(
                param, nn.UninitializedParameter):
            param = type(param)(param.to("meta"), requires_grad=param.requires_grad)
        original(self, name, param)

    nn.Module.register_parameter = register_parameter  # type: ignore[method-assign]
    try:
        yield
    finally:
        nn.Module.register_parameter = original  # type: ignore[method-assign]
