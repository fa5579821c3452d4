"""Versions of one named configuration, kept in a ClickHouse table.

``ConfigStore`` keeps every saved configuration of one name and environment as a numbered version.
Every write is one INSERT of a row ``(version, revision, payload, updated_at)``: a new version is a
row with the next version number, an in-place edit (``update_config_version``,
``patch_config_version``, ``restore_version``) a row of the same version with the next revision.
Reads take the newest revision of each version (``argMax(..., revision)``), so no mutation is ever
needed and the same statements run on old servers and on the embedded engine alike.

Nothing is overwritten for good. New tables are ``ReplacingMergeTree ORDER BY (config_name,
environment, version, revision)``: every revision is a key of its own, so merges keep them all
(only a row written twice by a retried request collapses into one), and ``get_revision_history``
and ``get_revision`` read superseded payloads back. Tables of the earlier layout
(``ReplacingMergeTree(revision) ORDER BY (config_name, environment, version)``) keep working, since
reads by ``argMax`` do not depend on merges, but their merges drop every revision of a version but
the newest.

One write rule, wherever the writers are. A write holds the configuration's write lock while it
reads the latest state, computes its row and inserts it: a new version is ``max(version) + 1``, the
revision ``max(revision) + 1`` over the whole configuration. No clock orders anything, so writers
whose clocks disagree still number their writes in the order they happened.

The write lock. ClickHouse has no transactions, no unique constraint and no compare-and-set on
rows, but DDL on one table name is linearizable on servers and on the embedded engine:
``CREATE TABLE`` succeeds for exactly one creator of a name ("already exists" for the others), and
``RENAME TABLE`` takes whatever table a name holds, once, waiting for statements that read it.

- Within a process one lock per (engine, database, table, configuration, environment), shared by
  every store there. When the engine is this process's alone (the embedded engine of
  ``kelvora.clickhouse``, whose data directory no second process can open) that is the whole lock.
- Any other engine may be shared with other processes, so a writer also holds a lock table:
  ``CREATE TABLE <table>_lock_<digest> (<the row's columns>, owner_<token> UInt8)``; a writer
  that finds it taken retries with a short backoff until ``lock_timeout``. Its row goes first into
  the lock table (``INSERT ... VALUES``, refused unless the table carries its owner column) and from
  there into the configuration table with ``INSERT INTO <table> SELECT ... FROM <lock> WHERE
  owner_<token> = 1``. That copy names the lock table: it either reads the writer's own lock table,
  which then held the lock name without a break from before the writer read the latest state until
  its row landed, or it fails (no such table, no such column) and nothing is written. The writer
  then raises ``WriteLockLost``. The lock table is dropped when the write ends.
- A lock held longer than ``lock_lease`` is taken to be left by a dead writer: older by the
  server's own clock (``now()`` against the table's ``metadata_modification_time``, both read from
  one clock), or seen unchanged for that long by a waiter on its own monotonic clock. A waiter
  breaks it with a RENAME to a unique name (only one waiter can) and drops it. A broken lock table
  never comes back under the lock name, so the copy above stays a sound fence across breaks.

What a crashed writer leaves: its lock table, holding its row if it died between the two INSERTs,
and nothing in the configuration table. Writers wait for the lease to run out, break the lock and
go on; one that waits longer than ``lock_timeout`` gets ``TimeoutError``. A writer paused beyond the
lease (a frozen VM, a stalled network) loses its lock to the writer that breaks it: when it resumes,
its INSERTs fail and it raises ``WriteLockLost`` having written nothing; if its copy was already
running when the breaker came, the RENAME waits for it, so the row lands before the next writer
reads. At worst it drops the next writer's lock on its way out, and that writer's write then fails
in the same way: a failure reported as one, never a write lost or numbered twice. A lock table per
configuration was chosen over optimistic inserts checked afterwards because ClickHouse gives no way
to decide afterwards which of two rows of one version was first without a clock.

Configurations the store hands out (``get_config``, ``patch_config``, ``restore_version``) are
``StoredConfig`` dicts that remember the revision they were read at. ``update_config`` given one
that is no longer the latest applies its changes (top-level keys added, changed or removed
relative to what was handed out) onto the latest version instead of replacing it, so that a
read-modify-write such as "copy, pop a section, store" loses no write that came in between; a
plain dict replaces the whole configuration.

The store works through any client whose ``execute(query, params=None)`` binds ``%(name)s``
placeholders and answers SELECTs with a list of tuples; without one it opens the embedded engine::

    store = ConfigStore({"features": {"beta": False}}, config_name="orders")
    store.patch_config({"features": {"beta": True}})
    store.get_version()  # 2
"""

