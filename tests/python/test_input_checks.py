"""Every entry point checks a measured spectrum the same way."""

import math
import re

import numpy as np
import pandas as pd
import pytest
from test_hardening import RC, F, Z, spoiled

import korvex

BAD = [
    (spoiled(3, impedance=complex(math.nan, 1.0)), r"impedances\[3\] must be finite"),
    (spoiled(5, impedance=complex(math.inf, 0.0)), r"impedances\[5\] must be finite"),
    (spoiled(0, frequency=-1.0), r"frequencies\[0\] must be a positive finite number"),
    (spoiled(7, impedance=0j), r"impedances\[7\] is zero"),
]


@pytest.mark.parametrize("call", ["fit", "guess"])
def test_a_single_zero_point_is_refused(call):
    with pytest.raises(ValueError, match=r"^impedances\[4\] is zero"):
        getattr(RC, call)(*spoiled(4, impedance=0j))


@pytest.mark.parametrize("pair, message", BAD)
def test_batches_check_every_spectrum_as_fit_does(pair, message):
    batch = korvex.fit_many(RC, [(F, Z), pair, (F, Z)])
    assert batch[0].success and batch[2].success
    assert isinstance(batch[1], ValueError) and list(batch.failed) == [1]
    assert re.search(message, str(batch[1]))
    with pytest.raises(ValueError, match=r"spectrum 'bad'.*" + message):
        korvex.fit_shared(RC, {"good": (F, Z), "bad": pair}, shared=["R0.r"])


def test_circuit_text_is_taken_wherever_a_circuit_is():
    batch = korvex.fit_many("R0-p(R1,C1)", [(F, Z)])
    assert batch[0].params["R1.r"] == pytest.approx(100.0, rel=1e-6)
    shared = korvex.fit_shared("R0-p(R1,C1)", [(F, Z), (F, Z)], shared=["R0.r"])
    assert shared.shared["R0.r"] == pytest.approx(10.0, rel=1e-6)


def frame(f, z, **columns):
    return pd.DataFrame(
        {
            "frequency_hertz": f,
            "real_impedance_ohm": z.real,
            "imaginary_impedance_ohm": z.imag,
            **columns,
        }
    )


TWO_SWEEPS = {
    "cycle": (frame(np.r_[F, F], np.r_[Z, Z], cycle=np.repeat([1, 2], F.size)), 'by="cycle"'),
    "file": (
        frame(np.r_[F, F], np.r_[Z, Z], file=np.repeat(["a.csv", "b.csv"], F.size)),
        'by="file"',
    ),
    "restart": (frame(np.r_[F[::-1], F[::-1]], np.r_[Z[::-1], Z[::-1]]), "starts again at row 40"),
}
ANALYSES = {
    "fit": RC.fit,
    "guess": RC.guess,
    "estimate": RC.estimate,
    "kramers_kronig": korvex.kramers_kronig,
    "drt": korvex.drt,
    "identify": lambda fr: korvex.identify(fr, candidates=["R0-p(R1,C1)"]),
}


@pytest.mark.parametrize("kind", TWO_SWEEPS)
@pytest.mark.parametrize("call", ANALYSES)
def test_a_frame_of_several_spectra_is_refused(call, kind):
    two, hint = TWO_SWEEPS[kind]
    with pytest.raises(ValueError, match="holds several spectra") as caught:
        ANALYSES[call](two)
    assert hint in str(caught.value) and "fit_many" in str(caught.value)


def test_one_sweep_of_a_frame_still_fits():
    one = frame(F[::-1], Z[::-1], cycle=np.ones(F.size, dtype=int), file="a.csv")
    assert RC.fit(one).chi_square < 1e-20
    batch = korvex.fit_many(RC, pd.concat([one, one.assign(cycle=2)]), by="cycle")
    assert not batch.failed
