"""Checks the pool, the staging helpers and the offload layer on one CUDA device and prints one
table of what they achieve there: the suite's CUDA tests under PyTorch's stream sanitizer; copy
bandwidth both ways for a pool buffer, torch's own pinned memory and pageable memory; a staging
round trip compared byte for byte; and an offloaded transformer forward compared bit for bit with
the resident one, with the share of its copy time hidden behind compute and the device memory
reserved over steady forwards.

    python -I bench/gpu_check.py [--mib 256] [--repeat 10] [--no-sanitizer]   (or: make gpu-check)

Exits 0 when every check passed, 1 when one failed, 2 for bad arguments and 3 without CUDA.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Optional, Sequence

import torch

from korvane.offload import offload_module, stage_many, workload
from korvane.offload.pinned_pool import PinnedMemoryPool

MIB = 1 << 20
ROOT = Path(__file__).resolve().parent.parent
NO_CUDA = 3
# The tests that run on CUDA when it is there; the sanitizer watches every stream they use.
CUDA_TESTS = ["tests/test_cuda_order.py", "tests/test_staging.py", "tests/test_offload.py"]
SANITIZER_SECONDS = 300

Row = tuple[str, str, Optional[bool]]  # what, result, passed (None: a measurement only)


def parse_arguments(argv: Optional[Sequence[str]] = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--mib", type=_positive, default=256,
                        help="MiB copied in each bandwidth measurement, at most the largest "
                             "pool buffer's 256 (default 256)")
    parser.add_argument("--repeat", type=_positive, default=10,
                        help="copies timed per bandwidth measurement, median taken (default 10)")
    parser.add_argument("--no-sanitizer", action="store_true",
                        help="skip the suite's CUDA tests under TORCH_CUDA_SANITIZER=1")
    arguments = parser.parse_args(argv)
    largest = max(PinnedMemoryPool.BUCKET_SIZES_BYTES) // MIB
    if arguments.mib > largest:
        parser.error(f"--mib must be at most {largest}, the largest pool buffer, not "
                     f"{arguments.mib}")
    return arguments


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive integer, not {value}")
    return value


def main(argv: Optional[Sequence[str]] = None) -> int:
    arguments = parse_arguments(argv)
    if not torch.cuda.is_available():
        print("gpu-check needs a CUDA device, and torch sees none on this machine: nothing was "
              "checked.")
        return NO_CUDA
    device = torch.device("cuda", torch.cuda.current_device())
    print(f"{torch.cuda.get_device_name(device)}; torch {torch.__version__}, "
          f"CUDA {torch.version.cuda}\n")
    rows: list[Row] = []
    if not arguments.no_sanitizer:
        rows.append(sanitized_tests())
    rows += bandwidth(device, arguments.mib * MIB, arguments.repeat)
    rows.append(staging_round_trip(device))
    rows += offloaded_forward(device)
    print(format_table(rows))
    failed = sum(passed is False for _, _, passed in rows)
    print(f"\n{'every check passed' if not failed else f'{failed} checks FAILED'}")
    return 1 if failed else 0


def format_table(rows: Sequence[Row]) -> str:
    """The rows in aligned columns: what was checked or measured, the result, and a verdict."""
    verdicts = {True: "ok", False: "FAILED", None: ""}
    width = max(len(what) for what, _, _ in rows)
    result_width = max(len(result) for _, result, _ in rows)
    lines = [f"{'check':{width}}  {'result':{result_width}}  verdict",
             f"{'-' * width}  {'-' * result_width}  -------"]
    lines += [f"{what:{width}}  {result:{result_width}}  {verdicts[passed]}".rstrip()
              for what, result, passed in rows]
    return "\n".join(lines)


def sanitizer_command() -> tuple[list[str], dict]:
    """The suite's CUDA tests, and the environment that turns PyTorch's stream sanitizer on."""
    command = [sys.executable, "-I", "-m", "pytest", "-q", "-p", "no:cacheprovider",
               *CUDA_TESTS, "-k", "cuda or leased"]
    return command, {**os.environ, "TORCH_CUDA_SANITIZER": "1"}


def sanitized_tests() -> Row:
    command, environment = sanitizer_command()
    try:
        done = subprocess.run(command, env=environment, cwd=ROOT, capture_output=True, text=True,
                              timeout=SANITIZER_SECONDS)
    except subprocess.TimeoutExpired:
        return "CUDA tests, TORCH_CUDA_SANITIZER=1", f"over {SANITIZER_SECONDS} s", False
    lines = done.stdout.strip().splitlines()
    summary = lines[-1].strip("= ") if lines else "no output"
    if done.returncode:
        print(done.stdout[-4000:], done.stderr[-4000:], sep="\n")
    return "CUDA tests, TORCH_CUDA_SANITIZER=1", summary, done.returncode == 0


def bandwidth(device: torch.device, nbytes: int, repeat: int) -> list[Row]:
    """GB/s both ways between the device and a pool buffer, torch's pinned memory and pageable
    memory: the median of ``repeat`` copies of ``nbytes`` each."""
    pool = PinnedMemoryPool(max(nbytes, MIB))
    on_device = torch.empty(nbytes, dtype=torch.uint8, device=device)
    hosts = {"pool buffer": pool.lease(nbytes)[:nbytes],
             "torch pinned": torch.empty(nbytes, dtype=torch.uint8, pin_memory=True),
             "pageable": torch.empty(nbytes, dtype=torch.uint8)}
    rows = []
    for kind, host in hosts.items():
        host.fill_(1)
        for direction, target, source in (("host to device", on_device, host),
                                          ("device to host", host, on_device)):
            seconds = _median_seconds(lambda: target.copy_(source, non_blocking=True), device,
                                      repeat)
            rows.append((f"{kind}, {direction}, {nbytes // MIB} MiB",
                         f"{nbytes / seconds / 1e9:.1f} GB/s", None))
    return rows


def staging_round_trip(device: torch.device) -> Row:
    """Stages tensors of several dtypes and layouts (one larger than the largest bucket, so that
    tensors straddle buffers) and compares every restore with the original, byte for byte."""
    generator = torch.Generator(device=device).manual_seed(0)
    tensors = [
        torch.randn(300 * MIB // 4, generator=generator, device=device),
        torch.randn(1000, 999, generator=generator, device=device).half().t(),
        torch.randn(3, 5, 7, generator=generator, device=device).bfloat16(),
        torch.randn(300, 2, generator=generator, device=device, dtype=torch.complex64).conj(),
        torch.randn(64, 3, 32, 32, generator=generator, device=device).to(
            memory_format=torch.channels_last),
    ]
    pool = PinnedMemoryPool()
    with stage_many(pool, tensors) as staged:
        restored = staged.restore()
        into = [torch.empty_like(tensor).contiguous() for tensor in tensors]
        staged.restore_into(into)
    wrong = sum(not _same_values(a, b) for a, b in zip(tensors * 2, restored + into))
    total = sum(t.numel() * t.element_size() for t in tensors)
    return (f"staging round trip, {len(tensors)} tensors, {total / MIB:.0f} MiB",
            "identical byte for byte" if not wrong else f"{wrong} differ", not wrong)


def offloaded_forward(device: torch.device, blocks: int = 8, width: int = 2048,
                      batch: int = 8, seq_len: int = 1024, runs: int = 4) -> list[Row]:
    """A transformer run resident and then offloaded (prefetch 1) on the same batches, with enough
    tokens that a block computes for longer than its weights take to copy; the host never waits
    for the device between the offloaded forwards, as in a generate loop."""
    model = workload.build_model(blocks, width, device, seed=0)
    generator = torch.Generator().manual_seed(0)
    batches = [torch.randint(workload.VOCAB, (batch, seq_len), generator=generator).to(device)
               for _ in range(runs)]
    with torch.inference_mode():
        model(batches[0])
        resident, expected = _timed_outputs(model, batches, device)
    model_mib = workload.model_bytes(blocks, width) / MIB
    pool = PinnedMemoryPool()
    with offload_module(model, pool, device, prefetch=1) as offloaded, torch.inference_mode():
        offloaded(batches[0])
        before = offloaded.stats()
        reserved = []
        outputs = []
        for tokens in batches:
            outputs.append(offloaded(tokens))
            reserved.append(torch.cuda.memory_reserved(device))
        torch.cuda.synchronize(device)
        stats = offloaded.stats()
    wrong = sum(not torch.equal(out, ref) for out, ref in zip(outputs, expected))
    copied = stats["copy_seconds"] - before["copy_seconds"]
    waited = stats["wait_seconds"] - before["wait_seconds"]
    hidden = 1 - waited / copied if copied else 0.0
    flat = len(set(reserved[1:])) == 1
    what = f"offloaded forward, {blocks} blocks of {width}, {model_mib:.0f} MiB, prefetch 1"
    return [
        (f"{what}: outputs", "identical bit for bit" if not wrong else f"{wrong} of {runs} differ",
         not wrong),
        (f"{what}: copy time hidden", f"{hidden:.1%} of {copied / runs * 1e3:.1f} ms per "
                                      f"forward (resident forward {resident * 1e3:.1f} ms)", None),
        (f"{what}: memory_reserved over steady forwards",
         " ".join(f"{value / MIB:.0f}" for value in reserved) + " MiB", flat),
    ]


def _timed_outputs(model: Callable, batches: list, device: torch.device):
    torch.cuda.synchronize(device)
    start = time.perf_counter()
    outputs = [model(tokens) for tokens in batches]
    torch.cuda.synchronize(device)
    return (time.perf_counter() - start) / len(batches), outputs


def _median_seconds(copy: Callable, device: torch.device, repeat: int) -> float:
    copy()  # the first pays for setting the copy up
    runs = []
    for _ in range(repeat):
        torch.cuda.synchronize(device)
        start = time.perf_counter()
        copy()
        torch.cuda.synchronize(device)
        runs.append(time.perf_counter() - start)
    return statistics.median(runs)


def _same_values(a: torch.Tensor, b: torch.Tensor) -> bool:
    a, b = a.resolve_conj(), b.resolve_conj()
    return (a.shape == b.shape and a.dtype == b.dtype
            and torch.equal(a.contiguous().view(torch.uint8), b.contiguous().view(torch.uint8)))


if __name__ == "__main__":
    sys.exit(main())
