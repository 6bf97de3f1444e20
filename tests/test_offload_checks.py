"""Offloading pinned down to exact bytes, counts, dtypes, devices and hook order."""

import gc
import itertools
import warnings
import weakref

import pytest
import torch

if torch.__version__ == "0+stand.in":
    pytest.skip("needs the real torch, not the stand-in", allow_module_level=True)

from torch import nn  # noqa: E402

from korvane.offload import layers, offload_module, placeholders  # noqa: E402
from korvane.offload.pinned_pool import PinnedMemoryPool  # noqa: E402
from korvane.offload.placeholders import Placeholder  # noqa: E402
from korvane.offload.policy import StreamingPolicy  # noqa: E402

MIB = 1 << 20


def named_weights(module):
    return dict(itertools.chain(module.named_parameters(), module.named_buffers()))


@pytest.fixture
def pool():
    return PinnedMemoryPool(64 << 20)


def tiny_llama(dtype=torch.float32):
    transformers = pytest.importorskip("transformers")
    torch.manual_seed(0)
    return transformers.LlamaForCausalLM(transformers.LlamaConfig(
        vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=2,
        num_attention_heads=4, num_key_value_heads=2, tie_word_embeddings=True)).to(dtype).eval()


def tiny_gpt2():
    transformers = pytest.importorskip("transformers")
    torch.manual_seed(0)
    return transformers.GPT2LMHeadModel(transformers.GPT2Config(
        vocab_size=128, n_positions=32, n_embd=32, n_layer=2, n_head=4)).eval()


class SharesWithParent(nn.Module):
    """The parent reads a weight of its own (kept resident) that its second block reads too."""

    def __init__(self):
        super().__init__()
        self.scale = nn.Parameter(torch.randn(16, 16))
        self.blocks = nn.ModuleList(nn.Linear(16, 16) for _ in range(2))
        self.blocks[1].weight = self.scale

    def forward(self, x):
        return self.blocks[1](self.blocks[0](x) @ self.scale)


def test_a_weight_the_parent_reads_stays_resident_and_is_not_streamed(pool):
    torch.manual_seed(0)
    module, x = SharesWithParent(), torch.randn(3, 16)
    with torch.no_grad():
        expected = module(x)
    scale = module.scale.detach().clone()
    with offload_module(module, pool, "cpu") as offloaded, torch.no_grad():
        assert torch.equal(module.scale, scale) and module.blocks[1].weight is module.scale
        assert torch.equal(module(x), expected)
        stats = offloaded.stats()
    # Streamed: the first block's weight and bias and the second's bias; the scale is not.
    assert stats["streamed_bytes"] == (16 * 16 + 16 + 16) * 4
    assert stats["largest_layer_bytes"] == (16 * 16 + 16) * 4 and stats["shared_bytes"] == 0


@pytest.mark.parametrize("close_to", [None, "cpu"])
def test_close_returns_each_weight_to_its_own_device(cuda_order, close_to, monkeypatch):
    # The stand-in's device memory lasts one test: no word cached by an earlier one.
    monkeypatch.setattr(placeholders, "_WORDS", {})
    torch.manual_seed(0)
    module = SharesWithParent()
    module.blocks[0].to("cuda:1")  # one layer on another device than the rest
    x = torch.randn(3, 16, device="cuda")
    before = {name: t.device for name, t in named_weights(module).items()}
    assert set(before.values()) == {torch.device("cpu"), torch.device("cuda:1")}
    offloaded = offload_module(module, PinnedMemoryPool(64 << 20), "cuda:0")
    # Kept weights move to the offload device; streamed ones say it between calls.
    assert {t.device for t in named_weights(module).values()} == {torch.device("cuda:0")}
    assert module.scale.data_ptr() != 0 and not isinstance(module.scale, Placeholder)
    read = module.blocks[0].weight
    assert isinstance(read, Placeholder) and read.device == torch.device("cuda:0")
    with torch.no_grad():
        module(x)
    offloaded.close(close_to)
    after = {name: t.device for name, t in named_weights(module).items()}
    assert after == (before if close_to is None else dict.fromkeys(before, torch.device(close_to)))


def mixed_dtypes():
    module = nn.Sequential(nn.Linear(8, 8).to(torch.bfloat16), nn.Linear(8, 8).half(),
                           nn.Linear(8, 8).double(), nn.Embedding(4, 8))
    module[1].register_buffer("steps", torch.arange(3))
    module[2].register_buffer("mask", torch.ones(2, 3, dtype=torch.bool))
    return module


@pytest.mark.parametrize("build", [mixed_dtypes, lambda: tiny_llama(torch.bfloat16)],
                         ids=["mixed", "llama-bf16"])
