"""What a user may do to an offloaded module: what the resident module does, or a one-line
refusal before anything changes. Each case runs against a resident twin with the same weights."""

import copy
import functools
import gc
import io
import pickle
import threading

import pytest
import torch
from torch import nn
from torch.nn.utils import prune
from torch.overrides import TorchFunctionMode

from conftest import run_in_threads
from korvane.offload import offload_module
from korvane.offload.pinned_pool import PinnedMemoryPool

transformers = pytest.importorskip("transformers")


def llama():
    torch.manual_seed(0)
    return transformers.LlamaForCausalLM(transformers.LlamaConfig(
        vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=4,
        num_attention_heads=4, num_key_value_heads=2, tie_word_embeddings=True)).eval()


def batchnorm():
    torch.manual_seed(0)
    norm = nn.BatchNorm1d(16)
    norm.running_mean.uniform_(-1, 1)
    norm.running_var.uniform_(0.5, 2)
    return nn.Sequential(nn.Linear(16, 16), norm, nn.ReLU(), nn.Linear(16, 16)).eval()


MODELS = {"llama": (llama, torch.arange(12).reshape(2, 6)),
          "batchnorm": (batchnorm, torch.randn(4, 16, generator=torch.Generator().manual_seed(1)))}


def run(model, x):
    with torch.no_grad():
        out = model(x)
    return out.logits if hasattr(out, "logits") else out


def offloaded(name):
    """An offloaded model, the model, its resident twin and an input."""
    build, x = MODELS[name]
    model = build()
    return offload_module(model, PinnedMemoryPool(64 << 20), "cpu"), model, build(), x


def first_layer_bytes(handle):
    """What a forward leaves on the device (at prefetch 1): the first layer of the next one."""
    return sum(group.nbytes for group in handle._needs[handle._policy._order[0]])


def same(model, twin, x):
    """Whether the two give the same outputs and state dicts."""
    state, expected = model.state_dict(), twin.state_dict()
    return torch.equal(run(model, x), run(twin, x)) and state.keys() == expected.keys() and all(
        torch.equal(state[key], value) for key, value in expected.items())


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, SystemExit, ValueError])
def test_an_interrupted_forward_ends_and_the_learned_order_stays_one_forward(interrupt):
    handle, model, twin, x = offloaded("llama")
    run(model, x)
    order = len(handle._policy._order)
    calls = []

    def interrupting(layer, args):
        calls.append(None)
        if len(calls) % 2:
            raise interrupt("stop")

    model.model.layers[2].register_forward_pre_hook(interrupting)
    warm = handle.stats()["resident_bytes"]  # the first layer of the next forward
    for _ in range(20):
        with pytest.raises(interrupt):
            run(model, x)
        assert handle.stats()["resident_bytes"] == warm
        fetches = handle.stats()["fetches"]
        assert same(model, twin, x)
        assert handle.stats()["fetches"] - fetches == len(handle._groups)  # each once a forward
    assert len(handle._policy._order) == order
    stats = handle.stats()
    assert stats["peak_resident_bytes"] <= 2 * stats["largest_layer_bytes"] + stats["shared_bytes"]


REFUSED = ["half()", "bfloat16()", "double()", "cuda()", "to(torch.float16)", "to('meta')",
           "share_memory()"]
UNCHANGED = ["float()", "cpu()", "to('cpu')", "to(memory_format=torch.channels_last)"]


@pytest.mark.parametrize("name", MODELS)
@pytest.mark.parametrize("call", REFUSED + UNCHANGED)
def test_a_conversion_is_refused_unless_it_changes_nothing(call, name):
    handle, model, twin, x = offloaded(name)
    if call in REFUSED:
        with pytest.raises(RuntimeError, match=r"^an offloaded module's streamed weights cannot be "
                           r"converted or moved .*close\(\)"):
            eval(f"model.{call}")
    else:
        assert eval(f"model.{call}") is model
    assert same(model, twin, x)
    handle.close()
    assert same(model, twin, x)  # buffers (BatchNorm's running statistics) kept


