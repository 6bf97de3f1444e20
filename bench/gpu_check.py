"""Checks the pool, the staging helpers and the offload layer on one CUDA device and prints what
they achieve there: copy bandwidth from pinned and pageable memory, a pool hit against a pinned
allocation, a staging round trip compared byte for byte, and an offloaded transformer forward
compared with the resident one, with the share of its copy time hidden behind compute.

    python -I bench/gpu_check.py        (or: make gpu-check)

Exits 1 if any result differs; without CUDA it says so and exits 0.
"""

from __future__ import annotations

import statistics
import sys
import time

import torch

from korvane.offload import offload_module, stage_many, workload
from korvane.offload.pinned_pool import PinnedMemoryPool
from korvane.offload.staging import stage_to_host

MIB = 1 << 20


def main() -> int:
    if not torch.cuda.is_available():
        print("CUDA is not available on this machine: nothing to check.")
        return 0
    device = torch.device("cuda", torch.cuda.current_device())
    print(f"{torch.cuda.get_device_name(device)}; torch {torch.__version__}, "
          f"CUDA {torch.version.cuda}\n")
    bandwidth(device)
    pool_hit_against_pinned_empty()
    failures = staging_round_trip(device) + offloaded_forward(device)
    print(f"\n{'every check passed' if not failures else f'{failures} checks FAILED'}")
    return 1 if failures else 0


def bandwidth(device: torch.device, nbytes: int = 256 * MIB, repeat: int = 5) -> None:
    print(f"copy bandwidth, {nbytes // MIB} MiB, median of {repeat}:")
    on_device = torch.empty(nbytes, dtype=torch.uint8, device=device)
    for kind, host in (("pinned", torch.empty(nbytes, dtype=torch.uint8, pin_memory=True)),
                       ("pageable", torch.empty(nbytes, dtype=torch.uint8))):
        host.fill_(1)
        for direction, target, source in (("host to device", on_device, host),
                                          ("device to host", host, on_device)):
            seconds = _median_seconds(lambda: target.copy_(source, non_blocking=True), device,
                                      repeat)
            print(f"  {kind:10}{direction:16}{nbytes / seconds / 1e9:8.1f} GB/s")


def pool_hit_against_pinned_empty(nbytes: int = MIB, number: int = 20_000) -> None:
    pool = PinnedMemoryPool()
    pool.release(pool.lease(nbytes))

    def hit():
        pool.release(pool.lease(nbytes))

    def pinned_empty():
        torch.empty(nbytes, dtype=torch.uint8, pin_memory=True)

    print(f"\n{nbytes // MIB} MiB host buffer, median ns of 5 runs of {number}:")
    for label, call in (("pool hit (lease + release)", hit),
                        ("torch.empty(pin_memory=True)", pinned_empty)):
        runs = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(number):
                call()
            runs.append((time.perf_counter() - start) / number * 1e9)
        print(f"  {label:32}{statistics.median(runs):10.0f} ns")


