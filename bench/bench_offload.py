"""Measures what the offload layer costs per layer call, beyond copying weights, and what it holds.

On the CPU, where streamed weights are used in place and nothing is copied: a stack of
`Linear(16, 16)` layers (200, 400 and 1600 of them) run resident, with an empty forward pre-hook
and forward hook on each layer, and offloaded with prefetch 1, timed in alternation in the same
run; each is timed by its fastest forward, which other work on the machine can only slow. Each
cost per layer is the forward's time above the resident forward's, divided by the layers; the offload layer's is also given as a multiple of the empty hook pair's. The offloaded
module's host bytes and bytes copied per forward come from its `stats()`.

Then a tied Llama built from a config (random weights, about 480 MiB): the peak growth of the
process's resident memory while `offload_module` stages it (sampled every half millisecond), and
the bytes fetched per forward (copied and used in place) against the streamed bytes.

    python -I bench/bench_offload.py [--layers 200 400 1600] [--repeat 25] [--no-llama]
"""

import argparse
import os
import threading
import time

os.environ.setdefault("OMP_NUM_THREADS", "1")

import psutil  # noqa: E402
import torch  # noqa: E402
from torch import nn  # noqa: E402

from korvane.offload import offload_module  # noqa: E402
from korvane.offload.pinned_pool import PinnedMemoryPool  # noqa: E402

FLAT_TARGET = 1.3   # per-layer cost at the most layers over that at the fewest
HOOKS_TARGET = 5.0  # per-layer cost over the empty hook pair's
HOST_SLACK = 64 << 20  # peak host growth while staging: at most the largest layer and this
MIB = 1 << 20


def _forward_seconds(module: nn.Module, x: torch.Tensor) -> float:
    start = time.perf_counter()
    module(x)
    return time.perf_counter() - start


def measure(count: int, repeat: int) -> dict:
    """Per-layer seconds above the resident forward, with empty hooks and offloaded."""
    torch.manual_seed(0)
    resident = nn.Sequential(*(nn.Linear(16, 16) for _ in range(count))).eval()
    hooked = nn.Sequential(*(nn.Linear(16, 16) for _ in range(count))).eval()
    for layer in hooked:
        layer.register_forward_pre_hook(lambda module, args: None)
        layer.register_forward_hook(lambda module, args, output: None)
    streamed = nn.Sequential(*(nn.Linear(16, 16) for _ in range(count))).eval()
    x = torch.randn(1, 16)
    times: dict[str, list[float]] = {"resident": [], "hooks": [], "offloaded": []}
    with offload_module(streamed, PinnedMemoryPool(64 << 20), "cpu") as offloaded, \
            torch.inference_mode():
        for module in (resident, hooked, streamed):
            module(x)
        before = offloaded.stats()
        for _ in range(repeat):
            for name, module in (("resident", resident), ("hooks", hooked),
                                 ("offloaded", streamed)):
                times[name].append(_forward_seconds(module, x))
        stats = offloaded.stats()
    base = min(times["resident"])
    return {
        "layers": count,
        "resident": base / count,
        "hooks": (min(times["hooks"]) - base) / count,
        "offloaded": (min(times["offloaded"]) - base) / count,
        "copied": (stats["bytes_copied"] - before["bytes_copied"]) / repeat,
        "streamed": stats["streamed_bytes"],
        "host": stats["host_bytes"],
    }


def _over_hooks(row: dict) -> float:
    # A tiny stack may time the hook pair at nothing.
    return row["offloaded"] / max(row["hooks"], 1e-9)


def report(rows: list[dict]) -> None:
    print("| layers | resident us/layer | empty hook pair us/layer | offload us/layer | "
          "offload / hook pair | bytes copied per forward | host bytes / streamed |")
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for row in rows:
        print(f"| {row['layers']} | {row['resident'] * 1e6:.2f} | {row['hooks'] * 1e6:.2f} | "
              f"{row['offloaded'] * 1e6:.2f} | {_over_hooks(row):.1f}x | "
              f"{row['copied']:.0f} | {row['host'] / row['streamed']:.2f} |")
    flat = rows[-1]["offloaded"] / rows[0]["offloaded"]
    print(f"\noffload cost per layer, {rows[-1]['layers']} over {rows[0]['layers']} layers: "
          f"{flat:.2f}x (target at most {FLAT_TARGET}x); over the empty hook pair at most "
          f"{max(map(_over_hooks, rows)):.1f}x "
          f"(target at most {HOOKS_TARGET}x)")


def tied_llama(layers: int = 8, width: int = 1024) -> nn.Module:
    import transformers

    torch.manual_seed(0)
    config = transformers.LlamaConfig(
        vocab_size=32000, hidden_size=width, intermediate_size=width * 11 // 4,
        num_hidden_layers=layers, num_attention_heads=8, num_key_value_heads=4,
        tie_word_embeddings=True)
    return transformers.LlamaForCausalLM(config).eval()


def measure_host(model: nn.Module) -> dict:
    """Peak resident-memory growth while offloading ``model``, and one forward's fetches."""
    process = psutil.Process()
    start = peak = process.memory_info().rss
    staging = True

    def sample() -> None:
        nonlocal peak
        while staging:
            peak = max(peak, process.memory_info().rss)
            time.sleep(0.0005)

    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        offloaded = offload_module(model, PinnedMemoryPool(4 << 30), "cpu")
    finally:
        staging = False
        sampler.join()
    tokens = torch.randint(0, 32000, (1, 16), generator=torch.Generator().manual_seed(0))
    with offloaded, torch.inference_mode():
        model(tokens)
        before = offloaded.stats()
        model(tokens)
        stats = offloaded.stats()
    return {"growth": peak - start, "largest": stats["largest_layer_bytes"],
            "streamed": stats["streamed_bytes"], "shared": stats["shared_bytes"],
            "copied": stats["bytes_copied"] - before["bytes_copied"],
            "in_place": stats["bytes_in_place"] - before["bytes_in_place"]}


def report_host(row: dict) -> None:
    bound = row["largest"] + HOST_SLACK
    fetched = row["copied"] + row["in_place"]
    print(f"\ntied Llama, {row['streamed'] / MIB:.0f} MiB streamed (tied embedding "
          f"{row['shared'] / MIB:.0f} MiB), largest layer {row['largest'] / MIB:.0f} MiB")
    print(f"  peak host growth during offload_module: {row['growth'] / MIB:.1f} MiB "
          f"(target at most largest layer + 64 MiB = {bound / MIB:.0f} MiB: "
          f"{'yes' if row['growth'] <= bound else 'no'})")
    print(f"  per forward: {fetched / row['streamed']:.2f}x the streamed bytes fetched, "
          f"{row['copied'] / MIB:.1f} MiB of them copied (weights straddling two buffers), "
          f"{row['in_place'] / MIB:.1f} MiB used in place")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--layers", type=int, nargs="+", default=[200, 400, 1600])
    parser.add_argument("--repeat", type=int, default=25)
    parser.add_argument("--no-llama", action="store_true", help="skip the tied Llama")
    args = parser.parse_args()
    report([measure(count, args.repeat) for count in args.layers])
    if not args.no_llama:
        report_host(measure_host(tied_llama()))


if __name__ == "__main__":
    main()