@pytest.mark.parametrize("name", MODELS)
def test_load_state_dict_loads_into_the_staged_copies_all_or_nothing(name):
    handle, model, twin, x = offloaded(name)
    torch.manual_seed(5)
    other = {key: value + torch.rand_like(value) if value.is_floating_point() else value
             for key, value in MODELS[name][0]().state_dict().items()}
    key = next(iter(other))
    wrong = {**other, key: torch.zeros(3)}
    with pytest.raises(RuntimeError) as refused:
        model.load_state_dict(wrong)
    with pytest.raises(RuntimeError) as expected:
        MODELS[name][0]().load_state_dict(wrong)
    assert str(refused.value) == str(expected.value)  # torch's own message
    assert same(model, twin, x)  # nothing loaded
    # A copy failing after torch's checks pass (the last entry's values on meta) loads nothing.
    late = list(other)[-1]
    with pytest.raises(NotImplementedError, match="meta"):
        model.load_state_dict({**other, late: other[late].to("meta")})
    assert same(model, twin, x)
    with pytest.raises(RuntimeError, match=r"^load_state_dict\(assign=True\) would replace "):
        model.load_state_dict(other, assign=True)
    missing = {k: v for k, v in other.items() if k != key}
    assert model.load_state_dict(missing, strict=False) == twin.load_state_dict(missing,
                                                                                strict=False)
    assert same(model, twin, x)
    model.load_state_dict(other)
    twin.load_state_dict(other)
    assert same(model, twin, x)
    handle.close()
    assert same(model, twin, x)


WRITES = {
    "init.zeros_": lambda m: nn.init.zeros_(m[0].weight),
    "mul_": lambda m: m[0].weight.mul_(2),
    "data.normal_": lambda m: m[3].weight.data.normal_(),
    ".data =": lambda m: setattr(m[0].weight, "data", torch.ones(16, 16)),
    "copy_ between weights": lambda m: m[3].bias.copy_(m[0].bias),
    "buffer fill_": lambda m: m[1].running_var.fill_(3),
}
OBJECT_WRITES = {
    "object fill_": lambda m, weight: weight.fill_(1),
    "object .data =": lambda m, weight: setattr(weight, "data", torch.ones(16, 16)),
}
REPLACEMENTS = {
    "parameter": lambda m: setattr(m[0], "weight", nn.Parameter(torch.ones(16, 16))),
    "buffer": lambda m: setattr(m[1], "running_mean", torch.ones(16)),
    "register_buffer": lambda m: m[1].register_buffer("running_var", torch.ones(16)),
    "None": lambda m: setattr(m[3], "bias", None),
    "del": lambda m: delattr(m[3], "bias"),
    ".data = another shape": lambda m: setattr(m[0].weight, "data", torch.ones(4)),
    "another weight's placeholder": lambda m: setattr(m[3], "weight", m[0].weight),
    "prune": lambda m: prune.l1_unstructured(m[0], "weight", 0.5),
}


@pytest.mark.parametrize("write", [*WRITES, *OBJECT_WRITES, *REPLACEMENTS])
def test_a_write_between_forwards_reaches_the_staged_copy_or_is_refused(write):
    handle, model, twin, x = offloaded("batchnorm")
    run(model, x)
    warm = handle.stats()["resident_bytes"]  # the first layer of the next forward
    if write in WRITES:
        for module in (model, twin):
            torch.manual_seed(2)
            with torch.no_grad():
                WRITES[write](module)
    elif write in OBJECT_WRITES:  # lands on the placeholder: the next forward says so, once
        with torch.no_grad():
            OBJECT_WRITES[write](model, next(model.parameters()))
        with pytest.raises(RuntimeError, match=r"^0\.weight was changed through its parameter "
                           r"or buffer object while offloaded, .* model\.0\.weight or load_"):
            run(model, x)
        assert handle.stats()["resident_bytes"] == warm
    else:
        with pytest.raises(RuntimeError, match=r"^\d\.\w+ is offloaded and cannot be (replaced"
                           r"( or removed)?|registered again as weight_orig): .* after close\(\)"):
            REPLACEMENTS[write](model)
        assert set(model[0]._parameters) == {"weight", "bias"} and not model[0]._forward_pre_hooks
    assert same(model, twin, x)
    handle.close()
    assert same(model, twin, x)


