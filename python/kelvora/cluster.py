"""Distributed tables on a ClickHouse cluster, as a server client serves them.

A ``Distributed`` table reads and inserts across the shards of a cluster, but the engine refuses
every mutation of it. The client therefore routes the statements that name one:

- reads go to the server the DSN names, which asks every shard;
- inserts carry ``insert_distributed_sync``, so the server answers once the rows are on their
  shards (without it a Distributed table queues them and acknowledges rows it may still lose);
- ``ALTER TABLE <distributed> UPDATE/DELETE ...`` is sent to the local table on every shard,
  in shard order, every shard tried. A shard that refuses it, or cannot be reached, makes the
  statement fail with ``ShardMutationError``, naming the shards that applied it (they keep the
  change) and those that did not. The router's updates set fixed values and its deletes remove
  by key, so sending the statement again applies it where it is missing and changes nothing
  where it was applied;
- reads of ``system.mutations``, ``system.parts`` and the key columns in ``system.columns`` for
  a Distributed table, which has none of them, are answered from its shards' local tables
  (kelvora.cluster_status): so the table plane refuses an update of a key column of the local
  table as it does on any table, before anything reaches the shards;
- a server that cannot reach a shard, or loses one mid-answer (its network errors, and the end
  of a shard's packets), answers ``ShardUnavailable``, a ``ClickHouseConnectionError``, as when
  the server itself cannot be reached.

The Distributed tables (``system.tables``) and the cluster's shards (``system.clusters``) are
read when the server refuses to mutate a Distributed table not known yet. A shard's HTTP address
is its host from ``system.clusters`` with the DSN's port, or the port that ``connect(dsn,
shard_http_ports=...)`` gives for its native port (``{9000: 8123, 9001: 8124}``: servers of one
host on other ports). Each replica of a shard whose local table is not Replicated gets the
mutation; a Replicated one takes it on the first replica that answers and passes it on itself.
"""

from __future__ import annotations

import re
import threading
import urllib.parse
import zoneinfo
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Optional, Tuple

from kelvora import _clickhouse, cluster_status
from kelvora.clickhouse import ClickHouseConnectionError, ClickHouseError

__all__ = [
    "Cluster",
    "DistributedTable",
    "Replica",
    "ShardMutationError",
    "ShardMutationUnavailable",
    "ShardUnavailable",
]


class ShardUnavailable(ClickHouseConnectionError):
    """The server the DSN names could not reach a shard of the cluster (the text is its own)."""


class ShardMutationError(ClickHouseError):
    """A mutation of a Distributed table that some shard did not apply.

    ``applied`` holds the numbers of the shards that applied it, which keep the change;
    ``failed`` maps each other shard's number to its error."""

    def __init__(self, text: str, applied: List[int], failed: Dict[int, ClickHouseError]):
        super().__init__(text)
        self.applied = applied
        self.failed = failed


class ShardMutationUnavailable(ShardMutationError, ClickHouseConnectionError):
    """A ``ShardMutationError`` where a shard could not be reached: worth sending again soon."""


@dataclass(frozen=True)
class Replica:
    """One replica of a shard as ``system.clusters`` lists it."""

    shard: int
    number: int
    host: str
    port: int  # the native port
    default_database: str


@dataclass(frozen=True)
class DistributedTable:
    """A Distributed table and the local table it stands for on each shard."""

    cluster: str
    database: str  # "" where each replica's default database holds the local table
    table: str

    def local_database(self, replica: Replica) -> str:
        return self.database or replica.default_database or "default"


# The error codes of the server's own network failures: a socket timeout, a network error, and
# every connection attempt to a shard failed.
_NETWORK_CODES = {209, 210, 279}
# A shard's connection that ended mid-answer (the shard died): the server read past its end.
_CUT_SHORT = re.compile(r"Code: 32\b.*\bwhile receiving packet from ", re.DOTALL)
# What the engine answers a mutation of a Distributed table.
_NOT_IMPLEMENTED = 48
_CODE = re.compile(r"Code: (\d+)")

