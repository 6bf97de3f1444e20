"""The main job on a small workload."""

import re

import pytest
import torch

from korvane.offload import demo, offload, staging

SMALL_OFFLOAD = ["--layers", "2", "--total-mib", "4", "--batches", "2", "--seq-len", "4"]


def test_small_offload_run_verifies_and_reports(capsys):
    assert demo.main([*SMALL_OFFLOAD, "--prefetch", "2"]) == 0
    out = capsys.readouterr().out
    assert "every offloaded output equals the resident one bit for bit (2 batches)" in out
    assert "(1 + prefetch) x largest" in out and ": kept" in out
    assert "leased_count            0" in out


def test_a_wrong_offloaded_weight_fails_the_run(monkeypatch, capsys):
    load = offload._Weights.load

    def corrupting(self, device):
        copied = load(self, device)
        for tensor in self.tensors:
            tensor.zero_()
        return copied

    monkeypatch.setattr(offload._Weights, "load", corrupting)
    assert demo.main(SMALL_OFFLOAD) == 1
    assert "2 offloaded outputs differ" in capsys.readouterr().out


def test_small_round_trip_verifies_and_reports(capsys):
    assert demo.main(["--mode", "round-trip", "--layers", "4", "--passes", "2", "--total-mib", "8",
                      "--budget-mib", "1", "--seed", "3"]) == 0
    out = capsys.readouterr().out
    assert "through the pool" in out and "fresh allocations" in out
    assert "every restored layer equals the original" in out
    assert "from 4.0 KiB to" in out
    evictions = int(out.split("evictions")[1].split()[0])
    assert evictions > 0  # a 1 MiB budget cannot hold an 8 MiB model
    held = {label: float(ratio)
            for label, ratio in re.findall(r"^  (layer by layer|packed) .* ([\d.]+)x$", out, re.M)}
    # Four layers of 8 MiB, each rounded up on its own; packed, only the end of the run is.
    assert 1 <= held["packed"] <= 1 + 1 / 8 < held["layer by layer"]


def test_a_wrong_restore_fails_the_round_trip(monkeypatch, capsys):
    restore = staging.StagedTensor.restore

    def corrupting(self, *args, **kwargs):
        return restore(self, *args, **kwargs).zero_()

    monkeypatch.setattr(staging.StagedTensor, "restore", corrupting)
    assert demo.main(["--mode", "round-trip", "--layers", "3", "--passes", "1",
                      "--total-mib", "2"]) == 1
    assert "3 restored layers differ" in capsys.readouterr().out


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
