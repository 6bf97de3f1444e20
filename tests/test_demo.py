"""The main job on a small workload."""

import re
import subprocess
import sys
from pathlib import Path

import pytest
import torch

from korvane.offload import demo, offload, staging

SMALL_OFFLOAD = ["--mode", "module", "--layers", "2", "--total-mib", "4", "--batches", "2",
                 "--seq-len", "4"]
# A tied embedding of 8192 tokens is most of a small Llama: the budget leaves room for its reads.
SMALL_CHECKPOINT = ["--layers", "6", "--total-mib", "32", "--tokens", "3", "--seq-len", "4",
                    "--host-budget-mib", "24"]


def summary(out):
    """The closing table's rows, by name."""
    table = out.split("\nSummary\n")[1].splitlines()[1:]
    return dict(re.fullmatch(r"  (\S.*?)  +(\S.*)", row).groups() for row in table)


def test_small_offload_run_verifies_and_reports(capsys):
    assert demo.main([*SMALL_OFFLOAD, "--prefetch", "2"]) == 0
    out = capsys.readouterr().out
    assert "Every offloaded output equals the resident one, bit for bit (2 batches)." in out
    assert re.search(r"within the bound of 3 x the largest layer plus [\d.]+ [KM]iB of weights "
                     r"that several layers read: the running layer, 2 fetched ahead", out)
    rows = summary(out)
    assert rows["outputs"] == "2 of 2 equal bit for bit"
    assert rows["pool buffers"].endswith(", ordinary (not pinned), 0 leased")
    assert re.fullmatch(r"\d+: \d+ reused, \d+ allocated, 0 evictions", rows["pool leases"])
    assert "bytes" not in out  # sizes are in KiB and MiB, never raw byte counts


@pytest.mark.parametrize("options, row, value", [
    (SMALL_OFFLOAD, "outputs", "2 of 2 equal bit for bit"),
    (SMALL_CHECKPOINT, "tokens identical", "yes"),
])
def test_the_demo_piped_to_a_file_prints_whole_lines_and_its_summary(options, row, value):
    """As a user runs it from the checkout, with the output going to a pipe."""
    if options is SMALL_CHECKPOINT:
        pytest.importorskip("transformers")
    result = subprocess.run(
        [sys.executable, "-m", "korvane.offload", *options], stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, cwd=Path(__file__).resolve().parents[1], timeout=300)
    out = result.stdout.decode()
    assert result.returncode == 0, out
    assert "\r" not in out and "\x1b" not in out
    assert summary(out)[row] == value


def test_the_checkpoint_job_reports_the_child_and_fails_when_tokens_differ(monkeypatch, capsys):
    pytest.importorskip("transformers")
    child = demo._child

    def corrupting(args, folder):
        result = child(args, folder)
        result["tokens"][-1] += 1
        return result

    monkeypatch.setattr(demo, "_child", corrupting)
    assert demo.main(SMALL_CHECKPOINT) == 1
    out = capsys.readouterr().out
    rows = summary(out)
    assert rows["tokens identical"] == "no" and "The tokens DIFFER" in out
    assert rows["model"] == "27.5 MiB, 6 Llama blocks, on cpu"
    held = float(re.fullmatch(r"([\d.]+) MiB, budget 24.0 MiB", rows["pool buffers"])[1])
    growth = float(re.fullmatch(r"([\d.]+) MiB, [\d.]+ x the model",
                                rows["child's peak memory growth"])[1])
    assert held <= 24 and growth <= 24 + 2 * 4 + 160  # the budget, two layers' reads, 160 MiB
    assert float(rows["read while generating"].split(" MiB")[0]) > 27.5  # layers read again
    assert "bytes" not in out


def test_a_budget_too_small_for_the_child_fails_the_run_in_one_line(capsys):
    pytest.importorskip("transformers")
    assert demo.main([*SMALL_CHECKPOINT[:-1], "4"]) == 1
    out = capsys.readouterr().out
    assert re.search(r"^The offloaded child process failed \(exit 1\): ValueError: host_budget "
                     r"of 4194304 bytes is too small: .*$", out, re.M)


