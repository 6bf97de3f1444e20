"""Refusing what the staging helpers cannot take, before anything is leased or moved.

``check_pool`` refuses what is not a buffer pool; ``_check_stageable`` refuses tensors whose
bytes are not their values (quantized, nested, sparse, meta, a subclass with its own dispatch);
``_check_targets`` refuses tensors that staged values cannot be copied into; ``_check_device``
refuses devices other than the CPU and CUDA. Each raises a one-line ``TypeError`` or
``ValueError`` naming the argument and what was given; ``_unpack`` and ``_names`` read a sequence
or a mapping of tensors and name each of them in those messages.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Optional, Union

import torch

if TYPE_CHECKING:
    from korvane.offload.packing import _Entry


Device = Union[str, int, torch.device]


def _unpack(tensors: Any, name: str) -> tuple[Optional[list], list]:
    if isinstance(tensors, Mapping):
        return list(tensors), list(tensors.values())
    if isinstance(tensors, (torch.Tensor, str, bytes)) or not isinstance(tensors, Iterable):
        raise TypeError(f"{name} must be a sequence or a mapping of tensors, "
                        f"not {type(tensors).__name__}")
    return None, list(tensors)


def _names(argument: str, keys: Optional[list]) -> Callable[[int], str]:
    """How the tensor at an index of ``argument`` is named in messages; made only on failure."""
    return lambda index: f"{argument}[{index if keys is None else repr(keys[index])}]"


def check_pool(pool: Any, name: str) -> None:
    """Refuses, in one line, what lacks ``lease()``, ``release()`` and a non-empty list of
    int ``BUCKET_SIZES_BYTES``."""
    lacks = [what for what in ("lease", "release") if not callable(getattr(pool, what, None))]
    sizes = getattr(pool, "BUCKET_SIZES_BYTES", None)
    if not (isinstance(sizes, Sequence) and sizes
            and all(type(size) is int and size > 0 for size in sizes)):
        lacks.append("BUCKET_SIZES_BYTES (positive ints)")
    if lacks:
        raise TypeError(f"{name} must be a buffer pool such as PinnedMemoryPool: "
                        f"{type(pool).__name__} lacks {', '.join(lacks)}")


def _check_stageable(tensors: list, name: Callable[[int], str]) -> None:
    """Refuses what cannot be copied byte for byte: such tensors' bytes are not their values."""
    for index, tensor in enumerate(tensors):
        if not _plainly_stageable(tensor):
            _refuse_unstageable(tensor, name(index))


def _plainly_stageable(tensor: Any) -> bool:
    """The checks of ``_refuse_unstageable`` that a plain tensor or parameter needs, in one
    expression: it runs for every tensor staged or restored into. A subclass takes the long way."""
    cls = type(tensor)
    return ((cls is torch.Tensor or cls is torch.nn.Parameter) and not tensor._python_dispatch
            and (tensor.is_cpu or tensor.is_cuda) and tensor.layout is torch.strided
            and not tensor.is_quantized and not tensor.is_nested
            and not torch._C._functorch.is_functorch_wrapped_tensor(tensor))


def _refuse_unstageable(tensor: Any, name: str) -> None:
    if not isinstance(tensor, torch.Tensor):
        raise TypeError(f"{name} must be a torch.Tensor, not {type(tensor).__name__}")
    if isinstance(tensor, torch.nn.parameter.UninitializedTensorMixin):
        kind = "an uninitialized parameter or buffer"
    elif type(tensor).__torch_dispatch__ is not torch.Tensor.__torch_dispatch__:
        kind = f"a {type(tensor).__name__}, a tensor subclass with its own dispatch"
    elif tensor._python_dispatch:
        # An instance of such a subclass whose __class__ was reassigned: its operations still
        # go to Python, and it may hold no memory at all.
        kind = "a tensor whose operations are dispatched to Python"
    elif tensor.is_quantized:
        kind = f"a quantized tensor ({tensor.dtype})"
    elif tensor.is_nested:
        kind = "a nested tensor"
    elif torch._C._functorch.is_functorch_wrapped_tensor(tensor):
        kind = "a tensor wrapped by a torch.func transform"
    elif tensor.layout != torch.strided:
        kind = f"a tensor of layout {tensor.layout}"
    elif tensor.device.type not in ("cpu", "cuda"):
        kind = f"a tensor on {tensor.device}"
    else:
        return
    raise TypeError(f"{name} is {kind}, which cannot be staged byte for byte")


def _check_targets(targets: list, entries: list[_Entry], name: Callable[[int], str]) -> None:
    """Refuses targets that the staged tensors cannot be copied into, before any is written."""
    _check_stageable(targets, name)
    for index, (target, entry) in enumerate(zip(targets, entries)):
        if target.dtype != entry.dtype:
            raise TypeError(f"{name(index)} has dtype {target.dtype}, the staged tensor "
                            f"{entry.dtype}")
        if target.shape != entry.shape:
            raise ValueError(f"{name(index)} has shape {tuple(target.shape)}, the staged tensor "
                             f"{tuple(entry.shape)}")
        if target.is_inference() and not torch.is_inference_mode_enabled():
            raise ValueError(f"{name(index)} is an inference tensor, which only code under "
                             "torch.inference_mode() may write to")
        if not target.is_contiguous() and any(
                stride == 0 and size > 1 for size, stride in zip(target.shape, target.stride())):
            raise ValueError(f"{name(index)} has elements that share memory "
                             f"(strides {target.stride()})")


def _check_device(device: Device, name: str) -> torch.device:
    """``device`` as a CPU or CUDA device; ``"cuda"`` names the current device's index, so that
    it compares equal to a tensor's device there."""
    target = torch.device(device)
    if target.type not in ("cpu", "cuda"):
        raise ValueError(f"{name} must be a CPU or CUDA device, not {target}")
    if target.type == "cuda" and target.index is None and torch.cuda.is_available():
        return torch.device("cuda", torch.cuda.current_device())
    return target
