"""Trains all eleven built-in models, one after the other.

    python -m training.train_all            # every model
    python -m training.train_all --only rc  # one of them

The settings below are what the shipped files were trained with; each run
also records them in training/runs/<name>/settings.json. A model listed in
REFINE is then trained further from its finished network on fresh data
(training/runs/<name>/refine/), and that refined network is what ships.
"""

from __future__ import annotations

import argparse
import gc
import time

from training.circuits import MODELS
from training.train import RUNS, train

# One torch thread at 16 channels trains 3000 to 7000 samples per second on
# the 2-core development machine (depending on what else runs); all eleven
# models then train in about an hour. Two groups have more to learn, so they
# get more data and time.
SIMPLE = dict(channels=16, samples=100_000, epochs=14)
TWO_GROUPS = dict(channels=16, samples=100_000, epochs=16)
# Two CPE groups (and the SEI models, which add diffusion) are the hardest to
# read off a spectrum; at the settings above their second group's values were
# still off by more than they need to be.
HARD = dict(channels=16, samples=200_000, epochs=20)

SETTINGS: dict[str, dict] = {
    name: (
        HARD
        if name in ("two_rq", "two_rq_l", "sei_randles", "sei_randles_wo")
        else TWO_GROUPS
        if "two" in name
        else SIMPLE
    )
    for name in MODELS
}


# Second stage: fresh data (its own seed), a lower learning rate decaying along
# a cosine, from the first stage's network. The models below still read their
# slower group's resistance off by more than a tenth of a decade after the
# first stage.
# two_rq_l gains from a third stage (training/runs/two_rq_l/refine2/): new
# data again, from the first refinement, at half the learning rate.
REFINE_DATA = dict(samples=300_000, lr=1e-3, seed=20251208)
AGAIN = dict(samples=300_000, lr=5e-4, seed=20251209)
REFINE: dict[str, list[dict]] = {
    "sei_randles": [dict(REFINE_DATA, epochs=8)],
    "sei_randles_wo": [dict(REFINE_DATA, epochs=8)],
    "two_rq": [dict(REFINE_DATA, epochs=10)],
    "two_rq_l": [dict(REFINE_DATA, epochs=10), dict(AGAIN, epochs=8)],
    "two_rc_l": [dict(REFINE_DATA, epochs=8)],
}


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument(
        "--only",
        choices=list(MODELS),
        action="append",
        help="train only this model (may be repeated)",
    )
    args = p.parse_args(argv)
    names = args.only or list(MODELS)
    RUNS.mkdir(parents=True, exist_ok=True)
    for name in names:
        t0 = time.time()
        record = train(name, **SETTINGS[name])
        parent = name
        for k, stage in enumerate(REFINE.get(name, [])):
            run = f"{name}/refine" + (str(k + 1) if k else "")
            record = train(name, **dict(SETTINGS[name], **stage, run=run, init=parent))
            parent = run
        print(
            f"{name}: {record['train_seconds']:.0f} s of training, {time.time() - t0:.0f} s in all",
            flush=True,
        )
        gc.collect()


if __name__ == "__main__":
    main()
