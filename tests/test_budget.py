"""Device memory detection and the default budget, against fake psutil and torch."""

import pytest

from conftest import GIB, FakePsutil, FakeTorch

NO_CUDA = None

# total_ram, available, vram_gb (None: CUDA unavailable), expected budget
WORKED_EXAMPLES = [
    (16 * GIB, 12 * GIB, NO_CUDA, 1717986918),
    (4 * GIB, 1 * GIB, NO_CUDA, 429496729),
    (64 * GIB, 48 * GIB, 8.0, 8589934592),
    (64 * GIB, 48 * GIB, 7.99969482421875, 2147483648),
    (64 * GIB, 40 * GIB, 24.0, 13743895347),
    (64 * GIB, 10 * GIB, 24.0, 5368709120),
    (32 * GIB, 30 * GIB, 24.0, 6871947673),
    (33000000000, 20000000000, 24.0, 4950000000),
    (256 * GIB, 200 * GIB, 80.0, 17179869184),
    (8 * GIB, 6 * GIB, 80.0, 858993459),
    (16 * GIB, 3 * GIB, 12.0, 1610612736),
    (32 * GIB, 0, 16.0, 0),
]


def install(impl, monkeypatch, total, available, vram_gb):
    psutil = FakePsutil(total, available)
    if vram_gb is NO_CUDA:
        torch = FakeTorch(cuda_available=False)
    else:
        torch = FakeTorch(cuda_available=True, total_memory=int(vram_gb * GIB))
    monkeypatch.setattr(impl, "psutil", psutil)
    monkeypatch.setattr(impl, "torch", torch)
    return psutil, torch


@pytest.mark.parametrize("total, available, vram_gb, expected", WORKED_EXAMPLES)
def test_worked_examples(impl, monkeypatch, total, available, vram_gb, expected):
    psutil, torch = install(impl, monkeypatch, total, available, vram_gb)
    budget = impl.PinnedMemoryPool._compute_default_budget()
    assert budget == expected and type(budget) is int
    assert psutil.calls == 2
    assert torch.cuda.property_calls == ([] if vram_gb is NO_CUDA else [0])
    psutil.calls = 0
    assert impl.PinnedMemoryPool().max_bytes == expected
    assert psutil.calls == 2


@pytest.mark.parametrize("available, expected", [(0, 0), (1, 0), (3, 1)])
def test_half_of_available_truncates(impl, monkeypatch, available, expected):
    install(impl, monkeypatch, 16 * GIB, available, NO_CUDA)
    assert impl.PinnedMemoryPool._compute_default_budget() == expected


@pytest.mark.parametrize("total_memory, expected", [
    (25769803776, 24.0),
    (8589934592, 8.0),
    (8589606912, 7.99969482421875),
])
def test_detect_vram_gb(impl, monkeypatch, total_memory, expected):
    torch = FakeTorch(cuda_available=True, total_memory=total_memory)
    monkeypatch.setattr(impl, "torch", torch)
    result = impl._detect_vram_gb()
    assert result == expected and type(result) is float
    assert torch.cuda.property_calls == [0]


@pytest.mark.parametrize("answer, has_cuda", [(False, False), (0, False), (None, False),
                                              (1, True), ("yes", True)])
def test_cuda_availability_is_judged_by_truth(impl, monkeypatch, answer, has_cuda):
    torch = FakeTorch(cuda_available=answer, total_memory=2 * GIB)
    monkeypatch.setattr(impl, "torch", torch)
    result = impl._detect_vram_gb()
    assert type(result) is float
    assert result == (2.0 if has_cuda else 0.0)
    assert torch.cuda.property_calls == ([0] if has_cuda else [])


def test_tier_boundaries_use_strict_comparisons(impl, monkeypatch):
    # Exactly 16 GiB of RAM with an 8 GiB device is tier 2: 0.15 of 16 GiB.
    install(impl, monkeypatch, 16 * GIB, 16 * GIB, 8.0)
    assert impl.PinnedMemoryPool._compute_default_budget() == int(16 * GIB * 0.15)
    # Exactly 32 GiB with 16 GiB of device memory reaches tier 3.
    install(impl, monkeypatch, 32 * GIB, 32 * GIB, 16.0)
    assert impl.PinnedMemoryPool._compute_default_budget() == int(32 * GIB * 0.2)


def test_device_errors_propagate(impl, monkeypatch):
    _, torch = install(impl, monkeypatch, 64 * GIB, 48 * GIB, 24.0)

    def broken(device):
        raise RuntimeError("device 0 is gone")

    torch.cuda.get_device_properties = broken
    with pytest.raises(RuntimeError, match="device 0 is gone"):
        impl.PinnedMemoryPool._compute_default_budget()
    with pytest.raises(RuntimeError, match="device 0 is gone"):
        impl.PinnedMemoryPool()


def test_psutil_errors_propagate(impl, monkeypatch):
    install(impl, monkeypatch, 64 * GIB, 48 * GIB, NO_CUDA)
    impl.psutil.virtual_memory = lambda: (_ for _ in ()).throw(OSError("no /proc"))
    with pytest.raises(OSError, match="no /proc"):
        impl.PinnedMemoryPool()


def test_module_names_are_looked_up_at_each_call(impl, monkeypatch):
    detect = impl._detect_vram_gb
    install(impl, monkeypatch, 64 * GIB, 48 * GIB, NO_CUDA)
    monkeypatch.setattr(impl, "_detect_vram_gb", lambda: 24.0)
    assert impl.PinnedMemoryPool._compute_default_budget() == int(64 * GIB * 0.2)
    monkeypatch.delattr(impl, "torch")
    with pytest.raises(NameError, match="name 'torch' is not defined"):
        detect()
    monkeypatch.delattr(impl, "psutil")
    with pytest.raises(NameError, match="name 'psutil' is not defined"):
        impl.PinnedMemoryPool._compute_default_budget()


def test_budget_from_the_live_machine(impl):
    import psutil

    budget = impl.PinnedMemoryPool._compute_default_budget()
    assert 0 <= budget <= 16 * GIB
    assert budget <= psutil.virtual_memory().total * 0.2
