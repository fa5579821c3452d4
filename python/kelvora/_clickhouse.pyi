"""Parameter binding and result decoding for kelvora's ClickHouse clients."""

from collections.abc import Callable, Mapping, Sequence
from datetime import tzinfo
from typing import Any, SupportsIndex, final, overload

from typing_extensions import Buffer

@final
class Row(tuple[Any, ...]):
    """A row of an answer: the tuple of its values, also read by column name (row["id"],
    dict(row), keys(), values(), items(), get())."""

    @overload
    def __getitem__(self, key: SupportsIndex, /) -> Any: ...
    @overload
    def __getitem__(self, key: slice, /) -> tuple[Any, ...]: ...
    @overload
    def __getitem__(self, key: str, /) -> Any: ...
    def keys(self) -> tuple[str, ...]:
        """The column names, in order."""
    def values(self) -> tuple[Any, ...]:
        """The values, in order, as a tuple."""
    def items(self) -> list[tuple[str, Any]]:
        """(name, value) pairs, in order."""
    def get(self, key: str, default: Any = None, /) -> Any:
        """The value of the named column, or `default` (None) where there is none."""

def bind(
    query: str,
    params: Mapping[str, Any] | None = None,
    zone: tzinfo | None = None,
    *,
    datetime64: bool = True,
) -> str:
    """Replace each %(name)s of `query` by the ClickHouse literal of params[name] (%% is a
    percent sign); with params None the query is returned as it is. Aware datetimes are
    written as their instant, whatever `zone` (taken for compatibility, unused).
    `datetime64` says whether the server has DateTime64 (version 20 on, the embedded engine):
    a datetime with microseconds is written as a DateTime64 where it has it, as its whole
    seconds where not."""

def decode_row_binary(data: Buffer, zone: tzinfo | None = None) -> list[Row]:
    """Rows of a RowBinaryWithNamesAndTypes answer as a list of tuples; datetimes are naive, in
    the column's time zone or else `zone` (a tzinfo, None for UTC)."""

def decode_native(
    data: Buffer,
    zone: tzinfo | None = None,
    column_types: Callable[[], Sequence[str] | None] | None = None,
) -> list[Row]:
    """Rows of a Native answer (blocks of columns) as a list of tuples; datetimes are naive, in
    the column's time zone or else `zone` (a tzinfo, None for UTC). Where the answer names a
    column's type "DateTime" alone (servers leave the zone out there for HTTP clients),
    `column_types()` is asked once for the statement's column type names (or None)."""

def decode_tab_separated(data: Buffer, zone: tzinfo | None = None) -> list[Row]:
    """Rows of a TabSeparatedWithNamesAndTypes answer as a list of tuples; datetimes are naive,
    as the answer shows them."""
