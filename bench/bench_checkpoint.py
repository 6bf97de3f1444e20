"""Measures how fast the background checkpoint reader fills pool buffers from safetensors files.

Writes a checkpoint of ``--mib`` MiB (``--shards`` files of layers shaped like a transformer
block's weights) to a temporary folder, reads it once to warm the page cache, then times, in
alternation in one run: the background reader reading every layer into pool buffers (one
request per layer, tensors laid end to end and straddling buffers as the offload layer lays
them), and the floor, a plain sequential ``readinto`` of each file into a preallocated buffer
(one for all files, so that both fill as much memory).

    python -I bench/bench_checkpoint.py [--mib 384] [--shards 4] [--repeat 7]
"""

import argparse
import bisect
import itertools
import statistics
import tempfile
import time
from pathlib import Path

import torch
from safetensors.torch import save_file

from korvane.offload.checkpoint import Checkpoint, CheckpointReader, Piece
from korvane.offload.pinned_pool import PinnedMemoryPool

MIB = 1 << 20
READ_TARGET = 0.8  # the reader reaches at least this share of the plain readinto's throughput
ALIGNMENT = 64
# A transformer block's weights relative to its width: q, k, v, o, gate, up, down, two norms.
BLOCK = [(1, 1), (1, 4), (1, 4), (1, 1), (3, 1), (3, 1), (1, 3)]


def write_checkpoint(folder: Path, mib: int, shards: int, width: int = 1024) -> list[list[str]]:
    """Writes ``shards`` files of float16 layers of ``width``, about ``mib`` MiB in all; returns
    each layer's keys."""
    layer_bytes = sum(width * rows * width // cols * 2 for rows, cols in BLOCK) + 4 * width
    count = max(shards, round(mib * MIB / layer_bytes))
    layers = []
    for shard in range(shards):
        tensors = {}
        for index in range(shard, count, shards):
            keys = []
            for part, (rows, cols) in enumerate(BLOCK):
                keys.append(f"layers.{index}.w{part}")
                tensors[keys[-1]] = torch.empty(width * rows, width // cols,
                                                dtype=torch.float16).uniform_()
            for norm in ("n0", "n1"):
                keys.append(f"layers.{index}.{norm}")
                tensors[keys[-1]] = torch.ones(width, dtype=torch.float16)
            layers.append(keys)
        save_file(tensors, folder / f"model-{shard:05d}.safetensors")
    return layers


def lay_out(pool: PinnedMemoryPool,
            nbytes: list[int]) -> tuple[list[torch.Tensor], list[list[Piece]]]:
    """Leases a run of buffers, largest buckets first, and lays the tensors end to end in it,
    each at a multiple of 64 bytes, cut where a buffer ends."""
    starts, end = [], 0
    for size in nbytes:
        starts.append(-(-end // ALIGNMENT) * ALIGNMENT)
        end = starts[-1] + size
    sizes = []
    for bucket in sorted(pool.BUCKET_SIZES_BYTES, reverse=True):
        count, end = divmod(end, bucket)
        sizes += [bucket] * count
    sizes += [min(pool.BUCKET_SIZES_BYTES)] * (end > 0)
    buffers = [pool.lease(size) for size in sizes]
    bounds = [0, *itertools.accumulate(sizes)]
    pieces = []
    for start, size in zip(starts, nbytes):
        index, offset, parts = bisect.bisect_right(bounds, start) - 1, start, []
        while offset < start + size:
            length = min(start + size, bounds[index + 1]) - offset
            parts.append((buffers[index], offset - bounds[index], length))
            offset += length
            index += 1
        pieces.append(parts)
    return buffers, pieces


def measure(folder: Path, layers: list[list[str]], repeat: int) -> dict:
    checkpoint = Checkpoint(sorted(folder.glob("*.safetensors")))
    pool = PinnedMemoryPool(4 * checkpoint.nbytes + 512 * MIB)
    requests = []
    for keys in layers:
        buffers, pieces = lay_out(pool, [checkpoint[key].nbytes for key in keys])
        requests.append((buffers, list(zip(keys, pieces))))
    sizes = {path: Path(path).stat().st_size for path in checkpoint.files}
    # As much memory as the reader fills, so that neither reads into memory the cache holds.
    floor_buffer = torch.empty(sum(sizes.values()), dtype=torch.uint8)
    floor_view = floor_buffer.numpy().data

    def plain() -> None:
        start = 0
        for path, size in sizes.items():
            with open(path, "rb", buffering=0) as file:
                view, done = floor_view[start:start + size], 0
                while done < size:
                    done += file.readinto(view[done:])
            start += size

    with CheckpointReader(checkpoint) as reader:
        def background() -> None:
            pending = [reader.submit(reads) for _, reads in requests]
            for request in pending:
                request.wait()

        plain()  # warms the page cache
        background()
        timings: dict[str, list[float]] = {"reader": [], "plain": []}
        for _ in range(repeat):
            for name, run in (("reader", background), ("plain", plain)):
                start = time.perf_counter()
                run()
                timings[name].append(time.perf_counter() - start)
        stats = reader.stats()
    for buffers, _ in requests:
        for buffer in buffers:
            pool.release(buffer)
    tensor_bytes, file_bytes = checkpoint.nbytes, sum(sizes.values())
    # Each pair of runs meets the machine in one state, so the ratio is taken pair by pair.
    ratio = statistics.median(tensor_bytes / reader / (file_bytes / plain)
                              for reader, plain in zip(timings["reader"], timings["plain"]))
    return dict(tensor_bytes=tensor_bytes, file_bytes=file_bytes, tensors=len(checkpoint),
                files=len(sizes), layers=len(layers), ratio=ratio,
                reader=statistics.median(timings["reader"]),
                plain=statistics.median(timings["plain"]), read_bytes=stats["read_bytes"])


def report(row: dict) -> None:
    reader_rate = row["tensor_bytes"] / row["reader"] / 1e9
    plain_rate = row["file_bytes"] / row["plain"] / 1e9
    ratio = row["ratio"]
    print(f"torch {torch.__version__}; {row['tensors']} tensors in {row['layers']} layers, "
          f"{row['files']} files, {row['tensor_bytes'] / MIB:.1f} MiB; warm page cache; "
          f"median GB/s\n")
    print(f"  {'background reader into pool buffers (one request per layer)':64}"
          f"{reader_rate:8.2f}")
    print(f"  {'plain sequential readinto of each file':64}{plain_rate:8.2f}")
    print(f"\n  {'target (median over the pairs of runs)':64}{'measured':>9}{'met':>5}")
    print(f"  {'reader GB/s / plain readinto GB/s, at least 0.8':64}{ratio:9.2f}"
          f"{'yes' if ratio >= READ_TARGET else 'NO':>5}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=384, help="the checkpoint's size")
    parser.add_argument("--shards", type=int, default=4, help="files the checkpoint is cut into")
    parser.add_argument("--repeat", type=int, default=7, help="timed reads of each kind")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        layers = write_checkpoint(Path(folder), args.mib, args.shards)
        report(measure(Path(folder), layers, args.repeat))


if __name__ == "__main__":
    main()
