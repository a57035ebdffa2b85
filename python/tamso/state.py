"""The state store: what ran, when, and what it produced, in ``OUT/.tamso/state.db``.

This is the only module that speaks SQL. The database runs in WAL mode and
every write happens inside one transaction, so a runner killed at any moment
leaves either the old state or the new one.

Tables:

- ``runs``: one row per run (start, end, outcome, command line).
- ``jobs``: one row per job and run (status ok, failed, blocked or fresh).
- ``latest``: the last materialization (ok or failed) per asset key and
  partition; fresh and blocked jobs did not materialize.
- ``success``: the last successful materialization per asset key and
  partition: its fingerprint and the stamp of its ``value.json``.
- ``statuses``: the status each job had in the last run that included it
  (ok, failed, fresh or blocked); a row is rewritten only when it changes.
- ``claims``: jobs handed to an executor during a run that has not ended,
  with the fingerprint they ran under; a runner killed before it could record
  a job that did finish lets the next run adopt that job instead of running
  it again. A run that ends clears them.
- ``tracked``: the files each job's last success tracked, with their stamps.
- ``inputs``: the digests of the upstream values each job's last success read.
- ``code``: what each project source file imports, by path, as of its size
  and modification time (the planner's cache of the import graph).

Every failure of the database reaches callers as one :class:`StateError`
whose message names the cause and the file: damaged (found by
``PRAGMA quick_check`` when the store is opened), full disk, read-only, or
locked by another process for longer than :data:`LOCK_WAIT` seconds (a
:class:`StoreNotice` warning says that it waits after :data:`NOTICE_AFTER`).
"""

from __future__ import annotations

import contextlib
import fcntl
import functools
import os
import shlex
import sqlite3
import time
import urllib.parse
import warnings
from dataclasses import dataclass
from typing import Any, Callable, Concatenate, Iterable, Iterator, NamedTuple, ParamSpec, Sequence, TypeVar

from tamso._cli import Notice
from tamso._tracking import TrackedFile
from tamso.layout import LOCK_FILE, ValueStamp

_SCHEMA = """
CREATE TABLE IF NOT EXISTS runs (
    id INTEGER PRIMARY KEY,
    started REAL NOT NULL,
    ended REAL,
    outcome TEXT NOT NULL,
    command TEXT NOT NULL
);
CREATE TABLE IF NOT EXISTS jobs (
    run_id INTEGER NOT NULL REFERENCES runs(id),
    key TEXT NOT NULL,
    partition TEXT NOT NULL,
    fingerprint TEXT,
    status TEXT NOT NULL,
    attempts INTEGER NOT NULL,
    started REAL,
    ended REAL,
    duration REAL,
    error_type TEXT,
    error TEXT,
    value_sha256 TEXT,
    value_size INTEGER
);
CREATE INDEX IF NOT EXISTS jobs_by_run ON jobs(run_id);
CREATE TABLE IF NOT EXISTS latest (
    key TEXT NOT NULL,
    partition TEXT NOT NULL,
    run_id INTEGER NOT NULL,
    status TEXT NOT NULL,
    attempts INTEGER NOT NULL,
    started REAL,
    ended REAL,
    duration REAL,
    error_type TEXT,
    error TEXT,
    PRIMARY KEY (key, partition)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS success (
    key TEXT NOT NULL,
    partition TEXT NOT NULL,
    fingerprint TEXT NOT NULL,
    value_sha256 TEXT NOT NULL,
    value_size INTEGER NOT NULL,
    value_mtime_ns INTEGER NOT NULL,
    run_id INTEGER NOT NULL,
    ended REAL NOT NULL,
    PRIMARY KEY (key, partition)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS statuses (
    key TEXT NOT NULL,
    partition TEXT NOT NULL,
    status TEXT NOT NULL,
    run_id INTEGER NOT NULL,
    PRIMARY KEY (key, partition)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS claims (
    key TEXT NOT NULL,
    partition TEXT NOT NULL,
    fingerprint TEXT NOT NULL,
    claimed_ns INTEGER NOT NULL,
    attempts INTEGER NOT NULL,
    PRIMARY KEY (key, partition)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS tracked (
    key TEXT NOT NULL,
    partition TEXT NOT NULL,
    path TEXT NOT NULL,
    name TEXT NOT NULL,
    kind TEXT NOT NULL,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    PRIMARY KEY (key, partition, path, name)
) WITHOUT ROWID;
CREATE INDEX IF NOT EXISTS tracked_by_path ON tracked(path, name);
CREATE TABLE IF NOT EXISTS inputs (
    key TEXT NOT NULL,
    partition TEXT NOT NULL,
    digests TEXT NOT NULL,
    PRIMARY KEY (key, partition)
) WITHOUT ROWID;
CREATE TABLE IF NOT EXISTS code (
    path TEXT PRIMARY KEY,
    size INTEGER NOT NULL,
    mtime_ns INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    imports TEXT NOT NULL
) WITHOUT ROWID;
"""

