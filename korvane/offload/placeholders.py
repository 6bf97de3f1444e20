"""What a streamed weight is between the calls of the layers that read it.

The parameter or buffer object stays the module's own, so references, ties, hooks and
``state_dict()`` keys keep working; between calls its data is a ``storage_free`` tensor: the
weight's shape and dtype on the offload device, every element in one shared word (strides 0),
so that ``parameters()``, ``num_parameters()`` and memory footprints report the real model
and ``model.device`` names the device. Read as an attribute of its module (``linear.weight``)
outside a call of a layer that reads it, the weight is a ``Placeholder`` instead, which keeps
the same shape, dtype and device and refuses to be computed with, in one line that names the
weight and the fix; written in place between forwards (``nn.init.zeros_(linear.weight)``), it
passes the write to the staged copy. Replacing a streamed weight in its module is refused;
setting it to its own placeholder (tying it again) keeps it.
"""

from __future__ import annotations

import contextlib
import weakref
from typing import Iterator, Mapping, Optional, Protocol

import torch
from torch.utils._pytree import tree_leaves, tree_map

__all__ = ["Placeholder", "GuardedWeights", "storage_free", "outside_inference_mode",
           "NOT_CAPTURED"]

NOT_CAPTURED = ("an offloaded module moves its weights during each call and cannot be traced or "
                "exported: trace or export it before offload_module() or after close()")

_WORDS: dict[tuple[torch.dtype, torch.device], torch.Tensor] = {}
_SHAPED: weakref.WeakValueDictionary = weakref.WeakValueDictionary()


class Attachable(Protocol):
    attached: bool


class Staged(Protocol):
    """Where a placeholder's values are kept: read and written whole, between forwards."""

    def writable(self) -> bool: ...
    def read(self, device: torch.device) -> torch.Tensor: ...
    def write(self, value: torch.Tensor) -> None: ...
    def weight_after_close(self) -> Optional[torch.Tensor]: ...
    def weight(self) -> Optional[torch.Tensor]: ...


@contextlib.contextmanager
def outside_inference_mode() -> Iterator[None]:
    """Makes tensors that are not inference tensors, whatever the caller's mode, and keeps the
    caller's grad mode (``inference_mode(False)`` alone turns it on)."""
    if not torch.is_inference_mode_enabled():
        yield
        return
    with torch.inference_mode(False), torch.set_grad_enabled(False):
        yield


def storage_free(tensor: torch.Tensor, device: torch.device) -> torch.Tensor:
    """A tensor of ``tensor``'s shape and dtype on ``device`` whose elements all share one word
    (held once per dtype and device): NaN where the dtype has it, so that arithmetic with it
    shows (through ``parameters()``, or another module sharing the weight), else zero."""
    key = (tensor.dtype, device)
    if key not in _WORDS:
        with outside_inference_mode():
            _WORDS[key] = torch.empty(1, dtype=tensor.dtype, device=device)
        reset_word(_WORDS[key])
    # Weights of one shape share one: fewer objects for each layer call to reach.
    shaped = _SHAPED.get((*key, tensor.shape))
    if shaped is None:
        shaped = _WORDS[key].as_strided(tensor.shape, (0,) * tensor.dim())
        _SHAPED[(*key, tensor.shape)] = shaped
    return shaped


def reset_word(word: torch.Tensor) -> None:
    """Sets the word a storage-free tensor's elements share back to its blank value."""
    blank = float("nan") if word.dtype.is_floating_point or word.dtype.is_complex else 0
    with torch.no_grad():
        try:
            word.fill_(blank)
        except (RuntimeError, NotImplementedError):  # a dtype with no fill kernel
            word.view(torch.uint8).zero_()


