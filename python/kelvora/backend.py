"""Versions of one named configuration, kept in a ClickHouse table.

``ConfigStore`` keeps every saved configuration of one name and environment as a numbered version
row. Every write is an INSERT: a new version is a row with the next number, an in-place edit is a
row of the same number with a higher revision. The table is a ``ReplacingMergeTree(revision)`` and
reads take the newest revision of each version (``argMax(..., revision)``), so no mutation is ever
needed and the same statements run on old servers and on the embedded engine alike.

The store works through any client whose ``execute(query, params=None)`` binds ``%(name)s``
placeholders and answers SELECTs with a list of tuples; without one it opens the embedded engine::

    store = ConfigStore({"features": {"beta": False}}, config_name="orders")
    store.patch_config({"features": {"beta": True}})
    store.get_version()  # 2
"""

import json
import re
import threading
import time
from datetime import UTC, datetime
from typing import Any, Dict, List, Tuple

__all__ = ["ConfigStore"]

_TABLE_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_]*(?:\.[A-Za-z_][A-Za-z0-9_]*)?")


def _check_dict(name: str, value: Any) -> None:
    if not isinstance(value, dict):
        raise TypeError(f"{name} must be a dict, not {type(value).__name__}")


def _check_str(name: str, value: Any) -> None:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")


def _check_version(version: Any) -> None:
    if isinstance(version, bool) or not isinstance(version, int):
        raise TypeError(f"version must be an int, not {type(version).__name__}")


def _dump(payload: Dict[str, Any]) -> str:
    return json.dumps(payload, sort_keys=False)


def _load(text: str) -> Dict[str, Any]:
    """A stored payload text as the configuration it holds (the store writes JSON objects only)."""
    payload: Dict[str, Any] = json.loads(text)
    return payload


def _now() -> datetime:
    # DateTime holds whole seconds; the value travels as naive UTC.
    return datetime.now(UTC).replace(microsecond=0, tzinfo=None)


def _as_utc(value: datetime | str | None) -> datetime | None:
    """The stored timestamp as an aware UTC datetime (stored values are naive UTC)."""
    if value is None:
        return None
    moment = datetime.fromisoformat(value) if isinstance(value, str) else value
    if moment.tzinfo is None:
        return moment.replace(tzinfo=UTC)
    return moment.astimezone(UTC)