import contextlib
import hashlib
import json
import logging
import random
import re
import threading
import time
import uuid
from collections.abc import Iterator
from datetime import UTC, datetime
from typing import Any, Callable, Dict, List, NamedTuple, Tuple

__all__ = ["ConfigStore", "Precondition", "StoredConfig", "WriteLockLost"]

logger = logging.getLogger(__name__)

_TABLE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)?")
_COLUMNS = "config_name, environment, version, payload, updated_at, revision"
_COLUMN_TYPES = (
    "config_name String, environment String, version UInt32, payload String,"
    " updated_at DateTime, revision UInt64"
)
_VALUES = "%(config_name)s, %(environment)s, %(version)s, %(payload)s, %(updated_at)s, %(revision)s"
_MAX_VERSION = 0xFFFFFFFF
_MAX_REVISION = 0xFFFFFFFFFFFFFFFF
_ERROR_CODE = re.compile(r"\bCode: (\d+)")
_TABLE_EXISTS = 57
_UNKNOWN_TABLE = 60
_OWNER = "owner_"
_FIRST_BACKOFF = 0.002
_LAST_BACKOFF = 0.064
_STATE_ATTEMPTS = 10


def _check_dict(name: str, value: Any) -> None:
    if not isinstance(value, dict):
        raise TypeError(f"{name} must be a dict, not {type(value).__name__}")


def _check_str(name: str, value: Any) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")


