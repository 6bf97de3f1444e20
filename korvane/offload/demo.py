"""The offload demo: a model too large for the memory it runs in, streamed layer by layer.

By default the demo builds a Llama-architecture model from transformers with random weights
(about 1 GiB), saves it sharded as a safetensors checkpoint in a temporary folder, and generates
a few tokens twice: with the model resident, and in a child process (so that its memory is its
own) with the model rebuilt on the meta device and offloaded straight from the checkpoint under
a host budget of about half its size, the layers the pool does not hold read from the checkpoint
ahead of their calls. It checks that the tokens are the same, and tells how long each token
took both ways, the child's peak memory against the model's size, and what was read.

With --mode module it instead runs the same batches through a transformer-shaped model as it
is and through a copy whose layers wait in pooled host buffers, and checks every output.

With --mode round-trip it instead moves the layers of a synthetic model to host memory and
back, each pass once through the pool and once through fresh host memory per transfer, checks
every restored layer and shows the pool memory that holds the model.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from typing import Callable, Optional

import psutil
import torch

from korvane.offload import offload, workload
from korvane.offload.pinned_pool import PinnedMemoryPool
from korvane.offload.staging import leased, stage_many, stage_to_host

MIB = 1 << 20
DTYPES = [torch.float32, torch.float16, torch.bfloat16, torch.int8]
ROW_BYTES = 4096  # every layer of the round trip is a whole number of such rows


def parse_args(argv: Optional[list[str]]) -> argparse.Namespace:
    parser = argparse.ArgumentParser(prog="python -m korvane.offload", description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mode", choices=["checkpoint", "module", "round-trip"],
                        default="checkpoint", help="what to run (default checkpoint)")
    parser.add_argument("--layers", type=_at_least(2), default=20,
                        help="transformer blocks, or layers of the round trip (default 20)")
    parser.add_argument("--total-mib", type=_at_least(1), default=1024,
                        help="size of the model in MiB (default 1024)")
    parser.add_argument("--tokens", type=_at_least(1), default=8,
                        help="checkpoint: tokens generated each way (default 8)")
    parser.add_argument("--host-budget-mib", type=_at_least(1), default=None,
                        help="checkpoint: the offloaded model's host budget in MiB (default "
                             "half the model)")
    parser.add_argument("--batches", type=_at_least(1), default=3,
                        help="module: batches run each way (default 3)")
    parser.add_argument("--batch-size", type=_at_least(1), default=2,
                        help="module: sequences per batch (default 2)")
    parser.add_argument("--seq-len", type=_at_least(1), default=32,
                        help="checkpoint and module: tokens per sequence, or of the prompt "
                             "(default 32)")
    parser.add_argument("--prefetch", type=_at_least(0), default=1,
                        help="checkpoint and module: layers fetched ahead of the running one "
                             "(default 1)")
    parser.add_argument("--passes", type=_at_least(1), default=3,
                        help="round-trip: round trips per way (default 3)")
    parser.add_argument("--budget-mib", type=_at_least(0), default=None,
                        help="the pool's byte budget in MiB (default: derived from the machine)")
    parser.add_argument("--device", type=_device, default="auto",
                        help="where the model runs: auto (CUDA when available), cpu, cuda, cuda:N")
    parser.add_argument("--seed", type=_at_least(-(1 << 63), most=(1 << 64) - 1), default=0,
                        help="seeds the weights and the batches (default 0)")
    parser.add_argument("--child", help=argparse.SUPPRESS)  # the checkpoint's folder, in the child
    args = parser.parse_args(argv)
    total_bytes = args.total_mib * MIB
    if args.mode == "checkpoint":
        args.width = _width(parser, args, workload.llama_width_for, workload.llama_bytes,
                            "Llama blocks")
        positions = workload.llama_config(args.layers, args.width).max_position_embeddings
        if args.seq_len + args.tokens > positions:
            parser.error(f"--seq-len {args.seq_len} and --tokens {args.tokens} make more than "
                         f"the {positions} positions the model has")
        if args.child is None:
            _check_checkpoint_room(parser, args, workload.llama_bytes(args.layers, args.width))
        return args
    _check_memory(parser, args, total_bytes, forward_bytes=0)
    if args.mode == "module":
        args.width = _width(parser, args, workload.width_for, workload.model_bytes,
                            "transformer blocks")
    elif args.layers * ROW_BYTES > total_bytes:
        parser.error(f"--total-mib {args.total_mib} is too small for {args.layers} layers "
                     f"of at least {ROW_BYTES // 1024} KiB each")
    if args.mode == "module":
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


def _check_checkpoint_room(parser: argparse.ArgumentParser, args: argparse.Namespace,
                           model_bytes: int) -> None:
    """Refuses a model this machine cannot hold: twice in host memory (the resident model, and
    the child's pool with what it builds), once in the temporary folder."""
    needs = [("host memory", psutil.virtual_memory().total, 2 * model_bytes),
             (f"free disk in {tempfile.gettempdir()}",
              shutil.disk_usage(tempfile.gettempdir()).free, model_bytes)]
    if args.device.type == "cuda":
        needs.append((f"memory on {args.device}",
                      torch.cuda.get_device_properties(args.device).total_memory, model_bytes))
    for what, present, needed in needs:
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


def _width(parser: argparse.ArgumentParser, args: argparse.Namespace,
           width_for: Callable[[int, int], Optional[int]], model_bytes: Callable[[int, int], int],
           blocks: str) -> int:
    """The width of ``args.layers`` blocks in ``--total-mib``; a usage error if none fits."""
    width = width_for(args.total_mib * MIB, args.layers)
    if width is None:
        least = -(-model_bytes(args.layers, workload.MIN_WIDTH) // MIB)
        parser.error(f"--total-mib {args.total_mib} is too small for {args.layers} {blocks}: "
                     f"they need at least {least} MiB")
    return width


def format_size(nbytes: float) -> str:
    return f"{nbytes / MIB:.1f} MiB" if nbytes >= MIB else f"{nbytes / 1024:.1f} KiB"


def format_rate(nbytes: float, seconds: float) -> str:
    return f"{nbytes / seconds / 1e9:.2f} GB/s" if seconds > 0 else "too fast to measure"


def print_summary(rows: list[tuple[str, str]]) -> None:
    """The closing table: one line for each measurement, its name and its value."""
    width = max(len(name) for name, _ in rows) + 2
    print(f"\nSummary\n  {'-' * (width + 40)}")
    for name, value in rows:
        print(f"  {name:<{width}}{value}")


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
    """A tqdm bar on a terminal when tqdm is installed; otherwise, in a log or a pipe above all,
    nothing is drawn, so that no carriage return reaches the output."""

    def __init__(self, total: int, unit: str):
        self._bar = None
        if sys.stderr.isatty():
            try:
                from tqdm import tqdm
            except ImportError:
                return
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


def report_round_trip(args: argparse.Namespace, model_bytes: int, pooled_seconds: float,
                      fresh_seconds: float, pool: PinnedMemoryPool, peak: int, pinned: bool,
                      mismatches: int, held: tuple[int, int]) -> None:
    moved = 2 * model_bytes * args.passes
    stats = pool.stats()
    one_by_one, packed = held
    if mismatches == 0:
        print(f"\nEvery restored layer equals the original ({args.layers} layers in each round "
              "trip).")
    else:
        print(f"\n{mismatches} restored layers differ from the original.")
    print(f"Through the pool the layers moved at {format_rate(moved, pooled_seconds)}, through "
          f"fresh host memory at {format_rate(moved, fresh_seconds)}.")
    print(f"The pool served {stats['hits']} of its {stats['leases']} leases from buffers it "
          f"already had and allocated {stats['misses']}; at most {format_size(peak)} of buffers "
          "were in use at once.")
    print(f"Staged layer by layer the model takes {format_size(one_by_one)} of pool buffers "
          f"({one_by_one / model_bytes:.3f}x its size); packed end to end, {format_size(packed)} "
          f"({packed / model_bytes:.3f}x).")
    print_summary([
        ("model", f"{args.layers} layers, {format_size(model_bytes)} on {args.device}"),
        ("through the pool", f"{format_size(moved)} in {pooled_seconds:.3f} s, "
                             f"{format_rate(moved, pooled_seconds)}"),
        ("through fresh memory", f"{format_size(moved)} in {fresh_seconds:.3f} s, "
                                 f"{format_rate(moved, fresh_seconds)}"),
        ("pool leases", f"{stats['leases']}: {stats['hits']} reused, {stats['misses']} "
                        f"allocated, {stats['evictions']} evictions"),
        ("pool buffers", f"{format_size(peak)} at most, budget {format_size(stats['max_bytes'])}, "
                         f"{'pinned' if pinned else 'not pinned'}"),
        ("held layer by layer", f"{format_size(one_by_one)}, {one_by_one / model_bytes:.3f}x"),
        ("held packed", f"{format_size(packed)}, {packed / model_bytes:.3f}x"),
        ("check", "every layer restored exactly" if mismatches == 0
         else f"{mismatches} restored layers differ"),
    ])


def run_round_trip(args: argparse.Namespace) -> int:
    device = args.device
    generator = torch.Generator().manual_seed(args.seed)
    sizes = layer_sizes(args.layers, args.total_mib * MIB, args.seed)
    model = [make_layer(index, size, device, generator) for index, size in enumerate(sizes)]
    model_bytes = sum(sizes)
    print(f"A synthetic model of {len(model)} layers, {format_size(model_bytes)} in all on "
          f"{device}, from {format_size(min(sizes))} to {format_size(max(sizes))} each, goes to "
          f"host memory and back {_times(args.passes)} through the pool and as often through "
          "fresh host memory.")

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
    report_round_trip(args, model_bytes, pooled_seconds, fresh_seconds, pool, peak, pinned,
                      mismatches, held_bytes(model, budget))
    return 1 if mismatches else 0


def run_offload(args: argparse.Namespace) -> int:
    device = args.device
    model = workload.build_model(args.layers, args.width, device, args.seed)
    model_bytes = workload.model_bytes(args.layers, args.width)
    print(f"A language model of {args.layers} transformer blocks (width {args.width}, "
          f"{workload.VOCAB} tokens) holds {format_size(model_bytes)} of random float32 weights "
          f"on {device}.")
    print(f"{args.batches} batches of {args.batch_size} x {args.seq_len} tokens run through it "
          "as it is, and through a copy whose layers stream from pooled host buffers, "
          f"{_layers(args.prefetch)} fetched ahead of the one that runs.")
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
    forwards = len(timings.offloaded)
    copied, copying = stats["bytes_copied"] / forwards, stats["copy_seconds"] / forwards
    waited = stats["wait_seconds"] / forwards
    peak, largest = stats["peak_resident_bytes"], stats["largest_layer_bytes"]
    rows = [("model", f"{format_size(model_bytes)}, {args.layers} transformer blocks, on "
                      f"{args.device}"),
            ("forward, resident", f"{resident:.3f} s (median of {args.batches})"),
            ("forward, offloaded", f"{offloaded:.3f} s")]
    print(f"\nA forward took {resident:.3f} s with the model resident and {offloaded:.3f} s "
          "offloaded.")
    if timings.copy_alone:
        copy_alone = workload.per_forward(timings.copy_alone)
        allowed = 1.1 * (resident + copy_alone)
        verdict = "within" if offloaded <= allowed else "ABOVE"
        print(f"Copying the weights to new memory alone takes {copy_alone:.3f} s: the offloaded "
              f"forward stayed {verdict} the resident one plus that copy plus 10% "
              f"({allowed:.3f} s).")
        rows.append(("copying the weights alone", f"{copy_alone:.3f} s"))
    shared = stats["shared_bytes"]
    bound = (1 + args.prefetch) * largest + shared
    print(f"At most {format_size(peak)} of streamed weights were on {args.device} at once, "
          f"{peak / model_bytes:.1%} of the model: {peak / largest:.2f} times the largest layer "
          f"({format_size(largest)}), {'within' if peak <= bound else 'ABOVE'} the bound "
          f"of {1 + args.prefetch} x the largest layer plus {format_size(shared)} of weights "
          f"that several layers read: the running layer, {args.prefetch} fetched ahead and "
          f"the shared weights, which stay from their first reader to their last.")
    in_place = stats["bytes_in_place"] / forwards
    print(f"Each offloaded forward copied {format_size(copied)} in "
          f"{stats['copies'] / forwards:.0f} copies ({format_rate(copied, copying)}), used "
          f"{format_size(in_place)} in place in the pool's buffers and waited {waited:.3f} s "
          f"for copies.")
    rows += [("weights on the device", f"{format_size(peak)} at most, {peak / largest:.2f} x "
                                       f"the largest layer"),
             ("copied per forward", f"{format_size(copied)}, {format_rate(copied, copying)}"),
             ("used in place per forward", format_size(in_place)),
             ("waited per forward", f"{waited:.3f} s")]
    if args.device.type == "cuda" and stats["copy_seconds"]:
        hidden = 1 - stats["wait_seconds"] / stats["copy_seconds"]
        print(f"{hidden:.1%} of the copying was hidden behind compute.")
        rows.append(("copying hidden", f"{hidden:.1%}"))
    rows += _report_pool(stats, pool)
    if timings.mismatches == 0:
        print(f"Every offloaded output equals the resident one, bit for bit ({args.batches} "
              "batches).")
    else:
        print(f"{timings.mismatches} offloaded outputs differ from the resident ones.")
    rows.append(("outputs", f"{args.batches - timings.mismatches} of {args.batches} equal "
                            "bit for bit"))
    print_summary(rows)


def _report_pool(stats: dict, pool: PinnedMemoryPool) -> list[tuple[str, str]]:
    pool_stats = pool.stats()
    with leased(pool, 1) as probe:
        kind = "pinned" if probe.is_pinned() else "ordinary (not pinned)"
    print(f"The pool holds {format_size(stats['host_bytes'])} of {kind} host buffers for "
          f"{format_size(stats['streamed_bytes'])} of streamed weights; its budget is "
          f"{format_size(pool_stats['max_bytes'])}.")
    return [("pool buffers", f"{format_size(stats['host_bytes'])}, {kind}, "
                             f"{pool_stats['leased_count']} leased"),
            ("pool leases", f"{pool_stats['leases']}: {pool_stats['hits']} reused, "
                            f"{pool_stats['misses']} allocated, "
                            f"{pool_stats['evictions']} evictions")]


def _times(count: int) -> str:
    return {1: "once", 2: "twice"}.get(count, f"{count} times")


def _layers(count: int) -> str:
    return "no layer" if count == 0 else f"{count} layer{'s' if count > 1 else ''}"


def prompt(args: argparse.Namespace) -> torch.Tensor:
    generator = torch.Generator().manual_seed(args.seed)
    return torch.randint(workload.VOCAB, (1, args.seq_len), generator=generator)


def generate(model, ids: torch.Tensor, args: argparse.Namespace) -> tuple[list[int], float]:
    """Greedy tokens after the prompt, and the seconds per token."""
    ids = ids.to(args.device)
    with torch.inference_mode():
        model.generate(ids, max_new_tokens=1, do_sample=False)  # warms up, learns the order
        synchronize(args.device)
        start = time.perf_counter()
        out = model.generate(ids, max_new_tokens=args.tokens, min_new_tokens=args.tokens,
                             do_sample=False)
        synchronize(args.device)
    return out[0, ids.shape[1]:].tolist(), (time.perf_counter() - start) / args.tokens


def run_child(args: argparse.Namespace) -> int:
    """In the child: the model rebuilt on meta and offloaded from the checkpoint; prints one
    line of JSON with the tokens, the times and the memory."""
    from transformers import AutoConfig, LlamaForCausalLM

    from korvane.offload import meta_parameters, offload_checkpoint

    with meta_parameters():
        model = LlamaForCausalLM(AutoConfig.from_pretrained(args.child)).eval()
    before = _rss("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:  # the peak counts from here
        clear.write("5")
    start = time.perf_counter()
    pool = PinnedMemoryPool(None if args.budget_mib is None else args.budget_mib * MIB)
    budget = args.host_budget_mib * MIB
    with offload_checkpoint(model, args.child, pool, args.device, prefetch=args.prefetch,
                            host_budget=budget) as offloaded:
        loading = time.perf_counter() - start
        loaded = offloaded.stats()
        tokens, per_token = generate(model, prompt(args), args)
        stats = offloaded.stats()
        grew = _rss("VmHWM") - before
    print(json.dumps(dict(tokens=tokens, per_token=per_token, loading=loading, grew=grew,
                          loaded_bytes=loaded["read_bytes"], stats=stats)))
    return 0


def _rss(field: str) -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field))


def run_checkpoint(args: argparse.Namespace) -> int:
    model_bytes = workload.llama_bytes(args.layers, args.width)
    budget = args.host_budget_mib * MIB if args.host_budget_mib else model_bytes // 2
    args.host_budget_mib = -(-budget // MIB)
    print(f"A Llama-architecture model of {args.layers} blocks (width {args.width}, a "
          f"vocabulary of {workload.VOCAB} tokens) holds {format_size(model_bytes)} of random "
          f"float32 weights. It generates {args.tokens} tokens after a prompt of {args.seq_len}, "
          f"resident on {args.device}, then in a child process rebuilt on the meta device and "
          f"offloaded from its checkpoint under a host budget of {format_size(budget)}.")
    if not sys.stderr.isatty():  # no progress bar, and so no carriage return, in a log
        from transformers.utils import logging

        logging.disable_progress_bar()
    with tempfile.TemporaryDirectory(prefix="korvane-demo-") as folder:
        start = time.perf_counter()
        model = workload.build_llama(workload.llama_config(args.layers, args.width), args.seed)
        model.save_pretrained(folder, max_shard_size="200MB")
        shards = sum(name.endswith(".safetensors") for name in os.listdir(folder))
        print(f"Built it and saved it in {shards} shards in {time.perf_counter() - start:.1f} s.")
        tokens, per_token = generate(model.to(args.device), prompt(args), args)
        del model
        child = _child(args, folder)
    if child is None:
        return 1
    return report_checkpoint(args, model_bytes, budget, tokens, per_token, child)


def _child(args: argparse.Namespace, folder: str) -> Optional[dict]:
    command = [sys.executable, *(["-I"] if sys.flags.isolated else []), "-m",
               "korvane.offload", "--child", folder, "--layers", str(args.layers),
               "--total-mib", str(args.total_mib), "--tokens", str(args.tokens),
               "--seq-len", str(args.seq_len), "--prefetch", str(args.prefetch),
               "--host-budget-mib", str(args.host_budget_mib), "--device", str(args.device),
               "--seed", str(args.seed),
               *([] if args.budget_mib is None else ["--budget-mib", str(args.budget_mib)])]
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if result.returncode != 0:
        last = (result.stderr.strip().splitlines() or ["no message"])[-1]
        print(f"The offloaded child process failed (exit {result.returncode}): {last}")
        return None
    return json.loads(result.stdout.strip().splitlines()[-1])


def report_checkpoint(args: argparse.Namespace, model_bytes: int, budget: int,
                      tokens: list[int], per_token: float, child: dict) -> int:
    stats = child["stats"]
    same = child["tokens"] == tokens
    read = stats["read_bytes"] - child["loaded_bytes"]
    print(f"\nResident, a token took {per_token:.3f} s; offloaded from the checkpoint, "
          f"{child['per_token']:.3f} s.")
    print(f"The child loaded the model in {child['loading']:.2f} s, reading "
          f"{format_size(child['loaded_bytes'])} into its pool; while generating it read "
          f"{format_size(read)} more from the checkpoint and waited "
          f"{stats['read_wait_seconds']:.3f} s for reads.")
    print(f"The child's peak memory grew by {format_size(child['grew'])} from the model built "
          f"on meta, {child['grew'] / model_bytes:.2f} times the model's "
          f"{format_size(model_bytes)}; at the end its pool held "
          f"{format_size(stats['host_bytes'])} under the budget of {format_size(budget)}.")
    print("The tokens are identical both ways." if same else
          "The tokens DIFFER: the offloaded model generated other tokens than the resident one.")
    print_summary([
        ("model", f"{format_size(model_bytes)}, {args.layers} Llama blocks, on {args.device}"),
        ("per token, resident", f"{per_token:.3f} s"),
        ("per token, offloaded", f"{child['per_token']:.3f} s"),
        ("child's peak memory growth", f"{format_size(child['grew'])}, "
                                      f"{child['grew'] / model_bytes:.2f} x the model"),
        ("pool buffers", f"{format_size(stats['host_bytes'])}, budget {format_size(budget)}"),
        ("read while loading", format_size(child["loaded_bytes"])),
        ("read while generating", f"{format_size(read)}, {stats['read_wait_seconds']:.3f} s "
                                  "waited"),
        ("tokens identical", "yes" if same else "no"),
    ])
    return 0 if same else 1


def main(argv: Optional[list[str]] = None) -> int:
    args = parse_args(argv)
    if args.child is not None:
        return run_child(args)
    runs = {"checkpoint": run_checkpoint, "module": run_offload, "round-trip": run_round_trip}
    return runs[args.mode](args)


if __name__ == "__main__":
    sys.exit(main())
