"""Hugging Face architectures built from tiny configs, offloaded with the default layers."""

import pytest
import torch

from korvane.offload import layers, offload_module
from korvane.offload.pinned_pool import PinnedMemoryPool

transformers = pytest.importorskip("transformers")


def gpt2():
    return transformers.GPT2LMHeadModel(transformers.GPT2Config(
        vocab_size=128, n_positions=64, n_embd=32, n_layer=6, n_head=4))


def llama():
    return transformers.LlamaForCausalLM(transformers.LlamaConfig(
        vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=6,
        num_attention_heads=4, num_key_value_heads=2, tie_word_embeddings=True))


def t5():
    return transformers.T5ForConditionalGeneration(transformers.T5Config(
        vocab_size=128, d_model=32, d_kv=8, d_ff=64, num_layers=3, num_decoder_layers=3,
        num_heads=4, decoder_start_token_id=0))


def mixtral():
    return transformers.MixtralForCausalLM(transformers.MixtralConfig(
        vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=6,
        num_attention_heads=4, num_key_value_heads=2, num_local_experts=4,
        num_experts_per_tok=2))


# Each model, and the qualified names of the layers chosen for it by default.
MODELS = {
    "gpt2": (gpt2, ["transformer.wte", "transformer.wpe", *(f"transformer.h.{i}" for i in range(6)),
                    "transformer.ln_f", "lm_head"]),
    "llama": (llama, ["model.embed_tokens", *(f"model.layers.{i}" for i in range(6)),
                      "model.norm", "model.rotary_emb", "lm_head"]),
    "t5": (t5, ["shared", *(f"{stack}.{name}" for stack in ("encoder", "decoder") for name in (
        "embed_tokens", "block.0", "block.1", "block.2", "final_layer_norm")), "lm_head"]),
    "mixtral": (mixtral, ["model.embed_tokens", *(f"model.layers.{i}" for i in range(6)),
                          "model.norm", "model.rotary_emb", "lm_head"]),
}


def build(name):
    torch.manual_seed(0)
    return MODELS[name][0]().eval()


@pytest.mark.parametrize("name", MODELS)
def test_default_layers_stream_the_blocks(name):
    model = build(name)
    names = {module: qualified for qualified, module in model.named_modules()}
    assert [names[layer] for layer in layers.default_layers(model)] == MODELS[name][1]


@pytest.mark.parametrize("name", MODELS)
def test_outputs_and_greedy_generate_are_bit_identical(name):
    model = build(name)
    tokens = torch.randint(3, 128, (2, 7), generator=torch.Generator().manual_seed(1))
    extra = {"decoder_input_ids": tokens[:, :3]} if name == "t5" else {}
    weights = sum(t.numel() * t.element_size() for t in model.state_dict().values())
    state = model.state_dict()
    footprint = model.get_memory_footprint()
    with torch.no_grad():
        logits = model(tokens, **extra).logits
        generated = model.generate(tokens, max_new_tokens=5, do_sample=False)
    pool = PinnedMemoryPool(64 << 20)
    with offload_module(model, pool, "cpu") as offloaded, torch.no_grad():
        assert model.num_parameters() == sum(t.numel() for t in model.parameters()) > 0
        assert model.get_memory_footprint() == footprint
        offloaded_state = model.state_dict()
        assert offloaded_state.keys() == state.keys()
        assert all(torch.equal(offloaded_state[key], value) for key, value in state.items())
        ties = [(a, b) for a in state for b in state
                if a < b and state[a].data_ptr() == state[b].data_ptr()]
        assert bool(ties) == (name != "mixtral") and all(
            offloaded_state[a] is offloaded_state[b] for a, b in ties)
        # A submodule's state_dict() holds its host copies only as long as it lives.
        inner = next(module for module in model.children() if module.state_dict())
        copies = [value.untyped_storage()._weak_ref() for value in inner.state_dict().values()]
        del offloaded_state
        assert all(map(torch.UntypedStorage._expired, copies))
        assert torch.equal(model(tokens, **extra).logits, logits)
        first = offloaded.stats()
        assert torch.equal(model.generate(tokens, max_new_tokens=5, do_sample=False), generated)
        stats = offloaded.stats()
    # One forward fetches every weight once, then the first layer of the next one (resident).
    assert (first["bytes_copied"] + first["bytes_in_place"]
            == first["streamed_bytes"] + first["resident_bytes"] > first["streamed_bytes"])
    assert stats["peak_resident_bytes"] <= stats["streamed_bytes"] / 2
    assert stats["host_bytes"] <= 1.01 * stats["streamed_bytes"] + (1 << 20)
    assert pool.stats()["leased_count"] == 0
    with torch.no_grad():
        assert torch.equal(model(tokens, **extra).logits, logits)


