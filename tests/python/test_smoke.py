import numpy as np

import korvex


def test_import_and_evaluate():
    c = korvex.Circuit("R0-(R1,C1)").with_values([10.0, 100.0, 1e-6])
    z = c.impedance([1e9])
    assert z.dtype == np.complex128
    assert abs(z[0] - 10.0) < 1e-3
