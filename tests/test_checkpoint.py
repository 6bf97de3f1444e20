"""Indexing safetensors checkpoints, reading them into host buffers, matching them to modules."""

import json
import os
import re
import shutil
import threading

import pytest
import torch

from conftest import STAND_IN_TORCH, load_extension

if STAND_IN_TORCH:
    pytest.skip("checkpoints need the real torch, not the stand-in", allow_module_level=True)

safetensors_torch = pytest.importorskip("safetensors.torch")
transformers = pytest.importorskip("transformers")

from korvane.offload.checkpoint import (  # noqa: E402
    Checkpoint, CheckpointReader, assign_tensors, held_layers, match_module, meta_parameters)


def llama(tie=True):
    config = transformers.LlamaConfig(
        vocab_size=128, hidden_size=32, intermediate_size=64, num_hidden_layers=2,
        num_attention_heads=4, num_key_value_heads=2, tie_word_embeddings=tie)
    return transformers.LlamaForCausalLM(config).eval()


TENSORS = {
    "f32": torch.randn(37, 11),
    "bf16": torch.randn(5, 3).to(torch.bfloat16),
    "i64": torch.arange(-7, 90, dtype=torch.int64),
    "mask": torch.rand(13) > 0.5,
    "scalar": torch.tensor(2.5, dtype=torch.float64),
    "empty": torch.empty(0, 4, dtype=torch.float16),
}


def same_bytes(a, b):
    def flat(tensor):
        return tensor.contiguous().view(-1).view(torch.uint8)

    return a.dtype == b.dtype and a.shape == b.shape and flat(a).equal(flat(b))


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """A tied Llama saved sharded by save_pretrained, and the model."""
    torch.manual_seed(0)
    model = llama()
    folder = tmp_path_factory.mktemp("llama")
    model.save_pretrained(folder, max_shard_size="20KB")
    return folder, model


@pytest.fixture
def plain_file(tmp_path):
    path = tmp_path / "plain.safetensors"
    safetensors_torch.save_file(TENSORS, path, metadata={"format": "pt"})
    return path


@pytest.mark.parametrize("form", ["file", "folder", "list", "sharded", "index"])
def test_every_form_reads_the_bytes_safetensors_loads(form, tmp_path, plain_file, saved):
    if form == "file":
        source, expected = plain_file, TENSORS
    elif form == "folder":
        shutil.copy(plain_file, tmp_path / "model.safetensors")
        source, expected = tmp_path, TENSORS
    elif form == "list":
        second = tmp_path / "second.safetensors"
        safetensors_torch.save_file({"other": torch.ones(3)}, second)
        source, expected = [plain_file, second], {**TENSORS, "other": torch.ones(3)}
    else:
        folder = saved[0]
        expected = {}
        for name in sorted(os.listdir(folder)):
            if name.endswith(".safetensors"):
                expected.update(safetensors_torch.load_file(folder / name))
        assert len(os.listdir(folder)) > 4  # really sharded
        source = folder if form == "sharded" else folder / "model.safetensors.index.json"
    checkpoint = Checkpoint(source)
    assert set(checkpoint) == set(expected)
    assert checkpoint.nbytes == sum(tensor.nbytes for tensor in expected.values())
    for key, tensor in expected.items():
        assert same_bytes(checkpoint.read_tensor(key), tensor), key
        assert checkpoint[key].shape == tuple(tensor.shape)


def test_read_into_straddles_two_pool_buffers_and_touches_nothing_else(plain_file):
    checkpoint = Checkpoint(plain_file)
    pool = load_extension().PinnedMemoryPool(1 << 30)
    first, second = pool.lease(1000), pool.lease(1000)
    try:
        first.fill_(0xAB)
        second.fill_(0xCD)
        nbytes = checkpoint["f32"].nbytes  # 1628: 900 in the first buffer, the rest in the second
        checkpoint.read_into("f32", [(first, 100, 900), (second, 7, nbytes - 900)])
        read = torch.cat([first[100:1000], second[7:7 + nbytes - 900]])
        assert read.view(torch.float32).view(37, 11).equal(TENSORS["f32"])
        assert (first[:100] == 0xAB).all() and (second[7 + nbytes - 900:] == 0xCD).all()
        assert (second[:7] == 0xCD).all()
    finally:
        pool.release(first)
        pool.release(second)


