"""What type checkers and help() see of the compiled module."""

import ast
import inspect
import pydoc
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import STAND_IN_TORCH


@pytest.mark.skipif(STAND_IN_TORCH, reason="mypy reads the stub against the real torch's types")
def test_stub_matches_the_module(tmp_path):
    """As a user runs it: no configuration, away from the source tree."""
    result = subprocess.run(
        [sys.executable, "-I", "-m", "mypy.stubtest", "korvane.offload.pinned_pool"],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("name, shown", [
    ("__init__", "(self, max_bytes=None)"),
    ("lease", "(self, nbytes)"),
    ("release", "(self, buf)"),
    ("stats", "(self)"),
    ("_round_to_bucket", "(self, nbytes)"),
])
def test_signatures(ext, name, shown):
    assert str(inspect.signature(getattr(ext.PinnedMemoryPool, name))) == shown
    assert getattr(ext.PinnedMemoryPool, name).__doc__ is None


def test_signature_follows_the_defaults(ext, monkeypatch):
    monkeypatch.setattr(ext.PinnedMemoryPool.__init__, "__defaults__", (4096,))
    assert str(inspect.signature(ext.PinnedMemoryPool)) == "(max_bytes=4096)"


def test_help_shows_the_parameters_and_the_stubs_class_documentation(ext):
    text = pydoc.render_doc(ext.PinnedMemoryPool, renderer=pydoc.plaintext)
    assert "lease(self, nbytes)" in text and "release(self, buf)" in text
    stub = ast.parse(Path(ext.__file__).with_name("pinned_pool.pyi").read_text())
    cls = next(node for node in stub.body if getattr(node, "name", None) == "PinnedMemoryPool")
    assert inspect.getdoc(ext.PinnedMemoryPool) == ast.get_docstring(cls)
    assert "buf = pool.lease(nbytes)" in text
    assert str(inspect.signature(ext.PinnedMemoryPool(1).lease)) == "(nbytes)"


def test_stats_keys_match_the_stub(ext):
    stub = ast.parse(Path(ext.__file__).with_name("pinned_pool.pyi").read_text())
    typed = next(node for node in stub.body if getattr(node, "name", None) == "PoolStats")
    keys = [field.target.id for field in typed.body if isinstance(field, ast.AnnAssign)]
    assert keys == list(ext.PinnedMemoryPool(1).stats())