class Placeholder(torch.Tensor):
    """A streamed weight read outside its layer's call: its shape, dtype, device and
    ``requires_grad``, and no values. Any computation with it raises ``RuntimeError`` naming
    the weight, except an in-place write to it between forwards, which reaches ``staged``."""

    weight_name: str
    staged: Optional[Staged]

    @staticmethod
    def __new__(cls, like: torch.Tensor, name: str, device: torch.device,
                staged: Optional[Staged] = None,
                requires_grad: Optional[bool] = None) -> "Placeholder":
        self = torch.Tensor._make_wrapper_subclass(
            cls, like.shape, dtype=like.dtype, device=device,
            requires_grad=like.requires_grad if requires_grad is None else requires_grad)
        self.weight_name = name
        self.staged = staged
        # Read as the module's attribute, it shows and sets the weight's own requires_grad
        # (``.data`` and ``.detach()`` do not).
        self._follows = staged is not None and requires_grad is None
        # A parameter's placeholder passes for an nn.Parameter (whose isinstance check reads
        # ``_is_param``), as ``module.weight`` does on the resident module (``get_parameter``,
        # ``module.weight = other.weight`` to tie them).
        self._is_param = isinstance(like, torch.nn.Parameter) and not isinstance(like, Placeholder)
        return self

    __torch_function__ = torch._C._disabled_torch_function_impl

    @classmethod
    def __torch_dispatch__(cls, func, types, args=(), kwargs=None):
        kwargs = kwargs or {}
        if _all_closed(args, kwargs):  # a reference kept past close(): the weight itself
            args, kwargs = tree_map(_weight_after_close, (args, kwargs))
            return func(*args, **kwargs)
        first = args[0] if args else None
        if isinstance(first, Placeholder):
            if func in (torch.ops.aten.detach.default, torch.ops.aten.alias.default):
                # ``.data`` and ``.detach()``: the same weight, still offloaded.
                return Placeholder(first, first.weight_name, first.device, first.staged, False)
            if _writes_first(func) and _all_writable(args, kwargs):
                return _write_through(func, first, args, kwargs)
        leaf = next(leaf for leaf in tree_leaves((args, kwargs)) if isinstance(leaf, Placeholder))
        if _all_writable(args, kwargs):  # between forwards
            raise RuntimeError(
                f"{leaf.weight_name} is offloaded and holds no values between forwards: call "
                f"the model or the layer that holds it, write it whole in place (copy_, mul_, "
                f"nn.init) or read it from state_dict()")
        raise RuntimeError(
            f"{leaf.weight_name} is offloaded and was read outside a call of the layer that "
            f"holds it: pass the module that reads it in offload_module(layers=...) as a layer")

    @property
    def requires_grad(self) -> bool:
        weight = self.staged.weight() if self._follows else None
        return torch.Tensor.requires_grad.__get__(self) if weight is None else weight.requires_grad

    @requires_grad.setter
    def requires_grad(self, value: bool) -> None:
        torch.Tensor.requires_grad.__set__(self, value)
        weight = self.staged.weight() if self._follows else None
        if weight is not None:
            weight.requires_grad = value

    def requires_grad_(self, requires_grad: bool = True) -> "Placeholder":
        self.requires_grad = requires_grad
        return self

    @property
    def data(self) -> "Placeholder":
        return torch.Tensor.data.__get__(self)

    @data.setter
    def data(self, value: torch.Tensor) -> None:
        # ``weight.data = tensor`` through the module writes the values to the staged copy.
        if (isinstance(value, torch.Tensor) and value.shape == self.shape
                and value.dtype == self.dtype and _all_writable((self,), {})):
            self.staged.write(value)
        else:
            raise RuntimeError(f"{self.weight_name} is offloaded and cannot be replaced: copy_() "
                               f"a tensor of its shape and dtype into it between forwards, or "
                               f"replace it after close()")

    def __reduce_ex__(self, protocol):
        # Pickled or saved alone (torch.save), it has no values to give until its module closes.
        if _all_closed((self,), {}):
            return self.staged.weight_after_close().__reduce_ex__(protocol)
        raise RuntimeError(f"{self.weight_name} is offloaded and holds no values between "
                           f"forwards: save it from state_dict()")

    def __repr__(self, **kwargs) -> str:
        return (f"Placeholder({self.weight_name}, shape={tuple(self.shape)}, dtype={self.dtype}, "
                f"device={self.device})")


def _writes_first(func) -> bool:
    """Whether an aten op writes its first argument in place (``zero_``, ``mul_``, ``copy_``)."""
    arguments = func._schema.arguments
    alias = arguments[0].alias_info if arguments else None
    return alias is not None and alias.is_write and not any(
        argument.alias_info is not None and argument.alias_info.is_write
        for argument in arguments[1:])


def _all_closed(args, kwargs) -> bool:
    return all(leaf.staged is not None and leaf.staged.weight_after_close() is not None
               for leaf in tree_leaves((args, kwargs)) if isinstance(leaf, Placeholder))


def _weight_after_close(leaf):
    return leaf.staged.weight_after_close() if isinstance(leaf, Placeholder) else leaf


def _all_writable(args, kwargs) -> bool:
    return all(leaf.staged is not None and leaf.staged.writable()
               for leaf in tree_leaves((args, kwargs)) if isinstance(leaf, Placeholder))


def _write_through(func, target: Placeholder, args, kwargs) -> Placeholder:
    """Runs an in-place op on the staged values of ``target`` (reading any other placeholder's
    staged values) and writes the result back."""
    values: dict[int, torch.Tensor] = {}

    def value(leaf):
        if not isinstance(leaf, Placeholder):
            return leaf
        if id(leaf) not in values:
            values[id(leaf)] = leaf.staged.read(leaf.device)
        return values[id(leaf)]

    args, kwargs = tree_map(value, (args, kwargs))
    func(*args, **kwargs)
    target.staged.write(values[id(target)])
    return target


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

    def __setitem__(self, name, value) -> None:
        guard = self._guards.get(name)
        if isinstance(value, Placeholder):
            if guard is None:  # under a new name (torch.nn.utils.prune keeps the original so)
                raise RuntimeError(f"{value.weight_name} is offloaded and cannot be registered "
                                   f"again as {name}: do it after close() and offload again")
            if value is not guard[1]:
                self._refuse(name, value)
            # Else the weight's own placeholder, read from this module or one it is tied to:
            # the weight stays.
        elif guard is None or dict.get(self, name) is value:
            dict.__setitem__(self, name, value)
        else:
            self._refuse(name, value)

    def __delitem__(self, name) -> None:
        if name in self._guards:
            self._refuse(name)
        dict.__delitem__(self, name)

    def pop(self, name, *default):
        if name in self._guards:
            self._refuse(name)
        return dict.pop(self, name, *default)

    def update(self, *args, **kwargs) -> None:
        for name, value in dict(*args, **kwargs).items():
            self[name] = value

    def _refuse(self, name: str, value=None) -> None:
        if hasattr(value, "fake_mode"):  # torch.export puts fake weights in before the call
            raise RuntimeError(NOT_CAPTURED)
        weight = self._guards[name][1].weight_name
        raise RuntimeError(f"{weight} is offloaded and cannot be replaced or removed: write into "
                           f"it in place, or replace it after close() and offload again")