def test_a_parent_reading_a_weight_it_does_not_call_gets_one_line():
    model = build("llama")
    model.forward = lambda ids: model.model(ids).last_hidden_state @ model.lm_head.weight.T
    head = model.lm_head.weight.detach().clone()
    with offload_module(model, PinnedMemoryPool(64 << 20), "cpu"), torch.no_grad():
        with pytest.raises(RuntimeError, match=r"^model\.embed_tokens\.weight is offloaded"):
            model(torch.zeros(1, 3, dtype=torch.long))
        held = model.lm_head.weight
    # A reference taken while offloaded stands for the weight, values back, once it is closed.
    assert torch.equal(held * 1, head) and torch.equal(held.detach().sum(), head.sum())


def test_autocast_keeps_outputs_and_drops_the_casts_of_streamed_weights():
    model = build("llama")
    tokens = torch.randint(3, 128, (1, 5), generator=torch.Generator().manual_seed(2))
    with torch.no_grad(), torch.autocast("cpu", dtype=torch.bfloat16):
        expected = model(tokens).logits
    cleared = []
    original = torch.clear_autocast_cache
    with offload_module(model, PinnedMemoryPool(64 << 20), "cpu"), torch.no_grad(), \
            torch.autocast("cpu", dtype=torch.bfloat16), pytest.MonkeyPatch.context() as patch:
        patch.setattr(torch, "clear_autocast_cache", lambda: cleared.append(original()))
        assert torch.equal(model(tokens).logits, expected)
    assert len(cleared) == len(MODELS["llama"][1])  # after each layer's call


def bert():
    return transformers.BertModel(transformers.BertConfig(
        vocab_size=128, hidden_size=32, num_hidden_layers=6, num_attention_heads=4,
        intermediate_size=64))


def vit():
    return transformers.ViTModel(transformers.ViTConfig(
        image_size=16, patch_size=4, hidden_size=32, num_hidden_layers=6, num_attention_heads=4,
        intermediate_size=64))


def convnext():
    return transformers.ConvNextModel(transformers.ConvNextConfig(
        hidden_sizes=[10, 20, 30, 40], depths=[1, 1, 2, 1], image_size=32))


ENCODERS = {  # each built from a tiny config, an input, and the layers chosen by default
    "bert": (bert, torch.randint(0, 128, (2, 7), generator=torch.Generator().manual_seed(1)),
             ["embeddings", *(f"encoder.layer.{i}" for i in range(6)), "pooler"]),
    "vit": (vit, torch.randn(2, 3, 16, 16, generator=torch.Generator().manual_seed(1)),
            ["embeddings", *(f"layers.{i}" for i in range(6)), "layernorm", "pooler"]),
    "convnext": (convnext, torch.randn(2, 3, 32, 32, generator=torch.Generator().manual_seed(1)),
                 ["embeddings", *(f"encoder.stages.{stage}.{part}" for stage, parts in enumerate(
                     [["layers.0"], ["downsampling_layer.0", "downsampling_layer.1", "layers.0"],
                      ["downsampling_layer.0", "downsampling_layer.1", "layers.0", "layers.1"],
                      ["downsampling_layer.0", "downsampling_layer.1", "layers.0"]])
                  for part in parts), "layernorm"]),
}


@pytest.mark.parametrize("name", ENCODERS)
def test_encoders_stream_their_blocks_at_most_half_at_once_and_bit_identical(name):
    make, x, chosen = ENCODERS[name]
    torch.manual_seed(0)
    model = make().eval()
    names = {module: qualified for qualified, module in model.named_modules()}
    assert [names[layer] for layer in layers.default_layers(model)] == chosen
    with torch.no_grad():
        expected = model(x).last_hidden_state
        with offload_module(model, PinnedMemoryPool(64 << 20), "cpu") as offloaded:
            for _ in range(2):
                assert torch.equal(model(x).last_hidden_state, expected)
            stats = offloaded.stats()
    assert stats["peak_resident_bytes"] <= stats["streamed_bytes"] / 2