CAPTURES = {
    "jit.trace": lambda m, x: torch.jit.trace(m, (x,)),
    "export": lambda m, x: torch.export.export(m, (x,)),
    "export strict": lambda m, x: torch.export.export(m, (x,), strict=True),
}


@pytest.mark.parametrize("capture", CAPTURES)
def test_tracing_and_exporting_are_refused_and_compiling_runs_it_as_it_is(capture):
    handle, model, twin, x = offloaded("batchnorm")
    with pytest.raises(RuntimeError, match="an offloaded module moves its weights during each "
                       "call and cannot be traced or exported: .* after close()"):
        with torch.no_grad():
            CAPTURES[capture](model, x)
    assert same(model, twin, x)
    assert torch.equal(run(torch.compile(model), x), run(twin, x))


@pytest.mark.parametrize("compiled", ["model", "layers before", "layers after"])
def test_a_compiled_llama_generates_as_the_resident_one(compiled):
    model, twin, x = llama(), llama(), MODELS["llama"][1]
    # Each block compiled, before offloading or after, as the resident twin's.
    blocks = {"model": [], "layers before": [*model.model.layers, *twin.model.layers],
              "layers after": twin.model.layers}[compiled]
    for layer in blocks:
        layer.compile()
    handle = offload_module(model, PinnedMemoryPool(64 << 20), "cpu")
    if compiled == "layers after":
        for layer in model.model.layers:
            layer.compile()
    assert torch.equal(run(torch.compile(model) if compiled == "model" else model, x),
                       run(twin, x))
    assert torch.equal(model.generate(x, max_new_tokens=4, do_sample=False),
                       twin.generate(x, max_new_tokens=4, do_sample=False))


SAVES = {
    "torch.save": lambda m: torch.save(m, io.BytesIO()),
    "pickle": pickle.dumps,
    "pickle a layer": lambda m: pickle.dumps(m.model.layers[1]),
    "deepcopy": copy.deepcopy,
    "copy": copy.copy,
}


@pytest.mark.parametrize("save", SAVES)
def test_saving_the_module_is_refused_and_its_state_dict_saves_as_the_resident_one(save):
    handle, model, twin, x = offloaded("llama")
    with pytest.raises(TypeError, match=r"^an offloaded module cannot be pickled, saved whole or "
                       r"copied: save its state_dict\(\), or close\(\)"):
        SAVES[save](model)
    saved = []
    for module in (model, twin):
        buffer = io.BytesIO()
        torch.save(module.state_dict(), buffer)
        buffer.seek(0)
        saved.append(torch.load(buffer))
    assert saved[0].keys() == saved[1].keys()
    assert all(torch.equal(saved[0][key], value) for key, value in saved[1].items())
    assert all(state["lm_head.weight"].data_ptr() == state["model.embed_tokens.weight"].data_ptr()
               for state in saved)  # tied weights saved once
    handle.close()
    assert torch.equal(run(copy.deepcopy(model), x), run(twin, x))


def test_calls_from_several_threads_run_one_at_a_time():
    handle, model, twin, x = offloaded("llama")
    other_handle, other, _, _ = offloaded("llama")
    # The first thread waits inside its forward for another to come in; none does.
    events, came_in = [], threading.Event()

    def first_layer(layer, args):
        events.append(("start", threading.get_ident()))
        if len(events) == 1:
            came_in.wait(0.5)
        came_in.set()

    hooks = [model.model.embed_tokens.register_forward_pre_hook(first_layer),
             model.lm_head.register_forward_hook(
                 lambda *args: events.append(("end", threading.get_ident())))]
    results = []

    def compare(module, count):
        results.extend(torch.equal(run(module, x), run(twin, x)) for _ in range(count))

    run_in_threads(compare, [(model, 1), (model, 1)])
    assert [kind for kind, _ in events] == ["start", "end"] * 2
    assert events[0][1] == events[1][1] and events[2][1] == events[3][1]
    for hook in hooks:
        hook.remove()
    run_in_threads(compare, [*[(model, 16)] * 4, (other, 16)])
    assert results == [True] * 82
    # Left on the device: the first layer of each one's next forward, fetched ahead.
    assert handle.stats()["resident_bytes"] == first_layer_bytes(handle)
    assert other_handle.stats()["resident_bytes"] == first_layer_bytes(other_handle)