def test_weights_keep_their_dtype_and_shape_between_calls(build, pool):
    module = build()
    kinds = {name: (t.dtype, t.shape) for name, t in named_weights(module).items()}
    with offload_module(module, pool, "cpu"):
        assert {name: (t.dtype, t.shape) for name, t in
                named_weights(module).items()} == kinds
        for name, (dtype, shape) in kinds.items():
            owner, _, attr = name.rpartition(".")
            read = getattr(module.get_submodule(owner), attr)
            assert isinstance(read, Placeholder) and (read.dtype, read.shape) == (dtype, shape)
            assert read.weight_name == name and read.device == torch.device("cpu")


def test_llama_in_bfloat16_runs_bit_identical_and_reports_its_dtype(pool):
    model = tiny_llama(torch.bfloat16)
    tokens = torch.randint(3, 128, (2, 6), generator=torch.Generator().manual_seed(1))
    footprint = model.get_memory_footprint()
    with torch.no_grad():
        expected = model(tokens).logits
    with offload_module(model, pool, "cpu"), torch.no_grad():
        assert model.dtype == torch.bfloat16 and model.get_memory_footprint() == footprint
        assert torch.equal(model(tokens).logits, expected)


def refuse(layer, args):
    raise ValueError("refused by a hook")


def test_hooks_registered_before_see_loaded_weights_and_a_raising_one_leaves_it_whole(pool):
    torch.manual_seed(0)
    module, x = nn.Sequential(nn.Linear(16, 16), nn.ReLU(), nn.Linear(16, 16)), torch.randn(2, 16)
    with torch.no_grad():
        expected, hidden = module(x), module[1](module[0](x))
    weight = module[2].weight.detach().clone()
    seen = []
    module[2].register_forward_pre_hook(lambda layer, args: seen.append(layer.weight.clone()))
    with offload_module(module, pool, "cpu") as offloaded, torch.no_grad():
        assert torch.equal(module(x), expected)
        assert len(seen) == 1 and torch.equal(seen[0], weight)
        handle = module[2].register_forward_pre_hook(refuse, prepend=True)
        # The weights are still detached after the refusal, and that must not fail in turn.
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            for call in (lambda: module(x), lambda: module[2](hidden)):
                with pytest.raises(ValueError, match="refused by a hook"):
                    call()
        handle.remove()
        assert offloaded.stats()["resident_bytes"] == 0
        assert torch.equal(module(x), expected) and torch.equal(module[2](hidden), expected)


@pytest.mark.parametrize("build", [tiny_llama, tiny_gpt2], ids=["llama", "gpt2"])
def test_state_dict_keeps_ties_and_lets_its_host_copies_go(build, pool):
    model = build()
    state = model.state_dict()
    tied = [(a, b) for a in state for b in state
            if a < b and state[a].data_ptr() == state[b].data_ptr()]
    assert len(tied) == 1  # the embedding and the head
    with offload_module(model, pool, "cpu"):
        offloaded = model.state_dict()
        assert list(offloaded) == list(state)
        assert all(offloaded[a] is offloaded[b] for a, b in tied)
        assert all(value.device.type == "cpu" and torch.equal(value, state[key])
                   for key, value in offloaded.items())
        copy = weakref.ref(offloaded[tied[0][0]])
        del offloaded
        gc.collect()
        assert copy() is None


def tied_sequential():
    """The first and last layers share a 4096-byte weight; the middle one holds 4096 bytes."""
    module = nn.Sequential(nn.Linear(32, 32), nn.Linear(32, 32, bias=False), nn.Linear(32, 32))
    module[2].weight = module[0].weight
    return module


def test_stats_of_a_tied_model_count_the_shared_weight_once_and_in_each_reader(pool):
    module = tied_sequential()
    with offload_module(module, pool, "cpu", prefetch=1) as offloaded, torch.no_grad():
        for _ in range(3):
            module(torch.randn(2, 32))
            # The engine unloaded all but the first layer's groups, fetched for the next forward.
            assert sum(bool(group.tensors) for group in offloaded._groups) == 2
        stats = offloaded.stats()
    assert {key: stats[key] for key in ("largest_layer_bytes", "shared_bytes", "streamed_bytes",
                                        "resident_bytes", "fetches", "copies", "bytes_copied",
                                        "bytes_in_place")} == {
        "largest_layer_bytes": 4096 + 128, "shared_bytes": 4096, "streamed_bytes": 8448,
        "resident_bytes": 4096 + 128, "fetches": 3 * 4 + 2, "copies": 0, "bytes_copied": 0,
        "bytes_in_place": 3 * 8448 + 4096 + 128}
    # The shared weight, the middle weight and the last bias, fetched while the middle one ran.
    assert stats["peak_resident_bytes"] == 4096 + 4096 + 128


