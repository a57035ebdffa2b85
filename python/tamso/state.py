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
"""

from __future__ import annotations

import os
import sqlite3
import time
import urllib.parse
from dataclasses import dataclass
from typing import Any, Iterable

from tamso._tracking import TrackedFile
from tamso.layout import ValueStamp

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


@dataclass(frozen=True, slots=True)
class Success:
    """The last successful materialization of one job."""

    fingerprint: str
    stamp: ValueStamp


@dataclass(frozen=True, slots=True)
class Claim:
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


@dataclass(frozen=True, slots=True)
class Latest:
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

    def __init__(self, connection: sqlite3.Connection) -> None:
        self._db = connection

    @classmethod
    def open(cls, state_dir: str, *, create: bool) -> StateStore:
        """Open the store in `state_dir`; without `create`, read only and the file must exist."""
        path = os.path.join(state_dir, DB_FILE)
        if create:
            connection = sqlite3.connect(path, isolation_level=None, check_same_thread=False)
            connection.execute("PRAGMA journal_mode=WAL")
            connection.execute("PRAGMA synchronous=NORMAL")
            with _transaction(connection):
                _create(connection)
        else:
            if not os.path.exists(path):
                raise FileNotFoundError(path)
            uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
            connection = sqlite3.connect(uri, uri=True, isolation_level=None, check_same_thread=False)
        connection.execute("PRAGMA busy_timeout=10000")
        return cls(connection)

    def close(self) -> None:
        self._db.close()

    # Reading -----------------------------------------------------------------

    def successes(self) -> dict[tuple[str, str], Success]:
        """The last successful materialization of every job that has one."""
        rows = self._db.execute(
            "SELECT key, partition, fingerprint, value_sha256, value_size, value_mtime_ns FROM success"
        )
        return {(k, p): Success(f, ValueStamp(d, s, m)) for k, p, f, d, s, m in rows}

    def success(self, key: str, partition: str) -> Success | None:
        row = self._db.execute(
            "SELECT fingerprint, value_sha256, value_size, value_mtime_ns FROM success"
            " WHERE key = ? AND partition = ?",
            (key, partition),
        ).fetchone()
        return None if row is None else Success(row[0], ValueStamp(row[1], row[2], row[3]))

    def claims(self) -> dict[tuple[str, str], Claim]:
        rows = self._db.execute("SELECT key, partition, fingerprint, claimed_ns, attempts FROM claims")
        return {(k, p): Claim(f, c, a) for k, p, f, c, a in rows}

    def has_key(self, key: str) -> bool:
        return self._db.execute("SELECT 1 FROM latest WHERE key = ? LIMIT 1", (key,)).fetchone() is not None

    def last_statuses(self) -> dict[tuple[str, str], str]:
        """The status each job had in the last run that included it: ok, failed, fresh or blocked."""
        rows = self._db.execute("SELECT key, partition, status FROM statuses")
        return {(k, p): status for k, p, status in rows}

    def latest(self) -> list[Latest]:
        """The last materialization of every job that has one, by key and partition."""
        rows = self._db.execute(
            "SELECT key, partition, run_id, status, attempts, started, ended, duration, error_type, error"
            " FROM latest ORDER BY key, partition"
        )
        return [Latest(*row) for row in rows]

    def run_jobs(self, run_id: int) -> list[JobRecord]:
        rows = self._db.execute(
            "SELECT key, partition, status, attempts, fingerprint, started, ended, duration, error_type, error"
            " FROM jobs WHERE run_id = ? ORDER BY rowid",
            (run_id,),
        )
        return [JobRecord(*row) for row in rows]

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

    def tracked_stamps(self) -> list[TrackedFile]:
        """Every distinct stamp that some job's last success tracked."""
        return [TrackedFile(*row) for row in self._rows(
            "SELECT DISTINCT path, name, kind, size, mtime_ns, sha256 FROM tracked")]

    def tracking(self, stamps: Iterable[TrackedFile]) -> set[tuple[str, str]]:
        """The jobs (key, partition) whose last success tracked any of `stamps`."""
        found: set[tuple[str, str]] = set()
        for f in stamps:
            found.update(self._db.execute(
                "SELECT key, partition FROM tracked WHERE path = ? AND name = ? AND kind = ? AND size = ?"
                " AND mtime_ns = ? AND sha256 = ?", f))
        return found

    def inputs(self) -> dict[tuple[str, str], str]:
        """The upstream value digests each job's last success read, concatenated (jobs that read none are
        absent)."""
        return {(k, p): d for k, p, d in self._rows("SELECT key, partition, digests FROM inputs")}

    def code(self) -> list[tuple[str, int, int, str, str]]:
        """The kept import graph: (path, size, mtime_ns, sha256, imports) per source file."""
        return self._rows("SELECT path, size, mtime_ns, sha256, imports FROM code")

    def _rows(self, query: str) -> list[Any]:
        """The rows of `query` on a table that a store written by an older tamso, opened read-only, may lack."""
        try:
            return self._db.execute(query).fetchall()
        except sqlite3.OperationalError as exc:
            if "no such table" in str(exc):
                return []
            raise

    def runs(self) -> list[tuple[int, float, float | None, str, str]]:
        return list(self._db.execute("SELECT id, started, ended, outcome, command FROM runs ORDER BY id"))

    # Writing -------------------------------------------------------------------

    def begin_run(self, command: str) -> int:
        with _transaction(self._db):
            cursor = self._db.execute(
                "INSERT INTO runs (started, outcome, command) VALUES (?, 'running', ?)", (time.time(), command)
            )
        assert cursor.lastrowid is not None
        return cursor.lastrowid

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
        with _transaction(self._db):
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

    def refresh(self, values: Iterable[tuple[str, str, ValueStamp]], tracked: Iterable[TrackedFile]) -> None:
        """New stamps for value files and tracked files whose modification time changed but whose bytes did not,
        so that they are not digested again on every run (a tracked file's, for every job that tracked it)."""
        value_rows = [(s.size, s.mtime_ns, k, p, s.sha256) for k, p, s in values]
        tracked_rows = [(f.size, f.mtime_ns, f.path, f.name, f.sha256) for f in tracked]
        if not (value_rows or tracked_rows):
            return
        with _transaction(self._db):
            self._db.executemany(
                "UPDATE success SET value_size = ?, value_mtime_ns = ? WHERE key = ? AND partition = ?"
                " AND value_sha256 = ?", value_rows)
            self._db.executemany(
                "UPDATE tracked SET size = ?, mtime_ns = ? WHERE path = ? AND name = ? AND sha256 = ?"
                " AND kind = 'file'", tracked_rows)

    def save_code(self, entries: Iterable[tuple[str, int, int, str, str]]) -> None:
        """Keep (path, size, mtime_ns, sha256, imports) of source files whose entries changed."""
        rows = list(entries)
        if rows:
            with _transaction(self._db):
                self._db.executemany("INSERT OR REPLACE INTO code VALUES (?,?,?,?,?)", rows)

    def end_run(self, run_id: int, outcome: str) -> None:
        """Close the run. A run that went to its end recorded every job it finished, so its claims go;
        an interrupted one keeps them for the next run to adopt what finished unrecorded."""
        with _transaction(self._db):
            self._db.execute("UPDATE runs SET ended = ?, outcome = ? WHERE id = ?", (time.time(), outcome, run_id))
            if outcome in ("ok", "failed"):
                self._db.execute("DELETE FROM claims")


def _create(connection: sqlite3.Connection) -> None:
    for statement in _SCHEMA.split(";"):
        if statement.strip():
            connection.execute(statement)


class _transaction:
    """``with _transaction(db):`` runs the block inside BEGIN IMMEDIATE ... COMMIT (ROLLBACK on error)."""

    def __init__(self, connection: sqlite3.Connection) -> None:
        self._db = connection

    def __enter__(self) -> None:
        self._db.execute("BEGIN IMMEDIATE")

    def __exit__(self, kind: object, value: object, traceback: object) -> None:
        self._db.execute("COMMIT" if kind is None else "ROLLBACK")