class ConfigStore:
    """The versions of one configuration (``config_name`` in ``environment``) in a ClickHouse table.

    ``get_config`` answers the configuration the store holds (a fresh copy each time), reading the
    latest version when it holds none or when asked to refresh. Writes number versions from what the
    table holds, so several stores on one table see each other's versions. One re-entrant lock per
    store serialises its operations. The first operation creates the table when it is missing and,
    when it holds no version of this configuration yet, stores ``initial_config`` as version 1.
    """

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
        self._held: str | None = None
        self._revision = 0

    # ---- configuration ------------------------------------------------------------------------

    def get_config(self, refresh: bool = False) -> Dict[str, Any]:
        """The configuration payload; ``refresh`` drops the held one and reads the latest."""
        with self._lock:
            self._ensure()
            if refresh or self._held is None:
                self._held = self._read_latest()[1]
            return _load(self._held)

    def update_config(self, payload: Dict[str, Any]) -> None:
        """Stores ``payload`` as a new version (latest + 1)."""
        _check_dict("payload", payload)
        text = _dump(payload)
        with self._lock:
            self._ensure()
            self._write(self._latest_version() + 1, text)
            self._held = text

    def patch_config(self, patch: Dict[str, Any]) -> Dict[str, Any]:
        """Merges the top-level keys of ``patch`` into the latest version, as a new version."""
        _check_dict("patch", patch)
        with self._lock:
            self._ensure()
            version, current = self._read_latest()
            text = _dump({**_load(current), **patch})
            self._write(version + 1, text)
            self._held = text
            return _load(text)

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
        _check_version(version)
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

    def update_config_version(self, version: int, payload: Dict[str, Any]) -> None:
        """Overwrites that version in place; no new version is made."""
        _check_version(version)
        _check_dict("payload", payload)
        text = _dump(payload)
        with self._lock:
            self._ensure()
            if self._read(version) is None:
                raise ValueError(self._missing(version))
            self._overwrite(version, text)

    def patch_config_version(self, version: int, patch: Dict[str, Any]) -> None:
        """Merges the top-level keys of ``patch`` into that version, in place."""
        _check_version(version)
        _check_dict("patch", patch)
        with self._lock:
            self._ensure()
            found = self._read(version)
            if found is None:
                raise ValueError(self._missing(version))
            self._overwrite(version, _dump({**_load(found[0]), **patch}))

    def create_new_version(self) -> int:
        """Stores a copy of the latest version as version + 1 and returns the new number."""
        with self._lock:
            self._ensure()
            version, text = self._read_latest()
            self._write(version + 1, text)
            self._held = text
            return version + 1

    def restore_version(self, version: int) -> Dict[str, Any]:
        """Writes that version's payload into the latest version, in place, and returns it."""
        _check_version(version)
        with self._lock:
            self._ensure()
            found = self._read(version)
            if found is None:
                raise RuntimeError(self._missing(version))
            text = found[0]
            self._write(self._latest_version(), text)
            self._held = text
            return _load(text)

    # ---- storage ------------------------------------------------------------------------------

    def _ensure(self) -> None:
        """Creates the table and stores the initial configuration as version 1, once per store."""
        if self._ready:
            return
        self.client.execute(
            f"CREATE TABLE IF NOT EXISTS {self.table} ("
            "config_name String, environment String, version UInt32, payload String,"
            " updated_at DateTime, revision UInt64"
            ") ENGINE = ReplacingMergeTree(revision) ORDER BY (config_name, environment, version)"
        )
        if self._latest_version() == 0:
            self._write(1, self._initial)
        self._ready = True

    def _where(self) -> str:
        return "config_name = %(config_name)s AND environment = %(environment)s"

    def _key(self, **params: Any) -> Dict[str, Any]:
        return {"config_name": self.config_name, "environment": self.environment, **params}

    def _missing(self, version: int) -> str:
        return f"Version {version} does not exist"

    def _latest_version(self) -> int:
        """The highest stored version number, 0 when there is none."""
        rows = self.client.execute(
            f"SELECT max(version) FROM {self.table} WHERE {self._where()}", self._key()
        )
        return int(rows[0][0]) if rows and rows[0][0] is not None else 0

    def _read_latest(self) -> Tuple[int, str]:
        """The latest version number and its payload text."""
        rows = self.client.execute(
            f"SELECT version, argMax(payload, revision) FROM {self.table}"
            f" WHERE {self._where()} GROUP BY version ORDER BY version DESC LIMIT 1",
            self._key(),
        )
        if not rows:
            return 0, "{}"
        return int(rows[0][0]), rows[0][1]

    def _read(self, version: int) -> Tuple[str, Any] | None:
        """That version's payload text and timestamp, or None when it does not exist."""
        if version < 1 or version > 0xFFFFFFFF:
            return None
        rows = self.client.execute(
            f"SELECT argMax(payload, revision), argMax(updated_at, revision) FROM {self.table}"
            f" WHERE {self._where()} AND version = %(version)s GROUP BY version",
            self._key(version=version),
        )
        return (rows[0][0], rows[0][1]) if rows else None

    def _overwrite(self, version: int, text: str) -> None:
        """Writes over an existing version; the held configuration follows the latest one."""
        latest = self._latest_version()
        self._write(version, text)
        if version == latest:
            self._held = text

    def _write(self, version: int, text: str) -> None:
        """Inserts one row; its revision outranks every earlier row this store wrote."""
        self._revision = max(self._revision + 1, time.time_ns())
        self.client.execute(
            f"INSERT INTO {self.table}"
            " (config_name, environment, version, payload, updated_at, revision) VALUES"
            " (%(config_name)s, %(environment)s, %(version)s, %(payload)s, %(updated_at)s,"
            " %(revision)s)",
            self._key(version=version, payload=text, updated_at=_now(), revision=self._revision),
        )
