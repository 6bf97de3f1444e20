"""The offload demo's workloads: a transformer-shaped language model with random weights, sized to a
byte budget, run on the same batches resident and with its layers streamed from a pool; and a
Llama-architecture model from transformers, sized the same way, saved as a checkpoint."""

from __future__ import annotations

import copy
import statistics
import time
from dataclasses import dataclass, field
from typing import Callable, Optional

import torch
from torch import nn

from korvane.offload.checkpoint import assign_tensors, meta_parameters
from korvane.offload.offload import offload_module

VOCAB = 8192
HEAD_DIM = 64
MIN_WIDTH = HEAD_DIM


class LanguageModel(nn.Module):
    """Token embedding, pre-norm transformer blocks, a final norm and a head tied to the
    embedding: with default layers every one of them is streamed, the tied matrix once."""

    def __init__(self, blocks: int, width: int, vocab: int = VOCAB):
        super().__init__()
        self.embed = nn.Embedding(vocab, width)
        self.blocks = nn.ModuleList(
            nn.TransformerEncoderLayer(width, width // HEAD_DIM, 4 * width, dropout=0.0,
                                       batch_first=True, norm_first=True)
            for _ in range(blocks))
        self.norm = nn.LayerNorm(width)
        self.head = nn.Linear(width, vocab)
        self.head.weight = self.embed.weight

    def forward(self, tokens: torch.Tensor) -> torch.Tensor:
        x = self.embed(tokens)
        for block in self.blocks:
            x = block(x)
        return self.head(self.norm(x))


def model_bytes(blocks: int, width: int, vocab: int = VOCAB) -> int:
    """The float32 bytes of ``LanguageModel(blocks, width, vocab)``."""
    block = 12 * width * width + 13 * width  # attention 4 w^2 + 4 w, MLP 8 w^2 + 5 w, 2 norms 4 w
    return 4 * (blocks * block + vocab * width + 2 * width + vocab)


def forward_bytes(batch_size: int, seq_len: int, width: int, vocab: int = VOCAB) -> int:
    """The float32 bytes a forward holds at least: the resident and the offloaded logits, kept
    to be compared, and one block's MLP activations."""
    return 4 * batch_size * seq_len * (2 * vocab + 4 * width)


def width_for(total_bytes: int, blocks: int) -> Optional[int]:
    """The largest width, a multiple of the head size, whose model fits ``total_bytes``; None when
    even the narrowest does not."""
    width = MIN_WIDTH
    if model_bytes(blocks, width) > total_bytes:
        return None
    while model_bytes(blocks, width + HEAD_DIM) <= total_bytes:
        width += HEAD_DIM
    return width


def build_model(blocks: int, width: int, device: torch.device, seed: int) -> LanguageModel:
    """Random weights drawn on the CPU from ``seed``, so that every device gets the same model."""
    torch.manual_seed(seed)
    with torch.device("meta"):
        model = LanguageModel(blocks, width)
    model.to_empty(device="cpu")
    model.head.weight = model.embed.weight  # to_empty gives each module a tensor of its own
    for name, tensor in model.state_dict().items():
        if name.endswith("bias"):
            nn.init.normal_(tensor, std=0.02)
        elif tensor.dim() == 1:  # norm weights
            nn.init.normal_(tensor, mean=1.0, std=0.02)
        else:
            nn.init.normal_(tensor, std=width ** -0.5)
    return model.to(device).eval()


@dataclass
class Timings:
    """Seconds of each timed forward, and the offloaded module's statistics over them."""
    resident: list[float] = field(default_factory=list)
    offloaded: list[float] = field(default_factory=list)
    copy_alone: list[float] = field(default_factory=list)   # on the CPU only
    stats: dict = field(default_factory=dict)
    mismatches: int = 0


