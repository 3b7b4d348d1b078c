"""The training pipeline's own pieces: topology tables, synthetic spectra,
targets, features and the weight-file writer."""

import math
import struct

import numpy as np
import pytest

import korvex
from training import circuits, export, features, synth

ALL = list(circuits.MODELS)


@pytest.mark.parametrize("name", ALL)
def test_parameter_names_are_the_circuits_own(name):
    topo = circuits.topology(name)
    assert list(topo.param_names) == korvex.Circuit(topo.circuit).param_names()


@pytest.mark.parametrize(
    "field, row",
    [
        ("R1.r", (1, 0, 0, -1)),
        ("C1.c", (-1, -1, 0, -1)),
        ("L0.l", (1, -1, 0, -1)),
        ("W1.aw", (1, 0.5, 0, -1)),
        ("CPE1.alpha", (0, 0, 0, -1)),
    ],
)
def test_scaling_rows(field, row):
    name = next(n for n in ALL if field in circuits.topology(n).param_names)
    topo = circuits.topology(name)
    k = topo.index(field)
    assert tuple(topo.scaling[k]) == row
    assert topo.log_params[k] == (field != "CPE1.alpha")


@pytest.mark.parametrize("name", ["rq", "two_rq_l", "sei_randles_wo"])
def test_cpe_q_points_at_its_own_alpha(name):
    topo = circuits.topology(name)
    for k, pname in enumerate(topo.param_names):
        if pname.endswith(".q"):
            label = pname.split(".")[0]
            assert topo.scaling[k, 3] == topo.index(f"{label}.alpha")
            assert topo.scaling[k, 2] == -1


def test_sei_warburg_open_rows():
    topo = circuits.topology("sei_randles_wo")
    assert tuple(topo.scaling[topo.index("Wo2.z0")]) == (1, 0, 0, -1)
    assert tuple(topo.scaling[topo.index("Wo2.tau")]) == (0, -1, 0, -1)


@pytest.mark.parametrize("name", ALL)
def test_synthetic_spectra_are_realistic(name):
    data = synth.generate(name, 300, seed=5, keep_spectra=True)
    sizes = [f.size for f, _ in data.spectra]
    assert min(sizes) >= 10 and max(sizes) <= 150
    for f, z in data.spectra:
        assert f.min() >= 1e-3 * (1 - 1e-12) and f.max() <= 1e6 * (1 + 1e-12)
        # Jitter may pull each end point inwards by up to 0.4 of a step.
        shortest = 2 * (1 - 0.8 / (f.size - 1)) - 1e-9
        assert shortest <= math.log10(f.max() / f.min()) <= 9 + 1e-9
        assert np.all(np.isfinite(z))
    topo = circuits.topology(name)
    assert np.all(data.params[:, ~topo.log_params] >= 0.5)
    assert np.all(data.params[:, ~topo.log_params] <= 1.0)
    assert np.all(data.params[:, topo.log_params] > 0)
    assert np.all(np.isfinite(data.targets)) and np.all(np.isfinite(data.inputs))


def _tau(params, topo, label):
    r = params[:, topo.index(f"R{label}.r")]
    if f"C{label}.c" in topo.param_names:
        return r * params[:, topo.index(f"C{label}.c")]
    q, a = params[:, topo.index(f"CPE{label}.q")], params[:, topo.index(f"CPE{label}.alpha")]
    return (r * q) ** (1 / a)


@pytest.mark.parametrize(
    "name", ["two_rc", "two_rc_l", "two_rq", "two_rq_l", "sei_randles", "sei_randles_wo"]
)
def test_two_groups_are_in_canonical_order(name):
    topo = circuits.topology(name)
    params = synth.generate(name, 400, seed=3).params
    assert np.all(_tau(params, topo, 1) <= _tau(params, topo, 2) * (1 + 1e-9))