_NAME = r"`(?:[^`\\]|\\.)*`|\w+"
_MUTATION = re.compile(
    rf"\s*ALTER\s+TABLE\s+((?:{_NAME})(?:\s*\.\s*(?:{_NAME}))?)\s+(?:UPDATE|DELETE)\b",
    re.IGNORECASE,
)
_INSERT = re.compile(r"(?:\s|--[^\n]*|/\*.*?\*/)*+INSERT\b", re.IGNORECASE | re.DOTALL)
# The settings an insert carries: the server answers once every row is on its shard.
_SYNCHRONOUS_INSERT = {"insert_distributed_sync": "1"}

# An argument of a Distributed engine: a name, a quoted name or a string literal. A table whose
# arguments are expressions (currentDatabase(), which servers evaluate differently) is left to the
# engine's own refusal.
_ARGUMENT = r"\s*(`(?:[^`\\]|\\.)*`|'(?:[^'\\]|\\.)*'|\w+)\s*"
_ENGINE = re.compile(rf"Distributed\({_ARGUMENT},{_ARGUMENT},{_ARGUMENT}[,)]")


def checked_http_ports(ports: Mapping[int, int]) -> Dict[int, int]:
    """``connect``'s ``shard_http_ports``: native port to HTTP port, each a port number."""
    if not isinstance(ports, Mapping):
        raise TypeError(f"shard_http_ports must be a mapping, not {type(ports).__name__}")
    for native, http in ports.items():
        if not (_port(native) and _port(http)):
            raise ValueError(
                f"shard_http_ports maps port numbers to port numbers, not {native!r} to {http!r}"
            )
    return dict(ports)


def _port(value: object) -> bool:
    return type(value) is int and 0 < value < 65536


def _unquoted(name: str) -> str:
    """A name as the engine knows it, from its SQL (backquoted or not) or literal form."""
    if len(name) >= 2 and name[0] == name[-1] and name[0] in "`'":
        return re.sub(r"\\(.)", r"\1", name[1:-1])
    return name


def _quoted(name: str) -> str:
    return "`" + name.replace("\\", "\\\\").replace("`", "\\`") + "`"


def _split_name(text: str, database: str) -> Tuple[str, str]:
    parts = re.findall(_NAME, text)
    if len(parts) == 2:
        return _unquoted(parts[0]), _unquoted(parts[1])
    return database, _unquoted(parts[0])


def _error_code(error: ClickHouseError) -> Optional[int]:
    found = _CODE.match(str(error))
    return int(found.group(1)) if found else None


