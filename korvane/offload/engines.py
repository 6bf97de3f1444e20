"""How a streamed module's weights move between pooled host buffers and its device.

An engine works on weight groups (``korvane.offload.offload``'s ``_Weights``):
``group.load(device)`` makes the group's device tensors (on CUDA, allocated on the current stream)
and returns the bytes it copied; ``group.attach()`` points the module's parameters and buffers at
them and ``group.detach()`` back at their placeholders; ``group.unload()`` drops the device
tensors. The policy (``korvane.offload.policy``) decides when.
"""

from __future__ import annotations

import itertools
import operator
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
        self.fetches += 1
        self.bytes_in_place += group.nbytes - copied
        if copied:
            elapsed = time.perf_counter() - start
            self.copies += 1
            self.bytes_copied += copied
            self.copy_seconds += elapsed
            self.wait_seconds += elapsed

    def wait(self, group) -> None:
        pass

    # The group's own steps, as C callables: no Python frame of ours per layer call.
    attach = staticmethod(operator.methodcaller("attach"))
    detach = staticmethod(operator.methodcaller("detach"))
    free = staticmethod(operator.methodcaller("unload"))

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


class ReadingEngine:
    """Runs groups that stay in a checkpoint between forwards on top of another engine (CPU or
    CUDA), which moves every group's bytes to the device.

    A group with ``reads = True`` has no pool buffers of its own until it is fetched:
    ``group.start_read()`` leases them and queues the checkpoint reads on a background reader,
    returning a request with ``done()``, ``succeeded()``, ``wait()`` and ``cancel()``;
    ``group.end_read()`` gives them back. The reads of at most ``1 + prefetch`` groups hold
    buffers at once. Once a forward has shown the order in which such groups are fetched, each
    group freed starts the read of the next one in that order (after the last, the first, for
    the next forward), so that reads run ahead of the layers that need them while those before
    compute. A group whose read is done when fetched is handed to the inner engine at once;
    else at ``wait``, which waits for the read and raises its error (naming the file and key).
    Other groups go straight to the inner engine.
    """

    def __init__(self, inner, prefetch: int, read_stats=lambda: {}):
        self._inner = inner
        self._window = 1 + prefetch
        self._read_stats = read_stats
        self._reads: dict = {}      # group -> its read request, in the order started
        self._fetched: set = set()  # groups the policy fetched (the others were read ahead)
        self._loaded: set = set()   # groups handed to the inner engine
        self._order: list = []      # groups that read, in the order first fetched
        self._learned = False       # whether a group was fetched a second time
        self._last = None           # the group that read fetched last

    def fetch(self, group) -> None:
        if not getattr(group, "reads", False):
            self._inner.fetch(group)
            return
        self._learn(group)
        request = self._reads.get(group)
        if request is not None and group not in self._fetched and (
                request.done() and not request.succeeded()):
            self._end_read(group)  # read ahead and failed: the file may be back, read it again
        if group not in self._reads:
            self._make_room()
            self._reads[group] = group.start_read()
        self._fetched.add(group)
        if self._reads[group].succeeded():
            self._load(group)

    def wait(self, group) -> None:
        if group in self._reads and group not in self._loaded:
            self._reads[group].wait()
            self._load(group)
        self._inner.wait(group)

    def attach(self, group) -> None:
        self._inner.attach(group)

    def detach(self, group) -> None:
        self._inner.detach(group)

    def free(self, group) -> None:
        if not getattr(group, "reads", False):
            self._inner.free(group)
            return
        self._end_read(group)
        self._read_ahead(group)

    def stats(self) -> dict:
        return {**self._inner.stats(), **self._read_stats()}

    def _load(self, group) -> None:
        self._inner.fetch(group)
        self._loaded.add(group)

    def _end_read(self, group) -> None:
        request = self._reads.pop(group, None)
        try:
            if group in self._loaded:
                self._loaded.discard(group)
                self._inner.free(group)
        finally:
            self._fetched.discard(group)
            if request is not None:
                request.cancel()
                group.end_read()

    def _learn(self, group) -> None:
        if group in self._order:
            self._learned = True
        elif self._last in self._order:
            self._order.insert(self._order.index(self._last) + 1, group)
        else:
            self._order.append(group)
        self._last = group

    def _make_room(self) -> None:
        """Gives back the buffers of reads started ahead that the policy did not fetch yet,
        the latest first, until one more read fits."""
        for group in reversed(list(self._reads)):
            if len(self._reads) < self._window:
                return
            if group not in self._fetched:
                self._end_read(group)

    def _read_ahead(self, freed) -> None:
        if not self._learned or freed not in self._order:
            return
        start = self._order.index(freed) + 1
        for group in itertools.chain(self._order[start:], self._order[:start]):
            if len(self._reads) >= self._window:
                return
            if group not in self._reads:
                self._reads[group] = group.start_read()