def staging_round_trip(device: torch.device) -> int:
    """Stages tensors of several dtypes and layouts (one larger than the largest bucket, so that
    tensors straddle buffers) and compares every restore with the original, byte for byte."""
    generator = torch.Generator(device=device).manual_seed(0)
    tensors = [
        torch.randn(300 * MIB // 4, generator=generator, device=device),
        torch.randn(1000, 999, generator=generator, device=device).half().t(),
        torch.randn(3, 5, 7, generator=generator, device=device).bfloat16(),
        torch.randint(-128, 128, (12345,), generator=generator, device=device, dtype=torch.int8),
        torch.randn(64, 3, 32, 32, generator=generator, device=device).to(
            memory_format=torch.channels_last),
    ]
    pool = PinnedMemoryPool()
    with stage_many(pool, tensors) as staged:
        restored = staged.restore()
        into = [torch.empty_like(tensor) for tensor in tensors]
        staged.restore_into(into)
        torch.cuda.synchronize(device)
        held = staged.held_bytes
    single = stage_to_host(pool, tensors[1]).restore()
    wrong = sum(not _same_bytes(a, b) for a, b in zip(tensors * 2, restored + into))
    wrong += not _same_bytes(single, tensors[1])
    total = sum(t.numel() * t.element_size() for t in tensors)
    print(f"\nstaging round trip: {len(tensors)} tensors, {total / MIB:.1f} MiB in "
          f"{held / MIB:.0f} MiB of pool buffers, restored twice, and one tensor alone: "
          f"{'identical byte for byte' if not wrong else f'{wrong} DIFFER'}")
    return int(wrong > 0)


def offloaded_forward(device: torch.device, blocks: int = 8, width: int = 2048,
                      batch: int = 8, seq_len: int = 1024, runs: int = 3) -> int:
    """A transformer run resident and then offloaded (prefetch 1) on the same batches, with enough
    tokens that a block computes for longer than its weights take to copy."""
    model = workload.build_model(blocks, width, device, seed=0)
    model_bytes = workload.model_bytes(blocks, width)
    generator = torch.Generator().manual_seed(0)
    batches = [torch.randint(workload.VOCAB, (batch, seq_len), generator=generator).to(device)
               for _ in range(runs)]
    print(f"\noffloaded forward: {blocks} blocks of width {width}, {model_bytes / MIB:.0f} MiB; "
          f"{runs} batches of {batch} x {seq_len} tokens")
    with torch.inference_mode():
        model(batches[0])
        activations = _peak_above_now(lambda: model(batches[0]), device)
        resident, expected = _timed_outputs(model, batches, device)
    pool = PinnedMemoryPool()
    with offload_module(model, pool, device, prefetch=1) as offloaded, torch.inference_mode():
        offloaded(batches[0])
        before = offloaded.stats()
        streamed_peak = _peak_above_now(lambda: offloaded(batches[0]), device)
        seconds, outputs = _timed_outputs(offloaded, batches, device)
        stats = offloaded.stats()
    wrong = sum(not torch.equal(out, ref) for out, ref in zip(outputs, expected))
    copied = stats["copy_seconds"] - before["copy_seconds"]
    waited = stats["wait_seconds"] - before["wait_seconds"]
    forwards = runs + 1
    largest = stats["largest_layer_bytes"]
    bound = stats["peak_resident_bytes"] + activations + MIB
    print(f"  seconds per forward: resident {resident:.4f}, offloaded {seconds:.4f}")
    print(f"  per offloaded forward: {copied / forwards * 1e3:.1f} ms copying, compute waited "
          f"{waited / forwards * 1e3:.1f} ms: {1 - waited / copied:.1%} of copy time hidden")
    print(f"  streamed weights on the device: peak {stats['peak_resident_bytes'] / MIB:.1f} MiB "
          f"= {stats['peak_resident_bytes'] / largest:.2f} x the largest layer "
          f"({largest / MIB:.1f} MiB)")
    print(f"  torch.cuda.max_memory_allocated above the start of a forward: resident "
          f"{activations / MIB:.1f} MiB, offloaded {streamed_peak / MIB:.1f} MiB, at most "
          f"streamed peak + resident's {bound / MIB:.1f} MiB: "
          f"{'agrees' if streamed_peak <= bound else 'EXCEEDED'}")
    print(f"  outputs: {'identical bit for bit' if not wrong else f'{wrong} of {runs} DIFFER'}")
    return int(wrong > 0) + int(streamed_peak > bound)


def _timed_outputs(model, batches, device):
    torch.cuda.synchronize(device)
    start = time.perf_counter()
    outputs = [model(tokens) for tokens in batches]
    torch.cuda.synchronize(device)
    return (time.perf_counter() - start) / len(batches), outputs


def _peak_above_now(run, device) -> int:
    """Device bytes allocated at the peak of ``run()``, above those allocated before it."""
    torch.cuda.synchronize(device)
    torch.cuda.reset_peak_memory_stats(device)
    start = torch.cuda.memory_allocated(device)
    run()
    torch.cuda.synchronize(device)
    return torch.cuda.max_memory_allocated(device) - start


def _median_seconds(copy, device, repeat) -> float:
    runs = []
    for _ in range(repeat + 1):
        torch.cuda.synchronize(device)
        start = time.perf_counter()
        copy()
        torch.cuda.synchronize(device)
        runs.append(time.perf_counter() - start)
    return statistics.median(runs[1:])  # the first pays for setting the copy up


def _same_bytes(a: torch.Tensor, b: torch.Tensor) -> bool:
    return (a.shape == b.shape and a.dtype == b.dtype and a.stride() == b.stride()
            and torch.equal(a.contiguous().view(torch.uint8), b.contiguous().view(torch.uint8)))


if __name__ == "__main__":
    sys.exit(main())
