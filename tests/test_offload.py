"""Streaming a module's layers from pooled host buffers: results, residency, order, undoing it."""

import copy
import gc
import inspect
import itertools

import pytest
import torch
from torch import nn

from korvane.offload import OffloadedModule, engines, layers, offload, offload_module
from korvane.offload.pinned_pool import PinnedMemoryPool
from korvane.offload.placeholders import Placeholder
from korvane.offload.policy import StreamingPolicy
from korvane.offload.staging import PackedRun, host_tensors

MIB = 1 << 20

DEVICES = ["cpu", pytest.param("cuda", marks=pytest.mark.skipif(
    not torch.cuda.is_available(), reason="needs CUDA"))]


class Tied(nn.Module):
    """The last layer reads the first one's weight."""

    def __init__(self):
        super().__init__()
        self.encode, self.middle, self.decode = (nn.Linear(16, 16) for _ in range(3))
        self.decode.weight = self.encode.weight

    def forward(self, x):
        return self.decode(self.middle(self.encode(x)))


class Twice(nn.Module):
    def __init__(self):
        super().__init__()
        self.outer, self.inner = nn.Linear(16, 16), nn.Linear(16, 16)

    def forward(self, x):
        return self.outer(self.inner(self.outer(x)))


class Skipping(nn.Module):
    def __init__(self):
        super().__init__()
        self.first, self.maybe, self.last = (nn.Linear(16, 16) for _ in range(3))

    def forward(self, x, skip):
        x = self.first(x)
        return self.last(x if skip else self.maybe(x))


def with_batchnorm():
    norm = nn.BatchNorm1d(16)
    norm.running_mean.uniform_(-1, 1)
    norm.running_var.uniform_(0.5, 2)
    return nn.Sequential(nn.Flatten(0, 1), nn.Linear(16, 16), norm, nn.ReLU(), nn.Linear(16, 16))


def transformer():
    layer = nn.TransformerEncoderLayer(16, 4, 32, dropout=0.0, batch_first=True)
    return nn.TransformerEncoder(layer, 3, enable_nested_tensor=False)


def mlp():
    module = nn.Sequential(nn.Linear(16, 32), nn.ReLU(), nn.Linear(32, 32), nn.ReLU(),
                           nn.Linear(32, 16))
    module[2].weight.data = module[2].weight.data.t().contiguous().t()  # laid out by columns
    return module


def batches(*flags):
    return [(torch.randn(2, 5, 16), *flag) for flag in flags]


SHAPES = {
    "mlp": (mlp, [(), (), ()]),
    "transformer": (transformer, [(), (), ()]),
    "batchnorm": (with_batchnorm, [(), (), ()]),
    "tied": (Tied, [(), (), ()]),
    "called twice": (Twice, [(), (), ()]),
    "skipping": (Skipping, [(True,), (False,), (True,), (False,)]),
}


@pytest.fixture
def pool():
    return PinnedMemoryPool(64 << 20)


def resident_outputs(build, flags, device):
    torch.manual_seed(0)
    module = build().to(device).eval()
    calls = [(x.to(device), *rest) for x, *rest in batches(*flags)]
    with torch.no_grad():
        return module, calls, [module(*call) for call in calls]


