"""A cache of pandas DataFrames kept in DuckDB, read by ``kelvora.backends.DuckDbBackend``.

Each cached table lives at ``<catalog>.<database>.<table>``: the database name is a DuckDB schema
of the connected database, the table name a table in it. Both are quoted as DuckDB identifiers,
so any non-empty name works and none is read as SQL. DuckDB matches names without regard to the
case of ASCII letters, so ``Sales`` and ``sales`` name the same table.

A stored table keeps the frame's columns and rows (not its index) plus a hidden column holding
each row's position, by which answers come back in stored order. DuckDB keeps a table's row order
through a scan of one table, a WHERE of plain comparisons, LIMIT and OFFSET (with
``preserve_insertion_order``, which the manager sets), so the answers to such conditions (those of
``page`` and ``DuckDbBackend``) need no sort; a condition that may hide a join (a subquery, a long
IN list) is sorted by the position. A page without conditions is the range of positions it
covers, which DuckDB finds from each row group's bounds instead of counting rows off. The time of
the last store is kept as the table's comment, so it survives with a database file.
"""

import datetime
import operator
import re
import threading
from typing import Any, Dict, Iterable, List, Sequence, Tuple

import duckdb
import pandas as pd

from .cache_lock import SharedLock

__all__ = ["DuckDbCacheManager"]

# The hidden column that numbers the rows of a stored frame in order.
_ROW = "__kelvora_row__"
# The connection-local view through which a frame being stored is read.
_FRAME = "__kelvora_frame__"
_FRAME_NAME = f'"temp"."main"."{_FRAME}"'
_UPPER = "ABCDEFGHIJKLMNOPQRSTUVWXYZ"
_LOWER = "abcdefghijklmnopqrstuvwxyz"
_FOLD = str.maketrans(_UPPER, _LOWER)

# A condition DuckDB answers in the table's own order: columns compared with one literal each
# (or IS NULL), joined by AND, as DuckDbBackend writes them.
_COLUMN = r'(?:[A-Za-z_][A-Za-z0-9_]*|"(?:[^"]|"")+")'
_LITERAL = r"(?:-?\d+(?:\.\d+)?(?:[eE][+-]?\d+)?|True|False|'(?:[^']|'')*')"
_COMPARISON = rf"{_COLUMN}\s*(?:=\s*{_LITERAL}|IS\s+NULL)"
_PLAIN_CONDITION = re.compile(rf"\s*{_COMPARISON}(?:\s+AND\s+{_COMPARISON})*\s*")


def _quote(name: str) -> str:
    """Answers `name` as a DuckDB identifier: in double quotes, inner quotes doubled."""
    return '"' + name.replace('"', '""') + '"'


def _fold(name: str) -> str:
    """Answers `name` as DuckDB compares identifiers: ASCII letters in lower case."""
    return name.translate(_FOLD)


def _single(cursor: duckdb.DuckDBPyConnection) -> Any:
    """The one value of a statement that answers one row of one column."""
    row = cursor.fetchone()
    if row is None:
        raise AssertionError("the statement answered no row")
    return row[0]


def _equalities(equal: Dict[str, Any] | None) -> Tuple[str, List[Any]]:
    """The WHERE clause of column = value conditions, and its parameters."""
    if not equal:
        return "", []
    conditions = " AND ".join(f"{_quote(column)} = ?" for column in equal)
    return f" WHERE {conditions}", list(equal.values())


def _check_columns(labels: Iterable[str]) -> None:
    """Raises ValueError for two labels DuckDB would take for one column, or the hidden one."""
    seen = {_fold(_ROW)}
    for label in labels:
        if _fold(label) == _fold(_ROW):
            raise ValueError(f"Column name '{label}' is reserved for the row order")
        if _fold(label) in seen:
            raise ValueError(f"Column name '{label}' occurs more than once")
        seen.add(_fold(label))


def _check_name(kind: str, name: Any) -> str:
    if not isinstance(name, str):
        raise TypeError(f"{kind} name must be a str, not {type(name).__name__}")
    if not name:
        raise ValueError(f"{kind} name must not be empty")
    return name


