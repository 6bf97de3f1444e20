"""Measures reading safetensors checkpoints into pool buffers, and forwards of a model offloaded
from a checkpoint under a host budget.

The reader half writes a checkpoint of ``--mib`` MiB (``--shards`` files of layers shaped like a
transformer block's weights) to a temporary folder, reads it once to warm the page cache, then
times, in alternation in one run: the background reader reading every layer into pool buffers
(one request per layer, tensors laid end to end and straddling buffers as the offload layer lays
them), and the floor, a plain sequential ``readinto`` of each file into a preallocated buffer
(one for all files, so that both fill as much memory).

The forward half saves a Llama-architecture model of several hundred MB (transformers, random
weights, float32) sharded with ``save_pretrained``, offloads it rebuilt on meta from that
checkpoint to the CPU with ``host_budget`` a quarter of its bytes, and times, in alternation:
the offloaded forward, and its floor, the resident model's forward plus a plain ``readinto`` of
every checkpoint file into a preallocated buffer plus one copy of those bytes. The memory half
runs in child processes, so that each one's peak RSS is its own: loading with no budget, and
loading then running forwards under the quarter budget.

    python -I bench/bench_checkpoint.py [--part reader|forward|memory] [--mib 384] [--repeat 7]
"""

import argparse
import bisect
import itertools
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import torch
from safetensors.torch import save_file

from korvane.offload import meta_parameters, offload_checkpoint
from korvane.offload.checkpoint import Checkpoint, CheckpointReader, Piece
from korvane.offload.pinned_pool import PinnedMemoryPool

MIB = 1 << 20
READ_TARGET = 0.8  # the reader reaches at least this share of the plain readinto's throughput
FORWARD_TARGET = 1.25  # the offloaded forward takes at most this many times its floor
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


def llama_config(width: int = 1024, blocks: int = 12):
    """A float32 Llama of about 470 MB at the defaults: blocks of 37.7 MB, a tied 16.8 MB
    embedding."""
    from transformers import LlamaConfig

    return LlamaConfig(vocab_size=4096, hidden_size=width, intermediate_size=2 * width,
                       num_hidden_layers=blocks, num_attention_heads=width // 64,
                       num_key_value_heads=width // 128, tie_word_embeddings=True)


def save_llama(folder: Path, config) -> "torch.nn.Module":
    from transformers import LlamaForCausalLM

    torch.manual_seed(0)
    model = LlamaForCausalLM(config).eval()
    model.save_pretrained(folder, max_shard_size="200MB")
    return model


def offloaded_llama(folder: Path, config, host_budget):
    from transformers import LlamaForCausalLM

    with meta_parameters():
        model = LlamaForCausalLM(config).eval()
    pool = PinnedMemoryPool()
    return model, offload_checkpoint(model, folder, pool, "cpu", host_budget=host_budget)


def measure_forward(folder: Path, config, repeat: int, tokens: int = 16,
                    budget_share: float = 0.25) -> dict:
    """Times the offloaded forward and its floor in alternation; checks they agree."""
    resident = save_llama(folder, config)
    model_bytes = Checkpoint(folder).nbytes
    budget = int(model_bytes * budget_share)
    model, offloaded = offloaded_llama(folder, config, budget)
    files = sorted(str(path) for path in folder.glob("*.safetensors"))
    sizes = [os.path.getsize(path) for path in files]
    floor_buffer = torch.empty(sum(sizes), dtype=torch.uint8)
    copy_target = torch.empty_like(floor_buffer)
    ids = torch.randint(0, config.vocab_size, (1, tokens),
                        generator=torch.Generator().manual_seed(0))

    def read_all() -> None:
        view, start = floor_buffer.numpy().data, 0
        for path, size in zip(files, sizes):
            with open(path, "rb", buffering=0) as file:
                done = 0
                while done < size:
                    done += file.readinto(view[start + done:start + size])
            start += size

    timings: dict[str, list[float]] = {"offloaded": [], "resident": [], "read": [], "copy": []}
    steps = {"offloaded": lambda: model(ids), "resident": lambda: resident(ids),
             "read": read_all, "copy": lambda: copy_target.copy_(floor_buffer)}
    with torch.no_grad():
        same = torch.equal(model(ids).logits, resident(ids).logits)
        read_all()  # warms the page cache
        for _ in range(repeat):
            for name, step in steps.items():
                start = time.perf_counter()
                step()
                timings[name].append(time.perf_counter() - start)
    stats = offloaded.stats()
    offloaded.close()
    # Each round: the offloaded forward over its floor, the other three together.
    ratio = statistics.median(round_[0] / sum(round_[1:]) for round_ in zip(*timings.values()))
    return dict(model_bytes=model_bytes, budget=budget, same=same, ratio=ratio,
                host_bytes=stats["host_bytes"], read_bytes=stats["read_bytes"],
                wait=stats["read_wait_seconds"], forwards=1 + repeat, tokens=tokens,
                **{name: statistics.median(values) for name, values in timings.items()})


def report_forward(row: dict) -> None:
    print(f"\ntorch {torch.__version__}; Llama (transformers, float32, tied), "
          f"{row['model_bytes'] / MIB:.1f} MiB, offloaded "
          f"to the CPU with host_budget {row['budget'] / MIB:.1f} MiB; one sequence of "
          f"{row['tokens']} tokens; warm page cache; median seconds\n")
    for name, label in [("offloaded", "offloaded forward"), ("resident", "resident forward"),
                        ("read", "plain readinto of every checkpoint file"),
                        ("copy", "one copy of those bytes")]:
        print(f"  {label:64}{row[name]:8.3f}")
    print(f"\n  outputs bit-identical: {'yes' if row['same'] else 'NO'}; pool bytes held "
          f"{row['host_bytes'] / MIB:.1f} MiB; read {row['read_bytes'] / MIB:.0f} MiB in "
          f"{row['forwards']} forwards, {row['wait']:.3f} s waited for reads")
    print(f"\n  {'target (median over the rounds)':64}{'measured':>9}{'met':>5}")
    print(f"  {'offloaded / (resident + readinto + copy), at most 1.25':64}{row['ratio']:9.2f}"
          f"{'yes' if row['ratio'] <= FORWARD_TARGET else 'NO':>5}")


def _peak_rss() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))


