"""What importing the extension binds, and the surface of the class it builds."""

import subprocess
import sys
import textwrap
import typing
import weakref

import psutil
import pytest
import torch

from conftest import fresh_import

MODULE = "korvane.offload.pinned_pool"

CLASS_MEMBERS = [
    # name, wrapping, parameters, annotations
    ("__init__", None, ["self", "max_bytes"], {"max_bytes": "Optional[int]"}),
    ("_compute_default_budget", staticmethod, [], {"return": "int"}),
    ("lease", None, ["self", "nbytes"], {"nbytes": "int", "return": "torch.Tensor"}),
    ("release", None, ["self", "buf"], {"buf": "torch.Tensor", "return": "None"}),
    ("stats", None, ["self"], {"return": "dict[str, Any]"}),
    ("is_under_pressure", property, ["self"], {"return": "bool"}),
    ("_round_to_bucket", None, ["self", "nbytes"], {"nbytes": "int", "return": "int"}),
    ("_evict_oldest", None, ["self"], {"return": "None"}),
    ("_total_allocated", None, ["self"], {"return": "int"}),
]


def unwrap(entry):
    if isinstance(entry, staticmethod):
        return entry.__func__
    if isinstance(entry, property):
        return entry.fget
    return entry


def test_module_namespace_binds_its_names_in_order():
    ext = fresh_import()
    own = [name for name in vars(ext) if not name.startswith("__")]
    assert own == ["Any", "Optional", "psutil", "torch", "_detect_vram_gb", "PinnedMemoryPool"]
    assert ext.Any is typing.Any and ext.Optional is typing.Optional
    assert ext.psutil is psutil and ext.torch is torch
    assert ext.__doc__ is None
    assert ext.__name__ == MODULE


def test_detect_vram_gb_is_a_module_function(ext):
    function = ext._detect_vram_gb
    assert function.__module__ == MODULE
    assert function.__qualname__ == "_detect_vram_gb"
    assert function.__annotations__ == {}
    assert function.__doc__ is None
    with pytest.raises(TypeError):
        function(0)


def test_class_is_plain(ext):
    cls = ext.PinnedMemoryPool
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__module__ == MODULE and cls.__qualname__ == "PinnedMemoryPool"
    assert "__slots__" not in vars(cls)
    pool = cls(1)
    assert isinstance(pool.__dict__, dict)
    assert weakref.ref(pool)() is pool


def test_class_namespace_order_and_wrapping(ext):
    namespace = vars(ext.PinnedMemoryPool)
    own = [name for name in namespace if name not in ("__dict__", "__weakref__", "__doc__")]
    assert own == ["__module__", "BUCKET_SIZES_BYTES"] + [m[0] for m in CLASS_MEMBERS]
    for name, wrapping, _, _ in CLASS_MEMBERS:
        entry = namespace[name]
        if wrapping is None:
            assert not isinstance(entry, (staticmethod, property)), name
        else:
            assert type(entry) is wrapping, name
    prop = namespace["is_under_pressure"]
    assert prop.fset is None and prop.fdel is None


@pytest.mark.parametrize("name, wrapping, parameters, annotations", CLASS_MEMBERS)
def test_method_surface(ext, name, wrapping, parameters, annotations):
    function = unwrap(vars(ext.PinnedMemoryPool)[name])
    assert function.__name__ == name
    assert function.__qualname__ == f"PinnedMemoryPool.{name}"
    assert function.__module__ == MODULE
    assert function.__doc__ is None
    assert function.__annotations__ == annotations
    assert all(type(text) is str for text in function.__annotations__.values())
    assert function.__defaults__ == ((None,) if name == "__init__" else None)
    assert function.__kwdefaults__ is None
    assert function.__globals__ is vars(ext)


def test_bucket_sizes(ext):
    sizes = ext.PinnedMemoryPool.BUCKET_SIZES_BYTES
    assert type(sizes) is list
    assert sizes == [1048576, 4194304, 16777216, 67108864, 268435456]
    assert all(type(size) is int for size in sizes)
    assert ext.PinnedMemoryPool(1).BUCKET_SIZES_BYTES is sizes


def test_property_is_read_only(ext):
    pool = ext.PinnedMemoryPool(1)
    with pytest.raises(AttributeError):
        pool.is_under_pressure = True
    with pytest.raises(AttributeError):
        del pool.is_under_pressure


def run_python(code):
    return subprocess.run(
        [sys.executable, "-I", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
    )


def test_import_without_psutil_fails_before_torch_and_recovers():
    result = run_python(f"""
        import sys
        sys.modules["psutil"] = None
        try:
            import {MODULE}
        except ModuleNotFoundError as error:
            assert error.name == "psutil", error
            assert "psutil" in str(error)
        else:
            raise SystemExit("import succeeded without psutil")
        assert "torch" not in sys.modules
        assert "{MODULE}" not in sys.modules
        del sys.modules["psutil"]
        import {MODULE} as module
        assert module.PinnedMemoryPool(5).max_bytes == 5
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_import_allocates_nothing_and_queries_no_device():
    result = run_python(f"""
        import psutil, torch
        calls = []
        torch.cuda.is_available = lambda: calls.append("is_available")
        torch.empty = lambda *a, **k: calls.append("empty")
        psutil.virtual_memory = lambda: calls.append("virtual_memory")
        import {MODULE}
        print(calls)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "[]"


def test_reimport_runs_the_body_again(ext):
    fresh = fresh_import()
    assert fresh is not ext
    assert fresh.PinnedMemoryPool is not ext.PinnedMemoryPool
    assert fresh.PinnedMemoryPool.lease.__globals__ is vars(fresh)