def test_a_gc_callback_calling_the_module_mid_forward_is_refused():
    handle, model, twin, x = offloaded("llama")
    refusals = []

    def callback(phase, info):
        try:
            run(model, x)
        except RuntimeError as error:
            refusals.append(str(error))

    model.model.layers[1].register_forward_pre_hook(lambda *args: [gc.collect()] and None)
    gc.callbacks.append(callback)
    try:
        out = run(model, x)
    finally:
        gc.callbacks.remove(callback)
    assert refusals and all(message.startswith("an offloaded module was called while its "
                                               "forward runs in the same thread")
                            for message in refusals)
    assert torch.equal(out, run(twin, x))
    assert handle.stats()["resident_bytes"] == first_layer_bytes(handle)


class GradModes(TorchFunctionMode):
    def __init__(self):
        super().__init__()
        self.enabled = set()

    def __torch_function__(self, func, types, args=(), kwargs=None):
        if func is not torch._C._set_grad_enabled:  # setting it back
            self.enabled.add(torch.is_grad_enabled())
        return func(*args, **(kwargs or {}))


@pytest.mark.parametrize("mode", [torch.no_grad, torch.inference_mode])
def test_the_callers_grad_mode_holds_inside_the_layer(mode):
    model, x = llama(), MODELS["llama"][1]
    modes = GradModes()
    with mode(), modes:
        handle = offload_module(model, PinnedMemoryPool(64 << 20), "cpu")
        model(x)
        model.state_dict()
        model.model.layers[0].mlp.up_proj.weight.mul_(1)
        handle.close()
    assert modes.enabled == {False}


def block_input(twin):
    """Hidden states and position embeddings to call one llama block with."""
    hidden = torch.randn(2, 6, 32, generator=torch.Generator().manual_seed(3))
    with torch.no_grad():
        return hidden, twin.model.rotary_emb(hidden, torch.arange(6)[None].expand(2, 6))


def call_block(block, hidden, embeddings):
    with torch.no_grad():
        out = block(hidden, position_embeddings=embeddings)
    return out[0] if isinstance(out, tuple) else out


# Compiled by dynamo without code generation, so that the compiled call is bit-exact with eager.
KEPT_CALLS = {"layer.compile() after offloading": lambda layer: layer.compile(backend="eager"),
              "a kept _call_impl": lambda layer: setattr(layer, "kept", layer._call_impl)}


@pytest.mark.parametrize("keep", KEPT_CALLS)
def test_a_call_made_while_offloaded_runs_the_layer_as_it_is_after_close(keep):
    handle, model, twin, x = offloaded("llama")
    block, pool = model.model.layers[1], handle._run._pool
    KEPT_CALLS[keep](block)
    hidden, embeddings = block_input(twin)
    expected = call_block(twin.model.layers[1], hidden, embeddings)
    assert torch.equal(call_block(block, hidden, embeddings), expected)
    handle.close()
    assert pool.stats()["leased_count"] == 0
    call = block.kept if keep == "a kept _call_impl" else block
    with torch.no_grad():
        out = call(hidden, position_embeddings=embeddings)
    assert torch.equal(out[0] if isinstance(out, tuple) else out, expected)
    assert torch.equal(run(model, x), run(twin, x))
    assert all(torch.equal(value, twin.state_dict()[key])
               for key, value in model.state_dict().items())


