"""The ClickHouse client layer: parameter binding and result decoding.

1. Binding a 10-parameter statement: kelvora's native binder against clickhouse-driver's
   substitution.
2. A 100k-row SELECT of 10 columns on the embedded engine: kelvora's client (decoded in C++)
   against chDB's own Python result path (its DB-API cursor), rows/s.
3. The same SELECT against a ClickHouse server started on loopback for the run (when
   `clickhouse-server` is installed): kelvora's HTTP client with plain, gzip and (where the server
   and zstandard offer it) zstd answers (Native on servers without RowBinaryWithNamesAndTypes),
   against clickhouse-driver's native protocol on the same server, rows/s, in interleaved rounds;
   then how the plain answer's time divides between the server and urllib3, and the decoder.

Run: python bench/clickhouse.py
"""

import datetime
import math
import os
import sys
import timeit
import uuid
from types import SimpleNamespace

from clickhouse_driver import Client as DriverClient

from kelvora import _clickhouse
from kelvora.clickhouse import connect

SELECT = """
    SELECT number AS id, toString(number) AS name, number * 0.5 AS ratio,
           toInt32(number % 1000) AS qty, toDateTime('2024-01-01 00:00:00') + number AS ts,
           toDate('2024-01-01') + (number % 365) AS day, number % 2 = 0 AS even,
           concat('tag-', toString(number % 7)) AS tag, toUInt8(number % 256) AS small,
           if(number % 10 = 0, NULL, number) AS maybe
    FROM numbers(100000)
"""

PARAMS = {
    "id": 12345,
    "name": "O'Brien \\ co",
    "ratio": 0.25,
    "missing": None,
    "created": datetime.datetime(2024, 1, 2, 3, 4, 5),
    "day": datetime.date(2024, 1, 2),
    "tags": ["a", "b", "c"],
    "key": uuid.UUID(int=7),
    "flag": True,
    "note": "line\nbreak",
}
STATEMENT = "INSERT INTO t VALUES (" + ", ".join(f"%({name})s" for name in PARAMS) + ")"


def best(statement, number, repeat=5):
    return min(timeit.repeat(statement, number=number, repeat=repeat)) / number


def binding():
    driver = DriverClient("localhost")
    context = SimpleNamespace(server_info=SimpleNamespace(get_timezone=lambda: "UTC"))
    ours = best(lambda: _clickhouse.bind(STATEMENT, PARAMS), 20000)
    theirs = best(lambda: driver.substitute_params(STATEMENT, PARAMS, context), 5000)
    print(
        f"bind, 10 parameters: kelvora {ours * 1e6:.2f} us, clickhouse-driver "
        f"{theirs * 1e6:.2f} us, {theirs / ours:.1f}x"
    )


def embedded():
    import chdb.dbapi

    client = connect("chdb:")
    rows = len(client.execute(SELECT))
    # Each side's best single call: the least disturbed by other work on the machine.
    ours = best(lambda: client.execute(SELECT), 1, repeat=15)
    connection = chdb.dbapi.connect()

    def cursor_path():
        cursor = connection.cursor()
        cursor.execute(SELECT)
        return cursor.fetchall()

    assert len(cursor_path()) == rows
    theirs = best(cursor_path, 1, repeat=7)
    print(
        f"embedded SELECT {rows} rows x 10 columns: kelvora {rows / ours:,.0f} rows/s, "
        f"chDB DB-API cursor {rows / theirs:,.0f} rows/s, {theirs / ours:.1f}x"
    )


def server():
    sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "platform"))
    try:
        from clickhouse_server import ClickHouseServer
    except ImportError:
        print("server: the test harness is not available")
        return
    try:
        instance = ClickHouseServer()
    except Exception as error:  # noqa: BLE001 - a missing server only skips this figure
        print(f"server: not measured ({error})")
        return
    with instance:
        driver = DriverClient(instance.host, port=instance.tcp_port)
        clients = {
            compression: connect(instance.dsn("default") + f"?compression={compression}")
            for compression in ("none", "gzip", "auto")
        }
        rows = len(driver.execute(SELECT))
        assert all(len(client.execute(SELECT)) == rows for client in clients.values())
        # Rounds interleaved, so that load from other work weighs on every side alike; each
        # side's best round counts.
        native, ours = math.inf, dict.fromkeys(clients, math.inf)
        for _ in range(15):
            native = min(native, best(lambda: driver.execute(SELECT), 1, repeat=1))
            for compression, client in clients.items():
                took = best(lambda: client.execute(SELECT), 1, repeat=1)  # noqa: B023
                ours[compression] = min(ours[compression], took)
        driver.disconnect()
        plain = clients["none"]
        version = plain.execute("SELECT version()")[0][0]
        answer_format = plain._transport.format
        for compression, took in ours.items():
            print(
                f"server {version} SELECT {rows} rows x 10 columns: kelvora HTTP "
                f"({answer_format}, compression={compression}) {rows / took:,.0f} rows/s, "
                f"clickhouse-driver native {rows / native:,.0f} rows/s, {native / took:.2f}x"
            )
        where_the_time_goes(plain, rows)
        for client in clients.values():
            client.close()


def where_the_time_goes(client, rows):
    """The plain answer's two halves: the server writing it and urllib3 reading it, then the
    decoder."""
    transport = client._transport
    answer = transport._post(SELECT, transport.format)
    fetch = best(lambda: transport._post(SELECT, transport.format), 1, repeat=7)
    decode = best(lambda: transport.rows(SELECT, client.timezone), 1, repeat=7) - fetch
    print(
        f"  of which: the server writes and urllib3 reads the {len(answer) / 1e6:.1f} MB answer "
        f"in {fetch * 1e3:.1f} ms, the decoder makes its {rows} rows in {decode * 1e3:.1f} ms"
    )


if __name__ == "__main__":
    binding()
    embedded()
    server()
