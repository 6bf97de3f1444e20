"""What a streamed weight is between the calls of the layers that read it.

The parameter or buffer object stays the module's own, so references, ties, hooks and
``state_dict()`` keys keep working; between calls its data is a ``storage_free`` tensor: the
weight's shape and dtype on the offload device, every element in one shared word (strides 0),
so that ``parameters()``, ``num_parameters()`` and memory footprints report the real model
and ``model.device`` names the device. Read as an attribute of its module (``linear.weight``)
outside a call of a layer that reads it, the weight is a ``Placeholder`` instead, which keeps
the same shape, dtype and device and refuses to be computed with, in one line that names the
weight and the fix.
"""

from __future__ import annotations

from typing import Mapping, Protocol

import torch
from torch.utils._pytree import tree_leaves

__all__ = ["Placeholder", "GuardedWeights", "storage_free"]

_WORDS: dict[tuple[torch.dtype, torch.device], torch.Tensor] = {}


class Attachable(Protocol):
    attached: bool


def storage_free(tensor: torch.Tensor, device: torch.device) -> torch.Tensor:
    """A tensor of ``tensor``'s shape and dtype on ``device`` whose elements all share one word
    (held once per dtype and device)."""
    key = (tensor.dtype, device)
    if key not in _WORDS:
        with torch.inference_mode(False):
            _WORDS[key] = torch.zeros(1, dtype=tensor.dtype, device=device)
    return _WORDS[key].as_strided(tensor.shape, (0,) * tensor.dim())


class Placeholder(torch.Tensor):
    """A streamed weight read outside its layer's call: its shape, dtype, device and
    ``requires_grad``, and no values. Any computation with it raises ``RuntimeError`` naming
    the weight."""

    weight_name: str

    @staticmethod
    def __new__(cls, like: torch.Tensor, name: str, device: torch.device) -> "Placeholder":
        self = torch.Tensor._make_wrapper_subclass(
            cls, like.shape, dtype=like.dtype, device=device, requires_grad=like.requires_grad)
        self.weight_name = name
        return self

    __torch_function__ = torch._C._disabled_torch_function_impl

    @classmethod
    def __torch_dispatch__(cls, func, types, args=(), kwargs=None):
        names = [leaf.weight_name for leaf in tree_leaves((args, kwargs or {}))
                 if isinstance(leaf, Placeholder)]
        raise RuntimeError(
            f"{names[0]} is offloaded and was read outside a call of the layer that holds it: "
            f"pass the module that reads it in offload_module(layers=...) as a layer")

    def __repr__(self, **kwargs) -> str:
        return (f"Placeholder({self.weight_name}, shape={tuple(self.shape)}, dtype={self.dtype}, "
                f"device={self.device})")


class GuardedWeights(dict):
    """A module's ``_parameters`` or ``_buffers`` while some of them are streamed: reading a
    streamed one by name (what ``module.weight`` does) gives the weight while its group is
    attached, else its ``Placeholder``. Iterating gives the weights themselves."""

    __slots__ = ("_guards",)

    def __init__(self, weights: Mapping, guards: Mapping[str, tuple[Attachable, Placeholder]]):
        super().__init__(weights)
        self._guards = dict(guards)

    def __getitem__(self, name):
        guard = self._guards.get(name)
        if guard is None or guard[0].attached:
            return dict.__getitem__(self, name)
        return guard[1]