DB_FILE = "state.db"
LOCK_WAIT = 30.0
"""Seconds a write waits for another process's lock on the database before giving up."""
NOTICE_AFTER = 2.0
"""Seconds of waiting after which a :class:`StoreNotice` says so."""
ABRUPT = "ended abruptly"
"""The outcome of a run found ``running`` while nobody holds the output directory: it ended abruptly."""
REPAIRED_FINGERPRINT = "repaired"
"""The fingerprint of a success adopted from the files by a repair: it matches no job's fingerprint."""


class StateError(Exception):
    """The state store cannot be used; the message names the cause and the file."""

    def __init__(self, message: str, path: str) -> None:
        super().__init__(message)
        self.path = path


class StoreDamaged(StateError):
    """The database file is damaged (``tamso repair`` sets it aside and rebuilds it)."""


class StoreFull(StateError):
    """The disk holding the database is full."""


class StoreReadOnly(StateError):
    """The database, or the directory or file system holding it, cannot be written."""


class StoreLocked(StateError):
    """Another process held the database for longer than :data:`LOCK_WAIT` seconds."""


class StoreNotice(Notice):
    """Something the store waits for, worth telling whoever waits with it."""

    prefix = ""


def state_error(exc: sqlite3.Error, path: str) -> StateError:
    """The :class:`StateError` that says what `exc`, raised by the database at `path`, means."""
    code = getattr(exc, "sqlite_errorcode", 0) & 0xFF
    detail = str(exc)
    if code in (sqlite3.SQLITE_CORRUPT, sqlite3.SQLITE_NOTADB) or (
            code == 0 and isinstance(exc, sqlite3.DatabaseError) and "malformed" in detail):
        out = os.path.dirname(os.path.dirname(path)) or "."
        return StoreDamaged(f"the state store {path} is damaged ({detail}): run 'tamso repair"
                            f" {shlex.quote(out)}' to set it aside and rebuild it from the job directories", path)
    if code == sqlite3.SQLITE_FULL or (code == sqlite3.SQLITE_IOERR and _disk_full(path)):
        return StoreFull(f"cannot write the state store {path}: the disk is full ({detail})", path)
    if code == sqlite3.SQLITE_READONLY:
        return StoreReadOnly(f"cannot write the state store {path}: it is read-only ({detail})", path)
    if code in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED):
        return StoreLocked(f"the state store {path} stayed locked by another process for more than"
                           f" {LOCK_WAIT:.0f} s ({detail})", path)
    return StateError(f"the state store {path} cannot be used: {detail}", path)


def _disk_full(path: str) -> bool:
    """Whether the file system holding `path` has no block left (an I/O error there is a full disk)."""
    try:
        return os.statvfs(os.path.dirname(path) or ".").f_bavail == 0
    except OSError:
        return False


def _busy(exc: sqlite3.Error) -> bool:
    return getattr(exc, "sqlite_errorcode", 0) & 0xFF in (sqlite3.SQLITE_BUSY, sqlite3.SQLITE_LOCKED)


# Keys in one ``IN (...)`` list: well under the host parameter limit of old SQLite builds (999).
_IN_LIST = 500

_P = ParamSpec("_P")
_T = TypeVar("_T")


def _guarded(method: Callable[Concatenate[StateStore, _P], _T]) -> Callable[Concatenate[StateStore, _P], _T]:
    """Let a database failure in `method` leave as the :class:`StateError` that names it."""
    def call(self: StateStore, /, *args: _P.args, **kwargs: _P.kwargs) -> _T:
        try:
            return method(self, *args, **kwargs)
        except sqlite3.Error as exc:
            raise state_error(exc, self.path) from exc
    functools.update_wrapper(call, method)
    return call


