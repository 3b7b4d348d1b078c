"""EISNN001 weight files: writer, reader, and a float64 reference of the
module's guess computed from a file's contents.

Layout: magic "EISNN001"; u32 count and (key, value) string pairs; u32 count
and tensor records (name, encoding byte, rank byte, u32 dims, payload).
Strings are a u32 byte length and UTF-8 bytes; everything is little-endian.
"""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np

MAGIC = b"EISNN001"
FLOAT32, FLOAT16, INT8 = 0, 1, 2
ALPHA_MIN, ALPHA_MAX = 0.05, 1.0


def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def encode(metadata: list[tuple[str, str]], tensors: list[tuple[str, np.ndarray, int]]) -> bytes:
    out = [MAGIC, struct.pack("<I", len(metadata))]
    for key, value in metadata:
        out += [_string(key), _string(value)]
    out.append(struct.pack("<I", len(tensors)))
    for name, array, encoding in tensors:
        array = np.asarray(array)
        out += [
            _string(name),
            struct.pack("<BB", encoding, array.ndim),
            struct.pack(f"<{array.ndim}I", *array.shape),
        ]
        flat = array.reshape(-1) if array.size else np.zeros(1)
        if encoding == FLOAT32:
            out.append(flat.astype("<f4").tobytes())
        elif encoding == FLOAT16:
            out.append(flat.astype("<f2").tobytes())
        elif encoding == INT8:  # one binary32 scale, then the values in units of it
            scale = float(np.max(np.abs(flat))) / 127 or 1.0
            out.append(struct.pack("<f", scale) + np.round(flat / scale).astype("i1").tobytes())
        else:
            raise ValueError(f"unsupported encoding {encoding}")
    return b"".join(out)


def decode(data: bytes) -> tuple[dict[str, str], dict[str, np.ndarray]]:
    """Metadata and tensors (as float64 arrays of their stored shape)."""
    if data[:8] != MAGIC:
        raise ValueError("not an eisnn weight file")
    pos = 8

    def u32():
        nonlocal pos
        (v,) = struct.unpack_from("<I", data, pos)
        pos += 4
        return v

    def string():
        nonlocal pos
        n = u32()
        pos += n
        return data[pos - n : pos].decode("utf-8")

    meta = {}
    for _ in range(u32()):
        key = string()
        meta[key] = string()
    tensors = {}
    for _ in range(u32()):
        name = string()
        encoding, rank = data[pos], data[pos + 1]
        pos += 2
        dims = [u32() for _ in range(rank)]
        n = max(int(np.prod(dims)), 1)
        if encoding == FLOAT32:
            values = np.frombuffer(data, "<f4", n, pos).astype(np.float64)
            pos += 4 * n
        elif encoding == FLOAT16:
            values = np.frombuffer(data, "<f2", n, pos).astype(np.float64)
            pos += 2 * n
        elif encoding == INT8:
            (scale,) = struct.unpack_from("<f", data, pos)
            values = scale * np.frombuffer(data, "i1", n, pos + 4).astype(np.float64)
            pos += 4 + n
        else:
            raise ValueError(f"unknown encoding {encoding}")
        tensors[name] = values.reshape(dims) if np.prod(dims) else values
    return meta, tensors


def metadata(
    topo, channels: int, n_grid: int, kernel: int, groups: int, dilations
) -> list[tuple[str, str]]:
    return [
        ("circuit", topo.circuit),
        ("param_names", ",".join(topo.param_names)),
        ("estimator", "reactive_centroid"),
        ("n_grid", str(n_grid)),
        ("channels", str(channels)),
        ("kernel", str(kernel)),
        ("groups", str(groups)),
        ("dilations", ",".join(str(d) for d in dilations)),
        ("alpha_min", repr(ALPHA_MIN)),
        ("alpha_max", repr(ALPHA_MAX)),
    ]


def export(net, topo, target_mean: np.ndarray, target_std: np.ndarray, path: Path) -> bytes:
    """Writes the network (binary16) and its normalisation record (binary32)."""
    tensors = [
        (f"w.{k}", v.detach().cpu().double().numpy(), FLOAT16) for k, v in net.state_dict().items()
    ]
    tensors += [
        ("target_mean", np.asarray(target_mean, np.float64), FLOAT32),
        ("target_std", np.asarray(target_std, np.float64), FLOAT32),
        ("log_params", topo.log_params.astype(np.float64), FLOAT32),
        ("scaling", topo.scaling, FLOAT32),
    ]
    data = encode(metadata(topo, net.channels, 64, net.kernel, net.groups, net.dilations), tensors)
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    tmp = path.with_suffix(".tmp")
    tmp.write_bytes(data)
    tmp.replace(path)
    return data


class Reference:
    """The module's guess in float64 PyTorch, from a weight file's contents."""

    def __init__(self, data: bytes):
        import torch

        from training.model import GuesserNet

        self.meta, self.tensors = decode(data)
        m = self.meta
        self.n_grid = int(m["n_grid"])
        self.mean = self.tensors["target_mean"]
        self.std = self.tensors["target_std"]
        self.log_params = self.tensors["log_params"] != 0
        self.scaling = self.tensors["scaling"].reshape(-1, 4)
        self.alpha_min, self.alpha_max = float(m["alpha_min"]), float(m["alpha_max"])
        self.net = GuesserNet(
            len(self.mean),
            int(m["channels"]),
            int(m["kernel"]),
            int(m["groups"]),
            tuple(int(d) for d in m["dilations"].split(",")),
        )
        state = {k[2:]: torch.from_numpy(v) for k, v in self.tensors.items() if k.startswith("w.")}
        self.net.load_state_dict(state)
        self.net.double().eval()

    def standardised(self, inputs: np.ndarray, extras: np.ndarray) -> np.ndarray:
        import torch

        with torch.no_grad():
            out = self.net(
                torch.from_numpy(np.asarray(inputs, np.float64)),
                torch.from_numpy(np.asarray(extras, np.float64)),
            )
        return out.numpy()[:, : len(self.mean)]

    def values(self, z: np.ndarray, z_s: np.ndarray, omega_s: np.ndarray) -> np.ndarray:
        """Physical values from standardised outputs z (B, P)."""
        v = self.mean + z * self.std
        u = np.where(self.log_params, 10.0 ** np.where(self.log_params, v, 0.0), v)
        u = np.where(self.log_params, u, np.clip(u, self.alpha_min, self.alpha_max))
        out = np.empty_like(u)
        for k, (zp, wp, coef, idx) in enumerate(self.scaling):
            e = wp + (coef * u[:, int(round(idx))] if idx >= 0 else 0.0)
            out[:, k] = omega_s**e * (u[:, k] * z_s**zp)
        return out

    def predict(self, frequencies, impedances) -> np.ndarray:
        """Guess for B spectra of equal length (arrays (B, N)) or one spectrum."""
        from training.features import features

        x, e, z_s, omega_s = features(frequencies, impedances, self.n_grid)
        return self.values(self.standardised(x, e), z_s, omega_s)