def test_a_forward_waits_for_a_layer_another_thread_calls_on_its_own():
    handle, model, twin, x = offloaded("llama")
    run(model, x)
    block, inside, go = model.model.layers[1], threading.Event(), threading.Event()

    def park(*args) -> None:
        inside.set()
        go.wait(5)

    hook = block.mlp.register_forward_pre_hook(park)
    hidden, embeddings = block_input(twin)
    results = {}
    alone = threading.Thread(target=lambda: results.update(
        alone=call_block(block, hidden, embeddings)))
    alone.start()
    assert inside.wait(5)
    hook.remove()
    forward = threading.Thread(target=lambda: results.update(forward=run(model, x)))
    forward.start()
    forward.join(0.3)
    assert forward.is_alive() and not results  # the forward waits for the layer's call
    go.set()
    alone.join()
    forward.join()
    assert torch.equal(results["alone"], call_block(twin.model.layers[1], hidden, embeddings))
    assert torch.equal(results["forward"], run(twin, x))
    assert handle.stats()["resident_bytes"] == first_layer_bytes(handle)


TIES = {
    "tie_weights()": lambda m: m.tie_weights(),
    "its own placeholder": lambda m: setattr(m.lm_head, "weight", m.lm_head.weight),
    "the tied placeholder": lambda m: setattr(m.lm_head, "weight", m.model.embed_tokens.weight),
    "the parameter itself": lambda m: setattr(
        m.model.layers[0].mlp.up_proj, "weight",
        dict(m.named_parameters())["model.layers.0.mlp.up_proj.weight"]),
}


@pytest.mark.parametrize("tie", TIES)
def test_tying_a_weight_to_itself_again_keeps_it(tie):
    handle, model, twin, x = offloaded("llama")
    attributes = {name: set(vars(module)) for name, module in twin.named_modules()}
    TIES[tie](model)
    lm_head = model.get_parameter("lm_head.weight")  # what tie_weights() reads
    assert isinstance(lm_head, nn.Parameter) and lm_head.shape == (128, 32)
    assert lm_head is model.model.embed_tokens.weight  # tied: one object, as on the twin
    assert same(model, twin, x)
    assert torch.equal(model.generate(x, max_new_tokens=3, do_sample=False),
                       twin.generate(x, max_new_tokens=3, do_sample=False))
    handle.close()
    assert model.lm_head.weight is model.model.embed_tokens.weight
    assert {name: set(vars(module)) for name, module in model.named_modules()} == attributes
    assert same(model, twin, x)


def test_what_the_caller_wrapped_or_kept_while_offloaded_works_after_close():
    handle, model, twin, x = offloaded("llama")
    # A forward patched the way wrappers do, and a method kept: both from the offloaded module.
    forward = model.forward = functools.partial(model.forward, use_cache=False)
    load = model.load_state_dict
    assert torch.equal(run(model, x), run(twin, x))
    handle.close()
    assert model.__dict__["forward"] is forward
    assert torch.equal(run(model, x), run(twin, x))
    with torch.no_grad():
        twin.model.layers[2].mlp.down_proj.weight.mul_(3)
    load(twin.state_dict())
    assert same(model, twin, x)
    assert not any(name in vars(module) for module in model.modules()
                   for name in ("_call_impl", "load_state_dict", "_apply", "__reduce_ex__"))


FREEZES = {
    "requires_grad_(False) on the module": lambda m: m.requires_grad_(False),
    "requires_grad = False on each attribute": lambda m: [
        setattr(getattr(module, name), "requires_grad", False)
        for module in m.modules() for name, _ in module.named_parameters(recurse=False)],
    "requires_grad_(False) on each attribute": lambda m: [
        getattr(module, name).requires_grad_(False)
        for module in m.modules() for name, _ in module.named_parameters(recurse=False)],
}


@pytest.mark.parametrize("freeze", FREEZES)
def test_requires_grad_read_or_set_through_an_attribute_is_the_weights(freeze):
    handle, model, twin, x = offloaded("llama")
    assert model.lm_head.weight.requires_grad and model.lm_head.weight.data.requires_grad is False
    for module in (model, twin):
        FREEZES[freeze](module)
    assert [p.requires_grad for p in model.parameters()] == [False] * 38
    assert model.model.layers[3].mlp.up_proj.weight.requires_grad is False
    model.lm_head.weight.requires_grad_(True)  # tied: the embedding's too
    assert model.model.embed_tokens.weight.requires_grad is True
    with pytest.raises(RuntimeError, match=r"^an offloaded module runs inference only"):
        model(x)
    model.model.embed_tokens.weight.requires_grad = False
    out = model(x).logits  # gradients enabled, none of a streamed weight
    assert out.requires_grad is False and torch.equal(out, twin(x).logits)
    handle.close()
    assert not any(p.requires_grad for p in model.parameters())


