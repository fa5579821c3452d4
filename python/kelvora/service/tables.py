"""The served tables: their columns as DESCRIBE gives them, and the create and update models built
from them."""

from __future__ import annotations

import datetime
import functools
import keyword
import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, ClassVar, Dict, List, Optional, Tuple

from pydantic import BaseModel

from .column_types import column_annotation, datetime_digits, not_null, split_type, truncated
from .settings import StartupError, TableSettings

if TYPE_CHECKING:
    from kelvora.clickhouse import Client


@dataclass(frozen=True)
class Column:
    """One column as DESCRIBE and system.columns give it."""

    name: str
    type: str
    default_kind: str = ""  # DEFAULT, MATERIALIZED, ALIAS, EPHEMERAL or ""
    default_expression: str = ""
    in_key: bool = False  # in the sorting, primary or partition key, which no mutation updates

    @property
    def nullable(self) -> bool:
        return not_null(self.type) != self.type

    @property
    def insertable(self) -> bool:
        """The engine refuses values for MATERIALIZED and ALIAS columns."""
        return self.default_kind not in ("MATERIALIZED", "ALIAS")

    @property
    def description(self) -> str:
        """The column's type on one line, with its default where the engine fills one in."""
        text = re.sub(r"\(\s+", "(", re.sub(r"\s+", " ", self.type))
        if self.default_kind in ("DEFAULT", "EPHEMERAL") and self.default_expression:
            return f"{text}, {self.default_kind} {self.default_expression}"
        return text


def _without_default(schema: Dict[str, Any]) -> None:
    """A field that may be left out but not sent as null: its schema shows no default."""
    schema.pop("default", None)


def _now(digits: int) -> datetime.datetime:
    """The current time in UTC to `digits` decimals of a second, as a DateTime column keeps it
    (servers before 20 refuse a DateTime literal with a fraction)."""
    return truncated(datetime.datetime.now(datetime.UTC), digits)


@functools.cache
def _body_base() -> type[BaseModel]:
    from pydantic import BaseModel, ConfigDict

    class Body(BaseModel):
        """A request body of table columns. Its dump leaves out what the client left out, so
        the engine's default applies, names the columns, and carries the creation time in the
        timestamp column of a create body."""

        model_config = ConfigDict(extra="forbid", protected_namespaces=())
        # The creation-time column a create body fills, with its decimals of a second.
        __kelvora_timestamp__: ClassVar[Tuple[str, int]] = ("", 0)

        def model_dump(self, **options: Any) -> Dict[str, Any]:
            options.setdefault("exclude_unset", True)
            options.setdefault("by_alias", True)
            data = super().model_dump(**options)
            column, digits = self.__kelvora_timestamp__
            if column and column not in data:
                data[column] = _now(digits)
            return data

    return Body


@functools.cache
def _update_base() -> type[BaseModel]:
    from pydantic import ConfigDict, model_validator
    from pydantic_core import PydanticCustomError

    class UpdateBody(_body_base()):  # type: ignore[misc]
        """An update body: the columns it names are the ones that change, so it names one at
        least (the router answers an update without any with 400)."""

        model_config = ConfigDict(json_schema_extra={"minProperties": 1})

        @model_validator(mode="after")
        def names_a_column(self) -> UpdateBody:
            if not self.model_fields_set:
                raise PydanticCustomError(
                    "clickhouse_empty_update", "Input should name at least one column to update"
                )
            return self

    return UpdateBody


def _field_name(column: str, index: int) -> Tuple[str, Optional[str]]:
    """The model field of a column, with the column as alias where it cannot be the name."""
    from pydantic import BaseModel

    usable = column.isidentifier() and not keyword.iskeyword(column)
    if usable and not column.startswith("_") and not hasattr(BaseModel, column):
        return column, None
    return f"column_{index}", column


