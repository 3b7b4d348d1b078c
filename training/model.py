"""The guesser network in PyTorch, layer for layer what the module computes.

Tensor names follow the weight file: ``stem``, ``blocks.{i}.conv1`` ... and
``head.0``, ``head.2``, ``head.4`` (the GELUs sit at head.1 and head.3).
"""

from __future__ import annotations

import torch
from torch import nn

KERNEL = 5
GROUPS = 8
DILATIONS = (1, 2, 4, 8)
N_GRID = 64


def gelu(x: torch.Tensor) -> torch.Tensor:
    return nn.functional.gelu(x, approximate="tanh")


class Block(nn.Module):
    def __init__(self, channels: int, dilation: int, kernel: int, groups: int):
        super().__init__()
        pad = dilation * (kernel - 1) // 2
        self.conv1 = nn.Conv1d(channels, channels, kernel, dilation=dilation, padding=pad)
        self.norm1 = nn.GroupNorm(groups, channels, eps=1e-5)
        self.conv2 = nn.Conv1d(channels, channels, kernel, dilation=dilation, padding=pad)
        self.norm2 = nn.GroupNorm(groups, channels, eps=1e-5)

    def forward(self, h: torch.Tensor) -> torch.Tensor:
        a = gelu(self.norm1(self.conv1(h)))
        b = self.norm2(self.conv2(a))
        return gelu(h + b)


class GuesserNet(nn.Module):
    """Input (B, 3, L) features and (B, 2) extras; output (B, 2P) standardised values."""

    def __init__(
        self,
        n_params: int,
        channels: int = 16,
        kernel: int = KERNEL,
        groups: int = GROUPS,
        dilations: tuple[int, ...] = DILATIONS,
    ):
        super().__init__()
        self.channels = channels
        self.kernel = kernel
        self.groups = groups
        self.dilations = tuple(dilations)
        self.stem = nn.Conv1d(3, channels, kernel, padding=(kernel - 1) // 2)
        self.blocks = nn.ModuleList(Block(channels, d, kernel, groups) for d in dilations)
        self.head = nn.Sequential(
            nn.Linear(2 * channels + 2, 4 * channels),
            nn.GELU(approximate="tanh"),
            nn.Linear(4 * channels, 4 * channels),
            nn.GELU(approximate="tanh"),
            nn.Linear(4 * channels, 2 * n_params),
        )

    def forward(self, x: torch.Tensor, extras: torch.Tensor) -> torch.Tensor:
        h = self.stem(x)
        for block in self.blocks:
            h = block(h)
        pooled = torch.cat([h.mean(dim=2), h.amax(dim=2), extras], dim=1)
        return self.head(pooled)