class Cluster:
    """The Distributed tables of the server a client talks to, and how to reach their shards.

    ``run`` is the client's way to the server for every statement (see the module's text).
    ``connect_shard(host, port, database)`` opens a transport to a shard's HTTP interface."""

    def __init__(
        self,
        server: Any,
        database: str,
        http_port: int,
        http_ports: Dict[int, int],
        connect_shard: Callable[[str, int, str], Any],
    ):
        self._server = server
        self._database = database
        self._http_port = http_port
        self._http_ports = http_ports
        self._connect_shard = connect_shard
        self._lock = threading.Lock()
        self._tables: Dict[Tuple[str, str], DistributedTable] = {}
        self._replicas: Dict[str, List[Replica]] = {}
        self._shards: Dict[Tuple[str, int, str], Any] = {}
        self._engines: Dict[Tuple[str, int, str, str], str] = {}
        self._learned = False

    # ---- statements ---------------------------------------------------------------------------

    def run(self, statement: str, zone: Optional[zoneinfo.ZoneInfo]) -> List[Any]:
        """The statement's rows, as the transport's ``rows`` gives them."""
        read = cluster_status.status_read(statement)
        if read is not None:
            database = read.group("database")
            table = self.distributed_table(
                self._database if database.endswith(")") else cluster_status.literal_text(database),
                cluster_status.literal_text(read.group("table")),
                refresh=False,
            )
            if table is not None and cluster_status.reads_keys(read):
                return self._local_key_rows(table)
            if table is not None:
                return self._read_status(table, read, zone)
        settings = _SYNCHRONOUS_INSERT if _INSERT.match(statement) else None
        try:
            rows: List[Any] = self._server.rows(statement, zone, settings)
            return rows
        except ClickHouseConnectionError:
            raise
        except ClickHouseError as error:
            code = _error_code(error)
            # The refusal is the engine's own test of the table: nothing is asked beforehand, so
            # the mutations of every other table cost nothing more.
            if code == _NOT_IMPLEMENTED and "Distributed" in str(error):
                mutation = _MUTATION.match(statement)
                name = _split_name(mutation.group(1), self._database) if mutation else None
                table = self.distributed_table(*name) if name else None
                if mutation and table is not None:
                    self._mutate(table, statement, mutation, zone)
                    return []
            if code in _NETWORK_CODES or _CUT_SHORT.match(str(error)):
                raise ShardUnavailable(
                    f"The ClickHouse server at {self._server.address} cannot reach a shard: {error}"
                ) from None
            raise

    def _mutate(
        self,
        table: DistributedTable,
        statement: str,
        mutation: re.Match[str],
        zone: Optional[zoneinfo.ZoneInfo],
    ) -> None:
        applied: List[int] = []
        failed: Dict[int, ClickHouseError] = {}
        for shard, replicas in self._by_shard(table.cluster).items():
            try:
                self._mutate_shard(table, replicas, statement, mutation.span(1), zone)
                applied.append(shard)
            except ClickHouseError as error:
                failed[shard] = error
        if failed:
            raise _partial_failure(statement[: mutation.end()].strip(), applied, failed)

    def _mutate_shard(
        self,
        table: DistributedTable,
        replicas: List[Replica],
        statement: str,
        name_span: Tuple[int, int],
        zone: Optional[zoneinfo.ZoneInfo],
    ) -> None:
        unreachable: Optional[ClickHouseError] = None
        for replica in replicas:
            database = table.local_database(replica)
            local = statement[: name_span[0]] + _quoted(database) + "." + _quoted(table.table)
            try:
                shard = self._shard(replica, database)
                replicated = self._engine(shard, replica, database, table.table).startswith(
                    "Replicated"
                )
                shard.rows(local + statement[name_span[1] :], zone)
            except ClickHouseConnectionError as error:
                # A Replicated table may take it on another replica; any other needs them all.
                unreachable = unreachable or error
                continue
            if replicated:
                return
        if unreachable is not None:
            raise unreachable

    # ---- what the cluster is ------------------------------------------------------------------

    def distributed_table(
        self, database: str, name: str, refresh: bool = True
    ) -> Optional[DistributedTable]:
        """The Distributed table of that name, None for any other table. The server's tables are
        read the first time, and with ``refresh`` whenever the name is not known (a table made
        since they were read)."""
        key = (database or self._database, name)
        with self._lock:
            if not self._learned or (refresh and key not in self._tables):
                self._learn()
            return self._tables.get(key)

    def _local_key_rows(self, table: DistributedTable) -> List[Tuple[Any, ...]]:
        """system.columns' key columns of the local table, as the first shard that answers has
        them: every shard's local table has one definition."""
        replicas = [
            replica for group in self._by_shard(table.cluster).values() for replica in group
        ]

        def keys(shard: Any, database: str) -> List[Tuple[Any, ...]]:
            rows: List[Tuple[Any, ...]] = shard.rows(
                cluster_status.key_statement(database, table.table), None
            )
            return rows

        return self._first_answer(table, replicas, keys)

    def _read_status(
        self, table: DistributedTable, read: re.Match[str], zone: Optional[zoneinfo.ZoneInfo]
    ) -> List[Tuple[Any, ...]]:
        shards = self._by_shard(table.cluster)
        ids = cluster_status.shard_ids(read, len(shards))
        if ids is None:
            return []
        answers = []
        for replicas, mutation_id in zip(shards.values(), ids, strict=True):

            def status(shard: Any, database: str, mutation_id: str = mutation_id) -> Any:
                local = cluster_status.shard_statement(read, database, table.table, mutation_id)
                return shard.rows(local, zone)

            answers.append(self._first_answer(table, replicas, status))
        return cluster_status.combined(read, answers)

    def _first_answer(
        self,
        table: DistributedTable,
        replicas: List[Replica],
        ask: Callable[[Any, str], List[Tuple[Any, ...]]],
    ) -> List[Tuple[Any, ...]]:
        """What the first replica that answers says, asked on the local table's database."""
        failure: Optional[ClickHouseConnectionError] = None
        for replica in replicas:
            database = table.local_database(replica)
            try:
                return ask(self._shard(replica, database), database)
            except ClickHouseConnectionError as error:
                failure = failure or error
        raise ShardUnavailable(f"No replica of a shard of {table.cluster!r} answers: {failure}")

    def _by_shard(self, cluster: str) -> Dict[int, List[Replica]]:
        with self._lock:
            replicas = self._replicas.get(cluster) or []
        if not replicas:
            raise ClickHouseError(
                f"The cluster {cluster!r} is not in the system.clusters of the ClickHouse server "
                f"at {self._server.address}"
            )
        shards: Dict[int, List[Replica]] = {}
        for replica in replicas:
            shards.setdefault(replica.shard, []).append(replica)
        return shards

    def _learn(self) -> None:
        tables: Dict[Tuple[str, str], DistributedTable] = {}
        for database, name, engine in self._server.rows(
            "SELECT database, name, engine_full FROM system.tables WHERE engine = 'Distributed'",
            None,
        ):
            found = _ENGINE.match(engine)
            if found is None:
                continue
            cluster, local_database, local = (_unquoted(found.group(i)) for i in (1, 2, 3))
            tables[(database, name)] = DistributedTable(cluster, local_database, local)
        replicas: Dict[str, List[Replica]] = {}
        for cluster, shard, number, host, port, default in self._server.rows(
            "SELECT cluster, shard_num, replica_num, host_name, port, default_database "
            "FROM system.clusters ORDER BY cluster, shard_num, replica_num",
            None,
        ):
            replicas.setdefault(cluster, []).append(Replica(shard, number, host, port, default))
        self._tables, self._replicas = tables, replicas
        self._engines.clear()
        self._learned = True

    def _shard(self, replica: Replica, database: str) -> Any:
        port = self._http_ports.get(replica.port, self._http_port)
        key = (replica.host, port, database)
        with self._lock:
            shard = self._shards.get(key)
        if shard is None:
            # Opened outside the lock: a shard that does not answer holds up no other.
            shard = self._connect_shard(replica.host, port, database)
            with self._lock:
                shard = self._shards.setdefault(key, shard)
        return shard

    def _engine(self, shard: Any, replica: Replica, database: str, table: str) -> str:
        key = (replica.host, replica.port, database, table)
        with self._lock:
            known = self._engines.get(key)
        if known is None:
            query = _clickhouse.bind(
                "SELECT engine FROM system.tables WHERE database = %(database)s "
                "AND name = %(table)s",
                {"database": database, "table": table},
            )
            rows = shard.rows(query, None)
            known = str(rows[0][0]) if rows else ""
            with self._lock:
                self._engines[key] = known
        return known

    def close(self) -> None:
        with self._lock:
            shards, self._shards = list(self._shards.values()), {}
        for shard in shards:
            shard.close()


