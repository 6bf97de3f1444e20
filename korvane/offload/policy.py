"""What a streamed module keeps on its device, and when weights are fetched, waited for and freed.

The policy sees layers (the submodules whose weights are streamed) and the groups of weights each
one reads; an engine (``korvane.offload.engines``) moves the bytes.
"""

from __future__ import annotations

from collections import Counter
from typing import Hashable, Iterable, Mapping, Optional, Protocol, Sequence


class WeightGroup(Protocol):
    nbytes: int


class Engine(Protocol):
    def fetch(self, group) -> None: ...
    def wait(self, group) -> None: ...
    def free(self, group) -> None: ...


class StreamingPolicy:
    """Decides which groups of weights are on the device for layers called in an order learned
    from the first forward.

    ``needs`` maps each layer to the groups it reads; a group read by several layers stays on the
    device while any of them holds it. A layer's groups are fetched before it runs (or earlier,
    ahead of it) and waited for just before it runs; once it has run, the groups of the next
    ``prefetch`` layers of the learned order are fetched and then those no longer held are freed.
    So the device holds the groups of at most ``1 + prefetch`` layers: the running one and those
    fetched ahead.

    ``begin_forward`` and ``end_forward`` bracket a call of the whole module; ``before`` and
    ``after`` bracket a call of one layer. A layer called outside a forward is fetched and freed
    around its call, with nothing fetched ahead.
    """

    def __init__(self, needs: Mapping[Hashable, Iterable[WeightGroup]], engine: Engine,
                 prefetch: int):
        self._needs = {layer: tuple(groups) for layer, groups in needs.items()}
        self._engine = engine
        self._prefetch = prefetch
        self._order: list = []         # layer calls of one forward, repeats included
        self._learning = True          # until the first forward has ended
        self._cursor = 0               # index in _order of the next expected call
        self._depth = 0                # nesting of begin_forward/end_forward
        self._running: Counter = Counter()
        self._ahead: Sequence = ()     # layers whose groups are fetched before their call
        self._resident: dict = {}      # groups on the device, in the order fetched
        self.resident_bytes = 0
        self.peak_resident_bytes = 0

    def begin_forward(self) -> None:
        self._depth += 1
        if self._depth == 1:
            self._cursor = 0
            self._ahead = tuple(self._order[:self._prefetch])
            self._fetch_ahead()

    def end_forward(self) -> None:
        # An exception may bring us here without a matching begin_forward.
        if self._depth == 0:
            return
        self._depth -= 1
        if self._depth == 0:
            self._learning = False
            self.release_all()

    def before(self, layer) -> None:
        self._running[layer] += 1
        self._ahead = self._advance(layer)
        self._free_unheld()
        groups = self._needs[layer]
        for group in groups:
            self._fetch(group)
        for group in groups:
            self._engine.wait(group)

    def after(self, layer) -> None:
        # A hook that raised before ``before`` ran still brings its layer here.
        if not self._running[layer]:
            return
        self._fetch_ahead()
        self._running[layer] -= 1
        self._free_unheld()

    def release_all(self) -> None:
        """Frees every group on the device; what was learned of the order stays."""
        self._running.clear()
        self._ahead = ()
        self._free_unheld()

    def _advance(self, layer) -> Sequence:
        """Moves the cursor past this call of ``layer``; returns the layers expected next."""
        if not self._depth:
            return ()
        if self._learning:
            self._order.append(layer)
            self._cursor = len(self._order)
            return ()
        found = self._find(layer)
        if found is None:  # a layer the first forward skipped: learn where it runs
            self._order.insert(self._cursor, layer)
            found = self._cursor
        self._cursor = found + 1
        return tuple(self._order[self._cursor:self._cursor + self._prefetch])

    def _find(self, layer) -> Optional[int]:
        for start, stop in ((self._cursor, len(self._order)), (0, self._cursor)):
            try:
                return self._order.index(layer, start, stop)
            except ValueError:
                pass
        return None

    def _fetch_ahead(self) -> None:
        for layer in self._ahead:
            for group in self._needs[layer]:
                self._fetch(group)

    def _fetch(self, group) -> None:
        if group in self._resident:
            return
        self._engine.fetch(group)
        self._resident[group] = None
        self.resident_bytes += group.nbytes
        self.peak_resident_bytes = max(self.peak_resident_bytes, self.resident_bytes)

    def _free_unheld(self) -> None:
        held = {group for layer, calls in self._running.items() if calls
                for group in self._needs[layer]}
        held.update(group for layer in self._ahead for group in self._needs[layer])
        for group in [group for group in self._resident if group not in held]:
            del self._resident[group]
            self.resident_bytes -= group.nbytes
            self._engine.free(group)