@pytest.mark.parametrize("pieces, error, match", [
    (lambda: [(torch.empty(1628, dtype=torch.uint8), 0, 1627)], ValueError, "hold 1627 bytes"),
    (lambda: [(torch.empty(1628, dtype=torch.uint8), 1, 1628)], ValueError, "outside its buffer"),
    (lambda: [(torch.empty(407), 0, 1628)], TypeError, "torch.float32 tensor"),
    (lambda: [(torch.empty(3256, dtype=torch.uint8)[::2], 0, 1628)], TypeError, "contiguous"),
])
def test_read_into_refuses_pieces_that_do_not_fit(plain_file, pieces, error, match):
    with pytest.raises(error, match=match):
        Checkpoint(plain_file).read_into("f32", pieces())


def rewrite(path, header=None, length=None, cut=None, grow=None):
    """The file at ``path`` with its header replaced, its declared length changed, cut short or
    grown (sparsely) to ``grow`` bytes."""
    data = path.read_bytes()
    size = int.from_bytes(data[:8], "little")
    head, body = data[8:8 + size], data[8 + size:]
    if header is not None:
        head = header(json.loads(head)) if callable(header) else header
        head = head if isinstance(head, bytes) else json.dumps(head).encode()
    size = len(head) if length is None else length
    data = size.to_bytes(8, "little") + head + body
    path.write_bytes(data[:cut])
    if grow:
        os.truncate(path, grow)


def edit(key, **fields):
    def change(header):
        header[key].update(fields)
        return header
    return change


@pytest.mark.parametrize("damage, match", [
    (dict(cut=-10), r"key '\w+' ends at byte \d+, past the end of the file .*truncated"),
    (dict(header=b"{not json"), "header that is not JSON"),
    (dict(header=b"[1, 2]"), "not a JSON object"),
    (dict(header=b"[" * 100000), "header that is not JSON"),
    (dict(length=1 << 62), f"header of {1 << 62} bytes, past the end"),
    (dict(length=200 << 20, grow=300 << 20), f"header of {200 << 20} bytes, more than the"),
    (dict(cut=5), "too short for a safetensors header"),
    (dict(header=edit("i64", data_offsets=[0, 1 << 40])), "'i64' spans"),
    (dict(header=edit("f32", data_offsets=[10, 1638])), "(?=.*'f32').* overlap"),
    (dict(header=edit("f32", data_offsets=[-4, 1624])), "'f32' has data_offsets"),
    (dict(header=edit("f32", dtype="F4")), "'f32' has dtype 'F4'"),
    (dict(header=edit("f32", dtype=["F32"])), r"'f32' has dtype \['F32'\]"),
    (dict(header=edit("f32", shape=[37, 12])), r"'f32' spans 1628 bytes, but shape \(37, 12\)"),
    (dict(header=edit("f32", shape=[37, True])), "'f32' has shape"),
])
def test_hostile_headers_are_refused_in_one_line_naming_path_and_key(plain_file, damage, match):
    rewrite(plain_file, **damage)
    with pytest.raises(ValueError, match=match) as caught:
        Checkpoint(plain_file)
    assert str(plain_file) in str(caught.value) and "\n" not in str(caught.value)


def with_index(**entries):
    def source(tmp_path, folder):
        folder = shutil.copytree(folder, tmp_path / "copy")
        index = json.loads((folder / "model.safetensors.index.json").read_text())
        index["weight_map"].update(entries)
        (folder / "model.safetensors.index.json").write_text(json.dumps(index))
        return folder
    return source