@pytest.mark.parametrize("name", ALL)
def test_synthetic_impedance_is_the_circuits(name):
    topo = circuits.topology(name)
    data = synth.generate(name, 20, seed=11, noise=0.0, keep_spectra=True)
    circuit = korvex.Circuit(topo.circuit)
    for (f, z), p in zip(data.spectra, data.params):
        np.testing.assert_array_equal(z, circuit.with_values(p.tolist()).impedance(f))


def test_generation_is_reproducible():
    a = synth.generate("randles", 50, seed=8)
    b = synth.generate("randles", 50, seed=8)
    c = synth.generate("randles", 50, seed=9)
    np.testing.assert_array_equal(a.inputs, b.inputs)
    assert not np.array_equal(a.params, c.params)


def test_broad_spread_reaches_past_the_standard_one():
    standard = synth.generate("sei_randles_wo", 400, seed=4)
    broad = synth.generate("sei_randles_wo", 400, seed=4, spread="broad")
    alpha = circuits.topology("sei_randles_wo").index("CPE1.alpha")
    assert standard.params[:, alpha].min() >= 0.5 > broad.params[:, alpha].min() >= 0.45
    # Wo2.tau relative to the window: the broad spread puts more of it outside.
    tau = circuits.topology("sei_randles_wo").index("Wo2.tau")
    outside = [np.mean(d.params[:, tau] * d.omega_s > 1e3) for d in (standard, broad)]
    assert outside[1] > outside[0]
    assert np.all(np.isfinite(broad.targets)) and np.all(np.isfinite(broad.inputs))


def test_refinement_starts_from_a_weight_file(tmp_path):
    torch = pytest.importorskip("torch")
    from training import train

    topo = circuits.topology("rq")
    path = tmp_path / "rq.eisnn"
    path.write_bytes(_blob(topo, np.arange(4.0), np.full(4, 0.5)))
    parent, mean, std = train._parent(str(path))
    ref = export.Reference(path.read_bytes())
    np.testing.assert_array_equal(mean, ref.mean)
    for k, v in ref.net.state_dict().items():
        assert torch.equal(parent["net"][k].double(), v)


@pytest.mark.parametrize("name", ["rc_l", "randles", "two_rq", "sei_randles_wo"])
def test_targets_invert_to_the_true_values(name):
    """A network that predicts the standardised targets exactly gives back
    the true parameters once the file's decoding is applied."""
    topo = circuits.topology(name)
    data = synth.generate(name, 64, seed=2)
    mean, std = data.targets.mean(0), data.targets.std(0)
    ref = export.Reference(_blob(topo, mean, std))
    values = ref.values((data.targets - ref.mean) / ref.std, data.z_s, data.omega_s)
    np.testing.assert_allclose(values, data.params, rtol=1e-9)


def _blob(topo, mean, std, channels=8):
    torch = pytest.importorskip("torch")
    from training.model import GuesserNet

    torch.manual_seed(0)
    net = GuesserNet(topo.n_params, channels)
    meta = export.metadata(topo, channels, 64, 5, 8, (1, 2, 4, 8))
    tensors = [(f"w.{k}", v.double().numpy(), export.FLOAT16) for k, v in net.state_dict().items()]
    tensors += [
        ("target_mean", mean, 0),
        ("target_std", std, 0),
        ("log_params", topo.log_params.astype(float), 0),
        ("scaling", topo.scaling, 0),
    ]
    return export.encode(meta, tensors)