@pytest.mark.parametrize("device", DEVICES)
@pytest.mark.parametrize("prefetch", [0, 1, 2])
@pytest.mark.parametrize("shape", SHAPES)
def test_outputs_and_weights_equal_the_resident_module(shape, prefetch, device, pool):
    build, flags = SHAPES[shape]
    module, calls, expected = resident_outputs(build, flags, device)
    weights = {name: t.clone() for name, t in module.state_dict().items()}
    parameters = list(module.parameters())
    strides = [t.stride() for t in parameters]
    model_bytes = sum(t.numel() * t.element_size()
                      for t in itertools.chain(parameters, module.buffers()))
    shapes = [(t.shape, t.dtype) for t in itertools.chain(parameters, module.buffers())]
    with offload_module(module, pool, device, prefetch=prefetch) as offloaded:
        # Between calls the weights keep their shapes and dtypes; read by name they refuse work.
        assert [(t.shape, t.dtype) for t in itertools.chain(module.parameters(),
                                                            module.buffers())] == shapes
        assert all(t.device.type == device for t in module.parameters())
        # Computed with through parameters(), they give NaN, not values that pass for real.
        assert all(t.isnan().all() for t in module.parameters())
        some_weight = next(sub for sub in module.modules() if "weight" in sub._parameters).weight
        assert isinstance(some_weight, Placeholder)
        with pytest.raises(RuntimeError, match=r"weight is offloaded and holds no values between "
                           r"forwards: call the model or the layer that holds it, write it "
                           r"whole in place .* or read it from state_dict\(\)$"):
            some_weight + 1
        with torch.inference_mode():
            outputs = [module(*call) for call in calls]
        assert all(torch.equal(out, ref) for out, ref in zip(outputs, expected))
        state = module.state_dict()
        assert state.keys() == weights.keys()
        assert all(torch.equal(state[name].to(device), value) for name, value in weights.items())
        stats = offloaded.stats()
        # Once a forward ends, the first layers of the next one are fetched, and only those.
        warm = stats["resident_bytes"]
        assert (0 < warm <= prefetch * stats["largest_layer_bytes"] + stats["shared_bytes"]
                if prefetch else warm == 0)
        assert 0 < stats["peak_resident_bytes"] <= ((1 + prefetch) * stats["largest_layer_bytes"]
                                                    + stats["shared_bytes"])
        assert stats["streamed_bytes"] == model_bytes  # tied weights once
        assert stats["shared_bytes"] == (16 * 16 * 4 if shape == "tied" else 0)
        assert stats["host_bytes"] == MIB  # every layer packed into one smallest buffer
        # On the CPU every weight is used in place; a forward fetches each weight once.
        fetched = stats["bytes_copied"] + stats["bytes_in_place"]
        assert stats["bytes_copied" if device == "cpu" else "bytes_in_place"] == 0
        if prefetch and shape not in ("called twice", "skipping"):
            assert fetched == len(calls) * model_bytes + warm
    assert list(module.parameters()) == parameters  # the same objects, ties included
    assert [t.stride() for t in parameters] == strides
    assert pool.stats()["leased_count"] == 0
    assert all(torch.equal(t, weights[name]) for name, t in module.state_dict().items())


@pytest.mark.parametrize("device", DEVICES)
@pytest.mark.parametrize("prefetch", [0, 1, 3, 9])
def test_the_device_holds_the_running_layer_and_those_fetched_ahead(prefetch, device, pool):
    module = nn.Sequential(*(nn.Linear(256, 256) for _ in range(6)))
    layer_bytes = sum(p.numel() * p.element_size() for p in module[0].parameters())
    offloaded = offload_module(module, pool, device, prefetch=prefetch)
    peaks = []
    module.register_forward_hook(lambda *_: peaks.append(offloaded.stats()["peak_resident_bytes"]))
    with torch.no_grad():
        for _ in range(3):
            if device == "cuda":
                torch.cuda.synchronize()
                torch.cuda.reset_peak_memory_stats()
                start = torch.cuda.memory_allocated()
            module(torch.randn(4, 256, device=device))
            # What stays is the first layers of the next forward, fetched ahead of it.
            assert offloaded.stats()["resident_bytes"] == min(prefetch, 6) * layer_bytes
    # The first forward learns the order, so nothing is fetched ahead of it; the peak it ends
    # with counts the layers then fetched for the next.
    assert peaks == [max(1, min(prefetch, 6)) * layer_bytes] + 2 * [min(1 + prefetch, 6)
                                                                    * layer_bytes]
    assert offloaded.stats()["fetches"] == 18 + min(prefetch, 6)
    if device == "cuda":  # the allocator agrees, give or take rounding and activations
        assert torch.cuda.max_memory_allocated() - start <= peaks[-1] + (64 << 10)


class RecordingEngine(engines.CpuEngine):
    log: list
    names: dict

    def fetch(self, group):
        self.log.append(("fetch", self.names[id(group.targets[0])]))
        super().fetch(group)

    def wait(self, group):
        self.log.append(("wait", self.names[id(group.targets[0])]))

    def free(self, group):
        super().free(group)
        self.log.append(("free", self.names[id(group.targets[0])]))