def _partial_failure(
    statement: str, applied: List[int], failed: Dict[int, ClickHouseError]
) -> ShardMutationError:
    reasons = "; ".join(f"shard {shard}: {error}" for shard, error in failed.items())
    if not applied:
        kept = f"{statement} was applied on no shard ({reasons})"
    else:
        names = [str(number) for number in applied]
        where = (
            f"shard {names[0]}, which keeps"
            if len(names) == 1
            else f"shards {', '.join(names[:-1])} and {names[-1]}, which keep"
        )
        kept = f"{statement} was applied on {where} the change, and not on the others ({reasons})"
    text = (
        f"{kept}. Send it again once every shard answers: an update to fixed values, or a "
        "delete, changes nothing where it was applied"
    )
    unreachable = any(isinstance(error, ClickHouseConnectionError) for error in failed.values())
    kind = ShardMutationUnavailable if unreachable else ShardMutationError
    return kind(text, applied, failed)


def shard_url(url: urllib.parse.SplitResult, host: str, port: int, database: str) -> Any:
    """The DSN's address with a shard's host, port and database (its credentials kept)."""
    credentials, at, _ = url.netloc.rpartition("@")
    address = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    netloc = f"{credentials}@{address}" if at else address
    return urllib.parse.SplitResult(url.scheme, netloc, "/" + database, "", "")
