"""Pinned host buffers for PyTorch, and a layer that streams a model's weights through them.

    from korvane.offload import PinnedMemoryPool, offload_module

    pool = PinnedMemoryPool()
    with offload_module(model, pool, "cuda") as offloaded, torch.inference_mode():
        output = model(inputs)

The names below load on first use, so that ``import korvane.offload`` by itself imports
neither torch nor the compiled extension; type checkers and editors see them typed.
"""

from typing import TYPE_CHECKING

# The one place the version is written: the build reads it from here into the wheel's metadata.
__version__ = "0.1.0"

__all__ = [
    "__version__",
    "PinnedMemoryPool",
    "release_idle_memory",
    "offload_module",
    "OffloadedModule",
    "offload_checkpoint",
    "Checkpoint",
    "meta_parameters",
    "stage_many",
    "StagedGroup",
    "stage_to_host",
    "StagedTensor",
]

# Where each lazy name lives.
_EXPORTS = {
    "PinnedMemoryPool": "korvane.offload.pinned_pool",
    "release_idle_memory": "korvane.offload.host_memory",
    "offload_module": "korvane.offload.offload",
    "OffloadedModule": "korvane.offload.offload",
    "offload_checkpoint": "korvane.offload.from_checkpoint",
    "Checkpoint": "korvane.offload.checkpoint",
    "meta_parameters": "korvane.offload.checkpoint",
    "stage_many": "korvane.offload.staging",
    "StagedGroup": "korvane.offload.staging",
    "stage_to_host": "korvane.offload.staging",
    "StagedTensor": "korvane.offload.staging",
}

if TYPE_CHECKING:
    from korvane.offload.checkpoint import Checkpoint as Checkpoint
    from korvane.offload.checkpoint import meta_parameters as meta_parameters
    from korvane.offload.from_checkpoint import offload_checkpoint as offload_checkpoint
    from korvane.offload.host_memory import release_idle_memory as release_idle_memory
    from korvane.offload.offload import OffloadedModule as OffloadedModule
    from korvane.offload.offload import offload_module as offload_module
    from korvane.offload.pinned_pool import PinnedMemoryPool as PinnedMemoryPool
    from korvane.offload.staging import StagedGroup as StagedGroup
    from korvane.offload.staging import StagedTensor as StagedTensor
    from korvane.offload.staging import stage_many as stage_many
    from korvane.offload.staging import stage_to_host as stage_to_host
else:
    # Only at run time: a module __getattr__ seen by a type checker would make every misspelt
    # name from this package pass as Any.
    def __getattr__(name: str) -> object:
        if name not in _EXPORTS:
            raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
        import importlib

        value = getattr(importlib.import_module(_EXPORTS[name]), name)
        globals()[name] = value
        return value

    def __dir__() -> list[str]:
        return sorted({*globals(), *_EXPORTS})