@pytest.mark.parametrize("source, match", [
    (lambda tmp_path, folder: tmp_path / "absent.safetensors", "does not exist"),
    (lambda tmp_path, folder: tmp_path, "holds neither model.safetensors nor"),
    (lambda tmp_path, folder: [], "empty list"),
    (with_index(ghost="model-00001-of-00006.safetensors"), "puts key 'ghost' in"),
    (with_index(ghost="gone.safetensors"), "'gone.safetensors', which does not exist"),
    (with_index(ghost="../llama0/model.safetensors"), "not a file beside it"),
])
def test_sources_naming_what_is_not_there_are_refused(tmp_path, saved, source, match):
    with pytest.raises((FileNotFoundError, ValueError), match=match):
        Checkpoint(source(tmp_path, saved[0]))


@pytest.mark.parametrize("change, readable", [
    (lambda path, data: path.write_bytes(data[:-3]), False),            # truncated
    (lambda path, data: path.write_bytes(data + b"\0"), False),         # grew
    (lambda path, data: path.unlink(), False),                          # removed
    (lambda path, data: (path.unlink(), path.write_bytes(data)), True),  # put back as it was
    (lambda path, data: (path.unlink(), path.write_bytes(data.replace(b'"pt"', b'"xx"'))),
     False),                                                            # another header
])
def test_a_file_changed_since_indexed_is_refused_and_read_again_once_back(plain_file, change,
                                                                         readable):
    checkpoint = Checkpoint(plain_file)
    data = plain_file.read_bytes()
    change(plain_file, data)
    if readable:
        assert checkpoint.read_tensor("f32").equal(TENSORS["f32"])
        return
    with pytest.raises(OSError, match=re.escape(f"reading 'f32' from {plain_file}")) as caught:
        checkpoint.read_tensor("f32")
    assert "\n" not in str(caught.value)
    plain_file.write_bytes(data)
    assert checkpoint.read_tensor("f32").equal(TENSORS["f32"])


def test_a_file_cut_short_while_read_is_refused(plain_file, monkeypatch):
    checkpoint = Checkpoint(plain_file)
    monkeypatch.setattr(checkpoint._files[str(plain_file)], "check_unchanged", lambda fd: None)
    end = checkpoint["f32"].offset + 1000
    rewrite(plain_file, cut=end)
    with pytest.raises(OSError, match=f"'f32' .*: the file ends at byte {end}, before the tensor"):
        checkpoint.read_tensor("f32")


def test_reader_reads_in_order_counts_and_survives_a_failing_read(plain_file, tmp_path):
    checkpoint = Checkpoint(plain_file)
    buffers = {key: torch.zeros(checkpoint[key].nbytes, dtype=torch.uint8) for key in checkpoint}
    with CheckpointReader(checkpoint) as reader:
        requests = [reader.submit([(key, [(buffers[key], 0, buffers[key].numel())])])
                    for key in checkpoint]
        for request in requests:
            request.wait()
        for key, tensor in TENSORS.items():
            assert same_bytes(buffers[key].view(tensor.dtype).view(tensor.shape), tensor)
        assert reader.stats()["read_bytes"] == checkpoint.nbytes

        aside = tmp_path / "aside"
        plain_file.rename(aside)
        failed = reader.submit([("f32", [(buffers["f32"], 0, 1628)])])
        with pytest.raises(OSError, match=re.escape(f"reading 'f32' from {plain_file}: No such")):
            failed.wait()
        aside.rename(plain_file)
        buffers["f32"].zero_()
        reader.submit([("f32", [(buffers["f32"], 0, 1628)])]).wait()
        assert buffers["f32"].view(torch.float32).view(37, 11).equal(TENSORS["f32"])
        assert reader.stats()["read_bytes"] == checkpoint.nbytes + 1628
    reader.close()
    with pytest.raises(RuntimeError, match="closed"):
        reader.submit([])