@pytest.mark.parametrize("end", ["close()", "dropped without close()"])
def test_a_weight_one_offload_keeps_on_the_device_is_not_streamed_by_another(end):
    model, twin, x = llama(), llama(), MODELS["llama"][1]
    head = nn.Sequential(model.model.embed_tokens, nn.Linear(32, 4))
    with torch.no_grad():
        expected = head(x)
    pool = PinnedMemoryPool(64 << 20)
    handle = offload_module(model, pool, "cpu", layers=list(model.model.layers))  # keeps it
    with offload_module(head, pool, "cpu", layers=[head[1]]):  # keeps it too
        assert torch.equal(run(head, x), expected) and torch.equal(run(model, x), run(twin, x))
    with pytest.raises(ValueError, match=r"^layers read a weight another offloaded module keeps "
                       r"on its device: close\(\) that OffloadedModule first$"):
        offload_module(head, pool, "cpu")
    assert torch.equal(run(model, x), run(twin, x))
    if end == "close()":
        handle.close()
    else:
        del model, handle
        gc.collect()
    with offload_module(head, pool, "cpu") as streamed:
        assert torch.equal(run(head, x), expected)
        assert streamed.stats()["streamed_bytes"] == 128 * 32 * 4 + 4 * 32 * 4 + 4 * 4


SOURCES = {
    "its own named_parameters()": lambda model, other: (model, dict(model.named_parameters())),
    "a layer's own named_parameters()": lambda model, other: (
        model.model.layers[2], dict(model.model.layers[2].named_parameters())),
    "another offloaded module's state_dict()": lambda model, other: (model, other.state_dict()),
    "another offloaded module's named_parameters()": lambda model, other: (
        model, dict(other.named_parameters())),
}


@pytest.mark.parametrize("source", SOURCES)
def test_load_state_dict_from_parameter_objects_loads_their_values_or_is_refused(source):
    handle, model, twin, x = offloaded("llama")
    other_handle, other, _, _ = offloaded("llama")
    with torch.no_grad():
        other.model.layers[2].mlp.up_proj.weight.mul_(3)  # into its staged copy
    module, state = SOURCES[source](model, other)
    if source == "another offloaded module's named_parameters()":
        with pytest.raises(RuntimeError, match=r"^load_state_dict\(\) was given a weight of "
                           r"another offloaded module, .* load that module's state_dict\(\)"):
            module.load_state_dict(state, strict=False)
    else:
        module.load_state_dict(state, strict=False)
        if source == "another offloaded module's state_dict()":
            with torch.no_grad():
                twin.model.layers[2].mlp.up_proj.weight.mul_(3)
    assert same(model, twin, x)
    handle.close()
    assert same(model, twin, x)


@pytest.mark.parametrize("waiting", ["forward", "load_state_dict"])
def test_a_call_waiting_while_another_thread_closes_the_module_runs_it_closed(waiting):
    handle, model, twin, x = offloaded("llama")
    run(model, x)
    with torch.no_grad():
        twin.model.layers[1].mlp.down_proj.weight.mul_(-1)
    inside, go, results = threading.Event(), threading.Event(), []

    def close_when_told(layer, args) -> None:
        inside.set()
        go.wait(5)
        handle.close()

    model.lm_head.register_forward_pre_hook(close_when_told)
    alone = threading.Thread(target=lambda: run(model.lm_head, torch.zeros(1, 32)))
    waits = threading.Thread(target=lambda: results.append(
        run(model, x) if waiting == "forward" else model.load_state_dict(twin.state_dict())))
    alone.start()
    assert inside.wait(5)
    waits.start()
    waits.join(0.3)
    assert waits.is_alive()  # for the lock the layer's call holds
    go.set()
    alone.join()
    waits.join()
    assert len(results) == 1 and "closed" in repr(handle)
    if waiting == "forward":
        with torch.no_grad():
            twin.model.layers[1].mlp.down_proj.weight.mul_(-1)
        assert torch.equal(results[0], run(twin, x))
    assert same(model, twin, x) and handle._run._pool.stats()["leased_count"] == 0