def compare(model: LanguageModel, batches: list[torch.Tensor], pool, device: torch.device,
            prefetch: int, step: Callable[[], None]) -> Timings:
    """Runs every batch through the model and through an offloaded copy of it, one after the
    other, and on the CPU times copying the weights alone beside them (so that a busy spell of
    the machine falls on all three alike); checks each output bit for bit. Both first run the
    first batch untimed: it warms the kernels and lets the offloaded module learn its order."""
    timings = Timings()
    streamed = copy.deepcopy(model)
    with offload_module(streamed, pool, device, prefetch=prefetch) as offloaded, \
            torch.inference_mode():
        model(batches[0])
        offloaded(batches[0])
        before = offloaded.stats()
        for tokens in batches:
            seconds, expected = _timed(model, tokens, device)
            timings.resident.append(seconds)
            seconds, output = _timed(offloaded, tokens, device)
            timings.offloaded.append(seconds)
            timings.mismatches += not torch.equal(output, expected)
            if device.type == "cpu":
                timings.copy_alone.append(_copy_alone(model))
            step()
        timings.stats = _since(before, offloaded.stats())
    return timings


def per_forward(seconds: list[float]) -> float:
    return statistics.median(seconds)


def _timed(model: Callable, tokens: torch.Tensor, device: torch.device):
    _synchronize(device)
    start = time.perf_counter()
    output = model(tokens)
    _synchronize(device)
    return time.perf_counter() - start, output


def _copy_alone(model: nn.Module) -> float:
    """Seconds to copy every weight into new memory, as moving the weights to a device does,
    with nothing else running. The copies are all kept until the end: a copy freed at once would
    let the next one reuse its pages, which the weights fetched for a forward cannot do."""
    start = time.perf_counter()
    copies = [torch.empty_like(weight).copy_(weight) for weight in model.parameters()]
    seconds = time.perf_counter() - start
    del copies
    return seconds


def _since(before: dict, after: dict) -> dict:
    counted = ("bytes_copied", "bytes_in_place", "fetches", "copies", "copy_seconds",
               "wait_seconds")
    return {key: value - before[key] if key in counted else value for key, value in after.items()}


def _synchronize(device: torch.device) -> None:
    if device.type == "cuda":
        torch.cuda.synchronize(device)


def llama_config(blocks: int, width: int, vocab: int = VOCAB):
    """A Llama of ``blocks`` blocks of ``width`` (heads of 64), MLPs three times as wide, its
    head tied to the embedding, in float32."""
    from transformers import LlamaConfig

    return LlamaConfig(vocab_size=vocab, hidden_size=width, intermediate_size=3 * width,
                       num_hidden_layers=blocks, num_attention_heads=width // HEAD_DIM,
                       num_key_value_heads=width // HEAD_DIM, tie_word_embeddings=True,
                       torch_dtype=torch.float32)


def llama_bytes(blocks: int, width: int, vocab: int = VOCAB) -> int:
    """Bytes of ``llama_config``'s weights: per block four square attention matrices, three of
    the MLP and two norms; the tied embedding and the final norm."""
    return 4 * (blocks * (13 * width * width + 2 * width) + vocab * width + width)


def llama_width_for(total_bytes: int, blocks: int) -> Optional[int]:
    """The widest multiple of 64 whose Llama fits in ``total_bytes``; None if none does."""
    if llama_bytes(blocks, MIN_WIDTH) > total_bytes:
        return None
    width = MIN_WIDTH
    while llama_bytes(blocks, width + HEAD_DIM) <= total_bytes:
        width += HEAD_DIM
    return width


def build_llama(config, seed: int) -> nn.Module:
    """A ``LlamaForCausalLM`` of ``config`` with random weights drawn from ``seed`` on the CPU,
    made without the cost of transformers' initialisation."""
    from transformers import LlamaForCausalLM

    with meta_parameters():
        model = LlamaForCausalLM(config)
    generator = torch.Generator().manual_seed(seed)
    std = config.hidden_size ** -0.5
    values = []
    for name, param in model.named_parameters():
        tensor = torch.empty(param.shape, dtype=param.dtype)
        if tensor.dim() == 1:  # norm weights
            tensor.normal_(1.0, 0.02, generator=generator)
        else:
            tensor.normal_(0.0, std, generator=generator)
        values.append((param, tensor))
    assign_tensors(model, values)
    return model.eval()