def test_help_is_plain_text(capsys):
    with pytest.raises(SystemExit) as exit:
        demo.main(["--help"])
    assert exit.value.code == 0
    out = capsys.readouterr().out
    assert "With --mode round-trip it instead" in out and "``" not in out
    assert "With --mode module it instead" in out


def test_a_wrong_offloaded_weight_fails_the_run(monkeypatch, capsys):
    load = offload._Weights.load

    def corrupting(self, device):
        copied = load(self, device)
        for tensor in self.tensors:
            tensor.zero_()
        return copied

    monkeypatch.setattr(offload._Weights, "load", corrupting)
    assert demo.main(SMALL_OFFLOAD) == 1
    out = capsys.readouterr().out
    assert "2 offloaded outputs differ from the resident ones." in out
    assert summary(out)["outputs"] == "0 of 2 equal bit for bit"


def test_small_round_trip_verifies_and_reports(capsys):
    assert demo.main(["--mode", "round-trip", "--layers", "4", "--passes", "2", "--total-mib", "8",
                      "--budget-mib", "1", "--seed", "3"]) == 0
    out = capsys.readouterr().out
    assert "goes to host memory and back twice through the pool" in out
    assert "Every restored layer equals the original (4 layers in each round trip)." in out
    assert "from 4.0 KiB to" in out
    rows = summary(out)
    assert rows["through the pool"].startswith("32.0 MiB in ")
    assert rows["through fresh memory"].startswith("32.0 MiB in ")
    evictions = int(re.fullmatch(r"\d+: \d+ reused, \d+ allocated, (\d+) evictions",
                                 rows["pool leases"])[1])
    assert evictions > 0  # a 1 MiB budget cannot hold an 8 MiB model
    held = {label: float(rows[f"held {label}"].split(", ")[1].rstrip("x"))
            for label in ("layer by layer", "packed")}
    # Four layers of 8 MiB, each rounded up on its own; packed, only the end of the run is.
    assert 1 <= held["packed"] <= 1 + 1 / 8 < held["layer by layer"]
    assert rows["check"] == "every layer restored exactly"


def test_a_wrong_restore_fails_the_round_trip(monkeypatch, capsys):
    restore = staging.StagedTensor.restore

    def corrupting(self, *args, **kwargs):
        return restore(self, *args, **kwargs).zero_()

    monkeypatch.setattr(staging.StagedTensor, "restore", corrupting)
    assert demo.main(["--mode", "round-trip", "--layers", "3", "--passes", "1",
                      "--total-mib", "2"]) == 1
    out = capsys.readouterr().out
    assert "3 restored layers differ from the original." in out
    assert summary(out)["check"] == "3 restored layers differ"


def test_default_layer_sizes():
    sizes = demo.layer_sizes(20, 1024 << 20, seed=0)
    assert len(sizes) == 20
    assert min(sizes) < 1 << 20 and max(sizes) > 256 << 20
    assert abs(sum(sizes) - (1024 << 20)) < 1 << 20


@pytest.mark.parametrize("options", [
    ["--layers", "1"],
    ["--budget-mib", "-5"],
    ["--batches", "0"],
    ["--prefetch", "-1"],
    ["--seq-len", "many"],
    ["--mode", "sideways"],
    ["--device", "tpu"],
    ["--device", "cuda:99"],
    ["--total-mib", "1", "--layers", "2"],
    ["--mode", "round-trip", "--total-mib", "1", "--layers", "300"],
    ["--mode", "round-trip", "--total-mib", str(10 ** 30)],  # more than any machine holds
    ["--seq-len", str(10 ** 12)],
    ["--mode", "module", "--seq-len", str(10 ** 12)],
    ["--tokens", "0"],
    ["--host-budget-mib", "0"],
    ["--mode", "round-trip", "--total-mib", "4000", "--layers", str(10 ** 6)],  # a bucket each
    ["--seed", str(1 << 64)],
    pytest.param(["--device", "cuda"], marks=pytest.mark.skipif(
        torch.cuda.is_available(), reason="CUDA is available")),
])
def test_impossible_options_end_in_one_line_of_usage_error(options, capsys):
    with pytest.raises(SystemExit) as exit:
        demo.main(options)
    assert exit.value.code == 2
    err = capsys.readouterr().err.strip().splitlines()
    assert err[-1].startswith("python -m korvane.offload: error: ") and "Traceback" not in err
