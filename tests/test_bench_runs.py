"""The benchmark runs and reports every row; its timings are never asserted here."""

import sys
from pathlib import Path

import pytest
import torch

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import bench_checkpoint  # noqa: E402
import bench_offload  # noqa: E402
import bench_pool  # noqa: E402
import bench_staging  # noqa: E402
import gpu_check  # noqa: E402


def test_benchmark_measures_every_row(capsys):
    rows = bench_pool.measure(repeat=1, loops=50, samples=3)
    assert {top for _, top, _, _, _ in bench_pool.TARGETS} <= set(rows)
    assert all(value > 0 for value in rows.values())
    bench_pool.report(rows)
    assert "hit round trip / 1 MiB copy" in capsys.readouterr().out


def test_staging_benchmark_measures_both_ways(capsys):
    cpu = torch.device("cpu")
    models = {"tiny": {"weight": torch.randn(300, 7).t(), "bias": torch.randn(3)},
              "transformer": bench_staging.transformer_model(1, 32, cpu)}
    rows = bench_staging.measure(models, cpu, repeat=1)
    assert [row["tensors"] for row in rows] == [2, 12]
    assert all(row["model_bytes"] <= row["packed"] <= row["one_by_one"] for row in rows)
    bench_staging.report(rows)
    assert "packed round trip / floor" in capsys.readouterr().out


def test_offload_benchmark_measures_every_row(capsys):
    rows = [bench_offload.measure(count, repeat=1) for count in (4, 8)]
    assert [(row["layers"], row["streamed"], row["copied"]) for row in rows] == [
        (4, 4 * 1088, 0), (8, 8 * 1088, 0)]  # Linear(16, 16): 1088 bytes, used in place
    assert all(row["host"] == 1 << 20 for row in rows)
    bench_offload.report(rows)
    assert "offload / hook pair" in capsys.readouterr().out


def test_checkpoint_benchmark_reads_every_layer_each_time(tmp_path, capsys):
    layers = bench_checkpoint.write_checkpoint(tmp_path, mib=1, shards=2, width=64)
    row = bench_checkpoint.measure(tmp_path, layers, repeat=2)
    assert [row["files"], row["layers"], row["tensors"]] == [2, 14, 14 * 9]
    assert row["read_bytes"] == 3 * row["tensor_bytes"]  # a warm-up read, then two timed
    bench_checkpoint.report(row)
    assert "reader GB/s / plain readinto GB/s" in capsys.readouterr().out


def test_checkpoint_benchmark_times_an_offloaded_llama_reading_its_layers(tmp_path, capsys):
    pytest.importorskip("transformers")
    config = bench_checkpoint.llama_config(width=256, blocks=4)
    row = bench_checkpoint.measure_forward(tmp_path, config, repeat=1, tokens=4, budget_share=0.9)
    assert row["same"] and row["host_bytes"] <= row["budget"]
    assert row["read_bytes"] > 2 * row["model_bytes"]  # loaded, then read again in each forward
    bench_checkpoint.report_forward(row)
    assert "offloaded / (resident + readinto + copy)" in capsys.readouterr().out


@pytest.mark.skipif(torch.cuda.is_available(), reason="runs the whole check on CUDA")
def test_gpu_check_without_cuda_says_so_and_fails(capsys):
    assert gpu_check.main(["--no-sanitizer"]) == gpu_check.NO_CUDA == 3
    assert "needs a CUDA device" in capsys.readouterr().out


@pytest.mark.parametrize("argv", [["--mib", "0"], ["--mib", "x"], ["--repeat", "-1"],
                                  ["--mib", "257"], ["--unknown"]])
def test_gpu_check_refuses_bad_arguments(argv, capsys):
    with pytest.raises(SystemExit) as exit_info:
        gpu_check.main(argv)
    assert exit_info.value.code == 2 and argv[0] in capsys.readouterr().err


def test_gpu_check_prints_one_aligned_table():
    arguments = gpu_check.parse_arguments([])
    assert (arguments.mib, arguments.repeat, arguments.no_sanitizer) == (256, 10, False)
    table = gpu_check.format_table([("copy", "1.0 GB/s", None), ("outputs", "equal", True),
                                    ("reserved memory", "3 4 MiB", False)])
    assert table.splitlines() == [
        "check            result    verdict",
        "---------------  --------  -------",
        "copy             1.0 GB/s",
        "outputs          equal     ok",
        "reserved memory  3 4 MiB   FAILED",
    ]
    command, environment = gpu_check.sanitizer_command()
    assert environment["TORCH_CUDA_SANITIZER"] == "1"
    assert all((gpu_check.ROOT / path).is_file() for path in gpu_check.CUDA_TESTS)
    assert command[command.index("-k") + 1] == "cuda or leased"


def test_gpu_check_measures_under_the_stand_in(cuda_order):
    if cuda_order is None:
        pytest.skip("make gpu-check runs it on the device")
    device = torch.device("cuda", 0)
    rows = gpu_check.bandwidth(device, 1 << 20, repeat=2)
    assert [what for what, _, _ in rows] == [
        f"{kind}, {direction}, 1 MiB" for kind in ("pool buffer", "torch pinned", "pageable")
        for direction in ("host to device", "device to host")]
    assert all(result.endswith(" GB/s") and passed is None for _, result, passed in rows)
    outputs, hidden, reserved = gpu_check.offloaded_forward(device, blocks=3, width=128, batch=2,
                                                            seq_len=8, runs=4)
    assert outputs[1:] == ("identical bit for bit", True)
    assert hidden[1].endswith(" ms)") and hidden[2] is None
    assert len(reserved[1].split()) == 5 and reserved[2] is True, reserved