def test_reader_counts_waiting_and_cancels_what_has_not_started(plain_file, monkeypatch):
    checkpoint = Checkpoint(plain_file)
    gate = threading.Event()
    read = checkpoint._read
    monkeypatch.setattr(checkpoint, "_read", lambda *args: (gate.wait(), read(*args)))
    target = torch.zeros(1628, dtype=torch.uint8)
    with CheckpointReader(checkpoint) as reader:
        first = reader.submit([("f32", [(target, 0, 1628)])])
        second = reader.submit([("f32", [(target, 0, 1628)])])
        second.cancel()
        threading.Timer(0.2, gate.set).start()
        first.wait()
        assert second.done() and reader.stats()["read_bytes"] == 1628
        assert 0.15 < reader.stats()["read_wait_seconds"] < 5


def test_a_tied_llama_built_on_meta_loads_from_its_shards_bit_identically(saved):
    folder, model = saved
    checkpoint = Checkpoint(folder)
    assert "lm_head.weight" not in checkpoint
    with meta_parameters():
        rebuilt = llama()
        lazy = torch.nn.LazyLinear(3)
    assert isinstance(lazy.weight, torch.nn.UninitializedParameter)
    assert torch.nn.Linear(2, 2).weight.device.type == "cpu"  # patched only inside the block
    assert all(param.is_meta for param in rebuilt.parameters())
    assert rebuilt.lm_head.weight is rebuilt.model.embed_tokens.weight
    assert rebuilt.model.rotary_emb.inv_freq.equal(model.model.rotary_emb.inv_freq)
    matched = match_module(rebuilt, checkpoint)
    assert sorted(name for name, _, _ in matched) == sorted(checkpoint)
    assign_tensors(rebuilt, [(tensor, checkpoint.read_tensor(info.key))
                             for _, tensor, info in matched])
    assert rebuilt.lm_head.weight is rebuilt.model.embed_tokens.weight
    tokens = torch.randint(0, 128, (2, 9))
    with torch.no_grad():
        assert rebuilt(tokens).logits.equal(model(tokens).logits)


@pytest.mark.parametrize("tie, drop, extra, strict, match", [
    (True, ["lm_head.weight"], False, True, None),  # tied to the embedding, which is there
    (True, ["lm_head.weight", "model.embed_tokens.weight"], False, True,
     "missing keys 'model.embed_tokens.weight', 'lm_head.weight'$"),
    (False, ["lm_head.weight"], False, True, "missing keys 'lm_head.weight'$"),
    (True, ["lm_head.weight"], True, True, "unexpected keys 'extra'$"),
    (False, ["model.norm.weight"], True, False, None),
])
def test_keys_are_matched_as_load_state_dict_does_but_ties_count(tmp_path, tie, drop, extra,
                                                                 strict, match):
    module = llama(tie)
    state = {key: value.clone() for key, value in module.state_dict().items() if key not in drop}
    path = tmp_path / "llama.safetensors"
    safetensors_torch.save_file({**state, **({"extra": torch.ones(1)} if extra else {})}, path)
    if match:
        with pytest.raises(ValueError, match=match):
            match_module(module, Checkpoint(path), strict=strict)
        return
    matched = match_module(module, Checkpoint(path), strict=strict)
    assert {name for name, _, _ in matched} == set(state)
    named = dict(module.named_parameters())
    assert all(tensor is named[name] for name, tensor, _ in matched)


@pytest.mark.parametrize("value, error, match", [
    (torch.ones(2, 4), ValueError, r"'weight' has shape \(2, 4\) in the checkpoint, \(2, 3\)"),
    (torch.ones(2, 3, dtype=torch.float16), TypeError,
     "'weight' has dtype torch.float16 in the checkpoint, torch.float32 in the module"),
])
def test_shapes_and_dtypes_that_differ_are_named_with_both(tmp_path, value, error, match):
    path = tmp_path / "linear.safetensors"
    safetensors_torch.save_file({"weight": value, "bias": torch.ones(2)}, path)
    with pytest.raises(error, match=match):
        match_module(torch.nn.Linear(3, 2), Checkpoint(path))


