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
"""

from __future__ import annotations

import os
import sqlite3
import time
import urllib.parse
from dataclasses import dataclass
from typing import Iterable

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

    def blocked_reasons(self) -> dict[tuple[str, str], str]:
        """Why each job whose last status is blocked did not run (which upstream job failed), as recorded then."""
        rows = self._db.execute(
            "SELECT key, partition, error FROM jobs WHERE status = 'blocked' AND error IS NOT NULL AND run_id IN"
            " (SELECT DISTINCT run_id FROM statuses WHERE status = 'blocked') ORDER BY run_id, rowid"
        )
        return {(k, p): error for k, p, error in rows}

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
        with _transaction(self._db):
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
