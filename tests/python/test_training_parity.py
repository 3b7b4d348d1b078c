"""What the network sees and computes at training time is what the module
computes at inference time: the features, and the whole guess from a
weight file's binary16 weights."""

import math
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch")

import korvex  # noqa: E402
from training import circuits, export, features, synth  # noqa: E402
from training.model import GuesserNet  # noqa: E402

BUILTIN = Path(__file__).resolve().parents[2] / "src" / "models" / "builtin"
ALL = list(circuits.MODELS)

needs_hook = pytest.mark.skipif(
    not hasattr(korvex._korvex, "_features"), reason="this build has no features hook"
)
needs_guess = pytest.mark.skipif(
    not hasattr(korvex.Circuit, "guess"), reason="this build has no Circuit.guess"
)


def _spectra(name, n, seed=41):
    return synth.generate(name, n, seed, keep_spectra=True).spectra


@needs_hook
@pytest.mark.parametrize("name", ALL)
def test_features_equal_the_modules(name):
    for f, z in _spectra(name, 25):
        x, e, z_s, w_s = features.features(f[None], z[None])
        hx, he, hz, hw = korvex._korvex._features(f, z)
        np.testing.assert_allclose(x[0], hx, rtol=1e-12, atol=1e-13)
        np.testing.assert_allclose(e[0], he, rtol=1e-12, atol=1e-13)
        assert z_s[0] == pytest.approx(hz, rel=1e-12)
        assert w_s[0] == pytest.approx(hw, rel=1e-12)


