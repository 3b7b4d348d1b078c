"""Trains one built-in model and writes its weight file.

    python -m training.train rc --channels 16 --samples 120000 --epochs 16

Resumable: the run directory (training/runs/<name>/) holds a checkpoint after
every epoch, the log (log.txt) and the settings with the final figures
(settings.json). A rerun with the same settings continues where it stopped;
the data are regenerated from their seeds, so a resumed run sees the same
samples in the same order.

A refinement stage (`--init RUN`, written to `--run NAME`) starts from the
network of another run's checkpoint, keeps that run's target scaling, and
trains on fresh data (its own seed) with a learning rate that decays from
`--lr` along a cosine; the weight file is then the refined network. `--init`
also takes a weight file (a path ending in .eisnn): the refinement then starts
from the network it holds (binary16 values) and its target scaling, which is
how a shipped model is refined when its run's checkpoints are gone.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import time
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
RUNS = ROOT / "training" / "runs"
BUILTIN = ROOT / "src" / "models" / "builtin"

DEFAULTS = dict(
    channels=16,
    samples=120_000,
    epochs=16,
    batch=256,
    lr=3e-3,
    weight_decay=1e-4,
    val_samples=4000,
    seed=20240601,
    threads=1,
    spread="standard",
)


def _log(run_dir: Path, text: str) -> None:
    line = f"{time.strftime('%H:%M:%S')} {text}"
    print(line, flush=True)
    with open(run_dir / "log.txt", "a") as fh:
        fh.write(line + "\n")


def _batches(n: int, batch: int, generator):
    import torch

    order = torch.randperm(n, generator=generator)
    for start in range(0, n, batch):
        yield order[start : start + batch]


def _parent(init: str):
    """Checkpoint of the run a refinement starts from, and its target
    scaling (regenerated from that run's seed when not stored)."""
    import torch

    from training.synth import generate

    if init.endswith(".eisnn"):
        from training.export import Reference

        ref = Reference(Path(init).read_bytes())
        state = {k: v.float() for k, v in ref.net.state_dict().items()}
        return {"net": state}, np.asarray(ref.mean), np.asarray(ref.std)
    ckpt = torch.load(RUNS / init / "checkpoint.pt", weights_only=False)
    if ckpt["epoch"] != ckpt["settings"]["epochs"]:
        raise RuntimeError(f"run {init} has not finished")
    if "mean" in ckpt:
        return ckpt, np.asarray(ckpt["mean"]), np.asarray(ckpt["std"])
    base = ckpt["settings"]
    targets = generate(
        ckpt.get("model", init.split("/")[0]),
        base["samples"],
        base["seed"],
        spread=base.get("spread", "standard"),
    ).targets
    mean = targets.mean(axis=0).astype(np.float32).astype(np.float64)
    std = np.maximum(targets.std(axis=0), 1e-3).astype(np.float32).astype(np.float64)
    return ckpt, mean, std


def train(name: str, **overrides) -> dict:
    import torch

    from training.circuits import topology
    from training.export import Reference, export
    from training.model import GuesserNet
    from training.synth import generate

    s = dict(DEFAULTS, **{k: v for k, v in overrides.items() if v is not None})
    torch.set_num_threads(s["threads"])
    run_dir = RUNS / (s.get("run") or name)
    run_dir.mkdir(parents=True, exist_ok=True)
    topo = topology(name)
    P = topo.n_params

    t0 = time.time()
    data = generate(name, s["samples"], s["seed"], spread=s["spread"])
    val = generate(name, s["val_samples"], s["seed"] + 1, spread=s["spread"])
    _log(
        run_dir,
        f"{name}: {s['samples']} training and {s['val_samples']} validation "
        f"spectra ({s['spread']} spread) in {time.time() - t0:.1f} s",
    )

    if s.get("init"):
        parent, mean, std = _parent(s["init"])
    else:
        # Stored as binary32 in the file, so train against the rounded values.
        mean = data.targets.mean(axis=0).astype(np.float32).astype(np.float64)
        std = np.maximum(data.targets.std(axis=0), 1e-3).astype(np.float32).astype(np.float64)
    x = torch.from_numpy(data.inputs)
    e = torch.from_numpy(data.extras)
    y = torch.from_numpy(((data.targets - mean) / std).astype(np.float32))
    vx, ve = torch.from_numpy(val.inputs), torch.from_numpy(val.extras)
    vy = torch.from_numpy(((val.targets - mean) / std).astype(np.float32))

    torch.manual_seed(s["seed"])
    net = GuesserNet(P, s["channels"])
    opt = torch.optim.AdamW(net.parameters(), lr=s["lr"], weight_decay=s["weight_decay"])
    steps = s["epochs"] * -(-s["samples"] // s["batch"])
    if s.get("init"):
        net.load_state_dict(parent["net"])
        sched = torch.optim.lr_scheduler.CosineAnnealingLR(opt, T_max=steps, eta_min=s["lr"] * 0.02)
    else:
        sched = torch.optim.lr_scheduler.OneCycleLR(
            opt, max_lr=s["lr"], total_steps=steps, pct_start=0.15
        )
    start_epoch = 0
    elapsed = 0.0
    ckpt_path = run_dir / "checkpoint.pt"
    if ckpt_path.exists():
        ckpt = torch.load(ckpt_path, weights_only=False)
        if ckpt["settings"] == s:
            net.load_state_dict(ckpt["net"])
            opt.load_state_dict(ckpt["opt"])
            sched.load_state_dict(ckpt["sched"])
            start_epoch, elapsed = ckpt["epoch"], ckpt["elapsed"]
            _log(run_dir, f"resuming after epoch {start_epoch}")
        else:
            _log(run_dir, "checkpoint has other settings; starting afresh")

    loss_fn = torch.nn.SmoothL1Loss(beta=1.0)

    def val_error(model):
        model.eval()
        with torch.no_grad():
            out = torch.cat(
                [model(vx[i : i + 2048], ve[i : i + 2048])[:, :P] for i in range(0, len(vx), 2048)]
            )
        model.train()
        loss = loss_fn(out, vy).item()
        err = (out - vy).abs().numpy() * std  # in target units: decades or alpha
        return loss, np.median(err, axis=0)

    for epoch in range(start_epoch, s["epochs"]):
        t_epoch = time.time()
        gen = torch.Generator().manual_seed(s["seed"] * 1000 + epoch)
        total, count = 0.0, 0
        for idx in _batches(len(x), s["batch"], gen):
            out = net(x[idx], e[idx])[:, :P]
            loss = loss_fn(out, y[idx])
            opt.zero_grad(set_to_none=True)
            loss.backward()
            opt.step()
            sched.step()
            total += loss.item() * len(idx)
            count += len(idx)
        elapsed += time.time() - t_epoch
        vloss, vmed = val_error(net)
        _log(
            run_dir,
            f"epoch {epoch + 1}/{s['epochs']} train {total / count:.4f} "
            f"val {vloss:.4f} median |err| {np.round(vmed, 3).tolist()} "
            f"({time.time() - t_epoch:.0f} s, {count / (time.time() - t_epoch):.0f}/s)",
        )
        torch.save(
            {
                "settings": s,
                "net": net.state_dict(),
                "opt": opt.state_dict(),
                "sched": sched.state_dict(),
                "epoch": epoch + 1,
                "elapsed": elapsed,
                "model": name,
                "mean": mean.tolist(),
                "std": std.tolist(),
            },
            ckpt_path,
        )

    out_path = Path(s.get("out") or BUILTIN / f"{name}.eisnn")
    blob = export(net, topo, mean, std, out_path)
    # What ships is the binary16 network: report its error, not the float32 one.
    ref = Reference(blob)
    z = ref.standardised(val.inputs, val.extras)
    err = np.abs(z - (val.targets - mean) / std) * std
    figures = {
        name_: round(float(m), 4) for name_, m in zip(topo.param_names, np.median(err, axis=0))
    }
    _log(
        run_dir,
        f"exported {out_path.name} ({len(blob)} bytes); median |err| of the "
        f"exported network: {figures}",
    )
    record = {
        "model": name,
        "circuit": topo.circuit,
        "settings": s,
        "data": {"training_seed": s["seed"], "validation_seed": s["seed"] + 1},
        **({"initialised_from": s["init"]} if s.get("init") else {}),
        "train_seconds": round(elapsed, 1),
        "validation_median_abs_error": figures,
        "torch": torch.__version__,
        "numpy": np.__version__,
        "machine": platform.machine(),
        "malloc_env": {
            k: os.environ.get(k) for k in ("MALLOC_MMAP_THRESHOLD_", "MALLOC_TRIM_THRESHOLD_")
        },
    }
    (run_dir / "settings.json").write_text(json.dumps(record, indent=2) + "\n")
    return record


def main(argv=None) -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("name")
    for key, value in DEFAULTS.items():
        p.add_argument(f"--{key.replace('_', '-')}", type=type(value), default=None)
    p.add_argument("--out", default=None, help="weight file (default: the built-in one)")
    p.add_argument(
        "--run", default=None, help="run directory under training/runs (default: the model's name)"
    )
    p.add_argument(
        "--init", default=None, help="refine the finished network of this run or weight file"
    )
    args = vars(p.parse_args(argv))
    name = args.pop("name")
    train(name, **args)


if __name__ == "__main__":
    main()
