"""Pinned host buffers for PyTorch offloading, and the layer that streams a module's weights.

``offload_module`` and ``OffloadedModule`` (``korvane.offload.offload``), ``offload_checkpoint``
(``korvane.offload.from_checkpoint``), ``Checkpoint`` and ``meta_parameters``
(``korvane.offload.checkpoint``), ``stage_many`` and
``StagedGroup`` (``korvane.offload.staging``) are imported on first use, so that importing the
extension ``korvane.offload.pinned_pool`` alone does not import torch.
"""

_EXPORTS = {
    "offload_module": "korvane.offload.offload",
    "OffloadedModule": "korvane.offload.offload",
    "offload_checkpoint": "korvane.offload.from_checkpoint",
    "meta_parameters": "korvane.offload.checkpoint",
    "Checkpoint": "korvane.offload.checkpoint",
    "stage_many": "korvane.offload.staging",
    "StagedGroup": "korvane.offload.staging",
}

__all__ = list(_EXPORTS)


def __getattr__(name: str):
    if name not in _EXPORTS:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    import importlib

    return getattr(importlib.import_module(_EXPORTS[name]), name)


def __dir__():
    return sorted([*globals(), *_EXPORTS])
