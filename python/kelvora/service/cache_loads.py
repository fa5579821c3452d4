"""Loading a cached copy from the engine: each column kept in a form DuckDB holds natively, or as
the JSON text the CRUD routes answer for it.

Where the engine can compute every column's form itself, it answers the whole copy in Parquet,
streamed to a file that DuckDB reads: no row becomes Python values. Otherwise (a column whose JSON
only Python writes, or an engine without Parquet: servers before 19) the rows come through the
client and the frame is built from their Python values.
"""

from __future__ import annotations

import os
import tempfile
from typing import TYPE_CHECKING, Any, Dict, List, Optional

from kelvora import _clickhouse

from .column_types import INTEGER, split_type
from .tables import Column

if TYPE_CHECKING:
    from kelvora.cache import DuckDbCacheManager
    from kelvora.clickhouse import Client

__all__ = [
    "as_json_text",
    "cache_form",
    "engine_expression",
    "load_copy",
    "load_parquet",
    "load_rows",
]


def cache_form(type_name: str) -> str:
    """How a column is kept in the cached copy: a nullable pandas dtype DuckDB stores natively,
    "text", or "json" (the value as the CRUD routes answer it, as JSON text)."""
    family, arguments = _unwrapped(type_name)
    integer = INTEGER.fullmatch(family)
    if integer and int(integer.group(2)) <= 64:
        return "UInt64" if integer.group(1) else "Int64"
    if family in ("Float32", "Float64"):
        return "Float64"
    if family == "Bool":
        return "boolean"
    if family in ("String", "FixedString", "Enum8", "Enum16", "Enum"):
        return "text"
    return "json"


def as_json_text(value: Any) -> Optional[str]:
    """A value as the CRUD routes answer it (FastAPI writes answers with pydantic), in JSON."""
    from pydantic_core import to_json

    return None if value is None else to_json(value).decode()


def _unwrapped(type_name: str) -> tuple[str, List[str]]:
    family, arguments = split_type(type_name)
    while family in ("Nullable", "LowCardinality"):
        family, arguments = split_type(arguments[0])
    return family, arguments


# The engine's own text of these is the text of their Python values' JSON strings (the client
# reads DateTime in the zone the engine writes it in, as a naive time).
_QUOTED_TEXT = {
    "DateTime": "concat('\"', replaceOne(toString({}), ' ', 'T'), '\"')",
    "Date": "concat('\"', toString({}), '\"')",
    "Date32": "concat('\"', toString({}), '\"')",
    "UUID": "concat('\"', toString({}), '\"')",
}
# A frame of Python floats holds NaN as missing, so the copy of the rows has NULL for it too.
_NATIVE = {
    "UInt64": "toUInt64({0})",
    "Int64": "toInt64({0})",
    "Float64": "if(isNaN({0}), NULL, toFloat64({0}))",
}


def engine_expression(column: Column) -> Optional[str]:
    """The engine's expression for the column in its cache form, or None where only Python
    writes that form (decimals, containers, addresses, wide integers, DateTime64) or the
    engine's text is not the client's (FixedString, whose padding the client drops)."""
    name = "`" + column.name.replace("\\", "\\\\").replace("`", "\\`") + "`"
    family, _ = _unwrapped(column.type)
    form = cache_form(column.type)
    if form in _NATIVE:
        return _NATIVE[form].format(name)
    if form == "boolean" or family == "String":
        return name
    if family in ("Enum8", "Enum16", "Enum"):
        return f"toString({name})"
    if family in _QUOTED_TEXT:
        return _QUOTED_TEXT[family].format(name)
    return None


def load_copy(
    client: Client,
    cache: DuckDbCacheManager,
    database: str,
    table: str,
    key: str,
    columns: List[Column],
) -> int:
    """Replaces the cached copy of `table` with its rows in key order; answers how many."""
    from kelvora.clickhouse import ClickHouseError

    expressions = [engine_expression(column) for column in columns]
    if None not in expressions:
        try:
            return load_parquet(client, cache, database, table, key, columns, expressions)
        except ClickHouseError as error:
            if "Unknown format Parquet" not in str(error):
                raise
    return load_rows(client, cache, database, table, key, columns)


def load_parquet(
    client: Client,
    cache: DuckDbCacheManager,
    database: str,
    table: str,
    key: str,
    columns: List[Column],
    expressions: List[Optional[str]],
) -> int:
    """The copy through a Parquet file of the engine's, each column computed by `expressions`."""
    # Named by place: the copy's names go to DuckDB beside the file.
    select = ", ".join(f"{expression} AS c{at}" for at, expression in enumerate(expressions))
    query = f"SELECT {select} FROM {table} ORDER BY {key}"
    names = [column.name for column in columns]
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "copy.parquet")
        if client.process_local:
            # The embedded engine writes the file itself: two to three times faster than its
            # stream, whose file per block is rewritten into one.
            literal = _clickhouse.bind("%(path)s", {"path": path})
            client.execute(f"{query} INTO OUTFILE {literal} FORMAT Parquet")
        else:
            _write_stream(client, query, path)
        return cache.store_parquet(database=database, table=table, path=path, columns=names)


def _write_stream(client: Client, query: str, path: str) -> None:
    """Writes a server's Parquet answer to `path` as it comes."""
    from kelvora.engine_streams import open_stream

    stream = open_stream(client, query, None, "Parquet")
    try:
        with open(path, "wb") as file:
            chunk = stream.next_chunk()
            while chunk is not None:
                file.write(chunk)
                chunk = stream.next_chunk()
    finally:
        stream.close()


def load_rows(
    client: Client,
    cache: DuckDbCacheManager,
    database: str,
    table: str,
    key: str,
    columns: List[Column],
) -> int:
    """The copy through the client's rows, each value put in its form by Python."""
    import pandas

    rows = client.execute("SELECT * FROM " + table + " ORDER BY " + key)
    frame: Dict[str, Any] = {}
    for at, column in enumerate(columns):
        values = [row[at] for row in rows]
        form = cache_form(column.type)
        if form == "json":
            frame[column.name] = pandas.array([as_json_text(v) for v in values], dtype="string")
        elif form == "text":
            frame[column.name] = pandas.array(values, dtype="string")
        else:
            frame[column.name] = pandas.array(values, dtype=form)
    cache.store(database=database, table=table, df=pandas.DataFrame(frame))
    return len(rows)
