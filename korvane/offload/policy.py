"""What a streamed module keeps on its device, and when weights are fetched, waited for,
attached, detached and freed.

The policy sees layers (the submodules whose weights are streamed) and the groups of weights each
one reads; an engine (``korvane.offload.engines``) moves the bytes and points the weights at them.
"""

from __future__ import annotations

from collections import Counter
from typing import Hashable, Iterable, Mapping, Optional, Protocol, Sequence


class WeightGroup(Protocol):
    nbytes: int


class Engine(Protocol):
    def fetch(self, group) -> None: ...
    def wait(self, group) -> None: ...
    def attach(self, group) -> None: ...
    def detach(self, group) -> None: ...
    def free(self, group) -> None: ...


class StreamingPolicy:
    """Decides which groups of weights are on the device for layers called in an order learned
    from the first forward.

    ``needs`` maps each layer to the groups it reads. A layer's groups are fetched before it runs
    (or earlier, ahead of it), waited for and attached just before it runs, and detached once it
    has run; then the groups of the next ``prefetch`` layers of the learned order are fetched and
    those no longer held are freed. A group read by several layers (shared) is held from its
    first reader to its last within a forward, so it is copied once per forward. The device holds
    at most the groups of ``1 + prefetch`` layers, the running one and those fetched ahead, plus
    the shared groups.

    ``begin_forward`` and ``end_forward`` bracket a call of the whole module; ``before`` and
    ``after`` bracket a call of one layer. Once a forward ends, the groups of the first
    ``prefetch`` layers of the next one are fetched, and stay until it starts (or until
    ``release_all``). A layer called outside a forward is fetched and freed
    around its call, with nothing fetched ahead. The work per layer call does not grow with the
    number of layers.
    """

    def __init__(self, needs: Mapping[Hashable, Iterable[WeightGroup]], engine: Engine,
                 prefetch: int):
        self._needs = {layer: tuple(groups) for layer, groups in needs.items()}
        readers = Counter(group for groups in self._needs.values() for group in set(groups))
        self.shared = frozenset(group for group, count in readers.items() if count > 1)
        self._engine_fetch, self._wait, self._attach = engine.fetch, engine.wait, engine.attach
        self._engine_detach, self._engine_free = engine.detach, engine.free
        self._prefetch = prefetch
        self._order: list = []         # layer calls of one forward, repeats included
        self._ahead_at: list = [()]    # index in _order -> the layers from there to prefetch
        self._last_read: dict = {}     # shared group -> index in _order of its last reader
        self._learning = True          # until the first forward has ended
        self._cursor = 0               # index in _order of the next expected call
        self._depth = 0                # nesting of begin_forward/end_forward
        self._running: dict = {}       # layer -> calls of it under way
        self._attached: dict = {}      # group -> running readers it is attached for
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
            if self._learning:
                self._learning = False
                self._index_order()
            self.release_all()
            # The first layers of the next forward are fetched now, so that their copies run
            # while the caller works between forwards (a generate loop samples a token).
            self._ahead = tuple(self._order[:self._prefetch])
            self._fetch_ahead()

    def before(self, layer) -> None:
        running = self._running
        running[layer] = running.get(layer, 0) + 1
        ahead = self._ahead
        expected = bool(ahead) and ahead[0] is layer
        cursor, order = self._cursor, self._order
        if self._depth and not self._learning and cursor < len(order) and order[cursor] is layer:
            self._cursor = cursor + 1
            self._ahead = self._ahead_at[cursor + 1]
        else:
            self._ahead = self._advance(layer)
        # The layer expected next finds only held groups on the device: the last after() freed
        # the rest.
        resident = self._resident
        if resident and not expected:
            self._free_unheld()
        groups = self._needs[layer]
        for group in groups:
            if group not in resident:
                self._fetch(group)
        attached = self._attached
        for group in groups:
            if group not in attached:
                self._wait(group)
                self._attach(group)
                attached[group] = 1
            else:
                attached[group] += 1

    def after(self, layer) -> None:
        # A hook that raised before ``before`` ran still brings its layer here.
        running = self._running
        calls = running.get(layer, 0)
        if not calls:
            return
        if calls > 1:
            running[layer] = calls - 1
        else:
            del running[layer]
        groups = self._needs[layer]
        self._detach(groups)
        resident = self._resident
        for ahead in self._ahead:
            for group in self._needs[ahead]:
                if group not in resident:
                    self._fetch(group)
        # Only this layer's groups can have stopped being held since before() freed the rest.
        for group in groups:
            if group in resident and not self._held(group):
                self._free(group)

    @property
    def running(self) -> bool:
        """Whether a forward or a layer call is under way."""
        return bool(self._depth or self._running)

    def release_all(self) -> None:
        """Detaches and frees every group on the device; what was learned of the order stays."""
        self.release_running()
        self._ahead = ()
        self._free_unheld()

    def release_running(self) -> None:
        """Ends every layer call under way (one that was interrupted): detaches every group and
        frees those not fetched ahead."""
        self._running.clear()
        self._detach(list(self._attached), every_reader=True)
        self._free_unheld()

    def _detach(self, groups: Iterable, every_reader: bool = False) -> None:
        attached = self._attached
        for group in groups:
            readers = attached.get(group, 0)
            if readers > 1 and not every_reader:
                attached[group] = readers - 1
            elif readers:
                del attached[group]
                self._engine_detach(group)

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
            self._index_order()
            found = self._cursor
        self._cursor = found + 1
        return self._ahead_at[self._cursor]

    def _find(self, layer) -> Optional[int]:
        if self._cursor < len(self._order) and self._order[self._cursor] is layer:
            return self._cursor
        for start, stop in ((self._cursor, len(self._order)), (0, self._cursor)):
            try:
                return self._order.index(layer, start, stop)
            except ValueError:
                pass
        return None

    def _index_order(self) -> None:
        """Notes, for each place in the learned order, the layers expected next and the last
        reader of each shared group."""
        order = self._order
        self._ahead_at = [tuple(order[index:index + self._prefetch])
                          for index in range(len(order) + 1)]
        self._last_read = {}
        for index, layer in enumerate(order):
            for group in self._needs[layer]:
                if group in self.shared:
                    self._last_read[group] = index

    def _fetch_ahead(self) -> None:
        for layer in self._ahead:
            for group in self._needs[layer]:
                self._fetch(group)

    def _fetch(self, group) -> None:
        if group in self._resident:
            return
        self._engine_fetch(group)
        self._resident[group] = None
        self.resident_bytes += group.nbytes
        if self.resident_bytes > self.peak_resident_bytes:
            self.peak_resident_bytes = self.resident_bytes

    def _held(self, group) -> bool:
        """Whether a running layer or one fetched ahead reads ``group``, or it is a shared group
        still to be read in this forward."""
        needs = self._needs
        for layer in self._running:
            if group in needs[layer]:
                return True
        for layer in self._ahead:
            if group in needs[layer]:
                return True
        if not self._depth or group not in self.shared:
            return False
        return self._learning or self._last_read.get(group, -1) >= self._cursor

    def _free_unheld(self, candidates: Optional[Iterable] = None) -> None:
        """Frees the resident groups (of ``candidates``, if given) that nothing holds."""
        resident = self._resident
        unheld = [group for group in (list(resident) if candidates is None else candidates)
                  if group in resident and not self._held(group)]
        for group in unheld:
            self._free(group)

    def _free(self, group) -> None:
        del self._resident[group]
        self.resident_bytes -= group.nbytes
        self._engine_free(group)
