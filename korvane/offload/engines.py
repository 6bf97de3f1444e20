"""How a streamed module's weights move between pooled host buffers and its device.

An engine works on weight groups (``korvane.offload.offload``'s ``_Weights``):
``group.load(device)`` makes the group's device tensors (on CUDA, allocated on the current stream)
and returns the bytes it copied; ``group.attach()`` points the module's parameters and buffers at
them and ``group.detach()`` back at their placeholders; ``group.unload()`` drops the device
tensors. The policy (``korvane.offload.policy``) decides when.
"""

from __future__ import annotations

import time

import torch


class CpuEngine:
    """Uses a group's weights in place, as views of the pool buffers that hold them; only a
    weight that straddles two buffers is copied, into memory kept from one load to the next.
    The copy is done, and the forward has waited for it, when ``fetch`` returns."""

    def __init__(self):
        self.device = torch.device("cpu")
        self.fetches = 0
        self.copies = 0
        self.bytes_copied = 0
        self.bytes_in_place = 0
        self.copy_seconds = 0.0
        self.wait_seconds = 0.0

    def fetch(self, group) -> None:
        start = time.perf_counter()
        copied = group.load(self.device)
        elapsed = time.perf_counter() - start
        self.fetches += 1
        self.copies += copied > 0
        self.bytes_copied += copied
        self.bytes_in_place += group.nbytes - copied
        self.copy_seconds += elapsed
        self.wait_seconds += elapsed

    def wait(self, group) -> None:
        pass

    def attach(self, group) -> None:
        group.attach()

    def detach(self, group) -> None:
        group.detach()

    def free(self, group) -> None:
        group.unload()

    def stats(self) -> dict:
        return {"bytes_copied": self.bytes_copied, "bytes_in_place": self.bytes_in_place,
                "fetches": self.fetches, "copies": self.copies, "copy_seconds": self.copy_seconds,
                "wait_seconds": self.wait_seconds}


class CudaEngine:
    """Copies groups to a CUDA device on a copy stream of its own, so that they overlap the
    compute queued on the caller's stream.

    ``fetch`` queues a group's copies on the copy stream behind a start event and in front of a
    ready event; ``wait`` makes the caller's (compute) stream wait for the ready event, without
    a host sync, and records the group's tensors as used by that stream, so that the caching
    allocator reuses their memory only after the work queued there has run, views that outlive
    the group included; only then is the group attached to its weights. ``free`` notes how far
    the compute stream had got; the next ``fetch`` waits on the host until it has got that far,
    so that it reuses the freed memory instead of adding to it. Compute is already queued past
    that point when a fetch follows a layer's call, so the wait does not starve it.
    """

    def __init__(self, device: torch.device):
        self.device = device
        self.fetches = 0
        self.copies = 0
        self.bytes_copied = 0
        self._copy_stream = torch.cuda.Stream(device)
        self._ready: dict = {}             # group -> event behind its copies
        self._freed: list = []             # compute stream position at each free since a fetch
        self._copy_spans: list = []        # (start, ready) timing events of each fetch
        self._waits: list = []             # (compute reached the wait, ready) timing events
        self._copy_seconds = 0.0
        self._wait_seconds = 0.0

    def fetch(self, group) -> None:
        for freed in self._freed:
            freed.synchronize()
        self._freed.clear()
        start = torch.cuda.Event(enable_timing=True)
        ready = torch.cuda.Event(enable_timing=True)
        with torch.cuda.stream(self._copy_stream):
            start.record()
            self.bytes_copied += group.load(self.device)
            ready.record()
        self._ready[group] = ready
        self._copy_spans.append((start, ready))
        self.fetches += 1
        self.copies += 1
        self._fold_timings(synchronize=False)

    def wait(self, group) -> None:
        compute = torch.cuda.current_stream(self.device)
        ready = self._ready.pop(group, None)
        if ready is None:  # waited for since its fetch
            return
        reached = torch.cuda.Event(enable_timing=True)
        reached.record(compute)
        compute.wait_event(ready)
        for tensor in group.tensors:
            tensor.record_stream(compute)
        self._waits.append((reached, ready))

    def attach(self, group) -> None:
        group.attach()

    def detach(self, group) -> None:
        group.detach()

    def free(self, group) -> None:
        freed = torch.cuda.Event()
        freed.record(torch.cuda.current_stream(self.device))
        self._freed.append(freed)
        self._ready.pop(group, None)
        group.unload()

    def stats(self) -> dict:
        self._fold_timings(synchronize=True)
        return {"bytes_copied": self.bytes_copied, "bytes_in_place": 0,
                "fetches": self.fetches, "copies": self.copies,
                "copy_seconds": self._copy_seconds, "wait_seconds": self._wait_seconds}

    def _fold_timings(self, synchronize: bool) -> None:
        """Adds the spans whose events have completed to the totals (all of them, after a sync)."""
        if synchronize:
            torch.cuda.synchronize(self.device)
        self._copy_spans, copied = _completed(self._copy_spans, synchronize)
        self._waits, waited = _completed(self._waits, synchronize)
        self._copy_seconds += sum(start.elapsed_time(end) for start, end in copied) / 1e3
        # The compute stream stood still from reaching the wait until the copies were ready.
        self._wait_seconds += sum(max(0.0, reached.elapsed_time(ready))
                                  for reached, ready in waited) / 1e3


def _completed(spans: list, all_done: bool) -> tuple[list, list]:
    """Splits event pairs into those still pending and those both of whose events completed."""
    if all_done:
        return [], spans
    pending: list = []
    done: list = []
    for span in spans:
        (done if span[0].query() and span[1].query() else pending).append(span)
    return pending, done
