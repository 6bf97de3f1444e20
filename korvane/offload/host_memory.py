"""Giving a pool's idle pinned memory back to the system."""

import torch

from korvane.offload.pinned_pool import PinnedMemoryPool

__all__ = ["release_idle_memory"]


def release_idle_memory(pool: PinnedMemoryPool) -> int:
    """Drops every buffer that waits in ``pool`` for its next lease and returns their bytes.

    Use it when a pool's work is done for a while, for instance after ``close()`` of an
    ``OffloadedModule``, which leaves every buffer pooled, above the budget if need be::

        offloaded.close()
        freed = release_idle_memory(pool)

    Each buffer goes through the pool's own ``_evict_oldest()``, so the largest bucket empties
    first, oldest buffer first, and a subclass's override decides as it does for a lease over
    the budget. Leased buffers stay leased. Afterwards ``stats()`` reports
    ``total_allocated_bytes`` lower by the returned bytes and every counter as before:
    ``evictions`` counts misses over the budget, which this is not. The next lease of each
    bucket is a miss.

    Where CUDA is available, torch keeps the pinned memory of a dropped buffer cached for its
    next pinned allocation; ``torch.accelerator.empty_host_cache()``, where this torch has it,
    then returns what nothing else holds to the system. A buffer still referenced elsewhere
    is freed when its last reference goes.
    """
    if not isinstance(pool, PinnedMemoryPool):
        raise TypeError(f"pool must be a PinnedMemoryPool, not {type(pool).__name__}")
    before = pool._total_allocated()
    for _ in range(sum(len(buffers) for buffers in pool._buckets.values())):
        pool._evict_oldest()
    if torch.cuda.is_available():
        _empty_host_cache()
    return before - pool._total_allocated()


def _empty_host_cache() -> None:
    empty = getattr(getattr(torch, "accelerator", None), "empty_host_cache", None)
    if empty is not None:
        empty()
