"""Small models with random weights for any circuit of R, C, L, CPE, W and Wo,
written by the training pipeline's own weight-file writer."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np

# The repository root, for training/: the fuzz runs import this file from
# processes started in tests/python.
sys.path.insert(0, str(Path(__file__).resolve().parents[2]))

from training.export import FLOAT16 as F16  # noqa: E402
from training.export import FLOAT32 as F32  # noqa: E402
from training.export import INT8 as Q8  # noqa: E402, F401 (for the fuzz cases)
from training.export import encode as _encode  # noqa: E402


def encode(metadata, tensors) -> bytes:
    """metadata: (key, value) pairs; tensors: (name, dims, values, encoding)."""
    return _encode(
        metadata,
        [
            (name, np.reshape(np.asarray(values, np.float64), dims), encoding)
            for name, dims, values, encoding in tensors
        ],
    )


# (z_power, w_power, alpha_coefficient, log) by parameter field.
_SCALING = {
    "r": (1, 0, 0, 1),
    "z0": (1, 0, 0, 1),
    "c": (-1, -1, 0, 1),
    "l": (1, -1, 0, 1),
    "q": (-1, 0, -1, 1),
    "alpha": (0, 0, 0, 0),
    "aw": (1, 0.5, 0, 1),
    "tau": (0, -1, 0, 1),
}


def normalisation(param_names):
    """target_mean, target_std, log_params and scaling tensors for the names."""
    p = len(param_names)
    scaling, log_params = [], []
    for name in param_names:
        label, field = name.split(".")
        z, w, coefficient, log = _SCALING[field]
        index = param_names.index(f"{label}.alpha") if field == "q" else -1
        scaling += [z, w, coefficient, index]
        log_params.append(log)
    return [
        ("target_mean", [p], [0.0] * p, F32),
        ("target_std", [p], [0.5] * p, F32),
        ("log_params", [p], log_params, F32),
        ("scaling", [p, 4], scaling, F32),
    ]


def metadata(circuit, param_names, channels, n_grid=64, estimator="reactive_centroid"):
    return [
        ("circuit", circuit),
        ("param_names", ",".join(param_names)),
        ("estimator", estimator),
        ("n_grid", str(n_grid)),
        ("channels", str(channels)),
        ("kernel", "5"),
        ("groups", "8"),
        ("dilations", "1,2,4,8"),
        ("alpha_min", "0.05"),
        ("alpha_max", "1.0"),
    ]


def network(p, channels, seed=0, kernel=5, blocks=4):
    """Random network tensors of the built-in shapes, in binary16."""
    rng = np.random.default_rng(seed)
    c = channels

    def layer(name, *shape):
        fan_in = int(np.prod(shape[1:]))
        weight = rng.normal(0.0, 1.0 / np.sqrt(fan_in), size=shape)
        bias = rng.normal(0.0, 0.1, size=shape[0])
        return [
            (f"w.{name}.weight", list(shape), weight, F16),
            (f"w.{name}.bias", [shape[0]], bias, F16),
        ]

    def norm(name):
        return [
            (f"w.{name}.weight", [c], 1.0 + rng.normal(0, 0.1, c), F16),
            (f"w.{name}.bias", [c], rng.normal(0, 0.1, c), F16),
        ]

    out = layer("stem", c, 3, kernel)
    for i in range(blocks):
        out += layer(f"blocks.{i}.conv1", c, c, kernel) + norm(f"blocks.{i}.norm1")
        out += layer(f"blocks.{i}.conv2", c, c, kernel) + norm(f"blocks.{i}.norm2")
    out += layer("head.0", 4 * c, 2 * c + 2) + layer("head.2", 4 * c, 4 * c)
    out += layer("head.4", 2 * p, 4 * c)
    return out


def random_model(circuit, param_names, channels=16, seed=0) -> bytes:
    """A complete weight file for `circuit` with random network weights."""
    return encode(
        metadata(circuit, param_names, channels),
        network(len(param_names), channels, seed) + normalisation(param_names),
    )