def _scalar_features(f, z, n_grid=64):
    """The feature recipe written point by point, as a check of the batched one."""
    w = [max(-zi.imag / abs(zi), 0.0) for zi in z]
    total = sum(w)
    omega_s = math.exp(sum(wi * math.log(2 * math.pi * fi) for wi, fi in zip(w, f)) / total)
    z_s = math.exp(sum(wi * math.log(abs(zi)) for wi, zi in zip(w, z)) / total)
    order = sorted(range(len(f)), key=lambda i: f[i])
    lf = [math.log10(f[i]) for i in order]
    lz = [math.log10(abs(z[i])) for i in order]
    ph = [math.atan2(z[order[0]].imag, z[order[0]].real)]
    for i in order[1:]:
        a = math.atan2(z[i].imag, z[i].real)
        d = (a - ph[-1]) - 2 * math.pi * math.floor((a - ph[-1] + math.pi) / (2 * math.pi))
        ph.append(ph[-1] + d)
    grid = [lf[0] + t * (lf[-1] - lf[0]) / (n_grid - 1) for t in range(n_grid)]
    rows = [
        [np.interp(g, lf, lz) - math.log10(z_s) for g in grid],
        [np.interp(g, lf, ph) / (math.pi / 2) for g in grid],
        [(g - math.log10(omega_s / (2 * math.pi))) * 0.25 for g in grid],
    ]
    return np.array(rows), [(lf[-1] - lf[0]) * 0.125, math.log10(len(f)) * 0.5], z_s, omega_s


@pytest.mark.parametrize("name", ["rc", "rq_l", "randles", "sei_randles"])
def test_batched_features_match_the_pointwise_recipe(name):
    data = synth.generate(name, 6, seed=21, keep_spectra=True)
    for f, z in data.spectra:
        x, e, z_s, omega_s = features.features(f[None], z[None])
        rx, re, rz, rw = _scalar_features(f, z)
        np.testing.assert_allclose(x[0], rx, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(e[0], re, rtol=1e-12)
        assert z_s[0] == pytest.approx(rz, rel=1e-12)
        assert omega_s[0] == pytest.approx(rw, rel=1e-12)


def test_resistive_spectrum_uses_fallback_scales():
    f = np.array([1.0, 10.0, 100.0, 1000.0])
    z = np.array([4.0, 1.0, 3.0, 2.0]) + 0j
    z_s, omega_s = features.scales(f, z)
    assert z_s[0] == 3.0
    assert omega_s[0] == pytest.approx(2 * math.pi * math.sqrt(1000.0), rel=1e-14)


def test_phase_unwraps_across_the_branch_cut():
    f = np.array([1.0, 2.0])
    z = np.exp(1j * np.array([math.pi - 0.1, -math.pi + 0.1]))
    x, *_ = features.features(f[None], z[None], n_grid=2)
    np.testing.assert_allclose(x[0, 1] * math.pi / 2, [math.pi - 0.1, math.pi + 0.1], rtol=1e-14)


def test_weight_file_layout():
    topo = circuits.topology("rq")
    blob = _blob(topo, np.arange(4.0), np.ones(4))
    assert blob[:8] == b"EISNN001"
    assert struct.unpack_from("<I", blob, 8)[0] == 10
    meta, tensors = export.decode(blob)
    assert list(meta) == [
        "circuit",
        "param_names",
        "estimator",
        "n_grid",
        "channels",
        "kernel",
        "groups",
        "dilations",
        "alpha_min",
        "alpha_max",
    ]
    assert meta["param_names"] == "R0.r,R1.r,CPE1.q,CPE1.alpha"
    assert len(tensors) == 44
    assert tensors["w.head.0.weight"].shape == (32, 18)
    assert tensors["w.head.4.weight"].shape == (8, 32)
    assert tensors["scaling"].shape == (4, 4)


def test_binary16_and_binary32_encodings_round_values():
    blob = export.encode(
        [],
        [
            ("h", np.array([1.0, 1 / 3, 65504.0, 2.0**-24]), export.FLOAT16),
            ("s", np.array([[1 / 3]]), export.FLOAT32),
        ],
    )
    _, t = export.decode(blob)
    np.testing.assert_array_equal(t["h"], np.float16([1.0, 1 / 3, 65504.0, 2.0**-24]))
    assert t["s"].shape == (1, 1) and t["s"][0, 0] == np.float32(1 / 3)
    # 8 magic + 4 + 4 + (4+1+2+4+8) + (4+1+2+8+4)
    assert len(blob) == 8 + 4 + 4 + 19 + 19