class DuckDbCacheManager:
    """Tables of pandas DataFrames cached in one DuckDB database under database names.

    Every call works on a cursor of its own, so one manager can be shared by many threads.
    Readers see each table either wholly before or wholly after a store; stores and
    invalidations are serialised by a lock of the manager, so threads share one manager rather
    than each opening the same file.

    Database and table names must be non-empty texts: any other name raises TypeError or
    ValueError, in every method.

    Args:
        path: A DuckDB database file, or ``":memory:"`` (the default) for a private database
            in memory.

    Calls after ``close()`` raise ``duckdb.ConnectionException``.
    """

    def __init__(self, path: str = ":memory:") -> None:
        self._connection = duckdb.connect(path)
        # Answers follow the stored order without sorting only while this holds (the default).
        self._connection.execute("SET preserve_insertion_order = true")
        self._catalog: str = _single(self._connection.execute("SELECT current_database()"))
        self._write_lock = threading.Lock()
        self._readers = threading.local()
        # Held shared by a page's two statements and alone by every commit, so that both
        # statements read one version without the cost of a transaction.
        self._commits = SharedLock()
        # The row counts of the tables this manager stored (by folded names), changed under the
        # commit lock with the tables: a page without conditions needs no count of its own.
        self._row_counts: Dict[Tuple[str, str], int] = {}

    def _reader(self) -> duckdb.DuckDBPyConnection:
        """This thread's cursor for reading: a cursor of its own per call would cost a close
        each time. Closing the connection closes it too."""
        cursor: duckdb.DuckDBPyConnection | None = getattr(self._readers, "cursor", None)
        if cursor is None:
            cursor = self._readers.cursor = self._connection.cursor()
        return cursor

    def close(self) -> None:
        """Closes the database; closing again does nothing."""
        self._connection.close()

    def __enter__(self) -> "DuckDbCacheManager":
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def store(self, *, database: str, table: str, df: pd.DataFrame) -> None:
        """Replaces the cached table with the rows of `df` and records the time of it.

        Column labels become their text; the index is not kept. The replacement is one
        transaction, so no reader sees a half-replaced table.

        Args:
            database: The database name.
            table: The table name.
            df: The rows to cache.

        Raises:
            TypeError: `df` is not a pandas DataFrame.
            ValueError: Two column labels have the same text (ASCII case aside), or a column
                is named ``__kelvora_row__``, the name of the hidden row-order column.
        """
        self._name(database, table)
        if not isinstance(df, pd.DataFrame):
            raise TypeError(f"df must be a pandas DataFrame, not {type(df).__name__}")
        _check_columns(map(str, df.columns))
        frame = df.assign(**{_ROW: range(len(df))})
        with self._write_lock, self._connection.cursor() as cursor:
            cursor.register(_FRAME, frame)
            self._replace(cursor, database, table, f"SELECT * FROM {_FRAME_NAME}")

    def store_parquet(self, *, database: str, table: str, path: str, columns: Sequence[str]) -> int:
        """Replaces the cached table with the rows of a Parquet file, which DuckDB reads itself
        (no row becomes Python values on the way), and records the time of it.

        Args:
            database: The database name.
            table: The table name.
            path: The Parquet file. Its byte arrays are read as text.
            columns: The names to store the file's columns under, in the file's order (its
                own names are not kept).

        Returns:
            The number of rows stored.

        Raises:
            ValueError: The file has another number of columns, two names are the same (ASCII
                case aside), or one is ``__kelvora_row__``.
            duckdb.Error: DuckDB cannot read the file (a column of it named
                ``file_row_number`` too: DuckDB numbers the rows under that name).
        """
        self._name(database, table)
        names = list(columns)
        _check_columns(names)
        source = "read_parquet('" + path.replace("'", "''") + "', binary_as_string = true)"
        with self._write_lock, self._connection.cursor() as cursor:
            described = cursor.execute(f"DESCRIBE SELECT * FROM {source}").fetchall()
            if len(described) != len(names):
                raise ValueError(f"The file has {len(described)} columns, not {len(names)}")
            pairs = zip(described, names, strict=True)
            renamed = [f"{_quote(entry[0])} AS {_quote(name)}" for entry, name in pairs]
            # The rows' places in the file, which is in the order to keep.
            numbered = source[:-1] + ", file_row_number = true)"
            select = f"SELECT {', '.join(renamed)}, file_row_number AS {_quote(_ROW)}"
            return self._replace(cursor, database, table, f"{select} FROM {numbered}")

    def _replace(
        self, cursor: duckdb.DuckDBPyConnection, database: str, table: str, select: str
    ) -> int:
        """Replaces the table with what `select` answers in one transaction, stamped with the
        time; answers the number of rows. The caller holds the write lock."""
        name = self._name(database, table)
        stamp = datetime.datetime.now(datetime.UTC).isoformat()
        cursor.execute("BEGIN TRANSACTION")
        try:
            cursor.execute(
                f"CREATE SCHEMA IF NOT EXISTS {_quote(self._catalog)}.{_quote(database)}"
            )
            stored: int = _single(cursor.execute(f"CREATE OR REPLACE TABLE {name} AS {select}"))
            cursor.execute(f"COMMENT ON TABLE {name} IS '{stamp}'")
        except BaseException:
            cursor.execute("ROLLBACK")
            raise
        with self._commits.writing():
            cursor.execute("COMMIT")
            self._row_counts[_fold(database), _fold(table)] = stored
        return stored

    def query(
        self, *, database: str, table: str, sql_where: str | None = None, limit: int = 0
    ) -> pd.DataFrame:
        """Answers the rows of a cached table that meet a condition, in stored order.

        Args:
            database: The database name.
            table: The table name.
            sql_where: A DuckDB condition on the table's columns, or None (or empty) for every
                row. It is trusted SQL text, used as ``WHERE (<sql_where>)``: its literals
                must already be escaped.
            limit: The most rows to answer; 0 or less answers all.

        Returns:
            The matching rows, indexed from 0.

        Raises:
            ValueError: ``Table '<database>.<table>' is not cached``.
        """
        name = self._name(database, table)
        limit = operator.index(limit)
        sql = f"SELECT * EXCLUDE ({_quote(_ROW)}) FROM {name}"
        if sql_where:
            # On lines of their own, so that a trailing comment cannot swallow the bracket.
            sql += f" WHERE (\n{sql_where}\n)"
            if not _PLAIN_CONDITION.fullmatch(sql_where):
                sql += f" ORDER BY {_quote(_ROW)}"
        if limit > 0 and not sql_where:
            # The first positions, which DuckDB finds from the row groups' bounds.
            sql += f" WHERE {_quote(_ROW)} < {limit}"
        elif limit > 0:
            sql += f" LIMIT {limit}"
        cursor = self._reader()
        try:
            frame = cursor.execute(sql).df()
        except duckdb.CatalogException:
            # A condition can name an unknown function too: that error stands as it is.
            if self._find(cursor, database, table) is None:
                raise self._not_cached(database, table) from None
            raise
        return frame

    def page(
        self,
        *,
        database: str,
        table: str,
        equal: Dict[str, Any] | None = None,
        limit: int = 0,
        offset: int = 0,
    ) -> Tuple[int, List[Dict[str, Any]]]:
        """Answers how many rows of a cached table meet the conditions, and one page of them in
        stored order, as Python values (NULL is None, lists and maps are Python containers).

        Args:
            database: The database name.
            table: The table name.
            equal: Column name -> the value the column must equal; values travel as DuckDB
                parameters, names as quoted identifiers.
            limit: The most rows to answer; 0 or less answers all.
            offset: The rows to skip first.

        Raises:
            ValueError: ``Table '<database>.<table>' is not cached``.
        """
        name = self._name(database, table)
        limit, offset = operator.index(limit), operator.index(offset)
        where, values = _equalities(equal)
        cursor = self._reader()
        try:
            # No commit lands between the two, so the total and the page describe one
            # version.
            with self._commits.reading():
                total = None if where else self._row_counts.get((_fold(database), _fold(table)))
                # One row past the page: when it is not there, the matches end on the page
                # and need no count (a lookup by key is one statement).
                probe = limit + 1 if total is None and limit > 0 else limit
                rows = self._records(cursor, name, where, values, probe, offset)
                ended = probe <= 0 or len(rows) < probe
                if total is None and ended and (rows or offset <= 0):
                    total = max(offset, 0) + len(rows)
                if total is None:
                    count = cursor.execute(f"SELECT count(*) FROM {name}{where}", values)
                    total = _single(count)
                if limit > 0:
                    del rows[limit:]
        except duckdb.CatalogException:
            if self._find(cursor, database, table) is None:
                raise self._not_cached(database, table) from None
            raise
        return total, rows

    def rows(
        self,
        *,
        database: str,
        table: str,
        equal: Dict[str, Any] | None = None,
        limit: int = 0,
        offset: int = 0,
    ) -> List[Dict[str, Any]]:
        """Answers the page ``page`` answers, without counting: one statement, for lookups by
        key that need no total.

        Raises:
            ValueError: ``Table '<database>.<table>' is not cached``.
        """
        name = self._name(database, table)
        limit, offset = operator.index(limit), operator.index(offset)
        where, values = _equalities(equal)
        cursor = self._reader()
        try:
            return self._records(cursor, name, where, values, limit, offset)
        except duckdb.CatalogException:
            if self._find(cursor, database, table) is None:
                raise self._not_cached(database, table) from None
            raise

    @staticmethod
    def _records(
        cursor: duckdb.DuckDBPyConnection,
        name: str,
        where: str,
        values: List[Any],
        limit: int,
        offset: int,
    ) -> List[Dict[str, Any]]:
        """The rows of a page in stored order (the conditions are plain equalities)."""
        sql = f"SELECT * EXCLUDE ({_quote(_ROW)}) FROM {name}"
        if not where:
            # The positions the page covers: DuckDB skips the row groups outside them, where
            # OFFSET would count its way through every row before the page.
            offset = max(offset, 0)
            sql += f" WHERE {_quote(_ROW)} >= {offset}"
            if limit > 0:
                sql += f" AND {_quote(_ROW)} < {offset + limit}"
            return DuckDbCacheManager._dicts(cursor.execute(sql))
        sql += where
        if limit > 0:
            sql += f" LIMIT {limit}"
        if offset > 0:
            sql += f" OFFSET {offset}"
        return DuckDbCacheManager._dicts(cursor.execute(sql, values))

    @staticmethod
    def _dicts(result: duckdb.DuckDBPyConnection) -> List[Dict[str, Any]]:
        columns = [entry[0] for entry in result.description or []]
        return [dict(zip(columns, row, strict=True)) for row in result.fetchall()]

    def get_table_info(self, *, database: str, table: str) -> Dict[str, Any]:
        """Answers what a cached table holds.

        Args:
            database: The database name.
            table: The table name.

        Returns:
            ``{"table": name as stored, "row_count": int, "columns": [name, ...],
            "column_types": {name: DuckDB type text}}``, columns in table order.

        Raises:
            ValueError: ``Table '<database>.<table>' is not cached``.
        """
        self._name(database, table)
        with self._connection.cursor() as cursor:
            # One transaction, so that the figures all describe the same version of the table.
            cursor.execute("BEGIN TRANSACTION")
            found = self._find(cursor, database, table)
            if found is None:
                raise self._not_cached(database, table)
            schema, stored, _ = found
            types = cursor.execute(
                "SELECT column_name, data_type FROM duckdb_columns() WHERE database_name = ? "
                "AND schema_name = ? AND table_name = ? ORDER BY column_index",
                [self._catalog, schema, stored],
            ).fetchall()
            sql = f"SELECT count(*) FROM {_quote(self._catalog)}.{_quote(schema)}.{_quote(stored)}"
            row_count: int = _single(cursor.execute(sql))
            cursor.execute("COMMIT")
        column_types = {column: kind for column, kind in types if column != _ROW}
        return {
            "table": stored,
            "row_count": row_count,
            "columns": list(column_types),
            "column_types": column_types,
        }

    def get_last_updated(self, *, database: str, table: str) -> datetime.datetime | None:
        """Answers when the table was last stored.

        Returns:
            An aware datetime in UTC, or None when the table is not cached (or was not stored
            by a manager).
        """
        self._name(database, table)
        with self._connection.cursor() as cursor:
            found = self._find(cursor, database, table)
        if found is None or found[2] is None:
            return None
        try:
            return datetime.datetime.fromisoformat(found[2])
        except ValueError:
            return None

    def exists(self, *, database: str, table: str) -> bool:
        """Answers whether the table is cached."""
        self._name(database, table)
        with self._connection.cursor() as cursor:
            return self._find(cursor, database, table) is not None

    def invalidate(self, *, database: str, table: str | None = None) -> None:
        """Drops one cached table, or with `table` None every table of the database.

        Dropping what is not cached does nothing.
        """
        _check_name("Database", database)
        if table is not None:
            _check_name("Table", table)
        with self._write_lock, self._connection.cursor() as cursor:
            cursor.execute("BEGIN TRANSACTION")
            dropped = self._tables(cursor, database, table)
            for schema, stored, _ in dropped:
                names = (self._catalog, schema, stored)
                cursor.execute(f"DROP TABLE IF EXISTS {'.'.join(map(_quote, names))}")
            with self._commits.writing():
                cursor.execute("COMMIT")
                for schema, stored, _ in dropped:
                    self._row_counts.pop((_fold(schema), _fold(stored)), None)

    def _name(self, database: str, table: str) -> str:
        """Answers the quoted full name of a cached table, the names having been checked."""
        names = (self._catalog, _check_name("Database", database), _check_name("Table", table))
        return ".".join(map(_quote, names))

    def _tables(
        self, cursor: duckdb.DuckDBPyConnection, database: str, table: str | None
    ) -> List[Tuple[str, str, str | None]]:
        """Answers (schema, table, comment) of the tables DuckDB resolves the names to."""
        fold = f"translate({{}}, '{_UPPER}', '{_LOWER}') = ?"
        sql = "SELECT schema_name, table_name, comment FROM duckdb_tables() WHERE "
        sql += f"database_name = ? AND {fold.format('schema_name')}"
        params = [self._catalog, _fold(database)]
        if table is not None:
            sql += f" AND {fold.format('table_name')}"
            params.append(_fold(table))
        return cursor.execute(sql, params).fetchall()

    def _find(
        self, cursor: duckdb.DuckDBPyConnection, database: str, table: str
    ) -> Tuple[str, str, str | None] | None:
        found = self._tables(cursor, database, table)
        return found[0] if found else None

    @staticmethod
    def _not_cached(database: str, table: str) -> ValueError:
        return ValueError(f"Table '{database}.{table}' is not cached")
