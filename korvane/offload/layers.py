"""Choosing the layers of a module, and grouping its weights by the layers that read them.

A layer is a submodule whose weights are streamed: on the device only around its calls. By
default the layers are the module's repeated blocks and, beside them, every other submodule
that holds weights and is called as a module; see ``default_layers``.
"""

from __future__ import annotations

import itertools
from typing import Iterable

import torch
from torch import nn

__all__ = ["default_layers", "check_layers", "tensors_outside", "group_by_readers"]


def default_layers(module: nn.Module) -> list[nn.Module]:
    """The layers ``offload_module`` streams when none are given, in the order of
    ``module.modules()``.

    Blocks are the items of a ``ModuleList`` or ``nn.Sequential`` whose items (two or more)
    share a class, and the submodules whose class a Hugging Face model names in
    ``_no_split_modules``. From ``module`` down: a child that holds no weights is passed over;
    a child of a class named in ``_no_split_modules`` is a layer unless it holds another such
    child (then it is opened); any other child that is never called itself (a plain
    ``ModuleList`` or ``ModuleDict``) or holds blocks is opened, and its children looked at the
    same way; every other child is a layer of its own (a block, an embedding, a final norm, a
    head, a pooler). The weights of an opened module itself stay resident.
    """
    names = _no_split_names(module)
    holds_blocks: dict[int, bool] = {}
    layers: list[nn.Module] = []
    seen: set[int] = {id(module)}

    def has_blocks(sub: nn.Module) -> bool:
        if id(sub) not in holds_blocks:
            holds_blocks[id(sub)] = any(
                child_is_block or has_blocks(child)
                for child, child_is_block in _children_and_blocks(sub, names))
        return holds_blocks[id(sub)]

    def visit(parent: nn.Module) -> None:
        for child, is_block in _children_and_blocks(parent, names):
            if id(child) in seen or not _holds_weights(child):
                continue
            seen.add(id(child))
            if type(child).__name__ in names:
                kept_whole = not any(type(sub).__name__ in names
                                     for sub in child.modules() if sub is not child)
            else:
                kept_whole = not (never_called(child) or has_blocks(child))
            if kept_whole:
                layers.append(child)
            else:
                visit(child)

    visit(module)
    return layers


def never_called(module: nn.Module) -> bool:
    """Whether ``module`` has no ``forward`` of its own (a plain ``ModuleList``/``ModuleDict``)."""
    return type(module).forward is nn.Module.forward


def check_layers(module: nn.Module, layers: Iterable[nn.Module]) -> list[nn.Module]:
    """``layers`` as a list, if they are distinct, non-overlapping submodules of ``module``
    that can be called; else a one-line ``TypeError``/``ValueError``."""
    if not isinstance(layers, Iterable):
        raise TypeError(f"layers must be an iterable of submodules, not {type(layers).__name__}")
    layers = list(layers)
    members = {id(sub) for sub in module.modules() if sub is not module}
    for layer in layers:
        if not isinstance(layer, nn.Module):
            raise TypeError(f"layers must hold torch.nn.Modules, not {type(layer).__name__}")
        if id(layer) not in members:
            raise ValueError(f"layers must be submodules of module: {type(layer).__name__} is not")
        if never_called(layer):
            raise ValueError(f"a {type(layer).__name__} has no forward and is never called: "
                             "pass its items as layers")
    ids = {id(layer) for layer in layers}
    if len(ids) != len(layers):
        raise ValueError("layers holds a submodule twice")
    for layer in layers:
        if any(id(sub) in ids for sub in layer.modules() if sub is not layer):
            raise ValueError(f"layers overlap: a {type(layer).__name__} holds another of them")
    return layers


def tensors_outside(module: nn.Module, layers: list[nn.Module]) -> list[torch.Tensor]:
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


def group_by_readers(layers: list[nn.Module], kept: list[torch.Tensor]
                     ) -> list[tuple[list[nn.Module], list[torch.Tensor]]]:
    """The streamed tensors (those of the layers, less ``kept``), grouped by the set of layers
    that read them: ``(layers, tensors)`` pairs, a tensor shared by several layers in a group of
    its own."""
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


def _no_split_names(module: nn.Module) -> frozenset[str]:
    """The class names that the Hugging Face models within ``module`` keep whole."""
    names: set[str] = set()
    for sub in module.modules():
        listed = getattr(sub, "_no_split_modules", None)
        if isinstance(listed, (list, tuple, set, frozenset)):
            names.update(name for name in listed if isinstance(name, str))
    return frozenset(names)


def _repeated(container: nn.Module) -> bool:
    """Whether a ``ModuleList`` or ``nn.Sequential`` holds two or more items of one class."""
    items = list(container.children())
    return (isinstance(container, (nn.ModuleList, nn.Sequential)) and len(items) >= 2
            and len({type(item) for item in items}) == 1)


def _children_and_blocks(parent: nn.Module, names: frozenset[str]):
    """Each child of ``parent``, with whether it is a block."""
    repeated = _repeated(parent)
    for child in parent.children():
        yield child, repeated or type(child).__name__ in names


def _holds_weights(module: nn.Module) -> bool:
    return next(itertools.chain(module.parameters(), module.buffers()), None) is not None
