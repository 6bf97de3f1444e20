"""The package as a user meets it: commands run from the checkout, its names and their types,
its version, and giving its idle memory back."""

import importlib.metadata
import pydoc
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

from conftest import MIB, STAND_IN_TORCH

ROOT = Path(__file__).resolve().parents[1]


def run_python(*args, cwd=ROOT):
    """The venv's interpreter as a user starts it: no -I, so the directory comes first."""
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, cwd=cwd,
                          timeout=300)


def test_a_command_run_from_the_checkout_imports_the_extension_beside_the_sources():
    result = run_python("-c", "import sys, korvane.offload, korvane.offload.pinned_pool as m; "
                              "print(m.__file__); print(sorted(m.PinnedMemoryPool(1).stats()))")
    assert result.returncode == 0, result.stderr
    where, keys = result.stdout.splitlines()
    assert Path(where).parent == ROOT / "korvane" / "offload"
    assert Path(where).name.startswith("pinned_pool.cpython-")
    assert "leased_count" in keys


@pytest.mark.skipif(STAND_IN_TORCH, reason="the demo needs the real torch")
def test_the_demo_help_runs_from_the_checkout():
    result = run_python("-m", "korvane.offload", "--help")
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage: python -m korvane.offload")


def test_importing_the_package_imports_neither_torch_nor_the_extension():
    result = run_python("-c", "import sys, korvane.offload; print(sorted(name for name in "
                              "sys.modules if 'torch' in name or 'pool' in name))")
    assert result.returncode == 0, result.stderr
    assert result.stdout == "[]\n"


def test_every_public_name_loads_from_where_it_lives(ext):
    import korvane.offload as package

    assert set(package.__all__) == {"__version__", *package._EXPORTS}
    assert set(package.__all__) <= set(dir(package))
    assert package.PinnedMemoryPool is ext.PinnedMemoryPool
    with pytest.raises(AttributeError, match="has no attribute 'stage_too_host'"):
        package.stage_too_host  # noqa: B018


def test_the_version_is_the_installed_distributions():
    import korvane.offload as package

    assert package.__version__ == importlib.metadata.version("korvane-offload")
    assert re.fullmatch(r"\d+\.\d+\.\d+", package.__version__)


@pytest.mark.skipif(STAND_IN_TORCH, reason="staging needs the real torch")
@pytest.mark.parametrize("name, usage", [
    ("PinnedMemoryPool", "buf = pool.lease(nbytes)"),
    ("StagedGroup", "group = stage_many(pool, layer.state_dict())"),
    ("StagedTensor", "staged = stage_to_host(pool, weight)"),
    ("release_idle_memory", "freed = release_idle_memory(pool)"),
])
def test_help_shows_how_to_make_and_use_each(name, usage):
    import korvane.offload as package

    assert usage in pydoc.render_doc(getattr(package, name), renderer=pydoc.plaintext)


USER_SCRIPT = """\
    import torch
    from torch import nn

    import korvane.offload
    from korvane.offload import (PinnedMemoryPool, StagedGroup, StagedTensor, offload_module,
                                 release_idle_memory, stage_many, stage_to_host)

    pool = PinnedMemoryPool(64 << 20)
    model = nn.Sequential(nn.Linear(8, 8), nn.Linear(8, 8))
    with offload_module(model, pool, "cpu", prefetch=1) as offloaded:
        stats: dict = offloaded.stats()
    staged: StagedTensor = stage_to_host(pool, torch.ones(4))
    group: StagedGroup = stage_many(pool, {"w": torch.ones(4)})
    freed: int = release_idle_memory(pool)
    buf: torch.Tensor = pool.lease(1 << 20)
    version: str = korvane.offload.__version__
    PinnedMemoryPool("64 MiB")  # wrong: arg-type
    offload_module(model, pool, "cpu", prefetch="one")  # wrong: arg-type
    stage_to_host(pool, [torch.ones(4)])  # wrong: arg-type
    release_idle_memory(pool, 5)  # wrong: call-arg
    pool.lease_buffer(4)  # wrong: attr-defined
    count: int = pool.stats()["hit"]  # wrong: typeddict-item
    from korvane.offload import stage_too_host  # wrong: attr-defined
"""


@pytest.mark.skipif(STAND_IN_TORCH, reason="mypy reads the package against the real torch's types")
def test_mypy_checks_a_users_calls(tmp_path):
    """As a user runs it, away from the source tree: mypy reads the installed package."""
    script = tmp_path / "user.py"
    script.write_text(textwrap.dedent(USER_SCRIPT))
    result = subprocess.run(
        [sys.executable, "-I", "-m", "mypy", "--cache-dir", str(tmp_path / "cache"),
         "--show-error-codes", "--no-error-summary", script.name],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    found = sorted(re.findall(r"^user\.py:(\d+): error: .*\[([a-z-]+)\]$", result.stdout, re.M))
    expected = sorted((str(number), line.split("# wrong: ")[1])
                      for number, line in enumerate(script.read_text().splitlines(), 1)
                      if "# wrong: " in line)
    assert found == expected, result.stdout + result.stderr


def test_releasing_idle_memory_drops_every_pooled_buffer_and_keeps_the_counters(ext):
    from korvane.offload import release_idle_memory

    pool = ext.PinnedMemoryPool(1 << 30)
    buffers = [pool.lease(size) for size in (1, 4 * MIB, MIB, 16 * MIB)]
    kept = buffers.pop()
    for buf in buffers:
        pool.release(buf)
    before = pool.stats()
    assert before["total_allocated_bytes"] == 22 * MIB

    assert release_idle_memory(pool) == 6 * MIB
    assert pool.stats() == {**before, "total_allocated_bytes": 16 * MIB}
    assert all(not buffers for buffers in pool._buckets.values())
    assert release_idle_memory(pool) == 0

    pool.lease(MIB)
    assert pool.stats()["misses"] == before["misses"] + 1
    pool.release(kept)
    assert pool.stats()["leased_count"] == 1


def test_releasing_idle_memory_goes_through_an_overridden_eviction(ext):
    from korvane.offload import release_idle_memory

    class KeepsSmallBuffers(ext.PinnedMemoryPool):
        def _evict_oldest(self):
            self.evicted = [*getattr(self, "evicted", []), "call"]
            if self._buckets[64 * MIB]:
                super()._evict_oldest()

    pool = KeepsSmallBuffers(1 << 30)
    buffers = [pool.lease(size) for size in (MIB, 64 * MIB, 64 * MIB)]
    for buf in buffers:
        pool.release(buf)
    assert release_idle_memory(pool) == 128 * MIB
    assert pool.evicted == ["call"] * 3
    assert [len(pool._buckets[size]) for size in pool.BUCKET_SIZES_BYTES] == [1, 0, 0, 0, 0]


@pytest.mark.parametrize("pool", [None, "pool", object()])
def test_releasing_idle_memory_refuses_what_is_no_pool(pool):
    from korvane.offload import release_idle_memory

    with pytest.raises(TypeError, match="^pool must be a PinnedMemoryPool, not "):
        release_idle_memory(pool)
