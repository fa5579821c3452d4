"""ClickHouse column types as annotations that admit exactly the values a column stores: integer
ranges, Decimal digits, FixedString sizes, Enum labels, date and time ranges, element types."""

from __future__ import annotations

import datetime
import decimal
import functools
import re
from typing import Any, Dict, List, Optional, Tuple

INTEGER = re.compile(r"(U?)Int(8|16|32|64|128|256)")
_DECIMAL = re.compile(r"Decimal(32|64|128|256)?")
_DECIMAL_PRECISION = {"32": 9, "64": 18, "128": 38, "256": 76}
_FLOAT32_MAX = 3.4028234663852886e38
_ENUM_LABEL = re.compile(r"'((?:[^'\\]|\\.)*)'\s*=\s*-?\d+")
_NAMED_ELEMENT = re.compile(r"([A-Za-z_][A-Za-z0-9_]*|`[^`]*`)\s+(\S.*)", re.S)
_ESCAPES = {"0": "\0", "b": "\b", "f": "\f", "n": "\n", "r": "\r", "t": "\t"}

# The ranges the engine stores without wrapping or clamping (naive times are taken as UTC).
_DATE = (datetime.date(1970, 1, 1), datetime.date(2149, 6, 6))
_DATE32 = (datetime.date(1900, 1, 1), datetime.date(2299, 12, 31))
_DATETIME = (datetime.datetime(1970, 1, 1), datetime.datetime(2106, 2, 7, 6, 28, 15))
_DATETIME64 = (datetime.datetime(1900, 1, 1), datetime.datetime(2299, 12, 31, 23, 59, 59, 999999))


def split_type(type_name: str) -> Tuple[str, List[str]]:
    """A type's family and its top-level arguments: "Map(String, Array(UInt8))" gives
    ("Map", ["String", "Array(UInt8)"])."""
    family, _, rest = type_name.strip().partition("(")
    if not rest:
        return family.strip(), []
    arguments: List[str] = []
    depth, quoted, start, escaped = 0, False, 0, False
    body = rest[: rest.rfind(")")]
    for at, char in enumerate(body):
        if quoted:
            escaped, quoted = (False, True) if escaped else (char == "\\", char != "'")
        elif char == "'":
            quoted = True
        elif char in "([":
            depth += 1
        elif char in ")]":
            depth -= 1
        elif char == "," and depth == 0:
            arguments.append(body[start:at].strip())
            start = at + 1
    arguments.append(body[start:].strip())
    return family.strip(), arguments


def _unescape(label: str) -> str:
    return re.sub(r"\\(.)", lambda m: _ESCAPES.get(m.group(1), m.group(1)), label)


def _range_check(kind: str, low: Any, high: Any) -> Any:
    """A validator refusing values outside [low, high], with pydantic's wording."""
    from pydantic_core import PydanticCustomError

    def check(value: Any) -> Any:
        moment = value
        if isinstance(value, datetime.datetime) and value.tzinfo is not None:
            moment = value.astimezone(datetime.UTC).replace(tzinfo=None)
        if not low <= moment <= high:
            raise PydanticCustomError(
                "clickhouse_range",
                "Input should be from {low} to {high}, the range of {kind}",
                {"low": str(low), "high": str(high), "kind": kind},
            )
        return value

    return check


def _fixed_string_check(size: int) -> Any:
    from pydantic_core import PydanticCustomError

    def check(value: str) -> str:
        if len(value.encode("utf-8", "surrogatepass")) > size:
            raise PydanticCustomError(
                "clickhouse_fixed_string",
                "Input should be at most {size} bytes in UTF-8, the size of FixedString({size})",
                {"size": size},
            )
        return value

    return check


def not_null(type_name: str) -> str:
    """The type without its Nullable: "LowCardinality(Nullable(String))" gives
    "LowCardinality(String)"."""
    family, arguments = split_type(type_name)
    if family == "Nullable":
        return arguments[0]
    if family == "LowCardinality":
        return f"LowCardinality({not_null(arguments[0])})"
    return type_name