def run_in_progress(state_dir: str) -> bool:
    """Whether a run holds the output directory of `state_dir` (its lock file is locked)."""
    try:
        fd = os.open(os.path.join(state_dir, LOCK_FILE), os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
    except BlockingIOError:
        return True
    except OSError:
        return False
    finally:
        os.close(fd)  # closing releases a lock taken here
    return False


class Success(NamedTuple):
    """The last successful materialization of one job."""

    fingerprint: str
    stamp: ValueStamp


class Claim(NamedTuple):
    """A job handed to an executor under `fingerprint` and never recorded."""

    fingerprint: str
    claimed_ns: int
    attempts: int


@dataclass(slots=True)
class JobRecord:
    """One job's outcome in one run."""

    key: str
    partition: str
    status: str
    attempts: int
    fingerprint: str | None = None
    started: float | None = None
    ended: float | None = None
    duration: float | None = None
    error_type: str | None = None
    error: str | None = None
    stamp: ValueStamp | None = None
    tracked: tuple[TrackedFile, ...] | None = None
    """The files an ok job tracked; None keeps what the store holds."""
    inputs: str | None = None
    """The digests of the upstream values an ok job read, concatenated; None keeps what the store holds."""


class Latest(NamedTuple):
    """The last recorded outcome of one job, for ``tamso status``."""

    key: str
    partition: str
    run_id: int
    status: str
    attempts: int
    started: float | None
    ended: float | None
    duration: float | None
    error_type: str | None
    error: str | None


class StateStore:
    """The state database of one output directory."""

    def __init__(self, connection: sqlite3.Connection, path: str = DB_FILE, writable: bool = True) -> None:
        self._db = connection
        self.path = path
        """The database file."""
        self._writable = writable

    @classmethod
    def open(cls, state_dir: str, *, create: bool, check: bool = True) -> StateStore:
        """Open the store in `state_dir`: with `create`, for writing (made when missing); without, read only
        (the file must exist: FileNotFoundError), which works on a read-only file system too.

        With `check`, an existing database is checked (``PRAGMA quick_check``) before anything is read.
        Raises :class:`StateError` when the store cannot be used.
        """
        path = os.path.join(state_dir, DB_FILE)
        if not create and not os.path.exists(path):
            raise FileNotFoundError(path)
        existed = os.path.exists(path)
        if create:
            _writable_or_fixed(path)
        connection = None
        try:
            if create:
                connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
            else:
                uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
                if not os.path.exists(path + "-shm") and not os.access(state_dir or ".", os.W_OK):
                    # A reader of a WAL database needs its -shm file, which nobody can make in a read-only
                    # directory; nobody can write the database there either, so it is read as it stands.
                    uri += "&immutable=1"
                connection = sqlite3.connect(uri, uri=True, isolation_level=None, check_same_thread=False)
            store = cls(connection, path, create)
            store._set_busy_timeout(NOTICE_AFTER)
            if check and existed:
                store._patient(store._check)
            if create:
                store._patient(lambda: connection.execute("PRAGMA journal_mode=WAL"))
                connection.execute("PRAGMA synchronous=NORMAL")
                with store._writing():
                    _create(connection)
            return store
        except sqlite3.Error as exc:
            if connection is not None:
                connection.close()
            raise state_error(exc, path) from exc
        except BaseException:
            if connection is not None:
                connection.close()
            raise

    def close(self) -> None:
        with contextlib.suppress(sqlite3.Error):
            self._db.close()

    def __enter__(self) -> StateStore:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def _check(self) -> None:
        rows = self._db.execute("PRAGMA quick_check(1)").fetchall()
        if rows != [("ok",)]:
            detail = " ".join(" ".join(str(row[0]) for row in rows).replace("*** in database main ***", "").split())
            raise sqlite3.DatabaseError(f"database disk image is malformed: {detail[:200]}")

    def _set_busy_timeout(self, seconds: float) -> None:
        self._db.execute(f"PRAGMA busy_timeout={int(seconds * 1000)}")

    def _patient(self, step: Callable[[], object]) -> None:
        """Run `step`; when another process holds the database, say so and wait up to :data:`LOCK_WAIT`."""
        try:
            step()
            return
        except sqlite3.OperationalError as exc:
            if not _busy(exc):
                raise
        warnings.warn(StoreNotice(f"waiting for another process to release {self.path} (up to"
                                  f" {LOCK_WAIT:.0f} s)"), stacklevel=2)
        self._set_busy_timeout(LOCK_WAIT - NOTICE_AFTER)
        try:
            step()
        finally:
            with contextlib.suppress(sqlite3.Error):
                self._set_busy_timeout(NOTICE_AFTER)

    @contextlib.contextmanager
    def _writing(self) -> Iterator[None]:
        """The block runs inside BEGIN IMMEDIATE ... COMMIT, or is rolled back when it raises."""
        self._patient(lambda: self._db.execute("BEGIN IMMEDIATE"))
        try:
            yield
        except BaseException:
            # The database may have rolled back already (a full disk): the first error is the one to tell.
            if self._db.in_transaction:
                with contextlib.suppress(sqlite3.Error):
                    self._db.execute("ROLLBACK")
            raise
        try:
            self._db.execute("COMMIT")
        except BaseException:
            if self._db.in_transaction:
                with contextlib.suppress(sqlite3.Error):
                    self._db.execute("ROLLBACK")
            raise

    # Reading -----------------------------------------------------------------

    @_guarded
    def successes(self) -> dict[tuple[str, str], Success]:
        """The last successful materialization of every job that has one."""
        rows = self._db.execute(
            "SELECT key, partition, fingerprint, value_sha256, value_size, value_mtime_ns FROM success"
        )
        return {(k, p): Success(f, ValueStamp(d, s, m)) for k, p, f, d, s, m in rows}

    @_guarded
    def success(self, key: str, partition: str) -> Success | None:
        row = self._db.execute(
            "SELECT fingerprint, value_sha256, value_size, value_mtime_ns FROM success"
            " WHERE key = ? AND partition = ?",
            (key, partition),
        ).fetchone()
        return None if row is None else Success(row[0], ValueStamp(row[1], row[2], row[3]))

    @_guarded
    def successes_of(self, key: str, partitions: Sequence[str]) -> dict[str, Success]:
        """`success` of many jobs of one asset, a few hundred to a query: partition -> its last success (jobs
        that have none are absent)."""
        rows = self._rows_of("SELECT partition, fingerprint, value_sha256, value_size, value_mtime_ns FROM success",
                             key, partitions)
        return {partition: Success(fingerprint, ValueStamp(sha256, size, mtime_ns))
                for partition, fingerprint, sha256, size, mtime_ns in rows}

    @_guarded
    def claims(self) -> dict[tuple[str, str], Claim]:
        rows = self._db.execute("SELECT key, partition, fingerprint, claimed_ns, attempts FROM claims")
        return {(k, p): Claim(f, c, a) for k, p, f, c, a in rows}

    @_guarded
    def has_key(self, key: str) -> bool:
        return self._db.execute("SELECT 1 FROM latest WHERE key = ? LIMIT 1", (key,)).fetchone() is not None

    @_guarded
    def last_statuses(self) -> dict[tuple[str, str], str]:
        """The status each job had in the last run that included it: ok, failed, fresh or blocked."""
        rows = self._db.execute("SELECT key, partition, status FROM statuses")
        return {(k, p): status for k, p, status in rows}

    @_guarded
    def blocked_reasons(self) -> dict[tuple[str, str], str]:
        """Why each job whose last status is blocked did not run (which upstream job failed), as recorded then."""
        rows = self._db.execute(
            "SELECT key, partition, error FROM jobs WHERE status = 'blocked' AND error IS NOT NULL AND run_id IN"
            " (SELECT DISTINCT run_id FROM statuses WHERE status = 'blocked') ORDER BY run_id, rowid"
        )
        return {(k, p): error for k, p, error in rows}

    @_guarded
    def latest(self) -> list[Latest]:
        """The last materialization of every job that has one, by key and partition."""
        rows = self._db.execute(
            "SELECT key, partition, run_id, status, attempts, started, ended, duration, error_type, error"
            " FROM latest ORDER BY key, partition"
        )
        return [Latest(*row) for row in rows]

    @_guarded
    def statuses_of(self, key: str) -> dict[str, str]:
        """`last_statuses` of one asset: partition -> status."""
        rows = self._db.execute("SELECT partition, status FROM statuses WHERE key = ?", (key,))
        return dict(rows)

    @_guarded
    def latest_of(self, key: str, partitions: Sequence[str]) -> list[Latest]:
        """`latest` of the jobs of one asset with these partitions (those that have one), a few hundred to a
        query."""
        return [Latest._make(row) for row in self._rows_of(
            "SELECT key, partition, run_id, status, attempts, started, ended, duration, error_type, error FROM latest",
            key, partitions)]

    def _rows_of(self, select: str, key: str, partitions: Sequence[str]) -> Iterator[tuple[Any, ...]]:
        """The rows `select` (a ``SELECT ... FROM table``) finds for these partitions of one asset, a few hundred
        partitions to a query."""
        for start in range(0, len(partitions), _IN_LIST):
            chunk = partitions[start:start + _IN_LIST]
            yield from self._db.execute(f"{select} WHERE key = ? AND partition IN ({','.join('?' * len(chunk))})",
                                        (key, *chunk))

    @_guarded
    def run_jobs(self, run_id: int) -> list[JobRecord]:
        rows = self._db.execute(
            "SELECT key, partition, status, attempts, fingerprint, started, ended, duration, error_type, error"
            " FROM jobs WHERE run_id = ? ORDER BY rowid",
            (run_id,),
        )
        return [JobRecord(*row) for row in rows]

    @_guarded
    def tracked(self) -> dict[tuple[str, str], list[TrackedFile]]:
        """The files each job's last success tracked, by key and partition (jobs that tracked none are absent)."""
        found: dict[tuple[str, str], list[TrackedFile]] = {}
        rows = self._rows(
            "SELECT key, partition, path, name, kind, size, mtime_ns, sha256 FROM tracked ORDER BY key, partition,"
            " path, name"
        )
        for key, partition, *stamp in rows:
            found.setdefault((key, partition), []).append(TrackedFile(*stamp))
        return found

    @_guarded
    def tracked_stamps(self) -> list[TrackedFile]:
        """Every distinct stamp that some job's last success tracked."""
        return [TrackedFile(*row) for row in self._rows(
            "SELECT DISTINCT path, name, kind, size, mtime_ns, sha256 FROM tracked")]

    @_guarded
    def tracking(self, stamps: Iterable[TrackedFile]) -> set[tuple[str, str]]:
        """The jobs (key, partition) whose last success tracked any of `stamps`."""
        found: set[tuple[str, str]] = set()
        for f in stamps:
            found.update(self._db.execute(
                "SELECT key, partition FROM tracked WHERE path = ? AND name = ? AND kind = ? AND size = ?"
                " AND mtime_ns = ? AND sha256 = ?", f))
        return found

    @_guarded
    def inputs(self) -> dict[tuple[str, str], str]:
        """The upstream value digests each job's last success read, concatenated (jobs that read none are
        absent)."""
        return {(k, p): d for k, p, d in self._rows("SELECT key, partition, digests FROM inputs")}

    def _rows(self, query: str) -> list[Any]:
        """The rows of `query` on a table that a store written by an older tamso, opened read-only, may lack."""
        try:
            return self._db.execute(query).fetchall()
        except sqlite3.OperationalError as exc:
            if "no such table" in str(exc):
                return []
            raise

    @_guarded
    def runs(self) -> list[tuple[int, float, float | None, str, str]]:
        """Every run: id, start, end, outcome and command line. Opened read-only while no run holds the
        output directory, a run still ``running`` shows as :data:`ABRUPT`: it ended without a word."""
        rows: list[tuple[int, float, float | None, str, str]] = list(
            self._db.execute("SELECT id, started, ended, outcome, command FROM runs ORDER BY id"))
        if not self._writable and any(row[3] == "running" for row in rows) \
                and not run_in_progress(os.path.dirname(self.path)):
            rows = [(i, s, e, ABRUPT if o == "running" else o, c) for i, s, e, o, c in rows]
        return rows

    # Writing -------------------------------------------------------------------

    @_guarded
    def begin_run(self, command: str) -> int:
        """Open a run; runs still ``running`` ended abruptly (the caller holds the output directory)."""
        with self._writing():
            self._db.execute("UPDATE runs SET outcome = ? WHERE outcome = 'running'", (ABRUPT,))
            cursor = self._db.execute(
                "INSERT INTO runs (started, outcome, command) VALUES (?, 'running', ?)", (time.time(), command)
            )
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    @_guarded
    def record(
        self,
        run_id: int,
        records: Iterable[JobRecord],
        claims: Iterable[tuple[str, str, str, int, int]] = (),
    ) -> None:
        """Record finished jobs and claim jobs about to be handed out, in one transaction.

        A claim is (key, partition, fingerprint, claimed_ns, attempts).
        """
        jobs = []
        latest = []
        successes = []
        records_list = list(records)
        for r in records_list:
            stamp = r.stamp
            jobs.append(
                (run_id, r.key, r.partition, r.fingerprint, r.status, r.attempts, r.started, r.ended,
                 r.duration, r.error_type, r.error,
                 None if stamp is None else stamp.sha256, None if stamp is None else stamp.size)
            )
            if r.status in ("ok", "failed"):
                latest.append(
                    (r.key, r.partition, run_id, r.status, r.attempts, r.started, r.ended, r.duration,
                     r.error_type, r.error)
                )
            if r.status == "ok" and stamp is not None and r.fingerprint is not None:
                successes.append(
                    (r.key, r.partition, r.fingerprint, stamp.sha256, stamp.size, stamp.mtime_ns, run_id,
                     r.ended if r.ended is not None else time.time())
                )
        claims = list(claims)
        if not (jobs or claims):
            return
        statuses = [(r.key, r.partition, r.status, run_id) for r in records_list]
        depends = [r for r in records_list if r.status == "ok" and (r.tracked is not None or r.inputs is not None)]
        with self._writing():
            if depends:
                self._depends(depends)
            self._db.executemany("INSERT INTO jobs VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?)", jobs)
            # Only a status that changed is written, so a run with nothing to do rewrites no page.
            self._db.executemany(
                "INSERT INTO statuses VALUES (?,?,?,?) ON CONFLICT (key, partition) DO UPDATE"
                " SET status = excluded.status, run_id = excluded.run_id WHERE status != excluded.status",
                statuses,
            )
            self._db.executemany("INSERT OR REPLACE INTO latest VALUES (?,?,?,?,?,?,?,?,?,?)", latest)
            self._db.executemany("INSERT OR REPLACE INTO success VALUES (?,?,?,?,?,?,?,?)", successes)
            self._db.executemany("INSERT OR REPLACE INTO claims VALUES (?,?,?,?,?)", claims)

    def _depends(self, records: list[JobRecord]) -> None:
        """Replace the tracked files and the inputs of each job in `records` by the ones it holds."""
        tracked = [r for r in records if r.tracked is not None]
        self._db.executemany("DELETE FROM tracked WHERE key = ? AND partition = ?",
                             [(r.key, r.partition) for r in tracked])
        self._db.executemany(
            "INSERT OR REPLACE INTO tracked VALUES (?,?,?,?,?,?,?,?)",
            [(r.key, r.partition, *f) for r in tracked for f in r.tracked or ()],
        )
        inputs = [r for r in records if r.inputs is not None]
        self._db.executemany("DELETE FROM inputs WHERE key = ? AND partition = ?",
                             [(r.key, r.partition) for r in inputs if not r.inputs])
        self._db.executemany("INSERT OR REPLACE INTO inputs VALUES (?,?,?)",
                             [(r.key, r.partition, r.inputs) for r in inputs if r.inputs])

    @_guarded
    def refresh(self, values: Iterable[tuple[str, str, ValueStamp]], tracked: Iterable[TrackedFile]) -> None:
        """New stamps for value files and tracked files whose modification time changed but whose bytes did not,
        so that they are not digested again on every run (a tracked file's, for every job that tracked it)."""
        value_rows = [(s.size, s.mtime_ns, k, p, s.sha256) for k, p, s in values]
        tracked_rows = [(f.size, f.mtime_ns, f.path, f.name, f.sha256) for f in tracked]
        if not (value_rows or tracked_rows):
            return
        with self._writing():
            self._db.executemany(
                "UPDATE success SET value_size = ?, value_mtime_ns = ? WHERE key = ? AND partition = ?"
                " AND value_sha256 = ?", value_rows)
            self._db.executemany(
                "UPDATE tracked SET size = ?, mtime_ns = ? WHERE path = ? AND name = ? AND sha256 = ?"
                " AND kind = 'file'", tracked_rows)

    @_guarded
    def save_code(self, entries: Iterable[tuple[str, int, int, str, str]]) -> None:
        """Keep (path, size, mtime_ns, sha256, imports) of source files whose entries changed."""
        rows = list(entries)
        if rows:
            with self._writing():
                self._db.executemany("INSERT OR REPLACE INTO code VALUES (?,?,?,?,?)", rows)

    @_guarded
    def end_run(self, run_id: int, outcome: str) -> None:
        """Close the run. A run that went to its end recorded every job it finished, so its claims go;
        an interrupted one keeps them for the next run to adopt what finished unrecorded."""
        with self._writing():
            self._db.execute("UPDATE runs SET ended = ?, outcome = ? WHERE id = ?", (time.time(), outcome, run_id))
            if outcome in ("ok", "failed"):
                self._db.execute("DELETE FROM claims")


def kept_code(state_dir: str) -> list[tuple[str, int, int, str, str]]:
    """The import graph a store keeps, (path, size, mtime_ns, sha256, imports) per source file, read before a
    run takes the output directory; empty when there is no readable store.

    Its entries are checked against each file's size and time before use, so the database is read as it
    stands (no -wal or -shm file is made beside it), and whatever goes wrong only means an empty graph.
    """
    path = os.path.join(state_dir, DB_FILE)
    if not os.path.exists(path):
        return []
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
    if not os.path.exists(path + "-shm"):
        uri += "&immutable=1"
    try:
        connection = sqlite3.connect(uri, uri=True, isolation_level=None)
        try:
            return list(connection.execute("SELECT path, size, mtime_ns, sha256, imports FROM code"))
        finally:
            connection.close()
    except sqlite3.Error:
        return []


def _create(connection: sqlite3.Connection) -> None:
    for statement in _SCHEMA.split(";"):
        if statement.strip():
            connection.execute(statement)


def _writable_or_fixed(path: str) -> None:
    """Refuse a database that cannot be written before the database creates anything beside it.

    A ``-wal`` or ``-shm`` file left read-only (SQLite makes them with the database's mode) is given the
    database's mode again, so that a store made writable again is usable again.
    """
    directory = os.path.dirname(path) or "."
    if not os.access(directory, os.W_OK | os.X_OK):
        raise StoreReadOnly(f"cannot write the state store {path}: its directory is read-only", path)
    if not os.path.exists(path):
        return
    if not os.access(path, os.W_OK):
        raise StoreReadOnly(f"cannot write the state store {path}: the file is read-only", path)
    for side in (path + "-wal", path + "-shm"):
        if os.path.exists(side) and not os.access(side, os.W_OK):
            try:
                os.chmod(side, os.stat(path).st_mode & 0o7777)
            except OSError:
                pass
            if not os.access(side, os.W_OK):
                raise StoreReadOnly(f"cannot write the state store {path}: {side} is read-only", side)


def salvage_tracked(path: str) -> dict[tuple[str, str], list[TrackedFile]] | None:
    """The files each job's last success tracked, as a damaged database at `path` still holds them; None when
    the table cannot be read to its end (then nobody knows what any job tracked)."""
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro&immutable=1"
    found: dict[tuple[str, str], list[TrackedFile]] = {}
    try:
        connection = sqlite3.connect(uri, uri=True)
        try:
            rows = connection.execute("SELECT key, partition, path, name, kind, size, mtime_ns, sha256 FROM tracked")
            for key, partition, *stamp in rows:
                found.setdefault((key, partition), []).append(TrackedFile(*stamp))
        finally:
            connection.close()
    except sqlite3.Error as exc:
        return found if "no such table" in str(exc) else None
    return found


def salvage_fingerprints(path: str) -> dict[tuple[str, str], tuple[str, str]]:
    """What can still be read of a damaged database at `path`: the fingerprint and value digest of each job's
    last success, from the ``success`` table or else from the ok rows of ``jobs``. It is read-only and
    touches nothing beside the file; each table's rows stop at its first damaged page."""
    found: dict[tuple[str, str], tuple[str, str]] = {}
    uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro&immutable=1"
    try:
        connection = sqlite3.connect(uri, uri=True)
    except sqlite3.Error:
        return found
    queries = (
        "SELECT key, partition, fingerprint, value_sha256 FROM jobs WHERE status = 'ok' ORDER BY rowid",
        "SELECT key, partition, fingerprint, value_sha256 FROM success",
    )
    try:
        for query in queries:  # the success table, read last, has the last word
            try:
                for key, partition, fingerprint, digest in connection.execute(query):
                    if all(isinstance(v, str) for v in (key, partition, fingerprint, digest)):
                        found[(key, partition)] = (fingerprint, digest)
            except sqlite3.Error:
                pass
    finally:
        connection.close()
    return found
