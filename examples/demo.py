"""Build a circuit, print it, and evaluate its impedance over a frequency sweep."""

import numpy as np

import korvex

circuit = korvex.Circuit("R0-p(R1,CPE1)-p(R2-W2,CPE2)").with_named_values(
    {
        "R0.r": 0.02,
        "R1.r": 0.015,
        "CPE1.q": 0.5,
        "CPE1.alpha": 0.85,
        "R2.r": 0.03,
        "W2.aw": 0.01,
        "CPE2.q": 5.0,
        "CPE2.alpha": 0.9,
    }
)
print(circuit)
frequencies = np.logspace(5, -2, 8)
print("\nfrequency / Hz        impedance / ohm")
for f, z in zip(frequencies, circuit.impedance(frequencies)):
    print(f"{f:14.4g}   {z.real:+.6f} {z.imag:+.6f}j")
