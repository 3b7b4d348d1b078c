"""Long work off the event loop: a few warm worker processes.

A fit runs in the compiled core with the interpreter lock released, but a
running fit can only be interrupted on the main thread of its process. So
each job runs in a worker process of its own; cancelling a job kills that
process and starts a fresh one in its place, which frees the slot at once
whatever the job was doing.
"""

from __future__ import annotations

import queue
import socket
import subprocess
import sys
import threading
from multiprocessing.connection import Connection


class Cancelled(Exception):
    """The job was cancelled before it finished."""


class JobError(Exception):
    """The job raised; the message is the exception's, for the page."""


def _serve(conn) -> None:
    """A worker's loop: (name, kwargs) in, ("progress", x)* then ("ok"|"error", ...) out."""
    from korvex.app import work

    while True:
        try:
            name, kwargs = conn.recv()
        except EOFError:
            return

        def progress(done, total):
            conn.send(("progress", (done, total)))

        try:
            function = getattr(work, name)
            if name in work.REPORTS_PROGRESS:
                kwargs = {**kwargs, "progress": progress}
            conn.send(("ok", function(**kwargs)))
        except Exception as error:  # every failure goes back as a message
            conn.send(("error", str(error) or type(error).__name__))


def _child(fd: int) -> None:
    _serve(Connection(fd))


class _Worker:
    """A process of its own (not multiprocessing's spawn, which would re-run
    the caller's main script), talking pickles over a socket pair."""

    def __init__(self):
        ours, theirs = socket.socketpair()
        code = f"from korvex.app.jobs import _child; _child({theirs.fileno()})"
        self.process = subprocess.Popen(
            [sys.executable, "-c", code], pass_fds=(theirs.fileno(),), stdin=subprocess.DEVNULL
        )
        theirs.close()
        self.conn = Connection(ours.detach())

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait(timeout=5)
        self.conn.close()


class Job:
    def __init__(self, job_id: str):
        self.id = job_id
        self.progress: tuple[int, int] | None = None
        self.cancelled = False
        self.worker: _Worker | None = None


class Pool:
    """`size` worker processes; `run` blocks its (non-event-loop) thread."""

    def __init__(self, size: int):
        self._idle: queue.Queue[_Worker] = queue.Queue()
        self._lock = threading.Lock()
        self._jobs: dict[str, Job] = {}
        self._closed = False
        self._workers = [_Worker() for _ in range(size)]
        for worker in self._workers:
            self._idle.put(worker)

    def job(self, job_id: str) -> Job | None:
        return self._jobs.get(job_id)

    def run(self, job_id: str, name: str, **kwargs):
        job = Job(job_id)
        with self._lock:
            if job_id in self._jobs:
                raise JobError(f"a job with id {job_id!r} is already running")
            self._jobs[job_id] = job
        try:
            worker = self._idle.get()
            with self._lock:
                if job.cancelled:
                    self._idle.put(worker)
                    raise Cancelled
                job.worker = worker
            try:
                worker.conn.send((name, kwargs))
                while True:
                    kind, payload = worker.conn.recv()
                    if kind == "progress":
                        job.progress = payload
                        continue
                    break
            except (EOFError, OSError):
                self._lost(job, worker, name)
            with self._lock:
                taken = job.worker is not worker  # cancel() has replaced it
                job.worker = None
            if taken:
                raise Cancelled
            self._idle.put(worker)
            if kind == "error":
                raise JobError(payload)
            return payload
        finally:
            with self._lock:
                self._jobs.pop(job_id, None)

    def _lost(self, job: Job, worker: _Worker, name: str):
        """The worker's pipe closed: cancel() killed it (and has replaced it),
        the pool is closing, or the process died; then a fresh one takes its place."""
        with self._lock:
            died = job.worker is worker and not self._closed
            job.worker = None
            fresh = self._replace(worker) if died else None
        if fresh is None:
            raise Cancelled from None
        self._idle.put(fresh)
        raise JobError(
            f"the worker process stopped while running {name} "
            f"(exit status {worker.process.returncode})"
        ) from None

    def _replace(self, worker: _Worker) -> _Worker:
        """A fresh worker in `worker`'s place, which is killed; under the lock."""
        self._workers[self._workers.index(worker)] = fresh = _Worker()
        worker.stop()
        return fresh

    def cancel(self, job_id: str) -> bool:
        """Stops the job (queued or running); False when there is none."""
        with self._lock:
            job = self._jobs.get(job_id)
            if job is None:
                return False
            job.cancelled = True
            worker, job.worker = job.worker, None
            if worker is None:
                return True
            fresh = self._replace(worker)
        self._idle.put(fresh)
        return True

    def close(self) -> None:
        with self._lock:
            self._closed = True
            workers, self._workers = self._workers, []
        for worker in workers:
            worker.stop()
