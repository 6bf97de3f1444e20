"""The offload demo. By default a transformer-shaped model of about 1 GiB with random weights runs
the same batches resident and with its layers streamed from a PinnedMemoryPool, and every output
is checked bit for bit. ``--mode round-trip`` moves a synthetic model's layers to host memory and
back instead, every pass once through the pool and once through a fresh host allocation per
transfer, with every restored layer checked against the original, and shows the pool bytes that
hold the model with every layer staged on its own and with all layers packed into one group."""

from __future__ import annotations

import argparse
import math
import sys
import time
from typing import Callable, Iterable, Optional

import psutil
import torch

from korvane.offload import offload, workload
from korvane.offload.pinned_pool import PinnedMemoryPool
from korvane.offload.staging import leased, stage_many, stage_to_host

MIB = 1 << 20
DTYPES = [torch.float32, torch.float16, torch.bfloat16, torch.int8]
ROW_BYTES = 4096  # every layer of the round trip is a whole number of such rows


def parse_args(argv: Optional[list[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m korvane.offload", description=__doc__)
    parser.add_argument("--mode", choices=["offload", "round-trip"], default="offload",
                        help="what to run (default offload)")
    parser.add_argument("--layers", type=_at_least(2), default=20,
                        help="transformer blocks, or layers of the round trip (default 20)")
    parser.add_argument("--total-mib", type=_at_least(1), default=1024,
                        help="size of the model in MiB (default 1024)")
    parser.add_argument("--batches", type=_at_least(1), default=3,
                        help="offload: batches run each way (default 3)")
    parser.add_argument("--batch-size", type=_at_least(1), default=2,
                        help="offload: sequences per batch (default 2)")
    parser.add_argument("--seq-len", type=_at_least(1), default=32,
                        help="offload: tokens per sequence (default 32)")
    parser.add_argument("--prefetch", type=_at_least(0), default=1,
                        help="offload: layers fetched ahead of the running one (default 1)")
    parser.add_argument("--passes", type=_at_least(1), default=3,
                        help="round-trip: round trips per way (default 3)")
    parser.add_argument("--budget-mib", type=_at_least(0), default=None,
                        help="the pool's byte budget in MiB (default: derived from the machine)")
    parser.add_argument("--device", type=_device, default="auto",
                        help="where the model runs: auto (CUDA when available), cpu, cuda, cuda:N")
    parser.add_argument("--seed", type=_at_least(-(1 << 63), most=(1 << 64) - 1), default=0,
                        help="seeds the weights and the batches (default 0)")
    args = parser.parse_args(argv)
    total_bytes = args.total_mib * MIB
    _check_memory(parser, args, total_bytes, forward_bytes=0)
    if args.mode == "offload":
        args.width = workload.width_for(total_bytes, args.layers)
        if args.width is None:
            least = -(-workload.model_bytes(args.layers, workload.MIN_WIDTH) // MIB)
            parser.error(f"--total-mib {args.total_mib} is too small for {args.layers} "
                         f"transformer blocks: they need at least {least} MiB")
    elif args.layers * ROW_BYTES > total_bytes:
        parser.error(f"--total-mib {args.total_mib} is too small for {args.layers} layers "
                     f"of at least {ROW_BYTES // 1024} KiB each")
    if args.mode == "offload":
        _check_memory(parser, args, total_bytes,
                      workload.forward_bytes(args.batch_size, args.seq_len, args.width))
    return args


def _check_memory(parser: argparse.ArgumentParser, args: argparse.Namespace, total_bytes: int,
                  forward_bytes: int) -> None:
    """Refuses sizes this machine cannot hold. The host holds the pool's buffers (a smallest
    bucket at least for each layer) and the model once more (built there, or the fresh copies);
    on the CPU also the model that runs or is round-tripped. On CUDA that model is on the device,
    twice to offload it (resident and its copy)."""
    staged = max(total_bytes, args.layers * min(PinnedMemoryPool.BUCKET_SIZES_BYTES))
    host = ("host memory", psutil.virtual_memory().total)
    if args.device.type == "cpu":
        needs = [(host, staged + 2 * total_bytes + forward_bytes)]
    else:
        device = (f"memory on {args.device}",
                  torch.cuda.get_device_properties(args.device).total_memory)
        on_device = 2 * total_bytes if args.mode == "offload" else total_bytes
        needs = [(host, staged + total_bytes), (device, on_device + forward_bytes)]
    for (what, present), needed in needs:
        if needed > present:
            parser.error(f"these sizes need at least {needed // MIB} MiB of {what}, more than "
                         f"the {present // MIB} MiB this machine has")


def _at_least(least: int, most: Optional[int] = None) -> Callable[[str], int]:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, not {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}, not {value}")
        if most is not None and value > most:
            raise argparse.ArgumentTypeError(f"must be at most {most}, not {value}")
        return value
    return convert


def _device(text: str) -> torch.device:
    if text == "auto":
        return torch.device("cuda" if torch.cuda.is_available() else "cpu")
    try:
        return offload.check_device(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


def format_size(nbytes: float) -> str:
    return f"{nbytes / MIB:.1f} MiB" if nbytes >= MIB else f"{nbytes / 1024:.1f} KiB"


def layer_sizes(layers: int, total_bytes: int, seed: int) -> list[int]:
    """Byte sizes: one layer of 28% of the model (above the largest bucket at the default size),
    a first small one of 0.05%, the rest spread log-uniformly; each a whole number of rows."""
    generator = torch.Generator().manual_seed(seed)
    large = 0.28 * total_bytes
    small = 0.0005 * total_bytes
    weights = torch.exp(torch.empty(layers - 2).uniform_(math.log(1), math.log(200),
                                                          generator=generator))
    rest = (weights / weights.sum() * (total_bytes - large - small)).tolist()
    return [max(ROW_BYTES, round(size / ROW_BYTES) * ROW_BYTES) for size in [small, large, *rest]]


def make_layer(index: int, nbytes: int, device: torch.device, generator: torch.Generator):
    """A layer of `nbytes` bytes; dtypes cycle, and every fifth layer is a transposed view."""
    dtype = DTYPES[index % len(DTYPES)]
    rows = nbytes // ROW_BYTES
    cols = ROW_BYTES // torch.empty(0, dtype=dtype).element_size()
    shape = (cols, rows) if index % 5 == 4 else (rows, cols)
    if dtype.is_floating_point:
        values = torch.randn(shape, generator=generator).to(dtype)
    else:
        values = torch.randint(-128, 128, shape, generator=generator, dtype=dtype)
    values = values.to(device)
    return values.t() if index % 5 == 4 else values


def synchronize(device: torch.device) -> None:
    if device.type == "cuda":
        torch.cuda.synchronize(device)


class Progress:
    """A tqdm bar when tqdm is installed; otherwise nothing is drawn."""

    def __init__(self, total: int, unit: str):
        try:
            from tqdm import tqdm
        except ImportError:
            self._bar = None
        else:
            self._bar = tqdm(total=total, unit=unit, file=sys.stderr, leave=False)

    def step(self, description: str) -> None:
        if self._bar is not None:
            self._bar.set_description(description, refresh=False)
            self._bar.update()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


class FreshCopy:
    """What code without a pool does: a new host tensor for each transfer."""

    def __init__(self, layer: torch.Tensor):
        self.shape, self.dtype = layer.shape, layer.dtype
        source = layer.detach().contiguous().reshape(-1).view(torch.uint8)
        cuda = layer.is_cuda
        self.host = torch.empty(source.numel(), dtype=torch.uint8, pin_memory=cuda)
        self.host.copy_(source, non_blocking=cuda)

    def restore(self, device: torch.device) -> torch.Tensor:
        out = torch.empty(self.shape, dtype=self.dtype, device=device)
        out.reshape(-1).view(torch.uint8).copy_(self.host, non_blocking=out.is_cuda)
        return out


def round_trip(model: list[torch.Tensor], device: torch.device,
               offload: Callable[[torch.Tensor], object], label: str,
               progress: Progress, after_offload: Callable[[], None] = lambda: None):
    """Offloads every layer, then restores them one at a time. Returns the seconds spent moving
    data (the comparisons are not timed) and how many restored layers differ."""
    start = time.perf_counter()
    held = []
    for layer in model:
        held.append(offload(layer))
        after_offload()
        progress.step(f"{label}: to host")
    synchronize(device)
    spent = time.perf_counter() - start
    mismatches = 0
    for layer, copy in zip(model, held):
        start = time.perf_counter()
        restored = copy.restore(device)
        synchronize(device)
        spent += time.perf_counter() - start
        mismatches += not torch.equal(restored, layer)
        progress.step(f"{label}: back")
    return spent, mismatches


def held_bytes(model: list[torch.Tensor], budget: Optional[int]) -> tuple[int, int]:
    """Pool bytes that hold the model with every layer staged on its own, and packed into one
    group; measured on a pool of their own, so that the round trips' statistics stay theirs."""
    pool = PinnedMemoryPool(budget)
    one_by_one = 0
    for layer in model:
        with stage_to_host(pool, layer) as staged:
            one_by_one += staged.held_bytes
    with stage_many(pool, model) as group:
        return one_by_one, group.held_bytes


def report_held(model_bytes: int, one_by_one: int, packed: int) -> None:
    print(f"\npool bytes held for the {model_bytes / MIB:.1f} MiB model:")
    for label, held in (("layer by layer", one_by_one), ("packed", packed)):
        print(f"  {label:22}{held / MIB:10.1f} MiB {held / model_bytes:8.3f}x")


def report(rows: Iterable[tuple[str, float, int]], pool: PinnedMemoryPool, peak: int,
           device: torch.device, pinned: bool, mismatches: int, layers: int) -> None:
    print(f"\n{'':24}{'seconds':>10}{'GB/s':>10}")
    for label, seconds, moved in rows:
        print(f"{label:24}{seconds:10.3f}{moved / seconds / 1e9:10.2f}")
    stats = pool.stats()
    hit_rate = stats["hits"] / stats["leases"] if stats["leases"] else 0.0
    print("\npool stats:")
    for key, value in stats.items():
        print(f"  {key:24}{value}")
    print(f"  {'hit rate':24}{hit_rate:.1%}")
    print(f"  {'peak accounted bytes':24}{peak} ({peak / MIB:.1f} MiB)")
    print(f"\nCUDA used: {'yes' if device.type == 'cuda' else 'no'} ({device}); "
          f"pinned host buffers: {'yes' if pinned else 'no'}")
    checked = "every restored layer equals the original" if mismatches == 0 else \
        f"{mismatches} restored layers differ from the original"
    print(f"check: {checked} ({layers} layers per round trip)")


def run_round_trip(args: argparse.Namespace) -> int:
    device = args.device
    generator = torch.Generator().manual_seed(args.seed)
    sizes = layer_sizes(args.layers, args.total_mib * MIB, args.seed)
    model = [make_layer(index, size, device, generator) for index, size in enumerate(sizes)]
    model_bytes = sum(sizes)
    print(f"model: {len(model)} layers, {model_bytes / MIB:.1f} MiB on {device}, "
          f"from {format_size(min(sizes))} to {format_size(max(sizes))}")

    budget = None if args.budget_mib is None else args.budget_mib * MIB
    pool = PinnedMemoryPool(budget)
    peak = 0

    def note_peak():
        nonlocal peak
        peak = max(peak, pool._total_allocated())

    progress = Progress(total=4 * args.passes * len(model), unit="layer")
    pooled_seconds = fresh_seconds = 0.0
    mismatches = 0
    try:
        for _ in range(args.passes):
            seconds, wrong = round_trip(model, device, lambda layer: stage_to_host(pool, layer),
                                        "through the pool", progress, note_peak)
            pooled_seconds += seconds
            mismatches += wrong
            seconds, wrong = round_trip(model, device, FreshCopy, "fresh allocations", progress)
            fresh_seconds += seconds
            mismatches += wrong
    finally:
        progress.close()
    with leased(pool, 1) as probe:
        pinned = probe.is_pinned()
    moved = 2 * model_bytes * args.passes
    report([("through the pool", pooled_seconds, moved), ("fresh allocations", fresh_seconds, moved)],
           pool, peak, device, pinned, mismatches, len(model))
    report_held(model_bytes, *held_bytes(model, budget))
    return 1 if mismatches else 0


def run_offload(args: argparse.Namespace) -> int:
    device = args.device
    model = workload.build_model(args.layers, args.width, device, args.seed)
    model_bytes = workload.model_bytes(args.layers, args.width)
    print(f"model: {args.layers} transformer blocks of width {args.width}, an embedding of "
          f"{workload.VOCAB} tokens tied to the head; {format_size(model_bytes)} of float32 "
          f"weights (random) on {device}")
    print(f"batches: {args.batches} of {args.batch_size} x {args.seq_len} tokens, run resident "
          f"and offloaded; prefetch {args.prefetch}")
    generator = torch.Generator().manual_seed(args.seed)
    batches = [torch.randint(workload.VOCAB, (args.batch_size, args.seq_len),
                             generator=generator).to(device) for _ in range(args.batches)]
    pool = PinnedMemoryPool(None if args.budget_mib is None else args.budget_mib * MIB)
    progress = Progress(total=args.batches, unit="batch")
    try:
        timings = workload.compare(model, batches, pool, device, args.prefetch,
                                   lambda: progress.step("both ways"))
    finally:
        progress.close()
    report_offload(timings, model_bytes, args, pool)
    return 1 if timings.mismatches else 0


def report_offload(timings: workload.Timings, model_bytes: int, args: argparse.Namespace,
                   pool: PinnedMemoryPool) -> None:
    stats = timings.stats
    resident = workload.per_forward(timings.resident)
    offloaded = workload.per_forward(timings.offloaded)
    print(f"\nseconds per forward (median of {args.batches})")
    print(f"  {'resident':34}{resident:8.3f}")
    print(f"  {'offloaded':34}{offloaded:8.3f}")
    if timings.copy_alone:
        copy_alone = workload.per_forward(timings.copy_alone)
        print(f"  {'copying the weights to new memory':34}{copy_alone:8.3f}")
        allowed = 1.1 * (resident + copy_alone)
        print(f"  offloaded within (resident + copying) + 10% = {allowed:.3f}: "
              f"{'yes' if offloaded <= allowed else 'no'}")

    peak, largest = stats["peak_resident_bytes"], stats["largest_layer_bytes"]
    bound = (1 + args.prefetch) * largest + stats["shared_bytes"]
    print(f"\nstreamed weights on {args.device}: peak {format_size(peak)} = {peak / largest:.2f} "
          f"x the largest layer ({format_size(largest)}), {peak / model_bytes:.1%} of the model; "
          f"(1 + prefetch) x largest + shared = {format_size(bound)}: "
          f"{'kept' if peak <= bound else 'exceeded'}")
    forwards = len(timings.offloaded)
    print(f"per offloaded forward: {stats['copies'] / forwards:.0f} copies, "
          f"{format_size(stats['bytes_copied'] / forwards)}, "
          f"{stats['copy_seconds'] / forwards:.3f} s copying, "
          f"{stats['wait_seconds'] / forwards:.3f} s of it waited for")
    if args.device.type == "cuda" and stats["copy_seconds"]:
        hidden = 1 - stats["wait_seconds"] / stats["copy_seconds"]
        print(f"copy time hidden behind compute: {hidden:.1%}")

    print("\npool stats:")
    for key, value in pool.stats().items():
        print(f"  {key:24}{value}")
    print(f"  {'held for the weights':24}{format_size(stats['host_bytes'])} of buffers for "
          f"{format_size(stats['streamed_bytes'])} of weights")
    with leased(pool, 1) as probe:
        pinned = probe.is_pinned()
    print(f"\nCUDA used: {'yes' if args.device.type == 'cuda' else 'no'} ({args.device}); "
          f"pinned host buffers: {'yes' if pinned else 'no'}")
    checked = "every offloaded output equals the resident one bit for bit" \
        if timings.mismatches == 0 else f"{timings.mismatches} offloaded outputs differ"
    print(f"check: {checked} ({args.batches} batches)")


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    return run_offload(args) if args.mode == "offload" else run_round_trip(args)


if __name__ == "__main__":
    sys.exit(main())