def test_copy_then_wait_then_run_then_free_with_the_next_fetched_ahead(pool, monkeypatch):
    module = mlp()
    log = []
    monkeypatch.setattr(offload, "CpuEngine", RecordingEngine)
    monkeypatch.setattr(RecordingEngine, "log", log, raising=False)
    monkeypatch.setattr(RecordingEngine, "names", {
        id(p): name for name, layer in module.named_children() for p in layer.parameters()},
        raising=False)
    for name in "024":
        module[int(name)].register_forward_hook(
            lambda layer, args, out, name=name: log.append(("run", name, layer.weight.numel())))
    offload_module(module, pool, "cpu", prefetch=1)
    sizes = {"0": 16 * 32, "2": 32 * 32, "4": 32 * 16}
    with torch.no_grad():
        module(torch.randn(2, 16))
        # Once it has ended, the layer the next forward starts with is fetched.
        assert log == [step for name in "024" for step in [
            ("fetch", name), ("wait", name), ("run", name, sizes[name]), ("free", name)]] + [
            ("fetch", "0")]
        log.clear()
        module(torch.randn(2, 16))
    assert log == [("wait", "0"), ("run", "0", sizes["0"]),
                   ("fetch", "2"), ("free", "0"), ("wait", "2"), ("run", "2", sizes["2"]),
                   ("fetch", "4"), ("free", "2"), ("wait", "4"), ("run", "4", sizes["4"]),
                   ("free", "4"), ("fetch", "0")]


def test_a_weight_read_by_name_does_not_keep_a_dropped_offloaded_module(pool):
    module = mlp()
    offload_module(module, pool, "cpu")
    held = module[2].weight
    del module
    gc.collect()
    assert pool.stats()["leased_count"] == 0
    with pytest.raises(RuntimeError, match="^the offloaded module this weight belonged to was "
                                           r"dropped without close\(\)$"):
        held + 1


def test_hooks_registered_after_offloading_see_their_layers_weights(pool):
    module = mlp()
    total = module[2].weight.sum().item()
    x = torch.randn(2, 32)
    expected = module[2](x)
    offloaded = offload_module(module, pool, "cpu")
    seen = []
    module[2].register_forward_pre_hook(
        lambda layer, args: seen.append(("before", layer.weight.sum().item())), prepend=True)
    module[2].register_forward_hook(
        lambda layer, args, out: seen.append(("after", layer.weight.sum().item())))
    with torch.no_grad():
        assert torch.equal(module[2](x), expected)  # on its own, before any forward
        for _ in range(2):
            module(torch.randn(2, 16))
        assert seen == 3 * [("before", total), ("after", total)]
        # A hook of a layer called on its own may close the module during that call.
        module[2].register_forward_hook(lambda *args: offloaded.close())
        assert torch.equal(module[2](x), expected)
    assert pool.stats()["leased_count"] == 0 and "closed" in repr(offloaded)


def test_a_prefetched_layer_is_attached_only_when_it_starts(pool):
    module = mlp()
    offload_module(module, pool, "cpu", prefetch=1)
    seen = []

    def look_ahead(layer, args, output):
        raw = dict.__getitem__(module[2]._parameters, "weight")
        seen.append((raw.shape, raw.stride(), type(module[2].weight).__name__))

    module[0].register_forward_hook(look_ahead)
    with torch.no_grad():
        for _ in range(2):
            module(torch.randn(2, 16))
    # Fetched ahead on the second forward, yet the next layer's weight is not attached yet.
    assert seen == 2 * [((32, 32), (0, 0), "Placeholder")]


@pytest.mark.parametrize("whole, copied", [(False, 600_000), (True, 0)])
def test_packed_groups_share_a_run_and_are_viewed_in_place_where_whole(whole, copied, pool):
    # 1.5 MB in two 1 MiB buffers: end to end, the second tensor straddles them.
    groups = [[torch.randn(150_000), torch.randn(150_000)], [torch.randn(75_000)]]
    run = PackedRun(pool, groups, whole=whole)
    staged = [run.stage(index, tensors) for index, tensors in enumerate(groups)]
    assert run.held_bytes == 2 * MIB and pool.stats()["leased_count"] == 2
    reused = {}
    for group, tensors in zip(staged, groups):
        views, copies = host_tensors(group, reused)
        assert all(map(torch.equal, views, tensors))
        copied -= copies
    assert copied == 0
    views[0][0] = 7.0  # a view writes through to the staged copy
    assert staged[1].restore()[0][0] == 7.0
    run.release()
    run.release()
    assert pool.stats()["leased_count"] == 0


class Group:
    nbytes = 1

    def __init__(self, name):
        self.name = name


class Recorder:
    def __init__(self):
        self.log = []

    def fetch(self, group):
        self.log.append(f"fetch {group.name}")

    def wait(self, group):
        self.log.append(f"wait {group.name}")

    def free(self, group):
        self.log.append(f"free {group.name}")

    def attach(self, group):
        self.log.append(f"attach {group.name}")

    def detach(self, group):
        self.log.append(f"detach {group.name}")


