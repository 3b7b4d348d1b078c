"""Two builds in one run: an earlier commit against this checkout.

The earlier commit is built once into build/baseline-<REF>/site with this
checkout's build tools (pip, no build isolation). Each build then runs in its
own worker process, started from the calling benchmark script with
``--worker``; the parent sends cases, each worker answers with what the
script's ``worker_case(*case)`` returns. Alternating the same case between
both workers, several rounds, and keeping the best time of each gives ratios
that a shared machine's load disturbs least.

    from baseline import Builds, serve, ISSUE_BASE

    def worker_case(kind, ...):  # runs inside one build
        import korvex
        ...
        return seconds, payload

    if "--worker" in sys.argv:
        serve(worker_case)
    with Builds(__file__, ISSUE_BASE) as builds:
        best, payload = builds.alternate(("kind", ...), rounds=3)
"""

from __future__ import annotations

import os
import pickle
import struct
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# The build before the work on identify's speed, the robust search and the
# cheaper arithmetic: the reference those benchmarks print their ratios to.
ISSUE_BASE = "9341a4c"


def build_site(ref: str) -> Path:
    """Install commit `ref` into build/baseline-<ref>/site once; return the folder."""
    site = ROOT / "build" / f"baseline-{ref}" / "site"
    if (site / "korvex").exists():
        return site
    source = site.parent / "source"
    source.mkdir(parents=True, exist_ok=True)
    print(f"building {ref} into {site} (once)", flush=True)
    archive = subprocess.run(
        ["git", "-C", str(ROOT), "archive", ref], check=True, capture_output=True
    ).stdout
    subprocess.run(["tar", "-x", "-C", str(source)], input=archive, check=True)
    pip = [sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check"]
    pip += ["--no-build-isolation", "--no-deps", "--target", str(site), str(source)]
    subprocess.run(pip, check=True)
    return site


def _send(stream, obj) -> None:
    data = pickle.dumps(obj)
    stream.write(struct.pack("<Q", len(data)) + data)
    stream.flush()


def _receive(stream):
    header = stream.read(8)
    if len(header) < 8:
        return None
    (size,) = struct.unpack("<Q", header)
    return pickle.loads(stream.read(size))


def serve(worker_case) -> None:
    """Worker side: answer each case from the parent until it closes the pipe."""
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    while (message := _receive(sys.stdin.buffer)) is not None:
        _send(sys.stdout.buffer, worker_case(*message))
    sys.exit(0)


class Worker:
    """One build's worker process, running `script --worker`."""

    def __init__(self, name: str, script: str, pythonpath: str):
        env = dict(os.environ)
        if pythonpath:
            env["PYTHONPATH"] = pythonpath
        self.name = name
        self.process = subprocess.Popen(
            [sys.executable, script, "--worker"],
            env=env,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )

    def run(self, case):
        _send(self.process.stdin, case)
        answer = _receive(self.process.stdout)
        if answer is None:
            raise RuntimeError(f"the {self.name} worker ended while running {case[0]!r}")
        return answer

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


class Builds:
    """The baseline build and this checkout's, each in a worker of `script`."""

    def __init__(self, script: str, ref: str = ISSUE_BASE):
        self.ref = ref
        site = build_site(ref)
        self.workers = [
            Worker("baseline", script, str(site)),
            Worker("new", script, os.environ.get("PYTHONPATH", "")),
        ]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for w in self.workers:
            w.close()

    def header(self) -> str:
        return (
            f"baseline {self.ref} against this build; {os.cpu_count()} CPUs, "
            f"load average {os.getloadavg()[0]:.1f} at the start"
        )

    def alternate(self, case, rounds: int = 3):
        """Best first element (a time) per build over `rounds` alternating turns,
        and each build's last payload (the second element)."""
        best = {w.name: float("inf") for w in self.workers}
        payload = {}
        for _ in range(rounds):
            for w in self.workers:
                t, payload[w.name] = w.run(case)
                best[w.name] = min(best[w.name], t)
        return best, payload

    def each(self, case):
        """One turn per build: {name: answer}."""
        return {w.name: w.run(case) for w in self.workers}


def ratio_line(label: str, best: dict, unit: str = "us") -> str:
    scale = {"us": 1e6, "ms": 1e3, "s": 1.0}[unit]
    base, new = best["baseline"], best["new"]
    return (
        f"  {label:<44} baseline {base * scale:10.1f} {unit}   this build "
        f"{new * scale:10.1f} {unit}   {base / new:5.2f}x"
    )
