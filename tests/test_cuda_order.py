"""The CUDA paths of the offload layer, run under the stream-order stand-in (or a real device):
a model built on the CPU and offloaded to CUDA, with every copy, wait and free checked for
order; and the stand-in itself, which must report the faults it is there to catch."""

import pytest
import torch
from torch import nn

from conftest import MIB, check_releases, load_extension
from korvane.offload import offload_module


def llama():
    transformers = pytest.importorskip("transformers")
    config = transformers.LlamaConfig(
        vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=2,
        num_attention_heads=4, num_key_value_heads=2)
    return transformers.LlamaForCausalLM(config), torch.randint(0, 128, (2, 7))


def linears():
    return nn.Sequential(*(nn.Linear(256, 256) for _ in range(5))), torch.randn(4, 256)


class KeepsAView(nn.Module):
    """The last layer reads a view of the first layer's weight that the first layer made while
    its weight was on the device: the view outlives the group it was made from."""

    def __init__(self):
        super().__init__()
        self.first, self.middle, self.last = (nn.Linear(16, 16) for _ in range(3))
        self.first.register_forward_hook(self._keep)

    def _keep(self, layer, args, output):
        self.kept = layer.weight[:, :8]

    def forward(self, x):
        x = self.middle(self.first(x))
        return self.last(x) + x[:, :8] @ self.kept.t()


def keeps_a_view():
    return KeepsAView(), torch.randn(3, 16)


MODELS = {"llama": llama, "linears": linears, "keeps a view": keeps_a_view}


def outputs(model, x, forwards):
    with torch.no_grad():
        results = [model(x) for _ in range(forwards)]
    return [getattr(out, "logits", out) for out in results]


@pytest.mark.parametrize("device", ["cuda", "cuda:1"])
@pytest.mark.parametrize("prefetch", [0, 1, 2])
@pytest.mark.parametrize("name", MODELS)
def test_a_model_built_on_the_cpu_runs_offloaded_to_cuda(cuda_order, name, prefetch, device):
    if device == "cuda:1" and torch.cuda.device_count() < 2:
        pytest.skip("needs two CUDA devices")
    torch.manual_seed(0)
    model, x = MODELS[name]()
    model.eval()
    weights = {key: value.clone() for key, value in model.state_dict().items()}
    torch.cuda.set_device(0)  # cuda:1 is not the current device
    target = torch.device(device if device != "cuda" else "cuda:0")
    expected = outputs(model.to(target), x.to(target), 1)[0].cpu()  # the device's own kernels
    model.cpu()
    pool = check_releases(cuda_order, load_extension().PinnedMemoryPool(64 * MIB))
    with offload_module(model, pool, device, prefetch=prefetch):
        results = outputs(model, x.to(target), 3)
        if target.index:
            assert torch.cuda.memory_allocated(0) == 0  # nothing landed on the current device
    assert all(out.device == target and torch.equal(out.cpu(), expected) for out in results)
    state = model.state_dict()  # back on the CPU, where the weights were
    assert all(value.device == torch.device("cpu") for value in state.values())
    assert all(torch.equal(state[key].cpu(), value) for key, value in weights.items())
    assert pool.stats()["leased_count"] == 0


class Peeks(nn.Module):
    """Reads the second layer's weight before calling it: a weight fetched ahead and attached
    before its wait would be read while its copy still runs."""

    def __init__(self):
        super().__init__()
        self.first, self.second = nn.Linear(8, 8), nn.Linear(8, 8)

    def forward(self, x):
        x = self.first(x)
        if self.second.weight.numel():
            x = x + self.second.weight.sum()
        return self.second(x)


def test_a_weight_fetched_ahead_is_not_read_before_its_wait(cuda_order):
    model = Peeks()
    with offload_module(model, load_extension().PinnedMemoryPool(64 * MIB), "cuda",
                        prefetch=1), torch.no_grad():
        for _ in range(2):  # the second fetches it ahead, while the first layer runs
            with pytest.raises(RuntimeError, match=r"^second\.weight is offloaded and was read "
                                                   "outside a call"):
                model(torch.randn(2, 8).cuda())