def test_a_meta_tensor_the_checkpoint_lacks_is_refused_by_name_with_its_way_out(saved):
    with torch.device("meta"):
        module = llama()
    with pytest.raises(ValueError, match="buffer 'model.rotary_emb.inv_freq' is on the meta .* "
                                         r"under korvane.offload.meta_parameters\(\)"):
        match_module(module, Checkpoint(saved[0]))
    with meta_parameters():
        module = llama(tie=False)  # its head is missing from the tied checkpoint
    with pytest.raises(ValueError, match="^parameter 'lm_head.weight' is on the meta .*: use a "
                                         "checkpoint that holds it, or build the module with"):
        match_module(module, Checkpoint(saved[0]), strict=False)


@pytest.mark.parametrize("layers, budget, prefetch, held", [
    ([10, 10, 10, 10], 40, 1, 4),    # everything fits: nothing is read again
    ([10, 10, 10, 10], 39, 1, 1),    # 10 held + two 10-byte reads in flight
    ([10, 10, 10, 10], 29, 1, 0),
    ([10, 10, 10, 10], 30, 2, 0),    # three reads in flight
    ([5, 30, 5, 5], 44, 1, 1),       # the large layer is read: room for it and one more
    ([5, 30, 5, 5], 44, 0, 2),
])
def test_held_layers_are_the_first_that_leave_room_for_the_reads(layers, budget, prefetch, held):
    assert held_layers(layers, budget, prefetch) == held


@pytest.mark.parametrize("budget, error, match", [
    (19, ValueError, "cannot hold the reads of 1 \\+ prefetch \\(2\\) layers .* at least 20"),
    (-1, ValueError, "0 or more bytes, not -1"),
    (True, TypeError, "not bool"),
    (1.5e9, TypeError, "not float"),
])
def test_held_layers_refuses_budgets_that_cannot_work(budget, error, match):
    with pytest.raises(error, match=match):
        held_layers([10, 10, 10], budget, 1)


MIB = 1 << 20


def meta_llama(build="meta_parameters", dtype=torch.float32):
    config = transformers.LlamaConfig(
        vocab_size=128, hidden_size=256, intermediate_size=512, num_hidden_layers=4,
        num_attention_heads=4, num_key_value_heads=2, tie_word_embeddings=True, torch_dtype=dtype)
    context = {"meta_parameters": meta_parameters(), "meta": torch.device("meta")}.get(build)
    if context is None:  # real weights of another seed, which the checkpoint replaces
        torch.manual_seed(1)
        return transformers.LlamaForCausalLM(config).to(dtype).eval()
    with context:
        return transformers.LlamaForCausalLM(config).to(dtype).eval()


@pytest.fixture(scope="module")
def deep(tmp_path_factory):
    """A tied four-layer Llama saved sharded, the model and its greedy tokens and logits."""
    torch.manual_seed(0)
    model = meta_llama("real")
    torch.manual_seed(0)
    model = transformers.LlamaForCausalLM(model.config).eval()
    folder = tmp_path_factory.mktemp("deep")
    model.save_pretrained(folder, max_shard_size="1MB")
    ids = torch.tensor([[3, 1, 4, 1, 5]])
    with torch.no_grad():
        tokens = model.generate(ids, max_new_tokens=6, do_sample=False)
        logits = model(ids).logits
    return folder, model, ids, tokens, logits


