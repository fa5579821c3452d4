"""What system.mutations, system.parts and system.columns say of a Distributed table, from its
shards.

The Distributed table itself has no parts, no mutations and no keys: its rows and the mutations
sent to its shards (kelvora.cluster) are the local tables', and so are the keys that decide
which columns a mutation may set. A read of one of these system tables for one table,

    SELECT <columns> FROM system.mutations WHERE database = <d> AND table = <t> [AND mutation_id
        = <id>] [ORDER BY ... LIMIT 1]
    SELECT sum(rows) FROM system.parts WHERE active AND database = <d> AND table = <t>
    SELECT name FROM system.columns WHERE database = <d> AND table = <t> AND (is_in_sorting_key
        OR is_in_primary_key OR is_in_partition_key)

is run on the shards with the local table's names. The key columns are the first shard's that
answers (every shard's local table has the same definition). The other answers are put together
from every shard's: the rows of the parts are summed; a mutation is one row, with each shard's id
(joined by commas in shard order, or the one id every shard gave it), the first shard's command,
its earliest create_time, the sum of the parts still to do, done only when done on every shard,
and the first reason a shard gives for failing.
"""

from __future__ import annotations

import re
from typing import Any, Dict, List, Optional, Tuple

from kelvora import _clickhouse

_LITERAL = r"'(?:[^'\\]|\\.)*'"
# The condition of a read of a table's key columns, as the shards are asked it.
_IN_KEY = "(is_in_sorting_key OR is_in_primary_key OR is_in_partition_key)"
_READ = re.compile(
    r"\s*SELECT\s+(?P<columns>\w+(?:\(\w*\))?(?:\s*,\s*\w+)*)\s+FROM\s+system\.(?P<system>"
    r"mutations|parts|columns)\s+WHERE\s+(?P<active>active\s+AND\s+)?database\s*=\s*(?P<database>"
    rf"currentDatabase\(\)|{_LITERAL})\s+AND\s+table\s*=\s*(?P<table>{_LITERAL})"
    rf"(?:\s+AND\s+mutation_id\s*=\s*(?P<mutation>{_LITERAL}))?"
    r"(?P<in_key>\s+AND\s+\(\s*is_in_sorting_key\s+OR\s+is_in_primary_key\s+OR\s+"
    r"is_in_partition_key\s*\))?"
    r"(?P<rest>\s+ORDER\s+BY\s+[\w(), ]+\s+LIMIT\s+1)?\s*;?\s*",
    re.IGNORECASE,
)


def status_read(statement: str) -> Optional[re.Match[str]]:
    """The parts of a read of system.mutations, system.parts or system.columns for one table,
    or None."""
    found = _READ.fullmatch(statement)
    if found is None:
        return None
    system = found.group("system").lower()
    if (system == "parts") != bool(found.group("active")):
        return None
    if (system == "columns") != bool(found.group("in_key")):
        return None
    if system == "columns" and (
        found.group("columns") != "name" or found.group("mutation") or found.group("rest")
    ):
        return None
    if system == "parts" and found.group("columns") != "sum(rows)":
        return None
    return found


def reads_keys(read: re.Match[str]) -> bool:
    """Whether the read asks for the table's key columns (system.columns)."""
    return read.group("system").lower() == "columns"


def key_statement(database: str, table: str) -> str:
    """The read of a local table's key columns, in the order of its columns."""
    where = _clickhouse.bind(
        "database = %(database)s AND table = %(table)s", {"database": database, "table": table}
    )
    return f"SELECT name FROM system.columns WHERE {where} AND {_IN_KEY}"


def literal_text(literal: str) -> str:
    return re.sub(r"\\(.)", r"\1", literal[1:-1])


def shard_statement(read: re.Match[str], database: str, table: str, mutation_id: str) -> str:
    """The read for a shard's local table (and its own id of the mutation)."""
    where = _clickhouse.bind(
        "database = %(database)s AND table = %(table)s", {"database": database, "table": table}
    )
    if read.group("mutation") is not None:
        where += _clickhouse.bind(" AND mutation_id = %(id)s", {"id": mutation_id})
    active = "active AND " if read.group("active") else ""
    return (
        f"SELECT {read.group('columns')} FROM system.{read.group('system')} WHERE {active}"
        f"{where}{read.group('rest') or ''}"
    )


def shard_ids(read: re.Match[str], shards: int) -> Optional[List[str]]:
    """Each shard's id of the mutation a read asks for (all "" when it asks for none); None
    when the id names no mutation of this many shards."""
    if read.group("mutation") is None:
        return [""] * shards
    ids = literal_text(read.group("mutation")).split(",")
    if len(ids) == 1:
        return ids * shards
    return ids if len(ids) == shards else None


def combined(read: re.Match[str], answers: List[List[Tuple[Any, ...]]]) -> List[Tuple[Any, ...]]:
    """One answer from each shard's, in shard order."""
    if read.group("system").lower() == "parts":
        return [(sum(rows[0][0] or 0 for rows in answers if rows),)]
    if not all(answers):
        # A mutation some shard does not have is no mutation of the Distributed table.
        return []
    columns = [name.strip().lower() for name in read.group("columns").split(",")]
    firsts = [rows[0] for rows in answers]
    row: Dict[str, Any] = {}
    for index, column in enumerate(columns):
        values = [shard_row[index] for shard_row in firsts]
        if column == "mutation_id":
            row[column] = values[0] if len(set(values)) == 1 else ",".join(values)
        elif column == "create_time":
            row[column] = min(values)
        elif column == "parts_to_do":
            row[column] = sum(values)
        elif column == "is_done":
            row[column] = min(values)
        elif column == "latest_fail_reason":
            row[column] = next((value for value in values if value), values[0])
        else:
            row[column] = values[0]
    return [tuple(row[column] for column in columns)]
