"""The cache manager against DuckDB itself, on one 100k-row table of 10 columns.

Side by side in one run, each figure the median of interleaved rounds:
- a point lookup by key and a 100-row page, through `DuckDbCacheManager.query` (a DataFrame, what
  `DuckDbBackend` asks for) and `.page` (the total and the rows as Python values, what the
  service's cached routes ask for), against DuckDB answering the same rows into a DataFrame on
  the same connection (`execute(sql, params).df()`) and with `fetchall()`;
- a refresh of 1M rows (`store`) against DuckDB's own load of the same DataFrame, and the worst
  latency a reader sees while it runs;
- the service's refresh of a 1M-row engine table of the same columns (and a DateTime, kept as
  JSON text): the engine writing Parquet that DuckDB reads itself (`store_parquet`), against
  DuckDB's own load of the same Parquet file, and against the frames built from the client's
  rows that the service used before; the worst latency a reader sees meanwhile.

Run: python bench/cache.py
"""

import os
import statistics
import tempfile
import threading
import time

import duckdb
import numpy as np
import pandas as pd

from kelvora.cache import DuckDbCacheManager
from kelvora.clickhouse import connect
from kelvora.service.cache_loads import engine_expression, load_parquet, load_rows
from kelvora.service.tables import Column

ROWS = 100_000
ROUNDS = 15
CALLS = 200


def frame(rows):
    keys = np.arange(rows, dtype="int64")
    columns = {"id": pd.array(keys, dtype="Int64")}
    for at in range(4):
        columns[f"n{at}"] = pd.array(keys * (at + 2), dtype="Int64")
        columns[f"s{at}"] = pd.array([f"value {k} {at}" for k in keys], dtype="string")
    columns["price"] = pd.array(keys / 7, dtype="Float64")
    return pd.DataFrame(columns)


def per_call(function):
    started = time.perf_counter()
    for _ in range(CALLS):
        function()
    return (time.perf_counter() - started) / CALLS


def main():
    cache = DuckDbCacheManager()
    data = frame(ROWS)
    cache.store(database="bench", table="items", df=data)
    duck = duckdb.connect()
    duck.register("source", data)
    duck.execute("CREATE TABLE items AS SELECT * FROM source")
    duck.unregister("source")
    key = ROWS // 2
    point = "SELECT * FROM items WHERE id = ?"
    # The stored order, as DuckDB keeps it through LIMIT and OFFSET.
    page = "SELECT * FROM items LIMIT 100 OFFSET 5000"
    cases = {
        "point: manager.query (DataFrame)": lambda: cache.query(
            database="bench", table="items", sql_where=f"id = {key}", limit=1
        ),
        "point: manager.page (values)": lambda: cache.page(
            database="bench", table="items", equal={"id": key}, limit=1
        ),
        "point: manager.rows (values)": lambda: cache.rows(
            database="bench", table="items", equal={"id": key}, limit=1
        ),
        "point: DuckDB .df()": lambda: duck.execute(point, [key]).df(),
        "point: DuckDB fetchall": lambda: duck.execute(point, [key]).fetchall(),
        "page: manager.page (values)": lambda: cache.page(
            database="bench", table="items", limit=100, offset=5000
        ),
        "page: DuckDB .df()": lambda: duck.execute(page).df(),
        "page: DuckDB fetchall": lambda: duck.execute(page).fetchall(),
        # DuckDbBackend asks for limit + offset rows and slices the page off them.
        "5100 rows: manager.query (DataFrame)": lambda: cache.query(
            database="bench", table="items", limit=5100
        ),
        "5100 rows: DuckDB .df()": lambda: duck.execute("SELECT * FROM items LIMIT 5100").df(),
    }
    rounds = {name: [] for name in cases}
    for _ in range(ROUNDS):
        for name, function in cases.items():
            rounds[name].append(per_call(function))
    medians = {name: statistics.median(times) for name, times in rounds.items()}
    print("| operation | ms | against DuckDB .df() |")
    print("|---|---|---|")
    for name, seconds in medians.items():
        yardstick = medians[name.split(":")[0] + ": DuckDB .df()"]
        print(f"| {name} | {seconds * 1e3:.3f} | {seconds / yardstick:.2f}× |")

    before = per_call(lambda: cache.page(database="bench", table="items", equal={"id": key}))
    big = frame(1_000_000)

    def store_frame():
        cache.store(database="bench", table="items", df=big)

    refresh, worst = while_reading(cache, key, store_frame)
    started = time.perf_counter()
    duck.register("source", big)
    duck.execute("CREATE OR REPLACE TABLE items AS SELECT * FROM source")
    duck.unregister("source")
    own = time.perf_counter() - started
    print()
    print(f"refresh of 1M rows: {refresh:.2f} s; DuckDB's own load {own:.2f} s")
    print(f"reader during the refresh: worst {worst * 1e3:.1f} ms (alone {before * 1e3:.2f} ms)")
    engine_refresh(cache, key)