@pytest.mark.parametrize("save", [pickle.dumps, lambda weight: torch.save(weight, io.BytesIO())])
@pytest.mark.parametrize("name, weight", [("llama", "model.layers.1.mlp.up_proj.weight"),
                                          ("batchnorm", "1.running_mean")])
def test_saving_a_streamed_weight_alone_is_refused_in_one_line(name, weight, save):
    handle, model, twin, x = offloaded(name)
    read = model.get_parameter if name == "llama" else model.get_buffer
    with pytest.raises(RuntimeError, match=rf"^{weight.replace('.', '[.]')} is offloaded and holds "
                       r"no values between forwards: save it from state_dict\(\)$"):
        save(read(weight))
    kept = read(weight)
    assert same(model, twin, x)
    handle.close()
    assert torch.equal(pickle.loads(pickle.dumps(kept)), twin.get_parameter(weight)
                       if name == "llama" else twin.get_buffer(weight))


def test_layers_called_on_their_own_from_several_threads_give_the_resident_outputs():
    handle, model, twin, x = offloaded("llama")
    hidden, embeddings = block_input(twin)
    expected = [call_block(block, hidden, embeddings) for block in twin.model.layers]
    logits, results = run(twin, x), []

    def calls(index: int) -> None:
        for _ in range(16):
            results.append(torch.equal(run(model, x), logits) if index == 4 else torch.equal(
                call_block(model.model.layers[index], hidden, embeddings), expected[index]))

    run_in_threads(calls, [(index,) for index in range(5)])
    assert results == [True] * 80


def test_load_state_dict_from_a_hook_of_a_layer_called_on_its_own_is_refused():
    handle, model, twin, x = offloaded("llama")
    hidden, embeddings = block_input(twin)
    refusals = []

    def load(layer, args) -> None:
        with pytest.raises(RuntimeError, match=r"^load_state_dict\(\) was called on an "
                           r"offloaded module while its forward runs"):
            model.load_state_dict(twin.state_dict())
        refusals.append(layer)

    block = model.model.layers[1]
    block.register_forward_pre_hook(load)
    assert torch.equal(call_block(block, hidden, embeddings),
                       call_block(twin.model.layers[1], hidden, embeddings))
    assert refusals == [block] and handle.stats()["resident_bytes"] == 0


class Recurrent(nn.Module):
    def __init__(self):
        super().__init__()
        self.lstm = nn.LSTM(8, 16, num_layers=2, batch_first=True)
        self.gru = nn.GRU(16, 8, batch_first=True)
        self.head = nn.Linear(8, 4)

    def forward(self, x):
        return self.head(self.gru(self.lstm(x)[0])[0])


STATEFUL = {"batchnorm in train()": (lambda: batchnorm().train(), (8, 16)),
            "LSTM and GRU": (lambda: Recurrent().eval(), (2, 5, 8))}


def same_states(model, twin):
    state, expected = model.state_dict(), twin.state_dict()
    return state.keys() == expected.keys() and all(
        torch.equal(state[key], value) for key, value in expected.items())


@pytest.mark.parametrize("name", STATEFUL)
def test_a_stateful_model_runs_as_the_resident_one(name):
    build, shape = STATEFUL[name]
    torch.manual_seed(0)
    model = build()
    torch.manual_seed(0)
    twin = build()
    x = torch.randn(*shape, generator=torch.Generator().manual_seed(4))
    handle = offload_module(model, PinnedMemoryPool(64 << 20), "cpu")
    for _ in range(3):
        assert torch.equal(run(model, x), run(twin, x))
        model.to("cpu")  # changes nothing, as on the resident model
    assert same_states(model, twin)
    if name == "batchnorm in train()":  # the running statistics moved with each forward
        assert model.state_dict()["1.num_batches_tracked"].item() == 3
    handle.close()
    assert same_states(model, twin) and torch.equal(run(model, x), run(twin, x))
    assert handle._run._pool.stats()["leased_count"] == 0
