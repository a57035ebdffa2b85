"""The local pool: long-lived worker processes on this machine.

Workers start when the first task needs one, so a run with nothing to do
starts none. Each worker holds tasks ahead (one running, the rest waiting in
its channel), as many as keep it busy for a moment at the jobs' mean
duration, so that it never idles while results travel back; jobs that take
50 ms or more go out one at a time, so that none waits behind another while
a worker is idle. A worker that dies, whatever killed it, fails only the task
it was running: its waiting tasks go back to the queue and a new worker takes
its place. A task that runs past its timeout has its worker killed the same
way.
"""

from __future__ import annotations

import collections
import json
import selectors
import signal
import sys
import time
from typing import TYPE_CHECKING, Any

from tamso.executors import Outcome, Task
from tamso.layout import ValueStamp

if TYPE_CHECKING:
    import subprocess

    from tamso.executors._channel import Channel

# A worker holds enough tasks to keep it busy for about this long (seconds),
# so that it never idles while its results travel back and the runner records
# them, and few enough that the last tasks of a run spread over all workers.
_AHEAD = 0.02
_DEPTH_RANGE = (2, 64)
# Jobs that take at least this long (seconds, on average) go out one at a time: a job queued behind a long one
# would wait while another worker idles, and a round trip costs little beside such a job. Shorter jobs keep one
# queued behind the running one, so that a worker does not wait for the runner between them on a busy machine.
_LONG = 0.05
_PAUSE = 0.001

_BOOT = (
    "import sys, json\n"
    "sys.path[:] = json.loads(sys.argv[3])\n"
    "from tamso.executors._worker import main\n"
    "main(int(sys.argv[1]), sys.argv[2], list(sys.path))\n"
)


