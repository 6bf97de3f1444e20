"""Stands in for torch where no build of it is small enough to install.

It offers what the pool and its tests use: one-dimensional uint8 tensors in ordinary memory,
whose slices are views, and a CUDA that is never available.
"""

from . import cuda

__version__ = "0+stand.in"


class dtype:
    def __init__(self, name):
        self._name = name

    def __repr__(self):
        return f"torch.{self._name}"


uint8 = dtype("uint8")


class Tensor:
    """Its bytes are made when first touched, as torch.empty leaves pages untouched: a test may
    hold many buffers it never writes. Slots, so that torch.empty makes one object and the next
    tensor can take a dropped tensor's place, as it does in torch."""

    __slots__ = ("_size", "_bytes", "_pinned", "__weakref__")

    dtype = uint8

    def __init__(self, size, pinned, shared=None):
        self._size = size
        self._bytes = shared  # a memoryview; a slice of it shares the bytes
        self._pinned = pinned

    @property
    def _data(self):
        if self._bytes is None:
            self._bytes = memoryview(bytearray(self._size))
        return self._bytes

    def numel(self):
        return self._size

    def dim(self):
        return 1

    def is_pinned(self):
        return self._pinned

    def __getitem__(self, index):
        if not isinstance(index, slice):
            raise TypeError("the stand-in indexes with slices only")
        part = self._data[index]
        return Tensor(len(part), self._pinned, part)

    def __setitem__(self, index, value):
        part = self._data[index]
        part[:] = bytes([value]) * len(part)

    def tolist(self):
        return self._data.tolist()

    def resize_(self, size):
        data = bytearray(size)
        kept = min(size, self._size)
        data[:kept] = self._data[:kept]
        self._size, self._bytes = size, memoryview(data)
        return self


def empty(size, *, dtype, pin_memory=False):
    if dtype is not uint8:
        raise TypeError(f"the stand-in makes uint8 tensors only, not {dtype}")
    if pin_memory:
        raise RuntimeError("pinned memory needs CUDA, which the stand-in does not have")
    return Tensor(size, pin_memory)