@needs_hook
@pytest.mark.parametrize(
    "f, z",
    [
        ([1.0, 10.0, 100.0], [3 + 0j, 2 + 0j, 1 + 0j]),  # resistive: fallback scales
        ([100.0, 1.0, 10.0, 10.0], [1 - 1j, 5 - 2j, 2 - 3j, 2 - 2.5j]),  # unsorted, a tie
        ([1.0, 2.0], [-1 + 0.1j, -1 - 0.1j]),  # phase across the branch cut
    ],
)
def test_features_equal_the_modules_on_odd_spectra(f, z):
    f, z = np.array(f), np.array(z)
    x, e, z_s, w_s = features.features(f[None], z[None])
    hx, he, hz, hw = korvex._korvex._features(f, z)
    np.testing.assert_allclose(x[0], hx, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(e[0], he, rtol=1e-12)
    assert (z_s[0], w_s[0]) == pytest.approx((hz, hw), rel=1e-12)


def _random_file(name, channels, path, seed=0):
    """A weight file with untrained weights and realistic normalisation."""
    topo = circuits.topology(name)
    torch.manual_seed(seed)
    net = GuesserNet(topo.n_params, channels)
    t = synth.generate(name, 200, seed=1).targets
    export.export(net, topo, t.mean(0), t.std(0), path)
    return path


def _numpy_forward(tensors, meta, x, extras):
    """The network written out with loops and NumPy, layer by layer."""
    kernel, groups = int(meta["kernel"]), int(meta["groups"])
    L = x.shape[1]

    def conv(name, h, d):
        w, b = tensors[f"w.{name}.weight"], tensors[f"w.{name}.bias"]
        pad = d * (kernel - 1) // 2
        y = np.repeat(b[:, None], L, axis=1).astype(float)
        for j in range(kernel):
            for t in range(L):
                s = t + d * j - pad
                if 0 <= s < L:
                    y[:, t] += w[:, :, j] @ h[:, s]
        return y

    def norm(name, h):
        c = h.shape[0]
        g = h.reshape(groups, -1)
        m = g.mean(axis=1, keepdims=True)
        v = ((g - m) ** 2).mean(axis=1, keepdims=True)
        y = ((g - m) / np.sqrt(v + 1e-5)).reshape(c, L)
        return y * tensors[f"w.{name}.weight"][:, None] + tensors[f"w.{name}.bias"][:, None]

    def gelu(v):
        return v * 0.5 * (1 + np.tanh(0.7978845608028654 * (v + 0.044715 * v**3)))

    def linear(name, v):
        return tensors[f"w.{name}.weight"] @ v + tensors[f"w.{name}.bias"]

    h = conv("stem", x, 1)
    for i, d in enumerate(int(p) for p in meta["dilations"].split(",")):
        a = gelu(norm(f"blocks.{i}.norm1", conv(f"blocks.{i}.conv1", h, d)))
        b = norm(f"blocks.{i}.norm2", conv(f"blocks.{i}.conv2", a, d))
        h = gelu(h + b)
    pooled = np.concatenate([h.mean(axis=1), h.max(axis=1), extras])
    return linear("head.4", gelu(linear("head.2", gelu(linear("head.0", pooled)))))


@pytest.mark.parametrize("name, channels", [("rc", 8), ("two_rq_l", 16), ("sei_randles_wo", 16)])
def test_torch_network_is_the_layer_recipe(tmp_path, name, channels):
    ref = export.Reference(_random_file(name, channels, tmp_path / "m.eisnn").read_bytes())
    f, z = _spectra(name, 1)[0]
    x, e, _, _ = features.features(f[None], z[None])
    expected = _numpy_forward(ref.tensors, ref.meta, x[0], e[0])
    got = ref.standardised(x, e)[0]
    np.testing.assert_allclose(got, expected[: len(ref.mean)], rtol=1e-12, atol=1e-12)


def _assert_guess_matches(name, path):
    ref = export.Reference(path.read_bytes())
    circuit = korvex.Circuit(circuits.MODELS[name])
    for f, z in _spectra(name, 12, seed=43):
        expected = ref.predict(f[None], z[None])[0]
        got = circuit.guess(f, z, weights=str(path))
        np.testing.assert_allclose(got, expected, rtol=1e-9)


@needs_guess
@pytest.mark.parametrize("name", ["rc", "rq_l", "randles", "two_rq", "sei_randles_wo"])
def test_guess_of_an_exported_file_equals_the_torch_network(tmp_path, name):
    _assert_guess_matches(name, _random_file(name, 16, tmp_path / f"{name}.eisnn", seed=7))


@needs_guess
@pytest.mark.parametrize("name", ALL)
def test_guess_of_the_builtin_file_equals_the_torch_network(name):
    path = BUILTIN / f"{name}.eisnn"
    if not path.exists():
        pytest.skip(f"{path.name} not trained yet")
    _assert_guess_matches(name, path)


@needs_guess
@pytest.mark.parametrize("name", ALL)
def test_builtin_guess_without_a_path_uses_the_same_file(name):
    path = BUILTIN / f"{name}.eisnn"
    if not path.exists():
        pytest.skip(f"{path.name} not trained yet")
    ref = export.Reference(path.read_bytes())
    f, z = _spectra(name, 1, seed=44)[0]
    got = korvex.Circuit(circuits.MODELS[name]).guess(f, z)
    np.testing.assert_allclose(got, ref.predict(f[None], z[None])[0], rtol=1e-9)


@pytest.mark.parametrize("name", ALL)
def test_builtin_file_contents(name):
    path = BUILTIN / f"{name}.eisnn"
    if not path.exists():
        pytest.skip(f"{path.name} not trained yet")
    meta, tensors = export.decode(path.read_bytes())
    topo = circuits.topology(name)
    assert meta["circuit"] == topo.circuit
    assert meta["param_names"].split(",") == list(topo.param_names)
    assert meta["dilations"] == "1,2,4,8" and meta["kernel"] == "5" and meta["groups"] == "8"
    c, p = int(meta["channels"]), topo.n_params
    assert tensors["w.head.4.weight"].shape == (2 * p, 4 * c)
    assert tensors["w.head.0.weight"].shape == (4 * c, 2 * c + 2)
    np.testing.assert_array_equal(tensors["scaling"].reshape(p, 4), topo.scaling)
    assert np.all(tensors["target_std"] > 0) and np.all(np.isfinite(tensors["target_mean"]))
    assert not math.isnan(float(meta["alpha_min"]))