a, b, c, shared = map(Group, "abcs")


@pytest.mark.parametrize("needs, first, second, prefetch, expected", [
    ({"A": [a], "B": [b], "C": [c]}, "ABAC", "ABAC", 1,  # a layer called twice
     "wait a|attach a|detach a|fetch b|free a|wait b|attach b|detach b|fetch a|free b|"
     "wait a|attach a|detach a|fetch c|free a|wait c|attach c|detach c|free c|fetch a"),
    ({"A": [a], "B": [b], "C": [c]}, "ABC", "AC", 1,  # a layer skipped
     "wait a|attach a|detach a|fetch b|free a|free b|fetch c|wait c|attach c|detach c|"
     "free c|fetch a"),
    ({"A": [a], "B": [b], "C": [c]}, "AC", "ABC", 1,  # a layer the first forward skipped
     "wait a|attach a|detach a|fetch c|free a|fetch b|wait b|attach b|detach b|free b|"
     "wait c|attach c|detach c|free c|fetch a"),
    ({"A": [a, shared], "B": [b], "C": [c, shared]}, "ABC", "ABC", 2,  # s stays from A to C
     "wait a|attach a|wait s|attach s|detach a|detach s|fetch c|free a|"
     "wait b|attach b|detach b|free b|wait c|attach c|wait s|attach s|detach c|detach s|"
     "free c|free s|fetch a|fetch s|fetch b"),
    ({"A": [a, shared], "B": [b], "C": [c, shared]}, "ABC", "ABC", 0,  # copied once, not twice
     "fetch a|fetch s|wait a|attach a|wait s|attach s|detach a|detach s|free a|"
     "fetch b|wait b|attach b|detach b|free b|fetch c|wait c|attach c|wait s|attach s|"
     "detach c|detach s|free c|free s"),
])
def test_prefetch_follows_the_learned_order(needs, first, second, prefetch, expected):
    # The second forward's log: the first layers it reads were fetched when the first one ended,
    # and it ends fetching them for the next.
    engine = Recorder()
    policy = StreamingPolicy(needs, engine, prefetch)
    for forward in (first, second):
        policy.begin_forward()
        engine.log.clear()
        for layer in forward:
            policy.before(layer)
            policy.after(layer)
        policy.end_forward()
    assert "|".join(engine.log) == expected
    policy.release_all()
    assert policy.resident_bytes == 0


def test_close_leaves_an_ordinary_resident_module(pool):
    module, calls, expected = resident_outputs(Tied, [()], "cpu")
    offloaded = offload_module(module, pool, "cpu")
    with torch.no_grad():
        offloaded(*calls[0])
    with pytest.raises(TypeError, match="cannot be pickled, saved whole or copied"):
        copy.deepcopy(module)
    offloaded.close()
    offloaded.close()
    assert torch.equal(copy.deepcopy(module)(*calls[0]), expected[0])
    assert pool.stats()["leased_count"] == 0
    for sub in module.modules():
        assert not (sub._forward_hooks or sub._forward_pre_hooks or sub._state_dict_hooks)
        assert not {"_call_impl", *sub._parameters, *sub._buffers} & sub.__dict__.keys()
    assert module.decode.weight is module.encode.weight
    assert not module.encode.weight.is_inference()
    assert torch.equal(module(*calls[0]), expected[0])  # gradients allowed again
    with offload_module(module, pool, "cpu"), torch.no_grad():  # and it can be offloaded anew
        assert torch.equal(module(*calls[0]), expected[0])


def test_a_module_dropped_without_close_gives_its_buffers_and_surviving_weights_back(pool):
    module = mlp()
    head = nn.Linear(32, 32)
    head.weight = module[2].weight  # lives on after the module
    weight, stride = module[2].weight.detach().clone(), module[2].weight.stride()
    offload_module(module, pool, "cpu")
    assert pool.stats()["leased_count"] == 1  # the three layers share one buffer
    del module
    gc.collect()
    assert pool.stats()["leased_count"] == 0
    assert torch.equal(head.weight, weight) and head.weight.stride() == stride
    with offload_module(nn.Sequential(head), pool, "cpu"), torch.no_grad():
        head(torch.randn(2, 32))
    assert torch.equal(head.weight, weight)


