"""A pool of page-locked ("pinned") host buffers for moving tensors between GPU and host.

`PinnedMemoryPool.lease` hands out a one-dimensional `torch.uint8` buffer rounded up to one of
five bucket sizes, `release` takes it back for the next lease of that size, and a soft byte
budget evicts pooled buffers when new ones must be allocated. No call takes a lock or starts a
thread; every call runs under the interpreter's lock.
"""

from typing import Optional, TypedDict, type_check_only

import psutil as psutil  # type: ignore[import-untyped]  # psutil ships no type information
import torch as torch

def _detect_vram_gb() -> float: ...

@type_check_only
class PoolStats(TypedDict):
    """What `PinnedMemoryPool.stats()` reports; a name for type checkers only."""

    leases: int
    """Leases made, hits and misses together."""
    evictions: int
    """Misses that found the budget exceeded: each evicts one pooled buffer first, if there is
    one, and counts whether or not there was."""
    hits: int
    """Leases served by a pooled buffer."""
    misses: int
    """Leases that allocated a new buffer."""
    total_allocated_bytes: int
    """The bucket sizes of the pooled and the leased buffers, added up."""
    max_bytes: int
    """The byte budget."""
    leased_count: int
    """Buffers leased and not yet released."""
    is_under_pressure: bool
    """True when evictions exceed one tenth of the leases."""

class PinnedMemoryPool:
    """A pool of pinned `torch.uint8` host buffers in five bucket sizes under a soft budget.

    Make one pool per process and lease through it:

        pool = PinnedMemoryPool()          # budget from this machine's memory
        pool = PinnedMemoryPool(2 << 30)   # or a budget of 2 GiB
        buf = pool.lease(nbytes)           # a whole bucket of at least nbytes
        buf[:nbytes].copy_(src)            # copy through it, and wait for any asynchronous copy
        pool.release(buf)                  # back to its bucket for the next lease of that size
        pool.stats()                       # what the pool did, as a dict

    Most callers lease through `korvane.offload.stage_to_host`, `stage_many` or
    `offload_module`, which release for them; `korvane.offload.release_idle_memory(pool)`
    gives the pooled buffers back to the system.

    Buckets: 1, 4, 16, 64 and 256 MiB (`BUCKET_SIZES_BYTES`). A lease gets the whole buffer of
    the smallest bucket that holds the request, never a slice of one.

    Budget: the pool counts the bucket sizes of its pooled and leased buffers. A lease that must
    allocate while that count plus the new bucket exceeds `max_bytes` first evicts one pooled
    buffer, the oldest of the largest non-empty bucket, then allocates all the same: the budget
    is soft and a lease never fails for want of it. Without an explicit budget the pool takes
    the smallest of a share of total RAM (10%, 15% or 20%, by the RAM and the memory of CUDA
    device 0), half of the available RAM, and a ceiling of 2, 8 or 16 GiB for the same tiers.

    Buffers are allocated with `pin_memory=True` where CUDA is available, in ordinary host
    memory otherwise. Release every leased buffer exactly once, and only after any asynchronous
    copy through it has finished. A buffer dropped without `release` is freed by torch, but its
    bucket size stays counted for the life of the pool, so later misses evict sooner.

    Failures: the constructor raises what psutil or the CUDA query raises while it works out the
    default budget. Integer arguments take an `int` or anything `int()` converts (a float is
    truncated); a string, bytes, a list or `None` (but for the budget) raise `TypeError` before
    anything changes. Every other exception, from torch or from an override, reaches the caller
    unchanged, and the steps before it stay done.
    """

    BUCKET_SIZES_BYTES: list[int]
    """Bucket sizes in bytes, smallest first; a subclass may set its own."""
    max_bytes: int
    """The soft byte budget; see the class documentation."""
    _buckets: dict[int, list[torch.Tensor]]
    _leased: dict[int, int]
    _stats: dict[str, int]
    def __init__(self, max_bytes: Optional[int] = None) -> None:
        """A pool with a budget of `max_bytes` bytes, or one derived from this machine's memory
        when it is None. Calling it on an existing pool starts that pool afresh, forgetting its
        buffers and counters.
        """

    @staticmethod
    def _compute_default_budget() -> int: ...
    def lease(self, nbytes: int) -> torch.Tensor:
        """A one-dimensional `torch.uint8` buffer of the smallest bucket that holds `nbytes`.

        Zero and negative requests get the smallest bucket. The buffer released last to that
        bucket is handed out again as it is, not cleared (a hit); otherwise a new one is
        allocated (a miss), after an eviction when the budget would be exceeded. A request above
        the largest bucket raises `ValueError` and changes nothing: split such a tensor into
        chunks. If the allocation fails its exception propagates and nothing is leased; an
        eviction made just before stays done.
        """

    def release(self, buf: torch.Tensor) -> None:
        """Returns `buf`, leased from this pool, to its bucket for the next lease of that size.

        Anything else is ignored: an object this pool did not lease, a buffer released already,
        a view or slice of a leased buffer. A buffer resized in place is filed under its size
        now, or dropped when no bucket has that size. Release never evicts.
        """

    def stats(self) -> PoolStats:
        """A new dict of the counters, the accounted bytes, the budget, the number of leased
        buffers and the pressure flag."""

    @property
    def is_under_pressure(self) -> bool:
        """True when evictions exceed one tenth of the leases, a sign that the budget is small
        for the buffers in use."""

    def _round_to_bucket(self, nbytes: int) -> int: ...
    def _evict_oldest(self) -> None: ...
    def _total_allocated(self) -> int: ...
