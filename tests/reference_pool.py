"""The pool's rules written as ordinary Python.

The tests run the same behaviour checks against this module and the extension, and drive both
with the same random call sequences; the benchmark times it beside the extension. It follows the
extension statement for statement: the same argument conversion, the same order of attribute
reads and calls, and the same guard against objects that took over a dropped buffer's identity.
"""

import weakref
from typing import Any, Optional

import psutil
import torch

_HEAP_TYPE = 1 << 9


def _type_name(value):
    """What the interpreter reports as a type's name (tp_name) in its messages."""
    cls = type(value)
    if cls.__flags__ & _HEAP_TYPE or cls.__module__ == "builtins":
        return cls.__name__[:200]
    return f"{cls.__module__}.{cls.__name__}"[:200]


def _is_number(value):
    cls = type(value)
    return (
        hasattr(cls, "__index__")
        or hasattr(cls, "__int__")
        or hasattr(cls, "__float__")
        or isinstance(value, complex)
    )


def _int_argument(value, parameter, none_allowed=False):
    if value is None and none_allowed:
        return None
    if type(value) is int:
        return value
    if _is_number(value):
        return int(value)
    raise TypeError(
        f"Argument '{parameter}' has incorrect type (expected int, got {_type_name(value)})"
    )


def _int_result(value, none_allowed=False):
    if value is None and none_allowed:
        return None
    if type(value) is int:
        return value
    if _is_number(value):
        return int(value)
    raise TypeError(f"Expected int, got {_type_name(value)}")


# id(pool) -> {id(buf): [weakref to the buffer leased under that key, still leased?]}
_guards = {}


def _guard_of(pool):
    guard = _guards.get(id(pool))
    if guard is None:
        try:
            weakref.finalize(pool, _guards.pop, id(pool), None)
        except TypeError:
            return None
        guard = _guards[id(pool)] = {}
    return guard


def _note_lease(pool, buf):
    guard = _guard_of(pool)
    if guard is None:
        return
    try:
        ref = weakref.ref(buf)
    except TypeError:
        guard.pop(id(buf), None)
        return
    guard[id(buf)] = [ref, True]


def _is_impostor(pool, buf):
    guard = _guards.get(id(pool))
    entry = guard.get(id(buf)) if guard is not None else None
    return entry is not None and entry[1] and entry[0]() is not buf


def _note_release(pool, buf):
    guard = _guards.get(id(pool))
    entry = guard.get(id(buf)) if guard is not None else None
    if entry is not None:
        entry[1] = False


def _forget_leases(pool):
    guard = _guards.get(id(pool))
    if guard is not None:
        guard.clear()


def _detect_vram_gb():
    if not torch.cuda.is_available():
        return 0.0
    return torch.cuda.get_device_properties(0).total_memory / 1073741824


class PinnedMemoryPool:
    BUCKET_SIZES_BYTES = [1048576, 4194304, 16777216, 67108864, 268435456]

    def __init__(self, max_bytes: "Optional[int]" = None):
        max_bytes = _int_argument(max_bytes, "max_bytes", none_allowed=True)
        if max_bytes is None:
            max_bytes = _int_result(self._compute_default_budget(), none_allowed=True)
        self.max_bytes = max_bytes
        self._buckets = {size: [] for size in self.BUCKET_SIZES_BYTES}
        self._leased = {}
        _forget_leases(self)
        self._stats = {"leases": 0, "evictions": 0, "hits": 0, "misses": 0}

    @staticmethod
    def _compute_default_budget() -> "int":
        total_ram = psutil.virtual_memory().total
        available = psutil.virtual_memory().available
        vram_gb = _detect_vram_gb()
        if vram_gb < 8 or total_ram < 17179869184:
            ratio, ceiling = 0.1, 2147483648
        elif vram_gb < 16 or total_ram < 34359738368:
            ratio, ceiling = 0.15, 8589934592
        else:
            ratio, ceiling = 0.2, 17179869184
        return min(int(total_ram * ratio), int(available * 0.5), ceiling)

    def lease(self, nbytes: "int") -> "torch.Tensor":
        nbytes = _int_argument(nbytes, "nbytes")
        bucket_size = self._round_to_bucket(nbytes)
        bucket = self._buckets[bucket_size]
        if bucket:
            buf = bucket.pop()
            self._stats["hits"] += 1
        else:
            if self._total_allocated() + bucket_size > self.max_bytes:
                self._evict_oldest()
                self._stats["evictions"] += 1
            buf = torch.empty(bucket_size, dtype=torch.uint8, pin_memory=torch.cuda.is_available())
            self._stats["misses"] += 1
        leased = self._leased
        _note_lease(self, buf)
        leased[id(buf)] = bucket_size
        self._stats["leases"] += 1
        return buf

    def release(self, buf: "torch.Tensor") -> "None":
        if id(buf) not in self._leased or _is_impostor(self, buf):
            return
        _note_release(self, buf)
        del self._leased[id(buf)]
        bucket_size = buf.numel()
        if bucket_size in self._buckets:
            self._buckets[bucket_size].append(buf)

    def stats(self) -> "dict[str, Any]":
        report = dict(self._stats)
        report["total_allocated_bytes"] = self._total_allocated()
        report["max_bytes"] = self.max_bytes
        report["leased_count"] = len(self._leased)
        report["is_under_pressure"] = self.is_under_pressure
        return report

    @property
    def is_under_pressure(self) -> "bool":
        if self._stats["leases"] == 0:
            return False
        return self._stats["evictions"] / self._stats["leases"] > 0.1

    def _round_to_bucket(self, nbytes: "int") -> "int":
        nbytes = _int_argument(nbytes, "nbytes")
        for size in self.BUCKET_SIZES_BYTES:
            if size >= nbytes:
                return _int_result(size)
        requested = format(nbytes / 1048576, ".1f")
        largest = format(self.BUCKET_SIZES_BYTES[-1] / 1048576, ".0f")
        raise ValueError(
            "Requested " + requested + "MB exceeds max bucket " + largest
            + "MB. Caller must split tensor into chunks."
        )

    def _evict_oldest(self) -> "None":
        for size in reversed(self.BUCKET_SIZES_BYTES):
            bucket = self._buckets[size]
            if bucket:
                bucket.pop(0)
                return

    def _total_allocated(self) -> "int":
        pooled = sum([size * len(bufs) for size, bufs in self._buckets.items()])
        leased = sum(self._leased.values())
        return _int_result(pooled + leased)