def test_a_forward_needing_gradients_is_refused_before_anything_moves(pool):
    module = mlp()
    offloaded = offload_module(module, pool, "cpu")
    x = torch.randn(2, 16)
    for call in (lambda: module(x), lambda: module[2](torch.randn(2, 32))):
        with pytest.raises(RuntimeError, match="inference only"):
            call()
        assert offloaded.stats()["copies"] == 0
    module.requires_grad_(False)
    assert module(x).shape == (2, 16)  # no gradient needed: runs with grad mode on
    # What stays is the first layer, fetched for the next forward.
    assert offloaded.stats()["resident_bytes"] == sum(p.nbytes for p in module[0].parameters())


class FailingPool(PinnedMemoryPool):
    """Refuses its third lease."""

    def lease(self, nbytes):
        if self.stats()["leases"] == 2:
            raise MemoryError("no more buffers")
        return super().lease(nbytes)


def failing_hook(self):
    self._handles.append(self.module.register_forward_hook(lambda *args: None))
    raise MemoryError("no more hooks")


@pytest.mark.parametrize("fails", ["third lease", "hooking"])
def test_an_offload_failing_midway_leaves_the_module_as_it_was(fails, monkeypatch):
    pool = FailingPool(64 << 20) if fails == "third lease" else PinnedMemoryPool(64 << 20)
    if fails == "hooking":
        monkeypatch.setattr(OffloadedModule, "_hook", failing_hook)
    module = nn.Sequential(*(nn.Linear(512, 512) for _ in range(3)))  # 3 MiB: several buffers
    parameters = list(module.parameters())
    weights = [(t.clone(), t.stride()) for t in parameters]
    with pytest.raises(MemoryError, match="no more"):
        offload_module(module, pool, "cpu")
    monkeypatch.undo()
    assert pool.stats()["leased_count"] == 0 and pool.stats()["leases"] >= 2
    assert list(module.parameters()) == parameters
    assert all(torch.equal(t, w) and t.stride() == s for t, (w, s) in zip(parameters, weights))
    assert all(type(sub._parameters) is dict and not sub._forward_pre_hooks
               and not sub._forward_hooks for sub in module.modules())
    with offload_module(module, PinnedMemoryPool(64 << 20), "cpu"), torch.no_grad():
        module(torch.randn(2, 512))


def test_a_close_failing_midway_leaves_it_offloaded_and_usable(pool, monkeypatch):
    module, calls, expected = resident_outputs(mlp, [()], "cpu")
    offloaded = offload_module(module, pool, "cpu")
    restore = offload.StagedGroup.restore
    restored = []

    def out_of_memory(self, device=None):
        if restored:
            raise RuntimeError("out of memory")
        restored.append(device)
        return restore(self, device)

    monkeypatch.setattr(offload.StagedGroup, "restore", out_of_memory)
    with pytest.raises(RuntimeError, match="out of memory"):
        offloaded.close()
    monkeypatch.undo()
    with torch.no_grad():
        assert torch.equal(module(*calls[0]), expected[0])
    assert isinstance(module[0].weight, Placeholder) and pool.stats()["leased_count"] == 1
    with pytest.raises(TypeError, match="device must be"):
        offloaded.close(device=0.5)
    offloaded.close(device="cpu")
    assert torch.equal(module(*calls[0]), expected[0]) and pool.stats()["leased_count"] == 0
    with pytest.raises(TypeError, match="made by offload_module"):
        OffloadedModule()


def test_a_failed_offload_leaves_the_module_and_the_pool_as_they_were(pool):
    module = nn.Sequential(nn.Linear(8, 8), nn.Linear(8, 8, device="meta"))
    weight = module[0].weight.clone()
    with pytest.raises(TypeError):
        offload_module(module, pool, "cpu")
    assert pool.stats()["leased_count"] == 0
    assert torch.equal(module[0].weight, weight) and not module[0]._forward_pre_hooks


def inference_built():
    with torch.inference_mode():
        return mlp()