# Pool buckets start at 1 MiB: each block's read takes three, the tied embedding and the norms
# one; 7 MiB reads every block and the final norm, 10 MiB holds one of them.
@pytest.mark.parametrize("budget, read_again", [(None, False), (7 * MIB, True), (10 * MIB, True)])
@pytest.mark.parametrize("build", ["meta_parameters", "real"])
def test_outputs_and_generate_are_bit_identical_and_the_pool_stays_in_budget(
        deep, build, budget, read_again):
    from korvane.offload import offload_checkpoint
    folder, reference, ids, tokens, logits = deep
    ext = load_extension()
    pool = ext.PinnedMemoryPool()
    module = meta_llama(build)
    offloaded = offload_checkpoint(module, folder, pool, "cpu", host_budget=budget)
    checkpoint_bytes = Checkpoint(folder).nbytes
    loaded = offloaded.stats()["read_bytes"]
    assert loaded < checkpoint_bytes if read_again else loaded == checkpoint_bytes
    with torch.no_grad():
        assert torch.equal(module.generate(ids, max_new_tokens=6, do_sample=False), tokens)
        assert torch.equal(module(ids).logits, logits)
        if read_again:  # the checkpoint is only read: a weight it serves cannot be changed
            changed = {key: value + 1 if value.is_floating_point() else value
                       for key, value in reference.state_dict().items()}
            with pytest.raises(RuntimeError, match="^a weight that offload_checkpoint reads"):
                module.load_state_dict(changed)
            assert torch.equal(module(ids).logits, logits)  # and the held ones did not change
    stats = offloaded.stats()
    assert (stats["read_bytes"] > 2 * checkpoint_bytes) == read_again
    assert stats["host_bytes"] <= (budget or stats["streamed_bytes"] + MIB)
    offloaded.close()
    assert module.lm_head.weight is module.model.embed_tokens.weight
    assert pool.stats()["leased_count"] == 0
    assert all(tensor.device.type == "cpu" for tensor in module.state_dict().values())
    for key, value in reference.state_dict().items():
        assert same_bytes(module.state_dict()[key], value), key


@pytest.mark.parametrize("case, error, match", [
    ("meta", ValueError, "^non-persistent buffer 'model.rotary_emb.inv_freq' is on the meta"),
    ("bf16", TypeError, r"'model.embed_tokens.weight' has dtype torch.float32 in the checkpoint, "
                        r"torch.bfloat16 in the module"),
    ("unexpected", ValueError, "unexpected keys 'extra'$"),
    ("missing", FileNotFoundError, "checkpoint '.*nowhere' does not exist$"),
    ("truncated", ValueError, r"key '.*' ends at byte \d+, past the end of the file \(\d+ "
                              r"bytes\): the file is truncated$"),
    ("changed", OSError, r"^reading '.*' from .*: the file is now \d+ bytes, \d+ when it was "
                         r"indexed"),  # after the pool leased buffers and some were read
    (-1, ValueError, "^host_budget must be 0 or more bytes, not -1$"),
    (1.5, TypeError, "^host_budget must be an int \\(bytes\\) or None, not float$"),
    (6 * MIB, ValueError, "^host_budget of 6291456 bytes is too small: .* need 1048576 and the "
                          "reads of 1 \\+ prefetch layers at once 6291456$"),
])
def test_bad_input_is_one_line_with_every_buffer_back_and_the_module_as_it_was(
        deep, tmp_path, case, error, match):
    from korvane.offload import offload_checkpoint
    folder = deep[0]
    module = meta_llama({"meta": "meta", "changed": "real"}.get(case, "meta_parameters"),
                        torch.bfloat16 if case == "bf16" else torch.float32)
    if case in ("unexpected", "truncated", "changed"):
        files = sorted(shutil.copytree(folder, tmp_path / "c").glob("*.safetensors"))
        folder = Checkpoint(tmp_path / "c") if case == "changed" else tmp_path / "c"
        if case == "unexpected":  # the first file with a key more
            state = {**safetensors_torch.load_file(files[0]), "extra": torch.ones(1)}
            safetensors_torch.save_file(state, files[0])
        else:
            os.truncate(files[-1], os.path.getsize(files[-1]) - 1000)
    before = {name: tensor for name, tensor in module.state_dict(keep_vars=True).items()}
    values = {name: value.detach().clone() for name, value in before.items() if not value.is_meta}
    pool = load_extension().PinnedMemoryPool()
    with pytest.raises(error, match=match) as raised:
        offload_checkpoint(module, tmp_path / "nowhere" if case == "missing" else folder, pool,
                           "cpu", host_budget=case if not isinstance(case, str) else None)
    assert "\n" not in str(raised.value)
    assert pool.stats()["leased_count"] == 0
    after = module.state_dict(keep_vars=True)
    assert after.keys() == before.keys() and all(after[k] is v for k, v in before.items())
    assert all(same_bytes(after[name], value) for name, value in values.items())


