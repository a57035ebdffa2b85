"""The local pool: long-lived worker processes on this machine.

Workers start when the first task needs one, so a run with nothing to do
starts none. Each worker holds at most two tasks (one running, one waiting)
so that it never idles while a result travels back. A worker that dies,
whatever killed it, fails only the task it was running: its waiting task goes
back to the queue and a new worker takes its place. A task that runs past its
timeout has its worker killed the same way.
"""

from __future__ import annotations

import collections
import json
import os
import signal
import subprocess
import sys
import time
from multiprocessing.connection import Connection, Pipe, wait
from typing import Any

from tamso.executors import Outcome, Task
from tamso.layout import ValueStamp

_DEPTH = 2

_BOOT = (
    "import sys, json\n"
    "sys.path[:] = json.loads(sys.argv[3])\n"
    "from tamso.executors._worker import main\n"
    "main(int(sys.argv[1]), sys.argv[2], list(sys.path))\n"
)


class _Worker:
    def __init__(self, cwd: str, sys_path: list[str]) -> None:
        ours, theirs = Pipe(duplex=True)
        fd = theirs.fileno()
        self.process = subprocess.Popen(
            [sys.executable, "-c", _BOOT, str(fd), cwd, json.dumps(sys_path)],
            pass_fds=(fd,),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        theirs.close()
        self.connection: Connection = ours
        self.tasks: collections.deque[Task] = collections.deque()
        self.head_started = 0.0

    def send(self, task: Task) -> None:
        if not self.tasks:
            self.head_started = time.monotonic()
        self.tasks.append(task)
        try:
            self.connection.send(
                (task.job_id, task.module, task.function, task.directory, task.kwargs, dict(task.value_files))
            )
        except OSError:
            pass  # the worker is dead: the pool sees its connection end and hands the task on

    def kill(self) -> None:
        try:
            self.process.kill()
        except OSError:
            pass
        self.process.wait()
        self.connection.close()

    def death(self) -> str:
        """Why the worker process ended, for the job it was running."""
        status = self.process.wait()
        self.connection.close()
        if status < 0:
            try:
                name = signal.Signals(-status).name
            except ValueError:
                name = f"signal {-status}"
            return f"the worker process running the job was killed by {name} (signal {-status})"
        return f"the worker process running the job exited with status {status}"


class LocalPool:
    """A pool of `size` worker processes started with `cwd` as working directory and `sys_path`."""

    def __init__(self, size: int, *, cwd: str, sys_path: list[str]) -> None:
        if size < 1:
            raise ValueError(f"a pool needs at least one worker, not {size}")
        self._size = size
        self._cwd = cwd
        self._sys_path = list(sys_path)
        self._workers: list[_Worker] = []
        self._queue: collections.deque[Task] = collections.deque()
        self._ready: list[Outcome] = []

    def submit(self, task: Task) -> None:
        self._queue.append(task)
        self._dispatch()

    def _dispatch(self) -> None:
        while self._queue:
            worker = self._free_worker()
            if worker is None:
                return
            worker.send(self._queue.popleft())

    def _free_worker(self) -> _Worker | None:
        """An idle worker, else a new one while the pool is not full, else one with room in its queue."""
        for worker in self._workers:
            if not worker.tasks:
                return worker
        if len(self._workers) < self._size:
            worker = _Worker(self._cwd, self._sys_path)
            self._workers.append(worker)
            return worker
        room = [w for w in self._workers if len(w.tasks) < _DEPTH]
        return min(room, key=lambda w: len(w.tasks)) if room else None

    def wait(self, timeout: float | None) -> list[Outcome]:
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._ready:
            busy = [w for w in self._workers if w.tasks]
            if not busy:
                break
            now = time.monotonic()
            limit = None if deadline is None else max(0.0, deadline - now)
            for w in busy:
                task_timeout = w.tasks[0].timeout
                if task_timeout is not None:
                    left = max(0.0, w.head_started + task_timeout - now)
                    limit = left if limit is None else min(limit, left)
            for connection in wait([w.connection for w in busy], limit):
                worker = next(w for w in busy if w.connection is connection)
                self._receive(worker)
            self._expire()
            if deadline is not None and time.monotonic() >= deadline:
                break
        self._dispatch()
        ready, self._ready = self._ready, []
        return ready

    def _receive(self, worker: _Worker) -> None:
        try:
            while worker.connection.poll():
                message = worker.connection.recv()
                task = worker.tasks.popleft()
                worker.head_started = time.monotonic()
                job_id, ok, started, ended, error_type, error, stamp, written = message
                self._ready.append(
                    Outcome(job_id, ok, started, ended, error_type, error,
                            None if stamp is None else ValueStamp(*stamp), written)
                )
                assert task.job_id == job_id
        except (EOFError, OSError):
            self._lost(worker, worker.death(), "WorkerDied")

    def _expire(self) -> None:
        now = time.monotonic()
        for worker in list(self._workers):
            if not worker.tasks or worker.tasks[0].timeout is None:
                continue
            timeout = worker.tasks[0].timeout
            if now - worker.head_started >= timeout:
                worker.kill()
                self._lost(worker, f"the job ran longer than its timeout of {timeout:g} s; its worker was killed",
                           "Timeout")

    def _lost(self, worker: _Worker, message: str, error_type: str) -> None:
        """Fail the task the worker was running; its waiting tasks go back to the front of the queue."""
        self._workers.remove(worker)
        if not worker.tasks:
            return
        task = worker.tasks.popleft()
        now = time.time()
        started = now - (time.monotonic() - worker.head_started)
        self._ready.append(Outcome(task.job_id, False, started, now, error_type, message, None, False))
        self._queue.extendleft(reversed(worker.tasks))

    def close(self, *, cancel: bool = False) -> None:
        self._queue.clear()
        for worker in self._workers:
            if cancel or worker.tasks:
                worker.kill()
                continue
            try:
                worker.connection.send(None)
            except OSError:
                pass
        for worker in self._workers:
            try:
                worker.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                worker.kill()
            worker.connection.close()
        self._workers.clear()