def test_a_weight_straddling_two_buffers_is_copied_and_counted_apart(cuda_order):
    # With CUDA present the pool pins what it leases, so the layers are packed end to end and
    # the weights that straddle a buffer boundary are copied on each fetch; the rest are used
    # in place.
    module = nn.Sequential(*(nn.Linear(512, 512) for _ in range(3)))
    with offload_module(module, PinnedMemoryPool(64 << 20), "cpu") as offloaded, torch.no_grad():
        for _ in range(2):
            module(torch.randn(2, 512))
        stats = offloaded.stats()
    # End to end in 1 MiB buffers: the first weight fills the first buffer; the second and third
    # weights each start just past a boundary (behind a 2 KiB bias) and straddle the next one.
    layer_bytes = (512 * 512 + 512) * 4
    # Two forwards, and the first layer fetched once the last ended (it lies in one buffer).
    assert {key: stats[key] for key in ("fetches", "copies", "bytes_copied", "bytes_in_place",
                                        "streamed_bytes", "host_bytes")} == {
        "fetches": 2 * 3 + 1, "copies": 2 * 2, "bytes_copied": 2 * 2 * MIB,
        "bytes_in_place": 2 * (3 * layer_bytes - 2 * MIB) + layer_bytes,
        "streamed_bytes": 3 * layer_bytes, "host_bytes": 4 * MIB}


class Mix(nn.Linear):
    pass


class Block(nn.Module):
    def __init__(self):
        super().__init__()
        self.proj, self.mix = nn.Linear(4, 4), Mix(4, 4)

    def forward(self, x):
        return self.mix(self.proj(x))


class Nested(nn.Module):
    """Names a block and a class inside it as kept whole: the inner one wins."""

    _no_split_modules = ["Block", "Mix"]

    def __init__(self):
        super().__init__()
        self.block, self.head = Block(), nn.Linear(4, 4)

    def forward(self, x):
        return self.head(self.block(x))


def one_layer_llama():
    transformers = pytest.importorskip("transformers")
    return transformers.LlamaForCausalLM(transformers.LlamaConfig(
        vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=1,
        num_attention_heads=4, num_key_value_heads=2))


@pytest.mark.parametrize("build, expected", [
    (Nested, ["block.proj", "block.mix", "head"]),
    (lambda: nn.Sequential(nn.Linear(4, 4), nn.Sequential(nn.Linear(4, 4))), ["0", "1"]),
    (one_layer_llama, ["model.embed_tokens", "model.layers.0", "model.norm", "model.rotary_emb",
                       "lm_head"]),
], ids=["nested no-split", "one-item sequential", "one-layer llama"])
def test_default_layers_of_single_blocks(build, expected):
    model = build()
    names = {module: name for name, module in model.named_modules()}
    assert [names[layer] for layer in layers.default_layers(model)] == expected


class Group:
    nbytes = 1

    def __init__(self, name):
        self.name = name


class Log(list):
    """An engine that records each step as ``"<step> <group>"``."""

    def __getattr__(self, step):
        return lambda group: self.append(f"{step} {group.name}")


a, b, c, s = map(Group, "abcs")
SHARED_RUN = ("fetch a|fetch s|wait a|attach a|wait s|attach s|detach a|detach s|{a_to_b}|"
              "wait b|attach b|detach b|{b_to_c}|wait c|attach c|wait s|attach s|detach c|"
              "detach s|free c|free s")


@pytest.mark.parametrize("first, second, prefetch, a_to_b, b_to_c", [
    # B, skipped by the first forward, is learned in the second: s is still read by C after it.
    ("AC", "ABC", 0, "free a|fetch b", "free b|fetch c"),
    # A nested forward (the module called within its own call) does not restart the order.
    ("ABC", "A()BC", 1, "fetch b|free a", "fetch c|free b"),
])
def test_a_shared_group_is_fetched_once_per_forward(first, second, prefetch, a_to_b, b_to_c):
    engine = Log()
    policy = StreamingPolicy({"A": [a, s], "B": [b], "C": [c, s]}, engine, prefetch)
    steps = {"(": policy.begin_forward, ")": policy.end_forward}
    for forward in (first, second):
        policy.begin_forward()
        engine.clear()
        for layer in forward:
            if layer in steps:
                steps[layer]()
            else:
                policy.before(layer)
                policy.after(layer)
        policy.end_forward()
    expected = SHARED_RUN.format(a_to_b=a_to_b, b_to_c=b_to_c)
    if prefetch:  # A's groups are fetched when the forward before ends
        expected = expected.removeprefix("fetch a|fetch s|") + "|fetch a|fetch s"
    assert "|".join(engine) == expected
    assert (policy.resident_bytes, policy.peak_resident_bytes) == (2 * prefetch, 2 + prefetch)