def datetime_digits(type_name: str) -> Optional[int]:
    """The decimals of a second a DateTime or DateTime64 column keeps (None for other types)."""
    family, arguments = split_type(type_name)
    while family in ("Nullable", "LowCardinality"):
        family, arguments = split_type(arguments[0])
    if family == "DateTime":
        return 0
    if family == "DateTime64":
        return int(arguments[0]) if arguments else 3
    return None


def truncated(value: datetime.datetime, digits: int) -> datetime.datetime:
    """A time cut to the decimals its column keeps, as the engine stores it."""
    step = 10 ** (6 - min(digits, 6))
    return value.replace(microsecond=value.microsecond // step * step)


def column_annotation(type_name: str) -> Any:
    """The annotation of a column's values: a Python type narrowed to what the ClickHouse type
    holds (ranges, digits, sizes, labels), so pydantic refuses the rest with a 422 naming the
    field. Types it does not know are taken as they come (Any)."""
    import ipaddress
    import uuid
    from typing import Annotated, Literal

    from pydantic import AfterValidator, Field

    family, arguments = split_type(type_name)
    element: Any  # annotations are built at run time
    if family == "Nullable":
        element = column_annotation(arguments[0])
        return Optional[element]
    if family == "LowCardinality":
        return column_annotation(arguments[0])
    if family == "SimpleAggregateFunction":
        return column_annotation(arguments[-1])
    if family == "Array":
        element = column_annotation(arguments[0])
        return List[element]
    if family == "Map":
        key: Any = column_annotation(arguments[0])
        element = column_annotation(arguments[1])
        return Dict[key, element]
    if family == "Tuple":
        elements = []
        for argument in arguments:
            named = _NAMED_ELEMENT.fullmatch(argument)
            elements.append(column_annotation(named.group(2) if named else argument))
        return Tuple[tuple(elements)]
    integer = INTEGER.fullmatch(family)
    if integer:
        bits = int(integer.group(2))
        low, high = (
            (0, 2**bits - 1) if integer.group(1) else (-(2 ** (bits - 1)), 2 ** (bits - 1) - 1)
        )
        return Annotated[int, Field(ge=low, le=high)]
    if family == "Float32":
        return Annotated[
            float, AfterValidator(_range_check("Float32", -_FLOAT32_MAX, _FLOAT32_MAX))
        ]
    if family in ("Float64", "BFloat16"):
        return float
    if family == "Bool":
        return bool
    decimal_ = _DECIMAL.fullmatch(family)
    if decimal_ and arguments:
        if decimal_.group(1):
            precision, scale = _DECIMAL_PRECISION[decimal_.group(1)], int(arguments[0])
        else:
            precision, scale = int(arguments[0]), int(arguments[1]) if len(arguments) > 1 else 0
        return Annotated[decimal.Decimal, Field(max_digits=precision, decimal_places=scale)]
    if family == "String":
        return str
    if family == "FixedString":
        size = int(arguments[0])
        return Annotated[str, Field(max_length=size), AfterValidator(_fixed_string_check(size))]
    if family == "Date":
        return Annotated[datetime.date, Field(ge=_DATE[0], le=_DATE[1])]
    if family == "Date32":
        return Annotated[datetime.date, Field(ge=_DATE32[0], le=_DATE32[1])]
    if family in ("DateTime", "DateTime64"):
        low, high = _DATETIME if family == "DateTime" else _DATETIME64
        digits = datetime_digits(type_name) or 0
        return Annotated[
            datetime.datetime,
            AfterValidator(_range_check(family, low, high)),
            AfterValidator(functools.partial(truncated, digits=digits)),
        ]
    if family == "UUID":
        return uuid.UUID
    if family == "IPv4":
        return ipaddress.IPv4Address
    if family == "IPv6":
        return ipaddress.IPv6Address
    if family in ("Enum8", "Enum16", "Enum"):
        labels = tuple(_unescape(label) for label in _ENUM_LABEL.findall(type_name))
        return Literal[labels] if labels else str
    return Any