def _rss() -> int:
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmRSS"))


def memory_child(folder: str, width: str, blocks: str, budget: str) -> None:
    """In a child: the peak RSS growth from a model built on meta through loading and three
    forwards, printed as JSON."""
    config = llama_config(int(width), int(blocks))
    host_budget = None if budget == "none" else int(budget)
    from transformers import LlamaForCausalLM

    with meta_parameters():
        model = LlamaForCausalLM(config).eval()
    ids = torch.arange(16).view(1, -1)
    before = _rss()
    with open("/proc/self/clear_refs", "w") as clear:  # starts the peak afresh
        clear.write("5")
    pool = PinnedMemoryPool()
    offloaded = offload_checkpoint(model, folder, pool, "cpu", host_budget=host_budget)
    loaded = _peak_rss() - before
    with torch.no_grad():
        for _ in range(3):
            model(ids)
    stats = offloaded.stats()
    json.dump(dict(loaded=loaded, peak=_peak_rss() - before, host_bytes=stats["host_bytes"],
                   largest=stats["largest_layer_bytes"], weights=Checkpoint(folder).nbytes,
                   read_bytes=stats["read_bytes"]), sys.stdout)


def measure_memory(folder: Path, width: int, blocks: int) -> list[dict]:
    config = llama_config(width, blocks)
    save_llama(folder, config)
    weights = Checkpoint(folder).nbytes
    rows = []
    for budget in (None, weights // 4):
        command = [sys.executable, "-I", __file__, "--memory-child", str(folder), str(width),
                   str(blocks), "none" if budget is None else str(budget)]
        row = json.loads(subprocess.run(command, check=True, capture_output=True,
                                        text=True).stdout)
        rows.append({**row, "budget": budget})
    return rows


def report_memory(rows: list[dict]) -> None:
    print(f"\nPeak RSS growth of a child process from the model built on meta, through "
          f"offload_checkpoint and three forwards (MiB)\n")
    print(f"  {'host_budget':28}{'weights':>9}{'held':>9}{'peak':>9}{'bound':>9}{'met':>5}")
    for row in rows:
        if row["budget"] is None:
            name, bound = "None (load)", 1.1 * row["weights"] + 128 * MIB
            peak = row["loaded"]
        else:
            name = f"{row['budget'] / MIB:.1f} MiB (forwards)"
            bound = row["budget"] + 2 * row["largest"] + 160 * MIB
            peak = row["peak"]
        print(f"  {name:28}{row['weights'] / MIB:9.1f}{row['host_bytes'] / MIB:9.1f}"
              f"{peak / MIB:9.1f}{bound / MIB:9.1f}{'yes' if peak <= bound else 'NO':>5}")
    print("\n  bounds: no budget 1.1 x weights + 128 MiB; "
          "budget N: N + 2 x largest layer + 160 MiB")


def main() -> None:
    if sys.argv[1:2] == ["--memory-child"]:
        memory_child(*sys.argv[2:6])
        return
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--part", choices=["reader", "forward", "memory", "all"], default="all")
    parser.add_argument("--mib", type=int, default=384, help="the reader's checkpoint size")
    parser.add_argument("--shards", type=int, default=4, help="files the checkpoint is cut into")
    parser.add_argument("--repeat", type=int, default=7, help="timed rounds of each kind")
    parser.add_argument("--blocks", type=int, default=12, help="the Llama's blocks")
    parser.add_argument("--width", type=int, default=1024, help="the Llama's hidden size")
    args = parser.parse_args()
    if args.part in ("reader", "all"):
        with tempfile.TemporaryDirectory() as folder:
            layers = write_checkpoint(Path(folder), args.mib, args.shards)
            report(measure(Path(folder), layers, args.repeat))
    if args.part in ("forward", "all"):
        with tempfile.TemporaryDirectory() as folder:
            report_forward(measure_forward(Path(folder), llama_config(args.width, args.blocks),
                                           args.repeat))
    if args.part in ("memory", "all"):
        with tempfile.TemporaryDirectory() as folder:
            report_memory(measure_memory(Path(folder), args.width, args.blocks))


if __name__ == "__main__":
    main()