def test_reserved_device_memory_stays_flat_over_steady_forwards(cuda_order):
    torch.manual_seed(0)
    model, x = linears()
    x = x.cuda()
    with torch.no_grad():
        resident = model.cuda()
        resident(x)
        start = torch.cuda.memory_allocated()
        torch.cuda.reset_peak_memory_stats()
        resident(x)
        activations = torch.cuda.max_memory_allocated() - start
        model.cpu()
    pool = load_extension().PinnedMemoryPool(64 * MIB)
    reserved, peaks = [], []
    with offload_module(model, pool, "cuda", prefetch=1) as offloaded, torch.no_grad():
        for _ in range(5):  # as a generate loop runs them: the host never waits for the device
            start = torch.cuda.memory_allocated()
            torch.cuda.reset_peak_memory_stats()
            model(x)
            peaks.append(torch.cuda.max_memory_allocated() - start)
            reserved.append(torch.cuda.memory_reserved())
        streamed_peak = offloaded.stats()["peak_resident_bytes"]
    assert streamed_peak == 2 * (256 * 256 + 256) * 4  # the running layer and the next one
    # The first forward learns the order; from the second on, the device holds no more.
    assert reserved[2:] == [reserved[1]] * 3
    assert all(peak <= streamed_peak + activations for peak in peaks)


def read_on_another_stream(order):
    side = torch.cuda.Stream()
    with torch.cuda.stream(side):
        weight = torch.ones(64, device="cuda")
    return weight, weight * 2


def freed_while_read_elsewhere(order):
    side = torch.cuda.Stream()
    with torch.cuda.stream(side):
        weight = torch.ones(64, device="cuda")
    torch.cuda.current_stream().wait_stream(side)
    weight.sum()
    del weight


def released_under_a_copy(order):
    pool = check_releases(order, load_extension().PinnedMemoryPool(64 * MIB))
    buf = pool.lease(256)
    buf[:256].copy_(torch.ones(256, dtype=torch.uint8, device="cuda"), non_blocking=True)
    pool.release(buf)


def read_before_landing(order):
    host = torch.empty(64, pin_memory=True)
    host.copy_(torch.ones(64, device="cuda"), non_blocking=True)
    return host.sum()


def waited_for(order):
    side = torch.cuda.Stream()
    with torch.cuda.stream(side):
        weight = torch.ones(64, device="cuda")
    torch.cuda.current_stream().wait_stream(side)
    weight.record_stream(torch.cuda.current_stream())
    (weight * 2).sum()
    del weight


def landed_in_pageable_memory(order):
    host = torch.empty(64)
    host.copy_(torch.ones(64, device="cuda"), non_blocking=True)  # returns once it has landed
    return host.sum()


def synchronized_before_release(order):
    pool = check_releases(order, load_extension().PinnedMemoryPool(64 * MIB))
    buf = pool.lease(256)
    buf[:256].copy_(torch.ones(256, dtype=torch.uint8, device="cuda"), non_blocking=True)
    torch.cuda.current_stream().synchronize()
    pool.release(buf)


@pytest.mark.parametrize("fault, report", [
    (read_on_another_stream, "mul on stream 0 of cuda:0 (read of 512 bytes of cuda:0) is not "
                             "ordered after ones on stream 2 of cuda:0"),
    (freed_while_read_elsewhere, "allocated on stream 2 of cuda:0 was freed while sum on "
                                 "stream 0 of cuda:0 may still run (no record_stream)"),
    (released_under_a_copy, "a buffer released to the pool while copy device to host on "
                            "stream 0 of cuda:0 may still run"),
    (read_before_landing, "sum on host (read of 512 bytes of pinned host memory) is not ordered "
                          "after copy device to host on stream 0 of cuda:0"),
    (waited_for, None),
    (landed_in_pageable_memory, None),
    (synchronized_before_release, None),
])
def test_the_stand_in_reports_what_a_device_would_race_on(cuda_order, fault, report):
    if cuda_order is None:
        pytest.skip("checks the stand-in, not a device")
    kept = fault(cuda_order)
    if report is None:
        assert cuda_order.violations == []
    else:
        assert len(cuda_order.violations) == 1 and report in cuda_order.violations[0]
    cuda_order.violations.clear()
    torch.cuda.synchronize()
    del kept