def table_models(
    title: str, columns: List[Column], key: str, timestamp: str
) -> Tuple[type[BaseModel], type[BaseModel]]:
    """The create and update models of a table.

    Create: the key and every column without a default are required; columns with a default
    and Nullable ones may be left out (the engine's default applies); the timestamp column is
    the router's to fill; MATERIALIZED and ALIAS columns are the engine's. Update: every column
    the engine can update (not in the sorting, primary or partition key), each optional but not
    null, at least one of them. Unknown fields are refused."""
    from pydantic import Field, create_model

    create: Dict[str, Any] = {}
    update: Dict[str, Any] = {}
    for index, column in enumerate(columns):
        if not column.insertable:
            continue
        name, alias = _field_name(column.name, index)
        annotation = column_annotation(column.type)
        about = column.description
        if column.name == key:
            create[name] = (annotation, Field(alias=alias, description=about))
        elif column.name != timestamp:
            if column.nullable:
                create[name] = (annotation, Field(None, alias=alias, description=about))
            elif column.default_kind:
                optional = Field(
                    None, alias=alias, description=about, json_schema_extra=_without_default
                )
                create[name] = (annotation, optional)
            else:
                create[name] = (annotation, Field(alias=alias, description=about))
        if not column.in_key and column.name != key and column.default_kind != "EPHEMERAL":
            # The router leaves nulls out of an update: null is refused rather than dropped.
            changed = Field(
                None, alias=alias, description=about, json_schema_extra=_without_default
            )
            update[name] = (column_annotation(not_null(column.type)), changed)
    base = _body_base()
    stamped = base
    for column in columns:
        if column.name == timestamp:
            filled = (timestamp, datetime_digits(column.type) or 0)
            stamped = type(title + "Body", (base,), {"__kelvora_timestamp__": filled})
    return (
        create_model(title + "Create", __base__=stamped, **create),
        create_model(title + "Update", __base__=_update_base(), **update),
    )


def timestamp_column(table: TableSettings, columns: List[Column]) -> str:
    """The column the router fills with the creation time: the table's setting, else
    ``created_at`` where it is a plain DateTime column, else none ("")."""
    if table.timestamp is not None:
        return table.timestamp
    for column in columns:
        family, arguments = split_type(column.type)
        if family == "Nullable":
            family, _ = split_type(arguments[0])
        plain = column.default_kind in ("", "DEFAULT")
        if column.name == "created_at" and plain and family in ("DateTime", "DateTime64"):
            return column.name
    return ""


def describe_table(client: Client, name: str) -> List[Column]:
    """The columns of a table, with their defaults and whether a key holds them (for a
    Distributed table, a key of its local table on the shards)."""
    rows = client.execute("DESCRIBE TABLE " + name)
    database, _, table = name.rpartition(".")
    # On a cluster the client answers this for a Distributed table from its local table.
    where = "database = %(database)s" if database else "database = currentDatabase()"
    in_key = {
        row[0]
        for row in client.execute(
            "SELECT name FROM system.columns WHERE " + where + " AND table = %(table)s "
            "AND (is_in_sorting_key OR is_in_primary_key OR is_in_partition_key)",
            {"database": database, "table": table},
        )
    }
    return [Column(row[0], row[1], row[2], row[3], row[0] in in_key) for row in rows]


def checked_columns(client: Client, table: TableSettings) -> List[Column]:
    try:
        columns = describe_table(client, table.name)
    except Exception as error:
        raise StartupError(f"table {table.name!r} cannot be served: {error}") from None
    names = [column.name for column in columns]
    if table.key not in names:
        raise StartupError(f"table {table.name!r} has no key column {table.key!r}")
    for name in table.filterable or []:
        if name not in names:
            raise StartupError(f"table {table.name!r} has no column {name!r} to filter by")
    if table.timestamp and table.timestamp not in names:
        raise StartupError(f"table {table.name!r} has no timestamp column {table.timestamp!r}")
    return columns