def test_strict_false_ignores_unexpected_keys_and_keeps_missing_values(deep, tmp_path):
    from korvane.offload import offload_checkpoint
    folder, reference, ids, _, logits = deep
    state = {key: value for key, value in reference.state_dict().items()
             if key not in ("model.norm.weight", "lm_head.weight")}
    safetensors_torch.save_file({**state, "extra": torch.ones(1)}, tmp_path / "m.safetensors")
    module = meta_llama("real")
    own_norm = module.model.norm.weight.detach().mul_(2).clone()
    with offload_checkpoint(module, tmp_path / "m.safetensors", load_extension().PinnedMemoryPool(),
                            "cpu", strict=False, host_budget=7 * MIB), torch.no_grad():
        got = module(ids).logits
    reference_norm = reference.model.norm.weight.detach().clone()
    with torch.no_grad():
        reference.model.norm.weight.copy_(own_norm)
        expected = reference(ids).logits
        reference.model.norm.weight.copy_(reference_norm)
    assert torch.equal(got, expected) and not torch.equal(got, logits)


def test_a_read_failing_mid_forward_raises_from_it_leaks_nothing_and_recovers(deep, tmp_path):
    from korvane.offload import offload_checkpoint
    _, _, ids, tokens, logits = deep
    folder = shutil.copytree(deep[0], tmp_path / "c")
    pool = load_extension().PinnedMemoryPool()
    module = meta_llama()
    offloaded = offload_checkpoint(module, folder, pool, "cpu", host_budget=7 * MIB)
    with torch.no_grad():
        module(ids)
        shutil.move(folder, tmp_path / "away")
        with pytest.raises(OSError, match=r"^reading 'model\.layers\.\d\..*' from .*c/model-"):
            module(ids)
        assert offloaded.stats()["host_bytes"] <= 7 * MIB
        assert pool.stats()["leased_count"] == offloaded.stats()["host_bytes"] // MIB
        shutil.move(tmp_path / "away", folder)
        assert torch.equal(module(ids).logits, logits)
        assert torch.equal(module.generate(ids, max_new_tokens=6, do_sample=False), tokens)
    offloaded.close()
    assert pool.stats()["leased_count"] == 0


@pytest.mark.parametrize("fit, leased, straddling", [(False, 3 * MIB, 2), (True, 4 * MIB, 0)])
def test_a_run_laid_out_for_a_reader_gets_the_file_bytes_and_fit_keeps_each_tensor_whole(
        tmp_path, fit, leased, straddling):
    from korvane.offload.staging import PackedRun
    torch.manual_seed(0)
    tensors = {f"t{i}": torch.randn(196608) for i in range(3)}  # 0.75 MiB each
    tensors["small"] = torch.randn(3, 26214)  # 0.3 MiB
    safetensors_torch.save_file(tensors, tmp_path / "run.safetensors")
    checkpoint = Checkpoint(tmp_path / "run.safetensors")
    pool = load_extension().PinnedMemoryPool()
    layout = [torch.zeros(()).expand(tensor.shape) for tensor in tensors.values()]
    run = PackedRun(pool, [layout], fit=fit)
    assert run.leased_bytes == leased
    group, pieces = run.lay_out(0)
    assert [sum(n for _, _, n in parts) for parts in pieces] == [t.nbytes for t in tensors.values()]
    assert sum(len(parts) > 1 for parts in pieces) == straddling
    for key, parts in zip(tensors, pieces):
        checkpoint.read_into(key, parts)
    assert all(same_bytes(a, b) for a, b in zip(group.restore(), tensors.values()))
    run.release()
    assert pool.stats()["leased_count"] == 0
    with pytest.raises(ValueError, match="^group 0 has a tensor of strides \\(1, 2\\): a group "):
        PackedRun(pool, [[torch.zeros(3, 2).t()]]).lay_out(0)