@pytest.mark.parametrize("change, error", [
    (lambda m: dict(module=nn.ReLU()), ValueError),
    (lambda m: dict(module="mlp"), TypeError),
    (lambda m: dict(module=inference_built()), ValueError),
    (lambda m: dict(pool=object()), TypeError),
    (lambda m: dict(device="meta"), ValueError),
    (lambda m: dict(device="nonsense"), ValueError),
    (lambda m: dict(device=[0]), TypeError),
    (lambda m: dict(prefetch=-1), ValueError),
    (lambda m: dict(prefetch=True), TypeError),
    (lambda m: dict(layers=3), TypeError),
    (lambda m: dict(layers=["0"]), TypeError),
    (lambda m: dict(layers=[nn.Linear(2, 2)]), ValueError),
    (lambda m: dict(layers=[m]), ValueError),
    (lambda m: dict(layers=[m[0], m[0]]), ValueError),
    (lambda m: dict(layers=[m[1], m[1][0]]), ValueError),
    (lambda m: dict(layers=[m[2]]), ValueError),
    (lambda m: dict(layers=[m[3]], match="hold no weights to stream"), ValueError),
    (lambda m: dict(module=nn.Sequential(nn.LazyLinear(4)), match="lazy"), ValueError),
    (lambda m: dict(pool=type("NoBuckets", (), dict(lease=print, release=print))(),
                    match="NoBuckets lacks BUCKET_SIZES_BYTES"), TypeError),
    pytest.param(lambda m: dict(device="cuda"), ValueError, marks=pytest.mark.skipif(
        torch.cuda.is_available(), reason="CUDA is available")),
    pytest.param(lambda m: dict(device=0, match="cuda:0 but CUDA is not available"), ValueError,
                 marks=pytest.mark.skipif(torch.cuda.is_available(), reason="CUDA is available")),
])
def test_bad_arguments_are_refused_before_anything_is_leased(change, error, pool):
    module = nn.Sequential(nn.Linear(4, 4), nn.Sequential(nn.Linear(4, 4)), nn.ModuleList(),
                           nn.ReLU())
    arguments = dict(module=module, pool=pool, device="cpu", prefetch=1)
    arguments.update(change(module))
    match = arguments.pop("match", None)
    with pytest.raises(error, match=match):
        offload_module(**arguments)
    assert pool.stats()["leases"] == 0


def test_a_module_or_a_weight_is_offloaded_once_at_a_time(pool):
    module, sharing = mlp(), mlp()
    sharing[2].weight = module[2].weight
    weight = module[2].weight.detach().clone()
    with offload_module(module, pool, "cpu"):
        for again in (module, sharing):
            with pytest.raises(ValueError, match="already"):
                offload_module(again, pool, "cpu")
    assert torch.equal(module[2].weight, weight)
    assert isinstance(offload_module(sharing, pool, "cpu"), OffloadedModule)


def test_close_puts_every_weight_back_even_if_the_pool_refuses_a_buffer():
    class Refusing(PinnedMemoryPool):
        refuse = True

        def release(self, buf):
            if self.refuse:
                self.refuse = False
                raise RuntimeError("release refused")
            super().release(buf)

    pool = Refusing(64 << 20)
    module = nn.Sequential(*(nn.Linear(512, 512) for _ in range(3)))  # 3 MiB: several buffers
    weights = [t.clone() for t in module.parameters()]
    offloaded = offload_module(module, pool, "cpu")
    buffers = pool.stats()["leased_count"]
    with pytest.raises(RuntimeError, match="refused"):
        offloaded.close()
    assert all(map(torch.equal, module.parameters(), weights))
    assert pool.stats()["leased_count"] == 1 < buffers and not module[0]._forward_pre_hooks
    offloaded.close()


def test_default_layers_are_the_children_holding_weights_with_lists_opened():
    module = nn.Sequential(nn.Embedding(4, 4), nn.ReLU(), nn.ModuleList([nn.Linear(4, 4)]),
                           nn.ModuleDict({"norm": nn.LayerNorm(4), "drop": nn.Dropout()}))
    assert layers.default_layers(module) == [module[0], module[2][0], module[3]["norm"]]
    encoder = transformer()
    assert layers.default_layers(encoder) == list(encoder.layers)


class Experts(nn.ModuleDict):
    """A container with a forward of its own, as a mixture of experts has."""

    def forward(self, x):
        return sum(expert(x) for expert in self.values())


def test_a_container_with_its_own_forward_is_a_layer(pool):
    module = nn.Sequential(nn.Linear(16, 16), Experts({"a": nn.Linear(16, 16),
                                                       "b": nn.Linear(16, 16)}))
    assert layers.default_layers(module) == [module[0], module[1]]
    x = torch.randn(2, 16)
    with torch.no_grad():
        expected = module(x)
    for chosen in ([module[1]], module):  # a list, or a container's items
        with offload_module(module, pool, "cpu", layers=chosen), torch.no_grad():
            assert torch.equal(module(x), expected)
    assert "layers" not in str(inspect.signature(OffloadedModule))
