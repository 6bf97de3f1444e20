"""Measures what staging holds and how fast a packed round trip runs, for two models.

For the offload demo's model and for the state dict of a transformer encoder built in-process
(random weights): the pool bytes held against the model's bytes when every tensor is staged on
its own (`stage_to_host`) and when all are packed into one group (`stage_many`); and the
throughput of a packed round trip (`stage_many`, `restore_into` preallocated tensors, `release`
on a warm pool) against the floor, `h.copy_(t)` into preallocated host tensors and back, timed
in alternation in the same run. Throughput counts the model's bytes twice, out and back.

    python -I bench/bench_staging.py [--demo-mib 1024] [--layers 24] [--d-model 1024] [--repeat 9]
"""

import argparse
import os
import statistics
import time
from typing import Callable

# With a second copy thread, a copy lasts as long as the slower thread, and on a machine whose
# other core is busy that is many times the copy itself; one thread times the copies alone.
os.environ.setdefault("OMP_NUM_THREADS", "1")

import torch  # noqa: E402

from korvane.offload import demo  # noqa: E402
from korvane.offload.pinned_pool import PinnedMemoryPool  # noqa: E402
from korvane.offload.staging import stage_many  # noqa: E402

MIB = 1 << 20
HELD_TARGET = 1.01  # packed staging holds at most this times the model, plus one smallest bucket
THROUGHPUT_TARGET = 0.9  # a packed round trip reaches at least this share of the floor's


def demo_model(total_mib: int, device: torch.device) -> dict[str, torch.Tensor]:
    generator = torch.Generator().manual_seed(0)
    sizes = demo.layer_sizes(20, total_mib * MIB, seed=0)
    return {f"layer{index}": demo.make_layer(index, size, device, generator)
            for index, size in enumerate(sizes)}


def transformer_model(layers: int, d_model: int, device: torch.device) -> dict[str, torch.Tensor]:
    layer = torch.nn.TransformerEncoderLayer(d_model, nhead=16, batch_first=True)
    encoder = torch.nn.TransformerEncoder(layer, layers, enable_nested_tensor=False)
    return encoder.to(device).state_dict()


def sync(device: torch.device) -> None:
    if device.type == "cuda":
        torch.cuda.synchronize(device)


def round_trip_seconds(tensors: dict[str, torch.Tensor], device: torch.device,
                       repeat: int) -> tuple[float, float, float]:
    """Median seconds of a packed round trip and of the floor's, taken in alternation, and the
    median of the floor's time over the packed one's in each pair: a pair meets the machine in
    one state, so the ratio scatters less than the times when other work comes and goes."""
    pool = PinnedMemoryPool(64 << 30)
    sources = list(tensors.values())
    pinned = torch.cuda.is_available()
    hosts = [torch.empty_like(tensor, device="cpu", pin_memory=pinned) for tensor in sources]
    targets = [torch.empty_like(tensor) for tensor in sources]

    def packed():
        with stage_many(pool, sources) as group:
            group.restore_into(targets)

    def floor():
        for host, tensor in zip(hosts, sources):
            host.copy_(tensor, non_blocking=pinned)
        sync(device)
        for target, host in zip(targets, hosts):
            target.copy_(host, non_blocking=pinned)

    def timed(operation: Callable[[], None]) -> float:
        start = time.perf_counter()
        operation()
        sync(device)
        return time.perf_counter() - start

    times: tuple[list[float], list[float]] = ([], [])
    for run in range(repeat + 1):  # the first touches every page and fills the pool
        for operation, spent in zip((packed, floor), times):
            seconds = timed(operation)
            if run:
                spent.append(seconds)
    packed()
    if not all(map(torch.equal, targets, sources)):
        raise SystemExit("a packed round trip did not bring every tensor back")
    ratio = statistics.median(floor / packed for packed, floor in zip(*times))
    return statistics.median(times[0]), statistics.median(times[1]), ratio


def measure(models: dict[str, dict[str, torch.Tensor]], device: torch.device,
            repeat: int) -> list[dict]:
    rows = []
    for name, tensors in models.items():
        model_bytes = sum(tensor.nbytes for tensor in tensors.values())
        one_by_one, packed = demo.held_bytes(list(tensors.values()), 64 << 30)
        packed_seconds, floor_seconds, ratio = round_trip_seconds(tensors, device, repeat)
        rows.append(dict(name=name, tensors=len(tensors), model_bytes=model_bytes,
                         one_by_one=one_by_one, packed=packed, packed_seconds=packed_seconds,
                         floor_seconds=floor_seconds, ratio=ratio))
    return rows


def report(rows: list[dict]) -> None:
    print(f"torch {torch.__version__}, {torch.get_num_threads()} thread(s), "
          f"pin_memory={torch.cuda.is_available()}; held: pool bytes / model bytes; "
          f"round trips: median GB/s\n")
    print(f"  {'model':34}{'tensors':>8}{'MiB':>8}{'held one by one':>17}{'held packed':>13}"
          f"{'packed GB/s':>13}{'floor GB/s':>12}")
    for row in rows:
        model = row["model_bytes"]
        print(f"  {row['name']:34}{row['tensors']:8}{model / MIB:8.1f}"
              f"{row['one_by_one'] / model:16.3f}x{row['packed'] / model:12.4f}x"
              f"{2 * model / row['packed_seconds'] / 1e9:13.2f}"
              f"{2 * model / row['floor_seconds'] / 1e9:12.2f}")
    smallest = min(PinnedMemoryPool.BUCKET_SIZES_BYTES)
    print(f"\n  {'target':66}{'measured':>9}{'met':>5}")
    for row in rows:
        allowed = HELD_TARGET * row["model_bytes"] + smallest
        met = row["packed"] <= allowed
        print(f"  {row['name'] + ': packed holds at most 1.01x + 1 MiB (MiB)':66}"
              f"{row['packed'] / MIB:9.1f}{'yes' if met else 'NO':>5}")
        print(f"  {row['name'] + ': packed round trip / floor, at least 0.9':66}"
              f"{row['ratio']:9.2f}{'yes' if row['ratio'] >= THROUGHPUT_TARGET else 'NO':>5}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--demo-mib", type=int, default=1024, help="the demo model's size")
    parser.add_argument("--layers", type=int, default=24, help="transformer encoder layers")
    parser.add_argument("--d-model", type=int, default=1024, help="transformer width")
    parser.add_argument("--repeat", type=int, default=9, help="timed round trips of each kind")
    args = parser.parse_args()
    device = torch.device("cuda" if torch.cuda.is_available() else "cpu")
    # One model at a time, so that only one is in memory.
    rows = measure({"demo model": demo_model(args.demo_mib, device)}, device, args.repeat)
    rows += measure({f"transformer, {args.layers} x {args.d_model}":
                     transformer_model(args.layers, args.d_model, device)}, device, args.repeat)
    report(rows)


if __name__ == "__main__":
    main()