@pytest.mark.parametrize("budget", [None, 7 * MIB])
def test_reads_copied_to_cuda_are_ordered_and_their_buffers_go_back_only_when_copied(
        deep, cuda_order, budget):
    """Under the stream-order stand-in (or a real device): a read buffer is copied on the copy
    stream, waited for by compute, and released only once the copy has run."""
    from conftest import check_releases
    from korvane.offload import offload_checkpoint
    folder, _, ids, _, logits = deep
    pool = check_releases(cuda_order, load_extension().PinnedMemoryPool(64 * MIB))
    module = meta_llama("real")  # the stand-in has no meta device
    with offload_checkpoint(module, folder, pool, "cuda", host_budget=budget) as offloaded, \
            torch.no_grad():
        for _ in range(3):  # the first learns the order, the others read ahead
            assert torch.equal(module(ids.cuda()).logits.cpu(), logits)
        stats = offloaded.stats()
    assert stats["host_bytes"] <= (budget or 11 * MIB)
    assert (stats["read_bytes"] > 2 * stats["streamed_bytes"]) == (budget is not None)
    assert pool.stats()["leased_count"] == 0


class _Read:
    def __init__(self, log, name, ok):
        self.log, self.name, self.ok = log, name, ok

    def done(self):
        return True

    def succeeded(self):
        return self.ok

    def wait(self):
        if not self.ok:
            raise OSError(f"reading {self.name}")

    def cancel(self):
        pass


class _ReadGroup:
    """A group read from a checkpoint, as ReadingEngine sees it; logs its reads."""
    reads = True
    nbytes = 1

    def __init__(self, log, name):
        self.log, self.name, self.leased, self.failing = log, name, False, 0

    def start_read(self):
        assert not self.leased
        self.leased = True
        self.log.append(f"read {self.name}")
        self.failing -= 1
        return _Read(self.log, self.name, self.failing < 0)

    def end_read(self):
        self.leased = False


class _Copies:
    def __init__(self, log):
        self.log = log

    def fetch(self, group):
        assert group.leased
        self.log.append(f"copy {group.name}")

    def wait(self, group):
        pass

    attach = detach = free = wait

    def stats(self):
        return {}


@pytest.mark.parametrize("prefetch", [0, 1, 2])
def test_the_reading_engine_reads_prefetch_layers_ahead_within_its_window(prefetch):
    from korvane.offload.engines import ReadingEngine
    from korvane.offload.policy import StreamingPolicy
    log = []
    groups = [_ReadGroup(log, f"g{i}") for i in range(5)]
    policy = StreamingPolicy({g.name: [g] for g in groups},
                             ReadingEngine(_Copies(log), prefetch), prefetch)

    def forward():
        policy.begin_forward()
        try:
            for group in groups:
                policy.before(group.name)
                assert sum(g.leased for g in groups) <= 1 + prefetch
                log.append(f"run {group.name}")
                policy.after(group.name)
        finally:
            policy.end_forward()

    for _ in range(3):
        forward()
    runs = [index for index, entry in enumerate(log) if entry.startswith("run")]
    for run in runs[-5:]:  # the last forward: each layer read before the one prefetch back ran
        name = log[run].split()[1]
        read = max(index for index in range(run) if log[index] == f"read {name}")
        before = runs[runs.index(run) - max(prefetch, 1)]
        assert read < before if prefetch else read > before  # with none ahead, after it ran
    groups[3].failing = 1  # its read ahead fails, and is read again when fetched
    forward()
    assert log.count("read g3") == 3 + 2
    groups[3].failing = 2  # fails again when fetched: that forward raises, the next works
    with pytest.raises(OSError, match="^reading g3$"):
        forward()
    assert sum(g.leased for g in groups) <= 1 + prefetch
    forward()