def while_reading(cache, key, refresh):
    """The time of `refresh`, and the slowest lookup by key of a thread reading meanwhile."""
    worst = [0.0]
    running = threading.Event()

    def reader():
        while running.is_set():
            started = time.perf_counter()
            cache.page(database="bench", table="items", equal={"id": key}, limit=1)
            worst[0] = max(worst[0], time.perf_counter() - started)

    running.set()
    thread = threading.Thread(target=reader)
    thread.start()
    started = time.perf_counter()
    refresh()
    took = time.perf_counter() - started
    running.clear()
    thread.join()
    return took, worst[0]


def engine_refresh(cache, key):
    """The service's refresh from an engine table, each way, beside DuckDB's own load."""
    client = connect("chdb:")
    client.execute(
        "CREATE TABLE items (id Int64, n0 Int64, s0 String, n1 Int64, s1 String, n2 Int64, "
        "s2 String, n3 Int64, s3 String, price Float64, created_at DateTime) "
        "ENGINE = MergeTree ORDER BY id"
    )
    client.execute(
        "INSERT INTO items SELECT number, number * 2, concat('value ', toString(number), ' 0'), "
        "number * 3, concat('value ', toString(number), ' 1'), number * 4, "
        "concat('value ', toString(number), ' 2'), number * 5, "
        "concat('value ', toString(number), ' 3'), number / 7, "
        "toDateTime('2024-01-01 00:00:00') + number FROM numbers(1000000)"
    )
    columns = [Column(name, kind) for name, kind, *_ in client.execute("DESCRIBE items")]
    expressions = [engine_expression(column) for column in columns]

    def refresh():
        load_parquet(client, cache, "bench", "items", "id", columns, expressions)

    parquet, written, own = [], [], []
    for _ in range(3):
        started = time.perf_counter()
        refresh()
        parquet.append(time.perf_counter() - started)
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "items.parquet")
            started = time.perf_counter()
            client.execute(f"SELECT * FROM items ORDER BY id INTO OUTFILE '{path}' FORMAT Parquet")
            written.append(time.perf_counter() - started)
            duck = duckdb.connect()
            started = time.perf_counter()
            duck.execute(f"CREATE TABLE items AS SELECT * FROM read_parquet('{path}')")
            own.append(time.perf_counter() - started)
            duck.close()
    started = time.perf_counter()
    load_rows(client, cache, "bench", "items", "id", columns)
    rows = time.perf_counter() - started
    # The reader takes one of the machine's cores meanwhile, so the refresh is timed alone.
    _, worst = while_reading(cache, key, refresh)
    print()
    print(
        f"refresh of a 1M-row engine table (11 columns, median of 3): through Parquet "
        f"{statistics.median(parquet):.2f} s; the engine writing the rows as Parquet "
        f"{statistics.median(written):.2f} s, DuckDB's own load of that file "
        f"{statistics.median(own):.2f} s; frames of the client's rows {rows:.2f} s"
    )
    print(f"reader during a Parquet refresh: worst {worst * 1e3:.1f} ms")
    client.close()


if __name__ == "__main__":
    main()
