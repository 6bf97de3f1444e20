"""The benchmark runs and reports every row; its timings are never asserted here."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))

import bench_pool  # noqa: E402


def test_benchmark_measures_every_row(capsys):
    rows = bench_pool.measure(repeat=1, loops=50, samples=3)
    assert {top for _, top, _, _, _ in bench_pool.TARGETS} <= set(rows)
    assert all(value > 0 for value in rows.values())
    bench_pool.report(rows)
    assert "hit round trip / 1 MiB copy" in capsys.readouterr().out