def _check_int(name: str, value: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")


def _dump(payload: Any) -> str:
    return json.dumps(payload, sort_keys=False)


def _load(text: str) -> Dict[str, Any]:
    """A stored payload text as the configuration it holds (the store writes JSON objects only)."""
    payload: Dict[str, Any] = json.loads(text)
    return payload


def _now() -> datetime:
    # DateTime holds whole seconds; the value travels as naive UTC. It says when, never what order.
    return datetime.now(UTC).replace(microsecond=0, tzinfo=None)


def _as_utc(value: datetime | str | None) -> datetime | None:
    """The stored timestamp as an aware UTC datetime (stored values are naive UTC)."""
    if value is None:
        return None
    moment = datetime.fromisoformat(value) if isinstance(value, str) else value
    if moment.tzinfo is None:
        return moment.replace(tzinfo=UTC)
    return moment.astimezone(UTC)


def _error_code(error: Exception) -> int | None:
    """The ClickHouse error code of a refused statement (any client), or None."""
    code = getattr(error, "code", None)
    if isinstance(code, int):
        return code
    found = _ERROR_CODE.search(str(error))
    return int(found.group(1)) if found else None


def _engine_of(client: Any) -> Tuple[str, Any]:
    """Who else may write through ``client``'s engine: ("process", path) when nobody outside this
    process can (the embedded engine, one per process and data directory), else a key of the
    client's server."""
    from kelvora import clickhouse

    if isinstance(client, clickhouse.Client):
        if client.process_local:
            return "process", client.engine_path
        return "dsn", client.dsn
    return "client", id(client)


_process_locks: Dict[Tuple[Any, ...], threading.Lock] = {}
_process_locks_guard = threading.Lock()


def _process_lock(key: Tuple[Any, ...]) -> threading.Lock:
    """The lock every store of this process holds while writing that configuration."""
    with _process_locks_guard:
        return _process_locks.setdefault(key, threading.Lock())


Precondition = Callable[[Dict[str, Any], Dict[str, Any]], None]
"""A write's own condition, called under the configuration's write lock right before the row is
inserted, with the state it replaces (``version``, ``revision``, ``payload``: the latest version's,
or the edited version's) and the row it would store (``version``, ``revision``, ``payload``).
Whatever it raises ends the write with nothing stored, so a check and the write it allows are one
step for every writer of the table, in any process."""


class WriteLockLost(Exception):
    """A write whose lock was broken before it completed (held beyond the lease): nothing of it
    was written."""


class StoredConfig(Dict[str, Any]):
    """A configuration as the store handed it out: a ``dict`` (equal to the plain one,
    JSON-serialisable, kept by ``copy.copy``) that remembers the revision it was read at.

    Given back to ``update_config`` after other writes, only its own changes are applied onto the
    latest version. ``dict(config)`` or ``config.copy()`` gives a plain dict, which replaces.
    """

    __slots__ = ("_origin", "_revision", "_base", "_version")
    _origin: Tuple[Any, ...]
    _revision: int
    _base: str
    _version: int

    @property
    def version(self) -> int | None:
        """The version this configuration was read from (None for one made by hand)."""
        return getattr(self, "_version", None)

    @property
    def revision(self) -> int | None:
        """The revision this configuration was read at (None for one made by hand)."""
        return getattr(self, "_revision", None)

    def __copy__(self) -> "StoredConfig":
        twin = StoredConfig(self)
        for name in StoredConfig.__slots__:
            if hasattr(self, name):
                setattr(twin, name, getattr(self, name))
        return twin


def _rebase(
    base: Dict[str, Any], changed: Dict[str, Any], latest: Dict[str, Any]
) -> Dict[str, Any]:
    """``latest`` with the top-level changes that turned ``base`` into ``changed``."""
    result = dict(latest)
    for key in base:
        if key not in changed:
            result.pop(key, None)
    for key, value in changed.items():
        if key not in base or _dump(value) != _dump(base[key]):
            result[key] = value
    return result


class _Latest(NamedTuple):
    """The latest version, its payload text and the revision of that row; the highest revision."""

    version: int
    text: str
    revision: int
    top_revision: int


class _Held(NamedTuple):
    """The configuration a store holds: which version and revision it is, and its payload text."""

    version: int
    revision: int
    text: str


class _TableLock:
    """One hold of a configuration's lock table on a shared engine (see the module docstring)."""

    def __init__(self, client: Any, database: str, prefix: str, name: str) -> None:
        self.client = client
        self.database = database
        self.prefix = prefix
        self.name = name
        self.token = uuid.uuid4().hex
        self.began = time.monotonic()
        self.lost = False

    @property
    def owner(self) -> str:
        return _OWNER + self.token

    def acquire(self, deadline: float, lease: float, busy: str) -> None:
        seen: Dict[str, float] = {}
        backoff = _FIRST_BACKOFF
        while True:
            try:
                self.client.execute(
                    f"CREATE TABLE {self.prefix}{self.name} ({_COLUMN_TYPES}, {self.owner} UInt8)"
                    " ENGINE = TinyLog"
                )
                return
            except Exception as error:
                if _error_code(error) != _TABLE_EXISTS:
                    self._abandon()
                    raise
            state = self._state()
            now = time.monotonic()
            if state is not None:
                owner, age = state
                if owner == self.token:
                    return  # our CREATE, sent again by the transport after a lost answer
                first_seen = seen.setdefault(owner, now)
                if (age is not None and age >= lease) or now - first_seen >= lease:
                    self._break()
                    continue
            if now >= deadline:
                raise TimeoutError(busy)
            time.sleep(min(deadline - now, random.uniform(backoff / 2, backoff)))
            backoff = min(backoff * 2, _LAST_BACKOFF)

    def write(self, table: str, row: Dict[str, Any], lost: str) -> None:
        """Stages the row in the lock table and copies it into ``table`` through it."""
        lock = self.prefix + self.name
        try:
            self.client.execute(
                f"INSERT INTO {lock} ({_COLUMNS}, {self.owner}) VALUES ({_VALUES}, 1)", row
            )
            self.client.execute(
                f"INSERT INTO {table} ({_COLUMNS})"
                f" SELECT {_COLUMNS} FROM {lock} WHERE {self.owner} = 1"
            )
        except Exception as error:
            if self._owner() != self.token:
                self.lost = True
                raise WriteLockLost(lost) from error
            raise

    def release(self, lease: float) -> None:
        """Drops the lock table, unless it is no longer ours; failures are left to the lease."""
        try:
            if self.lost:
                return
            # Within half the lease no waiter can have taken the lock for a dead writer's.
            if time.monotonic() - self.began >= lease / 2 and self._owner() != self.token:
                return
            self.client.execute(f"DROP TABLE {self.prefix}{self.name}")
        except Exception as error:
            if _error_code(error) != _UNKNOWN_TABLE:
                logger.warning(
                    "Write lock " + self.prefix + self.name + " not released: " + str(error),
                    exc_info=error,
                )

    def _state(self) -> Tuple[str, int | None] | None:
        """The lock table's owner token and age in seconds by the server's clock (None when the
        engine keeps no modification time), or None when there is no lock table."""
        for attempt in range(_STATE_ATTEMPTS):
            try:
                rows = self.client.execute(
                    "SELECT name, (SELECT toUInt32(metadata_modification_time) FROM system.tables"
                    " WHERE database = %(database)s AND name = %(table)s), toUInt32(now())"
                    " FROM system.columns WHERE database = %(database)s AND table = %(table)s"
                    " AND startsWith(name, %(owner)s)",
                    {"database": self.database, "table": self.name, "owner": _OWNER},
                )
                break
            except Exception:
                # The system tables of 18.16 fail ("doesn't exist", "cannot open file") when a
                # table is dropped while they read it: the next look sees it gone or made anew.
                if attempt + 1 == _STATE_ATTEMPTS:
                    raise
                time.sleep(_FIRST_BACKOFF)
        if not rows:
            return None
        name, modified, now = rows[0]
        return name[len(_OWNER) :], (int(now) - int(modified) if modified else None)

    def _owner(self) -> str | None:
        state = self._state()
        return None if state is None else state[0]

    def _break(self) -> None:
        broken = f"{self.prefix}{self.name}_broken_{uuid.uuid4().hex}"
        try:
            self.client.execute(f"RENAME TABLE {self.prefix}{self.name} TO {broken}")
        except Exception as error:
            if _error_code(error) == _UNKNOWN_TABLE:
                return  # released by its holder or broken by another waiter meanwhile
            raise
        self.client.execute(f"DROP TABLE IF EXISTS {broken}")

    def _abandon(self) -> None:
        """After a CREATE that failed on the way back: drop the lock table if it was made."""
        with contextlib.suppress(Exception):
            if self._owner() == self.token:
                self.client.execute(f"DROP TABLE {self.prefix}{self.name}")


class _Write:
    """One write under the configuration's lock: the latest state as read under it, one insert."""

    def __init__(
        self, store: "ConfigStore", lock: _TableLock | None, precondition: Precondition | None
    ) -> None:
        self._store = store
        self._lock = lock
        self._precondition = precondition
        self.latest = store._read_latest()

    def insert(self, version: int, text: str, replaced: Tuple[int, int, str] | None = None) -> int:
        """Inserts one row of ``version`` with the next revision and returns that revision.
        ``replaced`` is the edited version's (version, revision, payload text), when it is not the
        latest version that the row replaces."""
        store = self._store
        revision = self.latest.top_revision + 1
        if self._precondition is not None:
            before = replaced or (self.latest.version, self.latest.revision, self.latest.text)
            self._precondition(
                {"version": before[0], "revision": before[1], "payload": _load(before[2])},
                {"version": version, "revision": revision, "payload": _load(text)},
            )
        row = store._key(version=version, payload=text, updated_at=_now(), revision=revision)
        if self._lock is None:
            store.client.execute(f"INSERT INTO {store.table} ({_COLUMNS}) VALUES ({_VALUES})", row)
        else:
            store_label = store._label()
            self._lock.write(
                store.table,
                row,
                f"The write lock of {store_label} was broken (held longer than the"
                f" {store.lock_lease:g} s lease); nothing was written",
            )
        return revision


class ConfigStore:
    """The versions of one configuration (``config_name`` in ``environment``) in a ClickHouse table.

    ``get_config`` answers the configuration the store holds (a fresh copy each time), reading the
    latest version when it holds none or when asked to refresh. Writes number versions and
    revisions from what the table holds, under the configuration's write lock, so any number of
    stores on one table, in one process or many, see and keep each other's writes. One re-entrant
    lock per store serialises its operations. The first operation creates the table when it is
    missing and, when it holds no version of this configuration yet, stores ``initial_config`` as
    version 1.

    ``lock_timeout`` is how long a write waits for the write lock (``TimeoutError`` after that);
    ``lock_lease`` how long a lock may be held before waiters take it for a dead writer's. Both are
    seconds, settable per store.
    """

    lock_timeout: float = 60.0
    lock_lease: float = 30.0

    def __init__(
        self,
        initial_config: Dict[str, Any] | None = None,
        *,
        client: Any = None,
        config_name: str = "default",
        environment: str = "default",
        table: str = "kelvora_config",
    ) -> None:
        if initial_config is not None:
            _check_dict("initial_config", initial_config)
        _check_str("config_name", config_name)
        _check_str("environment", environment)
        _check_str("table", table)
        if not _TABLE_NAME.fullmatch(table):
            raise ValueError(f"Invalid table name: {table!r}")
        if client is None:
            from kelvora import clickhouse

            client = clickhouse.connect("chdb:")
        self.client = client
        self.config_name = config_name
        self.environment = environment
        self.table = table
        self._initial = _dump(initial_config if initial_config is not None else {})
        self._lock = threading.RLock()
        self._ready = False
        self._held: _Held | None = None
        self._identity: Tuple[Any, ...] = ()
        self._database = ""
        self._shared = True
        self._authors_ready = False

    # ---- configuration ------------------------------------------------------------------------

    def get_config(self, refresh: bool = False) -> Dict[str, Any]:
        """The configuration payload; ``refresh`` drops the held one and reads the latest."""
        with self._lock:
            self._ensure()
            if refresh or self._held is None:
                latest = self._read_latest()
                self._held = _Held(latest.version, latest.revision, latest.text)
            return self._hand_out(self._held)

    def held_config(self, longest: int = 65536) -> Dict[str, Any] | None:
        """The configuration ``get_config()`` hands out, without waiting for the store: None
        when the store holds none yet, when another operation is using it (``get_config()``
        waits for that one), or when the held payload's JSON text is longer than ``longest``
        characters (the copy is made on the caller's thread)."""
        if not self._lock.acquire(blocking=False):
            return None
        try:
            held = self._held
            if not self._ready or held is None or len(held.text) > longest:
                return None
            return self._hand_out(held)
        finally:
            self._lock.release()

    def update_config(
        self, payload: Dict[str, Any], *, precondition: Precondition | None = None
    ) -> None:
        """Stores ``payload`` as a new version (latest + 1).

        A ``StoredConfig`` read before the latest write contributes only its own changes, applied
        onto the latest version; a plain dict is the whole new configuration. Every write takes a
        ``precondition`` (see ``Precondition``).
        """
        _check_dict("payload", payload)
        text = _dump(payload)
        with self._lock:
            self._ensure()
            with self._writing(precondition) as write:
                latest = write.latest
                base = self._stale_base(payload, latest)
                if base is not None:
                    text = _dump(_rebase(_load(base), payload, _load(latest.text)))
                revision = write.insert(latest.version + 1, text)
            self._held = _Held(latest.version + 1, revision, text)

    def patch_config(
        self, patch: Dict[str, Any], *, precondition: Precondition | None = None
    ) -> Dict[str, Any]:
        """Merges the top-level keys of ``patch`` into the latest version, as a new version."""
        _check_dict("patch", patch)
        _dump(patch)
        with self._lock:
            self._ensure()
            with self._writing(precondition) as write:
                latest = write.latest
                text = _dump({**_load(latest.text), **patch})
                revision = write.insert(latest.version + 1, text)
            self._held = _Held(latest.version + 1, revision, text)
            return self._hand_out(self._held)

    # ---- versions -----------------------------------------------------------------------------

    def get_version(self) -> int:
        """The latest version number."""
        with self._lock:
            self._ensure()
            return self._latest_version()

    def get_version_history(self) -> List[Dict[str, Any]]:
        """One row per version, newest first: config_name, environment, version, updated_at."""
        with self._lock:
            self._ensure()
            rows = self.client.execute(
                f"SELECT version, argMax(updated_at, revision) FROM {self.table}"
                f" WHERE {self._where()} GROUP BY version ORDER BY version DESC",
                self._key(),
            )
        return [
            {
                "config_name": self.config_name,
                "environment": self.environment,
                "version": int(version),
                "updated_at": _as_utc(updated_at),
            }
            for version, updated_at in rows
        ]

    def get_version_detail(self, version: int) -> Dict[str, Any] | None:
        """That version's row with its payload, or None when it does not exist."""
        _check_int("version", version)
        with self._lock:
            self._ensure()
            found = self._read(version)
        if found is None:
            return None
        text, updated_at = found
        return {
            "config_name": self.config_name,
            "environment": self.environment,
            "version": version,
            "updated_at": _as_utc(updated_at),
            "payload": _load(text),
        }

    def update_config_version(
        self, version: int, payload: Dict[str, Any], *, precondition: Precondition | None = None
    ) -> None:
        """Overwrites that version in place; no new version is made (the old payload stays a
        revision)."""
        _check_int("version", version)
        _check_dict("payload", payload)
        text = _dump(payload)
        with self._lock:
            self._ensure()
            with self._writing(precondition) as write:
                found = self._read(version)
                if found is None:
                    raise ValueError(self._missing(version))
                replaced = self._replaced(write.latest, version, found[0], precondition)
                revision = write.insert(version, text, replaced)
            self._follow(write.latest, version, revision, text)

    def patch_config_version(
        self, version: int, patch: Dict[str, Any], *, precondition: Precondition | None = None
    ) -> None:
        """Merges the top-level keys of ``patch`` into that version, in place."""
        _check_int("version", version)
        _check_dict("patch", patch)
        _dump(patch)
        with self._lock:
            self._ensure()
            with self._writing(precondition) as write:
                found = self._read(version)
                if found is None:
                    raise ValueError(self._missing(version))
                text = _dump({**_load(found[0]), **patch})
                replaced = self._replaced(write.latest, version, found[0], precondition)
                revision = write.insert(version, text, replaced)
            self._follow(write.latest, version, revision, text)

    def create_new_version(self, *, precondition: Precondition | None = None) -> int:
        """Stores a copy of the latest version as version + 1 and returns the new number."""
        with self._lock:
            self._ensure()
            with self._writing(precondition) as write:
                latest = write.latest
                revision = write.insert(latest.version + 1, latest.text)
            self._held = _Held(latest.version + 1, revision, latest.text)
            return latest.version + 1

    def restore_version(
        self, version: int, *, precondition: Precondition | None = None
    ) -> Dict[str, Any]:
        """Writes that version's payload into the latest version, in place, and returns it (the
        payload it replaces stays a revision)."""
        _check_int("version", version)
        with self._lock:
            self._ensure()
            with self._writing(precondition) as write:
                found = self._read(version)
                if found is None:
                    raise RuntimeError(self._missing(version))
                text = found[0]
                revision = write.insert(write.latest.version, text)
            self._held = _Held(write.latest.version, revision, text)
            return self._hand_out(self._held)

    def restore_revision(
        self, revision: int, *, precondition: Precondition | None = None
    ) -> Dict[str, Any]:
        """Writes that revision's payload into the latest version, in place, and returns it, as
        ``restore_version`` does for a version; RuntimeError when the revision does not exist."""
        _check_int("revision", revision)
        found = self.get_revision(revision)
        if found is None:
            raise RuntimeError(f"Revision {revision} does not exist")
        text = _dump(found["payload"])
        with self._lock:
            with self._writing(precondition) as write:
                written = write.insert(write.latest.version, text)
            self._held = _Held(write.latest.version, written, text)
            return self._hand_out(self._held)

    # ---- revisions ----------------------------------------------------------------------------

    def get_state(self) -> Dict[str, int]:
        """Where the configuration stands in the table, read in one statement without payloads:
        the latest ``version``, the ``revision`` of its newest row, and ``last_revision``, the
        highest revision of any version (in-place edits of older versions move only that)."""
        with self._lock:
            self._ensure()
            rows = self.client.execute(
                "SELECT max(version), argMax(revision, (version, revision)), max(revision),"
                f" count() FROM {self.table} WHERE {self._where()}",
                self._key(),
            )
        if not rows or not rows[0][3]:
            return {"version": 0, "revision": 0, "last_revision": 0}
        version, revision, last, _ = rows[0]
        return {"version": int(version), "revision": int(revision), "last_revision": int(last)}

    def record_author(self, revision: int, author: str) -> None:
        """Notes who wrote ``revision``, in the table ``<table>_authors`` (made on first use).
        Written after the revision itself: a writer that dies in between leaves it without one."""
        _check_int("revision", revision)
        _check_str("author", author)
        with self._lock:
            self._ensure()
            self._ensure_authors()
            self.client.execute(
                f"INSERT INTO {self.table}_authors (config_name, environment, revision, author)"
                " VALUES (%(config_name)s, %(environment)s, %(revision)s, %(author)s)",
                self._key(revision=revision, author=author),
            )

    def get_authors(self) -> Dict[int, str]:
        """Who wrote each revision that has an author noted, by revision."""
        with self._lock:
            self._ensure()
            self._ensure_authors()
            rows = self.client.execute(
                f"SELECT revision, any(author) FROM {self.table}_authors"
                f" WHERE {self._where()} GROUP BY revision",
                self._key(),
            )
        return {int(revision): author for revision, author in rows}

    def _ensure_authors(self) -> None:
        if self._authors_ready:
            return
        self.client.execute(
            f"CREATE TABLE IF NOT EXISTS {self.table}_authors (config_name String,"
            " environment String, revision UInt64, author String)"
            " ENGINE = ReplacingMergeTree ORDER BY (config_name, environment, revision)"
        )
        self._authors_ready = True

    def get_revisions_after(self, revision: int) -> List[Dict[str, Any]]:
        """Every revision above ``revision``, oldest first, as ``get_revision_history`` rows."""
        _check_int("revision", revision)
        with self._lock:
            self._ensure()
            rows = self.client.execute(
                f"SELECT version, revision, any(updated_at), any(payload) FROM {self.table}"
                f" WHERE {self._where()} AND revision > %(revision)s GROUP BY version, revision"
                " ORDER BY revision",
                self._key(revision=max(revision, 0)),
            )
        return [self._revision_row(*row) for row in rows]

    def get_revision_history(self, version: int | None = None) -> List[Dict[str, Any]]:
        """Every stored revision (of one version, or of all), newest first: config_name,
        environment, version, revision, updated_at (when it was written) and payload."""
        if version is not None:
            _check_int("version", version)
        with self._lock:
            self._ensure()
            if version is not None and not 1 <= version <= _MAX_VERSION:
                return []
            condition = "" if version is None else " AND version = %(version)s"
            rows = self.client.execute(
                f"SELECT version, revision, any(updated_at), any(payload) FROM {self.table}"
                f" WHERE {self._where()}{condition} GROUP BY version, revision"
                " ORDER BY revision DESC",
                self._key(version=version),
            )
        return [self._revision_row(*row) for row in rows]

    def get_revision(self, revision: int) -> Dict[str, Any] | None:
        """That revision's row with its payload, or None when it does not exist."""
        _check_int("revision", revision)
        with self._lock:
            self._ensure()
            if not 0 <= revision <= _MAX_REVISION:
                return None
            rows = self.client.execute(
                f"SELECT version, revision, any(updated_at), any(payload) FROM {self.table}"
                f" WHERE {self._where()} AND revision = %(revision)s GROUP BY version, revision",
                self._key(revision=revision),
            )
        return self._revision_row(*rows[0]) if rows else None

    # ---- storage ------------------------------------------------------------------------------

    def _ensure(self) -> None:
        """Creates the table and stores the initial configuration as version 1, once per store."""
        if self._ready:
            return
        self.client.execute(
            f"CREATE TABLE IF NOT EXISTS {self.table} ({_COLUMN_TYPES})"
            " ENGINE = ReplacingMergeTree"
            " ORDER BY (config_name, environment, version, revision)"
        )
        database, _, name = self.table.rpartition(".")
        self._database = database or str(self.client.execute("SELECT currentDatabase()")[0][0])
        engine = _engine_of(self.client)
        self._shared = engine[0] != "process"
        self._identity = (engine, self._database, name, self.config_name, self.environment)
        if self._latest_version() == 0:
            with self._writing() as write:
                if write.latest.version == 0:
                    write.insert(1, self._initial)
        self._ready = True

    @contextlib.contextmanager
    def _writing(self, precondition: Precondition | None = None) -> Iterator[_Write]:
        """Holds the configuration's write lock (this process's, and the lock table on a shared
        engine) around one write."""
        deadline = time.monotonic() + self.lock_timeout
        local = _process_lock(self._identity)
        if not local.acquire(timeout=max(self.lock_timeout, 0.0)):
            raise TimeoutError(self._busy())
        try:
            if not self._shared:
                yield _Write(self, None, precondition)
                return
            prefix, _, name = self.table.rpartition(".")
            digest = hashlib.sha256(f"{self.config_name}\0{self.environment}".encode()).hexdigest()
            lock = _TableLock(
                self.client,
                self._database,
                prefix + "." if prefix else "",
                f"{name}_lock_{digest[:16]}",
            )
            lock.acquire(deadline, self.lock_lease, self._busy())
            try:
                yield _Write(self, lock, precondition)
            finally:
                lock.release(self.lock_lease)
        finally:
            local.release()

    def _label(self) -> str:
        return f"{self.config_name!r} ({self.environment!r}) in {self.table}"

    def _busy(self) -> str:
        return (
            f"Timed out after {self.lock_timeout:g} s waiting for the write lock of {self._label()}"
        )

    def _where(self) -> str:
        return "config_name = %(config_name)s AND environment = %(environment)s"

    def _key(self, **params: Any) -> Dict[str, Any]:
        return {"config_name": self.config_name, "environment": self.environment, **params}

    def _missing(self, version: int) -> str:
        return f"Version {version} does not exist"

    def _hand_out(self, held: _Held) -> "StoredConfig":
        config = StoredConfig(_load(held.text))
        config._origin, config._revision, config._base = self._identity, held.revision, held.text
        config._version = held.version
        return config

    def _stale_base(self, payload: Dict[str, Any], latest: _Latest) -> str | None:
        """The payload text ``payload`` was handed out with, when it is a configuration of this
        store's table handed out before ``latest``; None otherwise."""
        if not isinstance(payload, StoredConfig) or not hasattr(payload, "_base"):
            return None
        if payload._origin != self._identity or payload._revision == latest.revision:
            return None
        return payload._base

    def _replaced(
        self, latest: _Latest, version: int, text: str, precondition: Precondition | None
    ) -> Tuple[int, int, str] | None:
        """What an in-place edit of ``version`` replaces, for its precondition: None when that is
        the latest version (``_Write`` knows it) or nobody asks."""
        if precondition is None or version == latest.version:
            return None
        rows = self.client.execute(
            f"SELECT max(revision) FROM {self.table}"
            f" WHERE {self._where()} AND version = %(version)s",
            self._key(version=version),
        )
        return version, int(rows[0][0]), text

    def _follow(self, latest: _Latest, version: int, revision: int, text: str) -> None:
        """After an in-place edit: the held configuration follows it when it edited the latest."""
        if version == latest.version:
            self._held = _Held(version, revision, text)

    def _revision_row(
        self, version: Any, revision: Any, updated_at: Any, text: str
    ) -> Dict[str, Any]:
        return {
            "config_name": self.config_name,
            "environment": self.environment,
            "version": int(version),
            "revision": int(revision),
            "updated_at": _as_utc(updated_at),
            "payload": _load(text),
        }

    def _latest_version(self) -> int:
        """The highest stored version number, 0 when there is none."""
        rows = self.client.execute(
            f"SELECT max(version) FROM {self.table} WHERE {self._where()}", self._key()
        )
        return int(rows[0][0]) if rows and rows[0][0] is not None else 0

    def _read_latest(self) -> _Latest:
        """The latest version, its newest payload and that row's revision; the top revision."""
        rows = self.client.execute(
            "SELECT max(version), argMax(payload, (version, revision)),"
            " argMax(revision, (version, revision)), max(revision), count()"
            f" FROM {self.table} WHERE {self._where()}",
            self._key(),
        )
        if not rows or not rows[0][4]:
            return _Latest(0, "{}", 0, 0)
        version, text, revision, top, _ = rows[0]
        return _Latest(int(version), text, int(revision), int(top))

    def _read(self, version: int) -> Tuple[str, Any] | None:
        """That version's payload text and timestamp, or None when it does not exist."""
        if version < 1 or version > _MAX_VERSION:
            return None
        rows = self.client.execute(
            f"SELECT argMax(payload, revision), argMax(updated_at, revision) FROM {self.table}"
            f" WHERE {self._where()} AND version = %(version)s GROUP BY version",
            self._key(version=version),
        )
        return (rows[0][0], rows[0][1]) if rows else None
