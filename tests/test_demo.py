"""The main job on a small workload."""

import re

import pytest

from korvane.offload import demo, staging


def test_small_run_verifies_and_reports(capsys):
    assert demo.main(["--layers", "4", "--passes", "2", "--total-mib", "8",
                      "--budget-mib", "1", "--seed", "3"]) == 0
    out = capsys.readouterr().out
    assert "through the pool" in out and "fresh allocations" in out
    assert "every restored layer equals the original" in out
    evictions = int(out.split("evictions")[1].split()[0])
    assert evictions > 0  # a 1 MiB budget cannot hold an 8 MiB model
    held = {label: float(ratio)
            for label, ratio in re.findall(r"^  (layer by layer|packed) .* ([\d.]+)x$", out, re.M)}
    # Four layers of 8 MiB, each rounded up on its own; packed, only the end of the run is.
    assert 1 <= held["packed"] <= 1 + 1 / 8 < held["layer by layer"]


def test_a_wrong_restore_fails_the_run(monkeypatch, capsys):
    restore = staging.StagedTensor.restore

    def corrupting(self, *args, **kwargs):
        return restore(self, *args, **kwargs).zero_()

    monkeypatch.setattr(staging.StagedTensor, "restore", corrupting)
    assert demo.main(["--layers", "3", "--passes", "1", "--total-mib", "2"]) == 1
    assert "3 restored layers differ" in capsys.readouterr().out


def test_default_layer_sizes():
    sizes = demo.layer_sizes(20, 1024 << 20, seed=0)
    assert len(sizes) == 20
    assert min(sizes) < 1 << 20 and max(sizes) > 256 << 20
    assert abs(sum(sizes) - (1024 << 20)) < 1 << 20


def test_bad_options():
    with pytest.raises(SystemExit):
        demo.parse_args(["--layers", "1"])