class _Worker:
    def __init__(self, cwd: str, sys_path: list[str]) -> None:
        # Imported here: a run with nothing to do creates the pool but starts no worker.
        import socket
        import subprocess

        from tamso.executors._channel import Channel

        ours, theirs = socket.socketpair()
        fd = theirs.fileno()
        self.process: subprocess.Popen[bytes] = subprocess.Popen(
            [sys.executable, "-c", _BOOT, str(fd), cwd, json.dumps(sys_path)],
            pass_fds=(fd,),
            stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
            start_new_session=True,
        )
        theirs.close()
        self.channel = Channel(ours)
        self.tasks: collections.deque[Task] = collections.deque()
        self.head_started = 0.0

    def send(self, tasks: list[Task]) -> None:
        if not self.tasks:
            self.head_started = time.monotonic()
        self.tasks.extend(tasks)
        try:
            # One message for the batch: one pickling and one frame, however many tasks it holds.
            self.channel.send([
                (t.job_id, t.module, t.function, t.directory, t.kwargs, dict(t.value_files))
                if not t.serialized else
                (t.job_id, t.module, t.function, t.directory, t.kwargs, dict(t.value_files), t.serializer,
                 t.value_name, dict(t.formats or {}))
                for t in tasks
            ])
        except OSError:
            pass  # the worker is dead: the pool sees its channel end and hands the tasks on

    def kill(self) -> None:
        try:
            self.process.kill()
        except OSError:
            pass
        self.process.wait()
        self.channel.close()

    def death(self) -> str:
        """Why the worker process ended, for the job it was running."""
        status = self.process.wait()
        self.channel.close()
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
        self._selector = selectors.DefaultSelector()
        self._depth = 1  # until the first job ends, nothing is known of how long jobs take
        self._mean: float | None = None

    def submit(self, task: Task) -> None:
        # Handed out when the runner next waits, so that a burst of tasks is spread in one pass.
        self._queue.append(task)

    def _dispatch(self) -> None:
        """Hand queued tasks out: to idle workers first, new ones while the pool is not full, then ahead."""
        while self._queue:
            worker = next((w for w in self._workers if not w.tasks), None)
            if worker is None and len(self._workers) < self._size:
                worker = _Worker(self._cwd, self._sys_path)
                self._workers.append(worker)
                self._selector.register(worker.channel, selectors.EVENT_READ, worker)
            if worker is None:
                worker = min(self._workers, key=lambda w: len(w.tasks))
            room = self._depth - len(worker.tasks)
            if room <= 0:
                return
            # Spread the queue over the workers rather than filling the first.
            share = max(1, min(room, len(self._queue) // len(self._workers)))
            worker.send([self._queue.popleft() for _ in range(min(share, len(self._queue)))])

    def wait(self, timeout: float | None) -> list[Outcome]:
        self._dispatch()
        if self._workers and all(len(w.tasks) >= max(4, self._depth // 2) for w in self._workers):
            # Every worker has work queued: a moment's pause lets several results arrive at once
            # instead of waking the runner for each, which would take a core from the workers.
            time.sleep(_PAUSE)
        deadline = None if timeout is None else time.monotonic() + timeout
        while not self._ready and any(w.tasks for w in self._workers):
            now = time.monotonic()
            limit = None if deadline is None else max(0.0, deadline - now)
            for w in self._workers:
                task_timeout = w.tasks[0].timeout if w.tasks else None
                if task_timeout is not None:
                    left = max(0.0, w.head_started + task_timeout - now)
                    limit = left if limit is None else min(limit, left)
            for key, _ in self._selector.select(limit):
                self._receive(key.data)
            self._expire()
            if deadline is not None and time.monotonic() >= deadline:
                break
        self._dispatch()
        ready, self._ready = self._ready, []
        return ready

    def _receive(self, worker: _Worker) -> None:
        try:
            messages = worker.channel.receive()
        except (EOFError, OSError):
            self._lost(worker, worker.death(), "WorkerDied")
            return
        for job_id, ok, started, ended, error_type, error, stamp, written, tracked in messages:
            task = worker.tasks.popleft()
            assert task.job_id == job_id
            self._ready.append(
                Outcome(job_id, ok, started, ended, error_type, error,
                        None if stamp is None else ValueStamp(*stamp), written, tracked)
            )
        if messages:
            worker.head_started = time.monotonic()
            mean = messages[0][3] - messages[0][2] if self._mean is None else self._mean
            for message in messages:
                mean += (message[3] - message[2] - mean) * 0.05
            self._mean = mean
            low, high = _DEPTH_RANGE
            self._depth = 1 if mean >= _LONG else max(low, min(high, int(_AHEAD / max(mean, 1e-6))))

    def _expire(self) -> None:
        now = time.monotonic()
        for worker in list(self._workers):
            timeout = worker.tasks[0].timeout if worker.tasks else None
            if timeout is not None and now - worker.head_started >= timeout:
                worker.kill()
                self._lost(worker, f"the job ran longer than its timeout of {timeout:g} s; its worker was killed",
                           "Timeout")

    def _lost(self, worker: _Worker, message: str, error_type: str) -> None:
        """Fail the task the worker was running; its waiting tasks go back to the front of the queue."""
        self._selector.unregister(worker.channel)
        self._workers.remove(worker)
        if not worker.tasks:
            return
        task = worker.tasks.popleft()
        now = time.time()
        started = now - (time.monotonic() - worker.head_started)
        self._ready.append(Outcome(task.job_id, False, started, now, error_type, message, None, False))
        self._queue.extendleft(reversed(worker.tasks))

    def running(self) -> int:
        return sum(1 for w in self._workers if w.tasks)

    def close(self, *, cancel: bool = False) -> None:
        self._queue.clear()
        for worker in self._workers:
            if cancel or worker.tasks:
                worker.kill()
                continue
            try:
                worker.channel.send(None)
            except OSError:
                pass
        for worker in self._workers:
            import subprocess

            try:
                worker.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                worker.kill()
            worker.channel.close()
        self._workers.clear()
        self._selector.close()
