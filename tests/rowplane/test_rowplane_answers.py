"""The list route writes its page's JSON itself: the bytes FastAPI writes for the page, over every
column type of the embedded engine, while the handler called directly returns the page model."""

import asyncio
import random
import struct

import pytest
from fastapi import FastAPI
from fastapi.testclient import TestClient

from kelvora.backends import ClickHouseBackend
from kelvora.rowplane import GenericListResponse, create_crud_router


def random_floats(count):
    rng = random.Random(7)
    floats = (struct.unpack("d", rng.randbytes(8))[0] for _ in range(count * 2))
    return [repr(x) for x in floats if x == x and abs(x) != float("inf")][:count]


# Each column type with the values its rows hold (SQL literals), and whether the page is written
# natively (types Pydantic writes in ways the writer leaves to it are not).
COLUMNS = {
    "Int8": (["-128", "127"], True),
    "UInt64": (["18446744073709551615"], True),
    "Int256": ([str(-(2**255))], True),
    "Float32": (["0.1", "-0.0", "inf", "nan", "3.4028235e38"], True),
    "Float64": (
        ["1e20", "1e16", "1e15", "1e-5", "1.5e-5", "-6.2e-5", "1e-6", "5e-324", "1.8e308"],
        True,
    ),
    "Float64 random": (random_floats(400), True),
    "Float64 fixed": ([repr(k / 7 * 10.0**e) for k in (1, 3, 22) for e in range(-7, 18)], True),
    "Decimal(38, 10)": (["-1234567890.0123456789", "0"], True),
    "Decimal(9, 2)": (["0.5", "-1"], True),
    "String": (["'é\\n\\t\\0\"\\\\ 中 \\x1f\\x7f'", "''"], True),
    "FixedString(3)": (["'ab'"], True),
    "LowCardinality(String)": (["'x'"], True),
    "Enum8('a' = 1, 'b''c' = 2)": (["'b''c'"], True),
    "Bool": (["true", "false"], True),
    "Date": (["'2024-02-29'"], True),
    "Date32": (["'1900-01-01'"], True),
    "DateTime": (["'2024-01-02 03:04:05'", "'1970-01-01 00:00:00'"], True),
    "DateTime('Asia/Kolkata')": (["'2024-01-02 03:04:05'"], True),
    "DateTime64(6)": (["'2024-01-02 03:04:05.000120'", "'2024-01-02 03:04:05'"], True),
    "DateTime64(3, 'UTC')": (["'2024-01-02 03:04:05.5'"], True),
    "UUID": (["'61f0c404-5cb3-11e7-907b-a6006ad3dba0'"], True),
    "Nullable(Int32)": (["NULL", "1"], True),
    "Array(Nullable(String))": (["['a', NULL]", "[]"], True),
    "Array(Array(Float64))": (["[[1e-7], [2.5, 3]]"], True),
    "Tuple(UInt8, String)": (["(1, 'x')"], True),
    "Map(String, Float64)": (["map('k', 1.5)"], True),
    "Map(UInt8, String)": (["map(1, 'x')"], False),
    "IPv4": (["'10.0.0.1'"], False),
    "IPv6": (["'2001:db8::1'"], False),
    "Time": (["'12:34:56'"], False),
}


@pytest.fixture(scope="module")
def tables(engine, module_database):
    """One table per column type, named by its place in COLUMNS."""
    names = {}
    for n, (kind, (values, _)) in enumerate(COLUMNS.items()):
        name = f"{module_database}.t{n}"
        column = kind.removesuffix(" random").removesuffix(" fixed")
        engine.execute(
            f"CREATE TABLE {name} (id UInt64, v {column}) ENGINE = MergeTree ORDER BY id",
            {},
        )
        rows = ", ".join(f"({i}, {value})" for i, value in enumerate(values))
        engine.execute(f"INSERT INTO {name} VALUES {rows}", {})
        names[kind] = name
    return names


@pytest.mark.parametrize("kind", COLUMNS)
def test_the_page_is_fastapis_bytes(engine, tables, serialized, kind):
    router = create_crud_router(tables[kind], ClickHouseBackend(engine))
    app = FastAPI()
    app.include_router(router)
    answer = TestClient(app).get(f"{router.prefix}/?limit=1000")
    assert answer.status_code == 200
    serialized.stop()

    # The handler called directly, and FastAPI writing its page.
    list_records = next(r.endpoint for r in router.routes if r.name == "list_records")
    page = asyncio.run(list_records(limit=1000, offset=0, client=engine))
    assert type(page) is GenericListResponse and page.total == len(COLUMNS[kind][0])
    plain = FastAPI()
    plain.get("/", response_model=GenericListResponse)(lambda: page)
    expected = TestClient(plain).get("/")
    assert answer.content == expected.content
    assert answer.headers.raw == expected.headers.raw
    written = COLUMNS[kind][1]
    assert [len(content.items) for content in serialized] == [0 if written else page.total]
